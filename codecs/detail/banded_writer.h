// A writer whose work is done band by band, PNG's and TIFF's: rows handed to
// write_rows gather into bands of band_rows() and are encoded and written as
// the band path (encode_band on any thread, write_band in order) would.
#ifndef QOVA_CODECS_DETAIL_BANDED_WRITER_H
#define QOVA_CODECS_DETAIL_BANDED_WRITER_H

#include "codecs/raster.h"

#include <string>
#include <vector>

namespace qova::codecs {

class BandedWriter : public RasterWriter {
public:
    bool write_rows(int rows, const uint16_t *in) final {
        if (rows < 0 || rows > height_ - rows_gathered_) return refuse("more rows than the image has");
        for (int r = 0; r < rows; ++r, in += row_samples_) {
            pending_.insert(pending_.end(), in, in + row_samples_);
            ++rows_gathered_;
            const int held = static_cast<int>(pending_.size() / row_samples_);
            if (held == band_rows() || rows_gathered_ == height_) {
                const std::unique_ptr<EncodedBand> band = encode_band(rows_gathered_ - held, held, pending_.data());
                pending_.clear();
                if (!band) return refuse("out of memory");
                if (!write_band(*band)) return false;
            }
        }
        return true;
    }

protected:
    // Called once the layout is known: rows of `row_samples` samples, `height` of them.
    void start_bands(int32_t height, std::size_t row_samples) {
        height_ = height;
        row_samples_ = row_samples;
    }
    // Sets the error in the writer's own words; false.
    virtual bool refuse(const std::string &message) = 0;

private:
    int32_t height_ = 0;
    int32_t rows_gathered_ = 0;
    std::vector<uint16_t> pending_;  // rows gathered for the next band
};

}  // namespace qova::codecs

#endif
