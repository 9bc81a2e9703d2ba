// PNG reading through the reader interface, on files built byte by byte with
// known samples: every path a 16-bit sample can take (the direct reader for
// plain images, libpng for transparency chunks and interlacing) must give the
// file's values exactly.
#include "codecs/formats.h"
#include "support/codec_io.h"
#include "support/file_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace codecs = qova::codecs;

namespace {

constexpr uint32_t kWidth = 11, kHeight = 9;  // not a multiple of any Adam7 step

// Sample k of pixel (x, y): distinct, spread over the 16-bit range, low bytes
// different from high bytes so that a swapped byte order shows.
uint16_t sample(uint32_t x, uint32_t y, uint32_t k) {
    return static_cast<uint16_t>((x * 7919 + y * 104729 + k * 15485863 + 4099) * 2654435761u >> 16);
}

std::string row_bytes(uint32_t y, uint32_t channels, uint32_t from = 0, uint32_t step = 1) {
    std::vector<uint16_t> samples;
    for (uint32_t x = from; x < kWidth; x += step)
        for (uint32_t k = 0; k < channels; ++k) samples.push_back(sample(x, y, k));
    return bytes::be16_row(samples);
}

std::string ihdr(int colour_type, bool interlaced) {
    std::string h;
    bytes::put32(h, kWidth);
    bytes::put32(h, kHeight);
    h += static_cast<char>(16);
    h += static_cast<char>(colour_type);
    h += std::string(2, '\0');
    h += static_cast<char>(interlaced ? 1 : 0);
    return bytes::png_chunk("IHDR", h);
}

// The image data of an Adam7-interlaced image: seven passes, each a small
// image of its own rows, each row with filter byte 0.
std::string adam7_data(uint32_t channels) {
    static const uint32_t kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::string raw;
    for (const auto &p : kPasses) {
        if (p[0] >= kWidth) continue;
        for (uint32_t y = p[1]; y < kHeight; y += p[3]) raw += '\0' + row_bytes(y, channels, p[0], p[2]);
    }
    return raw;
}

TEST(Png, SixteenBitSamplesExactOnEveryReadingPath) {
    const std::string opaque_grey_key = [] {
        std::string t;
        bytes::put16(t, 1);  // a grey key no pixel has: every pixel opaque
        return t;
    }();
    std::string rgb_key;
    for (uint32_t k = 0; k < 3; ++k) bytes::put16(rgb_key, sample(3, 2, k));  // pixel (3, 2) is transparent
    const struct {
        const char *what;
        int colour_type;
        uint32_t channels;
        bool interlaced;
        std::string extra;       // chunks ahead of the image data
        int channels_read;       // tRNS adds alpha
        uint32_t transparent_x;  // the keyed pixel, if any (kWidth: none)
    } cases[] = {
        {"plain RGB (direct reader)", 2, 3, false, "", 3, kWidth},
        {"plain RGBA (direct reader)", 6, 4, false, "", 4, kWidth},
        {"plain grey+alpha (direct reader)", 4, 2, false, "", 2, kWidth},
        {"RGB with tRNS (libpng)", 2, 3, false, bytes::png_chunk("tRNS", rgb_key), 4, 3},
        {"grey with tRNS (libpng)", 0, 1, false, bytes::png_chunk("tRNS", opaque_grey_key), 2, kWidth},
        {"interlaced RGB (libpng, whole)", 2, 3, true, "", 3, kWidth},
        {"interlaced RGBA (libpng, whole)", 6, 4, true, "", 4, kWidth},
        {"interlaced RGB with tRNS", 2, 3, true, bytes::png_chunk("tRNS", rgb_key), 4, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string raw;
        if (c.interlaced) {
            raw = adam7_data(c.channels);
        } else {
            for (uint32_t y = 0; y < kHeight; ++y) raw += '\0' + row_bytes(y, c.channels);
        }
        const std::string file = std::string("\x89PNG\r\n\x1a\n", 8) + ihdr(c.colour_type, c.interlaced) + c.extra +
                                 bytes::png_chunk("IDAT", bytes::deflated(raw)) + bytes::png_chunk("IEND", "");
        const ReadBack r = read_back(file);
        ASSERT_TRUE(r.error.empty()) << r.error;
        ASSERT_EQ(r.info.bit_depth, 16);
        ASSERT_EQ(r.info.channels, c.channels_read);
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x) {
                const uint16_t *px = &r.image.samples[(y * kWidth + x) * static_cast<uint32_t>(c.channels_read)];
                for (uint32_t k = 0; k < c.channels; ++k)
                    ASSERT_EQ(px[k], sample(x, y, k)) << "pixel " << x << "," << y << " sample " << k;
                if (static_cast<uint32_t>(c.channels_read) > c.channels) {
                    const bool keyed = x == c.transparent_x && y == 2;
                    ASSERT_EQ(px[c.channels], keyed ? 0 : 65535) << "alpha of " << x << "," << y;
                }
            }
    }
}

}  // namespace
