#!/usr/bin/env bash
# Draws the service's icon (a student card over a reader's field, on a full blue square) and
# writes it as a Windows .ico with 64, 32, 24 and 16 pixel images.
#   make-icon.sh OUTPUT.ico
set -euo pipefail
out=${1:?usage: make-icon.sh OUTPUT.ico}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 64x64 xc:'#1d5fa8' \
  -fill none -stroke '#9cc8f0' -strokewidth 3 \
  -draw 'arc 38,4 66,32 -95,5' -draw 'arc 44,10 60,26 -95,5' \
  -stroke '#0f3c70' -strokewidth 1 -fill '#ffffff' -draw 'roundrectangle 6,20 50,56 5,5' \
  -stroke none -fill '#e8b830' -draw 'roundrectangle 12,30 24,40 2,2' \
  -fill '#1d5fa8' -draw 'rectangle 12,46 44,49' -draw 'rectangle 30,30 44,33' \
  -draw 'rectangle 30,37 40,40' \
  "$tmp/icon64.png"
for size in 32 24 16; do
  convert "$tmp/icon64.png" -resize ${size}x${size} "$tmp/icon$size.png"
done
convert "$tmp/icon64.png" "$tmp/icon32.png" "$tmp/icon24.png" "$tmp/icon16.png" "$out"
