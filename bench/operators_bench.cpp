// Every operator through the in-memory reference host on two 12-megapixel
// inputs, parts of 64 rows, with its baseline measured in the same run:
// - hue and saturation operators against copying the same bytes (three planes
//   read, three written), the limit they work against;
// - the band filter against its straightforward implementation.
// After the usual table, prints each operator's throughput and its ratio to
// its baseline.
#include "host/memory_host.h"
#include "qova.h"
#include "qova_conversions.hpp"
#include "reference_filter.h"
#include "upscale.h"

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>

namespace {

constexpr int32_t kWidth = 4000, kHeight = 3000;
constexpr int kPartRows = 64;

// The sample photo scaled up bilinearly, 8-bit samples.
zenk::Image natural_photo() {
    SourcePhoto photo;
    std::string error;
    if (!photo.load(QOVA_SAMPLE_PHOTO, &error)) throw std::runtime_error(error);
    zenk::Image image(kWidth, kHeight);
    std::vector<uint16_t> row(static_cast<std::size_t>(kWidth) * 3);
    for (int32_t y = 0; y < kHeight; ++y) {
        photo.scaled_row(y, kWidth, kHeight, 1.0, row.data());
        for (int32_t x = 0; x < kWidth; ++x)
            for (int p = 0; p < 3; ++p) image.at(p, y, x) = row[static_cast<std::size_t>(x) * 3 + p];
    }
    return image;
}

// Uniformly spread 8-bit colours, no two alike: a bijection of the 24-bit
// colour cube applied to the pixel index.
zenk::Image random_colours() {
    zenk::Image image(kWidth, kHeight);
    for (uint32_t i = 0; i < static_cast<uint32_t>(kWidth) * kHeight; ++i) {
        uint32_t c = (i * 0x9E3779u) & 0xFFFFFFu;  // odd multipliers and xor-shifts permute 24-bit values
        c ^= c >> 12;
        c = (c * 0x2C1B3Du) & 0xFFFFFFu;
        c ^= c >> 11;
        const auto y = static_cast<int>(i / kWidth), x = static_cast<int>(i % kWidth);
        image.at(0, y, x) = static_cast<int32_t>(c >> 16);
        image.at(1, y, x) = static_cast<int32_t>((c >> 8) & 0xFF);
        image.at(2, y, x) = static_cast<int32_t>(c & 0xFF);
    }
    return image;
}

// The hue-saturation image of a colour image, as the hue and saturation
// operators take it: R+G+B, hue in tenths of a degree, saturation 0..999.
zenk::Image hue_saturation(const zenk::Image &rgb) {
    zenk::Image image(rgb.width, rgb.height);
    for (std::size_t i = 0; i < rgb.planes[0].size(); ++i) {
        const int32_t r = rgb.planes[0][i], g = rgb.planes[1][i], b = rgb.planes[2][i];
        const qova::Hsi hsi = qova::rgb_to_hsi(r, g, b);
        image.planes[0][i] = r + g + b;
        image.planes[1][i] = static_cast<int32_t>(std::lround(hsi.H * 10));
        image.planes[2][i] = static_cast<int32_t>(std::lround(hsi.S * 999));
    }
    return image;
}

struct Inputs {
    zenk::Image rgb, hs;
};

const Inputs &inputs(const std::string &name) {
    static std::map<std::string, Inputs> made;
    auto it = made.find(name);
    if (it == made.end()) {
        zenk::Image rgb = name == "photo" ? natural_photo() : random_colours();
        zenk::Image hs = hue_saturation(rgb);
        it = made.emplace(name, Inputs{std::move(rgb), std::move(hs)}).first;
    }
    return it->second;
}

// The copy baseline: the operators' part-wise loop over the same host, with
// three rows copied per row.
int copy_planes(ImageDescriptor *in, ImageDescriptor *out) {
    for (;;) {
        const int rows = ZENK_Getpart(in);
        if (rows < 0) return rows;
        const std::size_t bytes = static_cast<std::size_t>(in->width) * sizeof(int32_t);
        for (int r = 0; r < rows; ++r) {
            std::memcpy(out->plane0[r], in->plane0[r], bytes);
            std::memcpy(out->plane1[r], in->plane1[r], bytes);
            std::memcpy(out->plane2[r], in->plane2[r], bytes);
        }
        const int stored = ZENK_Putpart(out);
        if (stored < 0) return stored;
        if (out->continues == 0) break;
    }
    ZENK_Refresh(in, 0);
    ZENK_Refresh(out, 0);
    return 0;
}

using Operator = std::function<int(ImageDescriptor *, ImageDescriptor *)>;

void run(benchmark::State &state, const std::string &input, bool colour, const Operator &op) {
    const zenk::Image &image = colour ? inputs(input).rgb : inputs(input).hs;
    zenk::Image output;
    for (auto _ : state) {
        zenk::MemorySource source(image, zenk::PartPlan::rows(kPartRows));
        zenk::MemorySink sink(output, source);
        ImageDescriptor in, out;
        zenk::bind(in, source, image.width, image.attribute);
        zenk::bind(out, sink);
        if (op(&in, &out) != 0) state.SkipWithError("operator failed");
        benchmark::DoNotOptimize(output.planes[0].data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * image.width * image.height);
}

struct Case {
    const char *name;
    bool colour;  // colour input (the filter) or hue-saturation input
    const char *baseline;
    Operator op;
};

int g_poles[] = {300, 1500, 2700};

const Case kCases[] = {
    {"copy", false, nullptr, copy_planes},
    {"saturation", false, "copy", [](ImageDescriptor *i, ImageDescriptor *o) { return QOVA_SatuVariation(i, o, 30); }},
    {"hue", false, "copy", [](ImageDescriptor *i, ImageDescriptor *o) { return QOVA_HuePolarisation(i, o, 60); }},
    {"hue_poles", false, "copy",
     [](ImageDescriptor *i, ImageDescriptor *o) { return QOVA_HuePolarisation1(i, o, -40, g_poles, 3); }},
    {"filter_reference", true, nullptr,
     [](ImageDescriptor *i, ImageDescriptor *o) { return reference_XYZfilter(i, o, 550, 100, 2); }},
    {"filter", true, "filter_reference",
     [](ImageDescriptor *i, ImageDescriptor *o) { return QOVA_XYZfilter(i, o, 550, 100, 2); }},
};

// Keeps each run's throughput for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}
    std::map<std::string, double> rate;  // "filter/photo/..." -> pixels per second

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const auto it = r.counters.find("items_per_second");
            if (!r.error_occurred && it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
    }
};

void print_summary(const SummaryReporter &reporter) {
    std::printf("\n%-12s %-7s %10s   %-17s %10s   %s\n", "operator", "input", "Mpx/s", "baseline", "Mpx/s", "ratio");
    for (const Case &c : kCases) {
        if (!c.baseline) continue;
        for (const char *input : {"photo", "random"}) {
            const auto find = [&](const std::string &name) {
                const std::string prefix = name + "/" + input + "/";
                for (const auto &[run, rate] : reporter.rate)
                    if (run.compare(0, prefix.size(), prefix) == 0) return rate;
                return 0.0;
            };
            const double mine = find(c.name), base = find(c.baseline);
            if (mine <= 0 || base <= 0) continue;
            std::printf("%-12s %-7s %10.1f   %-17s %10.1f   %.2f\n", c.name, input, mine / 1e6, c.baseline, base / 1e6,
                        mine / base);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The band filter opens cie_table.txt in the working directory; the build
    // puts a copy beside this program.
    std::filesystem::current_path(std::filesystem::canonical("/proc/self/exe").parent_path());
    for (const Case &c : kCases) {
        for (const char *input : {"photo", "random"}) {
            auto *b = benchmark::RegisterBenchmark((std::string(c.name) + "/" + input).c_str(),
                                                   [&c, input](benchmark::State &s) { run(s, input, c.colour, c.op); });
            b->Unit(benchmark::kMillisecond)->UseRealTime();
            if (std::string(c.name) == "filter_reference") b->Iterations(1);
        }
    }
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    return 0;
}
