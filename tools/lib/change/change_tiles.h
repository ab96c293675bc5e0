// dem_change by tiles: what a task of a cluster does with one tile of the
// grid (its window read with the cells around it, the pass of change_pass
// over the tile's cells, the tile's differences written as GeoTIFFs), and
// what the run does with the tiles' budgets (merged exactly, in any order,
// into the whole pass's; handed between processes as exact words) and its
// report (dem_change's JSON). The plain pass with a level of detection:
// the surveys' errors, classes, distributions, pictures and alignment need
// the whole grid in one pass (dem_change itself).
#ifndef CHANGE_TILES_H
#define CHANGE_TILES_H

#include "change_pass.h"
#include "dem_input.h"
#include "geo_area.h"

#include <gdal.h>

#include <string>
#include <vector>

// dem_change's options that a tiled run takes.
struct TiledChange {
    DemInputOptions before, after; // pixel_size: --pixel
    double lod = 0;                // --lod, m
    GDALDataType type = GDT_Float32;
    std::vector<std::string> creation_options; // of the tiles' GeoTIFFs (--compress, --level, --co)
    int threads = 1;                           // compressing a tile's outputs
};

// Both inputs opened and checked as dem_change checks them (one grid, the
// heights' units, the cell areas). False, with dem_change's message.
// *warning: a note on the areas (a grid without a CRS), else empty. The
// caller closes both inputs (close_dem_input) whatever the outcome.
bool open_change_pair(const TiledChange &run, DemInput *before, DemInput *after, GridAreas *areas,
                      std::string *warning, std::string *error);

// A tile of the frame: its first line and column, its size.
struct Tile {
    int line = 0, column = 0, lines = 0, columns = 0;
};

// One tile's work: its window and the cells around it read from both
// inputs, the pass over the tile's cells, the differences written as
// GeoTIFFs at out_2D and out_3D (the tile's georeferencing, the outputs'
// type and nodata), the tile's budget into *result. False, with *error.
bool change_tile(const TiledChange &run, const Tile &tile, const std::string &out_2D, const std::string &out_3D,
                 ChangeResult *result, std::string *error);

// Adds the budgets and counts of a part of a grid (a block of the plain
// pass) into those of the whole; exact, so the order does not matter. A
// whole without a cell yet (ChangeResult()) takes the part's cell area and
// level of detection; parts of different ones are refused (false, *error).
bool change_result_merge(ChangeResult *into, const ChangeResult &from, std::string *error);

// A part's budgets and counts as whole numbers (the exact sums' words, the
// reals' bits), for handing between processes; read back by
// change_result_from_words into the same part (false, with *error, for
// words that are not such a part's).
std::vector<long long> change_result_words(const ChangeResult &r);
bool change_result_from_words(const std::vector<long long> &words, ChangeResult *r, std::string *error);

// The JSON text dem_change writes (--json) for these inputs and budgets,
// the outputs named out_2D and out_3D.
bool change_tiles_json(const TiledChange &run, const ChangeResult &r, const std::string &out_2D,
                       const std::string &out_3D, std::string *text, std::string *error);

#endif
