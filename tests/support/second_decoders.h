// Every output format decoded by a library other than the project's codecs:
// stb_image (PNG, JPEG), libtiff's own strip decoding, libwebp's decoder and
// libheif called directly. Samples come out interleaved at the file's depth.
#ifndef QOVA_TESTS_SECOND_DECODERS_H
#define QOVA_TESTS_SECOND_DECODERS_H

#include "file_bytes.h"

#include <libheif/heif.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace second {

using bytes::Decoded;

inline Decoded decode_tiff(const std::string &file) {
    std::FILE *f = std::tmpfile();
    if (!f) throw std::runtime_error("tmpfile failed");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fflush(f);
    std::rewind(f);
    TIFF *tif = TIFFFdOpen(fileno(f), "memory.tif", "r");
    Decoded d;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, planar = PLANARCONFIG_CONTIG;
    bool ok = tif && TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) && TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) &&
              TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits) &&
              TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples) &&
              TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar) && planar == PLANARCONFIG_CONTIG &&
              (bits == 8 || bits == 16);
    if (ok) {
        d.width = static_cast<int>(width);
        d.height = static_cast<int>(height);
        d.channels = samples;
        std::string row(static_cast<std::size_t>(TIFFScanlineSize(tif)), '\0');
        for (uint32_t y = 0; ok && y < height; ++y) {
            ok = TIFFReadScanline(tif, row.data(), y, 0) == 1;
            const std::size_t n = static_cast<std::size_t>(width) * samples;
            for (std::size_t i = 0; ok && i < n; ++i) {
                if (bits == 8) {
                    d.samples.push_back(static_cast<uint8_t>(row[i]));
                } else {
                    uint16_t v;
                    std::memcpy(&v, &row[2 * i], 2);  // libtiff gives native byte order
                    d.samples.push_back(v);
                }
            }
        }
    }
    if (tif) TIFFClose(tif);
    std::fclose(f);
    if (!ok) throw std::runtime_error("libtiff cannot decode the file");
    return d;
}

inline Decoded decode_webp(const std::string &file) {
    const auto *data = reinterpret_cast<const uint8_t *>(file.data());
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data, file.size(), &features) != VP8_STATUS_OK) throw std::runtime_error("libwebp cannot read");
    Decoded d;
    uint8_t *pixels = features.has_alpha ? WebPDecodeRGBA(data, file.size(), &d.width, &d.height)
                                         : WebPDecodeRGB(data, file.size(), &d.width, &d.height);
    if (!pixels) throw std::runtime_error("libwebp cannot decode the file");
    d.channels = features.has_alpha ? 4 : 3;
    d.samples.assign(pixels, pixels + static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height) *
                                          static_cast<std::size_t>(d.channels));
    WebPFree(pixels);
    return d;
}

// The primary image as RGB(A), at 8 bits or, for deeper files, at their depth.
inline Decoded decode_heif(const std::string &file) {
    static const bool initialised = heif_init(nullptr).code == heif_error_Ok;  // once, as libheif asks
    if (!initialised) throw std::runtime_error("libheif cannot start");
    heif_context *ctx = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    Decoded d;
    bool ok =
        heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok;
    if (ok) {
        const bool alpha = heif_image_handle_has_alpha_channel(handle);
        const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
        d.channels = alpha ? 4 : 3;
        const heif_chroma chroma =
            deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        ok = heif_decode_image(handle, &image, heif_colorspace_RGB, chroma, nullptr).code == heif_error_Ok;
        if (ok) {
            d.width = heif_image_get_width(image, heif_channel_interleaved);
            d.height = heif_image_get_height(image, heif_channel_interleaved);
            int stride = 0;
            const uint8_t *plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            for (int y = 0; y < d.height; ++y)
                for (int i = 0; i < d.width * d.channels; ++i) {
                    const uint8_t *at = plane + y * stride + (deep ? 2 * i : i);
                    d.samples.push_back(deep ? static_cast<uint16_t>(at[0] | at[1] << 8) : at[0]);
                }
        }
    }
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(ctx);
    if (!ok) throw std::runtime_error("libheif cannot decode the file");
    return d;
}

// Chooses the decoder by the file's first bytes.
inline Decoded decode_any(const std::string &file) {
    const auto starts = [&](const char *magic, std::size_t n, std::size_t at = 0) {
        return file.size() >= at + n && file.compare(at, n, magic, n) == 0;
    };
    if (starts("II*\0", 4) || starts("MM\0*", 4)) return decode_tiff(file);
    if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return decode_webp(file);
    if (starts("ftyp", 4, 4)) return decode_heif(file);
    return bytes::decode(file);
}

}  // namespace second

#endif
