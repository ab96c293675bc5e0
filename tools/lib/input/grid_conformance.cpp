#include "grid_conformance.h"

#include "tool_support.h"

#include <cpl_string.h>
#include <ogr_srs_api.h>

#include <cmath>

GridFacts raster_grid(GDALDatasetH dataset)
{
    GridFacts g;
    g.nb_col = GDALGetRasterXSize(dataset);
    g.nb_lig = GDALGetRasterYSize(dataset);
    g.has_geotransform = GDALGetGeoTransform(dataset, g.geotransform) == CE_None;
    g.cell_size_known = g.has_geotransform;
    OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset);
    char *wkt = nullptr;
    if (srs != nullptr && OSRExportToWkt(srs, &wkt) == OGRERR_NONE && wkt != nullptr)
        g.crs_wkt = wkt;
    CPLFree(wkt);
    return g;
}

namespace {

// The geotransforms of two grids of one size: a term differs when it moves
// the far corner of the grid by more than a millionth of a cell.
bool same_geotransform(const GridFacts &grid, const GridFacts &layer, const std::string &grid_name,
                       const std::string &layer_name, std::string *what)
{
    const double *g1 = grid.geotransform, *g2 = layer.geotransform;
    const double cell = std::fmax(std::hypot(g1[1], g1[4]), std::hypot(g1[2], g1[5]));
    const double tolerance = 1e-6 * cell;
    const double reach[6] = {1, static_cast<double>(grid.nb_col), static_cast<double>(grid.nb_lig),
                             1, static_cast<double>(grid.nb_col), static_cast<double>(grid.nb_lig)};
    static const char *const names[6] = {"origin x", "cell width", "row rotation",
                                         "origin y", "column rotation", "cell height"};
    for (int k = 0; k < 6; k++)
        if (!(std::fabs(g1[k] - g2[k]) * reach[k] <= tolerance)) {
            *what = std::string("the geotransforms differ in their ") + names[k] + ": " + exact_number(g1[k]) +
                    " in " + grid_name + ", " + exact_number(g2[k]) + " in " + layer_name;
            return false;
        }
    return true;
}

} // namespace

bool on_same_grid(const GridFacts &grid, const GridFacts &layer, const std::string &grid_name,
                  const std::string &layer_name, std::string *what)
{
    if (grid.nb_lig != layer.nb_lig || grid.nb_col != layer.nb_col) {
        *what = "the sizes differ: " + grid_name + " has " + std::to_string(grid.nb_lig) + " lines x " +
                std::to_string(grid.nb_col) + " columns, " + layer_name + " " + std::to_string(layer.nb_lig) +
                " lines x " + std::to_string(layer.nb_col) + " columns";
        return false;
    }
    if (grid.has_geotransform != layer.has_geotransform) {
        *what = "only " + (grid.has_geotransform ? grid_name : layer_name) +
                " is georeferenced, so the two cannot be shown to cover the same ground";
        return false;
    }
    if (grid.has_geotransform && !same_geotransform(grid, layer, grid_name, layer_name, what))
        return false;
    if (!same_crs(grid.crs_wkt, layer.crs_wkt)) {
        *what = grid.crs_wkt.empty() || layer.crs_wkt.empty()
                    ? "only " + (grid.crs_wkt.empty() ? layer_name : grid_name) + " has a coordinate system"
                    : "the coordinate systems differ: " + grid_name + "'s is " + crs_label(grid.crs_wkt) + ", " +
                          layer_name + "'s " + crs_label(layer.crs_wkt);
        return false;
    }
    return true;
}

bool layer_on_grid(const GridFacts &grid, const GridFacts &layer, const std::string &grid_name, std::string *what)
{
    if (grid.nb_lig != layer.nb_lig || grid.nb_col != layer.nb_col) {
        *what = "not on the grid of " + grid_name + ": " + std::to_string(layer.nb_lig) + " lines x " +
                std::to_string(layer.nb_col) + " columns against " + std::to_string(grid.nb_lig) + " x " +
                std::to_string(grid.nb_col);
        return false;
    }
    if (on_same_grid(grid, layer, grid_name, "the raster", what))
        return true;
    *what = "not on the grid of " + grid_name + ": " + *what;
    return false;
}
