// The formats the codecs know, in one table: how each is named and
// recognised, and the layouts its writer accepts, so that callers convert to
// them without deciding by format.
#ifndef QOVA_CODECS_FORMATS_H
#define QOVA_CODECS_FORMATS_H

#include "raster.h"

namespace qova::codecs {

const char *format_name(FileFormat format);       // "PNG", "JPEG", ...
const char *format_extension(FileFormat format);  // the one written: ".png", ".jpg", ...
// By a file name's extension (any case), or by a name such as "jpg" or "tiff".
std::optional<FileFormat> format_of_extension(std::string extension);
std::optional<FileFormat> format_of_name(std::string name);
// For messages: "PNG, JPEG or TIFF"; "png, jpg, jpeg, ..."; ".png, .jpg, ...".
std::string format_list();
std::string format_names();
std::string written_extensions();

// The layouts a format's writer takes: samples up to `max_depth` bits (8 or
// 16); grey as grey (else spread to RGB); alpha (else composited before);
// rows of indices into RasterInfo::palette.
struct WriterAccepts {
    int max_depth;
    bool grey;
    bool alpha;
    bool indexed;
};
const WriterAccepts &writer_accepts(FileFormat format);

// The quality each lossy format is written at unless told otherwise: 90 for
// JPEG and WebP, 50 for HEIC and AVIF.
int default_quality(FileFormat format);

// Sniffs the format from the first bytes; the FILE stays owned by the caller
// and must be seekable. Null with *error set if the stream is not a supported
// image or its header is unusable (including an image above the pixel limit,
// or an animation).
std::unique_ptr<RasterReader> open_reader(std::FILE *file, const ReadLimits &limits, std::string *error);
// The writer of `format`.
std::unique_ptr<RasterWriter> open_writer(FileFormat format, std::FILE *file, const RasterInfo &info,
                                          const EncodeOptions &options, std::string *error);

}  // namespace qova::codecs

#endif
