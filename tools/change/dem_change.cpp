// dem_change: the signed DEMs of difference AFTER − BEFORE of two rasters
// (any GDAL raster, or DEM pairs of this system's format), the 2D and the
// 3D difference written as GeoTIFFs with nodata, and the change budget of
// both, in one streamed pass whose memory does not grow with the lines.
//
// The steps: read the options, open both inputs, check that they share one
// grid (or warp AFTER onto BEFORE's), open the outputs, the pass, the
// outputs committed, the report.
#include "change_pass.h"
#include "change_picture.h"
#include "change_report.h"
#include "cli_support.h"
#include "coreg.h"
#include "dem_input.h"
#include "geo_area.h"
#include "grid_match.h"
#include "host.h"
#include "raster_output.h"
#include "tool_support.h"
#include "units.h"

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gdal.h>

#include <cfloat>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "dem_change";

struct Options {
    DemInputOptions before, after;
    std::string out;
    std::string type = "float32";
    std::vector<std::string> creation_options;
    std::string resample;
    std::string json, csv;
    bool picture = false;
    int threads = 1;
    double pixel = 0;
    bool coregister = false;
    std::string stable, unstable;
};

const char *const DESCRIPTION =
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
    "with a 2D difference. Volumes are running sums in scan order.\n"
    "\n"
    "skarnovelt_v2 computes first - second: 'dem_change X Y OUT' gives exactly the negation of the tool's\n"
    "differences and volumes with X as first DEM and Y as second, bit for bit (a zero is stored as +0).\n"
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
    "beyond the type's range stops the run. They are written through temporary files and replace earlier ones\n"
    "only once complete. --picture: red where the surface rose, blue where it was lowered, white at 0, the ends\n"
    "of the colours at the largest |d|, mid grey where there is no difference.\n"
    "Exit status: 0 done, 1 an input or output cannot be used, 2 a bad command line.";

void add_options(CLI::App &app, Options *o)
{
    app.add_option("BEFORE", o->before.path, "the earlier DEM")->required();
    app.add_option("AFTER", o->after.path, "the later DEM")->required();
    app.add_option("OUT", o->out, "base of the outputs: OUT_2D.tif, OUT_3D.tif (OUT_2D.png, OUT_3D.png)")->required();
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
    app.add_option("--stable", o->stable, "with --coregister: where the ground is stable (raster or polygons)")
        ->type_name("RASTER|VECTOR");
    app.add_option("--unstable", o->unstable, "with --coregister: where it changed, left out of the alignment")
        ->type_name("RASTER|VECTOR");
    app.add_option("--type", o->type, "output type: float32 (default) or float64 (the differences exactly)")
        ->check(CLI::IsMember({"float32", "float64"}));
    app.add_option("--co", o->creation_options, "GeoTIFF creation option NAME=VALUE (repeatable)")
        ->check([](const std::string &v) {
            return v.find('=') == std::string::npos || v[0] == '=' ? "a creation option is NAME=VALUE" : "";
        });
    add_whole_option(app, "--threads", &o->threads, 1, 64,
                     "threads compressing the outputs, 1 to 64 (the bytes do not depend on it)");
    app.add_option("--json", o->json, "write the budget as JSON to this file");
    app.add_option("--csv", o->csv, "write the budget as CSV to this file");
    app.add_flag("--picture", o->picture, "also write OUT_2D.png and OUT_3D.png (diverging colours)");
}

// Everything open during a run, released on every way out.
struct Run {
    DemInput before, after;
    Alignment aligned; // AFTER aligned onto BEFORE, with --coregister
    bool before_open = false, after_open = false;
    std::string warped; // AFTER's warped VRT in GDAL's memory, when resampled
    RasterOutput out_2D, out_3D;
    ~Run()
    {
        abandon_output(&out_2D);
        abandon_output(&out_3D);
        if (before_open)
            close_dem_input(&before);
        if (after_open)
            close_dem_input(&after);
        if (!warped.empty())
            VSIUnlink(warped.c_str());
    }
};

// GDAL's block cache: a row of tiles of each output and a row of blocks of
// each input, and a margin; the pass holds no more.
void limit_block_cache(const Run &run, const Options &o)
{
    const long long nb_col = run.before.grid.nb_col;
    const int out_bytes = o.type == "float64" ? 8 : 4;
    long long bytes = 2LL * run.out_2D.tile_lines * nb_col * out_bytes;
    for (const DemInput *in : {&run.before, &run.after})
        if (in->band != nullptr) {
            int bx = 0, by = 0;
            GDALGetBlockSize(in->band, &bx, &by);
            bytes += static_cast<long long>(by) * nb_col * (GDALGetDataTypeSizeBytes(GDALGetRasterDataType(in->band)) + 1);
        }
    GDALSetCacheMax64(bytes + 8LL * 1024 * 1024);
}

int run_change(const Options &o)
{
    Run run;
    std::string error, area_note;
    DemInputOptions before_options = o.before, after_options = o.after;
    before_options.pixel_size = after_options.pixel_size = o.pixel;

    // The inputs, on one grid.
    if (!open_dem_input(before_options, &run.before, &error))
        return run_error(PROGRAM, error);
    run.before_open = true;
    if (o.coregister) {
        // AFTER aligned onto BEFORE's grid; its own grid may differ.
        CoregOptions c;
        c.reference = before_options;
        c.to_align = after_options;
        c.stable = o.stable;
        c.unstable = o.unstable;
        c.resampling = o.resample == "cubic" ? RESAMPLE_CUBIC : RESAMPLE_BILINEAR;
        if (!coregister(c, &run.aligned, &error))
            return run_error(PROGRAM, "the alignment of AFTER onto BEFORE failed: " + error);
    } else if (!o.resample.empty()) {
        if (!warp_onto_grid(o.after.path, o.after.band, run.before.grid, o.resample, &run.warped, &error))
            return run_error(PROGRAM, error);
        after_options.path = run.warped;
        after_options.band = 1;
    }
    if (!open_dem_input(after_options, &run.after, &error))
        return run_error(PROGRAM, error);
    run.after_open = true;
    std::string what;
    if (!o.coregister && !same_grid(run.before.grid, run.after.grid, &what))
        return run_error(PROGRAM, "BEFORE and AFTER lie on different grids: " + what + ".\nPut AFTER onto BEFORE's grid: " +
                                      gdalwarp_command(run.before.grid, o.after.path));
    GridAreas areas;
    if (!grid_areas(run.before.grid, &areas, &area_note, &error))
        return input_error(PROGRAM, o.before.path, error);
    if (!area_note.empty())
        warning(PROGRAM, area_note);

    // The outputs, the pass, the outputs in place. No output may replace an
    // input: it would be lost once the run renames the output onto it.
    const GDALDataType type = o.type == "float64" ? GDT_Float64 : GDT_Float32;
    const std::string path_2D = o.out + "_2D.tif", path_3D = o.out + "_3D.tif";
    for (const std::string &output : {path_2D, path_3D, o.out + "_2D.png", o.out + "_3D.png", o.json, o.csv})
        for (const std::string &input : {o.before.path, o.after.path})
            if (!output.empty() && same_file(output, input))
                return run_error(PROGRAM, output + " would replace the input " + input + ": choose another name");
    if (!open_output(path_2D, run.before.grid, type, o.creation_options, o.threads, &run.out_2D, &error) ||
        !open_output(path_3D, run.before.grid, type, o.creation_options, o.threads, &run.out_3D, &error))
        return run_error(PROGRAM, error);
    limit_block_cache(run, o);
    ChangeResult result;
    if (!change_pass(&run.before, &run.after, areas, change_block_lines(run.before.grid.nb_col), &run.out_2D,
                     &run.out_3D, &result, &error, o.coregister ? &run.aligned : nullptr) ||
        !finish_output(&run.out_2D, &error) || !finish_output(&run.out_3D, &error) ||
        !commit_output(&run.out_2D, &error) || !commit_output(&run.out_3D, &error))
        return run_error(PROGRAM, error);
    if (o.picture && (!write_change_picture(path_2D, o.out + "_2D.png", result.max_abs_2D, &error) ||
                      !write_change_picture(path_3D, o.out + "_3D.png", result.max_abs_3D, &error)))
        return run_error(PROGRAM, error);

    // The report.
    ChangeRun facts;
    facts.before = &run.before;
    facts.after = &run.after;
    facts.before_path = o.before.path;
    facts.after_path = o.after.path;
    facts.resampled = o.resample;
    facts.out_2D = path_2D;
    facts.out_3D = path_3D;
    facts.type_name = o.type;
    facts.nodata = output_nodata(type);
    facts.pictures = o.picture;
    facts.out = o.out;
    facts.areas = areas;
    facts.aligned = o.coregister ? &run.aligned : nullptr;
    if (!o.json.empty() && !write_json_file(o.json, change_json(facts, result), &error))
        return run_error(PROGRAM, error);
    if (!o.csv.empty()) {
        std::string temp;
        FILE *f = open_temp(o.csv, "w", &temp, &error);
        const std::string text = change_csv(result);
        if (f == nullptr)
            return run_error(PROGRAM, error);
        std::fputs(text.c_str(), f);
        if (!commit_temp(f, temp, o.csv, &error))
            return run_error(PROGRAM, error);
    }
    print_change_table(facts, result);
    return EXIT_DONE;
}

} // namespace

int main(int argc, char **argv)
{
    host_start();
    CLI::App app;
    setup_command_line(app, PROGRAM, DESCRIPTION);
    Options o;
    add_options(app, &o);
    const int parsed = parse_command_line(app, argc, argv);
    if (parsed >= 0)
        return finish_run(PROGRAM, parsed); // --help, --version or a usage error
    o.before.z_scale_given = app.count("--z-scale-before") > 0;
    o.after.z_scale_given = app.count("--z-scale-after") > 0;
    if (!o.coregister && (!o.stable.empty() || !o.unstable.empty()))
        return finish_run(PROGRAM, usage_error(PROGRAM, "--stable and --unstable need --coregister"));
    GDALAllRegister();
    return finish_run(PROGRAM, run_change(o));
}
