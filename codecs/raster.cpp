// Choosing the codec for an input from its first bytes.
#include "raster.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace zenk {

namespace {

struct FormatEntry {
    FileFormat format;
    const char *name;
    std::vector<const char *> extensions;  // the first is the one written
    std::vector<const char *> names;       // what --format takes
};

const std::vector<FormatEntry> &formats() {
    static const std::vector<FormatEntry> kFormats = {
        {FileFormat::Png, "PNG", {".png"}, {"png"}},
        {FileFormat::Jpeg, "JPEG", {".jpg", ".jpeg", ".jpe", ".jfif"}, {"jpg", "jpeg"}},
        {FileFormat::Tiff, "TIFF", {".tif", ".tiff"}, {"tif", "tiff"}},
        {FileFormat::Webp, "WebP", {".webp"}, {"webp"}},
        {FileFormat::Heic, "HEIC", {".heic", ".heif", ".hif"}, {"heic", "heif"}},
        {FileFormat::Avif, "AVIF", {".avif"}, {"avif"}},
    };
    return kFormats;
}

// The ISO media brands of still images and sequences in HEVC or AV1.
bool is_heif_brand(const unsigned char *brand) {
    static const char *const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs",
                                          "mif1", "msf1", "mif2", "avif", "avis"};
    for (const char *b : kBrands)
        if (std::memcmp(brand, b, 4) == 0) return true;
    return false;
}

const FormatEntry &entry(FileFormat format) {
    for (const FormatEntry &e : formats())
        if (e.format == format) return e;
    return formats().front();
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

const char *format_name(FileFormat format) { return entry(format).name; }
const char *format_extension(FileFormat format) { return entry(format).extensions.front(); }

std::optional<FileFormat> format_of_extension(std::string extension) {
    extension = lower(extension);
    for (const FormatEntry &e : formats())
        for (const char *x : e.extensions)
            if (extension == x) return e.format;
    return std::nullopt;
}

std::optional<FileFormat> format_of_name(std::string name) {
    name = lower(name);
    for (const FormatEntry &e : formats())
        for (const char *n : e.names)
            if (name == n) return e.format;
    return std::nullopt;
}

std::string format_list() {
    std::string list;
    for (std::size_t i = 0; i < formats().size(); ++i)
        list += (i == 0 ? "" : i + 1 == formats().size() ? " or " : ", ") + std::string(formats()[i].name);
    return list;
}

std::string format_names() {
    std::string list;
    for (const FormatEntry &e : formats())
        for (const char *n : e.names) list += (list.empty() ? "" : ", ") + std::string(n);
    return list;
}

std::string written_extensions() {
    std::string list;
    for (const FormatEntry &e : formats()) list += (list.empty() ? "" : ", ") + std::string(e.extensions.front());
    return list;
}

std::unique_ptr<RasterWriter> open_writer(FileFormat format, std::FILE *file, const RasterInfo &info,
                                          const EncodeOptions &options, std::string *error) {
    switch (format) {
    case FileFormat::Png: return open_png_writer(file, info, error);
    case FileFormat::Jpeg: return open_jpeg_writer(file, info, JpegOptions{options.quality, options.sampling}, error);
    case FileFormat::Tiff: return open_tiff_writer(file, info, error);
    case FileFormat::Webp: return open_webp_writer(file, info, options, error);
    case FileFormat::Heic: case FileFormat::Avif: return open_heif_writer(file, format, info, options, error);
    }
    return nullptr;
}

std::unique_ptr<RasterReader> open_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    unsigned char magic[12] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, file);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        if (error) *error = "cannot seek in the input";
        return nullptr;
    }
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got >= 8 && std::equal(magic, magic + 8, kPng)) return open_png_reader(file, limits, error);
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return open_jpeg_reader(file, limits, error);
    if (got >= 4 && (std::memcmp(magic, "II*\0", 4) == 0 || std::memcmp(magic, "MM\0*", 4) == 0 ||
                     std::memcmp(magic, "II+\0", 4) == 0 || std::memcmp(magic, "MM\0+", 4) == 0))
        return open_tiff_reader(file, limits, error);
    if (got == 12 && std::memcmp(magic, "RIFF", 4) == 0 && std::memcmp(magic + 8, "WEBP", 4) == 0)
        return open_webp_reader(file, limits, error);
    if (got == 12 && std::memcmp(magic + 4, "ftyp", 4) == 0 && is_heif_brand(magic + 8))
        return open_heif_reader(file, limits, error);
    if (error) *error = got == 0 ? "empty file" : "not an image the tool reads (" + format_list() + ")";
    return nullptr;
}

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

int default_quality(FileFormat format) {
    return format == FileFormat::Heic || format == FileFormat::Avif ? 50 : 90;
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
