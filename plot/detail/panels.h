// The figures' panels, one file for each kind of operation.
#ifndef QOVA_PLOT_DETAIL_PANELS_H
#define QOVA_PLOT_DETAIL_PANELS_H

#include "plot/canvas.h"
#include "plot/statistics.h"

namespace qova::plot::detail {

// Below the title: the panels of each kind of figure.
void draw_band(const Canvas &c, const pipeline::Operation &op, const Statistics *stats);
void draw_hue(const Canvas &c, const pipeline::Operation &op, const Statistics *stats);
void draw_saturation(const Canvas &c, const pipeline::Operation &op, const Statistics *stats);

// Bars of shares, one for each entry of `counts`, in `box`, on a scale up to
// `top` (a share of `whole`); `colour_of(i)` colours bar i.
template <class Colour>
void share_bars(const Canvas &c, const Box &box, const uint64_t *counts, std::size_t n, uint64_t whole, double top,
                Colour colour_of, double alpha = 1) {
    if (whole == 0 || top <= 0) return;
    const double step = box.width / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (counts[i] == 0) continue;
        const double share = static_cast<double>(counts[i]) / static_cast<double>(whole);
        const double h = box.height * std::min(1.0, share / top);
        c.colour(colour_of(i), alpha);
        cairo_rectangle(c.cr(), box.left + step * static_cast<double>(i), box.bottom() - h, step, h);
        cairo_fill(c.cr());
    }
}

// The scale of a share axis: a round share a little above the largest.
double share_scale(const uint64_t *counts, std::size_t n, uint64_t whole);

// The y axis of shares up to `top`, in percent.
void share_axis(const Canvas &c, const Box &box, double top, const std::string &label);

// A message in the middle of an empty panel.
void empty_panel(const Canvas &c, const Box &box, const std::string &line1, const std::string &line2);

}  // namespace qova::plot::detail

#endif
