#include "figure.h"

#include "detail/panels.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace qova::plot {

namespace detail {

double share_scale(const uint64_t *counts, std::size_t n, uint64_t whole) {
    if (whole == 0) return 0;
    const uint64_t most = *std::max_element(counts, counts + n);
    const double share = static_cast<double>(most) / static_cast<double>(whole);
    if (share <= 0) return 0.01;
    // 1, 2 or 5 times a power of ten, at least the share.
    const double decade = std::pow(10.0, std::floor(std::log10(share)));
    for (const double step : {1.0, 2.0, 5.0, 10.0})
        if (step * decade >= share) return step * decade;
    return 10 * decade;
}

void share_axis(const Canvas &c, const Box &box, double top, const std::string &label) {
    // Scales are 1, 2 or 5 times a power of ten: steps of a quarter, a quarter and a fifth.
    const double lead = top / std::pow(10.0, std::floor(std::log10(top) + 1e-9));
    y_axis(c, box, 0, 100 * top, lead > 4.5 ? 5 : 4, "%.3g%%", label);
}

void empty_panel(const Canvas &c, const Box &box, const std::string &line1, const std::string &line2) {
    c.text(box.left + box.width / 2, box.top + box.height / 2 - 4, line1, 15, palette::kMuted, 0.5);
    c.text(box.left + box.width / 2, box.top + box.height / 2 + 18, line2, 14, palette::kMuted, 0.5);
}

}  // namespace detail

std::optional<PlotFormat> plot_format_for(const std::string &file_name) {
    const std::size_t dot = file_name.rfind('.');
    if (dot == std::string::npos || file_name.find('/', dot) != std::string::npos) return std::nullopt;
    std::string extension = file_name.substr(dot + 1);
    for (char &ch : extension) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (extension == "svg") return PlotFormat::Svg;
    if (extension == "pdf") return PlotFormat::Pdf;
    if (extension == "png") return PlotFormat::Png;
    return std::nullopt;
}

namespace {

std::string title_of(const pipeline::Operation &op) {
    const auto signed_percent = [](int v) { return (v > 0 ? "+" : "") + std::to_string(v) + "%"; };
    switch (op.kind) {
    case pipeline::OperatorKind::Saturation: return "saturation " + signed_percent(op.strength);
    case pipeline::OperatorKind::Hue: {
        std::string poles;
        for (const int p : op.poles.empty() ? std::vector<int>{0, 1200, 2400} : op.poles) {
            poles += poles.empty() ? "" : ", ";
            poles += std::to_string(p / 10) + (p % 10 ? "." + std::to_string(p % 10) : "") + "°";
        }
        return "hue " + signed_percent(op.strength) + (op.strength < 0 ? " away from " : " toward ") + poles;
    }
    case pipeline::OperatorKind::Bandpass:
        return "bandpass: centre " + std::to_string(op.centre) + " nm, bandwidth " + std::to_string(op.bandwidth) +
               " nm, order " + std::to_string(op.order) + (op.linear ? "" : ", stored values");
    }
    return "";
}

}  // namespace

bool draw_figure(const pipeline::Operation &operation, const Statistics *stats, const std::string &subject,
                 PlotFormat format, std::FILE *out, std::string *error) {
    if (operation.kind == pipeline::OperatorKind::Bandpass && !operation.table) {
        *error = "the band filter's picture needs its chromaticity table";
        return false;
    }
    Canvas c(format, out, kFigureWidth, kFigureHeight);
    c.rectangle(Box{0, 0, kFigureWidth, kFigureHeight}, palette::kPage);
    c.text(24, 34, "qova " + title_of(operation), 20, palette::kText, 0, true);
    if (!subject.empty()) c.text(kFigureWidth - 40, 34, subject, 15, palette::kMuted, 1);
    switch (operation.kind) {
    case pipeline::OperatorKind::Bandpass: detail::draw_band(c, operation, stats); break;
    case pipeline::OperatorKind::Hue: detail::draw_hue(c, operation, stats); break;
    case pipeline::OperatorKind::Saturation: detail::draw_saturation(c, operation, stats); break;
    }
    return c.finish(error);
}

}  // namespace qova::plot
