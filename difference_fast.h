// The fast path of the arithmetic: the conversion to metres and the
// difference pass of difference.h, with the same results to the last bit,
// computed in plain double arithmetic (four cells at a time where the host
// has AVX2 and FMA).
//
// The reference kernel (difference.h) stays the definition of every result.
// The fast path evaluates each rounded step in double together with its
// exact rounding error (TwoSum, FMA products) and checks whether rounding
// the exact value first to a 64-bit significand and then to double could
// give another double than the one computed. Every cell where it could is
// recomputed by the reference kernel; the running volume sums keep their
// order and take the extended-precision step wherever the check fails.
#ifndef DIFFERENCE_FAST_H
#define DIFFERENCE_FAST_H

#include "difference.h"

#include <vector>

// Which implementation runs. KERNEL_AUTO takes the best the host offers:
// AVX2 and FMA, else the scalar fast path when the host has FMA, else the
// reference. A path the host cannot run is replaced the same way.
enum KernelPath { KERNEL_AUTO, KERNEL_AVX2, KERNEL_SCALAR, KERNEL_REFERENCE };

// The path KERNEL_AUTO resolves to on this host, and whether a path can run.
KernelPath host_kernel_path();
bool kernel_path_available(KernelPath path);
const char *kernel_path_name(KernelPath path);

// How much of the work the reference had to redo, for the benchmarks and
// the differential checks. Counts add up over calls.
struct KernelCounts {
    long long converted;          // cells converted to metres
    long long converted_redone;   // of them, converted again by the reference
    long long cells;              // interior cells of the difference passes
    long long cells_redone;       // of them, differences recomputed by the reference
    long long results_redone;     // cells whose volumes or scaled results took the extended step
    long long sum_steps_redone;   // running-sum steps taken in extended precision
};

// Same contract and results as convert_to_metres.
void convert_to_metres_fast(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv,
                            KernelPath path = KERNEL_AUTO, KernelCounts *counts = nullptr);

// Same contract and results as difference_pass.
DifferenceSums difference_pass_fast(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col,
                                    double sizepix, int type_treat, int interv3, int itype_dem3,
                                    int *const *itab_2D, int *const *itab_3D, KernelPath path = KERNEL_AUTO,
                                    KernelCounts *counts = nullptr);

// What line_differences_fast keeps between calls (its buffers).
struct LineScratch {
    std::vector<double> edges;
    std::vector<int> redo;
};

// cell_differences of the cells of line i at columns 1 to nb_col − 2
// (nb_col ≥ 3), to the last bit: dif2[q] and dif3[q] those of column q + 1.
// Lines i − 1 and i + 1 are read as well. A NaN height (a cell without
// data) changes only the cells whose window holds it, whose values are then
// unspecified.
void line_differences_fast(double *const *dtab1, double *const *dtab2, int i, int nb_col, double *dif2,
                           double *dif3, LineScratch *scratch, KernelPath path = KERNEL_AUTO);

#endif
