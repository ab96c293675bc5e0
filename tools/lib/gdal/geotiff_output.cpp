#include "geotiff_output.h"

#include <cpl_error.h>
#include <cpl_string.h>

#include <algorithm>

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
    const double row_bytes = static_cast<double>(nb_col) * GDALGetDataTypeSizeBytes(type);
    int lines = 256;
    while (lines > 16 && 4 * lines * row_bytes > 16.0 * 1024 * 1024)
        lines /= 2;
    return lines;
}

int output_tile_columns(int nb_col, int tile_lines)
{
    return nb_col >= 512 && tile_lines < 256 ? 512 : 256;
}

namespace {

std::string gdal_reason(const std::string &path, const char *what)
{
    const char *msg = CPLGetLastErrorMsg();
    return path + ": " + what + (msg != nullptr && *msg != '\0' ? std::string(": ") + msg : std::string());
}

// The defaults, then the given options over them.
char **creation_options(const GeoTiffLayout &layout)
{
    // Tiles no higher than the frame (in steps of 16, as TIFF tiles go): a
    // frame of a few lines and millions of columns would otherwise fill and
    // compress tiles of mostly empty lines.
    const int tile_lines = std::min(output_tile_lines(layout.nb_col, layout.type), (layout.nb_lig + 15) / 16 * 16);
    std::vector<std::string> defaults;
    std::string unused;
    compression_options("deflate", 0, &defaults, &unused);
    char **co = nullptr;
    co = CSLSetNameValue(co, "TILED", "YES");
    co = CSLSetNameValue(co, "BLOCKXSIZE", std::to_string(output_tile_columns(layout.nb_col, tile_lines)).c_str());
    co = CSLSetNameValue(co, "BLOCKYSIZE", std::to_string(tile_lines).c_str());
    co = CSLSetNameValue(co, "BIGTIFF", "IF_SAFER");
    co = CSLSetNameValue(co, "NUM_THREADS", layout.threads > 0 ? std::to_string(layout.threads).c_str() : "ALL_CPUS");
    defaults.insert(defaults.end(), layout.options.begin(), layout.options.end());
    for (const std::string &option : defaults) {
        const size_t eq = option.find('=');
        co = CSLSetNameValue(co, option.substr(0, eq).c_str(),
                             eq == std::string::npos ? "" : option.substr(eq + 1).c_str());
    }
    return co;
}

} // namespace

GeoTiffLayout geotiff_layout(int nb_lig, int nb_col, GDALDataType type, const double *geotransform,
                         const std::string &crs_wkt)
{
    GeoTiffLayout layout;
    layout.nb_lig = nb_lig;
    layout.nb_col = nb_col;
    layout.type = type;
    layout.geotransform = geotransform;
    layout.crs_wkt = crs_wkt;
    return layout;
}

GDALDatasetH create_geotiff(const std::string &path, const std::string &write_at, const GeoTiffLayout &layout,
                            std::string *error)
{
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (driver == nullptr) {
        *error = "GDAL has no GTiff driver";
        return nullptr;
    }
    char **co = creation_options(layout);
    CPLErrorReset();
    GDALDatasetH ds = GDALCreate(driver, write_at.c_str(), layout.nb_col, layout.nb_lig, 1, layout.type, co);
    CSLDestroy(co);
    if (ds == nullptr) {
        *error = gdal_reason(path, "cannot create the GeoTIFF");
        return nullptr;
    }
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    bool ok = true;
    if (layout.geotransform != nullptr)
        ok = GDALSetGeoTransform(ds, const_cast<double *>(layout.geotransform)) == CE_None;
    if (ok && !layout.crs_wkt.empty())
        ok = GDALSetProjection(ds, layout.crs_wkt.c_str()) == CE_None;
    if (ok && layout.has_nodata)
        ok = GDALSetRasterNoDataValue(band, layout.nodata) == CE_None;
    if (ok && !layout.unit.empty())
        ok = GDALSetRasterUnitType(band, layout.unit.c_str()) == CE_None;
    if (!ok) {
        *error = gdal_reason(path, "cannot set the georeferencing of the GeoTIFF");
        GDALClose(ds);
        return nullptr;
    }
    return ds;
}

bool close_geotiff(GDALDatasetH dataset, const std::string &path, std::string *error)
{
    // Each write says its own failure; what the close writes is said here.
    CPLErrorReset();
    GDALClose(dataset);
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
        *error = gdal_reason(path, "cannot complete the GeoTIFF");
        return false;
    }
    return true;
}
