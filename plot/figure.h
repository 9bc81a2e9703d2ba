// The picture of an operation: what it does to every colour it can meet,
// and, with images counted, to theirs. SVG, PDF or PNG, of a fixed size.
//
// Where things are (in points from the top left; in PNG output, pixels):
// - figures are kFigureWidth x kFigureHeight;
// - band filter: the chromaticity diagram puts (x, y) at (80 + 700 x, 700 - 700 y);
//   the weight curve spans 380..698 nm over 730..1240 and weight 0..1 over 320..70;
// - hue and saturation: the transfer plot puts input v and output w, as
//   shares of the full range (360 degrees, 1000 levels), at
//   (90 + 600 v, 670 - 600 w).
#ifndef QOVA_PLOT_FIGURE_H
#define QOVA_PLOT_FIGURE_H

#include "canvas.h"
#include "pipeline/transform.h"
#include "statistics.h"

#include <cstdio>
#include <optional>
#include <string>

namespace qova::plot {

inline constexpr int kFigureWidth = 1280, kFigureHeight = 760;

// The format a file name asks for by its extension (.svg, .pdf, .png, in any case).
std::optional<PlotFormat> plot_format_for(const std::string &file_name);

// Draws the picture of `operation` into `out`. `stats` (null for none) are
// the counts of the images `subject` names. False with *error set if the
// picture could not be written.
bool draw_figure(const pipeline::Operation &operation, const Statistics *stats, const std::string &subject,
                 PlotFormat format, std::FILE *out, std::string *error);

}  // namespace qova::plot

#endif
