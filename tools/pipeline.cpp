#include "pipeline.h"

#include "mappings.h"
#include "qova.h"

#include <chrono>

namespace qova_tool {

namespace {

// The operators' ZENK_Error texts of the job running on this thread.
thread_local std::string t_operator_errors;

void collect_operator_error(const char *text) {
    if (!t_operator_errors.empty()) t_operator_errors += "; ";
    t_operator_errors += text;
}

int run_operator(const Operation &op, ImageDescriptor *in, ImageDescriptor *out) {
    switch (op.kind) {
    case OperatorKind::Saturation: return QOVA_SatuVariation(in, out, op.strength);
    case OperatorKind::Hue:
        if (op.poles.empty()) return QOVA_HuePolarisation(in, out, op.strength);
        {
            std::vector<int> poles = op.poles;  // the operator sorts them in place
            return QOVA_HuePolarisation1(in, out, op.strength, poles.data(), static_cast<int>(poles.size()));
        }
    case OperatorKind::Bandpass: return QOVA_XYZfilter(in, out, op.centre, op.bandwidth, op.order);
    }
    return QOVA_REJECTED;
}

}  // namespace

std::optional<std::string> transform(zenk::RasterReader &reader, zenk::RasterWriter &writer,
                                     const zenk::RasterInfo &output, const std::string &output_name,
                                     const Operation &operation, const zenk::Background &background, int part_rows,
                                     const RowProgress &rows_done, JobTiming *timing) {
    const zenk::RasterInfo &info = reader.info();
    HsiMapping hsi;
    ColourMapping colour(operation.linear);
    zenk::PlaneMapping &mapping =
        operation.kind == OperatorKind::Bandpass ? static_cast<zenk::PlaneMapping &>(colour) : hsi;
    const auto progress = [&](int32_t done, int32_t total) {
        if (rows_done) rows_done(done, total);
    };
    zenk::FileSource source(reader, mapping, zenk::part_rows_for(info.width, part_rows), progress);
    zenk::FileSink sink(writer, output, mapping, source, background);
    ImageDescriptor in, out;
    zenk::bind(in, source, info.width, 0);
    zenk::bind(out, sink);

    t_operator_errors.clear();
    const auto started = std::chrono::steady_clock::now();
    const int status = run_operator(operation, &in, &out);
    if (timing) {
        const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        timing->read += source.seconds();
        timing->write += sink.seconds();
        timing->operate += spent - source.seconds() - sink.seconds();
    }
    if (status == 0) return std::nullopt;
    if (!source.error().empty()) return source.error();
    if (!sink.error().empty()) return output_name + ": " + sink.error();
    return t_operator_errors.empty() ? "operator failed with status " + std::to_string(status) : t_operator_errors;
}

void capture_operator_errors() { zenk::set_error_handler(collect_operator_error); }

}  // namespace qova_tool
