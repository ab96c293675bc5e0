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

} // namespace

bool histogram_png(const HistogramTable &table, const HistogramPictureOptions &o, std::string *png,
                   std::string *error)
{
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, o.width, o.height);
    cairo_t *cr = cairo_create(surface);
    colour(cr, {1, 1, 1});
    cairo_paint(cr);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    // Ranges: x over the bins, 0 and the thresholds; y from 0 to the
    // tallest stacked bar.
    double x_lo = 0, x_hi = 0, y_hi = 0;
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
    std::vector<double> ticks;
    double y_lo = 0;
    int y_decimals = 0;
    if (log_scale && smallest > 0) {
        const int lo_exp = static_cast<int>(std::floor(std::log10(smallest)));
        int hi_exp = static_cast<int>(std::ceil(std::log10(y_hi)));
        hi_exp = hi_exp > lo_exp ? hi_exp : lo_exp + 1;
        y_lo = std::pow(10.0, lo_exp);
        y_hi = std::pow(10.0, hi_exp);
        for (int e = lo_exp; e <= hi_exp; e++)
            ticks.push_back(std::pow(10.0, e));
        y_decimals = lo_exp < 0 ? -lo_exp : 0;
    } else {
        const double y_step = nice_step(y_hi > 0 ? y_hi : 1, 5);
        y_hi = std::ceil((y_hi > 0 ? y_hi : 1) / y_step) * y_step;
        for (double v = 0; v <= y_hi * (1 + 1e-9); v += y_step)
            ticks.push_back(v);
        y_decimals = decimals_for(y_step);
    }
    const bool logarithmic = y_lo > 0;
    const double x_step = nice_step(x_hi - x_lo, 8);

    // The legend's entries, in rows that fit the picture's width.
    struct Entry {
        Rgb c;
        bool dashed;
        std::string text;
        double x, y;
    };
    std::vector<Entry> legend = {{LOWERING, false, "lowering, detected", 0, 0},
                                 {LOWERING_PALE, false, "lowering, below detection", 0, 0},
                                 {RAISING, false, "raising, detected", 0, 0},
                                 {RAISING_PALE, false, "raising, below detection", 0, 0}};
    if (!o.thresholds.empty())
        legend.push_back({THRESHOLD, true, o.threshold_label, 0, 0});
    cairo_set_font_size(cr, 13);
    const double legend_left = 24;
    double lx = legend_left, ly = 60;
    for (Entry &e : legend) {
        const double w = legend_width(cr, e.text);
        if (lx > legend_left && lx + w > o.width - 12.0) {
            lx = legend_left;
            ly += 22;
        }
        e.x = lx;
        e.y = ly;
        lx += w;
    }

    // Frame: the left margin fits the widest label of the y axis.
    cairo_set_font_size(cr, 14);
    double label_w = 0;
    for (double v : ticks) {
        const double w = text_width(cr, tick_label(v, y_decimals));
        label_w = w > label_w ? w : label_w;
    }
    const double left = 38 + label_w + 12, right = o.width - 28.0, top = ly + 26, bottom = o.height - 64.0;
    auto px = [&](double x) { return left + (x - x_lo) / (x_hi - x_lo) * (right - left); };
    auto py = [&](double y) {
        if (logarithmic)
            return bottom - (std::log10(y > y_lo ? y : y_lo) - std::log10(y_lo)) /
                                (std::log10(y_hi) - std::log10(y_lo)) * (bottom - top);
        return bottom - y / y_hi * (bottom - top);
    };

    // Grid and y labels.
    cairo_set_line_width(cr, 1);
    for (double v : ticks) {
        const double y = std::round(py(v)) + 0.5;
        colour(cr, GRID);
        cairo_move_to(cr, left, y);
        cairo_line_to(cr, right, y);
        cairo_stroke(cr);
        colour(cr, INK);
        text_at(cr, left - 8, y + 5, tick_label(v, y_decimals), 1);
    }

    // Bars: the detected part at the bottom, the part below detection on it.
    for (const ShownBin &b : table.bins) {
        double x0 = px(b.low), x1 = px(b.high);
        if (x1 - x0 > 4) {
            x0 += 0.5;
            x1 -= 0.5;
        }
        const double h0 = bar_value(b.detected, o.of_volume), h1 = bar_value(b.below, o.of_volume);
        colour(cr, b.lowering ? LOWERING : RAISING);
        cairo_rectangle(cr, x0, py(h0), x1 - x0, bottom - py(h0));
        cairo_fill(cr);
        colour(cr, b.lowering ? LOWERING_PALE : RAISING_PALE);
        cairo_rectangle(cr, x0, py(h0 + h1), x1 - x0, py(h0) - py(h0 + h1));
        cairo_fill(cr);
    }

    // Zero, the thresholds, the axes.
    colour(cr, INK);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, std::round(px(0)) + 0.5, top);
    cairo_line_to(cr, std::round(px(0)) + 0.5, bottom);
    cairo_stroke(cr);
    const double dash[] = {6, 4};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_set_line_width(cr, 1.5);
    colour(cr, THRESHOLD);
    for (double t : o.thresholds) {
        cairo_move_to(cr, px(t), top);
        cairo_line_to(cr, px(t), bottom);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
    colour(cr, INK);
    cairo_set_line_width(cr, 1.2);
    cairo_move_to(cr, left, top);
    cairo_line_to(cr, left, bottom);
    cairo_line_to(cr, right, bottom);
    cairo_stroke(cr);

    // x ticks and labels.
    const int x_decimals = decimals_for(x_step);
    for (double v = std::ceil(x_lo / x_step) * x_step; v <= x_hi; v += x_step) {
        const double x = std::round(px(v)) + 0.5;
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + 5);
        cairo_stroke(cr);
        text_at(cr, x, bottom + 22, tick_label(v, x_decimals), 0.5);
    }

    // Axis titles.
    cairo_set_font_size(cr, 15);
    char width_text[64];
    std::snprintf(width_text, sizeof width_text, "%g", table.width);
    text_at(cr, (left + right) / 2, o.height - 14.0,
            std::string("Difference, after \u2212 before (m); bins of ") + width_text + " m", 0.5);
    cairo_save(cr);
    cairo_translate(cr, 22, (top + bottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    std::string y_title = o.of_volume ? "Volume per bin, absolute (m\u00b3" : "Area per bin (m\u00b2";
    text_at(cr, 0, 0, y_title + (logarithmic ? ", logarithmic scale)" : ")"), 0.5);
    cairo_restore(cr);

    // Title and legend.
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 18);
    text_at(cr, legend_left, 30, o.title, 0);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    for (const Entry &e : legend)
        legend_entry(cr, e.x, e.y, e.c, e.dashed, e.text);
    // The cells not drawn: unchanged, and beyond the bars (outliers).
    double note_y = top + 19;
    if (table.unchanged.cells > 0) {
        corner_note(cr, right - 8, note_y,
                    "unchanged (d = 0): " + tick_label(table.unchanged.area, 0) + " m\u00b2, not drawn");
        note_y += 22;
    }
    if (table.has_underflow) {
        corner_note(cr, right - 8, note_y, beyond_note("below the bars", table.underflow));
        note_y += 22;
    }
    if (table.has_overflow)
        corner_note(cr, right - 8, note_y, beyond_note("above the bars", table.overflow));
    if (table.bins.empty()) {
        cairo_set_font_size(cr, 16);
        text_at(cr, (left + right) / 2, (top + bottom) / 2, "no change", 0.5);
    }

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
