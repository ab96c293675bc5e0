#include "change_picture.h"

#include "colour_maps.h"
#include "html_report.h"
#include "picture_drawing.h"
#include "tool_support.h"

#include <cairo.h>
#include <gdal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// Each bin holding cells as the range of |d| it holds, lowest first: b ≥ 0
// holds [b w, (b + 1) w), b < 0 holds ((-b - 1) w, -b w]; and the cells
// counted, unchanged ones too.
std::vector<std::pair<double, long long>> absolute_bins(const ChangeHistogram &h, long long *total)
{
    std::vector<std::pair<double, long long>> upper; // upper edge of |d|, cells
    *total = h.unchanged.part[0].cells + h.unchanged.part[1].cells;
    for (size_t k = 0; k < h.bins.size(); k++) {
        const long long cells = h.bins[k].part[0].cells + h.bins[k].part[1].cells;
        if (cells == 0)
            continue;
        const long long b = h.first + static_cast<long long>(k);
        upper.push_back({(b >= 0 ? static_cast<double>(b + 1) : static_cast<double>(-b)) * h.width, cells});
        *total += cells;
    }
    std::sort(upper.begin(), upper.end());
    return upper;
}

} // namespace

double robust_limit(const ChangeHistogram &h, double largest_abs)
{
    if (!(largest_abs > 0))
        return 1;
    long long total = 0;
    const std::vector<std::pair<double, long long>> upper = absolute_bins(h, &total);
    if (upper.empty())
        return largest_abs;
    // Over the cells that changed: where change is local (a landslide in a
    // quiet valley) the unchanged cells would otherwise set the limit at 0.
    const long long changed = total - (h.unchanged.part[0].cells + h.unchanged.part[1].cells);
    long long count = 0;
    double edge = upper.back().first;
    for (const auto &u : upper) {
        count += u.second;
        if (static_cast<double>(count) >= ROBUST_SHARE * static_cast<double>(changed)) {
            edge = u.first;
            break;
        }
    }
    // Two significant digits, rounded up; an edge no more than a bin above a
    // round number stays that number.
    const double unit = std::pow(10.0, std::floor(std::log10(edge)) - 1);
    double q = edge / unit;
    q = (q - std::floor(q)) * unit <= h.width * (1 + 1e-9) ? std::floor(q) : std::ceil(q);
    return std::fmin(q * unit, largest_abs);
}

double beyond_share(const ChangeHistogram &h, double limit, double largest_abs)
{
    if (limit >= largest_abs)
        return 0;
    long long total = 0, above = 0;
    const std::vector<std::pair<double, long long>> bins = absolute_bins(h, &total);
    const long long changed = total - (h.unchanged.part[0].cells + h.unchanged.part[1].cells);
    for (const auto &u : bins)
        above += u.first - h.width >= limit + 0.5 * h.width ? u.second : 0; // lower edge clearly above
    return changed > 0 ? static_cast<double>(above) / static_cast<double>(changed) : 0;
}

namespace {

// Where the cells fall on the map: the cell drawn at each column and line
// of pixels (the nearest to the pixel's centre), and the ground's metres
// across a pixel.
struct MapGeometry {
    int width = 0, height = 0;
    std::vector<int> col_of_x, line_of_y;
    double cell_w = 1, cell_h = 1; // metres on the ground across a cell, along a line and down a column
    double mean_latitude = 0;      // degrees, for a grid in degrees
};

// A cell's size on the ground. In degrees, at the grid's mean latitude φ on
// its ellipsoid, from the radii of curvature of the meridian M and of the
// prime vertical N (metres_per_degree, Snyder 1987, eqs. 4-18 and 4-20): a
// degree of longitude spans N cos φ π/180 m, one of latitude M π/180 m. Projected: the lengths of the geotransform's steps in metres.
// Without a geotransform: the cell size given.
void cell_ground_size(const GridFacts &g, MapGeometry *m)
{
    const double *gt = g.geotransform;
    if (!g.has_geotransform) {
        m->cell_w = m->cell_h = gt[1];
    } else if (g.geographic) {
        m->mean_latitude = gt[3] + gt[5] * g.nb_lig / 2.0;
        double x_metres, y_metres;
        metres_per_degree(g, m->mean_latitude, &x_metres, &y_metres);
        m->cell_w = std::fabs(gt[1]) * x_metres;
        m->cell_h = std::fabs(gt[5]) * y_metres;
    } else {
        m->cell_w = std::hypot(gt[1], gt[4]) * g.linear_metres;
        m->cell_h = std::hypot(gt[2], gt[5]) * g.linear_metres;
    }
    if (!(m->cell_w > 0) || !(m->cell_h > 0))
        m->cell_w = m->cell_h = 1;
}

// The map's size at its true aspect, `size` pixels on the long side: a
// grid smaller than that is enlarged by a whole number of pixels a cell
// along each axis; a larger one is sampled at the pixels' centres.
void map_geometry(const GridFacts &g, int size, MapGeometry *m)
{
    cell_ground_size(g, m);
    const double ground_w = g.nb_col * m->cell_w, ground_h = g.nb_lig * m->cell_h;
    const double scale = size / std::fmax(ground_w, ground_h);
    const double px = scale * m->cell_w, py = scale * m->cell_h;
    if (px >= 1 && py >= 1) {
        m->width = g.nb_col * static_cast<int>(std::lround(px));
        m->height = g.nb_lig * static_cast<int>(std::lround(py));
    } else {
        m->width = std::max(1, static_cast<int>(std::lround(ground_w * scale)));
        m->height = std::max(1, static_cast<int>(std::lround(ground_h * scale)));
    }
    m->col_of_x.resize(static_cast<size_t>(m->width));
    m->line_of_y.resize(static_cast<size_t>(m->height));
    for (int x = 0; x < m->width; x++)
        m->col_of_x[static_cast<size_t>(x)] = std::min(g.nb_col - 1, static_cast<int>((x + 0.5) * g.nb_col / m->width));
    for (int y = 0; y < m->height; y++)
        m->line_of_y[static_cast<size_t>(y)] = std::min(g.nb_lig - 1, static_cast<int>((y + 0.5) * g.nb_lig / m->height));
}

// The distinct values of a non-decreasing index list, and each entry's
// place among them.
std::vector<int> distinct(const std::vector<int> &of, std::vector<int> *place)
{
    std::vector<int> values;
    place->resize(of.size());
    for (size_t k = 0; k < of.size(); k++) {
        if (values.empty() || values.back() != of[k])
            values.push_back(of[k]);
        (*place)[k] = static_cast<int>(values.size()) - 1;
    }
    return values;
}

// The cells drawn: d (NaN where there is none) and BEFORE's heights on the
// sampled lines and columns.
struct Samples {
    std::vector<int> lines, cols;         // grid indices sampled
    std::vector<int> line_place, col_place; // per pixel line / column: index into lines / cols
    std::vector<double> d, z;             // lines.size() × cols.size()
};

bool read_differences(const std::string &path, const GridFacts &g, Samples *s, std::string *error)
{
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (ds == nullptr || GDALGetRasterXSize(ds) != g.nb_col || GDALGetRasterYSize(ds) != g.nb_lig) {
        if (ds != nullptr)
            GDALClose(ds);
        *error = path + ": cannot be read for its picture";
        return false;
    }
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    std::vector<double> line(static_cast<size_t>(g.nb_col));
    const size_t nc = s->cols.size();
    s->d.resize(s->lines.size() * nc);
    bool ok = true;
    for (size_t r = 0; r < s->lines.size() && ok; r++) {
        ok = GDALRasterIO(band, GF_Read, 0, s->lines[r], g.nb_col, 1, line.data(), g.nb_col, 1, GDT_Float64, 0, 0) ==
             CE_None;
        for (size_t c = 0; c < nc && ok; c++) {
            const double v = line[static_cast<size_t>(s->cols[c])];
            s->d[r * nc + c] = (has_nodata && v == nodata) ? NAN : v;
        }
    }
    GDALClose(ds);
    if (!ok)
        *error = path + ": cannot be read for its picture";
    return ok;
}

// BEFORE read again by blocks of lines, keeping the sampled cells.
bool read_heights(const DemInputOptions &options, const GridFacts &g, Samples *s, std::string *error)
{
    DemInput in;
    if (!open_dem_input(options, &in, error))
        return false;
    const int block = 64;
    std::vector<double> metres(static_cast<size_t>(block) * g.nb_col);
    std::vector<unsigned char> valid(static_cast<size_t>(block) * g.nb_col);
    const size_t nc = s->cols.size();
    s->z.assign(s->lines.size() * nc, NAN);
    size_t r = 0;
    bool ok = true;
    for (int first = 0; first < g.nb_lig && r < s->lines.size() && ok; first += block) {
        const int count = std::min(block, g.nb_lig - first);
        ok = read_dem_lines(&in, first, count, metres.data(), valid.data(), error);
        for (; ok && r < s->lines.size() && s->lines[r] < first + count; r++)
            for (size_t c = 0; c < nc; c++) {
                const size_t at = static_cast<size_t>(s->lines[r] - first) * g.nb_col + static_cast<size_t>(s->cols[c]);
                s->z[r * nc + c] = valid[at] ? metres[at] : NAN;
            }
    }
    close_dem_input(&in);
    return ok;
}

// The shading factor of each sampled cell: 1 on flat ground, down to 0.7
// on slopes turned from the sun, up to 1.12 on those facing it, from the
// light on the sampled cells' 3 x 3 windows (neighbours without a height,
// or beyond the border, take the cell's own).
std::vector<double> shading(const Samples &s, double dx, double dy)
{
    const int nl = static_cast<int>(s.lines.size()), nc = static_cast<int>(s.cols.size());
    std::vector<double> factor(s.z.size(), 1.0);
    for (int i = 0; i < nl; i++)
        for (int j = 0; j < nc; j++) {
            const double centre = s.z[static_cast<size_t>(i) * nc + j];
            if (std::isnan(centre))
                continue;
            double z[9];
            for (int di = -1; di <= 1; di++)
                for (int dj = -1; dj <= 1; dj++) {
                    const int y = i + di, x = j + dj;
                    const double v = y < 0 || x < 0 || y >= nl || x >= nc ? NAN : s.z[static_cast<size_t>(y) * nc + x];
                    z[(di + 1) * 3 + dj + 1] = std::isnan(v) ? centre : v;
                }
            const double f = 1 + 0.35 * (hill_light(z, dx, dy) - std::sqrt(0.5)) / std::sqrt(0.5);
            factor[static_cast<size_t>(i) * nc + j] = std::fmin(1.12, std::fmax(0.7, f));
        }
    return factor;
}

void set_colour(cairo_t *cr, const unsigned char rgb[3])
{
    cairo_set_source_rgb(cr, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
}

void set_grey(cairo_t *cr, double v)
{
    cairo_set_source_rgb(cr, v, v, v);
}

// A length in metres or kilometres, as the scale bar names it.
std::string length_text(double metres)
{
    if (metres >= 1000)
        return exact_number(metres / 1000) + " km";
    return exact_number(metres) + " m";
}

// A value of the colour bar in metres, with its sign: a tick with the
// decimals of the step, an end (decimals < 0) with four significant digits.
std::string bar_label(double v, int decimals)
{
    std::string text;
    if (decimals < 0) {
        char digits[64];
        std::snprintf(digits, sizeof digits, "%.4g", std::fabs(v));
        text = (v < 0 ? "\u2212" : "") + std::string(digits);
    } else
        text = grouped_number(std::fabs(v) < 1e-12 ? 0 : v, decimals);
    return (v > 1e-12 ? "+" : "") + text + " m";
}

// Layout of the picture, in pixels.
const int MARGIN = 16, TITLE_H = 44, PANEL_GAP = 28, PANEL_W = 250, BAR_W = 24, BOTTOM_H = 56;

// The colour bar from (x, top), bar_h high: +limit (raising, blue) at the
// top, -limit (lowering, red) at the bottom; pointed ends tip high when
// cells lie beyond.
void draw_colour_bar(cairo_t *cr, int x, int top, int bar_h, int tip)
{
    unsigned char rgb[3];
    for (int k = 0; k < bar_h; k++) {
        change_colour(1 - 2.0 * k / (bar_h - 1), rgb);
        set_colour(cr, rgb);
        cairo_rectangle(cr, x, top + k, BAR_W, 1);
        cairo_fill(cr);
    }
    if (tip > 0) {
        set_colour(cr, RAISING_RGB);
        cairo_move_to(cr, x, top);
        cairo_line_to(cr, x + BAR_W / 2.0, top - tip);
        cairo_line_to(cr, x + BAR_W, top);
        cairo_close_path(cr);
        cairo_fill(cr);
        set_colour(cr, LOWERING_RGB);
        cairo_move_to(cr, x, top + bar_h);
        cairo_line_to(cr, x + BAR_W / 2.0, top + bar_h + tip);
        cairo_line_to(cr, x + BAR_W, top + bar_h);
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    set_grey(cr, 0.13);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, x + 0.5, top + 0.5, BAR_W - 1, bar_h - 1);
    cairo_stroke(cr);
}

// The bar's ticks at round steps, the limits always labelled (with ≥ and
// ≤ when cells lie beyond them).
void draw_bar_ticks(cairo_t *cr, int x, int top, int bar_h, const ChangeMapOptions &o)
{
    cairo_set_font_size(cr, 13);
    const double step = nice_step(2 * o.limit, 6);
    const int decimals = decimals_for(step);
    auto y_of = [&](double v) { return top + (o.limit - v) / (2 * o.limit) * bar_h; };
    std::vector<double> ticks = {o.limit, -o.limit};
    for (double v = std::ceil(-o.limit / step) * step; v <= o.limit * (1 + 1e-9); v += step)
        if (std::fabs(std::fabs(v) - o.limit) > 0.35 * step)
            ticks.push_back(std::fabs(v) < 1e-9 * o.limit ? 0 : v);
    for (double v : ticks) {
        const double ty = std::round(y_of(v)) + 0.5;
        cairo_move_to(cr, x + BAR_W, ty);
        cairo_line_to(cr, x + BAR_W + 5, ty);
        cairo_stroke(cr);
        const bool end = std::fabs(std::fabs(v) - o.limit) <= 1e-12 * o.limit;
        std::string label = bar_label(v, end ? -1 : decimals);
        if (end && o.beyond > 0)
            label = (v > 0 ? "\u2265 " : "\u2264 ") + label;
        text_at(cr, x + BAR_W + 9, ty + 4.5, label, 0);
    }
}

// The colour bar and its labels, the legend and the limit's note, from
// (x, y) down; returns the height used.
int draw_panel(cairo_t *cr, int x, int y, int bar_h, const ChangeMapOptions &o)
{
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 14);
    set_grey(cr, 0.13);
    text_at(cr, x, y + 12, "d = after \u2212 before", 0);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    const int tip = o.beyond > 0 ? 12 : 0, top = y + 48 + tip;
    draw_colour_bar(cr, x, top, bar_h, tip);
    draw_bar_ticks(cr, x, top, bar_h, o);
    // What the ends mean.
    cairo_set_font_size(cr, 12.5);
    set_grey(cr, 0.3);
    text_at(cr, x + BAR_W + 9, y + 32, "raising (blue)", 0);
    text_at(cr, x + BAR_W + 9, top + bar_h + 24 + tip, "lowering (red)", 0);

    // Legend and notes.
    int ly = top + bar_h + tip + 50;
    set_colour(cr, NODATA_RGB);
    cairo_rectangle(cr, x, ly - 11, 18, 13);
    cairo_fill(cr);
    set_grey(cr, 0.13);
    cairo_set_font_size(cr, 13);
    text_at(cr, x + 26, ly, "no difference (nodata)", 0);
    ly += 24;
    cairo_set_font_size(cr, 12);
    set_grey(cr, 0.3);
    text_at(cr, x, ly, "limit \u00b1" + exact_number(o.limit) + " m: " + o.limit_how, 0);
    if (o.beyond > 0) {
        ly += 18;
        char share[64];
        std::snprintf(share, sizeof share, "%.2g %%", o.beyond * 100);
        text_at(cr, x, ly, std::string("beyond it: ") + share + " of the changed cells", 0);
    }
    if (o.shade) {
        ly += 18;
        text_at(cr, x, ly, "shading: before, sun in the north-west", 0);
    }
    return ly - y + 8;
}

// A north arrow whose tip is at (x, y).
void draw_north_arrow(cairo_t *cr, double x, double y)
{
    set_grey(cr, 0.13);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + 9, y + 28);
    cairo_line_to(cr, x, y + 21);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1.2);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x - 9, y + 28);
    cairo_line_to(cr, x, y + 21);
    cairo_close_path(cr);
    cairo_stroke(cr);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 14);
    text_at(cr, x, y + 45, "N", 0.5);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
}

// A scale bar of a round length about a quarter of the map's width, its
// left end at (x, y).
void draw_scale_bar(cairo_t *cr, double x, double y, double metres_per_pixel, double map_width, bool at_latitude,
                    double latitude)
{
    double length = nice_step(map_width * metres_per_pixel, 4);
    if (length / metres_per_pixel > 0.45 * map_width)
        length /= 2;
    const double w = length / metres_per_pixel;
    set_grey(cr, 0.13);
    cairo_rectangle(cr, x, y, w / 2, 6);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, x + 0.5, y + 0.5, w - 1, 5);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 13);
    text_at(cr, x, y + 22, "0", 0.5);
    text_at(cr, x + w, y + 22, length_text(length), 0.5);
    if (at_latitude) {
        char text[96];
        std::snprintf(text, sizeof text, "scale at latitude %.2f\u00b0", latitude);
        set_grey(cr, 0.3);
        cairo_set_font_size(cr, 12);
        text_at(cr, x + w + 40, y + 8, text, 0);
    }
}

std::string world_file_text(const GridFacts &g, const MapGeometry &m, int map_x, int map_y)
{
    const double *gt = g.geotransform;
    const double sx = static_cast<double>(g.nb_col) / m.width, sy = static_cast<double>(g.nb_lig) / m.height;
    // The centre of the picture's upper-left pixel in grid columns and lines.
    const double c0 = (0.5 - map_x) * sx, l0 = (0.5 - map_y) * sy;
    const double v[6] = {gt[1] * sx, gt[4] * sx, gt[2] * sy, gt[5] * sy, gt[0] + gt[1] * c0 + gt[2] * l0,
                         gt[3] + gt[4] * c0 + gt[5] * l0};
    std::string text;
    for (double x : v)
        text += exact_number(x) + "\n";
    return text;
}

// The differences at the map's samples and, when the map is shaded, the
// shading (the one given, of the same samples, or worked out from BEFORE's
// heights and kept for the next map).
bool sample_map(const ChangeMapSource &source, const ChangeMapOptions &o, const MapGeometry &m, Samples *s,
                std::vector<double> *shade, std::string *error)
{
    const GridFacts &g = source.grid;
    s->lines = distinct(m.line_of_y, &s->line_place);
    s->cols = distinct(m.col_of_x, &s->col_place);
    if (!read_differences(source.difference, g, s, error))
        return false;
    if (o.shade && source.shading != nullptr && source.shading->size() == s->lines.size() * s->cols.size()) {
        *shade = *source.shading;
    } else if (o.shade) {
        if (!read_heights(source.before, g, s, error))
            return false;
        *shade = shading(*s, m.cell_w * g.nb_col / s->cols.size(), m.cell_h * g.nb_lig / s->lines.size());
        if (source.shading != nullptr)
            *source.shading = *shade;
    }
    return true;
}

// Whether a north arrow is drawn: a grid in a coordinate system, north up.
bool north_up(const GridFacts &g)
{
    return g.has_geotransform && !g.crs_wkt.empty() && g.geotransform[2] == 0 && g.geotransform[4] == 0 &&
           g.geotransform[5] < 0;
}

// The height of the colour bar, and the picture's size and the map's place
// in it.
int lay_out_map(const GridFacts &g, const MapGeometry &m, ChangeMap *map)
{
    const int bar_h = std::max(220, std::min(m.height - 150, 420));
    const int panel_h = 60 + bar_h + 150;
    map->map_x = MARGIN;
    map->map_y = TITLE_H + 8;
    map->map_width = m.width;
    map->map_height = m.height;
    map->width = MARGIN + m.width + PANEL_GAP + PANEL_W + 90;
    map->height = map->map_y + std::max(m.height + BOTTOM_H, panel_h + (north_up(g) ? 60 : 0)) + MARGIN / 2;
    return bar_h;
}

// The map's pixels, straight into the surface: the change colour of each
// sample (shaded), nodata grey.
void paint_map_pixels(cairo_surface_t *surface, const Samples &s, const std::vector<double> &shade,
                      const ChangeMapOptions &o, const MapGeometry &m, const ChangeMap &map)
{
    cairo_surface_flush(surface);
    unsigned char *data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const size_t nc = s.cols.size();
    for (int y = 0; y < m.height; y++)
        for (int x = 0; x < m.width; x++) {
            const size_t at = static_cast<size_t>(s.line_place[static_cast<size_t>(y)]) * nc +
                              static_cast<size_t>(s.col_place[static_cast<size_t>(x)]);
            const double d = s.d[at];
            unsigned char rgb[3];
            if (!std::isfinite(d)) {
                rgb[0] = NODATA_RGB[0];
                rgb[1] = NODATA_RGB[1];
                rgb[2] = NODATA_RGB[2];
            } else {
                change_colour(d / o.limit, rgb);
                if (o.shade && shade[at] != 1.0)
                    for (int c = 0; c < 3; c++)
                        rgb[c] = static_cast<unsigned char>(std::lround(std::fmin(255.0, rgb[c] * shade[at])));
            }
            uint32_t *p = reinterpret_cast<uint32_t *>(data + static_cast<size_t>(map.map_y + y) * stride) + map.map_x + x;
            *p = (static_cast<uint32_t>(rgb[0]) << 16) | (static_cast<uint32_t>(rgb[1]) << 8) | rgb[2];
        }
    cairo_surface_mark_dirty(surface);
}

// The map's frame, the title, the panel, the scale and the north arrow.
void draw_map_furniture(cairo_t *cr, const GridFacts &g, const MapGeometry &m, const ChangeMapOptions &o,
                        const ChangeMap &map, int bar_h)
{
    set_grey(cr, 0.13);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, map.map_x - 0.5, map.map_y - 0.5, m.width + 1, m.height + 1);
    cairo_stroke(cr);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 19);
    text_at(cr, MARGIN, 30, o.title, 0);
    cairo_select_font_face(cr, PICTURE_FONT, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    const int panel_x = map.map_x + m.width + PANEL_GAP;
    const int used = draw_panel(cr, panel_x, map.map_y, bar_h, o);
    if (north_up(g))
        draw_north_arrow(cr, panel_x + 12, map.map_y + used + 8);
    if (g.cell_size_known || g.has_geotransform)
        draw_scale_bar(cr, map.map_x + 12, map.map_y + m.height + 16, m.cell_w * g.nb_col / m.width, m.width,
                       g.has_geotransform && g.geographic, m.mean_latitude);
}

} // namespace

bool draw_change_map(const ChangeMapSource &source, const ChangeMapOptions &o, ChangeMap *map, std::string *error)
{
    const GridFacts &g = source.grid;
    MapGeometry m;
    map_geometry(g, o.size, &m);
    Samples s;
    std::vector<double> shade;
    if (!sample_map(source, o, m, &s, &shade, error))
        return false;
    const int bar_h = lay_out_map(g, m, map);

    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, map->width, map->height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        *error = "the map " + o.title + " cannot be drawn: " + cairo_status_to_string(cairo_surface_status(surface));
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_t *cr = cairo_create(surface);
    set_grey(cr, 1);
    cairo_paint(cr);
    paint_map_pixels(surface, s, shade, o, m, *map);
    draw_map_furniture(cr, g, m, o, *map, bar_h);

    cairo_destroy(cr);
    const bool ok = surface_png(surface, "the map " + o.title, &map->png, error);
    cairo_surface_destroy(surface);
    if (!ok)
        return false;
    map->world_file = g.has_geotransform ? world_file_text(g, m, map->map_x, map->map_y) : "";
    map->aux_xml = g.has_geotransform && !g.crs_wkt.empty()
                       ? "<PAMDataset>\n  <SRS>" + html_escape(g.crs_wkt) + "</SRS>\n</PAMDataset>\n"
                       : "";
    return true;
}

std::string qgis_style(double limit)
{
    const std::string lo = exact_number(-limit), hi = exact_number(limit);
    std::string ramp_stops, items, color1, color2; // the ramp's inner stops, its items and its ends
    for (int k = 0; k < CHANGE_STOPS; k++) {
        double t = 0;
        unsigned char rgb[3];
        change_stop(k, &t, rgb);
        char colour[16], rgba[32];
        std::snprintf(colour, sizeof colour, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
        std::snprintf(rgba, sizeof rgba, "%d,%d,%d,255", rgb[0], rgb[1], rgb[2]);
        const double value = t * limit;
        std::string label = exact_number(value) + " m";
        if (k == 0)
            label += " (lowering)";
        else if (k == CHANGE_STOPS - 1)
            label = "+" + label + " (raising)";
        items += "          <item alpha=\"255\" value=\"" + exact_number(value) + "\" label=\"" + label +
                 "\" color=\"" + colour + "\"/>\n";
        if (k == 0)
            color1 = rgba;
        else if (k == CHANGE_STOPS - 1)
            color2 = rgba;
        else
            ramp_stops += (ramp_stops.empty() ? "" : ":") + exact_number((t + 1) / 2) + ";" + rgba;
    }
    return "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n"
           "<qgis version=\"3.22.0\" styleCategories=\"Symbology\">\n"
           "  <pipe>\n"
           "    <rasterrenderer type=\"singlebandpseudocolor\" band=\"1\" opacity=\"1\" alphaBand=\"-1\" "
           "nodataColor=\"\" classificationMin=\"" + lo + "\" classificationMax=\"" + hi + "\">\n"
           "      <rasterTransparency/>\n"
           "      <minMaxOrigin>\n"
           "        <limits>None</limits>\n"
           "        <extent>WholeRaster</extent>\n"
           "        <statAccuracy>Estimated</statAccuracy>\n"
           "        <cumulativeCutLower>0.02</cumulativeCutLower>\n"
           "        <cumulativeCutUpper>0.98</cumulativeCutUpper>\n"
           "        <stdDevFactor>2</stdDevFactor>\n"
           "      </minMaxOrigin>\n"
           "      <rastershader>\n"
           "        <colorrampshader colorRampType=\"INTERPOLATED\" classificationMode=\"1\" clip=\"0\" "
           "minimumValue=\"" + lo + "\" maximumValue=\"" + hi + "\" labelPrecision=\"4\">\n"
           "          <colorramp type=\"gradient\" name=\"[source]\">\n"
           "            <Option type=\"Map\">\n"
           "              <Option type=\"QString\" name=\"color1\" value=\"" + color1 + "\"/>\n"
           "              <Option type=\"QString\" name=\"color2\" value=\"" + color2 + "\"/>\n"
           "              <Option type=\"QString\" name=\"discrete\" value=\"0\"/>\n"
           "              <Option type=\"QString\" name=\"rampType\" value=\"gradient\"/>\n"
           "              <Option type=\"QString\" name=\"stops\" value=\"" + ramp_stops + "\"/>\n"
           "            </Option>\n"
           "          </colorramp>\n" +
           items +
           "        </colorrampshader>\n"
           "      </rastershader>\n"
           "    </rasterrenderer>\n"
           "    <brightnesscontrast brightness=\"0\" contrast=\"0\" gamma=\"1\"/>\n"
           "    <huesaturation saturation=\"0\" grayscaleMode=\"0\" colorizeOn=\"0\" colorizeRed=\"255\" "
           "colorizeGreen=\"128\" colorizeBlue=\"128\" colorizeStrength=\"100\"/>\n"
           "    <rasterresampler maxOversampling=\"2\"/>\n"
           "  </pipe>\n"
           "  <blendMode>0</blendMode>\n"
           "</qgis>\n";
}

std::string world_file_path(const std::string &png_path)
{
    const size_t dot = png_path.rfind('.'), slash = png_path.find_last_of("/\\");
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? png_path.substr(0, dot) : png_path) + ".pgw";
}
