// Hue polarisation toward the fixed poles and toward given poles.
#include "qova.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>

namespace {

auto fixed(int strength) {
    return [=](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_HuePolarisation(in, out, strength); };
}

auto given(int strength, std::vector<int> &poles) {
    return [=, &poles](ImageDescriptor *in, ImageDescriptor *out) {
        return QOVA_HuePolarisation1(in, out, strength, poles.data(), static_cast<int>(poles.size()));
    };
}

// Hues through an operator: one row, hue in plane 1.
template <class Op>
std::vector<int32_t> hues_after(const std::vector<int32_t> &hues, Op op) {
    Harness h(row_image(hues), zenk::PartPlan::rows(1));
    EXPECT_EQ(h.run(op), 0);
    return h.output.planes[1];
}

// The exact result, in integers: trunc((100 h + a d) / 100) for the signed
// distance d to the chosen pole.
int32_t exact_fixed(int32_t h, int a) {
    const int pole = h < 600 ? 0 : h < 1800 ? 1200 : h < 3000 ? 2400 : 3600;
    const int64_t v = (100LL * h + static_cast<int64_t>(a) * (pole - h)) / 100;
    return static_cast<int32_t>(std::clamp<int64_t>(v, 0, 3600));
}

int32_t exact_given(int32_t h, int a, const std::vector<int> &sorted) {
    const int n = static_cast<int>(sorted.size());
    int k = 0;
    while (k < n && h > sorted[static_cast<std::size_t>(k)]) ++k;
    const int64_t lower = k == 0 ? sorted.back() - 3600LL : sorted[static_cast<std::size_t>(k - 1)];
    const int64_t upper = k == n ? sorted.front() + 3600LL : sorted[static_cast<std::size_t>(k)];
    const int64_t below = h - lower, above = upper - h;
    int64_t v = above > below ? (100LL * h - a * below) / 100 : (100LL * h + a * above) / 100;
    if (v > 3600) v -= 3600;
    if (v < 0) v += 3600;
    return static_cast<int32_t>(v);
}

std::vector<int32_t> hue_range(int32_t from, int32_t to) {
    std::vector<int32_t> v;
    for (int32_t h = from; h <= to; ++h) v.push_back(h);
    return v;
}

struct HueCase {
    const char *what;
    int strength;
    std::vector<int> poles;  // empty: the fixed poles
    std::vector<int32_t> in, expected;
};
std::ostream &operator<<(std::ostream &os, const HueCase &c) { return os << c.what; }

class HueValues : public ::testing::TestWithParam<HueCase> {};

TEST_P(HueValues, Moved) {
    HueCase c = GetParam();
    const auto out =
        c.poles.empty() ? hues_after(c.in, fixed(c.strength)) : hues_after(c.in, given(c.strength, c.poles));
    EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Hue, HueValues,
    ::testing::Values(
        HueCase{"fixed, 100: every hue to its pole",
                100,
                {},
                {0, 599, 600, 1799, 1800, 2999, 3000, 3599},
                {0, 0, 1200, 1200, 2400, 2400, 3600, 3600}},
        HueCase{"fixed, -100 doubles the distance", -100, {}, {500, 100, 3500, 1300}, {1000, 200, 3400, 1400}},
        HueCase{"fixed, -100 crosses band edges", -100, {}, {3100, 500, 599, 2999}, {2600, 1000, 1198, 3598}},
        HueCase{"fixed, clamped at 0 and 3600", -100, {}, {-50, 3700, INT_MIN, INT_MAX}, {0, 3600, 0, 3600}},
        HueCase{
            "fixed, 3600 and above: the last band extends", 50, {}, {3600, 3700, 5000, 3602}, {3600, 3600, 3600, 3600}},
        HueCase{"fixed, above 3600 pushed away then clamped", -50, {}, {3620, 7000}, {3600, 3600}},
        HueCase{"fixed, truncated not rounded", 33, {}, {601}, {798}},  // 601 + 197.67
        HueCase{"given, on a pole stays", -100, {900, 2000}, {900, 2000}, {900, 2000}},
        HueCase{"given, midway goes to the upper pole", 100, {0, 1200, 2400}, {1800, 600}, {2400, 1200}},
        HueCase{"given, fixed poles at 100", 100, {2400, 0, 1200}, {100, 700, 3500}, {0, 1200, 3600}},
        // 2800 is midway both ways round: it goes up, toward 4600, to 3700 and wraps to 100.
        HueCase{
            "given, one pole both ways round", 50, {1000}, {500, 1500, 2800, 3000, 100}, {750, 1250, 100, 200, 550}},
        HueCase{"given, wraps above 3600", -100, {3000}, {3500}, {400}},
        HueCase{"given, wraps below 0", -100, {600}, {100}, {3200}},  // 100 - 500 = -400
        HueCase{"given, 0/1800 at -100", -100, {1800, 0}, {1000, 3500}, {200, 3400}},
        HueCase{"given, duplicated poles", 100, {1200, 0, 1200, 0}, {500, 700, 1200}, {0, 1200, 1200}},
        // Distances of 2^31 saturate the sample, then one wrap applies.
        HueCase{"given, extreme poles do not overflow",
                100,
                {INT_MAX, INT_MIN},
                {0, 3600},
                {INT_MAX - 3600, INT_MAX - 3600}}));

TEST(Hue, FixedPolesMatchExactArithmeticForEveryHueAndStrength) {
    const std::vector<int32_t> hues = hue_range(-4000, 8000);
    for (int a = -100; a <= 100; ++a) {
        const auto out = hues_after(hues, fixed(a));
        for (std::size_t i = 0; i < hues.size(); ++i)
            ASSERT_EQ(out[i], exact_fixed(hues[i], a)) << "hue " << hues[i] << " strength " << a;
    }
}

TEST(Hue, GivenPolesMatchExactArithmeticForEveryHueAndStrength) {
    const std::vector<int32_t> hues = hue_range(-4000, 8000);
    const std::vector<std::vector<int>> pole_sets = {{0, 1200, 2400}, {1800},       {3000, 100},
                                                     {0, 0, 3600},    {-500, 4000}, {10, 20, 3590, 1700, 1800}};
    for (const auto &set : pole_sets) {
        std::vector<int> sorted = set;
        std::sort(sorted.begin(), sorted.end());
        for (int a = -100; a <= 100; a += 3) {
            std::vector<int> poles = set;
            const auto out = hues_after(hues, given(a, poles));
            EXPECT_EQ(poles, sorted);
            for (std::size_t i = 0; i < hues.size(); ++i)
                ASSERT_EQ(out[i], exact_given(hues[i], a, sorted)) << "hue " << hues[i] << " strength " << a;
        }
    }
}

TEST(Hue, OnlyThePlaneOfHuesChangesAcrossManyParts) {
    for (const bool with_poles : {false, true}) {
        std::vector<int> poles = {2000, 300};
        Harness h(random_image(17, 23, -100, 4000, 7), zenk::PartPlan::exactly({5, 0, 1, 17}));
        h.input.attribute = 0x77;
        ASSERT_EQ(h.run(with_poles ? std::function<int(ImageDescriptor *, ImageDescriptor *)>(given(-60, poles))
                                   : fixed(-60)),
                  0);
        EXPECT_EQ(h.trace.sequence(), "GPGPGPGPR0R0");
        EXPECT_EQ(h.output.planes[0], h.input.planes[0]);
        EXPECT_EQ(h.output.planes[2], h.input.planes[2]);
        EXPECT_EQ(h.output.attribute, 0x77u);
        for (std::size_t i = 0; i < h.input.planes[1].size(); ++i) {
            const int32_t hue = h.input.planes[1][i];
            ASSERT_EQ(h.output.planes[1][i], with_poles ? exact_given(hue, -60, {300, 2000}) : exact_fixed(hue, -60));
        }
    }
}

TEST(Hue, FailuresReportTheLabelAndStillSortThePoles) {
    const struct {
        bool on_fetch;
        int at;
        const char *calls;
    } cases[] = {{true, 1, "G"}, {true, 2, "GPG"}, {false, 1, "GP"}};
    for (const auto &c : cases) {
        for (const bool with_poles : {false, true}) {
            std::vector<int> poles = {3000, 5, 1200};
            Harness h(random_image(3, 6, 0, 3600), zenk::PartPlan::rows(3));
            h.input.attribute = 41;
            if (c.on_fetch) {
                h.trace.fail_getpart(c.at, -30);
            } else {
                h.trace.fail_putpart(c.at, -30);
            }
            const int status = with_poles ? h.run(given(10, poles)) : h.run(fixed(10));
            EXPECT_EQ(status, -30);
            EXPECT_EQ(h.errors(), "Hue Polarisation;");
            EXPECT_EQ(h.trace.sequence(), c.calls);
            EXPECT_EQ(h.out.attribute, 41u) << "copied before the first fetch";
            if (with_poles) {
                EXPECT_EQ(poles, (std::vector<int>{5, 1200, 3000}));
            }
        }
    }
}

TEST(Hue, RejectedArguments) {
    const std::vector<int> original = {3000, 5, 1200};
    const struct {
        int strength;
        int npoles;
        bool null_poles;
    } cases[] = {{101, 3, false}, {-101, 3, false}, {INT_MIN, 3, false}, {0, 0, false}, {0, -5, false}, {0, 3, true}};
    for (const auto &c : cases) {
        std::vector<int> poles = original;
        Harness h(random_image(3, 3, 0, 3600));
        const int status = h.run([&](ImageDescriptor *in, ImageDescriptor *out) {
            return QOVA_HuePolarisation1(in, out, c.strength, c.null_poles ? nullptr : poles.data(), c.npoles);
        });
        EXPECT_EQ(status, -1);
        EXPECT_EQ(ZENK_ERRNO, -20);
        EXPECT_TRUE(h.trace.calls.empty());
        EXPECT_EQ(poles, original) << "untouched";
        EXPECT_EQ(h.out.attribute, 0u);
    }
    Harness h(random_image(3, 3, 0, 3600));
    EXPECT_EQ(h.run(fixed(101)), -1);
    EXPECT_EQ(h.run([](ImageDescriptor *in, ImageDescriptor *) { return QOVA_HuePolarisation(in, nullptr, 0); }), -1);
    EXPECT_TRUE(h.trace.calls.empty());
}

}  // namespace
