#include "icc.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qova::colour {

const Primaries kSrgbPrimaries = {0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};

namespace {

cmsToneCurve *tone_curve(const TransferCurve &curve) {
    // Little CMS type 4: Y = (aX + b)^g for X >= d, else cX.
    static const double kSrgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    static const double kBt709[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
    switch (curve.kind) {
    case TransferCurve::Kind::Srgb: return cmsBuildParametricToneCurve(nullptr, 4, kSrgb);
    case TransferCurve::Kind::Bt709: return cmsBuildParametricToneCurve(nullptr, 4, kBt709);
    case TransferCurve::Kind::Power: return cmsBuildGamma(nullptr, curve.exponent);
    }
    return nullptr;
}

cmsHPROFILE rgb_profile(const Primaries &p, const TransferCurve &curve) {
    cmsToneCurve *tone = tone_curve(curve);
    if (!tone) return nullptr;
    const cmsCIExyY white = {p.white_x, p.white_y, 1.0};
    const cmsCIExyYTRIPLE primaries = {{p.red_x, p.red_y, 1.0}, {p.green_x, p.green_y, 1.0}, {p.blue_x, p.blue_y, 1.0}};
    cmsToneCurve *curves[3] = {tone, tone, tone};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(tone);
    return profile;
}

cmsHPROFILE grey_profile(const Primaries &p, const TransferCurve &curve) {
    cmsToneCurve *tone = tone_curve(curve);
    if (!tone) return nullptr;
    const cmsCIExyY white = {p.white_x, p.white_y, 1.0};
    cmsHPROFILE profile = cmsCreateGrayProfile(&white, tone);
    cmsFreeToneCurve(tone);
    return profile;
}

struct Profile {
    cmsHPROFILE handle = nullptr;
    ~Profile() {
        if (handle) cmsCloseProfile(handle);
    }
};

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

// What the profile calls itself, if anything.
std::string profile_name(cmsHPROFILE profile) {
    char name[256] = {};
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", name, sizeof name);
    return name;
}

// The PNG description's profile: cHRM's primaries (else sRGB's) and gAMA's
// power (else the sRGB curve). Null when it is sRGB's own within what
// writers round to: gAMA within 1% of 1/2.2 and cHRM within 0.001.
cmsHPROFILE png_profile(const ColourDescription &meta, bool grey, std::string *source) {
    Primaries primaries = kSrgbPrimaries;
    const std::vector<uint32_t> &c = meta.png_chromaticities;
    bool srgb = true;
    if (c.size() == 8 && !grey) {  // grey has no primaries, only white
        double *at[8] = {&primaries.white_x, &primaries.white_y, &primaries.red_x,  &primaries.red_y,
                         &primaries.green_x, &primaries.green_y, &primaries.blue_x, &primaries.blue_y};
        for (int i = 0; i < 8; ++i) {
            const double v = c[static_cast<std::size_t>(i)] / 100000.0;
            srgb = srgb && std::fabs(v - *at[i]) <= 0.001;
            *at[i] = v;
        }
        if (!srgb) *source = "PNG cHRM";
    }
    TransferCurve curve;
    if (meta.png_gamma > 0) {
        const double gamma = meta.png_gamma / 100000.0;
        if (std::fabs(gamma * 2.2 - 1) > 0.01) {
            srgb = false;
            curve = {TransferCurve::Kind::Power, 1 / gamma};
            char text[32];
            std::snprintf(text, sizeof text, "PNG gAMA %.5g", gamma);
            *source = source->empty() ? text : *source + " and " + text;
        }
    }
    if (srgb) return nullptr;
    return grey ? grey_profile(primaries, curve) : rgb_profile(primaries, curve);
}

}  // namespace

std::vector<uint8_t> icc_bytes(void *profile) {
    std::vector<uint8_t> bytes;
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size < 128) return bytes;
    bytes.resize(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return {};
    // Creation date (bytes 24-35, six big-endian words): 2000-01-01 00:00:00.
    // Little CMS leaves the profile ID zero, so nothing else depends on it.
    static const uint8_t kDate[12] = {0x07, 0xd0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    std::copy(kDate, kDate + 12, bytes.begin() + 24);
    return bytes;
}

std::vector<uint8_t> rgb_icc_profile(const Primaries &p, const TransferCurve &curve, const std::string &name) {
    Profile profile{rgb_profile(p, curve)};
    if (!profile.handle) return {};
    cmsMLU *description = cmsMLUalloc(nullptr, 1);
    if (description && cmsMLUsetASCII(description, "en", "US", name.c_str()))
        cmsWriteTag(profile.handle, cmsSigProfileDescriptionTag, description);
    if (description) cmsMLUfree(description);
    return icc_bytes(profile.handle);
}

std::shared_ptr<const ColourConversion> ColourConversion::make(const ColourDescription &meta, bool grey, bool linear,
                                                               uint32_t max, std::string *note) {
    note->clear();
    if (meta.srgb_intent >= 0) return nullptr;  // PNG's sRGB chunk outranks the rest
    Profile file;
    std::string source;
    if (!meta.icc_profile.empty()) {
        file.handle =
            cmsOpenProfileFromMem(meta.icc_profile.data(), static_cast<cmsUInt32Number>(meta.icc_profile.size()));
        const cmsColorSpaceSignature wanted = grey ? cmsSigGrayData : cmsSigRgbData;
        if (!file.handle || cmsGetColorSpace(file.handle) != wanted) {
            *note = std::string("its ICC profile ") +
                    (file.handle ? "is not for " : "is unreadable, so not used for ") + (grey ? "grey" : "RGB") +
                    " pixels: colours read as sRGB";
            return nullptr;
        }
        const std::string name = profile_name(file.handle);
        source = "ICC profile" + (name.empty() ? "" : " \"" + name + "\"");
    } else {
        file.handle = png_profile(meta, grey, &source);
        if (!file.handle) return nullptr;
    }
    Profile srgb{rgb_profile(kSrgbPrimaries, TransferCurve{TransferCurve::Kind::Power, 1.0})};
    Profile target{linear ? nullptr : cmsCreate_sRGBProfile()};
    if (!srgb.handle || (!linear && !target.handle)) return nullptr;
    const cmsUInt32Number file_format = grey ? TYPE_GRAY_FLT : TYPE_RGB_FLT;
    const cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_NOOPTIMIZE;  // float all the way: no clipping tables
    cmsHTRANSFORM to_linear =
        cmsCreateTransform(file.handle, file_format, srgb.handle, TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC, flags);
    if (!to_linear) {
        *note = source + " cannot be used: colours read as sRGB";
        return nullptr;
    }
    // A profile that only restates sRGB leaves the pixels as they are.
    double worst = 0;
    const float steps[] = {0.0f, 0.02f, 0.2f, 0.5f, 0.8f, 1.0f};
    for (const float r : steps)
        for (const float g : steps)
            for (const float b : steps) {
                const float in[3] = {r, g, b};
                float out[3];
                cmsDoTransform(to_linear, in, out, 1);
                for (int k = 0; k < 3; ++k)
                    worst = std::max(worst, std::fabs(out[k] - srgb_to_linear(grey ? r : in[k])));
            }
    cmsDeleteTransform(to_linear);
    if (worst < 5e-4) return nullptr;

    std::shared_ptr<ColourConversion> conversion(new ColourConversion);
    cmsHPROFILE rgb = linear ? srgb.handle : target.handle;
    conversion->to_ =
        cmsCreateTransform(file.handle, file_format, rgb, TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC, flags);
    conversion->from_ =
        cmsCreateTransform(rgb, TYPE_RGB_FLT, file.handle, file_format, INTENT_RELATIVE_COLORIMETRIC, flags);
    if (!conversion->to_ || !conversion->from_) {
        *note = source + " cannot be used both ways: colours read as sRGB";
        return nullptr;
    }
    conversion->source_ = source;
    conversion->grey_ = grey;
    conversion->max_ = max;
    if (!grey && linear && cmsIsMatrixShaper(file.handle)) conversion->tables_ = conversion->make_tables(file.handle);
    return conversion;
}

bool ColourConversion::make_tables(void *handle) {
    cmsHPROFILE profile = static_cast<cmsHPROFILE>(handle);
    const cmsTagSignature tags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    const cmsToneCurve *curves[3];
    for (int c = 0; c < 3; ++c) {
        curves[c] = static_cast<const cmsToneCurve *>(cmsReadTag(profile, tags[c]));
        if (!curves[c]) return false;
    }
    // The matrix from each primary at full scale.
    for (int c = 0; c < 3; ++c) {
        float unit[3] = {0, 0, 0}, out[3];
        unit[c] = 1;
        cmsDoTransform(static_cast<cmsHTRANSFORM>(to_), unit, out, 1);
        const double full = cmsEvalToneCurveFloat(curves[c], 1.0f);
        if (!(full > 0)) return false;
        for (int k = 0; k < 3; ++k) to_rgb_[k * 3 + c] = out[k] / full;
    }
    // Curves then matrix must be what Little CMS does (no offsets, no tables
    // that outrank the curves).
    const float probes[] = {0.0f, 0.03f, 0.3f, 0.6f, 1.0f};
    for (const float r : probes)
        for (const float g : probes)
            for (const float b : probes) {
                const float in[3] = {r, g, b};
                float want[3];
                cmsDoTransform(static_cast<cmsHTRANSFORM>(to_), in, want, 1);
                for (int k = 0; k < 3; ++k) {
                    double got = 0;
                    for (int c = 0; c < 3; ++c) got += to_rgb_[k * 3 + c] * cmsEvalToneCurveFloat(curves[c], in[c]);
                    if (!(std::fabs(got - want[k]) < 1e-5)) return false;
                }
            }
    const double *m = to_rgb_;
    const double det =
        m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (!(std::fabs(det) > 1e-9)) return false;
    const double inverse[9] = {
        (m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
        (m[5] * m[6] - m[3] * m[8]) / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
        (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
    std::copy(inverse, inverse + 9, from_rgb_);
    const float max = static_cast<float>(max_);
    for (int c = 0; c < 3; ++c) {
        linear_[c].resize(max_ + 1);
        steps_[c].resize(max_);
        for (uint32_t v = 0; v <= max_; ++v)
            linear_[c][v] = cmsEvalToneCurveFloat(curves[c], static_cast<float>(v) / max);
        for (uint32_t v = 0; v < max_; ++v)
            steps_[c][v] = cmsEvalToneCurveFloat(curves[c], (static_cast<float>(v) + 0.5f) / max);
        if (!std::is_sorted(steps_[c].begin(), steps_[c].end())) return false;
        bucket_start_[c].resize(kBuckets + 1);
        for (int k = 0; k <= kBuckets; ++k)
            bucket_start_[c][static_cast<std::size_t>(k)] = static_cast<uint16_t>(
                std::upper_bound(steps_[c].begin(), steps_[c].end(), static_cast<float>(k) / kBuckets) -
                steps_[c].begin());
    }
    return true;
}

ColourConversion::~ColourConversion() {
    if (to_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(to_));
    if (from_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(from_));
}

void ColourConversion::to_srgb(const uint16_t *samples, std::size_t stride, float *rgb, std::size_t n) const {
    if (tables_) {
        for (std::size_t i = 0; i < n; ++i, samples += stride, rgb += 3) {
            double l[3];
            for (int c = 0; c < 3; ++c) l[c] = linear_[c][std::min<uint32_t>(samples[c], max_)];
            for (std::size_t k = 0; k < 3; ++k)
                rgb[k] =
                    static_cast<float>(to_rgb_[k * 3] * l[0] + to_rgb_[k * 3 + 1] * l[1] + to_rgb_[k * 3 + 2] * l[2]);
        }
        return;
    }
    const std::size_t colours = grey_ ? 1 : 3;
    std::vector<float> encoded(n * colours);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < colours; ++c)
            encoded[i * colours + c] = static_cast<float>(samples[i * stride + c]) / static_cast<float>(max_);
    cmsDoTransform(static_cast<cmsHTRANSFORM>(to_), encoded.data(), rgb, static_cast<cmsUInt32Number>(n));
}

void ColourConversion::from_srgb(const float *rgb, uint16_t *samples, std::size_t n) const {
    if (tables_) {
        for (std::size_t i = 0; i < n; ++i, rgb += 3, samples += 3)
            for (std::size_t c = 0; c < 3; ++c) {
                const float l = static_cast<float>(from_rgb_[c * 3] * rgb[0] + from_rgb_[c * 3 + 1] * rgb[1] +
                                                   from_rgb_[c * 3 + 2] * rgb[2]);
                // The sample whose span holds l: rounding by the file's own
                // curve, searched within l's bucket.
                const std::vector<float> &steps = steps_[c];
                if (!(l >= steps.front())) {  // also NaN
                    samples[c] = 0;
                } else if (l >= steps.back()) {
                    samples[c] = static_cast<uint16_t>(max_);
                } else {
                    const float *all = steps.data(), *end = all + steps.size(), *lo = all, *hi = end;
                    if (l < 1.0f) {
                        const std::size_t k = static_cast<std::size_t>(l * kBuckets);
                        lo = all + bucket_start_[c][k];
                        hi = all + bucket_start_[c][k + 1];
                        // A bucket edge rounded past l: search everything.
                        if ((lo > all && lo[-1] > l) || (hi < end && *hi <= l)) lo = all, hi = end;
                    }
                    samples[c] = static_cast<uint16_t>(std::upper_bound(lo, hi, l) - all);
                }
            }
        return;
    }
    const std::size_t colours = grey_ ? 1 : 3;
    std::vector<float> encoded(n * colours);
    cmsDoTransform(static_cast<cmsHTRANSFORM>(from_), rgb, encoded.data(), static_cast<cmsUInt32Number>(n));
    for (std::size_t i = 0; i < n * colours; ++i) {
        const double v = encoded[i] * static_cast<double>(max_);
        samples[i] = !(v > 0) ? 0 : v >= max_ ? static_cast<uint16_t>(max_) : static_cast<uint16_t>(v + 0.5);
    }
}

}  // namespace qova::colour
