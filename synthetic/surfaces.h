// Synthetic DEMs for the differential checks and the benchmarks of the
// arithmetic: smooth terrains and later surveys of them, random values over
// a range, and a reproducible generator. Values are integers in a DEM unit,
// as the tool loads them.
#ifndef SURFACES_H
#define SURFACES_H

#include <cstdint>

// A small reproducible generator (splitmix64).
struct Random {
    uint64_t state;
};
uint64_t next_random(Random *r);
// Uniform in [lo, hi].
long long random_between(Random *r, long long lo, long long hi);
// Uniform in [0, 1).
double random_unit(Random *r);

// A smooth terrain: heights between base_m and base_m + relief_m metres,
// several octaves of ridges and valleys plus a roughness of about a
// decimetre, stored in the unit of `interv` (0 m .. 3 mm).
void synthetic_terrain(int *const *itab, int nb_lig, int nb_col, double base_m, double relief_m, int interv,
                       uint64_t seed);

// A later survey of `before` in the same unit: every cell moved by a noise
// of at most `noise` units, and `changes` rounded areas (scars and deposits,
// cuts and fills) raised or lowered by up to `depth` units at their centre.
void later_survey(int *const *before, int *const *after, int nb_lig, int nb_col, int noise, int changes, int depth,
                  uint64_t seed);

// Independent values uniform in [lo, hi].
void random_values(int *const *itab, int nb_lig, int nb_col, long long lo, long long hi, uint64_t seed);

#endif
