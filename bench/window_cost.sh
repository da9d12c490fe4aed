#!/usr/bin/env bash
# The cost of keeping the window open while recording: CPU time of all
# threads per minute of audio over 30 steady seconds, and the peak resident
# memory, of the program with its window shown on a private X server (Xvfb),
# beside ffmpeg recording the same monitor over the same 30 seconds.
#   bench/window_cost.sh [BUILD_DIR]     (default build; needs bench_window_cost)
# Prints "key value" lines. Starts its own private PulseAudio and plays a
# signal into it, unless run inside one (bench/table.sh sets VESSARO_TABLE_PLAYS
# when its own signal already plays).
# VESSARO_WINDOW_COST_SMAPS=FILE keeps the program's /proc/PID/smaps at the end of
# the 30 seconds, to see where its memory goes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

if [[ -z "${VESSARO_TEST_SINK:-}" ]]; then
  exec scripts/audio-server.sh run pulseaudio -- "$0" "$build"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
monitor="$VESSARO_TEST_SINK.monitor"
seconds=${VESSARO_WINDOW_COST_SECONDS:-30}

if [[ -z "${VESSARO_TABLE_PLAYS:-}" ]]; then
  sox -q -m "|sox -n -r 48000 -c 2 -p synth 60 sine 440 sine 660 vol 0.4" \
    "|sox -n -r 48000 -c 2 -p synth 60 pinknoise vol 0.1" -b 16 "$work/signal16.wav"
  (while :; do paplay -d "$VESSARO_TEST_SINK" "$work/signal16.wav" 2>/dev/null || sleep 0.1; done) &
  pids+=($!)
fi

# A private X server on a free display number.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(head -n 1 "$work/display")"
export QT_QPA_PLATFORM=xcb XDG_CACHE_HOME="$work/cache"

cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%d", sum }'; }
now_ns() { date +%s%N; }
peak_kib() { awk '/^VmHWM:/ { print $2 }' /proc/"$1"/status 2>/dev/null || echo 0; }
per_minute() { awk -v cpu="$1" -v wall="$2" 'BEGIN { printf "%.2f", cpu / wall * 60 }'; }
mib() { awk -v kib="$1" 'BEGIN { printf "%.1f", kib / 1024 }'; }

"$build/bench/bench_window_cost" >"$work/vessaro.log" 2>&1 &
vessaro=$!
pids+=("$vessaro")
ffmpeg -nostdin -loglevel error -f pulse -sample_rate 48000 -channels 2 -i "$monitor" \
  -c:a alac -y "$work/ffmpeg.mp4" &
ffmpeg=$!
pids+=("$ffmpeg")
# The countdown (three seconds), the start and a few seconds of recording.
sleep 8
for _ in $(seq 50); do
  compgen -G "$XDG_CACHE_HOME/vessaro/Vessaro/recording-*" >/dev/null && break
  sleep 0.1
done
compgen -G "$XDG_CACHE_HOME/vessaro/Vessaro/recording-*" >/dev/null ||
  { echo "window_cost.sh: no recording started" >&2; cat "$work/vessaro.log" >&2; exit 1; }
v0=$(cpu_ns "$vessaro"); f0=$(cpu_ns "$ffmpeg"); t0=$(now_ns)
sleep "$seconds"
v1=$(cpu_ns "$vessaro"); f1=$(cpu_ns "$ffmpeg"); t1=$(now_ns)
echo "window_cpu_per_minute $(per_minute $((v1 - v0)) $((t1 - t0)))"
echo "ffmpeg_cpu_per_minute $(per_minute $((f1 - f0)) $((t1 - t0)))"
echo "window_peak_mib $(mib "$(peak_kib "$vessaro")")"
echo "ffmpeg_peak_mib $(mib "$(peak_kib "$ffmpeg")")"
if [[ -n "${VESSARO_WINDOW_COST_SMAPS:-}" ]]; then
  cp /proc/"$vessaro"/smaps "$VESSARO_WINDOW_COST_SMAPS"
fi
kill -INT "$ffmpeg"
kill -TERM "$vessaro"
for _ in $(seq 100); do kill -0 "$vessaro" 2>/dev/null || break; sleep 0.1; done
