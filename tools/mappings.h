// How the tool presents a file's pixels to each kind of operator.
#ifndef QOVA_TOOLS_MAPPINGS_H
#define QOVA_TOOLS_MAPPINGS_H

#include "file_host.h"
#include "hsi_mapping.h"

#include <vector>

namespace qova_tool {

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
