// Cell areas of a grid in degrees of latitude and longitude, on the
// ellipsoid of its geographic coordinate system.
#ifndef GEO_AREA_H
#define GEO_AREA_H

#include "dem_input.h"

#include <string>

// The area (m²) of the ellipsoidal quadrangle between the latitudes lat1
// and lat2 (degrees, either order, within −90 .. 90) and spanning
// dlon degrees of longitude, on the ellipsoid of semi-major axis a (m) and
// inverse flattening inv_f (0 for a sphere). Exact closed form through the
// authalic-latitude function q (see geo_area.cpp); evaluated in extended
// precision and rounded once to double.
double quadrangle_area(double a, double inv_f, double lat1, double lat2, double dlon);

// The cell areas of a grid: one area for every cell (projected grids: the
// |determinant| of the geotransform times the square of the CRS's linear
// unit in metres; grids without georeferencing: the given cell size
// squared), or one area per line (grids in degrees).
struct GridAreas {
    bool per_line = false;
    double cell_area = 0;        // m², when one area serves every cell
    double a = 0, inv_f = 0;     // ellipsoid, per line
    double top = 0, dlat = 0;    // latitude of the top edge of line 0 and per line, degrees
    double dlon = 0;             // longitude span of a cell, degrees
    int first_line = 0;          // the grid's line of line 0 (a block of lines worked out apart: its window's first)
    std::string how;             // one line for the report
};

// Works out the areas of the grid's cells; a grid without geotransform
// takes the cell size given for it (dem_input). A grid with geotransform but no CRS
// has its units taken as metres, and *warning says so. False, with *error,
// when the areas cannot be known (no geotransform and no pixel size; a
// rotated grid in degrees; latitudes beyond the poles).
bool grid_areas(const GridFacts &grid, GridAreas *areas, std::string *warning, std::string *error);

// The area of each cell of the line (m²).
double line_cell_area(const GridAreas &areas, int line);

#endif
