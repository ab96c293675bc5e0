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

// The limits of the checks, each where it comes from. E(x) rounds x to a
// 64-bit significand, D(x) to double (difference_kernels.inc).
//
// Half a 64-bit ulp is 2^-11 of half a double ulp: E can move a value onto
// a midpoint between two doubles only from within this fraction of half an
// ulp of it.
const double EXTENDED_HALF_ULP = 0x1p-11;
// The error of a product of two doubles formed as a double-double r + t,
// relative to half an ulp of r: the nine-term mean is formed so. No result
// depends on it: the product's one rounded step cannot carry a mean across
// the edge of a band, and on checked lines the bound B leaves far more room
// (docs/performance.md).
const double PRODUCT_ERROR = 0x1p-45;
// The bound B of the nine-term sum is 2^-64 of the sum of the magnitudes of
// its partial sums (each E-rounding moves a partial sum by at most that
// much), widened by 2^-30 for the rounding of the bound itself; the mean
// multiplies the error by 0.1111…, taken as NINE_TERM_BOUND_FACTOR = 0.12.
const double NINE_TERM_ROUNDING = 0x1p-64 * (1 + 0x1p-30);
const double NINE_TERM_BOUND_FACTOR = 0.12;
// A product truncated to an integer: E keeps an exact product that lies
// below an integer p within 2^-64 of p's power of two on p.
const double TRUNCATION_CLOSE = 0x1p-64;
// Products decided by the result kernel: below 2^51, where every integer
// and every half lies on the double grid and the low 32 bits of the
// truncation follow from the double.
const double TRUNCATION_PRODUCT_MAX = 0x1p51;
// Ratios of the largest to the smallest non-zero magnitude of the heights
// of a band of lines below which a sum is exact in 64 bits (line_mode,
// difference_fast.cpp): heights within a factor 2^9 give sums of two
// heights and differences of two half-way heights of at most 64 bits
// (EDGES_EXACT_RATIO); within 2^5, the partial sums of the nine terms of a
// cell as well (CELLS_EXACT_RATIO).
const double EDGES_EXACT_RATIO = 512;
const double CELLS_EXACT_RATIO = 32;
// The ranges of the result types, as scale_result checks them.
const double M2_RESULT_MIN = -32768.0;
const double M2_RESULT_MAX = 65535.0;
const double M4_RESULT_MIN = -0x1p31;
const double M4_RESULT_MAX = 0x1p31 - 1;

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

// Where the result kernel writes for cells 0 to n - 1 of a line segment:
// the volumes, the running sums of the volumes (run[q + 1] after cell q,
// run[0] given) and the scaled results.
struct ResultLine {
    double *vol2, *vol3;
    double *run2, *run3;
    int *out2, *out3;
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
                   const ResultLine &out, long long misfits[2], int *redo);
    // For the running sums run[q + 1] = run[q] + local[q] (q from 0 to n - 1)
    // of both volumes, computed in double: the first q whose step may differ
    // in either sum from the extended-precision step, or n.
    int (*first_unsafe_step)(const double *run2, const double *local2, const double *run3, const double *local3,
                             int n);
};

extern const RowKernels SCALAR_KERNELS;
extern const RowKernels AVX2_KERNELS;

#endif
