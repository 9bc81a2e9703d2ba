#include "linear_light.h"

#include "detail/pixel_io.h"

#include <algorithm>
#include <cmath>

namespace qova::pipeline {

namespace {

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double linear_to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

// An unclipped result in the operator's scale: bounded well inside int32 (a
// colour profile maps 0..1 to a few units at most) and 0 for NaN.
int32_t operator_sample(double v) {
    if (!(v == v)) return 0;
    return static_cast<int32_t>(std::floor(std::clamp(v, -1073741824.0, 1073741824.0) + 0.5));
}

// The tables between file samples and the operator's, built once for each
// kind (linear or stored values) and file depth, shared by every run.
struct LinearTables {
    std::vector<uint16_t> to_operator;  // by 16-bit file value
    std::vector<uint16_t> to_file;      // by 16-bit operator value, at the file's depth
};

const LinearTables &linear_tables(bool linear, int depth) {
    const auto make = [](bool lin, uint32_t max) {
        LinearTables t;
        t.to_operator.resize(65536);
        t.to_file.resize(65536);
        for (uint32_t v = 0; v < 65536; ++v) {
            const double unit = v / 65535.0;
            t.to_operator[v] = lin ? round_to(srgb_to_linear(unit) * 65535, 65535) : static_cast<uint16_t>(v);
            t.to_file[v] = round_to((lin ? linear_to_srgb(unit) : unit) * max, max);
        }
        return t;
    };
    // Each made on first use only, once whatever the number of threads.
    if (linear && depth == 16) {
        static const LinearTables tables = make(true, 65535);
        return tables;
    }
    if (linear) {
        static const LinearTables tables = make(true, 255);
        return tables;
    }
    if (depth == 16) {
        static const LinearTables tables = make(false, 65535);
        return tables;
    }
    static const LinearTables tables = make(false, 255);
    return tables;
}

}  // namespace

void ColourMapping::start(const codecs::RasterInfo &input) {
    info_ = input;
    const LinearTables &tables = linear_tables(linear_, input.bit_depth);
    to_operator_ = tables.to_operator.data();
    to_file_ = tables.to_file.data();
}

void ColourMapping::to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
    if (colours_) return converted_to_planes(file, planes);
    const uint32_t scale = info_.bit_depth == 16 ? 1 : 257;
    for (int r = 0; r < file.rows; ++r) {
        const uint16_t *src = file.row(r);
        int32_t *p[3] = {planes.row(0, r), planes.row(1, r), planes.row(2, r)};
        for (int32_t c = 0; c < file.width; ++c) {
            const uint16_t *px = src + static_cast<std::size_t>(c) * static_cast<std::size_t>(file.channels);
            for (int k = 0; k < 3; ++k)
                p[k][c] = to_operator_[static_cast<std::size_t>(px[info_.is_grey() ? 0 : k]) * scale];
        }
    }
}

void ColourMapping::from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &,
                                const pipeline::RawRows &input, const pipeline::RawRows &out) {
    if (colours_) return converted_from_planes(result, input, out);
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

void ColourMapping::converted_to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
    const std::size_t width = static_cast<std::size_t>(file.width);
    rgb_.resize(width * 3);
    for (int r = 0; r < file.rows; ++r) {
        colours_->to_srgb(file.row(r), static_cast<std::size_t>(file.channels), rgb_.data(), width);
        for (int k = 0; k < 3; ++k) {
            int32_t *p = planes.row(k, r);
            for (std::size_t c = 0; c < width; ++c)
                p[c] = operator_sample(rgb_[c * 3 + static_cast<std::size_t>(k)] * 65535.0);
        }
    }
}

void ColourMapping::converted_from_planes(const pipeline::PlaneRows &result, const pipeline::RawRows &input,
                                          const pipeline::RawRows &out) {
    const std::size_t width = static_cast<std::size_t>(result.width), colours = info_.is_grey() ? 1 : 3;
    rgb_.resize(width * 3);
    samples_.resize(width * colours);
    for (int r = 0; r < result.rows; ++r) {
        for (int k = 0; k < 3; ++k) {
            const int32_t *p = result.row(k, r);
            for (std::size_t c = 0; c < width; ++c)
                rgb_[c * 3 + static_cast<std::size_t>(k)] = static_cast<float>(p[c] / 65535.0);
        }
        colours_->from_srgb(rgb_.data(), samples_.data(), width);
        const uint16_t *src = input.row(r);
        uint16_t *dst = out.row(r);
        for (std::size_t c = 0; c < width; ++c) {
            const std::size_t at = c * static_cast<std::size_t>(info_.channels);
            const uint16_t *v = &samples_[c * colours];
            const bool grey = colours == 1;
            store_pixel(dst + at, src + at, info_, v[0], v[grey ? 0 : 1], v[grey ? 0 : 2]);
        }
    }
}

}  // namespace qova::pipeline
