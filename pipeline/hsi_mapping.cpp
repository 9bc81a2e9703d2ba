#include "hsi_mapping.h"

#include "detail/hsi_rows.h"
#include "detail/pixel_io.h"
#include "qova_conversions.hpp"

#include <algorithm>
#include <cmath>

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

void HsiMapping::start(const codecs::RasterInfo &input) { info_ = input; }

void HsiMapping::to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
    const std::size_t width = static_cast<std::size_t>(file.width);
    const std::size_t pixels = static_cast<std::size_t>(file.rows) * width;
    for (KeptBuffer<int32_t> *v : {&red_, &green_, &blue_}) v->resize(pixels);
    hue_rest_.resize(pixels);
    saturation_.resize(pixels);
    split_from_ = file.data;
    const rows::Kernels &kernels = rows::chosen_kernels();
    for (int r = 0; r < file.rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * width;
        kernels.split(file.row(r), width, file.channels, red_.data() + at, green_.data() + at, blue_.data() + at);
        kernels.forward(
            width, hue_ == Hue::Computed,
            rows::ForwardArrays{red_.data() + at, green_.data() + at, blue_.data() + at, planes.row(0, r),
                                planes.row(1, r), planes.row(2, r), hue_rest_.data() + at, saturation_.data() + at});
    }
}

void HsiMapping::from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                             const pipeline::RawRows &input, const pipeline::RawRows &out) {
    const std::size_t width = static_cast<std::size_t>(result.width);
    for (std::vector<uint16_t> *v : {&r16_, &g16_, &b16_}) v->resize(width);
    const rows::Kernels &kernels = rows::chosen_kernels();
    const bool split = input.data == split_from_ && red_.size() == static_cast<std::size_t>(input.rows) * width;
    if (!split) {
        for (KeptBuffer<int32_t> *v : {&red_, &green_, &blue_}) v->resize(static_cast<std::size_t>(input.rows) * width);
        split_from_ = input.data;
    }
    for (int r = 0; r < result.rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * width;
        if (!split)
            kernels.split(input.row(r), width, input.channels, red_.data() + at, green_.data() + at, blue_.data() + at);
        kernels.backward(width, hue_ == Hue::Computed, info_.max_value(),
                         rows::BackwardArrays{red_.data() + at, green_.data() + at, blue_.data() + at, result.row(0, r),
                                              result.row(1, r), result.row(2, r), input_planes.row(0, r),
                                              input_planes.row(1, r), input_planes.row(2, r), hue_rest_.data() + at,
                                              saturation_.data() + at, r16_.data(), g16_.data(), b16_.data()});
        kernels.merge(r16_.data(), g16_.data(), b16_.data(), input.row(r), width, input.channels, out.row(r));
    }
}

}  // namespace qova::pipeline
