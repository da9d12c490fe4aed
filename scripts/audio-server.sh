#!/usr/bin/env bash
# Runs a command against a private audio server that nothing else uses.
#
# Usage:
#   scripts/audio-server.sh run pulseaudio|pipewire [--] COMMAND [ARG...]
#
# Starts the server in a fresh XDG_RUNTIME_DIR (a new directory under
# ${TMPDIR:-/tmp}), with private config, state and cookie files, waits until
# `pactl info` answers, runs COMMAND, then stops every process it started (by
# pid, newest first), removes the directory and exits with COMMAND's status
# (or 125 when the server could not be started). INT and TERM stop COMMAND and
# the server too.
#
#   pulseaudio  pulseaudio 16 (-n, module-native-protocol-unix, null sinks)
#   pipewire    a private dbus-daemon, pipewire, wireplumber and pipewire-pulse
#
# The server has two null sinks:
#   vessaro_out       the default output (sink): what "the computer plays"
#   vessaro_fake_mic  a stand-in microphone: its monitor is the default SOURCE,
#                     at a different rate, so capturing the wrong node shows
#
# Read from the environment:
#   VESSARO_SINK_FORMAT  sample format of vessaro_out (default float32le;
#                        e.g. s16le, s24le, s32le; PipeWire always uses
#                        float32le and ignores it)
#   VESSARO_SINK_RATE    its rate in Hz (default 48000); under PipeWire also
#                        the graph's clock rate
#
# COMMAND sees:
#   XDG_RUNTIME_DIR, PULSE_SERVER, PULSE_COOKIE   pointing at the private server
#   VESSARO_TEST_AUDIO_SERVER      the flavour (pulseaudio or pipewire)
#   VESSARO_TEST_AUDIO_SERVER_PID  pid of the process that speaks the PulseAudio
#                                  protocol (pulseaudio or pipewire-pulse);
#                                  tests may kill it to simulate a server crash
#   VESSARO_TEST_SINK, VESSARO_TEST_SINK_FORMAT, VESSARO_TEST_SINK_RATE
#   VESSARO_TEST_FAKE_MIC          the fake microphone's sink name
#
# Sending SIGUSR1 to this script restarts the server like a crash would: the
# process that speaks the PulseAudio protocol is killed and started again at
# the same address, with the same sinks and defaults (under PipeWire only
# pipewire-pulse restarts). Tests use it to check reconnection.
#
# Example:
#   scripts/audio-server.sh run pipewire -- ctest --test-dir build -L server
#
# Works as root without a display, a session bus or a running audio server.
set -euo pipefail

usage() {
    sed -n '2,12p' "$0" >&2
    exit 2
}

[ $# -ge 2 ] && [ "$1" = run ] || usage
flavour=$2
shift 2
[ "${1:-}" = -- ] && shift
[ $# -ge 1 ] || usage
case "$flavour" in
    pulseaudio|pipewire) ;;
    *) usage ;;
esac

for tool in pactl "$flavour"; do
    command -v "$tool" >/dev/null || { echo "audio-server.sh: $tool is not installed" >&2; exit 125; }
done

sink=vessaro_out
mic=vessaro_fake_mic
sink_format=${VESSARO_SINK_FORMAT:-float32le}
sink_rate=${VESSARO_SINK_RATE:-48000}
# A rate the output never has, so a capture of the microphone reads wrong.
if [ "$sink_rate" = 44100 ]; then mic_rate=32000; else mic_rate=44100; fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/vessaro-audio.XXXXXX")
pids=()            # everything we started, oldest first
command_pid=

stop_pid() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        # Reaped below; a zombie still answers kill -0.
        [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ] && break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local status=$? i
    trap - EXIT INT TERM
    [ -n "$command_pid" ] && stop_pid "$command_pid"
    for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do
        stop_pid "${pids[i]}"
    done
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "audio-server.sh: $*" >&2
    for log in "$dir"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; tail -n 30 "$log" >&2; }
    done
    exit 125
}

# Everything the servers write stays in $dir: nothing touches the user's files.
mkdir -p "$dir/config" "$dir/state" "$dir/data" "$dir/home"
export XDG_RUNTIME_DIR=$dir
export PULSE_SERVER="unix:$dir/pulse/native"
export PULSE_COOKIE=$dir/cookie
server_env=(env HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
            XDG_DATA_HOME="$dir/data" PULSE_STATE_PATH="$dir/state/pulse")

server_answers() {
    pactl info >/dev/null 2>&1
}

wait_until() {   # wait_until WHAT PID COMMAND...: poll for up to 10 s
    local what=$1 pid=$2 i
    shift 2
    for i in $(seq 100); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || fail "$what: the server exited"
        sleep 0.1
    done
    fail "$what: timed out"
}

default_is() {   # default_is sink|source NAME
    [ "$(pactl "get-default-$1" 2>/dev/null)" = "$2" ]
}

start_pulseaudio() {
    # As root pulseaudio warns that it is meant for users but runs.
    "${server_env[@]}" pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 \
        --use-pid-file=no --log-target=stderr -F "$dir/server.pa" \
        </dev/null >>"$dir/pulseaudio.log" 2>&1 &
    pids+=($!)
    server_pid=$!
    wait_until "pulseaudio" "$server_pid" server_answers
}

start_pipewire_pulse() {
    "${server_env[@]}" pipewire-pulse </dev/null >>"$dir/pipewire-pulse.log" 2>&1 &
    pids+=($!)
    server_pid=$!
    wait_until "pipewire-pulse" "$server_pid" server_answers

    pactl load-module module-null-sink sink_name=$sink format="$sink_format" rate="$sink_rate" channels=2 \
        sink_properties=device.description=Vessaro-Test-Output >/dev/null \
        || fail "pipewire: cannot create $sink"
    pactl load-module module-null-sink sink_name=$mic format=s16le rate=$mic_rate channels=2 \
        sink_properties=device.description=Vessaro-Fake-Microphone >/dev/null \
        || fail "pipewire: cannot create $mic"
    # WirePlumber publishes the defaults a moment after the nodes appear.
    wait_until "default sink" "$server_pid" sh -c "pactl set-default-sink $sink && [ \"\$(pactl get-default-sink)\" = $sink ]"
    wait_until "default source" "$server_pid" sh -c "pactl set-default-source $mic.monitor && [ \"\$(pactl get-default-source)\" = $mic.monitor ]"
}

restart_server() {
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    case "$flavour" in
        pulseaudio) start_pulseaudio ;;
        pipewire) start_pipewire_pulse ;;
    esac
}

case "$flavour" in
pulseaudio)
    cat >"$dir/server.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=$sink format=$sink_format rate=$sink_rate channels=2 sink_properties=device.description=Vessaro-Test-Output
load-module module-null-sink sink_name=$mic format=s16le rate=$mic_rate channels=2 sink_properties=device.description=Vessaro-Fake-Microphone
set-default-sink $sink
set-default-source $mic.monitor
EOF
    start_pulseaudio
    ;;
pipewire)
    command -v wireplumber >/dev/null && command -v pipewire-pulse >/dev/null && command -v dbus-daemon >/dev/null \
        || { echo "audio-server.sh: wireplumber, pipewire-pulse and dbus-daemon are needed" >&2; exit 125; }
    # WirePlumber 0.4 exits without a session bus: give it a private one.
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" \
        </dev/null >"$dir/dbus.log" 2>&1 &
    pids+=($!)
    wait_until "dbus-daemon" "${pids[-1]}" test -S "$dir/bus"
    server_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus" PIPEWIRE_RUNTIME_DIR="$dir")

    # The graph runs at the output's rate, so nothing between a player and
    # the output's monitor resamples. PipeWire's sinks are always float32.
    mkdir -p "$dir/config/pipewire/pipewire.conf.d"
    cat >"$dir/config/pipewire/pipewire.conf.d/vessaro.conf" <<EOF
context.properties = {
    default.clock.rate = $sink_rate
    default.clock.allowed-rates = [ $sink_rate ]
}
EOF
    # WirePlumber's bluetooth monitor watches logind's /run/systemd/users by
    # default; where there is no systemd (a container, a minimal system)
    # WirePlumber then exits at start-up. The private server has no bluetooth
    # and no seat, so the monitor runs without logind.
    mkdir -p "$dir/config/wireplumber/bluetooth.lua.d"
    cat >"$dir/config/wireplumber/bluetooth.lua.d/51-vessaro-no-logind.lua" <<EOF
bluez_monitor.properties["with-logind"] = false
EOF
    "${server_env[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
    pids+=($!)
    wait_until "pipewire" "${pids[-1]}" test -S "$dir/pipewire-0"
    "${server_env[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
    pids+=($!)
    start_pipewire_pulse
    ;;
esac

default_is sink "$sink" || fail "the default sink is not $sink"
default_is source "$mic.monitor" || fail "the default source is not $mic.monitor"

export VESSARO_TEST_AUDIO_SERVER=$flavour
export VESSARO_TEST_AUDIO_SERVER_PID=$server_pid
export VESSARO_TEST_SINK=$sink
export VESSARO_TEST_SINK_FORMAT=$sink_format
export VESSARO_TEST_SINK_RATE=$sink_rate
export VESSARO_TEST_FAKE_MIC=$mic

# In the background so that INT and TERM are handled at once; stdin is passed
# on explicitly (a background job would otherwise read /dev/null).
exec 3<&0
set +e
restart_requested=
trap 'restart_requested=1' USR1
"$@" <&3 3<&- &
command_pid=$!
# A trapped signal ends `wait` early: restart, then wait on.
while :; do
    wait "$command_pid"
    status=$?
    [ -n "$restart_requested" ] || break
    restart_requested=
    restart_server
done
command_pid=
exit "$status"
