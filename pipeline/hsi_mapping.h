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
    void start(const codecs::RasterInfo &input) override;
    void to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) override;
    void from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                     const pipeline::RawRows &input, const pipeline::RawRows &out) override;

    // A row's values between the loops, one kind of work a loop so that
    // the compiler vectorises them.
    struct RowScratch {
        std::vector<double> across, up, saturation, hue;           // on the way there
        std::vector<double> red, green, blue, lead, trail, third;  // on the way back
        std::vector<double> angle, cos_h, cos_60_minus_h;
        std::vector<int32_t> kind, sector;
        std::vector<uint16_t> r16, g16, b16;  // the results at the file's depth
        void resize(std::size_t width);
    };

private:
    codecs::RasterInfo info_;
    std::vector<float> hue_rest_;    // by pixel of the part
    std::vector<float> saturation_;  // by pixel of the part
    RowScratch row_;
};

}  // namespace qova::pipeline

#endif
