// The project's colour maps for pictures of DEMs and of differences:
// piecewise-linear between fixed stops.
#ifndef COLOUR_MAPS_H
#define COLOUR_MAPS_H

// t from -1 (most negative, deep blue) through 0 (white) to 1 (deep red);
// values beyond take the end colours.
void diverging_colour(double t, unsigned char rgb[3]);

// t from 0 (lowest, green) through yellow and brown to 1 (highest, pale).
void hypsometric_colour(double t, unsigned char rgb[3]);

#endif
