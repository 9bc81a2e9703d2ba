#!/usr/bin/env bash
# Each file format read and written by qova and by ImageMagick, saturation
# +30% on the same 12-megapixel photo in that format: medians of interleaved
# runs, output sizes, and peak memory on a 100-megapixel TIFF.
#   bench/formats_vs_imagemagick.sh [BUILD_DIR] [RUNS]
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
[ -s "$work/photo12.tif" ] || "$magick" "$work/photo12.png" -compress zip "$work/photo12.tif"
[ -s "$work/photo12-16.tif" ] || "$magick" "$work/photo12.png" -depth 16 -compress zip "$work/photo12-16.tif"
[ -s "$work/photo12.webp" ] || "$magick" "$work/photo12.png" -quality 90 "$work/photo12.webp"
[ -s "$work/photo12-lossless.webp" ] || "$magick" "$work/photo12.png" -define webp:lossless=true "$work/photo12-lossless.webp"
[ -s "$work/photo12.heic" ] || "$magick" "$work/photo12.png" -quality 90 "$work/photo12.heic"
[ -s "$work/photo12.avif" ] || "$magick" "$work/photo12.png" -quality 90 "$work/photo12.avif"
[ -s "$work/photo100.tif" ] || {
  [ -s "$work/photo100.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo100.png" 10000 10000
  "$magick" "$work/photo100.png" -compress zip "$work/photo100.tif"
}

measure() { /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -n 1; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# name|input|output extension|ImageMagick's output options|qova's
formats=(
  "PNG|photo12.png|png||"
  "JPEG q90|photo12.jpg|jpg|-quality 90|--quality 90"
  "TIFF 8-bit|photo12.tif|tif|-compress zip|"
  "TIFF 16-bit|photo12-16.tif|tif|-compress zip|"
  "WebP q90|photo12.webp|webp|-quality 90|--quality 90"
  "WebP lossless|photo12-lossless.webp|webp|-define webp:lossless=true|--lossless"
  "HEIC q90|photo12.heic|heic|-quality 90|--quality 90"
  "AVIF q90|photo12.avif|avif|-quality 90|--quality 90"
)
declare -A times
for _ in $(seq "$runs"); do
  for f in "${formats[@]}"; do
    IFS='|' read -r name input ext options qova_options <<< "$f"
    read -r t _ < <(measure "$magick" "$work/$input" -modulate 100,130,100 $options "$work/fmt-magick.$ext")
    times[$name/magick]+="$t "
    read -r t _ < <(measure "$qova" saturation --strength 30 $qova_options "$work/$input" -o "$work/fmt-qova.$ext")
    times[$name/qova]+="$t "
  done
done
med() { printf '%s\n' ${times[$1]} | median; }

echo "12-megapixel photo, saturation +30%, medians of $runs interleaved runs ($(nproc) cores):"
printf '  %-12s %9s %9s %7s %12s %12s %7s\n' format qova magick ratio "qova bytes" "magick bytes" ratio
for f in "${formats[@]}"; do
  IFS='|' read -r name input ext options qova_options <<< "$f"
  "$magick" "$work/$input" -modulate 100,130,100 $options "$work/fmt-magick.$ext"
  "$qova" saturation --strength 30 $qova_options "$work/$input" -o "$work/fmt-qova.$ext"
  q=$(med "$name/qova") m=$(med "$name/magick")
  qs=$(stat -c %s "$work/fmt-qova.$ext") ms=$(stat -c %s "$work/fmt-magick.$ext")
  awk -v n="$name" -v q="$q" -v m="$m" -v qs="$qs" -v ms="$ms" \
    'BEGIN {printf "  %-12s %8ss %8ss %7.3f %12d %12d %7.3f\n", n, q, m, q / m, qs, ms, qs / ms}'
done
read -r _ huge < <(measure "$qova" saturation --strength 30 "$work/photo100.tif" -o "$work/qova100.tif")
read -r _ huge1 < <(measure "$qova" saturation --strength 30 -j 1 "$work/photo100.tif" -o "$work/qova100.tif")
echo "100-megapixel TIFF in and out, saturation +30%: $((huge / 1024)) MiB peak ($((huge1 / 1024)) MiB on one thread)"
