// The project's colour maps for pictures of DEMs and of differences:
// piecewise-linear between fixed stops.
#ifndef COLOUR_MAPS_H
#define COLOUR_MAPS_H

// The one colour convention of every picture of change (the difference
// maps, the histogram, the report, dempicture): lowering (erosion, cut)
// red, raising (deposition, fill) blue, white where nothing changed, a
// neutral grey where there is no difference. The deep tones are the ends of
// the map, the pale ones its half-way points.
extern const unsigned char LOWERING_RGB[3];
extern const unsigned char LOWERING_PALE_RGB[3];
extern const unsigned char NO_CHANGE_RGB[3];
extern const unsigned char RAISING_PALE_RGB[3];
extern const unsigned char RAISING_RGB[3];
extern const unsigned char NODATA_RGB[3];

// The colour of a change of the surface: t = change / limit, where a
// change is negative when the surface was lowered. t = -1 deep red (the
// most lowering shown), 0 white, +1 deep blue; values beyond take the end
// colours. A picture of first - second (where a positive value means the
// surface was lowered from the first to the second) passes -value / limit.
void change_colour(double t, unsigned char rgb[3]);

// The stops of that map, from the deepest lowering (k = 0, t = -1) to the
// deepest raising (k = CHANGE_STOPS - 1, t = +1), for the styles that
// rebuild it elsewhere (a GIS's colour ramp).
const int CHANGE_STOPS = 5;
void change_stop(int k, double *t, unsigned char rgb[3]);

// The light on a cell from a sun 45 degrees above the north-west horizon,
// the cosine between the surface's normal and the sun (0 to 1; sqrt(1/2)
// on flat ground). z: the 3 x 3 window of heights (m), z[0] the north-west
// cell, lines running south, columns east; dx, dy: the distances (m)
// between columns and between lines. The slopes are Horn's estimates
// (Horn 1981, Hill shading and the reflectance map, Proc. IEEE 69(1)):
//   dz/dx (east)  = ((z2 + 2 z5 + z8) - (z0 + 2 z3 + z6)) / (8 dx)
//   dz/dy (south) = ((z6 + 2 z7 + z8) - (z0 + 2 z1 + z2)) / (8 dy)
// and the sun's direction (east, south, up) is (-1/2, -1/2, sqrt(1/2)).
double hill_light(const double z[9], double dx, double dy);

// t from 0 (lowest, green) through yellow and brown to 1 (highest, pale).
void hypsometric_colour(double t, unsigned char rgb[3]);

#endif
