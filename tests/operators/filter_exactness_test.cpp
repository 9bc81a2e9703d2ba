// The fast band filter against the straightforward one, bit for bit: every
// sample, status and host call, over millions of pixels chosen to reach the
// corners (near ties between neighbouring wavelengths, greys, black, T = 0,
// negative and extreme samples). And its wavelength search against the plain
// scan on its own, over points placed where ties and cell edges lie.
#include "qova.h"

#include "harness.h"
#include "reference_filter.h"
#include "src/wavelength_search.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>

namespace {

using Pixels = std::vector<std::array<int32_t, 3>>;

// Colours whose chromaticity lies near the bisector of two neighbouring
// entries of the locus, at several brightnesses (some samples come out negative).
Pixels near_ties(const ChromaEntry *table, std::mt19937 &rng) {
    // XYZ to linear RGB for the sRGB primaries.
    static const double kInverse[3][3] = {
        {3.240479, -1.537150, -0.498535}, {-0.969256, 1.875992, 0.041556}, {0.055648, -0.204043, 1.057311}};
    std::uniform_real_distribution<double> offset(-0.02, 0.02);
    Pixels out;
    for (int w = 380; w < 698; ++w) {
        const ChromaEntry a = table[w - 360], b = table[w + 1 - 360];
        const double len = std::hypot(b.x - a.x, b.y - a.y);
        if (len == 0) continue;
        const double nx = -(b.y - a.y) / len, ny = (b.x - a.x) / len;
        for (const double luminance : {300.0, 5000.0, 60000.0, 2e6}) {
            for (int k = 0; k < 40; ++k) {
                const double t = k < 4 ? 0.0 : offset(rng);  // on the bisector, then beside it
                const double x = (a.x + b.x) / 2 + t * nx, y = (a.y + b.y) / 2 + t * ny;
                if (y <= 0.001) continue;
                const double X = x / y * luminance, Y = luminance, Z = (1 - x - y) / y * luminance;
                std::array<int32_t, 3> rgb;
                for (int i = 0; i < 3; ++i)
                    rgb[static_cast<std::size_t>(i)] =
                        static_cast<int32_t>(std::lround(kInverse[i][0] * X + kInverse[i][1] * Y + kInverse[i][2] * Z));
                out.push_back(rgb);
            }
        }
    }
    return out;
}

Pixels corner_cases() {
    Pixels out;
    for (int r = -3; r <= 3; ++r)  // black, T = 0 and tiny values
        for (int g = -3; g <= 3; ++g)
            for (int b = -3; b <= 3; ++b) out.push_back({r, g, b});
    const int32_t extremes[] = {INT_MIN, INT_MIN + 1, -65535, -1, 0, 1, 255, 65535, INT_MAX - 1, INT_MAX};
    for (int32_t r : extremes)
        for (int32_t g : extremes)
            for (int32_t b : extremes) out.push_back({r, g, b});
    for (int32_t v = 0; v <= 65535; ++v) out.push_back({v, v, v});  // every grey
    return out;
}

Pixels random_pixels(std::size_t n, int32_t lo, int32_t hi, std::mt19937 &rng) {
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    Pixels out(n);
    for (auto &p : out) p = {pick(rng), pick(rng), pick(rng)};
    return out;
}

zenk::Image as_image(const Pixels &pixels, int32_t width) {
    const auto height =
        static_cast<int32_t>((pixels.size() + static_cast<std::size_t>(width) - 1) / static_cast<std::size_t>(width));
    zenk::Image image(width, height);
    for (std::size_t i = 0; i < image.planes[0].size(); ++i) {
        const auto &p = pixels[i % pixels.size()];  // the last row wraps round
        for (int k = 0; k < 3; ++k) image.planes[k][i] = p[static_cast<std::size_t>(k)];
    }
    return image;
}

struct Triple {
    int centre, bandwidth, order;
};

void expect_identical(const zenk::Image &image, const Triple &t, zenk::PartPlan plan = zenk::PartPlan::rows(64)) {
    Harness fast(image, plan), reference(image, plan);
    const int fast_status = fast.run([&](ImageDescriptor *in, ImageDescriptor *out) {
        return QOVA_XYZfilter(in, out, t.centre, t.bandwidth, t.order);
    });
    const int reference_status = reference.run([&](ImageDescriptor *in, ImageDescriptor *out) {
        return reference_XYZfilter(in, out, t.centre, t.bandwidth, t.order);
    });
    ASSERT_EQ(fast_status, reference_status);
    ASSERT_EQ(fast.trace.sequence(), reference.trace.sequence());
    ASSERT_EQ(fast.errors(), reference.errors());
    for (int p = 0; p < 3; ++p) {
        const auto &a = fast.output.planes[p], &b = reference.output.planes[p];
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            FAIL() << "plane " << p << " pixel (" << image.planes[0][i] << ", " << image.planes[1][i] << ", "
                   << image.planes[2][i] << "): fast " << a[i] << ", reference " << b[i] << " for centre " << t.centre
                   << " bandwidth " << t.bandwidth << " order " << t.order;
        }
    }
}

class FilterExactness : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QOVA_readtable("cie_table.txt", table), 340); }
    ChromaEntry table[QOVA_TABLE_SIZE];
};

TEST_F(FilterExactness, MillionsOfPixelsAgreeBitForBit) {
    std::mt19937 rng(2024);
    Pixels all = random_pixels(1000000, 0, 255, rng);
    for (const Pixels &more : {random_pixels(1000000, 0, 65535, rng), random_pixels(200000, -65535, 65535, rng),
                               near_ties(table, rng), corner_cases()})
        all.insert(all.end(), more.begin(), more.end());
    ASSERT_GT(all.size(), 2300000u);
    expect_identical(as_image(all, 1000), Triple{550, 100, 2});
}

TEST_F(FilterExactness, EveryParameterTripleAgrees) {
    std::mt19937 rng(7);
    Pixels some = random_pixels(60000, 0, 65535, rng);
    const Pixels ties = near_ties(table, rng), corners = corner_cases();
    some.insert(some.end(), ties.begin(), ties.begin() + static_cast<std::ptrdiff_t>(ties.size() / 4));
    some.insert(some.end(), corners.begin(), corners.begin() + 2000);
    const zenk::Image image = as_image(some, 333);
    const Triple triples[] = {{470, 40, 1},
                              {600, -200, 3},
                              {520, 10, 0},
                              {500, 60, -2},
                              {380, 2, 50},
                              {698, 7, INT_MAX},
                              {INT_MIN, INT_MIN, INT_MIN},
                              {550, 1, 2}};
    for (const Triple &t : triples) expect_identical(image, t, zenk::PartPlan::rows(17));
}

// The search alone, against the plain scan, on points placed at the hard
// places: on and beside the bisectors of neighbouring entries, on the grid's
// cell edges, outside the grid, and at infinities and NaN.
std::vector<std::pair<double, double>> hard_points(const ChromaEntry *t, std::mt19937 &rng) {
    std::vector<std::pair<double, double>> points;
    std::uniform_real_distribution<double> unit(0, 1), tiny(-1e-12, 1e-12), beside(-1e-4, 1e-4);
    for (int w = 380; w < 698; ++w) {
        const ChromaEntry a = t[w - 360], b = t[w + 1 - 360];
        const double len = std::hypot(b.x - a.x, b.y - a.y);
        if (len == 0) continue;
        const double ux = (b.x - a.x) / len, uy = (b.y - a.y) / len;  // along the pair; the bisector runs across
        for (int k = 0; k < 200; ++k) {
            const double across = unit(rng) - 0.5, along = k < 100 ? tiny(rng) : beside(rng);
            points.emplace_back((a.x + b.x) / 2 - uy * across + ux * along, (a.y + b.y) / 2 + ux * across + uy * along);
        }
        points.emplace_back(a.x, a.y);
    }
    for (int i = 0; i <= 128; ++i)  // cell edges, 64 cells across 0.125..0.675 and 0.03..0.63
        for (int j = 0; j <= 128; j += 4) points.emplace_back(0.125 + i * 0.55 / 128, 0.03 + j * 0.6 / 128);
    for (int i = 0; i < 300000; ++i) points.emplace_back(unit(rng) * 1.2 - 0.1, unit(rng) * 1.2 - 0.1);
    const double inf = HUGE_VAL, nan = std::nan("");
    for (const auto &p : std::vector<std::pair<double, double>>{
             {inf, 0.3}, {-inf, 0.3}, {0.3, inf}, {inf, -inf}, {nan, 0.3}, {0.3, nan}, {1e9, -1e9}, {-5, 7}, {0, 0}})
        points.push_back(p);
    return points;
}

// Also by class: wide classes (as wide as a band of equal weights), so that
// many cells keep candidates of one class and some of two.
void expect_search_matches_scan(const ChromaEntry *table, const std::vector<std::pair<double, double>> &points) {
    uint16_t classes[qova::WavelengthSearch::kCount];
    for (int i = 0; i < qova::WavelengthSearch::kCount; ++i) classes[i] = static_cast<uint16_t>((i + 30) / 45 * 45);
    qova::WavelengthSearch search(table), classed(table, classes);
    for (const auto &[x, y] : points) {
        const int scan = mindist(x, y, 380, 699, table);
        ASSERT_EQ(search.nearest(x, y), scan) << "at (" << x << ", " << y << ")";
        ASSERT_EQ(classed.nearest_class(x, y), classes[scan - 380]) << "at (" << x << ", " << y << ")";
    }
}

TEST_F(FilterExactness, SearchMatchesThePlainScan) {
    std::mt19937 rng(99);
    expect_search_matches_scan(table, hard_points(table, rng));
}

TEST_F(FilterExactness, SearchMatchesThePlainScanOnDoctoredTables) {
    std::mt19937 rng(5);
    const auto points = hard_points(table, rng);
    ChromaEntry doctored[QOVA_TABLE_SIZE];

    std::copy(table, table + QOVA_TABLE_SIZE, doctored);  // a stretch of identical entries: ties to the first
    for (int w = 500; w <= 510; ++w) doctored[w - 360] = table[505 - 360];
    expect_search_matches_scan(doctored, points);

    std::copy(table, table + QOVA_TABLE_SIZE, doctored);  // the same point far apart along the locus
    doctored[650 - 360] = doctored[420 - 360] = ChromaEntry{0.33, 0.33};
    expect_search_matches_scan(doctored, points);

    std::copy(table, table + QOVA_TABLE_SIZE, doctored);  // a NaN candidate
    doctored[600 - 360].x = std::nan("");
    expect_search_matches_scan(doctored, points);

    std::copy(table, table + QOVA_TABLE_SIZE, doctored);  // the first candidate NaN: the scan keeps it
    doctored[380 - 360].y = std::nan("");
    expect_search_matches_scan(doctored, points);
}

}  // namespace
