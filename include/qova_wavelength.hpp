// The band filter's per-pixel pieces for callers that picture what it does:
// the dominant wavelength of a chromaticity and the weight the filter gives
// a wavelength. Both are the filter's own code, so a picture drawn with them
// shows what the filter does, not an approximation of it. C++ only.
#ifndef QOVA_WAVELENGTH_HPP
#define QOVA_WAVELENGTH_HPP

#include "qova.h"

#include <memory>

namespace qova {

class WavelengthSearch;

// The dominant wavelengths the filter finds.
inline constexpr int kFirstDominantWavelength = 380;
inline constexpr int kLastDominantWavelength = 698;

// The filter's weight for a dominant wavelength: 1 / (1 + q^(2 order)) with q
// the whole number of half bandwidths between it and the centre. |bandwidth|
// must be at least 2.
double band_weight(int wavelength, int centre, int bandwidth, int order);

// The dominant wavelength of (x, y), as mindist(x, y, 380, 699, table)
// gives it, at the filter's speed. Keeps a cache of its own: one per thread.
class DominantWavelength {
public:
    // `table` holds QOVA_TABLE_SIZE entries and outlives the object.
    explicit DominantWavelength(const ChromaEntry *table);
    ~DominantWavelength();
    DominantWavelength(const DominantWavelength &) = delete;
    DominantWavelength &operator=(const DominantWavelength &) = delete;

    int operator()(double x, double y);

private:
    std::unique_ptr<WavelengthSearch> search_;
};

}  // namespace qova

#endif
