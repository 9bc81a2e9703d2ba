// One image through one operator: decode, transform and encode part by part.
#ifndef QOVA_TOOLS_JOB_H
#define QOVA_TOOLS_JOB_H

#include "raster.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qova_tool {

enum class OperatorKind { Saturation, Hue, Bandpass };

struct Operation {
    OperatorKind kind = OperatorKind::Saturation;
    int strength = 0;           // saturation, hue
    std::vector<int> poles;     // hue, tenths of a degree; empty: the fixed poles
    int centre = 550;           // bandpass, nm
    int bandwidth = 100;
    int order = 2;
    bool linear = true;         // bandpass: filter in linear light
};

// Where one image's time went, in seconds.
struct JobTiming {
    double read = 0;      // decoding and mapping to planes
    double operate = 0;   // the operator itself
    double write = 0;     // mapping back and encoding
    double total = 0;     // the whole job, opening and closing files included
};

struct JobOptions {
    int jpeg_quality = 90;
    zenk::ReadLimits limits;
    int part_rows = 64;
    zenk::PngOptions png;
};

// The output format its name asks for: .png, .jpg or .jpeg (any case).
std::optional<zenk::FileFormat> format_for(const std::filesystem::path &output);

// Runs the operation; on failure returns the problem (without the file name)
// and leaves no output behind. `rows_done(done, total)` follows the rows decoded.
std::optional<std::string> run_job(const std::filesystem::path &input, const std::filesystem::path &output,
                                   const Operation &operation, const JobOptions &options,
                                   const std::function<void(int32_t, int32_t)> &rows_done = {},
                                   JobTiming *timing = nullptr);

// Routes the operators' failure texts into the running job's message; call
// once before running jobs.
void capture_operator_errors();

}  // namespace qova_tool

#endif
