// RGB to a hue-saturation image and back, through the band filter's HSI
// conversion: hue in tenths of a degree (0..3600) in plane 1, saturation 0..999
// in plane 2, R+G+B in plane 0. What the quantisation drops is kept per pixel
// and put back, so a pixel whose planes come back unchanged gets its exact
// input samples, and changed pixels keep their sub-step detail.
//
// The mapping is the pipeline's, not an operator's, so it may approximate: hues
// come from a series and are computed exactly only where the series could
// round to another tenth, and the way back uses series cosines, or no
// trigonometry at all where only the saturation changed. The planes equal the
// exact computation's; a changed pixel lands within one level of it.
//
// For an operator that neither reads the hue nor changes it (the saturation
// operator), the mapping can leave the hue out: plane 1 then holds 0, and
// the way back is the same as with the hue.
#ifndef QOVA_PIPELINE_HSI_MAPPING_H
#define QOVA_PIPELINE_HSI_MAPPING_H

#include "file_run.h"

#include <array>
#include <vector>

namespace qova::pipeline {

// One pixel on the hue-saturation planes, and what quantising dropped.
struct HsiPixel {
    int32_t hue, sat, sum;
    float hue_rest;    // the hue in degrees minus hue / 10
    float saturation;  // 0..1
};

// The exact computation in double precision, to be matched.
HsiPixel exact_hsi(int32_t r, int32_t g, int32_t b);
// A changed pixel's samples (0..max) the exact way: `hue`, `sat` and `sum` as
// the operator left them, `before` as exact_hsi gave it.
std::array<uint16_t, 3> exact_rgb(int32_t hue, int32_t sat, int32_t sum, const HsiPixel &before, uint32_t max);

class HsiMapping final : public pipeline::PlaneMapping {
public:
    enum class Hue { Computed, LeftOut };
    explicit HsiMapping(Hue hue = Hue::Computed) : hue_(hue) {}

    void start(const codecs::RasterInfo &input) override;
    void to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) override;
    void from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                     const pipeline::RawRows &input, const pipeline::RawRows &out) override;

private:
    Hue hue_;
    codecs::RasterInfo info_;
    // By pixel of the part: its samples split into planes (the way back
    // finds them split if it is given the rows that were split), and what
    // quantising dropped.
    KeptBuffer<int32_t> red_, green_, blue_;
    const uint16_t *split_from_ = nullptr;
    KeptBuffer<float> hue_rest_, saturation_;
    std::vector<uint16_t> r16_, g16_, b16_;  // a row's results before they go into its pixels
};

}  // namespace qova::pipeline

#endif
