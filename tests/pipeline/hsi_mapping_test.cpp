// The tool's fast HSI mapping against the exact double-precision one: the
// planes the operators see must be the same, and a changed pixel must come
// back within one level of the exact result, at 8 and 16 bits. Its two sets
// of row kernels must agree bit for bit, and leaving the hue out must not
// change a saturation change.
#include "pipeline/hsi_mapping.h"
#include "pipeline/detail/hsi_rows.h"

#include <gtest/gtest.h>

#include <cstring>
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

// One row through a set of kernels: the planes and what the way there kept,
// then the samples back from planes the test changed.
struct KernelRun {
    std::vector<int32_t> sum, hue, sat;
    std::vector<float> rest, saturation;
    std::vector<uint16_t> r16, g16, b16;
};

namespace rows = pipeline::rows;

// What an operator might leave: per pixel, a new saturation, a turned hue,
// both, a changed sum, or nothing; in every third row, turned hues alone, as
// the hue operators leave them. Without the hue, plane 1 carries only the
// turn (the way there left 0).
struct Changed {
    std::vector<int32_t> sum, hue, sat;
};
Changed changed_planes(const KernelRun &before, bool with_hue, uint32_t seed) {
    std::mt19937 rng(seed);
    Changed c{before.sum, before.hue, before.sat};
    for (std::size_t i = 0; i < c.sum.size(); ++i) {
        const int turn = int(rng() % 3601) - 1800;
        switch (seed % 3 == 0 ? 1 : rng() % 5) {
        case 0: c.sat[i] = int32_t(rng() % 1000); break;
        case 1: c.hue[i] = with_hue ? (c.hue[i] + turn + 3600) % 3600 : turn; break;
        case 2:
            c.sat[i] = int32_t(rng() % 1000);
            c.hue[i] = with_hue ? (c.hue[i] + turn + 3600) % 3600 : turn;
            break;
        case 3: c.sum[i] = std::max(0, c.sum[i] + int(rng() % 7) - 3); break;
        default: break;
        }
    }
    return c;
}

KernelRun run_kernels(const rows::Kernels &k, const std::vector<int32_t> (&rgb)[3], bool with_hue, uint32_t max,
                      uint32_t seed) {
    const std::size_t n = rgb[0].size();
    KernelRun r;
    for (auto *v : {&r.sum, &r.hue, &r.sat}) v->assign(n, -1);
    for (auto *v : {&r.rest, &r.saturation}) v->assign(n, -1.0f);
    for (auto *v : {&r.r16, &r.g16, &r.b16}) v->assign(n, 0);
    k.forward(n, with_hue,
              rows::ForwardArrays{rgb[0].data(), rgb[1].data(), rgb[2].data(), r.sum.data(), r.hue.data(), r.sat.data(),
                                  r.rest.data(), r.saturation.data()});
    const Changed c = changed_planes(r, with_hue, seed);
    k.backward(n, with_hue, max,
               rows::BackwardArrays{rgb[0].data(), rgb[1].data(), rgb[2].data(), c.sum.data(), c.hue.data(),
                                    c.sat.data(), r.sum.data(), r.hue.data(), r.sat.data(), r.rest.data(),
                                    r.saturation.data(), r.r16.data(), r.g16.data(), r.b16.data()});
    return r;
}

template <class T>
bool same_bits(const std::vector<T> &a, const std::vector<T> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

void expect_same_kernels(const std::vector<int32_t> (&rgb)[3], uint32_t max, uint32_t seed, const char *what) {
    for (const bool with_hue : {true, false}) {
        const KernelRun a = run_kernels(rows::portable_kernels(), rgb, with_hue, max, seed);
        const KernelRun b = run_kernels(rows::avx2_kernels(), rgb, with_hue, max, seed);
        const std::string at = std::string(what) + (with_hue ? "" : ", hue left out");
        ASSERT_TRUE(same_bits(a.sum, b.sum) && same_bits(a.hue, b.hue) && same_bits(a.sat, b.sat)) << at;
        ASSERT_TRUE(same_bits(a.rest, b.rest) && same_bits(a.saturation, b.saturation)) << at;
        ASSERT_TRUE(same_bits(a.r16, b.r16) && same_bits(a.g16, b.g16) && same_bits(a.b16, b.b16)) << at;
    }
}

TEST(HsiRows, Avx2AndPortableKernelsGiveTheSameBits) {
    if (!rows::avx2_kernels().forward) GTEST_SKIP() << "no AVX2 on this processor";
    for (int red = 0; red < 256; ++red) {  // every 8-bit colour
        std::vector<int32_t> rgb[3];
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                rgb[0].push_back(red);
                rgb[1].push_back(g);
                rgb[2].push_back(b);
            }
        expect_same_kernels(rgb, 255, uint32_t(red), "8-bit colours");
    }
    // Every row length up to three groups, so that every tail is met, and
    // 16-bit samples with greys, primaries and extremes among them.
    std::mt19937 rng(3);
    for (std::size_t width = 1; width <= 50; ++width)
        for (int repeat = 0; repeat < 20; ++repeat) {
            std::vector<int32_t> rgb[3];
            for (std::size_t i = 0; i < width; ++i) {
                const int32_t v = int32_t(rng() % 65536), kind = int32_t(rng() % 4);
                for (auto &plane : rgb)
                    plane.push_back(kind == 0 ? v : kind == 1 ? int32_t(rng() % 2) * 65535 : int32_t(rng() % 65536));
            }
            expect_same_kernels(rgb, 65535, uint32_t(width * 100 + std::size_t(repeat)), "16-bit row");
        }
}

TEST(HsiMapping, LeavingTheHueOutChangesNoSaturationChange) {
    std::mt19937 rng(5);
    for (int red = 0; red < 256; red += 3) {
        Colours colours = eight_bit_slice(red);
        codecs::RasterInfo &info = colours.info;
        info.channels = 3;
        info.height = 1;
        info.width = static_cast<int32_t>(colours.samples.size() / 3);
        const pipeline::RawRows raw{colours.samples.data(), 1, info.width, 3};
        HsiMapping with(HsiMapping::Hue::Computed), without(HsiMapping::Hue::LeftOut);
        with.start(info);
        without.start(info);
        Planes a, b, changed_a, changed_b;
        const pipeline::PlaneRows pa = a.rows(info.width), pb = b.rows(info.width);
        with.to_planes(raw, pa);
        without.to_planes(raw, pb);
        ASSERT_EQ(a.p[0], b.p[0]);
        ASSERT_EQ(a.p[2], b.p[2]);
        ASSERT_TRUE(std::all_of(b.p[1].begin(), b.p[1].end(), [](int32_t h) { return h == 0; }));
        const pipeline::PlaneRows ca = changed_a.rows(info.width), cb = changed_b.rows(info.width);
        for (std::size_t i = 0; i < a.p[0].size(); ++i) {
            const int32_t sat = rng() % 2 ? int32_t(rng() % 1000) : a.p[2][i];
            changed_a.p[0][i] = a.p[0][i];
            changed_a.p[1][i] = a.p[1][i];
            changed_a.p[2][i] = sat;
            changed_b.p[0][i] = b.p[0][i];
            changed_b.p[1][i] = b.p[1][i];
            changed_b.p[2][i] = sat;
        }
        std::vector<uint16_t> out_a(colours.samples.size()), out_b(colours.samples.size());
        with.from_planes(ca, pa, raw, pipeline::RawRows{out_a.data(), 1, info.width, 3});
        without.from_planes(cb, pb, raw, pipeline::RawRows{out_b.data(), 1, info.width, 3});
        ASSERT_EQ(out_a, out_b) << "red " << red;

        // A turn of the hue all the same finds each pixel's own hue first.
        for (std::size_t i = 0; i < a.p[0].size(); ++i) changed_b.p[1][i] = 300;
        without.from_planes(cb, pb, raw, pipeline::RawRows{out_b.data(), 1, info.width, 3});
        for (std::size_t i = 0; i < a.p[0].size(); ++i) {
            const uint16_t *px = &colours.samples[i * 3];
            const pipeline::HsiPixel exact = pipeline::exact_hsi(px[0], px[1], px[2]);
            const auto want = pipeline::exact_rgb(exact.hue + 300, changed_b.p[2][i], exact.sum, exact, 255);
            for (std::size_t k = 0; k < 3; ++k)
                ASSERT_LE(std::abs(int(out_b[i * 3 + k]) - int(want[k])), 1)
                    << px[0] << " " << px[1] << " " << px[2] << " turned by 30 degrees";
        }
    }
}

}  // namespace
