#include "statistics.h"

#include "qova_conversions.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace qova::plot {

using pipeline::OperatorKind;
using pipeline::PlaneRows;
using pipeline::RawRows;

int density_cell(double x, double y) {
    const double cx = std::floor(x * kCellsPerUnit), cy = std::floor(y * kCellsPerUnit);
    if (!(cx >= 0 && cx < kCellsX && cy >= 0 && cy < kCellsY)) return -1;
    return static_cast<int>(cy) * kCellsX + static_cast<int>(cx);
}

void Statistics::add(const Statistics &other) {
    images += other.images;
    pixels += other.pixels;
    const auto sum = [](auto &to, const auto &from) {
        std::transform(to.begin(), to.end(), from.begin(), to.begin(), [](uint64_t a, uint64_t b) { return a + b; });
    };
    sum(density, other.density);
    black += other.black;
    off_map += other.off_map;
    sum(wavelengths, other.wavelengths);
    sum(hue_before, other.hue_before);
    sum(hue_after, other.hue_after);
    grey += other.grey;
    sum(saturation_before, other.saturation_before);
    sum(saturation_after, other.saturation_after);
    clamped += other.clamped;
}

namespace {

// A hue plane's value (tenths of a degree, 3600 the same as 0) as a whole degree.
std::size_t hue_bin(int32_t hue) {
    const int32_t tenths = std::clamp(hue, 0, 3600) % 3600;
    return static_cast<std::size_t>(tenths / 10);
}

std::size_t saturation_bin(int32_t level) { return static_cast<std::size_t>(std::clamp(level, 0, 999) / 10); }

// Counts the planes on their way to the operator and back, in place of the
// way back to the file: the run's output is not kept.
class Counting final : public pipeline::PlaneMapping {
public:
    Counting(const pipeline::Operation &op, Statistics *stats)
        : op_(op), inner_(pipeline::mapping_for(op)), stats_(stats) {
        if (op.kind == OperatorKind::Bandpass) search_ = std::make_unique<DominantWavelength>(op.table->data());
    }

    void start(const codecs::RasterInfo &input) override { inner_->start(input); }

    void to_planes(const RawRows &file, const PlaneRows &planes) override {
        inner_->to_planes(file, planes);
        stats_->pixels += static_cast<uint64_t>(planes.rows) * static_cast<uint64_t>(planes.width);
        for (int r = 0; r < planes.rows; ++r) {
            const int32_t *p0 = planes.row(0, r), *p1 = planes.row(1, r), *p2 = planes.row(2, r);
            if (op_.kind == OperatorKind::Bandpass) {
                for (int32_t c = 0; c < planes.width; ++c) count_chromaticity(p0[c], p1[c], p2[c]);
                continue;
            }
            for (int32_t c = 0; c < planes.width; ++c) {
                if (p2[c] <= 0)
                    ++stats_->grey;
                else if (op_.kind == OperatorKind::Hue)  // the saturation operator's planes carry no hue
                    ++stats_->hue_before[hue_bin(p1[c])];
                ++stats_->saturation_before[saturation_bin(p2[c])];
            }
        }
    }

    void from_planes(const PlaneRows &result, const PlaneRows &input, const RawRows &, const RawRows &) override {
        if (op_.kind == OperatorKind::Bandpass) return;
        // The level the saturation operator would reach unclamped is at least
        // 1000 exactly when s (100 + strength) / 100 is.
        const int64_t gain = 100 + int64_t{op_.strength};
        for (int r = 0; r < result.rows; ++r) {
            const int32_t *hue = result.row(1, r), *sat = result.row(2, r), *sat_before = input.row(2, r);
            for (int32_t c = 0; c < result.width; ++c) {
                if (sat_before[c] > 0 && op_.kind == OperatorKind::Hue) ++stats_->hue_after[hue_bin(hue[c])];
                ++stats_->saturation_after[saturation_bin(sat[c])];
                if (op_.kind == OperatorKind::Saturation && sat_before[c] * gain >= 100000) ++stats_->clamped;
            }
        }
    }

private:
    // Where the band filter sees the pixel (R, G, B): its chromaticity and
    // dominant wavelength, as the filter finds them.
    void count_chromaticity(int32_t R, int32_t G, int32_t B) {
        const Chromaticity xy = xyz_to_xy(rgb_to_xyz(R, G, B));
        if (!std::isfinite(xy.x) || !std::isfinite(xy.y)) {
            ++stats_->black;
            return;
        }
        const int cell = density_cell(xy.x, xy.y);
        if (cell < 0)
            ++stats_->off_map;
        else
            ++stats_->density[static_cast<std::size_t>(cell)];
        ++stats_->wavelengths[static_cast<std::size_t>((*search_)(xy.x, xy.y) - kFirstDominantWavelength)];
    }

    const pipeline::Operation &op_;
    std::unique_ptr<pipeline::PlaneMapping> inner_;
    Statistics *stats_;
    std::unique_ptr<DominantWavelength> search_;
};

// Takes the rows and keeps nothing.
class Discarding final : public codecs::RasterWriter {
public:
    bool write_rows(int, const uint16_t *) override { return true; }
    bool finish() override { return true; }
    std::unique_ptr<codecs::EncodedBand> encode_band(int32_t first_row, int rows, const uint16_t *) const override {
        auto band = std::make_unique<codecs::EncodedBand>();
        band->first_row = first_row;
        band->rows = rows;
        return band;
    }
    bool write_band(codecs::EncodedBand &) override { return true; }
};

// The part loop without a transform, where the counting is all there is.
int pass_parts(ImageDescriptor *in, ImageDescriptor *out) {
    for (;;) {
        const int rows = ZENK_Getpart(in);
        if (rows < 0) return rows;
        const int stored = ZENK_Putpart(out);
        if (stored < 0) return stored;
        if (out->continues == 0) break;
    }
    ZENK_Refresh(in, 0);
    ZENK_Refresh(out, 0);
    return 0;
}

}  // namespace

bool gather(codecs::RasterReader &reader, pipeline::Operation operation, bool assume_srgb, unsigned threads,
            Statistics *stats, std::string *error, std::vector<std::string> *warnings) {
    const codecs::RasterInfo info = reader.info();
    const bool band = operation.kind == OperatorKind::Bandpass;
    if (band && !operation.table) {
        *error = "the band filter's picture needs its chromaticity table";
        return false;
    }
    if (band && !assume_srgb) {
        if (auto note = pipeline::read_colours_of(info, &operation)) warnings->push_back(*note);
    }
    std::mutex lock;
    std::vector<std::unique_ptr<Statistics>> counts;  // one for each thread
    pipeline::FileRun::Settings settings;
    settings.output = info;
    settings.threads = std::max(1u, threads);
    settings.new_mapping = [&]() -> std::unique_ptr<pipeline::PlaneMapping> {
        const std::lock_guard<std::mutex> guard(lock);
        counts.push_back(std::make_unique<Statistics>());
        return std::make_unique<Counting>(operation, counts.back().get());
    };
    Discarding nothing;
    pipeline::FileRun run(reader, nothing, settings);
    const bool ok = run.run([&](ImageDescriptor &in, ImageDescriptor &out) {
        return band ? pass_parts(&in, &out) : pipeline::run_operator(operation, &in, &out);
    });
    if (!ok) {
        *error = run.failure() == pipeline::FileRun::Failure::Reader ? run.error() : "the operator failed";
        return false;
    }
    for (const auto &count : counts) stats->add(*count);
    ++stats->images;
    warnings->insert(warnings->end(), reader.warnings().begin(), reader.warnings().end());
    return true;
}

}  // namespace qova::plot
