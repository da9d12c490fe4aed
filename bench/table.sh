#!/usr/bin/env bash
# Prints the performance table (Markdown): each figure of Vessaro beside its
# anchor, the tool people use today, measured in the same run on the same
# private sound server playing the same signal. Takes about ten minutes.
#   bench/table.sh [BUILD_DIR]     (default build; a RelWithDebInfo build with bench/)
# Starts its own private PulseAudio through scripts/audio-server.sh and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

if [[ -z "${VESSARO_TEST_SINK:-}" ]]; then
  exec scripts/audio-server.sh run pulseaudio -- "$0" "$build"
fi

work=$(mktemp -d)
players=()
cleanup() {
  for pid in "${players[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
monitor="$VESSARO_TEST_SINK.monitor"
log() { echo "table.sh: $*" >&2; }

# The signal: two tones and pink noise, 16 bits, looped into the sink.
sox -q -m "|sox -n -r 48000 -c 2 -p synth 120 sine 440 sine 660 vol 0.4" \
  "|sox -n -r 48000 -c 2 -p synth 120 pinknoise vol 0.1" -b 16 "$work/signal16.wav"
(while :; do paplay -d "$VESSARO_TEST_SINK" "$work/signal16.wav" || sleep 0.1; done) &
players+=($!)
sleep 1

# CPU time of every thread of a process, in nanoseconds (schedstat, not ticks).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%d", sum }'; }
now_ns() { date +%s%N; }
peak_kib() { awk '/^VmHWM:/ { print $2 }' /proc/"$1"/status 2>/dev/null || echo 0; }
per_minute() { awk -v cpu="$1" -v wall="$2" 'BEGIN { printf "%.2f", cpu / wall * 60 }'; }
mib() { awk -v kib="$1" 'BEGIN { printf "%.1f", kib / 1024 }'; }

# A tool recording from the monitor: its CPU per minute over a 10 s window
# after 3 s of warm-up, and its peak memory.
measure_tool() {
  local name=$1
  shift
  "$@" &
  local pid=$!
  sleep 3
  local cpu0 wall0 cpu1 wall1
  cpu0=$(cpu_ns "$pid"); wall0=$(now_ns)
  sleep 10
  cpu1=$(cpu_ns "$pid"); wall1=$(now_ns)
  local peak
  peak=$(peak_kib "$pid")
  kill -INT "$pid"; wait "$pid" 2>/dev/null || true
  printf -v "${name}_cpu" '%s' "$(per_minute $((cpu1 - cpu0)) $((wall1 - wall0)))"
  printf -v "${name}_peak" '%s' "$(mib "$peak")"
}

log "CPU and memory: the self-test, ffmpeg, parec"
export XDG_CACHE_HOME="$work/cache"
"$build/vessaro" --verify-capture "$work/selftest" >"$work/selftest.log" 2>&1 &
vessaro_pid=$!
declare -A seen=()
cpu_at=()
wall_at=()
vessaro_peak_kib=0
while kill -0 "$vessaro_pid" 2>/dev/null; do
  for file in "$XDG_CACHE_HOME"/vessaro/Vessaro/recording-*.mp4; do
    [[ -e "$file" && -z "${seen[$file]:-}" ]] || continue
    seen[$file]=1
    cpu_at+=("$(cpu_ns "$vessaro_pid")")
    wall_at+=("$(now_ns)")
  done
  peak=$(peak_kib "$vessaro_pid")
  ((peak > vessaro_peak_kib)) && vessaro_peak_kib=$peak
  sleep 0.005
done
wait "$vessaro_pid" || { log "the self-test failed:"; cat "$work/selftest.log" >&2; exit 1; }
((${#cpu_at[@]} >= 3)) || { log "saw ${#cpu_at[@]} recordings, not 3"; exit 1; }
vessaro_cpu=$(per_minute $((cpu_at[2] - cpu_at[1])) $((wall_at[2] - wall_at[1])))
measure_tool ffmpeg ffmpeg -nostdin -loglevel error -f pulse -sample_rate 48000 -channels 2 -i "$monitor" \
  -c:a alac -y "$work/ffmpeg-live.mp4"
measure_tool parec parec -d "$monitor" --format=float32le --rate=48000 --channels=2 --latency-msec=20 --raw "$work/parec.raw"

# File size per minute of the 16-bit signal: the self-test's files, saved as
# the export saves them (the sink is float, so they hold the 16-bit samples
# exactly, and are saved at 16 bits) beside ffmpeg's ALAC at 16 bits and FLAC
# of the same signal.
vessaro_size=$(cd "$work/selftest" && for f in cycle-*.mp4; do
  ffprobe -v error -show_entries format=duration,size -of csv=p=0 "$f"; done |
  awk -F, '{ d += $1; s += $2 } END { printf "%.2f", s / d * 60 / 1048576 }')
size_per_minute() {
  ffprobe -v error -show_entries format=duration,size -of csv=p=0 "$1" |
    awk -F, '{ printf "%.2f", $2 / $1 * 60 / 1048576 }'
}
ffmpeg -nostdin -loglevel error -y -i "$work/signal16.wav" -c:a alac -sample_fmt s16p "$work/alac16.m4a"
ffmpeg -nostdin -loglevel error -y -i "$work/signal16.wav" -c:a flac "$work/signal.flac"
alac16_size=$(size_per_minute "$work/alac16.m4a")
flac_size=$(size_per_minute "$work/signal.flac")
# The export of two minutes of it: rewritten as 16-bit ALAC and compared.
log "the 16-bit export"
ffmpeg -nostdin -loglevel error -y -i "$work/signal16.wav" -f s16le "$work/signal16.raw"
"$build/bench/bench_sixteen_bit_export" "$work/signal16.raw" >"$work/export.txt"
export_value() { awk -F= -v key="$1" '$1 == key { print $2 }' "$work/export.txt"; }

log "the window shown while recording (30 s, beside ffmpeg)"
VESSARO_TABLE_PLAYS=1 bench/window_cost.sh "$build" >"$work/window.txt"
window() { awk -v key="$1" '$1 == key { print $2 }' "$work/window.txt"; }

log "start latency and audio callbacks (60 s of recording)"
"$build/bench/bench_live_capture" 60 >"$work/live.txt"
live() { awk -v key="$1" '$1 == key { print $2 }' "$work/live.txt"; }
parec_first_ms=()
for _ in 1 2 3 4 5; do
  t0=$(now_ns)
  { parec -d "$monitor" --format=float32le --rate=48000 --channels=2 --latency-msec=20 --raw 2>/dev/null || true; } | head -c 1 >/dev/null
  parec_first_ms+=("$(( ($(now_ns) - t0) / 1000000 ))")
done
parec_first=$(printf '%s\n' "${parec_first_ms[@]}" | sort -n | sed -n 3p)

log "writer throughput and append cost (ten runs)"
"$build/bench/bench_media_writer" --benchmark_filter=Throughput --benchmark_format=csv 2>/dev/null >"$work/throughput.csv"
counter() { # counter FILE ROWNAME COLUMN: one counter of a benchmark's CSV row
  awk -F, -v row="$2" -v column="$3" '/^name,/ { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); if ($i == column) c = i }; next }
    $1 ~ row { gsub(/"/, "", $c); print $c; exit }' "$1"
}
vessaro_x=$(counter "$work/throughput.csv" "_median" vessaro_x_realtime)
ffmpeg_x=$(counter "$work/throughput.csv" "_median" ffmpeg_x_realtime)
"$build/bench/bench_media_writer" --benchmark_filter=AppendSequence \
  --benchmark_format=csv 2>/dev/null >"$work/append.csv"
append_column() { # one counter of every run, without the aggregate rows
  awk -F, -v column="$1" '/^name,/ { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); if ($i == column) c = i }; next }
    $1 ~ /_(mean|median|stddev|cv)"?$/ || !c { next }
    { print $c + 0 }' "$work/append.csv" | sort -g
}
append_stat() { # append_stat COLUMN median|max
  if [[ $2 == max ]]; then append_column "$1" | tail -n 1
  else append_column "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; fi
}
append_median=$(append_stat median_ns median)
append_p999=$(append_stat p99.9_ns max)
append_worst=$(append_stat max_ns max)
append_allocations=$(append_stat allocations max)
append_faults=$(append_stat worst_faults max)

log "stop to validated file (10 s, 10 min, 1 h of audio)"
"$build/bench/bench_finish_validate" 10 600 3600 >"$work/finish.txt"
finish_row() { awk -v s="$1" '$1 == s { printf "%.0f ms (finish %.0f + validate %.0f)", $3 + $4, $3, $4 }' "$work/finish.txt"; }
# ffmpeg's own stop: from SIGINT to exit after 10 s of live capture.
ffmpeg -nostdin -loglevel error -f pulse -sample_rate 48000 -channels 2 -i "$monitor" -c:a alac -y "$work/stop.mp4" &
ffmpeg_pid=$!
sleep 10
t0=$(now_ns)
kill -INT "$ffmpeg_pid"; wait "$ffmpeg_pid" 2>/dev/null || true
ffmpeg_stop_ms=$(( ($(now_ns) - t0) / 1000000 ))

log "memory over two recorded hours"
"$build/bench/bench_recording_memory" 2 >"$work/memory.txt"
growth=$(awk -F': ' '/growth per hour/ { print $2 }' "$work/memory.txt")

cpu_model=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
cat <<EOF
Measured on $(date -u +%Y-%m-%d), $cpu_model ($(nproc) cores), Debian $(cat /etc/debian_version),
commit $(git rev-parse --short HEAD), private $VESSARO_TEST_AUDIO_SERVER with a ${VESSARO_TEST_SINK_FORMAT} ${VESSARO_TEST_SINK_RATE} Hz sink,
playing two tones and pink noise at 16 bits (\`bench/table.sh\`).

| Figure | Vessaro | Anchor |
|---|---|---|
| CPU per minute of audio, recording (all threads) | ${vessaro_cpu} s (self-test, cycle 2 to 3) | ffmpeg -f pulse … -c:a alac: ${ffmpeg_cpu} s; parec --latency-msec=20: ${parec_cpu} s |
| CPU per minute of audio, recording with the window shown (all threads) | $(window window_cpu_per_minute) s (30 s, Xvfb) | ffmpeg -f pulse … -c:a alac, the same 30 s: $(window ffmpeg_cpu_per_minute) s |
| Writer throughput | ${vessaro_x}× real time | ffmpeg -i same.wav -c:a alac: ${ffmpeg_x}× |
| Start request to first captured frame | $(live start_to_first_frame_median_ms) ms median, $(live start_to_first_frame_worst_ms) ms worst of 10 | parec --latency-msec=20, launch to first byte: ${parec_first} ms median of 5 |
| Stop to validated file, after 10 s | $(finish_row 10) | ffmpeg, SIGINT to exit: ${ffmpeg_stop_ms} ms |
| … after 10 min | $(finish_row 600) | — |
| … after 1 h | $(finish_row 3600) | — |
| One \`append\` (ten runs of 15,000) | median ${append_median} ns, 99.9th ${append_p999} ns, worst ${append_worst} ns; ${append_allocations} allocations | the budget: one buffer of $(live callback_audio_ms) ms |
| Longest audio callback of ours ($(live callback_count) calls, 60 s) | $(live callback_worst_us) µs (median $(live callback_median_us), 99.9th $(live callback_p999_us)) | the same budget: $(live callback_audio_ms) ms |
| Peak memory while recording | $(mib "$vessaro_peak_kib") MiB | ffmpeg: ${ffmpeg_peak} MiB; parec: ${parec_peak} MiB |
| Peak memory while recording with the window shown | $(window window_peak_mib) MiB | ffmpeg, the same run: $(window ffmpeg_peak_mib) MiB |
| Memory growth per recorded hour | ${growth} | — |
| File size per minute, 16-bit source | ${vessaro_size} MiB (16-bit ALAC, as exported; $(export_value size_ratio)× ffmpeg's of the same samples) | ffmpeg ALAC 16-bit: ${alac16_size} MiB; FLAC: ${flac_size} MiB |
| Export of a 16-bit recording (re-encode and compare, 2 min) | $(export_value export_x_realtime)× real time | a byte copy of the 24-bit recording |
EOF
