// HEIC and AVIF through libheif, whole images: the primary image is decoded
// at open (HEVC and AV1 frames have no rows to stream), with its rotation and
// mirroring applied, and written back from gathered rows. 10- and 12-bit
// samples are scaled to 16 bits and back; the file's colour, given as an ICC
// profile or as nclx codes, EXIF and XMP travel with the pixels.
#include "colour/icc.h"
#include "detail/hevc_decoder.h"
#include "raster.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace qova::codecs {

using colour::Primaries;
using colour::rgb_icc_profile;
using colour::TransferCurve;

namespace {

// libheif wants its library set up once per user; the count is its own.
struct HeifLibrary {
    HeifLibrary() { heif_init(nullptr); }
    ~HeifLibrary() { heif_deinit(); }
};

// The ftyp box's brands: the major one first.
std::vector<std::string> file_brands(std::FILE *file) {
    unsigned char head[256];
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fseek(file, 0, SEEK_SET);
    if (got < 16) return {};
    const std::size_t size = std::min<std::size_t>(
        got, (std::size_t{head[0]} << 24) | (std::size_t{head[1]} << 16) | (std::size_t{head[2]} << 8) | head[3]);
    std::vector<std::string> brands{std::string(reinterpret_cast<char *>(head) + 8, 4)};
    for (std::size_t at = 16; at + 4 <= size; at += 4) brands.emplace_back(reinterpret_cast<char *>(head) + at, 4);
    return brands;
}

bool has(const std::vector<std::string> &brands, const char *brand) {
    return std::find(brands.begin(), brands.end(), brand) != brands.end();
}

// libheif reads through these from the caller's FILE.
struct FileSource {
    std::FILE *file;
    int64_t size;
};

int64_t source_position(void *user) { return static_cast<int64_t>(std::ftell(static_cast<FileSource *>(user)->file)); }

int source_read(void *data, size_t size, void *user) {
    return std::fread(data, 1, size, static_cast<FileSource *>(user)->file) == size ? 0 : 1;
}

int source_seek(int64_t position, void *user) {
    return std::fseek(static_cast<FileSource *>(user)->file, static_cast<long>(position), SEEK_SET) == 0 ? 0 : 1;
}

heif_reader_grow_status source_wait(int64_t target, void *user) {
    return target <= static_cast<FileSource *>(user)->size ? heif_reader_grow_status_size_reached
                                                           : heif_reader_grow_status_size_beyond_eof;
}

// The nclx codes as a profile, if they describe a curve one can hold.
std::vector<uint8_t> nclx_profile(const heif_color_profile_nclx &nclx, std::string *problem) {
    TransferCurve curve;
    switch (nclx.transfer_characteristics) {
    case heif_transfer_characteristic_unspecified:
    case heif_transfer_characteristic_IEC_61966_2_1: curve.kind = TransferCurve::Kind::Srgb; break;
    case heif_transfer_characteristic_ITU_R_BT_709_5:
    case heif_transfer_characteristic_ITU_R_BT_601_6:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit: curve.kind = TransferCurve::Kind::Bt709; break;
    case heif_transfer_characteristic_linear: curve = {TransferCurve::Kind::Power, 1.0}; break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M: curve = {TransferCurve::Kind::Power, 2.2}; break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G: curve = {TransferCurve::Kind::Power, 2.8}; break;
    default:
        *problem = "its colour is coded with transfer " + std::to_string(nclx.transfer_characteristics) +
                   " (HDR), which has no ICC equivalent: colours were read as sRGB";
        return {};
    }
    const Primaries primaries = {nclx.color_primary_white_x, nclx.color_primary_white_y, nclx.color_primary_red_x,
                                 nclx.color_primary_red_y,   nclx.color_primary_green_x, nclx.color_primary_green_y,
                                 nclx.color_primary_blue_x,  nclx.color_primary_blue_y};
    return rgb_icc_profile(
        primaries, curve,
        "HEIF nclx " + std::to_string(nclx.color_primaries) + "/" + std::to_string(nclx.transfer_characteristics));
}

bool is_srgb(const heif_color_profile_nclx &nclx) {
    const bool primaries = nclx.color_primaries == heif_color_primaries_ITU_R_BT_709_5 ||
                           nclx.color_primaries == heif_color_primaries_unspecified;
    const bool transfer = nclx.transfer_characteristics == heif_transfer_characteristic_IEC_61966_2_1 ||
                          nclx.transfer_characteristics == heif_transfer_characteristic_unspecified;
    return primaries && transfer;
}

class HeifReader final : public RasterReader {
public:
    ~HeifReader() override {
        if (image_) heif_image_release(image_);
        if (handle_) heif_image_handle_release(handle_);
        if (context_) heif_context_free(context_);
    }

    bool open(std::FILE *file, const ReadLimits &limits) {
        const std::vector<std::string> brands = file_brands(file);
        const bool av1 = !brands.empty() && (brands[0] == "avif" || brands[0] == "avis");
        info_.format = av1 ? FileFormat::Avif : FileFormat::Heic;
        if (has(brands, "avis") || has(brands, "msf1") || has(brands, "hevs")) {
            error_ =
                std::string(av1 ? "animated AVIF" : "HEIF image sequence") + ": only still images can be processed";
            return false;
        }
        if (std::fseek(file, 0, SEEK_END) != 0) return fail("cannot seek in the input");
        source_ = {file, static_cast<int64_t>(std::ftell(file))};
        std::fseek(file, 0, SEEK_SET);
        context_ = heif_context_alloc();
        if (!context_) return fail("out of memory");
        hevc_ = HevcDecoderLease::acquire();
        if (hevc_) heif_register_decoder(context_, hevc_->plugin());
        // libheif's own cap on each side (32768) would refuse sizes the
        // pixel limit allows, with a message of its own; the limit decides.
        heif_context_set_maximum_image_size_limit(
            context_, static_cast<int>(std::min<uint64_t>(limits.max_pixels, INT32_MAX - 1) + 1));
        static const heif_reader kReader = {1, source_position, source_read, source_seek, source_wait};
        if (!check(heif_context_read_from_reader(context_, &kReader, &source_, nullptr), "unreadable HEIF"))
            return false;
        const int images = heif_context_get_number_of_top_level_images(context_);
        if (images > 1) {
            error_ = "HEIF file of " + std::to_string(images) + " images: only single images can be processed";
            return false;
        }
        if (!check(heif_context_get_primary_image_handle(context_, &handle_), "HEIF without a primary image"))
            return false;
        const int width = heif_image_handle_get_width(handle_), height = heif_image_handle_get_height(handle_);
        error_ =
            size_problem(static_cast<uint64_t>(std::max(width, 0)), static_cast<uint64_t>(std::max(height, 0)), limits);
        if (!error_.empty()) return false;
        info_.width = width;
        info_.height = height;
        info_.channels = heif_image_handle_has_alpha_channel(handle_) ? 4 : 3;
        const int bits = heif_image_handle_get_luma_bits_per_pixel(handle_);
        info_.bit_depth = bits > 8 ? 16 : 8;
        // libheif holds the decoded planes and their interleaved copy whole.
        const uint64_t samples = uint64_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height) *
                                 static_cast<uint64_t>(info_.channels);
        error_ = memory_problem(samples * static_cast<uint64_t>(info_.bit_depth / 8) * 2, limits);
        if (!error_.empty()) return false;
        read_metadata();
        return decode();
    }

    bool read_rows(int rows, uint16_t *out) override {
        if (rows < 0 || next_row_ + rows > info_.height) return fail("more rows than the image has");
        const std::size_t samples = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        for (int r = 0; r < rows; ++r, ++next_row_, out += samples) {
            const uint8_t *row = plane_ + static_cast<std::size_t>(next_row_) * static_cast<std::size_t>(stride_);
            if (info_.bit_depth == 8) {
                for (std::size_t i = 0; i < samples; ++i) out[i] = row[i];
            } else {
                // Little-endian words of coded_bits, to 16 bits rounded.
                const uint32_t top = (1u << info_.coded_bits) - 1;
                for (std::size_t i = 0; i < samples; ++i) {
                    const uint32_t v = std::min<uint32_t>(uint32_t{row[2 * i]} | uint32_t{row[2 * i + 1]} << 8, top);
                    out[i] = static_cast<uint16_t>((v * 65535 + top / 2) / top);
                }
            }
            if (premultiplied_) unpremultiply(out);
        }
        return true;
    }

private:
    void read_metadata() {
        Metadata &meta = info_.metadata;
        heif_item_id ids[16];
        const int exif = heif_image_handle_get_list_of_metadata_block_IDs(handle_, "Exif", ids, 16);
        if (exif > 0) {
            std::vector<uint8_t> block = metadata_block(ids[0]);
            // A 4-byte offset to the TIFF header leads the block.
            if (block.size() >= 4) {
                const std::size_t skip = 4 + (std::size_t{block[0]} << 24 | std::size_t{block[1]} << 16 |
                                              std::size_t{block[2]} << 8 | block[3]);
                if (skip < block.size())
                    meta.exif.assign(block.begin() + static_cast<std::ptrdiff_t>(skip), block.end());
            }
            set_exif_orientation_normal(meta.exif);
        }
        const int mime = heif_image_handle_get_list_of_metadata_block_IDs(handle_, "mime", ids, 16);
        for (int i = 0; i < std::min(mime, 16); ++i) {
            const char *type = heif_image_handle_get_metadata_content_type(handle_, ids[i]);
            if (type && std::strcmp(type, "application/rdf+xml") == 0 && meta.xmp.empty()) {
                const std::vector<uint8_t> xmp = metadata_block(ids[i]);
                meta.xmp.assign(xmp.begin(), xmp.end());
            }
        }
        const std::size_t icc = heif_image_handle_get_raw_color_profile_size(handle_);
        if (icc > 0) {
            meta.icc_profile.resize(icc);
            if (heif_image_handle_get_raw_color_profile(handle_, meta.icc_profile.data()).code != heif_error_Ok)
                meta.icc_profile.clear();
        }
        // libheif may hand back a profile with its error (values it does not
        // take): freed either way.
        heif_color_profile_nclx *nclx = nullptr;
        if (meta.icc_profile.empty() &&
            heif_image_handle_get_nclx_color_profile(handle_, &nclx).code == heif_error_Ok && nclx) {
            meta.nclx = Metadata::Nclx{static_cast<uint16_t>(nclx->color_primaries),
                                       static_cast<uint16_t>(nclx->transfer_characteristics)};
            if (!is_srgb(*nclx)) {
                std::string problem;
                meta.icc_profile = nclx_profile(*nclx, &problem);
                if (!problem.empty()) warnings_.push_back(problem);
            }
        }
        if (nclx) heif_nclx_color_profile_free(nclx);
    }

    std::vector<uint8_t> metadata_block(heif_item_id id) {
        std::vector<uint8_t> bytes(heif_image_handle_get_metadata_size(handle_, id));
        if (heif_image_handle_get_metadata(handle_, id, bytes.data()).code != heif_error_Ok) bytes.clear();
        return bytes;
    }

    bool decode() {
        const bool alpha = info_.channels == 4, deep = info_.bit_depth == 16;
        const heif_chroma chroma =
            deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        if (!check(heif_decode_image(handle_, &image_, heif_colorspace_RGB, chroma, nullptr), "unreadable HEIF image"))
            return false;
        plane_ = heif_image_get_plane_readonly(image_, heif_channel_interleaved, &stride_);
        const int bits = heif_image_get_bits_per_pixel_range(image_, heif_channel_interleaved);
        if (!plane_ || heif_image_get_width(image_, heif_channel_interleaved) != info_.width ||
            heif_image_get_height(image_, heif_channel_interleaved) != info_.height ||
            (deep && (bits <= 8 || bits > 16)))
            return fail("unreadable HEIF image");
        if (deep) info_.coded_bits = bits;
        premultiplied_ = alpha && heif_image_handle_is_premultiplied_alpha(handle_);
        // Damage the decoder concealed.
        heif_error warning{};
        std::string damage = hevc_ ? hevc_->damage() : "";
        if (damage.empty() && heif_image_get_decoding_warnings(image_, 0, &warning, 1) == 1) damage = text_of(warning);
        if (!damage.empty()) warnings_.push_back("damaged image data, concealed by the decoder (" + damage + ")");
        return true;
    }

    // Colours divided back by alpha, so operators see them as they are.
    void unpremultiply(uint16_t *row) const {
        const uint32_t most = info_.max_value();
        for (int32_t x = 0; x < info_.width; ++x, row += 4) {
            const uint32_t a = row[3];
            for (int c = 0; c < 3; ++c)
                row[c] = static_cast<uint16_t>(a ? std::min((row[c] * most + a / 2) / a, most) : 0);
        }
    }

    static std::string text_of(const heif_error &e) {
        std::string message = e.message ? e.message : "";
        while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.pop_back();
        return message;
    }

    bool check(heif_error e, const char *what) {
        if (e.code == heif_error_Ok) return true;
        const std::string message = text_of(e);
        error_ = std::string(what) + (message.empty() ? "" : ": " + message);
        return false;
    }

    bool fail(const char *message) {
        error_ = message;
        return false;
    }

    HeifLibrary library_;
    std::unique_ptr<HevcDecoderLease> hevc_;  // released after the context, which may hold its decoders
    FileSource source_{nullptr, 0};
    heif_context *context_ = nullptr;
    heif_image_handle *handle_ = nullptr;
    heif_image *image_ = nullptr;
    const uint8_t *plane_ = nullptr;
    int stride_ = 0;
    bool premultiplied_ = false;
    int32_t next_row_ = 0;
};

heif_error write_to_file(heif_context *, const void *data, size_t size, void *user) {
    if (std::fwrite(data, 1, size, static_cast<std::FILE *>(user)) == size)
        return {heif_error_Ok, heif_suberror_Unspecified, ""};
    return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, "cannot write"};
}

// Gathers rows, then encodes them with their metadata in finish().
class HeifWriter final : public RasterWriter {
public:
    ~HeifWriter() override {
        if (image_) heif_image_release(image_);
        if (encoder_) heif_encoder_release(encoder_);
        if (context_) heif_context_free(context_);
    }

    bool open(std::FILE *file, FileFormat format, const RasterInfo &info, const EncodeOptions &options) {
        file_ = file;
        info_ = info;
        if ((info.bit_depth != 8 && info.bit_depth != 16) || (info.channels != 3 && info.channels != 4))
            return fail("HEIF takes 8- or 16-bit RGB or RGBA");
        // 16-bit samples go to HEIC at 10 bits, which every HEVC decoder
        // reads, or at 12 when they came from 12 or are to lose least
        // (--lossless). AVIF takes 12: libheif's AV1 encoder picks a profile
        // that cannot hold 10-bit 4:2:0 or 4:4:4 (libaom stops the process).
        const bool av1 = av1_ = format == FileFormat::Avif;
        bits_ = info.bit_depth == 8 ? 8 : av1 || options.lossless || info.coded_bits == 12 ? 12 : 10;
        context_ = heif_context_alloc();
        if (!context_) return fail("out of memory");
        if (heif_context_get_encoder_for_format(context_, av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder_)
                .code != heif_error_Ok)
            return fail(av1 ? "no AV1 encoder in libheif" : "no HEVC encoder in libheif");
        heif_encoder_set_lossy_quality(encoder_, options.quality);
        // Measured on a 12-megapixel photo at the default quality 50: x265's
        // "medium" takes 4.9 s for 534 kB, "fast" 4.2 s for 535 kB, libheif's
        // "slow" 8.3 s for 496 kB (at quality 90: 4.7 s against 9.7 s, for
        // 2% more bytes). AV1 stays at libheif's speed (6): 3.3 s for 196 kB,
        // against 13.8 s for 186 kB at speed 4 and 1.4 s for 212 kB at 8.
        if (!av1) heif_encoder_set_parameter_string(encoder_, "preset", "medium");
        lossless_ = options.lossless;
        if (lossless_) {
            // Every sample kept: full chroma, and RGB coded as RGB (see finish).
            heif_encoder_set_lossless(encoder_, 1);
            heif_encoder_set_parameter_string(encoder_, "chroma", "444");
        } else if (options.sampling.known()) {
            const char *chroma = options.sampling.h == 1 ? "444" : options.sampling.v == 1 ? "422" : "420";
            heif_encoder_set_parameter_string(encoder_, "chroma", chroma);
        }
        const bool alpha = info.channels == 4, deep = bits_ > 8;
        const heif_chroma chroma =
            deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        if (heif_image_create(info.width, info.height, heif_colorspace_RGB, chroma, &image_).code != heif_error_Ok ||
            heif_image_add_plane(image_, heif_channel_interleaved, info.width, info.height, bits_).code !=
                heif_error_Ok)
            return fail("out of memory");
        plane_ = heif_image_get_plane(image_, heif_channel_interleaved, &stride_);
        if (!plane_) return fail("out of memory");
        row_samples_ = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels);
        const Metadata &meta = info.metadata;
        if (!meta.iptc.empty()) warnings_.push_back("IPTC was left out: HEIF does not hold it");
        return true;
    }

    bool write_rows(int rows, const uint16_t *in) override {
        if (rows < 0 || next_row_ + rows > info_.height) return fail("more rows than the image has");
        const uint32_t top = (1u << bits_) - 1;
        for (int r = 0; r < rows; ++r, ++next_row_, in += row_samples_) {
            uint8_t *row = plane_ + static_cast<std::size_t>(next_row_) * static_cast<std::size_t>(stride_);
            if (bits_ == 8) {
                for (std::size_t i = 0; i < row_samples_; ++i) row[i] = static_cast<uint8_t>(in[i]);
            } else {
                for (std::size_t i = 0; i < row_samples_; ++i) {
                    const uint32_t v = (in[i] * top + 32767) / 65535;  // 16 bits to coded_bits, rounded
                    row[2 * i] = static_cast<uint8_t>(v);
                    row[2 * i + 1] = static_cast<uint8_t>(v >> 8);
                }
            }
        }
        return true;
    }

    bool finish() override {
        if (next_row_ != info_.height)
            return fail(
                ("only " + std::to_string(next_row_) + " of " + std::to_string(info_.height) + " rows were written")
                    .c_str());
        const Metadata &meta = info_.metadata;
        // AVIF keeps nclx codes as they came; HEIC gets the profile made from
        // them, as libheif leaves HEIC's nclx box out for macOS's sake.
        heif_color_profile_nclx *nclx = nullptr;
        const bool own_codes = meta.nclx && av1_;
        if (own_codes || lossless_) {
            nclx = heif_nclx_color_profile_alloc();
            if (!nclx) return fail("out of memory");
            if (own_codes) {
                heif_nclx_color_profile_set_color_primaries(nclx, meta.nclx->primaries);
                heif_nclx_color_profile_set_transfer_characteristics(nclx, meta.nclx->transfer);
            }
            // Lossless: no conversion to luma and chroma to round.
            if (lossless_) heif_nclx_color_profile_set_matrix_coefficients(nclx, heif_matrix_coefficients_RGB_GBR);
            heif_image_set_nclx_color_profile(image_, nclx);
        }
        const bool icc = !own_codes && !meta.icc_profile.empty();
        if (icc) heif_image_set_raw_color_profile(image_, "prof", meta.icc_profile.data(), meta.icc_profile.size());
        heif_encoding_options *options = heif_encoding_options_alloc();
        if (!options) return fail("out of memory");
        options->output_nclx_profile = nclx;
        options->save_two_colr_boxes_when_ICC_and_nclx_available = nclx && icc;
        // The pixels are not rotated: the EXIF orientation becomes the
        // file's own rotation and mirroring, which HEIF readers follow.
        const int orientation = exif_orientation(meta.exif);
        if (orientation > 1) options->image_orientation = static_cast<heif_orientation>(orientation);
        heif_image_handle *handle = nullptr;
        heif_error e = heif_context_encode_image(context_, image_, encoder_, options, &handle);
        heif_encoding_options_free(options);
        if (nclx) heif_nclx_color_profile_free(nclx);
        if (e.code != heif_error_Ok) return fail(e.message);
        if (!meta.exif.empty() && e.code == heif_error_Ok)
            e = heif_context_add_exif_metadata(context_, handle, meta.exif.data(), static_cast<int>(meta.exif.size()));
        if (!meta.xmp.empty() && e.code == heif_error_Ok)
            e = heif_context_add_XMP_metadata(context_, handle, meta.xmp.data(), static_cast<int>(meta.xmp.size()));
        heif_image_handle_release(handle);
        if (e.code != heif_error_Ok) return fail(e.message);
        heif_writer writer = {1, write_to_file};
        e = heif_context_write(context_, &writer, file_);
        return e.code == heif_error_Ok || fail(e.message);
    }

private:
    bool fail(const char *message) {
        error_ = encoder_failure(file_, errno, message);
        return false;
    }

    HeifLibrary library_;
    std::unique_ptr<HevcDecoderLease> hevc_;  // released after the context, which may hold its decoders
    std::FILE *file_ = nullptr;
    RasterInfo info_;
    int bits_ = 8;
    bool av1_ = false, lossless_ = false;
    heif_context *context_ = nullptr;
    heif_encoder *encoder_ = nullptr;
    heif_image *image_ = nullptr;
    uint8_t *plane_ = nullptr;
    int stride_ = 0;
    int32_t next_row_ = 0;
};

}  // namespace

std::unique_ptr<RasterReader> open_heif_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<HeifReader>(error, file, limits);
}

std::unique_ptr<RasterWriter> open_heif_writer(std::FILE *file, FileFormat format, const RasterInfo &info,
                                               const EncodeOptions &options, std::string *error) {
    return open_codec<HeifWriter>(error, file, format, info, options);
}

}  // namespace qova::codecs
