#!/usr/bin/env bash
# Installs what is missing, builds Vessaro and runs it.
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) it opens the recorder window.
# Without a display it runs the headless self-test instead, against a private
# audio server that plays a short generated tune, and says where the report
# and the recordings are and whether the run passed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESSARO_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target vessaro

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  exec build-release/vessaro "$@"
fi

report_dir="${VESSARO_REPORT_DIR:-$PWD/verification-report}"
tune_dir=$(mktemp -d)
trap 'rm -rf "$tune_dir"' EXIT
# A rising and falling tune long enough to cover the three cycles.
sox -n -r 48000 -c 2 -b 16 "$tune_dir/tune.wav" synth 14 sine 220-880 sine 330-660 vol 0.4 fade 0.1 14 0.5

echo "No display: running the self-test against a private audio server."
scripts/audio-server.sh run pulseaudio -- bash -c '
  paplay "$1" & player=$!
  "$2" --verify-capture "$3"
  kill "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
' run "$tune_dir/tune.wav" "$PWD/build-release/vessaro" "$report_dir"

if [[ ! -f "$report_dir/result.json" ]]; then
  echo "The self-test wrote no report (see the line above)."
  exit 1
fi
status=$(sed -n 's/^    "status": "\(.*\)",\{0,1\}$/\1/p' "$report_dir/result.json")
echo "Report:     $report_dir/result.json"
echo "Recordings: $report_dir"
grep -o '"file": "[^"]*"' "$report_dir/result.json" | sed 's/"file": "\(.*\)"/            \1/' || true
echo "Result:     $status"
[[ "$status" == "passed" ]]
