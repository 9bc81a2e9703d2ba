#include "layout.h"

#include <algorithm>

namespace qova::pipeline {

RasterInfo output_layout(const RasterInfo &input, const codecs::WriterAccepts &accepts, const Background &background) {
    RasterInfo out = input;
    out.bit_depth = std::min(input.bit_depth, accepts.max_depth);
    const bool composite = input.has_alpha() && !accepts.alpha;
    const bool grey = input.is_grey() && accepts.grey && !(composite && !background.is_grey());
    out.channels = (grey ? 1 : 3) + (input.has_alpha() && !composite ? 1 : 0);
    return out;
}

void convert_layout(const RawRows &from, const RasterInfo &from_info, const RawRows &to, const RasterInfo &to_info,
                    const Background &background) {
    const uint64_t max = from_info.max_value();
    const bool narrow = from_info.bit_depth == 16 && to_info.bit_depth == 8;
    const int colours_in = from_info.is_grey() ? 1 : 3, colours_out = to_info.is_grey() ? 1 : 3;
    const bool flatten = from_info.has_alpha() && !to_info.has_alpha();
    const bool keep_alpha = from_info.has_alpha() && to_info.has_alpha();
    // The background at the input's depth.
    const auto scaled = [&](uint16_t v) {
        return from_info.bit_depth == 16 ? uint64_t{v} : (uint64_t{v} * 255 + 32767) / 65535;
    };
    const uint64_t back[3] = {scaled(background.r), scaled(background.g), scaled(background.b)};
    const auto store = [&](uint64_t v) { return static_cast<uint16_t>(narrow ? (v * 255 + 32767) / 65535 : v); };
    for (int r = 0; r < from.rows; ++r) {
        const uint16_t *src = from.row(r);
        uint16_t *dst = to.row(r);
        for (int32_t c = 0; c < from.width; ++c) {
            const uint16_t *in = src + static_cast<std::size_t>(c) * static_cast<std::size_t>(from.channels);
            uint16_t *out = dst + static_cast<std::size_t>(c) * static_cast<std::size_t>(to.channels);
            const uint64_t alpha = from_info.has_alpha() ? in[colours_in] : max;
            for (int k = 0; k < colours_out; ++k) {
                uint64_t v = in[colours_in == 1 ? 0 : k];
                if (flatten) v = (v * alpha + back[k] * (max - alpha) + max / 2) / max;
                out[k] = store(v);
            }
            if (keep_alpha) out[colours_out] = store(in[colours_in]);
        }
    }
}

}  // namespace qova::pipeline
