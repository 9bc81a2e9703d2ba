// The layouts pixels take between a file and a writer: what a writer is
// given for an input, and the conversion of rows to it (alpha composited over
// a background, grey spread to RGB, 16 bits narrowed to 8).
#ifndef QOVA_PIPELINE_LAYOUT_H
#define QOVA_PIPELINE_LAYOUT_H

#include "codecs/formats.h"

#include <cstddef>
#include <cstdint>

namespace qova::pipeline {

using codecs::RasterInfo;

// A band of a file's rows: interleaved samples, `channels` per pixel.
struct RawRows {
    uint16_t *data = nullptr;
    int rows = 0;
    int32_t width = 0;
    int channels = 0;

    uint16_t *row(int r) const {
        return data +
               static_cast<std::size_t>(r) * static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    }
};

// What transparent pixels are composited over when the output holds no alpha,
// at 16-bit scale; white unless chosen.
struct Background {
    uint16_t r = 65535, g = 65535, b = 65535;
    bool is_grey() const { return r == g && g == b; }
};

// The layout a writer that takes `accepts` is given for `input`: the input's,
// at most `accepts.max_depth` bits; composited (alpha dropped) if it takes no
// alpha; RGB if it takes no grey, or if grey is composited over a coloured
// background. Metadata travels unchanged.
RasterInfo output_layout(const RasterInfo &input, const codecs::WriterAccepts &accepts, const Background &background);

// Converts rows from one layout to another of the same width: composited over
// `background` if the target has no alpha, grey spread to RGB if the target
// is RGB, 16 to 8 bits with rounding.
void convert_layout(const RawRows &from, const RasterInfo &from_info, const RawRows &to, const RasterInfo &to_info,
                    const Background &background = {});

}  // namespace qova::pipeline

#endif
