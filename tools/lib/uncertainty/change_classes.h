// Classes of cells for budgets by area: an integer raster on the grid of
// the DEMs, or a vector file (any format OGR reads) rasterised onto that
// grid by GDAL into a working GeoTIFF, both read by lines (grid_layer.h).
//
// Each cell gets a class index: 0 for the class of its own that holds the
// cells without a class (nodata in the raster; cells outside every feature,
// or under a feature without the attribute), 1, 2, … for the classes met.
// Where features overlap, the later one in the file covers the earlier.
// A cell belongs to a feature when its centre lies inside (GDAL's rule).
#ifndef CHANGE_CLASSES_H
#define CHANGE_CLASSES_H

#include "dem_input.h"
#include "grid_layer.h"

#include <gdal.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

// At most this many classes besides the cells without one.
const int MAX_CLASSES = 65535;

struct ClassSource {
    std::string path, field;
    GridLayer layer;                     // the class raster, or the features rasterised (at scratch)
    std::vector<nlohmann::json> labels;  // index → class as shown (labels[0] is null: no class)
    std::map<double, int> raster_index;  // a class raster's values → index
    std::vector<double> values;          // the lines read, before they are classes
    int nb_col = 0, nb_lig = 0;
};

// Opens the classes of path for a grid: a raster (band 1) when path opens
// as one and no field is given, otherwise a vector file whose features are
// rasterised onto the grid, classed by the attribute field (by feature id
// when field is empty), reprojected to the grid's CRS when both declare
// one. The rasterised GeoTIFF is written at scratch (a file of the run's
// private folder, output_set.h: nobody else can reach it by its name).
// False, with a message naming the file, when it cannot be used.
bool open_classes(const std::string &path, const std::string &field, const GridFacts &grid,
                  const std::string &scratch, ClassSource *source, std::string *error);

// Reads count lines from line first into classes[count × nb_col] (class
// indices). False, with *error, on a read error, a value that is not an
// integer, or too many classes.
bool read_class_lines(ClassSource *source, int first, int count, int *classes, std::string *error);

// Class indices in the order the reports list them: the classes sorted by
// their value (numbers before texts), the cells without a class last.
std::vector<int> class_order(const ClassSource &source);

// Closes the layer and removes the rasterised GeoTIFF.
void close_classes(ClassSource *source);

#endif
