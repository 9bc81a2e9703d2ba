#!/usr/bin/env bash
# The qova tool against ImageMagick on the same 12-megapixel photo, in one
# script: medians of interleaved runs, one image at a time; qova on one
# thread and on all of them; output sizes; peak memory at 12 and 100
# megapixels.
#   bench/cli_vs_imagemagick.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
scripts/setup imagemagick time > /dev/null
qova=$build/bin/qova
magick=/usr/bin/convert
work=${QOVA_BENCH_DIR:-$build/bench-files}
mkdir -p "$work"
[ -s "$work/photo12.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo12.png" 4000 3000
[ -s "$work/photo12.jpg" ] || "$magick" "$work/photo12.png" -quality 90 "$work/photo12.jpg"
[ -s "$work/photo100.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo100.png" 10000 10000

# Prints "seconds kilobytes" of one run.
measure() { /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -n 1; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# name|command; every command runs once a round, rounds interleave them.
cases=(
  "magick png|$magick $work/photo12.png -modulate 100,130,100 $work/magick.png"
  "magick jpg|$magick $work/photo12.jpg -modulate 100,130,100 -quality 90 $work/magick.jpg"
  "saturation png|$qova saturation --strength 30 $work/photo12.png -o $work/qova.png"
  "saturation png -j1|$qova saturation --strength 30 -j 1 $work/photo12.png -o $work/qova1.png"
  "saturation jpg|$qova saturation --strength 30 --quality 90 $work/photo12.jpg -o $work/qova.jpg"
  "saturation jpg -j1|$qova saturation --strength 30 --quality 90 -j 1 $work/photo12.jpg -o $work/qova1.jpg"
  "hue png|$qova hue --strength 30 $work/photo12.png -o $work/qova-hue.png"
  "hue jpg|$qova hue --strength 30 --quality 90 $work/photo12.jpg -o $work/qova-hue.jpg"
  "bandpass png|$qova bandpass --centre 550 --bandwidth 400 $work/photo12.png -o $work/qova-bp.png"
  "bandpass png -j1|$qova bandpass --centre 550 --bandwidth 400 -j 1 $work/photo12.png -o $work/qova-bp1.png"
)
declare -A times memory
for _ in $(seq "$runs"); do
  for c in "${cases[@]}"; do
    name=${c%%|*}
    read -r t m < <(measure ${c#*|})
    times[$name]+="$t "
    memory[$name]=$m
  done
done
med() { printf '%s\n' ${times[$1]} | median; }
ratio() { awk -v a="$(med "$1")" -v b="$(med "$2")" 'BEGIN {printf "%.3f", a / b}'; }

echo "12-megapixel photo, medians of $runs interleaved runs ($(nproc) cores):"
printf '  %-22s %8s s  %7s MiB peak\n' command time memory
for c in "${cases[@]}"; do
  name=${c%%|*}
  printf '  %-22s %8s s  %7s MiB peak\n' "$name" "$(med "$name")" "$((memory[$name] / 1024))"
done
echo "Ratios:"
echo "  PNG saturation / ImageMagick:      $(ratio "saturation png" "magick png") (one thread: $(ratio "saturation png -j1" "magick png"))"
echo "  JPEG saturation / ImageMagick:     $(ratio "saturation jpg" "magick jpg") (one thread: $(ratio "saturation jpg -j1" "magick jpg"))"
echo "  PNG bandpass / ImageMagick PNG:    $(ratio "bandpass png" "magick png") (one thread: $(ratio "bandpass png -j1" "magick png"))"
echo "  hue / saturation, PNG and JPEG:    $(ratio "hue png" "saturation png"), $(ratio "hue jpg" "saturation jpg")"
awk -v q="$(stat -c %s "$work/qova.png")" -v m="$(stat -c %s "$work/magick.png")" \
  'BEGIN {printf "  PNG output size / ImageMagick:     %.3f (%d and %d bytes)\n", q / m, q, m}'
read -r _ huge < <(measure "$qova" saturation --strength 30 "$work/photo100.png" -o "$work/qova100.png")
read -r _ huge1 < <(measure "$qova" saturation --strength 30 -j 1 "$work/photo100.png" -o "$work/qova100.png")
echo "100-megapixel PNG, saturation +30%: $((huge / 1024)) MiB peak ($((huge1 / 1024)) MiB on one thread)"
