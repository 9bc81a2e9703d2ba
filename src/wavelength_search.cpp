// The scan over a run of candidates, for SSE2 (every x86-64) and for AVX2 when
// the processor has it. Both perform the same IEEE operations on each
// candidate in the same order, so the choice never changes a result.
#include "wavelength_search.h"

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

}  // namespace qova
