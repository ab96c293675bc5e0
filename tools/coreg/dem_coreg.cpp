// dem_coreg: aligns one DEM (TO_ALIGN) onto another (REFERENCE) before the
// two are differenced. The horizontal shift and the vertical bias of
// TO_ALIGN are estimated on stable ground by the method of Nuth and Kääb
// (2011) (coreg.h), and TO_ALIGN is written resampled onto REFERENCE's grid
// with both removed. The program is a function of its command line
// (dem_coreg_program.h), called by main (dem_coreg_main.cpp) and by the
// Python module alike.
#include "dem_coreg_program.h"
#include "cli_support.h"
#include "coreg.h"
#include "gdal_bridge.h"
#include "output_set.h"
#include "host.h"

#include <cpl_conv.h>
#include <gdal.h>

#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "dem_coreg";

// Rasters of at least this many cells show the progress of their writing.
const long long PROGRESS_CELLS = 4000000;
// GDAL's block cache, unless GDAL_CACHEMAX says otherwise.
const GIntBig GDAL_CACHE_BYTES = 64LL << 20;

const char *const DESCRIPTION =
    "Aligns TO_ALIGN onto REFERENCE before differencing: estimates on stable ground\n"
    "the horizontal shift and the vertical bias of TO_ALIGN relative to REFERENCE,\n"
    "and writes TO_ALIGN resampled onto REFERENCE's grid with both removed: OUT\n"
    "(.tif added when missing), float32 metres, REFERENCE's georeferencing, nodata\n"
    "-3.4028235e38 where TO_ALIGN does not cover.\n"
    "\n"
    "Method: Nuth and Kaab (2011, The Cryosphere 5, 271-290). On stable cells,\n"
    "dh = TO_ALIGN - REFERENCE satisfies dh/tan(slope) = a cos(b - aspect) + c; this\n"
    "program fits the equivalent linear least-squares form on REFERENCE's gradient,\n"
    "dh = -(sx dz/dx + sy dz/dy) + dz, shifts, resamples and fits again until the\n"
    "step is below 0.01 cell. Each fit leaves out slopes below 3 or above 70\n"
    "degrees and dh beyond 3 NMAD of the median (NMAD = 1.4826 median|dh - median|).\n"
    "The bias is the median dh on the stable cells after the shift. Assumes the\n"
    "stable ground did not change and the misalignment is a translation (no\n"
    "rotation, no scale) of less than 50 cells. Grids over 4 million cells are fitted\n"
    "on a regular subsample (--fit-cells).\n"
    "\n"
    "Sign convention: the shift is where TO_ALIGN lies relative to REFERENCE. A\n"
    "feature at map (x, y) in REFERENCE is at (x + shift_x, y + shift_y) in TO_ALIGN\n"
    "(x east, y north), bias_z higher. OUT(x, y) = TO_ALIGN(x + shift_x, y + shift_y)\n"
    "- bias_z. Cells: the shift in metres over the cell width and height.\n"
    "\n"
    "Grids in degrees (longitude, latitude) are fitted in metres on the local scale\n"
    "of REFERENCE's mean latitude phi, taken constant over the grid: a degree of\n"
    "longitude N cos(phi) pi/180 m, of latitude M pi/180 m, N and M the radii of\n"
    "curvature of the prime vertical and of the meridian on the CRS's ellipsoid\n"
    "(Snyder 1987, USGS Prof. Paper 1395, eqs. 4-18, 4-20). The shift is applied and\n"
    "also reported in degrees. At the north and south edges of a grid spanning D\n"
    "degrees of latitude the true metres of a degree of longitude differ from the\n"
    "mean's by about tan(phi) D/2 pi/180 (0.9% for 1 degree at 46 N, 1.8% for 2),\n"
    "of latitude by under 0.01% for 1 degree: good for grids of a few degrees.\n"
    "\n"
    "Resampling, for the fit and for OUT alike (this program's own, in memory):\n"
    "bilinear, or cubic convolution (Keys 1981, a = -0.5, GDAL's 'cubic'), falling\n"
    "back to bilinear next to nodata. Exit status: 0 done, 1 an input unusable or\n"
    "the shift undetermined (nothing written), 2 a bad command line.";

struct Options {
    CoregOptions coreg;
    std::string output, json;
    std::string resampling = "bilinear";
    std::vector<std::string> creation_options;
    bool quiet = false;
};

std::string with_tif(const std::string &path)
{
    const size_t dot = path.rfind('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string ext = path.substr(dot);
        for (char &ch : ext)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (ext == ".tif" || ext == ".tiff")
            return path;
    }
    return path + ".tif";
}

void print_report(const Options &o, const Alignment &a)
{
    const CoregResult &r = a.result;
    std::printf("REFERENCE  %s\nTO_ALIGN   %s\n", o.coreg.reference.path.c_str(), o.coreg.to_align.path.c_str());
    std::string ground = o.coreg.stable.empty() ? "every cell" : "the cells of " + o.coreg.stable;
    if (!o.coreg.unstable.empty())
        ground += " outside " + o.coreg.unstable;
    std::printf("stable ground: %s\n", ground.c_str());
    std::printf("shift of TO_ALIGN relative to REFERENCE (%s resampling):\n",
                o.coreg.resampling == RESAMPLE_CUBIC ? "cubic" : "bilinear");
    std::printf("  x (east)       %12.4f m   %9.4f cells\n", r.shift_x_m, r.shift_x_cells);
    std::printf("  y (north)      %12.4f m   %9.4f cells\n", r.shift_y_m, r.shift_y_cells);
    if (r.degrees)
        std::printf("  in degrees     x %.10f, y %.10f (at latitude %.6f: %.4f m a degree east, %.4f m north)\n",
                    r.shift_x_deg, r.shift_y_deg, r.scale_latitude, r.metres_per_degree_x, r.metres_per_degree_y);
    std::printf("  vertical bias  %12.4f m   (TO_ALIGN above REFERENCE)\n", r.bias_z_m);
    std::printf("  iterations     %12d     %s\n", r.iterations,
                !r.determined ? "(shift undetermined: not applied)"
                              : r.converged ? "(converged: last step below 0.01 cell)" : "(not converged)");
    std::printf("  cells used     %12lld     of %lld stable cells with data in both", r.cells_used, r.stable_cells);
    if (r.sample_step > 1)
        std::printf(" (one cell in %d x %d)", r.sample_step, r.sample_step);
    std::printf("\ndh = TO_ALIGN - REFERENCE on stable ground:\n");
    std::printf("                 median (m)     NMAD (m)\n");
    std::printf("  before       %12.4f %12.4f\n", r.before.median_m, r.before.nmad_m);
    std::printf("  after        %12.4f %12.4f\n", r.after.median_m, r.after.nmad_m);
}

int fit_and_write(const Options &o, const MaskScratch &mask_scratch, OutputSet *outputs);

int run(const Options &o)
{
    for (const std::string *input : {&o.coreg.reference.path, &o.coreg.to_align.path})
        if (same_file(*input, o.output))
            return input_error(PROGRAM, o.output, "is an input: choose another output");
    // OUT and the JSON staged before the fit, so that an output that cannot
    // be written is said first; both put in place together at the end. The
    // masks' polygons are burnt beside them, in the run's private folder.
    OutputSet outputs;
    std::string error, staged_out, staged_json;
    MaskScratch mask_scratch;
    if (!begin_outputs(o.output, {o.coreg.reference.path, o.coreg.to_align.path, o.coreg.stable, o.coreg.unstable},
                       &outputs, &error) ||
        !stage_output(&outputs, o.output, &staged_out, &error) ||
        (!o.json.empty() && !stage_output(&outputs, o.json, &staged_json, &error)) ||
        !stage_mask_scratch(&outputs, o.output, "coreg", o.coreg.stable, o.coreg.unstable, &mask_scratch, &error)) {
        abandon_outputs(&outputs);
        return run_error(PROGRAM, error);
    }
    const int status = fit_and_write(o, mask_scratch, &outputs);
    abandon_outputs(&outputs); // nothing left once committed
    return status;
}

int fit_and_write(const Options &o, const MaskScratch &mask_scratch, OutputSet *outputs)
{
    Alignment alignment;
    std::string error;
    CoregOptions coreg = o.coreg;
    coreg.mask_scratch = mask_scratch;
    if (!coregister(coreg, &alignment, &error)) {
        if (!alignment.result.determined)
            std::fprintf(stderr, "%s: %s; nothing written (--force writes TO_ALIGN with the bias removed and no "
                                 "shift)\n",
                         PROGRAM, error.c_str());
        else
            std::fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
        return EXIT_FAILED;
    }
    for (const std::string &warning : alignment.warnings)
        std::fprintf(stderr, "%s: warning: %s\n", PROGRAM, warning.c_str());
    print_report(o, alignment);
    std::fflush(stdout);

    const long long cells = static_cast<long long>(alignment.reference.nb_lig) * alignment.reference.nb_col;
    if (!write_aligned(alignment, o.output, staged_path(*outputs, o.output), o.creation_options,
                       !o.quiet && cells >= PROGRESS_CELLS, &error))
        return run_error(PROGRAM, error);
    if (!o.json.empty()) {
        nlohmann::json doc = coreg_json(alignment.result, alignment.resampling);
        doc["reference"] = o.coreg.reference.path;
        doc["to_align"] = o.coreg.to_align.path;
        doc["output"] = o.output;
        doc["stable"] = o.coreg.stable;
        doc["unstable"] = o.coreg.unstable;
        doc["warnings"] = alignment.warnings;
        if (!write_staged_text(*outputs, o.json, json_text(doc), &error))
            return run_error(PROGRAM, error);
    }
    if (!commit_outputs(outputs, &error))
        return run_error(PROGRAM, error);
    std::printf("wrote %s: %d lines, %d columns, float32 metres\n", o.output.c_str(), alignment.reference.nb_lig,
                alignment.reference.nb_col);
    return EXIT_DONE;
}

} // namespace

int dem_coreg_program(int argc, char **argv)
{
    hold_gdal_messages();
    GDALAllRegister();
    // GDAL's block cache holds what one strip of lines touches; its default
    // (a share of the machine's memory) would outgrow TO_ALIGN itself.
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr)
        GDALSetCacheMax64(GDAL_CACHE_BYTES);
    CLI::App app;
    setup_command_line(app, PROGRAM, DESCRIPTION);
    Options o;
    std::string out;
    app.add_option("REFERENCE", o.coreg.reference.path,
                   "the DEM kept in place: a raster GDAL opens, or a DEM pair (.raw/.txt/.vrt)")
        ->required();
    app.add_option("TO_ALIGN", o.coreg.to_align.path, "the DEM shifted onto REFERENCE")->required();
    app.add_option("OUT", out, "the aligned TO_ALIGN, a GeoTIFF (.tif added when missing)")->required();
    app.add_option("--stable", o.coreg.stable,
                   "where the ground is stable: a raster on REFERENCE's grid (non-zero cells), or polygons")
        ->type_name("RASTER|VECTOR");
    app.add_option("--unstable", o.coreg.unstable,
                   "where the ground changed (glaciers, the landslide): left out of the fit")
        ->type_name("RASTER|VECTOR");
    app.add_option("--resample", o.resampling, "bilinear (default) or cubic, for the fit and for OUT")
        ->check(CLI::IsMember({"bilinear", "cubic"}));
    app.add_option("--max-iterations", o.coreg.max_iterations, "fits at most (default 10)")
        ->check(CLI::Range(1, 100));
    app.add_flag("--force", o.coreg.force,
                 "write OUT even when the shift is undetermined (no shift applied, the bias alone)");
    app.add_option("--json", o.json, "write the figures as JSON to this file")->type_name("FILE");
    app.add_option("--band-ref", o.coreg.reference.band, "band of REFERENCE (default 1)")->check(CLI::PositiveNumber);
    app.add_option("--band-align", o.coreg.to_align.band, "band of TO_ALIGN (default 1)")->check(CLI::PositiveNumber);
    add_unit_option(app, "--unit-ref", &o.coreg.reference.unit, 3,
                    "height unit of a REFERENCE pair (default: from its sidecar)");
    add_unit_option(app, "--unit-align", &o.coreg.to_align.unit, 3,
                    "height unit of a TO_ALIGN pair (default: from its sidecar)");
    double pixel = 0;
    add_real_option(app, "--pixel", &pixel, 0, DBL_MAX, true, "a length in metres above 0",
                    "cell size in metres of inputs without georeferencing");
    app.add_option("--fit-cells", o.coreg.max_fit_cells,
                   "at most about this many cells in the fit (a regular subsample; default 4000000)")
        ->check(CLI::Range(1000LL, 1000000000LL));
    add_creation_option(app, "--co", &o.creation_options, "GeoTIFF creation option NAME=VALUE for OUT (repeatable)");
    app.add_flag("-q,--quiet", o.quiet, "no progress bar");
    const int status = parse_command_line(app, argc, argv);
    if (status >= 0)
        return finish_run(PROGRAM, status); // --help, --version or a usage error
    o.coreg.resampling = o.resampling == "cubic" ? RESAMPLE_CUBIC : RESAMPLE_BILINEAR;
    o.coreg.reference.pixel_size = o.coreg.to_align.pixel_size = pixel;
    o.output = with_tif(out);
    const int done = run_guarded(PROGRAM, [&] { return run(o); });
    print_gdal_messages(PROGRAM);
    return finish_run(PROGRAM, done);
}
