// CMYK pixels to sRGB through Little CMS: by the file's own CMYK profile, or
// the standard one a print workflow assumes when a file carries none.
#ifndef QOVA_COLOUR_CMYK_H
#define QOVA_COLOUR_CMYK_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qova::colour {

// Where the standard CMYK profile is installed (Debian's libgs-common).
extern const char kStandardCmykProfile[];

class CmykToRgb {
public:
    // `profile`: the file's ICC profile (used if it describes CMYK, else the
    // standard one); `inverted`: 0 means full ink, as Adobe writes CMYK JPEGs.
    // Null with *error set if no transform can be made.
    static std::unique_ptr<CmykToRgb> make(const std::vector<uint8_t> &profile, bool inverted, std::string *error);
    ~CmykToRgb();
    CmykToRgb(const CmykToRgb &) = delete;
    CmykToRgb &operator=(const CmykToRgb &) = delete;

    // `pixels` CMYK pixels (4 bytes each) to RGB (3 bytes each).
    void convert(const uint8_t *cmyk, uint8_t *rgb, std::size_t pixels) const;
    // The sRGB profile the output carries, and which profile the input used.
    const std::vector<uint8_t> &rgb_profile() const { return rgb_profile_; }
    bool used_file_profile() const { return used_file_profile_; }

private:
    CmykToRgb() = default;
    void *transform_ = nullptr;  // cmsHTRANSFORM
    std::vector<uint8_t> rgb_profile_;
    bool used_file_profile_ = false;
};

}  // namespace qova::colour

#endif
