#include "hsi_mapping.h"

#include "detail/hsi_rows.h"
#include "detail/pixel_io.h"
#include "qova_conversions.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace qova::pipeline {

using rows::unit;

namespace {

// The saturation the operator's result stands for: the exact one scaled by
// what the operator did to its quantised value.
inline double new_saturation(int32_t sat, int32_t sat0, double saturation) {
    return unit(sat0 > 0 ? saturation * (static_cast<double>(sat) / sat0) : sat / 999.0);
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
    for (std::vector<int32_t> *v : {&red, &green, &blue}) v->resize(width);
    for (std::vector<uint16_t> *v : {&r16, &g16, &b16}) v->resize(width);
}

void HsiMapping::start(const codecs::RasterInfo &input) { info_ = input; }

namespace {

// How a row's samples lie: samples per pixel, and where green and blue are
// (0 for grey, whose one sample is all three).
enum class Layout { Grey, GreyAlpha, Rgb, Rgba };

Layout layout_of(const codecs::RasterInfo &info) {
    switch (info.channels) {
    case 1: return Layout::Grey;
    case 2: return Layout::GreyAlpha;
    case 3: return Layout::Rgb;
    default: return Layout::Rgba;
    }
}

template <Layout L>
struct Lay {
    static constexpr std::size_t step = L == Layout::Grey ? 1 : L == Layout::GreyAlpha ? 2 : L == Layout::Rgb ? 3 : 4;
    static constexpr std::size_t colour = L == Layout::Grey || L == Layout::GreyAlpha ? 0 : 1;
    static constexpr bool alpha = L == Layout::GreyAlpha || L == Layout::Rgba;
};

// A row's samples as three planes of int32.
template <Layout L>
inline void split_row(const uint16_t *__restrict src, std::size_t width, int32_t *__restrict R, int32_t *__restrict G,
                      int32_t *__restrict B) {
    constexpr std::size_t step = Lay<L>::step, green = Lay<L>::colour, blue = 2 * Lay<L>::colour;
    for (std::size_t c = 0; c < width; ++c) {
        R[c] = src[c * step];
        G[c] = src[c * step + green];
        B[c] = src[c * step + blue];
    }
}

// The results into the row's pixels: grey files take the mean of the three,
// alpha comes from the input.
template <Layout L>
inline void merge_row(const uint16_t *__restrict r16, const uint16_t *__restrict g16, const uint16_t *__restrict b16,
                      const uint16_t *__restrict src, std::size_t width, uint16_t *__restrict dst) {
    constexpr std::size_t step = Lay<L>::step;
    for (std::size_t c = 0; c < width; ++c) {
        uint16_t *px = dst + c * step;
        if constexpr (Lay<L>::colour) {
            px[0] = r16[c];
            px[1] = g16[c];
            px[2] = b16[c];
        } else {
            px[0] = static_cast<uint16_t>((static_cast<uint32_t>(r16[c]) + g16[c] + b16[c] + 1) / 3);
        }
        if constexpr (Lay<L>::alpha) px[step - 1] = src[c * step + step - 1];
    }
}

template <class Fn>
inline void for_layout(Layout layout, Fn &&fn) {
    switch (layout) {
    case Layout::Grey: fn(std::integral_constant<Layout, Layout::Grey>{}); break;
    case Layout::GreyAlpha: fn(std::integral_constant<Layout, Layout::GreyAlpha>{}); break;
    case Layout::Rgb: fn(std::integral_constant<Layout, Layout::Rgb>{}); break;
    case Layout::Rgba: fn(std::integral_constant<Layout, Layout::Rgba>{}); break;
    }
}

}  // namespace

void HsiMapping::to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
    const std::size_t width = static_cast<std::size_t>(file.width);
    hue_rest_.resize(static_cast<std::size_t>(file.rows) * width);
    saturation_.resize(hue_rest_.size());
    row_.resize(width);
    const rows::ForwardRow forward = rows::chosen_kernels().forward;
    for_layout(layout_of(info_), [&](auto layout) {
        for (int r = 0; r < file.rows; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * width;
            split_row<decltype(layout)::value>(file.row(r), width, row_.red.data(), row_.green.data(),
                                               row_.blue.data());
            forward(width, hue_ == Hue::Computed,
                    rows::ForwardArrays{row_.red.data(), row_.green.data(), row_.blue.data(), planes.row(0, r),
                                        planes.row(1, r), planes.row(2, r), hue_rest_.data() + at,
                                        saturation_.data() + at});
        }
    });
}

void HsiMapping::from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                             const pipeline::RawRows &input, const pipeline::RawRows &out) {
    const std::size_t width = static_cast<std::size_t>(result.width);
    row_.resize(width);
    const rows::BackwardRow backward = rows::chosen_kernels().backward;
    for_layout(layout_of(info_), [&](auto layout) {
        for (int r = 0; r < result.rows; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * width;
            split_row<decltype(layout)::value>(input.row(r), width, row_.red.data(), row_.green.data(),
                                               row_.blue.data());
            backward(width, hue_ == Hue::Computed, info_.max_value(),
                     rows::BackwardArrays{row_.red.data(), row_.green.data(), row_.blue.data(), result.row(0, r),
                                          result.row(1, r), result.row(2, r), input_planes.row(0, r),
                                          input_planes.row(1, r), input_planes.row(2, r), hue_rest_.data() + at,
                                          saturation_.data() + at, row_.r16.data(), row_.g16.data(), row_.b16.data()});
            merge_row<decltype(layout)::value>(row_.r16.data(), row_.g16.data(), row_.b16.data(), input.row(r), width,
                                               out.row(r));
        }
    });
}

}  // namespace qova::pipeline
