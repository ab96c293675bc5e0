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

// t from 0 (lowest, green) through yellow and brown to 1 (highest, pale).
void hypsometric_colour(double t, unsigned char rgb[3]);

#endif
