#include "mappings.h"

#include "colour.h"

#include <algorithm>
#include <cmath>

namespace qova_tool {

namespace {

struct Rgb { int32_t r, g, b; };

Rgb pixel_at(const uint16_t *px, bool grey) {
    return grey ? Rgb{px[0], px[0], px[0]} : Rgb{px[0], px[1], px[2]};
}

uint16_t round_to(double v, uint32_t max) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= max) return static_cast<uint16_t>(max);
    return static_cast<uint16_t>(v + 0.5);
}

// Writes an RGB result into a file pixel: grey files take the mean; alpha
// comes from the input pixel.
void store_pixel(uint16_t *out, const uint16_t *in, const zenk::RasterInfo &info, uint16_t r, uint16_t g, uint16_t b) {
    int k = 0;
    if (info.is_grey()) {
        out[k++] = static_cast<uint16_t>((static_cast<uint32_t>(r) + g + b + 1) / 3);
    } else {
        out[k++] = r;
        out[k++] = g;
        out[k++] = b;
    }
    if (info.has_alpha()) out[k] = in[k];
}

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double linear_to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

}  // namespace

void HsiMapping::start(const zenk::RasterInfo &input) { info_ = input; }

void HsiMapping::to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes) {
    const std::size_t pixels = static_cast<std::size_t>(file.rows) * static_cast<std::size_t>(file.width);
    hue_rest_.resize(pixels);
    saturation_.resize(pixels);
    std::size_t i = 0;
    for (int r = 0; r < file.rows; ++r) {
        const uint16_t *src = file.row(r);
        int32_t *sum = planes.row(0, r), *hue = planes.row(1, r), *sat = planes.row(2, r);
        for (int32_t c = 0; c < file.width; ++c, ++i) {
            const Rgb p = pixel_at(src + static_cast<std::size_t>(c) * static_cast<std::size_t>(file.channels),
                                   info_.is_grey());
            const qova::Hsi hsi = qova::rgb_to_hsi(p.r, p.g, p.b);
            const double H = std::isfinite(hsi.H) ? hsi.H : 0.0;
            const double S = std::clamp(std::isfinite(hsi.S) ? hsi.S : 0.0, 0.0, 1.0);
            hue[c] = static_cast<int32_t>(std::lround(H * 10));
            sat[c] = static_cast<int32_t>(std::lround(S * 999));
            sum[c] = p.r + p.g + p.b;
            hue_rest_[i] = static_cast<float>(H - hue[c] / 10.0);
            saturation_[i] = static_cast<float>(S);
        }
    }
}

void HsiMapping::from_planes(const zenk::PlaneRows &result, const zenk::PlaneRows &input_planes,
                             const zenk::RawRows &input, const zenk::RawRows &out) {
    const uint32_t max = info_.max_value();
    std::size_t i = 0;
    for (int r = 0; r < result.rows; ++r) {
        const int32_t *sum = result.row(0, r), *hue = result.row(1, r), *sat = result.row(2, r);
        const int32_t *sum0 = input_planes.row(0, r), *hue0 = input_planes.row(1, r), *sat0 = input_planes.row(2, r);
        const uint16_t *src = input.row(r);
        uint16_t *dst = out.row(r);
        for (int32_t c = 0; c < result.width; ++c, ++i) {
            const std::size_t at = static_cast<std::size_t>(c) * static_cast<std::size_t>(info_.channels);
            if (hue[c] == hue0[c] && sat[c] == sat0[c] && sum[c] == sum0[c]) {
                std::copy_n(src + at, info_.channels, dst + at);
                continue;
            }
            double H = hue[c] / 10.0 + hue_rest_[i];
            H = std::fmod(H, 360.0);
            if (H < 0) H += 360.0;
            // Saturation scaled by what the operator did to its quantised value.
            const double S = std::clamp(sat0[c] > 0 ? saturation_[i] * (static_cast<double>(sat[c]) / sat0[c])
                                                    : sat[c] / 999.0,
                                        0.0, 1.0);
            const double intensity3 = static_cast<double>(sum[c]);  // 3 I
            const qova::Fractions f = qova::hsi_to_fractions(H, S);
            store_pixel(dst + at, src + at, info_, round_to(f.r * intensity3, max), round_to(f.g * intensity3, max),
                        round_to(f.b * intensity3, max));
        }
    }
}

void ColourMapping::start(const zenk::RasterInfo &input) {
    info_ = input;
    const uint32_t max = input.max_value();
    to_operator_.resize(65536);
    to_file_.resize(65536);
    for (uint32_t v = 0; v < 65536; ++v) {
        const double unit = v / 65535.0;
        to_operator_[v] = linear_ ? round_to(srgb_to_linear(unit) * 65535, 65535) : static_cast<uint16_t>(v);
        to_file_[v] = round_to((linear_ ? linear_to_srgb(unit) : unit) * max, max);
    }
}

void ColourMapping::to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes) {
    const uint32_t scale = info_.bit_depth == 16 ? 1 : 257;
    for (int r = 0; r < file.rows; ++r) {
        const uint16_t *src = file.row(r);
        int32_t *p[3] = {planes.row(0, r), planes.row(1, r), planes.row(2, r)};
        for (int32_t c = 0; c < file.width; ++c) {
            const uint16_t *px = src + static_cast<std::size_t>(c) * static_cast<std::size_t>(file.channels);
            for (int k = 0; k < 3; ++k) p[k][c] = to_operator_[px[info_.is_grey() ? 0 : k] * scale];
        }
    }
}

void ColourMapping::from_planes(const zenk::PlaneRows &result, const zenk::PlaneRows &, const zenk::RawRows &input,
                                const zenk::RawRows &out) {
    const auto file_value = [&](int32_t v) { return to_file_[static_cast<std::size_t>(std::clamp(v, 0, 65535))]; };
    for (int r = 0; r < result.rows; ++r) {
        const int32_t *p[3] = {result.row(0, r), result.row(1, r), result.row(2, r)};
        const uint16_t *src = input.row(r);
        uint16_t *dst = out.row(r);
        for (int32_t c = 0; c < result.width; ++c) {
            const std::size_t at = static_cast<std::size_t>(c) * static_cast<std::size_t>(info_.channels);
            if (info_.is_grey()) {
                // Mean in the operator's scale, then one encoding.
                const int64_t mean = (static_cast<int64_t>(p[0][c]) + p[1][c] + p[2][c]) / 3;
                const uint16_t v = file_value(static_cast<int32_t>(mean));
                store_pixel(dst + at, src + at, info_, v, v, v);
            } else {
                store_pixel(dst + at, src + at, info_, file_value(p[0][c]), file_value(p[1][c]), file_value(p[2][c]));
            }
        }
    }
}

}  // namespace qova_tool
