// WebP through the tool: inputs made here by libwebp's encoder from known
// pixels (lossless, so every value is known), outputs decoded by libwebp's
// decoder and taken apart chunk by chunk, never through the tool's own codec.
#include "support/codec_io.h"
#include "support/encoders.h"
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>

namespace fs = std::filesystem;
namespace codecs = qova::codecs;
using bytes::Decoded;
using encoders::lossless_webp;

namespace {

struct Pixels {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

Pixels decode_rgba(const std::string &file) {
    Pixels p;
    uint8_t *data = WebPDecodeRGBA(reinterpret_cast<const uint8_t *>(file.data()), file.size(), &p.width, &p.height);
    if (!data) return p;
    p.rgba.assign(data, data + static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 4);
    WebPFree(data);
    return p;
}

// 5 x 3 pixels, each sample different, the alpha column varied.
std::vector<uint8_t> known_rgba(bool opaque) {
    std::vector<uint8_t> v;
    for (int i = 0; i < 15; ++i) {
        v.push_back(static_cast<uint8_t>(i * 17));
        v.push_back(static_cast<uint8_t>(255 - i * 13));
        v.push_back(static_cast<uint8_t>((i * 71) % 256));
        v.push_back(opaque ? 255 : static_cast<uint8_t>(1 + i * 18));  // never 0: the encoder clears colours there
    }
    return v;
}

TEST(Webp, ReadsKnownPixelsWithAndWithoutAlpha) {
    for (const bool opaque : {true, false}) {
        const std::vector<uint8_t> rgba = known_rgba(opaque);
        const ReadBack r = read_back(lossless_webp(5, 3, rgba));
        ASSERT_TRUE(r.error.empty()) << r.error;
        const Decoded &d = r.image;
        ASSERT_EQ(d.channels, opaque ? 3 : 4);
        std::vector<uint16_t> expected;
        for (std::size_t i = 0; i < rgba.size(); ++i)
            if (!opaque || i % 4 != 3) expected.push_back(rgba[i]);
        EXPECT_EQ(d.samples, expected) << (opaque ? "opaque" : "with alpha");
    }
}

TEST(Webp, WritesLosslessExactlyAndLossyAtTheQualityAsked) {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            rgba.insert(rgba.end(), {static_cast<uint8_t>(x * 6), static_cast<uint8_t>(y * 6),
                                     static_cast<uint8_t>((x + y) * 3), static_cast<uint8_t>(x < 20 ? 255 : 100)});
    codecs::RasterInfo info;
    info.width = 40;
    info.height = 40;
    info.channels = 4;
    const std::vector<uint16_t> samples(rgba.begin(), rgba.end());
    std::string error;
    const std::string lossless = write_through(codecs::FileFormat::Webp, info, samples, {90, {}, true}, &error);
    ASSERT_FALSE(lossless.empty()) << error;
    const Pixels exact = decode_rgba(lossless);
    EXPECT_EQ(exact.width, 40);
    EXPECT_EQ(exact.rgba, rgba) << "lossless keeps every sample, alpha included";
    EXPECT_FALSE(bytes::riff_chunk(lossless, "VP8L").empty());

    std::size_t sizes[2] = {};
    int worst[2] = {};
    const int qualities[2] = {50, 95};
    for (int q = 0; q < 2; ++q) {
        const std::string file =
            write_through(codecs::FileFormat::Webp, info, samples, {qualities[q], {}, false}, &error);
        ASSERT_FALSE(file.empty()) << error;
        sizes[q] = file.size();
        const Pixels p = decode_rgba(file);
        ASSERT_EQ(p.rgba.size(), rgba.size());
        for (std::size_t i = 0; i < rgba.size(); ++i) worst[q] = std::max(worst[q], std::abs(p.rgba[i] - rgba[i]));
    }
    EXPECT_LT(sizes[0], sizes[1]);
    EXPECT_LE(worst[1], 16) << "a smooth ramp at quality 95 stays close";
    EXPECT_LE(worst[1], worst[0]);
}

TEST(Webp, MetadataChunksCarriedBothWays) {
    TempDir dir;
    const std::string icc = bytes::icc_profile();
    // EXIF holding only orientation 6: header, one entry, no next directory.
    const std::string exif("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0", 26);
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>webp</x:xmpmeta>";
    // Into WebP from a PNG that holds all three.
    const std::string png = bytes::png_file(
        2, 1, 8, 2, {"abcdef"},
        bytes::png_chunk("iCCP", std::string("p\0\0", 3) + bytes::deflated(icc)) + bytes::png_chunk("eXIf", exif) +
            bytes::png_chunk("iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + xmp));
    const fs::path in = dir.write("in.png", png), webp = dir.path() / "out.webp";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(in) + " -o " + quoted(webp), dir.path()).exit_code, 0);
    const std::string file = read_text(webp);
    EXPECT_EQ(bytes::riff_chunk(file, "ICCP"), icc);
    EXPECT_EQ(bytes::riff_chunk(file, "EXIF"), exif);
    EXPECT_EQ(bytes::riff_chunk(file, "XMP "), xmp);
    const std::string vp8x = bytes::riff_chunk(file, "VP8X");
    ASSERT_FALSE(vp8x.empty());
    EXPECT_EQ(static_cast<uint8_t>(vp8x[0]) & 0x2C, 0x2C) << "ICC, EXIF and XMP flags set";

    // Out of WebP into PNG.
    const fs::path back = dir.path() / "back.png";
    ASSERT_EQ(run_qova("saturation --strength 5 " + quoted(webp) + " -o " + quoted(back), dir.path()).exit_code, 0);
    const auto chunks = bytes::png_chunks(read_text(back));
    EXPECT_EQ(bytes::chunks_of(chunks, "eXIf"), std::vector<std::string>{exif});
    ASSERT_EQ(bytes::chunks_of(chunks, "iCCP").size(), 1u);
    const std::string iccp = bytes::chunks_of(chunks, "iCCP")[0];
    EXPECT_EQ(bytes::inflated(iccp.substr(iccp.find('\0') + 2)), icc);
}

TEST(Webp, RefusedOrFailedInOneLine) {
    TempDir dir;
    const std::string good = lossless_webp(5, 3, known_rgba(true));
    std::string corrupt = good;
    for (std::size_t i = 30; i < corrupt.size(); ++i) corrupt[i] = static_cast<char>(~corrupt[i]);

    // Two frames made by libwebp's animation encoder.
    WebPAnimEncoderOptions options;
    ASSERT_TRUE(WebPAnimEncoderOptionsInit(&options));
    WebPAnimEncoder *encoder = WebPAnimEncoderNew(4, 4, &options);
    ASSERT_NE(encoder, nullptr);
    WebPPicture frame;
    ASSERT_TRUE(WebPPictureInit(&frame));
    frame.width = frame.height = 4;
    frame.use_argb = 1;
    ASSERT_TRUE(WebPPictureAlloc(&frame));
    for (int t = 0; t < 2; ++t) {
        std::fill(frame.argb, frame.argb + 16, t ? 0xFF00FF00u : 0xFFFF0000u);
        ASSERT_TRUE(WebPAnimEncoderAdd(encoder, &frame, t * 100, nullptr));
    }
    WebPAnimEncoderAdd(encoder, nullptr, 200, nullptr);
    WebPData animated;
    WebPDataInit(&animated);
    ASSERT_TRUE(WebPAnimEncoderAssemble(encoder, &animated));
    const std::string animation(reinterpret_cast<const char *>(animated.bytes), animated.size);
    WebPDataClear(&animated);
    WebPPictureFree(&frame);
    WebPAnimEncoderDelete(encoder);

    const struct {
        const char *what;
        std::string file, options, message;
    } cases[] = {
        {"animated", animation, "", "in.webp: animated WebP (2 frames): only still images can be processed"},
        {"truncated", good.substr(0, good.size() - 10), "", "in.webp: unreadable or truncated WebP"},
        {"corrupt image data", corrupt, "", "in.webp: "},
        {"above the pixel limit", good, "--max-pixels 14 ",
         "in.webp: image of 5 x 3 pixels is above the limit of 14 pixels"},
    };
    for (const auto &c : cases) {
        const fs::path in = dir.write("in.webp", c.file);
        const ToolRun run = run_qova(
            "hue --strength 10 " + c.options + quoted(in) + " -o " + quoted(dir.path() / "out.png"), dir.path());
        EXPECT_EQ(run.exit_code, 1) << c.what;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.what << "\n" << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out.png")) << c.what;
    }
}

}  // namespace
