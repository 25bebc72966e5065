#!/usr/bin/env bash
# The whole ".zip" road of one update: the real tarnwick-installer under Xvfb
# fetches Update.zip (a 1 GiB random Update.pkg, stored) from nginx on
# 127.0.0.1, extracts it, hands the package to a stand-in /usr/sbin/installer
# that only records its call, relaunches a sample application that only
# records its start, removes both files and closes. Against it: `curl -o`
# into the same folder followed by `bsdtar -xOf` into a file beside it.
# Runs alternate between the two; the table gives median wall time (the
# updater's includes its start-up, window, install, relaunch and clean-up)
# and median peak resident memory (/usr/bin/time %M).
#
#   bash bench/road.sh [RUNS [SIZE_MIB]]     default: 5 runs, 1024 MiB
#
# The stand-in installer sits over /usr/sbin in a private mount namespace, as
# in scripts/demo: `unshare --mount` as root, with a user namespace otherwise.
# Builds tarnwick-installer in build-bench/ (Release); everything else lives in
# a temporary folder that is removed at the end. The table also goes to
# bench/results/ (not tracked).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=${1:-5}
mib=${2:-1024}
bytes=$((mib * 1048576))

bash scripts/setup
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target tarnwick-installer -j2 >/dev/null

work=$(mktemp -d /tmp/tarnwick-road.XXXXXX)
xvfb_pid=
cleanup() {
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
# nginx's workers run as "nobody" when the master is root: let them read.
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp" "$work/curl" "$work/record" "$work/upper" "$work/work" "$work/home"
chmod 700 "$work/home"
: > "$work/record/installer-calls"
: > "$work/record/package-sizes"
: > "$work/record/relaunched"

# The updater's bundle: downloads land in the folder that holds it.
bundle="$work/Tarnwick Installer.app"
mkdir -p "$bundle/Contents/MacOS"
updater="$bundle/Contents/MacOS/Tarnwick Installer"
cp build-bench/bin/tarnwick-installer "$updater"
app="$work/Applications/Example.app"
mkdir -p "$app/Contents/MacOS"
printf '#!/bin/sh\necho "$0" >> %q\n' "$work/record/relaunched" > "$app/Contents/MacOS/Example"
printf '#!/bin/sh\n# Records its call and the size of the package it was handed.\nprintf "%%s\\n" "$*" >> %q\nstat -c %%s "$2" >> %q\n' \
  "$work/record/installer-calls" "$work/record/package-sizes" > "$work/installer"
chmod 755 "$app/Contents/MacOS/Example" "$work/installer"

namespace=(unshare --mount)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount)
# shellcheck disable=SC2016
in_namespace='mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$1,workdir=$2" /usr/sbin &&
  cp "$3" /usr/sbin/installer && shift 3 && exec "$@"'

echo "road.sh: making Update.zip holding a ${mib} MiB Update.pkg of random bytes, stored"
head -c "$bytes" /dev/urandom > "$work/tmp/Update.pkg"
(cd "$work/tmp" && zip -q -X -0 "$work/www/Update.zip" Update.pkg)
rm "$work/tmp/Update.pkg"
chmod 644 "$work/www/Update.zip"
zip_bytes=$(stat -c %s "$work/www/Update.zip")

source bench/nginx.sh
nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf"
url="http://127.0.0.1:$port/Update.zip"
for _ in $(seq 100); do
  curl -sf -o /dev/null "$url" && break
  sleep 0.1
done

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
display=":$(head -n1 "$work/display")"

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# timed NAME COMMAND...: runs the command, appends "seconds peak-KiB" to $work/NAME.txt.
timed() {
  local name=$1 start end
  shift
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@"
  end=$(date +%s%N)
  echo "$(((end - start) / 1000))e-6 $(cat "$work/rss")" | awk '{ printf "%.3f %d\n", $1, $2 }' >> "$work/$name.txt"
}

# A box that nobody closes would keep it open: ended after five minutes.
updater_run=(timeout 300 env -i PATH="$PATH" DISPLAY="$display" HOME="$work/home" XDG_RUNTIME_DIR="$work/home"
  "${namespace[@]}" sh -c "$in_namespace" sh "$work/upper" "$work/work" "$work/installer" "$updater" "$app" "$url")
curl_bsdtar_run=(sh -c 'curl -sSf -o "$1/Update.zip" "$2" && bsdtar -xOf "$1/Update.zip" Update.pkg > "$1/Update.pkg"'
  sh "$work/curl" "$url")

for run in $(seq "$runs"); do
  for k in 0 1; do
    if [ $(((run + k) % 2)) -eq 1 ]; then
      calls=$(wc -l < "$work/record/installer-calls")
      timed updater "${updater_run[@]}"
      # It ended by itself: installed once, relaunched, and left no file.
      [ "$(wc -l < "$work/record/installer-calls")" -eq $((calls + 1)) ] || { echo "road.sh: installer not called" >&2; exit 1; }
      [ "$(tail -n1 "$work/record/package-sizes")" -eq "$bytes" ] || { echo "road.sh: wrong package size" >&2; exit 1; }
      [ ! -e "$work/Update.zip" ] && [ ! -e "$work/Update.pkg" ] || { echo "road.sh: files left behind" >&2; exit 1; }
    else
      timed curl "${curl_bsdtar_run[@]}"
      [ "$(stat -c %s "$work/curl/Update.pkg")" -eq "$bytes" ] || { echo "road.sh: bsdtar wrote a wrong size" >&2; exit 1; }
      rm -f "$work/curl/Update.zip" "$work/curl/Update.pkg"
    fi
  done
  echo "road.sh: run $run/$runs done"
done
relaunches=$(wc -l < "$work/record/relaunched")

mkdir -p bench/results
result=bench/results/road-$(date +%Y%m%d-%H%M%S).md
{
  echo "Whole .zip road, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg),"
  echo "$runs alternating runs; Update.zip of $zip_bytes bytes (${mib} MiB Update.pkg, stored) from nginx on 127.0.0.1."
  echo "Command: bash bench/road.sh $runs $mib ($relaunches relaunches recorded)"
  echo
  echo "| road | median time | peak RSS (median) | speed vs curl + bsdtar |"
  echo "|---|---:|---:|---:|"
  base=$(cut -d' ' -f1 "$work/curl.txt" | median)
  for name in updater curl; do
    t=$(cut -d' ' -f1 "$work/$name.txt" | median)
    rss=$(cut -d' ' -f2 "$work/$name.txt" | median)
    label="tarnwick-installer, whole update"
    [ "$name" = curl ] && label="curl -o, then bsdtar -xOf"
    awk -v l="$label" -v t="$t" -v b="$base" -v r="$rss" 'BEGIN { printf "| %s | %.3f s | %.1f MiB | %.2f |\n", l, t, r / 1024, b / t }'
  done
  echo
  echo "Each run (seconds, peak RSS KiB):"
  for name in updater curl; do
    echo "- $name: $(tr '\n' ';' < "$work/$name.txt" | sed 's/;$//; s/;/; /g')"
  done
} | tee "$result"
echo "road.sh: written to $result"
