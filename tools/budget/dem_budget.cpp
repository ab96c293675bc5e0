// dem_budget: the change budget of two DEMs of the same frame, or of one
// result the tool wrote. For the 2D and the 3D difference (first DEM minus
// second, interior cells only) it counts the cells that lost height (cut),
// gained height (fill) or did not change, with their areas and volumes, and
// the net volume, which is the tool's volume for the same inputs. A level of
// detection moves small differences to "unchanged"; survey errors give a
// bound on each volume.
//
// The DEM pairs are read and converted to metres as the tool does, and the
// per-cell differences and volumes come from the tool's own pass
// (visit_interior_cells), so that the net volume is the tool's to the bit.
// The pixel size comes from the descriptors, as the tool takes it, refined
// by the sidecar that dem_gdal import writes beside a pair (whose
// geotransform keeps a size such as 2.5 m that the descriptor rounds).
//
// The run goes in four steps: read the options, check the inputs (frames,
// units, pixel size), compute the budgets, report them.
#include "LIB/NRUTIL.h"
#include "answers.h"
#include "budget_engine.h"
#include "cli_support.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"
#include "progress.h"
#include "tool_support.h"
#include "units.h"
#include "volume_error.h"

#if DEM_BUDGET_READS_SIDECARS
#include "gdal_bridge.h"

#include <cpl_error.h>
#include <gdal.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
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

// A DEM pair on disk, with the sidecar an imported DEM has beside it.
struct Pair {
    std::string raster, descr, sidecar;
    int pair = PAIR_INPUT; // PAIR_INPUT, PAIR_2D or PAIR_3D
    int itype = DEM_M2;    // DEM_M2 or DEM_M4
};

// The sidecar dem_gdal import writes beside an input pair, by value type.
const char *const SIDECAR_SUFFIX[2] = {"_m2.vrt", "_m4.vrt"};

bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Names the pair of a raster or descriptor path among the given kinds of
// pair (PAIR_INPUT alone, or PAIR_2D and PAIR_3D), or of the sidecar of an
// input pair; false when no suffix of theirs ends the path.
bool name_pair(const std::string &path, int first_pair, int last_pair, Pair *p)
{
    for (int pair = first_pair; pair <= last_pair; pair++)
        for (int itype = DEM_M2; itype <= DEM_M4; itype++) {
            const char *suffix = nullptr;
            if (ends_with(path, raster_suffix(pair, itype)))
                suffix = raster_suffix(pair, itype);
            else if (ends_with(path, descr_suffix(pair, itype)))
                suffix = descr_suffix(pair, itype);
            else if (pair == PAIR_INPUT && ends_with(path, SIDECAR_SUFFIX[itype]))
                suffix = SIDECAR_SUFFIX[itype];
            if (suffix == nullptr)
                continue;
            const std::string base = path.substr(0, path.size() - std::strlen(suffix));
            p->raster = base + raster_suffix(pair, itype);
            p->descr = base + descr_suffix(pair, itype);
            p->sidecar = pair == PAIR_INPUT ? base + SIDECAR_SUFFIX[itype] : "";
            p->pair = pair;
            p->itype = itype;
            return true;
        }
    return false;
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

// The options, in the help's groups.
void define_options(CLI::App &app, Options *o)
{
    setup_command_line(app, PROGRAM, DESCRIPTION);
    set_usage(app, USAGE);
    app.footer(NOTES);
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
    if (!name_pair(o->result_path, PAIR_2D, PAIR_3D, &o->result))
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
    for (int k = 0; k < 2; k++)
        if (!name_pair(o->dems[k], PAIR_INPUT, PAIR_INPUT, k == 0 ? &o->first : &o->second))
            return usage_error(PROGRAM, "cannot tell the value type of '" + o->dems[k] +
                                            "': name its raster, ending in _m2.raw or _m4.raw, its descriptor or its "
                                            "sidecar (.vrt)");
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

// True when the raster of a pair holds exactly its frame; checked before
// anything is allocated for the frame.
bool raster_fits_frame(const Pair &p, int lig, int col)
{
    const unsigned long long needed = static_cast<unsigned long long>(lig) * static_cast<unsigned long long>(col) *
                                      static_cast<unsigned long long>(bytes_per_value(p.itype));
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(p.raster, ec);
    if (ec) {
        complain("cannot read the raster %s: %s", p.raster.c_str(), ec.message().c_str());
        return false;
    }
    if (size != needed) {
        complain("%s holds %llu bytes, but its frame of %d lines and %d columns of %d-byte values takes %llu bytes",
                 p.raster.c_str(), static_cast<unsigned long long>(size), lig, col, bytes_per_value(p.itype), needed);
        return false;
    }
    return true;
}

// What a pair says of itself: the frame and pixel size of its descriptor,
// refined by its sidecar when that is read.
struct PairFacts {
    int lig = 0, col = 0;
    int pix = 0;           // the descriptor's whole pixel size, 0 when it records none
    double cell = 0;       // pixel size in metres, 0 when none is recorded
    std::string cell_from; // "the descriptor x_m2.txt" or "the sidecar x_m2.vrt"
    int unit = -1;         // height unit recorded by the sidecar, -1 when none
};

// The frame and pixel size of a pair, from its descriptor.
bool read_descriptor_facts(const Pair &p, PairFacts *f)
{
    for (const std::string *file : {&p.descr, &p.raster}) {
        const std::string problem = input_file_problem(*file);
        if (!problem.empty()) {
            complain("%s: %s", file->c_str(), problem.c_str());
            return false;
        }
    }
    FILE *fd = std::fopen(p.descr.c_str(), "r");
    if (fd == nullptr) {
        complain("cannot open the descriptor %s: %s", p.descr.c_str(), std::strerror(errno));
        return false;
    }
    int field[DESCR_FIELDS] = {-1, -1, 0, 0, 0, 0};
    const int n = read_descriptor(fd, field);
    std::fclose(fd);
    if (n < 2 || field[0] < 0 || field[1] < 0) {
        complain("%s does not start with a frame size (lines and columns)", p.descr.c_str());
        return false;
    }
    f->lig = field[0];
    f->col = field[1];
    // Zero or less records no pixel size: the tool then asks for one.
    f->pix = n >= 6 && field[5] > 0 ? field[5] : 0;
    f->cell = f->pix;
    f->cell_from = "the descriptor " + p.descr;
    return true;
}

// Reads the sidecar of a pair, when there is one and the command line leaves
// the pixel size or the unit to it. False, after saying why, when it cannot
// be used.
bool read_pair_sidecar(const Options &o, const Pair &p, int unit, PairFacts *f)
{
    std::error_code ec;
    if (p.sidecar.empty() || !std::filesystem::exists(p.sidecar, ec) || (o.has_pixel && unit >= 0))
        return true;
#if DEM_BUDGET_READS_SIDECARS
    static bool registered = false;
    if (!registered) {
        CPLSetErrorHandler(CPLQuietErrorHandler); // read_sidecar says what went wrong
        GDALAllRegister();
        registered = true;
    }
    SidecarFacts sidecar;
    std::string error;
    if (!read_sidecar(p.sidecar, &sidecar, &error)) {
        complain("%s: %s", p.sidecar.c_str(), error.c_str());
        return false;
    }
    if (sidecar.nb_lig != f->lig || sidecar.nb_col != f->col) {
        complain("%s: its frame of %d lines and %d columns is not the frame of %s (%d lines and %d columns)",
                 p.sidecar.c_str(), sidecar.nb_lig, sidecar.nb_col, p.descr.c_str(), f->lig, f->col);
        return false;
    }
    if (sidecar.cell_metres > 0) {
        if (f->pix > 0 && std::lround(sidecar.cell_metres) != f->pix) {
            char text[400];
            std::snprintf(text, sizeof text, "%s gives cells of %.10g m, but %s records a pixel size of %d: the "
                                             "sidecar's %.10g m is taken",
                          p.sidecar.c_str(), sidecar.cell_metres, p.descr.c_str(), f->pix, sidecar.cell_metres);
            warning(PROGRAM, text);
        }
        f->cell = sidecar.cell_metres;
        f->cell_from = "the sidecar " + p.sidecar;
    }
    f->unit = sidecar.unit;
#else
    (void)f;
    warning(PROGRAM, "this build reads no sidecars (it was built without GDAL): " + p.sidecar +
                         " is left aside, the pixel size is the descriptor's whole number");
#endif
    return true;
}

// The pixel size of the DEMs: --pixel, or the first DEM's recorded one; a
// warning when the two record different sizes. Returns -1 to go on,
// otherwise EXIT_USAGE after saying what is missing.
int choose_pixel(Options *o, const PairFacts f[2])
{
    if (f[0].cell > 0 && f[1].cell > 0 && f[0].cell != f[1].cell) {
        char text[600];
        std::snprintf(text, sizeof text, "the DEMs record different pixel sizes: %.10g m (%s), %.10g m (%s); %s %.10g m",
                      f[0].cell, f[0].cell_from.c_str(), f[1].cell, f[1].cell_from.c_str(),
                      o->has_pixel ? "the budget takes --pixel" : "the budget takes the first DEM's (or give --pixel)",
                      o->has_pixel ? o->pixel : f[0].cell);
        warning(PROGRAM, text);
    }
    if (o->has_pixel)
        return -1;
    for (int k = 0; k < 2; k++)
        if (!(f[k].cell > 0))
            return usage_error(PROGRAM, f[k].cell_from + " records no pixel size: give --pixel P (metres)");
    o->pixel = f[0].cell;
    o->pixel_from = f[0].cell_from;
    return -1;
}

// The frame, units and pixel size of a result. Returns -1 to go on,
// otherwise the exit status after saying why.
int check_result(Options *o, int *lig, int *col)
{
    PairFacts f;
    if (!read_descriptor_facts(o->result, &f) || !raster_fits_frame(o->result, f.lig, f.col))
        return EXIT_FAILED;
    *lig = f.lig;
    *col = f.col;
    if (o->has_pixel)
        return -1;
    if (!(f.cell > 0))
        return usage_error(PROGRAM, f.cell_from + " records no pixel size: give --pixel P (metres)");
    o->pixel = f.cell;
    o->pixel_from = f.cell_from;
    return -1;
}

// The frames, units and pixel size of two DEMs. Returns -1 to go on,
// otherwise the exit status after saying why.
int check_dems(Options *o, int *lig, int *col)
{
    PairFacts f[2];
    const Pair *pair[2] = {&o->first, &o->second};
    int *unit[2] = {&o->unit1, &o->unit2};
    for (int k = 0; k < 2; k++)
        if (!read_descriptor_facts(*pair[k], &f[k]))
            return EXIT_FAILED;
    if (f[0].lig != f[1].lig || f[0].col != f[1].col) {
        complain("the frames differ: %s has %d lines and %d columns, %s has %d lines and %d columns",
                 o->first.descr.c_str(), f[0].lig, f[0].col, o->second.descr.c_str(), f[1].lig, f[1].col);
        return EXIT_FAILED;
    }
    for (int k = 0; k < 2; k++)
        if (!raster_fits_frame(*pair[k], f[k].lig, f[k].col) || !read_pair_sidecar(*o, *pair[k], *unit[k], &f[k]))
            return EXIT_FAILED;
    for (int k = 0; k < 2; k++) {
        if (*unit[k] < 0)
            *unit[k] = f[k].unit;
        if (*unit[k] < 0)
            return usage_error(PROGRAM, std::string("the height unit of the ") + (k == 0 ? "first" : "second") +
                                            " DEM is needed: --unit" + std::to_string(k + 1) +
                                            " m|dm|cm|mm (or --unit for both)");
    }
    *lig = f[0].lig;
    *col = f[0].col;
    return choose_pixel(o, f);
}

// Reads the raster of a pair into a new int matrix of its frame, as the tool
// loads it: 2-byte values widened without sign, or as signed 16-bit values
// when `signed16`. Null, after saying why, on failure.
int **load_values(const Pair &p, int lig, int col, bool signed16)
{
    FILE *f = std::fopen(p.raster.c_str(), "rb");
    if (f == nullptr) {
        complain("cannot open the raster %s: %s", p.raster.c_str(), std::strerror(errno));
        return nullptr;
    }
    int **itab = imatrice(col, lig);
    bool no_memory = itab == nullptr;
    RasterRead outcome = RASTER_FAILED;
    if (itab != nullptr)
        outcome = read_widened(f, p.itype, signed16, itab, lig, col, &no_memory);
    if (no_memory) {
        std::fclose(f);
        frimatrice(itab, lig);
        complain("not enough memory for %d lines and %d columns", lig, col);
        return nullptr;
    }
    std::fclose(f);
    if (outcome != RASTER_COMPLETE) {
        complain("cannot read the raster %s: %s", p.raster.c_str(),
                 outcome == RASTER_FAILED ? "read error" : "its size changed while it was read");
        frimatrice(itab, lig);
        return nullptr;
    }
    return itab;
}

// Loads a pair into dtab, in metres: input heights in `unit` 0 to 3, or
// result values in `unit` 0 to 5.
bool load_metres(const Pair &p, int lig, int col, int unit, bool signed16, double **dtab)
{
    int **itab = load_values(p, lig, col, signed16);
    if (itab == nullptr)
        return false;
    if (p.pair == PAIR_INPUT)
        convert_to_metres(itab, dtab, lig, col, unit);
    else
        result_to_metres(itab, dtab, lig, col, unit);
    frimatrice(itab, lig);
    return true;
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

// Loads the pairs of the checked frame and computes the budgets. False,
// after saying why, when an input cannot be used.
bool compute(const Options &o, int lig, int col, Report *r)
{
    // Two double matrices, one int and one 2-byte matrix while a raster loads.
    if (!memory_for(lig, col, 2 * sizeof(double) + sizeof(int) + sizeof(unsigned short)))
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
        ok = load_metres(o.result, lig, col, o.unit, o.is_signed, dtab1);
    if (ok && !o.result_mode)
        ok = load_metres(o.first, lig, col, o.unit1, false, dtab1) &&
             load_metres(o.second, lig, col, o.unit2, false, dtab2);
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
    int lig = 0, col = 0;
    if (status < 0)
        status = o.result_mode ? check_result(&o, &lig, &col) : check_dems(&o, &lig, &col);
    Report r;
    if (status < 0)
        status = run_guarded(PROGRAM, [&] { return compute(o, lig, col, &r) ? EXIT_DONE : EXIT_FAILED; });
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
