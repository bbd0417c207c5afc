#!/usr/bin/env bash
# Draws the product mark (the same shapes as the canvas's, on its 34-unit grid) at 256 pixels
# with ImageMagick and writes kestrova.ico with the usual sizes. Run by hand after a change of
# the mark; the icon is committed.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
u() { awk -v v="$1" 'BEGIN { printf "%.1f", v * 256 / 34 }'; }
gradient() {  # name x0 y0 x1 y1 from to: a diagonal gradient filling that rectangle
  local w h
  w=$(awk -v a="$(u "$2")" -v b="$(u "$4")" 'BEGIN { printf "%d", b - a }')
  h=$(awk -v a="$(u "$3")" -v b="$(u "$5")" 'BEGIN { printf "%d", b - a }')
  convert -size "${w}x${h}" -define gradient:direction=SouthEast "gradient:$6-$7" "$tmp/$1.png"
}
gradient tile 0 0 34 34 '#233B57' '#081322'
convert -size 256x256 xc:none -fill white -draw "roundrectangle 0,0 255,255 $(u 8),$(u 8)" \
  "$tmp/mask.png"
convert "$tmp/tile.png" "$tmp/mask.png" -alpha off -compose CopyOpacity -composite "$tmp/base.png"
gradient back 9 9 25 21 '#B5CCFF' '#4B76DB'
gradient front 13 13 27 25 '#AAFFE5' '#22AE9A'
convert "$tmp/base.png" \
  "$tmp/back.png" -geometry "+$(u 9)+$(u 9)" -composite \
  -fill '#040E19AA' -draw "rectangle $(u 9),$(u 17) $(u 25),$(u 21)" \
  "$tmp/front.png" -geometry "+$(u 13)+$(u 13)" -composite \
  -stroke '#E5FFF882' -strokewidth "$(u 1.2)" -draw "line $(u 15),$(u 28) $(u 25),$(u 28)" \
  "$tmp/mark.png"
convert "$tmp/mark.png" -define icon:auto-resize=256,64,48,40,32,24,20,16 kestrova.ico
