// The differential check of the fast arithmetic: random cases run through
// the reference kernel and through a fast path, every stored value compared
// bit for bit. Shared by the test suite (a few thousand small frames) and by
// fastkernel_check (as many cells as asked for).
#ifndef DIFFERENTIAL_H
#define DIFFERENTIAL_H

#include "difference_fast.h"

#include <cstdint>
#include <string>

// Families of values a case draws its DEMs from.
enum ValueFamily {
    FAMILY_TERRAIN,        // a smooth terrain and a later survey of it
    FAMILY_RANDOM_16,      // independent values over the 2-byte range
    FAMILY_RANDOM_32,      // independent values over the whole 4-byte range
    FAMILY_FLATS,          // flat areas apart by whole, halved and doubled steps
    FAMILY_NEAR_MIDPOINTS, // values whose conversion lies next to a rounding boundary
    FAMILY_MAGNITUDES,     // values of every magnitude from 1 to 2^31, both signs
    FAMILY_TINY_AND_HUGE,  // differences of a unit or two, and of the whole 4-byte range
    FAMILY_RAW_METRES,     // heights in metres of every magnitude from 2^-1074 to 2^500
    FAMILY_COUNT
};

// The outcome of one case.
struct CaseOutcome {
    std::string mismatch; // empty when every value matched, else the first difference
    long long cells;      // cells of the frame
};

// Builds case `seed` (frames of at most max_side lines and columns; the
// family is chosen from the seed unless `family` is given) and compares
// the fast path `path` with the reference: both conversions to metres, the
// two result matrices, both volumes and both misfit counts.
CaseOutcome check_case(uint64_t seed, int max_side, KernelPath path, KernelCounts *counts, int family = -1);

// The same frames (in metres) line by line through line_differences_fast,
// with cells without data (NaN) scattered over both DEMs when `gaps`:
// every cell whose window has data in both must hold cell_differences'
// values bit for bit.
CaseOutcome check_line_case(uint64_t seed, int max_side, KernelPath path, int family, bool gaps);

#endif
