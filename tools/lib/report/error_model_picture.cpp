#include "error_model_picture.h"

#include "histogram_picture.h"
#include "html_report.h"
#include "picture_drawing.h"

#include <cairo.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

const char *const FONT = "DejaVu Sans";
const int WIDTH = 800, HEIGHT = 480;

struct Chart {
    std::string title, x_title, y_title;
    bool log_x = false;
    std::vector<double> xs, ys;             // the points measured
    std::function<double(double)> curve;    // the model drawn through them
    std::string points_label, curve_label;  // the legend
    std::vector<std::string> notes;         // written above each point (none: no notes)
    std::vector<std::pair<double, std::string>> marks; // x values marked by a dashed line, with their label
};

// The frame of a chart in pixels.
const double LEFT = 90, RIGHT = WIDTH - 30.0, TOP = 80, BOTTOM = HEIGHT - 64.0;

// The scales of a chart, linear axes (x logarithmic when asked) from 0 (or
// the smallest x) to a round top, and the model sampled along x.
struct ChartScale {
    bool log_x = false;
    double x_lo = 0, x_hi = 0, y_hi = 0, y_step = 0;
    std::vector<double> cx, cy; // the model's samples
};

ChartScale chart_scale(const Chart &c)
{
    ChartScale s;
    s.log_x = c.log_x;
    double &x_lo = s.x_lo, &x_hi = s.x_hi, &y_hi = s.y_hi;
    x_lo = c.log_x ? c.xs.front() : 0;
    x_hi = c.xs.front();
    for (size_t k = 0; k < c.xs.size(); k++) {
        x_lo = std::min(x_lo, c.xs[k]);
        x_hi = std::max(x_hi, c.xs[k]);
        y_hi = std::max(y_hi, c.ys[k]);
    }
    if (c.log_x) {
        x_lo = std::pow(10.0, std::floor(std::log10(x_lo)));
        x_hi = std::pow(10.0, std::ceil(std::log10(x_hi)));
        if (!(x_hi > x_lo))
            x_hi = x_lo * 10;
    } else {
        x_hi = x_hi > 0 ? x_hi * 1.05 : 1;
    }
    const int samples = 200;
    for (int k = 0; k <= samples && c.curve; k++) {
        const double t = static_cast<double>(k) / samples;
        const double x = c.log_x ? x_lo * std::pow(x_hi / x_lo, t) : x_lo + (x_hi - x_lo) * t;
        s.cx.push_back(x);
        s.cy.push_back(c.curve(x));
        y_hi = std::max(y_hi, s.cy.back());
    }
    s.y_step = nice_step(y_hi > 0 ? y_hi : 1, 5);
    y_hi = std::ceil((y_hi > 0 ? y_hi * 1.05 : 1) / s.y_step) * s.y_step;
    return s;
}

double chart_x(const ChartScale &s, double x)
{
    const double t = s.log_x ? std::log10(x / s.x_lo) / std::log10(s.x_hi / s.x_lo) : (x - s.x_lo) / (s.x_hi - s.x_lo);
    return LEFT + t * (RIGHT - LEFT);
}

double chart_y(const ChartScale &s, double y)
{
    return BOTTOM - y / s.y_hi * (BOTTOM - TOP);
}

// The grid and the y labels; the x ticks, decades on a logarithmic axis,
// round steps otherwise.
void draw_chart_grid(cairo_t *cr, const ChartScale &s)
{
    cairo_set_font_size(cr, 13);
    cairo_set_line_width(cr, 1);
    const int y_decimals = decimals_for(s.y_step);
    for (double v = 0; v <= s.y_hi * (1 + 1e-9); v += s.y_step) {
        const double y = std::round(chart_y(s, v)) + 0.5;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, LEFT, y);
        cairo_line_to(cr, RIGHT, y);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
        text_at(cr, LEFT - 8, y + 5, grouped_number(v, y_decimals), 1);
    }
    std::vector<double> ticks;
    if (s.log_x)
        for (double v = s.x_lo; v <= s.x_hi * (1 + 1e-9); v *= 10)
            ticks.push_back(v);
    else
        for (double v = 0, step = nice_step(s.x_hi - s.x_lo, 8); v <= s.x_hi; v += step)
            ticks.push_back(v);
    const double x_step = s.log_x ? 1 : nice_step(s.x_hi - s.x_lo, 8);
    for (double v : ticks) {
        const double x = std::round(chart_x(s, v)) + 0.5;
        cairo_move_to(cr, x, BOTTOM);
        cairo_line_to(cr, x, BOTTOM + 5);
        cairo_stroke(cr);
        text_at(cr, x, BOTTOM + 22, grouped_number(v, s.log_x ? decimals_for(v) : decimals_for(x_step)), 0.5);
    }
}

// The axes, the model, the marks (dashed verticals inside the axes,
// labelled at the top), the points and their notes.
void draw_chart_data(cairo_t *cr, const Chart &c, const ChartScale &s)
{
    cairo_set_line_width(cr, 1.2);
    cairo_move_to(cr, LEFT, TOP);
    cairo_line_to(cr, LEFT, BOTTOM);
    cairo_line_to(cr, RIGHT, BOTTOM);
    cairo_stroke(cr);
    if (!s.cx.empty()) {
        cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
        cairo_set_line_width(cr, 2);
        for (size_t k = 0; k < s.cx.size(); k++)
            (k == 0 ? cairo_move_to : cairo_line_to)(cr, chart_x(s, s.cx[k]), chart_y(s, s.cy[k]));
        cairo_stroke(cr);
    }
    const double dash[] = {5, 4};
    double label_y = TOP + 14; // one label a line, so that near marks do not overlap
    for (const auto &mark : c.marks) {
        if (!(mark.first >= s.x_lo && mark.first <= s.x_hi))
            continue;
        const double x = std::round(chart_x(s, mark.first)) + 0.5;
        cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
        cairo_set_line_width(cr, 1);
        cairo_set_dash(cr, dash, 2, 0);
        cairo_move_to(cr, x, TOP);
        cairo_line_to(cr, x, BOTTOM);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
        cairo_set_font_size(cr, 12);
        text_at(cr, x + 4, label_y, mark.second, 0);
        label_y += 16;
    }
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    for (size_t k = 0; k < c.xs.size(); k++) {
        cairo_arc(cr, chart_x(s, c.xs[k]), chart_y(s, c.ys[k]), 4.5, 0, 2 * M_PI);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
    cairo_set_font_size(cr, 11);
    for (size_t k = 0; k < c.notes.size() && k < c.xs.size(); k++)
        text_at(cr, chart_x(s, c.xs[k]), chart_y(s, c.ys[k]) - 9, c.notes[k], 0.5);
}

// The titles of the chart and its axes, and the legend of the points and
// the model.
void draw_chart_titles(cairo_t *cr, const Chart &c)
{
    cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
    cairo_set_font_size(cr, 15);
    text_at(cr, (LEFT + RIGHT) / 2, HEIGHT - 14.0, c.x_title, 0.5);
    cairo_save(cr);
    cairo_translate(cr, 22, (TOP + BOTTOM) / 2);
    cairo_rotate(cr, -M_PI / 2);
    text_at(cr, 0, 0, c.y_title, 0.5);
    cairo_restore(cr);
    cairo_select_font_face(cr, FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 17);
    text_at(cr, 24, 30, c.title, 0);
    cairo_select_font_face(cr, FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    cairo_arc(cr, 32, 55, 4.5, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.13, 0.13, 0.13);
    text_at(cr, 44, 60, c.points_label, 0);
    const double lx = 44 + text_width(cr, c.points_label) + 30;
    cairo_set_line_width(cr, 2);
    cairo_move_to(cr, lx, 55);
    cairo_line_to(cr, lx + 20, 55);
    cairo_stroke(cr);
    text_at(cr, lx + 28, 60, c.curve_label, 0);
}

// The chart: points as dots, the model as a line.
bool draw_chart(const Chart &c, std::string *png, std::string *error)
{
    if (c.xs.empty()) {
        *error = "nothing to draw";
        return false;
    }
    const ChartScale scale = chart_scale(c);
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, WIDTH, HEIGHT);
    cairo_t *cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    draw_chart_grid(cr, scale);
    draw_chart_data(cr, c, scale);
    draw_chart_titles(cr, c);

    cairo_destroy(cr);
    const bool drawn = surface_png(surface, "the picture", png, error);
    cairo_surface_destroy(surface);
    return drawn;
}

} // namespace

bool error_slope_png(const StableErrorModel &model, std::string *png, std::string *error)
{
    Chart c;
    c.title = "Error of the difference against the slope, stable ground";
    c.x_title = "Slope of BEFORE (degrees)";
    c.y_title = "NMAD of after \u2212 before (m)";
    for (const SlopeBin &b : model.slope_bins) {
        c.xs.push_back(b.median_slope_deg);
        c.ys.push_back(b.nmad_m);
        c.notes.push_back(grouped_number(static_cast<double>(b.cells), 0));
    }
    // The slope table alone: the curvature's factors apply on top of it.
    StableErrorModel by_slope = model;
    by_slope.curvature_bins.clear();
    c.curve = [by_slope](double slope) { return learned_sigma(by_slope, slope); };
    c.points_label = "NMAD of a slope bin (at its median slope; its cells above)";
    c.curve_label = "sigma_dh by slope, interpolated";
    if (!draw_chart(c, png, error)) {
        *error = "the error picture: " + *error;
        return false;
    }
    return true;
}

bool variogram_png(const Variogram &v, std::string *png, std::string *error)
{
    if (!v.fitted) {
        *error = "the variogram picture: the variogram was not fitted";
        return false;
    }
    Chart c;
    c.title = "Variogram of the standardised differences, stable ground";
    c.x_title = "Lag (m, logarithmic scale)";
    c.y_title = "Semivariance of dh / sigma_dh";
    c.log_x = true;
    c.xs = v.lags_m;
    c.ys = v.gamma;
    const CorrelationModel m = v.model;
    c.curve = [m](double h) {
        long double g = m.nugget;
        for (int k = 0; k < m.parts; k++) {
            const long double q = h / static_cast<long double>(m.range[k]);
            g += m.sill[k] * (q < 1 ? 1.5L * q - 0.5L * q * q * q : 1);
        }
        return static_cast<double>(g);
    };
    for (int k = 0; k < m.parts; k++)
        c.marks.emplace_back(m.range[k], (m.parts > 1 ? (m.range[k] <= m.range[1 - k] ? "short range " : "long range ") : "range ") +
                                             grouped_number(m.range[k], m.range[k] < 10 ? 1 : 0) + " m");
    c.points_label = "empirical (mean of each lag bin)";
    c.curve_label = "nugget + two spherical parts";
    if (!draw_chart(c, png, error)) {
        *error = "the variogram picture: " + *error;
        return false;
    }
    return true;
}
