// Wavelength band filter: each pixel's intensity scaled by a Butterworth-shaped
// weight of the distance between its dominant wavelength and a centre.
#include "qova.h"

#include "hue_cache.h"
#include "part_loop.h"
#include "qova_conversions.hpp"
#include "qova_wavelength.hpp"
#include "sample.h"
#include "wavelength_search.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr const char *kTableFile = "cie_table.txt";
constexpr const char *kReadFailure = "Error in Getpart - incomplete read";
constexpr const char *kWriteFailure = "Error in Putpart - incomplete write";
constexpr const char *kTableFailure = "Error in readtable - cie_table.txt can't be read";

constexpr int kFirstWavelength = 360;
// The search reads entries up to 698 nm, the 339th record.
constexpr int kRecordsNeeded = qova::WavelengthSearch::kFirst + qova::WavelengthSearch::kCount - kFirstWavelength;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reads one record with the formats "%d, ", "%lf, " and "%lf\n", in turn; it
// counts when all three numbers convert. The wavelength is converted but not
// stored (an out-of-range number would be undefined to store): %n right after
// it tells whether it converted, as the result of "%d, " would.
bool read_record(std::FILE *f, ChromaEntry *entry) {
    int consumed = -1;
    const int assigned = std::fscanf(f, "%*d%n, ", &consumed);  // always 0 or EOF: nothing stored
    static_cast<void>(assigned);
    if (consumed < 0) return false;
    double x, y;
    if (std::fscanf(f, "%lf, ", &x) != 1) return false;
    if (std::fscanf(f, "%lf\n", &y) != 1) return false;
    *entry = ChromaEntry{x, y};
    return true;
}

}  // namespace

// The Butterworth weight 1 / (1 + q^(2 order)), q = |lambda - centre| / (bandwidth / 2)
// in whole numbers. 64-bit integers keep every argument free of overflow; pow
// then gives what IEEE arithmetic gives (q = 0 with a negative order: weight 0).
double qova::band_weight(int wavelength, int centre, int bandwidth, int order) {
    const int64_t d = std::llabs(static_cast<int64_t>(wavelength) - centre);
    const int64_t half = bandwidth / 2;
    const int64_t q = d / half;
    const double p = std::pow(static_cast<double>(q), static_cast<double>(2 * static_cast<int64_t>(order)));
    return 1 / (p + 1);
}

extern "C" int QOVA_readtable(const char *path, ChromaEntry *table) {
    if (!path || !table) return -1;
    std::FILE *f = std::fopen(path, "r");
    if (!f) {
        std::printf("File:%s can't read\n", path);
        return -1;
    }
    int records = 0;
    while (records < QOVA_TABLE_SIZE && read_record(f, &table[records])) ++records;
    for (int i = records; i < QOVA_TABLE_SIZE; ++i) table[i] = ChromaEntry{kNaN, kNaN};
    std::fclose(f);
    return records;
}

extern "C" double dist(double x, double y, int wavelength, const ChromaEntry *table) {
    if (wavelength < kFirstWavelength || wavelength >= kFirstWavelength + QOVA_TABLE_SIZE) return kNaN;
    const ChromaEntry &e = table[wavelength - kFirstWavelength];
    return std::sqrt((x - e.x) * (x - e.x) + (y - e.y) * (y - e.y));
}

extern "C" int mindist(double x, double y, int start, int end, const ChromaEntry *table) {
    if (start >= end) return start;
    int best = start;
    double best_distance = dist(x, y, start, table);
    for (int w = start + 1; w < end; ++w) {
        const double d = dist(x, y, w, table);
        if (best_distance > d) {
            best = w;
            best_distance = d;
        }
    }
    return best;
}

namespace {

// One chunk of a row between the passes of the filter.
constexpr int kChunk = qova::HueCache::kBatch;

struct Chunk {
    alignas(32) double x[kChunk], y[kChunk], S[kChunk], I[kChunk], weight[kChunk];
    alignas(32) double cos_h[kChunk], cos_60_minus_h[kChunk];
    alignas(32) int32_t sector[kChunk];
};

#if defined(__GNUC__)
#define QOVA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QOVA_ALWAYS_INLINE inline
#endif

// Chromaticity, saturation and intensity of each pixel.
QOVA_ALWAYS_INLINE void measure_pixels(qova::InRow in, int n, Chunk &c) {
    for (int i = 0; i < n; ++i) {
        const double R = in.p0[i], G = in.p1[i], B = in.p2[i];
        const qova::Chromaticity xy = qova::xyz_to_xy(qova::rgb_to_xyz(R, G, B));
        c.x[i] = xy.x;
        c.y[i] = xy.y;
        c.S[i] = qova::saturation(R, G, B);
        c.I[i] = (R + G + B) / 3;
    }
}

// Each colour rebuilt from hue and saturation at the weighted intensity.
QOVA_ALWAYS_INLINE void rebuild_pixels(const Chunk &c, qova::OutRow out, int n) {
    for (int i = 0; i < n; ++i) {
        double intensity = c.I[i] * c.weight[i];
        intensity = intensity * 3;
        const qova::Fractions f =
            qova::fractions(qova::HueSector{c.sector[i], c.cos_h[i], c.cos_60_minus_h[i]}, c.S[i]);
        out.p0[i] = qova::to_sample(f.r * intensity);
        out.p1[i] = qova::to_sample(f.g * intensity);
        out.p2[i] = qova::to_sample(f.b * intensity);
    }
}

// The two passes compiled for the baseline instruction set and, chosen at run
// time, for AVX2: the same IEEE operations on every pixel either way (no
// fused multiply-add), so the choice never changes a result.
struct Passes {
    void (*measure)(qova::InRow in, int n, Chunk &c);
    void (*rebuild)(const Chunk &c, qova::OutRow out, int n);
};

void measure_baseline(qova::InRow in, int n, Chunk &c) { measure_pixels(in, n, c); }
void rebuild_baseline(const Chunk &c, qova::OutRow out, int n) { rebuild_pixels(c, out, n); }

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void measure_avx2(qova::InRow in, int n, Chunk &c) { measure_pixels(in, n, c); }
__attribute__((target("avx2"))) void rebuild_avx2(const Chunk &c, qova::OutRow out, int n) {
    rebuild_pixels(c, out, n);
}
#endif

Passes chosen_passes() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) return Passes{measure_avx2, rebuild_avx2};
#endif
    return Passes{measure_baseline, rebuild_baseline};
}

// The weight of every candidate wavelength, and the candidates sorted by
// weight: each is told by the first candidate with the same weight, so that
// the search need not tell apart wavelengths the filter treats alike.
struct CandidateWeights {
    double weight[qova::WavelengthSearch::kCount];
    uint16_t same_as[qova::WavelengthSearch::kCount];

    CandidateWeights(int centre, int bandwidth, int order) {
        for (int i = 0; i < qova::WavelengthSearch::kCount; ++i) {
            weight[i] = qova::band_weight(qova::WavelengthSearch::kFirst + i, centre, bandwidth, order);
            int first = 0;
            // The same bits, not merely equal values.
            // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
            while (std::memcmp(&weight[first], &weight[i], sizeof(double)) != 0) ++first;
            same_as[i] = static_cast<uint16_t>(first);
        }
    }
};

// What one call of the filter prepares once and keeps in its frame: the
// weights, the wavelength search, and the hue cache. Rows are filtered in
// chunks of pixels, in three passes: the arithmetic that needs no table runs
// over whole arrays, where the compiler vectorises it, and only the weight
// lookup and the hue lookup go pixel by pixel.
class BandFilter {
public:
    BandFilter(const ChromaEntry *table, int centre, int bandwidth, int order)
        : weights_(centre, bandwidth, order), search_(table, weights_.same_as) {}

    void filter_row(qova::InRow in, qova::OutRow out, int width) {
        for (int c = 0; c < width; c += kChunk) {
            const int n = width - c < kChunk ? width - c : kChunk;
            const qova::InRow i{in.p0 + c, in.p1 + c, in.p2 + c};
            passes_.measure(i, n, chunk_);
            look_up(i, n);
            passes_.rebuild(chunk_, qova::OutRow{out.p0 + c, out.p1 + c, out.p2 + c}, n);
        }
    }

private:
    // The weight of each pixel's dominant wavelength, and its hue's sector
    // and cosines (those of hue 0 when the pixel has no saturation).
    void look_up(qova::InRow in, int n) {
        Chunk &c = chunk_;
        const qova::HueCache::Columns hue{c.sector, c.cos_h, c.cos_60_minus_h};
        for (int i = 0; i < n; ++i) {
            c.weight[i] = weights_.weight[search_.nearest_class(c.x[i], c.y[i])];
            if (1000 * c.S[i] > 0) {
                hues_.request(i, static_cast<int64_t>(in.p0[i]) - in.p1[i], static_cast<int64_t>(in.p0[i]) - in.p2[i],
                              hue);
            } else {
                c.sector[i] = grey_.sector;
                c.cos_h[i] = grey_.cos_h;
                c.cos_60_minus_h[i] = grey_.cos_60_minus_h;
            }
        }
        hues_.resolve(hue);
    }

    const Passes passes_ = chosen_passes();
    const CandidateWeights weights_;
    qova::WavelengthSearch search_;
    qova::HueCache hues_;
    const qova::HueSector grey_ = qova::hue_sector(0.0);
    Chunk chunk_;
};

}  // namespace

namespace {

int filter_parts(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order,
                 const ChromaEntry *table) {
    BandFilter filter(table, centre, bandwidth, order);
    return qova::run_parts(in, out, kReadFailure, kWriteFailure,
                           [&filter](qova::InRow i, qova::OutRow o, int width) { filter.filter_row(i, o, width); });
}

}  // namespace

extern "C" int QOVA_XYZfilter(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order) {
    if (!in || !out || (bandwidth >= -1 && bandwidth <= 1)) return qova::reject();
    out->attribute = in->attribute;

    ChromaEntry table[QOVA_TABLE_SIZE];
    if (QOVA_readtable(kTableFile, table) < kRecordsNeeded) {
        ZENK_Error(kTableFailure);
        return -1;
    }
    return filter_parts(in, out, centre, bandwidth, order, table);
}

extern "C" int QOVA_XYZfilterTable(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order,
                                   const ChromaEntry *table) {
    if (!in || !out || !table || (bandwidth >= -1 && bandwidth <= 1)) return qova::reject();
    out->attribute = in->attribute;
    return filter_parts(in, out, centre, bandwidth, order, table);
}
