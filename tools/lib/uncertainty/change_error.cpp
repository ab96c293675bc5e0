#include "change_error.h"

#include "grid_conformance.h"

#include <boost/math/distributions/normal.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

const double NO_ERROR_VALUE = std::numeric_limits<double>::quiet_NaN();

// Weights of the 3D difference: the centre's 2D difference counts 5/9,
// each neighbour's 1/18 (the nine terms are the centre's difference and the
// eight half-way differences between the centre and a neighbour, averaged).
const long double CENTRE_WEIGHT = 5.0L / 9.0L;
const long double NEIGHBOUR_WEIGHT = 1.0L / 18.0L;

} // namespace

double sigma_2D(double sigma_before, double sigma_after)
{
    const long double b = sigma_before, a = sigma_after;
    return static_cast<double>(std::sqrt(b * b + a * a));
}

double sigma_3D(const double window[9])
{
    long double sum = 0;
    for (int k = 0; k < 9; k++) {
        const long double w = k == 4 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT;
        const long double s = window[k];
        sum += w * w * s * s;
    }
    return static_cast<double>(std::sqrt(sum));
}

WindowCorrelation window_correlation(const CorrelationModel &model, double dx, double dy)
{
    WindowCorrelation c;
    c.independent = model.parts == 0;
    for (int j = 0; j < 9; j++)
        for (int k = 0; k < 9; k++) {
            const long double x = static_cast<long double>(j % 3 - k % 3) * dx;
            const long double y = static_cast<long double>(j / 3 - k / 3) * dy;
            c.rho[j][k] = c.independent ? (j == k ? 1.0 : 0.0)
                                        : correlation_at(model, static_cast<double>(std::sqrt(x * x + y * y)));
        }
    return c;
}

double sigma_3D(const double window[9], const WindowCorrelation &correlation)
{
    if (correlation.independent)
        return sigma_3D(window);
    long double sum = 0;
    for (int j = 0; j < 9; j++)
        for (int k = 0; k < 9; k++) {
            const long double wj = j == 4 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT;
            const long double wk = k == 4 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT;
            sum += wj * wk * window[j] * window[k] * correlation.rho[j][k];
        }
    return static_cast<double>(std::sqrt(sum));
}

double two_sided_quantile(double p)
{
    const boost::math::normal_distribution<long double> standard(0, 1);
    return static_cast<double>(boost::math::quantile(standard, (1.0L + p) / 2.0L));
}

Detection make_detection(double lod, double p)
{
    Detection d;
    d.lod = lod;
    if (p > 0) {
        d.confidence = true;
        d.p = p;
        d.z = two_sided_quantile(p);
    }
    return d;
}

bool open_sigma_input(const std::string &option, const std::string &given, const GridFacts &grid, SigmaInput *input,
                      std::string *error)
{
    input->given = given;
    // A number: the whole text read as one.
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(given.c_str(), &end);
    if (!given.empty() && end != nullptr && *end == '\0') {
        if (errno != 0 || !std::isfinite(value) || value < 0) {
            *error = option + " " + given + ": the error must be a finite number of metres, 0 or more";
            return false;
        }
        // The error of a difference adds the squares of both errors.
        if (!std::isfinite(2 * value * value)) {
            *error = option + " " + given + ": an error that large overflows the arithmetic of the errors";
            return false;
        }
        input->is_raster = false;
        input->value = value;
        return true;
    }
    DemInputOptions o;
    o.path = given;
    if (!open_dem_input(o, &input->raster, error)) {
        *error = option + ": " + *error;
        return false;
    }
    input->is_raster = true;
    std::string what;
    if (!layer_on_grid(grid, input->raster.grid, "BEFORE", &what)) {
        *error = option + ": " + given + ": " + what;
        close_dem_input(&input->raster);
        input->is_raster = false;
        return false;
    }
    return true;
}

bool read_sigma_lines(SigmaInput *input, int first, int count, int nb_col, double *sigma, std::string *error)
{
    const size_t n = static_cast<size_t>(count) * static_cast<size_t>(nb_col);
    if (!input->is_raster) {
        for (size_t k = 0; k < n; k++)
            sigma[k] = input->value;
        return true;
    }
    std::vector<unsigned char> valid(n);
    if (!read_dem_lines(&input->raster, first, count, sigma, valid.data(), error))
        return false;
    for (size_t k = 0; k < n; k++) {
        if (!valid[k]) {
            sigma[k] = NO_ERROR_VALUE;
            input->nodata_cells++;
        } else if (!(sigma[k] >= 0) || std::isinf(sigma[k])) {
            *error = input->given + ": the error at line " + std::to_string(first + k / nb_col) + ", column " +
                     std::to_string(k % nb_col) + " is " + std::to_string(sigma[k]) +
                     " m: an error must be a finite number, 0 or more";
            return false;
        }
    }
    return true;
}

void close_sigma_input(SigmaInput *input)
{
    if (input->is_raster)
        close_dem_input(&input->raster);
    input->is_raster = false;
}
