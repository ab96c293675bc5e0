// The distribution of a difference: its cells in bins of equal width, with
// the area and volume of each bin, detected change and change below
// detection apart, gathered in the pass that computes the difference.
//
// Bins are anchored at 0: bin k holds low_k ≤ d < low_k + width with
// low_k = k × width, so that no bin mixes lowering (d < 0) and raising
// (d > 0); unchanged cells (d = 0) are kept apart. A value that lies on an
// edge to within the rounding of d / width is given to the bin above it,
// except a negative value within rounding of 0, which stays on the
// lowering side.
//
// The width: given (--bin-width: every bin from the lowest value to the
// highest), or chosen once the pass is over without a second one: the
// counts are kept in fine bins 10^e m wide (1 µm at first, at most
// FINE_BINS of them, merged ten into one whenever the range of the values
// outgrows them). The width shown is then the Freedman–Diaconis width of
// the non-zero differences, 2 IQR / ∛n (Freedman and Diaconis 1981,
// Z. Wahrscheinlichkeitstheorie verw. Gebiete 57, 453–476), the quartiles
// interpolated within the fine bins, rounded to 1, 2 or 5 times a power of
// ten (a whole number of fine bins, at most 100 bins shown); the bins cover
// the values from their 0.5 % to their 99.5 % quantile, and the cells
// beyond them go to an underflow and an overflow bin of their own, so that
// a few outliers neither widen the bins nor flatten the distribution.
// Memory: the fine bins, whatever the number of cells.
#ifndef CHANGE_HISTOGRAM_H
#define CHANGE_HISTOGRAM_H

#include <string>
#include <vector>

// Fine bins kept at most in the automatic mode, and bins at most with a
// width given.
const long long FINE_BINS = 10000;
const long long MAX_GIVEN_BINS = 1000000;

// Cells, area (m²) and volume (m³, signed) of one part of a bin.
struct BinTally {
    long long cells = 0;
    double area = 0;
    double volume = 0;
};

// One bin: [0] detected change, [1] below detection.
struct HistogramBin {
    BinTally part[2];
};

struct ChangeHistogram {
    bool given_width = false;
    double width = 0;        // m: the width given, or 10^exponent
    int exponent = -6;       // automatic mode: the fine bins are 10^exponent m wide
    long long first = 0;     // index of bins[0]
    long long lo = 0, hi = -1; // indices of the lowest and highest bins holding cells
    std::vector<HistogramBin> bins;
    HistogramBin unchanged;  // d = 0
    bool too_many = false;   // a width given would need more than MAX_GIVEN_BINS bins
    double min = 0, max = 0; // extreme values counted (non-zero), m
};

// A histogram of bins of the given width (m, > 0), or with width 0 one that
// chooses its width at the end.
ChangeHistogram make_histogram(double width);

// Counts a cell of difference d (m, finite), area (m²) and volume (m³),
// detected change or not.
void histogram_count(ChangeHistogram *h, double d, double area, double volume, bool detected);

// A bin as shown: its edges (m), whether it is lowering or raising, its
// two parts.
struct ShownBin {
    double low = 0, high = 0;
    bool lowering = false;
    BinTally detected, below;
};

struct HistogramTable {
    double width = 0;          // m
    bool width_given = false;
    std::vector<ShownBin> bins; // lowest first, every bin between the extremes (empty ones too)
    BinTally unchanged;        // d = 0
    // With the width chosen: the cells below the first bin and above the
    // last (beyond the 0.5 % and 99.5 % quantiles), each bin from the
    // extreme value to the edge of the bins shown; none of either sign mixes
    // lowering and raising.
    bool has_underflow = false, has_overflow = false;
    ShownBin underflow, overflow;
};

// The bins as shown. False, with *error, when a width given would need
// more than MAX_GIVEN_BINS bins.
bool histogram_table(const ChangeHistogram &h, HistogramTable *table, std::string *error);

// The CSV text of one or more tables, one line per bin (the underflow bin
// first and the overflow bin last, when there are any: their from_m or to_m
// is the extreme value) and one for the unchanged cells when there are any:
// difference,from_m,to_m,change,detected_cells,detected_area_m2,
// detected_volume_m3,below_cells,below_area_m2,below_volume_m3.
std::string histogram_csv(const std::vector<std::string> &names, const std::vector<HistogramTable> &tables);

#endif
