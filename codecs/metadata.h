// What a file says besides its pixels, read by each codec into one bag and
// written back by each codec where its format can hold it: colour description,
// EXIF, XMP, IPTC, comments, PNG text and resolution.
//
// The pixels are never rotated, so the EXIF orientation travels with them: it
// is what makes the output display like the input.
#ifndef QOVA_CODECS_METADATA_H
#define QOVA_CODECS_METADATA_H

#include "colour/icc.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qova::codecs {

// A PNG text chunk as it stands: tEXt (Latin-1), zTXt (the same compressed) or
// iTXt (UTF-8, with a language tag and a translated keyword, maybe compressed).
struct TextChunk {
    std::string keyword;
    std::string text;
    bool international = false;  // iTXt
    bool compressed = false;
    std::string language, translated_keyword;  // iTXt only
};

// Pixel density. PNG holds pixels per metre, JPEG (JFIF) per inch or per
// centimetre in 16 bits; either may hold only an aspect ratio.
struct Resolution {
    enum class Unit : uint8_t { Aspect, PerInch, PerCentimetre, PerMetre };
    Unit unit = Unit::Aspect;
    uint32_t x = 0, y = 0;  // 0: none given

    bool known() const { return x > 0 && y > 0; }
    bool operator==(const Resolution &o) const { return unit == o.unit && x == o.x && y == o.y; }
};

// The same density in PNG's terms: pixels per metre, or an aspect ratio.
Resolution png_resolution(const Resolution &r);
// The same density in JFIF's terms: per inch when it is a whole number of
// dots per inch, else per centimetre; none if it does not fit in 16 bits.
Resolution jfif_resolution(const Resolution &r);

struct Metadata {
    // How to show the colours (kept by strip()).
    std::vector<uint8_t> icc_profile;
    uint32_t png_gamma = 0;                    // gAMA in 1/100000; 0: none
    int srgb_intent = -1;                      // sRGB chunk's rendering intent; -1: none
    std::vector<uint32_t> png_chromaticities;  // cHRM: white, red, green, blue (x, y) in 1/100000; empty: none
    // A HEIF input's colour as its codes (ITU-T H.273); icc_profile then
    // holds the same as a profile, for other formats. (How RGB was coded as
    // luma and chroma is the encoder's own business, not kept.)
    struct Nclx {
        uint16_t primaries = 1, transfer = 13;
    };
    std::optional<Nclx> nclx;

    // About the picture.
    std::vector<uint8_t> exif;               // from the TIFF header on (no "Exif\0\0")
    std::string xmp;                         // the XMP packet
    std::vector<std::string> xmp_extension;  // JPEG extended-XMP segments as they stand (JPEG to JPEG only)
    std::vector<uint8_t> iptc;               // IPTC-IIM datasets
    std::vector<uint8_t> photoshop;          // JPEG APP13 image resources as they stand (JPEG to JPEG only)
    std::vector<std::string> comments;       // JPEG comments
    std::vector<TextChunk> text;             // PNG text chunks; "Comment" ones are comments to a JPEG
    Resolution resolution;

    // Drops everything but the colour description, and an EXIF orientation
    // other than "normal", which is kept alone: the pixels are not rotated.
    void strip();
    // The colour description alone, for the colour conversions.
    colour::ColourDescription colour_description() const {
        return {icc_profile, png_gamma, srgb_intent, png_chromaticities};
    }
};

// The EXIF orientation tag (1..8) in an EXIF block, 0 if there is none.
int exif_orientation(const std::vector<uint8_t> &exif);
// Sets that tag, where it asks for a turn (2..8), to 1 (normal) in place:
// for readers that turn the pixels themselves.
void set_exif_orientation_normal(std::vector<uint8_t> &exif);
// A minimal EXIF block (big-endian TIFF) holding only the orientation tag.
std::vector<uint8_t> orientation_only_exif(int orientation);

// The IPTC-IIM datasets inside Photoshop image resources (resource 0x0404),
// and image resources holding just those datasets.
std::vector<uint8_t> iptc_from_photoshop(const std::vector<uint8_t> &resources);
std::vector<uint8_t> photoshop_from_iptc(const std::vector<uint8_t> &iptc);

// The hex text other programs store binary profiles in as PNG text chunks
// under "Raw profile type NAME": "\nNAME\n   LENGTH\nHEX...\n".
std::string raw_profile_text(const std::string &name, const std::vector<uint8_t> &bytes);
std::optional<std::vector<uint8_t>> raw_profile_bytes(const std::string &text);

}  // namespace qova::codecs

#endif
