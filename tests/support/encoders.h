// Files made by the formats' own reference encoders (libwebp, libheif), from
// known pixels and losslessly, so that every value a reader gives is known.
#ifndef QOVA_TESTS_ENCODERS_H
#define QOVA_TESTS_ENCODERS_H

#include <libheif/heif.h>
#include <webp/encode.h>

#include <cstdint>
#include <string>
#include <vector>

namespace encoders {

inline std::string lossless_webp(int width, int height, const std::vector<uint8_t> &rgba) {
    uint8_t *out = nullptr;
    const std::size_t size = WebPEncodeLosslessRGBA(rgba.data(), width, height, width * 4, &out);
    std::string file(reinterpret_cast<const char *>(out), size);
    WebPFree(out);
    return file;
}

struct HeifInput {
    int width = 5, height = 3, bits = 8;
    bool alpha = false;
    std::vector<uint16_t> samples;  // interleaved RGB(A) at `bits`
    uint16_t primaries = 1, transfer = 13;
    std::string exif, xmp;
    int images = 1;
    bool hevc = false;  // else AV1
};

inline heif_error collect(heif_context *, const void *data, size_t size, void *user) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), size);
    return {heif_error_Ok, heif_suberror_Unspecified, ""};
}

// A HEIC or AVIF that holds `in` exactly: lossless, 4:4:4, identity matrix.
// (libheif's AV1 encoder cannot do this at 10 bits; HEVC can at any depth.)
// libheif set up once for this process, as its documentation asks of every
// user: the codecs' own set-up and tear-down then leave it loaded.
inline bool libheif_started() {
    static const bool started = heif_init(nullptr).code == heif_error_Ok;
    return started;
}

inline std::string lossless_heif(const HeifInput &in) {
    if (!libheif_started()) return "";
    heif_context *ctx = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, in.hevc ? heif_compression_HEVC : heif_compression_AV1, &encoder);
    heif_encoder_set_lossless(encoder, 1);
    heif_encoder_set_parameter_string(encoder, "chroma", "444");
    const int channels = in.alpha ? 4 : 3;
    const bool deep = in.bits > 8;
    const heif_chroma chroma =
        deep ? (in.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (in.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, in.primaries);
    heif_nclx_color_profile_set_transfer_characteristics(nclx, in.transfer);
    heif_nclx_color_profile_set_matrix_coefficients(nclx, 0);  // RGB kept as RGB
    nclx->full_range_flag = 1;
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->output_nclx_profile = nclx;
    for (int n = 0; n < in.images; ++n) {
        heif_image *image = nullptr;
        heif_image_create(in.width, in.height, heif_colorspace_RGB, chroma, &image);
        heif_image_add_plane(image, heif_channel_interleaved, in.width, in.height, in.bits);
        heif_image_set_nclx_color_profile(image, nclx);
        int stride = 0;
        uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < in.height; ++y)
            for (int i = 0; i < in.width * channels; ++i) {
                const uint16_t v = in.samples[static_cast<std::size_t>(y * in.width * channels + i)];
                uint8_t *row = plane + y * stride;
                if (deep) {
                    row[2 * i] = static_cast<uint8_t>(v);
                    row[2 * i + 1] = static_cast<uint8_t>(v >> 8);
                } else {
                    row[i] = static_cast<uint8_t>(v);
                }
            }
        heif_image_handle *handle = nullptr;
        heif_context_encode_image(ctx, image, encoder, options, &handle);
        if (!in.exif.empty())
            heif_context_add_exif_metadata(ctx, handle, in.exif.data(), static_cast<int>(in.exif.size()));
        if (!in.xmp.empty()) heif_context_add_XMP_metadata(ctx, handle, in.xmp.data(), static_cast<int>(in.xmp.size()));
        heif_image_handle_release(handle);
        heif_image_release(image);
    }
    std::string file;
    heif_writer writer = {1, collect};
    heif_context_write(ctx, &writer, &file);
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    heif_encoder_release(encoder);
    heif_context_free(ctx);
    return file;
}

}  // namespace encoders

#endif
