#include "few_colours.h"

#include "file_run.h"

#include <algorithm>

namespace qova::pipeline {

namespace {

constexpr std::size_t kSlots = 1024;  // four times the colours it may hold

uint32_t slot_of(uint32_t key) { return (key * 0x9E3779B1u) >> 22; }

class ColourRowReader final : public codecs::RasterReader {
public:
    ColourRowReader(const codecs::RasterInfo &input, std::vector<uint16_t> samples) : samples_(std::move(samples)) {
        info_.width = static_cast<int32_t>(samples_.size() / static_cast<std::size_t>(input.channels));
        info_.height = 1;
        info_.channels = input.channels;
        info_.bit_depth = input.bit_depth;
    }
    bool read_rows(int rows, uint16_t *out) override {
        if (rows != 1 || served_) return false;
        std::copy(samples_.begin(), samples_.end(), out);
        served_ = true;
        return true;
    }

private:
    std::vector<uint16_t> samples_;
    bool served_ = false;
};

}  // namespace

bool few_colours_possible(const codecs::RasterInfo &input) { return input.bit_depth == 8 && input.channels != 2; }

uint32_t ColourCensus::key_of(const uint16_t *pixel) const {
    uint32_t key = 0;
    for (int k = 0; k < channels_; ++k) key |= static_cast<uint32_t>(pixel[k] & 0xFF) << (8 * k);
    return key;
}

int ColourCensus::find_or_add(uint32_t key) {
    for (uint32_t s = slot_of(key);; s = (s + 1) % kSlots) {
        const int16_t index = slots_[s];
        if (index < 0) {
            if (keys_.size() == kMaxColours) return -1;
            slots_[s] = static_cast<int16_t>(keys_.size());
            keys_.push_back(key);
            return slots_[s];
        }
        if (keys_[static_cast<std::size_t>(index)] == key) return index;
    }
}

int ColourCensus::index_of(const uint16_t *pixel) const {
    const uint32_t key = key_of(pixel);
    for (uint32_t s = slot_of(key);; s = (s + 1) % kSlots) {
        const int16_t index = slots_[s];
        if (index < 0 || keys_[static_cast<std::size_t>(index)] == key) return index;
    }
}

bool ColourCensus::take(codecs::RasterReader &reader, int part_rows, const RowProgress &rows_done, std::string *error) {
    const codecs::RasterInfo &info = reader.info();
    channels_ = info.channels;
    keys_.clear();
    slots_.assign(kSlots, -1);
    fits_ = false;
    const int band = pipeline::part_rows_for(info.width, part_rows);
    const std::size_t row_samples = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(channels_);
    std::vector<uint16_t> rows(static_cast<std::size_t>(band) * row_samples);
    for (int32_t y = 0; y < info.height; y += band) {
        const int n = std::min(band, info.height - y);
        if (!reader.read_rows(n, rows.data())) {
            *error = reader.error();
            return false;
        }
        uint32_t last = 0;
        bool have_last = false;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) * row_samples;
             i += static_cast<std::size_t>(channels_)) {
            const uint32_t key = key_of(&rows[i]);
            if (have_last && key == last) continue;  // runs of one colour are common
            if (find_or_add(key) < 0) return true;
            last = key;
            have_last = true;
        }
        if (rows_done) rows_done(y + n, info.height);
    }
    fits_ = true;
    return true;
}

std::vector<uint16_t> ColourCensus::row() const {
    std::vector<uint16_t> samples;
    for (const uint32_t key : keys_)
        for (int k = 0; k < channels_; ++k) samples.push_back(static_cast<uint16_t>((key >> (8 * k)) & 0xFF));
    return samples;
}

std::vector<uint32_t> packed_colours(const codecs::RasterInfo &input, const std::vector<uint16_t> &results) {
    const std::size_t channels = static_cast<std::size_t>(input.channels), count = results.size() / channels;
    std::vector<uint32_t> colours(count);
    for (std::size_t i = 0; i < count; ++i) {
        const uint16_t *c = &results[i * channels];
        const uint32_t r = c[0], g = channels >= 3 ? c[1] : c[0], b = channels >= 3 ? c[2] : c[0];
        const uint32_t a = channels == 4 ? c[3] : 255;
        colours[i] = r << 24 | g << 16 | b << 8 | a;
    }
    return colours;
}

std::unique_ptr<codecs::RasterReader> colour_row_reader(const codecs::RasterInfo &input,
                                                        std::vector<uint16_t> samples) {
    return std::make_unique<ColourRowReader>(input, std::move(samples));
}

bool CollectingWriter::write_rows(int rows, const uint16_t *in) {
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(layout_.width) *
                          static_cast<std::size_t>(layout_.channels);
    samples_.insert(samples_.end(), in, in + n);
    return true;
}

bool write_through_colours(codecs::RasterReader &reader, const ColourCensus &census, codecs::RasterWriter &writer,
                           int part_rows, const RowProgress &rows_done, std::string *error) {
    const codecs::RasterInfo &info = reader.info();
    const std::size_t channels = static_cast<std::size_t>(info.channels), width = static_cast<std::size_t>(info.width);
    const int band = pipeline::part_rows_for(info.width, part_rows);
    std::vector<uint16_t> in(static_cast<std::size_t>(band) * width * channels),
        out(static_cast<std::size_t>(band) * width);
    for (int32_t y = 0; y < info.height; y += band) {
        const int n = std::min(band, info.height - y);
        if (!reader.read_rows(n, in.data())) {
            *error = reader.error();
            return false;
        }
        for (std::size_t p = 0; p < static_cast<std::size_t>(n) * width; ++p) {
            const int index = census.index_of(&in[p * channels]);
            if (index < 0) {  // the file changed between the two readings
                *error = "the input changed while it was read";
                return false;
            }
            out[p] = static_cast<uint16_t>(index);
        }
        if (!writer.write_rows(n, out.data())) {
            *error = writer.error();
            return false;
        }
        if (rows_done) rows_done(y + n, info.height);
    }
    return true;
}

}  // namespace qova::pipeline
