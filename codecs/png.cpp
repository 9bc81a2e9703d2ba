// PNG through libpng, which reads the file and writes the header and metadata
// chunks. The image data is filtered and deflated here instead, so that the
// filters and the deflate strategy can follow the content band by band.
//
// libpng reports errors by longjmp: every function below that calls into it
// sets the jump point first and keeps no automatic objects with destructors
// alive across the calls, so unwinding skips nothing.
#include "raster.h"

#include <png.h>
#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace zenk {

namespace {

// libpng's error and warning hooks: keep the first message of each and, for
// an error, jump back (returning would make libpng print it too).
struct Messages {
    char text[200] = "";
    char warning[200] = "";
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
    auto *m = static_cast<Messages *>(png_get_error_ptr(png));
    if (m && m->text[0] == '\0') std::snprintf(m->text, sizeof m->text, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp png, png_const_charp message) {
    auto *m = static_cast<Messages *>(png_get_error_ptr(png));
    if (m && m->warning[0] == '\0') std::snprintf(m->warning, sizeof m->warning, "%s", message);
}

// libpng's own limits on what a header may announce and a chunk may allocate.
constexpr png_uint_32 kMaxSide = 0x7fffffff;
constexpr png_alloc_size_t kMaxChunk = 64u << 20;
// Text and EXIF chunks after the image data are read at most this far.
constexpr std::size_t kMaxTrailingBytes = 16u << 20;

constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr char kRawProfile[] = "Raw profile type ";

uint32_t be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put_be32(std::string &s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

std::string make_chunk(const char *type, const std::string &data) {
    std::string c;
    put_be32(c, static_cast<uint32_t>(data.size()));
    c.append(type, 4);
    c += data;
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(type), 4);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size()));
    put_be32(c, static_cast<uint32_t>(crc));
    return c;
}

bool is_type(const unsigned char *head, const char *type) { return std::memcmp(head + 4, type, 4) == 0; }

// The PNG predictor: of the left, upper and upper-left neighbours, the one
// nearest to left + upper - upper-left.
uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// What a walk over the chunk headers tells before libpng reads the file:
// which colour chunks are really there (libpng also reports values it derives
// from sRGB), whether it is an animation, and the text and EXIF chunks after
// the image data, which libpng would reach only after the last row.
struct ChunkMap {
    bool has_gamma = false, has_chromaticities = false;
    uint32_t animation_frames = 0;      // acTL's count; 0: not animated
    bool first_frame_is_image = false;  // an fcTL before the image data
    std::string trailing;               // those chunks, as they stand
    bool trailing_cut = false;          // more of them than kMaxTrailingBytes
    bool truncated = false;             // a chunk runs past the end of the file
    uint32_t oversized = 0;             // the length of a chunk other than image data above kMaxChunk
    std::vector<std::pair<long, uint32_t>> data;  // each image data chunk's data: offset and length

    bool animated() const { return animation_frames > 1 || (animation_frames == 1 && !first_frame_is_image); }
};

ChunkMap map_chunks(std::FILE *file) {
    ChunkMap map;
    if (std::fseek(file, 0, SEEK_END) != 0) return map;
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 8, SEEK_SET) != 0) return map;
    bool after_data = false;
    unsigned char head[8];
    for (long at = 8; std::fread(head, 1, sizeof head, file) == sizeof head;) {
        const uint32_t length = be32(head);
        if (length > 0x7fffffff) break;  // libpng says what is wrong
        if (static_cast<uint64_t>(at) + 12 + length > static_cast<uint64_t>(size)) {
            map.truncated = true;
            break;
        }
        if (!is_type(head, "IDAT") && length > kMaxChunk) {
            map.oversized = length;
            break;
        }
        if (is_type(head, "IEND")) break;
        at += 12 + static_cast<long>(length);
        long skip = static_cast<long>(length) + 4;  // data and CRC
        if (is_type(head, "IDAT")) {
            after_data = true;
            map.data.emplace_back(at - static_cast<long>(length) - 4, length);
        } else if (!after_data) {
            map.has_gamma |= is_type(head, "gAMA");
            map.has_chromaticities |= is_type(head, "cHRM");
            map.first_frame_is_image |= is_type(head, "fcTL");
            unsigned char frames[4];
            if (is_type(head, "acTL") && length >= 4 && std::fread(frames, 1, 4, file) == 4) {
                map.animation_frames = std::max<uint32_t>(be32(frames), 1);
                skip -= 4;
            }
        } else if (is_type(head, "tEXt") || is_type(head, "zTXt") || is_type(head, "iTXt") || is_type(head, "eXIf")) {
            if (map.trailing.size() + length + 12 > kMaxTrailingBytes) {
                map.trailing_cut = true;
            } else {
                const std::size_t at = map.trailing.size();
                map.trailing.append(reinterpret_cast<const char *>(head), sizeof head);
                map.trailing.resize(at + sizeof head + length + 4);
                if (std::fread(&map.trailing[at + sizeof head], 1, length + 4, file) != length + 4) {
                    map.trailing.resize(at);
                    break;
                }
                skip = 0;
            }
        }
        if (skip > 0 && std::fseek(file, skip, SEEK_CUR) != 0) break;
    }
    std::clearerr(file);
    return map;
}

// Binary profiles other programs keep in text chunks; true if `chunk` was one
// and went into `meta`.
bool take_raw_profile(const png_text &chunk, Metadata &meta) {
    if (std::strncmp(chunk.key, kRawProfile, sizeof kRawProfile - 1) != 0) return false;
    const std::string name = chunk.key + sizeof kRawProfile - 1;
    const std::size_t length = chunk.compression >= PNG_ITXT_COMPRESSION_NONE ? chunk.itxt_length : chunk.text_length;
    const auto bytes = raw_profile_bytes(std::string(chunk.text ? chunk.text : "", length));
    if (!bytes) return false;
    const auto starts = [&](const char *prefix, std::size_t n) {
        return bytes->size() >= n && std::memcmp(bytes->data(), prefix, n) == 0;
    };
    if (name == "exif" || name == "APP1") {
        if (starts("Exif\0", 5) && bytes->size() >= 6) {
            if (meta.exif.empty()) meta.exif.assign(bytes->begin() + 6, bytes->end());
        } else if (starts("MM", 2) || starts("II", 2)) {
            if (meta.exif.empty()) meta.exif = *bytes;
        } else {
            return false;
        }
    } else if (name == "iptc" || name == "8bim") {
        std::vector<uint8_t> iptc = *bytes;
        if (starts("Photoshop 3.0\0", 14)) iptc.erase(iptc.begin(), iptc.begin() + 14);
        if (iptc.size() >= 4 && std::memcmp(iptc.data(), "8BIM", 4) == 0) iptc = iptc_from_photoshop(iptc);
        if (meta.iptc.empty()) meta.iptc = std::move(iptc);
    } else if (name == "xmp") {
        if (meta.xmp.empty()) meta.xmp.assign(bytes->begin(), bytes->end());
    } else if (name == "icc" || name == "icm") {
        if (meta.icc_profile.empty()) meta.icc_profile = *bytes;
    } else {
        return false;
    }
    return true;
}

// EXIF and text chunks libpng has read so far into `meta`.
void take_exif_and_text(png_structp png, png_infop info, Metadata &meta) {
    png_bytep exif = nullptr;
    png_uint_32 exif_size = 0;
    if (png_get_eXIf_1(png, info, &exif_size, &exif) && exif && exif_size > 0 && meta.exif.empty())
        meta.exif.assign(exif, exif + exif_size);
    png_textp text = nullptr;
    int count = 0;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i) {
        const png_text &t = text[i];
        const bool international = t.compression >= PNG_ITXT_COMPRESSION_NONE;
        const std::size_t length = international ? t.itxt_length : t.text_length;
        std::string value(t.text ? t.text : "", length);
        if (international && std::strcmp(t.key, kXmpKeyword) == 0 && meta.xmp.empty()) {
            meta.xmp = std::move(value);
            continue;
        }
        if (take_raw_profile(t, meta)) continue;
        TextChunk chunk;
        chunk.keyword = t.key;
        chunk.text = std::move(value);
        chunk.international = international;
        chunk.compressed = t.compression == PNG_TEXT_COMPRESSION_zTXt || t.compression == PNG_ITXT_COMPRESSION_zTXt;
        if (international) {
            chunk.language = t.lang ? t.lang : "";
            chunk.translated_keyword = t.lang_key ? t.lang_key : "";
        }
        meta.text.push_back(std::move(chunk));
    }
}

// Lets libpng parse the text and EXIF chunks found after the image data: they
// are put in a one-pixel PNG of their own, ahead of its image data.
class TrailingChunks {
public:
    static bool read(const std::string &chunks, Metadata &meta) {
        std::string ihdr;
        put_be32(ihdr, 1);
        put_be32(ihdr, 1);
        ihdr += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey
        const unsigned char row[2] = {0, 0};             // filter byte, one sample
        unsigned char packed[32];
        uLongf packed_size = sizeof packed;
        if (compress(packed, &packed_size, row, sizeof row) != Z_OK) return false;
        TrailingChunks source;
        source.bytes_ = std::string("\x89PNG\r\n\x1a\n", 8) + make_chunk("IHDR", ihdr) + chunks +
                        make_chunk("IDAT", std::string(reinterpret_cast<const char *>(packed), packed_size)) +
                        make_chunk("IEND", "");
        return source.parse(meta);
    }

private:
    bool parse(Metadata &meta) {
        Messages messages;
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, on_png_error, on_png_warning);
        png_infop info = png ? png_create_info_struct(png) : nullptr;
        bool ok = false;
        if (info && !setjmp(png_jmpbuf(png))) {
            png_set_chunk_malloc_max(png, kMaxChunk);
            png_set_read_fn(png, this, on_read);
            png_read_info(png, info);
            take_exif_and_text(png, info, meta);
            ok = true;
        }
        png_destroy_read_struct(&png, &info, nullptr);
        return ok;
    }

    static void on_read(png_structp png, png_bytep out, png_size_t length) {
        auto *self = static_cast<TrailingChunks *>(png_get_io_ptr(png));
        if (length > self->bytes_.size() - self->at_) png_error(png, "read past the end");
        std::memcpy(out, self->bytes_.data() + self->at_, length);
        self->at_ += length;
    }

    std::string bytes_;
    std::size_t at_ = 0;
};

// The rows of a plain PNG (not interlaced, 8 or 16 bits a sample, no palette
// or transparency chunk) read without libpng: the image data chunks inflated
// by zlib and the rows unfiltered here. libpng's row reading took twice as
// long on 12-megapixel photos; it still reads every other kind of PNG.
class ImageData {
public:
    ~ImageData() {
        if (started_) inflateEnd(&z_);
    }

    bool start(std::FILE *file, std::vector<std::pair<long, uint32_t>> chunks, std::size_t row_bytes, std::size_t bpp) {
        file_ = file;
        chunks_ = std::move(chunks);
        row_bytes_ = row_bytes;
        bpp_ = bpp;
        row_.assign(row_bytes + 1 + kPad, 0);
        prior_.assign(row_bytes + 1 + kPad, 0);
        input_.resize(1u << 16);
        started_ = inflateInit(&z_) == Z_OK;
        return started_ || fail("out of memory");
    }

    // The next row, unfiltered; null with error() set on failure.
    const uint8_t *next_row() {
        std::swap(row_, prior_);
        z_.next_out = row_.data();
        z_.avail_out = static_cast<uInt>(row_bytes_ + 1);
        while (z_.avail_out > 0) {
            if (z_.avail_in == 0 && !refill()) return fail("IDAT: not enough image data"), nullptr;
            const int status = inflate(&z_, Z_NO_FLUSH);
            if (status == Z_STREAM_END && z_.avail_out > 0) return fail("IDAT: not enough image data"), nullptr;
            if (status != Z_OK && status != Z_STREAM_END)
                return fail(std::string("IDAT: ") + (z_.msg ? z_.msg : "invalid compressed data")), nullptr;
        }
        return unfilter() ? row_.data() + 1 : nullptr;
    }

    // After the last row: the end of the stream with its own check, and the
    // rest of the data read for every chunk's CRC.
    bool finish() {
        uint8_t spare[64];
        for (;;) {
            z_.next_out = spare;
            z_.avail_out = sizeof spare;
            const int status = inflate(&z_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) break;
            if (status != Z_OK && status != Z_BUF_ERROR)
                return fail(std::string("IDAT: ") + (z_.msg ? z_.msg : "invalid compressed data"));
            if (z_.avail_in == 0 && !refill()) return fail("IDAT: the compressed data ends early");
        }
        do z_.avail_in = 0;  // what follows the stream is not image data
        while (refill());
        return error_.empty();
    }

    const std::string &error() const { return error_; }

private:
    bool fail(const std::string &message) {
        if (error_.empty()) error_ = message;
        return false;
    }

    // The next piece of image data into the input buffer, each chunk's CRC
    // checked at its end. False at the end of the data, or on a failure
    // (then with error() set).
    bool refill() {
        for (;;) {
            if (left_ > 0) {
                const std::size_t n = std::min<std::size_t>(left_, input_.size());
                if (std::fread(input_.data(), 1, n, file_) != n) return fail("file ends early (truncated PNG)");
                crc_ = crc32(crc_, input_.data(), static_cast<uInt>(n));
                left_ -= static_cast<uint32_t>(n);
                z_.next_in = input_.data();
                z_.avail_in = static_cast<uInt>(n);
                return true;
            }
            if (in_chunk_) {
                unsigned char stored[4];
                if (std::fread(stored, 1, 4, file_) != 4) return fail("file ends early (truncated PNG)");
                if (be32(stored) != static_cast<uint32_t>(crc_)) return fail("IDAT: CRC error");
                in_chunk_ = false;
                ++chunk_;
            }
            if (chunk_ == chunks_.size() || !error_.empty()) return false;
            const auto [offset, length] = chunks_[chunk_];
            if (std::fseek(file_, offset, SEEK_SET) != 0) return fail("cannot seek in the input");
            left_ = length;
            crc_ = crc32(0, reinterpret_cast<const Bytef *>("IDAT"), 4);
            in_chunk_ = true;
        }
    }

    bool unfilter() {
        uint8_t *r = row_.data() + 1;
        const uint8_t *p = prior_.data() + 1;
        const std::size_t n = row_bytes_, bpp = bpp_, lead = std::min(bpp, n);
        switch (row_[0]) {
        case 0: break;
        case 1:
            for (std::size_t i = lead; i < n; ++i) r[i] = static_cast<uint8_t>(r[i] + r[i - bpp]);
            break;
        case 2:
            for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<uint8_t>(r[i] + p[i]);
            break;
        case 3:
            for (std::size_t i = 0; i < lead; ++i) r[i] = static_cast<uint8_t>(r[i] + p[i] / 2);
            for (std::size_t i = lead; i < n; ++i) r[i] = static_cast<uint8_t>(r[i] + (r[i - bpp] + p[i]) / 2);
            break;
        case 4: unpaeth(r, p, n, bpp); break;
        default: return fail("bad adaptive filter value");
        }
        return true;
    }

    // Paeth unfiltering, a pixel at a time with its samples side by side in
    // 16-bit lanes: each pixel needs the one before it, but not its own
    // samples each other.
    static void unpaeth(uint8_t *r, const uint8_t *p, std::size_t n, std::size_t bpp) {
#ifdef __SSE2__
        switch (bpp) {
        case 3: return unpaeth_pixels<3>(r, p, n);
        case 4: return unpaeth_pixels<4>(r, p, n);
        case 6: return unpaeth_pixels<6>(r, p, n);
        case 8: return unpaeth_pixels<8>(r, p, n);
        default: break;
        }
#endif
        const std::size_t lead = std::min(bpp, n);
        for (std::size_t i = 0; i < lead; ++i) r[i] = static_cast<uint8_t>(r[i] + p[i]);
        for (std::size_t i = lead; i < n; ++i) r[i] = static_cast<uint8_t>(r[i] + paeth(r[i - bpp], p[i], p[i - bpp]));
    }

#ifdef __SSE2__
    // Loads and stores whole 4 or 8 bytes (the rows have room past their
    // end): the bytes past the pixel are put back as they were.
    template <std::size_t kBpp>
    static void unpaeth_pixels(uint8_t *r, const uint8_t *p, std::size_t n) {
        constexpr std::size_t kWidth = kBpp <= 4 ? 4 : 8;
        const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(-1), low = _mm_set1_epi16(0xFF);
        alignas(16) int16_t lanes[8] = {};
        for (std::size_t k = 0; k < kBpp; ++k) lanes[k] = -1;
        const __m128i mine = _mm_load_si128(reinterpret_cast<const __m128i *>(lanes));  // the pixel's own lanes
        const auto load = [&](const uint8_t *at) {
            uint64_t v = 0;
            std::memcpy(&v, at, kWidth);
            return _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(v)), zero);
        };
        const auto absolute = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
        __m128i a = zero, c = zero;  // left and upper-left: none for the first pixel
        for (std::size_t i = 0; i + kBpp <= n; i += kBpp) {
            const __m128i b = load(p + i), x = load(r + i);
            const __m128i pa = absolute(_mm_sub_epi16(b, c)), pb = absolute(_mm_sub_epi16(a, c));
            const __m128i pc = absolute(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
            // a where pa <= pb and pa <= pc, else b where pb <= pc, else c
            const __m128i use_a = _mm_andnot_si128(_mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc)), ones);
            const __m128i use_b = _mm_andnot_si128(_mm_cmpgt_epi16(pb, pc), ones);
            const __m128i b_or_c = _mm_or_si128(_mm_and_si128(use_b, b), _mm_andnot_si128(use_b, c));
            const __m128i predicted = _mm_or_si128(_mm_and_si128(use_a, a), _mm_andnot_si128(use_a, b_or_c));
            a = _mm_and_si128(_mm_add_epi16(x, predicted), low);
            c = b;
            const __m128i kept = _mm_or_si128(_mm_and_si128(mine, a), _mm_andnot_si128(mine, x));
            const uint64_t out = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(kept, zero)));
            std::memcpy(r + i, &out, kWidth);
        }
    }
#endif

    static constexpr std::size_t kPad = 8;  // room past a row's end for whole-word loads

    std::FILE *file_ = nullptr;
    std::vector<std::pair<long, uint32_t>> chunks_;
    std::size_t chunk_ = 0;
    bool in_chunk_ = false;  // its CRC not yet checked
    uint32_t left_ = 0;      // data bytes of the current chunk not yet read
    uLong crc_ = 0;
    std::size_t row_bytes_ = 0, bpp_ = 1;
    std::vector<uint8_t> row_, prior_, input_;  // rows with their filter byte first
    z_stream z_{};
    bool started_ = false;
    std::string error_;
};

class PngReader final : public RasterReader {
public:
    ~PngReader() override { png_destroy_read_struct(&png_, &info_ptr_, nullptr); }

    bool open(std::FILE *file, const ReadLimits &limits) {
        file_ = file;
        info_.format = FileFormat::Png;
        if (!check_header(file, limits)) return false;
        const ChunkMap map = map_chunks(file);
        if (map.truncated) {
            error_ = "file ends early (truncated PNG)";
            return false;
        }
        if (map.oversized) {
            error_ = "a chunk of " + std::to_string(map.oversized) + " bytes is above the limit of " +
                     std::to_string(kMaxChunk) + " bytes";
            return false;
        }
        if (map.animated()) {
            error_ = "animated PNG (" + std::to_string(map.animation_frames) +
                     (map.animation_frames == 1 ? " frame" : " frames") + "): only still images can be processed";
            return false;
        }
        if (std::fseek(file, 0, SEEK_SET) != 0) {
            error_ = "cannot seek in the input";
            return false;
        }

        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages_, on_png_error, on_png_warning);
        if (!png_) return fail("out of memory");
        info_ptr_ = png_create_info_struct(png_);
        if (!info_ptr_) return fail("out of memory");
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);

        png_init_io(png_, file);
        png_set_user_limits(png_, kMaxSide, kMaxSide);
        png_set_chunk_malloc_max(png_, kMaxChunk);
        png_read_info(png_, info_ptr_);

        const png_uint_32 width = png_get_image_width(png_, info_ptr_);
        const png_uint_32 height = png_get_image_height(png_, info_ptr_);
        error_ = size_problem(width, height, limits);
        if (!error_.empty()) return false;

        const int colour = png_get_color_type(png_, info_ptr_);
        const int depth = png_get_bit_depth(png_, info_ptr_);
        const bool plain = colour != PNG_COLOR_TYPE_PALETTE && depth >= 8 && !png_get_valid(png_, info_ptr_, PNG_INFO_tRNS) &&
                           png_get_interlace_type(png_, info_ptr_) == PNG_INTERLACE_NONE;
        if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
        if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png_);
        if (png_get_valid(png_, info_ptr_, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png_);
        if (depth == 16) png_set_swap(png_);  // host-order 16-bit words
        interlaced_ = png_set_interlace_handling(png_) > 1;
        png_read_update_info(png_, info_ptr_);

        info_.width = static_cast<int32_t>(width);
        info_.height = static_cast<int32_t>(height);
        info_.channels = png_get_channels(png_, info_ptr_);
        info_.bit_depth = png_get_bit_depth(png_, info_ptr_);
        read_colour_metadata(map);
        take_exif_and_text(png_, info_ptr_, info_.metadata);
        if (!map.trailing.empty() && !TrailingChunks::read(map.trailing, info_.metadata))
            warnings_.push_back("unreadable text or EXIF chunks after the image data were not carried over");
        if (map.trailing_cut)
            warnings_.push_back("text and EXIF chunks after the image data beyond 16 MiB were not carried over");
        row_bytes_ = png_get_rowbytes(png_, info_ptr_);
        if (interlaced_) {
            // Held whole: see that the memory is allowed before any is taken.
            error_ = memory_problem(static_cast<uint64_t>(row_bytes_) * height, limits);
            if (!error_.empty()) return false;
        }
        if (plain) {
            const std::size_t bpp = static_cast<std::size_t>(info_.channels) * static_cast<std::size_t>(depth / 8);
            direct_ = std::make_unique<ImageData>();
            if (!direct_->start(file, map.data, row_bytes_, bpp)) return fail(direct_->error().c_str());
        }
        return true;
    }

    bool read_rows(int rows, uint16_t *out) override {
        const std::size_t samples = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        if (direct_) return read_direct(rows, out, samples);
        if (interlaced_ && !whole_loaded_ && !load_whole()) return false;
        for (int r = 0; r < rows; ++r) {
            const png_byte *row = nullptr;
            if (interlaced_) {
                row = whole_.get() + static_cast<std::size_t>(next_row_) * row_bytes_;
            } else {
                row_.resize(row_bytes_);
                if (!read_one_row(row_.data())) return false;
                row = row_.data();
            }
            ++next_row_;
            widen(row, samples, out + static_cast<std::size_t>(r) * samples);
        }
        return true;
    }

private:
    bool fail(const char *message) {
        if (file_ && std::feof(file_)) {
            error_ = "file ends early (truncated PNG)";
        } else {
            error_ = message[0] ? message : "unreadable PNG";
        }
        return false;
    }

    // The size the header announces, read before libpng reads any further
    // chunk: an image that is empty or above the limit is refused at once.
    bool check_header(std::FILE *file, const ReadLimits &limits) {
        unsigned char head[24];
        const std::size_t got = std::fread(head, 1, sizeof head, file);
        if (std::fseek(file, 0, SEEK_SET) != 0) {
            error_ = "cannot seek in the input";
            return false;
        }
        if (got < sizeof head || std::memcmp(head + 12, "IHDR", 4) != 0) return true;  // libpng will say what is wrong
        const png_uint_32 width = be32(head + 16), height = be32(head + 20);
        error_ = size_problem(width, height, limits);
        return error_.empty();
    }

    void read_colour_metadata(const ChunkMap &map) {
        Metadata &meta = info_.metadata;
        png_charp name = nullptr;
        int compression = 0;
        png_bytep profile = nullptr;
        png_uint_32 length = 0;
        if (png_get_iCCP(png_, info_ptr_, &name, &compression, &profile, &length) && profile)
            meta.icc_profile.assign(profile, profile + length);
        int intent = 0;
        if (png_get_sRGB(png_, info_ptr_, &intent)) meta.srgb_intent = intent;
        png_fixed_point gamma = 0;
        if (map.has_gamma && png_get_gAMA_fixed(png_, info_ptr_, &gamma) && gamma > 0)
            meta.png_gamma = static_cast<uint32_t>(gamma);
        png_fixed_point c[8] = {};
        if (map.has_chromaticities &&
            png_get_cHRM_fixed(png_, info_ptr_, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]))
            meta.png_chromaticities.assign(c, c + 8);
        png_uint_32 x = 0, y = 0;
        int unit = 0;
        if (png_get_pHYs(png_, info_ptr_, &x, &y, &unit) && x > 0 && y > 0)
            meta.resolution = Resolution{unit == PNG_RESOLUTION_METER ? Resolution::Unit::PerMetre
                                                                       : Resolution::Unit::Aspect,
                                         x, y};
    }

    bool read_one_row(png_byte *row) {
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);
        png_read_row(png_, row, nullptr);
        return true;
    }

    // Interlaced images arrive in passes over the whole image: decode it
    // whole, into memory that is only touched as the passes fill it.
    bool load_whole() {
        whole_ = uninitialised_buffer<png_byte>(row_bytes_ * static_cast<std::size_t>(info_.height));
        pointers_.resize(static_cast<std::size_t>(info_.height));
        for (std::size_t r = 0; r < pointers_.size(); ++r) pointers_[r] = whole_.get() + r * row_bytes_;
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);
        png_read_image(png_, pointers_.data());
        whole_loaded_ = true;
        return true;
    }

    bool read_direct(int rows, uint16_t *out, std::size_t samples) {
        for (int r = 0; r < rows; ++r, out += samples) {
            const uint8_t *row = direct_->next_row();
            if (!row || (++next_row_ == info_.height && !direct_->finish())) {
                error_ = direct_->error();
                return false;
            }
            if (info_.bit_depth == 16) {
                for (std::size_t i = 0; i < samples; ++i)
                    out[i] = static_cast<uint16_t>(row[2 * i] << 8 | row[2 * i + 1]);  // stored big-endian
            } else {
                for (std::size_t i = 0; i < samples; ++i) out[i] = row[i];
            }
        }
        return true;
    }

    void widen(const png_byte *row, std::size_t samples, uint16_t *out) const {
        if (info_.bit_depth == 16) {
            std::memcpy(out, row, samples * sizeof(uint16_t));
        } else {
            for (std::size_t i = 0; i < samples; ++i) out[i] = row[i];
        }
    }

    std::FILE *file_ = nullptr;
    png_structp png_ = nullptr;
    png_infop info_ptr_ = nullptr;
    Messages messages_;
    std::size_t row_bytes_ = 0;
    bool interlaced_ = false;
    bool whole_loaded_ = false;
    int32_t next_row_ = 0;
    std::vector<png_byte> row_;
    std::unique_ptr<png_byte[]> whole_;
    std::vector<png_bytep> pointers_;
    std::unique_ptr<ImageData> direct_;  // for plain PNGs
};

// ---- Writing -------------------------------------------------------------------

// How a band of rows is filtered and deflated. Measured on photos, screenshots
// and diagrams: photos compress as well with Paeth prediction and run-length
// deflate as with zlib's full search and adaptive filters, at a fraction of
// its time; flat synthetic content needs the full search and adaptive
// filters; palette indices and packed grey compress best unfiltered.
enum class Filtering { Paeth, Adaptive, None };
struct BandPlan {
    Filtering filtering;
    int level, strategy;
    bool operator==(const BandPlan &o) const {
        return filtering == o.filtering && level == o.level && strategy == o.strategy;
    }
};
constexpr BandPlan kPhotoPlan{Filtering::Paeth, 6, Z_RLE};
constexpr BandPlan kFlatPlan{Filtering::Adaptive, 6, Z_DEFAULT_STRATEGY};
constexpr BandPlan kIndexPlan{Filtering::None, 9, Z_DEFAULT_STRATEGY};
// A band is flat when at least this share of its pixels repeat their left neighbour.
constexpr double kFlatShare = 0.5;

// Filters `row` (n bytes, bpp bytes a pixel) against `prior` with PNG filter
// `type` into out[0] (the type) and out[1..n].
void filter_row(int type, const uint8_t *row, const uint8_t *prior, std::size_t n, std::size_t bpp, uint8_t *out) {
    out[0] = static_cast<uint8_t>(type);
    uint8_t *f = out + 1;
    const std::size_t lead = std::min(bpp, n);  // bytes with no left neighbour
    switch (type) {
    case 0: std::memcpy(f, row, n); break;
    case 1:
        std::memcpy(f, row, lead);
        for (std::size_t i = lead; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
        break;
    case 2:
        for (std::size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - prior[i]);
        break;
    case 3:
        for (std::size_t i = 0; i < lead; ++i) f[i] = static_cast<uint8_t>(row[i] - prior[i] / 2);
        for (std::size_t i = lead; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - (row[i - bpp] + prior[i]) / 2);
        break;
    default:
        for (std::size_t i = 0; i < lead; ++i) f[i] = static_cast<uint8_t>(row[i] - prior[i]);
        for (std::size_t i = lead; i < n; ++i)
            f[i] = static_cast<uint8_t>(row[i] - paeth(row[i - bpp], prior[i], prior[i - bpp]));
        break;
    }
}

// libpng's measure for choosing a filter: the sum of the bytes read as signed.
uint64_t filtered_cost(const uint8_t *f, std::size_t n) {
    uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += f[i] < 128 ? f[i] : 256u - f[i];
    return sum;
}

class PngWriter final : public RasterWriter {
public:
    ~PngWriter() override { png_destroy_write_struct(&png_, &info_ptr_); }

    bool open(std::FILE *file, const RasterInfo &info) {
        file_ = file;
        info_ = info;
        // Everything libpng is given is made ready first: a longjmp out of a
        // function must not skip destructors.
        prepare_palette();
        prepare_text(info.metadata);
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages_, on_png_error, on_png_warning);
        if (!png_) return fail("out of memory");
        info_ptr_ = png_create_info_struct(png_);
        if (!info_ptr_) return fail("out of memory");
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);

        png_init_io(png_, file);
        // Metadata libpng finds unusable (a damaged ICC profile, say) is left
        // out with a warning rather than failing the image.
        png_set_benign_errors(png_, 1);
        const bool indexed = !info.palette.empty();
        static const int kColourTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                           PNG_COLOR_TYPE_RGB_ALPHA};
        png_set_IHDR(png_, info_ptr_, static_cast<png_uint_32>(info.width), static_cast<png_uint_32>(info.height),
                     info.bit_depth, indexed ? PNG_COLOR_TYPE_PALETTE : kColourTypes[info.channels], PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (indexed) {
            png_set_PLTE(png_, info_ptr_, colours_.data(), static_cast<int>(colours_.size()));
            if (!alphas_.empty()) png_set_tRNS(png_, info_ptr_, alphas_.data(), static_cast<int>(alphas_.size()), nullptr);
        }
        set_metadata(info.metadata);
        png_write_info(png_, info_ptr_);
        if (messages_.warning[0]) warnings_.push_back(std::string("left out of the PNG: ") + messages_.warning);
        return start_data();
    }

    // Rows gather into bands of band_rows(), each encoded as the band path would.
    bool write_rows(int rows, const uint16_t *in) override {
        if (rows < 0 || rows > info_.height - rows_gathered_) return fail("more rows than the image has");
        const std::size_t samples = row_samples_;
        for (int r = 0; r < rows; ++r) {
            pending_.insert(pending_.end(), in + static_cast<std::size_t>(r) * samples,
                            in + static_cast<std::size_t>(r + 1) * samples);
            ++rows_gathered_;
            const int held = static_cast<int>(pending_.size() / samples);
            if (held == band_rows_ || rows_gathered_ == info_.height) {
                const std::unique_ptr<EncodedBand> band = encode_band(rows_gathered_ - held, held, pending_.data());
                pending_.clear();
                if (!band || !write_band(*band)) return band ? false : fail("out of memory");
            }
        }
        return true;
    }

    bool finish() override {
        if (rows_written_ != info_.height)
            return fail(("only " + std::to_string(rows_written_) + " of " + std::to_string(info_.height) +
                         " rows were written").c_str());
        for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(adler_ >> shift));
        if (!emit_data(out_.size())) return false;
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);
        png_write_chunk(png_, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
        return true;
    }

    int band_rows() const override { return band_rows_; }

    // A band filtered and deflated on its own: its first row is filtered
    // without the row above (which another thread may still be making), and
    // its deflate data ends on a byte boundary, so that bands join into one
    // stream whatever thread made each. The image's last band ends the stream.
    std::unique_ptr<EncodedBand> encode_band(int32_t first_row, int rows, const uint16_t *in) const override {
        auto band = std::make_unique<PngBand>();
        band->first_row = first_row;
        band->rows = rows;
        const BandPlan plan = plan_for(rows, in);
        z_stream z{};
        if (deflateInit2(&z, plan.level, Z_DEFLATED, -15, 8, plan.strategy) != Z_OK) return nullptr;
        std::vector<uint8_t> row(row_bytes_), prior(row_bytes_, 0), filtered(5 * (row_bytes_ + 1));
        std::vector<uint8_t> &out = band->deflated;
        out.resize(deflateBound(&z, static_cast<uLong>(rows) * (row_bytes_ + 1)) + 64);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        bool ok = true;
        for (int r = 0; r < rows && ok; ++r) {
            pack(in + static_cast<std::size_t>(r) * row_samples_, row.data());
            const uint8_t *f = filter(plan.filtering, r == 0, row.data(), prior.data(), filtered.data());
            band->adler = adler32(band->adler, f, static_cast<uInt>(row_bytes_ + 1));
            band->length += row_bytes_ + 1;
            z.next_in = const_cast<Bytef *>(f);
            z.avail_in = static_cast<uInt>(row_bytes_ + 1);
            ok = deflate(&z, Z_NO_FLUSH) == Z_OK && z.avail_in == 0;
            std::swap(row, prior);
        }
        const bool last = first_row + rows == info_.height;
        ok = ok && deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH) == (last ? Z_STREAM_END : Z_OK);
        out.resize(out.size() - z.avail_out);
        deflateEnd(&z);
        return ok ? std::move(band) : nullptr;
    }

    bool write_band(EncodedBand &encoded) override {
        auto &band = static_cast<PngBand &>(encoded);
        if (band.first_row != rows_written_ || band.rows > info_.height - rows_written_)
            return fail("bands written out of order");
        rows_written_ += band.rows;
        out_.insert(out_.end(), band.deflated.begin(), band.deflated.end());
        adler_ = adler32_combine(adler_, band.adler, static_cast<z_off_t>(band.length));
        return emit_data(out_.size() / kDataChunk * kDataChunk);
    }

private:
    bool fail(const char *message) {
        error_ = encoder_failure(file_, errno, message[0] ? message : "PNG encoding failed");
        return false;
    }

    void prepare_palette() {
        for (const uint32_t c : info_.palette) {
            colours_.push_back(png_color{static_cast<png_byte>(c >> 24), static_cast<png_byte>(c >> 16),
                                         static_cast<png_byte>(c >> 8)});
            alphas_.push_back(static_cast<png_byte>(c));
        }
        while (!alphas_.empty() && alphas_.back() == 255) alphas_.pop_back();  // opaque entries need no tRNS
    }

    // Called within the jump point: only libpng calls on prepared members.
    void set_metadata(const Metadata &meta) {
        if (meta.png_gamma > 0) png_set_gAMA_fixed(png_, info_ptr_, static_cast<png_fixed_point>(meta.png_gamma));
        if (meta.png_chromaticities.size() == 8) {
            const std::vector<uint32_t> &c = meta.png_chromaticities;
            png_set_cHRM_fixed(png_, info_ptr_, static_cast<png_fixed_point>(c[0]), static_cast<png_fixed_point>(c[1]),
                               static_cast<png_fixed_point>(c[2]), static_cast<png_fixed_point>(c[3]),
                               static_cast<png_fixed_point>(c[4]), static_cast<png_fixed_point>(c[5]),
                               static_cast<png_fixed_point>(c[6]), static_cast<png_fixed_point>(c[7]));
        }
        if (!meta.icc_profile.empty()) {
            png_set_iCCP(png_, info_ptr_, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta.icc_profile.data(),
                         static_cast<png_uint_32>(meta.icc_profile.size()));
        } else if (meta.srgb_intent >= 0) {
            png_set_sRGB(png_, info_ptr_, meta.srgb_intent);
        }
        const Resolution density = png_resolution(meta.resolution);
        if (density.known())
            png_set_pHYs(png_, info_ptr_, density.x, density.y,
                         density.unit == Resolution::Unit::PerMetre ? PNG_RESOLUTION_METER : PNG_RESOLUTION_UNKNOWN);
        if (!meta.exif.empty())  // libpng copies it
            png_set_eXIf_1(png_, info_ptr_, static_cast<png_uint_32>(meta.exif.size()),
                           const_cast<png_bytep>(meta.exif.data()));
        if (!chunks_.empty()) png_set_text(png_, info_ptr_, chunks_.data(), static_cast<int>(chunks_.size()));
    }

    // Text chunks as read; XMP as iTXt, IPTC as a raw profile, JPEG comments
    // under "Comment" (iTXt when they are UTF-8 beyond ASCII).
    void prepare_text(const Metadata &meta) {
        text_ = meta.text;
        if (!meta.xmp.empty()) text_.push_back(TextChunk{kXmpKeyword, meta.xmp, true, false, "", ""});
        if (!meta.iptc.empty())
            text_.push_back(TextChunk{std::string(kRawProfile) + "iptc", raw_profile_text("iptc", meta.iptc), false, true,
                                      "", ""});
        for (const std::string &comment : meta.comments) {
            const bool ascii = std::all_of(comment.begin(), comment.end(), [](char c) { return c > 0; });
            text_.push_back(TextChunk{"Comment", comment, !ascii && valid_utf8(comment), false, "", ""});
        }
        chunks_.assign(text_.size(), png_text{});
        for (std::size_t i = 0; i < text_.size(); ++i) {
            TextChunk &t = text_[i];
            png_text &c = chunks_[i];
            c.key = t.keyword.data();
            c.text = t.text.data();
            if (t.international) {
                c.compression = t.compressed ? PNG_ITXT_COMPRESSION_zTXt : PNG_ITXT_COMPRESSION_NONE;
                c.itxt_length = t.text.size();
                c.lang = t.language.data();
                c.lang_key = t.translated_keyword.data();
            } else {
                c.compression = t.compressed ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
                c.text_length = t.text.size();
            }
        }
    }

    static bool valid_utf8(const std::string &s) {
        for (std::size_t i = 0; i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i]);
            const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (n == 0 || i + n > s.size()) return false;
            for (std::size_t k = 1; k < n; ++k)
                if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
            i += n;
        }
        return true;
    }

    struct PngBand final : EncodedBand {
        std::vector<uint8_t> deflated;
        uLong adler = 1;        // of the band's filtered bytes
        std::size_t length = 0;  // filtered bytes
    };

    bool start_data() {
        const std::size_t bits = static_cast<std::size_t>(info_.channels) * static_cast<std::size_t>(info_.bit_depth);
        bpp_ = std::max<std::size_t>(bits / 8, 1);
        row_bytes_ = (static_cast<std::size_t>(info_.width) * bits + 7) / 8;
        row_samples_ = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        band_rows_ = std::clamp(static_cast<int>(kBandPixels / static_cast<std::size_t>(info_.width)), 1, kMaxBandRows);
        out_ = {0x78, 0x9C};  // the zlib header: deflate with a 32 KiB window
        return true;
    }

    // Flat content is told from photographic by how many pixels repeat their
    // left neighbour; indices and packed grey always go unfiltered.
    BandPlan plan_for(int rows, const uint16_t *in) const {
        if (!info_.palette.empty() || info_.bit_depth < 8) return kIndexPlan;
        const std::size_t channels = static_cast<std::size_t>(info_.channels);
        const std::size_t width = static_cast<std::size_t>(info_.width);
        uint64_t repeats = 0, pixels = 0;
        for (int r = 0; r < rows; ++r) {
            const uint16_t *row = in + static_cast<std::size_t>(r) * width * channels;
            for (std::size_t x = 1; x < width; ++x)
                repeats += std::equal(row + x * channels, row + (x + 1) * channels, row + (x - 1) * channels);
            pixels += width - 1;
        }
        return pixels > 0 && static_cast<double>(repeats) >= kFlatShare * static_cast<double>(pixels) ? kFlatPlan
                                                                                                     : kPhotoPlan;
    }

    // One row of samples as the file stores them: big-endian 16-bit words,
    // bytes, or 1, 2 or 4 bits a sample packed from the left.
    void pack(const uint16_t *src, uint8_t *dst) const {
        const std::size_t samples = row_samples_;
        if (info_.bit_depth == 16) {
            for (std::size_t i = 0; i < samples; ++i) {
                dst[2 * i] = static_cast<uint8_t>(src[i] >> 8);
                dst[2 * i + 1] = static_cast<uint8_t>(src[i]);
            }
        } else if (info_.bit_depth == 8) {
            for (std::size_t i = 0; i < samples; ++i) dst[i] = static_cast<uint8_t>(src[i]);
        } else {
            const unsigned depth = static_cast<unsigned>(info_.bit_depth), per_byte = 8 / depth;
            std::fill(dst, dst + row_bytes_, 0);
            for (std::size_t i = 0; i < samples; ++i) {
                const unsigned shift = 8 - depth * static_cast<unsigned>(i % per_byte + 1);
                dst[i / per_byte] = static_cast<uint8_t>(dst[i / per_byte] | (src[i] & ((1u << depth) - 1)) << shift);
            }
        }
    }

    // The filtered row (its type byte first) in `candidates`, which holds
    // room for five; a band's first row is filtered without the row above.
    const uint8_t *filter(Filtering filtering, bool first, const uint8_t *row, const uint8_t *prior,
                          uint8_t *candidates) const {
        switch (filtering) {
        case Filtering::None: filter_row(0, row, prior, row_bytes_, bpp_, candidates); return candidates;
        case Filtering::Paeth: filter_row(first ? 1 : 4, row, prior, row_bytes_, bpp_, candidates); return candidates;
        case Filtering::Adaptive: break;
        }
        const uint8_t *best = nullptr;
        uint64_t best_cost = UINT64_MAX;
        for (int type = 0; type < (first ? 2 : 5); ++type) {
            uint8_t *candidate = candidates + static_cast<std::size_t>(type) * (row_bytes_ + 1);
            filter_row(type, row, prior, row_bytes_, bpp_, candidate);
            const uint64_t cost = filtered_cost(candidate + 1, row_bytes_);
            if (cost < best_cost) {
                best_cost = cost;
                best = candidate;
            }
        }
        return best;
    }

    // Writes the first `n` bytes of what is gathered as image data chunks.
    bool emit_data(std::size_t n) {
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);
        for (std::size_t at = 0; at < n; at += kDataChunk)
            png_write_chunk(png_, reinterpret_cast<png_const_bytep>("IDAT"), out_.data() + at, std::min(kDataChunk, n - at));
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
    }

    // Bands of about this many pixels: enough for deflate, few enough that
    // several threads' bands stay small in memory.
    static constexpr std::size_t kBandPixels = 1u << 18;
    static constexpr int kMaxBandRows = 64;
    static constexpr std::size_t kDataChunk = 1u << 16;

    std::FILE *file_ = nullptr;
    RasterInfo info_;
    png_structp png_ = nullptr;
    png_infop info_ptr_ = nullptr;
    Messages messages_;
    std::vector<png_color> colours_;
    std::vector<png_byte> alphas_;
    std::vector<TextChunk> text_;
    std::vector<png_text> chunks_;  // point into text_
    std::size_t bpp_ = 1, row_bytes_ = 0;
    int band_rows_ = 1;
    int32_t rows_gathered_ = 0;     // by write_rows
    std::vector<uint16_t> pending_;  // rows gathered for the next band
    int32_t rows_written_ = 0;      // by write_band
    uLong adler_ = 1;               // of everything filtered so far
    std::vector<uint8_t> out_;      // deflate data not yet in a chunk
};

}  // namespace

std::unique_ptr<RasterReader> open_png_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<PngReader>(error, file, limits);
}

std::unique_ptr<RasterWriter> open_png_writer(std::FILE *file, const RasterInfo &info, std::string *error) {
    return open_codec<PngWriter>(error, file, info);
}

}  // namespace zenk
