// How the tool presents a file's pixels to each kind of operator.
#ifndef QOVA_TOOLS_MAPPINGS_H
#define QOVA_TOOLS_MAPPINGS_H

#include "colour_profile.h"
#include "file_host.h"
#include "hsi_mapping.h"

#include <memory>
#include <utility>
#include <vector>

namespace qova_tool {

// RGB for the band filter at 16-bit scale (8-bit samples x 257), so that its
// whole-number X+Y+Z keeps dark pixels' chromaticity; by default decoded from
// the sRGB curve to linear light and encoded back, rounding to the file's depth.
// A file in another colour encoding goes through `colours` to sRGB primaries
// instead, unclipped: the filter's samples are 32-bit, so colours outside
// sRGB reach it as values below 0 or above full scale.
class ColourMapping final : public zenk::PlaneMapping {
public:
    ColourMapping(bool linear, std::shared_ptr<const zenk::ColourConversion> colours)
        : linear_(linear), colours_(std::move(colours)) {}
    void start(const zenk::RasterInfo &input) override;
    void to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes) override;
    void from_planes(const zenk::PlaneRows &result, const zenk::PlaneRows &input_planes, const zenk::RawRows &input,
                     const zenk::RawRows &out) override;

private:
    void converted_to_planes(const zenk::RawRows &file, const zenk::PlaneRows &planes);
    void converted_from_planes(const zenk::PlaneRows &result, const zenk::RawRows &input, const zenk::RawRows &out);

    bool linear_;
    std::shared_ptr<const zenk::ColourConversion> colours_;
    zenk::RasterInfo info_;
    std::vector<float> rgb_;          // one row through colours_
    std::vector<uint16_t> samples_;  // and back
    std::vector<uint16_t> to_operator_;  // by 16-bit file value
    std::vector<uint16_t> to_file_;      // by 16-bit operator value, at the file's depth
};

}  // namespace qova_tool

#endif
