#include "file_host.h"

#include <algorithm>
#include <chrono>

namespace zenk {

namespace {

constexpr std::size_t kPlaneBudgetBytes = 4u << 20;  // per plane, per part

// Adds the lifetime of the scope to a counter of seconds.
class Stopwatch {
public:
    explicit Stopwatch(double &total) : total_(total) {}
    ~Stopwatch() { total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
    Stopwatch(const Stopwatch &) = delete;
    Stopwatch &operator=(const Stopwatch &) = delete;

private:
    double &total_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

int part_rows_for(int32_t width, int preferred) {
    const std::size_t row_bytes = static_cast<std::size_t>(std::max<int32_t>(width, 1)) * sizeof(int32_t);
    const std::size_t fit = kPlaneBudgetBytes / row_bytes;
    return static_cast<int>(std::clamp<std::size_t>(fit, 1, static_cast<std::size_t>(std::max(preferred, 1))));
}

PlaneRows PlaneBuffer::resize(int rows, int32_t width) {
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    for (int p = 0; p < 3; ++p) {
        storage_[p].resize(n);
        view_.plane[p] = storage_[p].data();
        tables_[p].resize(static_cast<std::size_t>(rows) + 1);
    }
    view_.rows = rows;
    view_.width = width;
    for (int p = 0; p < 3; ++p)
        for (int r = 0; r < rows; ++r) tables_[p][static_cast<std::size_t>(r)] = view_.row(p, r);
    return view_;
}

void PlaneBuffer::attach(ImageDescriptor &d) {
    d.plane0 = tables_[0].data();
    d.plane1 = tables_[1].data();
    d.plane2 = tables_[2].data();
}

FileSource::FileSource(RasterReader &reader, PlaneMapping &mapping, int part_rows,
                       std::function<void(int32_t, int32_t)> progress)
    : reader_(reader), mapping_(mapping), part_rows_(std::max(part_rows, 1)), progress_(std::move(progress)) {
    mapping_.start(reader.info());
}

int FileSource::getpart(ImageDescriptor &d) {
    if (done_) return kNoMoreParts;
    const Stopwatch time(seconds_);
    const RasterInfo &info = reader_.info();
    const int rows = std::min(part_rows_, info.height - next_row_);
    raw_.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(info.width) *
                static_cast<std::size_t>(info.channels));
    if (!reader_.read_rows(rows, raw_.data())) {
        error_ = reader_.error();
        return kIoError;
    }
    raw_view_ = RawRows{raw_.data(), rows, info.width, info.channels};
    mapping_.to_planes(raw_view_, planes_.resize(rows, info.width));
    planes_.attach(d);
    d.width = info.width;

    const bool more = next_row_ + rows < info.height;
    announce(PartWindow{next_row_, rows, info.width, more});
    next_row_ += rows;
    done_ = !more;
    if (progress_) progress_(next_row_, info.height);
    return rows;
}

FileSink::FileSink(RasterWriter &writer, const RasterInfo &output, PlaneMapping &mapping, FileSource &source,
                   const Background &background)
    : Sink(source), writer_(writer), output_(output), mapping_(mapping), source_(source), background_(background) {}

void FileSink::prepare(const PartWindow &window) {
    planes_.resize(window.rows, window.width);
    planes_.attach(*descriptor());
}

int FileSink::store(ImageDescriptor &, const PartWindow &window) {
    const Stopwatch time(seconds_);
    const RasterInfo &input = source_.info();
    const std::size_t pixels = static_cast<std::size_t>(window.rows) * static_cast<std::size_t>(window.width);
    mapped_.resize(pixels * static_cast<std::size_t>(input.channels));
    const RawRows mapped{mapped_.data(), window.rows, window.width, input.channels};
    mapping_.from_planes(planes_.rows(), source_.planes(), source_.raw(), mapped);

    RawRows encoded = mapped;
    if (output_.channels != input.channels || output_.bit_depth != input.bit_depth) {
        encoded_.resize(pixels * static_cast<std::size_t>(output_.channels));
        encoded = RawRows{encoded_.data(), window.rows, window.width, output_.channels};
        convert_layout(mapped, input, encoded, output_, background_);
    }
    if (!writer_.write_rows(window.rows, encoded.data)) {
        error_ = writer_.error();
        return kIoError;
    }
    return 0;
}

void convert_layout(const RawRows &from, const RasterInfo &from_info, const RawRows &to, const RasterInfo &to_info,
                    const Background &background) {
    const uint64_t max = from_info.max_value();
    const bool narrow = from_info.bit_depth == 16 && to_info.bit_depth == 8;
    const int colours_in = from_info.is_grey() ? 1 : 3, colours_out = to_info.is_grey() ? 1 : 3;
    const bool flatten = from_info.has_alpha() && !to_info.has_alpha();
    const bool keep_alpha = from_info.has_alpha() && to_info.has_alpha();
    // The background at the input's depth.
    const auto scaled = [&](uint16_t v) { return from_info.bit_depth == 16 ? uint64_t{v} : (uint64_t{v} * 255 + 32767) / 65535; };
    const uint64_t back[3] = {scaled(background.r), scaled(background.g), scaled(background.b)};
    const auto store = [&](uint64_t v) { return static_cast<uint16_t>(narrow ? (v * 255 + 32767) / 65535 : v); };
    for (int r = 0; r < from.rows; ++r) {
        const uint16_t *src = from.row(r);
        uint16_t *dst = to.row(r);
        for (int32_t c = 0; c < from.width; ++c) {
            const uint16_t *in = src + static_cast<std::size_t>(c) * static_cast<std::size_t>(from.channels);
            uint16_t *out = dst + static_cast<std::size_t>(c) * static_cast<std::size_t>(to.channels);
            const uint64_t alpha = from_info.has_alpha() ? in[colours_in] : max;
            for (int k = 0; k < colours_out; ++k) {
                uint64_t v = in[colours_in == 1 ? 0 : k];
                if (flatten) v = (v * alpha + back[k] * (max - alpha) + max / 2) / max;
                out[k] = store(v);
            }
            if (keep_alpha) out[colours_out] = store(in[colours_in]);
        }
    }
}

}  // namespace zenk
