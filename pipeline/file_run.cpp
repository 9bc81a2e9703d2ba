#include "file_run.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qova::pipeline {

using zenk::kIoError;
using zenk::kNoMoreParts;
using zenk::PartWindow;
using zenk::Sink;
using zenk::Source;

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

std::size_t samples_of(int rows, int32_t width, int channels) {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
}

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

// ---- One run of an operator over a file, on one thread or several ------------

// A part between its decoding and its writing.
struct FileRun::Band {
    enum class State { Free, Decoding, Decoded, Taken, Encoded };
    State state = State::Free;
    int32_t index = -1;
    int32_t first_row = 0;
    int rows = 0;
    KeptBuffer<uint16_t> raw;              // as decoded, in the input's layout
    std::unique_ptr<EncodedBand> encoded;  // as the writer made it ready
};

// One thread's operator call: its descriptors are bound to its own source and
// sink, which hand it parts k, k + threads, ... and take back its results.
class FileRun::Worker {
public:
    Worker(FileRun &run, unsigned number)
        : run_(run), next_(static_cast<int32_t>(number)), source_(*this), sink_(*this) {
        mapping_ = run.settings_.new_mapping();
        mapping_->start(run.reader_.info());
    }

    int operate(const std::function<int(ImageDescriptor &, ImageDescriptor &)> &run_operator) {
        ImageDescriptor in, out;
        bind(in, source_, run_.reader_.info().width, 0);
        bind(out, sink_);
        const auto started = std::chrono::steady_clock::now();
        const int status = run_operator(in, out);
        timing_.operate += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() -
                           timing_.read - timing_.write;
        return status;
    }

    const Timing &timing() const { return timing_; }

private:
    class PartSource final : public Source {
    public:
        explicit PartSource(Worker &worker) : worker_(worker) {}
        int getpart(ImageDescriptor &d) override { return worker_.fetch(d, *this); }
        void show(const PartWindow &window) { announce(window); }

    private:
        Worker &worker_;
    };

    class PartSink final : public Sink {
    public:
        explicit PartSink(Worker &worker) : Sink(worker.source_), worker_(worker) {}
        void prepare(const PartWindow &window) override {
            worker_.out_planes_.resize(window.rows, window.width);
            worker_.out_planes_.attach(*descriptor());
        }

    protected:
        int store(ImageDescriptor &, const PartWindow &) override { return worker_.store(); }

    private:
        Worker &worker_;
    };

    int fetch(ImageDescriptor &d, PartSource &source) {
        const Stopwatch time(timing_.read);
        if (current_ < 0 && next_ == 0) run_.start_other_threads();  // the first call took its arguments
        if (next_ >= run_.parts_) return kNoMoreParts;
        band_ = run_.take_band(next_);
        if (!band_) return kIoError;
        const RasterInfo &info = run_.reader_.info();
        raw_ = RawRows{band_->raw.data(), band_->rows, info.width, info.channels};
        mapping_->to_planes(raw_, in_planes_.resize(band_->rows, info.width));
        in_planes_.attach(d);
        d.width = info.width;
        const bool more = next_ + static_cast<int32_t>(run_.threads_) < run_.parts_;
        source.show(PartWindow{band_->first_row, band_->rows, info.width, more});
        current_ = next_;
        next_ += static_cast<int32_t>(run_.threads_);
        return band_->rows;
    }

    int store() {
        const Stopwatch time(timing_.write);
        const RasterInfo &input = run_.reader_.info(), &output = run_.settings_.output;
        const std::size_t samples = samples_of(raw_.rows, input.width, input.channels);
        mapped_.resize(samples);
        const RawRows mapped{mapped_.data(), raw_.rows, input.width, input.channels};
        mapping_->from_planes(out_planes_.rows(), in_planes_.rows(), raw_, mapped);
        RawRows encoded = mapped;
        if (output.channels != input.channels || output.bit_depth != input.bit_depth) {
            converted_.resize(samples_of(raw_.rows, input.width, output.channels));
            encoded = RawRows{converted_.data(), raw_.rows, input.width, output.channels};
            convert_layout(mapped, input, encoded, output, run_.settings_.background);
        }
        std::unique_ptr<EncodedBand> band = run_.writer_.encode_band(band_->first_row, band_->rows, encoded.data);
        return run_.finish_band(current_, std::move(band)) ? 0 : kIoError;
    }

    FileRun &run_;
    int32_t next_;          // the next part this thread takes
    int32_t current_ = -1;  // the part it holds
    Band *band_ = nullptr;
    RawRows raw_;
    std::unique_ptr<PlaneMapping> mapping_;
    PartSource source_;
    PartSink sink_;
    PlaneBuffer in_planes_, out_planes_;
    KeptBuffer<uint16_t> mapped_, converted_;
    Timing timing_;
};

FileRun::FileRun(RasterReader &reader, RasterWriter &writer, Settings settings)
    : reader_(reader), writer_(writer), settings_(std::move(settings)) {
    const RasterInfo &info = reader.info();
    part_rows_ = writer.band_rows() > 0 ? writer.band_rows() : part_rows_for(info.width, settings_.part_rows);
    parts_ = (info.height + part_rows_ - 1) / part_rows_;
    threads_ = std::clamp<unsigned>(settings_.threads, 1, static_cast<unsigned>(std::max(parts_, 1)));
    window_ = 2 * static_cast<std::size_t>(threads_) + 1;
    for (std::size_t i = 0; i < window_; ++i) bands_.push_back(std::make_unique<Band>());
}

FileRun::~FileRun() = default;

FileRun::Band &FileRun::slot(int32_t index) { return *bands_[static_cast<std::size_t>(index) % window_]; }

void FileRun::start_other_threads() {
    if (start_other_threads_) start_other_threads_();
}

// The first thread's operator call starts in the calling thread; the others
// start once it asks for its first part. An operator that refuses its
// arguments does so before that, writing the host's error variable, so that
// happens on one thread only.
bool FileRun::run(const std::function<int(ImageDescriptor &, ImageDescriptor &)> &run_operator) {
    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned t = 0; t < threads_; ++t) workers.push_back(std::make_unique<Worker>(*this, t));
    const auto work = [&](unsigned t) {
        if (workers[t]->operate(run_operator) != 0) fail(Failure::Operator, "");
    };
    start_other_threads_ = [&] {
        for (unsigned t = 1; t < threads_; ++t) others_.emplace_back(work, t);
    };
    work(0);
    for (std::thread &t : others_) t.join();
    others_.clear();
    start_other_threads_ = nullptr;
    for (const auto &w : workers) {
        timing_.read += w->timing().read;
        timing_.operate += w->timing().operate;
        timing_.write += w->timing().write;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failure_ == Failure::None && next_write_ != parts_) failure_ = Failure::Operator;  // a part never came back
    return failure_ == Failure::None;
}

void FileRun::fail(Failure failure, const std::string &error) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (failure_ != Failure::None) return;  // the first failure is the one to tell
        failure_ = failure;
        error_ = error;
    }
    changed_.notify_all();
}

// Waits until part `index` is decoded, decoding or writing meanwhile where
// nobody else is. Null once anything has failed.
FileRun::Band *FileRun::take_band(int32_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (failure_ != Failure::None) return nullptr;
        Band &b = slot(index);
        if (b.index == index && b.state == Band::State::Decoded) {
            b.state = Band::State::Taken;
            return &b;
        }
        const bool room = static_cast<std::size_t>(next_decode_ - next_write_) < window_;
        if (!decoding_ && next_decode_ < parts_ && room) {
            decode_next(lock);
        } else if (!writing_ && slot(next_write_).index == next_write_ &&
                   slot(next_write_).state == Band::State::Encoded) {
            write_ready(lock);
        } else {
            changed_.wait(lock);
        }
    }
}

// Decodes the next part in image order, the lock released meanwhile.
void FileRun::decode_next(std::unique_lock<std::mutex> &lock) {
    const int32_t index = next_decode_++;
    Band &b = slot(index);
    b.index = index;
    b.state = Band::State::Decoding;
    b.first_row = index * part_rows_;
    b.rows = std::min(part_rows_, reader_.info().height - b.first_row);
    decoding_ = true;
    lock.unlock();
    const RasterInfo &info = reader_.info();
    b.raw.resize(samples_of(b.rows, info.width, info.channels));
    const bool ok = reader_.read_rows(b.rows, b.raw.data());
    if (ok && settings_.progress) settings_.progress(b.first_row + b.rows, info.height);
    lock.lock();
    decoding_ = false;
    if (ok) {
        b.state = Band::State::Decoded;
    } else if (failure_ == Failure::None) {
        failure_ = Failure::Reader;
        error_ = reader_.error();
    }
    changed_.notify_all();
}

// Takes back a part made ready for writing, and writes what can be written.
bool FileRun::finish_band(int32_t index, std::unique_ptr<EncodedBand> encoded) {
    if (!encoded) fail(Failure::Writer, writer_.error().empty() ? "out of memory" : writer_.error());
    std::unique_lock<std::mutex> lock(mutex_);
    if (failure_ != Failure::None) return false;
    Band &b = slot(index);
    b.encoded = std::move(encoded);
    b.state = Band::State::Encoded;
    KeptBuffer<uint16_t>().swap(b.raw);
    if (!writing_) write_ready(lock);
    changed_.notify_all();
    return failure_ == Failure::None;
}

// Writes the parts ready in image order, the lock released while writing.
void FileRun::write_ready(std::unique_lock<std::mutex> &lock) {
    writing_ = true;
    while (failure_ == Failure::None) {
        Band &b = slot(next_write_);
        if (b.index != next_write_ || b.state != Band::State::Encoded) break;
        std::unique_ptr<EncodedBand> encoded = std::move(b.encoded);
        lock.unlock();
        const bool ok = writer_.write_band(*encoded);
        encoded.reset();
        lock.lock();
        if (!ok) {
            if (failure_ == Failure::None) {
                failure_ = Failure::Writer;
                error_ = writer_.error();
            }
            break;
        }
        b.state = Band::State::Free;
        ++next_write_;
    }
    writing_ = false;
    changed_.notify_all();
}

}  // namespace qova::pipeline
