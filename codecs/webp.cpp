// WebP through libwebp, whole images: the format has no rows to stream (a
// lossless image is one entropy-coded stream, a lossy one wants its whole
// frame for filtering). The demuxer sizes the image, counts its frames and
// finds its ICC, EXIF and XMP chunks before anything is decoded; the muxer
// puts them back around the encoded image.
#include "raster.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cerrno>
#include <cstring>

namespace qova::codecs {

namespace {

constexpr int kMaxSide = WEBP_MAX_DIMENSION;  // 16383

// The bytes of chunk `fourcc` (the first of its kind), empty if none.
std::vector<uint8_t> chunk(WebPDemuxer *demux, const char *fourcc) {
    WebPChunkIterator it;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &it)) return {};
    std::vector<uint8_t> bytes(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
    return bytes;
}

class WebpReader final : public RasterReader {
public:
    bool open(std::FILE *file, const ReadLimits &limits) {
        info_.format = FileFormat::Webp;
        if (!read_whole(file)) return false;
        const WebPData data{file_.data(), file_.size()};
        WebPDemuxer *demux = WebPDemux(&data);
        if (!demux) {
            error_ = "unreadable or truncated WebP";
            return false;
        }
        const uint32_t width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
        const uint32_t height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
        const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
        const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
        info_.metadata.icc_profile = chunk(demux, "ICCP");
        info_.metadata.exif = chunk(demux, "EXIF");
        const std::vector<uint8_t> xmp = chunk(demux, "XMP ");
        info_.metadata.xmp.assign(xmp.begin(), xmp.end());
        // An animation of one frame that fills the canvas is a still image.
        WebPIterator frame;
        if ((flags & ANIMATION_FLAG) && frames == 1 && WebPDemuxGetFrame(demux, 1, &frame)) {
            if (frame.x_offset == 0 && frame.y_offset == 0 && frame.width == static_cast<int>(width) &&
                frame.height == static_cast<int>(height)) {
                image_at_ = static_cast<std::size_t>(frame.fragment.bytes - file_.data());
                image_size_ = frame.fragment.size;
            }
            WebPDemuxReleaseIterator(&frame);
        }
        WebPDemuxDelete(demux);
        // Some writers keep JPEG's "Exif\0\0" before the TIFF header.
        std::vector<uint8_t> &exif = info_.metadata.exif;
        if (exif.size() >= 6 && std::memcmp(exif.data(), "Exif\0\0", 6) == 0)
            exif.erase(exif.begin(), exif.begin() + 6);

        if ((flags & ANIMATION_FLAG) && image_size_ == 0) {
            error_ = "animated WebP (" + std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
                     "): only still images can be processed";
            return false;
        }
        error_ = size_problem(width, height, limits);
        if (!error_.empty()) return false;
        if (image_size_ == 0) image_size_ = file_.size();
        WebPBitstreamFeatures features;
        if (WebPGetFeatures(file_.data() + image_at_, image_size_, &features) != VP8_STATUS_OK) {
            error_ = "unreadable WebP";
            return false;
        }
        info_.width = static_cast<int32_t>(width);
        info_.height = static_cast<int32_t>(height);
        info_.channels = features.has_alpha ? 4 : 3;
        info_.bit_depth = 8;
        // The decoded image is held whole, beside the file until decoded.
        error_ =
            memory_problem(file_.size() + uint64_t{width} * height * static_cast<uint64_t>(info_.channels), limits);
        if (!error_.empty()) return false;
        return decode();
    }

    bool read_rows(int rows, uint16_t *out) override {
        const std::size_t samples = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        if (rows < 0 || next_row_ + rows > info_.height) {
            error_ = "more rows than the image has";
            return false;
        }
        const uint8_t *in = pixels_.get() + static_cast<std::size_t>(next_row_) * samples;
        for (std::size_t i = 0; i < static_cast<std::size_t>(rows) * samples; ++i) out[i] = in[i];
        next_row_ += rows;
        return true;
    }

private:
    bool read_whole(std::FILE *file) {
        uint8_t buffer[1 << 16];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            file_.insert(file_.end(), buffer, buffer + n);
            if (file_.size() > (std::size_t{1} << 31)) {
                error_ = "WebP file above 2 GiB";
                return false;
            }
        }
        if (std::ferror(file)) {
            error_ = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    // Into memory that is only touched as the decoder fills it, so that a
    // header over too little data costs little.
    bool decode() {
        const std::size_t stride = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        const std::size_t size = stride * static_cast<std::size_t>(info_.height);
        pixels_ = uninitialised_buffer<uint8_t>(size);
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config)) {
            error_ = "WebP decoder version mismatch";
            return false;
        }
        config.output.colorspace = info_.channels == 4 ? MODE_RGBA : MODE_RGB;
        config.output.is_external_memory = 1;
        config.output.u.RGBA.rgba = pixels_.get();
        config.output.u.RGBA.stride = static_cast<int>(stride);
        config.output.u.RGBA.size = size;
        const VP8StatusCode status = WebPDecode(file_.data() + image_at_, image_size_, &config);
        WebPFreeDecBuffer(&config.output);
        std::vector<uint8_t>().swap(file_);
        if (status != VP8_STATUS_OK) {
            error_ = std::string("unreadable or truncated WebP image data (") + status_text(status) + ")";
            return false;
        }
        return true;
    }

    static const char *status_text(VP8StatusCode status) {
        switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
        case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
        case VP8_STATUS_BITSTREAM_ERROR: return "damaged data";
        case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
        case VP8_STATUS_NOT_ENOUGH_DATA: return "the data ends early";
        default: return "decoding failed";
        }
    }

    std::vector<uint8_t> file_;                  // the whole file, until decoded
    std::size_t image_at_ = 0, image_size_ = 0;  // the image's bytes in it
    std::unique_ptr<uint8_t[]> pixels_;          // RGB or RGBA, 8 bits
    int32_t next_row_ = 0;
};

const char *encoding_error(WebPEncodingError code) {
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION: return "WebP holds at most 16383 x 16383 pixels";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW: return "the image is too large for lossy WebP at this quality";
    case VP8_ENC_ERROR_FILE_TOO_BIG: return "the image is too large for WebP (4 GiB)";
    default: return "WebP encoding failed";
    }
}

// Gathers 8-bit RGB or RGBA rows, then encodes and muxes them in finish().
class WebpWriter final : public RasterWriter {
public:
    bool open(std::FILE *file, const RasterInfo &info, const EncodeOptions &options) {
        file_ = file;
        info_ = info;
        options_ = options;
        if (info.bit_depth != 8 || (info.channels != 3 && info.channels != 4)) {
            error_ = "WebP takes 8-bit RGB or RGBA";
            return false;
        }
        if (info.width > kMaxSide || info.height > kMaxSide) {
            error_ = "WebP holds at most 16383 x 16383 pixels";
            return false;
        }
        row_samples_ = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels);
        pixels_.reserve(row_samples_ * static_cast<std::size_t>(info.height));
        const Metadata &meta = info.metadata;
        if (!meta.iptc.empty()) warnings_.push_back("IPTC was left out: WebP does not hold it");
        return true;
    }

    bool write_rows(int rows, const uint16_t *in) override {
        if (pixels_.size() / row_samples_ + static_cast<std::size_t>(rows) > static_cast<std::size_t>(info_.height)) {
            error_ = "more rows than the image has";
            return false;
        }
        pixels_.insert(pixels_.end(), in, in + static_cast<std::size_t>(rows) * row_samples_);
        return true;
    }

    bool finish() override {
        if (pixels_.size() != row_samples_ * static_cast<std::size_t>(info_.height)) {
            error_ = "only " + std::to_string(pixels_.size() / row_samples_) + " of " + std::to_string(info_.height) +
                     " rows were written";
            return false;
        }
        WebPMemoryWriter encoded;
        WebPMemoryWriterInit(&encoded);
        const bool ok = encode(&encoded) && write_muxed(encoded);
        WebPMemoryWriterClear(&encoded);
        return ok;
    }

private:
    bool encode(WebPMemoryWriter *out) {
        WebPConfig config;
        if (!WebPConfigInit(&config)) return fail("WebP encoder version mismatch");
        config.thread_level = 1;  // libwebp's own second thread where it has one
        if (options_.lossless) {
            config.lossless = 1;
            config.exact = 1;  // colours under transparent pixels kept too
        } else {
            config.quality = static_cast<float>(options_.quality);
        }
        WebPPicture picture;
        if (!WebPPictureInit(&picture)) return fail("WebP encoder version mismatch");
        picture.width = info_.width;
        picture.height = info_.height;
        picture.use_argb = config.lossless;
        const int stride = static_cast<int>(row_samples_);
        const int imported = info_.channels == 4 ? WebPPictureImportRGBA(&picture, pixels_.data(), stride)
                                                 : WebPPictureImportRGB(&picture, pixels_.data(), stride);
        std::vector<uint8_t>().swap(pixels_);
        picture.writer = WebPMemoryWrite;
        picture.custom_ptr = out;
        const bool ok = imported && WebPEncode(&config, &picture);
        const WebPEncodingError code = picture.error_code;
        WebPPictureFree(&picture);
        return ok || fail(imported ? encoding_error(code) : "out of memory");
    }

    // The image with its ICC, EXIF and XMP chunks, to the file.
    bool write_muxed(const WebPMemoryWriter &encoded) {
        const Metadata &meta = info_.metadata;
        if (meta.icc_profile.empty() && meta.exif.empty() && meta.xmp.empty()) return put(encoded.mem, encoded.size);
        WebPMux *mux = WebPMuxNew();
        if (!mux) return fail("out of memory");
        const WebPData image{encoded.mem, encoded.size};
        bool ok = WebPMuxSetImage(mux, &image, 0) == WEBP_MUX_OK;
        const auto add = [&](const char *fourcc, const void *bytes, std::size_t size) {
            const WebPData data{static_cast<const uint8_t *>(bytes), size};
            if (size > 0 && ok) ok = WebPMuxSetChunk(mux, fourcc, &data, 0) == WEBP_MUX_OK;
        };
        add("ICCP", meta.icc_profile.data(), meta.icc_profile.size());
        add("EXIF", meta.exif.data(), meta.exif.size());
        add("XMP ", meta.xmp.data(), meta.xmp.size());
        WebPData assembled{nullptr, 0};
        ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
        WebPMuxDelete(mux);
        ok = ok ? put(assembled.bytes, assembled.size) : fail("WebP metadata could not be added");
        WebPDataClear(&assembled);
        return ok;
    }

    bool put(const uint8_t *bytes, std::size_t size) {
        return std::fwrite(bytes, 1, size, file_) == size || fail("cannot write");
    }

    bool fail(const char *message) {
        error_ = encoder_failure(file_, errno, message);
        return false;
    }

    std::FILE *file_ = nullptr;
    RasterInfo info_;
    EncodeOptions options_;
    std::vector<uint8_t> pixels_;
};

}  // namespace

std::unique_ptr<RasterReader> open_webp_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<WebpReader>(error, file, limits);
}

std::unique_ptr<RasterWriter> open_webp_writer(std::FILE *file, const RasterInfo &info, const EncodeOptions &options,
                                               std::string *error) {
    return open_codec<WebpWriter>(error, file, info, options);
}

}  // namespace qova::codecs
