#include "transform.h"

#include "few_colours.h"
#include "linear_light.h"
#include "qova.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace qova::pipeline {

namespace {

// The operators' ZENK_Error texts of the job running on this thread.
thread_local std::string t_operator_errors;

void collect_operator_error(const char *text) {
    if (!t_operator_errors.empty()) t_operator_errors += "; ";
    t_operator_errors += text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void add_warnings(std::vector<std::string> &to, const std::vector<std::string> &warnings) {
    to.insert(to.end(), warnings.begin(), warnings.end());
}

}  // namespace

int run_operator(const Operation &op, ImageDescriptor *in, ImageDescriptor *out) {
    switch (op.kind) {
    case OperatorKind::Saturation: return QOVA_SatuVariation(in, out, op.strength);
    case OperatorKind::Hue:
        if (op.poles.empty()) return QOVA_HuePolarisation(in, out, op.strength);
        {
            std::vector<int> poles = op.poles;  // the operator sorts them in place
            return QOVA_HuePolarisation1(in, out, op.strength, poles.data(), static_cast<int>(poles.size()));
        }
    case OperatorKind::Bandpass:
        if (op.table) return QOVA_XYZfilterTable(in, out, op.centre, op.bandwidth, op.order, op.table->data());
        return QOVA_XYZfilter(in, out, op.centre, op.bandwidth, op.order);
    }
    return QOVA_REJECTED;
}

std::unique_ptr<PlaneMapping> mapping_for(const Operation &op) {
    if (op.kind == OperatorKind::Bandpass) return std::make_unique<ColourMapping>(op.linear, op.colours);
    // The saturation operator neither reads the hue nor changes it.
    if (op.kind == OperatorKind::Saturation) return std::make_unique<HsiMapping>(HsiMapping::Hue::LeftOut);
    return std::make_unique<HsiMapping>();
}

std::shared_ptr<const std::vector<ChromaEntry>> load_table(const std::string &path, std::string *error) {
    constexpr int kNeeded = QOVA_TABLE_SIZE - 1;  // 360..698 nm: the last entry is never compared
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *error = path + ": table file not found";
        return nullptr;
    }
    if (std::FILE *readable = std::fopen(path.c_str(), "r")) {
        std::fclose(readable);
    } else {  // said here, as the loader would say it on standard output
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto table = std::make_shared<std::vector<ChromaEntry>>(QOVA_TABLE_SIZE);
    const int records = QOVA_readtable(path.c_str(), table->data());
    if (records < kNeeded) {
        *error = path + ": not a usable table (" + std::to_string(records < 0 ? 0 : records) + " records read, " +
                 std::to_string(kNeeded) + " needed)";
        return nullptr;
    }
    return table;
}

std::optional<std::string> transform(codecs::RasterReader &reader, codecs::RasterWriter &writer,
                                     const codecs::RasterInfo &output, const std::string &output_name,
                                     const Operation &operation, const pipeline::Background &background, RunShape shape,
                                     const RowProgress &rows_done, JobTiming *timing) {
    pipeline::FileRun::Settings settings;
    settings.output = output;
    settings.background = background;
    settings.part_rows = shape.part_rows;
    settings.threads = shape.threads;
    settings.new_mapping = [&operation] { return mapping_for(operation); };
    settings.progress = rows_done;
    pipeline::FileRun run(reader, writer, settings);

    // Each thread's operator messages, gathered where the job can see them.
    std::mutex lock;
    std::string operator_errors;
    const bool ok = run.run([&](ImageDescriptor &in, ImageDescriptor &out) {
        t_operator_errors.clear();
        const int status = run_operator(operation, &in, &out);
        if (status != 0 && !t_operator_errors.empty()) {
            const std::lock_guard<std::mutex> guard(lock);
            if (operator_errors.empty()) operator_errors = t_operator_errors;
        }
        return status;
    });
    if (timing) {
        timing->read += run.timing().read;
        timing->operate += run.timing().operate;
        timing->write += run.timing().write;
    }
    if (ok) return std::nullopt;
    switch (run.failure()) {
    case pipeline::FileRun::Failure::Reader: return run.error();
    case pipeline::FileRun::Failure::Writer: return output_name + ": " + run.error();
    default: return operator_errors.empty() ? std::string("operator failed") : operator_errors;
    }
}

namespace {

// The few-colour strategy: the census, the colours through the operator as a
// one-row image, then every pixel written as its colour's index. *done tells
// whether the image had so few colours; either way `reader` is left at the
// start of the image.
std::optional<std::string> through_colours(std::unique_ptr<codecs::RasterReader> &reader, const OpenReader &reopen,
                                           const Operation &operation, const Destination &to,
                                           const codecs::RasterInfo &out_info, const RunSettings &settings,
                                           RunReport *report, bool *done) {
    std::string error;
    ColourCensus census;
    const RowProgress &rows_done = settings.rows_done;
    const auto first_pass = [&](int64_t rows, int64_t total) {
        if (rows_done) rows_done(rows, 2 * total);
    };
    const auto census_started = std::chrono::steady_clock::now();
    if (!census.take(*reader, settings.shape.part_rows, first_pass, &error)) return error;
    report->timing.read += seconds_since(census_started);
    reader.reset();
    reader = reopen(&error);
    if (!reader) return error;
    if (!census.fits()) return std::nullopt;

    const codecs::RasterInfo &info = reader->info();
    const std::unique_ptr<codecs::RasterReader> colours = colour_row_reader(info, census.row());
    CollectingWriter results(colours->info());
    if (auto problem = transform(*colours, results, colours->info(), to.name, operation, settings.background,
                                 RunShape{settings.shape.part_rows, 1}, {}, &report->timing))
        return problem;
    codecs::RasterInfo layout = info;
    layout.metadata = out_info.metadata;
    layout.palette = packed_colours(info, results.samples());

    const auto write_started = std::chrono::steady_clock::now();
    const std::unique_ptr<codecs::RasterWriter> writer =
        codecs::open_writer(to.format, to.file, layout, to.encode, &error);
    if (!writer) return "cannot encode " + to.name + ": " + error;
    const auto second_pass = [&](int64_t rows, int64_t total) {
        if (rows_done) rows_done(total + rows, 2 * total);
    };
    if (!write_through_colours(*reader, census, *writer, settings.shape.part_rows, second_pass, &error))
        return writer->error().empty() ? error : to.name + ": " + error;
    if (!writer->finish()) return to.name + ": " + writer->error();
    report->timing.write += seconds_since(write_started);
    add_warnings(report->warnings, writer->warnings());
    *done = true;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> run_operation(std::unique_ptr<codecs::RasterReader> reader, const OpenReader &reopen,
                                         Operation operation, const Destination &to, const RunSettings &settings,
                                         RunReport *report) {
    const codecs::RasterInfo info = reader->info();
    if (operation.kind == OperatorKind::Bandpass && !settings.assume_srgb) {
        // The filter's wavelengths hold for sRGB primaries: other files are
        // converted to them and back.
        if (auto note = read_colours_of(info, &operation)) report->warnings.push_back(*note);
    }
    const codecs::WriterAccepts &accepts = codecs::writer_accepts(to.format);
    codecs::RasterInfo out_info = output_layout(info, accepts, settings.background);
    if (settings.strip) out_info.metadata.strip();

    bool done = false;
    if (accepts.indexed && few_colours_possible(info)) {
        if (auto problem = through_colours(reader, reopen, operation, to, out_info, settings, report, &done))
            return problem;
    }
    if (!done) {
        std::string error;
        const std::unique_ptr<codecs::RasterWriter> writer =
            codecs::open_writer(to.format, to.file, out_info, to.encode, &error);
        if (!writer) return "cannot encode " + to.name + ": " + error;
        if (auto problem = transform(*reader, *writer, out_info, to.name, operation, settings.background,
                                     settings.shape, settings.rows_done, &report->timing))
            return problem;
        if (!writer->finish()) return to.name + ": " + writer->error();
        add_warnings(report->warnings, writer->warnings());
    }
    add_warnings(report->warnings, reader->warnings());
    return std::nullopt;
}

std::optional<std::string> read_colours_of(const codecs::RasterInfo &input, Operation *operation) {
    std::string note;
    operation->colours = colour::ColourConversion::make(input.metadata.colour_description(), input.is_grey(),
                                                        operation->linear, input.max_value(), &note);
    if (note.empty()) return std::nullopt;
    return note;
}

void capture_operator_errors() { zenk::set_error_handler(collect_operator_error); }

}  // namespace qova::pipeline
