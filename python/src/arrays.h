// Numpy arrays as the pipeline's readers and writers: any strides, negative
// ones included, uint8 or uint16, one to four channels; a batch of images
// is read as one tall image.
#ifndef QOVA_PYTHON_ARRAYS_H
#define QOVA_PYTHON_ARRAYS_H

#include "codecs/raster.h"

#include <cstddef>
#include <cstdint>

namespace qova::python {

// Where an array's samples lie: image n, row y, column x, channel c at
// data + n strides[0] + y strides[1] + x strides[2] + c strides[3] (bytes).
struct ArrayView {
    char *data = nullptr;
    int64_t images = 1, height = 0, width = 0, channels = 1;
    int64_t strides[4] = {0, 0, 0, 0};
    int depth = 8;  // 8: uint8, 16: uint16

    // The tall image's layout: images x height rows.
    codecs::RasterInfo info() const;
    char *sample(int64_t row, int64_t x, int64_t c) const {
        return data + (row / height) * strides[0] + (row % height) * strides[1] + x * strides[2] + c * strides[3];
    }
    // Copies `rows` rows from `first` into interleaved samples, and back.
    void read(int64_t first, int rows, uint16_t *to) const;
    void write(int64_t first, int rows, const uint16_t *from) const;
};

// Reads the rows of an array, in order.
class ArrayReader final : public codecs::RasterReader {
public:
    explicit ArrayReader(const ArrayView &view);
    bool read_rows(int rows, uint16_t *out) override;

private:
    ArrayView view_;
    int64_t next_ = 0;
};

// Writes rows into an array: bands straight from any thread (they never
// share a row), or rows in order.
class ArrayWriter final : public codecs::RasterWriter {
public:
    explicit ArrayWriter(const ArrayView &view) : view_(view) {}
    bool write_rows(int rows, const uint16_t *in) override;
    bool finish() override { return true; }
    std::unique_ptr<codecs::EncodedBand> encode_band(int32_t first_row, int rows, const uint16_t *in) const override;
    bool write_band(codecs::EncodedBand &) override { return true; }

private:
    ArrayView view_;
    int64_t next_ = 0;
};

}  // namespace qova::python

#endif
