// One image through one operator, from an input file (or standard input) to
// an output file (or standard output).
#ifndef QOVA_FILES_JOB_H
#define QOVA_FILES_JOB_H

#include "codecs/formats.h"
#include "pipeline/transform.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qova::files {

using pipeline::Background;
using pipeline::JobTiming;
using pipeline::Operation;
using pipeline::OperatorKind;
using pipeline::RowProgress;

struct JobOptions {
    // A chroma subsampling that overrides the input JPEG's, and --lossless.
    codecs::EncodeOptions encode;
    // Else a JPEG input's own for JPEG output, or the format's default.
    std::optional<int> quality;
    bool fail_on_warnings = false;  // --fail: a file with any warning is not written
    codecs::ReadLimits limits;
    int part_rows = 64;
    unsigned threads = 1;             // for one image
    pipeline::Background background;  // under transparent pixels, for outputs without alpha
    bool strip = false;               // metadata: keep only the colour description and orientation
    bool assume_srgb = false;         // bandpass: take every file's colours as sRGB
};

struct JobRequest {
    std::filesystem::path input;   // empty: standard input
    std::filesystem::path output;  // empty: standard output
    // The output format; else the output name's, or the input's on standard output.
    std::optional<codecs::FileFormat> format;
    std::string shown_output;  // the output's name as the user typed it, for messages
};

struct JobResult {
    std::optional<std::string> problem;  // what failed, without the input's name
    std::vector<std::string> warnings;   // what was wrong but did not stop the job
    JobTiming timing;
};

// JPEG subsampling as asked, else the input JPEG's, else by quality. The
// quality as asked, else a JPEG input's own when JPEG is written again (so a
// re-encoded photo keeps its size), else the output format's default.
codecs::EncodeOptions encode_options(const codecs::RasterInfo &input, codecs::FileFormat format,
                                     const JobOptions &options);

// The format an output name asks for by its extension (any case).
std::optional<codecs::FileFormat> format_for(const std::filesystem::path &output);
// The format a --format value names.
std::optional<codecs::FileFormat> format_named(const std::string &name);

// Runs the operation; on failure leaves no output file behind. `rows_done`
// follows the rows read.
JobResult run_job(const JobRequest &request, const Operation &operation, const JobOptions &options,
                  const RowProgress &rows_done = {});

}  // namespace qova::files

#endif
