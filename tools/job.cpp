#include "job.h"

#include "few_colours.h"
#include "input_file.h"
#include "output_file.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <new>

namespace qova_tool {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The output's layout and metadata: the input's, except that JPEG takes 8-bit
// grey or RGB without alpha (grey becomes RGB when a coloured background
// shows).
zenk::RasterInfo output_layout(const zenk::RasterInfo &input, zenk::FileFormat format, const JobOptions &options) {
    zenk::RasterInfo out = input;
    if (options.strip) out.metadata.strip();
    if (format == zenk::FileFormat::Jpeg) {
        const bool grey = input.is_grey() && (!input.has_alpha() || options.background.is_grey());
        out.channels = grey ? 1 : 3;
        out.bit_depth = 8;
    } else if (format == zenk::FileFormat::Webp) {  // 8-bit RGB, with or without alpha
        out.channels = input.has_alpha() ? 4 : 3;
        out.bit_depth = 8;
    } else if (format == zenk::FileFormat::Heic || format == zenk::FileFormat::Avif) {  // RGB at 8 or 16 bits
        out.channels = input.has_alpha() ? 4 : 3;
    }
    return out;
}

// JPEG subsampling as asked, else the input JPEG's, else by quality. The
// quality as asked, else a JPEG input's own when JPEG is written again (so a
// re-encoded photo keeps its size), else the output format's default.
zenk::EncodeOptions encode_options(const zenk::RasterInfo &input, zenk::FileFormat format, const JobOptions &options) {
    zenk::EncodeOptions encode = options.encode;
    if (!encode.sampling.known() && input.format == zenk::FileFormat::Jpeg) encode.sampling = input.chroma_sampling;
    const bool jpeg_again = format == zenk::FileFormat::Jpeg && input.format == zenk::FileFormat::Jpeg && input.quality > 0;
    encode.quality = options.quality ? *options.quality : jpeg_again ? input.quality : zenk::default_quality(format);
    return encode;
}

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
        std::string error;
        input_ = open_input(request_.input, &error);
        if (!input_) return error;
        if (!open_reader(&error)) return error;
        const zenk::RasterInfo info = reader_->info();
        if (operation_.kind == OperatorKind::Bandpass && !options_.assume_srgb) {
            // The filter's wavelengths hold for sRGB primaries: other files
            // are converted to them and back.
            std::string note;
            operation_.colours =
                zenk::ColourConversion::make(info.metadata, info.is_grey(), operation_.linear, info.max_value(), &note);
            if (!note.empty()) result_.warnings.push_back(note);
        }

        // FIFOs, devices and standard output take the input's format unless
        // told or named otherwise.
        std::optional<zenk::FileFormat> format = request_.format;
        if (!format && !request_.output.empty()) format = format_for(request_.output);
        if (!format && (request_.output.empty() || is_stream_target(request_.output))) format = info.format;
        if (!format)
            return "cannot write " + output_name() + ": unknown output format (use " + zenk::written_extensions() +
                   ", or --format)";

        const std::unique_ptr<OutputFile> out =
            request_.output.empty() ? OutputFile::standard_output() : OutputFile::create(request_.output, &error);
        if (!out) return "cannot create " + output_name() + ": " + error;
        const zenk::RasterInfo out_info = output_layout(info, *format, options_);

        std::optional<std::string> problem;
        bool done = false;
        if (*format == zenk::FileFormat::Png && few_colours_possible(info)) {
            problem = through_colours(info, out_info, *out, &done);
            if (problem) return problem;
        }
        if (!done) {
            const std::unique_ptr<zenk::RasterWriter> writer =
                zenk::open_writer(*format, out->stream(), out_info, encode_options(info, *format, options_), &error);
            if (!writer) return "cannot encode " + output_name() + ": " + error;
            problem = transform(*reader_, *writer, out_info, output_name(), operation_, options_.background,
                                RunShape{options_.part_rows, options_.threads}, rows_done_, &result_.timing);
            if (problem) return problem;
            if (!writer->finish()) return output_name() + ": " + writer->error();
            add_warnings(writer->warnings());
        }
        add_warnings(reader_->warnings());
        if (options_.fail_on_warnings && !result_.warnings.empty()) {
            std::string first = result_.warnings.front();
            result_.warnings.erase(result_.warnings.begin());
            return first + "; not written (--fail)";
        }
        if (!out->commit(&error)) return output_name() + ": " + error;
        return std::nullopt;
    }

    // Opens (or reopens, from the start) the reader.
    bool open_reader(std::string *error) {
        reader_.reset();
        if (std::fseek(input_.get(), 0, SEEK_SET) != 0) {
            *error = "cannot seek in the input";
            return false;
        }
        reader_ = zenk::open_reader(input_.get(), options_.limits, error);
        return reader_ != nullptr;
    }

    // An image of at most 256 colours goes through them; *done tells whether
    // it had so few (else the reader is reopened for the usual path).
    std::optional<std::string> through_colours(const zenk::RasterInfo &info, const zenk::RasterInfo &out_info,
                                               OutputFile &out, bool *done) {
        std::string error;
        ColourCensus census;
        const auto first_pass = [&](int64_t rows, int64_t total) {
            if (rows_done_) rows_done_(rows, 2 * total);
        };
        const auto census_started = std::chrono::steady_clock::now();
        if (!census.take(*reader_, options_.part_rows, first_pass, &error)) return error;
        result_.timing.read += seconds_since(census_started);
        if (!open_reader(&error)) return error;
        if (!census.fits()) return std::nullopt;

        // The colours through the operator, as a one-row image.
        const std::unique_ptr<zenk::RasterReader> colours = colour_row_reader(info, census.row());
        CollectingWriter results(colours->info());
        if (auto problem = transform(*colours, results, colours->info(), output_name(), operation_, options_.background,
                                     RunShape{options_.part_rows, 1}, {}, &result_.timing))
            return problem;
        FewColourEncoding encoding = choose_encoding(info, results.samples());
        encoding.layout.metadata = out_info.metadata;

        const auto write_started = std::chrono::steady_clock::now();
        const std::unique_ptr<zenk::RasterWriter> writer = zenk::open_png_writer(out.stream(), encoding.layout, &error);
        if (!writer) return "cannot encode " + output_name() + ": " + error;
        const auto second_pass = [&](int64_t rows, int64_t total) {
            if (rows_done_) rows_done_(total + rows, 2 * total);
        };
        if (!write_through_colours(*reader_, census, encoding, *writer, options_.part_rows, second_pass, &error))
            return writer->error().empty() ? error : output_name() + ": " + error;
        if (!writer->finish()) return output_name() + ": " + writer->error();
        result_.timing.write += seconds_since(write_started);
        add_warnings(writer->warnings());
        *done = true;
        return std::nullopt;
    }

    void add_warnings(const std::vector<std::string> &warnings) {
        result_.warnings.insert(result_.warnings.end(), warnings.begin(), warnings.end());
    }

    const JobRequest &request_;
    Operation operation_;  // with the input's colour conversion once it is open
    const JobOptions &options_;
    const RowProgress &rows_done_;
    FilePointer input_;
    std::unique_ptr<zenk::RasterReader> reader_;
    JobResult result_;
};

}  // namespace

std::optional<zenk::FileFormat> format_for(const std::filesystem::path &output) {
    return zenk::format_of_extension(output.extension().string());
}

std::optional<zenk::FileFormat> format_named(const std::string &name) { return zenk::format_of_name(name); }

JobResult run_job(const JobRequest &request, const Operation &operation, const JobOptions &options,
                  const RowProgress &rows_done) {
    return Job(request, operation, options, rows_done).run();
}

}  // namespace qova_tool
