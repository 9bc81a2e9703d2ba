// TIFF through the tool, checked independently: inputs built byte by byte
// with values worked out here, outputs decoded by stb_image (PNG) or by
// libtiff's own strip decoding (TIFF, whose differencing and deflate the
// writer does itself).
#include "support/codec_io.h"
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace fs = std::filesystem;
namespace codecs = qova::codecs;
using bytes::Decoded;
using bytes::tiff_bytes;
using bytes::tiff_long;
using bytes::tiff_short;
using bytes::TiffPage;

namespace {

std::string raw8(const std::vector<int> &samples) { return std::string(samples.begin(), samples.end()); }

// The tool's output for `input`, with saturation unchanged, as PNG.
Decoded decoded_through_tool(const TempDir &dir, const std::string &input, std::string *err = nullptr) {
    const fs::path in = dir.write("in.tif", input), out = dir.path() / "out.png";
    fs::remove(out);
    const ToolRun run = run_qova("saturation --strength 0 " + quoted(in) + " -o " + quoted(out), dir.path());
    if (err) *err = run.err;
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run.exit_code == 0 ? bytes::decode(read_text(out)) : Decoded{};
}

struct ReadCase {
    const char *what;
    std::string file;
    int channels;
    std::vector<uint16_t> samples;  // as the PNG output holds them
};

TEST(Tiff, ReadsEachLayoutToKnownValues) {
    using bytes::tiff_basics;
    using bytes::tiff_file;
    std::vector<ReadCase> cases;
    {
        TiffPage p{tiff_basics(2, 1, 8, 3, 2, 1), {raw8({10, 20, 30, 200, 100, 0})}};
        cases.push_back({"8-bit RGB", tiff_file({p}), 3, {10, 20, 30, 200, 100, 0}});
    }
    {
        // 0x1234 stored big-endian is 12 34, little-endian 34 12.
        TiffPage p{tiff_basics(2, 1, 16, 3, 2, 1),
                   {std::string("\x12\x34\x56\x78\x9A\xBC\x00\x01\xFF\x00\x80\x80", 12)}};
        cases.push_back(
            {"16-bit RGB, big-endian", tiff_file({p}, true), 3, {0x1234, 0x5678, 0x9ABC, 0x0001, 0xFF00, 0x8080}});
        cases.push_back(
            {"16-bit RGB, little-endian", tiff_file({p}), 3, {0x3412, 0x7856, 0xBC9A, 0x0100, 0x00FF, 0x8080}});
    }
    {
        // 10 pixels of 1 bit, white is zero: 1011 0010 01(00 0000) padded to a byte.
        TiffPage p{tiff_basics(10, 2, 1, 1, 0, 2), {std::string("\xB2\x40\x00\x00", 4)}};
        cases.push_back(
            {"1-bit grey, white is zero", tiff_file({p}), 1, {0,   255, 0,   0,   255, 255, 0,   255, 255, 0,
                                                              255, 255, 255, 255, 255, 255, 255, 255, 255, 255}});
        // The same marked as separate planes: one plane is the image itself.
        p.entries.push_back(tiff_short(284, {2}));
        cases.push_back(
            {"1-bit grey, one separate plane", tiff_file({p}), 1, {0,   255, 0,   0,   255, 255, 0,   255, 255, 0,
                                                                   255, 255, 255, 255, 255, 255, 255, 255, 255, 255}});
    }
    {
        // 4-bit grey 0x0F, 0x73: 0, 15, 7, 3 spread to 8 bits (x 17).
        TiffPage p{tiff_basics(3, 1, 4, 1, 1, 1), {std::string("\x0F\x73", 2)}};
        cases.push_back({"4-bit grey", tiff_file({p}), 1, {0, 255, 119}});
    }
    {
        // 2-bit palette: indices 3, 0, 1, 2; the colour map holds all reds,
        // then greens, then blues, 16 bits each.
        TiffPage p{tiff_basics(4, 1, 2, 1, 3, 1), {std::string("\xC6", 1)}};
        p.entries.push_back(bytes::TiffEntry{320, 3, {100, 200, 300, 65535, 1, 2, 3, 4, 0, 0, 0, 40000}, {}});
        cases.push_back({"2-bit palette", tiff_file({p}), 3, {65535, 4, 40000, 100, 1, 0, 200, 2, 0, 300, 3, 0}});
    }
    {
        // Associated alpha: colours divided by alpha, rounded: 100 * 255 / 128 = 199.2.
        TiffPage p{tiff_basics(2, 1, 8, 4, 2, 1), {raw8({100, 50, 0, 128, 40, 40, 40, 0})}};
        p.entries.push_back(tiff_short(338, {1}));
        cases.push_back({"associated alpha", tiff_file({p}), 4, {199, 100, 0, 128, 0, 0, 0, 0}});
        p.entries.back() = tiff_short(338, {2});
        cases.push_back({"unassociated alpha", tiff_file({p}), 4, {100, 50, 0, 128, 40, 40, 40, 0}});
    }
    {
        // Separate planes, a row a strip: both rows of red first, then green, then blue.
        TiffPage p{tiff_basics(2, 2, 8, 3, 2, 1),
                   {raw8({1, 2}), raw8({3, 4}), raw8({11, 12}), raw8({13, 14}), raw8({21, 22}), raw8({23, 24})}};
        p.entries.push_back(tiff_short(284, {2}));
        cases.push_back({"separate planes", tiff_file({p}), 3, {1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24}});
        // 16 bits, big-endian, a plane a strip: 0x0102 0x0304, 0x1112 0x1314, 0x2122 0x2324.
        TiffPage wide{tiff_basics(2, 1, 16, 3, 2, 1),
                      {raw8({1, 2, 3, 4}), raw8({17, 18, 19, 20}), raw8({33, 34, 35, 36})}};
        wide.entries.push_back(tiff_short(284, {2}));
        cases.push_back(
            {"separate 16-bit planes", tiff_file({wide}, true), 3, {0x0102, 0x1112, 0x2122, 0x0304, 0x1314, 0x2324}});
    }
    {
        // 20 x 2 grey in two 16 x 16 tiles: value x + 100 y, tile padding 255.
        std::string left(256, '\xFF'), right(256, '\xFF');
        std::vector<uint16_t> expected;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 20; ++x) {
                (x < 16 ? left : right)[static_cast<std::size_t>(y * 16 + x % 16)] = static_cast<char>(x + 100 * y);
                expected.push_back(static_cast<uint16_t>(x + 100 * y));
            }
        std::vector<bytes::TiffEntry> entries = tiff_basics(20, 2, 8, 1, 1, 2);
        entries.erase(entries.end() - 1);  // tiles have no rows per strip
        entries.push_back(tiff_long(322, {16}));
        entries.push_back(tiff_long(323, {16}));
        cases.push_back({"tiles", tiff_file({TiffPage{entries, {left, right}, true}}), 1, expected});
    }
    for (const ReadCase &c : cases) {
        const ReadBack r = read_back(c.file);
        ASSERT_TRUE(r.error.empty()) << c.what << ": " << r.error;
        EXPECT_EQ(r.image.channels, c.channels) << c.what;
        EXPECT_EQ(r.image.samples, c.samples) << c.what;
    }
}

TEST(Tiff, RefusesWhatItCannotHoldByName) {
    using bytes::tiff_basics;
    using bytes::tiff_file;
    const TiffPage rgb{tiff_basics(1, 1, 8, 3, 2, 1), {raw8({1, 2, 3})}};
    TiffPage floats{tiff_basics(1, 1, 32, 3, 2, 1), {std::string(12, '\0')}};
    floats.entries.push_back(tiff_short(339, {3, 3, 3}));
    TiffPage signed_samples = rgb;
    signed_samples.entries.push_back(tiff_short(339, {2, 2, 2}));
    const TiffPage cmyk{tiff_basics(1, 1, 8, 4, 5, 1), {raw8({1, 2, 3, 4})}};
    const TiffPage lab{tiff_basics(1, 1, 8, 3, 8, 1), {raw8({1, 2, 3})}};
    const TiffPage twelve_bits{tiff_basics(2, 1, 12, 1, 1, 1), {raw8({1, 2, 3})}};
    TiffPage reduced = rgb;
    reduced.entries.push_back(tiff_long(254, {1}));  // a thumbnail: a page, but not an image of its own
    const struct {
        std::string file, message;
    } cases[] = {
        {tiff_file({floats}), "in.tif: TIFF with floating-point samples is not supported"},
        {tiff_file({signed_samples}), "in.tif: TIFF with signed samples is not supported"},
        {tiff_file({cmyk}), "in.tif: TIFF with CMYK is not supported"},
        {tiff_file({lab}), "in.tif: TIFF with CIE L*a*b* is not supported"},
        {tiff_file({twelve_bits}), "in.tif: TIFF with 12-bit samples is not supported"},
        {tiff_file({rgb, rgb, rgb}), "in.tif: multi-page TIFF (3 pages): only single images can be processed"},
    };
    TempDir dir;
    for (const auto &c : cases) {
        const fs::path in = dir.write("in.tif", c.file);
        const ToolRun run =
            run_qova("hue --strength 10 " + quoted(in) + " -o " + quoted(dir.path() / "out.png"), dir.path());
        EXPECT_EQ(run.exit_code, 1) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out.png"));
    }
    const Decoded first = decoded_through_tool(dir, tiff_file({rgb, reduced}));
    EXPECT_EQ(first.samples, (std::vector<uint16_t>{1, 2, 3})) << "a reduced copy after the image is no second page";
}

TEST(Tiff, DamagedFilesFailInOneLine) {
    using bytes::tiff_basics;
    using bytes::tiff_file;
    const std::string good = tiff_file({TiffPage{tiff_basics(4, 4, 8, 3, 2, 4), {std::string(48, '\x40')}}});
    std::string beyond_end = good;  // the strip's offset pointed past the file's end
    const std::size_t offsets = good.find(std::string("\x11\x01\x04\x00\x01\x00\x00\x00", 8));
    ASSERT_NE(offsets, std::string::npos);
    beyond_end.replace(offsets + 8, 4, std::string("\x00\x00\x00\x7F", 4));
    const struct {
        const char *what;
        std::string file, message;
    } cases[] = {
        {"cut inside the directory", good.substr(0, good.size() - 20),
         "in.tif: damaged or truncated TIFF: its directory cannot be read (libtiff: "},
        {"strip beyond the end", beyond_end, "in.tif: damaged or truncated TIFF image data (libtiff: "},
        {"gigantic size", tiff_file({TiffPage{tiff_basics(1000000, 1000000, 8, 3, 2, 1), {"x"}}}),
         "in.tif: image of 1000000 x 1000000 pixels is above the limit of 1000000000 pixels"},
        {"header only", std::string("II*\0\x08\0\0\0", 8),
         "in.tif: damaged or truncated TIFF: its directory cannot be read (libtiff: "},
    };
    TempDir dir;
    for (const auto &c : cases) {
        const fs::path in = dir.write("in.tif", c.file);
        const ToolRun run =
            run_qova("saturation --strength 10 " + quoted(in) + " -o " + quoted(dir.path() / "out.tif"), dir.path());
        EXPECT_EQ(run.exit_code, 1) << c.what;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.what << "\n" << run.err;
        EXPECT_EQ(run.err.find("TIFFFetch"), std::string::npos) << "libtiff's function names stay out: " << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out.tif")) << c.what;
    }
}

// ---- Writing -------------------------------------------------------------------

// A TIFF opened by libtiff with its samples decoded strip by strip.
struct TiffOut {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, predictor = 0;
    std::vector<uint16_t> values;
    TIFF *tif = nullptr;
    explicit TiffOut(const fs::path &path) {
        tif = TIFFOpen(path.c_str(), "r");
        if (!tif) return;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
        std::vector<uint8_t> strip(static_cast<std::size_t>(TIFFStripSize(tif)));
        for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
            if (n < 0) return;
            for (tmsize_t i = 0; i < n; i += bits / 8) {
                uint16_t v = strip[static_cast<std::size_t>(i)];
                if (bits == 16) std::memcpy(&v, &strip[static_cast<std::size_t>(i)], 2);
                values.push_back(v);
            }
        }
    }
    ~TiffOut() {
        if (tif) TIFFClose(tif);
    }
};

TEST(Tiff, WrittenStripsDecodeToTheInputsValues) {
    // 3 x 150 rows: three strips of 64, 64 and 22 rows, with values that
    // change along each row (what differencing must undo) and wrap at 8 bits.
    const struct { int depth, channels; } layouts[] = {{8, 3}, {16, 3}, {8, 2}, {16, 4}, {8, 1}};
    TempDir dir;
    for (const auto &l : layouts) {
        std::vector<uint16_t> expected;
        for (uint32_t y = 0; y < 150; ++y) {
            std::vector<uint16_t> row;
            for (uint32_t i = 0; i < 3 * static_cast<uint32_t>(l.channels); ++i)
                row.push_back(static_cast<uint16_t>((y * 977 + i * 40503) % (l.depth == 8 ? 256 : 65536)));
            if (l.channels == 2 || l.channels == 4)
                for (std::size_t i = static_cast<std::size_t>(l.channels) - 1; i < row.size();
                     i += static_cast<std::size_t>(l.channels))
                    row[i] = l.depth == 8 ? 255 : 65535;  // opaque, so nothing is composited
            expected.insert(expected.end(), row.begin(), row.end());
        }
        codecs::RasterInfo info;
        info.width = 3;
        info.height = 150;
        info.channels = l.channels;
        info.bit_depth = l.depth;
        std::string error;
        const std::string file = write_through(codecs::FileFormat::Tiff, info, expected, {}, &error);
        ASSERT_FALSE(file.empty()) << error;
        const TiffOut t(dir.write("out.tif", file));
        ASSERT_TRUE(t.tif);
        EXPECT_EQ(t.width, 3u);
        EXPECT_EQ(t.height, 150u);
        EXPECT_EQ(t.bits, l.depth);
        EXPECT_EQ(t.samples, l.channels);
        EXPECT_EQ(t.photometric, l.channels <= 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        EXPECT_EQ(t.compression, COMPRESSION_ADOBE_DEFLATE);
        EXPECT_EQ(t.predictor, PREDICTOR_HORIZONTAL);
        EXPECT_EQ(TIFFNumberOfStrips(t.tif), 3u);
        EXPECT_EQ(t.values, expected) << l.depth << "-bit, " << l.channels << " channels";
    }
}

TEST(Tiff, MetadataCarriedBothWays) {
    using bytes::tiff_basics;
    using bytes::tiff_file;
    const std::string icc = bytes::icc_profile();
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>tiff</x:xmpmeta>";
    TiffPage p{tiff_basics(1, 1, 8, 3, 2, 1), {raw8({9, 8, 7})}};
    p.entries.push_back(tiff_bytes(700, 1, xmp));
    p.entries.push_back(tiff_bytes(34675, 7, icc));
    p.entries.push_back(tiff_short(274, {6}));  // rotated a quarter turn
    TempDir dir;
    const fs::path in = dir.write("in.tif", tiff_file({p}));

    // Into PNG: the profile, XMP and orientation in their PNG places.
    const fs::path png = dir.path() / "out.png";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(png), dir.path()).exit_code, 0);
    const auto chunks = bytes::png_chunks(read_text(png));
    ASSERT_EQ(bytes::chunks_of(chunks, "iCCP").size(), 1u);
    const std::string iccp = bytes::chunks_of(chunks, "iCCP")[0];
    EXPECT_EQ(bytes::inflated(iccp.substr(iccp.find('\0') + 2)), icc);
    ASSERT_EQ(bytes::chunks_of(chunks, "iTXt").size(), 1u);
    EXPECT_NE(bytes::chunks_of(chunks, "iTXt")[0].find(xmp), std::string::npos);
    ASSERT_EQ(bytes::chunks_of(chunks, "eXIf").size(), 1u);

    // Into TIFF again: libtiff finds each tag as it was.
    const fs::path tif = dir.path() / "out.tif";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(tif), dir.path()).exit_code, 0);
    const TiffOut t(tif);
    ASSERT_TRUE(t.tif);
    uint32_t count = 0;
    void *data = nullptr;
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_ICCPROFILE, &count, &data), 1);
    EXPECT_EQ(std::string(static_cast<const char *>(data), count), icc);
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_XMLPACKET, &count, &data), 1);
    EXPECT_EQ(std::string(static_cast<const char *>(data), count), xmp);
    uint16_t orientation = 0;
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_ORIENTATION, &orientation), 1);
    EXPECT_EQ(orientation, 6);
}

TEST(Tiff, ResolutionFromPngInTiffUnits) {
    // 3780 pixels a metre is 37.8 a centimetre.
    std::string phys;
    bytes::put32(phys, 3780);
    bytes::put32(phys, 7560);
    phys += '\x01';
    TempDir dir;
    const fs::path in = dir.write("in.png", bytes::png_file(1, 1, 8, 2, {"abc"}, bytes::png_chunk("pHYs", phys)));
    const fs::path out = dir.path() / "out.tif";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(out), dir.path()).exit_code, 0);
    const TiffOut t(out);
    ASSERT_TRUE(t.tif);
    float x = 0, y = 0;
    uint16_t unit = 0;
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_XRESOLUTION, &x), 1);
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_YRESOLUTION, &y), 1);
    ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_RESOLUTIONUNIT, &unit), 1);
    EXPECT_FLOAT_EQ(x, 37.8f);
    EXPECT_FLOAT_EQ(y, 75.6f);
    EXPECT_EQ(unit, RESUNIT_CENTIMETER);
}

TEST(Tiff, WrittenWholeThroughAPipe) {
    // libtiff seeks back while writing, which a pipe cannot do.
    TempDir dir;
    const fs::path in = dir.write("in.png", bytes::png_file(2, 1, 8, 2, {raw8({1, 2, 3, 4, 5, 6})}));
    const fs::path out = dir.path() / "out.tif";
    const std::string command = "'" + std::string(QOVA_TOOL) + "' saturation --strength 0 --format tif " + quoted(in) +
                                " -o - | cat > " + quoted(out);
    ASSERT_EQ(std::system(command.c_str()), 0);
    const TiffOut t(out);
    ASSERT_TRUE(t.tif);
    EXPECT_EQ(t.values, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
}

// ---- EXIF ----------------------------------------------------------------------

// An EXIF block, big-endian: the first directory holds Make "Acme" and leads
// to an EXIF directory (ExposureTime 1/250, ISO 400) and a GPS one
// (GPSLatitudeRef "N"). Offsets worked out by hand.
std::string exif_block() {
    std::string b("MM\0*", 4);
    const auto entry = [&b](uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
        bytes::put16(b, tag);
        bytes::put16(b, type);
        bytes::put32(b, count);
        bytes::put32(b, value);
    };
    bytes::put32(b, 8);
    bytes::put16(b, 3);  // at 8, 42 bytes
    entry(271, 2, 5, 50);
    entry(34665, 4, 1, 56);
    entry(34853, 4, 1, 94);
    bytes::put32(b, 0);
    b += std::string("Acme\0\0", 6);  // at 50, padded to 56
    bytes::put16(b, 2);               // at 56, 30 bytes
    entry(33434, 5, 1, 86);
    entry(34855, 3, 1, 400u << 16);  // a SHORT sits in the first two bytes
    bytes::put32(b, 0);
    bytes::put32(b, 1);  // at 86: 1/250
    bytes::put32(b, 250);
    bytes::put16(b, 1);          // at 94
    entry(1, 2, 2, 0x4E000000);  // "N\0"
    bytes::put32(b, 0);
    return b;
}

// The value bytes of `tag` in a classic TIFF structure (an EXIF block or a
// file), in the directory reached from the first through `via` pointer tags.
std::string tiff_value(const std::string &b, std::vector<uint16_t> via, uint16_t tag) {
    const auto get = [&](std::size_t at, int n) { return bytes::tiff_word(b, at, n); };
    static const uint32_t kSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    std::size_t ifd = get(4, 4);
    via.push_back(tag);
    for (std::size_t step = 0; step < via.size(); ++step) {
        const std::size_t count = get(ifd, 2);
        std::size_t found = 0;
        for (std::size_t i = 0; i < count && !found; ++i)
            if (get(ifd + 2 + 12 * i, 2) == via[step]) found = ifd + 2 + 12 * i;
        if (!found) return "";
        if (step + 1 < via.size()) {
            ifd = get(found + 8, 4);
            continue;
        }
        const std::size_t n = kSize[get(found + 2, 2)] * get(found + 4, 4);
        return n <= 4 ? b.substr(found + 8, n) : b.substr(get(found + 8, 4), n);
    }
    return "";
}

TEST(Tiff, ExifDirectoriesCarriedBothWays) {
    TempDir dir;
    std::vector<uint8_t> grey(8 * 8 * 3, 128);
    const std::string jpeg =
        bytes::jpeg_with(bytes::stb_jpeg(8, 8, grey, 90), {{0xE1, std::string("Exif\0\0", 6) + exif_block()}});
    const fs::path in = dir.write("in.jpg", jpeg), tif = dir.path() / "out.tif";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(tif), dir.path()).exit_code, 0);

    // libtiff finds each value where EXIF puts it, in the file's own byte order.
    {
        const TiffOut t(tif);
        ASSERT_TRUE(t.tif);
        char *make = nullptr;
        ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_MAKE, &make), 1);
        EXPECT_STREQ(make, "Acme");
        uint64_t exif = 0, gps = 0;
        ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_EXIFIFD, &exif), 1);
        ASSERT_EQ(TIFFGetField(t.tif, TIFFTAG_GPSIFD, &gps), 1);
        ASSERT_TRUE(TIFFReadEXIFDirectory(t.tif, exif));
        float exposure = 0;  // libtiff hands rationals over as float
        ASSERT_EQ(TIFFGetField(t.tif, EXIFTAG_EXPOSURETIME, &exposure), 1);
        EXPECT_FLOAT_EQ(exposure, 1.0f / 250);
        uint16_t iso_count = 0;
        uint16_t *iso = nullptr;
        ASSERT_EQ(TIFFGetField(t.tif, EXIFTAG_ISOSPEEDRATINGS, &iso_count, &iso), 1);
        ASSERT_EQ(iso_count, 1);
        EXPECT_EQ(iso[0], 400);
        ASSERT_TRUE(TIFFReadGPSDirectory(t.tif, gps));
        char *ref = nullptr;
        ASSERT_EQ(TIFFGetField(t.tif, GPSTAG_LATITUDEREF, &ref), 1);
        EXPECT_STREQ(ref, "N");
    }

    // And back out of the TIFF into a JPEG's EXIF block.
    const fs::path jpg = dir.path() / "out.jpg";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(tif) + " -o " + quoted(jpg), dir.path()).exit_code, 0);
    const auto blocks = bytes::segments_of(bytes::jpeg_segments(read_text(jpg)), 0xE1, std::string("Exif\0\0", 6));
    ASSERT_EQ(blocks.size(), 1u);
    const std::string &b = blocks[0];
    EXPECT_EQ(tiff_value(b, {}, 271), std::string("Acme\0", 5));
    const bool big = b[0] == 'M';
    EXPECT_EQ(tiff_value(b, {34665}, 33434),
              big ? std::string("\0\0\0\1\0\0\0\xFA", 8) : std::string("\1\0\0\0\xFA\0\0\0", 8));
    EXPECT_EQ(tiff_value(b, {34665}, 34855), big ? std::string("\x01\x90", 2) : std::string("\x90\x01", 2));
    EXPECT_EQ(tiff_value(b, {34853}, 1), std::string("N\0", 2));
    EXPECT_EQ(tiff_value(b, {}, 273), "") << "no strip offsets of the TIFF in its EXIF";
}

TEST(Tiff, IptcKeptWhole) {
    // Keyword "brushes", city "Paris": 22 bytes, padded to six LONGs.
    const std::string iptc = std::string(
                                 "\x1C\x02\x19\x00\x07"
                                 "brushes"
                                 "\x1C\x02\x5A\x00\x05"
                                 "Paris",
                                 22) +
                             std::string(2, '\0');
    std::vector<uint32_t> longs;  // as a little-endian file holds them
    for (std::size_t i = 0; i < iptc.size(); i += 4)
        longs.push_back(static_cast<uint8_t>(iptc[i]) | uint32_t{static_cast<uint8_t>(iptc[i + 1])} << 8 |
                        uint32_t{static_cast<uint8_t>(iptc[i + 2])} << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(iptc[i + 3])) << 24);
    TiffPage p{bytes::tiff_basics(1, 1, 8, 3, 2, 1), {raw8({9, 8, 7})}};
    p.entries.push_back(tiff_long(33723, longs));
    TempDir dir;
    const fs::path in = dir.write("in.tif", bytes::tiff_file({p}));

    const fs::path jpg = dir.path() / "out.jpg", tif = dir.path() / "out.tif";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(jpg), dir.path()).exit_code, 0);
    const auto app13 =
        bytes::segments_of(bytes::jpeg_segments(read_text(jpg)), 0xED, std::string("Photoshop 3.0\0", 14));
    ASSERT_EQ(app13.size(), 1u);
    EXPECT_NE(app13[0].find(iptc.substr(0, 22)), std::string::npos) << "every dataset reaches the JPEG";

    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(tif), dir.path()).exit_code, 0);
    EXPECT_EQ(tiff_value(read_text(tif), {}, 33723), iptc) << "all 24 bytes written, not a quarter of them";
}

}  // namespace
