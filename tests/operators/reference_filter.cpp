#include "reference_filter.h"

#include "part_loop.h"
#include "qova_conversions.hpp"
#include "sample.h"

#include <cmath>
#include <cstdlib>

namespace {

// The HSI conversions transcribed here as their description reads, on purpose
// apart from the operators' own (src/colour.h), so that comparing the two
// filters checks those too.
struct Hsi {
    double H, S, I;
};

Hsi to_hsi(int32_t r, int32_t g, int32_t b) {
    const double R = r, G = g, B = b;
    Hsi out{0, 0, (R + G + B) / 3};
    if (static_cast<int64_t>(R + G + B) != 0) out.S = 1 - 3 * std::fmin(R, std::fmin(G, B)) / (R + G + B);
    if (1000 * out.S > 0) {
        const double num = ((R - G) + (R - B)) * 0.5;
        const double den = std::sqrt((R - G) * (R - G) + (R - B) * (G - B));
        const double theta = std::acos(num / den);
        out.H = b > g ? (6.283185307179586 - theta) * 180 / 3.141592653589793 : theta * 180 / 3.141592653589793;
    }
    return out;
}

double lead(double S, double h) {
    return (1 + S * std::cos(h * 3.141592653589793 / 180) / std::cos((60 - h) * 3.141592653589793 / 180)) / 3;
}

void to_fractions(double H, double S, double *r, double *g, double *b) {
    if (H == 0) H = 360;
    if (0 < H && H <= 120) {
        *b = (1 - S) / 3;
        *r = lead(S, H);
        *g = 1 - (*r + *b);
    } else if (120 < H && H <= 240) {
        *r = (1 - S) / 3;
        *g = lead(S, H - 120);
        *b = 1 - (*r + *g);
    } else {
        *g = (1 - S) / 3;
        *b = lead(S, H - 240);
        *r = 1 - (*g + *b);
    }
}

double weight(int wavelength, int centre, int bandwidth, int order) {
    const int64_t d = std::llabs(static_cast<int64_t>(wavelength) - centre);
    const int64_t q = d / (bandwidth / 2);
    return 1 / (std::pow(static_cast<double>(q), static_cast<double>(2 * static_cast<int64_t>(order))) + 1);
}

}  // namespace

int reference_XYZfilter(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order) {
    if (!in || !out || (bandwidth >= -1 && bandwidth <= 1)) return qova::reject();
    out->attribute = in->attribute;
    ChromaEntry table[QOVA_TABLE_SIZE];
    if (QOVA_readtable("cie_table.txt", table) < 339) {
        ZENK_Error("Error in readtable - cie_table.txt can't be read");
        return -1;
    }
    return qova::run_parts(in, out, "Error in Getpart - incomplete read", "Error in Putpart - incomplete write",
                           [&](qova::InRow i, qova::OutRow o, int width) {
                               for (int c = 0; c < width; ++c) {
                                   const int32_t R = i.p0[c], G = i.p1[c], B = i.p2[c];
                                   const qova::Chromaticity xy = qova::xyz_to_xy(qova::rgb_to_xyz(R, G, B));
                                   const Hsi hsi = to_hsi(R, G, B);
                                   const int lambda = mindist(xy.x, xy.y, 380, 699, table);
                                   double intensity = hsi.I * weight(lambda, centre, bandwidth, order);
                                   intensity = intensity * 3;
                                   double r, g, b;
                                   to_fractions(hsi.H, hsi.S, &r, &g, &b);
                                   o.p0[c] = qova::to_sample(r * intensity);
                                   o.p1[c] = qova::to_sample(g * intensity);
                                   o.p2[c] = qova::to_sample(b * intensity);
                               }
                           });
}
