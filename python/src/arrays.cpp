#include "arrays.h"

#include <cstring>

namespace qova::python {

codecs::RasterInfo ArrayView::info() const {
    codecs::RasterInfo info;
    info.width = static_cast<int32_t>(width);
    info.height = static_cast<int32_t>(images * height);
    info.channels = static_cast<int>(channels);
    info.bit_depth = depth;
    return info;
}

namespace {

// Row by row, with the common layouts (samples of a pixel adjacent, pixels
// adjacent) as plain loops the compiler vectorises.
template <class Sample>
void copy_out(const ArrayView &v, int64_t first, int rows, uint16_t *to) {
    const auto width = static_cast<std::size_t>(v.width), channels = static_cast<std::size_t>(v.channels);
    const bool packed = v.strides[3] == static_cast<int64_t>(sizeof(Sample)) &&
                        v.strides[2] == static_cast<int64_t>(sizeof(Sample) * channels);
    for (int64_t r = first; r < first + rows; ++r) {
        const char *row = v.sample(r, 0, 0);
        if (packed) {
            Sample s[1];
            for (std::size_t i = 0; i < width * channels; ++i) {
                std::memcpy(s, row + i * sizeof(Sample), sizeof(Sample));
                to[i] = s[0];
            }
            to += width * channels;
            continue;
        }
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < channels; ++c) {
                Sample s;
                std::memcpy(&s, row + static_cast<int64_t>(x) * v.strides[2] + static_cast<int64_t>(c) * v.strides[3],
                            sizeof s);
                *to++ = s;
            }
    }
}

template <class Sample>
void copy_in(const ArrayView &v, int64_t first, int rows, const uint16_t *from) {
    const auto width = static_cast<std::size_t>(v.width), channels = static_cast<std::size_t>(v.channels);
    const bool packed = v.strides[3] == static_cast<int64_t>(sizeof(Sample)) &&
                        v.strides[2] == static_cast<int64_t>(sizeof(Sample) * channels);
    for (int64_t r = first; r < first + rows; ++r) {
        char *row = v.sample(r, 0, 0);
        if (packed) {
            for (std::size_t i = 0; i < width * channels; ++i) {
                const auto s = static_cast<Sample>(from[i]);
                std::memcpy(row + i * sizeof(Sample), &s, sizeof s);
            }
            from += width * channels;
            continue;
        }
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < channels; ++c) {
                const auto s = static_cast<Sample>(*from++);
                std::memcpy(row + static_cast<int64_t>(x) * v.strides[2] + static_cast<int64_t>(c) * v.strides[3], &s,
                            sizeof s);
            }
    }
}

}  // namespace

void ArrayView::read(int64_t first, int rows, uint16_t *to) const {
    if (depth == 8)
        copy_out<uint8_t>(*this, first, rows, to);
    else
        copy_out<uint16_t>(*this, first, rows, to);
}

void ArrayView::write(int64_t first, int rows, const uint16_t *from) const {
    if (depth == 8)
        copy_in<uint8_t>(*this, first, rows, from);
    else
        copy_in<uint16_t>(*this, first, rows, from);
}

ArrayReader::ArrayReader(const ArrayView &view) : view_(view) { info_ = view.info(); }

bool ArrayReader::read_rows(int rows, uint16_t *out) {
    if (rows < 0 || next_ + rows > view_.images * view_.height) {
        error_ = "read past the array's last row";
        return false;
    }
    view_.read(next_, rows, out);
    next_ += rows;
    return true;
}

bool ArrayWriter::write_rows(int rows, const uint16_t *in) {
    if (rows < 0 || next_ + rows > view_.images * view_.height) {
        error_ = "written past the array's last row";
        return false;
    }
    view_.write(next_, rows, in);
    next_ += rows;
    return true;
}

std::unique_ptr<codecs::EncodedBand> ArrayWriter::encode_band(int32_t first_row, int rows, const uint16_t *in) const {
    view_.write(first_row, rows, in);
    auto band = std::make_unique<codecs::EncodedBand>();
    band->first_row = first_row;
    band->rows = rows;
    return band;
}

}  // namespace qova::python
