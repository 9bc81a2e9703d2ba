// A file read whole through the codecs' reader interface, from memory, a few
// rows at a time: what codec tests compare with values built independently.
#ifndef QOVA_TESTS_SUPPORT_READ_BACK_H
#define QOVA_TESTS_SUPPORT_READ_BACK_H

#include "codecs/formats.h"
#include "support/file_bytes.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

struct ReadBack {
    qova::codecs::RasterInfo info;
    bytes::Decoded image;  // samples at the depth read
    std::string error;     // empty if every row was read
    std::vector<std::string> warnings;
};

inline ReadBack read_back(const std::string &file, int band_rows = 4) {
    ReadBack r;
    std::FILE *f = fmemopen(const_cast<char *>(file.data()), file.size(), "rb");
    if (!f) throw std::runtime_error("fmemopen failed");
    auto reader = qova::codecs::open_reader(f, qova::codecs::ReadLimits{}, &r.error);
    if (reader) {
        r.info = reader->info();
        r.image.width = r.info.width;
        r.image.height = r.info.height;
        r.image.channels = r.info.channels;
        const std::size_t row = static_cast<std::size_t>(r.info.width) * static_cast<std::size_t>(r.info.channels);
        r.image.samples.resize(row * static_cast<std::size_t>(r.info.height));
        for (int32_t y = 0; y < r.info.height; y += band_rows) {
            const int n = std::min(band_rows, r.info.height - y);
            if (!reader->read_rows(n, r.image.samples.data() + static_cast<std::size_t>(y) * row)) {
                r.error = reader->error();
                break;
            }
        }
        r.warnings = reader->warnings();
    }
    reader.reset();
    std::fclose(f);
    return r;
}

#endif
