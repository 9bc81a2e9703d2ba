// The band filter on files whose colours are not sRGB: the same picture stored
// as sRGB and as ProPhoto, Display P3 or linear light must come out the same
// once both are seen as sRGB. Pictures are converted between encodings here
// with Little CMS called directly (or with the sRGB formula), never through
// the tool.
#include "support/file_bytes.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <random>

namespace fs = std::filesystem;
using bytes::Decoded;

namespace {

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

struct Space {
    const char *name;
    cmsCIExyY white;
    cmsCIExyYTRIPLE primaries;
    double gamma;  // 0: the sRGB curve
};

const Space kProPhoto = {
    "ProPhoto", {0.3457, 0.3585, 1}, {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}}, 1.8};
const Space kDisplayP3 = {
    "Display P3", {0.3127, 0.3290, 1}, {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}, 0};

cmsHPROFILE open_space(const Space &s) {
    const double srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve *curve =
        s.gamma > 0 ? cmsBuildGamma(nullptr, s.gamma) : cmsBuildParametricToneCurve(nullptr, 4, srgb_curve);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&s.white, &s.primaries, curves);
    cmsFreeToneCurve(curve);
    return p;
}

std::string profile_bytes(const Space &s) {
    cmsHPROFILE p = open_space(s);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(p, &bytes[0], &size);
    cmsCloseProfile(p);
    return bytes;
}

// 16-bit RGB samples from one space to another (relative colorimetric, as
// colour-managed viewers show them), rounded.
std::vector<uint16_t> convert(const std::vector<uint16_t> &in, cmsHPROFILE from, cmsHPROFILE to) {
    cmsHTRANSFORM t =
        cmsCreateTransform(from, TYPE_RGB_16, to, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    std::vector<uint16_t> out(in.size());
    cmsDoTransform(t, in.data(), out.data(), static_cast<cmsUInt32Number>(in.size() / 3));
    cmsDeleteTransform(t);
    return out;
}

std::string rgb16_png(int width, int height, const std::vector<uint16_t> &samples, const std::string &before) {
    std::vector<std::string> rows;
    for (int y = 0; y < height; ++y)
        rows.push_back(bytes::be16_row(
            std::vector<uint16_t>(samples.begin() + y * width * 3, samples.begin() + (y + 1) * width * 3)));
    return bytes::png_file(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 16, 2, rows, before);
}

std::string iccp(const std::string &profile) {
    return bytes::png_chunk("iCCP", std::string("icc\0\0", 5) + bytes::deflated(profile));
}

std::vector<uint16_t> bandpass(TempDir &dir, const std::string &png, const std::string &options) {
    const fs::path in = dir.write("in.png", png), out = dir.path() / "out.png";
    const ToolRun run = run_qova("bandpass " + options + " " + quoted(in) + " -o " + quoted(out), dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return bytes::decode(read_text(out)).samples;
}

// Colours well inside sRGB: channels between 0.1 and 0.9.
std::vector<uint16_t> inside_srgb(int pixels) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(6554, 58982);
    std::vector<uint16_t> v(static_cast<std::size_t>(pixels) * 3);
    for (uint16_t &s : v) s = static_cast<uint16_t>(pick(rng));
    return v;
}

TEST(TrueColour, SamePictureInOtherSpacesComesOutAsFromSrgb) {
    TempDir dir;
    const int width = 16, height = 8;
    const std::vector<uint16_t> picture = inside_srgb(width * height);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    // Weights 1, 1/2 and 1/17 across the picture's wavelengths.
    const std::string options = "--centre 560 --bandwidth 40 --order 2";
    const std::vector<uint16_t> from_srgb = bandpass(dir, rgb16_png(width, height, picture, ""), options);
    int dimmed = 0;
    for (std::size_t i = 0; i < picture.size(); ++i) dimmed += from_srgb[i] + 2000 < picture[i];
    ASSERT_GT(dimmed, static_cast<int>(picture.size() / 4)) << "the band must dim much of the picture";

    // Both spaces into linear light; ProPhoto also onto the sRGB curve.
    const std::string no_linear = options + " --no-linear";
    const std::vector<uint16_t> from_srgb_no_linear = bandpass(dir, rgb16_png(width, height, picture, ""), no_linear);
    const struct {
        const Space *space;
        const std::string &options;
        const std::vector<uint16_t> &from_srgb;
    } runs[] = {{&kProPhoto, options, from_srgb},
                {&kDisplayP3, options, from_srgb},
                {&kProPhoto, no_linear, from_srgb_no_linear}};
    for (const auto &run : runs) {
        const Space *space = run.space;
        SCOPED_TRACE(std::string(space->name) + " " + run.options);
        cmsHPROFILE other = open_space(*space);
        const std::vector<uint16_t> stored = convert(picture, srgb, other);
        const std::vector<uint16_t> out =
            bandpass(dir, rgb16_png(width, height, stored, iccp(profile_bytes(*space))), run.options);
        ASSERT_EQ(out.size(), picture.size());
        const std::vector<uint16_t> seen = convert(out, other, srgb);
        // A pixel on a wavelength step may land on either side of it; all
        // others agree within a few 16-bit steps.
        int agree = 0;
        for (std::size_t px = 0; px < picture.size(); px += 3) {
            bool close = true;
            for (std::size_t k = 0; k < 3; ++k) close = close && std::abs(seen[px + k] - run.from_srgb[px + k]) <= 24;
            agree += close;
        }
        EXPECT_GE(agree, width * height * 97 / 100);

        // Taken as sRGB, the same bytes go wrong.
        const std::vector<uint16_t> assumed =
            convert(bandpass(dir, rgb16_png(width, height, stored, iccp(profile_bytes(*space))),
                             run.options + " --assume-srgb"),
                    other, srgb);
        int wrong = 0;
        for (std::size_t i = 0; i < picture.size(); ++i) wrong += std::abs(assumed[i] - run.from_srgb[i]) > 24;
        EXPECT_GT(wrong, static_cast<int>(picture.size() / 20));
        cmsCloseProfile(other);
    }
    cmsCloseProfile(srgb);
}

// A PNG whose gAMA says linear samples (1.0) or old Macs' 1/1.8 holds the
// sRGB picture decoded by the sRGB formula and re-encoded by that power; the
// filter sees the same light in all of them.
TEST(TrueColour, PngByItsGamma) {
    TempDir dir;
    const int width = 16, height = 8;
    const std::vector<uint16_t> picture = inside_srgb(width * height);
    const std::string options = "--centre 560 --bandwidth 40 --order 2";
    const std::vector<uint16_t> from_srgb = bandpass(dir, rgb16_png(width, height, picture, ""), options);
    for (const uint32_t gamma : {100000u, 55556u}) {
        SCOPED_TRACE(gamma);
        const double g = gamma / 100000.0;
        std::vector<uint16_t> stored(picture.size());
        for (std::size_t i = 0; i < picture.size(); ++i)
            stored[i] = static_cast<uint16_t>(std::lround(std::pow(srgb_to_linear(picture[i] / 65535.0), g) * 65535));
        std::string gama;
        bytes::put32(gama, gamma);
        const std::vector<uint16_t> out =
            bandpass(dir, rgb16_png(width, height, stored, bytes::png_chunk("gAMA", gama)), options);
        int agree = 0;
        for (std::size_t px = 0; px < picture.size(); px += 3) {
            bool close = true;
            for (std::size_t k = 0; k < 3; ++k) {
                const double want = srgb_to_linear(from_srgb[px + k] / 65535.0),
                             got = std::pow(out[px + k] / 65535.0, 1 / g);
                close = close && std::fabs(got - want) * 65535 <= 2;
            }
            agree += close;
        }
        EXPECT_GE(agree, width * height * 97 / 100);
    }

    // Grey, linear by gAMA 1.0, against grey stored with the sRGB curve.
    std::vector<uint16_t> grey(picture.begin(), picture.begin() + width * height), grey_linear(grey.size());
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey_linear[i] = static_cast<uint16_t>(std::lround(srgb_to_linear(grey[i] / 65535.0) * 65535));
    const auto grey_png = [&](const std::vector<uint16_t> &samples, const std::string &before) {
        std::vector<std::string> rows;
        for (int y = 0; y < height; ++y)
            rows.push_back(
                bytes::be16_row(std::vector<uint16_t>(samples.begin() + y * width, samples.begin() + (y + 1) * width)));
        return bytes::png_file(width, height, 16, 0, rows, before);
    };
    std::string linear_gamma;
    bytes::put32(linear_gamma, 100000);
    const std::vector<uint16_t> grey_srgb = bandpass(dir, grey_png(grey, ""), options);
    const std::vector<uint16_t> grey_out =
        bandpass(dir, grey_png(grey_linear, bytes::png_chunk("gAMA", linear_gamma)), options);
    ASSERT_EQ(grey_out.size(), grey.size());
    for (std::size_t i = 0; i < grey.size(); ++i)
        EXPECT_NEAR(grey_out[i], srgb_to_linear(grey_srgb[i] / 65535.0) * 65535, 2) << "pixel " << i;
}

// At weight 1 every 8-bit sample of a gamma-1.8 file, or of a ProPhoto one
// holding colours inside sRGB, comes back as it was: the trip to linear light
// and back rounds by the file's own curve. (Far outside sRGB the filter's
// truncation of large negative components can move a dark channel by one.)
TEST(TrueColour, EightBitSamplesComeBackAtWeightOne) {
    TempDir dir;
    std::vector<uint8_t> srgb_row;
    for (int v = 0; v < 256; ++v)
        for (const int s : {v, 255 - v, (v * 7) % 256}) srgb_row.push_back(static_cast<uint8_t>(s));
    std::vector<uint8_t> prophoto_row(srgb_row.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), prophoto = open_space(kProPhoto);
    cmsHTRANSFORM t = cmsCreateTransform(srgb, TYPE_RGB_8, prophoto, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsDoTransform(t, srgb_row.data(), prophoto_row.data(), 256);
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(prophoto);
    std::string mac_gamma;
    bytes::put32(mac_gamma, 55556);
    const struct {
        const char *what;
        std::vector<uint8_t> row;
        std::string chunk;
    } cases[] = {{"gAMA 1/1.8", srgb_row, bytes::png_chunk("gAMA", mac_gamma)},
                 {"ProPhoto", prophoto_row, iccp(profile_bytes(kProPhoto))}};
    for (const auto &c : cases) {
        const std::string png = bytes::png_file(256, 1, 8, 2, {std::string(c.row.begin(), c.row.end())}, c.chunk);
        const std::vector<uint16_t> out = bandpass(dir, png, "--centre 550 --bandwidth 100000");
        ASSERT_EQ(out.size(), c.row.size());
        for (std::size_t i = 0; i < c.row.size(); ++i) ASSERT_EQ(out[i], c.row[i]) << "sample " << i << ", " << c.what;
    }
}

// ProPhoto's pure green lies far outside sRGB (its sRGB red and blue are
// negative). In the pass band it comes back as it was, not clipped to sRGB's
// green; at weight 1/2 it is half the light. Checked in linear light (by
// ProPhoto's 1.8 curve), where the filter rounds.
TEST(TrueColour, ColoursOutsideSrgbAreNotClipped) {
    TempDir dir;
    const std::string png = rgb16_png(1, 1, {0, 65535, 0}, iccp(profile_bytes(kProPhoto)));
    const auto light = [](uint16_t v) { return std::pow(v / 65535.0, 1.8) * 65535; };
    const struct {
        const char *what, *options;
        double green;
    } cases[] = {
        {"in the pass band", "--centre 550 --bandwidth 100000", 65535},
        {"at weight 1/2", "--centre 2000 --bandwidth 2000 --order 2", 32767.5},
    };
    for (const auto &c : cases) {
        const std::vector<uint16_t> out = bandpass(dir, png, c.options);
        ASSERT_EQ(out.size(), 3u);
        EXPECT_LE(light(out[0]), 3) << c.what;
        EXPECT_NEAR(light(out[1]), c.green, 8) << c.what;
        EXPECT_LE(light(out[2]), 3) << c.what;
    }
}

// Descriptions that are sRGB's own, as writers round them, leave the fast
// exact path alone: the output is the one without them, byte for byte.
TEST(TrueColour, SrgbDescriptionsChangeNothing) {
    TempDir dir;
    const int width = 8, height = 4;
    const std::vector<uint16_t> picture = inside_srgb(width * height);
    const std::string options = "--centre 600 --bandwidth 60";
    const std::vector<uint16_t> plain = bandpass(dir, rgb16_png(width, height, picture, ""), options);
    std::string gama, chrm;
    bytes::put32(gama, 45455);
    for (const uint32_t v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u}) bytes::put32(chrm, v);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(srgb, nullptr, &size);
    std::string srgb_icc(size, '\0');
    cmsSaveProfileToMem(srgb, &srgb_icc[0], &size);
    cmsCloseProfile(srgb);
    const struct {
        const char *what;
        std::string chunks;
    } cases[] = {
        {"gAMA 1/2.2 and sRGB's cHRM", bytes::png_chunk("gAMA", gama) + bytes::png_chunk("cHRM", chrm)},
        {"an sRGB profile", iccp(srgb_icc)},
        {"an sRGB chunk beside gAMA 1.0",
         bytes::png_chunk("sRGB", std::string(1, '\0')) + bytes::png_chunk("gAMA", "\0\x01\x86\xa0")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(bandpass(dir, rgb16_png(width, height, picture, c.chunks), options), plain) << c.what;
}

}  // namespace
