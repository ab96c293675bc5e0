// dem_budget: the change budget of two DEMs of the same frame, or of one
// result the tool wrote. For the 2D and the 3D difference (first DEM minus
// second, interior cells only) it counts the cells that lost height (cut),
// gained height (fill) or did not change, with their areas and volumes, and
// the net volume, which is the tool's volume for the same inputs. A level of
// detection moves small differences to "unchanged"; survey errors give a
// bound on each volume.
//
// The DEM pairs are read through the shared reader (dem_input), which
// converts them to metres as the tool does, and the per-cell differences and
// volumes come from the tool's own pass (visit_interior_cells), so that the
// net volume is the tool's to the bit. The pixel size comes from the
// descriptors, as the tool takes it, refined by the sidecar that dem_gdal
// import writes beside a pair (whose geotransform keeps a size such as
// 2.5 m that the descriptor rounds).
//
// The run goes in four steps: read the options, check the inputs (frames,
// units, pixel size), compute the budgets, report them.
#include "LIB/NRUTIL.h"
#include "answers.h"
#include "budget_engine.h"
#include "cli_support.h"
#include "dem_files.h"
#include "dem_input.h"
#include "difference.h"
#include "host.h"
#include "progress.h"
#include "tool_support.h"
#include "units.h"
#include "volume_error.h"

#include <cpl_error.h>
#include <gdal.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "dem_budget";

const char *const USAGE = "Usage: dem_budget [OPTION]... FIRST SECOND [--unit U | --unit1 U --unit2 U]\n"
                          "       dem_budget [OPTION]... --result RESULT --unit U";

const char *const DESCRIPTION =
    "Change budget of two DEMs of the same frame, or of a result of skarnovelt_v2:\n"
    "cells, areas (m2) and volumes (m3) of cut, fill and unchanged ground, and the\n"
    "net volume, for the 2D and the 3D difference, interior cells only.\n"
    "\n"
    "Sign: d = first DEM - second DEM, as in skarnovelt_v2; positive = the first DEM\n"
    "is higher.\n"
    "  cut   d > 0: the surface is lower in the second DEM (erosion, when the first\n"
    "        DEM is the earlier survey)\n"
    "  fill  d < 0: the surface is higher in the second DEM (deposition)\n"
    "Volumes carry the sign of d: cut >= 0, fill <= 0; the net volume is the sum\n"
    "over every interior cell, the volume skarnovelt_v2 reports.";

const char *const NOTES =
    "Pixel size: the descriptors' (their sixth number), or the exact cell size of the\n"
    "sidecar NAME_m2.vrt / NAME_m4.vrt that dem_gdal import writes beside a pair;\n"
    "a warning when the two DEMs record different sizes (the first DEM's is used).\n"
    "The unit of a DEM may also come from its sidecar.\n"
    "Example: dem_budget site/s1_m4.raw site/s2_m4.raw --unit mm --lod 0.05 --csv\n"
    "Exit status: 0 on success, 1 when an input cannot be used, 2 for a bad\n"
    "command line.";

// A message on the error stream, after the program name.
void complain(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void complain(const char *format, ...)
{
    std::fprintf(stderr, "%s: ", PROGRAM);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

// A DEM or result pair on disk.
struct Pair {
    std::string raster, descr;
    int pair = PAIR_INPUT; // PAIR_INPUT, PAIR_2D or PAIR_3D
    int itype = DEM_M2;    // DEM_M2 or DEM_M4
};

// Names the pair of a path by the shared rule (dem_input's name_dem_pair):
// its raster, its descriptor, its base with the type or, for a DEM, its
// sidecar. False when no ending of a pair ends the path.
bool name_pair(const std::string &path, Pair *p)
{
    std::string base;
    if (!name_dem_pair(path, &base, &p->pair, &p->itype))
        return false;
    p->raster = base + raster_suffix(p->pair, p->itype);
    p->descr = base + descr_suffix(p->pair, p->itype);
    return true;
}

enum Format { FORMAT_TABLE, FORMAT_JSON, FORMAT_CSV };

struct Options {
    bool result_mode = false; // a result rather than two DEMs
    std::vector<std::string> dems; // the DEMs as named
    std::string result_path;  // the result as named
    Pair first, second;       // the DEMs
    Pair result;              // the result
    int unit = -1, unit1 = -1, unit2 = -1;
    bool has_pixel = false;   // given with --pixel
    double pixel = 0;         // metres: given, or from the descriptors once the inputs are checked
    std::string pixel_from;   // "--pixel", or the descriptor or sidecar it comes from
    bool is_signed = false;
    bool has_lod = false;
    double lod = 0;
    bool has_sigma1 = false, has_sigma2 = false;
    double sigma1 = 0, sigma2 = 0;
    bool has_range = false;
    double range = 0; // correlation range of the errors, m
    bool json = false, csv = false;
    Format format = FORMAT_TABLE;
};

// The positionals and --result: the inputs themselves.
void define_operands(CLI::App &app, Options *o)
{
    app.add_option("FIRST SECOND", o->dems,
                   "the DEMs, each named by its raster, descriptor\n"
                   "or sidecar (NAME_m2.raw, NAME_m4.txt,\n"
                   "NAME_m4.vrt, ...); the suffix gives the value\n"
                   "type, the descriptor the frame")
        ->type_name(""); // any number, so that a stray option is named as such; counted below
    app.add_option("--result", o->result_path,
                   "a result instead: NAME_2D_m2.raw, NAME_3D_m4.raw,\n"
                   "... (or its .txt); its stored values divided by\n"
                   "the factor of its unit are the differences")
        ->type_name("RESULT");
}

// The options of the inputs' units and cells.
void define_input_options(CLI::App &app, Options *o)
{
    const char *inputs = "Units and cells";
    add_unit_option(app, "--unit1", &o->unit1, UNITS_IN - 1,
                    "height unit of the first DEM: " + height_unit_names(UNITS_IN - 1) + "\n"
                    "(or 0 to 3); default: from its sidecar")
        ->group(inputs);
    add_unit_option(app, "--unit2", &o->unit2, UNITS_IN - 1, "height unit of the second DEM")->group(inputs);
    add_unit_option(app, "--unit", &o->unit, UNITS_OUT - 1,
                    "the unit of both DEMs; with --result, the unit of\n"
                    "the result: " + height_unit_names(UNITS_OUT - 1) + "\n"
                    "(or 0 to 5)")
        ->group(inputs);
    add_real_option(app, "--pixel", &o->pixel, 0, DBL_MAX, true, "a length in metres above 0",
                    "pixel size in metres (> 0); the cell area is\n"
                    "P x P. Default: the descriptors' (or sidecars')")
        ->type_name("P")
        ->group(inputs);
    app.add_flag("--signed", o->is_signed,
                 "read a _m2 result as signed 16-bit values (the\n"
                 "tool stores negative differences in _m2 results\n"
                 "wrapped)")
        ->group(inputs);
}

// The options of the level of detection and of the surveys' errors.
void define_error_options(CLI::App &app, Options *o)
{
    const char *thresholds = "Detection and errors";
    add_real_option(app, "--lod", &o->lod, 0, DBL_MAX, false, "a length in metres of 0 or more",
                    "minimum level of detection in metres: cells with\n"
                    "|d| < T count as unchanged in a second,\n"
                    "thresholded budget; the raw net volume is always\n"
                    "reported beside it")
        ->type_name("T")
        ->group(thresholds);
    add_real_option(app, "--sigma1", &o->sigma1, 0, DBL_MAX, false, "a length in metres of 0 or more",
                    "vertical error of the first DEM, metres (with\n--sigma2)")
        ->type_name("S1")
        ->group(thresholds);
    add_real_option(app, "--sigma2", &o->sigma2, 0, DBL_MAX, false, "a length in metres of 0 or more",
                    "vertical error of the second DEM, metres (with\n"
                    "--sigma1): each 2D volume gets +/- sigma_d x\n"
                    "cell area x sqrt(cells), sigma_d = sqrt(S1^2 +\n"
                    "S2^2), assuming uniform, uncorrelated errors; a\n"
                    "3D volume the error of the 2D cells under it,\n"
                    "sqrt(sum_k (W_k sigma_d)^2), W_k the cell areas\n"
                    "times the 3D weights with which 2D cell k enters\n"
                    "its cells")
        ->type_name("S2")
        ->group(thresholds);
    add_real_option(app, "--correlation-range", &o->range, 0, DBL_MAX, true, "a length in metres above 0",
                    "with the sigmas, also the fully correlated error\n"
                    "sigma_d x cell area x cells (3D: sum_k W_k\n"
                    "sigma_d) and the spatially\n"
                    "correlated one for errors correlated over R\n"
                    "metres (Rolstad, Haug and Denby 2009): the area A\n"
                    "of a row taken as a disk of radius L = sqrt(A/pi),\n"
                    "A x sigma_d x sqrt(1 - L/R + (L/R)^3/5) for L < R,\n"
                    "A x sigma_d x R / (sqrt(5) L) for L >= R")
        ->type_name("R")
        ->group(thresholds);
}

// The options, in the help's groups.
void define_options(CLI::App &app, Options *o)
{
    setup_command_line(app, PROGRAM, DESCRIPTION);
    set_usage(app, USAGE);
    app.footer(NOTES);
    define_operands(app, o);
    define_input_options(app, o);
    define_error_options(app, o);
    const char *formats = "Report";
    app.add_flag("--json", o->json, "print the budget as JSON (full precision)")->group(formats);
    app.add_flag("--csv", o->csv, "print the budget as CSV (full precision)")->group(formats);
}

// The options of a result: its name and unit. Returns -1 to go on,
// otherwise EXIT_USAGE after saying why.
int check_result_options(Options *o)
{
    if (!o->dems.empty())
        return usage_error(PROGRAM, "--result takes the place of the two DEMs: '" + o->dems[0] + "' is one too many");
    if (o->unit1 >= 0 || o->unit2 >= 0)
        return usage_error(PROGRAM, "a result has one unit: give it with --unit");
    if (o->unit < 0)
        return usage_error(PROGRAM, "the unit of the result is needed: --unit " + height_unit_names(UNITS_OUT - 1));
    if (!name_pair(o->result_path, &o->result) || o->result.pair == PAIR_INPUT)
        return usage_error(PROGRAM, "cannot tell the kind of result of '" + o->result_path +
                                        "': name its raster, ending in _2D_m2.raw, _2D_m4.raw, _3D_m2.raw or "
                                        "_3D_m4.raw, or its descriptor");
    if (o->is_signed && o->result.itype != DEM_M2)
        return usage_error(PROGRAM, "--signed applies to _m2 results; " + o->result.raster +
                                        " holds signed 4-byte values already");
    return -1;
}

// The options of two DEMs: their names and units (a unit left out may come
// from a sidecar). Returns -1 to go on, otherwise EXIT_USAGE after saying
// why.
int check_dem_options(Options *o)
{
    if (o->dems.size() > 2)
        return usage_error(PROGRAM, "too many DEMs: '" + o->dems[2] + "' (two DEMs, or --result and one result)");
    if (o->dems.size() != 2)
        return usage_error(PROGRAM, o->dems.empty() ? "two DEMs are needed, or --result and a result"
                                                    : "a second DEM is needed");
    for (int k = 0; k < 2; k++) {
        Pair *dem = k == 0 ? &o->first : &o->second;
        if (!name_pair(o->dems[k], dem))
            return usage_error(PROGRAM, "cannot tell the value type of '" + o->dems[k] +
                                            "': name its raster, ending in _m2.raw or _m4.raw, its descriptor or its "
                                            "sidecar (.vrt)");
        if (dem->pair != PAIR_INPUT)
            return usage_error(PROGRAM, "'" + o->dems[k] + "' is a result of skarnovelt_v2, not a DEM: give it with "
                                        "--result");
    }
    if (o->is_signed)
        return usage_error(PROGRAM, "--signed applies to a _m2 result only");
    if (o->unit >= UNITS_IN)
        return usage_error(PROGRAM, "--unit: '" + std::string(height_unit(o->unit).name) +
                                        "' is not a height unit of a DEM: give " + height_unit_names(UNITS_IN - 1) +
                                        " or 0 to 3");
    if (o->unit1 < 0)
        o->unit1 = o->unit;
    if (o->unit2 < 0)
        o->unit2 = o->unit;
    return -1;
}

// What no single option says, and the pairs the names give. Returns -1 to
// go on, otherwise EXIT_USAGE after saying why.
int check_options(const CLI::App &app, Options *o)
{
    o->result_mode = app.count("--result") > 0;
    o->has_pixel = app.count("--pixel") > 0;
    o->pixel_from = "--pixel";
    o->has_lod = app.count("--lod") > 0;
    o->has_sigma1 = app.count("--sigma1") > 0;
    o->has_sigma2 = app.count("--sigma2") > 0;
    o->has_range = app.count("--correlation-range") > 0;
    if (o->json && o->csv)
        return usage_error(PROGRAM, "--json and --csv exclude each other");
    o->format = o->json ? FORMAT_JSON : o->csv ? FORMAT_CSV : FORMAT_TABLE;
    const int status = o->result_mode ? check_result_options(o) : check_dem_options(o);
    if (status >= 0)
        return status;
    if (o->has_pixel && !std::isfinite(cell_area(o->pixel))) {
        char text[160];
        std::snprintf(text, sizeof text, "the pixel size %g m gives a cell area beyond the range of a double", o->pixel);
        return usage_error(PROGRAM, text);
    }
    if (o->has_sigma1 != o->has_sigma2)
        return usage_error(PROGRAM, "the error bound needs both --sigma1 and --sigma2");
    if (o->has_range && !o->has_sigma1)
        return usage_error(PROGRAM, "--correlation-range needs the errors: --sigma1 and --sigma2");
    return -1;
}

// ---------------------------------------------------------------------------
// Reading the pairs
// ---------------------------------------------------------------------------

// True when the host can give `bytes_per_cell` bytes for each cell of the
// frame (or cannot tell).
bool memory_for(int lig, int col, unsigned long long bytes_per_cell)
{
    const unsigned long long cells = static_cast<unsigned long long>(lig) * static_cast<unsigned long long>(col);
    const unsigned long long available = available_memory();
    if (available == 0 || cells <= available / bytes_per_cell)
        return true;
    complain("not enough memory for %d lines and %d columns", lig, col);
    return false;
}

// The pixel size a pair records: the sidecar's exact cell size when it was
// read and has one, otherwise the descriptor's whole number (0 when it
// records none), and where it comes from for the report.
struct RecordedCell {
    double metres = 0;
    std::string from; // "the descriptor x_m2.txt" or "the sidecar x_m2.vrt"
};

// The recorded cell of an open DEM; a warning when its sidecar's size does
// not round to its descriptor's.
RecordedCell recorded_cell(const DemInput &dem)
{
    RecordedCell cell;
    const int pix = dem.pix_size > 0 ? dem.pix_size : 0;
    cell.metres = pix;
    cell.from = "the descriptor " + dem.descriptor;
    if (dem.sidecar_cell_metres > 0) {
        if (pix > 0 && std::lround(dem.sidecar_cell_metres) != pix) {
            char text[400];
            std::snprintf(text, sizeof text, "%s gives cells of %.10g m, but %s records a pixel size of %d: the "
                                             "sidecar's %.10g m is taken",
                          dem.sidecar.c_str(), dem.sidecar_cell_metres, dem.descriptor.c_str(), pix,
                          dem.sidecar_cell_metres);
            warning(PROGRAM, text);
        }
        cell.metres = dem.sidecar_cell_metres;
        cell.from = "the sidecar " + dem.sidecar;
    }
    return cell;
}

// The pixel size of the DEMs: --pixel, or the first DEM's recorded one; a
// warning when the two record different sizes. Returns -1 to go on,
// otherwise EXIT_USAGE after saying what is missing.
int choose_pixel(Options *o, const RecordedCell f[2])
{
    if (f[0].metres > 0 && f[1].metres > 0 && f[0].metres != f[1].metres) {
        char text[600];
        std::snprintf(text, sizeof text, "the DEMs record different pixel sizes: %.10g m (%s), %.10g m (%s); %s %.10g m",
                      f[0].metres, f[0].from.c_str(), f[1].metres, f[1].from.c_str(),
                      o->has_pixel ? "the budget takes --pixel" : "the budget takes the first DEM's (or give --pixel)",
                      o->has_pixel ? o->pixel : f[0].metres);
        warning(PROGRAM, text);
    }
    if (o->has_pixel)
        return -1;
    for (int k = 0; k < 2; k++)
        if (!(f[k].metres > 0))
            return usage_error(PROGRAM, f[k].from + " records no pixel size: give --pixel P (metres)");
    o->pixel = f[0].metres;
    o->pixel_from = f[0].from;
    return -1;
}

// The frame and pixel size of a result. Returns -1 to go on, otherwise the
// exit status after saying why.
int check_result(Options *o, int *lig, int *col)
{
    PairFrame frame;
    std::string error;
    if (!read_pair_frame(o->result.raster, o->result.descr, o->result.itype, &frame, &error)) {
        complain("%s", error.c_str());
        return EXIT_FAILED;
    }
    *lig = frame.nb_lig;
    *col = frame.nb_col;
    if (o->has_pixel)
        return -1;
    if (!(frame.pix_size > 0))
        return usage_error(PROGRAM, "the descriptor " + o->result.descr + " records no pixel size: give --pixel P (metres)");
    o->pixel = frame.pix_size;
    o->pixel_from = "the descriptor " + o->result.descr;
    return -1;
}

// Opens the two DEMs through the shared reader (dem_input: the descriptor's
// frame checked against the raster, the sidecar read when the command line
// leaves the pixel size or the unit to it) and checks what the budget needs
// of them: one frame, a unit each, a pixel size. Returns -1 to go on,
// otherwise the exit status after saying why.
int open_dems(Options *o, DemInput dems[2], int *lig, int *col)
{
    int *unit[2] = {&o->unit1, &o->unit2};
    for (int k = 0; k < 2; k++) {
        DemInputOptions in;
        in.path = o->dems[k];
        in.unit = *unit[k];
        in.pair_only = true;
        in.unit_may_be_unknown = true;
        in.skip_sidecar = o->has_pixel && *unit[k] >= 0;
        std::string error;
        if (!open_dem_input(in, &dems[k], &error)) {
            complain("%s", error.c_str());
            return EXIT_FAILED;
        }
    }
    const GridFacts &g1 = dems[0].grid, &g2 = dems[1].grid;
    if (g1.nb_lig != g2.nb_lig || g1.nb_col != g2.nb_col) {
        complain("the frames differ: %s has %d lines and %d columns, %s has %d lines and %d columns",
                 dems[0].descriptor.c_str(), g1.nb_lig, g1.nb_col, dems[1].descriptor.c_str(), g2.nb_lig, g2.nb_col);
        return EXIT_FAILED;
    }
    const RecordedCell cells[2] = {recorded_cell(dems[0]), recorded_cell(dems[1])};
    for (int k = 0; k < 2; k++) {
        *unit[k] = dems[k].unit;
        if (*unit[k] < 0)
            return usage_error(PROGRAM, std::string("the height unit of the ") + (k == 0 ? "first" : "second") +
                                            " DEM is needed: --unit" + std::to_string(k + 1) +
                                            " m|dm|cm|mm (or --unit for both)");
    }
    *lig = g1.nb_lig;
    *col = g1.nb_col;
    return choose_pixel(o, cells);
}

// Reads an open DEM into dtab, in metres, line after line (dem_input's
// conversion, the tool's own).
bool read_dem(DemInput *dem, double **dtab, int lig, int col)
{
    std::vector<unsigned char> valid(static_cast<size_t>(col));
    std::string error;
    for (int i = 0; i < lig; i++)
        if (!read_dem_lines(dem, i, 1, dtab[i], valid.data(), &error)) {
            complain("%s", error.c_str());
            return false;
        }
    return true;
}

// Loads a result into dtab, in metres: its stored values in `unit` 0 to 5,
// a _m2 result as signed 16-bit values when `signed16`.
bool load_result(const Pair &p, int lig, int col, int unit, bool signed16, double **dtab)
{
    LoadedDem values;
    std::string error;
    if (!load_dem(p.raster, p.descr, p.itype, signed16, &values, &error)) {
        complain("%s", error.c_str());
        return false;
    }
    const bool same_frame = values.nb_lig == lig && values.nb_col == col;
    if (same_frame)
        result_to_metres(values.values, dtab, lig, col, unit);
    else
        complain("%s: its frame changed while the budget ran", p.descr.c_str());
    free_dem(&values);
    return same_frame;
}

// ---------------------------------------------------------------------------
// The budget
// ---------------------------------------------------------------------------

// The budget of one difference: the rows of the shared budget engine, in
// which cut is the positive rows (d > 0) and fill the negative ones.
struct Budget {
    const char *name; // "2D" or "3D"
    BudgetRows rows;  // by the sign of the difference, and with the level of detection
    double net;       // the tool's volume: every interior cell
};

// What the visit of the cells fills in.
struct BudgetPass {
    Budget *side_2D; // budget of the 2D differences
    Budget *side_3D; // budget of the 3D differences, or null
    // With the errors: each cell's error, its area, and the propagation of
    // the 2D cells' errors into the 3D rows (error_propagation.h), fed line
    // by line.
    bool errors = false;
    double sigma_d = 0, cell_area = 0;
    Propagation3D propagation;
    std::vector<double> sigma_line;      // σ_d of every cell of a line
    std::vector<int> slots;              // the 3D rows of the cells of the current line
    int line = 0;                        // the next line to give the propagation
};

// Gives the propagation the lines up to `upto` − 1: the current line with
// the rows its 3D cells named, the lines after it (border lines) with none.
void propagate_lines(BudgetPass *pass, int upto)
{
    while (pass->line < upto) {
        propagation_add_line(&pass->propagation, pass->sigma_line.data(), pass->cell_area, pass->slots.data());
        std::fill(pass->slots.begin(), pass->slots.end(), -1);
        pass->line++;
    }
}

void count_differences(const CellDifference &cell, void *context)
{
    BudgetPass *pass = static_cast<BudgetPass *>(context);
    Budget *b2 = pass->side_2D, *b3 = pass->side_3D;
    // A result holds one difference: a 3D result's cells are 3D cells.
    Budget *only_3D = b3 == nullptr && std::strcmp(b2->name, "3D") == 0 ? b2 : nullptr;
    if (!pass->errors) {
        budget_count(&b2->rows, cell.dif_2D, cell.vol_2D);
        if (b3 != nullptr)
            budget_count(&b3->rows, cell.dif_3D, cell.vol_3D);
        return;
    }
    // Lines before this one are complete.
    propagate_lines(pass, cell.i);
    const double lod = b2->rows.lod;
    int *slots = &pass->slots[static_cast<size_t>(cell.j) * PROPAGATION_SLOTS];
    if (only_3D != nullptr) {
        budget_count_3D(&only_3D->rows, cell.dif_2D, cell.vol_2D, cell.dif_2D != 0 && !(std::fabs(cell.dif_2D) < lod),
                        pass->sigma_d, 0, slots);
        return;
    }
    budget_count_tested(&b2->rows, cell.dif_2D, cell.vol_2D, cell.dif_2D != 0 && !(std::fabs(cell.dif_2D) < lod),
                        pass->sigma_d, pass->cell_area);
    if (b3 != nullptr)
        budget_count_3D(&b3->rows, cell.dif_3D, cell.vol_3D, cell.dif_3D != 0 && !(std::fabs(cell.dif_3D) < lod),
                        pass->sigma_d, 0, slots);
}

// Everything the report shows.
struct Report {
    Budget budget[2];
    int nbudgets;
    double area;     // cell area, m²
    double sigma_dz; // per-cell error of a difference, m (with sigmas)
};

// Counts every interior cell of the loaded differences into the budgets,
// with the error of a difference from the sigmas: the 2D rows add each
// cell's, the 3D rows take theirs from the 2D cells under them.
void count_budgets(const Options &o, double **dtab1, double **dtab2, int lig, int col, Report *r)
{
    r->budget[0].rows = r->budget[1].rows = budget_with_cell_area(cell_area(o.pixel), o.has_lod ? o.lod : 0.0);
    r->budget[0].name = o.result_mode && o.result.pair == PAIR_3D ? "3D" : "2D";
    r->budget[1].name = "3D";
    r->nbudgets = o.result_mode ? 1 : 2;
    r->area = cell_area(o.pixel);
    r->sigma_dz = static_cast<double>(
        std::sqrt(static_cast<long double>(o.sigma1) * o.sigma1 + static_cast<long double>(o.sigma2) * o.sigma2));
    BudgetPass pass;
    pass.side_2D = &r->budget[0];
    pass.side_3D = o.result_mode ? nullptr : &r->budget[1];
    pass.errors = o.has_sigma1;
    if (pass.errors) {
        pass.sigma_d = r->sigma_dz;
        pass.cell_area = r->area;
        pass.propagation = propagation_start(col);
        pass.sigma_line.assign(static_cast<size_t>(col), r->sigma_dz);
        pass.slots.assign(static_cast<size_t>(col) * PROPAGATION_SLOTS, -1);
    }
    double net_3D;
    progress_begin("Computing the budget", lig);
    visit_interior_cells(dtab1, dtab2, lig, col, o.pixel, count_differences, &pass, &r->budget[0].net, &net_3D);
    progress_end();
    if (!o.result_mode)
        r->budget[1].net = net_3D;
    if (pass.errors) {
        propagate_lines(&pass, lig);
        propagation_finish(&pass.propagation);
        for (int k = 0; k < r->nbudgets; k++)
            if (std::strcmp(r->budget[k].name, "3D") == 0)
                budget_take_propagated(&r->budget[k].rows, pass.propagation, 0);
    }
}

// Loads the inputs of the checked frame and computes the budgets. False,
// after saying why, when an input cannot be used.
bool compute(const Options &o, DemInput dems[2], int lig, int col, Report *r)
{
    // Two double matrices; a result is loaded whole into an int matrix
    // first, the DEMs line by line.
    if (!memory_for(lig, col, 2 * sizeof(double) + (o.result_mode ? sizeof(int) + sizeof(unsigned short) : 0)))
        return false;
    double **dtab1 = dmatrice(col, lig);
    double **dtab2 = dmatrice(col, lig);
    bool ok = dtab1 != nullptr && dtab2 != nullptr;
    if (!ok)
        complain("not enough memory for %d lines and %d columns", lig, col);
    // A result holds the difference itself: it is visited as the difference
    // from a flat surface at 0 (dtab2 as allocated), whose 2D difference is
    // the stored value exactly.
    if (ok && o.result_mode)
        ok = load_result(o.result, lig, col, o.unit, o.is_signed, dtab1);
    if (ok && !o.result_mode)
        ok = read_dem(&dems[0], dtab1, lig, col) && read_dem(&dems[1], dtab2, lig, col);
    if (ok)
        count_budgets(o, dtab1, dtab2, lig, col, r);
    frdmatrice(dtab1, lig);
    frdmatrice(dtab2, lig);
    return ok;
}

// ---------------------------------------------------------------------------
// The report
// ---------------------------------------------------------------------------

double area_of(const Report &r, long long cells)
{
    return static_cast<double>(static_cast<long double>(cells) * r.area);
}

// The rows of a budget, in the order every format prints them.
struct Row {
    const char *name; // CSV and JSON name
    const char *label; // table label
    long long cells;
    double volume;
    const BudgetTally *tally; // its cells' errors
};

int budget_rows(const Budget &b, bool with_lod, Row rows[7])
{
    int n = 0;
    const BudgetRows &r = b.rows;
    rows[n++] = {"cut", "cut (d > 0)", r.positive.cells, budget_volume(r.positive), &r.positive};
    rows[n++] = {"fill", "fill (d < 0)", r.negative.cells, budget_volume(r.negative), &r.negative};
    rows[n++] = {"unchanged", "unchanged (d = 0)", r.zero.cells, budget_volume(r.zero), &r.zero};
    if (with_lod) {
        rows[n++] = {"lod_cut", "cut above lod (d >= lod)", r.lod_positive.cells, budget_volume(r.lod_positive),
                     &r.lod_positive};
        rows[n++] = {"lod_fill", "fill above lod (d <= -lod)", r.lod_negative.cells, budget_volume(r.lod_negative),
                     &r.lod_negative};
        rows[n++] = {"lod_unchanged", "unchanged (|d| < lod)", r.lod_below.cells, budget_volume(r.lod_below), &r.lod_below};
    }
    // The net is always the raw one: a net of thresholded parts is biased.
    rows[n++] = {"net", "net, raw (all cells)", r.all.cells, b.net, &r.all};
    return n;
}

// The three errors of a row (volume_error.h), the spatial one with a
// correlation range: the same models, and for 3D rows the same propagation,
// as dem_change's.
VolumeErrors row_errors(const Options &o, const Report &r, const Row &row)
{
    return volume_errors(row.tally->errors, area_of(r, row.cells), o.has_range ? o.range : 0.0);
}

const char *unit_of(const Options &o, int which)
{
    return height_unit(which == 1 ? o.unit1 : which == 2 ? o.unit2 : o.unit).name;
}

void print_table(const Options &o, const Report &r)
{
    const bool sigma = o.has_sigma1;
    if (o.result_mode) {
        std::printf("Change budget of the %s result %s (unit %s%s)\n", r.budget[0].name, o.result.raster.c_str(),
                    unit_of(o, 0), o.is_signed ? ", read as signed 16-bit values" : "");
        std::printf("d = the stored value in metres = first DEM - second DEM, interior cells only; a result holds\n"
                    "  what its treatment kept (no fill in an absolute-values result), truncated to its unit\n");
    } else {
        std::printf("Change budget: d = first DEM - second DEM, interior cells only\n");
        std::printf("  first DEM : %s (heights in %s)\n", o.first.raster.c_str(), unit_of(o, 1));
        std::printf("  second DEM: %s (heights in %s)\n", o.second.raster.c_str(), unit_of(o, 2));
    }
    std::printf("Sign: positive = the first DEM is higher.\n"
                "  cut : d > 0, the surface is lower in the second DEM (erosion when the first is the earlier survey)\n"
                "  fill: d < 0, the surface is higher in the second DEM (deposition)\n"
                "  Volumes carry the sign of d: cut >= 0 m3, fill <= 0 m3, net = sum over every interior cell.\n");
    std::printf("Cell: %g m x %g m = %g m2 (pixel size from %s)\n", o.pixel, o.pixel, r.area, o.pixel_from.c_str());
    if (o.has_lod)
        std::printf("Level of detection: lod = %g m; cells with |d| < %g m count as unchanged in the thresholded rows.\n",
                    o.lod, o.lod);
    if (sigma)
        std::printf("Errors: sigma_d = sqrt(%g^2 + %g^2) = %g m per cell; uniform, uncorrelated errors assumed;\n"
                    "  +/- = sigma_d x cell area x sqrt(cells) m3 for 2D rows; for 3D rows sqrt(sum_k (W_k sigma_d)^2),\n"
                    "  W_k = sum of cell area x 3D weight (5/9 centre, 1/18 neighbour) over the row's cells whose\n"
                    "  window holds 2D cell k (neighbouring 3D cells share their 2D cells)\n",
                    o.sigma1, o.sigma2, r.sigma_dz);
    if (o.has_range)
        std::printf("  with the correlation range R = %g m, three errors, one standard deviation:\n  %s\n  %s\n  %s\n"
                    "  %s\n",
                    o.range, INDEPENDENT_ASSUMPTION, CORRELATED_ASSUMPTION, SPATIAL_ASSUMPTION, THREE_D_ASSUMPTION);
    for (int k = 0; k < r.nbudgets; k++) {
        const Budget &b = r.budget[k];
        Row rows[7];
        const int n = budget_rows(b, o.has_lod, rows);
        std::printf("\n%-30s%14s %20s %20s", (std::string(b.name) + " difference").c_str(), "cells", "area (m2)",
                    "volume (m3)");
        std::printf(sigma ? " %18s" : "", "+/- (m3)");
        std::printf(o.has_range ? " %18s %18s\n" : "\n", "+/- corr. (m3)", "+/- spatial (m3)");
        for (int m = 0; m < n; m++) {
            std::printf("  %-28s%14lld %20lf %20lf", rows[m].label, rows[m].cells, area_of(r, rows[m].cells),
                        rows[m].volume);
            if (sigma)
                std::printf(" %18lf", row_errors(o, r, rows[m]).independent);
            if (o.has_range) {
                const VolumeErrors e = row_errors(o, r, rows[m]);
                std::printf(" %18lf %18lf", e.correlated, e.spatial);
            }
            std::printf("\n");
        }
    }
}

// The budget as a JSON document, keys in the order of the table. Numbers
// read back to the same doubles; a number that is not finite is null.
nlohmann::ordered_json budget_json(const Options &o, const Report &r)
{
    using json = nlohmann::ordered_json;
    const bool sigma = o.has_sigma1;
    json doc;
    doc["difference"] = "first DEM - second DEM, interior cells only";
    doc["sign"] = "positive = the first DEM is higher; cut: difference > 0, fill: difference < 0; volumes carry the "
                  "sign of the difference";
    json inputs = json::object();
    if (o.result_mode) {
        inputs["result"] = {{"raster", o.result.raster}, {"unit", unit_of(o, 0)}};
        inputs["signed"] = o.is_signed;
    } else {
        inputs["first"] = {{"raster", o.first.raster}, {"unit", unit_of(o, 1)}};
        inputs["second"] = {{"raster", o.second.raster}, {"unit", unit_of(o, 2)}};
    }
    doc["inputs"] = inputs;
    doc["pixel_size_m"] = json(json_number(o.pixel));
    doc["pixel_size_from"] = o.pixel_from;
    doc["cell_area_m2"] = json(json_number(r.area));
    doc["lod_m"] = o.has_lod ? json(json_number(o.lod)) : json(nullptr);
    doc["sigma_d_m"] = sigma ? json(json_number(r.sigma_dz)) : json(nullptr);
    doc["error_model"] =
        sigma ? json("uniform, uncorrelated errors assumed: volume_error_m3 = sigma_d_m x cell_area_m2 x sqrt(cells) "
                     "for 2D rows; for 3D rows sqrt(sum_k (W_k sigma_d_m)^2), W_k the sum of cell_area_m2 x the 3D "
                     "weight (5/9 centre, 1/18 neighbour) over the row's cells whose window holds 2D cell k")
              : json(nullptr);
    if (o.has_range) {
        doc["correlation_range_m"] = json(json_number(o.range));
        doc["error_models"] = {INDEPENDENT_ASSUMPTION, CORRELATED_ASSUMPTION, SPATIAL_ASSUMPTION, THREE_D_ASSUMPTION};
    }
    json budgets = json::array();
    for (int k = 0; k < r.nbudgets; k++) {
        const Budget &b = r.budget[k];
        Row rows[7];
        const int n = budget_rows(b, o.has_lod, rows);
        json budget;
        budget["difference"] = b.name;
        for (int m = 0; m < n; m++) {
            budget[rows[m].name] = {{"cells", rows[m].cells},
                                    {"area_m2", json(json_number(area_of(r, rows[m].cells)))},
                                    {"volume_m3", json(json_number(rows[m].volume))},
                                    {"volume_error_m3",
                                     sigma ? json(json_number(row_errors(o, r, rows[m]).independent))
                                           : json(nullptr)}};
            if (o.has_range) {
                const VolumeErrors e = row_errors(o, r, rows[m]);
                budget[rows[m].name]["volume_error_correlated_m3"] = json(json_number(e.correlated));
                budget[rows[m].name]["volume_error_spatial_m3"] = json(json_number(e.spatial));
            }
        }
        budgets.push_back(budget);
    }
    doc["budgets"] = budgets;
    return doc;
}

void print_json(const Options &o, const Report &r)
{
    std::fputs(json_text(budget_json(o, r)).c_str(), stdout);
}

void print_csv(const Options &o, const Report &r)
{
    std::printf(o.has_range ? "difference,set,cells,area_m2,volume_m3,volume_error_m3,volume_error_correlated_m3,"
                              "volume_error_spatial_m3\n"
                            : "difference,set,cells,area_m2,volume_m3,volume_error_m3\n");
    for (int k = 0; k < r.nbudgets; k++) {
        Row rows[7];
        const int n = budget_rows(r.budget[k], o.has_lod, rows);
        for (int m = 0; m < n; m++) {
            std::printf("%s,%s,%lld,%.17g,%.17g,", r.budget[k].name, rows[m].name, rows[m].cells,
                        area_of(r, rows[m].cells), rows[m].volume);
            if (o.has_sigma1)
                std::printf("%.17g", row_errors(o, r, rows[m]).independent);
            if (o.has_range) {
                const VolumeErrors e = row_errors(o, r, rows[m]);
                std::printf(",%.17g,%.17g", e.correlated, e.spatial);
            }
            std::printf("\n");
        }
    }
}

void report(const Options &o, const Report &r)
{
    if (o.format == FORMAT_JSON)
        print_json(o, r);
    else if (o.format == FORMAT_CSV)
        print_csv(o, r);
    else
        print_table(o, r);
}

} // namespace

int main(int argc, char **argv)
{
    host_start();
    Options o;
    CLI::App app;
    define_options(app, &o);
    int status = parse_command_line(app, argc, argv);
    if (status >= 0)
        return finish_run(PROGRAM, status); // --help, --version or a usage error
    status = check_options(app, &o);
    // The sidecars are read through GDAL, which says nothing itself:
    // read_sidecar says what went wrong.
    CPLSetErrorHandler(CPLQuietErrorHandler);
    GDALAllRegister();
    int lig = 0, col = 0;
    DemInput dems[2];
    if (status < 0)
        status = o.result_mode ? check_result(&o, &lig, &col) : open_dems(&o, dems, &lig, &col);
    Report r;
    if (status < 0)
        status = run_guarded(PROGRAM, [&] { return compute(o, dems, lig, col, &r) ? EXIT_DONE : EXIT_FAILED; });
    for (DemInput &dem : dems)
        close_dem_input(&dem);
    if (status == EXIT_DONE)
        status = run_guarded(PROGRAM, [&] {
            report(o, r);
            return EXIT_DONE;
        });
    if (status == EXIT_DONE) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            complain("cannot write the report: %s", std::strerror(errno));
            status = EXIT_FAILED;
        }
    }
    return finish_run(PROGRAM, status);
}
