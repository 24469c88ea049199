#!/usr/bin/env bash
# Starts vellary-converter on a virtual display (Xvfb, 96 dpi), prints its
# caption and client size as X reports them, writes a picture of the window
# to docs/screenshot.png, then checks the ways out as a user would take them:
# Alt+X answered No (the window stays) and Yes (the program ends), and a close
# request (what the close box sends), which must end the program at once.
# Needs: xvfb (xvfb-run), imagemagick (import), x11-utils (xwininfo),
# python3 with libX11 and libXtst (scripts/x11_input.py).
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

# Inside the virtual display; no window manager runs here.
export QT_QPA_PLATFORM=xcb
title="Osmark Vellary Converter v1.0"
question="Osmark Vellary Converter"
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null || true' EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }
input() { python3 scripts/x11_input.py "$@"; }
running() {  # alive and not a zombie waiting to be reaped
  local state
  state=$(ps -o stat= -p "$pid" 2>/dev/null || true)
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}
ended_within() {  # $1: seconds
  for _ in $(seq 1 $(( $1 * 100 ))); do
    running || return 0
    sleep 0.01
  done
  ! running
}
window_named() {  # exact title; prints the window id
  xwininfo -name "$1" 2>/dev/null | sed -n 's/^xwininfo: Window id: \([^ ]*\) .*/\1/p'
}
wait_for_window() {
  for _ in $(seq 1 100); do
    [ -n "$(window_named "$1")" ] && return 0
    sleep 0.05
  done
  return 1
}
start_program() {
  "$program" &
  pid=$!
  wait_for_window "$title" || fail "the window did not appear"
  sleep 1  # let it paint
  info=$(xwininfo -name "$title")
  width=$(sed -n 's/^ *Width: //p' <<<"$info")
  height=$(sed -n 's/^ *Height: //p' <<<"$info")
  x=$(sed -n 's/^ *Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<<"$info")
  input pointer $(( x + 30 )) $(( y + 30 ))
}

start_program
echo "caption: $(sed -n 's/^xwininfo: Window id: [^ ]* "\(.*\)"$/\1/p' <<<"$info")"
echo "client area: ${width} x ${height} at ${x},${y}"
# Without a window manager the window has no frame: its area of the screen is the client area.
import -window root -crop "${width}x${height}+${x}+${y}" +repage docs/screenshot.png
echo "wrote docs/screenshot.png"

# Alt+X asks; Escape answers No and the window stays.
input keys alt+x
wait_for_window "$question" || fail "Alt+X showed no question"
input keys Escape
sleep 0.5
{ [ -z "$(window_named "$question")" ] && running; } || fail "No did not keep the window"
echo "Alt+X, then No: the window stays"
# Alt+X again; Return takes the default answer, Yes, and the program ends.
input focus "$(window_named "$title")"  # no window manager hands the focus back
input keys alt+x
wait_for_window "$question" || fail "Alt+X showed no question the second time"
input keys Return
ended_within 2 || fail "Yes did not end the program"
wait "$pid" || true
echo "Alt+X, then Yes: the program ended"

start_program
input close "$(window_named "$title")"
ended_within 1 || fail "the program is still running 1 s after a close request"
wait "$pid" || true
pid=
echo "close request: the program ended at once"
