// The EXIF orientation, all eight of them, through every path that touches
// it: carried as it stands to PNG, JPEG, TIFF and WebP (the pixels are never
// turned), kept alone by --strip unless it is "normal", and made the file's
// own rotation in HEIC, which libheif then shows as the orientation says; read
// back from HEIC, the pixels come upright. Expected pictures come from the
// orientation's definition, written out here.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/second_decoders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <tiffio.h>

namespace fs = std::filesystem;
using bytes::Decoded;

namespace {

constexpr int kW = 3, kH = 2;

// Six colours far apart, one per stored pixel.
const uint8_t kColours[kH][kW][3] = {{{250, 10, 10}, {10, 250, 10}, {10, 10, 250}},
                                     {{250, 250, 10}, {10, 250, 250}, {250, 10, 250}}};

// EXIF (big-endian) holding Make "Qova" and `orientation`.
std::string exif_block(int orientation) {
    std::string b("MM\0*\0\0\0\x08", 8);
    bytes::put16(b, 2);
    b += std::string("\x01\x0f\0\x02\0\0\0\x05\0\0\0\x26", 12);  // Make, ASCII, 5 bytes at 38
    b += std::string("\x01\x12\0\x03\0\0\0\x01", 8);             // Orientation, SHORT, one value
    bytes::put16(b, static_cast<uint32_t>(orientation));
    b += std::string(2, '\0');
    b += std::string(4, '\0');  // no next directory
    return b + std::string("Qova\0", 5);
}

// The orientation in a TIFF-structured block (either byte order); 0: none.
int orientation_in(const std::string &b) {
    if (b.size() < 8) return 0;
    const auto get = [&](std::size_t at, int n) { return bytes::tiff_word(b, at, n); };
    const uint32_t ifd = get(4, 4), entries = get(ifd, 2);
    for (uint32_t e = 0; e < entries; ++e) {
        const std::size_t at = ifd + 2 + 12 * e;
        if (get(at, 2) == 0x0112) return static_cast<int>(get(at + 8, 2));
    }
    return 0;
}

// The orientation an output holds, found by its own container's rules.
int output_orientation(const std::string &file, const std::string &format, const fs::path &path) {
    if (format == "png") {
        const auto exif = bytes::chunks_of(bytes::png_chunks(file), "eXIf");
        return exif.empty() ? 0 : orientation_in(exif[0]);
    }
    if (format == "jpg") {
        const auto exif = bytes::segments_of(bytes::jpeg_segments(file), 0xE1, std::string("Exif\0\0", 6));
        return exif.empty() ? 0 : orientation_in(exif[0]);
    }
    if (format == "webp") {
        const std::string exif = bytes::riff_chunk(file, "EXIF");
        return exif.empty() ? 0 : orientation_in(exif);
    }
    // TIFF: the tag of the image's own directory, "normal" when absent.
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    uint16_t orientation = 0;
    if (tif && TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation) != 1) orientation = 0;
    if (tif) TIFFClose(tif);
    return orientation;
}

// Where the stored pixel shown at (x, y) comes from, by the orientation's definition.
std::pair<int, int> stored_for_shown(int orientation, int x, int y) {
    switch (orientation) {
    case 2: return {kW - 1 - x, y};           // mirrored left to right
    case 3: return {kW - 1 - x, kH - 1 - y};  // turned 180
    case 4: return {x, kH - 1 - y};           // mirrored top to bottom
    case 5: return {y, x};                    // transposed
    case 6: return {y, kH - 1 - x};           // turned 90 clockwise
    case 7: return {kW - 1 - y, kH - 1 - x};  // transversed
    case 8: return {kW - 1 - y, x};           // turned 90 anticlockwise
    default: return {x, y};
    }
}

// Checks that `d` shows the stored picture as `orientation` says, within
// `tolerance` levels (the colours lie hundreds apart).
void expect_shown(const Decoded &d, int orientation, int tolerance = 2) {
    const bool turned = orientation >= 5;
    ASSERT_EQ(d.width, turned ? kH : kW);
    ASSERT_EQ(d.height, turned ? kW : kH);
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x) {
            const auto [sx, sy] = stored_for_shown(orientation, x, y);
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(d.at(x, y, k), kColours[sy][sx][k], tolerance)
                    << "shown " << x << "," << y << " channel " << k;
        }
}

std::string input_png(int orientation) {
    std::vector<std::string> rows;
    for (const auto &row : kColours) {
        std::string r;
        for (const auto &px : row) r.append(reinterpret_cast<const char *>(px), 3);
        rows.push_back(r);
    }
    return bytes::png_file(kW, kH, 8, 2, rows, bytes::png_chunk("eXIf", exif_block(orientation)));
}

TEST(Orientation, EveryValueThroughEveryPath) {
    TempDir dir;
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const fs::path in = dir.write("in.png", input_png(o));
        const auto run = [&](const std::string &options, const fs::path &input, const std::string &name) {
            const fs::path out = dir.path() / name;
            fs::remove(out);
            const ToolRun r =
                run_qova("saturation --strength 0 " + options + " " + quoted(input) + " -o " + quoted(out), dir.path());
            EXPECT_EQ(r.exit_code, 0) << r.err;
            return out;
        };
        for (const std::string format : {"png", "jpg", "tif", "webp"}) {
            // Carried as it stands; the pixels stay as stored.
            const fs::path out = run("--lossless --quality 100", in, "out." + format);
            const std::string file = read_text(out);
            EXPECT_EQ(output_orientation(file, format, out), o) << format;
            expect_shown(second::decode_any(file), 1, format == "jpg" ? 60 : 2);
            // --strip keeps it alone, unless it is "normal".
            const fs::path stripped = run("--strip --quality 100", in, "stripped." + format);
            const int normal = format == "tif" ? 1 : 0;  // TIFF's absent tag means "normal"
            EXPECT_EQ(output_orientation(read_text(stripped), format, stripped), o == 1 ? normal : o)
                << format << " stripped";
        }
        // HEIC: the orientation becomes the file's own rotation, which
        // libheif applies; read back, the pixels come upright.
        const fs::path heic = run("--lossless", in, "out.heic");
        expect_shown(second::decode_any(read_text(heic)), o);
        const fs::path back = run("", heic, "back.png");
        const std::string png = read_text(back);
        expect_shown(bytes::decode(png), o);
        EXPECT_EQ(output_orientation(png, "png", back), 1);
    }
}

}  // namespace
