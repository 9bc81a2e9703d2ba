// Writes a large PNG for benchmarks: the sample photo scaled bilinearly to the
// requested size, a row at a time, so even 10000 x 10000 needs little memory.
//   make_test_image SOURCE OUT.png WIDTH HEIGHT [16]
#include "raster.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SOURCE OUT.png WIDTH HEIGHT [16]\n", argv[0]);
        return 2;
    }
    const int32_t width = std::atoi(argv[3]), height = std::atoi(argv[4]);
    const int depth = argc > 5 ? std::atoi(argv[5]) : 8;
    std::string error;
    std::FILE *in = std::fopen(argv[1], "rb");
    auto reader = in ? zenk::open_reader(in, zenk::ReadLimits{}, &error) : nullptr;
    if (!reader || width <= 0 || height <= 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], in ? error.c_str() : "cannot open");
        return 1;
    }
    const zenk::RasterInfo src = reader->info();
    std::vector<uint16_t> pixels(static_cast<std::size_t>(src.width) * src.height * src.channels);
    if (!reader->read_rows(src.height, pixels.data())) return 1;

    zenk::RasterInfo info;
    info.width = width;
    info.height = height;
    info.channels = 3;
    info.bit_depth = depth;
    std::FILE *out = std::fopen(argv[2], "wb");
    auto writer = out ? zenk::open_png_writer(out, info, zenk::PngOptions{}, &error) : nullptr;
    if (!writer) return 1;
    const auto sample = [&](int32_t x, int32_t y, int k) {
        return static_cast<double>(pixels[(static_cast<std::size_t>(y) * src.width + x) * src.channels + (src.channels >= 3 ? k : 0)]);
    };
    const double scale = depth == 16 ? 257.0 : 1.0;
    std::vector<uint16_t> row(static_cast<std::size_t>(width) * 3);
    for (int32_t y = 0; y < height; ++y) {
        const double sy = (y + 0.5) * src.height / height - 0.5;
        const int32_t y0 = std::max(0, static_cast<int32_t>(sy)), y1 = std::min(src.height - 1, y0 + 1);
        const double fy = std::min(std::max(sy - y0, 0.0), 1.0);
        for (int32_t x = 0; x < width; ++x) {
            const double sx = (x + 0.5) * src.width / width - 0.5;
            const int32_t x0 = std::max(0, static_cast<int32_t>(sx)), x1 = std::min(src.width - 1, x0 + 1);
            const double fx = std::min(std::max(sx - x0, 0.0), 1.0);
            for (int k = 0; k < 3; ++k) {
                const double top = sample(x0, y0, k) * (1 - fx) + sample(x1, y0, k) * fx;
                const double bottom = sample(x0, y1, k) * (1 - fx) + sample(x1, y1, k) * fx;
                row[static_cast<std::size_t>(x) * 3 + k] = static_cast<uint16_t>((top * (1 - fy) + bottom * fy) * scale + 0.5);
            }
        }
        if (!writer->write_rows(1, row.data())) return 1;
    }
    const bool ok = writer->finish();
    writer.reset();
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
