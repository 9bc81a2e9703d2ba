// Pixel values through the tool, checked independently: inputs built byte by
// byte, outputs decoded by stb_image and compared with values written out
// here, so that faults which cancel out in a round trip through our own
// codecs still show.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace fs = std::filesystem;
using bytes::Decoded;

namespace {

// Runs the tool on `input` (bytes, written as in.<ext>) and returns the
// output file's bytes; the exit status must be 0.
std::string run_on(const TempDir &dir, const std::string &input, const std::string &in_name, const std::string &command,
                   const std::string &out_name) {
    const fs::path in = dir.write(in_name, input), out = dir.path() / out_name;
    fs::remove(out);
    const ToolRun run = run_qova(command + " " + quoted(in) + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 0) << command << "\n" << run.err;
    return read_text(out);
}

TEST(FileValues, SixteenBitByteOrderOnReadAndWrite) {
    TempDir dir;
    // Six pixels whose bytes differ, so a swap anywhere changes the values.
    const std::vector<uint16_t> row0 = {0x1234, 0x5678, 0x9ABC, 0x0102, 0x0304, 0x0506, 0xFFFF, 0x0000, 0x8001};
    const std::vector<uint16_t> row1 = {0x00FF, 0xFF00, 0x7FFF, 0x2000, 0x2000, 0x2000, 0xFEDC, 0xBA98, 0x7654};
    const std::string png = bytes::png_file(3, 2, 16, 2, {bytes::be16_row(row0), bytes::be16_row(row1)});

    const Decoded same = bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0", "out.png"));
    std::vector<uint16_t> both = row0;
    both.insert(both.end(), row1.begin(), row1.end());
    EXPECT_EQ(same.samples, both);

    // No saturation leaves each pixel at the mean of its three samples.
    const Decoded grey = bytes::decode(run_on(dir, png, "in.png", "saturation --strength -100", "out.png"));
    const std::vector<uint16_t> means = {22136, 772, 32768, 32767, 8192, 47768};
    ASSERT_EQ(grey.samples.size(), 18u);
    for (std::size_t p = 0; p < 6; ++p)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(grey.samples[p * 3 + static_cast<std::size_t>(k)], means[p]) << "pixel " << p;
}

// Flat 8 x 8 blocks of grey survive JPEG at quality 100 exactly: one
// coefficient each, no colour conversion.
std::vector<std::string> grey_blocks(const std::vector<std::vector<uint16_t>> &pixels, int depth) {
    std::vector<std::string> rows;
    for (int y = 0; y < 8; ++y) {
        std::vector<uint16_t> row;
        for (const auto &pixel : pixels)
            for (int x = 0; x < 8; ++x) row.insert(row.end(), pixel.begin(), pixel.end());
        rows.push_back(depth == 16 ? bytes::be16_row(row) : std::string(row.begin(), row.end()));
    }
    return rows;
}

TEST(FileValues, SixteenBitGreyNarrowedExactly) {
    TempDir dir;
    // round(v / 257), where v / 256 would give 255, 1, 128 and 19.
    const std::string png = bytes::png_file(32, 8, 16, 0, grey_blocks({{0xFF00}, {0x01FF}, {0x8000}, {0x13FF}}, 16));
    const Decoded out = bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0 --quality 100", "out.jpg"));
    ASSERT_EQ(out.channels, 1);
    const int expected[] = {254, 2, 128, 20};
    for (int block = 0; block < 4; ++block) EXPECT_EQ(out.at(block * 8 + 4, 4, 0), expected[block]) << block;
}

TEST(FileValues, SixteenBitsNarrowedForJpeg) {
    TempDir dir;
    // 16 x 8: two flat 8 x 8 blocks, which JPEG at quality 100 keeps to within a level.
    std::vector<std::string> rows;
    for (int y = 0; y < 8; ++y) {
        std::vector<uint16_t> row;
        for (int x = 0; x < 16; ++x) {
            const std::vector<uint16_t> px =
                x < 8 ? std::vector<uint16_t>{0x1234, 0x5678, 0x9ABC} : std::vector<uint16_t>{0xFF7F, 0x0080, 0x80C0};
            row.insert(row.end(), px.begin(), px.end());
        }
        rows.push_back(bytes::be16_row(row));
    }
    const std::string png = bytes::png_file(16, 8, 16, 2, rows);
    const Decoded out = bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0 --quality 100", "out.jpg"));
    // round(v x 255 / 65535)
    const int expected[2][3] = {{18, 86, 154}, {255, 0, 128}};
    for (int block = 0; block < 2; ++block)
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(out.at(block * 8 + 4, 4, k), expected[block][k], 1) << block;
}

// Every PNG layout at 8 and 16 bits through --strength 0, with the last
// column and the last row unlike the others; 8-bit images of a few colours
// take the palette path, the others the streamed one.
struct Layout {
    const char *name;
    int colour_type, channels, depth;
    uint32_t width, height;
};

TEST(FileValues, EveryLayoutKeepsEverySampleToTheLastColumnAndRow) {
    TempDir dir;
    const Layout layouts[] = {
        {"grey8", 0, 1, 8, 7, 5},         {"grey16", 0, 1, 16, 7, 5},   {"grey+alpha8", 4, 2, 8, 7, 5},
        {"grey+alpha16", 4, 2, 16, 7, 5}, {"rgb8 few", 2, 3, 8, 7, 5},  {"rgb8 many", 2, 3, 8, 23, 13},
        {"rgb16", 2, 3, 16, 7, 5},        {"rgba8 few", 6, 4, 8, 7, 5}, {"rgba8 many", 6, 4, 8, 23, 13},
        {"rgba16", 6, 4, 16, 7, 5},
    };
    for (const Layout &l : layouts) {
        // A distinct value for each sample, the last column and row set apart.
        const auto value = [&](uint32_t x, uint32_t y, int k) -> uint16_t {
            const bool edge = x + 1 == l.width || y + 1 == l.height;
            const uint32_t v = (x * 37 + y * 101 + static_cast<uint32_t>(k) * 53 + (edge ? 200 : 0)) % 256;
            return static_cast<uint16_t>(l.depth == 16 ? v * 257 + x + 1 : v);
        };
        std::vector<std::string> rows;
        std::vector<uint16_t> expected;
        for (uint32_t y = 0; y < l.height; ++y) {
            std::vector<uint16_t> row;
            for (uint32_t x = 0; x < l.width; ++x)
                for (int k = 0; k < l.channels; ++k) row.push_back(value(x, y, k));
            expected.insert(expected.end(), row.begin(), row.end());
            if (l.depth == 16) {
                rows.push_back(bytes::be16_row(row));
            } else {
                rows.emplace_back(row.begin(), row.end());
            }
        }
        const std::string png = bytes::png_file(l.width, l.height, l.depth, l.colour_type, rows);
        const Decoded out = bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0", "out.png"));
        EXPECT_EQ(out.channels, l.channels) << l.name;
        EXPECT_EQ(out.samples, expected) << l.name;
    }
}

TEST(FileValues, PaletteAndLowBitGreyExpandedAndKeptSmall) {
    TempDir dir;
    // Palette of four colours, the second half transparent, the third clear.
    const std::string plte =
        bytes::png_chunk("PLTE", std::string("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\x0A\x14\x1E", 12));
    const std::string trns = bytes::png_chunk("tRNS", std::string("\xFF\x80\x00", 3));
    const std::string palette_png = bytes::png_file(4, 1, 2, 3, {std::string("\x1B", 1)}, plte + trns);  // 0 1 2 3
    const Decoded pal = bytes::decode(run_on(dir, palette_png, "in.png", "saturation --strength 0", "out.png"));
    EXPECT_EQ(pal.samples, (std::vector<uint16_t>{255, 0, 0, 255, 0, 255, 0, 128, 0, 0, 255, 0, 10, 20, 30, 255}));
    const std::vector<bytes::Chunk> chunks = bytes::png_chunks(read_text(dir.path() / "out.png"));
    EXPECT_EQ(chunks[0].data.substr(8, 2), std::string("\x02\x03", 2)) << "2-bit palette";

    const struct {
        int depth;
        std::string row;
        std::vector<uint16_t> expected;
    } greys[] = {
        {1, std::string("\xA0", 1), {255, 0, 255, 0}},        // 1 0 1 0
        {2, std::string("\x1B", 1), {0, 85, 170, 255}},       // 0 1 2 3
        {4, std::string("\x0F\x79", 2), {0, 255, 119, 153}},  // 0 15 7 9
    };
    for (const auto &g : greys) {
        const std::string png = bytes::png_file(4, 1, g.depth, 0, {g.row});
        const std::string out = run_on(dir, png, "in.png", "hue --strength 50", "out.png");
        EXPECT_EQ(bytes::decode(out).samples, g.expected) << g.depth << "-bit";
        EXPECT_EQ(static_cast<int>(bytes::png_chunks(out)[0].data[8]), g.depth) << "stays at " << g.depth << " bits";
    }
}

TEST(FileValues, WeightOneGivesBackEveryEightBitSample) {
    // The band filter sees 8-bit samples times 257, and its result comes back
    // divided by 257: at weight 1 every sample returns as it was.
    TempDir dir;
    for (const uint32_t width : {5u, 40u}) {  // a few colours and many
        std::vector<std::string> rows;
        for (uint32_t y = 0; y < 9; ++y) {
            std::string row;
            for (uint32_t x = 0; x < width; ++x)
                for (uint32_t k = 0; k < 3; ++k) row += static_cast<char>((x * 29 + y * 71 + k * 113) % 256);
            rows.push_back(row);
        }
        const std::string png = bytes::png_file(width, 9, 8, 2, rows);
        const Decoded in = bytes::decode(png);
        for (const char *mode : {"", " --no-linear"}) {
            const std::string command = std::string("bandpass --centre 550 --bandwidth 100000") + mode;
            EXPECT_EQ(bytes::decode(run_on(dir, png, "in.png", command, "out.png")).samples, in.samples)
                << command << ", width " << width;
        }
    }
}

TEST(FileValues, GreyInGreyOutForEachFormat) {
    TempDir dir;
    const std::string grey8 = bytes::png_file(9, 9, 8, 0, std::vector<std::string>(9, std::string(9, '\x50')));
    const std::string grey16 = bytes::png_file(3, 1, 16, 0, {bytes::be16_row({1, 40000, 65535})});
    const std::string grey_alpha = bytes::png_file(2, 1, 8, 4, {std::string("\x50\xFF\x50\x00", 4)});

    EXPECT_EQ(
        bytes::png_chunks(run_on(dir, grey8, "in.png", "bandpass --centre 500 --bandwidth 40", "out.png"))[0].data[9],
        0)
        << "grey PNG";
    const std::string wide = run_on(dir, grey16, "in.png", "saturation --strength 50", "out.png");
    EXPECT_EQ(bytes::png_chunks(wide)[0].data.substr(8, 2), std::string("\x10\x00", 2)) << "16-bit grey PNG";
    EXPECT_EQ(bytes::decode(wide).samples, (std::vector<uint16_t>{1, 40000, 65535}));
    EXPECT_EQ(bytes::jpeg_sampling(run_on(dir, grey8, "in.png", "saturation --strength 50", "out.jpg")).size(), 1u)
        << "one-component JPEG";
    EXPECT_EQ(bytes::jpeg_sampling(run_on(dir, grey_alpha, "in.png", "saturation --strength 5", "out.jpg")).size(), 1u)
        << "grey over a grey background stays grey";
    EXPECT_EQ(
        bytes::jpeg_sampling(run_on(dir, grey_alpha, "in.png", "saturation --strength 5 --background red", "out.jpg"))
            .size(),
        3u)
        << "grey over red needs colour";
}

TEST(FileValues, TransparencyCompositedOverTheBackground) {
    TempDir dir;
    // Three flat 8 x 8 blocks: half-transparent orange, clear blue, opaque green.
    const uint8_t blocks[3][4] = {{200, 100, 0, 128}, {0, 0, 255, 0}, {10, 200, 30, 255}};
    std::vector<std::string> rows;
    for (int y = 0; y < 8; ++y) {
        std::string row;
        for (int x = 0; x < 24; ++x) row.append(reinterpret_cast<const char *>(blocks[x / 8]), 4);
        rows.push_back(row);
    }
    const std::string png = bytes::png_file(24, 8, 8, 6, rows);
    // (c a + background (255 - a)) / 255, rounded.
    const struct {
        const char *option;
        int expected[3][3];
    } cases[] = {
        {"", {{227, 177, 127}, {255, 255, 255}, {10, 200, 30}}},
        {"--background black", {{100, 50, 0}, {0, 0, 0}, {10, 200, 30}}},
        {"--background '#ff0000'", {{227, 50, 0}, {255, 0, 0}, {10, 200, 30}}},
    };
    for (const auto &c : cases) {
        const std::string command = std::string("saturation --strength 0 --quality 100 ") + c.option;
        const Decoded out = bytes::decode(run_on(dir, png, "in.png", command, "out.jpg"));
        ASSERT_EQ(out.channels, 3);
        for (int b = 0; b < 3; ++b)
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(out.at(b * 8 + 4, 4, k), c.expected[b][k], 2) << c.option << " block " << b;
    }
}

TEST(FileValues, GreyTransparencyCompositedExactly) {
    TempDir dir;
    const std::string png = bytes::png_file(24, 8, 8, 4, grey_blocks({{200, 128}, {200, 0}, {200, 255}}, 8));
    // (v a + background (255 - a)) / 255, rounded; grey JPEG keeps flat blocks exactly.
    const struct {
        const char *option;
        int expected[3];
    } cases[] = {
        {"", {227, 255, 200}},
        {"--background black", {100, 0, 200}},
        {"--background '#404040'", {132, 64, 200}},
    };
    for (const auto &c : cases) {
        const std::string command = std::string("saturation --strength 0 --quality 100 ") + c.option;
        const Decoded out = bytes::decode(run_on(dir, png, "in.png", command, "out.jpg"));
        ASSERT_EQ(out.channels, 1) << c.option;
        for (int b = 0; b < 3; ++b) EXPECT_EQ(out.at(b * 8 + 4, 4, 0), c.expected[b]) << c.option << " block " << b;
    }
    // Over a colour, grey becomes RGB.
    const Decoded red =
        bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0 --quality 100 --background red", "out.jpg"));
    ASSERT_EQ(red.channels, 3);
    const int over_red[3][3] = {{227, 100, 100}, {255, 0, 0}, {200, 200, 200}};
    for (int b = 0; b < 3; ++b)
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(red.at(b * 8 + 4, 4, k), over_red[b][k], 2) << "block " << b;
}

TEST(FileValues, InterlacedPngReadInFull) {
    // Adam7: seven passes over sub-images, each stored as its own rows.
    TempDir dir;
    const uint32_t width = 11, height = 70;  // more rows than one part
    const auto sample = [](uint32_t x, uint32_t y, uint32_t k) {
        return static_cast<char>((x * 23 + y * 41 + k * 97) % 256);
    };
    const uint32_t start_x[] = {0, 4, 0, 2, 0, 1, 0}, start_y[] = {0, 0, 4, 0, 2, 0, 1};
    const uint32_t step_x[] = {8, 8, 4, 4, 2, 2, 1}, step_y[] = {8, 8, 8, 4, 4, 2, 2};
    std::string raw;
    for (int pass = 0; pass < 7; ++pass)
        for (uint32_t y = start_y[pass]; y < height; y += step_y[pass]) {
            std::string row;
            for (uint32_t x = start_x[pass]; x < width; x += step_x[pass])
                for (uint32_t k = 0; k < 3; ++k) row += sample(x, y, k);
            if (!row.empty()) raw += '\0' + row;
        }
    std::string ihdr;
    bytes::put32(ihdr, width);
    bytes::put32(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x01", 5);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + bytes::png_chunk("IHDR", ihdr) +
                            bytes::png_chunk("IDAT", bytes::deflated(raw)) + bytes::png_chunk("IEND", "");
    std::vector<uint16_t> expected;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t k = 0; k < 3; ++k) expected.push_back(static_cast<uint8_t>(sample(x, y, k)));
    EXPECT_EQ(bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0", "out.png")).samples, expected);
}

TEST(FileValues, EveryRowFilterUnfiltered) {
    // Two rows: the first stored as it is, the second with each of the four
    // filters, its bytes worked out beforehand (Python, the PNG rules).
    TempDir dir;
    const struct {
        const char *name;
        int colour_type, depth;
        std::size_t bytes;
        const char *first, *second, *filtered[4];  // filtered: Sub, Up, Average, Paeth
    } layouts[] = {
        {"grey8",
         0,
         8,
         5,
         "\x0A\xC8\x1E\xFA\x00",
         "\xFF\x01\x80\x4D\x09",
         {"\xFF\x02\x7F\xCD\xBC", "\xF5\x39\x62\x53\x09", "\xFA\x1E\x71\x90\xE3", "\xF5\x02\x7F\x53\x09"}},
        {"ga8",
         4,
         8,
         6,
         "\x0A\xC8\x1E\xFA\x00\x07",
         "\xFF\x01\x80\x4D\x09\x5A",
         {"\xFF\x01\x81\x4C\x89\x0D", "\xF5\x39\x62\x53\x09\x53", "\xFA\x9D\xF2\xD0\xC9\x30",
          "\xF5\x39\x81\x4C\x89\x53"}},
        {"rgb8",
         2,
         8,
         9,
         "\x0A\xC8\x1E\xFA\x00\x07\x63\x62\x61",
         "\xFF\x01\x80\x4D\x09\x5A\x03\xF0\x3C",
         {"\xFF\x01\x80\x4E\x08\xDA\xB6\xE7\xE2", "\xF5\x39\x62\x53\x09\x53\xA0\x8E\xDB",
          "\xFA\x9D\x71\x51\x09\x17\xAB\xBB\xDF", "\xF5\x39\x62\x4E\x09\xDA\xB6\x8E\xDB"}},
        {"rgba8",
         6,
         8,
         8,
         "\x0A\xC8\x1E\xFA\x00\x07\x63\x62",
         "\xFF\x01\x80\x4D\x09\x5A\x03\xF0",
         {"\xFF\x01\x80\x4D\x0A\x59\x83\xA3", "\xF5\x39\x62\x53\x09\x53\xA0\x8E", "\xFA\x9D\x71\xD0\x8A\x56\x92\x99",
          "\xF5\x39\x62\x53\x0A\x59\x83\xA3"}},
        {"rgb16",
         2,
         16,
         12,
         "\x12\x34\xAB\xCD\xFF\x00\x01\x02\x80\x7F\x55\xAA",
         "\xFE\xDC\x00\x01\x7F\x80\xC3\x3C\x10\x20\xEE\x11",
         {"\xFE\xDC\x00\x01\x7F\x80\xC5\x60\x10\x1F\x6F\x91", "\xEC\xA8\x55\x34\x80\x80\xC2\x3A\x90\xA1\x99\x67",
          "\xF5\xC2\xAB\x9B\x00\x80\x44\xCD\xD0\xE0\x84\x7C", "\xEC\xA8\x55\x34\x80\x80\xC5\x60\x10\x1F\x99\x67"}},
        {"rgba16",
         6,
         16,
         16,
         "\x12\x34\xAB\xCD\xFF\x00\x01\x02\x80\x7F\x55\xAA\x00\x01\x02\x03",
         "\xFE\xDC\x00\x01\x7F\x80\xC3\x3C\x10\x20\xEE\x11\x09\x08\x07\x06",
         {"\xFE\xDC\x00\x01\x7F\x80\xC3\x3C\x12\x44\xEE\x10\x8A\x88\x44\xCA",
          "\xEC\xA8\x55\x34\x80\x80\xC2\x3A\x90\xA1\x99\x67\x09\x07\x05\x03",
          "\xF5\xC2\xAB\x9B\x00\x80\xC3\x3B\x51\x73\xC4\xBC\xCA\xC8\xA5\xE7",
          "\xEC\xA8\x55\x34\x80\x80\xC2\x3A\x12\x44\xEE\x10\x09\x88\x44\xCA"}},
    };
    for (const auto &l : layouts) {
        const int channels = l.colour_type == 0 ? 1 : l.colour_type == 4 ? 2 : l.colour_type == 2 ? 3 : 4;
        const std::size_t sample_bytes = static_cast<std::size_t>(l.depth / 8);
        const uint32_t width = static_cast<uint32_t>(l.bytes / sample_bytes / static_cast<std::size_t>(channels));
        const std::string first(l.first, l.bytes), second(l.second, l.bytes);
        std::vector<uint16_t> expected;
        for (const std::string &row : {first, second})
            for (std::size_t i = 0; i < l.bytes; i += sample_bytes)
                expected.push_back(static_cast<uint16_t>(sample_bytes == 2 ? uint8_t(row[i]) << 8 | uint8_t(row[i + 1])
                                                                           : uint8_t(row[i])));
        for (int type = 1; type <= 4; ++type) {
            std::string ihdr;
            bytes::put32(ihdr, width);
            bytes::put32(ihdr, 2);
            ihdr += static_cast<char>(l.depth);
            ihdr += static_cast<char>(l.colour_type);
            ihdr += std::string(3, '\0');
            const std::string raw =
                std::string(1, '\0') + first + static_cast<char>(type) + std::string(l.filtered[type - 1], l.bytes);
            const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + bytes::png_chunk("IHDR", ihdr) +
                                    bytes::png_chunk("IDAT", bytes::deflated(raw)) + bytes::png_chunk("IEND", "");
            EXPECT_EQ(bytes::decode(run_on(dir, png, "in.png", "saturation --strength 0", "out.png")).samples, expected)
                << l.name << ", filter " << type;
        }
    }
}

TEST(FileValues, FewColoursComeOutAsTheStreamedPathWouldGiveThem) {
    // The same 40 colours alone (palette path) and beside 300 others (streamed):
    // each colour must come out the same either way.
    TempDir dir;
    const auto colour = [](uint32_t i, uint32_t k) { return static_cast<char>((i * 67 + k * 151 + i * i * k) % 256); };
    std::vector<std::string> few_rows, many_rows;
    for (uint32_t y = 0; y < 4; ++y) {
        std::string row;
        for (uint32_t x = 0; x < 10; ++x)
            for (uint32_t k = 0; k < 3; ++k) row += colour(y * 10 + x, k);
        few_rows.push_back(row);
        many_rows.push_back(row);
    }
    for (uint32_t y = 0; y < 30; ++y) {
        std::string row;
        for (uint32_t x = 0; x < 10; ++x)
            for (uint32_t k = 0; k < 3; ++k) row += static_cast<char>((x * 25 + k * 90 + y * 7) % 256 ^ (y * 8));
        many_rows.push_back(row);
    }
    const std::string few = bytes::png_file(10, 4, 8, 2, few_rows), many = bytes::png_file(10, 34, 8, 2, many_rows);
    for (const char *command :
         {"saturation --strength 60", "hue --strength -70 --poles 45,200", "bandpass --centre 520 --bandwidth 80"}) {
        const Decoded a = bytes::decode(run_on(dir, few, "few.png", command, "few-out.png"));
        const Decoded b = bytes::decode(run_on(dir, many, "many.png", command, "many-out.png"));
        ASSERT_EQ(a.channels, 3);
        ASSERT_EQ(b.channels, 3);
        EXPECT_EQ(a.samples, std::vector<uint16_t>(b.samples.begin(), b.samples.begin() + 120)) << command;
        EXPECT_EQ(bytes::png_chunks(read_text(dir.path() / "few-out.png"))[0].data[9], 3) << "palette";
        EXPECT_EQ(bytes::png_chunks(read_text(dir.path() / "many-out.png"))[0].data[9], 2) << "RGB";
    }
}

TEST(FileValues, JpegSubsamplingFollowsTheInput) {
    TempDir dir;
    std::vector<uint8_t> rgb(32 * 16 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 % 256);
    const std::string jpeg444 = bytes::stb_jpeg(32, 16, rgb, 95), jpeg420 = bytes::stb_jpeg(32, 16, rgb, 80);
    std::vector<std::string> rows(16, std::string(96, '\x40'));
    const std::string png = bytes::png_file(32, 16, 8, 2, rows);
    using Factors = std::vector<std::pair<int, int>>;
    const Factors s444 = {{1, 1}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}}, s420 = {{2, 2}, {1, 1}, {1, 1}};
    const struct {
        const std::string *input;
        const char *name, *options;
        Factors expected;
    } cases[] = {
        {&jpeg444, "in.jpg", "", s444},
        {&jpeg444, "in.jpg", "--quality 60", s444},
        {&jpeg420, "in.jpg", "--quality 95", s420},
        {&jpeg420, "in.jpg", "--subsampling 444", s444},
        {&png, "in.png", "", s444},
        {&png, "in.png", "--quality 89", s420},
        {&png, "in.png", "--quality 90", s444},
        {&png, "in.png", "--subsampling 422", s422},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bytes::jpeg_sampling(
                      run_on(dir, *c.input, c.name, std::string("hue --strength 10 ") + c.options, "out.jpg")),
                  c.expected)
            << c.name << " " << c.options;
    }
    // A 4:2:2 input stays 4:2:2.
    const std::string jpeg422 = run_on(dir, png, "in.png", "hue --strength 10 --subsampling 422", "422.jpg");
    EXPECT_EQ(bytes::jpeg_sampling(run_on(dir, jpeg422, "in.jpg", "hue --strength 10", "out.jpg")), s422);
}

TEST(FileValues, JpegLackingOnlyItsEndIsReadWithAWarning) {
    TempDir dir;
    std::vector<uint8_t> rgb(48 * 40 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 13 % 251);
    const std::string whole = bytes::stb_jpeg(48, 40, rgb, 90);
    ASSERT_EQ(whole.substr(whole.size() - 2), "\xFF\xD9");
    const std::string reference = run_on(dir, whole, "whole.jpg", "saturation --strength 20", "out.png");

    const fs::path no_end = dir.write("no-end.jpg", whole.substr(0, whole.size() - 2));
    ToolRun run =
        run_qova("saturation --strength 20 " + quoted(no_end) + " -o " + quoted(dir.path() / "out.png"), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("no-end.jpg: warning: the file lacks its end marker; the image data is whole"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(read_text(dir.path() / "out.png"), reference) << "the same pixels as the whole file";

    for (const std::size_t cut : {whole.size() - 40, whole.size() / 2}) {
        fs::remove(dir.path() / "out.png");
        const fs::path cut_file = dir.write("cut.jpg", whole.substr(0, cut));
        run = run_qova("saturation --strength 20 " + quoted(cut_file) + " -o " + quoted(dir.path() / "out.png"),
                       dir.path());
        EXPECT_EQ(run.exit_code, 1) << cut;
        EXPECT_NE(run.err.find("cut.jpg: file ends early (truncated JPEG)"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out.png"));
    }
}

TEST(FileValues, AnimatedPngRefusedByName) {
    TempDir dir;
    std::string actl, fctl0, fctl1, fdat;
    bytes::put32(actl, 2);  // frames
    bytes::put32(actl, 0);  // plays
    const auto frame_control = [](uint32_t sequence) {
        std::string c;
        for (uint32_t v : {sequence, 2u, 1u, 0u, 0u}) bytes::put32(c, v);  // sequence, size, offset
        bytes::put16(c, 1);
        bytes::put16(c, 10);        // delay
        c += std::string(2, '\0');  // dispose, blend
        return c;
    };
    fctl0 = frame_control(0);
    fctl1 = frame_control(1);
    bytes::put32(fdat, 2);
    fdat += bytes::deflated(std::string("\0\x10\x20", 3));
    const std::string row(2, '\x30');
    const std::string animated =
        bytes::png_file(2, 1, 8, 0, {row}, bytes::png_chunk("acTL", actl) + bytes::png_chunk("fcTL", fctl0),
                        bytes::png_chunk("fcTL", fctl1) + bytes::png_chunk("fdAT", fdat));
    const fs::path in = dir.write("moving.png", animated);
    const ToolRun run =
        run_qova("saturation --strength 10 " + quoted(in) + " -o " + quoted(dir.path() / "out.png"), dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("moving.png: animated PNG (2 frames): only still images can be processed"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir.path() / "out.png"));

    // One frame that is the image itself is a still image.
    std::string one = actl;
    one[3] = 1;
    const std::string still =
        bytes::png_file(2, 1, 8, 0, {row}, bytes::png_chunk("acTL", one) + bytes::png_chunk("fcTL", fctl0));
    EXPECT_EQ(bytes::decode(run_on(dir, still, "still.png", "saturation --strength 10", "out.png")).samples,
              (std::vector<uint16_t>{0x30, 0x30}));
}

}  // namespace
