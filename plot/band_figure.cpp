// The band filter's picture: the chromaticity diagram with the spectral locus
// dimmed as the filter dims each dominant wavelength, and beside it the
// weight by wavelength over the images' pixels by wavelength.
#include "detail/panels.h"

#include "qova_conversions.hpp"
#include "qova_wavelength.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace qova::plot::detail {

namespace {

// The diagram: (x, y) at (80 + 700 x, 700 - 700 y), x 0..0.8, y 0..0.9.
constexpr double kScale = 700;
constexpr Box kDiagram{80, 70, 0.8 * kScale, 0.9 * kScale};
constexpr Box kWeights{730, 70, 510, 250};
constexpr Box kPixels{730, 410, 510, 250};
constexpr int kFirst = kFirstDominantWavelength, kLast = kLastDominantWavelength;
constexpr double kFillBrightness = 0.45;  // the area inside the locus, under the locus itself

double px(double x) { return kDiagram.left + kScale * x; }
double py(double y) { return kDiagram.bottom() - kScale * y; }
double wavelength_x(double nm) { return kWeights.left + kWeights.width * (nm - kFirst) / (kLast - kFirst); }

// Linear RGB of XYZ: the inverse of the operators' own RGB-to-XYZ matrix.
class ToRgb {
public:
    ToRgb() {
        const Xyz r = rgb_to_xyz(1, 0, 0), g = rgb_to_xyz(0, 1, 0), b = rgb_to_xyz(0, 0, 1);
        const double m[3][3] = {{r.X, g.X, b.X}, {r.Y, g.Y, b.Y}, {r.Z, g.Z, b.Z}};
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int a = (j + 1) % 3, b2 = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
                inverse_[i][j] = (m[a][c] * m[b2][d] - m[a][d] * m[b2][c]) / det;
            }
    }

    // The colour of a chromaticity at its brightest: outside sRGB, the nearest
    // displayable colour of its hue (white added until no component is
    // negative); the largest component 1.
    Rgb brightest(double x, double y) const {
        const double X = x / y, Z = (1 - x - y) / y;
        double v[3];
        for (int i = 0; i < 3; ++i) v[i] = inverse_[i][0] * X + inverse_[i][1] + inverse_[i][2] * Z;
        const double low = std::min({v[0], v[1], v[2]});
        if (low < 0)
            for (double &c : v) c -= low;
        const double high = std::max({v[0], v[1], v[2]});
        if (!(high > 0)) return Rgb{0, 0, 0};
        return Rgb{v[0] / high, v[1] / high, v[2] / high};
    }

private:
    double inverse_[3][3];
};

// A linear-light colour scaled by `brightness`, encoded for display.
Rgb shown(const Rgb &linear, double brightness) {
    return Rgb{srgb_encode(linear.r * brightness), srgb_encode(linear.g * brightness),
               srgb_encode(linear.b * brightness)};
}

struct Band {
    const pipeline::Operation &op;
    const ChromaEntry *table;
    ToRgb to_rgb;

    double weight(int nm) const { return band_weight(nm, op.centre, op.bandwidth, op.order); }
    ChromaEntry at(int nm) const { return table[nm - 360]; }
    Rgb colour(int nm) const { return to_rgb.brightest(at(nm).x, at(nm).y); }
};

// Inside the locus, every chromaticity's colour dimmed by the weight of its
// dominant wavelength: a raster of one sample per point, clipped to the locus.
void fill_locus(const Canvas &c, const Band &band) {
    double x0 = 1, x1 = 0, y0 = 1, y1 = 0;
    for (int nm = kFirst; nm <= kLast; ++nm) {
        x0 = std::min(x0, band.at(nm).x), x1 = std::max(x1, band.at(nm).x);
        y0 = std::min(y0, band.at(nm).y), y1 = std::max(y1, band.at(nm).y);
    }
    const int left = static_cast<int>(std::floor(px(x0))), right = static_cast<int>(std::ceil(px(x1)));
    const int top = static_cast<int>(std::floor(py(y1))), bottom = static_cast<int>(std::ceil(py(y0)));
    const int w = right - left, h = bottom - top;
    if (w <= 0 || h <= 0) return;
    cairo_surface_t *image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    const int stride = cairo_image_surface_get_stride(image);
    unsigned char *data = cairo_image_surface_get_data(image);
    DominantWavelength dominant(band.table);
    std::array<double, kLast - kFirst + 1> weights{};
    for (int nm = kFirst; nm <= kLast; ++nm) weights[static_cast<std::size_t>(nm - kFirst)] = band.weight(nm);
    for (int j = 0; j < h; ++j) {
        auto *row = reinterpret_cast<uint32_t *>(data + static_cast<std::ptrdiff_t>(j) * stride);
        const double y = (kDiagram.bottom() - (top + j + 0.5)) / kScale;
        for (int i = 0; i < w; ++i) {
            const double x = (left + i + 0.5 - kDiagram.left) / kScale;
            const double weight = weights[static_cast<std::size_t>(dominant(x, y) - kFirst)];
            const Rgb v = shown(band.to_rgb.brightest(x, y), kFillBrightness * weight);
            const auto byte = [](double s) { return static_cast<uint32_t>(std::lround(s * 255)); };
            row[i] = byte(v.r) << 16 | byte(v.g) << 8 | byte(v.b);
        }
    }
    cairo_surface_mark_dirty(image);
    cairo_t *cr = c.cr();
    cairo_save(cr);
    for (int nm = kFirst; nm <= kLast; ++nm) cairo_line_to(cr, px(band.at(nm).x), py(band.at(nm).y));
    cairo_close_path(cr);
    cairo_clip(cr);
    cairo_set_source_surface(cr, image, left, top);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(image);
}

// The locus: each wavelength a stroke from half way to its neighbours, in
// its colour at the brightness of its weight, over a grey outline that keeps
// the shape where the weight is near 0; the line of purples thin and grey.
void draw_locus(const Canvas &c, const Band &band) {
    cairo_t *cr = c.cr();
    for (int nm = kFirst; nm <= kLast; ++nm) cairo_line_to(cr, px(band.at(nm).x), py(band.at(nm).y));
    c.colour(Rgb{0.3, 0.3, 0.3});
    cairo_set_line_width(cr, 11);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    c.line(px(band.at(kLast).x), py(band.at(kLast).y), px(band.at(kFirst).x), py(band.at(kFirst).y), Rgb{0.4, 0.4, 0.4},
           1.5);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 7);
    for (int nm = kFirst; nm <= kLast; ++nm) {
        const ChromaEntry here = band.at(nm), before = band.at(std::max(kFirst, nm - 1)),
                          after = band.at(std::min(kLast, nm + 1));
        cairo_move_to(cr, px((here.x + before.x) / 2), py((here.y + before.y) / 2));
        cairo_line_to(cr, px(here.x), py(here.y));
        cairo_line_to(cr, px((here.x + after.x) / 2), py((here.y + after.y) / 2));
        c.colour(shown(band.colour(nm), band.weight(nm)));
        cairo_stroke(cr);
    }
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
}

// Ticks and labels on the locus, outward from the white point; a label that
// would cover one placed before is left out.
class LocusLabels {
public:
    LocusLabels(const Canvas &c, const Band &band, Chromaticity white) : c_(c), band_(band), white_(white) {}

    // Outward if the label fits there, else (if `inward`) inside the locus.
    void mark(int nm, const std::string &text, const Rgb &colour, double length, bool inward) {
        if (nm < kFirst || nm > kLast) return;
        if (!place(nm, text, colour, length, 1) && inward) place(nm, text, colour, length, -1);
    }

private:
    bool place(int nm, const std::string &text, const Rgb &colour, double length, double side) {
        const ChromaEntry p = band_.at(nm);
        double dx = px(p.x) - px(white_.x), dy = py(p.y) - py(white_.y);
        const double norm = side * std::hypot(dx, dy);
        dx /= norm, dy /= norm;
        const double x0 = px(p.x) + 7 * dx, y0 = py(p.y) + 7 * dy;
        const double x1 = x0 + length * dx, y1 = y0 + length * dy;
        const double tx = x1 + 6 * dx, ty = y1 + 6 * dy;
        // The label's box: beyond the tick, to its left or right as the tick points.
        const double width = 7.5 * static_cast<double>(text.size()), height = 14;
        const double align = dx < -0.3 ? 1 : dx > 0.3 ? 0 : 0.5;
        const Box box{tx - align * width, ty + 5 - height * (0.5 - dy * 0.5), width, height};
        for (const Box &other : placed_)
            if (box.left < other.right() && other.left < box.right() && box.top < other.bottom() &&
                other.top < box.bottom())
                return false;
        if (box.left < kDiagram.left + 4 || box.right() > kDiagram.right() - 4 || box.top < kDiagram.top + 4 ||
            box.bottom() > kDiagram.bottom() - 4)
            return false;
        placed_.push_back(box);
        c_.line(x0, y0, x1, y1, colour, 2);
        c_.text(tx, box.bottom() - 3, text, 13, colour, align);
        return true;
    }

    const Canvas &c_;
    const Band &band_;
    Chromaticity white_;
    std::vector<Box> placed_;
};

std::string weight_text(double w) {
    if (w == 1) return "1";
    if (w == 0.5) return "1/2";
    if (w == 0) return "0";
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", w);
    return text;
}

// The wavelengths of zone q (q whole half-bandwidths from the centre) that
// the filter can find, as "a–b nm" (or empty).
std::string zone_range(const pipeline::Operation &op, int64_t q, int64_t *low, int64_t *high) {
    const int64_t half = std::llabs(int64_t{op.bandwidth} / 2);
    const int64_t near = q * half, far = (q + 1) * half - 1;
    *low = std::max<int64_t>(kFirst, op.centre - far);
    *high = std::min<int64_t>(kLast, op.centre + far);
    if (*low > *high || (op.centre - near < kFirst && op.centre + near > kLast)) return "";
    return std::to_string(*low) + "–" + std::to_string(*high) + " nm";
}

void draw_diagram(const Canvas &c, const Band &band, const Statistics *stats) {
    c.rectangle(kDiagram, palette::kPanel);
    x_axis(c, kDiagram, 0, 0.8, 8, "%.1f", "x");
    y_axis(c, kDiagram, 0, 0.9, 9, "%.1f", "y");
    fill_locus(c, band);
    draw_locus(c, band);

    // The sRGB gamut and its white.
    const Chromaticity red = xyz_to_xy(rgb_to_xyz(1e6, 0, 0)), green = xyz_to_xy(rgb_to_xyz(0, 1e6, 0)),
                       blue = xyz_to_xy(rgb_to_xyz(0, 0, 1e6)), white = xyz_to_xy(rgb_to_xyz(1e6, 1e6, 1e6));
    cairo_t *cr = c.cr();
    const double dash[] = {5, 4};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_move_to(cr, px(red.x), py(red.y));
    cairo_line_to(cr, px(green.x), py(green.y));
    cairo_line_to(cr, px(blue.x), py(blue.y));
    cairo_close_path(cr);
    c.colour(Rgb{0.85, 0.85, 0.85}, 0.8);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);

    // The images' chromaticities: each occupied cell white, more opaque the
    // more pixels it holds (on a log scale).
    if (stats && stats->pixels > 0) {
        const uint64_t most = *std::max_element(stats->density.begin(), stats->density.end());
        const double cell = kScale / kCellsPerUnit;
        for (int j = 0; j < kCellsY; ++j)
            for (int i = 0; i < kCellsX; ++i) {
                const uint64_t n = stats->density[static_cast<std::size_t>(j) * kCellsX + static_cast<std::size_t>(i)];
                if (n == 0) continue;
                const double depth = std::log1p(static_cast<double>(n)) / std::log1p(static_cast<double>(most));
                c.colour(palette::kCurve, 0.1 + 0.9 * depth * depth);
                cairo_rectangle(cr, kDiagram.left + i * cell, kDiagram.bottom() - (j + 1) * cell, cell, cell);
                cairo_fill(cr);
            }
    }
    cairo_arc(cr, px(white.x), py(white.y), 5, 0, 2 * M_PI);
    c.colour(Rgb{0, 0, 0});
    cairo_set_line_width(cr, 3.5);
    cairo_stroke_preserve(cr);
    c.colour(palette::kCurve);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    c.text(px(white.x) + 9, py(white.y) + 16, "D65", 12, palette::kText);

    // The pass band's edges, then wavelengths to read the locus by.
    LocusLabels labels(c, band, white);
    const auto &op = band.op;
    const int64_t half = std::llabs(int64_t{op.bandwidth} / 2);
    for (int64_t q = 0; q < 2; ++q) {
        const int64_t far = (q + 1) * half - 1;
        const Rgb colour = q == 0 ? palette::kCurve : palette::kMuted;
        for (const int64_t nm : {op.centre - far, op.centre + far})
            if (nm >= kFirst && nm <= kLast)
                labels.mark(static_cast<int>(nm), std::to_string(nm) + " nm", colour, q == 0 ? 22 : 14, true);
    }
    // Where the locus runs along the diagram's left edge, labels go inside it.
    for (int nm = 460; nm <= 620; nm += 20) labels.mark(nm, std::to_string(nm), palette::kMuted, 6, nm <= 500);

    // The key, in the empty corner.
    double y = kDiagram.top + 28;
    const double x = px(0.43);
    for (int64_t q = 0; q < 2; ++q) {
        int64_t low = 0, high = 0;
        const std::string range = zone_range(op, q, &low, &high);
        if (range.empty()) continue;
        const double w = band.weight(static_cast<int>(std::clamp<int64_t>(op.centre + q * half, kFirst, kLast)));
        c.line(x, y - 5, x + 18, y - 5, q == 0 ? palette::kCurve : palette::kMuted, 2);
        c.text(x + 26, y, "weight " + weight_text(w) + ": " + range, 14, palette::kText);
        y += 22;
    }
    c.line(x, y - 5, x + 18, y - 5, Rgb{0.85, 0.85, 0.85}, 1.5, true);
    c.text(x + 26, y, "sRGB gamut, D65 white", 14, palette::kText);
    y += 22;
    if (stats && stats->pixels > 0) {
        c.rectangle(Box{x + 5, y - 11, 8, 8}, palette::kCurve);
        c.text(x + 26, y, "image colours (log density)", 14, palette::kText);
        y += 22;
    }
    c.text(x, y + 4, "colours dimmed as the filter dims them", 13, palette::kMuted);
}

// 380..698 nm across `box`, marked every 50 nm.
void wavelength_axis(const Canvas &c, const Box &box, const std::string &label) {
    for (int nm = 400; nm <= kLast; nm += 50) {
        const double x = wavelength_x(nm);
        c.line(x, box.top, x, box.bottom(), palette::kGrid, 1);
        c.text(x, box.bottom() + 18, std::to_string(nm), 13, palette::kMuted, 0.5);
    }
    if (!label.empty()) c.text(box.left + box.width / 2, box.bottom() + 40, label, 15, palette::kText, 0.5);
}

void draw_weights(const Canvas &c, const Band &band) {
    c.rectangle(kWeights, palette::kPanel);
    wavelength_axis(c, kWeights, "");
    y_axis(c, kWeights, 0, 1, 4, "%.2f", "weight");
    c.text(kWeights.left, kWeights.top - 10, "Weight by dominant wavelength", 15, palette::kText, 0, true);
    cairo_t *cr = c.cr();
    for (int nm = kFirst; nm <= kLast; ++nm) {
        const double w = band.weight(nm), x0 = wavelength_x(nm - 0.5), x1 = wavelength_x(nm + 0.5);
        c.colour(shown(band.colour(nm), 1), 0.85);
        cairo_rectangle(cr, std::max(x0, kWeights.left), kWeights.bottom() - kWeights.height * w,
                        std::min(x1, kWeights.right()) - std::max(x0, kWeights.left), kWeights.height * w);
        cairo_fill(cr);
    }
    for (int nm = kFirst; nm <= kLast; ++nm) {
        const double y = kWeights.bottom() - kWeights.height * band.weight(nm);
        cairo_line_to(cr, std::max(wavelength_x(nm - 0.5), kWeights.left), y);
        cairo_line_to(cr, std::min(wavelength_x(nm + 0.5), kWeights.right()), y);
    }
    c.colour(palette::kCurve);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
}

void draw_pixels(const Canvas &c, const Band &band, const Statistics *stats) {
    c.rectangle(kPixels, palette::kPanel);
    wavelength_axis(c, kPixels, "dominant wavelength (nm)");
    c.text(kPixels.left, kPixels.top - 10, "Image pixels by dominant wavelength", 15, palette::kText, 0, true);
    if (!stats || stats->pixels == 0) {
        y_axis(c, kPixels, 0, 1, 0, "", "");
        empty_panel(c, kPixels, "No image given.", "Name one to see where its colours lie.");
        return;
    }
    const uint64_t coloured = stats->pixels - stats->black;
    const double top = share_scale(stats->wavelengths.data(), stats->wavelengths.size(), coloured);
    share_axis(c, kPixels, top, "share of pixels");
    const auto colour = [&band](std::size_t i) { return shown(band.colour(kFirst + static_cast<int>(i)), 1); };
    // The whole bar faint, the share of brightness the filter keeps bright.
    std::array<uint64_t, kWavelengths> kept{};
    for (std::size_t i = 0; i < kept.size(); ++i)
        kept[i] = static_cast<uint64_t>(
            std::llround(static_cast<double>(stats->wavelengths[i]) * band.weight(kFirst + static_cast<int>(i))));
    share_bars(c, kPixels, stats->wavelengths.data(), kept.size(), coloured, top, colour, 0.3);
    share_bars(c, kPixels, kept.data(), kept.size(), coloured, top, colour);
    c.text(kPixels.right() - 10, kPixels.top + 22, "faint: pixels; bright: the brightness kept", 13, palette::kMuted,
           1);
    c.text(kPixels.right() - 10, kPixels.top + 42, "black, no wavelength: " + percent(stats->black, stats->pixels), 13,
           palette::kMuted, 1);
}

}  // namespace

void draw_band(const Canvas &c, const pipeline::Operation &op, const Statistics *stats) {
    const Band band{op, op.table->data(), ToRgb()};
    draw_diagram(c, band, stats);
    draw_weights(c, band);
    draw_pixels(c, band, stats);
}

}  // namespace qova::plot::detail
