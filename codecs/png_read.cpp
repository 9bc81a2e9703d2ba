// PNG reading: libpng for the header, metadata, interlaced, palette and
// low-bit images; plain images' rows inflated and unfiltered here.
#include "detail/png.h"

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace qova::codecs {

using namespace png;

namespace {

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
            const __m128i use_a =
                _mm_andnot_si128(_mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc)), ones);
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
        const bool plain = colour != PNG_COLOR_TYPE_PALETTE && depth >= 8 &&
                           !png_get_valid(png_, info_ptr_, PNG_INFO_tRNS) &&
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
        read_colour_metadata(png_, info_ptr_, map, info_.metadata);
        take_exif_and_text(png_, info_ptr_, info_.metadata);
        if (!map.trailing.empty() && !read_trailing_chunks(map.trailing, info_.metadata))
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

}  // namespace

std::unique_ptr<RasterReader> open_png_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<PngReader>(error, file, limits);
}

}  // namespace qova::codecs
