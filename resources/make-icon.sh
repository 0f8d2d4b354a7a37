#!/bin/sh
# Rebuilds pavo.ico from draw_icon.py (needs Debian's imagemagick and icoutils):
# 16, 32 and 48 pixels as 32-bit images with alpha, 256 pixels as PNG.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 256; do
  python3 draw_icon.py "$size" "$tmp/$size.pam"
  /usr/bin/convert "$tmp/$size.pam" -define png:exclude-chunks=date,time png32:"$tmp/$size.png"
done
icotool -c -b 32 -o pavo.ico "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" --raw="$tmp/256.png"
