#!/bin/sh
# Draws the application icon (a letter with an arrow leaving it) with
# ImageMagick and writes shell/icons/: PNGs of 16, 32, 48 and 256 pixels and
# vellary.ico, one icon group of eight images (16 and 32 pixels at 16 colours;
# 16, 32 and 48 at 256 colours and at 32 bits per pixel).
# Run from anywhere: scripts/make-icon.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/../shell/icons"
CONVERT=${CONVERT:-convert}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The master picture, 256 x 256 on transparency: a pale envelope with a dark
# blue outline and flap, and an orange arrow pointing out at its lower right.
"$CONVERT" -size 256x256 xc:none \
  -fill '#f7f3e6' -stroke '#1d4f91' -strokewidth 12 \
  -draw 'roundrectangle 14,50 214,196 14,14' \
  -fill none -draw 'polyline 20,58 114,132 208,58' \
  -stroke '#1d4f91' -strokewidth 8 -draw 'line 20,190 92,124' -draw 'line 208,190 136,124' \
  -fill '#f28a1c' -stroke '#a94c05' -strokewidth 6 \
  -draw 'polygon 112,168 176,168 176,136 244,196 176,252 176,222 112,222' \
  "$work/master.png"

for size in 256 48 32 16; do
  "$CONVERT" "$work/master.png" -filter Lanczos -resize ${size}x${size} \
    -define png:color-type=6 "$out/vellary-$size.png"
done

python3 "$here/pack_ico.py" "$out/vellary.ico" "$out/vellary-16.png" "$out/vellary-32.png" "$out/vellary-48.png"
echo "icon written to $out"
