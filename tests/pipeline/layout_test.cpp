// What the pipeline does to samples on their way between file and operator,
// where the result is defined exactly: the layout each writer is given,
// narrowing and compositing (checked against the rounded rational value), the
// linear-light tables (against the sRGB curve as its standard writes it), and
// progress that ends exactly at its total.
#include "pipeline/layout.h"
#include "pipeline/linear_light.h"
#include "pipeline/transform.h"
#include "support/file_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace codecs = qova::codecs;
namespace pipeline = qova::pipeline;

namespace {

codecs::RasterInfo layout(int channels, int depth, int32_t width = 1, int32_t height = 1) {
    codecs::RasterInfo info;
    info.channels = channels;
    info.bit_depth = depth;
    info.width = width;
    info.height = height;
    return info;
}

// `in` (one row) converted from one layout to another.
std::vector<uint16_t> converted(const std::vector<uint16_t> &in, const codecs::RasterInfo &from,
                                const codecs::RasterInfo &to, const pipeline::Background &background = {}) {
    const int32_t width = static_cast<int32_t>(in.size() / static_cast<std::size_t>(from.channels));
    std::vector<uint16_t> source = in, out(static_cast<std::size_t>(width) * static_cast<std::size_t>(to.channels));
    pipeline::convert_layout(pipeline::RawRows{source.data(), 1, width, from.channels}, from,
                             pipeline::RawRows{out.data(), 1, width, to.channels}, to, background);
    return out;
}

long rounded(double v) { return std::lround(v); }

TEST(Layout, WhatEachWriterIsGiven) {
    const pipeline::Background white, teal{0, 0x8080, 0x8080};
    const struct {
        codecs::FileFormat format;
        int channels, depth;
        const pipeline::Background *background;
        int want_channels, want_depth;
    } cases[] = {
        {codecs::FileFormat::Png, 2, 16, &white, 2, 16},  {codecs::FileFormat::Tiff, 4, 16, &white, 4, 16},
        {codecs::FileFormat::Jpeg, 1, 8, &white, 1, 8},   {codecs::FileFormat::Jpeg, 2, 16, &white, 1, 8},
        {codecs::FileFormat::Jpeg, 2, 8, &teal, 3, 8},    {codecs::FileFormat::Jpeg, 4, 16, &teal, 3, 8},
        {codecs::FileFormat::Webp, 1, 16, &white, 3, 8},  {codecs::FileFormat::Webp, 2, 8, &teal, 4, 8},
        {codecs::FileFormat::Heic, 2, 16, &white, 4, 16}, {codecs::FileFormat::Avif, 1, 8, &white, 3, 8},
        {codecs::FileFormat::Avif, 4, 16, &teal, 4, 16},
    };
    for (const auto &c : cases) {
        const codecs::RasterInfo out =
            pipeline::output_layout(layout(c.channels, c.depth), codecs::writer_accepts(c.format), *c.background);
        EXPECT_EQ(out.channels, c.want_channels) << codecs::format_name(c.format) << " from " << c.channels;
        EXPECT_EQ(out.bit_depth, c.want_depth) << codecs::format_name(c.format) << " from " << c.channels;
    }
}

TEST(Layout, NarrowingAndCompositingRoundToNearest) {
    // 16 to 8 bits: every value.
    std::vector<uint16_t> all(65536);
    for (uint32_t v = 0; v < 65536; ++v) all[v] = static_cast<uint16_t>(v);
    const std::vector<uint16_t> narrow = converted(all, layout(1, 16), layout(1, 8));
    for (uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(narrow[v], rounded(v * 255.0 / 65535.0)) << v;

    // 8-bit grey over three backgrounds: every value at every alpha.
    for (const uint16_t back : {uint16_t{0}, uint16_t{65535}, uint16_t{0x3355}}) {
        std::vector<uint16_t> pairs;
        for (uint16_t v = 0; v < 256; ++v)
            for (uint16_t a = 0; a < 256; ++a) pairs.insert(pairs.end(), {v, a});
        const std::vector<uint16_t> out = converted(pairs, layout(2, 8), layout(1, 8), {back, back, back});
        const long b = rounded(back * 255.0 / 65535.0);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const long v = pairs[2 * i], a = pairs[2 * i + 1];
            ASSERT_EQ(out[i], rounded(static_cast<double>(v * a + b * (255 - a)) / 255.0))
                << v << " at alpha " << a << " over " << b;
        }
    }

    // 16-bit RGBA over a colour, to 8-bit RGB: composited at 16 bits, then
    // narrowed; no lean against compositing and narrowing in one step.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> any(0, 65535);
    std::vector<uint16_t> rgba;
    for (int i = 0; i < 40000; ++i)
        for (int k = 0; k < 4; ++k) rgba.push_back(static_cast<uint16_t>(any(rng)));
    const pipeline::Background colour{0x1234, 0xfedc, 0x8000};
    const std::vector<uint16_t> out = converted(rgba, layout(4, 16), layout(3, 8), colour);
    const uint16_t backs[3] = {colour.r, colour.g, colour.b};
    double lean = 0;
    for (std::size_t i = 0; i < out.size() / 3; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            const double v = rgba[4 * i + k], a = rgba[4 * i + 3];
            const double exact = (v * a + backs[k] * (65535 - a)) / 65535;
            ASSERT_EQ(out[3 * i + k], rounded(static_cast<double>(rounded(exact)) * 255 / 65535));
            lean += out[3 * i + k] - exact * 255 / 65535;
        }
    EXPECT_LT(std::abs(lean / static_cast<double>(out.size())), 0.01);

    // Grey+alpha spread to RGB with its alpha kept.
    EXPECT_EQ(converted({7, 200, 255, 0}, layout(2, 8), layout(4, 8)),
              (std::vector<uint16_t>{7, 7, 7, 200, 255, 255, 255, 0}));
}

// The sRGB curve as its standard writes it.
double to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

TEST(LinearLight, EverySampleBothWaysAtBothDepths) {
    for (const int depth : {8, 16}) {
        SCOPED_TRACE(depth);
        const uint32_t max = (1u << depth) - 1;
        // Way in: every file value of one row, as R, G and B.
        std::vector<uint16_t> file;
        for (uint32_t v = 0; v <= max; ++v) file.insert(file.end(), {uint16_t(v), uint16_t(v), uint16_t(v)});
        const int32_t width = static_cast<int32_t>(max + 1);
        codecs::RasterInfo info = layout(3, depth, width);
        pipeline::ColourMapping mapping(true, nullptr);
        mapping.start(info);
        std::vector<int32_t> planes[3];
        pipeline::PlaneRows rows;
        rows.rows = 1;
        rows.width = width;
        for (int k = 0; k < 3; ++k) {
            planes[k].resize(static_cast<std::size_t>(width));
            rows.plane[k] = planes[k].data();
        }
        mapping.to_planes(pipeline::RawRows{file.data(), 1, width, 3}, rows);
        for (uint32_t v = 0; v <= max; ++v)
            ASSERT_EQ(planes[0][v], rounded(to_linear(v / static_cast<double>(max)) * 65535)) << v;

        // Way out: every operator value of the 16-bit scale.
        std::vector<uint16_t> in(65536 * 3), out(65536 * 3);
        info.width = 65536;
        mapping.start(info);
        for (int k = 0; k < 3; ++k) {
            planes[k].resize(65536);
            for (int32_t u = 0; u < 65536; ++u) planes[k][static_cast<std::size_t>(u)] = u;
            rows.plane[k] = planes[k].data();
        }
        rows.width = 65536;
        mapping.from_planes(rows, rows, pipeline::RawRows{in.data(), 1, 65536, 3},
                            pipeline::RawRows{out.data(), 1, 65536, 3});
        for (uint32_t u = 0; u < 65536; ++u) ASSERT_EQ(out[3 * u], rounded(to_srgb(u / 65535.0) * max)) << u;
    }
}

// Runs one operation from an in-memory PNG to a scratch file, recording progress.
std::vector<std::pair<int64_t, int64_t>> progress_of(const std::string &png, unsigned threads) {
    std::FILE *in = fmemopen(const_cast<char *>(png.data()), png.size(), "rb");
    std::FILE *out = std::tmpfile();
    if (!in || !out) throw std::runtime_error("cannot open scratch files");
    std::string error;
    auto reader = codecs::open_reader(in, codecs::ReadLimits{}, &error);
    EXPECT_TRUE(reader) << error;
    const auto reopen = [&](std::string *e) {
        std::fseek(in, 0, SEEK_SET);
        return codecs::open_reader(in, codecs::ReadLimits{}, e);
    };
    std::vector<std::pair<int64_t, int64_t>> calls;
    pipeline::RunSettings settings;
    settings.shape = pipeline::RunShape{7, threads};
    settings.rows_done = [&](int64_t done, int64_t total) { calls.emplace_back(done, total); };
    pipeline::Operation op;
    op.strength = 20;
    pipeline::RunReport report;
    const auto problem =
        pipeline::run_operation(std::move(reader), reopen, op,
                                pipeline::Destination{codecs::FileFormat::Png, out, {}, "out"}, settings, &report);
    EXPECT_FALSE(problem) << *problem;
    std::fclose(in);
    std::fclose(out);
    return calls;
}

TEST(Progress, EndsExactlyAtItsTotal) {
    // Noise has thousands of colours: its census stops early and the image is
    // streamed, on one thread and three. Ten colours: read twice (the census,
    // then the writing), so the total counts every row twice.
    std::vector<std::string> rows;
    for (int y = 0; y < 50; ++y) {
        std::string row;
        for (int x = 0; x < 30; ++x) row += std::string(3, static_cast<char>(25 * ((x + y) % 10)));
        rows.push_back(row);
    }
    const struct {
        const char *what;
        std::string png;
        unsigned threads;
        int64_t total;
    } cases[] = {
        {"streamed, one thread", bytes::noise_png(30, 50), 1, 50},
        {"streamed, three threads", bytes::noise_png(30, 50), 3, 50},
        {"few colours", bytes::png_file(30, 50, 8, 2, rows), 2, 100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto calls = progress_of(c.png, c.threads);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), std::make_pair(c.total, c.total));
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_LE(calls[i].first, calls[i].second);
            if (i > 0 && calls[i].second == calls[i - 1].second) {  // a census that overflows starts over
                EXPECT_GE(calls[i].first, calls[i - 1].first);
            }
        }
    }
}

}  // namespace
