// Whether a raster lies on the grid of the DEMs: the one check every input
// that must share that grid goes through (the second survey, the rasters of
// errors, of classes and of stable ground).
//
// The rule: the same number of lines and columns; both georeferenced or
// neither (a raster with a geotransform beside one without cannot be shown
// to cover the same ground, so it is refused); when both are, each term of
// the geotransform within a millionth of a cell at the far corner of the
// grid; the same coordinate system, or none on either side.
#ifndef GRID_CONFORMANCE_H
#define GRID_CONFORMANCE_H

#include "dem_input.h"

#include <gdal.h>

#include <string>

// What GDAL tells of an open raster's grid: its size, its geotransform and
// its coordinate system.
GridFacts raster_grid(GDALDatasetH dataset);

// True when layer lies on grid by the rule above. Otherwise *what names the
// first difference, the grid as grid_name ("BEFORE", "the DEMs") and the
// raster as layer_name ("AFTER", "the raster").
bool on_same_grid(const GridFacts &grid, const GridFacts &layer, const std::string &grid_name,
                  const std::string &layer_name, std::string *what);

// The same check for a raster that must lie on the grid of the DEMs (errors,
// classes, stable ground): *what is then "not on the grid of BEFORE: " and
// the difference, sizes as "6 lines x 5 columns against 5 x 6".
bool layer_on_grid(const GridFacts &grid, const GridFacts &layer, const std::string &grid_name, std::string *what);

#endif
