#include "hsi_mapping.h"

#include "detail/fast_trig.h"
#include "detail/pixel_io.h"
#include "qova_conversions.hpp"

#include <algorithm>
#include <cmath>

namespace qova::pipeline {

namespace {

constexpr double kDegreesPerRadian = 180 / fast::kPi;
constexpr double kSqrt3 = 1.7320508075688772;
// How near a tie between two tenths the series' hue may lie before the
// exact computation decides: far beyond the series' error (6e-8 tenths) and
// the exact computation's own (below 1e-8 tenths).
constexpr double kTieMargin = 1e-6;

// What became of a pixel on the way back.
enum : int32_t { kUnchanged, kSaturationOnly, kGeneral };

// x rounded half away from zero, as lround gives it, for 0 <= x < 2^52:
// plain arithmetic, so that loops vectorise.
inline double round_half_up(double x) {
    const double t = qova::whole_part(x);
    return t + (x - t >= 0.5 ? 1.0 : 0.0);
}

// Clamped to 0..1, NaN to 0.
inline double unit(double v) { return v > 0 ? (v < 1 ? v : 1.0) : 0.0; }

// The saturation the operator's result stands for: the exact one scaled by
// what the operator did to its quantised value.
inline double new_saturation(int32_t sat, int32_t sat0, double saturation) {
    return unit(sat0 > 0 ? saturation * (static_cast<double>(sat) / sat0) : sat / 999.0);
}

// Whether a hue of some saturation lies so near a tie between two tenths
// that the series might round it the other way.
inline bool near_tie(double H, double S) {
    const double fraction = H * 10 - qova::whole_part(H * 10);
    return 1000 * S > 0 && std::fabs(fraction - 0.5) < kTieMargin;
}

}  // namespace

HsiPixel exact_hsi(int32_t r, int32_t g, int32_t b) {
    const qova::Hsi hsi = qova::rgb_to_hsi(r, g, b);
    const double H = std::isfinite(hsi.H) ? hsi.H : 0.0;
    const double S = unit(hsi.S);
    HsiPixel p;
    p.hue = static_cast<int32_t>(std::lround(H * 10));
    p.sat = static_cast<int32_t>(std::lround(S * 999));
    p.sum = r + g + b;
    p.hue_rest = static_cast<float>(H - p.hue / 10.0);
    p.saturation = static_cast<float>(S);
    return p;
}

std::array<uint16_t, 3> exact_rgb(int32_t hue, int32_t sat, int32_t sum, const HsiPixel &before, uint32_t max) {
    double H = std::fmod(hue / 10.0 + before.hue_rest, 360.0);
    if (H < 0) H += 360.0;
    const qova::Fractions f = qova::hsi_to_fractions(H, new_saturation(sat, before.sat, before.saturation));
    const double intensity3 = sum;
    return {round_to(f.r * intensity3, max), round_to(f.g * intensity3, max), round_to(f.b * intensity3, max)};
}

void HsiMapping::RowScratch::resize(std::size_t width) {
    for (std::vector<double> *v :
         {&across, &up, &saturation, &hue, &red, &green, &blue, &lead, &trail, &third, &angle, &cos_h, &cos_60_minus_h})
        v->resize(width);
    kind.resize(width);
    sector.resize(width);
    for (std::vector<uint16_t> *v : {&r16, &g16, &b16}) v->resize(width);
}

void HsiMapping::start(const codecs::RasterInfo &input) { info_ = input; }

namespace {

// The leading, trailing and third component of each pixel, from its
// saturation and the two cosines of its hue within the sector: shares of
// 3 I of (1 + S cos h / cos(60 - h)) / 3, (1 - S) / 3 and the rest of 1.
// (A function of its own: the compiler vectorises this loop only when told
// through its parameters that the arrays do not overlap.)
inline void shares(std::size_t n, const double *__restrict S, const double *__restrict cos_h,
                   const double *__restrict cos_60_minus_h, const int32_t *__restrict sum, double *__restrict lead,
                   double *__restrict trail, double *__restrict third) {
    for (std::size_t c = 0; c < n; ++c) {
        const double trailing = (1 - S[c]) / 3;
        const double leading = (1 + S[c] * cos_h[c] / cos_60_minus_h[c]) / 3;
        const double intensity3 = sum[c];
        lead[c] = leading * intensity3;
        trail[c] = trailing * intensity3;
        third[c] = (1 - (leading + trailing)) * intensity3;
    }
}

// Each pixel's red, green and blue rounded to the file's depth: from the
// saturation-only values, or where the pixel needs the rebuild, from its
// leading, trailing and third component placed by its sector.
inline void round_results(std::size_t n, uint32_t max, const int32_t *__restrict kind, const int32_t *__restrict sector,
                          const double *__restrict red, const double *__restrict grn, const double *__restrict blu,
                          const double *__restrict lead, const double *__restrict trail, const double *__restrict third,
                          uint16_t *__restrict r16, uint16_t *__restrict g16, uint16_t *__restrict b16) {
    const double top = max;
    const auto level = [top](double v) {  // as round_to: NaN and below 0 to 0, above the top to it
        const double clamped = v > 0 ? (v < top ? v : top) : 0.0;
        return static_cast<uint16_t>(static_cast<int32_t>(clamped + 0.5));
    };
    for (std::size_t c = 0; c < n; ++c) {
        const bool rebuilt = kind[c] == kGeneral;
        const int32_t s = sector[c];
        const double r = rebuilt ? (s == 0 ? lead[c] : s == 1 ? trail[c] : third[c]) : red[c];
        const double g = rebuilt ? (s == 0 ? third[c] : s == 1 ? lead[c] : trail[c]) : grn[c];
        const double b = rebuilt ? (s == 0 ? trail[c] : s == 1 ? third[c] : lead[c]) : blu[c];
        r16[c] = level(r);
        g16[c] = level(g);
        b16[c] = level(b);
    }
}

// One row's samples and what the mapping keeps of them.
struct SampleRow {
    const uint16_t *samples;
    std::size_t width, step, green, blue;  // green and blue: offsets in a pixel (0 for grey)
};

SampleRow sample_row(const codecs::RasterInfo &info, const uint16_t *samples, std::size_t width, int channels) {
    const std::size_t colour = info.is_grey() ? 0 : 1;
    return SampleRow{samples, width, static_cast<std::size_t>(channels), colour, 2 * colour};
}

// The row kernels: loops of one kind of work each, so that the compiler
// vectorises them; every array is its own. Each is compiled for AVX2 as well
// (below) and picked at run time: the same IEEE operations either way, so the
// same results.

[[gnu::always_inline]] inline void forward_row(const SampleRow &in, int32_t *__restrict sum, int32_t *__restrict hue,
                                               int32_t *__restrict sat, float *__restrict rest,
                                               float *__restrict saturation, HsiMapping::RowScratch &row) {
    const uint16_t *__restrict src = in.samples;
    double *__restrict across = row.across.data(), *__restrict up = row.up.data();
    double *__restrict S = row.saturation.data(), *__restrict H = row.hue.data();
    const std::size_t width = in.width, step = in.step, green = in.green, blue = in.blue;
    for (std::size_t c = 0; c < width; ++c) {
        const uint16_t *px = src + c * step;
        const int32_t R = px[0], G = px[green], B = px[blue];
        sum[c] = R + G + B;
        across[c] = 2.0 * R - G - B;
        up[c] = kSqrt3 * (G - B);
        S[c] = unit(qova::saturation(R, G, B));
    }
    for (std::size_t c = 0; c < width; ++c) {
        const double angle = fast::angle(across[c], up[c]) * kDegreesPerRadian;
        H[c] = 1000 * S[c] > 0 ? angle : 0.0;
    }
    for (std::size_t c = 0; c < width; ++c) {
        const double tenths = round_half_up(H[c] * 10);
        hue[c] = static_cast<int32_t>(tenths);
        rest[c] = static_cast<float>(H[c] - tenths / 10);
    }
    for (std::size_t c = 0; c < width; ++c) {
        sat[c] = static_cast<int32_t>(round_half_up(S[c] * 999));
        saturation[c] = static_cast<float>(S[c]);
    }
    // Where the series could round to another tenth, which is rare, the
    // exact computation decides.
    double ties = 0;
    for (std::size_t c = 0; c < width; ++c) ties += near_tie(H[c], S[c]) ? 1.0 : 0.0;
    for (std::size_t c = 0; ties > 0 && c < width; ++c) {
        if (!near_tie(H[c], S[c])) continue;
        const uint16_t *px = src + c * step;
        const HsiPixel exact = exact_hsi(px[0], px[green], px[blue]);
        hue[c] = exact.hue;
        rest[c] = exact.hue_rest;
    }
}

// The planes a row had and has now.
struct PlaneRow {
    const int32_t *sum, *hue, *sat;
};

[[gnu::always_inline]] inline void backward_row(const SampleRow &in, const PlaneRow &now, const PlaneRow &before,
                                                const float *__restrict rest, const float *__restrict saturation,
                                                uint16_t *__restrict dst, const codecs::RasterInfo &info,
                                                HsiMapping::RowScratch &row) {
    const int32_t *__restrict sum = now.sum, *__restrict hue = now.hue, *__restrict sat = now.sat;
    const int32_t *__restrict sum0 = before.sum, *__restrict hue0 = before.hue, *__restrict sat0 = before.sat;
    const uint16_t *__restrict src = in.samples;
    double *__restrict red = row.red.data(), *__restrict grn = row.green.data(), *__restrict blu = row.blue.data();
    double *__restrict S = row.saturation.data(), *__restrict lead = row.lead.data();
    double *__restrict trail = row.trail.data(), *__restrict third = row.third.data();
    double *__restrict h = row.angle.data(), *__restrict cos_h = row.cos_h.data();
    double *__restrict cos_60_minus_h = row.cos_60_minus_h.data();
    int32_t *__restrict kind = row.kind.data(), *__restrict sector = row.sector.data();
    const std::size_t width = in.width, step = in.step, green = in.green, blue = in.blue;
    const uint32_t max = info.max_value();

    int32_t general = 0, saturation_only = 0;
    for (std::size_t c = 0; c < width; ++c) {
        // & rather than &&: no branches, so that the loop vectorises
        const bool same_hue = (hue[c] == hue0[c]) & (sum[c] == sum0[c]);
        kind[c] = (same_hue & (sat[c] == sat0[c])) ? kUnchanged
                  : (same_hue & (sat0[c] > 0))     ? kSaturationOnly
                                                   : kGeneral;
        general |= kind[c] == kGeneral;
        saturation_only |= kind[c] == kSaturationOnly;
    }
    // The saturation the result stands for: the exact one scaled by what the
    // operator did to its quantised value, or the quantised value where there
    // was none. Every division is made, choices pick.
    for (std::size_t c = 0; c < width; ++c) {
        const double ratio = sat[c] / static_cast<double>(sat0[c] > 0 ? sat0[c] : 1);
        const double scaled = saturation[c] * ratio, fresh = sat[c] / 999.0;
        S[c] = std::min(std::max(sat0[c] > 0 ? scaled : fresh, 0.0), 1.0);
    }
    // A pixel whose hue and intensity stayed keeps its hue: each sample moves
    // from the mean in proportion to the saturation, no angle needed.
    for (std::size_t c = 0; saturation_only && c < width; ++c) {
        const uint16_t *px = src + c * step;
        const double mean = sum[c] / 3.0;
        const double factor = S[c] / (saturation[c] > 0 ? saturation[c] : 1.0f);
        red[c] = mean + (px[0] - mean) * factor;
        grn[c] = mean + (px[green] - mean) * factor;
        blu[c] = mean + (px[blue] - mean) * factor;
    }
    // Otherwise rebuild from hue and saturation, with series cosines of the
    // hue's angle within its 120-degree sector.
    if (general) {
        for (std::size_t c = 0; c < width; ++c) {
            double H = hue[c] / 10.0 + rest[c];
            H = H >= 360 ? H - 360 : H < 0 ? H + 360 : H;
            H = H == 0 ? 360 : H;
            sector[c] = H <= 120 ? 0 : H <= 240 ? 1 : 2;
            h[c] = H - 120 * sector[c];
        }
        for (std::size_t c = 0; c < width; ++c) {
            cos_h[c] = fast::cosine(h[c] * fast::kPi / 180);
            cos_60_minus_h[c] = fast::cosine((60 - h[c]) * fast::kPi / 180);
        }
        shares(width, S, cos_h, cos_60_minus_h, sum, lead, trail, third);
    }
    if (!general) {  // no sectors were worked out: any will do for the choices
        for (std::size_t c = 0; c < width; ++c) sector[c] = 0;
    }
    uint16_t *__restrict r16 = row.r16.data(), *__restrict g16 = row.g16.data(), *__restrict b16 = row.b16.data();
    round_results(width, max, kind, sector, red, grn, blu, lead, trail, third, r16, g16, b16);
    for (std::size_t c = 0; c < width; ++c) {
        const std::size_t at = c * step;
        if (kind[c] == kUnchanged) {
            std::copy_n(src + at, step, dst + at);
        } else {
            store_pixel(dst + at, src + at, info, r16[c], g16[c], b16[c]);
        }
    }
}

using ForwardRow = void (*)(const SampleRow &, int32_t *, int32_t *, int32_t *, float *, float *,
                            HsiMapping::RowScratch &);
using BackwardRow = void (*)(const SampleRow &, const PlaneRow &, const PlaneRow &, const float *, const float *,
                             uint16_t *, const codecs::RasterInfo &, HsiMapping::RowScratch &);

void forward_row_sse2(const SampleRow &in, int32_t *sum, int32_t *hue, int32_t *sat, float *rest, float *saturation,
                      HsiMapping::RowScratch &row) {
    forward_row(in, sum, hue, sat, rest, saturation, row);
}
__attribute__((target("avx2"))) void forward_row_avx2(const SampleRow &in, int32_t *sum, int32_t *hue, int32_t *sat,
                                                      float *rest, float *saturation, HsiMapping::RowScratch &row) {
    forward_row(in, sum, hue, sat, rest, saturation, row);
}
void backward_row_sse2(const SampleRow &in, const PlaneRow &now, const PlaneRow &before, const float *rest,
                       const float *saturation, uint16_t *dst, const codecs::RasterInfo &info,
                       HsiMapping::RowScratch &row) {
    backward_row(in, now, before, rest, saturation, dst, info, row);
}
__attribute__((target("avx2"))) void backward_row_avx2(const SampleRow &in, const PlaneRow &now, const PlaneRow &before,
                                                       const float *rest, const float *saturation, uint16_t *dst,
                                                       const codecs::RasterInfo &info, HsiMapping::RowScratch &row) {
    backward_row(in, now, before, rest, saturation, dst, info, row);
}

ForwardRow chosen_forward_row() {
    static const ForwardRow chosen = __builtin_cpu_supports("avx2") ? forward_row_avx2 : forward_row_sse2;
    return chosen;
}
BackwardRow chosen_backward_row() {
    static const BackwardRow chosen = __builtin_cpu_supports("avx2") ? backward_row_avx2 : backward_row_sse2;
    return chosen;
}

}  // namespace

void HsiMapping::to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
    const std::size_t width = static_cast<std::size_t>(file.width);
    hue_rest_.resize(static_cast<std::size_t>(file.rows) * width);
    saturation_.resize(hue_rest_.size());
    row_.resize(width);
    const ForwardRow forward_row = chosen_forward_row();
    for (int r = 0; r < file.rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * width;
        forward_row(sample_row(info_, file.row(r), width, file.channels), planes.row(0, r), planes.row(1, r),
                    planes.row(2, r), hue_rest_.data() + at, saturation_.data() + at, row_);
    }
}

void HsiMapping::from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                             const pipeline::RawRows &input, const pipeline::RawRows &out) {
    const std::size_t width = static_cast<std::size_t>(result.width);
    row_.resize(width);
    const BackwardRow backward_row = chosen_backward_row();
    for (int r = 0; r < result.rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * width;
        backward_row(sample_row(info_, input.row(r), width, input.channels),
                     PlaneRow{result.row(0, r), result.row(1, r), result.row(2, r)},
                     PlaneRow{input_planes.row(0, r), input_planes.row(1, r), input_planes.row(2, r)},
                     hue_rest_.data() + at, saturation_.data() + at, out.row(r), info_, row_);
    }
}

}  // namespace qova::pipeline
