#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the tests that need no audio server;
#   2. the audio-server tests against a private PulseAudio, then a private
#      PipeWire (each started and stopped by scripts/audio-server.sh);
#   3. the audio hand-over tests again under ThreadSanitizer;
#   4. every test but the audio-server ones again, built with clang under
#      AddressSanitizer and UndefinedBehaviorSanitizer, and 25 seconds of
#      fuzzing of each MP4 reader (scripts/fuzz.sh fuzzes for longer).
# Needs no display (GUI tests use the offscreen platform) and no running
# audio server. Ends with one line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh || exit 1

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
total_passed=0
total_failed=0
status=0

# Runs a command that ends in ctest and adds ctest's counts to the totals.
run_tests() {
  local log
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -n 1)
  if [[ -z "$line" ]]; then
    echo "test.sh: no test result from: $*" >&2
    total_failed=$((total_failed + 1))
    status=1
  else
    local failed all
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    total_passed=$((total_passed + all - failed))
    total_failed=$((total_failed + failed))
    ((failed == 0)) || status=1
  fi
  rm -f "$log"
}

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build -j "$jobs" || exit 1

echo "== tests without an audio server"
run_tests ctest --test-dir build --output-on-failure -LE server -j "$jobs"

for server in pulseaudio pipewire; do
  echo "== tests against a private $server"
  # One at a time: the tests share the server and listen to what it plays.
  run_tests scripts/audio-server.sh run "$server" -- ctest --test-dir build --output-on-failure -L server
done

echo "== audio hand-over under ThreadSanitizer"
# The audio hand-overs: audio thread to ring to encoder thread, and the
# server's thread to the driver through start and stop. Left out: the capture
# service's executor, which hands jobs over through Qt's event queue, and the
# backend's own test, whose set-up paths go through libpulse internals; neither
# library is instrumented, so the sanitizer reports their hand-overs as races.
tsan_tests=(tst_audioring tst_ffmpegmediawriter tst_pulseaudiohardware)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESSARO_TSAN=ON -DVESSARO_BENCH=OFF >/dev/null || exit 1
cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}" || exit 1
pattern="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
run_tests scripts/audio-server.sh run pulseaudio -- ctest --test-dir build-tsan --output-on-failure -R "$pattern"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer, and short fuzz runs"
# Debug -O1: the sanitizers' reports keep their line numbers. The audio-server
# tests are neither built nor run: they ran above, and their timing matters.
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESSARO_ASAN=ON \
  -DVESSARO_BENCH=OFF >/dev/null || exit 1
cmake --build build-asan -j "$jobs" || exit 1
export ASAN_OPTIONS=detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1
run_tests ctest --test-dir build-asan --output-on-failure -LE "server|fuzz|lint" -j "$jobs"
# One fuzz target per core.
run_tests ctest --test-dir build-asan --output-on-failure -L fuzz -j "$jobs"
unset ASAN_OPTIONS UBSAN_OPTIONS

echo
echo "$total_passed passed, $total_failed failed"
exit "$status"
