// How the tool presents a file's pixels to each kind of operator.
#ifndef QOVA_TOOLS_MAPPINGS_H
#define QOVA_TOOLS_MAPPINGS_H

#include "file_host.h"

#include <vector>

namespace qova_tool {

// RGB to a hue-saturation image and back, through the band filter's HSI
// conversion: hue in tenths of a degree (0..3600) in plane 1, saturation 0..999
// in plane 2, R+G+B in plane 0. What the quantisation drops is kept per pixel
// and put back, so a pixel whose planes come back unchanged gets its exact
// input samples, and changed pixels keep their sub-step detail.
class HsiMapping final : public zenk::PlaneMapping {
public:
    void start(const zenk::RasterInfo &input) override;
    void to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes) override;
    void from_planes(const zenk::PlaneRows &result, const zenk::PlaneRows &input_planes, const zenk::RawRows &input,
                     const zenk::RawRows &out) override;

private:
    zenk::RasterInfo info_;
    std::vector<float> hue_rest_;    // exact hue minus its tenths, in degrees
    std::vector<float> saturation_;  // exact saturation, 0..1
};

// RGB for the band filter at 16-bit scale (8-bit samples x 257), so that its
// whole-number X+Y+Z keeps dark pixels' chromaticity; by default decoded from
// the sRGB curve to linear light and encoded back, rounding to the file's depth.
class ColourMapping final : public zenk::PlaneMapping {
public:
    explicit ColourMapping(bool linear) : linear_(linear) {}
    void start(const zenk::RasterInfo &input) override;
    void to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes) override;
    void from_planes(const zenk::PlaneRows &result, const zenk::PlaneRows &input_planes, const zenk::RawRows &input,
                     const zenk::RawRows &out) override;

private:
    bool linear_;
    zenk::RasterInfo info_;
    std::vector<uint16_t> to_operator_;  // by 16-bit file value
    std::vector<uint16_t> to_file_;      // by 16-bit operator value, at the file's depth
};

}  // namespace qova_tool

#endif
