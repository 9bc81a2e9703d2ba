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

inline Hsi rgb_to_hsi(int32_t r, int32_t g, int32_t b) {
    const double R = r, G = g, B = b;
    const double sum = R + G + B;
    Hsi out{0.0, 0.0, sum / 3};
    if (static_cast<int64_t>(sum) != 0) {
        const double m = R < G ? (R < B ? R : B) : (G < B ? G : B);
        out.S = 1 - 3 * m / sum;
    }
    if (1000 * out.S > 0) {
        const double num = ((R - G) + (R - B)) * 0.5;
        const double den = std::sqrt((R - G) * (R - G) + (R - B) * (G - B));
        const double theta = std::acos(num / den);
        out.H = b > g ? (kTwoPi - theta) * 180 / kPi : theta * 180 / kPi;
    }
    return out;
}

// 1 + S cos(h) / cos(60 - h), over 3: the share of the component that leads
// the hue's 120-degree sector. h in degrees.
inline double leading_share(double S, double h) {
    return (1 + S * std::cos(h * kPi / 180) / std::cos((60 - h) * kPi / 180)) / 3;
}

inline Fractions hsi_to_fractions(double H, double S) {
    if (H == 0) H = 360;
    Fractions f;
    if (0 < H && H <= 120) {
        f.b = (1 - S) / 3;
        f.r = leading_share(S, H);
        f.g = 1 - (f.r + f.b);
    } else if (120 < H && H <= 240) {
        f.r = (1 - S) / 3;
        f.g = leading_share(S, H - 120);
        f.b = 1 - (f.r + f.g);
    } else {
        f.g = (1 - S) / 3;
        f.b = leading_share(S, H - 240);
        f.r = 1 - (f.g + f.b);
    }
    return f;
}

}  // namespace qova

#endif
