#include "colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zenk {

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
cmsHPROFILE png_profile(const Metadata &meta, bool grey, std::string *source) {
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

std::vector<uint8_t> rgb_icc_profile(const Primaries &p, const TransferCurve &curve, const std::string &name) {
    Profile profile{rgb_profile(p, curve)};
    std::vector<uint8_t> bytes;
    if (!profile.handle) return bytes;
    cmsMLU *description = cmsMLUalloc(nullptr, 1);
    if (description && cmsMLUsetASCII(description, "en", "US", name.c_str()))
        cmsWriteTag(profile.handle, cmsSigProfileDescriptionTag, description);
    if (description) cmsMLUfree(description);
    cmsUInt32Number size = 0;
    if (cmsSaveProfileToMem(profile.handle, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(profile.handle, bytes.data(), &size)) bytes.clear();
    }
    return bytes;
}

std::shared_ptr<const ColourConversion> ColourConversion::make(const Metadata &meta, bool grey, bool linear,
                                                               std::string *note) {
    note->clear();
    if (meta.srgb_intent >= 0) return nullptr;  // PNG's sRGB chunk outranks the rest
    Profile file;
    std::string source;
    if (!meta.icc_profile.empty()) {
        file.handle = cmsOpenProfileFromMem(meta.icc_profile.data(), static_cast<cmsUInt32Number>(meta.icc_profile.size()));
        const cmsColorSpaceSignature wanted = grey ? cmsSigGrayData : cmsSigRgbData;
        if (!file.handle || cmsGetColorSpace(file.handle) != wanted) {
            *note = std::string("its ICC profile ") + (file.handle ? "is not for " : "is unreadable, so not used for ") +
                    (grey ? "grey" : "RGB") + " pixels: colours read as sRGB";
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
    conversion->to_ = cmsCreateTransform(file.handle, file_format, rgb, TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC, flags);
    conversion->from_ = cmsCreateTransform(rgb, TYPE_RGB_FLT, file.handle, file_format, INTENT_RELATIVE_COLORIMETRIC, flags);
    if (!conversion->to_ || !conversion->from_) {
        *note = source + " cannot be used both ways: colours read as sRGB";
        return nullptr;
    }
    conversion->source_ = source;
    return conversion;
}

ColourConversion::~ColourConversion() {
    if (to_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(to_));
    if (from_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(from_));
}

void ColourConversion::to_srgb(const float *encoded, float *rgb, std::size_t n) const {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(to_), encoded, rgb, static_cast<cmsUInt32Number>(n));
}

void ColourConversion::from_srgb(const float *rgb, float *encoded, std::size_t n) const {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(from_), rgb, encoded, static_cast<cmsUInt32Number>(n));
}

}  // namespace zenk
