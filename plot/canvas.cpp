#include "canvas.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>

#include <cmath>
#include <cstdint>

namespace qova::plot {

namespace {
constexpr const char *kFont = "DejaVu Sans";
}

double srgb_encode(double linear) {
    if (!(linear > 0)) return 0;
    if (linear >= 1) return 1;
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

Canvas::Canvas(PlotFormat format, std::FILE *out, int width, int height) : format_(format), out_(out) {
    switch (format) {
    case PlotFormat::Svg: surface_ = cairo_svg_surface_create_for_stream(write, this, width, height); break;
    case PlotFormat::Pdf: surface_ = cairo_pdf_surface_create_for_stream(write, this, width, height); break;
    case PlotFormat::Png: surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height); break;
    }
    cr_ = cairo_create(surface_);
}

Canvas::~Canvas() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

cairo_status_t Canvas::write(void *closure, const unsigned char *data, unsigned int length) {
    auto *self = static_cast<Canvas *>(closure);
    if (std::fwrite(data, 1, length, self->out_) != length) {
        self->stream_failed_ = true;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

bool Canvas::finish(std::string *error) {
    cairo_status_t status = cairo_status(cr_);
    if (status == CAIRO_STATUS_SUCCESS) {
        if (format_ == PlotFormat::Png) {
            cairo_surface_flush(surface_);
            status = cairo_surface_write_to_png_stream(surface_, write, this);
        } else {
            cairo_surface_finish(surface_);
            status = cairo_surface_status(surface_);
        }
    }
    if (stream_failed_) {
        *error = "cannot write the plot";
        return false;
    }
    if (status != CAIRO_STATUS_SUCCESS) {
        *error = std::string("cannot draw the plot: ") + cairo_status_to_string(status);
        return false;
    }
    return true;
}

void Canvas::colour(const Rgb &c, double alpha) const { cairo_set_source_rgba(cr_, c.r, c.g, c.b, alpha); }

void Canvas::rectangle(const Box &box, const Rgb &fill) const {
    colour(fill);
    cairo_rectangle(cr_, box.left, box.top, box.width, box.height);
    cairo_fill(cr_);
}

void Canvas::text(double x, double y, const std::string &s, double size, const Rgb &c, double align, bool bold) const {
    cairo_select_font_face(cr_, kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr_, s.c_str(), &extents);
    colour(c);
    cairo_move_to(cr_, x - align * extents.x_advance, y);
    cairo_show_text(cr_, s.c_str());
    cairo_new_path(cr_);
}

void Canvas::vertical_text(double x, double y, const std::string &s, double size, const Rgb &c) const {
    cairo_save(cr_);
    cairo_translate(cr_, x, y);
    cairo_rotate(cr_, -M_PI / 2);
    text(0, 0, s, size, c, 0.5);
    cairo_restore(cr_);
}

void Canvas::line(double x0, double y0, double x1, double y1, const Rgb &c, double width, bool dashed) const {
    colour(c);
    cairo_set_line_width(cr_, width);
    const double dash[] = {6, 4};
    cairo_set_dash(cr_, dash, dashed ? 2 : 0, 0);
    cairo_move_to(cr_, x0, y0);
    cairo_line_to(cr_, x1, y1);
    cairo_stroke(cr_);
    cairo_set_dash(cr_, nullptr, 0, 0);
}

void x_axis(const Canvas &c, const Box &box, double from, double to, int count, const char *format,
            const std::string &label) {
    for (int i = 0; i <= count; ++i) {
        const double value = from + (to - from) * i / count;
        const double x = box.left + box.width * i / count;
        c.line(x, box.top, x, box.bottom(), palette::kGrid, 1);
        char number[32];
        std::snprintf(number, sizeof number, format, value);
        c.text(x, box.bottom() + 18, number, 13, palette::kMuted, 0.5);
    }
    if (!label.empty()) c.text(box.left + box.width / 2, box.bottom() + 40, label, 15, palette::kText, 0.5);
}

void y_axis(const Canvas &c, const Box &box, double from, double to, int count, const char *format,
            const std::string &label) {
    for (int i = 0; i <= count; ++i) {
        const double value = from + (to - from) * i / count;
        const double y = box.bottom() - box.height * i / count;
        c.line(box.left, y, box.right(), y, palette::kGrid, 1);
        char number[32];
        std::snprintf(number, sizeof number, format, value);
        c.text(box.left - 8, y + 5, number, 13, palette::kMuted, 1);
    }
    if (!label.empty()) c.vertical_text(box.left - 52, box.top + box.height / 2, label, 15, palette::kText);
}

std::string percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return "0%";
    const double share = 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    if (part > 0 && share < 0.1) return "<0.1%";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share);
    return text;
}

}  // namespace qova::plot
