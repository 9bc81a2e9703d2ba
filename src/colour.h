// Colour conversions of one pixel: RGB to CIE XYZ and xy chromaticity, RGB to
// hue-saturation-intensity, and HSI back to RGB fractions. Every operation is
// written in the order that defines the result bit for bit, in double
// precision (compile with -ffp-contract=off); nothing here may be reassociated.
#ifndef QOVA_COLOUR_H
#define QOVA_COLOUR_H

#include <cmath>
#include <cstdint>

namespace qova {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

struct Xyz { double X, Y, Z; };
struct Chromaticity { double x, y; };
struct Hsi { double H, S, I; };        // H in degrees, S in 0..1, I = mean of R, G, B
struct Fractions { double r, g, b; };  // shares of 3 I; they sum to 1

// sRGB primaries with D65 white, six-decimal coefficients, sums left to right.
inline Xyz rgb_to_xyz(double R, double G, double B) {
    return Xyz{0.412453 * R + 0.357580 * G + 0.180423 * B,
               0.212671 * R + 0.715160 * G + 0.072169 * B,
               0.019334 * R + 0.119193 * G + 0.950227 * B};
}

// X and Y rounded to single precision over the whole-number total T = X + Y + Z
// (truncated). T = 0 gives infinite or NaN coordinates, never a trap.
inline Chromaticity xyz_to_xy(const Xyz &v) {
    // |X + Y + Z| stays below 2^34 for 32-bit samples: no overflow in 64 bits.
    const auto total = static_cast<double>(static_cast<int64_t>(v.X + v.Y + v.Z));
    return Chromaticity{static_cast<double>(static_cast<float>(v.X)) / total,
                        static_cast<double>(static_cast<float>(v.Y)) / total};
}

// Saturation: 0 when R + G + B truncates to 0, else 1 - 3 min / (R + G + B).
inline double saturation(int32_t r, int32_t g, int32_t b) {
    const double R = r, G = g, B = b;
    const double sum = R + G + B;
    if (static_cast<int64_t>(sum) == 0) return 0.0;
    const double m = R < G ? (R < B ? R : B) : (G < B ? G : B);
    return 1 - 3 * m / sum;
}

// The hue, in degrees, of a pixel with some saturation (1000 S > 0). It
// depends on the differences R - G and R - B alone, which double holds
// exactly; G - B is their difference, and B > G exactly when R - G > R - B.
inline double hue_of_differences(int64_t rg, int64_t rb) {
    const double RG = static_cast<double>(rg), RB = static_cast<double>(rb), GB = static_cast<double>(rb - rg);
    const double num = (RG + RB) * 0.5;
    const double den = std::sqrt(RG * RG + RB * GB);
    const double theta = std::acos(num / den);
    return rg > rb ? (kTwoPi - theta) * 180 / kPi : theta * 180 / kPi;
}

inline Hsi rgb_to_hsi(int32_t r, int32_t g, int32_t b) {
    const double sum = static_cast<double>(r) + g + b;
    Hsi out{0.0, saturation(r, g, b), sum / 3};
    if (1000 * out.S > 0) out.H = hue_of_differences(static_cast<int64_t>(r) - g, static_cast<int64_t>(r) - b);
    return out;
}

// The part of the way back to RGB that depends on the hue alone: its
// 120-degree sector (1: red leads, 2: green, 3: blue) and the two cosines of
// its angle h within the sector, cos(h) and cos(60 - h).
struct HueSector {
    int sector;
    double cos_h, cos_60_minus_h;
};

inline HueSector hue_sector(double H) {
    if (H == 0) H = 360;
    int sector = 3;
    double h = H - 240;
    if (0 < H && H <= 120) {
        sector = 1;
        h = H;
    } else if (120 < H && H <= 240) {
        sector = 2;
        h = H - 120;
    }
    return HueSector{sector, std::cos(h * kPi / 180), std::cos((60 - h) * kPi / 180)};
}

// The shares of 3 I: (1 - S) / 3 for the trailing component, (1 + S cos(h) /
// cos(60 - h)) / 3 for the leading one, and the rest of 1 for the third
// (the order of a sum of two does not change it).
inline Fractions fractions(const HueSector &hue, double S) {
    const double trailing = (1 - S) / 3;
    const double leading = (1 + S * hue.cos_h / hue.cos_60_minus_h) / 3;
    const double rest = 1 - (leading + trailing);
    switch (hue.sector) {
    case 1: return Fractions{leading, rest, trailing};
    case 2: return Fractions{trailing, leading, rest};
    default: return Fractions{rest, trailing, leading};
    }
}

inline Fractions hsi_to_fractions(double H, double S) { return fractions(hue_sector(H), S); }

}  // namespace qova

#endif
