// One operator over one image, from a reader to a writer: decoded part by
// part, mapped to the operator's planes, transformed, mapped back, converted
// to the layout the writer accepts and encoded.
#ifndef QOVA_PIPELINE_TRANSFORM_H
#define QOVA_PIPELINE_TRANSFORM_H

#include "codecs/formats.h"
#include "colour/icc.h"
#include "file_run.h"
#include "qova.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qova::pipeline {

enum class OperatorKind { Saturation, Hue, Bandpass };

struct Operation {
    OperatorKind kind = OperatorKind::Saturation;
    int strength = 0;        // saturation, hue
    std::vector<int> poles;  // hue, tenths of a degree; empty: the fixed poles
    int centre = 550;        // bandpass, nm
    int bandwidth = 100;
    int order = 2;
    bool linear = true;  // bandpass: filter in linear light
    // bandpass: the file's colour encoding to sRGB primaries and back; null
    // if the file is sRGB (or is to be taken as such).
    std::shared_ptr<const colour::ColourConversion> colours;
    // bandpass: the chromaticity table, loaded once; null: the filter reads
    // cie_table.txt from the working directory.
    std::shared_ptr<const std::vector<ChromaEntry>> table;
};

// Runs the operation's operator from `in` to `out` (host descriptors); its status.
int run_operator(const Operation &op, ImageDescriptor *in, ImageDescriptor *out);

// The mapping between a file's samples and the operator's planes (one for each thread).
std::unique_ptr<PlaneMapping> mapping_for(const Operation &op);

// For the band filter: sets the operation's colour conversion from what the
// input says of its colours (none for sRGB); what could not be honoured.
std::optional<std::string> read_colours_of(const codecs::RasterInfo &input, Operation *operation);

// Loads a chromaticity table file; null with *error set unless it holds the
// 339 records the filter needs.
std::shared_ptr<const std::vector<ChromaEntry>> load_table(const std::string &path, std::string *error);

// Where one image's time went, in seconds.
struct JobTiming {
    double read = 0;     // decoding and mapping to planes
    double operate = 0;  // the operator itself
    double write = 0;    // mapping back and encoding
    double total = 0;    // the whole job, opening and closing files included
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
std::optional<std::string> transform(codecs::RasterReader &reader, codecs::RasterWriter &writer,
                                     const codecs::RasterInfo &output, const std::string &output_name,
                                     const Operation &operation, const pipeline::Background &background, RunShape shape,
                                     const RowProgress &rows_done, JobTiming *timing);

// Opens the input again from its start, for a strategy that reads it twice.
using OpenReader = std::function<std::unique_ptr<codecs::RasterReader>(std::string *error)>;

// Where the result goes: a writer of `format` on `file` with `encode`;
// `name` is the output's name in messages.
struct Destination {
    codecs::FileFormat format = codecs::FileFormat::Png;
    std::FILE *file = nullptr;
    codecs::EncodeOptions encode;
    std::string name;
};

struct RunSettings {
    Background background;     // under transparent pixels, for writers without alpha
    bool strip = false;        // metadata: keep only the colour description and orientation
    bool assume_srgb = false;  // bandpass: take the file's colours as sRGB whatever it says
    RunShape shape;
    RowProgress rows_done;  // follows the rows read
};

struct RunReport {
    std::vector<std::string> warnings;  // what was wrong but did not stop the run
    JobTiming timing;                   // read, operate and write added to
};

// Runs `operation` over the image `reader` reads into a writer for `to`, in
// the layout that writer accepts. An image of at most 256 colours goes to a
// writer that takes indexed rows through its colours (reading it twice, the
// second time through `reopen`); any other runs band by band on the settings'
// threads. The band filter reads a file's colours through its profile unless
// told to assume sRGB. The writer is finished; committing or removing the
// file is the caller's. Returns the problem if anything failed: the
// reader's, the writer's (naming `to.name`) or the operator's.
std::optional<std::string> run_operation(std::unique_ptr<codecs::RasterReader> reader, const OpenReader &reopen,
                                         Operation operation, const Destination &to, const RunSettings &settings,
                                         RunReport *report);

// Routes the operators' failure texts into the running job's message; call
// once before running jobs.
void capture_operator_errors();

}  // namespace qova::pipeline

#endif
