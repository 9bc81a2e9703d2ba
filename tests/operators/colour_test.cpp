// Conversions of single pixels between RGB, XYZ, xy and HSI.
#include "qova_conversions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace {

TEST(Colour, XyzAndChromaticity) {
    const qova::Xyz white = qova::rgb_to_xyz(1000, 1000, 1000);
    EXPECT_NEAR(white.X, 950.456, 1e-9);
    EXPECT_NEAR(white.Y, 1000.0, 1e-9);
    EXPECT_NEAR(white.Z, 1088.754, 1e-9);
    const qova::Chromaticity xy = qova::xyz_to_xy(white);
    EXPECT_EQ(xy.x, static_cast<double>(static_cast<float>(white.X)) / 3039.0);  // T truncated to 3039
    EXPECT_NEAR(xy.y, 0.329, 1e-3);

    const qova::Chromaticity black = qova::xyz_to_xy(qova::rgb_to_xyz(0, 0, 0));
    EXPECT_TRUE(std::isnan(black.x) && std::isnan(black.y));
    // X + Y + Z = 0.644458 truncates to T = 0: infinite coordinates.
    const qova::Chromaticity dim = qova::xyz_to_xy(qova::rgb_to_xyz(1, 0, 0));
    EXPECT_TRUE(std::isinf(dim.x) && dim.x > 0 && std::isinf(dim.y));
}

TEST(Colour, HsiOfTheCornerColours) {
    const struct {
        int r, g, b;
        double H, S, I;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},     {200, 200, 200, 0, 0, 200}, {255, 0, 0, 0, 1, 85},
        {0, 0, 90, 240, 1, 30}, {0, 90, 0, 120, 1, 30},
    };
    for (const auto &c : cases) {
        const qova::Hsi hsi = qova::rgb_to_hsi(c.r, c.g, c.b);
        EXPECT_NEAR(hsi.H, c.H, 1e-9) << c.r << "," << c.g << "," << c.b;
        EXPECT_NEAR(hsi.S, c.S, 1e-12);
        EXPECT_NEAR(hsi.I, c.I, 1e-12);
    }
}

TEST(Colour, FractionsRebuildTheColour) {
    // Black and grey: H becomes 360 and every share is a third.
    const qova::Fractions grey = qova::hsi_to_fractions(0, 0);
    EXPECT_NEAR(grey.r, 1.0 / 3, 1e-15);
    EXPECT_NEAR(grey.g, 1.0 / 3, 1e-15);
    EXPECT_NEAR(grey.b, 1.0 / 3, 1e-15);
    // Pure red: H = 0 turns into 360, handled as the blue sector with H' = 120.
    const qova::Fractions red = qova::hsi_to_fractions(0, 1);
    EXPECT_EQ(red.g, 0.0);
    EXPECT_NEAR(red.b, 0.0, 1e-15);
    EXPECT_NEAR(red.r, 1.0, 1e-15);
    // A round trip through HSI returns the colour up to rounding.
    for (const auto &rgb : {std::array<int, 3>{200, 100, 50}, {30, 180, 90}, {10, 20, 250}, {250, 20, 200}}) {
        const qova::Hsi hsi = qova::rgb_to_hsi(rgb[0], rgb[1], rgb[2]);
        const qova::Fractions f = qova::hsi_to_fractions(hsi.H, hsi.S);
        EXPECT_NEAR(f.r * 3 * hsi.I, rgb[0], 1e-9);
        EXPECT_NEAR(f.g * 3 * hsi.I, rgb[1], 1e-9);
        EXPECT_NEAR(f.b * 3 * hsi.I, rgb[2], 1e-9);
    }
}

}  // namespace
