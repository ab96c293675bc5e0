// Maps of the differences: PNGs in the project's change colours (lowering
// red, raising blue, white at 0, no difference grey) over a hill shading of
// BEFORE, with a title, a colour bar in metres, a legend, a scale bar, a
// north arrow where the grid is north-up, and beside the PNG a world file
// and the CRS, so that a GIS places the picture on the ground.
//
// A map is drawn into memory (draw_change_map) from the paths its caller
// hands it, and written by the caller to the paths it chooses.
#ifndef CHANGE_PICTURE_H
#define CHANGE_PICTURE_H

#include "change_histogram.h"
#include "dem_input.h"

#include <string>
#include <vector>

// The map's long side in pixels by default.
const int MAP_SIZE = 1000;
// Share of the cells that the default limit of the colours covers.
const double ROBUST_SHARE = 0.98;

// The limit of the colours (m, ±limit at the ends of the map): the
// ROBUST_SHARE quantile of |d| over the cells of a histogram that changed
// (d ≠ 0), read from its bins as the upper edge of the bin where the
// count reaches the share, rounded up to two significant digits and never
// beyond the largest |d|; largest_abs when the histogram is empty, 1 when
// nothing changed.
double robust_limit(const ChangeHistogram &h, double largest_abs);

// The share of the changed cells of a histogram whose |d| lies beyond limit
// (those in bins wholly above it), drawn in the end colours; 0 when limit
// reaches the largest |d|.
double beyond_share(const ChangeHistogram &h, double limit, double largest_abs);

struct ChangeMapSource {
    std::string difference;     // a raster of d (m) with its nodata value, on BEFORE's grid
    DemInputOptions before;     // BEFORE, read again for the shading
    GridFacts grid;             // BEFORE's grid
    // The shading of a first map, kept here and reused by the next map of
    // the same grid and size, so that BEFORE is read once (null: not kept).
    std::vector<double> *shading = nullptr;
};

struct ChangeMapOptions {
    std::string title;          // at the top
    double limit = 1;           // m at both ends of the colours
    std::string limit_how;      // how it was chosen, under the bar ("98th percentile of |d|")
    double beyond = 0;          // share of the cells beyond ±limit (0: none)
    int size = MAP_SIZE;        // pixels on the map's long side
    bool shade = true;          // the hill shading of BEFORE under the colours
};

struct ChangeMap {
    std::string png;            // the PNG's bytes
    std::string world_file;     // its world file (.pgw), empty without georeferencing
    std::string aux_xml;        // its CRS as GDAL's .aux.xml, empty without a CRS
    int width = 0, height = 0;  // the picture, pixels
    int map_x = 0, map_y = 0;   // upper-left pixel of the map in it
    int map_width = 0, map_height = 0;
};

// Draws the map. False, with *error naming the file, when an input cannot
// be read or cairo fails.
bool draw_change_map(const ChangeMapSource &source, const ChangeMapOptions &options, ChangeMap *map,
                     std::string *error);

// A QGIS layer style (.qml) for a difference raster: a single-band
// pseudocolour renderer whose interpolated ramp is the maps' (deep red at
// -limit, white at 0, deep blue at +limit; values beyond take the end
// colours), nodata transparent. Saved beside a raster under its name with
// .qml, QGIS loads it as the raster's default style.
std::string qgis_style(double limit);

// The world file's name beside a picture: its extension replaced by .pgw.
std::string world_file_path(const std::string &png_path);

#endif
