#include "job.h"

#include "file_host.h"
#include "mappings.h"
#include "output_file.h"
#include "qova.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace qova_tool {

namespace {

// The operators' ZENK_Error texts of the job running on this thread.
thread_local std::string t_operator_errors;

void collect_operator_error(const char *text) {
    if (!t_operator_errors.empty()) t_operator_errors += "; ";
    t_operator_errors += text;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

int run_operator(const Operation &op, ImageDescriptor *in, ImageDescriptor *out) {
    switch (op.kind) {
    case OperatorKind::Saturation: return QOVA_SatuVariation(in, out, op.strength);
    case OperatorKind::Hue:
        if (op.poles.empty()) return QOVA_HuePolarisation(in, out, op.strength);
        {
            std::vector<int> poles = op.poles;  // the operator sorts them in place
            return QOVA_HuePolarisation1(in, out, op.strength, poles.data(), static_cast<int>(poles.size()));
        }
    case OperatorKind::Bandpass: return QOVA_XYZfilter(in, out, op.centre, op.bandwidth, op.order);
    }
    return QOVA_REJECTED;
}

// The output's layout: the input's, except that JPEG takes 8-bit grey or RGB.
zenk::RasterInfo output_layout(const zenk::RasterInfo &input, zenk::FileFormat format) {
    zenk::RasterInfo out = input;
    if (format == zenk::FileFormat::Jpeg) {
        out.channels = input.is_grey() ? 1 : 3;
        out.bit_depth = 8;
    }
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::optional<std::string> process(const std::filesystem::path &input, const std::filesystem::path &output,
                                   const Operation &operation, const JobOptions &options,
                                   const std::function<void(int32_t, int32_t)> &rows_done, JobTiming *timing) {
    const std::optional<zenk::FileFormat> format = format_for(output);
    if (!format) return "unknown output format for " + output.string() + " (use .png, .jpg or .jpeg)";

    std::error_code ec;
    if (std::filesystem::is_directory(input, ec)) return std::string("is a folder, not an image");
    std::unique_ptr<std::FILE, FileCloser> in_file(std::fopen(input.c_str(), "rb"));
    if (!in_file) return std::string("cannot open: ") + std::strerror(errno);
    std::string error;
    const std::unique_ptr<zenk::RasterReader> reader = zenk::open_reader(in_file.get(), options.limits, &error);
    if (!reader) return error;
    const zenk::RasterInfo &info = reader->info();
    if (info.width == 0 || info.height == 0) return "image has no pixels";

    const std::unique_ptr<OutputFile> out_file = OutputFile::create(output, &error);
    if (!out_file) return "cannot create " + output.string() + ": " + error;
    const zenk::RasterInfo out_info = output_layout(info, *format);
    const std::unique_ptr<zenk::RasterWriter> writer =
        *format == zenk::FileFormat::Png ? zenk::open_png_writer(out_file->stream(), out_info, options.png, &error)
                                         : zenk::open_jpeg_writer(out_file->stream(), out_info, options.jpeg_quality, &error);
    if (!writer) return "cannot encode " + output.string() + ": " + error;

    HsiMapping hsi;
    ColourMapping colour(operation.linear);
    zenk::PlaneMapping &mapping =
        operation.kind == OperatorKind::Bandpass ? static_cast<zenk::PlaneMapping &>(colour) : hsi;
    zenk::FileSource source(*reader, mapping, zenk::part_rows_for(info.width, options.part_rows), rows_done);
    zenk::FileSink sink(*writer, out_info, mapping, source);
    ImageDescriptor in, out;
    zenk::bind(in, source, info.width, 0);
    zenk::bind(out, sink);

    t_operator_errors.clear();
    const auto started = std::chrono::steady_clock::now();
    const int status = run_operator(operation, &in, &out);
    if (timing) {
        timing->read = source.seconds();
        timing->write = sink.seconds();
        timing->operate = seconds_since(started) - timing->read - timing->write;
    }
    if (status != 0) {
        if (!source.error().empty()) return source.error();
        if (!sink.error().empty()) return output.string() + ": " + sink.error();
        return t_operator_errors.empty() ? "operator failed with status " + std::to_string(status) : t_operator_errors;
    }
    if (!writer->finish()) return output.string() + ": " + writer->error();
    if (!out_file->commit(&error)) return output.string() + ": " + error;
    return std::nullopt;
}

}  // namespace

std::optional<zenk::FileFormat> format_for(const std::filesystem::path &output) {
    std::string ext = output.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".png") return zenk::FileFormat::Png;
    if (ext == ".jpg" || ext == ".jpeg") return zenk::FileFormat::Jpeg;
    return std::nullopt;
}

void capture_operator_errors() { zenk::set_error_handler(collect_operator_error); }

std::optional<std::string> run_job(const std::filesystem::path &input, const std::filesystem::path &output,
                                   const Operation &operation, const JobOptions &options,
                                   const std::function<void(int32_t, int32_t)> &rows_done, JobTiming *timing) {
    const auto started = std::chrono::steady_clock::now();
    try {
        auto problem = process(input, output, operation, options, rows_done, timing);
        if (timing) timing->total = seconds_since(started);
        return problem;
    } catch (const std::bad_alloc &) {
        return std::string("out of memory");
    } catch (const std::exception &e) {
        return std::string(e.what());
    }
}

}  // namespace qova_tool
