// libtiff over a caller's FILE, with each file's messages kept apart.
#include "detail/tiff.h"

#include <cstdarg>

namespace qova::codecs::tiff {

namespace {

// libtiff calls for a file, over the caller's FILE, which it must not close.
tmsize_t read_proc(thandle_t h, void *buf, tmsize_t size) {
    return static_cast<tmsize_t>(std::fread(buf, 1, static_cast<std::size_t>(size), static_cast<std::FILE *>(h)));
}
tmsize_t write_proc(thandle_t h, void *buf, tmsize_t size) {
    return static_cast<tmsize_t>(std::fwrite(buf, 1, static_cast<std::size_t>(size), static_cast<std::FILE *>(h)));
}
toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    auto *f = static_cast<std::FILE *>(h);
    if (offset > static_cast<toff_t>(INT64_MAX) || fseeko(f, static_cast<off_t>(offset), whence) != 0)
        return static_cast<toff_t>(-1);
    return static_cast<toff_t>(ftello(f));
}
int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) {
    auto *f = static_cast<std::FILE *>(h);
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return 0;
    const off_t end = ftello(f);
    fseeko(f, at, SEEK_SET);
    return end < 0 ? 0 : static_cast<toff_t>(end);
}
int map_proc(thandle_t, void **, toff_t *) { return 0; }
void unmap_proc(thandle_t, void *, toff_t) {}

int on_tiff_error(TIFF *, void *user, const char *module, const char *format, va_list args) {
    auto *m = static_cast<Messages *>(user);
    if (m && m->error.empty()) {
        char text[256];
        std::vsnprintf(text, sizeof text, format, args);
        m->error = module && *module ? std::string(module) + ": " + text : text;
        m->detail = text;
        const std::string ours = std::string(kFileName) + ": ";  // libtiff names the file first
        if (m->detail.compare(0, ours.size(), ours) == 0) m->detail.erase(0, ours.size());
    }
    return 1;
}

int on_tiff_warning(TIFF *, void *user, const char *, const char *format, va_list args) {
    auto *m = static_cast<Messages *>(user);
    if (m && m->warning.empty()) {
        char text[256];
        std::vsnprintf(text, sizeof text, format, args);
        m->warning = text;
    }
    return 1;
}

}  // namespace

TIFF *open_tiff(std::FILE *file, const char *mode, Messages &messages) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, on_tiff_error, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, on_tiff_warning, &messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 256 << 20);
    TIFF *tif = TIFFClientOpenExt(kFileName, mode, file, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                  map_proc, unmap_proc, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

std::vector<uint8_t> bytes_field(TIFF *tif, ttag_t tag) {
    uint32_t count = 0;
    void *data = nullptr;
    if (TIFFGetField(tif, tag, &count, &data) != 1 || !data) return {};
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + count);
}

}  // namespace qova::codecs::tiff
