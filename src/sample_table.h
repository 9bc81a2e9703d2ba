// A function of one sample, tabulated once per call over the range samples
// usually take. The hue and saturation operators map one plane through a
// function of the sample alone, so a row becomes a run of table lookups;
// samples outside the range are computed as they come.
#ifndef QOVA_SAMPLE_TABLE_H
#define QOVA_SAMPLE_TABLE_H

#include <cstdint>

namespace qova {

template <int32_t kSize, class Function>
class SampleTable {
public:
    explicit SampleTable(Function f) : f_(f) {
        for (int32_t v = 0; v < kSize; ++v) values_[v] = f_(v);
    }

    int32_t operator()(int32_t v) const {
        return static_cast<uint32_t>(v) < static_cast<uint32_t>(kSize) ? values_[v] : f_(v);
    }

    void map_row(const int32_t *in, int32_t *out, int width) const {
        for (int c = 0; c < width; ++c) out[c] = (*this)(in[c]);
    }

private:
    Function f_;
    int32_t values_[kSize];
};

template <int32_t kSize, class Function>
SampleTable<kSize, Function> tabulate(Function f) {
    return SampleTable<kSize, Function>(f);
}

}  // namespace qova

#endif
