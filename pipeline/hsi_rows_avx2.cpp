// The row kernels in AVX2: the portable kernels' operations one for one, in
// double precision, so the same bits (whole numbers divided by 3 or 10 are
// divided with fused multiply-adds, to the same bits). Pixels go through in
// groups of several vectors of four, worked on side by side: the hue's series
// is a long chain of dependent steps, and independent chains next to each
// other keep the processor's units busy where one chain would wait on its
// last result. Only these functions carry the AVX2 and FMA target; they run
// where the processor has both.
#include "detail/hsi_rows.h"
#include "detail/row_samples.h"
#include "hsi_mapping.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#define QOVA_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline
#define QOVA_EACH _Pragma("GCC unroll 8") for (std::size_t k = 0; k < N; ++k)

namespace qova::pipeline::rows {

namespace {

// Vectors side by side, the fastest of 1 to 8 on qova_mapping_bench and on
// 224 x 224 images (with the scheduling flags the build gives this file):
// the way back keeps more values at hand, and more vectors than its three no
// longer pay for what they spill from the registers.
constexpr std::size_t kForwardVectors = 8, kBackwardVectors = 3;

// N vectors of four doubles, and of four int32.
template <std::size_t N>
struct D {
    __m256d v[N];
};
template <std::size_t N>
struct I {
    __m128i v[N];
};

// `type` names a template, which cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QOVA_BINARY(name, type, intrinsic)                       \
    template <std::size_t N>                                     \
    QOVA_AVX2 type<N> name(const type<N> &a, const type<N> &b) { \
        type<N> r;                                               \
        QOVA_EACH r.v[k] = intrinsic(a.v[k], b.v[k]);            \
        return r;                                                \
    }
// NOLINTEND(bugprone-macro-parentheses)
QOVA_BINARY(operator+, D, _mm256_add_pd)
QOVA_BINARY(operator-, D, _mm256_sub_pd)
QOVA_BINARY(operator*, D, _mm256_mul_pd)
QOVA_BINARY(operator/, D, _mm256_div_pd)
QOVA_BINARY(operator&, D, _mm256_and_pd)
QOVA_BINARY(and_not, D, _mm256_andnot_pd)  // ~a & b
QOVA_BINARY(min_of, D, _mm256_min_pd)      // a < b ? a : b
QOVA_BINARY(max_of, D, _mm256_max_pd)      // a > b ? a : b
QOVA_BINARY(operator+, I, _mm_add_epi32)
QOVA_BINARY(operator-, I, _mm_sub_epi32)
QOVA_BINARY(operator&, I, _mm_and_si128)
QOVA_BINARY(operator|, I, _mm_or_si128)
QOVA_BINARY(and_not, I, _mm_andnot_si128)
QOVA_BINARY(equal, I, _mm_cmpeq_epi32)
QOVA_BINARY(greater, I, _mm_cmpgt_epi32)
#undef QOVA_BINARY

// Comparisons give masks of all ones or all zeros; NaN compares false.
template <int P, std::size_t N>
QOVA_AVX2 D<N> compare(const D<N> &a, const D<N> &b) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_cmp_pd(a.v[k], b.v[k], P);
    return r;
}
template <std::size_t N>
QOVA_AVX2 D<N> less(const D<N> &a, const D<N> &b) {
    return compare<_CMP_LT_OQ>(a, b);
}
template <std::size_t N>
QOVA_AVX2 D<N> greater(const D<N> &a, const D<N> &b) {
    return compare<_CMP_GT_OQ>(a, b);
}

// c ? a : b, lane by lane.
template <std::size_t N>
QOVA_AVX2 D<N> pick(const D<N> &c, const D<N> &a, const D<N> &b) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_blendv_pd(b.v[k], a.v[k], c.v[k]);
    return r;
}
template <std::size_t N>
QOVA_AVX2 I<N> pick(const I<N> &c, const I<N> &a, const I<N> &b) {
    I<N> r;
    QOVA_EACH r.v[k] = _mm_blendv_epi8(b.v[k], a.v[k], c.v[k]);
    return r;
}

template <std::size_t N>
QOVA_AVX2 D<N> splat(double x) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_set1_pd(x);
    return r;
}

template <std::size_t N>
QOVA_AVX2 I<N> load(const int32_t *p) {
    I<N> r;
    QOVA_EACH r.v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * k));
    return r;
}
template <std::size_t N>
QOVA_AVX2 D<N> load_floats(const float *p) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_cvtps_pd(_mm_loadu_ps(p + 4 * k));
    return r;
}
template <std::size_t N>
QOVA_AVX2 void store(int32_t *p, const I<N> &v) {
    QOVA_EACH _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 4 * k), v.v[k]);
}
template <std::size_t N>
QOVA_AVX2 void store_floats(float *p, const D<N> &v) {
    QOVA_EACH _mm_storeu_ps(p + 4 * k, _mm256_cvtpd_ps(v.v[k]));
}
// Levels of 0..65535 as 16-bit samples.
template <std::size_t N>
QOVA_AVX2 void store_samples(uint16_t *p, const I<N> &v) {
    QOVA_EACH {
        const __m128i packed = _mm_packus_epi32(v.v[k], v.v[k]);
        std::memcpy(p + 4 * k, &packed, 4 * sizeof(uint16_t));
    }
}

template <std::size_t N>
QOVA_AVX2 D<N> to_double(const I<N> &a) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_cvtepi32_pd(a.v[k]);
    return r;
}
// Truncated toward zero, for values within the int32 range.
template <std::size_t N>
QOVA_AVX2 I<N> truncated(const D<N> &a) {
    I<N> r;
    QOVA_EACH r.v[k] = _mm256_cvttpd_epi32(a.v[k]);
    return r;
}
// Masks from 64-bit lanes to 32-bit ones, and back.
template <std::size_t N>
QOVA_AVX2 I<N> narrow(const D<N> &mask) {
    const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    I<N> r;
    QOVA_EACH r.v[k] = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(mask.v[k]), low_halves));
    return r;
}
template <std::size_t N>
QOVA_AVX2 D<N> widen(const I<N> &mask) {
    D<N> r;
    QOVA_EACH r.v[k] = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(mask.v[k]));
    return r;
}
// One bit for each lane whose mask is set, lane 0 lowest.
template <std::size_t N>
QOVA_AVX2 unsigned lanes(const D<N> &mask) {
    unsigned bits = 0;
    QOVA_EACH bits |= static_cast<unsigned>(_mm256_movemask_pd(mask.v[k])) << (4 * k);
    return bits;
}
template <std::size_t N>
QOVA_AVX2 unsigned lanes(const I<N> &mask) {
    unsigned bits = 0;
    QOVA_EACH bits |= static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(mask.v[k]))) << (4 * k);
    return bits;
}
static_assert(4 * kForwardVectors <= 32 && 4 * kBackwardVectors <= 32, "a group's lanes are bits of an unsigned");
template <std::size_t N>
constexpr unsigned kAllLanes = static_cast<unsigned>((uint64_t{1} << (4 * N)) - 1);

// |v| for v that is never -0 (x - x is +0): the sign cleared.
template <std::size_t N>
QOVA_AVX2 D<N> magnitude(const D<N> &v) {
    return and_not(splat<N>(-0.0), v);
}

// v > 0 ? (v < 1 ? v : 1) : 0, NaN to 0.
template <std::size_t N>
QOVA_AVX2 D<N> unit_of(const D<N> &v) {
    return greater(v, splat<N>(0.0)) & min_of(v, splat<N>(1.0));
}

// x rounded half away from zero for 0 <= x < 2^31, and what truncation left.
template <std::size_t N>
QOVA_AVX2 I<N> rounded(const D<N> &x, D<N> *fraction) {
    const I<N> whole = truncated(x);
    *fraction = x - to_double(whole);
    return whole - narrow(compare<_CMP_GE_OQ>(*fraction, splat<N>(0.5)));
}

// The series' steps p = k - u2 p, carried with alternating signs as
// s = u2 s + (+-k): negation is exact and rounding symmetric, so s is p or -p
// bit for bit, and each step adds a constant the instruction can read from
// memory rather than hold in a register.
template <std::size_t N, std::size_t kTerms>
QOVA_AVX2 D<N> alternating(const D<N> &u2, double first, const double (&k)[kTerms]) {
    D<N> s = splat<N>(first);
    double sign = -1;
    for (const double term : k) {
        s = u2 * s + splat<N>(sign * term);
        sign = -sign;
    }
    return s;  // p times (-1)^kTerms
}

template <std::size_t N>
QOVA_AVX2 D<N> atan_small(const D<N> &u) {
    static constexpr double k[] = {1.0 / 19, 1.0 / 17, 1.0 / 15, 1.0 / 13, 1.0 / 11,
                                   1.0 / 9,  1.0 / 7,  1.0 / 5,  1.0 / 3,  1.0};
    return u * alternating(u * u, 1.0 / 21, k);  // ten steps: s is p
}

template <std::size_t N>
QOVA_AVX2 D<N> angle(const D<N> &x, const D<N> &y) {
    const D<N> zero = splat<N>(0.0), one = splat<N>(1.0);
    const D<N> ax = magnitude(x), ay = magnitude(y);
    const D<N> steep = greater(ay, ax);
    const D<N> num = pick(steep, ax, ay), den = pick(steep, ay, ax);
    const D<N> t = num / pick(greater(den, zero), den, one);
    const D<N> big = greater(t, splat<N>(fast::kTanPiOver8));
    const D<N> reduced = (t - one) / (t + one);
    D<N> a = (big & splat<N>(fast::kPi / 4)) + atan_small(pick(big, reduced, t));
    a = pick(steep, splat<N>(fast::kPi / 2) - a, a);
    a = pick(less(x, zero), splat<N>(fast::kPi) - a, a);
    return pick(less(y, zero), splat<N>(2 * fast::kPi) - a, a);
}

// n / d for whole numbers n of int32 and d of 3 or 10, without the divider:
// the product by 1 / d, corrected by its remainder, which the fused
// multiply-add gives exactly. For both divisors the result is the correctly
// rounded quotient for every int32 (all 2^32 were compared with the division).
template <int kDivisor, std::size_t N>
QOVA_AVX2 D<N> whole_quotient(const D<N> &n) {
    static_assert(kDivisor == 3 || kDivisor == 10, "compared for 3 and 10 only");
    const __m256d d = _mm256_set1_pd(kDivisor), inverse = _mm256_set1_pd(1.0 / kDivisor);
    D<N> r;
    QOVA_EACH {
        const __m256d q = _mm256_mul_pd(n.v[k], inverse);
        r.v[k] = _mm256_fmadd_pd(_mm256_fnmadd_pd(q, d, n.v[k]), inverse, q);
    }
    return r;
}

template <std::size_t N>
QOVA_AVX2 D<N> cosine(const D<N> &x) {
    static constexpr double k[] = {1.0 / 87178291200.0, 1.0 / 479001600.0, 1.0 / 3628800.0, 1.0 / 40320.0,
                                   1.0 / 720.0,         1.0 / 24.0,        1.0 / 2.0};
    const D<N> x2 = x * x;
    return x2 * alternating(x2, 1.0 / 20922789888000.0, k) + splat<N>(1.0);  // seven steps: s is -p
}

// A group the way there.
template <std::size_t N>
QOVA_AVX2 void forward_group(bool with_hue, const ForwardArrays &a) {
    const I<N> r = load<N>(a.red), g = load<N>(a.green), b = load<N>(a.blue);
    const D<N> R = to_double(r), G = to_double(g), B = to_double(b);
    const D<N> zero = splat<N>(0.0);
    store(a.sum, r + g + b);
    // 1 - 3 m / (R + G + B), 0 where the sum is 0
    const D<N> total = R + G + B;
    const D<N> least = min_of(min_of(R, G), B);
    const D<N> raw = splat<N>(1.0) - splat<N>(3.0) * least / total;
    const D<N> S = unit_of(and_not(compare<_CMP_EQ_OQ>(total, zero), raw));
    D<N> unused;
    store(a.sat, rounded(S * splat<N>(999.0), &unused));
    store_floats(a.saturation, S);
    if (!with_hue) {
        store(a.hue, I<N>{});
        store_floats(a.rest, zero);
        return;
    }
    const D<N> across = splat<N>(2.0) * R - G - B;
    const D<N> up = splat<N>(kSqrt3) * to_double(g - b);
    const D<N> coloured = greater(splat<N>(1000.0) * S, zero);
    const D<N> H = coloured & (angle(across, up) * splat<N>(kDegreesPerRadian));
    D<N> fraction;
    const I<N> hue = rounded(H * splat<N>(10.0), &fraction);
    store(a.hue, hue);
    store_floats(a.rest, H - whole_quotient<10>(to_double(hue)));
    // Where the series could round to another tenth, which is rare, the
    // exact computation decides.
    const unsigned ties = lanes(coloured & less(magnitude(fraction - splat<N>(0.5)), splat<N>(kTieMargin)));
    for (std::size_t c = 0; ties && c < 4 * N; ++c) {
        if (!(ties & (1u << c))) continue;
        const HsiPixel exact = exact_hsi(a.red[c], a.green[c], a.blue[c]);
        a.hue[c] = exact.hue;
        a.rest[c] = exact.hue_rest;
    }
}

// Red, green and blue before rounding.
template <std::size_t N>
struct Rgb {
    D<N> r, g, b;
};

// Rebuilt from hue and saturation, with series cosines of the hue's angle
// within its 120-degree sector.
template <std::size_t N>
QOVA_AVX2 Rgb<N> rebuilt(const D<N> &hue, const D<N> &rest, const D<N> &S, const D<N> &intensity3) {
    const D<N> zero = splat<N>(0.0), c360 = splat<N>(360.0), one = splat<N>(1.0), three = splat<N>(3.0);
    D<N> H = whole_quotient<10>(hue) + rest;
    H = pick(compare<_CMP_GE_OQ>(H, c360), H - c360, pick(less(H, zero), H + c360, H));
    H = pick(compare<_CMP_EQ_OQ>(H, zero), c360, H);
    const D<N> first = compare<_CMP_LE_OQ>(H, splat<N>(120.0));
    const D<N> second = compare<_CMP_LE_OQ>(H, splat<N>(240.0));  // where not first
    const D<N> h = H - pick(first, zero, pick(second, splat<N>(120.0), splat<N>(240.0)));
    const D<N> pi = splat<N>(fast::kPi), c180 = splat<N>(180.0);
    const D<N> cos_h = cosine(h * pi / c180), cos_60_minus_h = cosine((splat<N>(60.0) - h) * pi / c180);
    const D<N> trailing = (one - S) / three;
    const D<N> leading = (one + S * cos_h / cos_60_minus_h) / three;
    const D<N> lead = leading * intensity3, trail = trailing * intensity3;
    const D<N> third = (one - (leading + trailing)) * intensity3;
    return Rgb<N>{pick(first, lead, pick(second, trail, third)), pick(first, third, pick(second, lead, trail)),
                  pick(first, trail, pick(second, third, lead))};
}

// A level of 0..top: NaN and below 0 to 0, above the top to it, rounded.
template <std::size_t N>
QOVA_AVX2 I<N> level(const D<N> &v, const D<N> &top) {
    return truncated((greater(v, splat<N>(0.0)) & min_of(v, top)) + splat<N>(0.5));
}

// A group the way back.
template <std::size_t N>
QOVA_AVX2 void backward_group(bool with_hue, const D<N> &top, const BackwardArrays &a) {
    const I<N> r = load<N>(a.red), g = load<N>(a.green), b = load<N>(a.blue);
    const I<N> sum = load<N>(a.sum), hue = load<N>(a.hue), sat = load<N>(a.sat), sat0 = load<N>(a.sat0);
    const I<N> same_hue = equal(hue, load<N>(a.hue0)) & equal(sum, load<N>(a.sum0));
    const I<N> kept = same_hue & equal(sat, sat0);
    const I<N> had_saturation = greater(sat0, I<N>{});
    const I<N> scaled_only = and_not(kept, same_hue & had_saturation);
    const unsigned kept_lanes = lanes(kept);
    if (kept_lanes == kAllLanes<N>) {
        store_samples(a.r16, r);
        store_samples(a.g16, g);
        store_samples(a.b16, b);
        return;
    }
    const unsigned scaled_lanes = lanes(scaled_only);
    const unsigned general_lanes = ~(kept_lanes | scaled_lanes) & kAllLanes<N>;

    // The saturation the result stands for: the exact one scaled by what the
    // operator did to its quantised value, or the quantised value where
    // there was none.
    const D<N> had = widen(had_saturation);
    const D<N> saturation = load_floats<N>(a.saturation);
    // Where no saturation changed (the hue operators), the quotients are known:
    // s / s is 1, and 0 / 999 is 0.
    const D<N> ratio = lanes(equal(sat, sat0)) == kAllLanes<N>
                           ? had & splat<N>(1.0)
                           : to_double(sat) / pick(had, to_double(sat0), splat<N>(999.0));
    const D<N> S = min_of(splat<N>(1.0), max_of(splat<N>(0.0), pick(had, saturation * ratio, ratio)));
    const D<N> total = to_double(sum);

    Rgb<N> out{total, total, total};  // for the lanes whose pixel changed; any value for the others
    if (scaled_lanes) {               // each sample moves from the mean in proportion to the saturation
        const D<N> mean = whole_quotient<3>(total);
        const D<N> factor = S / pick(greater(saturation, splat<N>(0.0)), saturation, splat<N>(1.0));
        out = Rgb<N>{mean + (to_double(r) - mean) * factor, mean + (to_double(g) - mean) * factor,
                     mean + (to_double(b) - mean) * factor};
    }
    if (general_lanes) {
        I<N> turned = hue;
        D<N> turned_rest = load_floats<N>(a.rest);
        if (!with_hue) {  // the pixel's own hue, turned as the operator turned plane 1
            int32_t own_hue[4 * N];
            float own_rest[4 * N] = {};
            std::copy_n(a.hue, 4 * N, own_hue);
            for (std::size_t c = 0; c < 4 * N; ++c)
                if (general_lanes & (1u << c))
                    own_hue[c] = turned_hue(a.hue[c], a.hue0[c], a.red[c], a.green[c], a.blue[c], &own_rest[c]);
            turned = load<N>(own_hue);
            turned_rest = load_floats<N>(own_rest);
        }
        const Rgb<N> built = rebuilt(to_double(turned), turned_rest, S, total);
        if (scaled_lanes) {
            const D<N> general = widen(and_not(kept | scaled_only, equal(sum, sum)));
            out = Rgb<N>{pick(general, built.r, out.r), pick(general, built.g, out.g), pick(general, built.b, out.b)};
        } else {
            out = built;
        }
    }
    store_samples(a.r16, pick(kept, r, level(out.r, top)));
    store_samples(a.g16, pick(kept, g, level(out.g, top)));
    store_samples(a.b16, pick(kept, b, level(out.b, top)));
}

// Groups of N vectors while they fit, then single vectors; the last pixels,
// fewer than four, through the portable kernels, which give the same bits.
__attribute__((target("avx2,fma"))) void forward_row(std::size_t width, bool with_hue, const ForwardArrays &row) {
    std::size_t c = 0;
    for (; c + 4 * kForwardVectors <= width; c += 4 * kForwardVectors)
        forward_group<kForwardVectors>(with_hue, row.at(c));
    for (; c + 4 <= width; c += 4) forward_group<1>(with_hue, row.at(c));
    if (c < width) portable_kernels().forward(width - c, with_hue, row.at(c));
}

__attribute__((target("avx2,fma"))) void backward_row(std::size_t width, bool with_hue, uint32_t max,
                                                      const BackwardArrays &row) {
    const double top = max;
    std::size_t c = 0;
    for (; c + 4 * kBackwardVectors <= width; c += 4 * kBackwardVectors)
        backward_group(with_hue, splat<kBackwardVectors>(top), row.at(c));
    for (; c + 4 <= width; c += 4) backward_group(with_hue, splat<1>(top), row.at(c));
    if (c < width) portable_kernels().backward(width - c, with_hue, max, row.at(c));
}

__attribute__((target("avx2,fma"))) void split(const uint16_t *src, std::size_t width, int channels, int32_t *red,
                                               int32_t *green, int32_t *blue) {
    split_samples(src, width, channels, red, green, blue);
}

__attribute__((target("avx2,fma"))) void merge(const uint16_t *r16, const uint16_t *g16, const uint16_t *b16,
                                               const uint16_t *src, std::size_t width, int channels, uint16_t *dst) {
    merge_samples(r16, g16, b16, src, width, channels, dst);
}

}  // namespace

Kernels avx2_kernels() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
        return Kernels{nullptr, nullptr, nullptr, nullptr};
    return Kernels{split, forward_row, backward_row, merge};
}

}  // namespace qova::pipeline::rows
