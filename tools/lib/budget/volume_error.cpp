#include "volume_error.h"

#include <cmath>

const char *const INDEPENDENT_ASSUMPTION =
    "Independent: each cell's error is independent of every other's, so the errors of a volume add in "
    "quadrature (the smallest of the three).";
const char *const CORRELATED_ASSUMPTION =
    "Fully correlated: every cell errs by its sigma in the same direction at once, so the errors add up "
    "(the upper bound).";
const char *const SPATIAL_ASSUMPTION =
    "Spatially correlated: errors are correlated by a spherical model that falls to zero at the correlation "
    "range, and the row's area is taken as a disk (Rolstad, Haug and Denby 2009, J. Glaciol. 55(192)).";

const char *const THREE_D_ASSUMPTION =
    "3D volumes: a 3D difference averages the 2D differences of its 3 x 3 window, so neighbouring 3D cells share "
    "their errors; a row's 3D errors are taken over the 2D cells, each entering with W_k, the sum of the cell area "
    "times its weight (5/9 centre, 1/18 neighbour) in the windows of the row's cells: independent sqrt(sum (W_k "
    "sigma_k)^2), fully correlated sum W_k sigma_k, spatially correlated as in 2D over the row's area with the RMS "
    "of the cells' 2D sigma_d.";

std::string error_model_assumptions()
{
    return std::string(INDEPENDENT_ASSUMPTION) + " " + CORRELATED_ASSUMPTION + " " + SPATIAL_ASSUMPTION + " " +
           THREE_D_ASSUMPTION;
}

void error_count(ErrorTally *t, double sigma, double area)
{
    const ErrorTerms e = error_terms(sigma, area);
    t->cells++;
    exact_add(&t->sum_sigma2, e.sigma2);
    exact_add(&t->sum_a2_sigma2, e.a2_sigma2);
    exact_add(&t->sum_a_sigma, e.a_sigma);
}

void error_count_cell(ErrorTally *t, double sigma)
{
    t->cells++;
    exact_add(&t->sum_sigma2, error_terms(sigma, 0).sigma2);
}

void error_merge(ErrorTally *into, const ErrorTally &from)
{
    into->cells += from.cells;
    exact_merge(&into->sum_sigma2, from.sum_sigma2);
    exact_merge(&into->sum_a2_sigma2, from.sum_a2_sigma2);
    exact_merge(&into->sum_a_sigma, from.sum_a_sigma);
}

// Rolstad, Haug and Denby (2009), Journal of Glaciology 55(192), 666–680:
// the variance of the mean of a field whose errors follow a spherical
// semivariogram of sill σ² and range R, averaged over a disk of radius L
// integrated from its centre. It assumes second-order stationarity (one σ
// and one correlation model over the area) and a roughly round area.
double rolstad_mean_error(double sigma_rms, double area, double range)
{
    if (!(area > 0))
        return 0;
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double L = std::sqrt(area / pi);
    const long double R = range;
    const long double s = sigma_rms;
    if (L < R) {
        const long double q = L / R;
        return static_cast<double>(s * std::sqrt(1 - q + q * q * q / 5));
    }
    return static_cast<double>(s * R / (std::sqrt(5.0L) * L));
}

CorrelationModel spherical_model(double range)
{
    CorrelationModel m;
    m.parts = 1;
    m.sill[0] = 1;
    m.range[0] = range;
    return m;
}

// The spherical model's correlation (1 − its semivariogram over its sill):
// 1 − 3h/(2R) + h³/(2R³) for h < R, 0 beyond (e.g. Chilès and Delfiner,
// Geostatistics, 2012, §2.5).
double correlation_at(const CorrelationModel &m, double h)
{
    if (h == 0)
        return 1;
    long double total = m.nugget, sum = 0;
    for (int k = 0; k < m.parts; k++) {
        total += m.sill[k];
        const long double q = h / static_cast<long double>(m.range[k]);
        if (q < 1)
            sum += m.sill[k] * (1 - 1.5L * q + 0.5L * q * q * q);
    }
    return total > 0 ? static_cast<double>(sum / total) : 0.0;
}

VolumeErrors volume_errors(const ErrorTally &t, double area, double range)
{
    return range > 0 ? volume_errors(t, area, spherical_model(range)) : volume_errors(t, area, CorrelationModel());
}

VolumeErrors volume_errors(const ErrorTally &t, double area, const CorrelationModel &model)
{
    VolumeErrors e;
    e.independent = static_cast<double>(std::sqrt(static_cast<long double>(exact_value(t.sum_a2_sigma2))));
    e.correlated = exact_value(t.sum_a_sigma);
    if (model.parts > 0) {
        e.has_spatial = true;
        const double rms =
            t.cells > 0 ? static_cast<double>(std::sqrt(static_cast<long double>(exact_value(t.sum_sigma2)) / t.cells)) : 0.0;
        if (!(area > 0) || t.cells == 0)
            return e;
        // One spherical part of sill 1 and no nugget: Rolstad's own form.
        if (model.parts == 1 && model.nugget == 0 && model.sill[0] == 1) {
            e.spatial =
                static_cast<double>(static_cast<long double>(area) * rolstad_mean_error(rms, area, model.range[0]));
            return e;
        }
        const long double pi = 3.141592653589793238462643383279502884L;
        const long double L = std::sqrt(area / pi);
        long double share = static_cast<long double>(model.nugget) / t.cells;
        for (int k = 0; k < model.parts; k++) {
            const long double R = model.range[k];
            const long double q = L / R;
            share += model.sill[k] * (L < R ? 1 - q + q * q * q / 5 : R * R / (5 * L * L));
        }
        e.spatial = static_cast<double>(static_cast<long double>(area) * rms * std::sqrt(share));
    }
    return e;
}
