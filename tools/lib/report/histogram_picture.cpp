#include "histogram_picture.h"

#include "colour_maps.h"
#include "html_report.h"
#include "picture_drawing.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// The ends of the project's change colours (deep red for lowering, deep
// blue for raising) and their half-way tones for the change below detection.
struct Rgb {
    double r, g, b;
};
Rgb rgb_of(const unsigned char c[3])
{
    return {c[0] / 255.0, c[1] / 255.0, c[2] / 255.0};
}
const Rgb LOWERING = rgb_of(LOWERING_RGB);
const Rgb LOWERING_PALE = rgb_of(LOWERING_PALE_RGB);
const Rgb RAISING = rgb_of(RAISING_RGB);
const Rgb RAISING_PALE = rgb_of(RAISING_PALE_RGB);
const Rgb INK = {0.13, 0.13, 0.13};
const Rgb GRID = {0.88, 0.88, 0.88};
const Rgb THRESHOLD = {0.25, 0.25, 0.25};

void colour(cairo_t *cr, const Rgb &c)
{
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// A tick label: the decimals of the step, thousands grouped by thin spaces,
// a true minus sign.
std::string tick_label(double v, int decimals)
{
    return grouped_number(std::fabs(v) < 1e-12 ? 0 : v, decimals);
}

// A note on a white ground, its right end at x, its baseline at y.
void corner_note(cairo_t *cr, double x, double y, const std::string &note)
{
    colour(cr, {1, 1, 1});
    cairo_rectangle(cr, x - text_width(cr, note) - 4, y - 15, text_width(cr, note) + 8, 20);
    cairo_fill(cr);
    colour(cr, INK);
    text_at(cr, x, y, note, 1);
}

// The note of an underflow or overflow bin: its cells, area and range.
std::string beyond_note(const char *which, const ShownBin &b)
{
    const long long cells = b.detected.cells + b.below.cells;
    char text[200];
    std::snprintf(text, sizeof text, "%s: %lld cell%s from %.4g to %.4g m, ", which, cells, cells == 1 ? "" : "s",
                  b.low, b.high);
    return text + tick_label(b.detected.area + b.below.area, 0) + " m\u00b2, not drawn";
}

double bar_value(const BinTally &t, bool of_volume)
{
    return of_volume ? std::fabs(t.volume) : t.area;
}

// Width of a legend entry: the swatch, the text and the gap after it.
double legend_width(cairo_t *cr, const std::string &text)
{
    return 20 + text_width(cr, text) + 22;
}

// One legend entry at (x, y): a swatch (or a dashed line) and its text.
void legend_entry(cairo_t *cr, double x, double y, const Rgb &c, bool dashed, const std::string &text)
{
    if (dashed) {
        const double dash[] = {5, 3};
        cairo_set_dash(cr, dash, 2, 0);
        cairo_set_line_width(cr, 1.5);
        colour(cr, c);
        cairo_move_to(cr, x, y - 5);
        cairo_line_to(cr, x + 14, y - 5);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
    } else {
        colour(cr, c);
        cairo_rectangle(cr, x, y - 11, 14, 12);
        cairo_fill(cr);
    }
    colour(cr, INK);
    text_at(cr, x + 20, y, text, 0);
}

// The scales of the picture: x over the bins, 0 and the thresholds, padded;
// y from 0 (or the lowest power of ten on a logarithmic scale) to the
// tallest stacked bar, with the y axis's ticks.
struct HistogramAxes {
    double x_lo = 0, x_hi = 0, x_step = 0;
    double y_lo = 0, y_hi = 0; // y_lo > 0: logarithmic
    std::vector<double> ticks;
    int y_decimals = 0;
    bool logarithmic = false;
};

HistogramAxes histogram_axes(const HistogramTable &table, const HistogramPictureOptions &o)
{
    HistogramAxes a;
    double &x_lo = a.x_lo, &x_hi = a.x_hi, &y_hi = a.y_hi;
    if (!table.bins.empty()) {
        x_lo = table.bins.front().low;
        x_hi = table.bins.back().high;
    }
    for (double t : o.thresholds) {
        x_lo = t < x_lo ? t : x_lo;
        x_hi = t > x_hi ? t : x_hi;
    }
    if (x_hi - x_lo <= 0) {
        x_lo -= 1;
        x_hi += 1;
    }
    const double pad = (x_hi - x_lo) * 0.02;
    x_lo -= pad;
    x_hi += pad;
    for (const ShownBin &b : table.bins) {
        const double h = bar_value(b.detected, o.of_volume) + bar_value(b.below, o.of_volume);
        y_hi = h > y_hi ? h : y_hi;
    }
    // A logarithmic scale when one bar holds more than half of what the
    // bars show (a few bins near 0 would otherwise flatten the rest).
    double total = 0, smallest = 0;
    for (const ShownBin &b : table.bins)
        for (double h : {bar_value(b.detected, o.of_volume), bar_value(b.below, o.of_volume)}) {
            total += h;
            if (h > 0 && (smallest == 0 || h < smallest))
                smallest = h;
        }
    const bool log_scale = o.log_scale > 0 || (o.log_scale < 0 && table.bins.size() > 1 && y_hi > 0.5 * total);
    if (log_scale && smallest > 0) {
        const int lo_exp = static_cast<int>(std::floor(std::log10(smallest)));
        int hi_exp = static_cast<int>(std::ceil(std::log10(y_hi)));
        hi_exp = hi_exp > lo_exp ? hi_exp : lo_exp + 1;
        a.y_lo = std::pow(10.0, lo_exp);
        y_hi = std::pow(10.0, hi_exp);
        for (int e = lo_exp; e <= hi_exp; e++)
            a.ticks.push_back(std::pow(10.0, e));
        a.y_decimals = lo_exp < 0 ? -lo_exp : 0;
    } else {
        const double y_step = nice_step(y_hi > 0 ? y_hi : 1, 5);
        y_hi = std::ceil((y_hi > 0 ? y_hi : 1) / y_step) * y_step;
        for (double v = 0; v <= y_hi * (1 + 1e-9); v += y_step)
            a.ticks.push_back(v);
        a.y_decimals = decimals_for(y_step);
    }
    a.logarithmic = a.y_lo > 0;
    a.x_step = nice_step(x_hi - x_lo, 8);
    return a;
}

// A legend entry and where it is drawn.
struct LegendEntry {
    Rgb c;
    bool dashed;
    std::string text;
    double x, y;
};

const double LEGEND_LEFT = 24;

// The legend's entries, in rows that fit the picture's width (from y = 60).
std::vector<LegendEntry> place_legend(cairo_t *cr, const HistogramPictureOptions &o)
{
    std::vector<LegendEntry> legend = {{LOWERING, false, "lowering, detected", 0, 0},
                                       {LOWERING_PALE, false, "lowering, below detection", 0, 0},
                                       {RAISING, false, "raising, detected", 0, 0},
                                       {RAISING_PALE, false, "raising, below detection", 0, 0}};
    if (!o.thresholds.empty())
        legend.push_back({THRESHOLD, true, o.threshold_label, 0, 0});
    cairo_set_font_size(cr, 13);
    double lx = LEGEND_LEFT, ly = 60;
    for (LegendEntry &e : legend) {
        const double w = legend_width(cr, e.text);
        if (lx > LEGEND_LEFT && lx + w > o.width - 12.0) {
            lx = LEGEND_LEFT;
            ly += 22;
        }
        e.x = lx;
        e.y = ly;
        lx += w;
    }
    return legend;
}

// The plot's frame in pixels and its scales.
struct Plot {
    HistogramAxes axes;
    double left, right, top, bottom;
};

// The frame below the legend (whose last row is at legend_y); the left
// margin fits the widest label of the y axis.
Plot plot_frame(cairo_t *cr, const HistogramAxes &axes, const HistogramPictureOptions &o, double legend_y)
{
    cairo_set_font_size(cr, 14);
    double label_w = 0;
    for (double v : axes.ticks) {
        const double w = text_width(cr, tick_label(v, axes.y_decimals));
        label_w = w > label_w ? w : label_w;
    }
    return {axes, 38 + label_w + 12, o.width - 28.0, legend_y + 26, o.height - 64.0};
}

double plot_x(const Plot &p, double x)
{
    return p.left + (x - p.axes.x_lo) / (p.axes.x_hi - p.axes.x_lo) * (p.right - p.left);
}

double plot_y(const Plot &p, double y)
{
    const double y_lo = p.axes.y_lo, y_hi = p.axes.y_hi;
    if (p.axes.logarithmic)
        return p.bottom - (std::log10(y > y_lo ? y : y_lo) - std::log10(y_lo)) / (std::log10(y_hi) - std::log10(y_lo)) *
                              (p.bottom - p.top);
    return p.bottom - y / y_hi * (p.bottom - p.top);
}

// The horizontal grid lines and the y axis's labels.
void draw_y_grid(cairo_t *cr, const Plot &p)
{
    cairo_set_line_width(cr, 1);
    for (double v : p.axes.ticks) {
        const double y = std::round(plot_y(p, v)) + 0.5;
        colour(cr, GRID);
        cairo_move_to(cr, p.left, y);
        cairo_line_to(cr, p.right, y);
        cairo_stroke(cr);
        colour(cr, INK);
        text_at(cr, p.left - 8, y + 5, tick_label(v, p.axes.y_decimals), 1);
    }
}

// The bars: the detected part at the bottom, the part below detection on it.
void draw_bars(cairo_t *cr, const HistogramTable &table, const HistogramPictureOptions &o, const Plot &p)
{
    for (const ShownBin &b : table.bins) {
        double x0 = plot_x(p, b.low), x1 = plot_x(p, b.high);
        if (x1 - x0 > 4) {
            x0 += 0.5;
            x1 -= 0.5;
        }
        const double h0 = bar_value(b.detected, o.of_volume), h1 = bar_value(b.below, o.of_volume);
        colour(cr, b.lowering ? LOWERING : RAISING);
        cairo_rectangle(cr, x0, plot_y(p, h0), x1 - x0, p.bottom - plot_y(p, h0));
        cairo_fill(cr);
        colour(cr, b.lowering ? LOWERING_PALE : RAISING_PALE);
        cairo_rectangle(cr, x0, plot_y(p, h0 + h1), x1 - x0, plot_y(p, h0) - plot_y(p, h0 + h1));
        cairo_fill(cr);
    }
}

// The line of zero, the thresholds (dashed), the axes, and the x axis's
// ticks and labels.
void draw_axes(cairo_t *cr, const HistogramPictureOptions &o, const Plot &p)
{
    colour(cr, INK);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, std::round(plot_x(p, 0)) + 0.5, p.top);
    cairo_line_to(cr, std::round(plot_x(p, 0)) + 0.5, p.bottom);
    cairo_stroke(cr);
    const double dash[] = {6, 4};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_set_line_width(cr, 1.5);
    colour(cr, THRESHOLD);
    for (double t : o.thresholds) {
        cairo_move_to(cr, plot_x(p, t), p.top);
        cairo_line_to(cr, plot_x(p, t), p.bottom);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
    colour(cr, INK);
    cairo_set_line_width(cr, 1.2);
    cairo_move_to(cr, p.left, p.top);
    cairo_line_to(cr, p.left, p.bottom);
    cairo_line_to(cr, p.right, p.bottom);
    cairo_stroke(cr);

    const double x_step = p.axes.x_step;
    const int x_decimals = decimals_for(x_step);
    for (double v = std::ceil(p.axes.x_lo / x_step) * x_step; v <= p.axes.x_hi; v += x_step) {
        const double x = std::round(plot_x(p, v)) + 0.5;
        cairo_move_to(cr, x, p.bottom);
        cairo_line_to(cr, x, p.bottom + 5);
        cairo_stroke(cr);
        text_at(cr, x, p.bottom + 22, tick_label(v, x_decimals), 0.5);
    }
}

// The titles of the axes: the difference and its bins below, the area or
// volume per bin along the left.
void draw_axis_titles(cairo_t *cr, const HistogramTable &table, const HistogramPictureOptions &o, const Plot &p)
{
    cairo_set_font_size(cr, 15);
    char width_text[64];
    std::snprintf(width_text, sizeof width_text, "%g", table.width);
    text_at(cr, (p.left + p.right) / 2, o.height - 14.0,
            std::string("Difference, after \u2212 before (m); bins of ") + width_text + " m", 0.5);
    cairo_save(cr);
    cairo_translate(cr, 22, (p.top + p.bottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    std::string y_title = o.of_volume ? "Volume per bin, absolute (m\u00b3" : "Area per bin (m\u00b2";
    text_at(cr, 0, 0, y_title + (p.axes.logarithmic ? ", logarithmic scale)" : ")"), 0.5);
    cairo_restore(cr);
}

// The title and the legend, and the notes of the cells not drawn:
// unchanged, and beyond the bars (outliers).
void draw_title_legend_notes(cairo_t *cr, const HistogramTable &table, const HistogramPictureOptions &o,
                             const Plot &p, const std::vector<LegendEntry> &legend)
{
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 18);
    text_at(cr, LEGEND_LEFT, 30, o.title, 0);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    for (const LegendEntry &e : legend)
        legend_entry(cr, e.x, e.y, e.c, e.dashed, e.text);
    double note_y = p.top + 19;
    if (table.unchanged.cells > 0) {
        corner_note(cr, p.right - 8, note_y,
                    "unchanged (d = 0): " + tick_label(table.unchanged.area, 0) + " m\u00b2, not drawn");
        note_y += 22;
    }
    if (table.has_underflow) {
        corner_note(cr, p.right - 8, note_y, beyond_note("below the bars", table.underflow));
        note_y += 22;
    }
    if (table.has_overflow)
        corner_note(cr, p.right - 8, note_y, beyond_note("above the bars", table.overflow));
    if (table.bins.empty()) {
        cairo_set_font_size(cr, 16);
        text_at(cr, (p.left + p.right) / 2, (p.top + p.bottom) / 2, "no change", 0.5);
    }
}

} // namespace

bool histogram_png(const HistogramTable &table, const HistogramPictureOptions &o, std::string *png,
                   std::string *error)
{
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, o.width, o.height);
    cairo_t *cr = cairo_create(surface);
    colour(cr, {1, 1, 1});
    cairo_paint(cr);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    const HistogramAxes axes = histogram_axes(table, o);
    const std::vector<LegendEntry> legend = place_legend(cr, o);
    const Plot plot = plot_frame(cr, axes, o, legend.back().y);
    draw_y_grid(cr, plot);
    draw_bars(cr, table, o, plot);
    draw_axes(cr, o, plot);
    draw_axis_titles(cr, table, o, plot);
    draw_title_legend_notes(cr, table, o, plot, legend);

    cairo_destroy(cr);
    const bool ok = surface_png(surface, "the histogram", png, error);
    cairo_surface_destroy(surface);
    return ok;
}

void release_picture_fonts()
{
    cairo_debug_reset_static_data();
    FcFini();
}
