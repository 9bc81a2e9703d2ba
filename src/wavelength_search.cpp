// The scan over a run of candidates, for SSE2 (every x86-64) and for AVX2 when
// the processor has it. Both perform the same IEEE operations on each
// candidate in the same order, so the choice never changes a result.
#include "wavelength_search.h"

#include "qova_wavelength.hpp"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QOVA_X86 1
#endif

namespace qova {

namespace {

// Among d2[0..n-1], the first whose square root equals that of the least:
// equal roots come only from squares within a few ulps of the least.
inline int first_with_least_root(const double *d2, int n, double least) {
    const double root = std::sqrt(least);
    const double near = least * (1 + 1e-12) + 1e-300;
    for (int k = 0; k < n; ++k)
        if (d2[k] <= near && std::sqrt(d2[k]) == root) return k;
    return 0;  // not reached: the least itself qualifies
}

#if !QOVA_X86
int first_nearest_portable(const Candidates &c, double x, double y, int first, int n) {
    double d2[Candidates::kPadded];
    double least = HUGE_VAL;
    for (int k = 0; k < n; ++k) {
        const double dx = x - c.x[first + k], dy = y - c.y[first + k];
        d2[k] = dx * dx + dy * dy;
        least = d2[k] < least ? d2[k] : least;
    }
    return first + first_with_least_root(d2, n, least);
}
#endif

#if QOVA_X86

int first_nearest_sse2(const Candidates &c, double x, double y, int first, int n) {
    alignas(16) double d2[Candidates::kPadded];
    const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y);
    __m128d least_a = _mm_set1_pd(HUGE_VAL), least_b = least_a;
    for (int k = 0; k < n; k += 4) {
        const __m128d dx0 = _mm_sub_pd(vx, _mm_loadu_pd(c.x + first + k));
        const __m128d dy0 = _mm_sub_pd(vy, _mm_loadu_pd(c.y + first + k));
        const __m128d dx1 = _mm_sub_pd(vx, _mm_loadu_pd(c.x + first + k + 2));
        const __m128d dy1 = _mm_sub_pd(vy, _mm_loadu_pd(c.y + first + k + 2));
        const __m128d d0 = _mm_add_pd(_mm_mul_pd(dx0, dx0), _mm_mul_pd(dy0, dy0));
        const __m128d d1 = _mm_add_pd(_mm_mul_pd(dx1, dx1), _mm_mul_pd(dy1, dy1));
        _mm_store_pd(d2 + k, d0);
        _mm_store_pd(d2 + k + 2, d1);
        least_a = _mm_min_pd(least_a, d0);
        least_b = _mm_min_pd(least_b, d1);
    }
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, _mm_min_pd(least_a, least_b));
    const double least = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
    return first + first_with_least_root(d2, n, least);
}

__attribute__((target("avx2"))) int first_nearest_avx2(const Candidates &c, double x, double y, int first, int n) {
    alignas(32) double d2[Candidates::kPadded];
    const __m256d vx = _mm256_set1_pd(x), vy = _mm256_set1_pd(y);
    __m256d least4 = _mm256_set1_pd(HUGE_VAL);
    for (int k = 0; k < n; k += 4) {
        const __m256d dx = _mm256_sub_pd(vx, _mm256_loadu_pd(c.x + first + k));
        const __m256d dy = _mm256_sub_pd(vy, _mm256_loadu_pd(c.y + first + k));
        const __m256d d = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
        _mm256_store_pd(d2 + k, d);
        least4 = _mm256_min_pd(least4, d);
    }
    const __m128d halves = _mm_min_pd(_mm256_castpd256_pd128(least4), _mm256_extractf128_pd(least4, 1));
    const double lo = _mm_cvtsd_f64(halves), hi = _mm_cvtsd_f64(_mm_unpackhi_pd(halves, halves));
    const double least = hi < lo ? hi : lo;
    // The squares within reach of the least, four at a time. When the least is
    // alone there, it wins without a square root.
    const __m256d near = _mm256_set1_pd(least * (1 + 1e-12) + 1e-300);
    int found = -1, within = 0;
    for (int k = 0; k < n; k += 4) {
        const unsigned mask =
            static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_load_pd(d2 + k), near, _CMP_LE_OQ)));
        if (mask && found < 0) found = k + __builtin_ctz(mask);
        within += __builtin_popcount(mask);
    }
    if (within == 1) return first + found;
    return first + first_with_least_root(d2, n, least);
}

#endif

}  // namespace

FirstNearestFn first_nearest_kernel() {
#if QOVA_X86
    static const FirstNearestFn chosen = __builtin_cpu_supports("avx2") ? first_nearest_avx2 : first_nearest_sse2;
    return chosen;
#else
    return first_nearest_portable;
#endif
}

WavelengthSearch::WavelengthSearch(const ChromaEntry *table, const uint16_t *classes)
    : table_(table), kernel_(first_nearest_kernel()) {
    finite_ = true;
    for (int i = 0; i < kCount; ++i) {
        class_[i] = classes ? classes[i] : static_cast<uint16_t>(i);
        const ChromaEntry &e = table[kFirst - 360 + i];
        c_.x[i] = e.x;
        c_.y[i] = e.y;
        finite_ = finite_ && std::isfinite(e.x) && std::isfinite(e.y);
    }
    // Padding candidates lie far away: chromaticities are X / T with T a
    // whole number, so finite ones stay below 1e10 and a pad never wins.
    for (int i = kCount; i < Candidates::kPadded; ++i) c_.x[i] = c_.y[i] = 1e150;
}

int WavelengthSearch::off_grid(double x, double y) const {
    if (!finite_) return mindist(x, y, kFirst, kFirst + kCount, table_);
    if (x != x || y != y) return kFirst;  // every distance NaN: the scan keeps its first candidate
    // Squared distances may overflow to infinity, all alike: the first wins, as in the scan.
    return kFirst + kernel_(c_, x, y, 0, Candidates::kPadded);
}

namespace {

// A cell widened by far more than rounding can move a point across its edge.
struct Box {
    double x0, x1, y0, y1;
};

// Whether candidate j is nearer than candidate i at every point of the box.
// The difference of two squared distances is linear in the point, so it is
// least at a corner; a least difference far above the rounding of the largest
// squared distance in the box holds for every point, after square roots too.
bool beats_throughout(const Candidates &c, const Box &box, int j, int i) {
    const double corner_x[4] = {box.x0, box.x1, box.x0, box.x1}, corner_y[4] = {box.y0, box.y0, box.y1, box.y1};
    double difference[4], largest = 0;
    for (int k = 0; k < 4; ++k) {
        const double di = c.squared_distance(i, corner_x[k], corner_y[k]);
        const double dj = c.squared_distance(j, corner_x[k], corner_y[k]);
        difference[k] = di - dj;
        largest = di + dj > largest ? di + dj : largest;
    }
    bool everywhere = true;  // and false when a difference is NaN
    for (int k = 0; k < 4; ++k) everywhere = everywhere && difference[k] > largest * 1e-9;
    return everywhere;
}

}  // namespace

// The candidates no other one beats throughout the cell, as one or two runs.
void WavelengthSearch::fill(Cell &cell, int cx, int cy) {
    constexpr double kWiden = 1e-9;
    const Box box{kGridX0 + cx / kCellsPerX - kWiden, kGridX0 + (cx + 1) / kCellsPerX + kWiden,
                  kGridY0 + cy / kCellsPerY - kWiden, kGridY0 + (cy + 1) / kCellsPerY + kWiden};

    // A first cut: a candidate whose least distance to the box exceeds the
    // least greatest distance of any candidate is beaten by that one.
    double least_far = HUGE_VAL;
    int closest = 0;
    double near2[kCount];
    for (int i = 0; i < kCount; ++i) {
        const double fx = std::fmax(std::fabs(c_.x[i] - box.x0), std::fabs(c_.x[i] - box.x1));
        const double fy = std::fmax(std::fabs(c_.y[i] - box.y0), std::fabs(c_.y[i] - box.y1));
        if (fx * fx + fy * fy < least_far) {
            least_far = fx * fx + fy * fy;
            closest = i;
        }
        const double nx = std::fmax(std::fmax(box.x0 - c_.x[i], c_.x[i] - box.x1), 0.0);
        const double ny = std::fmax(std::fmax(box.y0 - c_.y[i], c_.y[i] - box.y1), 0.0);
        near2[i] = nx * nx + ny * ny;
    }
    const double bound = least_far * (1 + 1e-9);

    // Then each remaining candidate against the others, the closest first
    // (it beats most of them), keeping those nobody beats.
    bool kept[kCount];
    int first = -1, last = -1;
    for (int i = 0; i < kCount; ++i) {
        kept[i] = !(near2[i] > bound);
        if (!kept[i] || i == closest) continue;
        if (beats_throughout(c_, box, closest, i)) {
            kept[i] = false;
            continue;
        }
        for (int j = 0; j < kCount && kept[i]; ++j)
            if (j != i && !(near2[j] > bound) && beats_throughout(c_, box, j, i)) kept[i] = false;
    }
    // Every kept candidate is in some run; a wide gap between two kept ones
    // (the widest) splits them into two runs.
    int gap_after = -1, widest = 8, previous = -1;
    for (int i = 0; i < kCount; ++i) {
        if (!kept[i]) continue;
        if (first < 0) first = i;
        if (previous >= 0 && i - previous > widest) {
            widest = i - previous;
            gap_after = previous;
        }
        previous = last = i;
    }
    if (first < 0) {  // not reached: the candidate closest to the box is kept
        cell.a = Run(0, Candidates::kPadded);
        cell.sole = kMixed;
        return;
    }
    const auto run = [](int from, int to) {
        int count = (to - from + 1 + 3) / 4 * 4;
        if (count > kCount) return Run(0, Candidates::kPadded);
        if (from + count > kCount) from = kCount - count;
        return Run(from, count);
    };
    cell.sole = class_[first];
    for (int i = first; i <= last; ++i)
        if (kept[i] && class_[i] != cell.sole) cell.sole = kMixed;
    if (gap_after < 0) {
        cell.a = run(first, last);
        cell.b = Run();
    } else {
        cell.a = run(first, gap_after);
        cell.b = run(gap_after + 1, last);
    }
}

}  // namespace qova

namespace qova {

DominantWavelength::DominantWavelength(const ChromaEntry *table) : search_(std::make_unique<WavelengthSearch>(table)) {}
DominantWavelength::~DominantWavelength() = default;
int DominantWavelength::operator()(double x, double y) { return search_->nearest(x, y); }

}  // namespace qova
