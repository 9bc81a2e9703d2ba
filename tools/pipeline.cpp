#include "pipeline.h"

#include "mappings.h"
#include "qova.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

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
    case OperatorKind::Bandpass:
        if (op.table) return QOVA_XYZfilterTable(in, out, op.centre, op.bandwidth, op.order, op.table->data());
        return QOVA_XYZfilter(in, out, op.centre, op.bandwidth, op.order);
    }
    return QOVA_REJECTED;
}

}  // namespace

std::shared_ptr<const std::vector<ChromaEntry>> load_table(const std::string &path, std::string *error) {
    constexpr int kNeeded = QOVA_TABLE_SIZE - 1;  // 360..698 nm: the last entry is never compared
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *error = path + ": table file not found";
        return nullptr;
    }
    if (std::FILE *readable = std::fopen(path.c_str(), "r")) {
        std::fclose(readable);
    } else {  // said here, as the loader would say it on standard output
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto table = std::make_shared<std::vector<ChromaEntry>>(QOVA_TABLE_SIZE);
    const int records = QOVA_readtable(path.c_str(), table->data());
    if (records < kNeeded) {
        *error = path + ": not a usable table (" + std::to_string(records < 0 ? 0 : records) + " records read, " +
                 std::to_string(kNeeded) + " needed)";
        return nullptr;
    }
    return table;
}

std::optional<std::string> transform(zenk::RasterReader &reader, zenk::RasterWriter &writer,
                                     const zenk::RasterInfo &output, const std::string &output_name,
                                     const Operation &operation, const zenk::Background &background, RunShape shape,
                                     const RowProgress &rows_done, JobTiming *timing) {
    zenk::FileRun::Settings settings;
    settings.output = output;
    settings.background = background;
    settings.part_rows = shape.part_rows;
    settings.threads = shape.threads;
    settings.new_mapping = [&operation]() -> std::unique_ptr<zenk::PlaneMapping> {
        if (operation.kind == OperatorKind::Bandpass) return std::make_unique<ColourMapping>(operation.linear, operation.colours);
        return std::make_unique<HsiMapping>();
    };
    settings.progress = rows_done;
    zenk::FileRun run(reader, writer, settings);

    // Each thread's operator messages, gathered where the job can see them.
    std::mutex lock;
    std::string operator_errors;
    const bool ok = run.run([&](ImageDescriptor &in, ImageDescriptor &out) {
        t_operator_errors.clear();
        const int status = run_operator(operation, &in, &out);
        if (status != 0 && !t_operator_errors.empty()) {
            const std::lock_guard<std::mutex> guard(lock);
            if (operator_errors.empty()) operator_errors = t_operator_errors;
        }
        return status;
    });
    if (timing) {
        timing->read += run.timing().read;
        timing->operate += run.timing().operate;
        timing->write += run.timing().write;
    }
    if (ok) return std::nullopt;
    switch (run.failure()) {
    case zenk::FileRun::Failure::Reader: return run.error();
    case zenk::FileRun::Failure::Writer: return output_name + ": " + run.error();
    default: return operator_errors.empty() ? std::string("operator failed") : operator_errors;
    }
}

void capture_operator_errors() { zenk::set_error_handler(collect_operator_error); }

}  // namespace qova_tool
