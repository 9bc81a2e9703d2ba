// Files read and written through the codecs' reader and writer interfaces, in
// memory, a few rows at a time: what codec tests compare with values built
// independently and with the second decoders.
#ifndef QOVA_TESTS_SUPPORT_CODEC_IO_H
#define QOVA_TESTS_SUPPORT_CODEC_IO_H

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

// The file a writer of `format` makes of `samples` (rows of `info`'s layout,
// handed over a few rows at a time); empty with *error set if it failed.
inline std::string write_through(qova::codecs::FileFormat format, const qova::codecs::RasterInfo &info,
                                 const std::vector<uint16_t> &samples, const qova::codecs::EncodeOptions &options,
                                 std::string *error, int band_rows = 5) {
    std::FILE *f = std::tmpfile();
    if (!f) throw std::runtime_error("tmpfile failed");
    auto writer = qova::codecs::open_writer(format, f, info, options, error);
    bool ok = writer != nullptr;
    const std::size_t row = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.channels);
    for (int32_t y = 0; ok && y < info.height; y += band_rows) {
        const int n = std::min(band_rows, info.height - y);
        ok = writer->write_rows(n, samples.data() + static_cast<std::size_t>(y) * row);
    }
    ok = ok && writer->finish();
    if (!ok && writer) *error = writer->error();
    writer.reset();
    std::string file;
    if (ok && std::fflush(f) == 0 && std::fseek(f, 0, SEEK_END) == 0) {
        file.resize(static_cast<std::size_t>(std::ftell(f)));
        std::rewind(f);
        if (std::fread(file.data(), 1, file.size(), f) != file.size()) file.clear();
    }
    std::fclose(f);
    return file;
}

#endif
