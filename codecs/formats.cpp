// The formats the codecs know: names, extensions, what each writer accepts,
// and the choice of reader by a file's first bytes.
#include "formats.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qova::codecs {

namespace {

struct FormatEntry {
    FileFormat format;
    const char *name;
    std::vector<const char *> extensions;  // the first is the one written
    std::vector<const char *> names;       // what --format takes
    WriterAccepts accepts;
    int default_quality;
};

// JPEG holds 8-bit grey or RGB; WebP 8-bit RGB with or without alpha; HEIC
// and AVIF RGB at 8 or 16 bits, with or without alpha; PNG and TIFF every
// layout, PNG palettes and low-bit grey too. The lossy formats' qualities are
// what their encoders are tuned for.
const std::vector<FormatEntry> &formats() {
    static const std::vector<FormatEntry> kFormats = {
        {FileFormat::Png, "PNG", {".png"}, {"png"}, {16, true, true, true}, 90},
        {FileFormat::Jpeg, "JPEG", {".jpg", ".jpeg", ".jpe", ".jfif"}, {"jpg", "jpeg"}, {8, true, false, false}, 90},
        {FileFormat::Tiff, "TIFF", {".tif", ".tiff"}, {"tif", "tiff"}, {16, true, true, false}, 90},
        {FileFormat::Webp, "WebP", {".webp"}, {"webp"}, {8, false, true, false}, 90},
        {FileFormat::Heic, "HEIC", {".heic", ".heif", ".hif"}, {"heic", "heif"}, {16, false, true, false}, 50},
        {FileFormat::Avif, "AVIF", {".avif"}, {"avif"}, {16, false, true, false}, 50},
    };
    return kFormats;
}

// The ISO media brands of still images and sequences in HEVC or AV1.
bool is_heif_brand(const unsigned char *brand) {
    static const char *const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                          "hevs", "mif1", "msf1", "mif2", "avif", "avis"};
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
const WriterAccepts &writer_accepts(FileFormat format) { return entry(format).accepts; }
int default_quality(FileFormat format) { return entry(format).default_quality; }

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
    case FileFormat::Heic:
    case FileFormat::Avif: return open_heif_writer(file, format, info, options, error);
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
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        return open_jpeg_reader(file, limits, error);
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

}  // namespace qova::codecs
