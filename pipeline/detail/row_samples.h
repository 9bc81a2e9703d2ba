// A row's interleaved samples split into three planes, and results merged
// back, for each layout of 1 to 4 channels. Written once, compiled into both
// sets of row kernels, each for its own instructions.
#ifndef QOVA_PIPELINE_DETAIL_ROW_SAMPLES_H
#define QOVA_PIPELINE_DETAIL_ROW_SAMPLES_H

#include "pixel_io.h"

#include <cstddef>
#include <cstdint>

namespace qova::pipeline::rows {

// Samples per pixel, where green and blue are (0 for grey, whose one sample
// is all three), and whether the last sample is alpha.
template <int kChannels>
struct Layout {
    static constexpr std::size_t step = kChannels;
    static constexpr std::size_t green = kChannels >= 3 ? 1 : 0, blue = 2 * green;
    static constexpr bool alpha = kChannels == 2 || kChannels == 4;
};

template <int kChannels>
[[gnu::always_inline]] inline void split_layout(const uint16_t *__restrict src, std::size_t width,
                                                int32_t *__restrict R, int32_t *__restrict G, int32_t *__restrict B) {
    using L = Layout<kChannels>;
    for (std::size_t c = 0; c < width; ++c) {
        R[c] = src[c * L::step];
        G[c] = src[c * L::step + L::green];
        B[c] = src[c * L::step + L::blue];
    }
}

// Grey files take the mean of the three; alpha comes from the input.
template <int kChannels>
[[gnu::always_inline]] inline void merge_layout(const uint16_t *__restrict r16, const uint16_t *__restrict g16,
                                                const uint16_t *__restrict b16, const uint16_t *__restrict src,
                                                std::size_t width, uint16_t *__restrict dst) {
    using L = Layout<kChannels>;
    for (std::size_t c = 0; c < width; ++c) {
        uint16_t *px = dst + c * L::step;
        if constexpr (L::green != 0) {
            px[0] = r16[c];
            px[1] = g16[c];
            px[2] = b16[c];
        } else {
            px[0] = grey_of(r16[c], g16[c], b16[c]);
        }
        if constexpr (L::alpha) px[L::step - 1] = src[c * L::step + L::step - 1];
    }
}

[[gnu::always_inline]] inline void split_samples(const uint16_t *src, std::size_t width, int channels, int32_t *R,
                                                 int32_t *G, int32_t *B) {
    switch (channels) {
    case 1: split_layout<1>(src, width, R, G, B); break;
    case 2: split_layout<2>(src, width, R, G, B); break;
    case 3: split_layout<3>(src, width, R, G, B); break;
    default: split_layout<4>(src, width, R, G, B); break;
    }
}

[[gnu::always_inline]] inline void merge_samples(const uint16_t *r16, const uint16_t *g16, const uint16_t *b16,
                                                 const uint16_t *src, std::size_t width, int channels, uint16_t *dst) {
    switch (channels) {
    case 1: merge_layout<1>(r16, g16, b16, src, width, dst); break;
    case 2: merge_layout<2>(r16, g16, b16, src, width, dst); break;
    case 3: merge_layout<3>(r16, g16, b16, src, width, dst); break;
    default: merge_layout<4>(r16, g16, b16, src, width, dst); break;
    }
}

}  // namespace qova::pipeline::rows

#endif
