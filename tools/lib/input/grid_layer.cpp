#include "grid_layer.h"

#include "gdal_bridge.h"
#include "geotiff_output.h"
#include "grid_conformance.h"
#include "host.h"
#include "tool_support.h"

#include <cpl_error.h>
#include <gdal_alg.h>
#include <ogr_srs_api.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

bool fail(std::string *error, const std::string &path, const std::string &what)
{
    *error = path + ": " + what;
    return false;
}

// Geometries burnt at a time: memory bounded by a batch, not the file.
const size_t BURN_BATCH = 1000;
// GDAL's block cache while burning, bytes.
const GIntBig BURN_CACHE = 32 * 1024 * 1024;

// A batch of geometries (in the grid's coordinates) with their values.
struct Batch {
    std::vector<OGRGeometryH> geoms;
    std::vector<double> values;
    ~Batch() { clear(); }
    void clear()
    {
        for (OGRGeometryH g : geoms)
            OGR_G_DestroyGeometry(g);
        geoms.clear();
        values.clear();
    }
};

bool burn_batch(GDALDatasetH ds, Batch *batch, const std::string &path, std::string *error)
{
    if (batch->geoms.empty())
        return true;
    int band = 1;
    CPLErrorReset();
    const CPLErr err = GDALRasterizeGeometries(ds, 1, &band, static_cast<int>(batch->geoms.size()),
                                               batch->geoms.data(), nullptr, nullptr, batch->values.data(), nullptr,
                                               nullptr, nullptr);
    batch->clear();
    if (err != CE_None)
        return fail(error, path, std::string("cannot be rasterised onto the grid: ") + CPLGetLastErrorMsg());
    return true;
}

// The transformation of a layer's features into the grid's coordinate
// system (null when none is needed). False, with *error, when the layer
// cannot be placed on the grid.
bool layer_to_grid(OGRLayerH layer, OGRSpatialReferenceH grid_srs, const std::string &path,
                   OGRCoordinateTransformationH *to_grid, std::string *error)
{
    *to_grid = nullptr;
    OGRSpatialReferenceH layer_srs = OGR_L_GetSpatialRef(layer);
    if (grid_srs == nullptr)
        return true;
    if (layer_srs == nullptr)
        return fail(error, path, std::string("its layer ") + OGR_L_GetName(layer) +
                                     " has no coordinate system, so its features cannot be placed on the grid: "
                                     "give it one (ogr2ogr -a_srs EPSG:CODE)");
    if (OSRIsSame(layer_srs, grid_srs))
        return true;
    OGRSpatialReferenceH from = OSRClone(layer_srs);
    OSRSetAxisMappingStrategy(from, OAMS_TRADITIONAL_GIS_ORDER);
    *to_grid = OCTNewCoordinateTransformation(from, grid_srs);
    OSRDestroySpatialReference(from);
    if (*to_grid == nullptr)
        return fail(error, path, "its coordinate system cannot be transformed to the grid's");
    return true;
}

// Burns the features of one layer, by batches.
bool burn_layer(OGRLayerH layer, OGRCoordinateTransformationH to_grid, const FeatureBurn &burn, GDALDatasetH ds,
                const std::string &path, Batch *batch, std::string *error)
{
    if (burn.begin_layer && !burn.begin_layer(layer, error))
        return false;
    OGR_L_ResetReading(layer);
    bool ok = true;
    OGRFeatureH feature;
    while (ok && (feature = OGR_L_GetNextFeature(layer)) != nullptr) {
        OGRGeometryH geom = OGR_F_GetGeometryRef(feature);
        double value = 1;
        if (geom != nullptr && (ok = burn.value(feature, &value, error))) {
            OGRGeometryH copy = OGR_G_Clone(geom);
            batch->geoms.push_back(copy);
            batch->values.push_back(value);
            if (to_grid != nullptr && OGR_G_Transform(copy, to_grid) != OGRERR_NONE)
                ok = fail(error, path,
                          "feature " + std::to_string(OGR_F_GetFID(feature)) + " cannot be put in the grid's CRS");
        }
        OGR_F_Destroy(feature);
        if (ok && batch->geoms.size() >= BURN_BATCH)
            ok = burn_batch(ds, batch, path, error);
    }
    return ok;
}

// Burns every feature of every layer into the open GeoTIFF ds.
bool burn_layers(GDALDatasetH vector, GDALDatasetH ds, const GridFacts &grid, const FeatureBurn &burn,
                 const std::string &path, std::string *error)
{
    OGRSpatialReferenceH grid_srs = nullptr;
    if (!grid.crs_wkt.empty()) {
        grid_srs = OSRNewSpatialReference(grid.crs_wkt.c_str());
        OSRSetAxisMappingStrategy(grid_srs, OAMS_TRADITIONAL_GIS_ORDER);
    }
    Batch batch;
    bool ok = true;
    for (int l = 0; ok && l < GDALDatasetGetLayerCount(vector); l++) {
        OGRLayerH layer = GDALDatasetGetLayer(vector, l);
        OGRCoordinateTransformationH to_grid = nullptr;
        ok = layer_to_grid(layer, grid_srs, path, &to_grid, error) &&
             burn_layer(layer, to_grid, burn, ds, path, &batch, error);
        if (to_grid != nullptr)
            OCTDestroyCoordinateTransformation(to_grid);
    }
    ok = ok && burn_batch(ds, &batch, path, error);
    if (grid_srs != nullptr)
        OSRDestroySpatialReference(grid_srs);
    return ok;
}

// The working file of the burnt features: scratch, or a temporary file of
// the run in the system's temporary folder.
bool burnt_file(const std::string &scratch, GridLayer *layer, std::string *error)
{
    if (!scratch.empty()) {
        layer->burnt_path = scratch;
        return true;
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    FILE *f = ec ? nullptr : create_temp_file((folder / "grid_layer.tif").string(), "wb", &layer->burnt_path);
    if (f == nullptr)
        return fail(error, layer->path, "no working file can be created in the temporary folder to rasterise it");
#ifndef _WIN32
    // The temporary folder is shared with the other users: the features
    // burnt there are the user's alone, readable by nobody else (before
    // anything is written into the file).
    const bool private_file = fchmod(fileno(f), S_IRUSR | S_IWUSR) == 0;
    std::fclose(f);
    if (!private_file)
        return fail(error, layer->path, "its working file " + layer->burnt_path + " cannot be made private");
#else
    std::fclose(f);
#endif
    return true;
}

bool open_vector(GDALDatasetH vector, const GridFacts &grid, const FeatureBurn &burn, const std::string &scratch,
                 GridLayer *layer, std::string *error)
{
    if (!grid.has_geotransform)
        return fail(error, layer->path, "features of a vector file need a georeferenced grid to be placed on it");
    if (!burnt_file(scratch, layer, error))
        return false;
    layer->from_vector = true;
    GeoTiffLayout layout = geotiff_layout(grid.nb_lig, grid.nb_col, GDT_Int32, grid.geotransform, grid.crs_wkt);
    layout.threads = 1;
    layer->dataset = create_geotiff(layer->burnt_path, layer->burnt_path, layout, error);
    if (layer->dataset == nullptr)
        return false;
    // GDAL rasterises by chunks of lines as large as its block cache
    // allows: a bounded cache keeps the memory independent of the grid.
    // Whether any cell was burnt is read back under the same cache; closing
    // the file then releases its blocks, and it is read again by lines.
    const GIntBig cache = GDALGetCacheMax64();
    GDALSetCacheMax64(BURN_CACHE);
    bool ok = burn_layers(vector, layer->dataset, grid, burn, layer->path, error);
    GDALFlushCache(layer->dataset);
    double range[2] = {0, 0};
    ok = ok && GDALComputeRasterMinMax(GDALGetRasterBand(layer->dataset, 1), FALSE, range) == CE_None;
    layer->covers_nothing = range[0] == 0 && range[1] == 0;
    GDALClose(layer->dataset);
    GDALSetCacheMax64(cache);
    layer->dataset = ok ? GDALOpen(layer->burnt_path.c_str(), GA_ReadOnly) : nullptr;
    if (ok && layer->dataset == nullptr)
        return fail(error, layer->path, "its rasterised features cannot be read back");
    layer->band = ok ? GDALGetRasterBand(layer->dataset, 1) : nullptr;
    layer->type = GDT_Int32;
    return ok;
}

bool open_raster(GDALDatasetH ds, const GridFacts &grid, const std::string &grid_name, GridLayer *layer,
                 std::string *error)
{
    layer->dataset = ds;
    std::string what;
    if (!layer_on_grid(grid, raster_grid(ds), grid_name, &what))
        return fail(error, layer->path, what + " (a raster must lie on " + grid_name +
                                            "'s grid: gdalwarp -te/-ts puts it there, or give polygons)");
    layer->band = GDALGetRasterBand(ds, 1);
    layer->type = GDALGetRasterDataType(layer->band);
    int has = 0;
    layer->nodata = GDALGetRasterNoDataValue(layer->band, &has);
    layer->has_nodata = has != 0;
    return true;
}

} // namespace

bool open_grid_layer(const std::string &path, const GridFacts &grid, const std::string &grid_name, bool raster_allowed, const FeatureBurn &burn,
                     const std::string &scratch, GridLayer *layer, std::string *error)
{
    GDALAllRegister();
    close_grid_layer(layer);
    if (!check_input_file(path, error))
        return false;
    layer->path = path;
    layer->nb_col = grid.nb_col;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
    GDALDatasetH ds = GDALOpenEx(path.c_str(), (raster_allowed ? GDAL_OF_RASTER : 0) | GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                 nullptr, nullptr, nullptr);
    CPLPopErrorHandler();
    if (ds == nullptr) {
        const std::string why = CPLGetLastErrorMsg();
        return fail(error, path, std::string(raster_allowed ? "neither a raster nor a vector file GDAL can open"
                                                            : "not a vector file GDAL can open") +
                                     (why.empty() ? "" : ": " + why));
    }
    bool ok;
    if (raster_allowed && GDALGetRasterCount(ds) > 0) {
        ok = open_raster(ds, grid, grid_name, layer, error);
    } else {
        ok = GDALDatasetGetLayerCount(ds) > 0
                 ? open_vector(ds, grid, burn, scratch, layer, error)
                 : fail(error, path, raster_allowed ? "holds neither a raster band nor a vector layer"
                                                    : "holds no vector layer");
        GDALClose(ds);
    }
    if (!ok)
        close_grid_layer(layer);
    return ok;
}

bool read_layer_lines(GridLayer *layer, int first, int count, double *values, std::string *error)
{
    const int nb_col = layer->nb_col;
    if (GDALRasterIO(layer->band, GF_Read, 0, first, nb_col, count, values, nb_col, count, GDT_Float64, 0, 0) !=
        CE_None)
        return fail(error, layer->path, layer->from_vector ? "its rasterised features cannot be read back"
                                                           : "cannot read lines " + std::to_string(first) + " to " +
                                                                 std::to_string(first + count - 1));
    if (layer->from_vector)
        return true;
    const size_t n = static_cast<size_t>(count) * static_cast<size_t>(nb_col);
    for (size_t k = 0; k < n; k++)
        if (layer->has_nodata && same_in_type(values[k], layer->nodata, layer->type))
            values[k] = NAN;
    return true;
}

void close_grid_layer(GridLayer *layer)
{
    if (layer->dataset != nullptr)
        GDALClose(layer->dataset);
    if (!layer->burnt_path.empty())
        discard_temp_file(layer->burnt_path);
    *layer = GridLayer();
}
