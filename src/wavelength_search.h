// The dominant wavelength of a chromaticity: the same answer as
// mindist(x, y, 380, 699, table), the plain scan with a square root per
// candidate, for every point, in a fraction of its time.
//
// How, without changing a result:
// - A grid over the chromaticities colours usually have. For each cell, filled
//   the first time a point falls in it, a run of consecutive wavelengths that
//   holds every candidate that can be nearest to some point of the cell: a
//   candidate whose least distance to the cell exceeds the smallest greatest
//   distance of any candidate (with a wide margin for rounding) can never win
//   or tie. Runs are widened to a multiple of four candidates.
// - Within the run, squared distances, four at a time, computed exactly as the
//   scan computes them before its square root (the same operations in the same
//   order, whatever the vector width). Square roots are compared only around
//   the least squared distance, so that candidates whose roots are equal tie
//   as in the scan: the first wins.
// - Points outside the grid are scanned over every candidate the same way;
//   tables with non-finite candidates fall back to the plain scan.
#ifndef QOVA_WAVELENGTH_SEARCH_H
#define QOVA_WAVELENGTH_SEARCH_H

#include "qova.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qova {

// Candidate coordinates laid out for vector loads, padded to a multiple of 4.
struct Candidates {
    static constexpr int kFirst = 380;  // candidates kFirst..kLast nm
    static constexpr int kLast = 698;
    static constexpr int kCount = kLast - kFirst + 1;
    static constexpr int kPadded = (kCount + 3) / 4 * 4;

    alignas(32) double x[kPadded];
    alignas(32) double y[kPadded];
};

// The index among first..first+n-1 (n a positive multiple of 4) that the plain
// scan picks for a point with finite coordinates and squared distances that
// are not NaN. Defined in wavelength_search.cpp, once per instruction set.
using FirstNearestFn = int (*)(const Candidates &c, double x, double y, int first, int n);
FirstNearestFn first_nearest_kernel();

class WavelengthSearch {
public:
    static constexpr int kFirst = Candidates::kFirst;
    static constexpr int kCount = Candidates::kCount;

    explicit WavelengthSearch(const ChromaEntry *table) : table_(table), kernel_(first_nearest_kernel()) {
        finite_ = true;
        for (int i = 0; i < kCount; ++i) {
            const ChromaEntry &e = table[kFirst - 360 + i];
            c_.x[i] = e.x;
            c_.y[i] = e.y;
            finite_ = finite_ && std::isfinite(e.x) && std::isfinite(e.y);
        }
        // Padding candidates lie far away: chromaticities are X / T with T a
        // whole number, so finite ones stay below 1e10 and a pad never wins.
        for (int i = kCount; i < Candidates::kPadded; ++i) c_.x[i] = c_.y[i] = 1e150;
        std::memset(runs_, 0xFF, sizeof runs_);
    }

    int nearest(double x, double y) {
        if (!finite_) return mindist(x, y, kFirst, kFirst + kCount, table_);
        const double gx = (x - kGridX0) * kCellsPerX;
        const double gy = (y - kGridY0) * kCellsPerY;
        if (!(gx >= 0 && gx < kCellsX && gy >= 0 && gy < kCellsY)) return outside_grid(x, y);  // also NaN
        const int cell = static_cast<int>(gy) * kCellsX + static_cast<int>(gx);
        if (runs_[cell].first == kUnfilled) fill(cell);
        return kFirst + kernel_(c_, x, y, runs_[cell].first, runs_[cell].count);
    }

private:
    // Where colours of non-negative RGB land, with room for rounding.
    static constexpr double kGridX0 = 0.125, kGridX1 = 0.675, kGridY0 = 0.03, kGridY1 = 0.63;
    static constexpr int kCellsX = 64, kCellsY = 64;
    static constexpr double kCellsPerX = kCellsX / (kGridX1 - kGridX0);
    static constexpr double kCellsPerY = kCellsY / (kGridY1 - kGridY0);
    static constexpr uint16_t kUnfilled = 0xFFFF;

    struct Run {
        uint16_t first, count;
    };

    int outside_grid(double x, double y) const {
        if (x != x || y != y) return kFirst;  // every distance NaN: the scan keeps its first candidate
        // Squared distances may overflow to infinity, all alike: the first wins, as in the scan.
        return kFirst + kernel_(c_, x, y, 0, Candidates::kPadded);
    }

    // A candidate can win for some point of the cell only if its least
    // distance to the cell is within the least greatest distance of all. The
    // cell is widened by far more than rounding can move a point across its
    // edge, and the bound by far more than rounding can move a distance.
    void fill(int cell) {
        const int cx = cell % kCellsX, cy = cell / kCellsX;
        constexpr double kWiden = 1e-9;
        const double x0 = kGridX0 + cx / kCellsPerX - kWiden, x1 = kGridX0 + (cx + 1) / kCellsPerX + kWiden;
        const double y0 = kGridY0 + cy / kCellsPerY - kWiden, y1 = kGridY0 + (cy + 1) / kCellsPerY + kWiden;
        double least_far = HUGE_VAL;
        double near2[kCount];
        for (int i = 0; i < kCount; ++i) {
            const double fx = std::fmax(std::fabs(c_.x[i] - x0), std::fabs(c_.x[i] - x1));
            const double fy = std::fmax(std::fabs(c_.y[i] - y0), std::fabs(c_.y[i] - y1));
            least_far = std::fmin(least_far, fx * fx + fy * fy);
            const double nx = std::fmax(std::fmax(x0 - c_.x[i], c_.x[i] - x1), 0.0);
            const double ny = std::fmax(std::fmax(y0 - c_.y[i], c_.y[i] - y1), 0.0);
            near2[i] = nx * nx + ny * ny;
        }
        const double bound = least_far * (1 + 1e-9);
        int first = kCount, last = -1;
        for (int i = 0; i < kCount; ++i) {
            if (near2[i] > bound) continue;
            if (first == kCount) first = i;
            last = i;
        }
        // Widen to a multiple of 4 within the real candidates, or take all of
        // them and the padding.
        int count = (last - first + 1 + 3) / 4 * 4;
        if (count > kCount) {
            first = 0;
            count = Candidates::kPadded;
        } else if (first + count > kCount) {
            first = kCount - count;
        }
        runs_[cell] = Run{static_cast<uint16_t>(first), static_cast<uint16_t>(count)};
    }

    const ChromaEntry *table_;
    FirstNearestFn kernel_;
    bool finite_;
    Candidates c_;
    Run runs_[kCellsX * kCellsY];
};

}  // namespace qova

#endif
