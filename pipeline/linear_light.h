// How the pipeline presents a file's pixels to each kind of operator.
#ifndef QOVA_PIPELINE_LINEAR_LIGHT_H
#define QOVA_PIPELINE_LINEAR_LIGHT_H

#include "colour/icc.h"
#include "file_run.h"
#include "hsi_mapping.h"

#include <memory>
#include <utility>
#include <vector>

namespace qova::pipeline {

// RGB for the band filter at 16-bit scale (8-bit samples x 257), so that its
// whole-number X+Y+Z keeps dark pixels' chromaticity; by default decoded from
// the sRGB curve to linear light and encoded back, rounding to the file's depth.
// A file in another colour encoding goes through `colours` to sRGB primaries
// instead, unclipped: the filter's samples are 32-bit, so colours outside
// sRGB reach it as values below 0 or above full scale.
class ColourMapping final : public pipeline::PlaneMapping {
public:
    ColourMapping(bool linear, std::shared_ptr<const colour::ColourConversion> colours)
        : linear_(linear), colours_(std::move(colours)) {}
    void start(const codecs::RasterInfo &input) override;
    void to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) override;
    void from_planes(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input_planes,
                     const pipeline::RawRows &input, const pipeline::RawRows &out) override;

private:
    void converted_to_planes(const pipeline::RawRows &file, const pipeline::PlaneRows &planes);
    void converted_from_planes(const pipeline::PlaneRows &result, const pipeline::RawRows &input,
                               const pipeline::RawRows &out);

    bool linear_;
    std::shared_ptr<const colour::ColourConversion> colours_;
    codecs::RasterInfo info_;
    std::vector<float> rgb_;                 // one row through colours_
    std::vector<uint16_t> samples_;          // and back
    const uint16_t *to_operator_ = nullptr;  // by 16-bit file value
    const uint16_t *to_file_ = nullptr;      // by 16-bit operator value, at the file's depth
};

}  // namespace qova::pipeline

#endif
