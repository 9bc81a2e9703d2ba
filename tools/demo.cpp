#include "demo.h"

#include "codecs/raster.h"
#include "glyphs.h"
#include "output_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>

namespace qova::tool {

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
constexpr int kLabelScale = 2;
constexpr int32_t kLabelHeight = 7 * kLabelScale + 12;
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

void draw_text(Picture &sheet, int32_t x, int32_t y, const std::string &text) {
    for (char raw : text) {
        const Glyph *g = find_glyph(static_cast<char>(std::toupper(static_cast<unsigned char>(raw))));
        if (g) {
            for (int gy = 0; gy < 7; ++gy)
                for (int gx = 0; gx < 5; ++gx) {
                    if (!(g->rows[gy] & (16 >> gx))) continue;
                    for (int sy = 0; sy < kLabelScale; ++sy)
                        for (int sx = 0; sx < kLabelScale; ++sx) {
                            const int32_t px = x + gx * kLabelScale + sx, py = y + gy * kLabelScale + sy;
                            if (px < sheet.width && py < sheet.height) std::fill_n(sheet.at(px, py), 3, 230);
                        }
                }
        }
        x += 6 * kLabelScale;
    }
}

bool write_sheet(const std::filesystem::path &path, const std::vector<std::pair<Picture, std::string>> &tiles,
                 std::string *error) {
    int32_t height = 0;
    for (const auto &t : tiles) height = std::max(height, t.first.height);
    Picture sheet;
    sheet.width = static_cast<int32_t>(tiles.size()) * (kThumbWidth + kGap) + kGap;
    sheet.height = height + kLabelHeight + kGap;
    sheet.rgb.assign(static_cast<std::size_t>(sheet.width) * static_cast<std::size_t>(sheet.height) * 3, 32);
    int32_t x0 = kGap;
    for (const auto &[thumb, label] : tiles) {
        draw_text(sheet, x0, 6, label);
        for (int32_t y = 0; y < thumb.height; ++y)
            std::copy_n(thumb.at(0, y), static_cast<std::size_t>(thumb.width) * 3, sheet.at(x0, kLabelHeight + y));
        x0 += kThumbWidth + kGap;
    }

    const auto out = OutputFile::create(path, error);
    if (!out) return false;
    codecs::RasterInfo info;
    info.width = sheet.width;
    info.height = sheet.height;
    info.channels = 3;
    info.bit_depth = 8;
    info.metadata.srgb_intent = 0;
    const auto writer = codecs::open_png_writer(out->stream(), info, error);
    if (!writer) return false;
    const std::vector<uint16_t> wide(sheet.rgb.begin(), sheet.rgb.end());
    if (!writer->write_rows(sheet.height, wide.data()) || !writer->finish()) {
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
    const std::filesystem::path sheet = dir / "contact-sheet.png";
    if (!write_sheet(sheet, tiles, &error)) {
        std::cerr << "qova: " << sheet.string() << ": " << error << "\n";
        return 1;
    }
    std::cout << "wrote " << sheet.string() << " (original first)\n";
    return 0;
}

}  // namespace qova::tool
