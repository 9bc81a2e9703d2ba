#!/usr/bin/env bash
# A plot of a 12-megapixel photo against the operator's own run on it, for
# each operator: medians of interleaved runs, all cores.
#   bench/plot_vs_operator.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
scripts/setup time > /dev/null
qova=$build/bin/qova
work=${QOVA_BENCH_DIR:-$build/bench-files}
mkdir -p "$work"
[ -s "$work/photo12.png" ] || "$build/bench/make_test_image" data/sample.jpg "$work/photo12.png" 4000 3000
[ -s "$work/photo12.jpg" ] || "$qova" saturation --strength 0 --quality 90 "$work/photo12.png" -o "$work/photo12.jpg"

seconds() { /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -n 1; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

ops=(
  "saturation --strength 40"
  "hue --strength 40 --poles 30,210.5"
  "bandpass --centre 520 --bandwidth 60 --order 2"
)
printf "%-48s %10s %10s %7s\n" "operation on photo12.jpg (12 MP)" "operator" "plot" "ratio"
for op in "${ops[@]}"; do
  : > "$work/op.times"
  : > "$work/plot.times"
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    seconds "$qova" $op "$work/photo12.jpg" -o "$work/bench-out.jpg" >> "$work/op.times"
    # shellcheck disable=SC2086
    seconds "$qova" plot $op "$work/photo12.jpg" -o "$work/bench-plot.png" >> "$work/plot.times"
  done
  a=$(median < "$work/op.times")
  b=$(median < "$work/plot.times")
  awk -v op="$op" -v a="$a" -v b="$b" 'BEGIN { printf "%-48s %9ss %9ss %6.2fx\n", op, a, b, b / a }'
done
