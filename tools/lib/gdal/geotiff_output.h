// The one way the companion programs create a raster output: a one-band
// GeoTIFF with one set of defaults, tiled (256 columns by tile lines, no
// higher than the frame), DEFLATE at level 1 without a predictor (the
// default of compression_options), BIGTIFF when needed, threads compressing
// the tiles, then the options the user gives (--co, NAME=VALUE) on top.
// It is created at the path the run's output set staged for it
// (output_set.h), which puts it in place with the run's other outputs.
#ifndef GEOTIFF_OUTPUT_H
#define GEOTIFF_OUTPUT_H

#include <gdal.h>

#include <string>
#include <vector>

// The compressions an output can have: "deflate" (the default, read by
// every GIS), "zstd" (smaller and faster, read by GDAL 2.3 and later, not by
// some older desktop GIS), "lerc" (LERC with no error: exact), "none".
extern const char *const OUTPUT_COMPRESSIONS[4];
// The creation options of a compression at level (0: its default level;
// DEFLATE 1 to 12, ZSTD 1 to 22; LERC and none have no level). DEFLATE and
// ZSTD default to level 1 without a predictor: on both rounded and
// noisy differences that writes two to three times faster than DEFLATE 6
// with the floating-point predictor, in files no more than a few per cent
// larger (smaller on rounded heights; docs/performance.md has the study).
// False, with *error, for an unknown compression or a level out of range.
bool compression_options(const std::string &compression, int level, std::vector<std::string> *options,
                         std::string *error);

// Tile lines for an output of nb_col columns: 256, fewer for wide grids so
// that two rows of tiles of two outputs, which the block cache holds while
// a pass fills them, stay within 16 MiB (64 lines at 10000 columns).
int output_tile_lines(int nb_col, GDALDataType type);
// Tile columns for tiles of tile_lines lines: 256, or 512 for lower tiles
// on grids at least that wide: each tile costs GDAL's compression
// threads a set-up of their own (an in-memory TIFF and a compressor), which
// tiles of 256 x 64 made about a second of a 10000 x 10000 run's CPU time;
// wider still saved little more and took more memory.
int output_tile_columns(int nb_col, int tile_lines);

// What a GeoTIFF output is: its grid, its values, its band's metadata.
struct GeoTiffLayout {
    int nb_lig = 0, nb_col = 0;
    GDALDataType type = GDT_Float32;
    const double *geotransform = nullptr; // GDAL's six terms; null: none written
    std::string crs_wkt;                  // "" for none
    bool has_nodata = false;
    double nodata = 0;
    std::string unit;                     // the band's unit ("metre"), "" for none
    int threads = 0;                      // threads compressing tiles; 0: every core
    std::vector<std::string> options;     // NAME=VALUE over the defaults (compression, then --co)
};

// The layout of a grid's output: its size, value type and georeferencing,
// the band's metadata and the options left to fill.
GeoTiffLayout geotiff_layout(int nb_lig, int nb_col, GDALDataType type, const double *geotransform,
                         const std::string &crs_wkt);

// Creates the GeoTIFF of target path (as messages name it) at write_at.
// Null, with *error naming path, when GDAL cannot create it or set its
// georeferencing and band metadata.
GDALDatasetH create_geotiff(const std::string &path, const std::string &write_at, const GeoTiffLayout &layout,
                            std::string *error);

// Closes the dataset (writing what is left); false, with *error naming
// path and GDAL's reason, when that last write fails.
bool close_geotiff(GDALDatasetH dataset, const std::string &path, std::string *error);

#endif
