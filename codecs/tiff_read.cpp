// TIFF read through libtiff a band of rows at a time: strips by
// scanline, tiles a row of tiles at a time, separate planes a strip of each
// at a time. Grey (also low-bit and white-is-zero), palette, RGB and YCbCr
// JPEG-in-TIFF are read, with an alpha channel where there is one; what the
// codecs cannot hold (floating-point or signed samples, CMYK, several pages) is
// refused by name.
#include "codecs/raster.h"
#include "detail/exif_ifd.h"
#include "detail/tiff.h"
#include "temporary_file.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qova::codecs {

using namespace tiff;

namespace {

class TiffReader final : public RasterReader {
public:
    ~TiffReader() override {
        if (tif_) TIFFClose(tif_);
    }

    bool open(std::FILE *file, const ReadLimits &limits) {
        file_ = file;
        info_.format = FileFormat::Tiff;
        tif_ = open_tiff(file, "rm", messages_);  // "m": no memory mapping
        if (!tif_) return fail("damaged or truncated TIFF: its directory cannot be read");
        const uint32_t width = field<uint32_t>(tif_, TIFFTAG_IMAGEWIDTH, 0);
        const uint32_t height = field<uint32_t>(tif_, TIFFTAG_IMAGELENGTH, 0);
        error_ = size_problem(width, height, limits);
        if (!error_.empty()) return false;
        if (width > INT32_MAX || height > INT32_MAX) return refuse("sides above 2^31 pixels");
        if (!check_pages() || !read_layout()) return false;
        info_.width = static_cast<int32_t>(width);
        info_.height = static_cast<int32_t>(height);
        read_metadata();
        return start_reading(limits);
    }

    bool read_rows(int rows, uint16_t *out) override {
        const std::size_t samples = static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(info_.channels);
        for (int r = 0; r < rows; ++r, out += samples) {
            if (next_row_ >= band_first_ + band_rows_ && !load_band()) return false;
            convert_row(band_.data() + static_cast<std::size_t>(next_row_ - band_first_) * row_bytes_, out);
            ++next_row_;
        }
        return true;
    }

private:
    // What is wrong in the codecs' words, libtiff's detail after it.
    bool fail(const std::string &message) {
        error_ = message + (messages_.detail.empty() ? "" : " (libtiff: " + messages_.detail + ")");
        return false;
    }

    // Pages beyond the first that are images of their own (not reduced copies).
    bool check_pages() {
        const tdir_t directories = TIFFNumberOfDirectories(tif_);
        int pages = 0;
        for (tdir_t d = 0; d < directories && TIFFSetDirectory(tif_, d); ++d)
            pages += (field<uint32_t>(tif_, TIFFTAG_SUBFILETYPE, 0) & FILETYPE_REDUCEDIMAGE) == 0;
        if (!TIFFSetDirectory(tif_, 0)) return fail("damaged or truncated TIFF: its directory cannot be read");
        if (pages > 1) {
            error_ = "multi-page TIFF (" + std::to_string(pages) + " pages): only single images can be processed";
            return false;
        }
        return true;
    }

    bool read_layout() {
        bits_ = field<uint16_t>(tif_, TIFFTAG_BITSPERSAMPLE, 1);
        samples_ = field<uint16_t>(tif_, TIFFTAG_SAMPLESPERPIXEL, 1);
        photometric_ = field<uint16_t>(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        const uint16_t format = field<uint16_t>(tif_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
        const uint16_t compression = field<uint16_t>(tif_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        separate_ = field<uint16_t>(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE;
        if (format == SAMPLEFORMAT_IEEEFP) return refuse("floating-point samples");
        if (format != SAMPLEFORMAT_UINT) return refuse("signed samples");
        if (photometric_ == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
            TIFFSetField(tif_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // libjpeg converts
            photometric_ = PHOTOMETRIC_RGB;
        }
        const bool grey = photometric_ == PHOTOMETRIC_MINISBLACK || photometric_ == PHOTOMETRIC_MINISWHITE;
        const bool palette = photometric_ == PHOTOMETRIC_PALETTE;
        if (!grey && !palette && photometric_ != PHOTOMETRIC_RGB) {
            static const struct {
                uint16_t photometric;
                const char *name;
            } kNames[] = {
                {PHOTOMETRIC_SEPARATED, "CMYK"},    {PHOTOMETRIC_YCBCR, "YCbCr without JPEG compression"},
                {PHOTOMETRIC_CIELAB, "CIE L*a*b*"}, {PHOTOMETRIC_ICCLAB, "ICC L*a*b*"},
                {PHOTOMETRIC_ITULAB, "ITU L*a*b*"},
            };
            for (const auto &n : kNames)
                if (n.photometric == photometric_) return refuse(n.name);
            return refuse("photometric interpretation " + std::to_string(photometric_));
        }
        const bool low_bits = bits_ == 1 || bits_ == 2 || bits_ == 4;
        if (!(bits_ == 8 || bits_ == 16 || (low_bits && (grey || palette))))
            return refuse(std::to_string(bits_) + "-bit samples");
        colours_ = grey || palette ? 1 : 3;
        if (samples_ < colours_) return refuse("too few samples a pixel");
        if (palette && !read_palette()) return false;
        // One extra sample that is transparency becomes alpha; others are left out.
        uint16_t extra_count = 0;
        uint16_t *extra = nullptr;
        TIFFGetField(tif_, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
        alpha_ = bits_ >= 8 && samples_ > colours_ && extra_count > 0 && extra &&
                 (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA);
        if (samples_ > colours_ + (alpha_ ? 1 : 0))
            warnings_.push_back(std::to_string(samples_ - colours_ - (alpha_ ? 1 : 0)) +
                                " extra channels that are not transparency were left out");
        premultiplied_ = alpha_ && extra[0] == EXTRASAMPLE_ASSOCALPHA;
        info_.channels = static_cast<int>((palette ? 3 : colours_) + (alpha_ ? 1 : 0));
        info_.bit_depth = bits_ == 16 || palette ? 16 : 8;  // colour maps are 16-bit
        return true;
    }

    bool refuse(const std::string &what) {
        error_ = "TIFF with " + what + " is not supported";
        return false;
    }

    bool read_palette() {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif_, TIFFTAG_COLORMAP, &r, &g, &b) != 1 || !r || !g || !b)
            return fail("palette TIFF without a colour map");
        const std::size_t n = std::size_t{1} << bits_;
        map_.resize(n * 3);
        for (std::size_t i = 0; i < n; ++i) {
            map_[i * 3] = r[i];
            map_[i * 3 + 1] = g[i];
            map_[i * 3 + 2] = b[i];
        }
        return true;
    }

    void read_metadata() {
        Metadata &meta = info_.metadata;
        meta.icc_profile = bytes_field(tif_, TIFFTAG_ICCPROFILE);
        const std::vector<uint8_t> xmp = bytes_field(tif_, TIFFTAG_XMLPACKET);
        meta.xmp.assign(xmp.begin(), xmp.end());
        // Photoshop's copy first: some writers leave the IPTC tag cut short.
        meta.iptc = iptc_from_photoshop(bytes_field(tif_, TIFFTAG_PHOTOSHOP));
        if (meta.iptc.empty()) meta.iptc = bytes_field(tif_, TIFFTAG_RICHTIFFIPTC);  // libtiff counts its bytes
        if (!TIFFIsBigTIFF(tif_))
            meta.exif = exif_from_tiff(read_at(), TIFFIsBigEndian(tif_) != 0, TIFFCurrentDirOffset(tif_));
        const uint16_t orientation = field<uint16_t>(tif_, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        if (meta.exif.empty() && orientation > 1 && orientation <= 8) meta.exif = orientation_only_exif(orientation);
        float x = 0, y = 0;
        const uint16_t unit = field<uint16_t>(tif_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        if (TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &x) == 1 && TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &y) == 1 &&
            x >= 1 && y >= 1 && x < 1e6f && y < 1e6f) {
            const auto whole = [](float v) { return static_cast<uint32_t>(v + 0.5f); };
            meta.resolution = Resolution{unit == RESUNIT_CENTIMETER ? Resolution::Unit::PerCentimetre
                                         : unit == RESUNIT_NONE     ? Resolution::Unit::Aspect
                                                                    : Resolution::Unit::PerInch,
                                         whole(x), whole(y)};
        }
    }

    // Reads bytes anywhere in the file, leaving libtiff's position as it was.
    ReadAt read_at() const {
        return [file = file_](uint64_t offset, std::size_t n, uint8_t *out) {
            const off_t at = ftello(file);
            const bool ok = at >= 0 && offset <= static_cast<uint64_t>(INT64_MAX) &&
                            fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, n, file) == n;
            std::clearerr(file);
            return fseeko(file, at, SEEK_SET) == 0 && ok;
        };
    }

    bool start_reading(const ReadLimits &limits) {
        tiled_ = TIFFIsTiled(tif_) != 0;
        const uint64_t pixel_bits = static_cast<uint64_t>(bits_) * (separate_ ? 1 : samples_);
        unit_bytes_ = static_cast<std::size_t>((static_cast<uint64_t>(info_.width) * pixel_bits + 7) /
                                               8);  // a row of one plane or all
        row_bytes_ = separate_ ? unit_bytes_ * samples_ : unit_bytes_;
        if (tiled_) {
            tile_width_ = field<uint32_t>(tif_, TIFFTAG_TILEWIDTH, 0);
            tile_height_ = field<uint32_t>(tif_, TIFFTAG_TILELENGTH, 0);
            if (tile_width_ == 0 || tile_height_ == 0 || tile_height_ > 65536)
                return fail("damaged TIFF: impossible tile size");
            if (TIFFTileSize64(tif_) == 0) return fail("damaged TIFF: impossible tile size");
            // A row of tiles is held at once, with a plane of it and a tile.
            const uint64_t band = uint64_t{tile_height_} * row_bytes_;
            error_ = memory_problem(band + uint64_t{tile_height_} * unit_bytes_ + TIFFTileSize64(tif_), limits);
            if (!error_.empty()) return false;
            tile_.resize(static_cast<std::size_t>(TIFFTileSize64(tif_)));
        } else if (separate_) {
            strip_rows_ = std::min<uint32_t>(field<uint32_t>(tif_, TIFFTAG_ROWSPERSTRIP, UINT32_MAX),
                                             static_cast<uint32_t>(info_.height));
            // A strip of every plane is held at once, with one plane of it.
            error_ = memory_problem(uint64_t{strip_rows_} * (row_bytes_ + unit_bytes_), limits);
            if (!error_.empty()) return false;
        }
        return true;
    }

    // The next band of rows, interleaved, in band_: a scanline, a row of
    // tiles, or a strip of every plane.
    bool load_band() {
        band_first_ = next_row_;
        const uint32_t row = static_cast<uint32_t>(next_row_);
        if (!tiled_ && !separate_) {
            band_rows_ = 1;
            if (TIFFReadScanline(tif_, band_.reserve(row_bytes_), row, 0) < 0)
                return fail("damaged or truncated TIFF image data");
            return true;
        }
        const uint32_t step = tiled_ ? tile_height_ : strip_rows_;
        band_first_ = static_cast<int32_t>(row / step * step);
        band_rows_ = std::min<int32_t>(static_cast<int32_t>(step), info_.height - band_first_);
        band_.reserve(static_cast<std::size_t>(band_rows_) * row_bytes_);
        return tiled_ ? load_tiles() : load_strips();
    }

    bool load_tiles() {
        const std::size_t planes = separate_ ? samples_ : 1;
        const std::size_t pixel_bits = static_cast<std::size_t>(bits_) * (separate_ ? 1 : samples_);
        const std::size_t tile_row_bytes = (static_cast<std::size_t>(tile_width_) * pixel_bits + 7) / 8;
        if (bits_ < 8 && tile_width_ % 8 != 0) return fail("TIFF tiles of packed samples are not supported");
        // Contiguous samples go straight into the band; a plane is gathered
        // first, then interleaved.
        uint8_t *const target =
            separate_ ? plane_.reserve(static_cast<std::size_t>(band_rows_) * unit_bytes_) : band_.data();
        for (std::size_t p = 0; p < planes; ++p) {
            for (uint32_t x = 0; x < static_cast<uint32_t>(info_.width); x += tile_width_) {
                const uint32_t tile =
                    TIFFComputeTile(tif_, x, static_cast<uint32_t>(band_first_), 0, static_cast<uint16_t>(p));
                if (TIFFReadEncodedTile(tif_, tile, tile_.data(), static_cast<tmsize_t>(tile_.size())) < 0)
                    return fail("damaged or truncated TIFF image data");
                const std::size_t at = static_cast<std::size_t>(x) * pixel_bits / 8;
                const std::size_t n = std::min(tile_row_bytes, unit_bytes_ - at);
                for (int32_t r = 0; r < band_rows_; ++r)
                    std::memcpy(target + static_cast<std::size_t>(r) * unit_bytes_ + at,
                                tile_.data() + static_cast<std::size_t>(r) * tile_row_bytes, n);
            }
            if (separate_) interleave(target, p);
        }
        return true;
    }

    bool load_strips() {
        const std::size_t size = static_cast<std::size_t>(band_rows_) * unit_bytes_;
        uint8_t *const plane = plane_.reserve(size);
        const uint32_t strip_in_plane = static_cast<uint32_t>(band_first_) / strip_rows_;
        const uint32_t strips_per_plane = (static_cast<uint32_t>(info_.height) + strip_rows_ - 1) / strip_rows_;
        for (std::size_t p = 0; p < samples_; ++p) {
            const uint32_t strip = strip_in_plane + static_cast<uint32_t>(p) * strips_per_plane;
            const tmsize_t got = TIFFReadEncodedStrip(tif_, strip, plane, static_cast<tmsize_t>(size));
            if (got < 0) return fail("damaged or truncated TIFF image data");
            std::memset(plane + got, 0, size - static_cast<std::size_t>(got));  // a strip cut short reads as zeros
            interleave(plane, p);
        }
        return true;
    }

    // Puts plane `p` of a band into the interleaved band (8 or 16 bits).
    void interleave(const uint8_t *plane, std::size_t p) {
        if (samples_ == 1) {  // one plane, which may pack several pixels a byte, is the band
            std::memcpy(band_.data(), plane, static_cast<std::size_t>(band_rows_) * unit_bytes_);
            return;
        }
        const std::size_t bytes = bits_ / 8, pixels = static_cast<std::size_t>(info_.width);
        for (int32_t r = 0; r < band_rows_; ++r) {
            const uint8_t *src = plane + static_cast<std::size_t>(r) * unit_bytes_;
            uint8_t *dst = band_.data() + static_cast<std::size_t>(r) * row_bytes_;
            for (std::size_t x = 0; x < pixels; ++x)
                std::memcpy(dst + (x * samples_ + p) * bytes, src + x * bytes, bytes);
        }
    }

    // One row of the file's samples as the codecs give them: colours, then alpha.
    void convert_row(const uint8_t *row, uint16_t *out) const {
        const auto sample = [&](std::size_t i) -> uint32_t {  // the i-th sample of the row
            if (bits_ == 16) {
                uint16_t v;
                std::memcpy(&v, row + i * 2, 2);  // libtiff gives host order
                return v;
            }
            if (bits_ == 8) return row[i];
            const unsigned per_byte = 8 / bits_, shift = 8 - bits_ * static_cast<unsigned>(i % per_byte + 1);
            return (row[i / per_byte] >> shift) & ((1u << bits_) - 1);
        };
        const uint32_t top = (1u << bits_) - 1;
        const bool palette = photometric_ == PHOTOMETRIC_PALETTE;
        for (std::size_t x = 0; x < static_cast<std::size_t>(info_.width); ++x) {
            const std::size_t first = x * samples_;
            std::size_t k = 0;
            if (palette) {
                const std::size_t index = sample(first);
                for (std::size_t c = 0; c < 3; ++c) out[k++] = map_[index * 3 + c];
            } else {
                for (std::size_t c = 0; c < colours_; ++c) {
                    uint32_t v = sample(first + c);
                    if (photometric_ == PHOTOMETRIC_MINISWHITE) v = top - v;
                    if (bits_ < 8) v = v * 255 / top;  // 1, 2 and 4 bits spread to 8
                    out[k++] = static_cast<uint16_t>(v);
                }
            }
            if (alpha_) {
                uint32_t a = sample(first + colours_);
                if (palette && bits_ == 8) a *= 257;  // the colour map is 16-bit
                if (premultiplied_) {                 // colours divided back, so operators see them as they are
                    const uint32_t most = palette ? 65535 : top;
                    for (std::size_t c = 0; c < k; ++c)
                        out[c] = static_cast<uint16_t>(a ? std::min((out[c] * most + a / 2) / a, most) : 0);
                }
                out[k] = static_cast<uint16_t>(a);
            }
            out += info_.channels;
        }
    }

    std::FILE *file_ = nullptr;
    TIFF *tif_ = nullptr;
    Messages messages_;
    uint16_t bits_ = 8, samples_ = 1, photometric_ = 0;
    std::size_t colours_ = 1;
    bool alpha_ = false, premultiplied_ = false, separate_ = false, tiled_ = false;
    std::vector<uint16_t> map_;  // colour map: RGB a palette entry
    std::size_t unit_bytes_ = 0, row_bytes_ = 0;
    uint32_t tile_width_ = 0, tile_height_ = 0, strip_rows_ = 0;
    // A band and a plane may be large: pages are touched only as data comes.
    class Bytes {
    public:
        uint8_t *reserve(std::size_t n) {
            if (n > size_) {
                data_ = uninitialised_buffer<uint8_t>(n);
                size_ = n;
            }
            return data_.get();
        }
        uint8_t *data() const { return data_.get(); }

    private:
        std::unique_ptr<uint8_t[]> data_;
        std::size_t size_ = 0;
    };
    Bytes band_, plane_;
    std::vector<uint8_t> tile_;
    int32_t band_first_ = 0, band_rows_ = 0, next_row_ = 0;
};

}  // namespace

std::unique_ptr<RasterReader> open_tiff_reader(std::FILE *file, const ReadLimits &limits, std::string *error) {
    return open_codec<TiffReader>(error, file, limits);
}

}  // namespace qova::codecs
