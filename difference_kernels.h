// Row kernels of the fast path (difference_fast.cpp), one table per
// instruction set: plain scalar double arithmetic, and AVX2 with FMA four
// cells at a time. Both tables are compiled from the same kernel source,
// difference_kernels.inc.
//
// Every kernel works on n consecutive elements of line buffers, with n a
// multiple of its table's width; the caller runs the scalar table over the
// remaining elements. A kernel that cannot vouch for an element appends its
// index (from 0 at the first element) to `redo` and returns how many it
// appended; the caller recomputes those elements with the reference.
#ifndef DIFFERENCE_KERNELS_H
#define DIFFERENCE_KERNELS_H

// Magnitudes the kernels accept besides 0. Within these bounds no product,
// sum or scaled error term of the kernels comes near underflow or overflow,
// so every error term is exact. Heights beyond them go to the reference.
const double HEIGHT_MAX = 0x1p300;
const double HEIGHT_MIN = 0x1p-300;
// The same for the differences and volumes handed to the result and sum
// kernels.
const double DIFFERENCE_MAX = 0x1p400;
const double DIFFERENCE_MIN = 0x1p-400;
const double VOLUME_MAX = 0x1p700;
const double VOLUME_MIN = 0x1p-700;

// The magnitudes of one line of heights: the smallest non-zero magnitude
// (infinity when every value is 0), the largest magnitude, and whether every
// value is 0 or within [HEIGHT_MIN, HEIGHT_MAX].
struct RowRange {
    double min_nonzero;
    double max_abs;
    bool in_domain;
};

// What the result kernel needs: cell area, factor of the result unit,
// treatment code and whether the results are 2-byte values.
struct ResultParams {
    double pix_surf;
    double factor;
    int type_treat;
    bool m2;
};

struct RowKernels {
    int width;
    // out = in × factor rounded as convert_to_metres rounds it.
    int (*convert)(const int *in, double *out, int n, double factor, int *redo);
    // Widens *acc by the magnitudes of v.
    void (*range)(const double *v, int n, RowRange *acc);
    // Differences of half-way heights along n edges: d = the difference of
    // (a1 + b1) × 0.5 and (a2 + b2) × 0.5, each rounded as cell_differences
    // rounds it. `exact` says the caller has shown that every sum fits a
    // 64-bit significand; otherwise every rounding is checked and an edge
    // that fails the check is set to NaN, so that the cells using it fail
    // too.
    void (*edges)(const double *a1, const double *b1, const double *a2, const double *b2, double *d, int n,
                  bool exact);
    // c1 - c2 rounded as the 2D difference, NaN where the check fails.
    void (*centre)(const double *c1, const double *c2, double *d, int n, bool exact);
    // The 3D difference of n cells from their nine terms A … I. `exact` says
    // the caller has shown that every partial sum fits a 64-bit significand,
    // the heights lying in [2^a, 2^b) with b - a <= 6; `magic` is then
    // 1.5 × 2^(b+4).
    int (*cells)(const double *const term[9], double *dif3, int n, bool exact, double magic, int *redo);
    // Volumes of n cells, the running sums of the volumes in double
    // (run[q + 1] = run[q] + vol[q], from the run[0] given), and the scaled
    // results; misfits[0] and [1] count the 2D and 3D results outside the
    // result type among the cells not sent back for redoing. The running sums
    // from the first cell sent back on are stale. With `checked`,
    // differences outside [DIFFERENCE_MIN, DIFFERENCE_MAX] (other than 0)
    // are sent back; without, the caller vouches that there are none.
    int (*results)(const double *dif2, const double *dif3, int n, const ResultParams *params, bool checked,
                   double *vol2, double *vol3, double *run2, double *run3, int *out2, int *out3,
                   long long misfits[2], int *redo);
    // For the running sums run[q + 1] = run[q] + local[q] (q from 0 to n - 1)
    // of both volumes, computed in double: the first q whose step may differ
    // in either sum from the extended-precision step, or n.
    int (*first_unsafe_step)(const double *run2, const double *local2, const double *run3, const double *local3,
                             int n);
};

extern const RowKernels SCALAR_KERNELS;
extern const RowKernels AVX2_KERNELS;

#endif
