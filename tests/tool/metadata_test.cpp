// Metadata carried through the tool, byte for byte, in each direction between
// PNG and JPEG: inputs built with known bytes, outputs taken apart by hand.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;
using bytes::png_chunk;

namespace {

const std::string kExif = std::string(
    "MM\0\x2A\0\0\0\x08"                  // big-endian TIFF header, IFD0 at 8
    "\0\x02"                              // two entries
    "\x01\x0F\0\x02\0\0\0\x05\0\0\0\x26"  // Make, ASCII, 5 bytes at 38
    "\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"  // Orientation, SHORT, 6 (rotate 90)
    "\0\0\0\0"                            // no next IFD
    "Qova\0",
    43);
const std::string kOrientationOnly =
    std::string("MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0", 26);
const std::string kXmp =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>Brushes</dc:title></rdf:Description></rdf:RDF>"
    "</x:xmpmeta><?xpacket end=\"w\"?>";
// IPTC datasets: record version 4, keyword "brushes", city "Paris".
const std::string kIptc = std::string(
    "\x1C\x02\x00\x00\x02\x00\x04"
    "\x1C\x02\x19\x00\x07"
    "brushes"
    "\x1C\x02\x5A\x00\x05"
    "Paris",
    29);
// The same as Photoshop image resource 0x0404, padded to an even length.
const std::string kResources = std::string("8BIM\x04\x04\0\0\0\0\0\x1D", 12) + kIptc + std::string(1, '\0');
const std::string kComments[] = {"first comment",
                                 "\xC3\xBCn\xC3\xAF"
                                 "code \xE2\x9C\x93"};
const std::string kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);

const std::string kIcc = bytes::icc_profile();

std::string be32(uint32_t v) {
    std::string s;
    bytes::put32(s, v);
    return s;
}

const std::string kPhysBytes = be32(2835) + be32(2835) + "\x01";  // 72 dpi: 2834.6 pixels per metre, rounded
const std::string kGamma = be32(100000);                          // linear samples, not sRGB's 45455
const std::string kChromaticities =
    be32(31270) + be32(32900) + be32(64000) + be32(33000) + be32(30000) + be32(60000) + be32(15000) + be32(6000);
const std::string kTitle = std::string("Title\0Brushes", 13);
const std::string kAuthor = std::string("Author\0\0\0fr\0Auteur\0\xC3\x89lise", 25);
const std::string kDescription = "Paint brushes in a pot";

std::string pixels_png(uint32_t side, bool many_colours, const std::string &before, const std::string &after = "") {
    std::vector<std::string> rows;
    for (uint32_t y = 0; y < side; ++y) {
        std::string row;
        for (uint32_t x = 0; x < side; ++x)  // every pixel its own colour, or all one
            for (const uint32_t v : {x * 12, y * 12, x * 7 + y * 3})
                row += static_cast<char>(many_colours ? v % 256 : 90);
        rows.push_back(row);
    }
    return bytes::png_file(side, side, 8, 2, rows, before, after);
}

// A PNG carrying every kind of metadata before its image data.
std::string metadata_png(bool many_colours) {
    const std::string iptc_hex = [] {
        std::string hex = "\niptc\n      29\n";
        for (const char byte : kIptc) {
            const auto c = static_cast<unsigned char>(byte);
            static const char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        return hex + "\n";
    }();
    const std::string before =
        png_chunk("gAMA", kGamma) + png_chunk("cHRM", kChromaticities) +
        png_chunk("iCCP", std::string("profile\0\0", 9) + bytes::deflated(kIcc)) + png_chunk("pHYs", kPhysBytes) +
        png_chunk("eXIf", kExif) + png_chunk("iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + kXmp) +
        png_chunk("zTXt", std::string("Raw profile type iptc\0\0", 23) + bytes::deflated(iptc_hex)) +
        png_chunk("tEXt", std::string("Comment\0", 8) + kComments[0]) +
        png_chunk("iTXt", std::string("Comment\0\0\0\0\0", 12) + kComments[1]) + png_chunk("tEXt", kTitle) +
        png_chunk("iTXt", kAuthor) +
        png_chunk("zTXt", std::string("Description\0\0", 13) + bytes::deflated(kDescription));
    return pixels_png(20, many_colours, before);
}

// A JPEG carrying every kind of metadata JPEG holds, at 72 dpi.
std::string metadata_jpeg() {
    std::vector<uint8_t> rgb(16 * 16 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 5 % 256);
    std::string jpeg = bytes::stb_jpeg(16, 16, rgb, 95);
    jpeg.replace(13, 5, std::string("\x01\x00\x48\x00\x48", 5));  // JFIF units and density
    return bytes::jpeg_with(jpeg, {{0xE1, std::string("Exif\0\0", 6) + kExif},
                                   {0xE1, kXmpSignature + kXmp},
                                   {0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + kIcc},
                                   {0xED, std::string("Photoshop 3.0\0", 14) + kResources},
                                   {0xFE, kComments[0]},
                                   {0xFE, kComments[1]}});
}

std::string run_to(const TempDir &dir, const std::string &input, const std::string &in_name,
                   const std::string &out_name, const std::string &options = "") {
    const fs::path in = dir.write(in_name, input), out = dir.path() / out_name;
    const ToolRun run =
        run_qova("saturation --strength 25 " + options + " " + quoted(in) + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "") << "no warnings";
    return read_text(out);
}

// The text after a zTXt or iCCP keyword and compression byte, inflated.
std::string inflated_after_keyword(const std::string &data) {
    return bytes::inflated(data.substr(data.find('\0') + 2));
}

std::vector<uint8_t> from_hex_profile(const std::string &text) {
    std::vector<uint8_t> out;
    const std::size_t start = text.find('\n', text.find('\n', 1) + 1) + 1;  // past the name and length lines
    int high = -1;
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// What every PNG output must hold, whatever the input.
void expect_png_holds_the_shared_kinds(const std::string &png, const std::string &from) {
    const std::vector<bytes::Chunk> chunks = bytes::png_chunks(png);
    EXPECT_EQ(bytes::chunks_of(chunks, "eXIf"), std::vector<std::string>{kExif}) << from;
    EXPECT_EQ(bytes::chunks_of(chunks, "pHYs"), std::vector<std::string>{kPhysBytes}) << from;
    const std::vector<std::string> profiles = bytes::chunks_of(chunks, "iCCP");
    ASSERT_EQ(profiles.size(), 1u) << from;
    EXPECT_EQ(inflated_after_keyword(profiles[0]), kIcc) << from;
    bool xmp = false, iptc = false, comment = false, unicode_comment = false;
    for (const std::string &t : bytes::chunks_of(chunks, "iTXt")) {
        xmp |= t == std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + kXmp;
        unicode_comment |= t == std::string("Comment\0\0\0\0\0", 12) + kComments[1];
    }
    for (const std::string &t : bytes::chunks_of(chunks, "zTXt"))
        if (t.rfind(std::string("Raw profile type iptc\0", 22), 0) == 0)
            iptc = from_hex_profile(inflated_after_keyword(t)) == std::vector<uint8_t>(kIptc.begin(), kIptc.end());
    for (const std::string &t : bytes::chunks_of(chunks, "tEXt"))
        comment |= t == std::string("Comment\0", 8) + kComments[0];
    EXPECT_TRUE(xmp) << from;
    EXPECT_TRUE(iptc) << from;
    EXPECT_TRUE(comment) << from;
    EXPECT_TRUE(unicode_comment) << from;
}

void expect_jpeg_holds_the_shared_kinds(const std::string &jpeg, const std::string &from) {
    const std::vector<bytes::Segment> s = bytes::jpeg_segments(jpeg);
    EXPECT_EQ(bytes::segments_of(s, 0xE1, std::string("Exif\0\0", 6)), std::vector<std::string>{kExif}) << from;
    EXPECT_EQ(bytes::segments_of(s, 0xE1, kXmpSignature), std::vector<std::string>{kXmp}) << from;
    EXPECT_EQ(bytes::segments_of(s, 0xE2, std::string("ICC_PROFILE\0\x01\x01", 14)), std::vector<std::string>{kIcc})
        << from;
    EXPECT_EQ(bytes::segments_of(s, 0xED, std::string("Photoshop 3.0\0", 14)), std::vector<std::string>{kResources})
        << from;
    EXPECT_EQ(bytes::segments_of(s, 0xFE), (std::vector<std::string>{kComments[0], kComments[1]})) << from;
    const std::vector<std::string> jfif = bytes::segments_of(s, 0xE0, std::string("JFIF\0", 5));
    ASSERT_EQ(jfif.size(), 1u) << from;
    EXPECT_EQ(jfif[0].substr(2, 5), std::string("\x01\x00\x48\x00\x48", 5)) << from << ": 72 dots per inch";
}

TEST(Metadata, EveryKindCarriedBetweenPngAndJpeg) {
    TempDir dir;
    const std::string jpeg = metadata_jpeg();
    for (const bool many : {true, false}) {  // the streamed path and the palette path
        const std::string png = metadata_png(many);
        const std::string label = many ? "many colours" : "few colours";
        const std::string png_to_png = run_to(dir, png, "in.png", "out.png");
        expect_png_holds_the_shared_kinds(png_to_png, "PNG to PNG, " + label);
        const std::vector<bytes::Chunk> chunks = bytes::png_chunks(png_to_png);
        EXPECT_EQ(chunks[0].data[9], many ? 2 : 3) << label << ": RGB or palette";
        EXPECT_EQ(bytes::chunks_of(chunks, "gAMA"), std::vector<std::string>{kGamma}) << label;
        EXPECT_EQ(bytes::chunks_of(chunks, "cHRM"), std::vector<std::string>{kChromaticities}) << label;
        EXPECT_TRUE(bytes::chunks_of(chunks, "sRGB").empty()) << label;
        const std::vector<std::string> text = bytes::chunks_of(chunks, "tEXt"), itxt = bytes::chunks_of(chunks, "iTXt");
        EXPECT_NE(std::find(text.begin(), text.end(), kTitle), text.end()) << label;
        EXPECT_NE(std::find(itxt.begin(), itxt.end(), kAuthor), itxt.end()) << label;
        bool description = false;
        for (const std::string &z : bytes::chunks_of(chunks, "zTXt"))
            description |=
                z.rfind(std::string("Description\0", 12), 0) == 0 && inflated_after_keyword(z) == kDescription;
        EXPECT_TRUE(description) << label;

        expect_jpeg_holds_the_shared_kinds(run_to(dir, png, "in.png", "out.jpg"), "PNG to JPEG, " + label);
    }
    expect_png_holds_the_shared_kinds(run_to(dir, jpeg, "in.jpg", "out.png"), "JPEG to PNG");
    const std::string jpeg_to_jpeg = run_to(dir, jpeg, "in.jpg", "out.jpg");
    expect_jpeg_holds_the_shared_kinds(jpeg_to_jpeg, "JPEG to JPEG");
    // And JPEG to PNG to JPEG gives the segments back as they were.
    expect_jpeg_holds_the_shared_kinds(run_to(dir, run_to(dir, jpeg, "in.jpg", "mid.png"), "mid.png", "back.jpg"),
                                       "JPEG to PNG to JPEG");
}

TEST(Metadata, StripKeepsTheProfileAndTheOrientationAlone) {
    TempDir dir;
    const std::vector<bytes::Chunk> chunks =
        bytes::png_chunks(run_to(dir, metadata_png(true), "in.png", "out.png", "--strip"));
    std::vector<std::string> types = bytes::chunk_types(chunks);
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"IDAT", "IEND", "IHDR", "cHRM", "eXIf", "gAMA", "iCCP"}));
    EXPECT_EQ(bytes::chunks_of(chunks, "eXIf"), std::vector<std::string>{kOrientationOnly});

    const std::vector<bytes::Segment> s =
        bytes::jpeg_segments(run_to(dir, metadata_jpeg(), "in.jpg", "out.jpg", "--strip"));
    EXPECT_EQ(bytes::segments_of(s, 0xE1), std::vector<std::string>{std::string("Exif\0\0", 6) + kOrientationOnly});
    EXPECT_EQ(bytes::segments_of(s, 0xE2, std::string("ICC_PROFILE\0\x01\x01", 14)), std::vector<std::string>{kIcc});
    EXPECT_TRUE(bytes::segments_of(s, 0xED).empty());
    EXPECT_TRUE(bytes::segments_of(s, 0xFE).empty());
}

TEST(Metadata, ChunksAfterTheImageDataAndOlderConventions) {
    TempDir dir;
    const std::string exif_hex = [] {
        std::string hex = "\nexif\n      49\n";  // "Exif\0\0" and the block, as older writers keep it
        for (const char byte : std::string("Exif\0\0", 6) + kExif) {
            const auto c = static_cast<unsigned char>(byte);
            static const char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        return hex + "\n";
    }();
    const struct {
        const char *what;
        std::string png;
    } cases[] = {
        {"after the image data", pixels_png(20, true, "", png_chunk("eXIf", kExif) + png_chunk("tEXt", kTitle))},
        {"as a raw profile",
         pixels_png(20, true,
                    png_chunk("zTXt", std::string("Raw profile type exif\0\0", 23) + bytes::deflated(exif_hex)) +
                        png_chunk("tEXt", kTitle))},
    };
    for (const auto &c : cases) {
        const std::vector<bytes::Chunk> chunks = bytes::png_chunks(run_to(dir, c.png, "in.png", "out.png"));
        EXPECT_EQ(bytes::chunks_of(chunks, "eXIf"), std::vector<std::string>{kExif}) << c.what;
        EXPECT_EQ(bytes::chunks_of(chunks, "tEXt"), std::vector<std::string>{kTitle}) << c.what;
        EXPECT_TRUE(bytes::chunks_of(chunks, "zTXt").empty()) << c.what << ": the raw profile is not kept twice";
        const std::vector<bytes::Segment> s = bytes::jpeg_segments(run_to(dir, c.png, "in.png", "out.jpg"));
        EXPECT_EQ(bytes::segments_of(s, 0xE1, std::string("Exif\0\0", 6)), std::vector<std::string>{kExif}) << c.what;
    }
}

TEST(Metadata, WhatAnOutputCannotHoldIsSaid) {
    TempDir dir;
    // A profile libpng refuses is left out of a PNG; the image is still written.
    std::vector<uint8_t> rgb(8 * 8 * 3, 77);
    std::string damaged = kIcc;
    damaged.replace(36, 4, "xxxx");  // not "acsp"
    const fs::path jpeg = dir.write(
        "damaged.jpg",
        bytes::jpeg_with(bytes::stb_jpeg(8, 8, rgb, 95), {{0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + damaged}}));
    const ToolRun damaged_run =
        run_qova("saturation --strength 5 " + quoted(jpeg) + " -o " + quoted(dir.path() / "out.png"), dir.path());
    EXPECT_EQ(damaged_run.exit_code, 0);
    EXPECT_NE(damaged_run.err.find("damaged.jpg: warning: left out of the PNG: profile 'ICC profile'"),
              std::string::npos)
        << damaged_run.err;
    EXPECT_TRUE(bytes::chunks_of(bytes::png_chunks(read_text(dir.path() / "out.png")), "iCCP").empty());

    const std::string big_exif = kExif + std::string(70000 - kExif.size(), '\0');
    const fs::path in = dir.write("big.png", pixels_png(20, true, png_chunk("eXIf", big_exif)));
    const ToolRun run =
        run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(dir.path() / "out.jpg"), dir.path());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "qova: " + in.string() +
                           ": warning: EXIF of 70000 bytes does not fit in a JPEG segment and was not written\n");
    EXPECT_TRUE(bytes::segments_of(bytes::jpeg_segments(read_text(dir.path() / "out.jpg")), 0xE1).empty());
}

}  // namespace
