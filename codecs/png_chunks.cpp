// PNG metadata: the chunk walk before libpng reads a file, the colour
// description, EXIF and text chunks read, and the same written back.
#include "detail/png.h"

#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace qova::codecs::png {

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
    auto *m = static_cast<Messages *>(png_get_error_ptr(png));
    if (m && m->text[0] == '\0') std::snprintf(m->text, sizeof m->text, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp png, png_const_charp message) {
    auto *m = static_cast<Messages *>(png_get_error_ptr(png));
    if (m && m->warning[0] == '\0') std::snprintf(m->warning, sizeof m->warning, "%s", message);
}

namespace {

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

bool valid_utf8(const std::string &s) {
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

}  // namespace

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
                const std::size_t start = map.trailing.size();
                map.trailing.append(reinterpret_cast<const char *>(head), sizeof head);
                map.trailing.resize(start + sizeof head + length + 4);
                if (std::fread(&map.trailing[start + sizeof head], 1, length + 4, file) != length + 4) {
                    map.trailing.resize(start);
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

bool read_trailing_chunks(const std::string &chunks, Metadata &meta) { return TrailingChunks::read(chunks, meta); }

void read_colour_metadata(png_structp png, png_infop info, const ChunkMap &map, Metadata &meta) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) && profile)
        meta.icc_profile.assign(profile, profile + length);
    int intent = 0;
    if (png_get_sRGB(png, info, &intent)) meta.srgb_intent = intent;
    png_fixed_point gamma = 0;
    if (map.has_gamma && png_get_gAMA_fixed(png, info, &gamma) && gamma > 0)
        meta.png_gamma = static_cast<uint32_t>(gamma);
    png_fixed_point c[8] = {};
    if (map.has_chromaticities && png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]))
        meta.png_chromaticities.assign(c, c + 8);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && x > 0 && y > 0)
        meta.resolution =
            Resolution{unit == PNG_RESOLUTION_METER ? Resolution::Unit::PerMetre : Resolution::Unit::Aspect, x, y};
}

void WrittenMetadata::set(png_structp png, png_infop info, const Metadata &meta) const {
    if (meta.png_gamma > 0) png_set_gAMA_fixed(png, info, static_cast<png_fixed_point>(meta.png_gamma));
    if (meta.png_chromaticities.size() == 8) {
        const std::vector<uint32_t> &c = meta.png_chromaticities;
        png_set_cHRM_fixed(png, info, static_cast<png_fixed_point>(c[0]), static_cast<png_fixed_point>(c[1]),
                           static_cast<png_fixed_point>(c[2]), static_cast<png_fixed_point>(c[3]),
                           static_cast<png_fixed_point>(c[4]), static_cast<png_fixed_point>(c[5]),
                           static_cast<png_fixed_point>(c[6]), static_cast<png_fixed_point>(c[7]));
    }
    if (!meta.icc_profile.empty()) {
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, meta.icc_profile.data(),
                     static_cast<png_uint_32>(meta.icc_profile.size()));
    } else if (meta.srgb_intent >= 0) {
        png_set_sRGB(png, info, meta.srgb_intent);
    }
    const Resolution density = png_resolution(meta.resolution);
    if (density.known())
        png_set_pHYs(png, info, density.x, density.y,
                     density.unit == Resolution::Unit::PerMetre ? PNG_RESOLUTION_METER : PNG_RESOLUTION_UNKNOWN);
    if (!meta.exif.empty())  // libpng copies it
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(meta.exif.size()), const_cast<png_bytep>(meta.exif.data()));
    if (!chunks_.empty()) png_set_text(png, info, chunks_.data(), static_cast<int>(chunks_.size()));
}

// Text chunks as read; XMP as iTXt, IPTC as a raw profile, JPEG comments
// under "Comment" (iTXt when they are UTF-8 beyond ASCII).
void WrittenMetadata::prepare(const Metadata &meta) {
    text_ = meta.text;
    if (!meta.xmp.empty()) text_.push_back(TextChunk{kXmpKeyword, meta.xmp, true, false, "", ""});
    if (!meta.iptc.empty())
        text_.push_back(
            TextChunk{std::string(kRawProfile) + "iptc", raw_profile_text("iptc", meta.iptc), false, true, "", ""});
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

}  // namespace qova::codecs::png
