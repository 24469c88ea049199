#!/usr/bin/env bash
# Installs the Debian packages the project needs, skipping those already
# installed. Safe to run any number of times. Needs root (or sudo).
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config git
  libgmime-3.0-dev qt6-base-dev zlib1g-dev libdeflate-dev
  googletest libgtest-dev
  # independent readers of our .pst and .msg files, used by the tests
  pst-utils pff-tools python3 python3-olefile libemail-outlook-message-perl
  libemail-address-perl  # msgconvert needs it; apt only recommends it
  # the window under a virtual display, its screenshot and its fonts
  xvfb xauth x11-utils imagemagick fonts-wine fonts-dejavu-core
  # the Windows build (cmake/mingw-w64-x86_64.cmake) and its tests under wine
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64
  # benchmarks: peak memory
  time bc
  # the fuzzing targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizers
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then as_root=(sudo); else
    echo "setup-deps: run as root, or install: ${missing[*]}" >&2; exit 1; fi
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
