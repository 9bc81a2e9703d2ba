// The tool's reading of PNG, JPEG, TIFF, WebP, HEIC and AVIF files on arbitrary bytes, all the way
// through: decode part by part (metadata, chunks after the image data and
// animation checks included), map to an operator's planes, run the operator
// on one to three threads, map back and encode with the input's metadata,
// flattened over a background for JPEG or through the image's few colours for
// PNG, or as TIFF, WebP, HEIC or AVIF (small images only: their encoders are
// slow). Nothing may crash, leak
// or read out of bounds; a bad file must end in a reported error.
#include "pipeline/transform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace codecs = qova::codecs;
namespace pipeline = qova::pipeline;

namespace {
std::FILE *g_sink = nullptr;
void ignore(const char *) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::filesystem::current_path(QOVA_DATA_DIR);  // the band filter reads its table from here
    g_sink = std::fopen("/dev/null", "wb");
    if (!g_sink) std::abort();
    zenk::set_error_handler(ignore);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!in) return 0;
    codecs::ReadLimits limits;
    limits.max_pixels = 1u << 20;  // keeps each run small; the limit itself is part of what is tested
    std::string error;
    auto reader = codecs::open_reader(in, limits, &error);
    if (reader) {
        const codecs::RasterInfo info = reader->info();
        if (info.width <= 0 || info.height <= 0 || info.channels < 1 || info.channels > 4) std::abort();
        pipeline::Operation op;
        op.kind = size & 1 ? pipeline::OperatorKind::Saturation : pipeline::OperatorKind::Bandpass;
        op.strength = 25;
        op.linear = data[0] & 1;  // the band filter goes through the file's own colours, if not sRGB
        const bool jpeg = (size & 2) != 0;
        const bool small = static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height) <= 4096;
        const codecs::FileFormat format = jpeg       ? codecs::FileFormat::Jpeg
                                          : size & 4 ? codecs::FileFormat::Tiff
                                          : size & 8 ? codecs::FileFormat::Webp
                                          : size & 16 && small
                                              ? (data[0] & 4 ? codecs::FileFormat::Avif : codecs::FileFormat::Heic)
                                              : codecs::FileFormat::Png;
        pipeline::RunSettings settings;
        settings.background = pipeline::Background{static_cast<uint16_t>(data[0] * 257), 0, 65535};
        settings.strip = data[0] & 2;
        // One to three threads, over parts of a few rows, so that the threads
        // meet at their parts often.
        settings.shape = pipeline::RunShape{1 + data[size - 1] % 8, 1u + static_cast<unsigned>(size % 3)};
        const auto reopen = [&](std::string *e) {
            if (std::fseek(in, 0, SEEK_SET) != 0) std::abort();
            return codecs::open_reader(in, limits, e);
        };
        pipeline::RunReport report;
        const auto problem =
            pipeline::run_operation(std::move(reader), reopen, op,
                                    pipeline::Destination{format, g_sink, {80, {}, false}, "out"}, settings, &report);
        // Only what the reader or a format's limits refuse may fail: JPEG
        // holds 65500 pixels a side, WebP 16383.
        const int32_t side = std::max(info.width, info.height);
        const bool too_large = (jpeg && side > 65500) || (format == codecs::FileFormat::Webp && side > 16383);
        if (problem && problem->rfind("cannot encode", 0) == 0 && !too_large) std::abort();
    }
    std::fclose(in);
    return 0;
}
