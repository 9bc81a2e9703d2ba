// CMYK and YCCK JPEGs, as print workflows make them, written here by libjpeg
// from known ink: each must come out as the RGB that Little CMS, called
// directly here, gives for that ink through the standard CMYK profile, with an
// sRGB profile declared.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/libjpeg_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <lcms2.h>
#include <cstdio>

#include <array>

namespace fs = std::filesystem;
using bytes::Decoded;
using Ink = std::array<uint8_t, 4>;

namespace {

// 8 x 8 blocks of flat ink, one block per entry, at quality 100: each block
// is one coefficient a channel, so the ink comes back within a level.
// `adobe`: with Adobe's marker and 0 for full ink, as Photoshop writes.
std::string cmyk_jpeg(const std::vector<Ink> &blocks, bool adobe, J_COLOR_SPACE stored) {
    const auto setup = [&](jpeg_compress_struct &c) {
        jpeg_set_colorspace(&c, stored);
        c.write_Adobe_marker = adobe ? TRUE : FALSE;
        jpeg_set_quality(&c, 100, TRUE);
    };
    const auto fill = [&](int, std::vector<JSAMPLE> &row) {
        row.clear();
        for (const Ink &ink : blocks)
            for (int x = 0; x < 8; ++x)
                for (uint8_t v : ink) row.push_back(adobe ? static_cast<JSAMPLE>(255 - v) : v);
    };
    return libjpeg_file(static_cast<int>(8 * blocks.size()), 8, 4, JCS_CMYK, setup, fill);
}

// The reference: Little CMS from the standard CMYK profile to sRGB.
std::array<uint8_t, 3> reference_rgb(const Ink &ink) {
    cmsHPROFILE cmyk = cmsOpenProfileFromFile("/usr/share/color/icc/ghostscript/default_cmyk.icc", "r");
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(cmyk, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_BLACKPOINTCOMPENSATION);
    std::array<uint8_t, 3> rgb{};
    cmsDoTransform(t, ink.data(), rgb.data(), 1);
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(cmyk);
    return rgb;
}

TEST(Cmyk, InkBecomesTheStandardProfilesRgbWithAnSrgbProfile) {
    const std::vector<Ink> blocks = {{0, 0, 0, 0},   {255, 0, 0, 0}, {0, 255, 0, 0},
                                     {0, 0, 255, 0}, {0, 0, 0, 255}, {60, 20, 90, 10}};
    const struct {
        const char *what;
        bool adobe;
        J_COLOR_SPACE stored;
    } kinds[] = {
        {"Adobe CMYK (0 is full ink)", true, JCS_CMYK},
        {"plain CMYK", false, JCS_CMYK},
        {"Adobe YCCK", true, JCS_YCCK},
    };
    TempDir dir;
    for (const auto &k : kinds) {
        const fs::path in = dir.write("in.jpg", cmyk_jpeg(blocks, k.adobe, k.stored)), out = dir.path() / "out.png";
        const ToolRun run = run_qova("saturation --strength 0 " + quoted(in) + " -o " + quoted(out), dir.path());
        ASSERT_EQ(run.exit_code, 0) << k.what << "\n" << run.err;
        const std::string png = read_text(out);
        const Decoded d = bytes::decode(png);
        ASSERT_EQ(d.channels, 3) << k.what;
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const auto rgb = reference_rgb(blocks[b]);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(d.at(static_cast<int>(b * 8 + 4), 4, c), rgb[static_cast<std::size_t>(c)], 2)
                    << k.what << ", block " << b << ", channel " << c;
        }
        // Paper white stays white, full black is dark, cyan has little red.
        EXPECT_GE(d.at(4, 4, 0), 250) << k.what;
        EXPECT_LE(d.at(8 * 4 + 4, 4, 1), 60) << k.what;
        EXPECT_LT(d.at(8 + 4, 4, 0), d.at(8 + 4, 4, 2)) << k.what;

        const auto profiles = bytes::chunks_of(bytes::png_chunks(png), "iCCP");
        ASSERT_EQ(profiles.size(), 1u) << k.what;
        const std::string profile = bytes::inflated(profiles[0].substr(profiles[0].find('\0') + 2));
        EXPECT_EQ(profile.substr(16, 4), "RGB ") << "the output declares an RGB profile, not the CMYK one";
        EXPECT_EQ(profile.substr(24, 12), std::string("\x07\xd0\0\x01\0\x01\0\0\0\0\0\0", 12))
            << k.what << ": a fixed creation date, so each run writes the same file";
    }
}

}  // namespace
