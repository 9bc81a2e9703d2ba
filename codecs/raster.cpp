// Choosing the codec for an input from its first bytes.
#include "raster.h"

#include <algorithm>
#include <cstring>

namespace zenk {

const char *format_name(FileFormat format) { return format == FileFormat::Png ? "PNG" : "JPEG"; }

std::unique_ptr<RasterReader> open_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    unsigned char magic[8] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, file);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        if (error) *error = "cannot seek in the input";
        return nullptr;
    }
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got == 8 && std::equal(magic, magic + 8, kPng)) return open_png_reader(file, limits, error);
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return open_jpeg_reader(file, limits, error);
    if (error) *error = got == 0 ? "empty file" : "not a PNG or JPEG image";
    return nullptr;
}

bool read_image_file(const std::string &path, RasterInfo *info, std::vector<uint16_t> *samples, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open " + path;
        return false;
    }
    std::unique_ptr<RasterReader> reader = open_reader(f, ReadLimits{}, error);
    bool ok = reader != nullptr;
    if (ok) {
        *info = reader->info();
        samples->resize(static_cast<std::size_t>(info->width) * static_cast<std::size_t>(info->height) *
                        static_cast<std::size_t>(info->channels));
        ok = reader->read_rows(info->height, samples->data());
        if (!ok) *error = reader->error();
    }
    reader.reset();
    std::fclose(f);
    return ok;
}

namespace {

// A band kept as it came, for writers that do all their work in write_rows.
struct SampleBand final : EncodedBand {
    std::vector<uint16_t> samples;
};

}  // namespace

std::unique_ptr<EncodedBand> RasterWriter::encode_band(int32_t first_row, int rows, const uint16_t *in) const {
    auto band = std::make_unique<SampleBand>();
    band->first_row = first_row;
    band->rows = rows;
    band->samples.assign(in, in + static_cast<std::size_t>(rows) * row_samples_);
    return band;
}

bool RasterWriter::write_band(EncodedBand &band) {
    return write_rows(band.rows, static_cast<SampleBand &>(band).samples.data());
}

std::string encoder_failure(std::FILE *file, int saved_errno, const char *codec_message) {
    if (file && std::ferror(file)) return std::string("cannot write: ") + std::strerror(saved_errno);
    return codec_message;
}

}  // namespace zenk
