// dem_gdal: brings GIS rasters (GeoTIFF, ASCII grids, ERDAS, … anything
// GDAL reads) into DEM pairs for skarnovelt_v2, and DEM and result pairs
// back out as GeoTIFF.
//
// Exit status: 0 done, 1 failed (said on standard error), 2 bad command line.
#include "answers.h"
#include "dem_files.h"
#include "gdal_bridge.h"
#include "host.h"

#include <cpl_error.h>
#include <gdal.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const usage_text =
    "Usage: dem_gdal import [options] SOURCE PAIR\n"
    "       dem_gdal export [options] PAIR OUTPUT.tif\n"
    "       dem_gdal --help | --version\n"
    "\n"
    "import: reads one band of SOURCE (any raster GDAL reads, heights in metres)\n"
    "and writes the DEM pair PAIR_m2.raw/.txt or PAIR_m4.raw/.txt for skarnovelt_v2,\n"
    "heights rounded to the nearest unit, with the sidecar PAIR_m?.vrt that keeps\n"
    "the georeferencing (a GIS opens the pair through it).\n"
    "  -t, --type m2|m4        value type: m2 unsigned 16-bit (0..65535), m4 signed\n"
    "                          32-bit (required)\n"
    "  -u, --unit UNIT         height unit of the pair: m, dm, cm, mm or 0..3 as in\n"
    "                          the tool's dialogue (required)\n"
    "  -b, --band N            band of SOURCE (default 1)\n"
    "      --fill HEIGHT       fill nodata cells with HEIGHT metres (default: refuse\n"
    "                          a SOURCE with nodata cells)\n"
    "      --z-scale FACTOR    metres in one unit of the band's values (default 1;\n"
    "                          needed when the band declares a unit other than metres)\n"
    "      --pixel-size SIZE   cell size in metres of a SOURCE without geotransform\n"
    "\n"
    "export: writes the DEM pair or result pair PAIR (its .raw or .txt, e.g.\n"
    "site/a_m4.raw or site/diff_2D_m2.txt) as a tiled, DEFLATE-compressed GeoTIFF.\n"
    "  -u, --unit UNIT         unit the values are stored in: m, dm, cm, mm, 0.1mm,\n"
    "                          0.01mm or 0..5 (default: from the sidecar of an\n"
    "                          imported pair)\n"
    "      --signed            read _m2 values as signed 16-bit (a result stored as\n"
    "                          _m2 keeps negative differences as 65536 - |d|)\n"
    "      --stored            write the stored integers (UInt16, Int16 or Int32,\n"
    "                          with the scale to metres) instead of Float32 metres\n"
    "      --nodata VALUE      nodata value (default -9999 for metres; for integers\n"
    "                          65535 for UInt16, the type's minimum otherwise)\n"
    "      --keep-border       results: keep the first and last line and column (0,\n"
    "                          never computed) instead of writing them as nodata\n"
    "      --georef FILE       take the georeferencing from FILE, for example the\n"
    "                          sidecar or the original of an imported DEM (default:\n"
    "                          the sidecar of PAIR when there is one)\n"
    "      --overviews         build internal overviews (2, 4, 8, …)\n"
    "      --co NAME=VALUE     GeoTIFF creation option, after the defaults TILED=YES,\n"
    "                          COMPRESS=DEFLATE, PREDICTOR, BIGTIFF=IF_SAFER\n"
    "\n"
    "Both:\n"
    "  -q, --quiet             no progress bar (shown from about a million cells)\n"
    "  -h, --help              this help\n";

// Usage errors: the message and a hint, exit status 2.
int usage_error(const char *what, const std::string &word)
{
    std::fprintf(stderr, "dem_gdal: %s%s\nTry 'dem_gdal --help'.\n", what, word.c_str());
    return 2;
}

// GDAL's own error and warning texts, passed on as they come.
void CPL_STDCALL pass_on_gdal_error(CPLErr level, CPLErrorNum, const char *message)
{
    if (level == CE_Warning)
        std::fprintf(stderr, "dem_gdal: GDAL warning: %s\n", message);
    else if (level == CE_Failure || level == CE_Fatal)
        std::fprintf(stderr, "dem_gdal: GDAL error: %s\n", message);
}

// The value of option argv[*i]: the word after it, or what follows "=" in
// "--name=value". Advances *i past what it took. False when missing.
bool option_value(int argc, char **argv, int *i, std::string *value)
{
    const char *eq = std::strchr(argv[*i], '=');
    if (std::strncmp(argv[*i], "--", 2) == 0 && eq != nullptr) {
        *value = eq + 1;
        return true;
    }
    if (*i + 1 >= argc)
        return false;
    *i += 1;
    *value = argv[*i];
    return true;
}

// Whether argv[i] is the option, written alone or as "--name=value".
bool is_option(const char *arg, const char *short_name, const char *long_name)
{
    if (short_name != nullptr && std::strcmp(arg, short_name) == 0)
        return true;
    size_t n = std::strlen(long_name);
    return std::strncmp(arg, long_name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

// Takes what import and export read alike: -q/--quiet, an operand ("-" is
// one), or "--" and every argument after it as operands. False when argv[*i]
// is some other option.
bool quiet_or_operand(int argc, char **argv, int *i, bool *quiet, std::vector<std::string> *operands)
{
    const char *arg = argv[*i];
    if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
        *quiet = true;
        return true;
    }
    if (std::strcmp(arg, "--") == 0) {
        for (*i += 1; *i < argc; *i += 1)
            operands->push_back(argv[*i]);
        return true;
    }
    if (arg[0] != '-' || std::strcmp(arg, "-") == 0) {
        operands->push_back(arg);
        return true;
    }
    return false;
}

int run_import(int argc, char **argv)
{
    ImportOptions o;
    std::vector<std::string> operands;
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        std::string value;
        if (quiet_or_operand(argc, argv, &i, &o.quiet, &operands))
            continue;
        if (is_option(arg, "-t", "--type")) {
            if (!option_value(argc, argv, &i, &value))
                return usage_error("missing value after ", arg);
            if (value == "m2" || value == "0")
                o.itype = DEM_M2;
            else if (value == "m4" || value == "1")
                o.itype = DEM_M4;
            else
                return usage_error("--type is m2 or m4, not ", value);
        } else if (is_option(arg, "-u", "--unit")) {
            if (!option_value(argc, argv, &i, &value))
                return usage_error("missing value after ", arg);
            o.unit = parse_unit(value, UNIT_MAX_INPUT);
            if (o.unit < 0)
                return usage_error("the unit of a DEM is m, dm, cm or mm, not ", value);
        } else if (is_option(arg, "-b", "--band")) {
            if (!option_value(argc, argv, &i, &value) || !word_to_int(value, &o.band) || o.band < 1)
                return usage_error("--band takes a band number from 1: ", value);
        } else if (is_option(arg, nullptr, "--fill")) {
            if (!option_value(argc, argv, &i, &value) || !word_to_real(value, &o.fill_metres))
                return usage_error("--fill takes a height in metres: ", value);
            o.fill = true;
        } else if (is_option(arg, nullptr, "--z-scale")) {
            if (!option_value(argc, argv, &i, &value) || !word_to_real(value, &o.z_scale) || !(o.z_scale > 0))
                return usage_error("--z-scale takes a factor above 0: ", value);
            o.z_scale_given = true;
        } else if (is_option(arg, nullptr, "--pixel-size")) {
            if (!option_value(argc, argv, &i, &value) || !word_to_real(value, &o.pixel_size) || !(o.pixel_size > 0))
                return usage_error("--pixel-size takes a size in metres above 0: ", value);
        } else {
            return usage_error("unknown import option ", arg);
        }
    }
    if (operands.size() != 2)
        return usage_error("import takes SOURCE and PAIR", "");
    if (o.itype < 0 || o.unit < 0)
        return usage_error("import needs the value type (--type m2|m4) and the height unit (--unit m|dm|cm|mm)", "");
    o.source = operands[0];
    o.pair = operands[1];
    return import_dem(o);
}

int run_export(int argc, char **argv)
{
    ExportOptions o;
    std::vector<std::string> operands;
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        std::string value;
        if (quiet_or_operand(argc, argv, &i, &o.quiet, &operands))
            continue;
        if (is_option(arg, "-u", "--unit")) {
            if (!option_value(argc, argv, &i, &value))
                return usage_error("missing value after ", arg);
            o.unit = parse_unit(value, UNIT_MAX_RESULT);
            if (o.unit < 0)
                return usage_error("the unit is m, dm, cm, mm, 0.1mm or 0.01mm, not ", value);
        } else if (std::strcmp(arg, "--signed") == 0) {
            o.signed16 = true;
        } else if (std::strcmp(arg, "--stored") == 0) {
            o.stored = true;
        } else if (std::strcmp(arg, "--keep-border") == 0) {
            o.keep_border = true;
        } else if (std::strcmp(arg, "--overviews") == 0) {
            o.overviews = true;
        } else if (is_option(arg, nullptr, "--nodata")) {
            if (!option_value(argc, argv, &i, &value) || !word_to_real(value, &o.nodata))
                return usage_error("--nodata takes a number: ", value);
            o.nodata_given = true;
        } else if (is_option(arg, nullptr, "--georef")) {
            if (!option_value(argc, argv, &i, &o.georef) || o.georef.empty())
                return usage_error("--georef takes a file name", "");
        } else if (is_option(arg, nullptr, "--co")) {
            if (!option_value(argc, argv, &i, &value) || value.find('=') == std::string::npos ||
                value.find('=') == 0)
                return usage_error("--co takes NAME=VALUE: ", value);
            o.creation_options.push_back(value);
        } else {
            return usage_error("unknown export option ", arg);
        }
    }
    if (operands.size() != 2)
        return usage_error("export takes PAIR and OUTPUT.tif", "");
    o.pair = operands[0];
    o.output = operands[1];
    return export_dem(o);
}

} // namespace

int main(int argc, char **argv)
{
    host_start(); // an interrupted run leaves no temporary file behind
    if (argc < 2)
        return usage_error("no command given: import or export", "");
    const char *command = argv[1];
    if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    for (int i = 2; i < argc; i++)
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage_text, stdout);
            return 0;
        }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("dem_gdal, companion of skarnovelt_v2, with GDAL %s\n", GDALVersionInfo("RELEASE_NAME"));
        return 0;
    }
    if (std::strcmp(command, "import") != 0 && std::strcmp(command, "export") != 0)
        return usage_error("unknown command ", command);

    CPLSetErrorHandler(pass_on_gdal_error);
    GDALAllRegister();
    int status = std::strcmp(command, "import") == 0 ? run_import(argc - 2, argv + 2) : run_export(argc - 2, argv + 2);
    GDALDestroyDriverManager();
    std::fflush(stdout);
    return status;
}
