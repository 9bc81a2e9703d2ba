// Bindings of descriptors to image files being decoded or encoded part by
// part: a FileSource decodes the next rows on every ZENK_Getpart, a FileSink
// encodes them on ZENK_Putpart, so an image is never held whole.
//
// A PlaneMapping converts between the file's samples and the three planes the
// operator works on (RGB as it stands, linear light, hue-saturation, ...).
#ifndef ZENK_FILE_HOST_H
#define ZENK_FILE_HOST_H

#include "raster.h"
#include "zenk_host.h"

#include <functional>
#include <string>
#include <vector>

namespace zenk {

// A band of a file's rows: interleaved samples, `channels` per pixel.
struct RawRows {
    uint16_t *data = nullptr;
    int rows = 0;
    int32_t width = 0;
    int channels = 0;

    uint16_t *row(int r) const {
        return data + static_cast<std::size_t>(r) * static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    }
};

// A band of three planes, each `rows` x `width` samples stored row after row.
struct PlaneRows {
    int32_t *plane[3] = {nullptr, nullptr, nullptr};
    int rows = 0;
    int32_t width = 0;

    int32_t *row(int p, int r) const {
        return plane[p] + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
    }
};

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
    std::vector<int32_t> storage_[3];
    std::vector<int32_t *> tables_[3];
    PlaneRows view_;
};

// What transparent pixels are composited over when the output holds no alpha,
// at 16-bit scale; white unless chosen.
struct Background {
    uint16_t r = 65535, g = 65535, b = 65535;
    bool is_grey() const { return r == g && g == b; }
};

// Rows per part: at most `preferred`, fewer for very wide images so that a
// part's planes stay within a few megabytes; at least 1.
int part_rows_for(int32_t width, int preferred);

class FileSource : public Source {
public:
    // `progress(rows_done, rows_total)` is called after every part read.
    FileSource(RasterReader &reader, PlaneMapping &mapping, int part_rows,
               std::function<void(int32_t, int32_t)> progress = {});
    int getpart(ImageDescriptor &image) override;

    const RasterInfo &info() const { return reader_.info(); }
    const RawRows &raw() const { return raw_view_; }
    const PlaneRows &planes() const { return planes_.rows(); }
    const std::string &error() const { return error_; }
    // Seconds spent decoding and mapping rows so far.
    double seconds() const { return seconds_; }

private:
    RasterReader &reader_;
    PlaneMapping &mapping_;
    int part_rows_;
    std::function<void(int32_t, int32_t)> progress_;
    int32_t next_row_ = 0;
    bool done_ = false;
    std::vector<uint16_t> raw_;
    RawRows raw_view_;
    PlaneBuffer planes_;
    std::string error_;
    double seconds_ = 0;
};

class FileSink : public Sink {
public:
    // `output` is the writer's layout: the input's, or 8 bits and no alpha
    // (composited over `background`, grey made RGB if it is coloured) where
    // the output format needs it.
    FileSink(RasterWriter &writer, const RasterInfo &output, PlaneMapping &mapping, FileSource &source,
             const Background &background = {});
    void prepare(const PartWindow &window) override;
    const std::string &error() const { return error_; }
    // Seconds spent mapping and encoding rows so far.
    double seconds() const { return seconds_; }

protected:
    int store(ImageDescriptor &image, const PartWindow &window) override;

private:
    RasterWriter &writer_;
    RasterInfo output_;
    PlaneMapping &mapping_;
    FileSource &source_;
    Background background_;
    PlaneBuffer planes_;
    std::vector<uint16_t> mapped_;   // input layout
    std::vector<uint16_t> encoded_;  // output layout
    std::string error_;
    double seconds_ = 0;
};

// Converts rows from one layout to another of the same width: composited over
// `background` if the target has no alpha, grey spread to RGB if the target
// is RGB, 16 to 8 bits with rounding.
void convert_layout(const RawRows &from, const RasterInfo &from_info, const RawRows &to, const RasterInfo &to_info,
                    const Background &background = {});

}  // namespace zenk

#endif
