// The portable row kernels: loops without branches or calls, one kind of work
// a loop, so that the compiler vectorises them for any processor; every array
// is its own.
#include "detail/hsi_rows.h"
#include "detail/row_samples.h"
#include "hsi_mapping.h"
#include "qova_conversions.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

namespace qova::pipeline::rows {

int32_t turned_hue(int32_t hue, int32_t hue0, int32_t r, int32_t g, int32_t b, float *rest) {
    const HsiPixel exact = exact_hsi(r, g, b);
    *rest = exact.hue_rest;
    const int64_t turned = int64_t{hue} - hue0 + exact.hue;
    return static_cast<int32_t>(std::clamp<int64_t>(turned, INT32_MIN, INT32_MAX));
}

namespace {

// x rounded half away from zero, as lround gives it, for 0 <= x < 2^31: in
// integers, which vectorise.
inline int32_t rounded(double x) {
    const int32_t whole = static_cast<int32_t>(x);
    return whole + (x - whole >= 0.5);
}

// v rounded to a level of 0..top as round_to rounds: NaN and below 0 to 0,
// above the top to it.
inline int32_t level(double v, double top) {
    const double clamped = v > 0 ? (v < top ? v : top) : 0.0;
    return static_cast<int32_t>(clamped + 0.5);
}

void forward_chunk(std::size_t n, bool with_hue, const ForwardArrays &a) {
    const int32_t *__restrict R = a.red, *__restrict G = a.green, *__restrict B = a.blue;
    int32_t *__restrict sum = a.sum, *__restrict hue = a.hue, *__restrict sat = a.sat;
    float *__restrict rest = a.rest, *__restrict saturation = a.saturation;
    double S[kChunk], across[kChunk], up[kChunk], H[kChunk];
    int32_t tie[kChunk];
    for (std::size_t c = 0; c < n; ++c) {
        const double s = unit(qova::saturation(R[c], G[c], B[c]));
        S[c] = s;
        sum[c] = R[c] + G[c] + B[c];
        sat[c] = rounded(s * 999);
        saturation[c] = static_cast<float>(s);
    }
    if (!with_hue) {
        std::fill_n(hue, n, 0);
        std::fill_n(rest, n, 0.0f);
        return;
    }
    for (std::size_t c = 0; c < n; ++c) {
        across[c] = 2.0 * R[c] - G[c] - B[c];
        up[c] = kSqrt3 * (G[c] - B[c]);
    }
    for (std::size_t c = 0; c < n; ++c) {
        const double angle = fast::angle(across[c], up[c]) * kDegreesPerRadian;
        H[c] = 1000 * S[c] > 0 ? angle : 0.0;
    }
    int32_t ties = 0;
    for (std::size_t c = 0; c < n; ++c) {
        const double x = H[c] * 10;
        const int32_t whole = static_cast<int32_t>(x);
        const double fraction = x - whole;
        hue[c] = whole + (fraction >= 0.5);
        rest[c] = static_cast<float>(H[c] - hue[c] / 10.0);
        // Where the series could round to another tenth, which is rare, the
        // exact computation decides.
        tie[c] = (1000 * S[c] > 0) & (std::fabs(fraction - 0.5) < kTieMargin);
        ties |= tie[c];
    }
    for (std::size_t c = 0; ties && c < n; ++c) {
        if (!tie[c]) continue;
        const HsiPixel exact = exact_hsi(R[c], G[c], B[c]);
        hue[c] = exact.hue;
        rest[c] = exact.hue_rest;
    }
}

// Each result rounded to the file's depth: from the saturation-only values
// (`kScaled`), the rebuilt ones (`kBuilt`) or either by the pixel's kind; a
// pixel left alone keeps its samples.
template <bool kScaled, bool kBuilt>
void levels(std::size_t n, uint32_t max, const int32_t *__restrict kind, const double *const scaled[3],
            const double *const built[3], const int32_t *const samples[3], uint16_t *const out[3]) {
    const double top = max;
    for (int k = 0; k < 3; ++k) {
        const double *__restrict s = scaled[k], *__restrict b = built[k];
        const int32_t *__restrict in = samples[k];
        uint16_t *__restrict to = out[k];
        for (std::size_t c = 0; c < n; ++c) {
            double v = 0;
            if constexpr (kScaled && kBuilt) v = kind[c] == kGeneral ? b[c] : s[c];
            if constexpr (kScaled && !kBuilt) v = s[c];
            if constexpr (!kScaled && kBuilt) v = b[c];
            const int32_t result = level(v, top);
            to[c] = static_cast<uint16_t>(kind[c] == kUnchanged ? in[c] : result);
        }
    }
}

void backward_chunk(std::size_t n, bool with_hue, uint32_t max, const BackwardArrays &a) {
    const int32_t *__restrict sum = a.sum, *__restrict hue = a.hue, *__restrict sat = a.sat;
    const int32_t *__restrict sum0 = a.sum0, *__restrict hue0 = a.hue0, *__restrict sat0 = a.sat0;
    const int32_t *__restrict R = a.red, *__restrict G = a.green, *__restrict B = a.blue;
    const float *__restrict rest = a.rest, *__restrict saturation = a.saturation;
    int32_t kind[kChunk];
    double S[kChunk], sr[kChunk], sg[kChunk], sb[kChunk], br[kChunk], bg[kChunk], bb[kChunk];

    int32_t general = 0, saturation_only = 0;
    for (std::size_t c = 0; c < n; ++c) {
        // & rather than &&: no branches, so that the loop vectorises
        const bool same_hue = (hue[c] == hue0[c]) & (sum[c] == sum0[c]);
        kind[c] = (same_hue & (sat[c] == sat0[c])) ? kUnchanged
                  : (same_hue & (sat0[c] > 0))     ? kSaturationOnly
                                                   : kGeneral;
        general |= kind[c] == kGeneral;
        saturation_only |= kind[c] == kSaturationOnly;
        // The saturation the result stands for: the exact one scaled by what
        // the operator did to its quantised value, or the quantised value
        // where there was none.
        const double ratio = sat[c] / (sat0[c] > 0 ? static_cast<double>(sat0[c]) : 999.0);
        S[c] = std::min(std::max(sat0[c] > 0 ? saturation[c] * ratio : ratio, 0.0), 1.0);
    }
    // A pixel whose hue and intensity stayed keeps its hue: each sample moves
    // from the mean in proportion to the saturation, no angle needed.
    for (std::size_t c = 0; saturation_only && c < n; ++c) {
        const double mean = sum[c] / 3.0;
        const double factor = S[c] / (saturation[c] > 0 ? saturation[c] : 1.0f);
        sr[c] = mean + (R[c] - mean) * factor;
        sg[c] = mean + (G[c] - mean) * factor;
        sb[c] = mean + (B[c] - mean) * factor;
    }
    if (general) {
        const int32_t *turned = hue;
        const float *turned_rest = rest;
        int32_t own_hue[kChunk];
        float own_rest[kChunk];
        if (!with_hue) {
            for (std::size_t c = 0; c < n; ++c) {
                own_hue[c] = hue[c];
                own_rest[c] = 0;
                if (kind[c] == kGeneral) own_hue[c] = turned_hue(hue[c], hue0[c], R[c], G[c], B[c], &own_rest[c]);
            }
            turned = own_hue;
            turned_rest = own_rest;
        }
        // Otherwise rebuild from hue and saturation, with series cosines of
        // the hue's angle within its 120-degree sector: shares of 3 I of
        // (1 + S cos h / cos(60 - h)) / 3 for the leading component,
        // (1 - S) / 3 for the trailing one and the rest of 1 for the third.
        for (std::size_t c = 0; c < n; ++c) {
            double H = turned[c] / 10.0 + turned_rest[c];
            H = H >= 360 ? H - 360 : H < 0 ? H + 360 : H;
            H = H == 0 ? 360 : H;
            const int32_t s = H <= 120 ? 0 : H <= 240 ? 1 : 2;
            const double h = H - 120 * s;
            const double cos_h = fast::cosine(h * fast::kPi / 180);
            const double cos_60_minus_h = fast::cosine((60 - h) * fast::kPi / 180);
            const double trailing = (1 - S[c]) / 3;
            const double leading = (1 + S[c] * cos_h / cos_60_minus_h) / 3;
            const double intensity3 = sum[c];
            const double lead = leading * intensity3, trail = trailing * intensity3;
            const double third = (1 - (leading + trailing)) * intensity3;
            br[c] = s == 0 ? lead : s == 1 ? trail : third;
            bg[c] = s == 0 ? third : s == 1 ? lead : trail;
            bb[c] = s == 0 ? trail : s == 1 ? third : lead;
        }
    }
    const double *const scaled[3] = {sr, sg, sb}, *const built[3] = {br, bg, bb};
    const int32_t *const samples[3] = {R, G, B};
    uint16_t *const out[3] = {a.r16, a.g16, a.b16};
    if (saturation_only && general)
        levels<true, true>(n, max, kind, scaled, built, samples, out);
    else if (saturation_only)
        levels<true, false>(n, max, kind, scaled, built, samples, out);
    else if (general)
        levels<false, true>(n, max, kind, scaled, built, samples, out);
    else
        levels<false, false>(n, max, kind, scaled, built, samples, out);
}

void forward_row(std::size_t width, bool with_hue, const ForwardArrays &row) {
    for (std::size_t c = 0; c < width; c += kChunk) forward_chunk(std::min(kChunk, width - c), with_hue, row.at(c));
}

void backward_row(std::size_t width, bool with_hue, uint32_t max, const BackwardArrays &row) {
    for (std::size_t c = 0; c < width; c += kChunk)
        backward_chunk(std::min(kChunk, width - c), with_hue, max, row.at(c));
}

void split(const uint16_t *src, std::size_t width, int channels, int32_t *red, int32_t *green, int32_t *blue) {
    split_samples(src, width, channels, red, green, blue);
}

void merge(const uint16_t *r16, const uint16_t *g16, const uint16_t *b16, const uint16_t *src, std::size_t width,
           int channels, uint16_t *dst) {
    merge_samples(r16, g16, b16, src, width, channels, dst);
}

}  // namespace

Kernels portable_kernels() { return Kernels{split, forward_row, backward_row, merge}; }

Kernels chosen_kernels() {
    static const Kernels chosen = avx2_kernels().forward ? avx2_kernels() : portable_kernels();
    return chosen;
}

}  // namespace qova::pipeline::rows
