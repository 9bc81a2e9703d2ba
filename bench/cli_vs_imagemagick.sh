#!/usr/bin/env bash
# The qova tool against ImageMagick on the same 12-megapixel PNG, side by side:
# median wall time of several runs, output size and peak memory; then peak
# memory on a 10000 x 10000 PNG and where qova's time goes (--timing).
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
[ -s "$work/photo100.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo100.png" 10000 10000

# Prints "seconds kilobytes" of one run.
measure() { /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -n 1; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

q_times=() m_times=() q_mem=0 m_mem=0
for _ in $(seq "$runs"); do
  read -r t m < <(measure "$qova" saturation --strength 30 "$work/photo12.png" -o "$work/qova.png")
  q_times+=("$t"); q_mem=$m
  read -r t m < <(measure "$magick" "$work/photo12.png" -modulate 100,130,100 "$work/magick.png")
  m_times+=("$t"); m_mem=$m
done
q=$(printf '%s\n' "${q_times[@]}" | median)
m=$(printf '%s\n' "${m_times[@]}" | median)
q_size=$(stat -c %s "$work/qova.png")
m_size=$(stat -c %s "$work/magick.png")
read -r _ huge_mem < <(measure "$qova" saturation --strength 30 "$work/photo100.png" -o "$work/qova100.png")

echo "12 MP PNG, saturation +30%, median of $runs runs:"
printf '  %-12s %8s s  %10s bytes  %7s MiB peak\n' qova "$q" "$q_size" "$((q_mem / 1024))"
printf '  %-12s %8s s  %10s bytes  %7s MiB peak\n' ImageMagick "$m" "$m_size" "$((m_mem / 1024))"
awk -v q="$q" -v m="$m" -v qs="$q_size" -v ms="$m_size" \
  'BEGIN {printf "  time ratio qova/ImageMagick %.2f, size ratio %.3f\n", q / m, qs / ms}'
echo "10000 x 10000 PNG, saturation +30%: $((huge_mem / 1024)) MiB peak"
echo "Where qova's time goes on the 12 MP PNG:"
"$qova" saturation --strength 30 --timing "$work/photo12.png" -o "$work/qova.png" 2>&1 | sed 's/^/  saturation: /'
"$qova" bandpass --centre 550 --bandwidth 100 --timing "$work/photo12.png" -o "$work/qova-bp.png" 2>&1 | sed 's/^/  bandpass:   /'
