// JPEG rows through libjpeg-turbo. Its errors end in error_exit, which jumps
// back to the function that made the call; as with PNG, those functions keep
// no automatic objects with destructors alive across the library calls.
#include "raster.h"

#include "colour/cmyk.h"

#include <jerror.h>
#include <jpeglib.h>

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qova::codecs {

using colour::CmykToRgb;

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
    bool ended_early = false;           // the data ran out; what came before may still be whole
    bool extraneous = false;            // stray bytes between segments: harmless
    bool bad_profile = false;           // a damaged ICC profile segment: the profile is dropped
    bool decoding = false;              // damage in the data is concealed (a writer's warnings are errors)
    char damage[JMSG_LENGTH_MAX] = "";  // the first damage the decoder concealed
};

constexpr char kCutShort[] = "file ends early (truncated JPEG)";

// A progressive image is whole when every coefficient of every component
// has been refined to its last bit (each scan counts from its start).
bool scans_complete(const jpeg_decompress_struct &cinfo) {
    if (!cinfo.progressive_mode || !cinfo.coef_bits) return true;
    for (int c = 0; c < cinfo.num_components; ++c)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (cinfo.coef_bits[c][k] != 0) return false;
    return true;
}

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo) {
    auto *errors = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->text);
    std::longjmp(errors->jump, 1);
}

// Three warnings leave the image whole: stray bytes between segments, a
// damaged ICC profile, and a file that ends where the decoder wanted more
// bytes. Whether the data really was all there shows later: a scan cut short
// also warns that its data segment ended early, which is an error. Other
// damage the decoder conceals (the picture is marred where it lies), and the
// reader reports it.
void on_jpeg_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    auto *errors = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (cinfo->err->msg_code == JWRN_JPEG_EOF) {
        errors->ended_early = true;
        // Scans still to come would each run over the whole image with no
        // data: a cut multi-scan image is refused at once.
        const auto *d = reinterpret_cast<const jpeg_decompress_struct *>(cinfo);
        if (cinfo->is_decompressor && d->progressive_mode && !scans_complete(*d)) {
            std::snprintf(errors->text, sizeof errors->text, "%s", kCutShort);
            std::longjmp(errors->jump, 1);
        }
    } else if (cinfo->err->msg_code == JWRN_EXTRANEOUS_DATA) {
        errors->extraneous = true;
    } else if (cinfo->err->msg_code == JWRN_BOGUS_ICC) {
        errors->bad_profile = true;
    } else if (errors->ended_early) {
        std::snprintf(errors->text, sizeof errors->text, "%s", kCutShort);
        std::longjmp(errors->jump, 1);
    } else if (!errors->decoding) {
        on_jpeg_error(cinfo);
    } else if (!errors->damage[0]) {
        (*cinfo->err->format_message)(cinfo, errors->damage);
    }
}

void install(ErrorManager &errors) {
    jpeg_std_error(&errors.base);
    errors.base.error_exit = on_jpeg_error;
    errors.base.emit_message = on_jpeg_message;
    errors.text[0] = '\0';
}

// Application segments and their signatures.
constexpr int kExifMarker = JPEG_APP0 + 1, kIccMarker = JPEG_APP0 + 2, kIptcMarker = JPEG_APP0 + 13;
constexpr char kExifSignature[] = "Exif\0";  // "Exif", NUL and a zero pad byte
constexpr std::size_t kExifHeader = 6;
constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";
constexpr char kXmpExtensionSignature[] = "http://ns.adobe.com/xmp/extension/";
constexpr char kPhotoshopSignature[] = "Photoshop 3.0";
constexpr std::size_t kMaxSegment = 65533;   // a marker's data after its length field
constexpr double kOptimiseBelow = 16 << 20;  // bytes of coefficients

// The example tables of the JPEG standard (Annex K), in natural order, that
// libjpeg and most writers scale by quality.
constexpr unsigned kLumaTable[DCTSIZE2] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                           14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                           18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                           49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr unsigned kChromaTable[DCTSIZE2] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                             24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                             99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                             99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// The quality whose scaled example tables lie nearest the file's (exact for
// files that libjpeg wrote); 0 without a luma table.
int estimate_quality(const jpeg_decompress_struct &cinfo) {
    const JQUANT_TBL *luma = cinfo.quant_tbl_ptrs[0], *chroma = cinfo.quant_tbl_ptrs[1];
    if (!luma) return 0;
    int best = 0;
    uint64_t best_distance = UINT64_MAX;
    for (int q = 1; q <= 100; ++q) {
        const unsigned scale = q < 50 ? 5000u / static_cast<unsigned>(q) : 200u - 2u * static_cast<unsigned>(q);
        const auto entry = [scale](unsigned base) { return std::clamp((base * scale + 50) / 100, 1u, 255u); };
        uint64_t distance = 0;
        for (int k = 0; k < DCTSIZE2; ++k) {
            distance += static_cast<uint64_t>(
                std::abs(static_cast<int>(luma->quantval[k]) - static_cast<int>(entry(kLumaTable[k]))));
            if (chroma)
                distance += static_cast<uint64_t>(
                    std::abs(static_cast<int>(chroma->quantval[k]) - static_cast<int>(entry(kChromaTable[k]))));
        }
        if (distance < best_distance) {
            best_distance = distance;
            best = q;
        }
    }
    return best;
}

bool starts_with(const jpeg_saved_marker_ptr m, const char *signature, std::size_t n) {
    return m->data_length >= n && std::memcmp(m->data, signature, n) == 0;
}

class JpegReader final : public RasterReader {
public:
    ~JpegReader() override {
        if (created_) jpeg_destroy_decompress(&cinfo_);
    }

    bool open(std::FILE *file, const ReadLimits &limits) {
        info_.format = FileFormat::Jpeg;
        install(errors_);
        errors_.decoding = true;
        cinfo_.err = &errors_.base;
        if (setjmp(errors_.jump)) return fail();
        jpeg_create_decompress(&cinfo_);
        created_ = true;
        jpeg_stdio_src(&cinfo_, file);
        for (int marker : {kExifMarker, kIccMarker, kIptcMarker, static_cast<int>(JPEG_COM)})
            jpeg_save_markers(&cinfo_, marker, 0xFFFF);
        jpeg_read_header(&cinfo_, TRUE);

        error_ = size_problem(cinfo_.image_width, cinfo_.image_height, limits);
        if (!error_.empty()) return false;
        // Images of several scans hold every coefficient until the last scan.
        if (jpeg_has_multiple_scans(&cinfo_)) {
            error_ = memory_problem(coefficient_bytes(), limits);
            if (!error_.empty()) return false;
            cinfo_.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(limits.max_memory, LONG_MAX));
        }
        // Huffman coding spends at least a bit on each block's DC value: a
        // file with fewer bits than blocks cannot hold its image, and would
        // only be decoded (and held) as grey filling.
        struct stat st {};
        const uint64_t blocks = coefficient_bytes() / (DCTSIZE2 * sizeof(JCOEF));
        if (!cinfo_.arith_code && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) * 8 < blocks) {
            error_ = "file ends early: " + std::to_string(st.st_size) + " bytes cannot hold an image of " +
                     std::to_string(cinfo_.image_width) + " x " + std::to_string(cinfo_.image_height) +
                     " pixels (truncated JPEG)";
            return false;
        }
        if (cinfo_.num_components == 1) {
            cinfo_.out_color_space = JCS_GRAYSCALE;
        } else if (cinfo_.num_components == 3 && cinfo_.jpeg_color_space != JCS_CMYK &&
                   cinfo_.jpeg_color_space != JCS_YCCK) {
            cinfo_.out_color_space = JCS_RGB;
            read_sampling();
        } else if (cinfo_.num_components == 4 &&
                   (cinfo_.jpeg_color_space == JCS_CMYK || cinfo_.jpeg_color_space == JCS_YCCK)) {
            cinfo_.out_color_space = JCS_CMYK;  // libjpeg turns YCCK into CMYK
        } else {
            error_ = "unsupported JPEG colour space (only grey, RGB and CMYK)";
            return false;
        }
        info_.quality = estimate_quality(cinfo_);
        read_metadata();
        if (errors_.bad_profile) warnings_.push_back("a damaged ICC profile was left out");
        if (cinfo_.out_color_space == JCS_CMYK) {
            // To sRGB, which the output then declares. Adobe's CMYK JPEGs
            // (those with its marker) store 0 for full ink.
            to_rgb_ = CmykToRgb::make(info_.metadata.icc_profile, cinfo_.saw_Adobe_marker, &error_);
            if (!to_rgb_) return false;
            info_.metadata.icc_profile = to_rgb_->rgb_profile();
        }
        jpeg_start_decompress(&cinfo_);
        // Images of several scans are read whole here: see now whether the
        // data ran out before every scan had come.
        if (jpeg_has_multiple_scans(&cinfo_) && errors_.ended_early && !scans_complete(cinfo_)) {
            error_ = kCutShort;
            return false;
        }

        info_.width = static_cast<int32_t>(cinfo_.output_width);
        info_.height = static_cast<int32_t>(cinfo_.output_height);
        info_.channels = to_rgb_ ? 3 : cinfo_.output_components;
        info_.bit_depth = 8;
        row_.resize(static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels));
        if (to_rgb_) cmyk_row_.resize(static_cast<std::size_t>(info_.width) * 4);
        return true;
    }

    bool read_rows(int rows, uint16_t *out) override {
        const std::size_t samples = row_.size();
        for (int r = 0; r < rows; ++r) {
            if (!read_one_row()) return false;
            uint16_t *dst = out + static_cast<std::size_t>(r) * samples;
            for (std::size_t i = 0; i < samples; ++i) dst[i] = row_[i];
        }
        if (cinfo_.output_scanline == cinfo_.output_height) note_leniency();
        return true;
    }

private:
    bool fail() {
        error_ = errors_.text[0] ? errors_.text : "unreadable JPEG";
        return false;
    }

    // The coefficient buffer of every component: two bytes a coefficient,
    // in whole blocks of 8 x 8.
    uint64_t coefficient_bytes() const {
        int max_h = 1, max_v = 1;
        for (int c = 0; c < cinfo_.num_components; ++c) {
            max_h = std::max(max_h, cinfo_.comp_info[c].h_samp_factor);
            max_v = std::max(max_v, cinfo_.comp_info[c].v_samp_factor);
        }
        uint64_t bytes = 0;
        for (int c = 0; c < cinfo_.num_components; ++c) {
            const uint64_t h = static_cast<uint64_t>(std::max(cinfo_.comp_info[c].h_samp_factor, 1));
            const uint64_t v = static_cast<uint64_t>(std::max(cinfo_.comp_info[c].v_samp_factor, 1));
            const uint64_t across =
                (cinfo_.image_width * h + 8 * static_cast<uint64_t>(max_h) - 1) / (8 * static_cast<uint64_t>(max_h));
            const uint64_t down =
                (cinfo_.image_height * v + 8 * static_cast<uint64_t>(max_v) - 1) / (8 * static_cast<uint64_t>(max_v));
            bytes += across * down * DCTSIZE2 * sizeof(JCOEF);
        }
        return bytes;
    }

    void note_leniency() {
        if (noted_) return;
        noted_ = true;
        if (errors_.damage[0])
            warnings_.push_back(std::string("damaged image data, concealed by the decoder (") + errors_.damage + ")");
        if (errors_.ended_early) warnings_.push_back("the file lacks its end marker; the image data is whole");
        if (errors_.extraneous) warnings_.push_back("stray bytes between segments were skipped");
    }

    void read_sampling() {
        const jpeg_component_info *c = cinfo_.comp_info;
        const bool chroma_alike = c[1].h_samp_factor == c[2].h_samp_factor && c[1].v_samp_factor == c[2].v_samp_factor;
        if (!chroma_alike || c[0].h_samp_factor % c[1].h_samp_factor || c[0].v_samp_factor % c[1].v_samp_factor) return;
        info_.chroma_sampling.h = static_cast<uint8_t>(c[0].h_samp_factor / c[1].h_samp_factor);
        info_.chroma_sampling.v = static_cast<uint8_t>(c[0].v_samp_factor / c[1].v_samp_factor);
    }

    void read_metadata() {
        Metadata &meta = info_.metadata;
        JOCTET *profile = nullptr;
        unsigned length = 0;
        if (jpeg_read_icc_profile(&cinfo_, &profile, &length) && profile) {
            meta.icc_profile.assign(profile, profile + length);
            std::free(profile);
        }
        for (jpeg_saved_marker_ptr m = cinfo_.marker_list; m; m = m->next) {
            const char *data = reinterpret_cast<const char *>(m->data);
            if (m->marker == kExifMarker && starts_with(m, kExifSignature, sizeof kExifSignature) &&
                m->data_length > kExifHeader) {
                if (meta.exif.empty()) meta.exif.assign(m->data + kExifHeader, m->data + m->data_length);
            } else if (m->marker == kExifMarker && starts_with(m, kXmpSignature, sizeof kXmpSignature)) {
                if (meta.xmp.empty())
                    meta.xmp.assign(data + sizeof kXmpSignature, m->data_length - sizeof kXmpSignature);
            } else if (m->marker == kExifMarker &&
                       starts_with(m, kXmpExtensionSignature, sizeof kXmpExtensionSignature)) {
                meta.xmp_extension.emplace_back(data, m->data_length);
            } else if (m->marker == kIptcMarker && starts_with(m, kPhotoshopSignature, sizeof kPhotoshopSignature)) {
                meta.photoshop.insert(meta.photoshop.end(), m->data + sizeof kPhotoshopSignature,
                                      m->data + m->data_length);
            } else if (m->marker == JPEG_COM) {
                meta.comments.emplace_back(data, m->data_length);
            }
        }
        meta.iptc = iptc_from_photoshop(meta.photoshop);
        // JFIF's density; 1:1 without a unit says nothing.
        const bool plain = cinfo_.density_unit == 0 && cinfo_.X_density == cinfo_.Y_density;
        if (cinfo_.saw_JFIF_marker && !plain && cinfo_.X_density > 0 && cinfo_.Y_density > 0) {
            static const Resolution::Unit kUnits[] = {Resolution::Unit::Aspect, Resolution::Unit::PerInch,
                                                      Resolution::Unit::PerCentimetre};
            meta.resolution =
                Resolution{kUnits[std::min<int>(cinfo_.density_unit, 2)], cinfo_.X_density, cinfo_.Y_density};
        }
    }

    bool read_one_row() {
        if (setjmp(errors_.jump)) return fail();
        JSAMPROW row = to_rgb_ ? cmyk_row_.data() : row_.data();
        if (jpeg_read_scanlines(&cinfo_, &row, 1) != 1) {
            error_ = kCutShort;
            return false;
        }
        if (to_rgb_) to_rgb_->convert(cmyk_row_.data(), row_.data(), static_cast<std::size_t>(info_.width));
        return true;
    }

    jpeg_decompress_struct cinfo_{};
    ErrorManager errors_{};
    bool created_ = false;
    bool noted_ = false;
    std::vector<JSAMPLE> row_;
    std::unique_ptr<CmykToRgb> to_rgb_;  // CMYK files only
    std::vector<JSAMPLE> cmyk_row_;
};

class JpegWriter final : public RasterWriter {
public:
    ~JpegWriter() override {
        if (created_) jpeg_destroy_compress(&cinfo_);
    }

    bool open(std::FILE *file, const RasterInfo &info, const JpegOptions &options) {
        if ((info.channels != 1 && info.channels != 3) || info.bit_depth != 8) {
            error_ = "JPEG takes 8-bit grey or RGB";
            return false;
        }
        file_ = file;
        prepare_segments(info.metadata);
        install(errors_);
        cinfo_.err = &errors_.base;
        if (setjmp(errors_.jump)) return fail();
        jpeg_create_compress(&cinfo_);
        created_ = true;
        jpeg_stdio_dest(&cinfo_, file);
        cinfo_.image_width = static_cast<JDIMENSION>(info.width);
        cinfo_.image_height = static_cast<JDIMENSION>(info.height);
        cinfo_.input_components = info.channels;
        cinfo_.in_color_space = info.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&cinfo_);
        jpeg_set_quality(&cinfo_, options.quality, TRUE);
        ChromaSampling s{1, 1};
        if (info.channels == 3) {
            s = options.sampling.known() ? options.sampling
                : options.quality >= 90  ? ChromaSampling{1, 1}
                                         : ChromaSampling{2, 2};
            cinfo_.comp_info[0].h_samp_factor = s.h;
            cinfo_.comp_info[0].v_samp_factor = s.v;
        }
        // Optimised Huffman tables make files 2-5% smaller for 2.5 times the
        // encoding time, and need every coefficient of the image in memory:
        // worth it while those fit in a few megabytes.
        const double chroma_share = info.channels == 3 ? 2.0 / (s.h * s.v) : 0.0;
        const double coefficient_bytes = static_cast<double>(info.width) * info.height * 2 * (1 + chroma_share);
        cinfo_.optimize_coding = coefficient_bytes <= kOptimiseBelow ? TRUE : FALSE;
        set_density(info.metadata);
        jpeg_start_compress(&cinfo_, TRUE);
        for (const Segment &segment : segments_)
            jpeg_write_marker(&cinfo_, segment.marker, reinterpret_cast<const JOCTET *>(segment.data.data()),
                              static_cast<unsigned>(segment.data.size()));
        if (!info.metadata.icc_profile.empty())
            jpeg_write_icc_profile(&cinfo_, info.metadata.icc_profile.data(),
                                   static_cast<unsigned>(info.metadata.icc_profile.size()));
        for (const Segment &segment : late_segments_)
            jpeg_write_marker(&cinfo_, segment.marker, reinterpret_cast<const JOCTET *>(segment.data.data()),
                              static_cast<unsigned>(segment.data.size()));
        row_samples_ = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels);
        return true;
    }

    bool write_rows(int rows, const uint16_t *in) override {
        const std::unique_ptr<EncodedBand> band = encode_band(0, rows, in);
        return write_band(*band);
    }

    // The samples narrowed to bytes, on any thread; libjpeg takes them in order.
    std::unique_ptr<EncodedBand> encode_band(int32_t first_row, int rows, const uint16_t *in) const override {
        auto band = std::make_unique<JpegBand>();
        band->first_row = first_row;
        band->rows = rows;
        band->samples.assign(in, in + static_cast<std::size_t>(rows) * row_samples_);
        return band;
    }

    bool write_band(EncodedBand &encoded) override {
        auto &band = static_cast<JpegBand &>(encoded);
        for (int r = 0; r < band.rows; ++r)
            if (!write_one_row(band.samples.data() + static_cast<std::size_t>(r) * row_samples_)) return false;
        return true;
    }

    bool finish() override {
        if (setjmp(errors_.jump)) return fail();
        jpeg_finish_compress(&cinfo_);
        return true;
    }

private:
    struct JpegBand final : EncodedBand {
        std::vector<JSAMPLE> samples;
    };

    struct Segment {
        int marker;
        std::string data;
    };

    bool fail() {
        error_ = encoder_failure(file_, errno, errors_.text[0] ? errors_.text : "JPEG encoding failed");
        return false;
    }

    void add(std::vector<Segment> &to, int marker, const std::string &signature, const std::string &payload,
             const char *what) {
        if (signature.size() + payload.size() > kMaxSegment) {
            warnings_.push_back(std::string(what) + " of " + std::to_string(payload.size()) +
                                " bytes does not fit in a JPEG segment and was not written");
            return;
        }
        to.push_back(Segment{marker, signature + payload});
    }

    // EXIF and XMP go before the ICC profile, image resources and comments
    // after it, as cameras and editors write them.
    void prepare_segments(const Metadata &meta) {
        const auto text = [](const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); };
        if (!meta.exif.empty())
            add(segments_, kExifMarker, std::string(kExifSignature, kExifHeader), text(meta.exif), "EXIF");
        if (!meta.xmp.empty())
            add(segments_, kExifMarker, std::string(kXmpSignature, sizeof kXmpSignature), meta.xmp, "XMP");
        for (const std::string &extension : meta.xmp_extension) add(segments_, kExifMarker, "", extension, "XMP");
        // Image resources may span several segments, each signed.
        const std::vector<uint8_t> resources =
            meta.photoshop.empty() && !meta.iptc.empty() ? photoshop_from_iptc(meta.iptc) : meta.photoshop;
        const std::string signature(kPhotoshopSignature, sizeof kPhotoshopSignature);
        for (std::size_t at = 0; at < resources.size(); at += kMaxSegment - signature.size()) {
            const std::size_t n = std::min(resources.size() - at, kMaxSegment - signature.size());
            add(late_segments_, kIptcMarker, signature,
                std::string(resources.begin() + static_cast<std::ptrdiff_t>(at),
                            resources.begin() + static_cast<std::ptrdiff_t>(at + n)),
                "IPTC");
        }
        std::vector<std::string> comments = meta.comments;
        for (const TextChunk &t : meta.text)
            if (t.keyword == "Comment") comments.push_back(t.text);
        for (const std::string &comment : comments)
            for (std::size_t at = 0; at < comment.size(); at += kMaxSegment)
                late_segments_.push_back(Segment{JPEG_COM, comment.substr(at, kMaxSegment)});
    }

    // JFIF carries the density. A camera's file has EXIF and no JFIF segment;
    // that stays so unless there is a density to carry.
    void set_density(const Metadata &meta) {
        const Resolution r = jfif_resolution(meta.resolution);
        cinfo_.write_JFIF_header = meta.exif.empty() || r.known() ? TRUE : FALSE;
        if (!r.known()) return;
        cinfo_.density_unit = static_cast<UINT8>(r.unit == Resolution::Unit::PerInch         ? 1
                                                 : r.unit == Resolution::Unit::PerCentimetre ? 2
                                                                                             : 0);
        cinfo_.X_density = static_cast<UINT16>(r.x);
        cinfo_.Y_density = static_cast<UINT16>(r.y);
    }

    bool write_one_row(JSAMPLE *row) {
        if (setjmp(errors_.jump)) return fail();
        jpeg_write_scanlines(&cinfo_, &row, 1);
        return true;
    }

    jpeg_compress_struct cinfo_{};
    ErrorManager errors_{};
    bool created_ = false;
    std::FILE *file_ = nullptr;
    std::vector<Segment> segments_, late_segments_;
};

}  // namespace

std::unique_ptr<RasterReader> open_jpeg_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<JpegReader>(error, file, limits);
}

std::unique_ptr<RasterWriter> open_jpeg_writer(std::FILE *file, const RasterInfo &info, const JpegOptions &options,
                                               std::string *error) {
    return open_codec<JpegWriter>(error, file, info, options);
}

}  // namespace qova::codecs
