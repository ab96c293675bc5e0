// The arithmetic of the tool: heights converted to metres, the 2D and 3D
// differences of the interior cells, their volumes, the treatment that keeps
// absolute, negative or positive values, and the scaling of the kept values
// to integers in the unit of the results.
//
// Real arithmetic: every expression is evaluated in long double (a 64-bit
// significand) and rounded to double once, where a named value or a matrix
// cell is stored. The results are defined to the last bit by this rule, so
// the code spells every rounding out with an explicit cast.
#ifndef DIFFERENCE_H
#define DIFFERENCE_H

#include <cfloat>

#if !(defined(__x86_64__) || defined(__i386__)) || LDBL_MANT_DIG != 64
#error "The results are defined in extended precision: long double must have a 64-bit significand (x87)"
#endif
// Every rounding must be the one written: no relaxed semantics, and no
// product and sum fused into one FMA. The compiler tells no macro for
// contraction: the build gives -ffp-contract=off together with this
// definition (PUBLIC options of the core library, CMakeLists.txt).
#ifdef __FAST_MATH__
#error "The results are defined to the last bit: build without -ffast-math"
#endif
#ifndef SKARNOVELT_FP_CONTRACT_OFF
#error "The results are defined to the last bit: build with -ffp-contract=off and -DSKARNOVELT_FP_CONTRACT_OFF"
#endif

// Units of heights (units.h): 0 metres, 1 decimetres, 2 centimetres,
// 3 millimetres (inputs and results), 4 tenths and 5 hundredths of
// millimetres (results).
#include "units.h"

// The factor to metres of an input unit (1, 0.1, 0.01 or 0.001, the double
// constants) and the factor from metres of a result unit (1, 10, …, 100000).
double unit_to_metres(int interv);
double unit_from_metres(int interv3);

// Treatment codes.
const int TREAT_ABSOLUTE = 0;
const int TREAT_NEGATIVE = 1;
const int TREAT_POSITIVE = 2;

// dtab = itab in metres: the value times 0.1, 0.01 or 0.001 (the double
// constants), the product rounded to double; unit 0 copies the value.
void convert_to_metres(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv);

// The two differences of the interior cell (i, j), first minus second:
// dif_2D = dtab1 - dtab2 at the cell; dif_3D = the mean of the nine
// differences of the half-way heights towards the eight neighbours and of
// the cell itself.
void cell_differences(double *const *dtab1, double *const *dtab2, int i, int j, double *dif_2D, double *dif_3D);

// The integer stored for a kept difference in metres: the product with the
// factor of the result unit (1, 10, …, 100000), truncated toward zero in
// extended precision, keeping the low 32 bits. *fits tells whether the
// truncated value lies in the range of the result type (−32768 .. 65535 for
// _m2, the signed 32-bit range for _m4).
int scale_result(double kept, int interv3, int itype, bool *fits);

// The area of a cell of side sizepix, m²: the product rounded to double.
double cell_area(double sizepix);

// Result values back to metres: dtab = itab divided by the factor of the
// result unit interv3 (1, 10, …, 100000), the quotient rounded to double.
void result_to_metres(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv3);

// One interior cell as the difference pass sees it.
struct CellDifference {
    int i, j;      // line and column
    double dif_2D; // plain difference, m
    double dif_3D; // averaged difference, m
    double vol_2D; // dif_2D × cell area, m³
    double vol_3D; // dif_3D × cell area, m³
};

// What is done with each interior cell; context is the caller's.
typedef void (*CellVisit)(const CellDifference &cell, void *context);

// Visits every interior cell in scan order (lines 1 to nb_lig − 2, within a
// line columns 1 to nb_col − 2): computes its differences and volumes, adds
// the volumes with their sign to the running sums *vol_total_2D and
// *vol_total_3D (both set to 0 first), then hands the cell to visit; each
// line is reported to the progress line (progress.h). These sums are the
// volumes the tool reports; every program that needs the per-cell
// differences goes through here so that they stay the same.
void visit_interior_cells(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col, double sizepix,
                          CellVisit visit, void *context, double *vol_total_2D, double *vol_total_3D);

// The value the treatment keeps of a difference: its magnitude (0), the
// difference itself when negative (1) or positive (2), otherwise 0.
double kept_value(double dif, int type_treat);

// What a difference pass returns besides the result matrices.
struct DifferenceSums {
    double vol_total_2D;   // sum of dif_2D × cell area over the interior cells, m³
    double vol_total_3D;   // the same with dif_3D
    long long misfit_2D;   // cells of the 2D result outside the range of the result type
    long long misfit_3D;   // the same for the 3D result
};

// The difference pass over the whole frame: every cell of itab_2D and
// itab_3D is set (border cells to 0), the volumes are summed over every
// interior cell with its sign in scan order, and the treatment keeps the
// wanted values, scaled to the result unit.
DifferenceSums difference_pass(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col, double sizepix,
                               int type_treat, int interv3, int itype_dem3, int *const *itab_2D, int *const *itab_3D);

#endif
