#!/usr/bin/env bash
# Builds the program and starts it. Installs what is missing first.
# VELLARY_NO_START=1 builds and exits without starting anything (for scripts
# that check the build, such as scripts/readme-order.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLARY_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ "${VELLARY_NO_START:-}" = 1 ]; then
  echo "built; not started (VELLARY_NO_START=1)"
  exit 0
fi
if [ -x build/shell/vellary-converter ]; then
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting the window on a virtual display (xvfb-run)." >&2
    exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" build/shell/vellary-converter "$@"
  fi
  exec build/shell/vellary-converter "$@"
fi
exec build/cli/vellary-convert --help
