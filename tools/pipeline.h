// One operator over one image: decoded part by part, mapped to the operator's
// planes, transformed, mapped back and encoded.
#ifndef QOVA_TOOLS_PIPELINE_H
#define QOVA_TOOLS_PIPELINE_H

#include "colour_profile.h"
#include "file_host.h"
#include "qova.h"

#include <functional>
#include <memory>
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
    // bandpass: the file's colour encoding to sRGB primaries and back; null
    // if the file is sRGB (or is to be taken as such).
    std::shared_ptr<const zenk::ColourConversion> colours;
    // bandpass: the chromaticity table, loaded once; null: the filter reads
    // cie_table.txt from the working directory.
    std::shared_ptr<const std::vector<ChromaEntry>> table;
};

// Loads a chromaticity table file; null with *error set unless it holds the
// 339 records the filter needs.
std::shared_ptr<const std::vector<ChromaEntry>> load_table(const std::string &path, std::string *error);

// Where one image's time went, in seconds.
struct JobTiming {
    double read = 0;      // decoding and mapping to planes
    double operate = 0;   // the operator itself
    double write = 0;     // mapping back and encoding
    double total = 0;     // the whole job, opening and closing files included
};

// Called with the rows decoded so far and the rows there are to decode.
using RowProgress = std::function<void(int64_t done, int64_t total)>;

// How transform() runs: over parts of this many rows (where the writer takes
// any), on this many threads.
struct RunShape {
    int part_rows = 64;
    unsigned threads = 1;
};

// Runs `operation` over every row of `reader` into `writer`, whose layout is
// `output`. Returns the problem if anything failed: the reader's, the
// writer's (naming `output_name`) or the operator's. Adds to `timing`.
std::optional<std::string> transform(zenk::RasterReader &reader, zenk::RasterWriter &writer,
                                     const zenk::RasterInfo &output, const std::string &output_name,
                                     const Operation &operation, const zenk::Background &background, RunShape shape,
                                     const RowProgress &rows_done, JobTiming *timing);

// Routes the operators' failure texts into the running job's message; call
// once before running jobs.
void capture_operator_errors();

}  // namespace qova_tool

#endif
