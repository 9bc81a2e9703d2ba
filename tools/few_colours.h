// Images of at most 256 colours (palette images, diagrams, many screenshots),
// written back as a palette, or as grey at the smallest depth that holds their
// levels. Every operator maps a pixel by its colour alone, so such an image is
// transformed through its colours: the operator sees each colour once, as a
// one-row image, and the pixels are then rewritten by lookup.
#ifndef QOVA_TOOLS_FEW_COLOURS_H
#define QOVA_TOOLS_FEW_COLOURS_H

#include "pipeline.h"
#include "raster.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qova_tool {

// Whether an input can take this path to a PNG output: 8-bit grey, RGB or RGBA.
bool few_colours_possible(const zenk::RasterInfo &input);

// The distinct colours of an image, in order of first appearance.
class ColourCensus {
public:
    static constexpr std::size_t kMaxColours = 256;

    // Reads every row of `reader`, stopping at the 257th colour. False with
    // *error set if the reader failed.
    bool take(zenk::RasterReader &reader, int part_rows, const RowProgress &rows_done, std::string *error);
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
    std::vector<uint32_t> keys_;       // by index: the samples packed a byte each
    std::vector<int16_t> slots_;       // open-addressed table of indices; -1 empty
};

// How the transformed colours are written: the writer's layout, and the
// sample (palette index or grey level) each counted colour becomes.
struct FewColourEncoding {
    zenk::RasterInfo layout;
    std::vector<uint16_t> sample;  // by census index
};

// `results` holds the transformed colours as one row in the input's layout.
// Grey input stays grey; colour input becomes a palette of its distinct
// results. Either takes the fewest bits a pixel that hold it.
FewColourEncoding choose_encoding(const zenk::RasterInfo &input, const std::vector<uint16_t> &results);

// Reads one row of samples as an image (for the operator to see the colours).
std::unique_ptr<zenk::RasterReader> colour_row_reader(const zenk::RasterInfo &input, std::vector<uint16_t> samples);
// Keeps what it is given, rows after rows.
class CollectingWriter final : public zenk::RasterWriter {
public:
    explicit CollectingWriter(const zenk::RasterInfo &layout) : layout_(layout) {
        row_samples_ = static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(layout.channels);
    }
    bool write_rows(int rows, const uint16_t *in) override;
    bool finish() override { return true; }
    const std::vector<uint16_t> &samples() const { return samples_; }

private:
    zenk::RasterInfo layout_;
    std::vector<uint16_t> samples_;
};

// Rewrites every row of `reader` through the census and the encoding into
// `writer`. False with *error set on failure.
bool write_through_colours(zenk::RasterReader &reader, const ColourCensus &census, const FewColourEncoding &encoding,
                           zenk::RasterWriter &writer, int part_rows, const RowProgress &rows_done, std::string *error);

}  // namespace qova_tool

#endif
