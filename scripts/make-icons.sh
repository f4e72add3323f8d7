#!/usr/bin/env bash
# Draws the updater's six images (our own artwork) into resources/icon/.
# Needs ImageMagick (Debian package imagemagick). The PNG files are committed;
# run this only to change the artwork.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/resources/icon"
mkdir -p "$out"
font=DejaVu-Sans-Bold
im() { /usr/bin/convert -background none "${@:1:$#-1}" -strip -define png:exclude-chunks=date,time "${@: -1}"; }

# Update logo, 83 x 83: a blue disc with a white upward arrow.
im -size 83x83 xc:none -fill '#007CC2' -draw 'circle 41,41 41,2' \
   -fill white -draw 'polygon 41,16 64,42 50,42 50,66 32,66 32,42 18,42' \
   "$out/icon_update_logo.png"
# Application logo, 64 x 64: a rounded blue tile with a white V.
im -size 64x64 xc:none -fill '#007CC2' -draw 'roundrectangle 2,2 61,61 12,12' \
   -fill white -font "$font" -pointsize 44 -gravity center -annotate +0+2 'V' \
   "$out/icon_logo.png"
# Warning, 26 x 26: an amber disc with an exclamation mark.
im -size 26x26 xc:none -fill '#F5A623' -draw 'circle 12.5,12.5 12.5,0.5' \
   -fill white -draw 'roundrectangle 11,5 14,15 1,1' -draw 'circle 12.5,19.5 12.5,17.8' \
   "$out/icon_warning.png"
# Success, 32 x 32: a green disc with a tick.
im -size 32x32 xc:none -fill '#00C26B' -draw 'circle 15.5,15.5 15.5,0.5' \
   -fill none -stroke white -strokewidth 3.5 -draw 'polyline 8,16 14,22 24,10' \
   "$out/icon_success.png"
# Question, 32 x 32: a blue disc with a question mark.
im -size 32x32 xc:none -fill '#409EFF' -draw 'circle 15.5,15.5 15.5,0.5' \
   -fill white -font "$font" -pointsize 22 -gravity center -annotate +0+1 '?' \
   "$out/icon_query_info.png"
# Danger, 26 x 26: a red disc with a white cross.
im -size 26x26 xc:none -fill '#E53935' -draw 'circle 12.5,12.5 12.5,0.5' \
   -stroke white -strokewidth 3 -draw 'line 8,8 17,17' -draw 'line 17,8 8,17' \
   "$out/icon_danger.png"
/usr/bin/identify -format '%f %wx%h\n' "$out"/*.png
