#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian 12's packages.
# Safe to run again: it asks apt only for what is missing.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config
  clang-format-14                 # the test command checks the code's format
  qt6-base-dev qcoro-qt6-dev
  qt6-svg-dev                     # the symbols, and rendering the artwork at build time
  # the look: Chinese glyphs, the rounded face, Qt's own dialogs in Chinese
  fonts-noto-cjk fonts-quicksand qt6-translations-l10n
  libavcodec-dev libavformat-dev libavutil-dev
  libpulse-dev
  libbenchmark-dev
  # the sanitizer build: clang, whose runtime package carries libFuzzer (g++ has none)
  clang libclang-rt-14-dev
  # the private audio servers of the tests and the self-test
  pulseaudio pulseaudio-utils
  pipewire pipewire-pulse wireplumber dbus-daemon
  # test signals and reference encodes
  sox ffmpeg
  # the installation and the Debian package: checking them, and the package's
  # library dependencies (dpkg-shlibdeps)
  desktop-file-utils appstream dpkg-dev file
  # the window read over AT-SPI, as a screen reader does, under a private X server
  xvfb xauth at-spi2-core python3-pyatspi
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
