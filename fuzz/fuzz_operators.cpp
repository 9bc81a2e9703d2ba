// Every operator on arbitrary widths, part splits, samples, parameters, poles
// and host failures, through the reference host with guarded parts. Aborts on
// any broken promise:
// - a rejected argument returns -1 with ZENK_ERRNO -20, makes no host call and
//   touches neither the poles nor the output's attribute; anything else that
//   is not 0 is the status of an injected failure, reported once with a label;
// - refreshes (in, then out, mode 0) come last and only on success;
// - no write lands outside a part (the guarded host refuses the store);
// - saturation stays in 0..999, fixed-pole hues in 0..3600, given-pole hues in
//   0..3600 when poles and hues are, and the poles end up sorted;
// - pass-through planes are copied; the band filter matches the
//   straightforward one sample for sample.
#include "byte_reader.h"
#include "host/memory_host.h"
#include "host/trace.h"
#include "qova.h"
#include "reference_filter.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Outcome {
    int status = 0;
    zenk::Image output;
    zenk::Trace trace;
    uint32_t out_attribute = 0;
};

template <class Op>
Outcome run(const zenk::Image &input, const std::vector<int> &parts, int fail_get, int fail_put, int fault, Op op) {
    Outcome o;
    zenk::MemorySource source(input, zenk::PartPlan::exactly(parts));
    zenk::MemorySink sink(o.output, source, zenk::Guard::On);
    ImageDescriptor in, out;
    zenk::bind(in, source, input.width, input.attribute);
    zenk::bind(out, sink);
    o.trace.fail_getpart(fail_get, fault);
    o.trace.fail_putpart(fail_put, fault);
    ZENK_ERRNO = 0;
    {
        zenk::TraceScope scope(o.trace);
        o.status = op(&in, &out);
    }
    o.out_attribute = out.attribute;
    return o;
}

void check_calls(const Outcome &o, bool rejected, int fault, const std::string &label) {
    if (rejected) {
        check(o.status == -1 && ZENK_ERRNO == -20 && o.trace.calls.empty() && o.out_attribute == 0);
        return;
    }
    check(o.status != zenk::kGuardViolated);
    const std::string calls = o.trace.sequence();
    int errors = 0;
    for (const auto &c : o.trace.calls) {
        if (c.call != zenk::Call::Error) continue;
        ++errors;
        check(c.text == label);
    }
    if (o.status == 0) {
        check(errors == 0 && calls.size() >= 6 && calls.compare(calls.size() - 4, 4, "R0R0") == 0);
        check(calls.find('R') == calls.size() - 4);
        check(o.trace.calls[o.trace.calls.size() - 2].image != o.trace.calls.back().image);
    } else {
        check(o.status == fault && errors == 1 && calls.find('R') == std::string::npos);
    }
    check(o.out_attribute == 0xC0FFEEu);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The band filter reads cie_table.txt from the working directory.
    std::filesystem::current_path(QOVA_DATA_DIR);
    zenk::set_error_handler([](const char *) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteReader in(data, size);
    const int which = in.small(0, 3);
    const int width = in.small(0, 24);
    std::vector<int> parts(static_cast<std::size_t>(in.small(1, 5)));
    int height = 0;
    for (int &p : parts) height += p = in.small(0, 4);
    // A failure at the k-th fetch or store (0: none), with some negative status.
    const int fail_get = in.small(0, 6), fail_put = in.small(0, 6);
    int fault = -1 - static_cast<int>(in.u32() & 0x7FFFFFFF);
    if (fault <= -2 && fault >= -6) fault = -7;  // not one of the host's own statuses
    const int32_t strength = in.parameter(-110, 110);
    std::vector<int> poles(static_cast<std::size_t>(in.small(0, 6)));
    bool poles_in_circle = true;
    for (int &p : poles) {
        p = in.byte() < 200 ? in.small(0, 255) * 15 : in.i32();
        poles_in_circle = poles_in_circle && p >= 0 && p <= 3600;
    }
    const bool null_poles = in.small(0, 15) == 0;
    int32_t centre = in.parameter(300, 555);
    if ((in.byte() & 1) && centre <= INT32_MAX - 200) centre += 200;  // reach 700 and beyond too
    const int32_t bandwidth = in.parameter(-100, 100);
    const int32_t order = in.parameter(-4, 8);

    zenk::Image image(width, height);
    image.attribute = 0xC0FFEEu;
    const bool small_samples = in.byte() < 192;
    for (auto &plane : image.planes)
        for (int32_t &v : plane) v = small_samples ? in.small(0, 255) * 16 - 200 : in.i32();

    const bool strength_ok = strength >= -100 && strength <= 100;
    if (which == 0) {
        const Outcome o = run(image, parts, fail_get, fail_put, fault, [&](ImageDescriptor *i, ImageDescriptor *d) {
            return QOVA_SatuVariation(i, d, strength);
        });
        check_calls(o, !strength_ok, fault, "Saturation Variation");
        if (o.status == 0) {
            check(o.output.planes[0] == image.planes[0] && o.output.planes[1] == image.planes[1]);
            for (int32_t s : o.output.planes[2]) check(s >= 0 && s <= 999);
        }
    } else if (which == 1) {
        const Outcome o = run(image, parts, fail_get, fail_put, fault, [&](ImageDescriptor *i, ImageDescriptor *d) {
            return QOVA_HuePolarisation(i, d, strength);
        });
        check_calls(o, !strength_ok, fault, "Hue Polarisation");
        if (o.status == 0) {
            check(o.output.planes[0] == image.planes[0] && o.output.planes[2] == image.planes[2]);
            for (int32_t h : o.output.planes[1]) check(h >= 0 && h <= 3600);
        }
    } else if (which == 2) {
        std::vector<int> given = poles;
        const bool rejected = !strength_ok || null_poles || poles.empty();
        const Outcome o = run(image, parts, fail_get, fail_put, fault, [&](ImageDescriptor *i, ImageDescriptor *d) {
            return QOVA_HuePolarisation1(i, d, strength, null_poles ? nullptr : given.data(),
                                         static_cast<int>(given.size()));
        });
        check_calls(o, rejected, fault, "Hue Polarisation");
        std::vector<int> sorted = poles;
        if (!rejected) std::sort(sorted.begin(), sorted.end());
        check(given == sorted);  // sorted in place, or untouched when rejected
        if (o.status == 0) {
            check(o.output.planes[0] == image.planes[0] && o.output.planes[2] == image.planes[2]);
            const bool hues_in_circle = std::all_of(image.planes[1].begin(), image.planes[1].end(),
                                                    [](int32_t h) { return h >= 0 && h <= 3600; });
            if (poles_in_circle && hues_in_circle)
                for (int32_t h : o.output.planes[1]) check(h >= 0 && h <= 3600);
        }
    } else {
        const bool rejected = bandwidth >= -1 && bandwidth <= 1;
        const Outcome o = run(image, parts, fail_get, fail_put, fault, [&](ImageDescriptor *i, ImageDescriptor *d) {
            return QOVA_XYZfilter(i, d, centre, bandwidth, order);
        });
        const std::string label = o.trace.count(zenk::Call::Getpart) == fail_get
                                      ? "Error in Getpart - incomplete read"
                                      : "Error in Putpart - incomplete write";
        check_calls(o, rejected, fault, label);
        const Outcome r = run(image, parts, fail_get, fail_put, fault, [&](ImageDescriptor *i, ImageDescriptor *d) {
            return reference_XYZfilter(i, d, centre, bandwidth, order);
        });
        check(o.status == r.status && o.trace.sequence() == r.trace.sequence());
        if (o.status == 0)
            for (int p = 0; p < 3; ++p) check(o.output.planes[p] == r.output.planes[p]);
    }
    return 0;
}
