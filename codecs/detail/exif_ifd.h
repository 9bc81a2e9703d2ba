// EXIF directories moved between TIFF-structured places: from a TIFF file
// into an EXIF block, and from an EXIF block into a TIFF file being written.
// Both are TIFF directories (IFDs) whose values may lie anywhere, so a copy
// gathers each directory with its values, in either byte order, and points
// them at their new place.
#ifndef QOVA_CODECS_DETAIL_EXIF_IFD_H
#define QOVA_CODECS_DETAIL_EXIF_IFD_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qova::codecs {

// Reads `n` bytes at `offset` of a source; false if they are not all there.
using ReadAt = std::function<bool(uint64_t offset, std::size_t n, uint8_t *out)>;

// The EXIF block (from the TIFF header on) of a classic TIFF file whose first
// directory is at `ifd0`: that directory's description, camera, date and
// orientation tags, with the EXIF, GPS and interoperability directories they
// lead to. Empty if the file has none of them.
std::vector<uint8_t> exif_from_tiff(const ReadAt &read, bool big_endian, uint64_t ifd0);

// What of an EXIF block goes into a TIFF file's first directory.
struct ExifForTiff {
    std::vector<std::pair<uint16_t, std::string>> text;  // description, make, model, software, date, artist, copyright
    std::vector<uint8_t> directories;                    // the EXIF and GPS directories, to be put at `base`
    uint64_t exif_offset = 0, gps_offset = 0;            // where they start in the file; 0: none
};

// Lays out `exif`'s directories for a classic TIFF file of the given byte
// order, to be written at file offset `base` (even).
ExifForTiff exif_for_tiff(const std::vector<uint8_t> &exif, bool big_endian, uint64_t base);

}  // namespace qova::codecs

#endif
