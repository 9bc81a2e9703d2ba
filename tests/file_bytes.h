// Image files built and taken apart byte by byte, and decoded by a second,
// independent decoder (stb_image): what the tool writes is checked against
// these, never only against the project's own codecs.
#ifndef QOVA_TESTS_FILE_BYTES_H
#define QOVA_TESTS_FILE_BYTES_H

#include <stb_image.h>
#include <stb_image_write.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
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

// ---- PNG --------------------------------------------------------------------

inline std::string png_chunk(const std::string &type, const std::string &data) {
    std::string c;
    put32(c, static_cast<uint32_t>(data.size()));
    const std::string body = type + data;
    c += body;
    put32(c, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()), static_cast<uInt>(body.size()))));
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
inline std::string png_file(uint32_t width, uint32_t height, int depth, int colour_type, const std::vector<std::string> &rows,
                            const std::string &before = "", const std::string &after = "") {
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

inline std::vector<std::string> segments_of(const std::vector<Segment> &segments, int marker, const std::string &prefix = "") {
    std::vector<std::string> found;
    for (const Segment &s : segments)
        if (s.marker == marker && s.data.compare(0, prefix.size(), prefix) == 0) found.push_back(s.data.substr(prefix.size()));
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
