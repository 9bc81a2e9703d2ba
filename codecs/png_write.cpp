// PNG writing: libpng writes the header and metadata chunks; the image data
// is filtered and deflated here, band by band, so that the filters and the
// deflate strategy follow the content and bands are made on several threads.
#include "detail/banded_writer.h"
#include "detail/png.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>

namespace qova::codecs {

using namespace png;

namespace {

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

// Smallest PNG depth (1, 2, 4 or 8 bits) whose levels include every 8-bit
// grey value in `levels`.
int grey_depth(const std::vector<uint16_t> &levels) {
    for (int depth : {1, 2, 4}) {
        const uint16_t step = static_cast<uint16_t>(255 / ((1 << depth) - 1));
        if (std::all_of(levels.begin(), levels.end(), [&](uint16_t v) { return v % step == 0; })) return depth;
    }
    return 8;
}

int palette_depth(std::size_t entries) {
    for (int depth : {1, 2, 4})
        if (entries <= (std::size_t{1} << depth)) return depth;
    return 8;
}

class PngWriter final : public BandedWriter {
public:
    ~PngWriter() override { png_destroy_write_struct(&png_, &info_ptr_); }

    bool open(std::FILE *file, const RasterInfo &info) {
        file_ = file;
        info_ = info;
        if (!info_.palette.empty()) choose_indexed_encoding();
        // Everything libpng is given is made ready first: a longjmp out of a
        // function must not skip destructors.
        prepare_palette();
        metadata_.prepare(info_.metadata);
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages_, on_png_error, on_png_warning);
        if (!png_) return fail("out of memory");
        info_ptr_ = png_create_info_struct(png_);
        if (!info_ptr_) return fail("out of memory");
        if (setjmp(png_jmpbuf(png_))) return fail(messages_.text);

        png_init_io(png_, file);
        // Metadata libpng finds unusable (a damaged ICC profile, say) is left
        // out with a warning rather than failing the image.
        png_set_benign_errors(png_, 1);
        const bool indexed = !info_.palette.empty();
        static const int kColourTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                           PNG_COLOR_TYPE_RGB_ALPHA};
        png_set_IHDR(png_, info_ptr_, static_cast<png_uint_32>(info_.width), static_cast<png_uint_32>(info_.height),
                     info_.bit_depth, indexed ? PNG_COLOR_TYPE_PALETTE : kColourTypes[info_.channels],
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (indexed) {
            png_set_PLTE(png_, info_ptr_, colours_.data(), static_cast<int>(colours_.size()));
            if (!alphas_.empty())
                png_set_tRNS(png_, info_ptr_, alphas_.data(), static_cast<int>(alphas_.size()), nullptr);
        }
        metadata_.set(png_, info_ptr_, info_.metadata);
        png_write_info(png_, info_ptr_);
        if (messages_.warning[0]) warnings_.push_back(std::string("left out of the PNG: ") + messages_.warning);
        return start_data();
    }

    bool finish() override {
        if (rows_written_ != info_.height)
            return fail(
                ("only " + std::to_string(rows_written_) + " of " + std::to_string(info_.height) + " rows were written")
                    .c_str());
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
        std::vector<uint16_t> samples;
        if (!sample_of_index_.empty()) {  // indices into the caller's colours
            samples.resize(static_cast<std::size_t>(rows) * row_samples_);
            for (std::size_t i = 0; i < samples.size(); ++i) {
                if (in[i] >= sample_of_index_.size()) return nullptr;
                samples[i] = sample_of_index_[in[i]];
            }
            in = samples.data();
        }
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
    bool refuse(const std::string &message) override { return fail(message.c_str()); }

    // Rows of indices into the caller's colours become grey at the fewest
    // bits that hold its levels (grey colours), or a palette of the distinct
    // colours, transparent ones first so that the tRNS chunk is short, at the
    // fewest bits that index it.
    void choose_indexed_encoding() {
        const std::vector<uint32_t> colours = std::move(info_.palette);
        info_.palette.clear();
        sample_of_index_.resize(colours.size());
        if (info_.channels == 1) {
            std::vector<uint16_t> levels(colours.size());
            for (std::size_t i = 0; i < colours.size(); ++i) levels[i] = static_cast<uint16_t>(colours[i] >> 24);
            info_.bit_depth = grey_depth(levels);
            const uint16_t step = static_cast<uint16_t>(255 / info_.max_value());
            for (std::size_t i = 0; i < levels.size(); ++i)
                sample_of_index_[i] = static_cast<uint16_t>(levels[i] / step);
            return;
        }
        std::vector<uint32_t> palette = colours;
        std::sort(palette.begin(), palette.end(), [](uint32_t x, uint32_t y) {
            const bool tx = (x & 0xFF) != 255, ty = (y & 0xFF) != 255;
            return tx != ty ? tx : x < y;
        });
        palette.erase(std::unique(palette.begin(), palette.end()), palette.end());
        info_.channels = 1;
        info_.bit_depth = palette_depth(palette.size());
        for (std::size_t i = 0; i < colours.size(); ++i)
            sample_of_index_[i] =
                static_cast<uint16_t>(std::find(palette.begin(), palette.end(), colours[i]) - palette.begin());
        info_.palette = std::move(palette);
    }

    void prepare_palette() {
        for (const uint32_t c : info_.palette) {
            colours_.push_back(png_color{static_cast<png_byte>(c >> 24), static_cast<png_byte>(c >> 16),
                                         static_cast<png_byte>(c >> 8)});
            alphas_.push_back(static_cast<png_byte>(c));
        }
        while (!alphas_.empty() && alphas_.back() == 255) alphas_.pop_back();  // opaque entries need no tRNS
    }

    struct PngBand final : EncodedBand {
        std::vector<uint8_t> deflated;
        uLong adler = 1;         // of the band's filtered bytes
        std::size_t length = 0;  // filtered bytes
    };

    bool start_data() {
        const std::size_t bits = static_cast<std::size_t>(info_.channels) * static_cast<std::size_t>(info_.bit_depth);
        bpp_ = std::max<std::size_t>(bits / 8, 1);
        row_bytes_ = (static_cast<std::size_t>(info_.width) * bits + 7) / 8;
        row_samples_ = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        band_rows_ = std::clamp(static_cast<int>(kBandPixels / static_cast<std::size_t>(info_.width)), 1, kMaxBandRows);
        start_bands(info_.height, row_samples_);
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
            png_write_chunk(png_, reinterpret_cast<png_const_bytep>("IDAT"), out_.data() + at,
                            std::min(kDataChunk, n - at));
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
    WrittenMetadata metadata_;
    std::vector<uint16_t> sample_of_index_;  // for rows of indices into the caller's colours
    std::size_t bpp_ = 1, row_bytes_ = 0;
    int band_rows_ = 1;
    int32_t rows_written_ = 0;  // by write_band
    uLong adler_ = 1;           // of everything filtered so far
    std::vector<uint8_t> out_;  // deflate data not yet in a chunk
};

}  // namespace

std::unique_ptr<RasterWriter> open_png_writer(std::FILE *file, const RasterInfo &info, std::string *error) {
    return open_codec<PngWriter>(error, file, info);
}

}  // namespace qova::codecs
