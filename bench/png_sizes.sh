#!/usr/bin/env bash
# PNG output size by content: qova against ImageMagick's resave of the same
# pixels, for a photo, a screenshot, a diagram, a grey diagram and palette
# images. The inputs are drawn by ImageMagick from the sample photo.
#   bench/png_sizes.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/setup imagemagick fonts-dejavu-core > /dev/null
qova=$(realpath "$build")/bin/qova
work=${QOVA_BENCH_DIR:-$build/bench-files}/png-sizes
mkdir -p "$work"
cd "$work"
sample=$OLDPWD/data/sample.jpg

# A code editor with a sidebar, a button and a photo in it.
screen_mvg() {
  echo "fill '#3c3f41' rectangle 0,0 1919,40"
  echo "fill white font DejaVu-Sans font-size 16 text 20,27 'editor - main.cpp'"
  echo "fill '#e8e8e8' rectangle 0,41 260,1079"
  echo "fill '#303030' font-size 15"
  for i in $(seq 0 30); do echo "text 20,$((80 + i * 30)) 'file_$i.cpp'"; done
  echo "font DejaVu-Sans-Mono"
  for i in $(seq 0 38); do
    y=$((110 + i * 22))
    echo "fill '#0033b3' text 300,$y 'for'"
    echo "fill '#202020' text 340,$y '(int i = $i; i < width; ++i) {  // line $i of the loop'"
    echo "fill '#067d17' text 900,$y '\"str $((i * 7))\"'"
  done
  echo "fill '#4a90d9' roundrectangle 1320,600 1520,650 8,8"
  echo "fill white font DejaVu-Sans font-size 18 text 1380,632 'Save'"
}

if [ ! -s palette16.png ]; then
  convert "$sample" -depth 8 photo.png
  convert -size 1920x1080 xc:'#f5f5f5' -draw "$(screen_mvg)" \( "$sample" -resize 560x \) -geometry +1320+80 \
    -composite -alpha off -depth 8 screenshot.png
  convert -size 1600x1000 xc:white -stroke '#1f4e79' -strokewidth 3 -fill '#dce9f5' \
    -draw 'roundrectangle 100,100 500,300 20,20' -draw 'roundrectangle 1000,100 1400,300 20,20' \
    -draw 'roundrectangle 550,600 950,800 20,20' -fill none -stroke '#c00000' -strokewidth 4 \
    -draw 'line 500,200 1000,200' -draw 'line 300,300 650,600' -draw 'line 1200,300 850,600' \
    -draw 'circle 800,450 800,520' -stroke none -fill black -font DejaVu-Sans -pointsize 36 \
    -draw 'text 200,215 "Decode"' -draw 'text 1110,215 "Encode"' -draw 'text 640,715 "Operator"' \
    -alpha off -depth 8 diagram.png
  convert diagram.png -colorspace gray -depth 8 grey-diagram.png
  convert "$sample" -colors 256 PNG8:palette256.png
  convert diagram.png -colors 16 PNG8:palette16.png
fi

size() { stat -c %s "$1"; }
printf '%-14s %-34s %12s %12s %7s\n' image operation qova ImageMagick ratio
for image in photo screenshot diagram grey-diagram palette256 palette16; do
  for op in "saturation --strength 0" "saturation --strength 30" "bandpass --centre 550 --bandwidth 100"; do
    $qova $op $image.png -o q.png
    convert q.png m.png  # ImageMagick's resave of the very pixels qova wrote
    awk -v i="$image" -v o="$op" -v q="$(size q.png)" -v m="$(size m.png)" \
      'BEGIN {printf "%-14s %-34s %12d %12d %7.3f\n", i, o, q, m, q / m}'
  done
done
