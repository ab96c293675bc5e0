// The co-registration method on grids in memory: the fit sample of the
// reference, resampling of TO_ALIGN, and the iterative least-squares fit of
// Nuth and Kääb (2011). See coreg.h for the model and its assumptions.
#include "coreg.h"
#include "line_window.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const long double PI_L = 3.141592653589793238462643383279502884L;
const double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// The taps of one axis of the resampling kernel: the first source index,
// how many, and their weights.
struct Taps {
    long long first = 0;
    int n = 0;
    long double w[4] = {0, 0, 0, 0};
};

// Linear interpolation between the two cells around u (cell centres at
// integers). A position on a centre takes that cell alone, so that a zero
// shift on the same grid returns the cells themselves, nodata neighbours
// included.
void bilinear_taps(long double u, Taps *taps)
{
    const long double f = std::floor(u);
    const long double t = u - f;
    taps->first = static_cast<long long>(f);
    if (t == 0) {
        taps->n = 1;
        taps->w[0] = 1;
        return;
    }
    taps->n = 2;
    taps->w[0] = 1 - t;
    taps->w[1] = t;
}

// Cubic convolution of Keys (1981, IEEE Trans. Acoustics, Speech and Signal
// Processing 29, 1153-1160) with a = -0.5, the kernel of GDAL's "cubic":
// four cells, weights exact for quadratics, summing to 1.
void cubic_taps(long double u, Taps *taps)
{
    const long double f = std::floor(u);
    const long double t = u - f;
    if (t == 0) {
        taps->first = static_cast<long long>(f);
        taps->n = 1;
        taps->w[0] = 1;
        return;
    }
    const long double t2 = t * t, t3 = t2 * t;
    taps->first = static_cast<long long>(f) - 1;
    taps->n = 4;
    taps->w[0] = -0.5L * t3 + t2 - 0.5L * t;
    taps->w[1] = 1.5L * t3 - 2.5L * t2 + 1;
    taps->w[2] = -1.5L * t3 + 2 * t2 + 0.5L * t;
    taps->w[3] = 0.5L * t3 - 0.5L * t2;
}

// The weighted sum of the source cells under the taps; NaN when one of them
// lies outside the window or holds no data.
long double weighted_sum(const SourceGrid &source, const Taps &col_taps, const Taps &line_taps)
{
    const int nb_lig = source.frame.nb_lig, nb_col = source.frame.nb_col;
    if (col_taps.n == 0 || line_taps.n == 0 || col_taps.first < 0 || col_taps.first + col_taps.n > nb_col || line_taps.first < 0 ||
        line_taps.first + line_taps.n > nb_lig)
        return NOT_A_NUMBER;
    long double sum = 0;
    for (int j = 0; j < line_taps.n; ++j) {
        const float *row = &source.z[static_cast<size_t>(line_taps.first + j) * nb_col + col_taps.first];
        long double across = 0;
        for (int i = 0; i < col_taps.n; ++i) {
            if (std::isnan(row[i]))
                return NOT_A_NUMBER;
            across += col_taps.w[i] * row[i];
        }
        sum += line_taps.w[j] * across;
    }
    return sum;
}

// The kernel's taps along one axis at source position u (cell centres at
// integers) of an axis of count cells: primary, and the bilinear fallback
// of cubic convolution. No taps (n = 0) far outside the axis.
void axis_taps(long double u, int count, Resampling resampling, Taps *primary, Taps *fallback)
{
    primary->n = fallback->n = 0;
    if (!(u > -2 && u < count + 2))
        return;
    bilinear_taps(u, fallback);
    if (resampling == RESAMPLE_CUBIC)
        cubic_taps(u, primary);
    else
        *primary = *fallback;
}

// Where the centre of a reference cell, moved by a shift (in reference
// cells), falls in TO_ALIGN's window: column and line positions.
long double source_col(const SourceGrid &source, const Frame &reference, long double col)
{
    const long double x = reference.gt[0] + (col + 0.5L) * reference.gt[1];
    return (x - source.frame.gt[0]) / source.frame.gt[1] - 0.5L;
}

long double source_line(const SourceGrid &source, const Frame &reference, long double line)
{
    const long double y = reference.gt[3] + (line + 0.5L) * reference.gt[5];
    return (y - source.frame.gt[3]) / source.frame.gt[5] - 0.5L;
}

// Cubic convolution, and bilinear where its four-by-four window meets
// nodata or the edge but the two-by-two one does not.
double resample_with(const SourceGrid &source, Resampling resampling, const Taps &col, const Taps &col_fallback,
                     const Taps &line, const Taps &line_fallback)
{
    long double value = weighted_sum(source, col, line);
    if (std::isnan(value) && resampling == RESAMPLE_CUBIC)
        value = weighted_sum(source, col_fallback, line_fallback);
    return static_cast<double>(value);
}

// Median of the values (reordered); 0 for none.
long double median_of(std::vector<double> &values)
{
    if (values.empty())
        return 0;
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + mid, values.end());
    const long double upper = values[mid];
    if (values.size() % 2 == 1)
        return upper;
    const long double lower = *std::max_element(values.begin(), values.begin() + mid);
    return (lower + upper) / 2;
}

// Median and NMAD = 1.4826 median |dh - median dh| (Höhle and Höhle 2009,
// ISPRS J. Photogramm. 64, 398-406: the standard deviation of a normal
// distribution, robust to outliers).
DhStats stats_of(std::vector<double> values)
{
    DhStats stats;
    stats.cells = static_cast<long long>(values.size());
    const long double median = median_of(values);
    for (double &v : values)
        v = static_cast<double>(std::fabs(v - median));
    stats.median_m = static_cast<double>(median);
    stats.nmad_m = static_cast<double>(1.4826L * median_of(values));
    return stats;
}

// dh = TO_ALIGN moved by the shift minus REFERENCE at each cell of the
// sample (NaN where TO_ALIGN does not cover).
void differences(const FitSample &sample, const Frame &reference, const SourceGrid &source, Resampling resampling,
                 double shift_lines, double shift_cols, std::vector<double> *dh)
{
    // The sample lies on lines and columns of the grid: the taps of each
    // column once per pass, those of each line once per line.
    std::vector<Taps> cols(reference.nb_col), cols_fallback(reference.nb_col);
    std::vector<unsigned char> cols_done(reference.nb_col, 0);
    Taps line, line_fallback;
    int taps_line = -1;
    dh->resize(sample.cells.size());
    for (size_t k = 0; k < sample.cells.size(); ++k) {
        const FitCell &cell = sample.cells[k];
        if (!cols_done[cell.col]) {
            axis_taps(source_col(source, reference, cell.col + static_cast<long double>(shift_cols)),
                      source.frame.nb_col, resampling, &cols[cell.col], &cols_fallback[cell.col]);
            cols_done[cell.col] = 1;
        }
        if (cell.line != taps_line) {
            axis_taps(source_line(source, reference, cell.line + static_cast<long double>(shift_lines)),
                      source.frame.nb_lig, resampling, &line, &line_fallback);
            taps_line = cell.line;
        }
        const double v = resample_with(source, resampling, cols[cell.col], cols_fallback[cell.col], line, line_fallback);
        (*dh)[k] = static_cast<double>(static_cast<long double>(v) - cell.z);
    }
}

std::vector<double> finite_values(const std::vector<double> &values)
{
    std::vector<double> kept;
    kept.reserve(values.size());
    for (double v : values)
        if (!std::isnan(v))
            kept.push_back(v);
    return kept;
}

// The sums of one least-squares fit of dh = -(s_col g_col + s_line g_line) + dz
// over the cells kept, centred on their means so that the normal equations
// stay well conditioned whatever the mean height.
struct FitSums {
    long long n = 0;
    long double mean_col = 0, mean_line = 0, mean_dh = 0;
    long double s_cc = 0, s_cl = 0, s_ll = 0, s_cy = 0, s_ly = 0;
};

FitSums fit_sums(const FitSample &sample, const std::vector<double> &dh, const std::vector<size_t> &kept)
{
    FitSums f;
    f.n = static_cast<long long>(kept.size());
    if (f.n == 0)
        return f;
    for (size_t k : kept) {
        f.mean_col += sample.cells[k].g_col;
        f.mean_line += sample.cells[k].g_line;
        f.mean_dh += dh[k];
    }
    f.mean_col /= f.n;
    f.mean_line /= f.n;
    f.mean_dh /= f.n;
    for (size_t k : kept) {
        const long double c = sample.cells[k].g_col - f.mean_col;
        const long double l = sample.cells[k].g_line - f.mean_line;
        const long double y = dh[k] - f.mean_dh;
        f.s_cc += c * c;
        f.s_cl += c * l;
        f.s_ll += l * l;
        f.s_cy += c * y;
        f.s_ly += l * y;
    }
    return f;
}

// Why the gradients of the fit cells cannot give a shift in every
// direction, or "" when they can: the covariance of the slopes (m/m) must
// have a smaller eigenvalue of at least MIN_GRADIENT_SPREAD_RATIO times the
// larger one and of at least MIN_GRADIENT_SPREAD squared.
std::string gradient_spread_problem(const FitSums &f, long double cell_w, long double cell_h)
{
    const long double a = f.s_cc / (cell_w * cell_w) / f.n;
    const long double b = f.s_cl / (cell_w * cell_h) / f.n;
    const long double c = f.s_ll / (cell_h * cell_h) / f.n;
    const long double half = (a - c) / 2;
    const long double root = std::sqrt(half * half + b * b);
    const long double largest = (a + c) / 2 + root, smallest = (a + c) / 2 - root;
    if (largest <= 0 || std::sqrt(std::max(smallest, 0.0L)) < MIN_GRADIENT_SPREAD)
        return "the stable slopes face too few directions (all alike, or a plane): the shift is not determined "
               "across them";
    if (smallest < MIN_GRADIENT_SPREAD_RATIO * largest)
        return "the stable slopes face nearly one direction (their spread across it is " +
               std::to_string(static_cast<double>(std::sqrt(smallest / largest) * 100)) +
               "% of that along it): the shift is not determined across it";
    return "";
}

} // namespace

double Frame::cell_w_m() const
{
    return static_cast<double>(std::fabs(static_cast<long double>(gt[1]) * x_metres));
}

double Frame::cell_h_m() const
{
    return static_cast<double>(std::fabs(static_cast<long double>(gt[5]) * y_metres));
}

double resample_at(const SourceGrid &source, const Frame &reference, Resampling resampling, double line, double col)
{
    Taps c, c_fallback, l, l_fallback;
    axis_taps(source_col(source, reference, col), source.frame.nb_col, resampling, &c, &c_fallback);
    axis_taps(source_line(source, reference, line), source.frame.nb_lig, resampling, &l, &l_fallback);
    return resample_with(source, resampling, c, c_fallback, l, l_fallback);
}

void resample_lines(const SourceGrid &source, const Frame &reference, Resampling resampling, int first, int count,
                    double shift_lines, double shift_cols, double *values)
{
    // The columns' taps are the same on every line: computed once.
    const int nb_col = reference.nb_col;
    std::vector<Taps> cols(nb_col), cols_fallback(nb_col);
    for (int c = 0; c < nb_col; ++c)
        axis_taps(source_col(source, reference, c + static_cast<long double>(shift_cols)), source.frame.nb_col,
                  resampling, &cols[c], &cols_fallback[c]);
    for (int k = 0; k < count; ++k) {
        Taps l, l_fallback;
        axis_taps(source_line(source, reference, first + k + static_cast<long double>(shift_lines)),
                  source.frame.nb_lig, resampling, &l, &l_fallback);
        double *out = values + static_cast<size_t>(k) * nb_col;
        for (int c = 0; c < nb_col; ++c)
            out[c] = resample_with(source, resampling, cols[c], cols_fallback[c], l, l_fallback);
    }
}

bool build_fit_sample(const Frame &reference, long long max_cells, const ReferenceLineReader &read_line,
                      FitSample *sample, std::string *error)
{
    const int nb_lig = reference.nb_lig, nb_col = reference.nb_col;
    const long long cells = static_cast<long long>(nb_lig) * nb_col;
    sample->cells.clear();
    sample->slope_cells = 0;
    sample->step = sample_step(cells, max_cells);
    const int step = sample->step, offset = step / 2;
    const long double cell_w = reference.cell_w_m(), cell_h = reference.cell_h_m();
    const long double min_tan = std::tan(MIN_SLOPE_DEGREES * PI_L / 180);
    const long double max_tan = std::tan(MAX_SLOPE_DEGREES * PI_L / 180);

    // Three lines of the reference around the line sampled: the central
    // differences need the lines above and below.
    struct Line {
        std::vector<double> z;
        std::vector<unsigned char> valid, stable;
    };
    Line ring[3];
    for (Line &line : ring) {
        line.z.resize(nb_col);
        line.valid.resize(nb_col);
        line.stable.resize(nb_col);
    }
    auto read = [&](int k, Line *line) {
        return read_line(k, line->z.data(), line->valid.data(), line->stable.data(), error);
    };
    auto visit = [&](int l, const Line *above, const Line &line, const Line *below) {
        if (l % step != offset)
            return;
        for (int c = offset; c < nb_col; c += step) {
            if (!line.stable[c] || !line.valid[c])
                continue;
            FitCell cell = {l, c, line.z[c], std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::quiet_NaN()};
            // Central differences (Zevenbergen and Thorne 1987, Earth
            // Surf. Process. Landforms 12, 47-56), metres per cell:
            //         z(l-1,c)
            // z(l,c-1)  z(l,c)  z(l,c+1)
            //         z(l+1,c)
            if (above != nullptr && below != nullptr && c > 0 && c + 1 < nb_col && line.valid[c - 1] &&
                line.valid[c + 1] && above->valid[c] && below->valid[c]) {
                const long double g_col = (static_cast<long double>(line.z[c + 1]) - line.z[c - 1]) / 2;
                const long double g_line = (static_cast<long double>(below->z[c]) - above->z[c]) / 2;
                const long double gx = g_col / cell_w, gy = g_line / cell_h;
                const long double tan_slope = std::sqrt(gx * gx + gy * gy);
                if (tan_slope >= min_tan && tan_slope <= max_tan) {
                    cell.g_col = static_cast<float>(g_col);
                    cell.g_line = static_cast<float>(g_line);
                    ++sample->slope_cells;
                }
            }
            sample->cells.push_back(cell);
        }
    };
    return walk_line_windows(nb_lig, ring, read, visit);
}

namespace {

// One fit of the shift's step on the differences dh at the current shift.
struct FitStep {
    std::string problem; // why no step can be fitted, "" when it was
    long long cells = 0; // the cells of the fit
    long double cols = 0, lines = 0;
};

FitStep fit_step(const FitSample &sample, const std::vector<double> &dh, long double cell_w, long double cell_h)
{
    FitStep step;
    // The cells of this fit: slope in range, data in both, dh within
    // OUTLIER_NMAD NMADs of the median dh.
    std::vector<size_t> usable, kept;
    std::vector<double> values;
    for (size_t k = 0; k < sample.cells.size(); ++k)
        if (!std::isnan(sample.cells[k].g_col) && !std::isnan(dh[k])) {
            usable.push_back(k);
            values.push_back(dh[k]);
        }
    if (static_cast<long long>(usable.size()) < MIN_FIT_CELLS) {
        step.problem =
            "only " + std::to_string(usable.size()) + " stable cells with data in both and slopes between " +
            std::to_string(static_cast<int>(MIN_SLOPE_DEGREES)) + " and " +
            std::to_string(static_cast<int>(MAX_SLOPE_DEGREES)) + " degrees (at least " +
            std::to_string(MIN_FIT_CELLS) + " are needed" +
            (sample.step > 1 ? " in the sample of one cell in " + std::to_string(sample.step) + " x " +
                                   std::to_string(sample.step)
                             : std::string()) +
            ")";
        return step;
    }
    const DhStats spread = stats_of(values);
    const long double limit = OUTLIER_NMAD * static_cast<long double>(spread.nmad_m);
    for (size_t k : usable)
        if (std::fabs(dh[k] - static_cast<long double>(spread.median_m)) <= limit)
            kept.push_back(k);
    const FitSums sums = fit_sums(sample, dh, kept);
    if (sums.n < MIN_FIT_CELLS)
        step.problem = "only " + std::to_string(sums.n) + " cells are left once the outliers of dh are removed (at "
                       "least " + std::to_string(MIN_FIT_CELLS) + " are needed)";
    else
        step.problem = gradient_spread_problem(sums, cell_w, cell_h);
    if (!step.problem.empty())
        return step;
    // dh = -(s_col g_col + s_line g_line) + dz, centred: the 2 x 2
    // normal equations of (s_col, s_line) solved by Cramer's rule.
    const long double det = sums.s_cc * sums.s_ll - sums.s_cl * sums.s_cl;
    step.cols = -(sums.s_ll * sums.s_cy - sums.s_cl * sums.s_ly) / det;
    step.lines = -(sums.s_cc * sums.s_ly - sums.s_cl * sums.s_cy) / det;
    step.cells = sums.n;
    return step;
}

// Shifts and fits again until the step is below CONVERGED_STEP_CELLS or
// max_iterations fits: the shift in columns and lines into *shift_cols and
// *shift_lines, the iterations, cells, convergence or why the shift is
// undetermined into *result. dh holds the differences at no shift.
void iterate_shift(const FitSample &sample, const Frame &reference, const SourceGrid &source, Resampling resampling,
                   int max_iterations, std::vector<double> *dh, long double *shift_cols, long double *shift_lines,
                   CoregResult *result)
{
    const long double cell_w = reference.cell_w_m(), cell_h = reference.cell_h_m();
    for (int iteration = 1; iteration <= max_iterations; ++iteration) {
        if (iteration > 1)
            differences(sample, reference, source, resampling, static_cast<double>(*shift_lines),
                        static_cast<double>(*shift_cols), dh);
        const FitStep step = fit_step(sample, *dh, cell_w, cell_h);
        if (!step.problem.empty()) {
            result->determined = false;
            result->why_undetermined = step.problem;
            return;
        }
        *shift_cols += step.cols;
        *shift_lines += step.lines;
        result->iterations = iteration;
        result->cells_used = step.cells;
        if (std::fabs(*shift_cols) > MAX_SHIFT_CELLS || std::fabs(*shift_lines) > MAX_SHIFT_CELLS) {
            result->determined = false;
            result->why_undetermined = "the shift grew beyond " + std::to_string(static_cast<int>(MAX_SHIFT_CELLS)) +
                                       " cells: the surveys are not roughly aligned, or the stable ground changed";
            return;
        }
        if (std::sqrt(step.cols * step.cols + step.lines * step.lines) < CONVERGED_STEP_CELLS) {
            result->converged = true;
            return;
        }
    }
}

// The bias (median dh on every stable cell of the sample, shifted), the
// spread after it, and the shift in map units and metres.
void shifted_result(const FitSample &sample, const Frame &reference, const SourceGrid &source, Resampling resampling,
                    long double shift_cols, long double shift_lines, std::vector<double> *dh, CoregResult *result)
{
    differences(sample, reference, source, resampling, static_cast<double>(shift_lines),
                static_cast<double>(shift_cols), dh);
    std::vector<double> stable = finite_values(*dh);
    const DhStats shifted = stats_of(stable);
    result->stable_cells = shifted.cells;
    result->bias_z_m = shifted.median_m;
    for (double &v : stable)
        v = static_cast<double>(v - static_cast<long double>(result->bias_z_m));
    result->after = stats_of(stable);

    result->shift_columns = static_cast<double>(shift_cols);
    result->shift_lines = static_cast<double>(shift_lines);
    const long double x_map = shift_cols * reference.gt[1], y_map = shift_lines * reference.gt[5];
    const long double x_m = x_map * reference.x_metres, y_m = y_map * reference.y_metres;
    if (reference.degrees) {
        result->degrees = true;
        result->shift_x_deg = static_cast<double>(x_map);
        result->shift_y_deg = static_cast<double>(y_map);
        result->metres_per_degree_x = reference.x_metres;
        result->metres_per_degree_y = reference.y_metres;
        result->scale_latitude = reference.latitude;
    }
    const long double cell_w = reference.cell_w_m(), cell_h = reference.cell_h_m();
    result->shift_x_m = static_cast<double>(x_m);
    result->shift_y_m = static_cast<double>(y_m);
    result->shift_x_cells = static_cast<double>(x_m / cell_w);
    result->shift_y_cells = static_cast<double>(y_m / cell_h);
}

} // namespace

void fit_alignment(const FitSample &sample, const Frame &reference, const SourceGrid &source,
                   Resampling resampling, int max_iterations, bool force, CoregResult *result)
{
    *result = CoregResult();
    result->sample_step = sample.step;
    std::vector<double> dh;
    differences(sample, reference, source, resampling, 0, 0, &dh);
    result->before = stats_of(finite_values(dh));

    long double shift_cols = 0, shift_lines = 0;
    iterate_shift(sample, reference, source, resampling, max_iterations, &dh, &shift_cols, &shift_lines, result);
    if (!result->determined) {
        if (!force)
            return;
        shift_cols = shift_lines = 0; // forced: no horizontal shift, the bias alone
        result->converged = false;
    }
    shifted_result(sample, reference, source, resampling, shift_cols, shift_lines, &dh, result);
}

nlohmann::json coreg_json(const CoregResult &r, Resampling resampling)
{
    nlohmann::json j;
    j["shift_x_m"] = r.shift_x_m;
    j["shift_y_m"] = r.shift_y_m;
    j["shift_x_cells"] = r.shift_x_cells;
    j["shift_y_cells"] = r.shift_y_cells;
    if (r.degrees) {
        j["shift_x_deg"] = r.shift_x_deg;
        j["shift_y_deg"] = r.shift_y_deg;
        j["metres_per_degree_x"] = r.metres_per_degree_x;
        j["metres_per_degree_y"] = r.metres_per_degree_y;
        j["scale_latitude_deg"] = r.scale_latitude;
    }
    j["bias_z_m"] = r.bias_z_m;
    j["iterations"] = r.iterations;
    j["cells_used"] = r.cells_used;
    j["before"] = {{"median_m", r.before.median_m}, {"nmad_m", r.before.nmad_m}, {"cells", r.before.cells}};
    j["after"] = {{"median_m", r.after.median_m}, {"nmad_m", r.after.nmad_m}, {"cells", r.after.cells}};
    j["shift_columns"] = r.shift_columns;
    j["shift_lines"] = r.shift_lines;
    j["converged"] = r.converged;
    j["determined"] = r.determined;
    if (!r.determined)
        j["why_undetermined"] = r.why_undetermined;
    j["stable_cells"] = r.stable_cells;
    j["sample_step"] = r.sample_step;
    j["resampling"] = resampling == RESAMPLE_CUBIC ? "cubic" : "bilinear";
    j["method"] = "Nuth and Kaab (2011), least squares on the reference's gradient";
    return j;
}
