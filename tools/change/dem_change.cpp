// dem_change: the signed DEMs of difference AFTER − BEFORE of two rasters
// (any GDAL raster, or DEM pairs of this system's format), the 2D and the
// 3D difference written as GeoTIFFs with nodata, and the change budget of
// both, in one streamed pass whose memory does not grow with the lines.
//
// The program is a function (dem_change_program.h) of its command line,
// which main (dem_change_main.cpp) and the Python module call alike.
//
// The steps: read the options, open both inputs, check that they share one
// grid (or warp AFTER onto BEFORE's), open the outputs, the pass, the
// outputs committed, the report.
#include "dem_change_program.h"
#include "change_classes.h"
#include "change_error.h"
#include "change_histogram.h"
#include "change_pass.h"
#include "change_picture.h"
#include "change_report.h"
#include "error_model_picture.h"
#include "histogram_picture.h"
#include "html_report.h"
#include "volume_error.h"
#include "cli_support.h"
#include "coreg.h"
#include "dem_input.h"
#include "gdal_bridge.h"
#include "geo_area.h"
#include "grid_match.h"
#include "host.h"
#include "output_set.h"
#include "raster_output.h"
#include "tool_support.h"
#include "units.h"

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const PROGRAM = "dem_change";

// The cores this process may use, 1 to 64.
int default_threads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores < 1 ? 1 : cores > 64 ? 64 : static_cast<int>(cores);
}

struct Options {
    DemInputOptions before, after;
    std::string out;
    std::string type = "float32";
    std::vector<std::string> creation_options; // --compress and --level's, then --co's
    std::string compress = "deflate";
    int level = 0; // the compression's default level
    std::string resample;
    std::string json, csv;
    bool picture = false;
    double limit = 0;              // m at the ends of the maps' colours (0: the robust limit)
    int picture_size = MAP_SIZE;   // pixels on a map's long side
    int threads = default_threads(); // every core, unless --threads says otherwise
    double pixel = 0;
    bool coregister = false;
    std::string stable, unstable;
    // Errors, thresholds, classes, distribution, report.
    std::string sigma_before, sigma_after;
    bool error_out = false;
    bool error_from_stable = false;
    int variogram_pairs = static_cast<int>(DEFAULT_VARIOGRAM_PAIRS);
    double lod = 0, confidence = 0, correlation_range = 0;
    std::string classes, class_field;
    std::string histogram, histogram_of = "area";
    double bin_width = 0;
    std::string report, date;
    std::string command_line; // as typed, for the report
};

// A paragraph of the help broken into lines of at most 106 characters,
// indented by two spaces, its continuation lines by four.
std::string wrapped(const std::string &text)
{
    std::string out, line = "  ", word;
    auto flush_word = [&]() {
        if (word.empty())
            return;
        if (line.size() + 1 + word.size() > 106 && line.size() > 4) {
            out += line + "\n";
            line = "    ";
        } else if (line.size() > 2 && line != "    ")
            line += " ";
        line += word;
        word.clear();
    };
    for (char c : text) {
        if (c == ' ')
            flush_word();
        else
            word += c;
    }
    flush_word();
    return out + line + "\n";
}

const std::string DESCRIPTION =
    "The DEMs of difference d = AFTER - BEFORE of two DEMs on one grid, in metres: positive where the surface\n"
    "rose (deposition, fill), negative where it was lowered (erosion, cut). Writes OUT_2D.tif (the plain\n"
    "difference of each cell) and OUT_3D.tif (the mean of the nine differences of the half-way heights of its\n"
    "3 x 3 window), with BEFORE's georeferencing and a nodata value, and prints the change budget of both.\n"
    "\n"
    "BEFORE and AFTER: any raster GDAL opens (band 1 unless --band-before/--band-after), or a DEM pair of\n"
    "skarnovelt_v2 named by its raster, descriptor or sidecar (NAME_m2.raw, NAME_m4.txt, NAME_m4.vrt).\n"
    "Heights: value x scale + offset, times the metres of the band's unit (metre, foot, US survey foot; none\n"
    "declared: metres, said as assumed); another unit needs --z-scale-before/--z-scale-after.\n"
    "Nodata (the band's nodata value, its mask, NaN) is never filled: a cell has a 2D difference where both\n"
    "have data, a 3D difference where its whole 3 x 3 window has data in both; the frame's border has none.\n"
    "Cell areas: |determinant| of the geotransform for a projected grid; for a grid in degrees, each line's\n"
    "true cell area on the CRS's ellipsoid; without georeferencing, --pixel.\n"
    "\n"
    "The budget counts the cells with a 3D difference (both differences over the same ground): lowering\n"
    "(d < 0), raising (d > 0), unchanged (d = 0) and the net, cells, m2 and m3; and the 2D net over every cell\n"
    "with a 2D difference. Volumes are exact sums of the cells' volumes, rounded once: the same bytes\n"
    "whatever the number of threads.\n"
    "\n"
    "skarnovelt_v2 computes first - second: 'dem_change X Y OUT' gives exactly the negation of the tool's\n"
    "differences with X as first DEM and Y as second, bit for bit (a zero is stored as +0), and of its volumes\n"
    "up to their last bits (the tool sums them in scan order).\n"
    "\n"
    "--coregister: AFTER is first aligned onto BEFORE as dem_coreg aligns it (Nuth and Kaab 2011: the horizontal\n"
    "shift fitted on stable ground, given by --stable or --unstable, then the vertical bias, the median of the\n"
    "differences there) and resampled onto BEFORE's grid (--resample, bilinear by default); the shift, the bias\n"
    "and the NMAD of the stable differences before and after go into the table and the JSON. It assumes the\n"
    "stable ground did not change and the surveys differ by a pure translation; AFTER is then held in memory\n"
    "(4 bytes a cell).\n"
    "\n"
    "Outputs: float32 (or float64) tiled GeoTIFFs, DEFLATE with the floating-point predictor, in metres. Their\n"
    "nodata value is the type's lowest (-3.4028234663852886e38 in float32), which no difference can take: one\n"
    "beyond the type's range stops the run. Every output of a run is written in a private folder beside its\n"
    "target and all are moved into place together once complete: a run that fails or is interrupted leaves the\n"
    "earlier files as they were, and a second run writing the same OUT meanwhile stops with a message.\n"
    "Maps (--picture): OUT_2D.png and OUT_3D.png, red where the surface was lowered (d < 0), blue where it rose\n"
    "(d > 0), white at 0, mid grey where there is no difference, over a hill shading of BEFORE; a colour bar in\n"
    "metres, a scale bar, a north arrow when the grid is north-up. The colours reach their ends at --limit M or,\n"
    "by default, at the 98th percentile of |d| over the cells that changed (from the histogram's counts, rounded\n"
    "up to two digits); cells beyond take the end colours and the bar says so. About --picture-size pixels\n"
    "(1000) on the long side at the grid's true aspect (in degrees, at its mean latitude; small grids enlarged by\n"
    "whole pixels). Each has a world file (OUT_2D.pgw) and its CRS (OUT_2D.png.aux.xml): a GIS places it.\n"
    "With them, OUT_2D.qml and OUT_3D.qml: QGIS styles that QGIS loads with the rasters, the same colours and\n"
    "limits, nodata transparent. dempicture draws the interactive tool's results (first - second) in the same\n"
    "colours: red where the first DEM lies above the second, a lowering when the first is the earlier survey.\n"
    "\n"
    "Errors and thresholds: --sigma-before/--sigma-after give each survey's vertical error (one value in metres\n"
    "or a raster on the grid; nodata in it is nodata in the result). A cell's 2D difference then has the error\n"
    "sigma_d = sqrt(sigma_before^2 + sigma_after^2), its 3D difference the error its 3 x 3 weights (5/9 at the\n"
    "centre, 1/18 at each neighbour) propagate from the cells' errors (independent, or correlated by the model\n"
    "of --correlation-range; it serves the detection test); --error-out writes both as\n"
    "OUT_2D_sigma.tif and OUT_3D_sigma.tif. --lod T: |d| < T is below detection; --confidence P: a cell is\n"
    "detected change when |d| / sigma_d reaches the two-sided normal quantile of P (1.959964 at 0.95); both\n"
    "given, a cell must pass both. The thresholded rows stand beside the raw ones; the raw net is the one to\n"
    "use, since a net of the detected parts alone is biased.\n"
    "--error-from-stable instead learns sigma_d from stable ground (--stable / --unstable; every cell without\n"
    "them, with a warning), after the alignment with --coregister: AFTER - BEFORE on a regular sample of the\n"
    "stable cells binned by BEFORE's slope, the NMAD of each bin (outliers beyond 4 NMAD left out), sigma_d of a\n"
    "cell interpolated at its slope (Hugonnet et al. 2022, IEEE JSTARS 15); the table's 'Error model' and the\n"
    "JSON's \"error_model\" give the bins. The spatial correlation of dh / sigma_dh comes from its variogram\n"
    "(--variogram-pairs pairs, a fixed seed), fitted with a nugget and two spherical parts, and gives the\n"
    "spatially correlated error. It excludes --sigma-before/--sigma-after and --correlation-range.\n"
    "Every volume then gets three errors (one standard deviation):\n" +
    wrapped(std::string("- ") + INDEPENDENT_ASSUMPTION) + wrapped(std::string("- ") + CORRELATED_ASSUMPTION) +
    wrapped(std::string("- ") + SPATIAL_ASSUMPTION +
            " Given with --correlation-range R (m): L = sqrt(A / pi) for a row of area A, error of the mean "
            "sigma_rms * sqrt(1 - L/R + (L/R)^3 / 5) for L < R, sigma_rms * R / (sqrt(5) L) for L >= R, times A.") +
    wrapped(std::string("- ") + THREE_D_ASSUMPTION) +
    "Budgets by area: --classes an integer raster on the grid or a vector file (any OGR format; polygons\n"
    "rasterised onto the grid, a cell in a polygon when its centre is), classed by --class-field (by feature\n"
    "id without it); cells outside every feature or in one without the field form a class of their own.\n"
    "Distribution: --histogram FILE.csv, area and volume per bin of both differences, detected and below\n"
    "detection apart; bins anchored at 0, --bin-width metres (every bin from the lowest to the highest value)\n"
    "or by default the Freedman-Diaconis width 2 IQR / n^(1/3) of the non-zero differences rounded to 1, 2 or\n"
    "5 x 10^k (at most 100 bins), the bins covering the 0.5 % to 99.5 % quantiles and the cells beyond them\n"
    "in an underflow and an overflow bin (the CSV's first and last rows); with --picture also\n"
    "OUT_histogram.png of the 2D difference (--histogram-of area|volume).\n"
    "--report FILE.html: one self-contained page with the inputs (SHA-256), the parameters, the pictures and\n"
    "every budget; the same inputs give the same bytes (no clock unless --date TEXT is given).\n"
    "\n"
    "Exit status: 0 done, 1 an input or output cannot be used, 2 a bad command line.";

void add_options(CLI::App &app, Options *o)
{
    app.add_option("BEFORE", o->before.path, "the earlier DEM")->required();
    app.add_option("AFTER", o->after.path, "the later DEM")->required();
    app.add_option("OUT", o->out,
                   "base of the outputs: OUT_2D.tif, OUT_3D.tif (OUT_2D.png, OUT_3D.png); a final .tif or .tiff "
                   "is dropped first")
        ->required();
    app.add_option("--band-before", o->before.band, "band of BEFORE, from 1")->check(CLI::PositiveNumber);
    app.add_option("--band-after", o->after.band, "band of AFTER, from 1")->check(CLI::PositiveNumber);
    add_unit_option(app, "--unit-before", &o->before.unit, UNITS_IN - 1,
                    "height unit of a BEFORE pair (default: from its sidecar)");
    add_unit_option(app, "--unit-after", &o->after.unit, UNITS_IN - 1,
                    "height unit of an AFTER pair (default: from its sidecar)");
    add_real_option(app, "--z-scale-before", &o->before.z_scale, 0, DBL_MAX, true, "a number of metres above 0",
                    "metres in one height unit of BEFORE (overrides its unit)");
    add_real_option(app, "--z-scale-after", &o->after.z_scale, 0, DBL_MAX, true, "a number of metres above 0",
                    "metres in one height unit of AFTER (overrides its unit)");
    add_real_option(app, "--pixel", &o->pixel, 0, DBL_MAX, true, "a length in metres above 0",
                    "cell size in metres of inputs without georeferencing");
    app.add_option("--resample", o->resample,
                   "warp AFTER onto BEFORE's grid with GDAL's warper when the grids differ (with --coregister: "
                   "the resampling of the alignment)")
        ->check(CLI::IsMember({"bilinear", "cubic"}));
    app.add_flag("--coregister", o->coregister, "align AFTER onto BEFORE first (horizontal shift and vertical bias)");
    app.add_option("--stable", o->stable,
                   "with --coregister or --error-from-stable: where the ground is stable (raster or polygons)")
        ->type_name("RASTER|VECTOR");
    app.add_option("--unstable", o->unstable,
                   "with --coregister or --error-from-stable: where it changed, left out of the alignment and of "
                   "the errors learned")
        ->type_name("RASTER|VECTOR");
    app.add_option("--type", o->type, "output type: float32 (default) or float64 (the differences exactly)")
        ->check(CLI::IsMember({"float32", "float64"}));
    app.add_option("--compress", o->compress,
                   "compression of the GeoTIFFs: deflate (default, level 1, read by every GIS), zstd (faster,\n"
                   "GDAL 2.3 or later), lerc (no error) or none")
        ->check(CLI::IsMember({OUTPUT_COMPRESSIONS[0], OUTPUT_COMPRESSIONS[1], OUTPUT_COMPRESSIONS[2],
                               OUTPUT_COMPRESSIONS[3]}));
    add_whole_option(app, "--level", &o->level, 1, 22,
                     "compression level: deflate 1 to 12 (default 1), zstd 1 to 22 (default 1)");
    add_creation_option(app, "--co", &o->creation_options,
                        "GeoTIFF creation option NAME=VALUE, after --compress and --level (repeatable)");
    add_whole_option(app, "--threads", &o->threads, 1, 64,
                     "threads compressing the outputs and working out the errors, 1 to 64 (default: the cores available; the bytes do not "
                     "depend on it)");
    app.add_option("--json", o->json, "write the budget as JSON to this file");
    app.add_option("--csv", o->csv, "write the budget as CSV to this file");
    app.add_flag("--picture", o->picture,
                 "also write the maps OUT_2D.png, OUT_3D.png (lowering red, raising blue) and QGIS styles "
                 "OUT_2D.qml, OUT_3D.qml");
    add_real_option(app, "--limit", &o->limit, 0, DBL_MAX, true, "a number of metres above 0",
                    "metres at both ends of the maps' colours (default: the 98th percentile of |d| where d is not 0)");
    add_whole_option(app, "--picture-size", &o->picture_size, 100, 4000,
                     "pixels on the long side of a map, 100 to 4000 (default 1000)");
    app.add_option("--sigma-before", o->sigma_before, "vertical error of BEFORE: metres, or a raster on the grid");
    app.add_option("--sigma-after", o->sigma_after, "vertical error of AFTER: metres, or a raster on the grid");
    app.add_flag("--error-out", o->error_out, "write the errors as OUT_2D_sigma.tif and OUT_3D_sigma.tif");
    app.add_flag("--error-from-stable", o->error_from_stable,
                 "learn each cell's error from the differences on stable ground (--stable / --unstable), by slope,\n"
                 "and their spatial correlation");
    add_whole_option(app, "--variogram-pairs", &o->variogram_pairs, 1000, 100000000,
                     "with --error-from-stable: pairs of cells in the variogram (default 100000)");
    add_real_option(app, "--lod", &o->lod, 0, DBL_MAX, false, "a number of metres, 0 or more",
                    "level of detection, m: |d| below it is below detection");
    add_real_option(app, "--confidence", &o->confidence, 0, 1, true, "a level strictly between 0 and 1, such as 0.95",
                    "confidence level P (0 < P < 1) for detected change");
    add_real_option(app, "--correlation-range", &o->correlation_range, 0, DBL_MAX, true, "a length in metres above 0",
                    "range of the spherical correlation of the errors, m (the spatially correlated error;\n"
                    "also the correlation within a 3 x 3 window in each 3D cell's own error)");
    app.add_option("--classes", o->classes, "budgets by class: integer raster on the grid, or vector file");
    app.add_option("--class-field", o->class_field, "attribute naming the class of a vector file's features");
    app.add_option("--histogram", o->histogram, "write the distribution of the differences as CSV");
    add_real_option(app, "--bin-width", &o->bin_width, 0, DBL_MAX, true, "a width in metres above 0",
                    "width of the histogram's bins, m (default: from the data)");
    app.add_option("--histogram-of", o->histogram_of, "bars of the histogram picture: area (default) or volume")
        ->check(CLI::IsMember({"area", "volume"}));
    app.add_option("--report", o->report, "write a self-contained HTML report");
    app.add_option("--date", o->date, "date shown in the report (none by default, so that reruns are identical)");
}

// The base of the outputs: OUT as given, without a final .tif or .tiff
// (any case), so that "slide.tif" names slide_2D.tif and not
// slide.tif_2D.tif.
std::string output_base(const std::string &out)
{
    const size_t dot = out.rfind('.'), slash = out.find_last_of("/\\");
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot <= slash + 1))
        return out;
    std::string ext = out.substr(dot);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".tif" || ext == ".tiff" ? out.substr(0, dot) : out;
}

// Everything open during a run, released on every way out.
struct Run {
    DemInput before, after;
    Alignment aligned; // AFTER aligned onto BEFORE, with --coregister
    bool before_open = false, after_open = false;
    std::string warped; // AFTER's warped VRT in GDAL's memory, when resampled
    RasterOutput out_2D, out_3D;
    SigmaInput sigma_before, sigma_after;
    ClassSource classes;
    RasterOutput error_2D, error_3D;
    OutputSet outputs; // every file the run writes, put in place together at the end
    ~Run()
    {
        abandon_output(&out_2D);
        abandon_output(&out_3D);
        abandon_output(&error_2D);
        abandon_output(&error_3D);
        close_sigma_input(&sigma_before);
        close_sigma_input(&sigma_after);
        close_classes(&classes);
        abandon_outputs(&outputs);
        if (before_open)
            close_dem_input(&before);
        if (after_open)
            close_dem_input(&after);
        if (!warped.empty())
            remove_warped(warped);
    }
};

// GDAL's block cache: a row of blocks of each input, and a margin; the
// outputs' tiles do not pass through it (each output gathers its row of
// tiles itself, raster_output.h). With less, GDAL evicts the inputs'
// tiles before the pass is done with them and decodes them again (at 8000
// columns, a run took 2.4 times as long). False, with a message naming the
// grid and the inputs' block height, when that, the outputs' rows of tiles
// and the pass's own lines need more memory than the process can have.
bool limit_block_cache(const Run &run, const Options &o, std::string *error)
{
    const long long nb_col = run.before.grid.nb_col;
    const int out_bytes = o.type == "float64" ? 8 : 4;
    long long bytes = 0;
    long long rows = 2LL * run.out_2D.tile_lines * nb_col * out_bytes;
    if (o.error_out)
        rows += 2LL * run.error_2D.tile_lines * nb_col * 4;
    for (const DemInput *in : {&run.sigma_before.raster, &run.sigma_after.raster})
        if (in->band != nullptr) {
            int bx = 0, by = 0;
            GDALGetBlockSize(in->band, &bx, &by);
            bytes += static_cast<long long>(by) * nb_col * (GDALGetDataTypeSizeBytes(GDALGetRasterDataType(in->band)) + 1);
        }
    if (run.classes.layer.band != nullptr) {
        int bx = 0, by = 0;
        GDALGetBlockSize(run.classes.layer.band, &bx, &by);
        bytes += static_cast<long long>(by) * nb_col * 8;
    }
    for (const DemInput *in : {&run.before, &run.after})
        if (in->band != nullptr) {
            int bx = 0, by = 0;
            GDALGetBlockSize(in->band, &bx, &by);
            // The values' blocks, and the mask's (bytes) when there is one.
            bytes += static_cast<long long>(by) * nb_col *
                     (GDALGetDataTypeSizeBytes(GDALGetRasterDataType(in->band)) + (in->mask != nullptr ? 1 : 0));
        }
    const long long cache = bytes + 8LL * 1024 * 1024;
    // The pass's lines: heights, flags and both differences of a block, and
    // as much again for the errors, classes and histograms.
    const long long pass = 2LL * 34 * change_block_lines(run.before.grid.nb_col) * nb_col + rows;
    const unsigned long long available = available_memory();
    if (available > 0 && static_cast<unsigned long long>(cache + pass) > available) {
        int bx = 0, by = 0;
        if (run.before.band != nullptr)
            GDALGetBlockSize(run.before.band, &bx, &by);
        *error = "the grid of " + std::to_string(run.before.grid.nb_lig) + " lines x " + std::to_string(nb_col) +
                 " columns, read in blocks of " + std::to_string(by) + " lines, needs about " +
                 std::to_string((cache + pass) >> 20) + " MiB; " + std::to_string(available >> 20) +
                 " MiB are available: rewrite the inputs with smaller tiles (gdal_translate -co TILED=YES) or give "
                 "the run more memory";
        return false;
    }
    GDALSetCacheMax64(cache);
    return true;
}

// The name of a CRS given as WKT ("ETRS89 / UTM zone 33N"), "none" without one.
std::string crs_name(const std::string &wkt)
{
    if (wkt.empty())
        return "none";
    OGRSpatialReferenceH srs = OSRNewSpatialReference(wkt.c_str());
    const char *name = srs != nullptr ? OSRGetName(srs) : nullptr;
    const std::string text = name != nullptr ? name : "unnamed";
    if (srs != nullptr)
        OSRDestroySpatialReference(srs);
    return text;
}

// Adds an input file's digest and size to its entry of the report: the
// file named, or the raster of a pair named by its base ("x_m4").
bool describe_file(const std::string &path, nlohmann::json *entry, std::string *error)
{
    std::string hex;
    long long bytes = 0;
    const std::string file = !std::filesystem::exists(path) && std::filesystem::exists(path + ".raw") ? path + ".raw" : path;
    if (!file_sha256(file, &hex, &bytes, error))
        return false;
    (*entry)["path"] = file;
    (*entry)["sha256"] = hex;
    (*entry)["bytes"] = bytes;
    return true;
}

// The threshold lines of a histogram: ±T with a level of detection, ±z·σ
// with a confidence level and one error for every cell (scaled by the 3D
// weights for the 3D difference); none when the errors vary from cell to
// cell.
std::vector<double> threshold_lines(const Options &o, const Run &run, bool three_d, std::string *label)
{
    double t = o.lod;
    char text[160];
    std::snprintf(text, sizeof text, "level of detection \u00b1%g m", o.lod);
    if (o.confidence > 0) {
        if (o.error_from_stable || run.sigma_before.is_raster || run.sigma_after.is_raster)
            return {};
        const double sd = sigma_2D(run.sigma_before.value, run.sigma_after.value);
        const double z_sigma = two_sided_quantile(o.confidence) * (three_d ? sd / std::sqrt(3.0) : sd);
        if (z_sigma > t) {
            t = z_sigma;
            std::snprintf(text, sizeof text, "%g %% confidence \u00b1%.3g m", o.confidence * 100, t);
        }
    }
    if (!(t > 0))
        return {};
    *label = text;
    return {-t, t};
}

// The maps of both differences, drawn from the finished rasters (the paths
// the caller hands over) over BEFORE's shading.
bool draw_maps(const Options &o, const DemInputOptions &before, const GridFacts &grid, const std::string rasters[2],
               const ChangeResult &result, ChangeMap maps[2], double limits[2], std::string *error)
{
    const char *names[2] = {"2D", "3D"};
    const ChangeHistogram *histograms[2] = {&result.histogram_2D, &result.histogram_3D};
    const double largest[2] = {result.max_abs_2D, result.max_abs_3D};
    const std::string base = std::filesystem::path(o.out).filename().string();
    std::vector<double> shading; // BEFORE's, read once for both maps
    for (int k = 0; k < 2; k++) {
        ChangeMapSource source;
        source.difference = rasters[k];
        source.before = before;
        source.grid = grid;
        source.shading = &shading;
        ChangeMapOptions options;
        options.title = base + " \u2014 " + names[k] + " difference, after \u2212 before";
        options.size = o.picture_size;
        if (o.limit > 0) {
            options.limit = o.limit;
            options.limit_how = "given (--limit)";
        } else {
            options.limit = robust_limit(*histograms[k], largest[k]);
            options.limit_how = options.limit < largest[k] ? "98th percentile of |d|, d \u2260 0" : "largest |d|";
        }
        options.beyond = beyond_share(*histograms[k], options.limit, largest[k]);
        limits[k] = options.limit;
        if (!draw_change_map(source, options, &maps[k], error))
            return false;
    }
    return true;
}

// Every file the run writes, in the order they are put in place.
std::vector<std::string> output_targets(const Options &o)
{
    std::vector<std::string> targets = {o.out + "_2D.tif", o.out + "_3D.tif"};
    if (o.error_out)
        targets.insert(targets.end(), {o.out + "_2D_sigma.tif", o.out + "_3D_sigma.tif"});
    if (o.picture)
        for (const char *name : {"_2D", "_3D"})
            for (const char *file : {".png", ".pgw", ".png.aux.xml", ".qml"})
                targets.push_back(o.out + name + file);
    if (o.picture && !o.histogram.empty())
        targets.push_back(o.out + "_histogram.png");
    if (o.picture && o.error_from_stable)
        targets.insert(targets.end(), {o.out + "_error_slope.png", o.out + "_variogram.png"});
    for (const std::string *file : {&o.histogram, &o.json, &o.csv, &o.report})
        if (!file->empty())
            targets.push_back(*file);
    return targets;
}

// Checks every output and stages it before anything is read: a name that
// cannot be written, a folder, an input or one taken by a concurrent run
// stops the run before the work.
bool stage_outputs(const Options &o, Run *run, std::string *error)
{
    const std::vector<std::string> inputs = {o.before.path, o.after.path, o.sigma_before, o.sigma_after,
                                             o.classes,     o.stable,     o.unstable};
    if (!begin_outputs(o.out, inputs, &run->outputs, error))
        return false;
    std::string staged;
    for (const std::string &target : output_targets(o))
        if (!stage_output(&run->outputs, target, &staged, error))
            return false;
    return true;
}

// The run's state from stage to stage: what is open (released on every
// way out), the pass's inputs and results, and what the products are made
// of.
struct Job {
    Run run;
    DemInputOptions before_options, after_options; // AFTER's may name its warped copy
    GridAreas areas;
    StableErrorModel learned; // with --error-from-stable
    bool errors = false;      // the volumes carry errors (given or learned)
    GDALDataType type = GDT_Float32;
    std::string path_2D, path_3D, error_path_2D, error_path_3D, histogram_png_path;
    ChangeExtras extras;
    ChangeResult result;
    ChangeMap maps[2];
    double map_limits[2] = {0, 0};
    ChangeRun facts;
    HistogramTable table_2D, table_3D;
    std::string histogram_png_bytes, error_slope_bytes, variogram_bytes;
};

// BEFORE and AFTER open on one grid (AFTER aligned or resampled onto
// BEFORE's first, when asked), with the grid's cell areas.
bool open_surveys(const Options &o, Job *j, std::string *error)
{
    Run &run = j->run;
    j->before_options = o.before;
    j->after_options = o.after;
    j->before_options.pixel_size = j->after_options.pixel_size = o.pixel;
    if (!open_dem_input(j->before_options, &run.before, error))
        return false;
    run.before_open = true;
    if (o.coregister) {
        // AFTER aligned onto BEFORE's grid; its own grid may differ.
        CoregOptions c;
        c.reference = j->before_options;
        c.to_align = j->after_options;
        c.stable = o.stable;
        c.unstable = o.unstable;
        c.resampling = o.resample == "cubic" ? RESAMPLE_CUBIC : RESAMPLE_BILINEAR;
        if (!stage_mask_scratch(&run.outputs, o.out, "coreg", o.stable, o.unstable, &c.mask_scratch, error))
            return false;
        if (!coregister(c, &run.aligned, error)) {
            *error = "the alignment of AFTER onto BEFORE failed: " + *error;
            return false;
        }
    } else if (!o.resample.empty()) {
        if (!warp_onto_grid(o.after.path, o.after.band, run.before.grid, o.resample, &run.warped, error))
            return false;
        j->after_options.path = run.warped;
        j->after_options.band = 1;
    }
    if (!open_dem_input(j->after_options, &run.after, error))
        return false;
    run.after_open = true;
    if (!height_units_agree(run.before, "BEFORE", "--z-scale-before", run.after, "AFTER", "--z-scale-after", error))
        return false;
    std::string what, area_note;
    if (!o.coregister && !same_grid(run.before.grid, run.after.grid, &what)) {
        *error = "BEFORE and AFTER lie on different grids: " + what + ".\nPut AFTER onto BEFORE's grid: " +
                 gdalwarp_command(run.before.grid, o.after.path);
        return false;
    }
    if (!grid_areas(run.before.grid, &j->areas, &area_note, error)) {
        *error = o.before.path + ": " + *error;
        return false;
    }
    if (!area_note.empty())
        warning(PROGRAM, area_note);
    return true;
}

// The errors learned from stable ground, once AFTER is aligned.
bool learn_errors(const Options &o, Job *j, std::string *error)
{
    if (!o.error_from_stable)
        return true;
    std::string note;
    MaskScratch scratch;
    if (!stage_mask_scratch(&j->run.outputs, o.out, "learned", o.stable, o.unstable, &scratch, error))
        return false;
    if (!learn_stable_error(j->before_options, j->after_options, o.coregister ? &j->run.aligned : nullptr, o.stable,
                            o.unstable, scratch, DEFAULT_STABLE_SAMPLE, o.variogram_pairs, &j->learned, &note,
                            error)) {
        *error = "--error-from-stable: " + *error;
        return false;
    }
    if (!j->learned.variogram.fitted)
        note += std::string(note.empty() ? "" : "; ") +
                "the variogram has fewer than three lags with pairs: no spatially correlated error";
    if (!note.empty()) {
        warning(PROGRAM, note);
        j->learned.warnings.push_back(note);
    }
    return true;
}

// The surveys' errors and the classes, on the same grid.
bool open_layers(const Options &o, Job *j, std::string *error)
{
    Run &run = j->run;
    j->errors = !o.sigma_before.empty() || o.error_from_stable;
    if (!o.sigma_before.empty() &&
        (!open_sigma_input("--sigma-before", o.sigma_before, run.before.grid, &run.sigma_before, error) ||
         !open_sigma_input("--sigma-after", o.sigma_after, run.before.grid, &run.sigma_after, error)))
        return false;
    std::string classes_scratch;
    return o.classes.empty() || (stage_scratch(&run.outputs, o.out, "classes.tif", &classes_scratch, error) &&
                                 open_classes(o.classes, o.class_field, run.before.grid, classes_scratch, &run.classes,
                                              error));
}

// The output rasters, open at their staged files.
bool open_rasters(const Options &o, Job *j, std::string *error)
{
    Run &run = j->run;
    j->type = o.type == "float64" ? GDT_Float64 : GDT_Float32;
    j->path_2D = o.out + "_2D.tif";
    j->path_3D = o.out + "_3D.tif";
    j->error_path_2D = o.error_out ? o.out + "_2D_sigma.tif" : "";
    j->error_path_3D = o.error_out ? o.out + "_3D_sigma.tif" : "";
    j->histogram_png_path = o.picture && !o.histogram.empty() ? o.out + "_histogram.png" : "";
    const OutputSet &set = run.outputs;
    const auto open = [&](const std::string &path, GDALDataType type, RasterOutput *out) {
        return open_output(path, staged_path(set, path), run.before.grid, type, o.creation_options, o.threads, out,
                           error);
    };
    return open(j->path_2D, j->type, &run.out_2D) && open(j->path_3D, j->type, &run.out_3D) &&
           (!o.error_out ||
            (open(j->error_path_2D, GDT_Float32, &run.error_2D) && open(j->error_path_3D, GDT_Float32, &run.error_3D)));
}

// What the pass adds to the differences: errors, thresholds, correlation,
// classes, distributions, error rasters, alignment.
void describe_pass(const Options &o, Job *j)
{
    Run &run = j->run;
    ChangeExtras &extras = j->extras;
    if (!o.sigma_before.empty()) {
        extras.sigma_before = &run.sigma_before;
        extras.sigma_after = &run.sigma_after;
    }
    if (o.error_from_stable) {
        extras.learned = &j->learned;
        std::string unused;
        cell_size_metres(run.before.grid, &extras.cell_w, &extras.cell_h, &unused);
    }
    extras.threads = o.threads;
    extras.detection = make_detection(o.lod, o.confidence);
    if (o.correlation_range > 0)
        extras.correlation = spherical_model(o.correlation_range);
    if (o.error_from_stable && j->learned.variogram.fitted)
        extras.correlation = j->learned.variogram.model;
    extras.classes = o.classes.empty() ? nullptr : &run.classes;
    extras.histograms = !o.histogram.empty() || !o.report.empty() || o.picture; // the maps' limits too
    extras.bin_width = o.bin_width;
    if (o.error_out) {
        extras.error_2D = &run.error_2D;
        extras.error_3D = &run.error_3D;
    }
    extras.aligned = o.coregister ? &run.aligned : nullptr;
}

// The pass, its rasters completed.
bool run_pass(const Options &o, Job *j, std::string *error)
{
    Run &run = j->run;
    if (!limit_block_cache(run, o, error))
        return false;
    int tile_x = 0, tile_lines = 0; // BEFORE's tiles: the blocks of the pass lie in their rows
    if (run.before.band != nullptr)
        GDALGetBlockSize(run.before.band, &tile_x, &tile_lines);
    RasterOutput *const outputs[4] = {&run.out_2D, &run.out_3D, &run.error_2D, &run.error_3D};
    return change_pass(&run.before, &run.after, j->areas, aligned_block_lines(run.before.grid.nb_col, tile_lines),
                       &run.out_2D, &run.out_3D, j->extras, &j->result, error) &&
           finish_outputs(outputs, o.error_out ? 4 : 2, o.threads > 1, error);
}

// The maps, from the run's own finished differences, and with --picture
// their files (QGIS style, PNG, world file, PAM).
bool write_maps(const Options &o, Job *j, std::string *error)
{
    const OutputSet &set = j->run.outputs;
    const std::string finished[2] = {staged_path(set, j->path_2D), staged_path(set, j->path_3D)};
    if ((o.picture || !o.report.empty()) &&
        !draw_maps(o, j->before_options, j->run.before.grid, finished, j->result, j->maps, j->map_limits, error))
        return false;
    if (!o.picture)
        return true;
    for (int k = 0; k < 2; k++) {
        const std::string png = o.out + (k == 0 ? "_2D.png" : "_3D.png");
        const std::pair<std::string, std::string> files[4] = {
            {o.out + (k == 0 ? "_2D.qml" : "_3D.qml"), qgis_style(j->map_limits[k])},
            {png, j->maps[k].png},
            {world_file_path(png), j->maps[k].world_file},
            {png + ".aux.xml", j->maps[k].aux_xml}};
        for (const auto &file : files)
            if (file.second.empty())
                drop_output(&j->run.outputs, file.first); // no georeferencing, no CRS
            else if (!write_staged_text(set, file.first, file.second, error))
                return false;
    }
    return true;
}

// What the table, the JSON, the CSV and the report say of the run.
void describe_run(const Options &o, Job *j)
{
    ChangeRun &facts = j->facts;
    facts.before = &j->run.before;
    facts.after = &j->run.after;
    facts.before_path = o.before.path;
    facts.after_path = o.after.path;
    facts.resampled = o.resample;
    facts.out_2D = j->path_2D;
    facts.out_3D = j->path_3D;
    facts.type_name = o.type;
    facts.nodata = output_nodata(j->type);
    facts.pictures = o.picture;
    facts.picture_limits[0] = j->map_limits[0];
    facts.picture_limits[1] = j->map_limits[1];
    facts.out = o.out;
    facts.areas = j->areas;
    facts.aligned = o.coregister ? &j->run.aligned : nullptr;
    facts.errors = j->errors;
    facts.learned = o.error_from_stable ? &j->learned : nullptr;
    facts.correlation = j->extras.correlation;
    facts.thresholds = o.lod > 0 || o.confidence > 0;
    facts.detection = j->extras.detection;
    facts.classes = j->extras.classes;
    facts.error_2D = j->error_path_2D;
    facts.error_3D = j->error_path_3D;
}

// The distributions, their CSV and picture.
bool write_distributions(const Options &o, Job *j, std::string *error)
{
    if (!j->extras.histograms)
        return true;
    const OutputSet &set = j->run.outputs;
    if (!histogram_table(j->result.histogram_2D, &j->table_2D, error) ||
        !histogram_table(j->result.histogram_3D, &j->table_3D, error)) {
        *error = "--histogram: " + *error;
        return false;
    }
    if (!o.histogram.empty() &&
        !write_staged_text(set, o.histogram, histogram_csv({"2D", "3D"}, {j->table_2D, j->table_3D}), error))
        return false;
    HistogramPictureOptions picture;
    picture.of_volume = o.histogram_of == "volume";
    picture.title = "Distribution of the 2D difference, after \u2212 before";
    picture.thresholds = threshold_lines(o, j->run, false, &picture.threshold_label);
    return histogram_png(j->table_2D, picture, &j->histogram_png_bytes, error) &&
           (j->histogram_png_path.empty() || write_staged_text(set, j->histogram_png_path, j->histogram_png_bytes, error));
}

// The pictures of the learned error model.
bool write_error_model(const Options &o, Job *j, std::string *error)
{
    if (!o.error_from_stable || (!o.picture && o.report.empty()))
        return true;
    const OutputSet &set = j->run.outputs;
    if (!error_slope_png(j->learned, &j->error_slope_bytes, error))
        return false;
    if (j->learned.variogram.fitted && !variogram_png(j->learned.variogram, &j->variogram_bytes, error))
        return false;
    if (o.picture && !write_staged_text(set, o.out + "_error_slope.png", j->error_slope_bytes, error))
        return false;
    if (o.picture && j->variogram_bytes.empty())
        drop_output(&j->run.outputs, o.out + "_variogram.png"); // no correlation could be fitted
    else if (o.picture && !write_staged_text(set, o.out + "_variogram.png", j->variogram_bytes, error))
        return false;
    return true;
}

// The report's inputs: each file described, with its coordinate system
// and its cells without data.
bool report_inputs(const Options &o, const Job &j, nlohmann::json *inputs, std::string *error)
{
    const Run &run = j.run;
    if (!describe_file(o.before.path, &(*inputs)["before"], error) ||
        !describe_file(o.after.path, &(*inputs)["after"], error))
        return false;
    (*inputs)["before"]["crs"] = crs_name(run.before.grid.crs_wkt);
    (*inputs)["after"]["crs"] = crs_name(run.after.grid.crs_wkt);
    (*inputs)["before"]["nodata_cells"] = j.result.counts.nodata_before;
    (*inputs)["after"]["nodata_cells"] = j.result.counts.nodata_after;
    const SigmaInput *sigmas[2] = {&run.sigma_before, &run.sigma_after};
    const char *sigma_roles[2] = {"sigma_before", "sigma_after"};
    for (int k = 0; k < 2; k++)
        if (j.errors && sigmas[k]->is_raster) {
            if (!describe_file(sigmas[k]->given, &(*inputs)[sigma_roles[k]], error))
                return false;
            (*inputs)[sigma_roles[k]]["kind"] = "error raster, " + sigmas[k]->raster.kind;
            (*inputs)[sigma_roles[k]]["nodata_cells"] = sigmas[k]->nodata_cells;
        }
    if (!o.classes.empty()) {
        if (!describe_file(o.classes, &(*inputs)["classes"], error))
            return false;
        (*inputs)["classes"]["kind"] = run.classes.layer.from_vector ? "vector, rasterised onto the grid" : "class raster";
    }
    return true;
}

// The report's parameters: the options the figures depend on.
nlohmann::json report_parameters(const Options &o, const Job &j)
{
    nlohmann::json parameters = {{"output type", o.type}};
    if (!o.sigma_before.empty()) {
        parameters["error of before, sigma (m or raster)"] = o.sigma_before;
        parameters["error of after, sigma (m or raster)"] = o.sigma_after;
    }
    if (o.error_from_stable)
        parameters["errors"] = "learned from stable ground by slope (--error-from-stable), the model in the JSON";
    if (o.lod > 0)
        parameters["level of detection (m)"] = o.lod;
    if (o.confidence > 0)
        parameters["confidence level"] = o.confidence, parameters["confidence level, two-sided normal quantile z"] = j.extras.detection.z;
    if (o.correlation_range > 0)
        parameters["correlation range (m)"] = o.correlation_range;
    if (!o.classes.empty())
        parameters["class field"] = o.class_field.empty() ? std::string("(feature id)") : o.class_field;
    parameters["histogram bin width (m)"] = j.table_2D.width;
    if (!o.resample.empty())
        parameters["AFTER resampled"] = o.resample;
    if (o.coregister)
        parameters["AFTER aligned onto BEFORE (--coregister)"] = "yes, the fit in the JSON";
    return parameters;
}

// The JSON, the CSV and the HTML report.
bool write_tables(const Options &o, Job *j, std::string *error)
{
    const OutputSet &set = j->run.outputs;
    if (!o.json.empty() && !write_staged_text(set, o.json, json_text(change_json(j->facts, j->result)), error))
        return false;
    if (!o.csv.empty() && !write_staged_text(set, o.csv, change_csv(j->facts, j->result), error))
        return false;
    if (o.report.empty())
        return true;
    nlohmann::json summary = change_json(j->facts, j->result);
    summary["program"] = PROGRAM;
    summary["version"] = project_version();
    summary["command_line"] = o.command_line;
    if (!o.date.empty())
        summary["date"] = o.date;
    if (!report_inputs(o, *j, &summary["inputs"], error))
        return false;
    summary["parameters"] = report_parameters(o, *j);
    if (!j->errors)
        summary["error_models"] = nlohmann::json::array(
            {"No errors were given (--sigma-before, --sigma-after): the volumes carry no uncertainty."});
    std::map<std::string, std::string> pictures = {
        {"2D", j->maps[0].png}, {"3D", j->maps[1].png}, {"histogram", j->histogram_png_bytes}};
    if (!j->error_slope_bytes.empty())
        pictures["error_slope"] = j->error_slope_bytes;
    if (!j->variogram_bytes.empty())
        pictures["variogram"] = j->variogram_bytes;
    return write_staged_text(set, o.report, valid_utf8(report_html(summary, pictures)), error);
}

// The run, stage by stage. Every output is staged first and put in place
// at once at the end, then the table: a run that fails leaves the earlier
// files and says nothing of a budget.
int run_change(const Options &o)
{
    Job j;
    std::string error;
    if (!stage_outputs(o, &j.run, &error) || !open_surveys(o, &j, &error) || !learn_errors(o, &j, &error) ||
        !open_layers(o, &j, &error) || !open_rasters(o, &j, &error))
        return run_error(PROGRAM, error);
    describe_pass(o, &j);
    if (!run_pass(o, &j, &error) || !write_maps(o, &j, &error))
        return run_error(PROGRAM, error);
    describe_run(o, &j);
    if (!write_distributions(o, &j, &error) || !write_error_model(o, &j, &error) || !write_tables(o, &j, &error) ||
        !commit_outputs(&j.run.outputs, &error))
        return run_error(PROGRAM, error);
    print_change_table(j.facts, j.result);
    return EXIT_DONE;
}

// What options need of, or exclude from, one other option: checked by
// CLI11 as it parses, said as a usage error ("--class-field requires
// --classes").
void relate_options(CLI::App &app)
{
    CLI::Option *learned = app.get_option("--error-from-stable");
    for (const char *given : {"--sigma-before", "--sigma-after", "--correlation-range"})
        learned->excludes(given);
    app.get_option("--variogram-pairs")->needs(learned);
    app.get_option("--class-field")->needs("--classes");
}

// What the options need of each other beyond one option (one of two, a
// pair, a value in range): the first rule a command line breaks, said as a
// usage error; empty when it breaks none.
std::string option_conflicts(const CLI::App &app, const Options &o)
{
    const bool errors_known = !o.sigma_before.empty() || o.error_from_stable;
    if (!o.coregister && !o.error_from_stable && (!o.stable.empty() || !o.unstable.empty()))
        return "--stable and --unstable need --coregister or --error-from-stable";
    if (o.sigma_before.empty() != o.sigma_after.empty())
        return "give both --sigma-before and --sigma-after (0 for a survey without error)";
    if (!errors_known && o.confidence > 0)
        return "--confidence needs the surveys' errors: --sigma-before and --sigma-after, or --error-from-stable";
    if (!errors_known && (o.error_out || o.correlation_range > 0))
        return std::string(o.error_out ? "--error-out" : "--correlation-range") +
               " needs the surveys' errors: --sigma-before and --sigma-after" +
               (o.error_out ? ", or --error-from-stable" : "");
    if (app.count("--confidence") > 0 && !(o.confidence > 0 && o.confidence < 1))
        return "--confidence: a level strictly between 0 and 1, such as 0.95";
    if ((app.count("--limit") > 0 || app.count("--picture-size") > 0) && !o.picture && o.report.empty())
        return std::string(app.count("--limit") > 0 ? "--limit" : "--picture-size") + " needs --picture or --report";
    return "";
}

// The command line as a shell would take it back: words of plain
// characters as they are, others in single quotes.
std::string quoted_command_line(int argc, char **argv)
{
    std::string line;
    for (int k = 0; k < argc; k++) {
        const std::string arg = argv[k];
        bool plain = !arg.empty();
        for (char c : arg)
            plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_./=:,+%@", c) != nullptr);
        std::string quoted = "'";
        for (char c : arg)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += (k > 0 ? " " : "") + (plain ? arg : quoted + "'");
    }
    return line;
}

} // namespace

int dem_change_program(int argc, char **argv)
{
    CLI::App app;
    setup_command_line(app, PROGRAM, DESCRIPTION);
    Options o;
    add_options(app, &o);
    relate_options(app);
    const int parsed = parse_command_line(app, argc, argv);
    if (parsed >= 0)
        return finish_run(PROGRAM, parsed); // --help, --version or a usage error
    o.out = output_base(o.out);
    o.before.z_scale_given = app.count("--z-scale-before") > 0;
    o.after.z_scale_given = app.count("--z-scale-after") > 0;
    std::string usage = option_conflicts(app, o);
    std::vector<std::string> creation_options;
    if (usage.empty() && compression_options(o.compress, o.level, &creation_options, &usage)) {
        creation_options.insert(creation_options.end(), o.creation_options.begin(), o.creation_options.end());
        o.creation_options = creation_options;
    }
    if (!usage.empty())
        return finish_run(PROGRAM, usage_error(PROGRAM, usage));
    o.command_line = quoted_command_line(argc, argv);
    hold_gdal_messages();
    GDALAllRegister();
    // GDAL decodes the tiles of one read in as many threads (GeoTIFF inputs).
    CPLSetConfigOption("GDAL_NUM_THREADS", std::to_string(o.threads).c_str());
    const int status = run_guarded(PROGRAM, [&] { return run_change(o); });
    print_gdal_messages(PROGRAM);
    release_picture_fonts();
    return finish_run(PROGRAM, status);
}
