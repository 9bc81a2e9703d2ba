// HEIC and AVIF through the tool: inputs made here by libheif's encoder from
// known pixels (lossless AV1 with RGB kept as RGB, so every value is known),
// outputs decoded by libheif called directly and checked against the pixels
// and metadata that went in, never through the tool's own codec.
#include "support/codec_io.h"
#include "support/encoders.h"
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <libheif/heif.h>

#include <cmath>

namespace fs = std::filesystem;
namespace codecs = qova::codecs;
using bytes::Decoded;
using encoders::HeifInput;
using encoders::lossless_heif;

namespace {

// Known samples at `bits`: each different, spread over the whole range.
std::vector<uint16_t> known_samples(int count, int bits) {
    std::vector<uint16_t> v;
    const uint32_t top = (1u << bits) - 1;
    for (int i = 0; i < count; ++i)
        v.push_back(static_cast<uint16_t>((static_cast<uint32_t>(i) * 2654435761u >> 7) % (top + 1)));
    return v;
}

// A file decoded by libheif: its primary image as 8-bit RGB(A), and its parts.
struct HeifOutput {
    bool ok = false;
    int width = 0, height = 0, channels = 0, luma_bits = 0;
    std::vector<uint8_t> pixels;
    std::string exif, xmp, icc, compression;
    heif_color_profile_type colour = heif_color_profile_type_not_present;
    int nclx_primaries = -1;
};

HeifOutput decode_heif(const std::string &file) {
    HeifOutput out;
    if (!encoders::libheif_started()) return out;
    heif_context *ctx = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    if (heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
        out.channels = heif_image_handle_has_alpha_channel(handle) ? 4 : 3;
        out.luma_bits = heif_image_handle_get_luma_bits_per_pixel(handle);
        heif_item_id id;
        if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) == 1) {
            out.exif.resize(heif_image_handle_get_metadata_size(handle, id));
            heif_image_handle_get_metadata(handle, id, out.exif.data());
        }
        if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "mime", &id, 1) == 1) {
            out.xmp.resize(heif_image_handle_get_metadata_size(handle, id));
            heif_image_handle_get_metadata(handle, id, out.xmp.data());
        }
        out.colour = heif_image_handle_get_color_profile_type(handle);
        out.icc.resize(heif_image_handle_get_raw_color_profile_size(handle));
        if (!out.icc.empty()) heif_image_handle_get_raw_color_profile(handle, out.icc.data());
        heif_color_profile_nclx *nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok) {
            out.nclx_primaries = nclx->color_primaries;
            heif_nclx_color_profile_free(nclx);
        }
        const bool alpha = out.channels == 4;
        if (heif_decode_image(handle, &image, heif_colorspace_RGB,
                              alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
                .code == heif_error_Ok) {
            out.width = heif_image_get_width(image, heif_channel_interleaved);
            out.height = heif_image_get_height(image, heif_channel_interleaved);
            int stride = 0;
            const uint8_t *plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            for (int y = 0; y < out.height; ++y)
                out.pixels.insert(out.pixels.end(), plane + y * stride, plane + y * stride + out.width * out.channels);
            out.ok = true;
        }
    }
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(ctx);
    return out;
}

// EXIF with Make "Qova" and the orientation given (its value at bytes 30-31).
std::string exif_block(int orientation) {
    return std::string(
               "MM\0\x2A\0\0\0\x08"                  // big-endian TIFF header, IFD0 at 8
               "\0\x02"                              // two entries
               "\x01\x0F\0\x02\0\0\0\x05\0\0\0\x26"  // Make, ASCII, 5 bytes at 38
               "\x01\x12\0\x03\0\0\0\x01\0",         // Orientation, SHORT, one:
               31) +
           static_cast<char>(orientation) + std::string("\0\0\0\0\0\0Qova\0", 11);
}

// The same little-endian (value at bytes 30-31, low byte first).
std::string little_endian_exif_block(int orientation) {
    return std::string(
               "II\x2A\0\x08\0\0\0"
               "\x02\0"
               "\x0F\x01\x02\0\x05\0\0\0\x26\0\0\0"
               "\x12\x01\x03\0\x01\0\0\0",
               30) +
           static_cast<char>(orientation) + std::string("\0\0\0\0\0\0\0Qova\0", 12);
}

int orientation_of(const std::string &exif) {
    if (exif.size() < 32) return -1;
    return static_cast<uint8_t>(exif[exif[0] == 'M' ? 31 : 30]) | static_cast<uint8_t>(exif[exif[0] == 'M' ? 30 : 31])
                                                                      << 8;
}

// Rows of 8-bit samples, or 16-bit ones from the same values times 257.
std::vector<std::string> png_rows(int width, int height, int depth, int channels, const std::vector<uint8_t> &samples) {
    std::vector<std::string> rows;
    const std::size_t row = static_cast<std::size_t>(width * channels);
    for (int y = 0; y < height; ++y) {
        std::string r;
        for (std::size_t i = 0; i < row; ++i) {
            const char v = static_cast<char>(samples[static_cast<std::size_t>(y) * row + i]);
            r += v;
            if (depth == 16) r += v;
        }
        rows.push_back(r);
    }
    return rows;
}

std::string only_chunk(const std::string &png, const std::string &type) {
    const std::vector<std::string> found = bytes::chunks_of(bytes::png_chunks(png), type);
    return found.size() == 1 ? found[0] : "";
}

std::string process(TempDir &dir, const std::string &in_name, const std::string &file, const std::string &out_name,
                    const std::string &options = "") {
    const fs::path in = dir.write(in_name, file), out = dir.path() / out_name;
    const ToolRun run = run_qova("saturation --strength 0 " + options + quoted(in) + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return read_text(out);
}

TEST(Heif, ReadsKnownSamplesAtEveryDepthWithAndWithoutAlpha) {
    const struct {
        int bits;
        bool hevc;
    } kinds[] = {{8, false}, {12, false}, {8, true}, {10, true}, {12, true}};
    for (const auto &kind : kinds)
        for (const bool alpha : {false, true}) {
            SCOPED_TRACE(std::to_string(kind.bits) + (kind.hevc ? " bits HEVC" : " bits AV1") +
                         (alpha ? " with alpha" : ""));
            HeifInput in;
            in.bits = kind.bits;
            in.hevc = kind.hevc;
            in.alpha = alpha;
            const int channels = alpha ? 4 : 3;
            const uint32_t top = (1u << kind.bits) - 1;
            in.samples = known_samples(in.width * in.height * channels, kind.bits);
            if (alpha)  // fully opaque pixels too
                for (std::size_t i = 3; i < in.samples.size(); i += 8) in.samples[i] = static_cast<uint16_t>(top);
            const ReadBack r = read_back(lossless_heif(in));
            ASSERT_TRUE(r.error.empty()) << r.error;
            const Decoded &d = r.image;
            ASSERT_EQ(d.width, 5);
            ASSERT_EQ(d.channels, channels);
            for (std::size_t i = 0; i < in.samples.size(); ++i) {
                // 10 and 12 bits arrive at 16 bits, scaled and rounded; 8 stay 8.
                const uint32_t want = kind.bits == 8 ? in.samples[i] : (in.samples[i] * 65535u + top / 2) / top;
                ASSERT_EQ(d.samples[i], want) << "sample " << i;
            }
        }
}

// Spot values of the scaling a person can check: 10-bit 1023 is full scale,
// 512 is 512 * 65535 / 1023 = 32800.06, 1 is 64.06.
TEST(Heif, TenBitSpotValues) {
    HeifInput in;
    in.width = 1;
    in.height = 1;
    in.bits = 10;
    in.hevc = true;
    in.samples = {1023, 512, 1};
    const Decoded d = read_back(lossless_heif(in)).image;
    ASSERT_EQ(d.samples.size(), 3u);
    EXPECT_EQ(d.samples[0], 65535);
    EXPECT_EQ(d.samples[1], 32800);
    EXPECT_EQ(d.samples[2], 64);
}

// Flat patches survive lossy coding closely enough to tell a channel mix-up,
// an alpha loss or a depth error from the encoder's own loss.
TEST(Heif, WritesHeicAndAvifThatLibheifDecodes) {
    const uint8_t patches[4][4] = {{200, 30, 40, 255}, {20, 180, 60, 128}, {10, 20, 220, 255}, {128, 128, 128, 64}};
    for (const char *ext : {"heic", "avif"})
        for (const int depth : {8, 16})
            for (const bool alpha : {false, true}) {
                SCOPED_TRACE(std::string(ext) + " " + std::to_string(depth) + (alpha ? " rgba" : " rgb"));
                const int w = 64, h = 64, channels = alpha ? 4 : 3;
                std::vector<uint8_t> samples;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        for (int c = 0; c < channels; ++c) samples.push_back(patches[(y / 32) * 2 + x / 32][c]);
                codecs::RasterInfo info;
                info.width = w;
                info.height = h;
                info.channels = channels;
                info.bit_depth = depth;
                std::vector<uint16_t> values;
                for (const uint8_t v : samples) values.push_back(depth == 16 ? static_cast<uint16_t>(v * 257) : v);
                std::string error;
                const std::string file =
                    write_through(ext[0] == 'h' ? codecs::FileFormat::Heic : codecs::FileFormat::Avif, info, values,
                                  {codecs::default_quality(codecs::FileFormat::Heic), {}, false}, &error);
                ASSERT_FALSE(file.empty()) << error;
                const HeifOutput out = decode_heif(file);
                ASSERT_TRUE(out.ok);
                EXPECT_EQ(out.width, w);
                EXPECT_EQ(out.channels, channels);
                EXPECT_EQ(out.luma_bits, depth == 8 ? 8 : ext[0] == 'h' ? 10 : 12);
                for (int p = 0; p < 4; ++p) {
                    const int x = (p % 2) * 32 + 16, y = (p / 2) * 32 + 16;
                    for (int c = 0; c < channels; ++c)
                        EXPECT_NEAR(out.pixels[static_cast<std::size_t>((y * w + x) * channels + c)], patches[p][c], 4)
                            << "patch " << p << " channel " << c;
                }
            }
}

// --lossless keeps every 8-bit sample, alpha included, and 16-bit input at
// the 12 bits the formats hold at most.
TEST(Heif, LosslessKeepsEverySample) {
    std::vector<uint8_t> samples;
    for (int i = 0; i < 24 * 16 * 4; ++i)
        samples.push_back(static_cast<uint8_t>((static_cast<uint32_t>(i) * 2654435761u) >> 24));
    codecs::RasterInfo info;
    info.width = 24;
    info.height = 16;
    info.channels = 4;
    const std::vector<uint16_t> eight(samples.begin(), samples.end());
    std::vector<uint16_t> sixteen;
    for (const uint8_t v : samples) sixteen.push_back(static_cast<uint16_t>(v * 257));
    for (const codecs::FileFormat format : {codecs::FileFormat::Heic, codecs::FileFormat::Avif}) {
        SCOPED_TRACE(codecs::format_name(format));
        std::string error;
        const HeifOutput out = decode_heif(write_through(format, info, eight, {50, {}, true}, &error));
        ASSERT_TRUE(out.ok) << error;
        EXPECT_EQ(out.pixels, samples);
        codecs::RasterInfo deep = info;
        deep.bit_depth = 16;
        EXPECT_EQ(decode_heif(write_through(format, deep, sixteen, {50, {}, true}, &error)).luma_bits, 12) << error;
    }
}

TEST(Heif, RefusedOrFailedInOneLine) {
    TempDir dir;
    HeifInput in;
    in.samples = known_samples(45, 8);
    const std::string good = lossless_heif(in);
    HeifInput two = in;
    two.images = 2;
    std::string corrupt = good;
    for (std::size_t i = corrupt.size() / 2; i < corrupt.size(); ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    // A box announcing an image sequence, as animated AVIF files start.
    std::string sequence = std::string(
                               "\0\0\0\x1c"
                               "ftypavis\0\0\0\0avismsf1miaf",
                               28) +
                           good.substr(28);

    const struct {
        const char *what;
        std::string file, options, message;
    } cases[] = {
        {"animated", sequence, "", "in.avif: animated AVIF: only still images can be processed"},
        {"two images", lossless_heif(two), "", "in.avif: HEIF file of 2 images: only single images can be processed"},
        {"truncated", good.substr(0, good.size() - 20), "", "in.avif: unreadable HEIF"},
        {"header only", good.substr(0, 40), "", "in.avif: unreadable HEIF"},
        {"corrupt image data", corrupt, "", "in.avif: unreadable HEIF"},
        {"above the pixel limit", good, "--max-pixels 14 ",
         "in.avif: image of 5 x 3 pixels is above the limit of 14 pixels"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path path = dir.write("in.avif", c.file);
        const ToolRun run =
            run_qova("saturation --strength 0 " + c.options + quoted(path) + " -o " + quoted(dir.path() / "out.png"),
                     dir.path());
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(dir.path() / "out.png"));
    }
}

// The EXIF block without libheif's 4-byte offset, and the TIFF header within.
std::string exif_payload(const std::string &block) {
    if (block.size() < 4) return "";
    const std::size_t skip =
        4 + (std::size_t{static_cast<uint8_t>(block[0])} << 24 | std::size_t{static_cast<uint8_t>(block[1])} << 16 |
             std::size_t{static_cast<uint8_t>(block[2])} << 8 | static_cast<uint8_t>(block[3]));
    return skip <= block.size() ? block.substr(skip) : "";
}

TEST(Heif, ExifXmpAndColourCarriedBothWays) {
    TempDir dir;
    const std::string exif = exif_block(1);
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>";
    HeifInput in;
    in.samples = known_samples(45, 8);
    in.exif = exif;
    in.xmp = xmp;
    in.primaries = 12;  // Display P3 with the sRGB curve, as phones write
    const std::string avif = lossless_heif(in);

    // To PNG: EXIF and XMP as they were, the colour as a profile that maps
    // RGB to the same colours as one Little CMS makes from P3's published
    // primaries and the sRGB curve.
    const std::string png = process(dir, "in.avif", avif, "out.png");
    const std::string iccp = only_chunk(png, "iCCP");
    ASSERT_FALSE(iccp.empty());
    const std::string icc = bytes::inflated(iccp.substr(iccp.find('\0') + 2));
    // Made on the fly, dated 2000-01-01 so the same input gives the same file.
    EXPECT_EQ(icc.substr(24, 12), std::string("\x07\xd0\0\x01\0\x01\0\0\0\0\0\0", 12));
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    ASSERT_NE(profile, nullptr);
    const double srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, srgb_curve);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    const cmsCIExyY d65 = {0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE p3 = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    cmsHPROFILE reference = cmsCreateRGBProfile(&d65, &p3, curves);
    cmsFreeToneCurve(curve);
    cmsHPROFILE xyz = cmsCreateXYZProfile();
    for (cmsHPROFILE from : {profile, reference}) {
        cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_DBL, xyz, TYPE_XYZ_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
        const double rgb[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.5, 0.25, 0.75}};
        cmsCIEXYZ got[4];
        cmsDoTransform(t, rgb, got, 4);
        cmsDeleteTransform(t);
        static cmsCIEXYZ first[4];
        for (int i = 0; i < 4 && from == reference; ++i) {
            EXPECT_NEAR(got[i].X, first[i].X, 1e-3) << "colour " << i;
            EXPECT_NEAR(got[i].Y, first[i].Y, 1e-3) << "colour " << i;
            EXPECT_NEAR(got[i].Z, first[i].Z, 1e-3) << "colour " << i;
        }
        std::copy(got, got + 4, first);
    }
    cmsCloseProfile(xyz);
    cmsCloseProfile(reference);
    cmsCloseProfile(profile);
    EXPECT_EQ(only_chunk(png, "eXIf"), exif);
    EXPECT_NE(only_chunk(png, "iTXt").find("<rdf:RDF/>"), std::string::npos);

    // AVIF to AVIF: the codes themselves kept; to HEIC the profile (libheif
    // leaves HEIC's codes out); EXIF and XMP in both.
    const HeifOutput avif_out = decode_heif(process(dir, "in.avif", avif, "out.avif"));
    ASSERT_TRUE(avif_out.ok);
    EXPECT_EQ(avif_out.nclx_primaries, 12);
    const HeifOutput heic = decode_heif(process(dir, "in.avif", avif, "out.heic"));
    ASSERT_TRUE(heic.ok);
    EXPECT_EQ(heic.icc, icc);
    for (const HeifOutput *out : {&avif_out, &heic}) {
        EXPECT_EQ(exif_payload(out->exif), exif);
        EXPECT_NE(out->xmp.find("<rdf:RDF/>"), std::string::npos);
    }

    // From a PNG with a profile: the profile itself.
    const std::string profile_bytes = bytes::icc_profile();
    const std::string png_in =
        bytes::png_file(2, 2, 8, 2, png_rows(2, 2, 8, 3, std::vector<uint8_t>(12, 90)),
                        bytes::png_chunk("iCCP", std::string("P\0\0", 3) + bytes::deflated(profile_bytes)));
    const HeifOutput from_png = decode_heif(process(dir, "in.png", png_in, "out.avif"));
    EXPECT_EQ(from_png.icc, profile_bytes);
}

// HEIF rotates by its own boxes: an input's EXIF orientation becomes one, and
// a HEIF's rotation is applied on reading, its EXIF tag then set to normal so
// no viewer turns the pixels twice.
TEST(Heif, OrientationAppliedOnceEitherWay) {
    TempDir dir;
    // 4 x 2, left half red, right half blue; EXIF says turn 90 degrees clockwise.
    std::vector<uint8_t> samples;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            for (const uint8_t v : x < 2 ? std::vector<uint8_t>{255, 0, 0} : std::vector<uint8_t>{0, 0, 255})
                samples.push_back(v);
    for (const std::string &exif : {exif_block(6), little_endian_exif_block(6)}) {
        SCOPED_TRACE(exif.substr(0, 2));
        ASSERT_EQ(orientation_of(exif), 6);
        const std::string png =
            bytes::png_file(4, 2, 8, 2, png_rows(4, 2, 8, 3, samples), bytes::png_chunk("eXIf", exif));
        const std::string heic_file = process(dir, "in.png", png, "out.heic");
        const HeifOutput heic = decode_heif(heic_file);
        ASSERT_TRUE(heic.ok);
        ASSERT_EQ(heic.width, 2);  // shown upright: turned, now 2 x 4
        ASSERT_EQ(heic.height, 4);
        EXPECT_GT(heic.pixels[0 * 3 + 0], 200);            // a clockwise turn puts the left (red) half on top
        EXPECT_GT(heic.pixels[(3 * 2 + 0) * 3 + 2], 200);  // and the blue half below

        // Back to PNG: upright pixels, orientation normal, the rest as it was.
        const std::string back = process(dir, "in.heic", heic_file, "back.png");
        const Decoded d = bytes::decode(back);
        EXPECT_EQ(d.width, 2);
        EXPECT_EQ(d.height, 4);
        std::string want = exif;
        want[exif[0] == 'M' ? 31 : 30] = 1;
        EXPECT_EQ(only_chunk(back, "eXIf"), want);
        EXPECT_EQ(exif_payload(heic.exif), exif);  // the HEIF kept the camera's tag
    }
}

}  // namespace
