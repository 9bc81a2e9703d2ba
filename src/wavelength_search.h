// The dominant wavelength of a chromaticity: the same answer as
// mindist(x, y, 380, 699, table), the plain scan with a square root per
// candidate, for every point, in a fraction of its time.
//
// How, without changing a result:
// - A grid over the chromaticities colours usually have. Each cell, filled the
//   first time a point falls in it, keeps the candidates that can be nearest
//   to some point of the cell: a candidate that another one beats everywhere
//   in the cell, by a margin far beyond rounding, can never win or tie. Most
//   cells keep one to four; those they keep lie in at most two runs of
//   consecutive wavelengths (near white, one run on each arm of the locus),
//   widened to four candidates or a multiple of four.
// - Within a run, squared distances, four at a time, computed exactly as the
//   scan computes them before its square root (the same operations in the same
//   order, whatever the vector width). Square roots are compared only around
//   the least squared distance, so that candidates whose roots are equal tie
//   as in the scan: the first wins.
// - A caller that treats some wavelengths alike (the band filter weighs
//   whole bands of them the same) may ask only for the class of the nearest:
//   a cell whose kept candidates are all of one class answers without a scan.
// - Points outside the grid are scanned over every candidate the same way;
//   tables with non-finite candidates fall back to the plain scan.
#ifndef QOVA_WAVELENGTH_SEARCH_H
#define QOVA_WAVELENGTH_SEARCH_H

#include "qova.h"

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qova {

// Candidate coordinates laid out for vector loads, padded to a multiple of 4.
struct Candidates {
    static constexpr int kFirst = 380;  // candidates kFirst..kLast nm
    static constexpr int kLast = 698;
    static constexpr int kCount = kLast - kFirst + 1;
    static constexpr int kPadded = (kCount + 3) / 4 * 4;

    alignas(32) double x[kPadded];
    alignas(32) double y[kPadded];

    double squared_distance(int i, double px, double py) const {
        const double dx = px - x[i], dy = py - y[i];
        return dx * dx + dy * dy;
    }
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

    // `classes`, if given, sorts the candidates into classes the caller does
    // not tell apart: classes[i] (below kCount) for the candidate kFirst + i.
    explicit WavelengthSearch(const ChromaEntry *table, const uint16_t *classes = nullptr);

    int nearest(double x, double y) {
        const Cell *cell = cell_of(x, y);
        return cell ? kFirst + scan(*cell, x, y) : off_grid(x, y);
    }

    // The class of nearest(x, y). Where every candidate a cell keeps is of one
    // class, as in most cells when classes are wide, there is nothing to scan.
    int nearest_class(double x, double y) {
        const Cell *cell = cell_of(x, y);
        if (!cell) return class_[off_grid(x, y) - kFirst];
        return cell->sole != kMixed ? cell->sole : class_[scan(*cell, x, y)];
    }

private:
    // Where colours of non-negative RGB land, with room for rounding.
    static constexpr double kGridX0 = 0.125, kGridX1 = 0.675, kGridY0 = 0.03, kGridY1 = 0.63;
    static constexpr int kCellsX = 64, kCellsY = 64;
    static constexpr double kCellsPerX = kCellsX / (kGridX1 - kGridX0);
    static constexpr double kCellsPerY = kCellsY / (kGridY1 - kGridY0);

    // Consecutive candidates, a multiple of 4 for the vector scan (widened
    // where fewer are kept: a branch on the count would cost more than the
    // scan of four), packed in 16 bits: the first in 9, the count / 4 in 7.
    // A count of 0 marks a cell not filled yet (run a) or no second run (b).
    class Run {
    public:
        Run() = default;
        Run(int first, int count) : bits_(static_cast<uint16_t>(first | count / 4 << 9)) {}
        int first() const { return bits_ & 511; }
        int count() const { return bits_ >> 9 << 2; }

    private:
        uint16_t bits_ = 0;
    };
    static_assert(Candidates::kPadded / 4 < 128 && Candidates::kPadded <= 512, "a run fits 16 bits");
    static constexpr uint16_t kMixed = 0xFFFF;
    struct Cell {
        Run a, b;
        uint16_t sole;  // the class of every candidate kept, or kMixed
    };

    // The cell of a point on the grid, filled; null off the grid (NaN too),
    // and for tables with non-finite candidates.
    const Cell *cell_of(double x, double y) {
        if (!finite_) return nullptr;
        const double gx = (x - kGridX0) * kCellsPerX;
        const double gy = (y - kGridY0) * kCellsPerY;
        if (!(gx >= 0 && gx < kCellsX && gy >= 0 && gy < kCellsY)) return nullptr;
        Cell &cell = cells_[static_cast<int>(gy) * kCellsX + static_cast<int>(gx)];
        if (cell.a.count() == 0) fill(cell, static_cast<int>(gx), static_cast<int>(gy));
        return &cell;
    }

    // The index of the nearest candidate within a cell's runs.
    int scan(const Cell &cell, double x, double y) const {
        const int a = winner(cell.a, x, y);
        if (cell.b.count() == 0) return a;
        // Run a lies before run b: on equal roots the earlier candidate wins.
        const int b = winner(cell.b, x, y);
        const double ra = std::sqrt(c_.squared_distance(a, x, y)), rb = std::sqrt(c_.squared_distance(b, x, y));
        return rb < ra || (rb == ra && b < a) ? b : a;
    }

    int winner(Run run, double x, double y) const {
        if (run.count() == 4) return first_of_four(x, y, run.first());
        return kernel_(c_, x, y, run.first(), run.count());
    }

    // The scan over four candidates, inline and without branches on the
    // distances: most cells need no more, and which of the four wins varies
    // from pixel to pixel, so a branch per candidate would be mispredicted.
    int first_of_four(double x, double y, int first) const {
#if defined(__SSE2__)
        const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y);
        const __m128d dx0 = _mm_sub_pd(vx, _mm_loadu_pd(c_.x + first)),
                      dy0 = _mm_sub_pd(vy, _mm_loadu_pd(c_.y + first));
        const __m128d dx1 = _mm_sub_pd(vx, _mm_loadu_pd(c_.x + first + 2)),
                      dy1 = _mm_sub_pd(vy, _mm_loadu_pd(c_.y + first + 2));
        const __m128d d0 = _mm_add_pd(_mm_mul_pd(dx0, dx0), _mm_mul_pd(dy0, dy0));
        const __m128d d1 = _mm_add_pd(_mm_mul_pd(dx1, dx1), _mm_mul_pd(dy1, dy1));
        const __m128d pair = _mm_min_pd(d0, d1);
        const double least = _mm_cvtsd_f64(_mm_min_sd(pair, _mm_unpackhi_pd(pair, pair)));
        const __m128d near = _mm_set1_pd(least * (1 + 1e-12) + 1e-300);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(d0, near))) |
                              static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(d1, near))) << 2;
        if ((mask & (mask - 1)) == 0) return first + __builtin_ctz(mask);  // the least, alone near it
        alignas(16) double d[4];
        _mm_store_pd(d, d0);
        _mm_store_pd(d + 2, d1);
#else
        double d[4];
        for (int k = 0; k < 4; ++k) d[k] = c_.squared_distance(first + k, x, y);
        const double low = d[0] < d[1] ? d[0] : d[1], high = d[2] < d[3] ? d[2] : d[3];
        const double least = low < high ? low : high;
#endif
        const double root = std::sqrt(least);
        for (int k = 0; k < 4; ++k)
            if (std::sqrt(d[k]) == root) return first + k;
        return first;  // not reached: the least itself qualifies
    }

    int off_grid(double x, double y) const;
    void fill(Cell &cell, int cx, int cy);

    const ChromaEntry *table_;
    FirstNearestFn kernel_;
    bool finite_;
    Candidates c_;
    uint16_t class_[kCount];
    Cell cells_[kCellsX * kCellsY];
};

}  // namespace qova

#endif
