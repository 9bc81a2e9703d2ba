// The conversion every operator uses to write a floating result back.
#include "src/sample.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

namespace {

TEST(ToSample, TruncatesTowardZeroAndSaturates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double v;
        int32_t expected;
    } cases[] = {
        {2.9, 2},
        {-2.9, -2},
        {-0.9, 0},
        {254.99999999, 254},
        {nan, 0},
        {inf, INT_MAX},
        {-inf, INT_MIN},
        {1e300, INT_MAX},
        {2147483647.5, INT_MAX},
        {2147483648.0, INT_MAX},
        {-2147483648.9, INT_MIN},
        {-2147483649.0, INT_MIN},
        {-2147483647.5, -2147483647},
    };
    for (const auto &c : cases) EXPECT_EQ(qova::to_sample(c.v), c.expected) << c.v;

    EXPECT_EQ(qova::to_sample(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(qova::to_sample(2147483648.0f), INT_MAX);
    EXPECT_EQ(qova::to_sample(-2147483648.0f), INT_MIN);
    EXPECT_EQ(qova::to_sample(2147483520.0f), 2147483520);  // largest float below 2^31
    EXPECT_EQ(qova::to_sample(-6.5f), -6);
}

}  // namespace
