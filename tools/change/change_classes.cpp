#include "change_classes.h"

#include "host.h"
#include "tool_support.h"

#include <cpl_error.h>
#include <gdal_alg.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

bool fail(std::string *error, const std::string &path, const std::string &what)
{
    *error = path + ": " + what;
    return false;
}

// Geometries rasterised at a time: memory bounded by a batch, not the file.
const size_t RASTERISE_BATCH = 1000;
// GDAL's block cache while rasterising, bytes.
const GIntBig RASTERISE_CACHE = 32 * 1024 * 1024;

// A raster of classes must lie on the DEMs' grid.
bool on_grid(GDALDatasetH ds, const GridFacts &grid, std::string *what)
{
    if (GDALGetRasterXSize(ds) != grid.nb_col || GDALGetRasterYSize(ds) != grid.nb_lig) {
        *what = "not on the grid of the DEMs: " + std::to_string(GDALGetRasterYSize(ds)) + " lines x " +
                std::to_string(GDALGetRasterXSize(ds)) + " columns against " + std::to_string(grid.nb_lig) + " x " +
                std::to_string(grid.nb_col);
        return false;
    }
    double gt[6];
    if (grid.has_geotransform && GDALGetGeoTransform(ds, gt) == CE_None) {
        const double cell = std::fabs(grid.geotransform[1]) + std::fabs(grid.geotransform[5]);
        for (int k = 0; k < 6; k++)
            if (std::fabs(gt[k] - grid.geotransform[k]) > 1e-6 * cell) {
                *what = "not on the grid of the DEMs: another geotransform";
                return false;
            }
    }
    return true;
}

// The index of a class label, added when new.
bool index_of(ClassSource *s, const nlohmann::json &label, std::map<std::string, int> *known, int *index,
              std::string *error)
{
    const std::string key = label.dump();
    auto found = known->find(key);
    if (found != known->end()) {
        *index = found->second;
        return true;
    }
    if (static_cast<int>(s->labels.size()) > MAX_CLASSES)
        return fail(error, s->path, "more than " + std::to_string(MAX_CLASSES) + " classes");
    *index = static_cast<int>(s->labels.size());
    s->labels.push_back(label);
    (*known)[key] = *index;
    return true;
}

// The class of a feature: its attribute (a number or a text), its id
// without a field, null without the attribute.
nlohmann::json feature_label(OGRFeatureH feature, int field_index, bool by_id)
{
    if (by_id)
        return static_cast<long long>(OGR_F_GetFID(feature));
    if (field_index < 0 || !OGR_F_IsFieldSetAndNotNull(feature, field_index))
        return nullptr;
    OGRFieldDefnH defn = OGR_F_GetFieldDefnRef(feature, field_index);
    switch (OGR_Fld_GetType(defn)) {
    case OFTInteger:
    case OFTInteger64:
        return static_cast<long long>(OGR_F_GetFieldAsInteger64(feature, field_index));
    case OFTReal:
        return OGR_F_GetFieldAsDouble(feature, field_index);
    default:
        return std::string(OGR_F_GetFieldAsString(feature, field_index));
    }
}

bool burn(GDALDatasetH ds, std::vector<OGRGeometryH> *geoms, std::vector<double> *values, const std::string &path,
          std::string *error)
{
    if (geoms->empty())
        return true;
    int band = 1;
    CPLErrorReset();
    const CPLErr err = GDALRasterizeGeometries(ds, 1, &band, static_cast<int>(geoms->size()), geoms->data(), nullptr,
                                               nullptr, values->data(), nullptr, nullptr, nullptr);
    for (OGRGeometryH g : *geoms)
        OGR_G_DestroyGeometry(g);
    geoms->clear();
    values->clear();
    if (err != CE_None)
        return fail(error, path, std::string("cannot be rasterised onto the grid: ") + CPLGetLastErrorMsg());
    return true;
}

// Rasterises every feature of every layer into the open GeoTIFF ds.
bool rasterise_layers(GDALDatasetH vector, GDALDatasetH ds, const GridFacts &grid, ClassSource *s,
                      std::string *error)
{
    OGRSpatialReferenceH grid_srs = nullptr;
    if (!grid.crs_wkt.empty()) {
        grid_srs = OSRNewSpatialReference(grid.crs_wkt.c_str());
        OSRSetAxisMappingStrategy(grid_srs, OAMS_TRADITIONAL_GIS_ORDER);
    }
    std::map<std::string, int> known;
    std::vector<OGRGeometryH> geoms;
    std::vector<double> values;
    bool field_found = s->field.empty();
    bool ok = true;
    for (int l = 0; ok && l < GDALDatasetGetLayerCount(vector); l++) {
        OGRLayerH layer = GDALDatasetGetLayer(vector, l);
        const int field_index = s->field.empty() ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), s->field.c_str());
        field_found = field_found || field_index >= 0;
        OGRCoordinateTransformationH to_grid = nullptr;
        OGRSpatialReferenceH layer_srs = OGR_L_GetSpatialRef(layer);
        if (grid_srs != nullptr && layer_srs != nullptr && !OSRIsSame(layer_srs, grid_srs)) {
            OGRSpatialReferenceH from = OSRClone(layer_srs);
            OSRSetAxisMappingStrategy(from, OAMS_TRADITIONAL_GIS_ORDER);
            to_grid = OCTNewCoordinateTransformation(from, grid_srs);
            OSRDestroySpatialReference(from);
            if (to_grid == nullptr)
                ok = fail(error, s->path, "its CRS cannot be transformed to the grid's");
        }
        OGR_L_ResetReading(layer);
        OGRFeatureH feature;
        while (ok && (feature = OGR_L_GetNextFeature(layer)) != nullptr) {
            OGRGeometryH geom = OGR_F_GetGeometryRef(feature);
            int index = 0;
            if (geom != nullptr) {
                const nlohmann::json label = feature_label(feature, field_index, s->field.empty());
                if (!label.is_null())
                    ok = index_of(s, label, &known, &index, error);
                OGRGeometryH copy = OGR_G_Clone(geom);
                if (ok && to_grid != nullptr && OGR_G_Transform(copy, to_grid) != OGRERR_NONE)
                    ok = fail(error, s->path,
                              "feature " + std::to_string(OGR_F_GetFID(feature)) + " cannot be put in the grid's CRS");
                geoms.push_back(copy);
                values.push_back(index);
            }
            OGR_F_Destroy(feature);
            if (ok && geoms.size() >= RASTERISE_BATCH)
                ok = burn(ds, &geoms, &values, s->path, error);
        }
        if (to_grid != nullptr)
            OCTDestroyCoordinateTransformation(to_grid);
    }
    if (ok)
        ok = burn(ds, &geoms, &values, s->path, error);
    for (OGRGeometryH g : geoms)
        OGR_G_DestroyGeometry(g);
    if (grid_srs != nullptr)
        OSRDestroySpatialReference(grid_srs);
    if (ok && !field_found)
        ok = fail(error, s->path, "no layer has a field named " + s->field);
    return ok;
}

bool open_vector(const GridFacts &grid, const std::string &scratch, ClassSource *s, std::string *error)
{
    GDALDatasetH vector = GDALOpenEx(s->path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (vector == nullptr)
        return fail(error, s->path,
                    s->field.empty() ? "neither a raster nor a vector file GDAL can open"
                                     : "not a vector file GDAL can open (a class raster takes no class field)");
    if (!grid.has_geotransform) {
        GDALClose(vector);
        return fail(error, s->path, "classes from a vector file need DEMs with a geotransform");
    }
    s->temp_path = scratch;
    const char *options[] = {"TILED=YES", "COMPRESS=DEFLATE", nullptr};
    s->dataset = GDALCreate(GDALGetDriverByName("GTiff"), s->temp_path.c_str(), grid.nb_col, grid.nb_lig, 1,
                            GDT_Int32, const_cast<char **>(options));
    if (s->dataset == nullptr) {
        GDALClose(vector);
        return fail(error, s->temp_path, "cannot be created for the classes");
    }
    GDALSetGeoTransform(s->dataset, const_cast<double *>(grid.geotransform));
    if (!grid.crs_wkt.empty())
        GDALSetProjection(s->dataset, grid.crs_wkt.c_str());
    // GDAL rasterises by chunks of lines as large as its block cache
    // allows: a bounded cache keeps the memory independent of the grid.
    const GIntBig cache = GDALGetCacheMax64();
    GDALSetCacheMax64(RASTERISE_CACHE);
    const bool ok = rasterise_layers(vector, s->dataset, grid, s, error);
    GDALFlushCache(s->dataset);
    GDALSetCacheMax64(cache);
    GDALClose(vector);
    if (!ok)
        return false;
    GDALFlushCache(s->dataset);
    s->band = GDALGetRasterBand(s->dataset, 1);
    return true;
}

bool less_label(const nlohmann::json &a, const nlohmann::json &b)
{
    if (a.is_number() != b.is_number())
        return a.is_number();
    if (a.is_number())
        return a.get<double>() < b.get<double>();
    return a.get<std::string>() < b.get<std::string>();
}

} // namespace

bool open_classes(const std::string &path, const std::string &field, const GridFacts &grid,
                  const std::string &scratch, ClassSource *s, std::string *error)
{
    GDALAllRegister();
    if (!check_input_file(path, error))
        return false;
    s->path = path;
    s->field = field;
    s->labels.assign(1, nullptr);
    s->nb_col = grid.nb_col;
    s->nb_lig = grid.nb_lig;
    if (field.empty()) {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        GDALDatasetH raster = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
        CPLPopErrorHandler();
        if (raster != nullptr && GDALGetRasterCount(raster) > 0) {
            std::string what;
            if (!on_grid(raster, grid, &what)) {
                GDALClose(raster);
                return fail(error, path, what);
            }
            s->dataset = raster;
            s->band = GDALGetRasterBand(raster, 1);
            int has = 0;
            s->nodata = GDALGetRasterNoDataValue(s->band, &has);
            s->has_nodata = has != 0;
            return true;
        }
        if (raster != nullptr)
            GDALClose(raster);
    }
    s->from_vector = true;
    if (!open_vector(grid, scratch, s, error)) {
        close_classes(s);
        return false;
    }
    return true;
}

bool read_class_lines(ClassSource *s, int first, int count, int *classes, std::string *error)
{
    const size_t n = static_cast<size_t>(count) * static_cast<size_t>(s->nb_col);
    if (s->from_vector) {
        if (GDALRasterIO(s->band, GF_Read, 0, first, s->nb_col, count, classes, s->nb_col, count, GDT_Int32, 0, 0) !=
            CE_None)
            return fail(error, s->path, "the rasterised classes cannot be read back");
        return true;
    }
    std::vector<double> values(n);
    if (GDALRasterIO(s->band, GF_Read, 0, first, s->nb_col, count, values.data(), s->nb_col, count, GDT_Float64, 0,
                     0) != CE_None)
        return fail(error, s->path, "cannot read lines " + std::to_string(first) + " to " +
                                        std::to_string(first + count - 1));
    for (size_t k = 0; k < n; k++) {
        const double v = values[k];
        if (std::isnan(v) || (s->has_nodata && v == s->nodata)) {
            classes[k] = 0;
            continue;
        }
        auto found = s->raster_index.find(v);
        if (found != s->raster_index.end()) {
            classes[k] = found->second;
            continue;
        }
        if (v != std::floor(v) || std::fabs(v) > 9007199254740992.0)
            return fail(error, s->path,
                        "the class at line " + std::to_string(first + k / s->nb_col) + ", column " +
                            std::to_string(k % s->nb_col) + " is not an integer");
        if (static_cast<int>(s->labels.size()) > MAX_CLASSES)
            return fail(error, s->path, "more than " + std::to_string(MAX_CLASSES) + " classes");
        const int index = static_cast<int>(s->labels.size());
        s->labels.push_back(static_cast<long long>(v));
        s->raster_index[v] = index;
        classes[k] = index;
    }
    return true;
}

std::vector<int> class_order(const ClassSource &s)
{
    std::vector<int> order;
    for (int k = 1; k < static_cast<int>(s.labels.size()); k++)
        order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return less_label(s.labels[a], s.labels[b]); });
    order.push_back(0);
    return order;
}

void close_classes(ClassSource *s)
{
    if (s->dataset != nullptr)
        GDALClose(s->dataset);
    s->dataset = nullptr;
    s->band = nullptr;
    if (!s->temp_path.empty()) {
        discard_temp_file(s->temp_path);
        s->temp_path.clear();
    }
}
