// Hue polarisation: hues pulled toward (or pushed away from) poles on the hue
// circle, by a percentage of their distance from the pole.
#include "qova.h"

#include "part_loop.h"
#include "row_copy.h"
#include "sample.h"
#include "sample_table.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr const char *kLabel = "Hue Polarisation";
constexpr int32_t kFullCircle = 3600;  // tenths of a degree

// Fixed poles 0, 1200, 2400 and 3600; each hue moves relative to the pole of
// its band, whose edges are the midpoints 600, 1800 and 3000 (hues of 3600 and
// above belong to the last band). Every band's formula is h + a (pole - h) / 100
// in single precision: the "h - a (h - pole) / 100" bands give the same bits,
// since negating a float difference, product or quotient is exact.
inline int32_t polarise_fixed(int32_t hue, float a) {
    const float h = static_cast<float>(hue);
    const float pole = h < 600.0f ? 0.0f : h < 1800.0f ? 1200.0f : h < 3000.0f ? 2400.0f : 3600.0f;
    const float v = h + (a * (pole - h)) / 100.0f;
    return qova::clamp_sample(qova::to_sample(v), 0, kFullCircle);
}

// Poles sorted ascending, at least one.
struct Poles {
    const int *p;
    int n;
};

// Moves a hue relative to the nearer of the two poles enclosing it on the
// circle (ties to the upper one), then wraps the result once into 0..3600.
int32_t polarise_given(int32_t hue, float a, Poles poles) {
    const float h = static_cast<float>(hue);
    // k: the first pole that h does not exceed. Poles are sorted, so their float
    // values are too and a binary search finds what a forward scan would.
    const int k = static_cast<int>(
        std::partition_point(poles.p, poles.p + poles.n, [h](int pole) { return h > static_cast<float>(pole); }) -
        poles.p);
    // Carried round the circle in 64 bits: no pole can overflow.
    int64_t lower, upper;
    if (k == poles.n) {
        lower = poles.p[poles.n - 1];
        upper = static_cast<int64_t>(poles.p[0]) + kFullCircle;
    } else if (k == 0) {
        lower = static_cast<int64_t>(poles.p[poles.n - 1]) - kFullCircle;
        upper = poles.p[0];
    } else {
        lower = poles.p[k - 1];
        upper = poles.p[k];
    }
    const float below = h - static_cast<float>(lower);
    const float above = static_cast<float>(upper) - h;
    const float v = above > below ? h - (a * below) / 100.0f : h + (a * above) / 100.0f;
    int32_t out = qova::to_sample(v);
    if (out > kFullCircle) out -= kFullCircle;
    if (out < 0) out += kFullCircle;
    return out;
}

}  // namespace

extern "C" int QOVA_HuePolarisation(ImageDescriptor *in, ImageDescriptor *out, int strength) {
    if (!in || !out || !qova::valid_strength(strength)) return qova::reject();
    out->attribute = in->attribute;

    const float a = static_cast<float>(strength);
    const auto polarised = qova::tabulate<kFullCircle + 1>([a](int32_t h) { return polarise_fixed(h, a); });
    return qova::run_parts(in, out, kLabel, kLabel, [&polarised](qova::InRow i, qova::OutRow o, int width) {
        qova::copy_row(o.p0, i.p0, width);
        qova::copy_row(o.p2, i.p2, width);
        polarised.map_row(i.p1, o.p1, width);
    });
}

extern "C" int QOVA_HuePolarisation1(ImageDescriptor *in, ImageDescriptor *out, int strength, int *poles, int npoles) {
    if (!in || !out || !qova::valid_strength(strength)) return qova::reject();
    if (!poles || npoles < 1) return qova::reject();
    std::sort(poles, poles + npoles);  // the caller sees its poles in ascending order
    out->attribute = in->attribute;

    const float a = static_cast<float>(strength);
    const Poles sorted{poles, npoles};
    const auto polarised =
        qova::tabulate<kFullCircle + 1>([a, sorted](int32_t h) { return polarise_given(h, a, sorted); });
    return qova::run_parts(in, out, kLabel, kLabel, [&polarised](qova::InRow i, qova::OutRow o, int width) {
        qova::copy_row(o.p0, i.p0, width);
        qova::copy_row(o.p2, i.p2, width);
        polarised.map_row(i.p1, o.p1, width);
    });
}
