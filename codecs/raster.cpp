// Limits on what a reader may take, and the default band functions.
#include "formats.h"

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qova::codecs {

std::string size_problem(uint64_t width, uint64_t height, const ReadLimits &limits) {
    const std::string size = "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width == 0 || height == 0) return size + " has no pixels";
    // Either side above 2^32 would overflow the product; no limit allows it.
    if (width > UINT32_MAX || height > UINT32_MAX || width * height > limits.max_pixels)
        return size + " is above the limit of " + std::to_string(limits.max_pixels) + " pixels";
    return "";
}

std::string memory_problem(uint64_t bytes, const ReadLimits &limits) {
    if (bytes <= limits.max_memory) return "";
    const auto mib = [](uint64_t n) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f MiB", std::ceil(static_cast<double>(n) / (1 << 20)));
        return std::string(text);
    };
    return "decoding needs " + mib(bytes) + " of memory, above the limit of " + mib(limits.max_memory) +
           limits.memory_hint;
}

uint64_t default_memory_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    const uint64_t cap = uint64_t{2} << 30;
    if (pages <= 0 || page <= 0) return cap;
    return std::min(cap, static_cast<uint64_t>(pages) / 4 * static_cast<uint64_t>(page));
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

}  // namespace qova::codecs
