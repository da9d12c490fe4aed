#!/usr/bin/env bash
# Fuzzes the MP4 readers for longer than the test command does: each target
# for SECONDS seconds (default 600), one after the other, on the corpus the
# test command grows in build-asan. Builds build-asan first (as scripts/test.sh
# does). A crash stops its target and leaves the input in
# build-asan/tests/fuzz/fuzz-crashes/; keep it as a regression by copying it
# into tests/fuzz/regressions/<target>/, then fix the fault.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
targets=(fuzz_validate fuzz_repair)

CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESSARO_ASAN=ON \
  -DVESSARO_BENCH=OFF >/dev/null
cmake --build build-asan -j "$(nproc)" --target "${targets[@]}"

dir=build-asan/tests/fuzz
status=0
for target in "${targets[@]}"; do
  echo "== $target for $seconds s"
  "$dir/$target" -max_total_time="$seconds" -rss_limit_mb=1024 -malloc_limit_mb=128 -print_final_stats=1 -artifact_prefix="$dir/fuzz-crashes/$target-" \
    "$dir/corpus/$target" "tests/fuzz/regressions/$target" "$dir/seeds" || status=1
done
exit "$status"
