// ICC profiles made from a colour description given as numbers: primaries,
// white point and transfer curve (HEIF's nclx boxes, PNG's gAMA and cHRM).
// Other formats hold colour only as ICC, so the description travels as one.
#ifndef QOVA_COLOUR_ICC_H
#define QOVA_COLOUR_ICC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qova::colour {

// How a file describes its colours: an ICC profile, or PNG's sRGB, gAMA and
// cHRM chunks.
struct ColourDescription {
    std::vector<uint8_t> icc_profile;
    uint32_t png_gamma = 0;                    // gAMA in 1/100000; 0: none
    int srgb_intent = -1;                      // sRGB chunk's rendering intent; -1: none
    std::vector<uint32_t> png_chromaticities;  // cHRM: white, red, green, blue (x, y) in 1/100000; empty: none
};

// Chromaticities (x, y) of white and the three primaries.
struct Primaries {
    double white_x, white_y, red_x, red_y, green_x, green_y, blue_x, blue_y;
};
extern const Primaries kSrgbPrimaries;  // ITU-R BT.709, D65

// How encoded samples (0..1) map to linear light: the sRGB curve, ITU-R
// BT.709's camera curve, or a pure power (1 is linear).
struct TransferCurve {
    enum class Kind { Srgb, Bt709, Power } kind = Kind::Srgb;
    double exponent = 1.0;  // Power only: linear = encoded ^ exponent
};

// A Little CMS profile (a cmsHPROFILE) as ICC bytes, empty on failure. The
// header's creation date is fixed, so the same image gives the same file
// every run: the profiles made here describe a space, not a moment.
std::vector<uint8_t> icc_bytes(void *profile);

// An RGB display profile for the description, empty if Little CMS cannot
// make one.
std::vector<uint8_t> rgb_icc_profile(const Primaries &primaries, const TransferCurve &curve, const std::string &name);

// A file's own colour encoding to sRGB primaries and back, through Little CMS
// in floating point: colours outside sRGB come out below 0 or above 1 rather
// than clipped (matrix-and-curve profiles; table-based ones clip in their
// tables). Matrix-and-curve profiles into linear light, the common case, run
// here from tables of their curves: a multiply and a lookup each way.
class ColourConversion {
public:
    // For an image (grey or not, samples 0..max) whose colour `meta`
    // describes: to sRGB primaries in linear light, or encoded with the sRGB
    // curve if !linear. Null if the description is sRGB, or there is none, or
    // it cannot be used; *note then says why it was set aside, if it was.
    static std::shared_ptr<const ColourConversion> make(const ColourDescription &meta, bool grey, bool linear,
                                                        uint32_t max, std::string *note);
    ~ColourConversion();
    ColourConversion(const ColourConversion &) = delete;
    ColourConversion &operator=(const ColourConversion &) = delete;

    // `n` pixels of file samples (`stride` words apart; the first, or the
    // first three, used) to RGB triples (1 is white), and RGB triples back to
    // file samples rounded to 0..max (one per pixel if grey, else three).
    // Safe on several threads at once.
    void to_srgb(const uint16_t *samples, std::size_t stride, float *rgb, std::size_t n) const;
    void from_srgb(const float *rgb, uint16_t *samples, std::size_t n) const;
    // What the colour came from, for messages: "ICC profile "Display P3"".
    const std::string &source() const { return source_; }

private:
    ColourConversion() = default;
    bool make_tables(void *profile);

    void *to_ = nullptr, *from_ = nullptr;  // cmsHTRANSFORM
    std::string source_;
    bool grey_ = false;
    uint32_t max_ = 255;
    // Matrix and curves: each channel's linear light by sample, the linear
    // light at which each sample gives way to the next, the first sample of
    // each of kBuckets even spans of 0..1 in linear light (so that finding
    // a sample searches a few steps), and the matrices.
    static constexpr int kBuckets = 16384;
    bool tables_ = false;
    std::vector<float> linear_[3], steps_[3];
    std::vector<uint16_t> bucket_start_[3];
    double to_rgb_[9] = {}, from_rgb_[9] = {};
};

}  // namespace qova::colour

#endif
