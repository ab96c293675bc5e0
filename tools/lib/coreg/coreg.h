// Co-registration of two DEMs: the horizontal shift and the vertical bias
// of TO_ALIGN relative to REFERENCE, estimated on stable ground, and
// TO_ALIGN resampled onto REFERENCE's grid with both removed.
//
// Method: Nuth, C. and Kääb, A. (2011), "Co-registration and bias
// corrections of satellite elevation data sets for quantifying glacier
// thickness change", The Cryosphere 5, 271-290. A shift s of a surface z
// changes the height at a point by dh = -s . grad z (to first order), so on
// stable ground dh / tan(slope) = a cos(b - aspect) + c (their eq. 3). We
// fit the equivalent linear least-squares form on the reference's gradient,
//     dh = -(s_col dz/dcol + s_line dz/dline) + dz,
// whose unknowns (s_col, s_line, dz) enter linearly, so that no fit over
// angles is needed and flat cells weigh little by themselves; the shift is
// applied, dh recomputed on the resampled grid, and the fit repeated until
// the step falls below 0.01 cell (their iterative scheme). Assumptions, told
// to the user: the ground of the stable cells did not change between the
// surveys; the shift is a pure translation (no rotation, no scale); the
// surface is smooth at the scale of the shift (first-order Taylor term).
//
// Robustness, at each iteration: cells flatter than MIN_SLOPE_DEGREES (the
// shift is not determined there) or steeper than MAX_SLOPE_DEGREES (shadows,
// cliffs, interpolation artefacts) are left out, and so are the cells whose
// dh lies more than OUTLIER_NMAD normalised median absolute deviations from
// the median dh (NMAD = 1.4826 median |dh - median dh|, Höhle and Höhle
// 2009). The vertical bias is the median dh on the stable cells once the
// shift is applied.
//
// Sign convention: the shift is the displacement of TO_ALIGN relative to
// REFERENCE. A feature at map position (x, y) in REFERENCE lies at
// (x + shift_x, y + shift_y) in TO_ALIGN (x east, y north for a north-up
// grid), and TO_ALIGN is bias_z higher there. The aligned output at (x, y)
// is TO_ALIGN at (x + shift_x, y + shift_y) minus bias_z.
#ifndef COREG_H
#define COREG_H

#include "dem_input.h"
#include "grid_layer.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

const double MIN_SLOPE_DEGREES = 3;
const double MAX_SLOPE_DEGREES = 70;
const double OUTLIER_NMAD = 3;
const double CONVERGED_STEP_CELLS = 0.01;
// Fewer cells in a fit than this, and the shift is not determined.
const long long MIN_FIT_CELLS = 200;
// The gradients of the fit cells must spread in every direction: the
// smaller eigenvalue of their covariance at least this share of the larger,
const double MIN_GRADIENT_SPREAD_RATIO = 0.02;
// and its square root (the spread of the gradient, m/m, in the direction
// where it spreads least) at least this.
const double MIN_GRADIENT_SPREAD = 0.005;
// Shifts beyond this many cells of the reference are refused: the surveys
// are not roughly aligned, and the first-order model does not hold.
const double MAX_SHIFT_CELLS = 50;
// The fit uses a regular subsample of the stable cells when the reference
// has more cells than this.
const long long DEFAULT_FIT_CELLS = 4000000;

enum Resampling { RESAMPLE_BILINEAR, RESAMPLE_CUBIC };

struct OutputSet; // output_set.h

// ---------------------------------------------------------------------------
// The method on grids in memory

// A north-up grid (no rotation terms in its geotransform) and its cells in
// metres. A grid in degrees has the metres of a degree of longitude (x) and
// of latitude (y) at its mean latitude, taken constant over the grid.
struct Frame {
    int nb_lig = 0, nb_col = 0;
    double gt[6] = {0, 1, 0, 0, 0, -1}; // GDAL's geotransform, map units
    double x_metres = 1, y_metres = 1;  // metres in one map unit along x and along y
    bool degrees = false;               // the map units are degrees of longitude and latitude
    double latitude = 0;                // degrees: the mean latitude the scale is taken at
    double cell_w_m() const;            // |gt[1]| in metres
    double cell_h_m() const;            // |gt[5]| in metres
};

// TO_ALIGN's heights held in memory: the window of its grid that can reach
// the reference's frame. NaN is nodata.
struct SourceGrid {
    Frame frame;
    std::vector<float> z; // nb_lig * nb_col, line by line
};

// A cell of the reference in the fit sample: its height and its gradient
// (central differences, metres per cell along columns and along lines;
// NaN when the cell is not usable for the fit: a neighbour missing, or the
// slope out of range). Every stable cell of the sample counts for the bias
// and for the statistics before and after.
struct FitCell {
    int line, col;
    double z;
    float g_col, g_line;
};

struct FitSample {
    std::vector<FitCell> cells;
    int step = 1;            // one cell in step x step is in the sample
    long long slope_cells = 0; // cells of the sample whose slope is in range
};

// One line of the reference at a time, in order from line 0: heights in
// metres, valid flags, and stable flags (1: the cell is stable ground).
typedef std::function<bool(int line, double *metres, unsigned char *valid, unsigned char *stable, std::string *error)>
    ReferenceLineReader;

// Streams the reference once and keeps the stable cells of a regular
// subsample of at most about max_cells cells. False, with the reason, when
// a line cannot be read.
bool build_fit_sample(const Frame &reference, long long max_cells, const ReferenceLineReader &read_line,
                      FitSample *sample, std::string *error);

// Median and NMAD of a set of differences, with how many there were.
struct DhStats {
    long long cells = 0;
    double median_m = 0, nmad_m = 0;
};

struct CoregResult {
    // The shift of TO_ALIGN relative to REFERENCE (sign convention above):
    double shift_x_m = 0, shift_y_m = 0;         // map x and y, metres
    double shift_x_cells = 0, shift_y_cells = 0; // the same in cell widths and heights
    bool degrees = false;                        // a grid in degrees: the three below are filled
    double shift_x_deg = 0, shift_y_deg = 0;     // the shift in degrees of longitude and latitude
    double metres_per_degree_x = 0, metres_per_degree_y = 0; // the scale it was fitted on
    double scale_latitude = 0;                   // the mean latitude of that scale, degrees
    double shift_columns = 0, shift_lines = 0;   // along the reference's columns and lines
    double bias_z_m = 0;                         // TO_ALIGN minus REFERENCE after the shift
    int iterations = 0;                          // fits made
    bool converged = false;                      // the last step was below 0.01 cell
    long long cells_used = 0;                    // cells in the last fit
    long long stable_cells = 0;                  // stable cells of the sample with data in both
    int sample_step = 1;
    bool determined = true;                      // false: the shift could not be estimated
    std::string why_undetermined;
    DhStats before, after;                       // dh on the stable cells, before and after
};

// Runs the iterative fit. With force, an undetermined shift is taken as
// zero (the bias is still the median dh) instead of stopping; without it,
// result->determined is false and the rest is not to be used.
void fit_alignment(const FitSample &sample, const Frame &reference, const SourceGrid &source,
                   Resampling resampling, int max_iterations, bool force, CoregResult *result);

// TO_ALIGN at the reference cell (line, col) moved by the shift (in
// reference cells), resampled; NaN where TO_ALIGN does not cover.
double resample_at(const SourceGrid &source, const Frame &reference, Resampling resampling, double line,
                   double col);

// Lines first to first + count - 1 of the reference's grid, TO_ALIGN moved by
// the shift and resampled as resample_at does, into values[count * nb_col].
void resample_lines(const SourceGrid &source, const Frame &reference, Resampling resampling, int first, int count,
                    double shift_lines, double shift_cols, double *values);

// ---------------------------------------------------------------------------
// Stable ground

// The stable ground of a reference grid, read line by line: the cells of
// --stable (every cell without it) not in --unstable. Each mask is a layer
// on the grid (grid_layer.h): a raster on it whose valid non-zero cells are
// in the mask, or polygons burnt onto it (cells whose centre lies inside).
struct StableGround {
    std::string stable_path, unstable_path;
    GridLayer stable, unstable;
    int nb_col = 0;
    std::vector<double> buffer;
    std::vector<unsigned char> outside;
};

// Where the masks given as polygons are burnt onto the grid: working files
// of the run's private folder (stage_mask_scratch), or, when empty (a
// caller without an output set), temporary files of the run in the
// system's temporary folder.
struct MaskScratch {
    std::string stable, unstable;
};

// The working files of the masks given (either path may be empty: no file
// for it), staged in set's private folder beside near (output_set.h
// stage_scratch) as use_stable.tif and use_unstable.tif: use tells apart
// the openings of one run. False, with the reason, when one cannot be
// created.
bool stage_mask_scratch(OutputSet *set, const std::string &near, const std::string &use, const std::string &stable,
                        const std::string &unstable, MaskScratch *scratch, std::string *error);

// Opens the masks given (either may be empty) on the reference's grid,
// polygons taken from their layer's coordinate system to crs_wkt (the
// grid's) and burnt at their scratch files. False, with the reason, when a
// mask cannot be opened or placed there.
bool open_stable_ground(const std::string &stable, const std::string &unstable, const MaskScratch &scratch,
                        const DemInput &reference, const std::string &crs_wkt, StableGround *ground,
                        std::string *error);

// stable[c] = 1 where the cell c of the line is stable ground, else 0.
bool read_stable_line(StableGround *ground, int line, unsigned char *stable, std::string *error);

void close_stable_ground(StableGround *ground);

// ---------------------------------------------------------------------------
// The whole alignment from files

struct CoregOptions {
    DemInputOptions reference, to_align;
    std::string stable, unstable;   // raster (on the reference's grid) or vector; empty: none
    MaskScratch mask_scratch;       // where their polygons are burnt
    Resampling resampling = RESAMPLE_BILINEAR;
    int max_iterations = 10;
    bool force = false;
    long long max_fit_cells = DEFAULT_FIT_CELLS;
};

// TO_ALIGN held in memory with what it takes to stream it aligned onto the
// reference's grid.
struct Alignment {
    Frame reference;
    std::string crs_wkt;   // the reference's
    SourceGrid source;
    Resampling resampling = RESAMPLE_BILINEAR;
    CoregResult result;
    std::vector<std::string> warnings; // for the report: no mask given, no convergence, …
};

// Opens both inputs and the masks, fits the shift and the bias. False, with
// the reason in *error, when an input cannot be used or when the shift is
// undetermined without options.force (alignment->result.determined then
// false).
bool coregister(const CoregOptions &options, Alignment *alignment, std::string *error);

// Lines of the aligned TO_ALIGN on the reference's grid, as
// read_dem_lines gives them: metres (shifted, minus the bias) and valid
// flags; any lines in any order.
void read_aligned_lines(const Alignment &alignment, int first, int count, double *metres, unsigned char *valid);

// Writes the aligned TO_ALIGN as a float32 GeoTIFF in metres on the
// reference's grid (its georeferencing, nodata -3.4028235e38 where TO_ALIGN
// does not cover), at write_at (its staged file, output_set.h); messages
// name path. creation_options: NAME=VALUE pairs over the defaults of the
// one GeoTIFF writer (geotiff_output.h: tiled, DEFLATE level 1 without a
// predictor, BIGTIFF when needed, every core compressing).
bool write_aligned(const Alignment &alignment, const std::string &path, const std::string &write_at,
                   const std::vector<std::string> &creation_options, bool progress, std::string *error);

// The figures as JSON: shift_x_m, shift_y_m, shift_x_cells, shift_y_cells,
// bias_z_m, iterations, cells_used, before and after {median_m, nmad_m},
// and more keys (converged, determined, stable_cells, …).
nlohmann::json coreg_json(const CoregResult &result, Resampling resampling);

#endif
