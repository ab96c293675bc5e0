// dempicture: draws a DEM, or a 2D or 3D result of the comparison tool, as a
// PNG picture with a colour bar.
//
// Heights get a hypsometric colour map (green lowlands to pale summits),
// optionally with hill shading; differences get the project's change
// colours centred on 0. The results hold first - second, so a positive value
// (first DEM above second) is a lowering of the surface when the first is
// the earlier survey: red; a negative value (raising) blue; 0 white.
#include "LIB/NRUTIL.h"
#include "colour_maps.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"
#include "answers.h"
#include "cli_support.h"
#include "output_set.h"
#include "tool_support.h"
#include "units.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "dempicture";

const int MAP_AUTO = -1;
const int MAP_HEIGHTS = 0;
const int MAP_DIFFERENCES = 1;

// Layout, in pixels: the map's upper-left cell at (MARGIN, MARGIN), the
// colour bar GAP pixels to its right, the labels LABEL_GAP pixels right of
// the bar. The bar is at least MIN_BAR pixels tall so that its labels fit.
const int MARGIN = 10;
const int GAP = 14;
const int BAR_WIDTH = 16;
const int LABEL_GAP = 6;
const int MIN_BAR = 100;
// Labels are drawn with a 5 x 7 font, each font dot TEXT_SCALE pixels wide.
const int GLYPH_W = 5;
const int GLYPH_H = 7;
const int TEXT_SCALE = 2;
const int ADVANCE = (GLYPH_W + 1) * TEXT_SCALE;
// Pictures above this many pixels are refused (--shrink makes them smaller).
const long long MAX_PIXELS = 200000000LL;

struct Options {
    std::string raster, png;
    int itype = -1;      // -1: from the raster's name
    int unit = 0;
    int map = MAP_AUTO;
    double limit = 0;    // metres at the ends of a difference bar (0: largest |value|)
    bool shade = false;
    double pixel_size = 0; // metres, for the shading (0: the descriptor's)
    bool m2_signed = false;
    int zoom = 1, shrink = 1;
    std::string window_text; // as given
    int window[4] = {0, 0, 0, 0}; // first line, first column, lines, columns (0 lines: the whole frame)
};

const char *const DESCRIPTION =
    "Draws a DEM or a result of the comparison tool as a PNG picture with a colour\n"
    "bar. RASTER is a raw raster whose name ends in _m2.raw or _m4.raw (results:\n"
    "_2D_m4.raw and so on); its descriptor is the same path ending in .txt, and\n"
    "gives the frame, which the raster must fill exactly.\n"
    "Results hold first DEM - second: red where the first lies above the second\n"
    "(a lowering of the surface when the first is the earlier survey), blue where\n"
    "it lies below (a raising), the colours dem_change gives lowering and raising.";

const char *const NOTES =
    "Line 0 is at the top. The map's upper-left cell is drawn at pixel (10, 10);\n"
    "the colour bar stands to the right of the map with its end values (and 0 for\n"
    "differences).\n"
    "Example: dempicture site/change_2D_m4.raw change.png --unit mm --zoom 2\n"
    "Exit status: 0 on success, 2 for a bad command line, 1 when the DEM cannot be\n"
    "read or the picture written.";

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// "L,C,NL,NC": four whole numbers, the sizes at least 1. False when the text
// is not that.
bool parse_window(const std::string &text, int window[4])
{
    size_t start = 0;
    for (int k = 0; k < 4; k++) {
        size_t comma = text.find(',', start);
        if ((k < 3) != (comma != std::string::npos))
            return false;
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!word_to_int(part, &window[k]) || window[k] < (k < 2 ? 0 : 1))
            return false;
        start = comma + 1;
    }
    return true;
}

// The options, in the help's groups.
void define_options(CLI::App &app, Options *o)
{
    setup_command_line(app, PROGRAM, DESCRIPTION);
    app.footer(NOTES);
    app.add_option("RASTER", o->raster, "the raster to draw (NAME_m2.raw, ...)")->required()->type_name("");
    app.add_option("OUT.png", o->png, "the picture to write")->required()->type_name("");

    const char *values = "Values";
    add_type_option(app, "--type", &o->itype, "m2 unsigned 16-bit, m4 signed 32-bit (or 0, 1);\ndefault: from the name")
        ->group(values);
    add_unit_option(app, "--unit", &o->unit, UNITS_OUT - 1,
                    "unit of the values: " + height_unit_names(UNITS_OUT - 1) + "\n(or 0 to 5; default m); the colour bar is\nlabelled in metres")
        ->group(values);
    app.add_flag("--signed", o->m2_signed,
                 "read _m2 values as signed 16-bit, for a result\n"
                 "written as _m2 whose negative values wrapped\n"
                 "(65531 for -5)")
        ->group(values);

    const char *colours = "Colours";
    add_choice_option(app, "--map", &o->map, {"heights", "differences"},
                      "heights: hypsometric colours, lowest green to\n"
                      "highest pale; differences (first - second):\n"
                      "positive (first DEM above second: lowering when\n"
                      "the first is the earlier survey) red, negative\n"
                      "(raising) blue, 0 white. Default:\n"
                      "differences for _2D_ and _3D_ names, heights\n"
                      "otherwise")
        ->group(colours);
    add_real_option(app, "--limit", &o->limit, 0, 1e300, true, "a number of metres above 0",
                    "differences: metres at both ends of the bar\n"
                    "(default: the largest absolute value); values\n"
                    "beyond take the end colours")
        ->group(colours);
    app.add_flag("--shade", o->shade, "heights: hill shading, light from the north-west")->group(colours);
    add_real_option(app, "--pixel-size", &o->pixel_size, 0, 1e300, true, "a number of metres above 0",
                    "cell side in metres for the shading (default:\nthe descriptor's)")
        ->group(colours);

    const char *cells = "Cells drawn";
    add_whole_option(app, "--zoom", &o->zoom, 1, 64, "N x N pixels per cell (default 1)")->group(cells);
    add_whole_option(app, "--shrink", &o->shrink, 1, 100000, "draw one cell in N along lines and columns\n(default 1)")
        ->group(cells);
    app.add_option("--window", o->window_text,
                   "draw only NL lines and NC columns from line L,\n"
                   "column C (from 0); the colour bar spans the\n"
                   "values drawn")
        ->check(CLI::Validator(
            [](std::string &text) {
                int window[4];
                if (!parse_window(text, window))
                    return "'" + text + "' is not L,C,NL,NC: first line and column from 0, then lines and columns from 1";
                return std::string();
            },
            "", "window"))
        ->type_name("L,C,NL,NC")
        ->group(cells);
}

// What no single option says, and what follows from the raster's name.
// Returns -1 when *o is ready, otherwise EXIT_USAGE after saying why.
int check_options(Options *o)
{
    if (!o->window_text.empty())
        parse_window(o->window_text, o->window);
    if (!ends_with(o->raster, ".raw"))
        return usage_error(PROGRAM, "the raster " + o->raster + " must end in .raw (its descriptor ends in .txt)");
    if (o->itype < 0) {
        if (ends_with(o->raster, "_m2.raw"))
            o->itype = DEM_M2;
        else if (ends_with(o->raster, "_m4.raw"))
            o->itype = DEM_M4;
        else
            return usage_error(PROGRAM, "cannot tell the value type of " + o->raster + " from its name: give --type m2 or m4");
    }
    if (o->map == MAP_AUTO)
        o->map = o->raster.find("_2D_") != std::string::npos || o->raster.find("_3D_") != std::string::npos
                     ? MAP_DIFFERENCES
                     : MAP_HEIGHTS;
    if (o->m2_signed && o->itype != DEM_M2)
        return usage_error(PROGRAM, "--signed is for _m2 rasters; _m4 values are signed already");
    if (o->shade && o->map != MAP_HEIGHTS)
        return usage_error(PROGRAM, "--shade applies to a map of heights");
    return -1;
}

// Hill shading: the light of colour_maps' hill_light on the cell's 3 x 3
// window (cells beyond the border repeat the border cell), as a brightness
// factor: 1 on flat ground, more on slopes facing the sun, less on slopes
// turned away.
double hill_shade(int *const *v, int nb_lig, int nb_col, int i, int j, double metres_per_unit, double pixel)
{
    double z[9];
    for (int di = -1; di <= 1; di++)
        for (int dj = -1; dj <= 1; dj++) {
            const int y = i + di < 0 ? 0 : (i + di >= nb_lig ? nb_lig - 1 : i + di);
            const int x = j + dj < 0 ? 0 : (j + dj >= nb_col ? nb_col - 1 : j + dj);
            z[(di + 1) * 3 + dj + 1] = v[y][x] * metres_per_unit;
        }
    return 0.3 + 0.7 * hill_light(z, pixel, pixel) / std::sqrt(0.5);
}

// ---------------------------------------------------------------------------
// The picture: an RGB buffer, white at first.
// ---------------------------------------------------------------------------

struct Picture {
    int width, height;
    std::vector<unsigned char> rgb;
};

void set_pixel(Picture *p, int x, int y, const unsigned char rgb[3])
{
    if (x < 0 || y < 0 || x >= p->width || y >= p->height)
        return;
    unsigned char *px = &p->rgb[(static_cast<size_t>(y) * static_cast<size_t>(p->width) + static_cast<size_t>(x)) * 3];
    px[0] = rgb[0];
    px[1] = rgb[1];
    px[2] = rgb[2];
}

// Rows of a 5 x 7 font, bit 4 the leftmost dot, for the characters of the
// labels.
const char *const GLYPH_CHARS = "0123456789+-.em ";
const unsigned char GLYPHS[][GLYPH_H] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}, // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}, // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}, // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}, // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}, // 9
    {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}, // +
    {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}, // -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}, // .
    {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}, // e
    {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}, // m
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, // blank
};

// Draws text in black with its upper-left corner at (x, y).
void draw_text(Picture *p, int x, int y, const std::string &text)
{
    static const unsigned char black[3] = {0, 0, 0};
    for (char ch : text) {
        const char *found = std::strchr(GLYPH_CHARS, ch);
        const unsigned char *rows = GLYPHS[found != nullptr && ch != '\0' ? found - GLYPH_CHARS : 15];
        for (int r = 0; r < GLYPH_H; r++)
            for (int c = 0; c < GLYPH_W; c++)
                if (rows[r] & (0x10 >> c))
                    for (int dy = 0; dy < TEXT_SCALE; dy++)
                        for (int dx = 0; dx < TEXT_SCALE; dx++)
                            set_pixel(p, x + c * TEXT_SCALE + dx, y + r * TEXT_SCALE + dy, black);
        x += ADVANCE;
    }
}

// A label in metres with four significant digits; differences carry their
// sign.
std::string label(double metres, bool with_sign)
{
    char text[64];
    std::snprintf(text, sizeof text, with_sign && metres != 0 ? "%+.4g m" : "%.4g m", metres);
    return text;
}

// Writes the rows through libpng, whose errors come back here by longjmp.
// Nothing but plain pointers lives in this frame, so that nothing can be
// clobbered by the jump.
bool write_png_rows(FILE *f, png_structp png, png_infop info, int width, int height, png_bytep *rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

// PNG output through libpng.
bool write_png(FILE *f, const Picture &p, std::string *error)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *error = "libpng could not start";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(p.height));
    for (int y = 0; y < p.height; y++)
        rows[static_cast<size_t>(y)] =
            const_cast<png_bytep>(&p.rgb[static_cast<size_t>(y) * static_cast<size_t>(p.width) * 3]);
    const bool written = write_png_rows(f, png, info, p.width, p.height, rows.data());
    png_destroy_write_struct(&png, &info);
    if (!written)
        *error = "libpng failed while writing the picture";
    return written;
}

// What is drawn and where: the window of cells, its scale and the colour
// bar's values.
struct View {
    int line0, col0, lines, cols;         // the cells drawn
    long long cells_down, cells_across;   // after --shrink
    long long map_w, map_h, bar_h, bar_x; // pixels
    double metres_per_unit, pixel;        // pixel: metres, for the shading
    double end_low, end_high;             // metres at the bottom and top of the bar
};

// The map: one zoom x zoom block per drawn cell, in a black frame just
// outside it, so that white cells stand out from the white page.
void draw_map(Picture *pic, const LoadedDem &dem, const Options &opt, const View &v)
{
    unsigned char rgb[3];
    for (long long ci = 0; ci < v.cells_down; ci++)
        for (long long cj = 0; cj < v.cells_across; cj++) {
            const int i = v.line0 + static_cast<int>(ci * opt.shrink), j = v.col0 + static_cast<int>(cj * opt.shrink);
            const double metres = dem.values[i][j] * v.metres_per_unit;
            if (opt.map == MAP_DIFFERENCES) {
                change_colour(v.end_high > 0 ? -metres / v.end_high : 0, rgb);
            } else {
                hypsometric_colour(v.end_high > v.end_low ? (metres - v.end_low) / (v.end_high - v.end_low) : 0.5, rgb);
                if (opt.shade) {
                    double factor = hill_shade(dem.values, dem.nb_lig, dem.nb_col, i, j, v.metres_per_unit, v.pixel);
                    for (int c = 0; c < 3; c++) {
                        double lit = rgb[c] * factor;
                        rgb[c] = static_cast<unsigned char>(lit > 255 ? 255 : lit);
                    }
                }
            }
            for (int dy = 0; dy < opt.zoom; dy++)
                for (int dx = 0; dx < opt.zoom; dx++)
                    set_pixel(pic, static_cast<int>(MARGIN + cj * opt.zoom + dx),
                              static_cast<int>(MARGIN + ci * opt.zoom + dy), rgb);
        }
    static const unsigned char black[3] = {0, 0, 0};
    for (long long x = MARGIN - 1; x <= MARGIN + v.map_w; x++) {
        set_pixel(pic, static_cast<int>(x), MARGIN - 1, black);
        set_pixel(pic, static_cast<int>(x), static_cast<int>(MARGIN + v.map_h), black);
    }
    for (long long y = MARGIN - 1; y <= MARGIN + v.map_h; y++) {
        set_pixel(pic, MARGIN - 1, static_cast<int>(y), black);
        set_pixel(pic, static_cast<int>(MARGIN + v.map_w), static_cast<int>(y), black);
    }
}

// The colour bar, end_high at the top, in a black frame, with its labels.
void draw_bar(Picture *pic, const Options &opt, const View &v, const std::string &top, const std::string &bottom)
{
    static const unsigned char black[3] = {0, 0, 0};
    unsigned char rgb[3];
    for (long long y = 0; y < v.bar_h; y++) {
        double t = v.bar_h > 1 ? 1 - static_cast<double>(y) / static_cast<double>(v.bar_h - 1) : 1;
        if (opt.map == MAP_DIFFERENCES)
            change_colour(1 - 2 * t, rgb); // first above second at the top
        else
            hypsometric_colour(t, rgb);
        for (int x = 0; x < BAR_WIDTH; x++) {
            bool edge = x == 0 || x == BAR_WIDTH - 1 || y == 0 || y == v.bar_h - 1;
            set_pixel(pic, static_cast<int>(v.bar_x + x), static_cast<int>(MARGIN + y), edge ? black : rgb);
        }
    }
    const int label_x = static_cast<int>(v.bar_x + BAR_WIDTH + LABEL_GAP);
    draw_text(pic, label_x, MARGIN, top);
    draw_text(pic, label_x, static_cast<int>(MARGIN + v.bar_h - GLYPH_H * TEXT_SCALE), bottom);
    if (opt.map == MAP_DIFFERENCES)
        draw_text(pic, label_x, static_cast<int>(MARGIN + (v.bar_h - GLYPH_H * TEXT_SCALE) / 2), "0 m");
}

// Sets the view up from the options and the loaded DEM. False, with *error
// set, when the window does not fit the frame or a pixel size is missing.
bool set_view(const Options &opt, const LoadedDem &dem, const std::string &descr, View *v, std::string *error)
{
    v->metres_per_unit = 1.0 / static_cast<double>(height_unit(opt.unit).per_metre);
    v->pixel = opt.pixel_size > 0 ? opt.pixel_size : dem.pix_size;
    if (opt.shade && !(v->pixel > 0)) {
        *error = "the descriptor " + descr + " gives no pixel size for the shading: give --pixel-size";
        return false;
    }
    v->line0 = opt.window[0];
    v->col0 = opt.window[1];
    v->lines = opt.window[2] > 0 ? opt.window[2] : dem.nb_lig;
    v->cols = opt.window[2] > 0 ? opt.window[3] : dem.nb_col;
    if (static_cast<long long>(v->line0) + v->lines > dem.nb_lig || static_cast<long long>(v->col0) + v->cols > dem.nb_col) {
        *error = "the window of " + std::to_string(v->lines) + " x " + std::to_string(v->cols) + " cells from line " +
                 std::to_string(v->line0) + ", column " + std::to_string(v->col0) + " goes beyond the " +
                 std::to_string(dem.nb_lig) + " x " + std::to_string(dem.nb_col) + " frame of " + opt.raster;
        return false;
    }

    // The range of the drawn cells gives the ends of the bar: symmetric
    // about 0 for differences.
    std::vector<int *> rows(static_cast<size_t>(v->lines));
    for (int i = 0; i < v->lines; i++)
        rows[static_cast<size_t>(i)] = dem.values[v->line0 + i] + v->col0;
    int lo, hi;
    scan_range(rows.data(), v->lines, v->cols, 2147483647, -2147483647 - 1, &lo, &hi);
    if (opt.map == MAP_DIFFERENCES) {
        const double largest = std::fmax(std::fabs(lo * v->metres_per_unit), std::fabs(hi * v->metres_per_unit));
        v->end_high = opt.limit > 0 ? opt.limit : largest;
        v->end_low = -v->end_high;
    } else {
        v->end_low = lo * v->metres_per_unit;
        v->end_high = hi * v->metres_per_unit;
    }

    v->cells_down = (v->lines + opt.shrink - 1) / opt.shrink;
    v->cells_across = (v->cols + opt.shrink - 1) / opt.shrink;
    v->map_h = v->cells_down * opt.zoom;
    v->map_w = v->cells_across * opt.zoom;
    v->bar_h = v->map_h > MIN_BAR ? v->map_h : MIN_BAR;
    v->bar_x = MARGIN + v->map_w + GAP;
    return true;
}

int run(const Options &opt)
{
    std::string error, staged;
    const std::string descr = opt.raster.substr(0, opt.raster.size() - 4) + ".txt";
    // The picture staged before the DEM is read: a name that cannot be
    // written is said first, and it replaces nothing until complete.
    OutputSet set;
    if (!begin_outputs(opt.png, {opt.raster, descr}, &set, &error) || !stage_output(&set, opt.png, &staged, &error)) {
        abandon_outputs(&set);
        return run_error(PROGRAM, error);
    }
    LoadedDem dem;
    View v;
    if (!load_dem(opt.raster, descr, opt.itype, opt.m2_signed, &dem, &error) || !set_view(opt, dem, descr, &v, &error)) {
        free_dem(&dem);
        return run_error(PROGRAM, error);
    }

    const bool signed_labels = opt.map == MAP_DIFFERENCES;
    const std::string top = label(v.end_high, signed_labels), bottom = label(v.end_low, signed_labels);
    const size_t label_chars = top.size() > bottom.size() ? top.size() : bottom.size();
    const long long width = v.bar_x + BAR_WIDTH + LABEL_GAP + static_cast<long long>(label_chars) * ADVANCE + MARGIN;
    const long long height = MARGIN + (v.map_h > v.bar_h ? v.map_h : v.bar_h) + MARGIN;
    if (width * height > MAX_PIXELS) {
        free_dem(&dem);
        return run_error(PROGRAM, "the picture would be " + std::to_string(width) + " x " + std::to_string(height) +
                                      " pixels; draw fewer cells with --shrink or a smaller --zoom");
    }
    Picture pic;
    pic.width = static_cast<int>(width);
    pic.height = static_cast<int>(height);
    pic.rgb.assign(static_cast<size_t>(width * height * 3), 255);
    draw_map(&pic, dem, opt, v);
    draw_bar(&pic, opt, v, top, bottom);
    free_dem(&dem);

    FILE *f = std::fopen(staged.c_str(), "wb");
    bool ok = f != nullptr && write_png(f, pic, &error);
    if (f == nullptr)
        error = "cannot write " + opt.png + ": " + std::strerror(errno);
    if (f != nullptr && !(flush_to_disk(f) && std::fclose(f) == 0) && ok) {
        error = "cannot write " + opt.png + " (disk full or write error)";
        ok = false;
    }
    ok = ok && commit_outputs(&set, &error);
    abandon_outputs(&set);
    if (!ok)
        return run_error(PROGRAM, error);
    std::printf("%s: %d x %d pixels, %s of %s (%d x %d, %s in %s), colour bar %s to %s\n", opt.png.c_str(), pic.width,
                pic.height, opt.map == MAP_DIFFERENCES ? "differences" : "heights", opt.raster.c_str(), dem.nb_lig,
                dem.nb_col, type_name(opt.itype), height_unit(opt.unit).name, bottom.c_str(), top.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    host_start();
    Options opt;
    CLI::App app;
    define_options(app, &opt);
    int status = parse_command_line(app, argc, argv);
    if (status < 0)
        status = check_options(&opt);
    if (status < 0)
        status = run_guarded(PROGRAM, [&] { return run(opt); });
    return finish_run(PROGRAM, status);
}
