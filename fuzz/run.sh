#!/usr/bin/env bash
# Builds the unzipper's libFuzzer target in build-fuzz/ with clang, ASan and
# UBSan, and runs it for a bounded time.
#   fuzz/run.sh [seconds]        default 600
# Crashes, leaks and sanitizer reports end the run with a non-zero status and
# leave the input in fuzz/artifacts/. Uses one core. Starts from the seeds in
# fuzz/seeds/ (made by fuzz/make_seeds.sh) and what fuzz/work/corpus/ kept.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
build_dir=build-fuzz
work=fuzz/work
mkdir -p "$work/corpus" fuzz/artifacts

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" --target fuzz_unzipper -j2

# Leaks are checked after every input; memory per input is capped at 2 GiB.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build_dir/bin/fuzz_unzipper" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
  -dict=fuzz/zip.dict -artifact_prefix=fuzz/artifacts/ -print_final_stats=1 \
  "$work/corpus" fuzz/seeds
