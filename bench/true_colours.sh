#!/usr/bin/env bash
# The band filter on one picture stored as sRGB and as ProPhoto (ROMM RGB) or
# Adobe RGB: how far apart the results are once both are seen as sRGB (RMSE,
# ImageMagick's compare), with the file's profile honoured and with
# --assume-srgb; and the time each takes.
#   bench/true_colours.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/setup imagemagick time > /dev/null
qova=$build/bin/qova
icc=/usr/share/color/icc/ghostscript
work=${QOVA_BENCH_DIR:-$build/bench-files}
mkdir -p "$work"
[ -s "$work/photo12.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo12.png" 4000 3000
filter=(bandpass --centre 560 --bandwidth 60 --order 2)

"$qova" "${filter[@]}" "$work/photo12.png" -o "$work/tc-srgb.png"
convert "$work/tc-srgb.png" "$work/tc-srgb.ppm"
measure() { /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -n 1; }
echo "12-megapixel photo, ${filter[*]}; RMSE against the sRGB file's result, as sRGB:"
echo "  sRGB file: $(measure "$qova" "${filter[@]}" "$work/photo12.png" -o "$work/tc-srgb.png") s"
for space in rommrgb:ProPhoto a98:"Adobe RGB"; do
  profile=${space%%:*} name=${space#*:}
  stored="$work/photo12-$profile.png"
  [ -s "$stored" ] || convert "$work/photo12.png" -depth 16 -profile "$icc/srgb.icc" -profile "$icc/$profile.icc" "$stored"
  for how in honoured assumed; do
    extra=(); [ "$how" = assumed ] && extra=(--assume-srgb)
    t=$(measure "$qova" "${filter[@]}" "${extra[@]}" "$stored" -o "$work/tc-out.png")
    convert "$work/tc-out.png" -profile "$icc/srgb.icc" -depth 8 "$work/tc-out.ppm"
    rmse=$(compare -metric RMSE "$work/tc-srgb.ppm" "$work/tc-out.ppm" null: 2>&1 || true)
    printf '  %-9s profile %-8s RMSE %-22s %s s\n' "$name" "$how" "$rmse" "$t"
  done
done
