// The error of the difference learned from stable ground, where the true
// change is zero and the difference is error alone: after Hugonnet et al.
// (2022, IEEE JSTARS 15, "Uncertainty analysis of digital elevation models
// by spatial inference from stable terrain"), the spread of dh = AFTER −
// BEFORE on stable cells, binned by the terrain's slope (steep ground is
// measured less well), gives each cell's σ_d as a function of its slope.
//
// The estimation: the stable cells of a regular sample of the grid (one
// cell in step × step, at most about max_cells) with data in both, binned
// by slope (SLOPE_EDGES, a bin with fewer than MIN_BIN_CELLS cells merged
// with its smaller neighbour), the NMAD of each bin (NMAD = 1.4826 median
// |dh − median|, Höhle and Höhle 2009) its σ_dh at that slope; then
// dh / σ_dh(slope) binned by maximum curvature (CURVATURE_BINS quantiles,
// the small bins merged), the NMAD of each bin the factor of σ_dh at that
// curvature. The cells whose standardised dh / σ_dh lies beyond
// STABLE_OUTLIER_NMAD NMADs of its median are then left out (on dh itself
// one limit would trim the tails of the steep and curved cells) and both
// tables worked out again. σ_d of a cell is the slope table interpolated
// linearly at its slope (between the bins' median slopes, held constant
// beyond the first and the last) times the curvature table interpolated
// likewise at its curvature. Assumptions, told to the user: the stable
// cells did not change; their errors are those of the unstable cells of
// the same slope and curvature; dh is roughly normal within a bin; slope
// and curvature act on the error as factors of their own.
// Memory: the sample (about 30 bytes a cell while the bins are formed), whatever the
// size of the grid.
#ifndef STABLE_ERROR_H
#define STABLE_ERROR_H

#include "coreg.h"
#include "dem_input.h"
#include "volume_error.h"

#include <functional>
#include <string>
#include <vector>

const long long DEFAULT_STABLE_SAMPLE = 2000000;
const double STABLE_OUTLIER_NMAD = 4;
const long long MIN_BIN_CELLS = 100;
// Fewer stable cells than this, and no error model is learned.
const long long MIN_STABLE_CELLS = 100;

// The slope (degrees) of the surface at cell c of line from its 3 × 3
// neighbourhood (heights in metres, NaN for nodata; above or below null
// beyond the frame), cells cell_w by cell_h metres: central differences
// (Zevenbergen and Thorne 1987, Earth Surf. Process. Landforms 12, 47–56),
// as the alignment's fit takes them; one-sided where one neighbour of an
// axis has no data, none (0) where both lack it.
double slope_degrees(const double *above, const double *line, const double *below, int nb_col, int c, double cell_w,
                     double cell_h);

// A divisor of many values: x / d, or x times 1 / d where d is a power of
// two (the same value: both scale x exactly).
struct Divisor {
    long double d = 1, inverse = 1;
    bool power_of_two = true;
    long double divide(long double x) const { return power_of_two ? x * inverse : x / d; }
};
Divisor divisor(long double d);

// The divisors the slope and the curvature of cells cell_w by cell_h
// metres take: the width, the height, their squares (extended precision)
// and 4 × width × height (in double).
struct CellSize {
    Divisor w, h, w2, h2, wh4;
};
CellSize cell_size(double cell_w, double cell_h);

// The tangent of that slope (the gradient's length, m/m), and the slope in
// degrees from it: slope_degrees is slope_angle_degrees(slope_tangent(..)).
long double slope_tangent(const double *above, const double *line, const double *below, int nb_col, int c,
                          const CellSize &size);
double slope_angle_degrees(long double tangent);

// The maximum curvature (1/m) of the surface at the same cell from the
// same neighbourhood: the largest absolute principal curvature, the
// eigenvalues of the Hessian of second differences (Zevenbergen and Thorne
// 1987); a second difference whose neighbours lack data counts 0.
double max_curvature(const double *above, const double *line, const double *below, int nb_col, int c, double cell_w,
                     double cell_h);
double max_curvature(const double *above, const double *line, const double *below, int nb_col, int c,
                     const CellSize &size);

// One bin of slope: its edges, the cells in it, its NMAD (σ_dh, m) and the
// median slope of its cells (where the interpolation puts its σ).
struct SlopeBin {
    double slope_min_deg = 0, slope_max_deg = 0;
    long long cells = 0;
    double nmad_m = 0;
    double median_slope_deg = 0;
};

// The spatial correlation of the standardised differences z = dh / σ_dh
// on stable ground: an empirical variogram from a deterministic sample of
// pairs of cells (a fixed seed: the same inputs give the same pairs), the
// lags binned logarithmically from one cell of the sample to half the
// grid's diagonal, fitted with a nugget and two spherical parts,
//   γ(h) = n + Σ s_i sph(h / R_i),  sph(q) = 3q/2 − q³/2 for q < 1, 1 beyond
// (after Hugonnet et al. 2022). The fit: both ranges on a fine logarithmic
// grid, for each pair of ranges the nugget and sills by non-negative least
// squares weighted by the pairs of each lag, the best pair refined on a
// grid ten times finer around it.
const long long DEFAULT_VARIOGRAM_PAIRS = 100000;
const int VARIOGRAM_LAG_BINS = 20;
struct Variogram {
    std::vector<double> lags_m, gamma; // mean distance and semivariance of each lag bin holding pairs
    std::vector<long long> pairs;
    double spacing_m = 0;              // the shortest lag the sample holds (one of its cells)
    bool fitted = false;
    CorrelationModel model;            // nugget, sills, ranges (m)
};

// The variogram of z (rows × cols, line by line, NaN where there is no
// value), its cells dy by dx metres apart, from at most `pairs` pairs.
// Fitted when at least three lag bins hold pairs.
void fit_variogram(const std::vector<float> &z, int rows, int cols, double dy, double dx, long long pairs,
                   Variogram *v);

// One bin of maximum curvature (1/m): its edges, cells, the NMAD of
// dh / σ_dh(slope) in it (the factor of σ_dh at that curvature) and the
// median curvature of its cells.
const int CURVATURE_BINS = 20;
struct CurvatureBin {
    double curvature_min = 0, curvature_max = 0;
    long long cells = 0;
    double factor = 1;
    double median_curvature = 0;
};

struct StableErrorModel {
    int sample_step = 1;
    long long sampled_cells = 0;  // stable cells of the sample with data in both
    long long outliers = 0;       // left out, dh / σ_dh beyond STABLE_OUTLIER_NMAD NMADs of its median
    long long stable_cells = 0;   // used
    double median_m = 0, nmad_m = 0; // of dh over all the sampled cells
    std::vector<SlopeBin> slope_bins;
    std::vector<CurvatureBin> curvature_bins; // none: σ_dh by slope alone
    Variogram variogram;               // of dh / σ_dh (estimate_stable_error with pairs > 0)
    std::vector<std::string> warnings; // for the reports
};

// What the learned model assumes, for the reports.
extern const char *const LEARNED_ERROR_ASSUMPTION;

// Median of the values (reordered); 0 for none.
double median_of(std::vector<double> *values);
// NMAD of the values around their median (reordered): 1.4826 median |v − median|.
double nmad_of(std::vector<double> *values, double median);

// One line of both surveys on BEFORE's grid at a time, in order from line
// 0: heights in metres (NaN for nodata) and stable flags.
typedef std::function<bool(int line, double *before, double *after, unsigned char *stable, std::string *error)>
    StableLineReader;

// Streams the grid once and learns the model. False, with *error, when a
// line cannot be read or too few stable cells have data in both.
// With pairs > 0, the variogram of the sample's dh / σ_dh too.
bool estimate_stable_error(int nb_lig, int nb_col, double cell_w, double cell_h, long long max_cells,
                           const StableLineReader &read_line, StableErrorModel *model, std::string *error,
                           long long pairs = 0);

// σ_d (m) of a cell of the given slope (degrees) and maximum curvature
// (1/m): the slope bins' NMAD interpolated at the slope, times the
// curvature bins' factor interpolated at the curvature.
double learned_sigma(const StableErrorModel &model, double slope_deg, double curvature = 0);

// A closed range of one axis (from <= value <= to) over which a table's
// interpolation gives one value.
struct FlatRange {
    long double from, to;
    double value;
};

// The model's tables made ready for the cells of a grid: σ_d of a cell at
// its slope and curvature as learned_sigma gives it, to the last bit, with
// less work. Where the slope table is flat over a range of slopes (below
// its first bin's median, above its last's, between bins of one NMAD)
// the range is also held as tangents, slightly narrowed, so that a slope
// whose tangent lies in it needs no angle (an arc tangent); a
// tangent near a range's ends has its angle worked out. Where every
// curvature bin has one factor the curvature is not worked out.
struct LearnedSigmaTable {
    struct Point {
        double x, y;
    };
    std::vector<Point> slope, curvature;         // (median, NMAD or factor) of each bin
    std::vector<FlatRange> slope_tangents;       // ranges of the slope's tangent
    std::vector<FlatRange> curvature_ranges;     // ranges of the curvature (1/m)
    bool by_curvature = false;                   // the model has curvature bins
};
LearnedSigmaTable learned_sigma_table(const StableErrorModel &model);

// σ_d (m) of the cell at column c of line (its neighbourhood as for
// slope_degrees and max_curvature): learned_sigma at the cell's slope and
// maximum curvature.
double learned_sigma_cell(const LearnedSigmaTable &table, const double *above, const double *line,
                          const double *below, int nb_col, int c, const CellSize &size);

// The cell's width and height in metres of a grid in a projected system
// or without georeferencing; false, with *error, for a grid in degrees or
// a rotated one (the slope needs metres).
bool cell_size_metres(const GridFacts &grid, double *cell_w, double *cell_h, std::string *error);

// Learns the model from the inputs as files: BEFORE and AFTER opened anew
// and read once (AFTER's lines those of its alignment when aligned is
// given), the stable ground of --stable / --unstable (every cell with
// neither, and *warning says that real change then inflates the errors),
// their polygons burnt at mask_scratch (coreg.h).
bool learn_stable_error(const DemInputOptions &before, const DemInputOptions &after, const Alignment *aligned,
                        const std::string &stable, const std::string &unstable, const MaskScratch &mask_scratch,
                        long long max_cells, long long pairs, StableErrorModel *model, std::string *warning,
                        std::string *error);

#endif
