#include "raster_output.h"

#include <cpl_error.h>
#include <cpl_string.h>

#include <cfloat>
#include <cmath>
#include <cstdio>

double output_nodata(GDALDataType type) { return type == GDT_Float32 ? -static_cast<double>(FLT_MAX) : -DBL_MAX; }

const char *const OUTPUT_COMPRESSIONS[4] = {"deflate", "zstd", "lerc", "none"};

bool compression_options(const std::string &compression, int level, std::vector<std::string> *options,
                         std::string *error)
{
    struct Codec {
        const char *name, *gdal, *level_option;
        int default_level, max_level;
    };
    static const Codec codecs[] = {{"deflate", "DEFLATE", "ZLEVEL", 1, 12},
                                   {"zstd", "ZSTD", "ZSTD_LEVEL", 1, 22},
                                   {"lerc", "LERC", nullptr, 0, 0},
                                   {"none", "NONE", nullptr, 0, 0}};
    for (const Codec &c : codecs) {
        if (compression != c.name)
            continue;
        if (c.level_option == nullptr && level != 0) {
            *error = "--level: " + compression + " has no level";
            return false;
        }
        if (c.level_option != nullptr && (level < 0 || level > c.max_level)) {
            *error = "--level: " + compression + " takes a level from 1 to " + std::to_string(c.max_level);
            return false;
        }
        options->push_back(std::string("COMPRESS=") + c.gdal);
        if (c.level_option != nullptr) {
            options->push_back(std::string(c.level_option) + "=" + std::to_string(level > 0 ? level : c.default_level));
            options->push_back("PREDICTOR=1");
        }
        if (compression == "lerc")
            options->push_back("MAX_Z_ERROR=0");
        return true;
    }
    *error = "--compress: " + compression + " is none of deflate, zstd, lerc, none";
    return false;
}

int output_tile_lines(int nb_col, GDALDataType type)
{
    const double row_bytes = static_cast<double>(nb_col) * (type == GDT_Float32 ? 4 : 8);
    int lines = 256;
    while (lines > 16 && 4 * lines * row_bytes > 16.0 * 1024 * 1024)
        lines /= 2;
    return lines;
}

static std::string gdal_message(const char *what)
{
    const char *msg = CPLGetLastErrorMsg();
    return std::string(what) + (msg != nullptr && *msg != '\0' ? std::string(": ") + msg : std::string());
}

bool open_output(const std::string &path, const std::string &write_at, const GridFacts &grid, GDALDataType type,
                 const std::vector<std::string> &creation_options, int threads, RasterOutput *out,
                 std::string *error)
{
    out->path = path;
    out->write_at = write_at;
    out->type = type;
    out->nb_col = grid.nb_col;
    out->nodata = output_nodata(type);
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (driver == nullptr) {
        *error = "GDAL has no GTiff driver";
        return false;
    }
    const int tile_lines = output_tile_lines(grid.nb_col, type);
    char **options = nullptr;
    options = CSLSetNameValue(options, "TILED", "YES");
    options = CSLSetNameValue(options, "BLOCKXSIZE", "256");
    options = CSLSetNameValue(options, "BLOCKYSIZE", std::to_string(tile_lines).c_str());
    options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
    options = CSLSetNameValue(options, "ZLEVEL", "1");
    options = CSLSetNameValue(options, "BIGTIFF", "IF_SAFER");
    options = CSLSetNameValue(options, "NUM_THREADS", std::to_string(threads).c_str());
    for (const std::string &option : creation_options) {
        const size_t eq = option.find('=');
        options = CSLSetNameValue(options, option.substr(0, eq).c_str(), option.substr(eq + 1).c_str());
    }
    CPLErrorReset();
    out->dataset = GDALCreate(driver, write_at.c_str(), grid.nb_col, grid.nb_lig, 1, type, options);
    CSLDestroy(options);
    if (out->dataset == nullptr) {
        *error = path + ": " + gdal_message("cannot create the GeoTIFF");
        abandon_output(out);
        return false;
    }
    if (grid.has_geotransform)
        GDALSetGeoTransform(out->dataset, const_cast<double *>(grid.geotransform));
    if (!grid.crs_wkt.empty())
        GDALSetProjection(out->dataset, grid.crs_wkt.c_str());
    out->band = GDALGetRasterBand(out->dataset, 1);
    GDALSetRasterNoDataValue(out->band, out->nodata);
    GDALSetRasterUnitType(out->band, "metre");
    int block_x = 0;
    GDALGetBlockSize(out->band, &block_x, &out->tile_lines);
    return true;
}

bool write_output_lines(RasterOutput *out, int first, int count, double *lines, std::string *error)
{
    const double limit = out->type == GDT_Float32 ? static_cast<double>(FLT_MAX) : DBL_MAX;
    const size_t n = static_cast<size_t>(count) * out->nb_col;
    for (size_t k = 0; k < n; k++) {
        double v = lines[k];
        if (std::isnan(v)) {
            lines[k] = out->nodata;
            continue;
        }
        const double stored = out->type == GDT_Float32 ? static_cast<double>(static_cast<float>(v)) : v;
        if (!(std::fabs(stored) < limit)) {
            char where[160];
            std::snprintf(where, sizeof where, "the difference %g m at line %lld, column %lld", v,
                          static_cast<long long>(first + k / out->nb_col), static_cast<long long>(k % out->nb_col));
            *error = out->path + ": " + where + " does not fit the output type" +
                     (out->type == GDT_Float32 ? " (try --type float64)" : "");
            return false;
        }
    }
    CPLErrorReset();
    if (GDALRasterIO(out->band, GF_Write, 0, first, out->nb_col, count, lines, out->nb_col, count,
                     GDT_Float64, 0, 0) != CE_None) {
        *error = out->path + ": " + gdal_message("cannot write");
        return false;
    }
    return true;
}

bool finish_output(RasterOutput *out, std::string *error)
{
    CPLErrorReset();
    GDALClose(out->dataset);
    out->dataset = nullptr;
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
        *error = out->path + ": " + gdal_message("cannot complete the GeoTIFF");
        abandon_output(out);
        return false;
    }
    return true;
}

void abandon_output(RasterOutput *out)
{
    if (out->dataset != nullptr)
        GDALClose(out->dataset);
    out->dataset = nullptr;
}
