#!/usr/bin/env bash
# The whole road of one update with the real tarnwick-installer under Xvfb,
# against the same road done by hand with one digest of the package:
#   pkg   Update.pkg (random bytes)      vs  curl -o, openssl dgst -sha256
#   zip   Update.zip (it, stored)        vs  curl -o, bsdtar -xOf, openssl dgst -sha256
#   team  Signed.pkg (signed by the tests' signer), URL pinned with #team=
#                                        vs  curl -o, openssl dgst -sha256
# nginx on 127.0.0.1 serves them. The updater's time includes its start-up,
# window, extraction, root's copy and digest, a stand-in /usr/sbin/installer
# (it only records its call), the relaunch of a sample application (it only
# records its start), the removal of the downloads and its exit. Runs
# alternate between the two, each after `sync`; the table gives medians of
# wall time and peak resident memory (/usr/bin/time %M) and every run.
#
#   bash bench/road.sh [RUNS [SIZE_MIB...]]     default: 5 runs of 100 and 1024 MiB
#   ROAD_FS="normal xfs"      the file systems (default both; xfs needs root)
#   ROAD_KINDS="pkg zip team" the roads (default all three)
#   ROAD_TIMELINE=1           every run's milestones noted (bench/timeline.py), the
#                             fastest and the slowest run of each road printed side by side
#   ROAD_PEER_COPIES=1        the peer also copies its package as root's script does
#                             (cp --reflink=never -RP) and digests the copy
#   ROAD_UPDATER_ENV="A=1 B=2" more variables for the updater's environment
#   BENCH_KEEP_MEMORY=0       leave the VM's free page reporting as it is, and take no
#                             pages before each run (bench/keep-memory.sh)
#
# "normal" is the folder's own file system (/tmp here: ext4). "xfs" is an XFS
# file system with reflinks on a loop image that the run makes, mounted on /tmp
# inside the run's mount namespace, so that the download and root's private
# folder share it as they share APFS on a Mac. The stand-in installer sits over
# /usr/sbin in that namespace too (as in scripts/demo). The "team" road's updater
# (tarnwick-installer-testroot) trusts the tests' root instead of Apple's.
# Builds everything in build-bench/ (Release); the rest lives in a temporary
# folder removed at the end. The table also goes to bench/results/ (not tracked).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 1024)
read -r -a file_systems <<< "${ROAD_FS:-normal xfs}"
read -r -a kinds <<< "${ROAD_KINDS:-pkg zip team}"
if [ "$(id -u)" -ne 0 ] && [[ " ${file_systems[*]} " == *" xfs "* ]]; then
  echo "road.sh: the xfs runs mount a loop image and need root; running the others" >&2
  read -r -a file_systems <<< "$(printf '%s\n' "${file_systems[@]}" | grep -vx xfs | tr '\n' ' ')"
fi

bash scripts/setup
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DTARNWICK_BENCH=ON >/dev/null
cmake --build build-bench --target tarnwick-installer tarnwick-installer-testroot bench_package -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/tarnwick-road.XXXXXX)
xvfb_pid=
source bench/keep-memory.sh
cleanup() {
  restore_memory
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  if [ -s "$work/nginx.pid" ]; then
    kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    for _ in $(seq 50); do [ -e "$work/nginx.pid" ] || break; sleep 0.1; done
  fi
  # overlayfs leaves a mode-000 folder in its work directory.
  chmod -R u+rwx "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The archive, its package and root's copy.
keep_memory 3 "${sizes[@]}"
# nginx's workers run as "nobody" when the master is root: let them read.
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp" "$work/results" "$work/bin"
cp build-bench/bin/tarnwick-installer build-bench/bin/tarnwick-installer-testroot "$work/bin/"

for size in "${sizes[@]}"; do
  echo "road.sh: making the ${size} MiB updates"
  mkdir -p "$work/www/$size" "$work/tmp/$size"
  head -c "$((size * 1048576))" /dev/urandom > "$work/tmp/$size/Update.pkg"
  cp "$work/tmp/$size/Update.pkg" "$work/www/$size/Update.pkg"
  (cd "$work/tmp/$size" && zip -q -X -0 "$work/www/$size/Update.zip" Update.pkg)
  rm "$work/tmp/$size/Update.pkg"
  if [[ " ${kinds[*]} " == *" team "* ]]; then
    build-bench/bin/bench_package --write "$work/www/$size/Signed.pkg" "$work/root-$size.der" "$size"
  fi
done
chmod -R a+rX "$work/www"

nginx_access_log=$work/access.log
source bench/nginx.sh
nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf"
for _ in $(seq 100); do
  curl -sf -o /dev/null -r 0-0 "http://127.0.0.1:$port/${sizes[0]}/Update.pkg" && break
  sleep 0.1
done

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
display=":$(head -n1 "$work/display")"

namespace=(unshare --mount)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount)
for fs in "${file_systems[@]}"; do
  echo "road.sh: $fs"
  "${namespace[@]}" bash bench/road-runs.sh "$fs" "$work" "$display" "$port" "$runs" "${sizes[*]}" "${kinds[*]}" \
    "${ROAD_TIMELINE:-0}"
done

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { cut -d' ' -f"$2" "$1" | median; }
spread() { cut -d' ' -f1 "$1" | sort -n | sed -n '1p;$p' | paste -sd- | sed 's/-/–/'; }

mkdir -p bench/results
result=bench/results/road-$(date +%Y%m%d-%H%M%S).md
{
  echo "Whole road, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $runs alternating runs of each, \`sync\` before each;"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg). Command: bash bench/road.sh $runs ${sizes[*]}"
  memory_note
  if [ "${ROAD_PEER_COPIES:-0}" = 1 ]; then
    echo "By hand, the package is also copied as root's script copies it (cp --reflink=never -RP), and the copy digested."
  fi
  if [ -n "${ROAD_UPDATER_ENV:-}" ]; then
    echo "The updater's environment also has: \`$ROAD_UPDATER_ENV\`."
  fi
  if [ "${BENCH_MEMORY_KEPT:-0}" = 1 ]; then
    echo "Once a minute, and before the first run of a larger size, twice what it writes (archive, package, root's copy) taken and freed, outside its time."
  fi
  echo
  echo "| road | file system | updater | by hand | speed ratio | updater RSS | by hand RSS |"
  echo "|---|---|---:|---:|---:|---:|---:|"
  for size in "${sizes[@]}"; do
    for fs in "${file_systems[@]}"; do
      for kind in "${kinds[@]}"; do
        u=$work/results/$fs-$kind-$size-updater.txt
        h=$work/results/$fs-$kind-$size-hand.txt
        [ -s "$u" ] && [ -s "$h" ] || continue
        awk -v road="$kind, $size MiB" -v fs="$fs" -v ut="$(column "$u" 1)" -v ht="$(column "$h" 1)" \
          -v us="$(spread "$u")" -v hs="$(spread "$h")" -v ur="$(column "$u" 2)" -v hr="$(column "$h" 2)" \
          'BEGIN { printf "| %s | %s | %.2f s (%s) | %.2f s (%s) | **%.2f** | %.1f MiB | %.1f MiB |\n",
                   road, fs, ut, us, ht, hs, ht / ut, ur / 1024, hr / 1024 }'
      done
    done
  done
  echo
  echo "Each run (seconds, peak RSS KiB):"
  for f in "$work"/results/*.txt; do
    echo "- $(basename "$f" .txt): $(tr '\n' ';' < "$f" | sed 's/;$//; s/;/; /g')"
  done
  if [ "${ROAD_TIMELINE:-0}" = 1 ]; then
    echo
    python3 bench/timeline.py report "$work/results"
  fi
} | tee "$result"
if compgen -G "$work/results/*.steps" > /dev/null; then
  mkdir -p "${result%.md}-steps" && cp "$work"/results/*.steps "${result%.md}-steps/"
fi
echo "road.sh: written to $result"
