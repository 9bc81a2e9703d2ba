// One file pixel read as RGB and written back, shared by the mappings.
#ifndef QOVA_PIPELINE_DETAIL_PIXEL_IO_H
#define QOVA_PIPELINE_DETAIL_PIXEL_IO_H

#include "codecs/raster.h"

#include <cstdint>

namespace qova::pipeline {

struct Rgb {
    int32_t r, g, b;
};

inline Rgb pixel_at(const uint16_t *px, bool grey) {
    return grey ? Rgb{px[0], px[0], px[0]} : Rgb{px[0], px[1], px[2]};
}

inline uint16_t round_to(double v, uint32_t max) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= max) return static_cast<uint16_t>(max);
    return static_cast<uint16_t>(v + 0.5);
}

// Writes an RGB result into a file pixel: grey files take the mean; alpha
// comes from the input pixel.
inline void store_pixel(uint16_t *out, const uint16_t *in, const codecs::RasterInfo &info, uint16_t r, uint16_t g,
                        uint16_t b) {
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

}  // namespace qova::pipeline

#endif
