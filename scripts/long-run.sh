#!/usr/bin/env bash
# The long runs, not part of scripts/test.sh (about twenty minutes in all):
# ten minutes of a known signal, recorded under two busy-looping CPU hogs,
# come back in order and bit for bit, save for the runs of silence a busy
# output inserts: against a private PulseAudio, then a private PipeWire. Needs the build in build/ (scripts/test.sh makes it).
# VESSARO_LONG_RUN_SECONDS shortens the runs.
set -uo pipefail
cd "$(dirname "$0")/.."
export VESSARO_LONG_RUN=1 QT_QPA_PLATFORM=offscreen
# Each run takes longer than the test library allows a function by default.
export QTEST_FUNCTION_TIMEOUT=7200000
status=0
for server in pulseaudio pipewire; do
  echo "== ten minutes under load, $server"
  scripts/audio-server.sh run "$server" -- \
    build/tests/capture/tst_recordingendtoend tenMinutesUnderLoadComeBackBitForBit || status=1
done
exit "$status"
