#include "reference_filter.h"

#include "colour.h"
#include "part_loop.h"
#include "sample.h"

#include <cmath>
#include <cstdlib>

namespace {

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
                                   const qova::Hsi hsi = qova::rgb_to_hsi(R, G, B);
                                   const int lambda = mindist(xy.x, xy.y, 380, 699, table);
                                   double intensity = hsi.I * weight(lambda, centre, bandwidth, order);
                                   intensity = intensity * 3;
                                   const qova::Fractions f = qova::hsi_to_fractions(hsi.H, hsi.S);
                                   o.p0[c] = qova::to_sample(f.r * intensity);
                                   o.p1[c] = qova::to_sample(f.g * intensity);
                                   o.p2[c] = qova::to_sample(f.b * intensity);
                               }
                           });
}
