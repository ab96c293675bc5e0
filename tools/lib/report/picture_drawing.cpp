#include "picture_drawing.h"

#include <cmath>

const char *const PICTURE_FONT = "DejaVu Sans";

double nice_step(double span, int target)
{
    if (!(span > 0))
        return 1;
    const double raw = span / target;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / decade;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * decade;
}

int decimals_for(double step)
{
    const int d = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return d > 0 ? d : 0;
}

double text_width(cairo_t *cr, const std::string &text)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

void text_at(cairo_t *cr, double x, double y, const std::string &text, double align)
{
    cairo_move_to(cr, x - align * text_width(cr, text), y);
    cairo_show_text(cr, text.c_str());
}

namespace {

cairo_status_t append_bytes(void *closure, const unsigned char *data, unsigned int length)
{
    static_cast<std::string *>(closure)->append(reinterpret_cast<const char *>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

} // namespace

bool surface_png(cairo_surface_t *surface, const std::string &what, std::string *png, std::string *error)
{
    png->clear();
    cairo_surface_flush(surface);
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface, append_bytes, png);
    if (status != CAIRO_STATUS_SUCCESS) {
        *error = what + " cannot be drawn: " + cairo_status_to_string(status);
        return false;
    }
    return true;
}
