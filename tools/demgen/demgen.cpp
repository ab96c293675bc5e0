// demgen: writes a pair of DEMs (raster and descriptor each) in the formats
// the comparison tool reads, and prints the volumes of the change between
// them with the tool's sign convention (first DEM minus second, interior
// cells only), so that a test or a user can check the tool's volumes.
//
// The first surface is generated (smooth random relief, or white noise) or
// taken from an existing DEM; the second is another random surface, the
// first moved up or down by a fixed offset, or the first with a landslide.
//
// Both DEMs are produced one line at a time, so that memory grows with the
// width of the frame only (plus the source DEM when one is given).
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"
#include "cli_support.h"
#include "output_set.h"
#include "tool_support.h"
#include "units.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "demgen";

const int SCENARIO_RANDOM = 0;
const int SCENARIO_OFFSET = 1;
const int SCENARIO_LANDSLIDE = 2;

const int SURFACE_DEM = 0;    // heights of an existing DEM
const int SURFACE_SMOOTH = 1; // smooth random relief
const int SURFACE_WHITE = 2;  // independent random height per cell

// Frames up to this many lines and columns: far beyond any benchmark, and
// small enough that every index and count below stays exact.
const int MAX_SIDE = 1000000;

// Every choice of the command line, with its default.
struct Options {
    int nb_lig = 0, nb_col = 0;   // frame (0: not given)
    std::string out_dir = ".";
    std::string name[2] = {"first", "second"};
    int itype[2] = {DEM_M2, DEM_M2};
    int unit[2] = {0, 0};
    double pixel_size = 0;        // metres (0: not given)
    int seed = 1;
    int scenario = -1;
    double offset = 1;            // metres, second minus first (offset scenario)
    double depth = 0;             // metres, deepest point of the scar (0: from the relief)
    double length = 0;            // cells, length of the scar down the slope (0: from the frame)
    double low = 0, high = 0;     // metres, range of a generated surface (both 0: default)
    bool white = false;
    std::string from;             // base path of a source DEM (empty: none)
    int from_type = DEM_M2, from_unit = 0;
};

const char *const USAGE = "Usage: demgen --scenario random|offset|landslide [options]";

const char *const DESCRIPTION =
    "Writes two DEMs, each a raw raster and its descriptor (OUT/NAME_m2.raw and\n"
    "OUT/NAME_m2.txt, or _m4), and prints the volumes of the change between them\n"
    "in m3, first DEM minus second, over the interior cells (all but the first and\n"
    "last line and column), as the comparison tool computes them.";

const char *const NOTES =
    "Heights are rounded to the coarser of the two units first, so that cells the\n"
    "scenario leaves alone are equal in both DEMs. A value that does not fit its\n"
    "type is refused and no file is written.\n"
    "Example: demgen --scenario landslide --lines 200 --columns 300 --first-type m4\n"
    "         --second-type m4 --first-unit mm --second-unit mm --out-dir site\n"
    "Exit status: 0 on success, 2 for a bad command line, 1 when the DEMs cannot be\n"
    "made or written.";

// A base name without a folder (the folder is --out-dir).
CLI::Validator plain_name()
{
    return CLI::Validator(
        [](std::string &word) {
            if (word.empty() || word.find_first_of("/\\") != std::string::npos)
                return "'" + word + "' is not a plain file name (the folder is --out-dir)";
            return std::string();
        },
        "", "file name");
}

// The options of the frame and of the files written.
void add_frame_options(CLI::App &app, Options *o)
{
    const std::string input_units = height_unit_names(UNITS_IN - 1) + " (or 0 to 3)";
    const char *frame = "Frame and files";
    add_whole_option(app, "--lines", &o->nb_lig, 1, MAX_SIDE, "lines of both DEMs (from --from when given)")
        ->group(frame);
    add_whole_option(app, "--columns", &o->nb_col, 1, MAX_SIDE, "columns of both DEMs (likewise)")->group(frame);
    app.add_option("--out-dir", o->out_dir, "existing folder receiving the files (default .)")
        ->type_name("DIR")
        ->group(frame);
    app.add_option("--first", o->name[0], "base name of the first DEM (default first)")
        ->check(plain_name())
        ->type_name("NAME")
        ->group(frame);
    add_type_option(app, "--first-type", &o->itype[0],
                    "its value type: m2 unsigned 16-bit, m4 signed\n32-bit (or 0, 1); default m2")
        ->group(frame);
    add_unit_option(app, "--first-unit", &o->unit[0], UNITS_IN - 1,
                    "unit of its values: " + input_units + ";\ndefault m")
        ->group(frame);
    app.add_option("--second", o->name[1], "base name of the second DEM (default second)")
        ->check(plain_name())
        ->type_name("NAME")
        ->group(frame);
    add_type_option(app, "--second-type", &o->itype[1], "its value type (default m2)")->group(frame);
    add_unit_option(app, "--second-unit", &o->unit[1], UNITS_IN - 1, "unit of its values (default m)")->group(frame);
    add_real_option(app, "--pixel-size", &o->pixel_size, 0, 1e9, true, "a number of metres above 0",
                    "side of a cell in metres, for the volumes\n"
                    "(default 1, or the pixel size of the --from\n"
                    "descriptor); the descriptors record it rounded\n"
                    "to a whole number >= 1")
        ->group(frame);
}

// The options of the surfaces and of the change.
void add_surface_options(CLI::App &app, Options *o)
{
    const char *surface = "Surface";
    add_whole_option(app, "--seed", &o->seed, 0, 2147483647, "seed of every random choice (default 1)")->group(surface);
    add_real_option(app, "--low", &o->low, -1e6, 1e6, false, "a height in metres within 1000000",
                    "lowest height of a generated surface, metres\n"
                    "(default 100, less when an _m2 DEM in a fine\n"
                    "unit cannot hold the range)")
        ->group(surface);
    add_real_option(app, "--high", &o->high, -1e6, 1e6, false, "a height in metres within 1000000",
                    "highest height of a generated surface\n"
                    "(default 600, less likewise)")
        ->group(surface);
    app.add_flag("--white", o->white, "independent random heights instead of\nsmooth relief")->group(surface);
    app.add_option("--from", o->from,
                   "take the first surface from the DEM\n"
                   "BASE_m2.raw or BASE_m4.raw with its descriptor")
        ->type_name("BASE")
        ->group(surface);
    add_type_option(app, "--from-type", &o->from_type, "value type of that DEM (default m2)")->group(surface);
    add_unit_option(app, "--from-unit", &o->from_unit, UNITS_IN - 1, "unit of its values (default m)")->group(surface);
    add_real_option(app, "--offset", &o->offset, -1e6, 1e6, false, "a number of metres within 1000000",
                    "offset scenario: metres added to the second\n"
                    "DEM (default 1; negative lowers it)")
        ->group(surface);
    add_real_option(app, "--depth", &o->depth, 0, 1e6, true, "a number of metres above 0 (at most 1000000)",
                    "landslide scenario: depth of the scar in\n"
                    "metres (default a 25th of the height range)")
        ->group(surface);
    add_real_option(app, "--length", &o->length, 5, MAX_SIDE, false,
                    "a number of cells from 5 to " + std::to_string(MAX_SIDE),
                    "landslide scenario: length of the scar down\n"
                    "the slope in cells, at least 5 (default a\n"
                    "seventh of the shorter side of the frame)")
        ->type_name("CELLS")
        ->group(surface);
}

// The options, in the help's groups.
void define_options(CLI::App &app, Options *o)
{
    setup_command_line(app, PROGRAM, DESCRIPTION);
    set_usage(app, USAGE);
    app.footer(NOTES);
    add_choice_option(app, "--scenario", &o->scenario, {"random", "offset", "landslide"},
                      "random: the second DEM is another random\n"
                      "surface of the same height range;\n"
                      "offset: the first raised by --offset metres;\n"
                      "landslide: the first with a scar lowered by up\n"
                      "to --depth metres on a steep slope and its\n"
                      "deposit just downslope, both at least 2 cells\n"
                      "from the border; the scar gives the positive\n"
                      "volume, the deposit the negative one")
        ->required()
        ->group("Scenario");
    add_frame_options(app, o);
    add_surface_options(app, o);
}

// What no single option says. Returns -1 when the options can be run,
// otherwise EXIT_USAGE after saying why.
int check_options(const Options &o)
{
    if (o.from.empty() && (o.nb_lig == 0 || o.nb_col == 0))
        return usage_error(PROGRAM, "--lines and --columns are needed (or --from, which gives the frame)");
    if (!o.from.empty() && (o.low != 0 || o.high != 0))
        return usage_error(PROGRAM, "--low and --high set a generated surface; with --from the heights are the source's");
    if ((o.low != 0 || o.high != 0) && !(o.low < o.high))
        return usage_error(PROGRAM, "--low and --high must give a range low < high");
    if (o.name[0] == o.name[1] && o.itype[0] == o.itype[1])
        return usage_error(PROGRAM, "the two DEMs would be the same files (" + o.name[0] + type_name(o.itype[0]) +
                                        "); give another --second name or type");
    return -1;
}

// ---------------------------------------------------------------------------
// Random numbers: a hash of the seed and the coordinates, so that any cell
// of a surface can be computed on its own, in any order.
// ---------------------------------------------------------------------------

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A uniform number in [0, 1) for the seed, a layer and a lattice point.
double lattice(uint64_t seed, int layer, long long x, long long y)
{
    uint64_t h = mix(mix(mix(seed ^ static_cast<uint64_t>(layer)) + static_cast<uint64_t>(x)) + static_cast<uint64_t>(y));
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Smooth step 3t^2 - 2t^3: the lattice values blend with a level tangent,
// so the surface has no creases along the lattice lines.
double fade(double t) { return t * t * (3 - 2 * t); }
double lerp(double a, double b, double t) { return a + (b - a) * t; }

// ---------------------------------------------------------------------------
// Surfaces, in metres.
//
// The smooth relief is value noise: octaves of random lattice values, each
// octave with half the period and half the weight of the one before,
// blended with the smooth step. Its values lie in [0, 1] and are stretched
// onto [low, high].
// ---------------------------------------------------------------------------

const int MAX_OCTAVES = 8;

struct Surface {
    int kind;
    // SURFACE_DEM: the source values and their unit.
    const int *const *dem;
    int dem_unit;
    // Generated surfaces.
    uint64_t seed;
    double low, high;
    int octaves;
    double period[MAX_OCTAVES]; // cells between lattice points
    double weight[MAX_OCTAVES]; // summing to 1
    // Per octave and column: the lattice column at the left of the cell and
    // the blend weight towards the next one, the same on every line.
    std::vector<long long> col0[MAX_OCTAVES];
    std::vector<double> colt[MAX_OCTAVES];
    // Per octave: one line of lattice values already blended between the two
    // lattice lines around the current line.
    std::vector<double> blended[MAX_OCTAVES];
};

void setup_generated(Surface *s, int kind, uint64_t seed, double low, double high, int nb_lig, int nb_col)
{
    s->kind = kind;
    s->dem = nullptr;
    s->dem_unit = 0;
    s->seed = seed;
    s->low = low;
    s->high = high;
    s->octaves = 0;
    if (kind != SURFACE_SMOOTH)
        return;
    // The broadest octave has about two features across the frame; the
    // finest a period of two cells.
    double p = (nb_lig > nb_col ? nb_lig : nb_col) / 2.0;
    if (p < 2)
        p = 2;
    double total = 0;
    for (int o = 0; o < MAX_OCTAVES && (o == 0 || p >= 2); o++, p /= 2) {
        s->period[o] = p;
        s->weight[o] = std::ldexp(1.0, -o);
        total += s->weight[o];
        s->octaves = o + 1;
    }
    for (int o = 0; o < s->octaves; o++) {
        s->weight[o] /= total;
        s->col0[o].resize(static_cast<size_t>(nb_col));
        s->colt[o].resize(static_cast<size_t>(nb_col));
        for (int j = 0; j < nb_col; j++) {
            double x = j / s->period[o];
            double x0 = std::floor(x);
            s->col0[o][static_cast<size_t>(j)] = static_cast<long long>(x0);
            s->colt[o][static_cast<size_t>(j)] = fade(x - x0);
        }
        long long last = s->col0[o][static_cast<size_t>(nb_col - 1)];
        s->blended[o].resize(static_cast<size_t>(last + 2));
    }
}

// Lattice values of one octave at column x, blended between lattice lines
// y0 and y0 + 1.
double lattice_column(const Surface &s, int o, long long x, long long y0, double ty)
{
    return lerp(lattice(s.seed, o, x, y0), lattice(s.seed, o, x, y0 + 1), ty);
}

// Value noise in [0, 1] at one cell. Blends along the lines first, then
// along the columns, in the same order as smooth_line, so that both give
// the same doubles.
double smooth_at(const Surface &s, int i, int j)
{
    double sum = 0;
    for (int o = 0; o < s.octaves; o++) {
        double y = i / s.period[o];
        double y0 = std::floor(y);
        double ty = fade(y - y0);
        long long x0 = s.col0[o][static_cast<size_t>(j)];
        double left = lattice_column(s, o, x0, static_cast<long long>(y0), ty);
        double right = lattice_column(s, o, x0 + 1, static_cast<long long>(y0), ty);
        sum += s.weight[o] * lerp(left, right, s.colt[o][static_cast<size_t>(j)]);
    }
    return sum;
}

// Value noise of a whole line into v[0 .. nb_col-1].
void smooth_line(Surface *s, int i, double *v, int nb_col)
{
    for (int j = 0; j < nb_col; j++)
        v[j] = 0;
    for (int o = 0; o < s->octaves; o++) {
        double y = i / s->period[o];
        double y0 = std::floor(y);
        double ty = fade(y - y0);
        std::vector<double> &b = s->blended[o];
        for (size_t x = 0; x < b.size(); x++)
            b[x] = lattice_column(*s, o, static_cast<long long>(x), static_cast<long long>(y0), ty);
        const long long *c0 = s->col0[o].data();
        const double *ct = s->colt[o].data();
        for (int j = 0; j < nb_col; j++)
            v[j] += s->weight[o] * lerp(b[static_cast<size_t>(c0[j])], b[static_cast<size_t>(c0[j] + 1)], ct[j]);
    }
}

// Stored values of the unit in one metre, as a double.
double per_metre(int unit) { return static_cast<double>(height_unit(unit).per_metre); }

// Values of unit `fine` in one value of unit `coarse` (fine >= coarse).
long long values_per_value(int fine, int coarse) { return height_unit(fine).per_metre / height_unit(coarse).per_metre; }

// Height in metres at one cell.
double height_at(const Surface &s, int i, int j)
{
    if (s.kind == SURFACE_DEM)
        return s.dem[i][j] / per_metre(s.dem_unit);
    double v = s.kind == SURFACE_SMOOTH ? smooth_at(s, i, j) : lattice(s.seed, MAX_OCTAVES, j, i);
    return s.low + (s.high - s.low) * v;
}

// Heights in metres of a generated surface along one line.
void generated_line(Surface *s, int i, double *h, int nb_col)
{
    if (s->kind == SURFACE_SMOOTH)
        smooth_line(s, i, h, nb_col);
    else
        for (int j = 0; j < nb_col; j++)
            h[j] = lattice(s->seed, MAX_OCTAVES, j, i);
    for (int j = 0; j < nb_col; j++)
        h[j] = s->low + (s->high - s->low) * h[j];
}

// a / b rounded to the nearest integer, halves away from zero (b > 0).
long long divide_rounded(long long a, long long b)
{
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

// One line of a surface as whole numbers of the given unit. A DEM source
// keeps its own values exactly when the unit is not coarser than its own.
void integer_line(Surface *s, int i, int unit, double *work, long long *q, int nb_col)
{
    if (s->kind == SURFACE_DEM) {
        const int *row = s->dem[i];
        if (unit >= s->dem_unit) {
            long long up = values_per_value(unit, s->dem_unit);
            for (int j = 0; j < nb_col; j++)
                q[j] = row[j] * up;
        } else {
            long long down = values_per_value(s->dem_unit, unit);
            for (int j = 0; j < nb_col; j++)
                q[j] = divide_rounded(row[j], down);
        }
        return;
    }
    generated_line(s, i, work, nb_col);
    const double values_per_metre = per_metre(unit);
    for (int j = 0; j < nb_col; j++)
        q[j] = std::llround(work[j] * values_per_metre);
}

// ---------------------------------------------------------------------------
// The landslide: a scar shaped as an elliptic bowl, depth * (1 - r^2) where
// r is the elliptic distance from its centre (r < 1), its long axis down the
// steepest slope; its deposit an elliptic mound of the same shape just
// downslope, wider and thinner, holding the same volume as the bowl
// (pi a b depth / 2 for semi-axes a and b) before rounding to the units.
// ---------------------------------------------------------------------------

struct Landslide {
    double ci, cj;           // centre of the scar (line, column)
    double di, dj;           // unit vector down the slope (lines, columns)
    double a, b;             // scar semi-axes along and across the slope, cells
    double depth;            // metres
    double ki, kj;           // centre of the deposit
    double a2, b2;           // deposit semi-axes
    double height;           // metres, top of the deposit
};

// Change in metres at one cell: negative in the scar, positive on the deposit.
double landslide_change(const Landslide &l, int i, int j)
{
    double u = (i - l.ci) * l.di + (j - l.cj) * l.dj;
    double v = -(i - l.ci) * l.dj + (j - l.cj) * l.di;
    double r2 = (u / l.a) * (u / l.a) + (v / l.b) * (v / l.b);
    if (r2 < 1)
        return -l.depth * (1 - r2);
    u = (i - l.ki) * l.di + (j - l.kj) * l.dj;
    v = -(i - l.ki) * l.dj + (j - l.kj) * l.di;
    r2 = (u / l.a2) * (u / l.a2) + (v / l.b2) * (v / l.b2);
    if (r2 < 1)
        return l.height * (1 - r2);
    return 0;
}

// True when the ellipse of centre (ci, cj), semi-axes a along (di, dj) and b
// across lies at least 2 cells inside the frame: every changed cell and its
// eight neighbours are then interior cells.
bool ellipse_inside(double ci, double cj, double a, double b, double di, double dj, int nb_lig, int nb_col)
{
    double ei = std::sqrt(a * di * a * di + b * dj * b * dj);
    double ej = std::sqrt(a * dj * a * dj + b * di * b * di);
    return ci - ei >= 2 && ci + ei <= nb_lig - 3 && cj - ej >= 2 && cj + ej <= nb_col - 3;
}

// Places the landslide on the steepest of a set of random candidate spots
// where it fits. False when the frame is too small for it.
bool place_landslide(const Surface &s, int nb_lig, int nb_col, uint64_t seed, double length, double depth, Landslide *l)
{
    int side = nb_lig < nb_col ? nb_lig : nb_col;
    if (length == 0)
        length = side / 7.0 < 5 ? 5 : side / 7.0;
    l->a = length / 2;
    l->b = 0.6 * l->a;
    l->a2 = l->a;
    l->b2 = 1.5 * l->b;
    l->depth = depth;
    l->height = depth * (l->a * l->b) / (l->a2 * l->b2);

    const int step = l->a / 2 < 1 ? 1 : static_cast<int>(l->a / 2);
    double best = -1;
    for (int k = 0; k < 256; k++) {
        uint64_t h = mix(seed ^ mix(0x51DE + static_cast<uint64_t>(k)));
        int i = static_cast<int>((h >> 32) % static_cast<uint64_t>(nb_lig));
        int j = static_cast<int>((h & 0xFFFFFFFFULL) % static_cast<uint64_t>(nb_col));
        if (i - step < 0 || i + step >= nb_lig || j - step < 0 || j + step >= nb_col)
            continue;
        // Gradient by central differences, metres per cell; down the slope
        // is against it. Flat ground slides towards the south (larger lines).
        double gi = (height_at(s, i + step, j) - height_at(s, i - step, j)) / (2 * step);
        double gj = (height_at(s, i, j + step) - height_at(s, i, j - step)) / (2 * step);
        double g = std::sqrt(gi * gi + gj * gj);
        double di = g > 0 ? -gi / g : 1;
        double dj = g > 0 ? -gj / g : 0;
        double ki = i + (l->a + l->a2) * di;
        double kj = j + (l->a + l->a2) * dj;
        if (g > best && ellipse_inside(i, j, l->a, l->b, di, dj, nb_lig, nb_col) &&
            ellipse_inside(ki, kj, l->a2, l->b2, di, dj, nb_lig, nb_col)) {
            best = g;
            l->ci = i;
            l->cj = j;
            l->di = di;
            l->dj = dj;
            l->ki = ki;
            l->kj = kj;
        }
    }
    return best >= 0;
}

// ---------------------------------------------------------------------------
// Writing the pair.
// ---------------------------------------------------------------------------

// One DEM being written: its paths, streams, a line buffer of its type, and
// the running range of its values for the descriptor.
struct Output {
    std::string raster, descr;          // the targets
    std::string raster_temp, descr_temp; // their staged files, where they are written until complete
    int itype, unit;
    FILE *f, *fd;
    std::vector<unsigned short> line2;
    std::vector<int> line4;
    int lo, hi;
};

std::string join_path(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\'))
        return dir + name;
    return dir + path_separator() + name;
}

bool open_output(OutputSet *set, Output *out, const std::string &dir, const std::string &name, int itype, int unit,
                 int nb_col, std::string *error)
{
    out->raster = join_path(dir, name + raster_suffix(PAIR_INPUT, itype));
    out->descr = join_path(dir, name + descr_suffix(PAIR_INPUT, itype));
    out->itype = itype;
    out->unit = unit;
    out->f = out->fd = nullptr;
    // The range starts where the tool starts it when it completes an input
    // descriptor, so both record the same minimum and maximum.
    out->lo = 10000000;
    out->hi = 0;
    if (itype == DEM_M2)
        out->line2.resize(static_cast<size_t>(nb_col));
    else
        out->line4.resize(static_cast<size_t>(nb_col));
    if (!stage_output(set, out->raster, &out->raster_temp, error) ||
        !stage_output(set, out->descr, &out->descr_temp, error))
        return false;
    out->f = std::fopen(out->raster_temp.c_str(), "wb");
    out->fd = std::fopen(out->descr_temp.c_str(), "w");
    if (out->f == nullptr || out->fd == nullptr) {
        *error = "cannot write " + (out->f == nullptr ? out->raster : out->descr) + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(out->f, nullptr, _IOFBF, 1 << 20);
    return true;
}

// Closes what is still open (the output set removes the staged files).
void abandon_output(Output *out)
{
    if (out->f != nullptr)
        std::fclose(out->f);
    if (out->fd != nullptr)
        std::fclose(out->fd);
    out->f = out->fd = nullptr;
}

// Stores one line of whole values into the output's type and writes it.
// False, with *error naming the value, the cell and the type's range, when a
// value does not fit or the write fails.
bool put_line(Output *out, const char *which, int i, const long long *q, int nb_col, std::string *error)
{
    const long long lo = out->itype == DEM_M2 ? 0 : -2147483648LL;
    const long long hi = out->itype == DEM_M2 ? 65535 : 2147483647LL;
    for (int j = 0; j < nb_col; j++)
        if (q[j] < lo || q[j] > hi) {
            *error = std::string("the ") + which + " DEM would hold " + std::to_string(q[j]) + " " + height_unit(out->unit).name +
                     " at line " + std::to_string(i) + ", column " + std::to_string(j) + ", outside the range " +
                     std::to_string(lo) + " to " + std::to_string(hi) + " of " + type_name(out->itype) +
                     "; choose _m4, a coarser unit or other heights";
            return false;
        }
    bool ok;
    if (out->itype == DEM_M2) {
        unsigned short *row = out->line2.data();
        for (int j = 0; j < nb_col; j++)
            row[j] = static_cast<unsigned short>(q[j]);
        scan_range(&row, 1, nb_col, out->lo, out->hi, &out->lo, &out->hi);
        ok = write_raster(out->f, &row, 1, nb_col);
    } else {
        int *row = out->line4.data();
        for (int j = 0; j < nb_col; j++)
            row[j] = static_cast<int>(q[j]);
        scan_range(&row, 1, nb_col, out->lo, out->hi, &out->lo, &out->hi);
        ok = write_raster(out->f, &row, 1, nb_col);
    }
    if (!ok)
        *error = "cannot write " + out->raster + " (disk full or write error)";
    return ok;
}

// Writes the descriptor and completes both files on disk (the output set
// puts them in place with the other DEM's).
bool finish_output(Output *out, int nb_lig, int nb_col, int pix_size, std::string *error)
{
    bool ok = write_descriptor_fields(out->fd, nb_lig, nb_col, bytes_per_value(out->itype)) &&
              write_descriptor_fields(out->fd, out->lo, out->hi, pix_size);
    if (!ok) {
        *error = "cannot write " + out->descr;
        return false;
    }
    const std::string names[2] = {out->raster, out->descr};
    FILE *files[2] = {out->f, out->fd};
    out->f = out->fd = nullptr;
    for (int k = 0; k < 2; k++) {
        bool written = flush_to_disk(files[k]) && !std::ferror(files[k]);
        written = std::fclose(files[k]) == 0 && written;
        if (!written && ok) {
            *error = "cannot write " + names[k] + " (disk full or write error)";
            ok = false;
        }
    }
    return ok;
}

// Volumes of the change, first minus second, as whole millimetres summed
// over the interior cells. The sums are exact while they stay below 2^64 mm.
struct Volumes {
    long double positive_mm, negative_mm;
};

// The largest range of metres an _m2 DEM in the given unit holds.
double m2_capacity(int unit) { return 65535.0 / per_metre(unit); }

// Everything the writing needs besides the options.
struct Plan {
    int nb_lig, nb_col;
    double pixel;                   // metres, for the volumes
    int pix_size;                   // the descriptors' whole pixel size
    double relief_low, relief_high; // height range of the first surface, metres
    Surface base;                   // the first surface
    Surface other;                  // the second surface of the random scenario
    Landslide slide;                // the change of the landslide scenario
};

// The first surface from the --from DEM: its frame, pixel size and range.
// Returns 0, or the exit status after saying what is wrong.
int take_source(const Options &opt, LoadedDem *source, Plan *p)
{
    std::string error;
    const std::string raster = opt.from + raster_suffix(PAIR_INPUT, opt.from_type);
    const std::string descr = opt.from + descr_suffix(PAIR_INPUT, opt.from_type);
    if (!load_dem(raster, descr, opt.from_type, false, source, &error))
        return run_error(PROGRAM, error);
    if ((p->nb_lig != 0 && p->nb_lig != source->nb_lig) || (p->nb_col != 0 && p->nb_col != source->nb_col))
        return usage_error(PROGRAM, "--lines/--columns (" + std::to_string(p->nb_lig) + " x " +
                                        std::to_string(p->nb_col) + ") differ from the frame of " + descr + " (" +
                                        std::to_string(source->nb_lig) + " x " + std::to_string(source->nb_col) + ")");
    p->nb_lig = source->nb_lig;
    p->nb_col = source->nb_col;
    if (p->pixel == 0 && source->pix_size > 0)
        p->pixel = source->pix_size;
    p->base.kind = SURFACE_DEM;
    p->base.dem = source->values;
    p->base.dem_unit = opt.from_unit;
    int lo, hi;
    scan_range(source->values, p->nb_lig, p->nb_col, 2147483647, -2147483647 - 1, &lo, &hi);
    p->relief_low = lo / per_metre(opt.from_unit);
    p->relief_high = hi / per_metre(opt.from_unit);
    return 0;
}

// A generated first surface over the asked range, or a default one that
// the DEMs' types and units can hold.
void generate_base(const Options &opt, Plan *p)
{
    p->relief_low = opt.low;
    p->relief_high = opt.high;
    if (p->relief_low == 0 && p->relief_high == 0) {
        p->relief_low = 100;
        p->relief_high = 600;
        // Keep the default within what an _m2 DEM in a fine unit holds.
        for (int d = 0; d < 2; d++)
            if (opt.itype[d] == DEM_M2 && p->relief_high > 0.9 * m2_capacity(opt.unit[d])) {
                p->relief_low = 0.1 * m2_capacity(opt.unit[d]);
                p->relief_high = 0.9 * m2_capacity(opt.unit[d]);
            }
    }
    setup_generated(&p->base, opt.white ? SURFACE_WHITE : SURFACE_SMOOTH, mix(opt.seed), p->relief_low,
                    p->relief_high, p->nb_lig, p->nb_col);
}

// Sets the frame, the surfaces and the change up. Returns 0, or the exit
// status after saying what is wrong.
int prepare(const Options &opt, LoadedDem *source, Plan *p)
{
    p->nb_lig = opt.nb_lig;
    p->nb_col = opt.nb_col;
    p->pixel = opt.pixel_size;
    if (opt.from.empty())
        generate_base(opt, p);
    else if (int status = take_source(opt, source, p))
        return status;
    if (p->pixel == 0)
        p->pixel = 1;
    p->pix_size = std::lround(p->pixel) < 1 ? 1 : static_cast<int>(std::lround(p->pixel));

    // The second surface of the random scenario: the same kind of relief
    // over the same range, from another seed.
    if (opt.scenario == SCENARIO_RANDOM)
        setup_generated(&p->other, opt.white ? SURFACE_WHITE : SURFACE_SMOOTH, mix(opt.seed + 0x5EC0ADULL),
                        p->relief_low, p->relief_high, p->nb_lig, p->nb_col);

    if (opt.scenario == SCENARIO_LANDSLIDE) {
        double depth = opt.depth > 0 ? opt.depth : (p->relief_high - p->relief_low) / 25;
        if (depth <= 0)
            depth = 1;
        if (!place_landslide(p->base, p->nb_lig, p->nb_col, opt.seed, opt.length, depth, &p->slide))
            return run_error(PROGRAM, "the " + std::to_string(p->nb_lig) + " x " + std::to_string(p->nb_col) +
                                          " frame is too small for a landslide of this length 2 cells inside its "
                                          "border (take at least 20 x 20, or a shorter --length)");
    }
    return 0;
}

// Generates both DEMs line by line into out[0] and out[1], summing the
// volumes. False, with *error set, when a value does not fit or a file
// cannot be written; the files are then left untouched.
bool generate(const Options &opt, Plan *p, Output out[2], Volumes *vol, std::string *error)
{
    const int nb_lig = p->nb_lig, nb_col = p->nb_col;
    // Unchanged ground must be equal in both DEMs: the first surface is
    // rounded to the coarser of the two units (and of the source's), which
    // both DEMs then represent exactly.
    int coarse = opt.unit[0] < opt.unit[1] ? opt.unit[0] : opt.unit[1];
    if (!opt.from.empty() && opt.from_unit < coarse)
        coarse = opt.from_unit;
    const long long up1 = values_per_value(opt.unit[0], coarse);
    const long long up2 = values_per_value(opt.unit[1], coarse);
    const double per_metre2 = per_metre(opt.unit[1]);
    const long long offset2 = std::llround(opt.offset * per_metre2);
    // Millimetres per unit of each DEM, for the exact volume sums.
    const long long mm1 = values_per_value(3, opt.unit[0]);
    const long long mm2 = values_per_value(3, opt.unit[1]);

    // Both pairs staged and put in place together once complete.
    OutputSet set;
    bool ok = begin_outputs(join_path(opt.out_dir, opt.name[0] + raster_suffix(PAIR_INPUT, opt.itype[0])), {}, &set, error);
    for (int d = 0; d < 2 && ok; d++)
        ok = open_output(&set, &out[d], opt.out_dir, opt.name[d], opt.itype[d], opt.unit[d], nb_col, error);

    std::vector<double> work(static_cast<size_t>(nb_col));
    std::vector<long long> qb(static_cast<size_t>(nb_col)), q1(static_cast<size_t>(nb_col)), q2(static_cast<size_t>(nb_col));
    vol->positive_mm = vol->negative_mm = 0;
    for (int i = 0; i < nb_lig && ok; i++) {
        integer_line(&p->base, i, coarse, work.data(), qb.data(), nb_col);
        for (int j = 0; j < nb_col; j++)
            q1[static_cast<size_t>(j)] = qb[static_cast<size_t>(j)] * up1;
        if (opt.scenario == SCENARIO_RANDOM)
            integer_line(&p->other, i, opt.unit[1], work.data(), q2.data(), nb_col);
        else
            for (int j = 0; j < nb_col; j++) {
                long long change = opt.scenario == SCENARIO_OFFSET
                                       ? offset2
                                       : std::llround(landslide_change(p->slide, i, j) * per_metre2);
                q2[static_cast<size_t>(j)] = qb[static_cast<size_t>(j)] * up2 + change;
            }
        ok = put_line(&out[0], "first", i, q1.data(), nb_col, error) &&
             put_line(&out[1], "second", i, q2.data(), nb_col, error);
        if (i > 0 && i < nb_lig - 1)
            for (int j = 1; j < nb_col - 1; j++) {
                long long dmm = q1[static_cast<size_t>(j)] * mm1 - q2[static_cast<size_t>(j)] * mm2;
                if (dmm > 0)
                    vol->positive_mm += dmm;
                else
                    vol->negative_mm += dmm;
            }
    }
    for (int d = 0; d < 2 && ok; d++)
        ok = finish_output(&out[d], nb_lig, nb_col, p->pix_size, error);
    for (int d = 0; d < 2; d++)
        abandon_output(&out[d]);
    ok = ok && commit_outputs(&set, error);
    abandon_outputs(&set);
    return ok;
}

// What was written, and the volumes.
void report(const Options &opt, const Plan &p, const Output out[2], const Volumes &vol)
{
    const char *which[2] = {"first", "second"};
    for (int d = 0; d < 2; d++)
        std::printf("%s DEM: %s and %s, %d x %d, %s in %s, values %d to %d\n", which[d], out[d].raster.c_str(),
                    out[d].descr.c_str(), p.nb_lig, p.nb_col, type_name(opt.itype[d]), height_unit(opt.unit[d]).name,
                    out[d].lo, out[d].hi);
    if (opt.scenario == SCENARIO_OFFSET) {
        const double per_metre2 = per_metre(opt.unit[1]);
        std::printf("offset: the second DEM is the first raised by %.6f m\n",
                    std::llround(opt.offset * per_metre2) / per_metre2);
    }
    if (opt.scenario == SCENARIO_LANDSLIDE)
        std::printf("landslide: scar centred on line %.0f, column %.0f, %.1f x %.1f cells, %.3f m deep; deposit centred on "
                    "line %.1f, column %.1f, %.1f x %.1f cells, %.3f m thick\n",
                    p.slide.ci, p.slide.cj, 2 * p.slide.a, 2 * p.slide.b, p.slide.depth, p.slide.ki, p.slide.kj,
                    2 * p.slide.a2, 2 * p.slide.b2, p.slide.height);
    // Volume of a cell difference: metres times the cell area.
    const long double cell_m3_per_mm = static_cast<long double>(p.pixel) * p.pixel / 1000;
    const double positive = static_cast<double>(vol.positive_mm * cell_m3_per_mm);
    const double negative = static_cast<double>(vol.negative_mm * cell_m3_per_mm);
    const double net = static_cast<double>((vol.positive_mm + vol.negative_mm) * cell_m3_per_mm);
    std::printf("volumes in m3, first DEM minus second, over the interior cells, pixel size %g m:\n", p.pixel);
    std::printf("  positive %18.6f   (first above second%s)\n", positive,
                opt.scenario == SCENARIO_LANDSLIDE ? ": the scar" : "");
    std::printf("  negative %18.6f   (first below second%s)\n", negative,
                opt.scenario == SCENARIO_LANDSLIDE ? ": the deposit" : "");
    std::printf("  net      %18.6f\n", net);
}

int run(const Options &opt)
{
    LoadedDem source = {nullptr, 0, 0, 0};
    Plan plan = {};
    Output out[2] = {};
    Volumes vol = {0, 0};
    std::string error;
    int status = prepare(opt, &source, &plan);
    if (status == 0 && !generate(opt, &plan, out, &vol, &error))
        status = run_error(PROGRAM, error);
    free_dem(&source);
    if (status == 0)
        report(opt, plan, out, vol);
    return status;
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
        status = check_options(opt);
    if (status < 0)
        status = run_guarded(PROGRAM, [&] { return run(opt); });
    return finish_run(PROGRAM, status);
}
