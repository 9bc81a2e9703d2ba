// The tool's reading of PNG, JPEG, TIFF, WebP, HEIC and AVIF files on arbitrary bytes, all the way
// through: decode part by part (metadata, chunks after the image data and
// animation checks included), map to an operator's planes, run the operator
// on one to three threads, map back and encode with the input's metadata,
// flattened over a background for JPEG or through the image's few colours for
// PNG, or as TIFF, WebP, HEIC or AVIF (small images only: their encoders are
// slow). Nothing may crash, leak
// or read out of bounds; a bad file must end in a reported error.
#include "few_colours.h"
#include "file_host.h"
#include "pipeline.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {
std::FILE *g_sink = nullptr;
void ignore(const char *) {}

// Rewinds `in` and opens it again, as the tool does for a second reading.
std::unique_ptr<zenk::RasterReader> reopen(std::FILE *in, const zenk::ReadLimits &limits) {
    std::string error;
    if (std::fseek(in, 0, SEEK_SET) != 0) std::abort();
    auto reader = zenk::open_reader(in, limits, &error);
    if (!reader) std::abort();  // it opened the first time
    return reader;
}
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
    zenk::ReadLimits limits;
    limits.max_pixels = 1u << 20;  // keeps each run small; the limit itself is part of what is tested
    std::string error;
    auto reader = zenk::open_reader(in, limits, &error);
    if (reader) {
        const zenk::RasterInfo info = reader->info();
        if (info.width <= 0 || info.height <= 0 || info.channels < 1 || info.channels > 4) std::abort();
        qova_tool::Operation op;
        op.kind = size & 1 ? qova_tool::OperatorKind::Saturation : qova_tool::OperatorKind::Bandpass;
        op.strength = 25;
        op.linear = data[0] & 1;
        std::string note;
        if (op.kind == qova_tool::OperatorKind::Bandpass)  // through the file's own colours, if not sRGB
            op.colours = zenk::ColourConversion::make(info.metadata, info.is_grey(), op.linear, info.max_value(), &note);
        zenk::RasterInfo out_info = info;
        if (data[0] & 2) out_info.metadata.strip();
        const bool jpeg = (size & 2) != 0;
        const bool small = static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height) <= 4096;
        const zenk::FileFormat format = jpeg                 ? zenk::FileFormat::Jpeg
                                        : size & 4           ? zenk::FileFormat::Tiff
                                        : size & 8           ? zenk::FileFormat::Webp
                                        : size & 16 && small ? (data[0] & 4 ? zenk::FileFormat::Avif : zenk::FileFormat::Heic)
                                                             : zenk::FileFormat::Png;
        const bool heif = format == zenk::FileFormat::Heic || format == zenk::FileFormat::Avif;
        if (jpeg) {
            out_info.channels = info.is_grey() ? 1 : 3;
            out_info.bit_depth = 8;
        } else if (format == zenk::FileFormat::Webp || heif) {
            out_info.channels = info.has_alpha() ? 4 : 3;
            if (!heif) out_info.bit_depth = 8;
        }
        const zenk::Background background{static_cast<uint16_t>(data[0] * 257), 0, 65535};

        bool few = false;
        if (!jpeg && qova_tool::few_colours_possible(info)) {
            qova_tool::ColourCensus census;
            if (census.take(*reader, 16, {}, &error) && census.fits()) {
                few = true;
                const auto colours = qova_tool::colour_row_reader(info, census.row());
                qova_tool::CollectingWriter results(colours->info());
                if (!qova_tool::transform(*colours, results, colours->info(), "", op, background, {16, 1}, {}, nullptr)) {
                    qova_tool::FewColourEncoding encoding = qova_tool::choose_encoding(info, results.samples());
                    encoding.layout.metadata = out_info.metadata;
                    const auto writer = zenk::open_png_writer(g_sink, encoding.layout, &error);
                    if (!writer) std::abort();
                    reader = reopen(in, limits);
                    if (qova_tool::write_through_colours(*reader, census, encoding, *writer, 16, {}, &error) &&
                        !writer->finish())
                        std::abort();
                }
            }
            if (!few) reader = reopen(in, limits);
        }
        if (!few) {
            const auto writer = zenk::open_writer(format, g_sink, out_info, zenk::EncodeOptions{80, {}}, &error);
            // Sizes some formats cannot hold: JPEG 65500 pixels a side, WebP 16383.
            const int32_t side = std::max(info.width, info.height);
            const bool too_large = (jpeg && side > 65500) || (format == zenk::FileFormat::Webp && side > 16383);
            if (!writer && !too_large) std::abort();
            if (writer) {
                // One to three threads, over parts of a few rows, so that the
                // threads meet at their parts often.
                const qova_tool::RunShape shape{1 + data[size - 1] % 8, 1u + static_cast<unsigned>(size % 3)};
                const auto problem = qova_tool::transform(*reader, *writer, out_info, "", op, background, shape, {}, nullptr);
                if (!problem && !writer->finish()) std::abort();
            }
        }
    }
    std::fclose(in);
    return 0;
}
