// Conversion of a floating result back to a 32-bit sample.
#ifndef QOVA_SAMPLE_H
#define QOVA_SAMPLE_H

#include <cstdint>

namespace qova {

// Truncates toward zero. Values beyond the int32 range saturate to its ends and
// NaN gives 0, so the conversion is defined for every input. Branch-free in
// shape so that loops over rows can vectorise it.
template <class Real>
inline int32_t to_sample(Real v) {
    if (v != v) return 0;
    if (v >= Real(2147483648.0)) return INT32_MAX;
    if (v <= Real(-2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The same for double, clamped in the real domain and then converted once: a
// shape that compilers turn into vector code (the one conversion instruction
// truncates, and every value between INT32_MAX and 2^31 truncates to INT32_MAX).
inline int32_t to_sample(double v) {
    double c = v != v ? 0.0 : v;
    c = c > 2147483647.0 ? 2147483647.0 : c;
    c = c < -2147483648.0 ? -2147483648.0 : c;
    return static_cast<int32_t>(c);
}

inline int32_t clamp_sample(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace qova

#endif
