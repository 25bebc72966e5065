#!/usr/bin/env bash
# Times Unzipper (bench_unzip) against `unzip -p` and `bsdtar -xO` on one
# entry: random bytes stored, and text deflated, at 100 MiB and 1 GiB each.
# `cp` of a file of the entry's size is the floor that no extractor can beat.
# Runs alternate between the four, in a rotating order; the table gives
# median wall time, median peak resident memory (/usr/bin/time %M), the
# unzipper's speed relative to each peer and to the faster of the two (above
# 1 = faster), and each one's time over cp's.
# All four write to a file in the same folder on the same disk, removed after
# each run; their sources stay in the page cache between runs.
#   bench/unzip.sh [runs]     default 5; archives in bench/results/unzip/,
#                             the table and every run in bench/results/unzip-*.txt
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-5}"
mkdir -p bench/results
exec > >(tee "bench/results/unzip-$(date +%Y%m%d-%H%M%S).txt")
build_dir=build-bench
work=bench/results/unzip
mkdir -p "$work/out"
work="$(realpath "$work")"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARNWICK_BENCH=ON >/dev/null
cmake --build "$build_dir" --target bench_unzip -j2 >/dev/null
bench_unzip="$(realpath "$build_dir/bin/bench_unzip")"

# make_archive <name> <MiB> <stored|deflated>: the archive holds Update.pkg,
# and <name>.pkg beside it is a copy of that entry, for cp.
make_archive() {
  local name="$1" mib="$2" kind="$3" zip="$work/$1.zip"
  [ -f "$zip" ] && [ -f "$work/$name.pkg" ] && return
  local staging
  staging="$(mktemp -d -p "$work")"
  if [ "$kind" = stored ]; then
    head -c "$((mib * 1048576))" /dev/urandom > "$staging/Update.pkg"
    (cd "$staging" && zip -q -X -0 "$zip.part" Update.pkg)
  else
    # seq ends on SIGPIPE once head has enough.
    (seq -f 'line %.0f of the installer package: payload files, receipts and scripts' 1 100000000 || true) |
      head -c "$((mib * 1048576))" > "$staging/Update.pkg"
    (cd "$staging" && zip -q -X -6 "$zip.part" Update.pkg)
  fi
  mv "$zip.part" "$zip"
  mv "$staging/Update.pkg" "$work/$name.pkg"
  rm -rf "$staging"
}

# measure <tool> <zip>: prints "milliseconds peak-KiB" for one extraction.
measure() {
  local tool="$1" zip="$2" out="$work/out/Update.pkg" rss="$work/rss"
  local start end
  start=$(date +%s%N)
  case "$tool" in
    unzipper) /usr/bin/time -f %M -o "$rss" "$bench_unzip" "$zip" Update.pkg "$work/out" ;;
    unzip) /usr/bin/time -f %M -o "$rss" unzip -p "$zip" Update.pkg > "$out" ;;
    bsdtar) /usr/bin/time -f %M -o "$rss" bsdtar -xOf "$zip" Update.pkg > "$out" ;;
    cp) /usr/bin/time -f %M -o "$rss" cp "${zip%.zip}.pkg" "$out" ;;
  esac
  end=$(date +%s%N)
  rm -f "$out"
  echo "$(( (end - start) / 1000000 )) $(cat "$rss")"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

tools=(unzipper unzip bsdtar cp)
printf '%-14s %-9s %10s %10s %10s %7s %9s %9s %9s %8s %9s %8s %9s %9s %9s\n' case zip_size unzipper_ms unzip_ms \
  bsdtar_ms cp_ms unzipper_KiB unzip_KiB bsdtar_KiB vs_unzip vs_bsdtar vs_best unzipper/cp unzip/cp bsdtar/cp
for kind in stored deflated; do
  for mib in 100 1024; do
    name="$kind-${mib}MiB"
    make_archive "$name" "$mib" "$kind"
    zip="$work/$name.zip"
    # One untimed pass puts the archive and the copy's source in the page cache.
    cat "$zip" "$work/$name.pkg" > /dev/null
    declare -A times=() rsss=()
    for ((r = 0; r < runs; r++)); do
      for ((k = 0; k < ${#tools[@]}; k++)); do
        tool="${tools[$(((r + k) % ${#tools[@]}))]}"
        read -r ms kib < <(measure "$tool" "$zip")
        times[$tool]+="$ms "
        rsss[$tool]+="$kib "
      done
    done
    declare -A mt=() mr=()
    for tool in "${tools[@]}"; do
      mt[$tool]=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
      mr[$tool]=$(tr ' ' '\n' <<<"${rsss[$tool]}" | grep . | median)
    done
    best=$(awk "BEGIN { print (${mt[unzip]} < ${mt[bsdtar]}) ? ${mt[unzip]} : ${mt[bsdtar]} }")
    printf '%-14s %-9s %10s %10s %10s %7s %9s %9s %9s %8s %9s %8s %9s %9s %9s\n' "$name" "$(du -m "$zip" | cut -f1)MB" \
      "${mt[unzipper]}" "${mt[unzip]}" "${mt[bsdtar]}" "${mt[cp]}" "${mr[unzipper]}" "${mr[unzip]}" "${mr[bsdtar]}" \
      "$(ratio "${mt[unzip]}" "${mt[unzipper]}")" "$(ratio "${mt[bsdtar]}" "${mt[unzipper]}")" \
      "$(ratio "$best" "${mt[unzipper]}")" "$(ratio "${mt[unzipper]}" "${mt[cp]}")" \
      "$(ratio "${mt[unzip]}" "${mt[cp]}")" "$(ratio "${mt[bsdtar]}" "${mt[cp]}")"
    for tool in "${tools[@]}"; do
      echo "  $name $tool runs (ms): ${times[$tool]}"
    done
    unset times rsss mt mr
  done
done
