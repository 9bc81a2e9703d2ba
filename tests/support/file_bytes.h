// Image files built and taken apart byte by byte, and decoded by a second,
// independent decoder (stb_image): what the tool writes is checked against
// these, never only against the project's own codecs.
#ifndef QOVA_TESTS_FILE_BYTES_H
#define QOVA_TESTS_FILE_BYTES_H

#include <stb_image.h>
#include <stb_image_write.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bytes {

inline void put16(std::string &s, uint32_t v) {
    s += static_cast<char>((v >> 8) & 0xFF);
    s += static_cast<char>(v & 0xFF);
}
inline void put32(std::string &s, uint32_t v) {
    put16(s, v >> 16);
    put16(s, v & 0xFFFF);
}
inline uint32_t get16(const std::string &s, std::size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 8 | static_cast<uint8_t>(s[at + 1]);
}
inline uint32_t get32(const std::string &s, std::size_t at) { return get16(s, at) << 16 | get16(s, at + 2); }

// A display RGB profile with one text tag. (libpng refuses an iCCP chunk
// whose compressed profile is shorter than about 90 bytes, so the text does
// not compress.)
inline std::string icc_profile() {
    std::string text = "text";
    text += std::string(4, '\0');
    for (uint32_t i = 0; i < 192; ++i) text += static_cast<char>('!' + (i * 7919 + i * i * 31) % 90);
    std::string p;
    put32(p, static_cast<uint32_t>(144 + text.size()));
    put32(p, 0);
    put32(p, 0x02100000);
    p += "mntrRGB XYZ ";
    for (uint32_t v : {2024u, 1u, 1u, 0u, 0u, 0u}) put16(p, v);
    p += "acsp";
    p += std::string(24, '\0');                                   // platform, flags, maker, model, attributes
    put32(p, 0);                                                  // perceptual
    for (uint32_t v : {0xF6D6u, 0x10000u, 0xD32Du}) put32(p, v);  // D50
    p += std::string(48, '\0');                                   // creator, id, reserved
    put32(p, 1);                                                  // one tag: copyright, right after the table
    p += "cprt";
    put32(p, 144);
    put32(p, static_cast<uint32_t>(text.size()));
    return p + text;
}
// ---- PNG --------------------------------------------------------------------

inline std::string png_chunk(const std::string &type, const std::string &data) {
    std::string c;
    put32(c, static_cast<uint32_t>(data.size()));
    const std::string body = type + data;
    c += body;
    put32(c, static_cast<uint32_t>(
                 crc32(0, reinterpret_cast<const Bytef *>(body.data()), static_cast<uInt>(body.size()))));
    return c;
}

inline std::string deflated(const std::string &raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(&out[0]), &size, reinterpret_cast<const Bytef *>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

inline std::string inflated(const std::string &packed) {
    std::string out(1 << 20, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef *>(&out[0]), &size, reinterpret_cast<const Bytef *>(packed.data()),
                   static_cast<uLong>(packed.size())) != Z_OK)
        throw std::runtime_error("uncompress failed");
    out.resize(size);
    return out;
}

// A PNG of `rows` (each row's bytes as stored, without the filter byte, which
// is 0), with `before` chunks ahead of the image data and `after` chunks
// behind it.
inline std::string png_file(uint32_t width, uint32_t height, int depth, int colour_type,
                            const std::vector<std::string> &rows, const std::string &before = "",
                            const std::string &after = "") {
    std::string ihdr;
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr += static_cast<char>(depth);
    ihdr += static_cast<char>(colour_type);
    ihdr += std::string(3, '\0');
    std::string raw;
    for (const std::string &row : rows) raw += '\0' + row;
    return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", ihdr) + before + png_chunk("IDAT", deflated(raw)) +
           after + png_chunk("IEND", "");
}

// An 8-bit RGB PNG of noise from a fixed sequence (`seed` picks one).
inline std::string noise_png(uint32_t width, uint32_t height, unsigned seed = 1) {
    std::vector<std::string> rows;
    uint32_t state = seed;
    for (uint32_t y = 0; y < height; ++y) {
        std::string row;
        for (uint32_t i = 0; i < width * 3; ++i) {
            state = state * 1103515245u + 12345u;
            row += static_cast<char>(state >> 24);
        }
        rows.push_back(row);
    }
    return png_file(width, height, 8, 2, rows);
}

// 16-bit samples as PNG stores them, big-endian.
inline std::string be16_row(const std::vector<uint16_t> &samples) {
    std::string row;
    for (uint16_t v : samples) put16(row, v);
    return row;
}

struct Chunk {
    std::string type, data;
};

inline std::vector<Chunk> png_chunks(const std::string &file) {
    std::vector<Chunk> chunks;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = get32(file, at);
        if (at + 12 + length > file.size()) break;
        chunks.push_back(Chunk{file.substr(at + 4, 4), file.substr(at + 8, length)});
        at += 12 + length;
    }
    return chunks;
}

inline std::vector<std::string> chunks_of(const std::vector<Chunk> &chunks, const std::string &type) {
    std::vector<std::string> found;
    for (const Chunk &c : chunks)
        if (c.type == type) found.push_back(c.data);
    return found;
}

inline std::vector<std::string> chunk_types(const std::vector<Chunk> &chunks) {
    std::vector<std::string> types;
    for (const Chunk &c : chunks) types.push_back(c.type);
    return types;
}

// ---- JPEG -------------------------------------------------------------------

struct Segment {
    int marker;  // 0xE0.. for APPn, 0xFE for COM, 0xC0.. for SOFn
    std::string data;
    bool operator==(const Segment &o) const { return marker == o.marker && data == o.data; }
};

inline std::string jpeg_segment(int marker, const std::string &data) {
    std::string s = {'\xFF', static_cast<char>(marker)};
    put16(s, static_cast<uint32_t>(data.size() + 2));
    return s + data;
}

// The segments from the start of image to the first scan.
inline std::vector<Segment> jpeg_segments(const std::string &file) {
    std::vector<Segment> segments;
    for (std::size_t at = 2; at + 4 <= file.size() && static_cast<uint8_t>(file[at]) == 0xFF;) {
        const int marker = static_cast<uint8_t>(file[at + 1]);
        const uint32_t length = get16(file, at + 2);
        if (length < 2 || at + 2 + length > file.size()) break;
        segments.push_back(Segment{marker, file.substr(at + 4, length - 2)});
        if (marker == 0xDA) break;
        at += 2 + length;
    }
    return segments;
}

inline std::vector<std::string> segments_of(const std::vector<Segment> &segments, int marker,
                                            const std::string &prefix = "") {
    std::vector<std::string> found;
    for (const Segment &s : segments)
        if (s.marker == marker && s.data.compare(0, prefix.size(), prefix) == 0)
            found.push_back(s.data.substr(prefix.size()));
    return found;
}

// `jpeg` with `extra` segments put right after its JFIF segment.
inline std::string jpeg_with(const std::string &jpeg, const std::vector<Segment> &extra) {
    const std::size_t after_app0 = 4 + get16(jpeg, 4);
    std::string inserted;
    for (const Segment &s : extra) inserted += jpeg_segment(s.marker, s.data);
    return jpeg.substr(0, after_app0) + inserted + jpeg.substr(after_app0);
}

// Sampling factors (h, v) of each component in the frame header.
inline std::vector<std::pair<int, int>> jpeg_sampling(const std::string &file) {
    std::vector<std::pair<int, int>> factors;
    for (const Segment &s : jpeg_segments(file)) {
        if (s.marker < 0xC0 || s.marker > 0xC2) continue;
        const int components = static_cast<uint8_t>(s.data[5]);
        for (int c = 0; c < components; ++c) {
            const auto f = static_cast<uint8_t>(s.data[7 + 3 * static_cast<std::size_t>(c)]);
            factors.emplace_back(f >> 4, f & 15);
        }
    }
    return factors;
}

// A baseline JPEG of 8-bit RGB pixels by stb_image_write: 4:4:4 above
// quality 90, 4:2:0 at 90 and below.
inline std::string stb_jpeg(int width, int height, const std::vector<uint8_t> &rgb, int quality) {
    std::string out;
    const auto sink = [](void *context, void *data, int size) {
        static_cast<std::string *>(context)->append(static_cast<const char *>(data), static_cast<std::size_t>(size));
    };
    if (!stbi_write_jpg_to_func(sink, &out, width, height, 3, rgb.data(), quality))
        throw std::runtime_error("stbi_write_jpg failed");
    return out;
}

// ---- TIFF -------------------------------------------------------------------

// A TIFF directory entry: SHORT (3) and LONG (4) values as numbers, BYTE (1),
// ASCII (2) and UNDEFINED (7) values as bytes.
struct TiffEntry {
    uint16_t tag, type;
    std::vector<uint32_t> numbers;
    std::string data;
};

inline TiffEntry tiff_short(uint16_t tag, std::vector<uint32_t> values) { return {tag, 3, std::move(values), {}}; }
inline TiffEntry tiff_long(uint16_t tag, std::vector<uint32_t> values) { return {tag, 4, std::move(values), {}}; }
inline TiffEntry tiff_bytes(uint16_t tag, uint16_t type, std::string data) { return {tag, type, {}, std::move(data)}; }

// A TIFF with one directory per page; each page is its entries (sorted by
// tag, without strip or tile offsets and byte counts) and its strips or tiles
// (tag 273/279, or 324/325 when `tiled`), stored uncompressed after the header.
struct TiffPage {
    std::vector<TiffEntry> entries;
    std::vector<std::string> pieces;
    bool tiled = false;
};

inline std::string tiff_file(const std::vector<TiffPage> &pages, bool big_endian = false) {
    std::string out = big_endian ? std::string("MM\0*", 4) : std::string("II*\0", 4);
    const auto put = [&](std::string &s, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = big_endian ? 8 * (bytes - 1 - i) : 8 * i;
            s += static_cast<char>((v >> shift) & 0xFF);
        }
    };
    const auto patch32 = [&](std::size_t at, uint32_t v) {
        std::string b;
        put(b, v, 4);
        out.replace(at, 4, b);
    };
    std::size_t next_link = out.size();
    put(out, 0, 4);
    for (const TiffPage &page : pages) {
        std::vector<uint32_t> offsets, counts;
        for (const std::string &piece : page.pieces) {
            offsets.push_back(static_cast<uint32_t>(out.size()));
            counts.push_back(static_cast<uint32_t>(piece.size()));
            out += piece;
        }
        std::vector<TiffEntry> entries = page.entries;
        entries.push_back(tiff_long(page.tiled ? 324 : 273, offsets));
        entries.push_back(tiff_long(page.tiled ? 325 : 279, counts));
        std::sort(entries.begin(), entries.end(), [](const TiffEntry &a, const TiffEntry &b) { return a.tag < b.tag; });
        // Values longer than four bytes go ahead of the directory.
        std::vector<std::string> values;
        std::vector<uint32_t> value_at;
        for (const TiffEntry &e : entries) {
            std::string v = e.data;
            for (uint32_t n : e.numbers) put(v, n, e.type == 3 ? 2 : 4);
            if (v.size() > 4) {
                if (out.size() % 2) out += '\0';
                value_at.push_back(static_cast<uint32_t>(out.size()));
                out += v;
            } else {
                value_at.push_back(0);
            }
            values.push_back(v);
        }
        if (out.size() % 2) out += '\0';
        patch32(next_link, static_cast<uint32_t>(out.size()));
        put(out, static_cast<uint32_t>(entries.size()), 2);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const TiffEntry &e = entries[i];
            put(out, e.tag, 2);
            put(out, e.type, 2);
            put(out, static_cast<uint32_t>(e.data.empty() ? e.numbers.size() : e.data.size()), 4);
            if (values[i].size() > 4) {
                put(out, value_at[i], 4);
            } else {
                out += values[i] + std::string(4 - values[i].size(), '\0');
            }
        }
        next_link = out.size();
        put(out, 0, 4);
    }
    return out;
}

// The entries every page needs: size, samples, photometric interpretation.
inline std::vector<TiffEntry> tiff_basics(uint32_t width, uint32_t height, uint32_t bits, uint32_t samples,
                                          uint32_t photometric, uint32_t rows_per_strip) {
    return {tiff_long(256, {width}),
            tiff_long(257, {height}),
            tiff_short(258, std::vector<uint32_t>(samples, bits)),
            tiff_short(262, {photometric}),
            tiff_short(277, {samples}),
            tiff_long(278, {rows_per_strip})};
}

// ---- TIFF-structured blocks and RIFF files ----------------------------------

// An `n`-byte word at `at` of a TIFF-structured block (a TIFF file or an EXIF
// block), in the block's own byte order ("MM" big-endian, "II" little).
inline uint32_t tiff_word(const std::string &b, std::size_t at, int n) {
    const bool big = b.at(0) == 'M';
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= uint32_t{static_cast<uint8_t>(b.at(at + static_cast<std::size_t>(big ? i : n - 1 - i)))}
             << (8 * (n - 1 - i));
    return v;
}

// The chunks of a RIFF file (WebP): fourcc and payload.
inline std::vector<std::pair<std::string, std::string>> riff_chunks(const std::string &file) {
    std::vector<std::pair<std::string, std::string>> chunks;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = static_cast<uint8_t>(file[at + 4]) | uint32_t{static_cast<uint8_t>(file[at + 5])} << 8 |
                              uint32_t{static_cast<uint8_t>(file[at + 6])} << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(file[at + 7])) << 24;
        chunks.emplace_back(file.substr(at, 4), file.substr(at + 8, size));
        at += 8 + size + (size & 1);
    }
    return chunks;
}

// The payload of a RIFF file's first `fourcc` chunk; empty if there is none.
inline std::string riff_chunk(const std::string &file, const std::string &fourcc) {
    for (const auto &[name, data] : riff_chunks(file))
        if (name == fourcc) return data;
    return "";
}

// ---- The second decoder -------------------------------------------------------

struct Decoded {
    int width = 0, height = 0, channels = 0;
    std::vector<uint16_t> samples;  // at the file's depth
    uint16_t at(int x, int y, int k) const {
        return samples[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(channels) +
                       static_cast<std::size_t>(k)];
    }
};

// Takes over stb_image's pixels; false if it could not decode.
template <class Sample>
bool take_pixels(Sample *pixels, Decoded &d) {
    if (!pixels) return false;
    d.samples.assign(pixels, pixels + static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height) *
                                          static_cast<std::size_t>(d.channels));
    stbi_image_free(pixels);
    return true;
}

// Palettes and low-bit grey come out expanded, as stb_image delivers them.
inline Decoded decode(const std::string &file) {
    Decoded d;
    const auto *data = reinterpret_cast<const stbi_uc *>(file.data());
    const int size = static_cast<int>(file.size());
    const bool decoded = stbi_is_16_bit_from_memory(data, size)
                             ? take_pixels(stbi_load_16_from_memory(data, size, &d.width, &d.height, &d.channels, 0), d)
                             : take_pixels(stbi_load_from_memory(data, size, &d.width, &d.height, &d.channels, 0), d);
    if (!decoded) throw std::runtime_error(std::string("stb_image cannot decode: ") + stbi_failure_reason());
    return d;
}

}  // namespace bytes

#endif
