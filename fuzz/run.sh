#!/usr/bin/env bash
# Builds one libFuzzer target in build-fuzz/ with clang, ASan and UBSan, and
# runs it for a bounded time.
#   fuzz/run.sh [target] [seconds]   unzipper (the default), streaming_unzipper, content_decoder,
#                                    download_pin, package_signature, package_info or answer_headers;
#                                    600 s by default
#   fuzz/run.sh 1900                 the unzipper for 1900 s
# Crashes, leaks, broken properties and sanitizer reports end the run with a
# non-zero status and leave the input in fuzz/artifacts/<target>/. Uses one
# core. Starts from the seeds in fuzz/seeds/<target>/ (made by
# fuzz/make_seeds.sh) and what fuzz/work/<target>/ kept from earlier runs.
set -euo pipefail
cd "$(dirname "$0")/.."

target=unzipper
if [[ "${1:-}" =~ ^[a-z_]+$ ]]; then
  target=$1
  shift
fi
seconds="${1:-600}"
case "$target" in
  unzipper) options=(-max_len=65536 -dict=fuzz/zip.dict) ;;
  # Two bytes that cut it into pieces, then the archive.
  streaming_unzipper) options=(-max_len=65538 -dict=fuzz/zip.dict) ;;
  # 8 KiB inflate to at most about 8 MiB: past the 1 MiB pieces, still quick.
  content_decoder) options=(-max_len=8192) ;;
  download_pin) options=(-max_len=1024 -dict=fuzz/pin.dict) ;;
  # The real packages are 17 KiB and 153 KiB; the larger is cut past its TOC.
  package_signature) options=(-max_len=65536 -dict=fuzz/xar.dict) ;;
  answer_headers) options=(-max_len=256) ;;
  package_info) options=(-max_len=16384 -dict=fuzz/package_info.dict) ;;
  *)
    echo "unknown target \"$target\": unzipper, streaming_unzipper, content_decoder, download_pin," \
      "package_signature, package_info or answer_headers" >&2
    exit 2
    ;;
esac
build_dir=build-fuzz
work=fuzz/work/$target
mkdir -p "$work/corpus" "fuzz/artifacts/$target"

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" --target "fuzz_$target" -j2

# Leaks are checked after every input; memory per input is capped at 2 GiB.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build_dir/bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 "${options[@]}" \
  -artifact_prefix="fuzz/artifacts/$target/" -print_final_stats=1 \
  "$work/corpus" "fuzz/seeds/$target"
