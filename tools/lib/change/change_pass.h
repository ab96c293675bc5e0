// The pass of dem_change: both inputs read by blocks of lines, a window of
// the lines the 3 × 3 differences need, the signed differences AFTER −
// BEFORE written block by block and counted in the budgets as they come.
// Memory: a few blocks of lines, whatever the number of lines.
#ifndef CHANGE_PASS_H
#define CHANGE_PASS_H

#include "budget_engine.h"
#include "change_classes.h"
#include "change_error.h"
#include "change_histogram.h"
#include "coreg.h"
#include "dem_input.h"
#include "geo_area.h"
#include "raster_output.h"
#include "stable_error.h"

#include <string>
#include <vector>

// Cells without a difference, and why.
struct ChangeCounts {
    long long cells = 0;         // lines × columns
    long long nodata_before = 0; // nodata in BEFORE
    long long nodata_after = 0;  // nodata in AFTER
    long long no_2D = 0;         // no 2D difference: nodata in either
    long long no_3D = 0;         // no 3D difference, of which:
    long long no_3D_cell = 0;    //   the cell itself has no 2D difference
    long long no_3D_border = 0;  //   the cell lies on the frame's border
    long long no_3D_window = 0;  //   a neighbour has nodata in either input
    long long no_sigma = 0;      // both inputs have data, an error raster has none (no difference there)
};

// What the errors, thresholds, classes and distribution add to the pass;
// all optional.
struct ChangeExtras {
    SigmaInput *sigma_before = nullptr, *sigma_after = nullptr; // both or neither
    Detection detection;          // what counts as detected change
    ClassSource *classes = nullptr;
    bool histograms = false;      // the distributions of both differences
    double bin_width = 0;         // m, 0: chosen from the data
    RasterOutput *error_2D = nullptr, *error_3D = nullptr; // σ of each difference, when written
    const Alignment *aligned = nullptr; // AFTER aligned onto BEFORE first (--coregister), read from it
    CorrelationModel correlation; // of the cells' errors, for the 3D differences' own errors (none: independent)
    // The errors learned from stable ground instead of the surveys' errors:
    // σ_d of each cell from BEFORE's slope there (cells cell_w by cell_h m).
    const StableErrorModel *learned = nullptr;
    double cell_w = 0, cell_h = 0;
    // Threads working out the learned σ_d, and with more than one the next
    // lines read and the last ones written in a second thread, and the
    // propagation of the volume errors beside the pass (the values and the
    // files do not depend on their number).
    int threads = 1;
};

// What the pass finds.
struct ChangeResult {
    BudgetRows budget_2D, budget_3D; // over the cells with a 3D difference
    BudgetRows all_2D;               // over every cell with a 2D difference
    ChangeCounts counts;
    double max_abs_2D = 0, max_abs_3D = 0; // largest |d| of each difference, m
    // With classes: the budgets of each class (by class index), over the
    // same cells as budget_2D and budget_3D.
    std::vector<BudgetRows> class_2D, class_3D;
    // With histograms: the distributions over the same cells.
    ChangeHistogram histogram_2D, histogram_3D;
};

// Lines per block for a grid of nb_col columns: as many as keep the pass's
// own buffers within about 12 MiB, at most 256.
int change_block_lines(int nb_col);

// Lines per block for inputs read in tiles (or strips) of tile_lines
// lines: a multiple or a divisor of tile_lines within change_block_lines,
// so that each block lies in one row of tiles and no tile is decoded twice
// (change_block_lines when no such block is near its size).
int aligned_block_lines(int nb_col, int tile_lines);

// Runs the pass over two open inputs of the same grid: out_2D and out_3D
// (open, same grid) receive the differences, *result the budgets. With
// aligned, AFTER's lines are those of its alignment onto BEFORE's grid
// (coreg.h) instead of after's own. False, with *error, when a read or a
// write fails.
bool change_pass(DemInput *before, DemInput *after, const GridAreas &areas, int block_lines, RasterOutput *out_2D,
                 RasterOutput *out_3D, ChangeResult *result, std::string *error, const Alignment *aligned = nullptr);

// The same pass with errors (σ_d of each cell from the surveys' errors,
// cells without an error left out; the volume errors of the 3D budgets
// propagated from the 2D cells, error_propagation.h), detection by the extras' thresholds,
// budgets by class and the distributions.
bool change_pass(DemInput *before, DemInput *after, const GridAreas &areas, int block_lines, RasterOutput *out_2D,
                 RasterOutput *out_3D, const ChangeExtras &extras, ChangeResult *result, std::string *error);

// A block of a grid worked out apart (a tile of a cluster's run, arrays
// from Python): a window of both inputs in memory, the block and the cells
// around it that its 3 × 3 windows reach (one on each side where the frame
// goes on), and where the window lies in the frame.
struct ChangeBlock {
    int frame_lines = 0, frame_columns = 0; // the whole grid
    int frame_line = 0, frame_column = 0;   // the frame's line and column of the window's first cell
    int lines = 0, columns = 0;             // the window's
    int first_line = 0, first_column = 0;   // the block's first cell, within the window
    int block_lines = 0, block_columns = 0;
    const double *before = nullptr, *after = nullptr;            // heights, m, lines × columns
    const unsigned char *valid_before = nullptr, *valid_after = nullptr; // 1 where the cell has data
    // Instead of before and after: vectors of the heights that the pass
    // takes as they are (no copy), left empty.
    std::vector<double> *take_before = nullptr, *take_after = nullptr;
};

// The plain pass (a level of detection lod at most: no errors, classes or
// distributions) over the cells of a block, with the code of change_pass:
// d2 and d3 (block_lines × block_columns) receive the differences AFTER −
// BEFORE, NaN where there is none, and *result the budgets and counts of
// the block's cells alone (the frame's border rules: no 3D difference on
// the frame's border), which merge (change_result_merge) with those of
// the other blocks into the whole pass's, exactly, in any order. False,
// with *error, when the window does not hold the block and the cells
// around it.
bool change_block(const ChangeBlock &block, const GridAreas &areas, double lod, double *d2, double *d3,
                  ChangeResult *result, std::string *error);

#endif
