#!/usr/bin/env bash
# Builds the Debian package and installs it into a fresh minimal Debian 12
# tree (scripts/fresh-debian-check.sh), where apt brings its dependencies,
# then runs `vessaro --version` there. Takes minutes; not part of
# scripts/test.sh. Run it as root from a clone of this repository.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESSARO_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target vessaro vessaro_bundle vessaro_icons
rm -rf build-release/package
(cd build-release && cpack -G DEB -B package >/dev/null)
deb=$(ls build-release/package/vessaro_*.deb)
echo "== $(basename "$deb")"
exec scripts/fresh-debian-check.sh --copy "$deb" bash -c '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq /root/'"$(basename "$deb")"' >/dev/null
    echo "installed: $(dpkg-query -W -f="\${Package} \${Version}" vessaro)"
    vessaro --version
    test -s /usr/share/vessaro/Vessaro_Vessaro.bundle/Brand/orlo-shell.png
    test -s /usr/share/applications/org.vessaro.Vessaro.desktop'
