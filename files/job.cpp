#include "job.h"

#include "input_file.h"
#include "output_file.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <new>

namespace qova::files {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

codecs::EncodeOptions encode_options(const codecs::RasterInfo &input, codecs::FileFormat format,
                                     const JobOptions &options) {
    codecs::EncodeOptions encode = options.encode;
    if (!encode.sampling.known() && input.format == codecs::FileFormat::Jpeg) encode.sampling = input.chroma_sampling;
    const bool jpeg_again =
        format == codecs::FileFormat::Jpeg && input.format == codecs::FileFormat::Jpeg && input.quality > 0;
    encode.quality = options.quality ? *options.quality : jpeg_again ? input.quality : codecs::default_quality(format);
    return encode;
}

namespace {

class Job {
public:
    Job(const JobRequest &request, const Operation &operation, const JobOptions &options, const RowProgress &rows_done)
        : request_(request), operation_(operation), options_(options), rows_done_(rows_done) {}

    JobResult run() {
        const auto started = std::chrono::steady_clock::now();
        try {
            result_.problem = process();
        } catch (const std::bad_alloc &) {
            result_.problem = "out of memory";
        } catch (const std::exception &e) {
            result_.problem = e.what();
        }
        result_.timing.total = seconds_since(started);
        return result_;
    }

private:
    std::string output_name() const {
        if (request_.output.empty()) return "standard output";
        return request_.shown_output.empty() ? request_.output.string() : request_.shown_output;
    }

    std::optional<std::string> process() {
        std::error_code same_error;
        if (!request_.input.empty() && !request_.output.empty() &&
            std::filesystem::equivalent(request_.input, request_.output, same_error))
            return "refusing to overwrite the input with its own output";
        std::string error;
        input_ = open_input(request_.input, &error);
        if (!input_) return error;
        std::unique_ptr<codecs::RasterReader> reader = open_reader(&error);
        if (!reader) return error;
        const codecs::RasterInfo info = reader->info();

        // FIFOs, devices and standard output take the input's format unless
        // told or named otherwise.
        std::optional<codecs::FileFormat> format = request_.format;
        if (!format && !request_.output.empty()) format = format_for(request_.output);
        if (!format && (request_.output.empty() || is_stream_target(request_.output))) format = info.format;
        if (!format)
            return "cannot write " + output_name() + ": unknown output format (use " + codecs::written_extensions() +
                   ", or --format)";

        const std::unique_ptr<OutputFile> out =
            request_.output.empty() ? OutputFile::standard_output() : OutputFile::create(request_.output, &error);
        if (!out) return "cannot create " + output_name() + ": " + error;

        const pipeline::Destination to{*format, out->stream(), encode_options(info, *format, options_), output_name()};
        pipeline::RunSettings settings;
        settings.background = options_.background;
        settings.strip = options_.strip;
        settings.assume_srgb = options_.assume_srgb;
        settings.shape = pipeline::RunShape{options_.part_rows, options_.threads};
        settings.rows_done = rows_done_;
        pipeline::RunReport report;
        const auto reopen = [this](std::string *e) { return open_reader(e); };
        std::optional<std::string> problem =
            pipeline::run_operation(std::move(reader), reopen, operation_, to, settings, &report);
        result_.warnings = std::move(report.warnings);
        result_.timing.read = report.timing.read;
        result_.timing.operate = report.timing.operate;
        result_.timing.write = report.timing.write;
        if (problem) return problem;
        if (options_.fail_on_warnings && !result_.warnings.empty()) {
            std::string first = result_.warnings.front();
            result_.warnings.erase(result_.warnings.begin());
            return first + "; not written (--fail)";
        }
        if (!out->commit(&error)) return output_name() + ": " + error;
        return std::nullopt;
    }

    // Opens the reader on the input from its start.
    std::unique_ptr<codecs::RasterReader> open_reader(std::string *error) {
        if (std::fseek(input_.get(), 0, SEEK_SET) != 0) {
            *error = "cannot seek in the input";
            return nullptr;
        }
        return codecs::open_reader(input_.get(), options_.limits, error);
    }

    const JobRequest &request_;
    const Operation &operation_;
    const JobOptions &options_;
    const RowProgress &rows_done_;
    FilePointer input_;
    JobResult result_;
};

}  // namespace

std::optional<codecs::FileFormat> format_for(const std::filesystem::path &output) {
    return codecs::format_of_extension(output.extension().string());
}

std::optional<codecs::FileFormat> format_named(const std::string &name) { return codecs::format_of_name(name); }

JobResult run_job(const JobRequest &request, const Operation &operation, const JobOptions &options,
                  const RowProgress &rows_done) {
    return Job(request, operation, options, rows_done).run();
}

}  // namespace qova::files
