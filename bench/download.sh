#!/usr/bin/env bash
# Download benchmark: FileDownloader in file mode (bench_download), once with a
# plain URL and once with the URL pinned by the file's SHA-256 and size, against
# `curl -o`, all fetching the same files from nginx on 127.0.0.1 into the same
# directory, in alternating runs. Reports the median time and throughput of
# each, the throughput ratios (to curl, and pinned to unpinned) and the peak
# resident memory (/usr/bin/time %M) of each.
#
#   bash bench/download.sh [RUNS [SIZE_MIB...]]     default: 5 runs, 100 and 1024 MiB
#
# Needs nginx, curl and GNU time (scripts/setup installs them). Builds
# bench_download in build-bench/ (Release). Everything else lives in a
# temporary directory that is removed at the end; nginx listens on a free
# loopback port with its own configuration there. The full table also goes to
# bench/results/ (not tracked).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=${1:-5}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 1024)

bash scripts/setup
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARNWICK_BENCH=ON >/dev/null
cmake --build build-bench --target bench_download -j"$(nproc)" >/dev/null
downloader=$root/build-bench/bin/bench_download

work=$(mktemp -d /tmp/tarnwick-bench.XXXXXX)
source bench/keep-memory.sh
cleanup() {
  restore_memory
  if [ -s "$work/nginx.pid" ]; then
    kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    for _ in $(seq 50); do [ -e "$work/nginx.pid" ] || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
keep_memory 1 "${sizes[@]}"
# nginx's workers run as "nobody" when the master is root: let them read.
chmod 755 "$work"
mkdir -p "$work/www" "$work/out" "$work/tmp"

source bench/nginx.sh

declare -A pins
for size in "${sizes[@]}"; do
  echo "download.sh: making a ${size} MiB file of random bytes"
  head -c "$((size * 1024 * 1024))" /dev/urandom >"$work/www/file-${size}M.bin"
  pins[$size]="sha256=$(sha256sum "$work/www/file-${size}M.bin" | cut -d' ' -f1)&size=$((size * 1024 * 1024))"
done
chmod 644 "$work"/www/*

nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf"
for _ in $(seq 100); do
  curl -sf -o /dev/null -r 0-0 "http://127.0.0.1:$port/file-${sizes[0]}M.bin" && break
  sleep 0.1
done
nginx_version=$(nginx -v 2>&1 | sed 's/.*nginx\///')
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
curl_version=$(curl --version | head -n1 | cut -d' ' -f1-2)

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# measure NAME FILE COMMAND...: runs the command once, checks the file it
# wrote, appends "seconds kib" to $work/NAME-SIZE.txt and removes the file (so
# that dirty pages do not pile up between runs).
measure() {
  local name=$1 file=$2
  shift 2
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
  end=$(date +%s%N)
  local got
  got=$(stat -c %s "$file")
  if [ "$got" -ne "$bytes" ]; then
    echo "download.sh: $name wrote $got bytes, not $bytes" >&2
    exit 1
  fi
  if [ "$check" = yes ]; then
    cmp -s "$file" "$work/www/file-${size}M.bin" || { echo "download.sh: $name wrote other bytes" >&2; exit 1; }
  fi
  echo "$(((end - start) / 1000))e-6 $(cat "$work/rss")" | awk '{ printf "%.6f %d\n", $1, $2 }' >>"$work/$name-$size.txt"
  rm -f "$file"
}

for size in "${sizes[@]}"; do
  bytes=$((size * 1024 * 1024))
  url="http://127.0.0.1:$port/file-${size}M.bin"
  out=$work/out/file-${size}M.bin
  tools=(downloader pinned curl)
  for run in $(seq "$runs"); do
    check=no
    [ "$run" -eq 1 ] && check=yes
    # Rotate which one goes first.
    for i in 0 1 2; do
      case ${tools[$(((run + i) % 3))]} in
        downloader) measure downloader "$out" "$downloader" "$url" "$work/out" ;;
        pinned) measure pinned "$out" "$downloader" "$url#${pins[$size]}" "$work/out" ;;
        curl) measure curl "$out" curl -sSf -o "$out" "$url" ;;
      esac
    done
    echo "download.sh: ${size} MiB run $run/$runs done"
  done
done

mkdir -p bench/results
result=bench/results/download-$(date +%Y%m%d-%H%M%S).md
{
  echo "Download benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $runs alternating runs per size."
  echo "Load average before: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "nginx $nginx_version on 127.0.0.1 (sendfile); $curl_version; bench_download (Release)."
  echo "Command: bash bench/download.sh $runs ${sizes[*]}"
  memory_note
  echo
  echo "| size | tool | median time | median throughput | ratio to curl | ratio to unpinned | peak RSS (median / max) |"
  echo "|---|---|---|---|---|---|---|"
  for size in "${sizes[@]}"; do
    bytes=$((size * 1024 * 1024))
    curl_time=$(cut -d' ' -f1 "$work/curl-$size.txt" | median)
    plain_time=$(cut -d' ' -f1 "$work/downloader-$size.txt" | median)
    for name in downloader pinned curl; do
      t=$(cut -d' ' -f1 "$work/$name-$size.txt" | median)
      rss=$(cut -d' ' -f2 "$work/$name-$size.txt" | median)
      rss_max=$(cut -d' ' -f2 "$work/$name-$size.txt" | sort -n | tail -n1)
      label=$name
      [ "$name" = downloader ] && label="FileDownloader"
      [ "$name" = pinned ] && label="FileDownloader, pinned"
      [ "$name" = curl ] && label="curl -o"
      awk -v size="$size" -v label="$label" -v t="$t" -v ct="$curl_time" -v pt="$plain_time" -v bytes="$bytes" \
        -v rss="$rss" -v rmax="$rss_max" \
        'BEGIN { vs = label == "curl -o" ? "-" : sprintf("%.2f", pt / t)
                 printf "| %d MiB | %s | %.3f s | %.0f MB/s | %.2f | %s | %.1f / %.1f MiB |\n", size, label, t, bytes / t / 1e6, ct / t, vs, rss / 1024, rmax / 1024 }'
    done
  done
  echo
  echo "Each run (seconds, peak RSS KiB):"
  for size in "${sizes[@]}"; do
    for name in downloader pinned curl; do
      echo "- $name $size MiB: $(tr '\n' ';' <"$work/$name-$size.txt" | sed 's/;$//; s/;/; /g')"
    done
  done
} | tee "$result"
echo "download.sh: written to $result"
