// Wavelength band filter: each pixel's intensity scaled by a Butterworth-shaped
// weight of the distance between its dominant wavelength and a centre.
#include "qova.h"

#include "colour.h"
#include "part_loop.h"
#include "sample.h"
#include "wavelength_search.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
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

// The Butterworth weight 1 / (1 + q^(2 order)), q = |lambda - centre| / (bandwidth / 2)
// in whole numbers. 64-bit integers keep every argument free of overflow; pow
// then gives what IEEE arithmetic gives (q = 0 with a negative order: weight 0).
double band_weight(int wavelength, int centre, int bandwidth, int order) {
    const int64_t d = std::llabs(static_cast<int64_t>(wavelength) - centre);
    const int64_t half = bandwidth / 2;
    const int64_t q = d / half;
    const double p = std::pow(static_cast<double>(q), static_cast<double>(2 * static_cast<int64_t>(order)));
    return 1 / (p + 1);
}

}  // namespace

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

// What one call of the filter prepares once and keeps in its frame: the weight
// of every candidate wavelength, the wavelength search, and the results of the
// colours seen last (a pixel's result depends on its colour alone).
class BandFilter {
public:
    BandFilter(const ChromaEntry *table, int centre, int bandwidth, int order) : search_(table) {
        for (int i = 0; i < qova::WavelengthSearch::kCount; ++i)
            weights_[i] = band_weight(qova::WavelengthSearch::kFirst + i, centre, bandwidth, order);
        std::memset(used_, 0, sizeof used_);
    }

    void filter_row(qova::InRow in, qova::OutRow out, int width) {
        for (int c = 0; c < width; ++c) {
            const int32_t rgb[3] = {in.p0[c], in.p1[c], in.p2[c]};
            Entry &e = cache_[slot(rgb)];
            const std::size_t index = static_cast<std::size_t>(&e - cache_);
            if (!used_[index] || std::memcmp(e.key, rgb, sizeof rgb) != 0) {
                std::memcpy(e.key, rgb, sizeof rgb);
                filter_pixel(rgb, e.value);
                used_[index] = 1;
            }
            out.p0[c] = e.value[0];
            out.p1[c] = e.value[1];
            out.p2[c] = e.value[2];
        }
    }

private:
    static constexpr int kCacheBits = 12;

    struct Entry {
        int32_t key[3];
        int32_t value[3];
    };

    static std::size_t slot(const int32_t rgb[3]) {
        const uint32_t h = static_cast<uint32_t>(rgb[0]) * 0x9E3779B1u ^ static_cast<uint32_t>(rgb[1]) * 0x85EBCA77u ^
                           static_cast<uint32_t>(rgb[2]) * 0xC2B2AE3Du;
        return (h ^ (h >> 15)) & ((1u << kCacheBits) - 1);
    }

    // The pixel's colour rebuilt from its hue and saturation at its weighted
    // intensity. The hue's long chain of dependent operations comes first, so
    // that the processor overlaps it with the independent wavelength search
    // (measured: 20% faster than the other way round).
    void filter_pixel(const int32_t rgb[3], int32_t out[3]) {
        const int32_t R = rgb[0], G = rgb[1], B = rgb[2];
        const qova::Chromaticity xy = qova::xyz_to_xy(qova::rgb_to_xyz(R, G, B));
        const qova::Hsi hsi = qova::rgb_to_hsi(R, G, B);
        const int wavelength = search_.nearest(xy.x, xy.y);
        double intensity = hsi.I * weights_[wavelength - qova::WavelengthSearch::kFirst];
        intensity = intensity * 3;
        const qova::Fractions f = qova::hsi_to_fractions(hsi.H, hsi.S);
        out[0] = qova::to_sample(f.r * intensity);
        out[1] = qova::to_sample(f.g * intensity);
        out[2] = qova::to_sample(f.b * intensity);
    }

    qova::WavelengthSearch search_;
    double weights_[qova::WavelengthSearch::kCount];
    Entry cache_[1u << kCacheBits];
    uint8_t used_[1u << kCacheBits];
};

}  // namespace

extern "C" int QOVA_XYZfilter(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order) {
    if (!in || !out || (bandwidth >= -1 && bandwidth <= 1)) return qova::reject();
    out->attribute = in->attribute;

    ChromaEntry table[QOVA_TABLE_SIZE];
    if (QOVA_readtable(kTableFile, table) < kRecordsNeeded) {
        ZENK_Error(kTableFailure);
        return -1;
    }

    BandFilter filter(table, centre, bandwidth, order);
    return qova::run_parts(in, out, kReadFailure, kWriteFailure, [&filter](qova::InRow i, qova::OutRow o, int width) {
        filter.filter_row(i, o, width);
    });
}
