// The tool's HSI mapping, there and back, against the exact double-precision
// mapping it must match, both run in this process on the same 12-megapixel
// inputs in parts of 64 rows: the sample photo scaled up, and random colours.
// The way back is timed for a saturation change (no hue changes, so the tool's
// mapping leaves the hue out) and for a hue change. After the usual table,
// prints each ratio.
#include "pipeline/hsi_mapping.h"
#include "upscale.h"

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <map>
#include <random>

namespace codecs = qova::codecs;
namespace pipeline = qova::pipeline;

namespace {

constexpr int32_t kWidth = 4000, kHeight = 3000;
constexpr int kPartRows = 64;

// Interleaved 8-bit RGB samples.
const std::vector<uint16_t> &samples(const std::string &input) {
    static std::map<std::string, std::vector<uint16_t>> made;
    auto it = made.find(input);
    if (it != made.end()) return it->second;
    std::vector<uint16_t> v(static_cast<std::size_t>(kWidth) * kHeight * 3);
    if (input == "photo") {
        SourcePhoto photo;
        std::string error;
        if (!photo.load(QOVA_SAMPLE_PHOTO, &error)) throw std::runtime_error(error);
        for (int32_t y = 0; y < kHeight; ++y)
            photo.scaled_row(y, kWidth, kHeight, 1.0, v.data() + static_cast<std::size_t>(y) * kWidth * 3);
    } else {
        std::mt19937 rng(1);
        for (uint16_t &s : v) s = static_cast<uint16_t>(rng() & 0xFF);
    }
    return made.emplace(input, std::move(v)).first->second;
}

codecs::RasterInfo rgb8() {
    codecs::RasterInfo info;
    info.width = kWidth;
    info.height = kHeight;
    return info;
}

// What an operator does to a part: raise saturation by a fifth, or turn hues by 30 degrees.
void operate(const pipeline::PlaneRows &in, const pipeline::PlaneRows &out, bool hue) {
    const std::size_t n = static_cast<std::size_t>(in.rows) * static_cast<std::size_t>(in.width);
    for (std::size_t i = 0; i < n; ++i) {
        out.plane[0][i] = in.plane[0][i];
        out.plane[1][i] = hue ? (in.plane[1][i] + 300) % 3600 : in.plane[1][i];
        out.plane[2][i] = hue ? in.plane[2][i] : std::min(999, in.plane[2][i] * 6 / 5);
    }
}

// The exact mapping, a pixel at a time, as the tool once did it.
struct ExactMapping {
    explicit ExactMapping(bool) {}
    std::vector<pipeline::HsiPixel> pixels;
    void there(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) {
        const std::size_t n = static_cast<std::size_t>(file.rows) * static_cast<std::size_t>(file.width);
        pixels.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const uint16_t *px = file.data + i * 3;
            pixels[i] = pipeline::exact_hsi(px[0], px[1], px[2]);
            planes.plane[0][i] = pixels[i].sum;
            planes.plane[1][i] = pixels[i].hue;
            planes.plane[2][i] = pixels[i].sat;
        }
    }
    void back(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input, const pipeline::RawRows &file,
              const pipeline::RawRows &out) {
        const std::size_t n = static_cast<std::size_t>(file.rows) * static_cast<std::size_t>(file.width);
        for (std::size_t i = 0; i < n; ++i) {
            uint16_t *dst = out.data + i * 3;
            if (result.plane[1][i] == input.plane[1][i] && result.plane[2][i] == input.plane[2][i]) {
                std::copy_n(file.data + i * 3, 3, dst);
                continue;
            }
            const auto rgb =
                pipeline::exact_rgb(result.plane[1][i], result.plane[2][i], result.plane[0][i], pixels[i], 255);
            std::copy(rgb.begin(), rgb.end(), dst);
        }
    }
};

// The tool's mapping; without the hue where the operator needs none, as for
// a saturation change.
struct FastMapping {
    pipeline::HsiMapping mapping;
    explicit FastMapping(bool hue)
        : mapping(hue ? pipeline::HsiMapping::Hue::Computed : pipeline::HsiMapping::Hue::LeftOut) {
        mapping.start(rgb8());
    }
    void there(const pipeline::RawRows &file, const pipeline::PlaneRows &planes) { mapping.to_planes(file, planes); }
    void back(const pipeline::PlaneRows &result, const pipeline::PlaneRows &input, const pipeline::RawRows &file,
              const pipeline::RawRows &out) {
        mapping.from_planes(result, input, file, out);
    }
};

// Times the way there (`back` false) or there and back with the change.
template <class Mapping>
void run(benchmark::State &state, const std::string &input, bool back, bool hue) {
    const std::vector<uint16_t> &image = samples(input);
    Mapping mapping(!back || hue);
    pipeline::PlaneBuffer in_planes, out_planes;
    std::vector<uint16_t> out(static_cast<std::size_t>(kWidth) * kPartRows * 3);
    for (auto _ : state) {
        for (int32_t y = 0; y < kHeight; y += kPartRows) {
            const int rows = std::min(kPartRows, kHeight - y);
            const pipeline::RawRows file{
                const_cast<uint16_t *>(image.data()) + static_cast<std::size_t>(y) * kWidth * 3, rows, kWidth, 3};
            const pipeline::PlaneRows in = in_planes.resize(rows, kWidth);
            mapping.there(file, in);
            if (!back) continue;
            const pipeline::PlaneRows result = out_planes.resize(rows, kWidth);
            operate(in, result, hue);
            mapping.back(result, in, file, pipeline::RawRows{out.data(), rows, kWidth, 3});
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight);
}

class RateReporter : public benchmark::ConsoleReporter {
public:
    RateReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const auto it = r.counters.find("items_per_second");
            if (!r.error_occurred && it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
    }
};

const char *const kWays[] = {"there", "there_and_back_saturation", "there_and_back_hue"};

}  // namespace

int main(int argc, char **argv) {
    for (const char *input : {"photo", "random"})
        for (int way = 0; way < 3; ++way)
            for (const bool fast : {false, true}) {
                const std::string name = std::string(fast ? "fast/" : "exact/") + kWays[way] + "/" + input;
                const bool back = way > 0, hue = way == 2;
                auto *b = fast ? benchmark::RegisterBenchmark(
                                     name.c_str(), [=](benchmark::State &s) { run<FastMapping>(s, input, back, hue); })
                               : benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &s) {
                                     run<ExactMapping>(s, input, back, hue);
                                 });
                b->Unit(benchmark::kMillisecond)->UseRealTime();
            }
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-28s %-7s %10s %10s   %s\n", "mapping", "input", "exact Mpx/s", "fast Mpx/s", "speed-up");
    for (const char *input : {"photo", "random"})
        for (const char *way : kWays) {
            const auto find = [&](const char *kind) {
                const std::string prefix = std::string(kind) + "/" + way + "/" + input;
                for (const auto &[run, rate] : reporter.rate)
                    if (run.compare(0, prefix.size(), prefix) == 0) return rate;
                return 0.0;
            };
            const double exact = find("exact"), fast = find("fast");
            if (exact > 0 && fast > 0)
                std::printf("%-28s %-7s %10.1f %10.1f   %.1f\n", way, input, exact / 1e6, fast / 1e6, fast / exact);
        }
    benchmark::Shutdown();
    return 0;
}
