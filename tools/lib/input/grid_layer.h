// A layer of values on the grid of the DEMs, read by lines: band 1 of a
// raster on that grid (the one check of grid_conformance.h), or the
// features of a vector file (any format OGR reads) burnt onto the grid by
// GDAL's rasteriser. What --classes, --stable and --unstable read.
//
// Features are taken from their layer's coordinate system to the grid's
// when both declare one (a layer without one beside a grid with one is
// refused: it cannot be placed); a cell takes a feature's value when its
// centre lies inside (GDAL's rule), a later feature covering an earlier
// one. They are burnt by batches into a tiled GeoTIFF, a working file of
// the run, with GDAL's block cache bounded while they are: the memory is a
// batch of features and the cache, whatever the number of lines.
#ifndef GRID_LAYER_H
#define GRID_LAYER_H

#include "dem_input.h"

#include <gdal.h>
#include <ogr_api.h>

#include <functional>
#include <string>
#include <vector>

// What the features of a vector file burn: begin_layer is called once a
// layer, before its features (to look up a field); value gives the value a
// feature with a geometry burns. Either returns false, with *error, to stop.
// Cells no feature covers hold 0.
struct FeatureBurn {
    std::function<bool(OGRLayerH layer, std::string *error)> begin_layer;
    std::function<bool(OGRFeatureH feature, double *value, std::string *error)> value;
};

struct GridLayer {
    std::string path;
    bool from_vector = false;
    GDALDatasetH dataset = nullptr; // the raster, or the GeoTIFF of the burnt features
    GDALRasterBandH band = nullptr;
    GDALDataType type = GDT_Float64;
    bool has_nodata = false;
    double nodata = 0;
    std::string burnt_path; // that GeoTIFF, removed by close_grid_layer
    bool covers_nothing = false; // burnt features that cover no cell (none, or far from the grid)
    int nb_col = 0;
};

// Opens path on grid (grid_name in messages: "BEFORE", "REFERENCE"): a
// raster when raster_allowed and it opens as one,
// otherwise a vector file whose features burn what burn says. The burnt
// GeoTIFF is written at scratch (a working file of the run's private
// folder, output_set.h), or, when scratch is empty, at a temporary file of
// the run in the system's temporary folder. False, with a message naming
// the file, when it cannot be used.
bool open_grid_layer(const std::string &path, const GridFacts &grid, const std::string &grid_name, bool raster_allowed, const FeatureBurn &burn,
                     const std::string &scratch, GridLayer *layer, std::string *error);

// Reads count lines from line first into values[count × nb_col]: a raster's
// values, NaN where it has no data (NaN, or its nodata value compared in
// its own type); the burnt values of features.
bool read_layer_lines(GridLayer *layer, int first, int count, double *values, std::string *error);

// Closes the dataset and removes the burnt GeoTIFF.
void close_grid_layer(GridLayer *layer);

#endif
