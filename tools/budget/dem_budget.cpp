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
#include "LIB/NRUTIL.h"
#include "answers.h"
#include "budget_engine.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"
#include "progress.h"
#include "tool_support.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

const char *const PROGRAM = "dem_budget";
const int EXIT_FAILED = 1; // an input that cannot be used, or the report cannot be written
const int EXIT_USAGE = 2;  // a command line that cannot be understood

// Unit names, by unit code: 0 to 3 for DEMs, 0 to 5 for results.
const char *const UNIT_NAME[UNITS_OUT] = {"m", "dm", "cm", "mm", "0.1mm", "0.01mm"};

const char *const USAGE =
    "Usage: dem_budget [OPTION]... FIRST SECOND --unit1 U --unit2 U --pixel P\n"
    "       dem_budget [OPTION]... --result RESULT --unit U --pixel P\n"
    "\n"
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
    "over every interior cell, the volume skarnovelt_v2 reports.\n"
    "\n"
    "FIRST, SECOND  the DEMs, each named by its raster or descriptor path\n"
    "               (NAME_m2.raw, NAME_m4.raw or the .txt beside it); the suffix\n"
    "               gives the value type, the descriptor gives the frame\n"
    "--result RESULT  a result instead: NAME_2D_m2.raw, NAME_3D_m4.raw, ... (or\n"
    "               its .txt); its stored values divided by the factor of its unit\n"
    "               are the differences\n"
    "\n"
    "Options:\n"
    "  --unit1 U     height unit of the first DEM: m, dm, cm, mm (or 0 to 3)\n"
    "  --unit2 U     height unit of the second DEM\n"
    "  --unit U      the unit of both DEMs; with --result, the unit of the result:\n"
    "                m, dm, cm, mm, 0.1mm, 0.01mm (or 0 to 5)\n"
    "  --pixel P     pixel size in metres (> 0); the cell area is P x P\n"
    "  --signed      read a _m2 result as signed 16-bit values (the tool stores\n"
    "                negative differences in _m2 results wrapped)\n"
    "  --lod T       minimum level of detection in metres: cells with |d| < T count\n"
    "                as unchanged in a second, thresholded budget; the raw net\n"
    "                volume is always reported beside it\n"
    "  --sigma1 S1   vertical error of the first DEM, metres (with --sigma2)\n"
    "  --sigma2 S2   vertical error of the second DEM, metres (with --sigma1): each\n"
    "                volume gets +/- sqrt(S1^2 + S2^2) x cell area x sqrt(cells),\n"
    "                assuming uniform, uncorrelated errors\n"
    "  --json        print the budget as JSON (full precision)\n"
    "  --csv         print the budget as CSV (full precision)\n"
    "  -h, --help    print this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when an input cannot be used, 2 for a bad\n"
    "command line.\n";

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

// A DEM pair on disk.
struct Pair {
    std::string raster, descr;
    int pair = PAIR_INPUT; // PAIR_INPUT, PAIR_2D or PAIR_3D
    int itype = DEM_M2;    // DEM_M2 or DEM_M4
};

bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Names the pair of a raster or descriptor path among the given kinds of
// pair (PAIR_INPUT alone, or PAIR_2D and PAIR_3D); false when no suffix of
// theirs ends the path.
bool name_pair(const std::string &path, int first_pair, int last_pair, Pair *p)
{
    for (int pair = first_pair; pair <= last_pair; pair++)
        for (int itype = DEM_M2; itype <= DEM_M4; itype++) {
            const char *suffix = nullptr;
            if (ends_with(path, raster_suffix(pair, itype)))
                suffix = raster_suffix(pair, itype);
            else if (ends_with(path, descr_suffix(pair, itype)))
                suffix = descr_suffix(pair, itype);
            if (suffix == nullptr)
                continue;
            const std::string base = path.substr(0, path.size() - std::strlen(suffix));
            p->raster = base + raster_suffix(pair, itype);
            p->descr = base + descr_suffix(pair, itype);
            p->pair = pair;
            p->itype = itype;
            return true;
        }
    return false;
}

enum Format { FORMAT_TABLE, FORMAT_JSON, FORMAT_CSV };

struct Options {
    bool result_mode = false; // a result rather than two DEMs
    Pair first, second;       // the DEMs
    Pair result;              // the result
    int unit = -1, unit1 = -1, unit2 = -1;
    bool has_pixel = false;
    double pixel = 0;
    bool is_signed = false;
    bool has_lod = false;
    double lod = 0;
    bool has_sigma1 = false, has_sigma2 = false;
    double sigma1 = 0, sigma2 = 0;
    Format format = FORMAT_TABLE;
};

// A unit code from its name or its code, up to `last`.
bool parse_unit(const std::string &word, int last, int *unit)
{
    for (int u = 0; u <= last; u++)
        if (word == UNIT_NAME[u] || word == std::to_string(u)) {
            *unit = u;
            return true;
        }
    return false;
}

// A real option value that must be finite and at least 0 (above 0 when
// `positive`).
bool parse_length(const char *option, const std::string &word, bool positive, double *value)
{
    if (!word_to_real(word, value) || !(positive ? *value > 0 : *value >= 0)) {
        complain("%s needs a length in metres %s, not '%s'", option, positive ? "above 0" : "of 0 or more",
                 word.c_str());
        return false;
    }
    return true;
}

// Reads the command line into *o. Returns -1 to go on, otherwise the exit
// status (0 after --help).
int parse_command_line(int argc, char **argv, Options *o)
{
    std::string positional[2];
    int npositional = 0;
    bool options_ended = false;
    bool units_given[3] = {false, false, false};
    std::string unit_word[3];
    std::string result_path;
    for (int k = 1; k < argc; k++) {
        std::string arg = argv[k];
        if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
            if (npositional == 2) {
                complain("too many DEMs: '%s' (two DEMs, or --result and one result)", arg.c_str());
                return EXIT_USAGE;
            }
            positional[npositional++] = arg;
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            return std::fflush(stdout) == 0 ? 0 : EXIT_FAILED;
        }
        if (arg == "--signed") {
            o->is_signed = true;
            continue;
        }
        if (arg == "--json" || arg == "--csv") {
            const Format f = arg == "--json" ? FORMAT_JSON : FORMAT_CSV;
            if (o->format != FORMAT_TABLE && o->format != f) {
                complain("--json and --csv exclude each other");
                return EXIT_USAGE;
            }
            o->format = f;
            continue;
        }
        // Options with a value: "--name value" or "--name=value".
        std::string name = arg, value;
        const size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        static const char *const WITH_VALUE[] = {"--result", "--unit", "--unit1", "--unit2",
                                                 "--pixel",  "--lod",  "--sigma1", "--sigma2"};
        bool known = false;
        for (const char *w : WITH_VALUE)
            known = known || name == w;
        if (!known) {
            complain("unknown option '%s'", arg.c_str());
            return EXIT_USAGE;
        }
        if (equals == std::string::npos) {
            if (k + 1 >= argc) {
                complain("%s needs a value", name.c_str());
                return EXIT_USAGE;
            }
            value = argv[++k];
        }
        bool ok = true;
        if (name == "--result") {
            o->result_mode = true;
            result_path = value;
        } else if (name == "--unit" || name == "--unit1" || name == "--unit2") {
            const int which = name == "--unit" ? 0 : name == "--unit1" ? 1 : 2;
            units_given[which] = true;
            unit_word[which] = value;
        } else if (name == "--pixel") {
            ok = parse_length("--pixel", value, true, &o->pixel);
            o->has_pixel = true;
        } else if (name == "--lod") {
            ok = parse_length("--lod", value, false, &o->lod);
            o->has_lod = true;
        } else if (name == "--sigma1") {
            ok = parse_length("--sigma1", value, false, &o->sigma1);
            o->has_sigma1 = true;
        } else {
            ok = parse_length("--sigma2", value, false, &o->sigma2);
            o->has_sigma2 = true;
        }
        if (!ok)
            return EXIT_USAGE;
    }

    if (o->result_mode) {
        if (npositional != 0) {
            complain("--result takes the place of the two DEMs: '%s' is one too many", positional[0].c_str());
            return EXIT_USAGE;
        }
        if (units_given[1] || units_given[2]) {
            complain("a result has one unit: give it with --unit");
            return EXIT_USAGE;
        }
        if (!units_given[0]) {
            complain("the unit of the result is needed: --unit m|dm|cm|mm|0.1mm|0.01mm");
            return EXIT_USAGE;
        }
        if (!parse_unit(unit_word[0], UNITS_OUT - 1, &o->unit)) {
            complain("unknown unit of a result '%s' (m, dm, cm, mm, 0.1mm, 0.01mm or 0 to 5)", unit_word[0].c_str());
            return EXIT_USAGE;
        }
        if (!name_pair(result_path, PAIR_2D, PAIR_3D, &o->result)) {
            complain("cannot tell the kind of result of '%s': name its raster, ending in _2D_m2.raw, _2D_m4.raw, "
                     "_3D_m2.raw or _3D_m4.raw, or its descriptor",
                     result_path.c_str());
            return EXIT_USAGE;
        }
        if (o->is_signed && o->result.itype != DEM_M2) {
            complain("--signed applies to _m2 results; %s holds signed 4-byte values already", o->result.raster.c_str());
            return EXIT_USAGE;
        }
    } else {
        if (npositional != 2) {
            complain(npositional == 0 ? "two DEMs are needed, or --result and a result"
                                      : "a second DEM is needed");
            return EXIT_USAGE;
        }
        for (int k = 0; k < 2; k++)
            if (!name_pair(positional[k], PAIR_INPUT, PAIR_INPUT, k == 0 ? &o->first : &o->second)) {
                complain("cannot tell the value type of '%s': name its raster, ending in _m2.raw or _m4.raw, or its "
                         "descriptor",
                         positional[k].c_str());
                return EXIT_USAGE;
            }
        if (o->is_signed) {
            complain("--signed applies to a _m2 result only");
            return EXIT_USAGE;
        }
        int *const target[3] = {&o->unit, &o->unit1, &o->unit2};
        for (int which = 0; which < 3; which++)
            if (units_given[which] && !parse_unit(unit_word[which], UNITS_IN - 1, target[which])) {
                complain("unknown height unit '%s' (m, dm, cm, mm or 0 to 3)", unit_word[which].c_str());
                return EXIT_USAGE;
            }
        if (o->unit1 < 0)
            o->unit1 = o->unit;
        if (o->unit2 < 0)
            o->unit2 = o->unit;
        if (o->unit1 < 0 || o->unit2 < 0) {
            complain("the height unit of the %s DEM is needed: --unit%d m|dm|cm|mm (or --unit for both)",
                     o->unit1 < 0 ? "first" : "second", o->unit1 < 0 ? 1 : 2);
            return EXIT_USAGE;
        }
    }
    if (!o->has_pixel) {
        complain("the pixel size is needed: --pixel P (metres)");
        return EXIT_USAGE;
    }
    if (!std::isfinite(cell_area(o->pixel))) {
        complain("the pixel size %g m gives a cell area beyond the range of a double", o->pixel);
        return EXIT_USAGE;
    }
    if (o->has_sigma1 != o->has_sigma2) {
        complain("the error bound needs both --sigma1 and --sigma2");
        return EXIT_USAGE;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Reading the pairs
// ---------------------------------------------------------------------------

// The frame of a pair, from its descriptor.
bool read_frame(const Pair &p, int *lig, int *col)
{
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
    *lig = field[0];
    *col = field[1];
    return true;
}

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
};

void count_differences(const CellDifference &cell, void *context)
{
    const BudgetPass *pass = static_cast<const BudgetPass *>(context);
    budget_count(&pass->side_2D->rows, cell.dif_2D, cell.vol_2D);
    if (pass->side_3D != nullptr)
        budget_count(&pass->side_3D->rows, cell.dif_3D, cell.vol_3D);
}

// Everything the report shows.
struct Report {
    Budget budget[2];
    int nbudgets;
    double area;     // cell area, m²
    double sigma_dz; // per-cell error of a difference, m (with sigmas)
};

// Reads the pairs and computes the budgets. False, after saying why, when an
// input cannot be used.
bool compute(const Options &o, Report *r)
{
    int lig = 0, col = 0;
    if (o.result_mode) {
        if (!read_frame(o.result, &lig, &col))
            return false;
    } else {
        int lig2 = 0, col2 = 0;
        if (!read_frame(o.first, &lig, &col) || !read_frame(o.second, &lig2, &col2))
            return false;
        if (lig != lig2 || col != col2) {
            complain("the frames differ: %s has %d lines and %d columns, %s has %d lines and %d columns",
                     o.first.descr.c_str(), lig, col, o.second.descr.c_str(), lig2, col2);
            return false;
        }
    }
    if (o.result_mode ? !raster_fits_frame(o.result, lig, col)
                      : !raster_fits_frame(o.first, lig, col) || !raster_fits_frame(o.second, lig, col))
        return false;
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
    if (ok) {
        r->budget[0].rows = r->budget[1].rows = budget_with_cell_area(cell_area(o.pixel), o.has_lod ? o.lod : 0.0);
        r->budget[0].name = o.result_mode && o.result.pair == PAIR_3D ? "3D" : "2D";
        r->budget[1].name = "3D";
        r->nbudgets = o.result_mode ? 1 : 2;
        BudgetPass pass = {&r->budget[0], o.result_mode ? nullptr : &r->budget[1]};
        double net_3D;
        progress_begin("Computing the budget", lig);
        visit_interior_cells(dtab1, dtab2, lig, col, o.pixel, count_differences, &pass, &r->budget[0].net, &net_3D);
        progress_end();
        if (!o.result_mode)
            r->budget[1].net = net_3D;
        r->area = cell_area(o.pixel);
        r->sigma_dz = static_cast<double>(
            std::sqrt(static_cast<long double>(o.sigma1) * o.sigma1 + static_cast<long double>(o.sigma2) * o.sigma2));
    }
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

// The error bound of the volume of a set of cells: sigma_dz × area × √cells.
double volume_error(const Report &r, long long cells)
{
    return static_cast<double>(static_cast<long double>(r.sigma_dz) * r.area *
                               std::sqrt(static_cast<long double>(cells)));
}

long long interior_cells(const Budget &b) { return b.rows.all.cells; }

// The rows of a budget, in the order every format prints them.
struct Row {
    const char *name; // CSV and JSON name
    const char *label; // table label
    long long cells;
    double volume;
};

int budget_rows(const Budget &b, bool with_lod, Row rows[7])
{
    int n = 0;
    const BudgetRows &r = b.rows;
    rows[n++] = {"cut", "cut (d > 0)", r.positive.cells, r.positive.volume};
    rows[n++] = {"fill", "fill (d < 0)", r.negative.cells, r.negative.volume};
    rows[n++] = {"unchanged", "unchanged (d = 0)", r.zero.cells, r.zero.volume};
    if (with_lod) {
        rows[n++] = {"lod_cut", "cut above lod (d >= lod)", r.lod_positive.cells, r.lod_positive.volume};
        rows[n++] = {"lod_fill", "fill above lod (d <= -lod)", r.lod_negative.cells, r.lod_negative.volume};
        rows[n++] = {"lod_unchanged", "unchanged (|d| < lod)", r.lod_below.cells, r.lod_below.volume};
    }
    // The net is always the raw one: a net of thresholded parts is biased.
    rows[n++] = {"net", "net, raw (all cells)", interior_cells(b), b.net};
    return n;
}

const char *unit_of(const Options &o, int which) { return UNIT_NAME[which == 1 ? o.unit1 : which == 2 ? o.unit2 : o.unit]; }

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
    std::printf("Cell: %g m x %g m = %g m2\n", o.pixel, o.pixel, r.area);
    if (o.has_lod)
        std::printf("Level of detection: lod = %g m; cells with |d| < %g m count as unchanged in the thresholded rows.\n",
                    o.lod, o.lod);
    if (sigma)
        std::printf("Errors: sigma_d = sqrt(%g^2 + %g^2) = %g m per cell; uniform, uncorrelated errors assumed;\n"
                    "  +/- = sigma_d x cell area x sqrt(cells) m3\n",
                    o.sigma1, o.sigma2, r.sigma_dz);
    for (int k = 0; k < r.nbudgets; k++) {
        const Budget &b = r.budget[k];
        Row rows[7];
        const int n = budget_rows(b, o.has_lod, rows);
        std::printf("\n%-30s%14s %20s %20s", (std::string(b.name) + " difference").c_str(), "cells", "area (m2)",
                    "volume (m3)");
        std::printf(sigma ? " %18s\n" : "\n", "+/- (m3)");
        for (int m = 0; m < n; m++) {
            std::printf("  %-28s%14lld %20lf %20lf", rows[m].label, rows[m].cells, area_of(r, rows[m].cells),
                        rows[m].volume);
            if (sigma)
                std::printf(" %18lf", volume_error(r, rows[m].cells));
            std::printf("\n");
        }
    }
}

// A number in full precision, or null when it is not finite.
void print_json_number(double v)
{
    if (std::isfinite(v))
        std::printf("%.17g", v);
    else
        std::printf("null");
}

void print_json_string(const std::string &s)
{
    std::putchar('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            std::printf("\\%c", c);
        else if (c < 0x20)
            std::printf("\\u%04x", c);
        else
            std::putchar(c);
    }
    std::putchar('"');
}

void print_json_pair(const char *key, const Pair &p, const char *unit, bool last)
{
    std::printf("    \"%s\": {\"raster\": ", key);
    print_json_string(p.raster);
    std::printf(", \"unit\": \"%s\"}%s\n", unit, last ? "" : ",");
}

void print_json(const Options &o, const Report &r)
{
    const bool sigma = o.has_sigma1;
    std::printf("{\n");
    std::printf("  \"difference\": \"first DEM - second DEM, interior cells only\",\n");
    std::printf("  \"sign\": \"positive = the first DEM is higher; cut: difference > 0, fill: difference < 0; "
                "volumes carry the sign of the difference\",\n");
    std::printf("  \"inputs\": {\n");
    if (o.result_mode) {
        print_json_pair("result", o.result, unit_of(o, 0), false);
        std::printf("    \"signed\": %s\n", o.is_signed ? "true" : "false");
    } else {
        print_json_pair("first", o.first, unit_of(o, 1), false);
        print_json_pair("second", o.second, unit_of(o, 2), true);
    }
    std::printf("  },\n  \"pixel_size_m\": ");
    print_json_number(o.pixel);
    std::printf(",\n  \"cell_area_m2\": ");
    print_json_number(r.area);
    std::printf(",\n  \"lod_m\": ");
    if (o.has_lod)
        print_json_number(o.lod);
    else
        std::printf("null");
    std::printf(",\n  \"sigma_d_m\": ");
    if (sigma)
        print_json_number(r.sigma_dz);
    else
        std::printf("null");
    std::printf(",\n  \"error_model\": %s,\n",
                sigma ? "\"uniform, uncorrelated errors assumed: volume_error_m3 = sigma_d_m x cell_area_m2 x "
                        "sqrt(cells)\""
                      : "null");
    std::printf("  \"budgets\": [");
    for (int k = 0; k < r.nbudgets; k++) {
        const Budget &b = r.budget[k];
        Row rows[7];
        const int n = budget_rows(b, o.has_lod, rows);
        std::printf("%s\n    {\n      \"difference\": \"%s\"", k == 0 ? "" : ",", b.name);
        for (int m = 0; m < n; m++) {
            std::printf(",\n      \"%s\": {\"cells\": %lld, \"area_m2\": ", rows[m].name, rows[m].cells);
            print_json_number(area_of(r, rows[m].cells));
            std::printf(", \"volume_m3\": ");
            print_json_number(rows[m].volume);
            std::printf(", \"volume_error_m3\": ");
            if (sigma)
                print_json_number(volume_error(r, rows[m].cells));
            else
                std::printf("null");
            std::printf("}");
        }
        std::printf("\n    }");
    }
    std::printf("\n  ]\n}\n");
}

void print_csv(const Options &o, const Report &r)
{
    std::printf("difference,set,cells,area_m2,volume_m3,volume_error_m3\n");
    for (int k = 0; k < r.nbudgets; k++) {
        Row rows[7];
        const int n = budget_rows(r.budget[k], o.has_lod, rows);
        for (int m = 0; m < n; m++) {
            std::printf("%s,%s,%lld,%.17g,%.17g,", r.budget[k].name, rows[m].name, rows[m].cells,
                        area_of(r, rows[m].cells), rows[m].volume);
            if (o.has_sigma1)
                std::printf("%.17g", volume_error(r, rows[m].cells));
            std::printf("\n");
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const int status = parse_command_line(argc, argv, &o);
    if (status >= 0) {
        if (status == EXIT_USAGE)
            std::fprintf(stderr, "Try '%s --help' for more information.\n", PROGRAM);
        return status;
    }
    Report r;
    if (!compute(o, &r))
        return EXIT_FAILED;
    if (o.format == FORMAT_JSON)
        print_json(o, r);
    else if (o.format == FORMAT_CSV)
        print_csv(o, r);
    else
        print_table(o, r);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        complain("cannot write the report: %s", std::strerror(errno));
        return EXIT_FAILED;
    }
    return 0;
}
