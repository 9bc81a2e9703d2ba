// What an operation does to the pixels of images, counted for its picture:
// where their chromaticities lie and which dominant wavelengths they have
// (band filter), their hues and saturations before and after (hue and
// saturation operators). Counted through the pipeline's own mappings and the
// operators themselves, on the pipeline's threads.
#ifndef QOVA_PLOT_STATISTICS_H
#define QOVA_PLOT_STATISTICS_H

#include "pipeline/transform.h"
#include "qova_wavelength.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qova::plot {

// The density map's cells: square, 1/200 of a unit of x and y wide, over x
// 0..0.8 and y 0..0.9. Cell (i, j) holds the chromaticities with
// floor(200 x) = i and floor(200 y) = j, and is counted at j * kCellsX + i.
inline constexpr int kCellsPerUnit = 200;
inline constexpr int kCellsX = 160, kCellsY = 180;
inline constexpr int kWavelengths = kLastDominantWavelength - kFirstDominantWavelength + 1;
inline constexpr int kSaturationBins = 100;  // of 10 levels each: 0..9, 10..19, ... 990..999

// The cell of a chromaticity; -1 off the map (NaN included).
int density_cell(double x, double y);

struct Statistics {
    int images = 0;
    uint64_t pixels = 0;
    // Band filter.
    std::vector<uint64_t> density = std::vector<uint64_t>(static_cast<std::size_t>(kCellsX) * kCellsY);
    uint64_t black = 0;                                // no chromaticity: neither in the map nor given a wavelength
    uint64_t off_map = 0;                              // a chromaticity outside the map (colours far outside sRGB)
    std::array<uint64_t, kWavelengths> wavelengths{};  // pixels with a chromaticity, by dominant wavelength - 380
    // Hue operators: pixels with some saturation, by whole degree of hue.
    std::array<uint64_t, 360> hue_before{}, hue_after{};
    uint64_t grey = 0;  // saturation level 0: no hue to move
    // Saturation operator.
    std::array<uint64_t, kSaturationBins> saturation_before{}, saturation_after{};
    uint64_t clamped = 0;  // pushed past the highest level and held there

    void add(const Statistics &other);
};

// Adds what `operation` does to the image `reader` reads to *stats, on
// `threads` threads. The band filter's operation needs its table; its
// colours are read through the file's colour description unless
// `assume_srgb`. False with *error set if reading or the operator failed.
bool gather(codecs::RasterReader &reader, pipeline::Operation operation, bool assume_srgb, unsigned threads,
            Statistics *stats, std::string *error, std::vector<std::string> *warnings);

}  // namespace qova::plot

#endif
