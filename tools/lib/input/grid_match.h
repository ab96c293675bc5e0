// Whether two inputs lie on the same grid, and AFTER put onto BEFORE's grid
// by GDAL's warper when asked.
#ifndef GRID_MATCH_H
#define GRID_MATCH_H

#include "dem_input.h"

#include <string>

// True when AFTER lies on BEFORE's grid (on_same_grid, grid_conformance.h).
// Otherwise *what names the first difference.
bool same_grid(const GridFacts &before, const GridFacts &after, std::string *what);

// The gdalwarp command that puts after_path onto the grid of before.
std::string gdalwarp_command(const GridFacts &before, const std::string &after_path);

// Builds a warped VRT in GDAL's memory file system (streamed by the warper
// as it is read) holding band `band` of after_path resampled onto before's
// grid by method ("bilinear" or "cubic"), in float64 with NaN where there
// is no data (float32 when the band's values are float32 or 8- or 16-bit
// integers), keeping the band's unit, scale and offset. *vrt_path receives
// its name, to be opened as any raster; remove it with remove_warped after
// use.
bool warp_onto_grid(const std::string &after_path, int band, const GridFacts &before, const std::string &method,
                    std::string *vrt_path, std::string *error);

// Removes a warped VRT of warp_onto_grid and the VRT of the band it reads
// (a band other than the first).
void remove_warped(const std::string &vrt_path);

#endif
