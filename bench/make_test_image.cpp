// Writes a large PNG for benchmarks: the sample photo scaled bilinearly to the
// requested size, a row at a time, so even 10000 x 10000 needs little memory.
//   make_test_image SOURCE OUT.png WIDTH HEIGHT [16]
#include "upscale.h"

#include <cstdlib>

namespace codecs = qova::codecs;

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SOURCE OUT.png WIDTH HEIGHT [16]\n", argv[0]);
        return 2;
    }
    const int32_t width = std::atoi(argv[3]), height = std::atoi(argv[4]);
    const int depth = argc > 5 ? std::atoi(argv[5]) : 8;
    std::string error;
    SourcePhoto photo;
    if (width <= 0 || height <= 0 || !photo.load(argv[1], &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.empty() ? "bad size" : error.c_str());
        return 1;
    }
    codecs::RasterInfo info;
    info.width = width;
    info.height = height;
    info.bit_depth = depth;
    std::FILE *out = std::fopen(argv[2], "wb");
    auto writer = out ? codecs::open_png_writer(out, info, &error) : nullptr;
    if (!writer) {
        std::fprintf(stderr, "%s: cannot write\n", argv[2]);
        return 1;
    }
    std::vector<uint16_t> row(static_cast<std::size_t>(width) * 3);
    for (int32_t y = 0; y < height; ++y) {
        photo.scaled_row(y, width, height, depth == 16 ? 257.0 : 1.0, row.data());
        if (!writer->write_rows(1, row.data())) return 1;
    }
    const bool ok = writer->finish();
    writer.reset();
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
