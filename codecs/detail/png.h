// What the PNG reader and writer share: libpng's error hooks and limits, the
// predictor, and the metadata chunks, read and written.
//
// libpng reports errors by longjmp: every function that calls into it sets the
// jump point first and keeps no automatic objects with destructors alive
// across the calls, so unwinding skips nothing.
#ifndef QOVA_CODECS_DETAIL_PNG_H
#define QOVA_CODECS_DETAIL_PNG_H

#include "codecs/raster.h"

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace qova::codecs::png {

// libpng's error and warning hooks: keep the first message of each and, for
// an error, jump back (returning would make libpng print it too).
struct Messages {
    char text[200] = "";
    char warning[200] = "";
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp message);
void on_png_warning(png_structp png, png_const_charp message);

// libpng's own limits on what a header may announce and a chunk may allocate.
inline constexpr png_uint_32 kMaxSide = 0x7fffffff;
inline constexpr png_alloc_size_t kMaxChunk = 64u << 20;
// Text and EXIF chunks after the image data are read at most this far.
inline constexpr std::size_t kMaxTrailingBytes = 16u << 20;

inline constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
inline constexpr char kRawProfile[] = "Raw profile type ";

inline uint32_t be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

// The PNG predictor: of the left, upper and upper-left neighbours, the one
// nearest to left + upper - upper-left.
inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// What a walk over the chunk headers tells before libpng reads the file:
// which colour chunks are really there (libpng also reports values it derives
// from sRGB), whether it is an animation, and the text and EXIF chunks after
// the image data, which libpng would reach only after the last row.
struct ChunkMap {
    bool has_gamma = false, has_chromaticities = false;
    uint32_t animation_frames = 0;                // acTL's count; 0: not animated
    bool first_frame_is_image = false;            // an fcTL before the image data
    std::string trailing;                         // those chunks, as they stand
    bool trailing_cut = false;                    // more of them than kMaxTrailingBytes
    bool truncated = false;                       // a chunk runs past the end of the file
    uint32_t oversized = 0;                       // the length of a chunk other than image data above kMaxChunk
    std::vector<std::pair<long, uint32_t>> data;  // each image data chunk's data: offset and length

    bool animated() const { return animation_frames > 1 || (animation_frames == 1 && !first_frame_is_image); }
};

ChunkMap map_chunks(std::FILE *file);

// The colour description, resolution, EXIF and text chunks libpng has read.
void read_colour_metadata(png_structp png, png_infop info, const ChunkMap &map, Metadata &meta);
void take_exif_and_text(png_structp png, png_infop info, Metadata &meta);
// The text and EXIF chunks found after the image data (ChunkMap::trailing).
bool read_trailing_chunks(const std::string &chunks, Metadata &meta);

// The metadata a written PNG carries, made ready before libpng is called
// (a longjmp out of it must not skip destructors), then handed to it.
class WrittenMetadata {
public:
    // Text chunks as read; XMP as iTXt, IPTC as a raw profile, JPEG comments
    // under "Comment" (iTXt when they are UTF-8 beyond ASCII).
    void prepare(const Metadata &meta);
    // Called within the jump point: only libpng calls on prepared members.
    void set(png_structp png, png_infop info, const Metadata &meta) const;

private:
    std::vector<TextChunk> text_;
    std::vector<png_text> chunks_;  // point into text_
};

}  // namespace qova::codecs::png

#endif
