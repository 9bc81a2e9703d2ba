// qova._qova: the pipeline's operations on numpy arrays, files and bytes.
// Arguments arrive checked by the Python layer (qova/__init__.py); what is
// checked here again guards memory, not the user's mistakes. The GIL is
// released for the pixel work only: the arrays are held, and dropped, by the
// caller's scope, which holds it.
#include "arrays.h"

#include "files/job.h"
#include "pipeline/hsi_mapping.h"
#include "pipeline/transform.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace py = pybind11;

namespace qova::python {

namespace {

// A file, codec or operator failure, as the tool words it.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The band filter's table, loaded once per process.
std::mutex g_table_lock;
std::shared_ptr<const std::vector<ChromaEntry>> g_table;

void load_table(const std::string &path) {
    const std::lock_guard<std::mutex> guard(g_table_lock);
    if (g_table) return;
    std::string error;
    g_table = pipeline::load_table(path, &error);
    if (!g_table) throw Failure(error);
}

// What the Python layer hands over for an operation.
pipeline::Operation operation(int kind, int strength, const std::vector<int> &poles, int centre, int bandwidth,
                              int order, bool linear) {
    if (kind < 0 || kind > 2) throw std::invalid_argument("unknown operation");
    pipeline::Operation op;
    op.kind = static_cast<pipeline::OperatorKind>(kind);
    op.strength = strength;
    op.poles = poles;
    op.centre = centre;
    op.bandwidth = bandwidth;
    op.order = order;
    op.linear = linear;
    if (op.kind == pipeline::OperatorKind::Bandpass) {
        const std::lock_guard<std::mutex> guard(g_table_lock);
        if (!g_table) throw Failure("the chromaticity table is not loaded");
        op.table = g_table;
    }
    return op;
}

// An array's samples as the pipeline sees them. `writable` arrays are
// written into.
ArrayView view_of(const py::array &a, bool writable) {
    const py::dtype dtype = a.dtype();
    if (dtype.kind() != 'u' || (dtype.itemsize() != 1 && dtype.itemsize() != 2))
        throw py::type_error("takes uint8 or uint16 arrays");
    if (writable && !a.writeable()) throw py::value_error("out is read-only");
    ArrayView v;
    v.data = static_cast<char *>(const_cast<void *>(a.data()));
    v.depth = dtype.itemsize() == 1 ? 8 : 16;
    const auto ndim = a.ndim();
    if (ndim < 2 || ndim > 4) throw py::value_error("takes (H, W), (H, W, C) or (N, H, W, C) arrays");
    const int first = ndim == 4 ? 0 : 1;  // where the shape's first axis goes among n, y, x, c
    for (py::ssize_t i = 0; i < ndim; ++i) {
        const auto axis = static_cast<std::size_t>(first + i);
        v.strides[axis] = a.strides(i);
        const int64_t size = a.shape(i);
        (axis == 0 ? v.images : axis == 1 ? v.height : axis == 2 ? v.width : v.channels) = size;
    }
    if (v.channels < 1 || v.channels > 4) throw py::value_error("takes 1 to 4 channels");
    if (v.width > INT32_MAX || v.images * v.height > INT32_MAX) throw py::value_error("array too large");
    return v;
}

bool empty(const ArrayView &v) { return v.images == 0 || v.height == 0 || v.width == 0; }

void apply(int kind, int strength, const std::vector<int> &poles, int centre, int bandwidth, int order, bool linear,
           const py::array &image, const py::array &out, unsigned threads) {
    const pipeline::Operation op = operation(kind, strength, poles, centre, bandwidth, order, linear);
    const ArrayView in = view_of(image, false), to = view_of(out, true);
    if (in.images != to.images || in.height != to.height || in.width != to.width || in.channels != to.channels ||
        in.depth != to.depth)
        throw py::value_error("out does not match the input");
    if (empty(in)) return;
    std::optional<std::string> problem;
    {
        const py::gil_scoped_release unlocked;
        ArrayReader reader(in);
        ArrayWriter writer(to);
        // Parts of 16 rows keep a part's samples, planes and results within
        // the processor's second-level cache for images up to a few thousand
        // pixels wide; the tool's 64 rows suit its encoders.
        problem = pipeline::transform(reader, writer, reader.info(), "the output array", op, pipeline::Background{},
                                      pipeline::RunShape{16, threads}, {}, nullptr);
    }
    if (problem) throw Failure(*problem);
}

// The operators' planes of every pixel, in an int32 array of the image's
// shape with 3 channels: R + G + B, hue in tenths of a degree, saturation 0..999.
py::array_t<int32_t> hsi(const py::array &image) {
    const ArrayView in = view_of(image, false);
    std::vector<py::ssize_t> shape;
    for (py::ssize_t i = 0; i < image.ndim(); ++i) shape.push_back(image.shape(i));
    if (image.ndim() == 2)
        shape.push_back(3);
    else
        shape.back() = 3;
    py::array_t<int32_t> planes(shape);
    int32_t *result = planes.mutable_data();
    if (empty(in)) return planes;
    {
        const py::gil_scoped_release unlocked;
        const codecs::RasterInfo info = in.info();
        pipeline::HsiMapping mapping;
        mapping.start(info);
        const int band = pipeline::part_rows_for(info.width, 64);
        const auto width = static_cast<std::size_t>(info.width);
        std::vector<uint16_t> raw(static_cast<std::size_t>(band) * width * static_cast<std::size_t>(info.channels));
        pipeline::PlaneBuffer buffer;
        for (int32_t y = 0; y < info.height; y += band) {
            const int rows = std::min(band, info.height - y);
            in.read(y, rows, raw.data());
            const pipeline::PlaneRows p = buffer.resize(rows, info.width);
            mapping.to_planes(pipeline::RawRows{raw.data(), rows, info.width, info.channels}, p);
            int32_t *at = result + static_cast<std::size_t>(y) * width * 3;
            for (int r = 0; r < rows; ++r)
                for (std::size_t x = 0; x < width; ++x)
                    for (int k = 0; k < 3; ++k) *at++ = p.row(k, r)[x];
        }
    }
    return planes;
}

files::JobOptions job_options(std::optional<int> quality, bool lossless, bool strip, unsigned threads) {
    files::JobOptions options;
    options.quality = quality;
    options.encode.lossless = lossless;
    options.strip = strip;
    options.threads = threads;
    options.limits.max_memory = codecs::default_memory_limit();
    return options;
}

std::vector<std::string> transform_file(const std::string &src, const std::string &dst, int kind, int strength,
                                        const std::vector<int> &poles, int centre, int bandwidth, int order,
                                        bool linear, std::optional<int> quality, bool lossless, bool strip,
                                        unsigned threads) {
    const pipeline::Operation op = operation(kind, strength, poles, centre, bandwidth, order, linear);
    namespace fs = std::filesystem;
    files::JobResult result;
    {
        const py::gil_scoped_release unlocked;
        result = files::run_job(files::JobRequest{fs::absolute(src), fs::absolute(dst), std::nullopt, dst}, op,
                                job_options(quality, lossless, strip, threads));
    }
    if (result.problem) throw Failure(src + ": " + *result.problem);
    return result.warnings;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

py::tuple transform_bytes(const py::bytes &data, int kind, int strength, const std::vector<int> &poles, int centre,
                          int bandwidth, int order, bool linear, std::optional<std::string> format,
                          std::optional<int> quality, bool lossless, bool strip, unsigned threads) {
    const pipeline::Operation op = operation(kind, strength, poles, centre, bandwidth, order, linear);
    std::optional<codecs::FileFormat> chosen;
    if (format && !(chosen = codecs::format_of_name(*format)))
        throw py::value_error("format needs one of " + codecs::format_names() + ", not '" + *format + "'");
    std::string input = data;  // held for the reader, without the GIL
    std::string output, problem;
    std::vector<std::string> warnings;
    {
        const py::gil_scoped_release unlocked;
        const files::JobOptions options = job_options(quality, lossless, strip, threads);
        const std::unique_ptr<std::FILE, FileCloser> in(input.empty() ? nullptr
                                                                      : fmemopen(input.data(), input.size(), "rb"));
        const std::unique_ptr<std::FILE, FileCloser> out(std::tmpfile());
        const auto open = [&](std::string *error) -> std::unique_ptr<codecs::RasterReader> {
            if (!in) {
                *error = "no image in empty bytes";
                return nullptr;
            }
            if (std::fseek(in.get(), 0, SEEK_SET) != 0) {
                *error = "cannot seek in the input";
                return nullptr;
            }
            return codecs::open_reader(in.get(), options.limits, error);
        };
        std::unique_ptr<codecs::RasterReader> reader = open(&problem);
        if (reader && !out) problem = "cannot make a temporary file for the output";
        if (reader && out) {
            const codecs::RasterInfo info = reader->info();
            const codecs::FileFormat to_format = chosen ? *chosen : info.format;
            const pipeline::Destination to{to_format, out.get(), files::encode_options(info, to_format, options),
                                           "the output"};
            pipeline::RunSettings settings;
            settings.strip = strip;
            settings.shape = pipeline::RunShape{options.part_rows, threads};
            pipeline::RunReport report;
            if (auto failed = pipeline::run_operation(std::move(reader), open, op, to, settings, &report)) {
                problem = *failed;
            } else if (std::fflush(out.get()) != 0 || std::fseek(out.get(), 0, SEEK_END) != 0) {
                problem = "cannot write the output";
            } else {
                output.resize(static_cast<std::size_t>(std::ftell(out.get())));
                std::rewind(out.get());
                if (std::fread(output.data(), 1, output.size(), out.get()) != output.size())
                    problem = "cannot read the output back";
                warnings = std::move(report.warnings);
            }
        }
    }
    if (!problem.empty()) throw Failure("the input bytes: " + problem);
    return py::make_tuple(py::bytes(output), warnings);
}

}  // namespace

}  // namespace qova::python

PYBIND11_MODULE(_qova, m) {
    using namespace qova::python;
    m.doc() = "The qova pipeline on numpy arrays, files and bytes; use the qova package, which checks arguments.";
    py::register_exception<Failure>(m, "QovaError");
    qova::pipeline::capture_operator_errors();
    m.def("load_table", &load_table, py::arg("path"));
    m.def("apply", &apply);
    m.def("hsi", &hsi);
    m.def("transform_file", &transform_file);
    m.def("transform_bytes", &transform_bytes);
    m.attr("formats") = qova::codecs::format_names();
}
