// Takes typed values off the front of a fuzzer's input; zeros once it runs out.
#ifndef QOVA_FUZZ_BYTE_READER_H
#define QOVA_FUZZ_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint32_t u32() {
        uint8_t b[4] = {0, 0, 0, 0};
        const size_t n = size_ < 4 ? size_ : 4;
        if (n) std::memcpy(b, data_, n);
        data_ += n;
        size_ -= n;
        return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
               static_cast<uint32_t>(b[3]) << 24;
    }
    uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // lo..hi inclusive, from one byte (hi - lo < 256).
    int small(int lo, int hi) { return lo + byte() % (hi - lo + 1); }
    // Mostly small values, sometimes anything: parameters near their limits and far beyond.
    int32_t parameter(int32_t lo, int32_t hi) { return byte() < 224 ? small(lo, hi) : i32(); }
    bool empty() const { return size_ == 0; }

private:
    const uint8_t *data_;
    size_t size_;
};

#endif
