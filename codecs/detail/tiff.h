// What the TIFF reader and writer share: libtiff opened over a caller's FILE
// with per-file messages, and tag access.
#ifndef QOVA_CODECS_DETAIL_TIFF_H
#define QOVA_CODECS_DETAIL_TIFF_H

#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qova::codecs::tiff {

// libtiff's messages for one file: the first error (with its function's
// name, and as detail without it) and the first warning.
struct Messages {
    std::string error, detail, warning;
};

inline constexpr char kFileName[] = "image";  // what libtiff calls every file

// Opens a TIFF over `file` (which libtiff never closes), with per-file
// message handlers and a cap on what libtiff may allocate at once.
TIFF *open_tiff(std::FILE *file, const char *mode, Messages &messages);

template <class T>
T field(TIFF *tif, ttag_t tag, T fallback) {
    T value = fallback;
    return TIFFGetField(tif, tag, &value) == 1 ? value : fallback;
}

// A tag holding bytes (ICC, XMP, IPTC, Photoshop resources).
std::vector<uint8_t> bytes_field(TIFF *tif, ttag_t tag);

}  // namespace qova::codecs::tiff

#endif
