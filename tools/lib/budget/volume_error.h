// The uncertainty of a volume of change, three ways, for any set of cells
// (a row of a budget): the cells' errors independent, fully correlated, or
// correlated over a range after Rolstad, Haug and Denby (2009).
//
// A tally gathers, cell by cell, what the three models need; the errors
// are worked out once the row is complete, from its area as the budget
// sums it.
#ifndef VOLUME_ERROR_H
#define VOLUME_ERROR_H

#include "exact_sum.h"

#include <string>

// What the three models need of a row's cells: σ_d the error of each
// cell's difference (m), a its area (m²). Each term evaluated in extended
// precision, the sums exact (exact_sum.h): tallies of parts of a row merge
// in any order to the same sums.
struct ErrorTally {
    long long cells = 0;
    ExactSum sum_sigma2;    // Σ σ²      (m²)
    ExactSum sum_a2_sigma2; // Σ (a σ)²  (m⁶)
    ExactSum sum_a_sigma;   // Σ a σ     (m³)
};

// The terms a cell of error sigma (m) and area area (m²) adds to the sums:
// σ², (a σ)² and a σ, each evaluated in extended precision.
struct ErrorTerms {
    long double sigma2, a2_sigma2, a_sigma;
};
inline ErrorTerms error_terms(double sigma, double area)
{
    const long double s = sigma, a = area;
    return {s * s, a * s * a * s, a * s};
}

// Adds a cell of error sigma (m) and area area (m²).
void error_count(ErrorTally *t, double sigma, double area);

// Adds a cell of error sigma (m) to the cell count and the RMS error only
// (the volume sums of 3D differences are propagated: error_propagation.h).
void error_count_cell(ErrorTally *t, double sigma);

// Adds the sums of another tally (a class's rows into the whole).
void error_merge(ErrorTally *into, const ErrorTally &from);

// The standard error (m) of the mean of a field of error sigma_rms (m)
// averaged over an area (m²) when the errors follow a spherical
// correlation model of range R (m), the area taken as a disk of radius
// L = √(area / π) integrated from its centre: Rolstad, Haug and Denby
// (2009, Journal of Glaciology 55(192), 666–680):
//   σ_mean = σ √(1 − L/R + (L/R)³ / 5)  for L < R,
//   σ_mean = σ R / (√5 L)               for L ≥ R;
// both forms give σ / √5 at L = R. 0 for an empty area.
double rolstad_mean_error(double sigma_rms, double area, double range);

// A model of the correlation of the cells' errors: a nugget and up to two
// spherical parts, each of a sill and a range (m). The sills are shares of
// the variance (with the nugget they sum to 1 for standardised errors);
// no part: the errors are independent.
struct CorrelationModel {
    double nugget = 0;
    int parts = 0;
    double sill[2] = {0, 0};
    double range[2] = {0, 0};
};

// One spherical part of range R (m), no nugget: --correlation-range R.
CorrelationModel spherical_model(double range);

// The correlation of the errors of two cells h metres apart: 1 at h = 0,
// otherwise Σ s_i ρ_sph(h, R_i) / (n + Σ s_i) with the spherical
// correlation ρ_sph(h, R) = 1 − 3h/(2R) + h³/(2R³) for h < R, 0 beyond.
double correlation_at(const CorrelationModel &m, double h);

// The three errors of a row's volume (m³, one standard deviation).
struct VolumeErrors {
    double independent = 0; // √(Σ (a σ)²)
    double correlated = 0;  // Σ a σ, the upper bound
    bool has_spatial = false;
    double spatial = 0;     // area × rolstad_mean_error(RMS of σ, area, range)
};

// The errors of a row of the given area (m², as the budget sums it); the
// spatial one when range > 0 (one spherical part of that range).
VolumeErrors volume_errors(const ErrorTally &t, double area, double range);

// The same with the spatial error from a model of nugget n and spherical
// parts (s_i, R_i), when it has a part: the variance of the mean difference
// over a row of N cells and area A (a disk of radius L = √(A/π)) is
//   σ̄² (n/N + Σ s_i g(L, R_i)),
//   g(L, R) = 1 − L/R + (L/R)³/5 for L < R, R²/(5L²) otherwise
// (Rolstad, Haug and Denby 2009, summed over the parts as Hugonnet et al.
// 2022 do; the nugget averages out as independent errors), σ̄ the RMS of
// σ over the row; the volume error is A times its square root.
VolumeErrors volume_errors(const ErrorTally &t, double area, const CorrelationModel &model);

// What each model assumes, one sentence each, shown by --help, the report
// and the README.
extern const char *const INDEPENDENT_ASSUMPTION;
extern const char *const CORRELATED_ASSUMPTION;
extern const char *const SPATIAL_ASSUMPTION;
// How the three apply to the volumes of 3D differences (error_propagation.h).
extern const char *const THREE_D_ASSUMPTION;
// The four in one paragraph.
std::string error_model_assumptions();

#endif
