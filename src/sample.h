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

inline int32_t clamp_sample(int32_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace qova

#endif
