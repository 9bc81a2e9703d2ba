// Images of at most 256 colours (palette images, diagrams, many screenshots),
// for writers that take rows of indices into a list of colours (PNG, which
// then stores them as a palette or as low-bit grey). Every operator maps a
// pixel by its colour alone, so such an image is transformed through its
// colours: the operator sees each colour once, as a one-row image, and the
// pixels are then written as the indices of their colours.
#ifndef QOVA_PIPELINE_FEW_COLOURS_H
#define QOVA_PIPELINE_FEW_COLOURS_H

#include "codecs/raster.h"
#include "transform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qova::pipeline {

// Whether an input can take this path: 8-bit grey, RGB or RGBA.
bool few_colours_possible(const codecs::RasterInfo &input);

// The distinct colours of an image, in order of first appearance.
class ColourCensus {
public:
    static constexpr std::size_t kMaxColours = 256;

    // Reads every row of `reader`, stopping at the 257th colour. False with
    // *error set if the reader failed.
    bool take(codecs::RasterReader &reader, int part_rows, const RowProgress &rows_done, std::string *error);
    bool fits() const { return fits_; }
    std::size_t size() const { return keys_.size(); }
    // The colours as one row of samples in the image's layout.
    std::vector<uint16_t> row() const;
    // The index of a pixel's colour; -1 if it was not counted.
    int index_of(const uint16_t *pixel) const;

private:
    int find_or_add(uint32_t key);
    uint32_t key_of(const uint16_t *pixel) const;

    int channels_ = 0;
    bool fits_ = false;
    std::vector<uint32_t> keys_;  // by index: the samples packed a byte each
    std::vector<int16_t> slots_;  // open-addressed table of indices; -1 empty
};

// Reads one row of samples as an image (for the operator to see the colours).
std::unique_ptr<codecs::RasterReader> colour_row_reader(const codecs::RasterInfo &input, std::vector<uint16_t> samples);
// Keeps what it is given, rows after rows.
class CollectingWriter final : public codecs::RasterWriter {
public:
    explicit CollectingWriter(const codecs::RasterInfo &layout) : layout_(layout) {
        row_samples_ = static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(layout.channels);
    }
    bool write_rows(int rows, const uint16_t *in) override;
    bool finish() override { return true; }
    const std::vector<uint16_t> &samples() const { return samples_; }

private:
    codecs::RasterInfo layout_;
    std::vector<uint16_t> samples_;
};

// The transformed colours (one row of samples in the input's layout) as
// the indexed layout's colours, 0xRRGGBBAA each.
std::vector<uint32_t> packed_colours(const codecs::RasterInfo &input, const std::vector<uint16_t> &results);

// Writes every row of `reader` as the census index of each pixel into
// `writer`, whose layout is indexed over the census's colours. False with
// *error set on failure.
bool write_through_colours(codecs::RasterReader &reader, const ColourCensus &census, codecs::RasterWriter &writer,
                           int part_rows, const RowProgress &rows_done, std::string *error);

}  // namespace qova::pipeline

#endif
