// The tool's reading of PNG and JPEG files on arbitrary bytes, all the way
// through: decode part by part, map to an operator's planes, run the operator,
// map back and encode. Nothing may crash, leak or read out of bounds; a bad
// file must end in a reported error.
#include "file_host.h"
#include "mappings.h"
#include "qova.h"

#include <cstdio>
#include <cstdlib>

namespace {
std::FILE *g_sink = nullptr;
void ignore(const char *) {}
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
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
    const auto reader = zenk::open_reader(in, limits, &error);
    if (reader) {
        const zenk::RasterInfo &info = reader->info();
        if (info.width <= 0 || info.height <= 0 || info.channels < 1 || info.channels > 4) std::abort();
        qova_tool::HsiMapping hsi;
        qova_tool::ColourMapping colour(data[0] & 1);
        zenk::PlaneMapping &mapping = size & 1 ? static_cast<zenk::PlaneMapping &>(hsi) : colour;
        zenk::RasterInfo out_info = info;
        if (size & 2) {  // as a JPEG output would take it
            out_info.channels = info.is_grey() ? 1 : 3;
            out_info.bit_depth = 8;
        }
        const auto writer = out_info.bit_depth == 8 && (size & 2) ? zenk::open_jpeg_writer(g_sink, out_info, zenk::JpegOptions{80, {}}, &error)
                                                                  : zenk::open_png_writer(g_sink, out_info, &error);
        if (!writer) std::abort();
        zenk::FileSource source(*reader, mapping, zenk::part_rows_for(info.width, 16));
        zenk::FileSink sink(*writer, out_info, mapping, source);
        ImageDescriptor d_in, d_out;
        zenk::bind(d_in, source, info.width, 0);
        zenk::bind(d_out, sink);
        const int status = QOVA_SatuVariation(&d_in, &d_out, 25);
        if (status != 0 && source.error().empty() && sink.error().empty()) std::abort();  // a failure is explained
        if (status == 0 && !writer->finish()) std::abort();
    }
    std::fclose(in);
    return 0;
}
