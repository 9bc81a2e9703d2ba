// JPEG reading through the reader interface against libjpeg's own decoding of
// the same file, sample for sample and column for column: odd sizes (partial
// blocks and MCUs), every chroma subsampling, progressive and grey files.
#include "codecs/formats.h"
#include "support/codec_io.h"
#include "support/libjpeg_file.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace codecs = qova::codecs;

namespace {

// libjpeg's decoding with its defaults: every sample, rows in order.
std::vector<uint16_t> libjpeg_decode(const std::string &file, int *channels) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr errors{};
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char *>(file.data()), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = d.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
    *channels = d.output_components;
    std::vector<uint16_t> samples;
    std::vector<JSAMPLE> row(static_cast<std::size_t>(d.output_width) * static_cast<std::size_t>(d.output_components));
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        samples.insert(samples.end(), row.begin(), row.end());
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return samples;
}

TEST(Jpeg, SamplesAreLibjpegsOwnEveryColumnIncluded) {
    const struct {
        const char *what;
        int components, h, v;
        bool progressive;
    } cases[] = {
        {"4:4:4", 3, 1, 1, false},
        {"4:2:2", 3, 2, 1, false},
        {"4:2:0", 3, 2, 2, false},
        {"4:4:0", 3, 1, 2, false},
        {"4:2:0 progressive", 3, 2, 2, true},
        {"grey", 1, 1, 1, false},
        {"grey progressive", 1, 1, 1, true},
    };
    const int width = 37, height = 23;  // partial blocks and MCUs on both edges
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto setup = [&](jpeg_compress_struct &j) {
            jpeg_set_quality(&j, 75, TRUE);
            j.comp_info[0].h_samp_factor = c.h;
            j.comp_info[0].v_samp_factor = c.v;
            if (c.progressive) jpeg_simple_progression(&j);
        };
        const auto fill = [&](int y, std::vector<JSAMPLE> &row) {
            for (std::size_t i = 0; i < row.size(); ++i)
                row[i] = static_cast<JSAMPLE>((i * 37 + static_cast<std::size_t>(y) * 91 + (i * i) % 23) & 0xFF);
        };
        const std::string file =
            libjpeg_file(width, height, c.components, c.components == 1 ? JCS_GRAYSCALE : JCS_RGB, setup, fill);
        int channels = 0;
        const std::vector<uint16_t> expected = libjpeg_decode(file, &channels);
        const ReadBack r = read_back(file, 5);  // bands that straddle MCU rows
        ASSERT_TRUE(r.error.empty()) << r.error;
        const codecs::RasterInfo &info = r.info;
        const std::vector<uint16_t> &got = r.image.samples;
        ASSERT_EQ(info.width, width);
        ASSERT_EQ(info.height, height);
        ASSERT_EQ(info.channels, channels);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const std::size_t pixel = i / static_cast<std::size_t>(channels);
            ASSERT_EQ(got[i], expected[i]) << "column " << pixel % width << ", row " << pixel / width;
        }
    }
}

}  // namespace
