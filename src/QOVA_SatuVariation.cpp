// Saturation variation: saturation moved by a percentage of itself.
#include "qova.h"

#include "part_loop.h"
#include "row_copy.h"
#include "sample.h"
#include "sample_table.h"

namespace {

constexpr const char *kLabel = "Saturation Variation";

// s + (a s) / 100 in single precision, truncated, then clamped to 0..999.
inline int32_t vary_saturation(int32_t s, float a) {
    const float sf = static_cast<float>(s);
    const float v = sf + (a * sf) / 100.0f;
    return qova::clamp_sample(qova::to_sample(v), 0, 999);
}

}  // namespace

extern "C" int QOVA_SatuVariation(ImageDescriptor *in, ImageDescriptor *out, int strength) {
    if (!in || !out || !qova::valid_strength(strength)) return qova::reject();
    out->attribute = in->attribute;

    const float a = static_cast<float>(strength);
    // Saturations lie in 0..999: tabulated once, a row is a run of lookups.
    const auto varied = qova::tabulate<1000>([a](int32_t s) { return vary_saturation(s, a); });
    return qova::run_parts(in, out, kLabel, kLabel, [&varied](qova::InRow i, qova::OutRow o, int width) {
        qova::copy_row(o.p0, i.p0, width);
        qova::copy_row(o.p1, i.p1, width);
        varied.map_row(i.p2, o.p2, width);
    });
}
