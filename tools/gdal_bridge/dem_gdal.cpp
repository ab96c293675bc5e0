// dem_gdal: brings GIS rasters (GeoTIFF, ASCII grids, ERDAS, … anything
// GDAL reads) into DEM pairs for skarnovelt_v2, and DEM and result pairs
// back out as GeoTIFF.
//
// Exit status: 0 done, 1 failed (said on standard error), 2 bad command line.
#include "cli_support.h"
#include "dem_files.h"
#include "gdal_bridge.h"
#include "host.h"
#include "units.h"

#include <cpl_error.h>
#include <gdal.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const PROGRAM = "dem_gdal";

const char *const USAGE = "Usage: dem_gdal import [options] SOURCE PAIR\n"
                          "       dem_gdal export [options] PAIR OUTPUT.tif\n"
                          "       dem_gdal --help | --version";

const char *const DESCRIPTION = "Brings GIS rasters into DEM pairs for skarnovelt_v2, and DEM and result pairs\n"
                                "back out as GeoTIFF. 'dem_gdal import --help' and 'dem_gdal export --help' show\n"
                                "one command alone.";

const char *const NOTES = "Example: dem_gdal import -t m4 -u mm survey.tif site/s1\n"
                          "         dem_gdal export site/change_2D_m4.raw change.tif\n"
                          "Exit status: 0 done, 1 failed (said on standard error), 2 bad command line.";

// What import and export read alike.
void add_quiet(CLI::App &command, bool *quiet)
{
    command.add_flag("-q,--quiet", *quiet, "no progress bar (shown from about a million\ncells)");
}

void define_import(CLI::App &app, ImportOptions *o)
{
    CLI::App *import = app.add_subcommand(
        "import", "Reads one band of SOURCE (any raster GDAL reads, heights in metres) and\n"
                  "writes the DEM pair PAIR_m2.raw/.txt or PAIR_m4.raw/.txt for skarnovelt_v2,\n"
                  "heights rounded to the nearest unit, with the sidecar PAIR_m?.vrt that keeps\n"
                  "the georeferencing (a GIS opens the pair through it).");
    set_usage(*import, "Usage: dem_gdal import [options] SOURCE PAIR");
    import->add_option("SOURCE", o->source, "raster to read")->required()->type_name("");
    import->add_option("PAIR", o->pair, "base of the pair to write")->required()->type_name("");
    add_type_option(*import, "-t,--type", &o->itype, "value type: m2 unsigned 16-bit (0..65535), m4\nsigned 32-bit (required)");
    add_unit_option(*import, "-u,--unit", &o->unit, UNITS_IN - 1,
                    "height unit of the pair: " + height_unit_names(UNITS_IN - 1) + " or 0..3\nas in the tool's dialogue (required)");
    add_whole_option(*import, "-b,--band", &o->band, 1, 2147483647, "band of SOURCE (default 1)");
    add_real_option(*import, "--fill", &o->fill_metres, -1e300, 1e300, false, "a height in metres",
                    "fill nodata cells with HEIGHT metres (default:\nrefuse a SOURCE with nodata cells)")
        ->type_name("HEIGHT");
    add_real_option(*import, "--z-scale", &o->z_scale, 0, 1e300, true, "a factor above 0",
                    "metres in one unit of the band's values (default\n1; needed when the band declares a unit other\nthan metres)")
        ->type_name("FACTOR");
    add_real_option(*import, "--pixel-size", &o->pixel_size, 0, 1e300, true, "a size in metres above 0",
                    "cell size in metres of a SOURCE without\ngeotransform")
        ->type_name("SIZE");
    add_quiet(*import, &o->quiet);
}

void define_export(CLI::App &app, ExportOptions *o)
{
    CLI::App *exp = app.add_subcommand(
        "export", "Writes the DEM pair or result pair PAIR (its .raw or .txt, e.g.\n"
                  "site/a_m4.raw or site/diff_2D_m2.txt) as a tiled, DEFLATE-compressed\n"
                  "GeoTIFF.");
    set_usage(*exp, "Usage: dem_gdal export [options] PAIR OUTPUT.tif");
    exp->add_option("PAIR", o->pair, "raster or descriptor of the pair to read")->required()->type_name("");
    exp->add_option("OUTPUT.tif", o->output, "GeoTIFF to write")->required()->type_name("");
    add_unit_option(*exp, "-u,--unit", &o->unit, UNITS_OUT - 1,
                    "unit the values are stored in: m, dm, cm,\n"
                    "mm, 0.1mm, 0.01mm or 0..5 (default: from the\n"
                    "sidecar of an imported pair)");
    exp->add_flag("--signed", o->signed16,
                  "read _m2 values as signed 16-bit (a result\nstored as _m2 keeps negative differences as\n65536 - |d|)");
    exp->add_flag("--stored", o->stored,
                  "write the stored integers (UInt16, Int16 or\nInt32, with the scale to metres) instead of\nFloat32 metres");
    add_real_option(*exp, "--nodata", &o->nodata, -1e300, 1e300, false, "a number",
                    "nodata value (default -9999 for metres; for\nintegers 65535 for UInt16, the type's minimum\notherwise)")
        ->type_name("VALUE");
    exp->add_flag("--keep-border", o->keep_border,
                  "results: keep the first and last line and column\n(0, never computed) instead of writing them as\nnodata");
    exp->add_option("--georef", o->georef,
                    "take the georeferencing from FILE, for example\n"
                    "the sidecar or the original of an imported DEM\n"
                    "(default: the sidecar of PAIR when there is\none)")
        ->check(CLI::Validator(
            [](std::string &word) { return word.empty() ? std::string("a file name is needed") : std::string(); }, "",
            "file"))
        ->type_name("FILE");
    exp->add_flag("--overviews", o->overviews, "build internal overviews (2, 4, 8, ...)");
    exp->add_option("--co", o->creation_options,
                    "GeoTIFF creation option, after the defaults\nTILED=YES, COMPRESS=DEFLATE, ZLEVEL=1,\nPREDICTOR=1, BIGTIFF=IF_SAFER (repeatable)")
        ->check(CLI::Validator(
            [](std::string &word) {
                const size_t eq = word.find('=');
                return eq == std::string::npos || eq == 0 ? "'" + word + "' is not NAME=VALUE" : std::string();
            },
            "", "creation option"))
        ->type_name("NAME=VALUE");
    add_quiet(*exp, &o->quiet);
}

} // namespace

int main(int argc, char **argv)
{
    host_start(); // an interrupted run leaves no temporary file behind
    ImportOptions import;
    ExportOptions exp;
    CLI::App app;
    setup_command_line(app, PROGRAM, DESCRIPTION);
    app.set_version_flag("--version", std::string(PROGRAM) + " " + project_version() +
                                          ", companion of skarnovelt_v2, with GDAL " + GDALVersionInfo("RELEASE_NAME"));
    set_usage(app, USAGE);
    app.footer(NOTES);
    app.require_subcommand(1);
    define_import(app, &import);
    define_export(app, &exp);
    int status = parse_command_line(app, argc, argv);
    if (status >= 0)
        return finish_run(PROGRAM, status);
    const bool importing = app.got_subcommand("import");
    if (importing) {
        CLI::App *sub = app.get_subcommand("import");
        import.fill = sub->count("--fill") > 0;
        import.z_scale_given = sub->count("--z-scale") > 0;
        if (import.itype < 0 || import.unit < 0)
            return usage_error(PROGRAM, "import needs the value type (--type m2|m4) and the height unit (--unit "
                                        "m|dm|cm|mm)");
    } else {
        exp.nodata_given = app.get_subcommand("export")->count("--nodata") > 0;
    }

    hold_gdal_messages();
    GDALAllRegister();
    status = run_guarded(PROGRAM, [&] { return importing ? import_dem(import) : export_dem(exp); });
    print_gdal_messages(PROGRAM);
    GDALDestroyDriverManager();
    return finish_run(PROGRAM, status);
}
