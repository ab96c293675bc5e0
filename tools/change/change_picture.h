// Pictures of the differences: PNGs in the project's change colours.
#ifndef CHANGE_PICTURE_H
#define CHANGE_PICTURE_H

#include <string>

// Largest side of a picture in pixels: larger grids are sampled every
// k-th line and column (nearest cell).
const int PICTURE_MAX_SIDE = 2000;

// Draws the difference raster (written by dem_change) as png_path in the
// change colours: red where the surface was lowered, blue where it rose,
// white at 0, the ends of
// the map at ±scale metres (the largest |d|), nodata in NODATA_RGB. Written
// through a temporary file. False, with *error, when it cannot be.
bool write_change_picture(const std::string &raster, const std::string &png_path, double scale, std::string *error);

#endif
