// Arc tangent and cosine for the pipeline's colour mappings: series in plain
// double arithmetic, so that loops over pixels vectorise, with error bounds
// small enough for the callers' fallbacks to rely on.
#ifndef QOVA_PIPELINE_DETAIL_FAST_TRIG_H
#define QOVA_PIPELINE_DETAIL_FAST_TRIG_H

namespace qova::pipeline::fast {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTanPiOver8 = 0.41421356237309503;

// atan(u) for |u| <= tan(pi/8): the alternating series to u^21, whose first
// left-out term bounds the error by 0.4143^23 / 23 < 7e-11.
inline double atan_small(double u) {
    const double u2 = u * u;
    double p = 1.0 / 21;
    p = 1.0 / 19 - u2 * p;
    p = 1.0 / 17 - u2 * p;
    p = 1.0 / 15 - u2 * p;
    p = 1.0 / 13 - u2 * p;
    p = 1.0 / 11 - u2 * p;
    p = 1.0 / 9 - u2 * p;
    p = 1.0 / 7 - u2 * p;
    p = 1.0 / 5 - u2 * p;
    p = 1.0 / 3 - u2 * p;
    p = 1.0 - u2 * p;
    return u * p;
}

// The angle of (x, y) in [0, 2 pi), within 1e-10 radians; 0 for (0, 0).
// Every division is made whichever way a choice goes, and the choices pick
// between values, so that loops vectorise.
inline double angle(double x, double y) {
    const double ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
    const bool steep = ay > ax;
    const double num = steep ? ax : ay, den = steep ? ay : ax;
    const double t = num / (den > 0 ? den : 1.0);  // in [0, 1]
    const bool big = t > kTanPiOver8;
    const double reduced = (t - 1) / (t + 1);  // atan(t) = pi/4 + atan(reduced)
    double a = (big ? kPi / 4 : 0.0) + atan_small(big ? reduced : t);
    a = steep ? kPi / 2 - a : a;
    a = x < 0 ? kPi - a : a;
    return y < 0 ? 2 * kPi - a : a;
}

// cos(x) for |x| <= 2 pi / 3: the series to x^16, whose first left-out term
// bounds the error by (2 pi / 3)^18 / 18! < 1e-10 (the pipeline's samples need
// 1e-7).
inline double cosine(double x) {
    const double x2 = x * x;
    double p = 1.0 / 20922789888000.0;  // 1 / 16!
    p = 1.0 / 87178291200.0 - x2 * p;   // 1 / 14!
    p = 1.0 / 479001600.0 - x2 * p;     // 1 / 12!
    p = 1.0 / 3628800.0 - x2 * p;       // 1 / 10!
    p = 1.0 / 40320.0 - x2 * p;         // 1 / 8!
    p = 1.0 / 720.0 - x2 * p;           // 1 / 6!
    p = 1.0 / 24.0 - x2 * p;            // 1 / 4!
    p = 1.0 / 2.0 - x2 * p;             // 1 / 2!
    return 1.0 - x2 * p;
}

}  // namespace qova::pipeline::fast

#endif
