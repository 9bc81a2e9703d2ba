#include "plot_command.h"

#include "arguments.h"
#include "files/input_file.h"
#include "files/output_file.h"
#include "plot/figure.h"

#include <filesystem>
#include <iostream>

namespace qova::tool {

namespace fs = std::filesystem;
using files::FilePointer;
using files::open_input;
using files::OutputFile;

plot::PlotFormat check_plot_output(const std::string &output, const char *option) {
    if (output.empty()) throw UsageError(std::string(option) + " needs a file name (.svg, .pdf or .png), not ''");
    const auto format = plot::plot_format_for(output);
    if (!format) throw UsageError(output + ": unknown plot format (name it .svg, .pdf or .png)");
    std::error_code ec;
    const fs::path folder = fs::absolute(output).parent_path();
    if (!fs::is_directory(folder, ec))
        throw UsageError(output + ": its folder " + fs::path(output).parent_path().string() + " does not exist");
    return *format;
}

namespace {

std::string subject_of(const PlotRequest &request, const plot::Statistics &stats) {
    if (request.inputs.empty()) return "";
    char pixels[64];
    std::snprintf(pixels, sizeof pixels, "%.1f megapixels", static_cast<double>(stats.pixels) / 1e6);
    const std::string what = request.inputs.size() == 1 ? fs::path(request.inputs[0]).filename().string()
                                                        : std::to_string(request.inputs.size()) + " images";
    return what + ", " + pixels;
}

}  // namespace

int run_plot(const pipeline::Operation &operation, const PlotRequest &request) {
    plot::Statistics stats;
    for (const std::string &name : request.inputs) {
        std::string error;
        std::vector<std::string> warnings;
        const FilePointer file = open_input(name == "-" ? fs::path() : fs::path(name), &error);
        const auto reader = file ? codecs::open_reader(file.get(), request.limits, &error) : nullptr;
        const bool counted =
            reader && plot::gather(*reader, operation, request.assume_srgb, request.threads, &stats, &error, &warnings);
        for (const std::string &w : warnings) std::cerr << "qova: " << name << ": warning: " << w << "\n";
        if (!counted) {
            std::cerr << "qova: " << (name == "-" ? "standard input" : name) << ": " << error << "\n";
            return 1;
        }
    }
    std::string error;
    const auto out = OutputFile::create(fs::absolute(request.output), &error);
    if (!out ||
        !plot::draw_figure(operation, request.inputs.empty() ? nullptr : &stats, subject_of(request, stats),
                           request.format, out->stream(), &error) ||
        !out->commit(&error)) {
        std::cerr << "qova: " << request.output << ": " << error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace qova::tool
