#include "cmyk.h"

#include "icc.h"

#include <lcms2.h>

namespace qova::colour {

const char kStandardCmykProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

namespace {

struct Profile {
    cmsHPROFILE handle = nullptr;
    ~Profile() {
        if (handle) cmsCloseProfile(handle);
    }
};

}  // namespace

std::unique_ptr<CmykToRgb> CmykToRgb::make(const std::vector<uint8_t> &profile, bool inverted, std::string *error) {
    std::unique_ptr<CmykToRgb> result(new CmykToRgb);
    Profile cmyk, srgb;
    if (!profile.empty()) {
        cmyk.handle = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
        if (cmyk.handle && cmsGetColorSpace(cmyk.handle) != cmsSigCmykData) {
            cmsCloseProfile(cmyk.handle);
            cmyk.handle = nullptr;
        }
        result->used_file_profile_ = cmyk.handle != nullptr;
    }
    if (!cmyk.handle) cmyk.handle = cmsOpenProfileFromFile(kStandardCmykProfile, "r");
    if (!cmyk.handle) {
        *error = std::string("CMYK without its own profile needs the standard one, ") + kStandardCmykProfile +
                 " (Debian package libgs-common)";
        return nullptr;
    }
    srgb.handle = cmsCreate_sRGBProfile();
    if (!srgb.handle) {
        *error = "out of memory";
        return nullptr;
    }
    // Relative colorimetric with black point compensation, as print
    // workflows convert for screens.
    result->transform_ = cmsCreateTransform(cmyk.handle, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb.handle,
                                            TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_BLACKPOINTCOMPENSATION);
    if (result->transform_) result->rgb_profile_ = icc_bytes(srgb.handle);
    if (result->rgb_profile_.empty()) {
        *error = "the CMYK profile cannot be used";
        return nullptr;
    }
    return result;
}

CmykToRgb::~CmykToRgb() {
    if (transform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

void CmykToRgb::convert(const uint8_t *cmyk, uint8_t *rgb, std::size_t pixels) const {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), cmyk, rgb, static_cast<cmsUInt32Number>(pixels));
}

}  // namespace qova::colour
