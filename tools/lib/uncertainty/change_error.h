// The vertical error of a DEM of difference and the tests that tell
// detected change from change below detection.
//
// Each survey's error σ is one value or a raster on the same grid (metres).
// The cells' errors are taken as independent normal errors of mean zero:
// the 2D difference d = after − before has σ_d = √(σ_before² + σ_after²);
// the 3D difference is the weighted sum of the nine 2D differences of its
// 3 × 3 window, 5/9 at the centre and 1/18 at each neighbour, so its
// error is √(Σ w_k² σ_d,k²); with a model of the correlation of the
// errors, √(Σ_j Σ_k w_j w_k σ_j σ_k ρ(h_jk)), h_jk the distance between
// the cells j and k of the window.
//
// This per-cell error serves the detection test and the error rasters; the
// errors of the volumes of 3D differences are propagated from the 2D cells
// (error_propagation.h), since neighbouring 3D cells share their 2D cells.
#ifndef CHANGE_ERROR_H
#define CHANGE_ERROR_H

#include "dem_input.h"
#include "volume_error.h"

#include <cmath>
#include <string>

// σ_d of the 2D difference of two independent errors (m).
double sigma_2D(double sigma_before, double sigma_after);

// σ of the 3D difference at the centre of a 3 × 3 window of σ_d (row by
// row, the centre at [4]).
double sigma_3D(const double window[9]);

// The correlations between the nine cells of a 3 × 3 window of cells dx by
// dy metres (row by row, the centre at [4]); independent when the model has
// no part.
struct WindowCorrelation {
    bool independent = true;
    double rho[9][9] = {};
};
WindowCorrelation window_correlation(const CorrelationModel &model, double dx, double dy);

// σ of the 3D difference at the centre of a 3 × 3 window of σ_d whose
// errors are correlated as given.
double sigma_3D(const double window[9], const WindowCorrelation &correlation);

// The two-sided quantile of the standard normal distribution for the
// confidence p (0 < p < 1): z with P(|Z| < z) = p; 1.959964 at 0.95.
double two_sided_quantile(double p);

// The thresholds a cell of change must pass to count as detected.
struct Detection {
    double lod = 0;          // level of detection T, m: |d| < T is below detection (0: none)
    bool confidence = false; // test |d| / σ_d against z
    double p = 0;            // the confidence level given
    double z = 0;            // its two-sided normal quantile
};

// A detection with the level of detection lod (0 for none) and, when p > 0,
// the confidence level p.
Detection make_detection(double lod, double p);

// True when the difference d (σ its error) is detected change: d ≠ 0,
// |d| ≥ lod, and, with a confidence level, |d| / σ ≥ z (a cell of σ = 0
// passes whenever d ≠ 0).
// Inline: it is asked of every cell.
inline bool is_detected(const Detection &detection, double d, double sigma)
{
    if (d == 0 || std::fabs(d) < detection.lod)
        return false;
    if (!detection.confidence || sigma == 0)
        return true;
    return std::fabs(static_cast<long double>(d)) / sigma >= detection.z;
}

// The error of one survey: one value for every cell, or a raster on the
// grid of the DEMs read by lines (its band's unit converted as a DEM's).
struct SigmaInput {
    std::string given;       // as given: a number or a raster's path
    bool is_raster = false;
    double value = 0;        // m, when one value
    DemInput raster;         // when a raster
    long long nodata_cells = 0; // nodata cells read from the raster
};

// Opens the error of a survey given as "0.05" (metres) or as a raster that
// must lie on the DEMs' grid (same size and geotransform). False, with a
// message naming the option, when the value is not a finite number ≥ 0
// or the raster cannot be read or lies on another grid.
bool open_sigma_input(const std::string &option, const std::string &given, const GridFacts &grid, SigmaInput *input,
                      std::string *error);

// Reads count lines from line first (consecutive calls from line 0) into
// sigma[count × nb_col]: the error in metres, NaN where the raster has no
// data. A negative or infinite error in the raster is refused (false, with
// the line and column in *error).
bool read_sigma_lines(SigmaInput *input, int first, int count, int nb_col, double *sigma, std::string *error);

void close_sigma_input(SigmaInput *input);

#endif
