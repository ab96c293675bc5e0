// The change budget: the cells of a difference counted by its sign, with
// their areas and volumes, shared by every program that reports one
// (dem_budget, dem_change), so that the counting is done one way only.
//
// The engine knows signs, not meanings: each program names the rows (cut
// and fill for first − second, lowering and raising for after − before).
//
// Volumes are running sums in scan order, each partial sum rounded to
// double, as the interactive tool sums its volume; the volume of the row
// "all" is therefore the tool's volume when every interior cell is counted.
// Areas are either one cell area for the whole grid (projected grids: the
// area of a row is its cell count times that area, one rounding) or an area
// per line of cells (grids in degrees): each line's cells of a row times
// the line's cell area, added line by line.
#ifndef BUDGET_ENGINE_H
#define BUDGET_ENGINE_H

// One row of a budget.
struct BudgetTally {
    long long cells = 0;
    long long line_cells = 0; // cells counted in the current line (areas per line)
    double area = 0;          // m², summed line by line (areas per line)
    double volume = 0;        // m³, signed, running sum in scan order
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
// area as the caller rounds it).
void budget_count(BudgetRows *b, double dif, double vol);

// Closes a line of cells of area line_area (m² each) in a budget with
// areas per line: the cells it counted add their area to each row.
void budget_end_line(BudgetRows *b, double line_area);

// The area of a row, m².
double budget_area(const BudgetRows &b, const BudgetTally &t);

#endif
