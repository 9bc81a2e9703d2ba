// The HSI mapping's row kernels: a row's split samples to the planes and back.
// Two sets give the same bits: a portable one, written as loops the compiler
// vectorises, and one in AVX2 intrinsics, picked at run time where the
// processor has AVX2 and FMA. Both make the same IEEE operations in the same order;
// only how many pixels go through at once differs.
#ifndef QOVA_PIPELINE_DETAIL_HSI_ROWS_H
#define QOVA_PIPELINE_DETAIL_HSI_ROWS_H

#include "fast_trig.h"

#include <cstddef>
#include <cstdint>

namespace qova::pipeline::rows {

// One row's arrays on the way there, `width` entries each.
struct ForwardArrays {
    const int32_t *red, *green, *blue;  // the samples
    int32_t *sum, *hue, *sat;           // the planes: R + G + B, tenths of a degree, 0..999
    float *rest, *saturation;           // the hue in degrees minus hue / 10; the saturation 0..1

    ForwardArrays at(std::size_t c) const {
        return {red + c, green + c, blue + c, sum + c, hue + c, sat + c, rest + c, saturation + c};
    }
};

// One row's arrays on the way back.
struct BackwardArrays {
    const int32_t *red, *green, *blue;  // the samples the planes came from
    const int32_t *sum, *hue, *sat;     // the planes the operator left
    const int32_t *sum0, *hue0, *sat0;  // the planes it was given
    const float *rest, *saturation;     // as the way there kept them
    uint16_t *r16, *g16, *b16;          // the results at the file's depth

    BackwardArrays at(std::size_t c) const {
        return {red + c,  green + c, blue + c, sum + c,        hue + c, sat + c, sum0 + c,
                hue0 + c, sat0 + c,  rest + c, saturation + c, r16 + c, g16 + c, b16 + c};
    }
};

// `with_hue` false: plane 1 is neither computed (it is 0) nor trusted on the
// way back, which finds a pixel's hue where it needs one.
using ForwardRow = void (*)(std::size_t width, bool with_hue, const ForwardArrays &row);
// `max`: the file's largest sample.
using BackwardRow = void (*)(std::size_t width, bool with_hue, uint32_t max, const BackwardArrays &row);

// A row of `channels` interleaved samples as three planes, and results back
// into a row of that layout (alpha from `src`).
using SplitRow = void (*)(const uint16_t *src, std::size_t width, int channels, int32_t *red, int32_t *green,
                          int32_t *blue);
using MergeRow = void (*)(const uint16_t *r16, const uint16_t *g16, const uint16_t *b16, const uint16_t *src,
                          std::size_t width, int channels, uint16_t *dst);

struct Kernels {
    SplitRow split;
    ForwardRow forward;
    BackwardRow backward;
    MergeRow merge;
};

Kernels portable_kernels();
// Null kernels where the processor lacks AVX2 or FMA.
Kernels avx2_kernels();
// The fastest the processor runs.
Kernels chosen_kernels();

// What the kernels share.

inline constexpr double kDegreesPerRadian = 180 / fast::kPi;
inline constexpr double kSqrt3 = 1.7320508075688772;
// How near a tie between two tenths the series' hue may lie before the
// exact computation decides: far beyond the series' error (6e-8 tenths) and
// the exact computation's own (below 1e-8 tenths).
inline constexpr double kTieMargin = 1e-6;

// What became of a pixel on the way back.
enum : int32_t { kUnchanged, kSaturationOnly, kGeneral };

// The portable kernels' pixels at a time: their scratch lives on the stack.
inline constexpr std::size_t kChunk = 64;

// Clamped to 0..1, NaN to 0.
inline double unit(double v) { return v > 0 ? (v < 1 ? v : 1.0) : 0.0; }

// The hue (in tenths) a changed pixel's result stands for where the planes
// carried none: its own exact hue, turned as the operator turned plane 1;
// *rest gets what quantising dropped.
int32_t turned_hue(int32_t hue, int32_t hue0, int32_t r, int32_t g, int32_t b, float *rest);

}  // namespace qova::pipeline::rows

#endif
