// The tool's output pixels over a corpus of inputs (every format, 8 and 16
// bits, alpha, palette, few colours, CMYK, wide gamut) x every operator x
// every output format, against a manifest of their digests. The inputs are
// made here by other encoders or byte by byte; the outputs are decoded by the
// second decoders. A change in any output pixel shows as the cases that moved.
//
// QOVA_CORPUS_WRITE=1 rewrites the manifest in the source tree instead of
// checking it, after a deliberate change of output or of a codec library.
#include "support/encoders.h"
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/libjpeg_file.h"
#include "support/second_decoders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstdlib>
#include <map>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 40, kHeight = 24;

// A sample of a smooth hue sweep with noise, greys every fifth pixel, and
// the extremes 0 and max in the first row.
uint16_t sample(int x, int y, int k, uint32_t max) {
    if (y == 0 && x < 6) return static_cast<uint16_t>((x & 1) ? max : 0);
    if ((x + y * kWidth) % 5 == 0 && k < 3) k = 0;
    const uint32_t hash = (static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
                           static_cast<uint32_t>(k) * 83492791u) *
                          2654435761u;
    const double phase = (x * 9.0 + y * 4.0 + k * 120.0) * 3.14159265358979 / 180.0;
    const double wave = 0.5 + 0.45 * std::sin(phase);
    const double v = wave * max + (static_cast<double>(hash >> 24) - 128) / 256.0 * max / 8;
    return static_cast<uint16_t>(std::clamp(v, 0.0, static_cast<double>(max)));
}

// A row of `channels` samples at `depth` as PNG, TIFF (big-endian here) or
// encoders take them; alpha falls from opaque at the left to clear at the right.
std::vector<uint16_t> row_samples(int y, int channels, int depth) {
    const uint32_t max = (1u << depth) - 1;
    const bool alpha = channels == 2 || channels == 4;
    std::vector<uint16_t> row;
    for (int x = 0; x < kWidth; ++x)
        for (int k = 0; k < channels; ++k)
            row.push_back(alpha && k == channels - 1
                              ? static_cast<uint16_t>(max - max * static_cast<uint32_t>(x) / (kWidth - 1))
                              : sample(x, y, channels < 3 ? 0 : k, max));
    return row;
}

std::string stored_row(const std::vector<uint16_t> &samples, int depth) {
    if (depth == 16) return bytes::be16_row(samples);
    return std::string(samples.begin(), samples.end());
}

std::string png(int depth, int colour_type, int channels, const std::string &chunks = "") {
    std::vector<std::string> rows;
    for (int y = 0; y < kHeight; ++y) rows.push_back(stored_row(row_samples(y, channels, depth), depth));
    return bytes::png_file(kWidth, kHeight, depth, colour_type, rows, chunks);
}

// A palette of 7 colours, two of them partly transparent.
std::string palette_png() {
    const std::string plte("\xff\x00\x00\x00\xff\x00\x20\x40\xc0\xff\xff\xff\x00\x00\x00\x80\x80\x80\xc0\x60\x10", 21);
    std::vector<std::string> rows;
    for (int y = 0; y < kHeight; ++y) {
        std::string row;
        for (int x = 0; x < kWidth; ++x) row += static_cast<char>((x / 6 + y / 5) % 7);
        rows.push_back(row);
    }
    return bytes::png_file(kWidth, kHeight, 8, 3, rows,
                           bytes::png_chunk("PLTE", plte) + bytes::png_chunk("tRNS", std::string("\x40\xff\x90", 3)));
}

// Ten colours in RGB: the few-colour path.
std::string few_colour_png() {
    std::vector<std::string> rows;
    for (int y = 0; y < kHeight; ++y) {
        std::string row;
        for (int x = 0; x < kWidth; ++x) {
            const int c = (x / 4 + y / 3) % 10;
            for (int k = 0; k < 3; ++k) row += static_cast<char>((c * 53 + k * 97) % 256);
        }
        rows.push_back(row);
    }
    return bytes::png_file(kWidth, kHeight, 8, 2, rows);
}

// Display P3 primaries with the sRGB curve, as Little CMS builds it.
std::string wide_gamut_profile() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    const double parameters[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, parameters);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return bytes;
}

std::string jpeg(int components, J_COLOR_SPACE space) {
    return libjpeg_file(
        kWidth, kHeight, components, space, [](jpeg_compress_struct &c) { jpeg_set_quality(&c, 90, TRUE); },
        [&](int y, std::vector<JSAMPLE> &row) {
            const std::vector<uint16_t> s = row_samples(y, components, 8);
            row.assign(s.begin(), s.end());
        });
}

std::string tiff(int depth, int channels) {
    bytes::TiffPage page;
    page.entries =
        bytes::tiff_basics(kWidth, kHeight, static_cast<uint32_t>(depth), static_cast<uint32_t>(channels), 2, kHeight);
    if (channels == 4) page.entries.push_back(bytes::tiff_short(338, {2}));  // unassociated alpha
    std::string strip;
    for (int y = 0; y < kHeight; ++y) strip += stored_row(row_samples(y, channels, depth), depth);
    page.pieces = {strip};
    return bytes::tiff_file({page}, true);
}

std::string webp() {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < kHeight; ++y)
        for (uint16_t v : row_samples(y, 4, 8)) rgba.push_back(static_cast<uint8_t>(v));
    return encoders::lossless_webp(kWidth, kHeight, rgba);
}

std::string heif(int bits, bool alpha, bool hevc) {
    encoders::HeifInput in;
    in.width = kWidth;
    in.height = kHeight;
    in.bits = bits;
    in.alpha = alpha;
    in.hevc = hevc;
    for (int y = 0; y < kHeight; ++y) {
        const std::vector<uint16_t> row = row_samples(y, alpha ? 4 : 3, bits);
        in.samples.insert(in.samples.end(), row.begin(), row.end());
    }
    return encoders::lossless_heif(in);
}

std::vector<std::pair<std::string, std::string>> corpus() {
    const std::string p3 = bytes::png_chunk("iCCP", std::string("P3\0\0", 4) + bytes::deflated(wide_gamut_profile()));
    std::string gamma, chromaticities;  // Adobe RGB's primaries, gamma 2.2
    bytes::put32(gamma, 45455);
    for (uint32_t v : {31270u, 32900u, 64000u, 33000u, 21000u, 71000u, 15000u, 6000u}) bytes::put32(chromaticities, v);
    return {
        {"rgb8.png", png(8, 2, 3)},
        {"rgb16.png", png(16, 2, 3)},
        {"grey8.png", png(8, 0, 1)},
        {"grey-alpha8.png", png(8, 4, 2)},
        {"grey-alpha16.png", png(16, 4, 2)},
        {"rgba8.png", png(8, 6, 4)},
        {"rgba16.png", png(16, 6, 4)},
        {"palette.png", palette_png()},
        {"few-colours.png", few_colour_png()},
        {"p3-16.png", png(16, 2, 3, p3)},
        {"gama-chrm.png", png(8, 2, 3, bytes::png_chunk("gAMA", gamma) + bytes::png_chunk("cHRM", chromaticities))},
        {"rgb.jpg", jpeg(3, JCS_RGB)},
        {"grey.jpg", jpeg(1, JCS_GRAYSCALE)},
        {"cmyk.jpg", jpeg(4, JCS_CMYK)},
        {"rgb16.tif", tiff(16, 3)},
        {"rgba8.tif", tiff(8, 4)},
        {"rgba.webp", webp()},
        {"rgb10.heic", heif(10, false, true)},
        {"rgba8.avif", heif(8, true, false)},
    };
}

const std::vector<std::pair<std::string, std::string>> kOperations = {
    {"saturation+40", "saturation --strength 40"},
    {"hue+30", "hue --strength 30"},
    {"hue-50-poles", "hue --strength -50 --poles 30,210.5"},
    {"bandpass-520", "bandpass --centre 520 --bandwidth 60 --order 2"},
    {"bandpass-600-stop-stored", "bandpass --centre 600 --bandwidth 40 --order -2 --no-linear --background '#336699'"},
};

const std::vector<std::string> kOutputs = {"png", "jpg", "tif", "webp", "heic", "avif"};

// FNV-1a over the layout and the samples.
std::string digest(const bytes::Decoded &d) {
    uint64_t h = 14695981039346656037u;
    const auto mix = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            h ^= (v >> (8 * i)) & 0xFF;
            h *= 1099511628211u;
        }
    };
    mix(static_cast<uint32_t>(d.width));
    mix(static_cast<uint32_t>(d.height));
    mix(static_cast<uint32_t>(d.channels));
    for (uint16_t v : d.samples) mix(v);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

fs::path manifest_path() { return fs::path(QOVA_TESTS_SOURCE_DIR) / "corpus_pixels.txt"; }

std::map<std::string, std::string> read_manifest() {
    std::map<std::string, std::string> entries;
    std::ifstream in(manifest_path());
    std::string key, value;
    while (in >> key >> value) entries[key] = value;
    return entries;
}

TEST(Corpus, EveryOutputPixelAsRecorded) {
    TempDir dir;
    std::map<std::string, std::string> got;
    for (const auto &[name, file] : corpus()) {
        const fs::path in = dir.write(name, file);
        for (const auto &[op_name, op] : kOperations) {
            const fs::path folder = dir.path() / op_name;
            fs::create_directories(folder);
            for (const std::string &format : kOutputs) {
                const fs::path out = folder / (name + "." + format);
                const ToolRun run = run_qova(op + " " + quoted(in) + " -o " + quoted(out), dir.path());
                const std::string key = name + "/" + op_name + "/" + format;
                if (run.exit_code != 0) {
                    got[key] = "failed";
                    ADD_FAILURE() << key << ": " << run.err;
                    continue;
                }
                got[key] = digest(second::decode_any(read_text(out)));
            }
        }
    }
    if (std::getenv("QOVA_CORPUS_WRITE")) {
        std::ofstream out(manifest_path());
        for (const auto &[key, value] : got) out << key << ' ' << value << '\n';
        GTEST_SKIP() << "manifest written: " << manifest_path();
    }
    const std::map<std::string, std::string> recorded = read_manifest();
    ASSERT_FALSE(recorded.empty()) << "no manifest at " << manifest_path();
    int moved = 0;
    for (const auto &[key, value] : got) {
        const auto it = recorded.find(key);
        if (it != recorded.end() && it->second == value) continue;
        ++moved;
        ADD_FAILURE() << key << ": " << value << ", recorded " << (it == recorded.end() ? "nothing" : it->second);
    }
    EXPECT_EQ(got.size(), recorded.size());
    EXPECT_EQ(moved, 0) << "of " << got.size() << " outputs";
}

}  // namespace
