// The tool's fast HSI mapping against the exact double-precision one: the
// planes the operators see must be the same, and a changed pixel must come
// back within one level of the exact result, at 8 and 16 bits.
#include "pipeline/hsi_mapping.h"

#include <gtest/gtest.h>

#include <random>

namespace codecs = qova::codecs;
namespace pipeline = qova::pipeline;

namespace {

using pipeline::HsiMapping;

struct Colours {
    codecs::RasterInfo info;
    std::vector<uint16_t> samples;  // one row, interleaved RGB
};

// The 8-bit colours with the given red, all 65536 of them.
Colours eight_bit_slice(int red) {
    Colours c;
    c.info.bit_depth = 8;
    for (int g = 0; g < 256; ++g)
        for (int b = 0; b < 256; ++b) c.samples.insert(c.samples.end(), {uint16_t(red), uint16_t(g), uint16_t(b)});
    return c;
}

// Random 16-bit colours with greys, primaries and near-greys among them, and
// colours whose hue lies within 3e-7 of a tie between two tenths.
Colours sixteen_bit(std::size_t n) {
    Colours c;
    c.info.bit_depth = 16;
    c.samples = {3901,  5023,  38194, 13546, 33751, 22961, 39716, 29618, 31985,
                 28648, 11818, 15763, 26091, 42632, 58729, 62619, 36304, 39576};
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any(0, 65535), near(-3, 3);
    for (std::size_t i = 0; i < n; ++i) {
        const int v = any(rng);
        switch (i % 4) {
        case 0: c.samples.insert(c.samples.end(), {uint16_t(any(rng)), uint16_t(any(rng)), uint16_t(any(rng))}); break;
        case 1: {  // near grey: tiny saturation, ill-conditioned hue
            const auto nudge = [&](int d) { return uint16_t(std::clamp(v + d, 0, 65535)); };
            c.samples.insert(c.samples.end(), {nudge(near(rng)), nudge(near(rng)), nudge(near(rng))});
            break;
        }
        case 2: c.samples.insert(c.samples.end(), {uint16_t(v), 0, uint16_t(any(rng) % 2 ? v : 0)}); break;
        default: c.samples.insert(c.samples.end(), {uint16_t(v), uint16_t(v), uint16_t(v)}); break;
        }
    }
    return c;
}

struct Planes {
    std::vector<int32_t> p[3];
    pipeline::PlaneRows rows(int32_t width) {
        pipeline::PlaneRows r;
        for (int k = 0; k < 3; ++k) {
            p[k].resize(static_cast<std::size_t>(width));
            r.plane[k] = p[k].data();
        }
        r.rows = 1;
        r.width = width;
        return r;
    }
};

void check(Colours colours) {
    codecs::RasterInfo &info = colours.info;
    info.channels = 3;
    info.height = 1;
    info.width = static_cast<int32_t>(colours.samples.size() / 3);
    const pipeline::RawRows raw{colours.samples.data(), 1, info.width, 3};
    HsiMapping mapping;
    mapping.start(info);
    Planes before, after;
    const pipeline::PlaneRows in = before.rows(info.width);
    mapping.to_planes(raw, in);

    std::vector<pipeline::HsiPixel> exact(static_cast<std::size_t>(info.width));
    for (std::size_t i = 0; i < exact.size(); ++i) {
        const uint16_t *px = &colours.samples[i * 3];
        exact[i] = pipeline::exact_hsi(px[0], px[1], px[2]);
        ASSERT_EQ(before.p[1][i], exact[i].hue) << px[0] << " " << px[1] << " " << px[2];
        ASSERT_EQ(before.p[2][i], exact[i].sat) << px[0] << " " << px[1] << " " << px[2];
        ASSERT_EQ(before.p[0][i], exact[i].sum);
    }

    // What the operators do: saturation alone, hue alone, both; some pixels left.
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> any_hue(0, 3600), any_sat(0, 999), kind(0, 3);
    const pipeline::PlaneRows changed = after.rows(info.width);
    for (std::size_t i = 0; i < exact.size(); ++i) {
        const int k = kind(rng);
        after.p[0][i] = before.p[0][i];
        after.p[1][i] = k == 1 || k == 2 ? any_hue(rng) : before.p[1][i];
        after.p[2][i] = k == 0 || k == 2 ? any_sat(rng) : before.p[2][i];
    }
    std::vector<uint16_t> out(colours.samples.size());
    mapping.from_planes(changed, in, raw, pipeline::RawRows{out.data(), 1, info.width, 3});
    // Within one level each, and without a lean: a result truncated where it
    // should be rounded stays within the level but moves the mean by half.
    int64_t signed_error = 0, changed_samples = 0;
    for (std::size_t i = 0; i < exact.size(); ++i) {
        const uint16_t *px = &colours.samples[i * 3], *got = &out[i * 3];
        const bool same = after.p[1][i] == before.p[1][i] && after.p[2][i] == before.p[2][i];
        const std::array<uint16_t, 3> want =
            same ? std::array<uint16_t, 3>{px[0], px[1], px[2]}
                 : pipeline::exact_rgb(after.p[1][i], after.p[2][i], after.p[0][i], exact[i], info.max_value());
        for (int k = 0; k < 3; ++k) {
            const int diff = std::abs(int(got[k]) - int(want[static_cast<std::size_t>(k)]));
            if (!same) {
                signed_error += int(got[k]) - int(want[static_cast<std::size_t>(k)]);
                ++changed_samples;
            }
            if (same) {
                ASSERT_EQ(diff, 0) << "an unchanged pixel comes back as it was";
            }
            ASSERT_LE(diff, 1) << px[0] << " " << px[1] << " " << px[2] << " to hue " << after.p[1][i] << ", sat "
                               << after.p[2][i];
        }
    }
    ASSERT_GT(changed_samples, 0);
    EXPECT_LT(std::abs(static_cast<double>(signed_error) / static_cast<double>(changed_samples)), 0.02)
        << "mean signed error over " << changed_samples << " samples";
}

TEST(HsiMapping, EveryEightBitColourMatchesTheExactMapping) {
    for (int red = 0; red < 256; ++red) check(eight_bit_slice(red));
}

TEST(HsiMapping, SixteenBitColoursMatchTheExactMapping) { check(sixteen_bit(2000000)); }

}  // namespace
