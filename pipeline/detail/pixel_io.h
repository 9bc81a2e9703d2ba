// One file pixel read as RGB and written back, shared by the mappings.
#ifndef QOVA_PIPELINE_DETAIL_PIXEL_IO_H
#define QOVA_PIPELINE_DETAIL_PIXEL_IO_H

#include "codecs/raster.h"

#include <cstdint>

namespace qova::pipeline {

inline uint16_t round_to(double v, uint32_t max) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= max) return static_cast<uint16_t>(max);
    return static_cast<uint16_t>(v + 0.5);
}

// The grey sample of an RGB result: the mean of the three, rounded.
inline uint16_t grey_of(uint16_t r, uint16_t g, uint16_t b) {
    return static_cast<uint16_t>((static_cast<uint32_t>(r) + g + b + 1) / 3);
}

// Writes an RGB result into a file pixel: grey files take the mean; alpha
// comes from the input pixel.
inline void store_pixel(uint16_t *out, const uint16_t *in, const codecs::RasterInfo &info, uint16_t r, uint16_t g,
                        uint16_t b) {
    int k = 0;
    if (info.is_grey()) {
        out[k++] = grey_of(r, g, b);
    } else {
        out[k++] = r;
        out[k++] = g;
        out[k++] = b;
    }
    if (info.has_alpha()) out[k] = in[k];
}

}  // namespace qova::pipeline

#endif
