// The hue and saturation operators' pictures: each plane's transfer curve,
// computed by the operator itself over every level, beside the images'
// histograms before and after.
#include "detail/panels.h"

#include "host/memory_host.h"
#include "qova_conversions.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace qova::plot::detail {

namespace {

// The transfer plot: input v and output w (shares of the range) at (90 + 600 v, 670 - 600 w).
constexpr Box kTransfer{90, 70, 600, 600};
constexpr Box kBefore{780, 70, 460, 250};
constexpr Box kAfter{780, 420, 460, 250};

// The operator's output plane `plane` for every input level 0..levels-1 on
// that plane, the other planes held at `others`.
std::vector<int32_t> transfer(const pipeline::Operation &op, int plane, int32_t levels, int32_t others) {
    zenk::Image input(levels, 1, others), output;
    for (int32_t v = 0; v < levels; ++v) input.at(plane, 0, v) = v;
    zenk::MemorySource source(input, zenk::PartPlan::rows(1));
    zenk::MemorySink sink(output, source);
    ImageDescriptor in{}, out{};
    zenk::bind(in, source, input.width, 0);
    zenk::bind(out, sink);
    if (pipeline::run_operator(op, &in, &out) != 0) return {};
    return output.planes[plane];
}

// The colour of a hue (degrees) at full saturation, by the operators' own
// conversion, its largest component full.
Rgb hue_colour(double degrees) {
    const Fractions f = hsi_to_fractions(degrees, 1);
    const double high = std::max({f.r, f.g, f.b});
    return Rgb{f.r / high, f.g / high, f.b / high};
}

// The transfer curve: output against input, as shares of `range`; broken
// where it jumps (a wrap round the circle, a hue pushed across a band edge).
void draw_transfer(const Canvas &c, const std::vector<int32_t> &out, double range, double jump) {
    cairo_t *cr = c.cr();
    cairo_rectangle(cr, kTransfer.left, kTransfer.top, kTransfer.width, kTransfer.height);
    cairo_save(cr);
    cairo_clip(cr);
    c.line(kTransfer.left, kTransfer.bottom(), kTransfer.right(), kTransfer.top, palette::kMuted, 1.5, true);
    for (std::size_t v = 0; v < out.size(); ++v) {
        const double x = kTransfer.left + kTransfer.width * (static_cast<double>(v) + 0.5) / range;
        const double y = kTransfer.bottom() - kTransfer.height * out[v] / range;
        if (v > 0 && std::abs(out[v] - out[v - 1]) > jump) cairo_new_sub_path(cr);
        cairo_line_to(cr, x, y);
    }
    c.colour(palette::kCurve);
    cairo_set_line_width(cr, 3);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    cairo_restore(cr);
}

// A strip of hues along a side of the transfer plot.
void hue_strip(const Canvas &c, const Box &box, bool vertical) {
    const int steps = 360;
    for (int i = 0; i < steps; ++i) {
        c.colour(hue_colour(i + 0.5));
        if (vertical) {
            const double h = box.height / steps;
            cairo_rectangle(c.cr(), box.left, box.bottom() - (i + 1) * h, box.width, h + 0.5);
        } else {
            const double w = box.width / steps;
            cairo_rectangle(c.cr(), box.left + i * w, box.top, w + 0.5, box.height);
        }
        cairo_fill(c.cr());
    }
}

std::string degrees_text(int tenths) {
    char text[32];
    if (tenths % 10 == 0)
        std::snprintf(text, sizeof text, "%d°", tenths / 10);
    else
        std::snprintf(text, sizeof text, "%.1f°", tenths / 10.0);
    return text;
}

void histogram_pair(const Canvas &c, const uint64_t *before, const uint64_t *after, std::size_t n, uint64_t whole,
                    const std::function<Rgb(std::size_t)> &colour, double from, double to, int ticks,
                    const char *format, const std::string &x_label, const std::string &what) {
    const double top = std::max(share_scale(before, n, whole), share_scale(after, n, whole));
    for (const auto &[box, counts, name] :
         {std::make_tuple(kBefore, before, "Before"), std::make_tuple(kAfter, after, "After")}) {
        c.rectangle(box, palette::kPanel);
        x_axis(c, box, from, to, ticks, format, name == std::string("After") ? x_label : "");
        share_axis(c, box, top, "share of " + what);
        c.text(box.left, box.top - 10, std::string(name) + ": " + what, 15, palette::kText, 0, true);
        share_bars(c, box, counts, n, whole, top, colour);
    }
}

}  // namespace

void draw_hue(const Canvas &c, const pipeline::Operation &op, const Statistics *stats) {
    c.rectangle(kTransfer, palette::kPanel);
    x_axis(c, kTransfer, 0, 360, 6, "%.0f°", "");
    y_axis(c, kTransfer, 0, 360, 6, "%.0f°", "output hue");
    c.text(kTransfer.left + kTransfer.width / 2, kTransfer.bottom() + 62, "input hue", 15, palette::kText, 0.5);
    hue_strip(c, Box{kTransfer.left, kTransfer.bottom() + 24, kTransfer.width, 10}, false);
    hue_strip(c, Box{kTransfer.right() + 6, kTransfer.top, 10, kTransfer.height}, true);
    const std::vector<int> poles = op.poles.empty() ? std::vector<int>{0, 1200, 2400} : op.poles;
    for (const int pole : poles) {
        const double x = kTransfer.left + kTransfer.width * pole / 3600.0;
        const double y = kTransfer.bottom() - kTransfer.height * pole / 3600.0;
        c.line(x, kTransfer.top, x, kTransfer.bottom(), hue_colour(pole / 10.0), 1.5, true);
        c.line(kTransfer.left, y, kTransfer.right(), y, hue_colour(pole / 10.0), 1.5, true);
        c.text(std::clamp(x, kTransfer.left + 14, kTransfer.right() - 14), kTransfer.top - 8,
               "pole " + degrees_text(pole), 13, palette::kText, 0.5);
    }
    // Saturated pixels of every hue tenth, as the operator moves them.
    draw_transfer(c, transfer(op, 1, 3600, 500), 3600, 50);
    c.text(kTransfer.left + 12, kTransfer.top + 24,
           op.poles.empty() ? "hues past 0° or 360° stop there" : "hues wrap round the circle", 13, palette::kMuted);
    c.text(kTransfer.left + 12, kTransfer.top + 44, "dashed diagonal: unchanged", 13, palette::kMuted);

    if (!stats || stats->pixels == 0) {
        for (const Box &box : {kBefore, kAfter}) c.rectangle(box, palette::kPanel);
        empty_panel(c, kBefore, "No image given.", "Name one to see its hues before and after.");
        return;
    }
    const uint64_t coloured = stats->pixels - stats->grey;
    histogram_pair(
        c, stats->hue_before.data(), stats->hue_after.data(), 360, coloured,
        [](std::size_t i) { return hue_colour(static_cast<double>(i) + 0.5); }, 0, 360, 6, "%.0f°", "hue",
        "coloured pixels by hue");
    c.text(kAfter.left, kAfter.bottom() + 62,
           "Grey pixels (no hue, left as they are): " + percent(stats->grey, stats->pixels), 13, palette::kMuted);
}

void draw_saturation(const Canvas &c, const pipeline::Operation &op, const Statistics *stats) {
    c.rectangle(kTransfer, palette::kPanel);
    x_axis(c, kTransfer, 0, 100, 5, "%.0f%%", "input saturation");
    y_axis(c, kTransfer, 0, 100, 5, "%.0f%%", "output saturation");
    draw_transfer(c, transfer(op, 2, 1000, 0), 1000, 50);
    c.text(kTransfer.left + 12, kTransfer.top + 24, "saturation held at 99.9% once it gets there", 13, palette::kMuted);
    c.text(kTransfer.left + 12, kTransfer.top + 44, "dashed diagonal: unchanged", 13, palette::kMuted);

    if (!stats || stats->pixels == 0) {
        for (const Box &box : {kBefore, kAfter}) c.rectangle(box, palette::kPanel);
        empty_panel(c, kBefore, "No image given.", "Name one to see its saturations before and after.");
        return;
    }
    const Rgb colour{0.95, 0.6, 0.2};
    histogram_pair(
        c, stats->saturation_before.data(), stats->saturation_after.data(), kSaturationBins, stats->pixels,
        [&colour](std::size_t) { return colour; }, 0, 100, 5, "%.0f%%", "saturation", "pixels by saturation");
    c.text(kAfter.left, kAfter.bottom() + 62,
           "Clamped at full saturation: " + percent(stats->clamped, stats->pixels) + " of pixels", 14, palette::kText);
}

}  // namespace qova::plot::detail
