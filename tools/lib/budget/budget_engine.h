// The change budget: the cells of a difference counted by its sign, with
// their areas and volumes, shared by every program that reports one
// (dem_budget, dem_change), so that the counting is done one way only.
//
// The engine knows signs, not meanings: each program names the rows (cut
// and fill for first − second, lowering and raising for after − before).
//
// Volumes are exact sums of the cells' volumes (exact_sum.h), rounded once
// to double when read: the budgets of parts of a grid (blocks, tiles)
// merge (budget_merge) in any order to the same bytes as one pass over
// the whole. The interactive tool sums its volume in scan order instead,
// each partial sum rounded to double: the two differ in their last bits,
// by at most (n + 1) 2^-52 Σ|v| over n cells of volumes v (README).
// Areas are either one cell area for the whole grid (projected grids: the
// area of a row is its cell count times that area, one rounding) or an area
// per line of cells (grids in degrees): each line's cells of a row times
// the line's cell area, summed exactly.
//
// With the errors of the cells, each row also gathers what the three
// models of volume_error.h need (a cell's error and area); a cell is then
// detected change by the caller's test (level of detection, confidence).
// The rows of a 3D difference take their volume errors from the errors of
// the 2D cells under them (error_propagation.h): budget_count_3D counts a
// cell and names its rows, budget_take_propagated sets their sums.
#ifndef BUDGET_ENGINE_H
#define BUDGET_ENGINE_H

#include "error_propagation.h"
#include "volume_error.h"

// One row of a budget.
struct BudgetTally {
    long long cells = 0;
    long long line_cells = 0; // cells counted in the current line (areas per line)
    ExactSum area;            // m², summed line by line (areas per line)
    ExactSum volume;          // m³, signed
    ErrorTally errors;        // the cells' errors (when counted with one)
};

// The budget of one difference.
struct BudgetRows {
    BudgetTally negative, positive, zero;           // d < 0, d > 0, d = 0
    BudgetTally lod_negative, lod_positive, lod_below; // with the level of detection: d <= -lod, d >= lod, |d| < lod
    BudgetTally all;                                // every counted cell: the net
    double lod = 0;                                 // level of detection, m (0: the thresholded rows equal the raw ones)
    bool per_line_areas = false;                    // areas added by budget_end_line
    double cell_area = 0;                           // m², when the grid has one cell area
};

// A budget with one cell area for every cell (m²).
BudgetRows budget_with_cell_area(double cell_area, double lod);
// A budget whose cell areas are given line by line (budget_end_line).
BudgetRows budget_with_line_areas(double lod);

// Counts a cell of difference dif (m) and volume vol (m³, dif × its cell
// area as the caller rounds it); detected change when |d| reaches the
// budget's level of detection.
void budget_count(BudgetRows *b, double dif, double vol);

// Counts a cell as budget_count does, detected change or not as the caller
// tested it, with its error sigma (m; NaN when the cell has none) and its
// area (m²) added to the errors of its rows.
void budget_count_tested(BudgetRows *b, double dif, double vol, bool detected, double sigma, double area);

// Counts n cells, cell k of difference dif[k] and volume vol[k], as n
// calls of budget_count do (the same counts and the same exact sums), into
// b and, when given, into also (a budget of the same kind and level): each
// volume is added once, into a sum of the cells of its sign, and those
// sums go into the rows they belong to once for the n cells.
void budget_count_cells(BudgetRows *b, const double *dif, const double *vol, int n, BudgetRows *also = nullptr);

// A cell counted with others at once: its difference (m), volume (m³),
// error (m; NaN for none) and whether it is detected change.
struct TestedCell {
    double dif, vol, sigma;
    bool detected;
};

// Counts n cells of area area (m²) as n calls of budget_count_tested do
// (the same counts and exact sums), into b and, when given, into also.
void budget_count_cells_tested(BudgetRows *b, const TestedCell *cells, int n, double area,
                               BudgetRows *also = nullptr);

// Counts n cells of a 3D difference as n calls of budget_count_3D do, the
// sigma of each the error of its own 2D difference; the rows each cell
// counts in are given by budget_cell_rows.
void budget_count_cells_3D(BudgetRows *b, const TestedCell *cells, int n);

// The numbers of the three rows (sign, test, net) a cell of difference dif
// counts in, plus first_slot, as budget_count_3D names them.
void budget_cell_rows(double dif, bool detected, int first_slot, int slots[3]);

// Closes a line of cells of area line_area (m² each) in a budget with
// areas per line: the cells it counted add their area to each row.
void budget_end_line(BudgetRows *b, double line_area);

// The rows by number, for the propagation of the errors of 3D
// differences: 0 negative, 1 positive, 2 zero, 3 lod_negative,
// 4 lod_positive, 5 lod_below, 6 all.
const int BUDGET_ROW_COUNT = 7;
BudgetTally *budget_row(BudgetRows *b, int index);

// Counts a cell of a 3D difference as budget_count_tested does, its tested
// detection given; sigma_d (m; NaN for none) is the error of the cell's own
// 2D difference, which counts in the rows' RMS error (the spatially
// correlated model). The numbers of its three rows (sign, test, net), plus
// first_slot, go to slots[0..2]; their volume errors come from the
// propagation (budget_take_propagated).
void budget_count_3D(BudgetRows *b, double dif, double vol, bool detected, double sigma_d, int first_slot,
                     int slots[3]);

// Sets the propagated sums of the rows numbered from first_slot into the
// errors of the rows of b (a budget of 3D differences).
void budget_take_propagated(BudgetRows *b, const Propagation3D &p, int first_slot);

// The area of a row, m².
double budget_area(const BudgetRows &b, const BudgetTally &t);
// The volume of a row, m³.
double budget_volume(const BudgetTally &t);

// How far a volume summed in scan order with each partial sum rounded to
// double (the interactive tool's sum, evaluated in extended precision)
// can lie from the budget's exact sum rounded once, for n cells whose
// volumes' magnitudes sum to sum_abs (m³): each of the n − 1 additions
// errs by at most u' = 2^-53 + 2^-64 (extended, then double rounding) of
// its partial sum, in all at most (n − 1) u' Σ|v| / (1 − (n − 1) u')
// (Higham, Accuracy and Stability of Numerical Algorithms, 2nd ed. 2002,
// §4.2), and the exact sum's rounding at most 2^-53 Σ|v|: for n below
// 2^40, (n + 1) 2^-52 Σ|v| bounds both.
double budget_scan_order_bound(long long n, double sum_abs);

// Adds the budget of a part of a grid into the budget of the whole (both
// of one kind: the same cell area, or areas per line, and the same level
// of detection): cells, areas, volumes and error sums, exactly. The part's
// lines must be closed (budget_end_line). The volume errors of 3D
// differences merge as their propagated sums do, which needs each part to
// have propagated the 2D cells it owns (error_propagation.h).
void budget_merge(BudgetRows *into, const BudgetRows &from);

#endif
