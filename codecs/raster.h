// Image files read and written a band of rows at a time, one codec per format
// (see formats.h). Samples travel as interleaved 16-bit words whatever the
// file's depth (0..255 for 8-bit files, 0..65535 for 16-bit ones).
#ifndef QOVA_CODECS_RASTER_H
#define QOVA_CODECS_RASTER_H

#include "metadata.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qova::codecs {

enum class FileFormat { Png, Jpeg, Tiff, Webp, Heic, Avif };

// JPEG chroma subsampling: luma samples per chroma sample across and down
// (1,1 is 4:4:4, 2,1 is 4:2:2, 2,2 is 4:2:0); 0: not known.
struct ChromaSampling {
    uint8_t h = 0, v = 0;
    bool known() const { return h > 0 && v > 0; }
};

struct RasterInfo {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 3;    // 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
    int bit_depth = 8;   // 8 or 16
    int coded_bits = 0;  // a 16-bit input's bits as coded (HEIF's 10 or 12); 0: bit_depth
    // Writers that take indexed rows (see WriterAccepts): rows hold one index
    // per pixel into these colours (0xRRGGBBAA; grey ones when `channels` is 1,
    // else RGB or RGBA by `channels`), at `bit_depth` 8. The writer chooses
    // how to store them.
    std::vector<uint32_t> palette;
    Metadata metadata;                    // carried to the output
    ChromaSampling chroma_sampling;       // a JPEG input's
    FileFormat format = FileFormat::Png;  // what the input was
    int quality = 0;                      // a JPEG input's quality (1..100) as its tables show it; 0: not known

    bool has_alpha() const { return channels == 2 || channels == 4; }
    bool is_grey() const { return channels <= 2; }
    uint32_t max_value() const { return (1u << bit_depth) - 1; }
};

struct ReadLimits {
    uint64_t max_pixels = 1000000000;  // refused before any allocation beyond the header
    // Bytes a reader that holds a whole image (or a large band of it) may
    // take; refused before allocating.
    uint64_t max_memory = uint64_t{2} << 30;
    // Added to a refusal by the memory limit: how the caller raises it.
    std::string memory_hint;
};

// A quarter of physical memory, at most 2 GiB: the default memory limit.
uint64_t default_memory_limit();

// Why a header's size cannot be read (no pixels, or more than the limit);
// empty if it can.
std::string size_problem(uint64_t width, uint64_t height, const ReadLimits &limits);
// Why `bytes` needed to decode are refused (above the memory limit); empty if
// they are not.
std::string memory_problem(uint64_t bytes, const ReadLimits &limits);

// A buffer of `n` samples left uninitialised: pages the decoder never
// reaches are never touched, so a file that ends early costs little.
template <class T>
std::unique_ptr<T[]> uninitialised_buffer(std::size_t n) {
    return std::unique_ptr<T[]>(new T[n]);
}

class RasterReader {
public:
    virtual ~RasterReader() = default;
    const RasterInfo &info() const { return info_; }
    // Decodes the next `rows` rows into `out` (rows x width x channels words).
    virtual bool read_rows(int rows, uint16_t *out) = 0;
    const std::string &error() const { return error_; }
    // What was wrong with the file but did not stop it being read.
    const std::vector<std::string> &warnings() const { return warnings_; }

protected:
    RasterInfo info_;
    std::string error_;
    std::vector<std::string> warnings_;
};

// A band of rows made ready for writing, by a writer's encode_band.
struct EncodedBand {
    virtual ~EncodedBand() = default;
    int32_t first_row = 0;
    int rows = 0;
};

class RasterWriter {
public:
    virtual ~RasterWriter() = default;
    // Encodes the next `rows` rows from `in`, laid out as the writer's RasterInfo.
    virtual bool write_rows(int rows, const uint16_t *in) = 0;
    // Completes the file once every row was written.
    virtual bool finish() = 0;
    const std::string &error() const { return error_; }
    // What of the input's metadata the format could not hold.
    const std::vector<std::string> &warnings() const { return warnings_; }

    // Writing in bands, for writers that can prepare bands on several threads
    // at once. Each band but the last holds band_rows() rows (any number if
    // 0). encode_band may run on any thread at any time, write_band takes the
    // bands in order, one at a time; neither mixes with write_rows.
    virtual int band_rows() const { return 0; }
    virtual std::unique_ptr<EncodedBand> encode_band(int32_t first_row, int rows, const uint16_t *in) const;
    virtual bool write_band(EncodedBand &band);

protected:
    std::string error_;
    std::vector<std::string> warnings_;
    std::size_t row_samples_ = 0;  // samples in a row, for the default band functions
};

struct JpegOptions {
    int quality = 90;
    // Unknown: 4:4:4 at quality 90 and above, 4:2:0 below.
    ChromaSampling sampling;
};

// What the writers of lossy formats take.
struct EncodeOptions {
    int quality = 90;         // JPEG, lossy WebP, HEIC, AVIF
    ChromaSampling sampling;  // JPEG
    bool lossless = false;    // WebP
};

// Why an encoder failed: the system's reason when writing the stream failed (a
// full disk shows here), else the codec's own message.
std::string encoder_failure(std::FILE *file, int saved_errno, const char *codec_message);

std::unique_ptr<RasterReader> open_png_reader(std::FILE *file, const ReadLimits &limits, std::string *error);
std::unique_ptr<RasterReader> open_jpeg_reader(std::FILE *file, const ReadLimits &limits, std::string *error);
std::unique_ptr<RasterReader> open_tiff_reader(std::FILE *file, const ReadLimits &limits, std::string *error);
std::unique_ptr<RasterReader> open_webp_reader(std::FILE *file, const ReadLimits &limits, std::string *error);
std::unique_ptr<RasterReader> open_heif_reader(std::FILE *file, const ReadLimits &limits, std::string *error);

// Reads a whole image file into interleaved samples: for small images only
// (tests, benchmark sources). False with *error set on failure.
bool read_image_file(const std::string &path, RasterInfo *info, std::vector<uint16_t> *samples, std::string *error);

// `info` gives the layout of the rows the caller will pass and the metadata to
// write. JPEG takes 1 or 3 channels at 8 bits.
std::unique_ptr<RasterWriter> open_png_writer(std::FILE *file, const RasterInfo &info, std::string *error);
std::unique_ptr<RasterWriter> open_jpeg_writer(std::FILE *file, const RasterInfo &info, const JpegOptions &options,
                                               std::string *error);
std::unique_ptr<RasterWriter> open_tiff_writer(std::FILE *file, const RasterInfo &info, std::string *error);
std::unique_ptr<RasterWriter> open_webp_writer(std::FILE *file, const RasterInfo &info, const EncodeOptions &options,
                                               std::string *error);
// HEIC (HEVC) or AVIF (AV1) by `format`; 8-bit or 16-bit RGB or RGBA.
std::unique_ptr<RasterWriter> open_heif_writer(std::FILE *file, FileFormat format, const RasterInfo &info,
                                               const EncodeOptions &options, std::string *error);
// A codec opened by its open(args...), or null with *error set to why not.
template <class Codec, class... Args>
std::unique_ptr<Codec> open_codec(std::string *error, Args &&...args) {
    auto codec = std::make_unique<Codec>();
    if (codec->open(std::forward<Args>(args)...)) return codec;
    if (error) *error = codec->error();
    return nullptr;
}

}  // namespace qova::codecs

#endif
