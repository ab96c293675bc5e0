// Pictures of the differences: PNGs in the project's diverging colours.
#ifndef CHANGE_PICTURE_H
#define CHANGE_PICTURE_H

#include <string>

// The colour of cells without a difference: mid grey, apart from every
// colour of the diverging map.
extern const unsigned char NODATA_RGB[3];

// Largest side of a picture in pixels: larger grids are sampled every
// k-th line and column (nearest cell).
const int PICTURE_MAX_SIDE = 2000;

// Draws the difference raster (written by dem_change) as png_path: red
// where the surface rose, blue where it was lowered, white at 0, the ends of
// the map at ±scale metres (the largest |d|), nodata in NODATA_RGB. Written
// at png_path itself (a staged file of the run). False, with *error, when it
// cannot be.
bool write_change_picture(const std::string &raster, const std::string &png_path, double scale, std::string *error);

#endif
