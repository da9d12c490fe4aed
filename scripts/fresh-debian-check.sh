#!/usr/bin/env bash
# Runs CI's command, `bash .ci/run`, in a fresh minimal Debian 12 tree, as CI
# would on a new machine: no desktop, no systemd, no audio server and nothing
# installed but what the project's own scripts install. A green run on a
# developer's machine can hide a missing install step; this cannot.
#
# Usage: scripts/fresh-debian-check.sh [--copy FILE]... [COMMAND...]
#
# Builds the tree with mmdebstrap (minbase, bookworm, the host's Debian
# sources), clones the committed HEAD of this repository into it, runs COMMAND
# there as root (default: bash .ci/run) with /proc, /sys, /dev and an empty
# /run, then unmounts everything and removes the tree. Exits with COMMAND's
# status. --copy puts FILE into the tree's /root first. Takes several
# minutes; run it as root. Not part of scripts/test.sh.
# Uncommitted changes are not seen: commit first.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
copies=()
while [ "${1:-}" = --copy ]; do
    [ -f "${2:-}" ] || { echo "fresh-debian-check.sh: --copy needs a file" >&2; exit 2; }
    copies+=("$(realpath "$2")")
    shift 2
done
[ $# -gt 0 ] || set -- bash .ci/run

if ! command -v mmdebstrap >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi

tree=$(mktemp -d "${TMPDIR:-/var/tmp}/vessaro-fresh.XXXXXX")
mounted=()
cleanup() {
    local status=$? i
    trap - EXIT INT TERM
    for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
    done
    # Never follow a mount that failed to come off into the host.
    rm -rf --one-file-system "$tree"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_in() {   # mount_in TARGET MOUNT-ARGS...
    local target=$tree$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list
echo "== a minimal Debian 12 tree in $tree"
mmdebstrap --quiet --variant=minbase --include=git,ca-certificates bookworm "$tree" "$sources"

git clone --quiet "$repo" "$tree/root/vessaro"
# The tests read nothing of shared/, but CI lays it beside the clone.
[ -d "$repo/../shared" ] && cp -r "$repo/../shared" "$tree/root/shared"
cp /etc/resolv.conf "$tree/etc/resolv.conf"
for file in "${copies[@]}"; do
    cp "$file" "$tree/root/"
done

mount_in /proc -t proc proc
mount_in /sys --bind /sys
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs tmpfs
mount_in /run -t tmpfs tmpfs
mount_in /tmp -t tmpfs tmpfs

echo "== $* in the fresh tree (commit $(git -C "$repo" rev-parse --short HEAD))"
set +e
chroot "$tree" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" CI=true LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c 'cd /root/vessaro && exec "$@"' run "$@"
status=$?
set -e
echo "== fresh tree: exit status $status"
exit "$status"
