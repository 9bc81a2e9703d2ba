#include "demo.h"

#include "codecs/raster.h"
#include "files/output_file.h"
#include "plot/figure.h"
#include "plot_command.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

namespace qova::tool {

using files::JobOptions;
using files::JobRequest;
using files::JobResult;
using files::OutputFile;
using files::run_job;
using pipeline::Operation;
using pipeline::OperatorKind;

namespace {

struct Example {
    const char *file;
    const char *label;
    Operation operation;
};

Operation saturation(int strength) {
    return Operation{OperatorKind::Saturation, strength, {}, 0, 0, 0, true, nullptr, nullptr};
}
Operation hue(int strength, std::vector<int> poles) {
    return Operation{OperatorKind::Hue, strength, std::move(poles), 0, 0, 0, true, nullptr, nullptr};
}
Operation bandpass(int centre, int bandwidth, int order, std::shared_ptr<const std::vector<ChromaEntry>> table) {
    return Operation{OperatorKind::Bandpass, 0, {}, centre, bandwidth, order, true, nullptr, std::move(table)};
}

// An 8-bit RGB picture held whole: small thumbnails only.
struct Picture {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    std::size_t offset(int32_t x, int32_t y) const {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
    }
    uint8_t *at(int32_t x, int32_t y) { return rgb.data() + offset(x, y); }
    const uint8_t *at(int32_t x, int32_t y) const { return rgb.data() + offset(x, y); }
};

constexpr int32_t kThumbWidth = 360;
constexpr int32_t kLabelHeight = 30;
constexpr double kPlotWidth = plot::kFigureWidth, kPlotHeight = plot::kFigureHeight;
constexpr int32_t kGap = 8;

// Reads an image and shrinks it to kThumbWidth by averaging boxes of pixels.
std::optional<Picture> thumbnail(const std::filesystem::path &path, std::string *error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        *error = "cannot open " + path.string();
        return std::nullopt;
    }
    const auto reader = codecs::open_reader(file.get(), codecs::ReadLimits{}, error);
    if (!reader) return std::nullopt;
    const codecs::RasterInfo &info = reader->info();
    Picture thumb;
    thumb.width = std::min(kThumbWidth, info.width);
    thumb.height =
        std::max<int32_t>(1, static_cast<int32_t>(static_cast<int64_t>(info.height) * thumb.width / info.width));
    std::vector<uint64_t> sums(static_cast<std::size_t>(thumb.width) * 3);
    std::vector<uint32_t> counts(static_cast<std::size_t>(thumb.width));
    std::vector<uint16_t> row(static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels));
    thumb.rgb.resize(static_cast<std::size_t>(thumb.width) * static_cast<std::size_t>(thumb.height) * 3);
    int32_t out_row = 0;
    for (int32_t y = 0; y < info.height; ++y) {
        if (!reader->read_rows(1, row.data())) {
            *error = reader->error();
            return std::nullopt;
        }
        for (int32_t x = 0; x < info.width; ++x) {
            const uint16_t *px = row.data() + static_cast<std::size_t>(x) * static_cast<std::size_t>(info.channels);
            const auto tx = static_cast<std::size_t>(static_cast<int64_t>(x) * thumb.width / info.width);
            for (int k = 0; k < 3; ++k) sums[tx * 3 + static_cast<std::size_t>(k)] += px[info.is_grey() ? 0 : k];
            ++counts[tx];
        }
        const auto next_out = static_cast<int32_t>(static_cast<int64_t>(y + 1) * thumb.height / info.height);
        if (next_out == out_row && y + 1 < info.height) continue;
        for (int32_t tx = 0; tx < thumb.width && out_row < thumb.height; ++tx) {
            const std::size_t i = static_cast<std::size_t>(tx);
            for (int k = 0; k < 3; ++k) {
                const uint64_t mean = counts[i] ? sums[i * 3 + static_cast<std::size_t>(k)] / counts[i] : 0;
                thumb.at(tx, out_row)[k] = static_cast<uint8_t>(info.bit_depth == 16 ? mean / 257 : mean);
            }
        }
        std::fill(sums.begin(), sums.end(), 0);
        std::fill(counts.begin(), counts.end(), 0);
        out_row = next_out;
    }
    return thumb;
}

// A picture as a cairo surface.
cairo_surface_t *surface_of(const Picture &p) {
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, p.width, p.height);
    const int stride = cairo_image_surface_get_stride(surface);
    unsigned char *data = cairo_image_surface_get_data(surface);
    for (int32_t y = 0; y < p.height; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int32_t x = 0; x < p.width; ++x) {
            const uint8_t *px = p.at(x, y);
            row[x] = uint32_t{px[0]} << 16 | uint32_t{px[1]} << 8 | px[2];
        }
    }
    cairo_surface_mark_dirty(surface);
    return surface;
}

// The thumbnails in a row, each under its label, and the plots in a row
// beneath them, scaled to share the sheet's width.
bool write_sheet(const std::filesystem::path &path, const std::vector<std::pair<Picture, std::string>> &tiles,
                 const std::vector<std::filesystem::path> &plots, std::string *error) {
    int32_t height = 0;
    for (const auto &t : tiles) height = std::max(height, t.first.height);
    const int32_t width = static_cast<int32_t>(tiles.size()) * (kThumbWidth + kGap) + kGap;
    const double plot_width = static_cast<double>(width - kGap) / static_cast<double>(plots.size()) - kGap;
    const double plot_height = plot_width * kPlotHeight / kPlotWidth;
    const int32_t plots_top = kLabelHeight + height + kGap;
    const auto sheet_height = static_cast<int32_t>(plots_top + (plots.empty() ? 0 : plot_height + kGap));

    cairo_surface_t *sheet = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, sheet_height);
    cairo_t *cr = cairo_create(sheet);
    cairo_set_source_rgb(cr, 0.125, 0.125, 0.125);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 17);
    double x0 = kGap;
    for (const auto &[thumb, label] : tiles) {
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        cairo_move_to(cr, x0, kLabelHeight - 10);
        cairo_show_text(cr, label.c_str());
        cairo_surface_t *image = surface_of(thumb);
        cairo_set_source_surface(cr, image, x0, kLabelHeight);
        cairo_paint(cr);
        cairo_surface_destroy(image);
        x0 += kThumbWidth + kGap;
    }
    x0 = kGap;
    for (const std::filesystem::path &plot : plots) {
        cairo_surface_t *image = cairo_image_surface_create_from_png(plot.c_str());
        cairo_save(cr);
        cairo_translate(cr, x0, plots_top);
        cairo_scale(cr, plot_width / kPlotWidth, plot_height / kPlotHeight);
        cairo_set_source_surface(cr, image, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        cairo_paint(cr);
        cairo_restore(cr);
        cairo_surface_destroy(image);
        x0 += plot_width + kGap;
    }
    cairo_destroy(cr);
    cairo_surface_flush(sheet);

    codecs::RasterInfo info;
    info.width = width;
    info.height = sheet_height;
    info.channels = 3;
    info.bit_depth = 8;
    info.metadata.srgb_intent = 0;
    std::vector<uint16_t> samples;
    samples.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(sheet_height) * 3);
    const int stride = cairo_image_surface_get_stride(sheet);
    const unsigned char *data = cairo_image_surface_get_data(sheet);
    for (int32_t y = 0; y < sheet_height; ++y) {
        const auto *row = reinterpret_cast<const uint32_t *>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int32_t x = 0; x < width; ++x)
            for (const int shift : {16, 8, 0}) samples.push_back(static_cast<uint16_t>(row[x] >> shift & 0xFF));
    }
    cairo_surface_destroy(sheet);

    const auto out = OutputFile::create(path, error);
    if (!out) return false;
    const auto writer = codecs::open_png_writer(out->stream(), info, error);
    if (!writer) return false;
    if (!writer->write_rows(sheet_height, samples.data()) || !writer->finish()) {
        *error = writer->error();
        return false;
    }
    return out->commit(error);
}

}  // namespace

int run_demo(const std::filesystem::path &dir, const std::filesystem::path &sample,
             const std::shared_ptr<const std::vector<ChromaEntry>> &table, const JobOptions &options) {
    const Example examples[] = {
        {"saturation+80.png", "Saturation +80%", saturation(80)},
        {"saturation-80.png", "Saturation -80%", saturation(-80)},
        {"hue-poles-0-120-240.png", "Hue to 0,120,240 70%", hue(70, {})},
        {"hue-poles-60-300.png", "Hue to 60,300 90%", hue(90, {600, 3000})},
        {"bandpass-470nm.png", "Bandpass 470nm", bandpass(470, 40, 2, table)},
        {"bandpass-580nm.png", "Bandpass 580nm", bandpass(580, 30, 2, table)},
    };
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::cerr << "qova: " << dir.string() << ": cannot create folder: " << ec.message() << "\n";
        return 1;
    }
    std::vector<std::pair<Picture, std::string>> tiles;
    std::string error;
    std::optional<Picture> original = thumbnail(sample, &error);
    if (!original) {
        std::cerr << "qova: " << sample.string() << ": " << error << "\n";
        return 1;
    }
    tiles.emplace_back(std::move(*original), "Original");
    for (const Example &e : examples) {
        const std::filesystem::path out = dir / e.file;
        const JobResult result = run_job(JobRequest{sample, out, std::nullopt, out.string()}, e.operation, options);
        if (result.problem) {
            std::cerr << "qova: " << sample.string() << ": " << *result.problem << "\n";
            return 1;
        }
        std::optional<Picture> thumb = thumbnail(out, &error);
        if (!thumb) {
            std::cerr << "qova: " << out.string() << ": " << error << "\n";
            return 1;
        }
        tiles.emplace_back(std::move(*thumb), e.label);
        std::cout << "wrote " << out.string() << "\n";
    }
    // What each operator does, pictured over the sample's colours.
    const std::pair<const char *, Operation> pictured[] = {
        {"plot-saturation.png", saturation(80)},
        {"plot-hue.png", hue(90, {600, 3000})},
        {"plot-bandpass.png", bandpass(470, 40, 2, table)},
    };
    std::vector<std::filesystem::path> plots;
    for (const auto &[file, operation] : pictured) {
        plots.push_back(dir / file);
        if (run_plot(operation, PlotRequest{{sample.string()},
                                            plots.back().string(),
                                            plot::PlotFormat::Png,
                                            false,
                                            options.threads,
                                            options.limits}) != 0)
            return 1;
        std::cout << "wrote " << plots.back().string() << "\n";
    }
    const std::filesystem::path sheet = dir / "contact-sheet.png";
    if (!write_sheet(sheet, tiles, plots, &error)) {
        std::cerr << "qova: " << sheet.string() << ": " << error << "\n";
        return 1;
    }
    std::cout << "wrote " << sheet.string() << " (original first)\n";
    return 0;
}

}  // namespace qova::tool
