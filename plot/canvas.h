// Drawing on cairo for the plots: a surface of the chosen format writing to a
// stream, and the few things every panel does (text, axes, colours).
#ifndef QOVA_PLOT_CANVAS_H
#define QOVA_PLOT_CANVAS_H

#include <cairo.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace qova::plot {

enum class PlotFormat { Svg, Pdf, Png };

struct Rgb {
    double r, g, b;
};

// sRGB encoding of a linear-light value in 0..1.
double srgb_encode(double linear);

// An area of the figure, in points (PNG: pixels) from the top left.
struct Box {
    double left, top, width, height;
    double right() const { return left + width; }
    double bottom() const { return top + height; }
};

class Canvas {
public:
    // A figure of width x height points written to `out` when finished.
    Canvas(PlotFormat format, std::FILE *out, int width, int height);
    ~Canvas();
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;

    cairo_t *cr() const { return cr_; }
    // Completes the file; false with *error set if cairo or the stream failed.
    bool finish(std::string *error);

    void colour(const Rgb &c, double alpha = 1) const;
    void rectangle(const Box &box, const Rgb &fill) const;
    // Text with its left (align 0), centre (0.5) or right (1) end at x and
    // its baseline at y.
    void text(double x, double y, const std::string &s, double size, const Rgb &c, double align = 0,
              bool bold = false) const;
    // The same, turned a quarter left (read from below), centred on (x, y).
    void vertical_text(double x, double y, const std::string &s, double size, const Rgb &c) const;
    void line(double x0, double y0, double x1, double y1, const Rgb &c, double width, bool dashed = false) const;

private:
    static cairo_status_t write(void *closure, const unsigned char *data, unsigned int length);

    PlotFormat format_;
    std::FILE *out_;
    bool stream_failed_ = false;
    cairo_surface_t *surface_ = nullptr;
    cairo_t *cr_ = nullptr;
};

// The figure's palette: dark panels, light text.
namespace palette {
inline constexpr Rgb kPage{0.12, 0.12, 0.12};
inline constexpr Rgb kPanel{0.06, 0.06, 0.06};
inline constexpr Rgb kText{0.88, 0.88, 0.88};
inline constexpr Rgb kMuted{0.6, 0.6, 0.6};
inline constexpr Rgb kGrid{0.22, 0.22, 0.22};
inline constexpr Rgb kCurve{1, 1, 1};
}  // namespace palette

// Axis ticks and labels along a panel: `count` + 1 ticks from `from` to `to`.
void x_axis(const Canvas &c, const Box &box, double from, double to, int count, const char *format,
            const std::string &label);
void y_axis(const Canvas &c, const Box &box, double from, double to, int count, const char *format,
            const std::string &label);

// A whole number of a share as "12.3%" (or "<0.1%" for a few).
std::string percent(uint64_t part, uint64_t whole);

}  // namespace qova::plot

#endif
