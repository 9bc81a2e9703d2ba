// Descriptors bound to image files being decoded and encoded part by part, so
// that an image is never held whole, on one thread or several.
//
// A FileRun splits the image into parts (bands of rows) and runs one operator
// call on each of its threads: part k goes to thread k mod threads, and each
// call sees its own parts in order through its own descriptors, `continues`
// ending the last. Decoding and writing happen in image order, done by
// whichever thread is free to; mapping, the operator and the writer's band
// encoding run on all threads at once. A PlaneMapping converts between the
// file's samples and the three planes the operator works on.
#ifndef QOVA_PIPELINE_FILE_RUN_H
#define QOVA_PIPELINE_FILE_RUN_H

#include "detail/kept_buffers.h"
#include "host/zenk_host.h"
#include "layout.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qova::pipeline {

using codecs::EncodedBand;
using codecs::RasterInfo;
using codecs::RasterReader;
using codecs::RasterWriter;

// A band of three planes, each `rows` x `width` samples stored row after row.
struct PlaneRows {
    int32_t *plane[3] = {nullptr, nullptr, nullptr};
    int rows = 0;
    int32_t width = 0;

    int32_t *row(int p, int r) const {
        return plane[p] + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
    }
};

// One per thread: it may keep what a part's way there leaves for its way back.
class PlaneMapping {
public:
    virtual ~PlaneMapping() = default;
    // Called once with the input's layout before the first part.
    virtual void start(const RasterInfo &input) = 0;
    // The operator's input planes for the rows just read.
    virtual void to_planes(const RawRows &file, const PlaneRows &planes) = 0;
    // The file samples (in the input's layout) for the operator's output. The
    // part's input rows and planes are still at hand, for what the planes do not
    // carry (alpha, exact samples of pixels the operator left alone).
    virtual void from_planes(const PlaneRows &result, const PlaneRows &input_planes, const RawRows &input,
                             const RawRows &out) = 0;
};

// Owns three plane buffers and the row tables handed to a descriptor.
class PlaneBuffer {
public:
    PlaneRows resize(int rows, int32_t width);
    void attach(ImageDescriptor &d);
    const PlaneRows &rows() const { return view_; }

private:
    KeptBuffer<int32_t> storage_[3];
    std::vector<int32_t *> tables_[3];
    PlaneRows view_;
};

// Rows per part: at most `preferred`, fewer for very wide images so that a
// part's planes stay within a few megabytes; at least 1.
int part_rows_for(int32_t width, int preferred);

class FileRun {
public:
    struct Settings {
        RasterInfo output;  // the writer's layout: the input's, or 8 bits, no alpha, grey made RGB
        Background background;
        int part_rows = 64;  // for writers that take bands of any height
        unsigned threads = 1;
        std::function<std::unique_ptr<PlaneMapping>()> new_mapping;  // one for each thread
        std::function<void(int64_t rows_read, int64_t rows)> progress;
    };
    enum class Failure { None, Reader, Writer, Operator };
    // Seconds summed over the threads.
    struct Timing {
        double read = 0;     // decoding and mapping to planes, waiting for parts included
        double operate = 0;  // in the operator, between its host calls
        double write = 0;    // mapping back, encoding and writing
    };

    FileRun(RasterReader &reader, RasterWriter &writer, Settings settings);
    ~FileRun();
    FileRun(const FileRun &) = delete;
    FileRun &operator=(const FileRun &) = delete;

    // Runs `run_operator` on every thread with descriptors bound to its
    // parts. A failure anywhere stops the other threads at their next part.
    // True if every row was decoded, transformed and handed to the writer.
    bool run(const std::function<int(ImageDescriptor &in, ImageDescriptor &out)> &run_operator);
    Failure failure() const { return failure_; }
    const std::string &error() const { return error_; }  // the reader's or the writer's
    Timing timing() const { return timing_; }

    class Worker;

private:
    struct Band;
    void start_other_threads();
    Band *take_band(int32_t index);
    bool finish_band(int32_t index, std::unique_ptr<EncodedBand> encoded);
    void fail(Failure failure, const std::string &error);
    void decode_next(std::unique_lock<std::mutex> &lock);
    void write_ready(std::unique_lock<std::mutex> &lock);
    Band &slot(int32_t index);

    RasterReader &reader_;
    RasterWriter &writer_;
    Settings settings_;
    int part_rows_;
    int32_t parts_;
    unsigned threads_;
    std::size_t window_;  // parts in flight at most, decoded to written

    std::function<void()> start_other_threads_;  // set while run() runs
    std::vector<std::thread> others_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Band>> bands_;  // by part index modulo window_
    int32_t next_decode_ = 0, next_write_ = 0;
    bool decoding_ = false, writing_ = false;
    Failure failure_ = Failure::None;
    std::string error_;
    Timing timing_;
};

}  // namespace qova::pipeline

#endif
