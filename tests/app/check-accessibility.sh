#!/usr/bin/env bash
# Reads the window's controls the way a screen reader does: over AT-SPI, on a
# private session bus with its own accessibility bus, under Xvfb. Every
# control must be there, named and pressable, and the decoration (the drag
# area, the status symbol) must not be there at all. Stops everything it started, by pid.
# Usage: check-accessibility.sh PATH_TO_VESSARO
set -uo pipefail
program=$1
dir=$(mktemp -d)
pids=()
cleanup() {
    local i
    for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "check-accessibility: $*" >&2; [ -f "$dir/tree" ] && cat "$dir/tree" >&2; exit 1; }

export XDG_RUNTIME_DIR=$dir XDG_CACHE_HOME=$dir/cache HOME=$dir
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$dir/bus" ] && break; sleep 0.1; done
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)

# Xvfb picks a free display and writes its number.
exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 10 -u "$display_fd" number || fail "Xvfb did not start"
export DISPLAY=:$number

QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$program" >/dev/null 2>&1 &
pids+=($!)
/usr/bin/python3 "$(dirname "$0")/atspi_names.py" Vessaro >"$dir/tree" || fail "the tree could not be read"

for name in "Brisal录音" "开始录制" "使用帮助" "录音时长 00:00"; do
    grep -qP "\t\Q$name\E$" "$dir/tree" || fail "no control named $name"
done
# Lines: depth, role, size, actions, name.
[ "$(grep -cP "\tpush button\t[^\t]*\t[^\t]*\t.+$" "$dir/tree")" -ge 5 ] || fail "fewer than five named buttons"
if grep -qP "\tpush button\t[^\t]*\t[^\t]*\t$" "$dir/tree"; then fail "a button without a name"; fi
if grep -P "\tpush button\t" "$dir/tree" | grep -vqP "^[^\t]*\t[^\t]*\t[^\t]*\t([^\t]*,)?Press[,\t]"; then
    fail "a button without the press action"
fi
# The drag area is the only 370 x 88 piece of the window.
if grep -qP "\t370x88\t" "$dir/tree"; then fail "the drag area is shown to screen readers"; fi
# Beside the status sentence only the spinner remains, hidden while idle.
siblings=$(awk -F'\t' -v name="准备好了" '
    { depth[NR] = $1; last[NR] = $NF }
    END {
        for (at = 1; at <= NR && last[at] != name; at++) {}
        count = 0
        for (i = at; i > 0 && depth[i] >= depth[at]; i--) if (depth[i] == depth[at]) count++
        for (i = at + 1; i <= NR && depth[i] >= depth[at]; i++) if (depth[i] == depth[at]) count++
        print count
    }' "$dir/tree")
[ "$siblings" = 2 ] || fail "the status symbol is shown to screen readers ($siblings pieces in the status row)"
echo "accessibility checks passed: $(grep -c "" "$dir/tree") nodes"
