// Small image files for end-to-end tests, written and read whole through the
// project's codecs, and a way to run the qova tool.
#ifndef QOVA_TESTS_IMAGE_FILES_H
#define QOVA_TESTS_IMAGE_FILES_H

#include "codecs/raster.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace codecs = qova::codecs;

struct Picture {
    codecs::RasterInfo info;
    std::vector<uint16_t> samples;  // interleaved

    uint16_t at(int x, int y, int k) const {
        return samples[(static_cast<std::size_t>(y) * static_cast<std::size_t>(info.width) +
                        static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(info.channels) +
                       static_cast<std::size_t>(k)];
    }
};

// Random samples; colour pixels mixed with greys, so every path is taken.
inline Picture random_picture(int32_t width, int32_t height, int channels, int depth, unsigned seed = 5) {
    Picture p;
    p.info.width = width;
    p.info.height = height;
    p.info.channels = channels;
    p.info.bit_depth = depth;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> pick(0, p.info.max_value());
    p.samples.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                     static_cast<std::size_t>(channels));
    for (std::size_t px = 0; px < p.samples.size() / static_cast<std::size_t>(channels); ++px) {
        uint16_t *s = &p.samples[px * static_cast<std::size_t>(channels)];
        const bool grey = px % 5 == 0;
        for (int k = 0; k < channels; ++k) s[k] = static_cast<uint16_t>(grey && k > 0 && k < 3 ? s[0] : pick(rng));
    }
    return p;
}

inline bool write_picture(const std::filesystem::path &path, const Picture &p, codecs::FileFormat format) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::string error;
    auto writer = format == codecs::FileFormat::Png
                      ? codecs::open_png_writer(f, p.info, &error)
                      : codecs::open_jpeg_writer(f, p.info, codecs::JpegOptions{95, {}}, &error);
    const bool ok = writer && writer->write_rows(p.info.height, p.samples.data()) && writer->finish();
    writer.reset();
    return std::fclose(f) == 0 && ok;
}

inline bool read_picture(const std::filesystem::path &path, Picture *p) {
    std::string error;
    return codecs::read_image_file(path.string(), &p->info, &p->samples, &error);
}

inline std::string read_text(const std::filesystem::path &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct ToolRun {
    int exit_code;
    std::string err;
};

// Runs the tool with `args` (already quoted as needed), capturing standard
// error; under $QOVA_TOOL_WRAPPER if set (valgrind, for instance) unless
// `wrapped` is false (for making test inputs).
inline ToolRun run_qova(const std::string &args, const std::filesystem::path &scratch, bool wrapped = true) {
    const auto err_file = scratch / "stderr.txt";
    const char *wrapper = wrapped ? std::getenv("QOVA_TOOL_WRAPPER") : nullptr;
    const std::string command = std::string(wrapper ? wrapper : "") + " '" + QOVA_TOOL + "' " + args +
                                " > /dev/null 2> '" + err_file.string() + "'";
    const int status = std::system(command.c_str());
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(err_file)};
    std::filesystem::remove(err_file);
    return run;
}

inline std::string quoted(const std::filesystem::path &p) { return "'" + p.string() + "'"; }

#endif
