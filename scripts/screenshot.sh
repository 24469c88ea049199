#!/usr/bin/env bash
# Starts vellary-converter on a virtual display (Xvfb, 96 dpi), takes a
# picture of its window and writes docs/screenshot.png. Prints the window's
# caption and client size as X reports them.
# Needs: xvfb (xvfb-run), imagemagick (import, convert), x11-utils (xwininfo).
# Usage: scripts/screenshot.sh [path/to/vellary-converter]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/shell/vellary-converter}
[ -x "$program" ] || { echo "no program at $program: build it first (cmake --build build)" >&2; exit 1; }
mkdir -p docs

if [ -z "${VELLARY_SCREENSHOT_INNER:-}" ]; then
  export VELLARY_SCREENSHOT_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$program"
fi

# Inside the virtual display.
export QT_QPA_PLATFORM=xcb
"$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

title="Osmark Vellary Converter v1.0"
for _ in $(seq 1 100); do
  if xwininfo -name "$title" >/dev/null 2>&1; then break; fi
  sleep 0.1
done
sleep 1  # let it paint
info=$(xwininfo -name "$title")
width=$(sed -n 's/^ *Width: //p' <<<"$info")
height=$(sed -n 's/^ *Height: //p' <<<"$info")
x=$(sed -n 's/^ *Absolute upper-left X: *//p' <<<"$info")
y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<<"$info")
echo "caption: $(sed -n 's/^xwininfo: Window id: [^ ]* "\(.*\)"$/\1/p' <<<"$info")"
echo "client area: ${width} x ${height} at ${x},${y}"

# No window manager runs here, so the window has no frame: take its area of the screen.
import -window root -crop "${width}x${height}+${x}+${y}" +repage docs/screenshot.png
echo "wrote docs/screenshot.png"

# A close request (what the close box sends) must end the program at once.
window=$(sed -n 's/^xwininfo: Window id: \([^ ]*\) .*/\1/p' <<<"$info")
python3 scripts/x11_close.py "$window"
start=$(date +%s%N)
running() {  # alive and not a zombie waiting to be reaped
  local state
  state=$(ps -o stat= -p "$pid" 2>/dev/null || true)
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}
for _ in $(seq 1 100); do
  running || break
  sleep 0.01
done
if running; then
  echo "close request: the program is still running after 1 s" >&2
  exit 1
fi
wait "$pid" || true
echo "close request: the program ended within $(( ($(date +%s%N) - start) / 1000000 )) ms of it"
