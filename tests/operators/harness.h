// Runs an operator on an in-memory image through the reference host, with a
// guarded sink and a trace of every host call.
#ifndef QOVA_TESTS_HARNESS_H
#define QOVA_TESTS_HARNESS_H

#include "host/memory_host.h"
#include "host/trace.h"
#include "host/zenk_host.h"

#include <random>

struct Harness {
    zenk::Image input;
    zenk::PartPlan plan;
    zenk::Image output;
    zenk::Trace trace;
    ImageDescriptor in{};
    ImageDescriptor out{};

    explicit Harness(zenk::Image image, zenk::PartPlan parts = zenk::PartPlan::rows(3))
        : input(std::move(image)), plan(std::move(parts)) {}

    // `op(&in, &out)` runs with both descriptors bound and the trace active.
    template <class Op>
    int run(Op op) {
        zenk::MemorySource source(input, plan);
        zenk::MemorySink sink(output, source, zenk::Guard::On);
        zenk::bind(in, source, input.width, input.attribute);
        zenk::bind(out, sink);
        ZENK_ERRNO = 0;
        zenk::TraceScope scope(trace);
        return op(&in, &out);
    }

    std::string errors() const {
        std::string s;
        for (const auto &c : trace.calls)
            if (c.call == zenk::Call::Error) s += c.text + ";";
        return s;
    }
};

// An image whose three planes hold uniform random samples in [lo, hi].
inline zenk::Image random_image(int width, int height, int32_t lo, int32_t hi, unsigned seed = 1) {
    zenk::Image image(width, height);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    for (auto &plane : image.planes)
        for (int32_t &v : plane) v = pick(rng);
    image.attribute = 0xA5A5u;
    return image;
}

// A one-row image holding `values` in every plane.
inline zenk::Image row_image(const std::vector<int32_t> &values) {
    zenk::Image image(static_cast<int32_t>(values.size()), 1);
    for (auto &plane : image.planes) plane = values;
    return image;
}

#endif
