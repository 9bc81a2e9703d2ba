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

struct Xyz {
    double X, Y, Z;
};
struct Chromaticity {
    double x, y;
};
struct Hsi {
    double H, S, I;
};  // H in degrees, S in 0..1, I = mean of R, G, B
struct Fractions {
    double r, g, b;
};  // shares of 3 I; they sum to 1

// sRGB primaries with D65 white, six-decimal coefficients, sums left to right.
inline Xyz rgb_to_xyz(double R, double G, double B) {
    return Xyz{0.412453 * R + 0.357580 * G + 0.180423 * B, 0.212671 * R + 0.715160 * G + 0.072169 * B,
               0.019334 * R + 0.119193 * G + 0.950227 * B};
}

// v truncated toward zero, as a conversion to a 64-bit integer and back gives
// it, for |v| < 2^52 (|X + Y + Z| stays below 2^34 for 32-bit samples). Adding
// and taking away 2^52 rounds |v| to a whole number; a step back where that
// rounded up. Plain arithmetic, so that loops over pixels vectorise.
inline double whole_part(double v) {
    const double a = std::fabs(v);
    double t = (a + 0x1p52) - 0x1p52;
    t = t - (t > a ? 1.0 : 0.0);
    return v < 0 ? -t : t;  // +0 for -0, as the integer gives
}

// X and Y rounded to single precision over the whole-number total T = X + Y + Z
// (truncated). T = 0 gives infinite or NaN coordinates, never a trap.
inline Chromaticity xyz_to_xy(const Xyz &v) {
    const double total = whole_part(v.X + v.Y + v.Z);
    return Chromaticity{static_cast<double>(static_cast<float>(v.X)) / total,
                        static_cast<double>(static_cast<float>(v.Y)) / total};
}

// Saturation: 0 when R + G + B truncates to 0, else 1 - 3 min / (R + G + B).
// R, G, B are whole numbers (32-bit samples), so their sum is exact and
// truncates to 0 only when it is 0. Choices, not branches: loops vectorise.
inline double saturation(double R, double G, double B) {
    const double sum = R + G + B;
    const double least_of_two = R < G ? R : G;
    const double m = least_of_two < B ? least_of_two : B;
    const double S = 1 - 3 * m / sum;
    return sum == 0 ? 0.0 : S;
}

// The hue of a pixel with some saturation (1000 S > 0) depends on the
// differences R - G and R - B alone, which double holds exactly; G - B is
// their difference, and B > G exactly when R - G > R - B. In three steps:
// the cosine of the hue angle, its arc cosine, and the hue in degrees.
// RG and RB are the differences as doubles (exact below 2^53, and so is
// their difference G - B, below 2^34).
inline double hue_cosine(double RG, double RB) {
    const double GB = RB - RG;
    const double num = (RG + RB) * 0.5;
    const double den = std::sqrt(RG * RG + RB * GB);
    return num / den;
}

inline double hue_degrees(double theta, bool b_exceeds_g) {
    return b_exceeds_g ? (kTwoPi - theta) * 180 / kPi : theta * 180 / kPi;
}

inline double hue_of_differences(int64_t rg, int64_t rb) {
    return hue_degrees(std::acos(hue_cosine(static_cast<double>(rg), static_cast<double>(rb))), rg > rb);
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

// A hue's sector and the two angles, in radians, whose cosines rebuild it.
struct SectorAngles {
    int sector;
    double h, sixty_minus_h;
};

// Written with choices between values computed either way, not branches:
// the sector of consecutive pixels is unpredictable.
inline SectorAngles sector_angles(double H) {
    H = H == 0 ? 360 : H;
    const bool first = (0 < H) & (H <= 120), second = (120 < H) & (H <= 240);
    const double h = first ? H : second ? H - 120 : H - 240;
    return SectorAngles{first ? 1 : second ? 2 : 3, h * kPi / 180, (60 - h) * kPi / 180};
}

inline HueSector hue_sector(double H) {
    const SectorAngles a = sector_angles(H);
    return HueSector{a.sector, std::cos(a.h), std::cos(a.sixty_minus_h)};
}

// The shares of 3 I: (1 - S) / 3 for the trailing component, (1 + S cos(h) /
// cos(60 - h)) / 3 for the leading one, and the rest of 1 for the third
// (the order of a sum of two does not change it).
inline Fractions fractions(const HueSector &hue, double S) {
    const double trailing = (1 - S) / 3;
    const double leading = (1 + S * hue.cos_h / hue.cos_60_minus_h) / 3;
    const double rest = 1 - (leading + trailing);
    const bool red = hue.sector == 1, green = hue.sector == 2;  // choices, not branches: loops vectorise
    return Fractions{red     ? leading
                     : green ? trailing
                             : rest,
                     red     ? rest
                     : green ? leading
                             : trailing,
                     red     ? trailing
                     : green ? rest
                             : leading};
}

inline Fractions hsi_to_fractions(double H, double S) { return fractions(hue_sector(H), S); }

}  // namespace qova

#endif
