// The saturation operator's per-pixel results and whole-image behaviour.
#include "qova.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace {

struct SatCase {
    int strength;
    int32_t in;
    int32_t expected;
};
std::ostream &operator<<(std::ostream &os, const SatCase &c) { return os << c.strength << "% of " << c.in; }

class SaturationValues : public ::testing::TestWithParam<SatCase> {};

TEST_P(SaturationValues, TruncatedThenClamped) {
    const SatCase &c = GetParam();
    Harness h(row_image({c.in}));
    ASSERT_EQ(h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, c.strength); }),
              0);
    EXPECT_EQ(h.output.at(2, 0, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Saturation, SaturationValues,
                         ::testing::Values(SatCase{-100, 500, 0}, SatCase{-100, 999, 0}, SatCase{100, 499, 998},
                                           SatCase{100, 500, 999}, SatCase{10, 999, 999},  // 1098.9 -> 1098 -> 999
                                           SatCase{-33, 10, 6},                            // 6.7 truncated, not rounded
                                           SatCase{30, 5, 6},                              // 6.5
                                           SatCase{10, 15, 16},                            // 16.5
                                           SatCase{-1, 999, 989},                          // 989.01
                                           SatCase{0, 1000, 999}, SatCase{0, 0, 0}, SatCase{50, -5, 0},
                                           SatCase{-100, -5, 0}, SatCase{100, INT_MAX, 999}, SatCase{-50, INT_MIN, 0},
                                           SatCase{-100, INT_MIN, 0}));

// Independent formula: the exact rational result, truncated and clamped.
int32_t expected_saturation(int32_t s, int a) {
    if (s < 0) return 0;
    const long long scaled = static_cast<long long>(s) * (100 + a);  // 100 v, exactly
    return static_cast<int32_t>(std::min<long long>(scaled / 100, 999));
}

TEST(Saturation, WholeImageInUnevenPartsOnlyPlaneTwoChanges) {
    for (int strength : {-100, -37, 0, 1, 45, 100}) {
        Harness h(random_image(13, 11, -50, 1100, static_cast<unsigned>(strength + 200)),
                  zenk::PartPlan::exactly({4, 0, 1, 6}));
        h.input.attribute = 0xBEEF;
        ASSERT_EQ(
            h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, strength); }), 0);
        EXPECT_EQ(h.output.planes[0], h.input.planes[0]);
        EXPECT_EQ(h.output.planes[1], h.input.planes[1]);
        EXPECT_EQ(h.output.attribute, 0xBEEFu);
        for (std::size_t i = 0; i < h.input.planes[2].size(); ++i)
            ASSERT_EQ(h.output.planes[2][i], expected_saturation(h.input.planes[2][i], strength))
                << "strength " << strength << " s " << h.input.planes[2][i];
    }
}

TEST(Saturation, EveryValueAndStrengthMatchesExactArithmetic) {
    // Single precision gives the exact truncated result over the whole useful range.
    std::vector<int32_t> values;
    for (int32_t s = -20; s <= 1100; ++s) values.push_back(s);
    for (int strength = -100; strength <= 100; ++strength) {
        Harness h(row_image(values), zenk::PartPlan::rows(1));
        ASSERT_EQ(
            h.run([&](ImageDescriptor *in, ImageDescriptor *out) { return QOVA_SatuVariation(in, out, strength); }), 0);
        for (std::size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(h.output.planes[2][i], expected_saturation(values[i], strength))
                << "strength " << strength << " s " << values[i];
    }
}

}  // namespace
