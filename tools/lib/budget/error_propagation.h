// The errors of the volumes of 3D differences, propagated from the errors
// of the 2D differences they are made of.
//
// A cell's 3D difference is a weighted sum of the nine 2D differences of
// its 3 × 3 window (5/9 at the centre, 1/18 at each neighbour), so the 3D
// volume of a set of cells (a row of a budget) is Σ_c a_c Σ_k w_ck d_k over
// its cells c and the 2D cells k of their windows: the 2D cell k enters it
// with the coefficient W_k = Σ_c a_c w_ck. Neighbouring 3D cells share
// their 2D cells, so their errors are not independent: summed as if they
// were, a row's error would come out about √3 too small. The row's errors
// are therefore taken over the 2D cells:
//   independent 2D errors:    √(Σ_k (W_k σ_k)²),
//   fully correlated errors:  Σ_k W_k σ_k (Σ_k W_k = Σ_c a_c, the weights
//                             of a window summing to 1).
//
// The propagation streams: W_k needs the rows of the 3D cells around k, so
// a line of 2D cells is complete once the line after it has been added.
// It holds three lines, whatever the number of lines. The sums are exact
// (exact_sum.h), so their order does not matter.
//
// Parts of a grid (blocks, tiles) merge (budget_merge) to the whole's bytes
// only when each part owns its 2D cells with their W_k whole: W_k is
// summed from the 3D cells around cell k (in extended precision) before it
// is multiplied by σ_k and squared, so neither Σ (W_k σ_k)² nor, to the
// bit, Σ W_k σ_k splits between parts that each hold some of those 3D
// cells. A part knows every 3D cell around its own 2D cells, those on the
// neighbouring parts' edges too, only with a halo of two cells (the 3D
// cells of a one-cell ring need their own ring); with a one-cell halo, the
// propagated errors of 3D volumes cannot be merged from parts.
#ifndef ERROR_PROPAGATION_H
#define ERROR_PROPAGATION_H

#include "volume_error.h"

#include <cstdint>
#include <vector>

// The rows a 3D cell can count in, at most (the whole budget's sign, test
// and net rows, and its class's).
const int PROPAGATION_SLOTS = 6;

// The terms (W_k σ_k)² and W_k σ_k a line adds to a row.
struct LineTerms {
    std::vector<long double> squares, linear;
};

// A row standing for its set of rows alike in a line being completed: its
// terms as they are gathered, and where they go (the row's own sums, or
// the line's sums of a set of more than one row, merged into each after).
struct RowTerms {
    TermBuckets square, linear;
    ErrorTally *into = nullptr;
    ErrorTally sums;
};

// The propagation over a grid of nb_col columns. Rows are numbered by the
// caller ("slots", 0 and up); the sums of each are gathered in sums[slot]
// (only sum_a2_sigma2 and sum_a_sigma are used).
struct Propagation3D {
    int nb_col = 0;
    int lines = 0;                 // lines added so far
    bool finished = false;
    std::vector<double> sigma[3];  // σ of the 2D differences of the last three lines (by line % 3), NaN for none
    std::vector<int> slots[3];     // their 3D cells' rows, PROPAGATION_SLOTS a cell, −1 for none
    double area[3] = {0, 0, 0};    // the cell area of each of these lines, m²
    std::vector<ErrorTally> sums;  // by slot
    // How a line is completed: its rows as sets of bits where each of the
    // three lines was numbered (each with the two lines before it meeting
    // at most 64 rows), else cell by cell (false: cell by cell always, the
    // same sums).
    bool by_sets = true;
    // The rows of the held lines' 3D cells as bits (by line % 3), numbered
    // once as each line is added, in one numbering kept from line to line:
    // a row keeps its bit while a held line meets it.
    std::vector<uint64_t> cell_rows[3];  // by column, the rows of its 3D cell
    uint64_t line_rows[3] = {0, 0, 0};   // the rows the line meets
    bool numbered[3] = {true, true, true}; // false: the line and the two before it met more than 64 rows
    std::vector<uint64_t> kinds[3];      // the line's different sets of rows (a few repeated)
    std::vector<signed char> bit_of_slot; // by slot: its bit, −1 for none
    int slot_of_bit[64];                  // by bit: its slot, −1 for none
    std::vector<uint64_t> no_rows;        // nb_col empty sets: a line beyond the frame
    // Scratch of completing a line.
    std::vector<unsigned> masks;      // by slot: the neighbours counting in it
    std::vector<LineTerms> terms;     // by slot: the line's terms (cell by cell)
    std::vector<RowTerms> row_terms;  // by bit: a row standing for its set (by sets)
    std::vector<unsigned long long> sigma_m; // by column: the line's σ taken apart for the terms in integers
    std::vector<int> sigma_e;
    std::vector<int> touched;         // the slots whose terms are gathered
    std::vector<uint64_t> codes[16];  // by group of four bits and column: the lines meeting each of its rows
};

// A propagation over lines of nb_col cells.
Propagation3D propagation_start(int nb_col);

// Adds the next line (lines come in order from line 0): sigma[j] the error
// of the 2D difference of each cell (m; NaN where there is none), area the
// area of each of its cells (m²), slots[j × PROPAGATION_SLOTS + m] the rows
// in which the 3D difference of cell j counts (−1 for none; all −1 where
// the cell has no 3D difference; a row at most once a cell). The line before it is then complete and
// its 2D cells are added to the rows' sums.
void propagation_add_line(Propagation3D *p, const double *sigma, double area, const int *slots);

// Completes the last line added; call once, after every line.
void propagation_finish(Propagation3D *p);

// The sums of a slot (empty for a slot no cell counted in).
ErrorTally propagated_sums(const Propagation3D &p, int slot);

#endif
