#include "stable_error.h"

#include "beside.h"
#include "line_window.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

const long double PI = 3.141592653589793238462643383279502884L;

// The bins' edges before merging, degrees.
const double SLOPE_EDGES[] = {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 60, 70, 80, 90};
const int SLOPE_BINS = sizeof SLOPE_EDGES / sizeof SLOPE_EDGES[0] - 1;

// The gradient along one axis from the heights on either side (NaN: no
// data), metres per cell.
long double axis_gradient(double before, double centre, double after)
{
    const bool b = !std::isnan(before), a = !std::isnan(after);
    if (b && a)
        return (static_cast<long double>(after) - before) / 2;
    if (a)
        return static_cast<long double>(after) - centre;
    if (b)
        return static_cast<long double>(centre) - before;
    return 0;
}


} // namespace

const char *const LEARNED_ERROR_ASSUMPTION =
    "Errors learned from stable ground (Hugonnet et al. 2022, IEEE JSTARS 15): each cell's sigma_d is the NMAD "
    "of AFTER - BEFORE on the stable cells of its slope (interpolated between slope bins, the cells whose "
    "standardised difference lies beyond 4 NMAD of its median left out), times the spread of the standardised differences at its maximum curvature "
    "(interpolated between curvature bins); it assumes the stable cells did not change and that the other cells "
    "of the same slope and curvature err alike. "
    "The spatial correlation of dh / sigma_dh is learned from its variogram (a nugget and two spherical parts) and "
    "gives the spatially correlated error of each row; it assumes one correlation model over the whole grid and "
    "rows roughly round.";

Divisor divisor(long double d)
{
    Divisor v;
    v.d = d;
    int exponent = 0;
    v.power_of_two = std::isfinite(d) && d > 0 && std::frexp(d, &exponent) == 0.5L;
    v.inverse = v.power_of_two ? std::ldexp(1.0L, 1 - exponent) : 0;
    return v;
}

CellSize cell_size(double cell_w, double cell_h)
{
    CellSize s;
    s.w = divisor(cell_w);
    s.h = divisor(cell_h);
    s.w2 = divisor(static_cast<long double>(cell_w) * cell_w);
    s.h2 = divisor(static_cast<long double>(cell_h) * cell_h);
    s.wh4 = divisor(4 * cell_w * cell_h);
    return s;
}

namespace {

// Column j of a line of the neighbourhood: NaN beyond the frame (no line,
// or no such column) as for a cell without data.
double cell_at(const double *row, int j, int nb_col) { return row != nullptr && j >= 0 && j < nb_col ? row[j] : NAN; }

} // namespace

long double slope_tangent(const double *above, const double *line, const double *below, int nb_col, int c,
                          const CellSize &size)
{
    const long double g_col =
        size.w.divide(axis_gradient(cell_at(line, c - 1, nb_col), line[c], cell_at(line, c + 1, nb_col)));
    const long double g_line =
        size.h.divide(axis_gradient(cell_at(above, c, nb_col), line[c], cell_at(below, c, nb_col)));
    return std::sqrt(g_col * g_col + g_line * g_line);
}

double slope_angle_degrees(long double tangent) { return static_cast<double>(std::atan(tangent) * 180 / PI); }

double slope_degrees(const double *above, const double *line, const double *below, int nb_col, int c, double cell_w,
                     double cell_h)
{
    return slope_angle_degrees(slope_tangent(above, line, below, nb_col, c, cell_size(cell_w, cell_h)));
}

double max_curvature(const double *above, const double *line, const double *below, int nb_col, int c,
                     const CellSize &size)
{
    auto at = [nb_col](const double *row, int j) { return cell_at(row, j, nb_col); };
    const long double z = line[c];
    // Second differences along each axis and across (Zevenbergen and Thorne
    // 1987); 0 where a neighbour they need has no data.
    auto second = [&](double a, double b, const Divisor &h2) {
        return std::isnan(a) || std::isnan(b) ? 0.0L : h2.divide(static_cast<long double>(a) - 2 * z + b);
    };
    const long double zxx = second(at(line, c - 1), at(line, c + 1), size.w2);
    const long double zyy = second(at(above, c), at(below, c), size.h2);
    const double corners[4] = {at(above, c - 1), at(above, c + 1), at(below, c - 1), at(below, c + 1)};
    long double zxy = 0;
    if (!std::isnan(corners[0]) && !std::isnan(corners[1]) && !std::isnan(corners[2]) && !std::isnan(corners[3]))
        zxy = size.wh4.divide(static_cast<long double>(corners[1]) - corners[0] - corners[3] + corners[2]);
    // The eigenvalues of the Hessian [[zxx, zxy], [zxy, zyy]]: the principal
    // curvatures of the surface where its slope is small.
    const long double mean = (zxx + zyy) / 2, half = (zxx - zyy) / 2;
    const long double r = std::sqrt(half * half + zxy * zxy);
    return static_cast<double>(std::max(std::fabs(mean + r), std::fabs(mean - r)));
}

double max_curvature(const double *above, const double *line, const double *below, int nb_col, int c, double cell_w,
                     double cell_h)
{
    return max_curvature(above, line, below, nb_col, c, cell_size(cell_w, cell_h));
}

namespace {

// The median of the values first .. last − 1 (reordered); 0 for none.
double median_of_range(double *first, double *last)
{
    const size_t n = static_cast<size_t>(last - first);
    if (n == 0)
        return 0;
    std::nth_element(first, first + n / 2, last);
    const long double upper = first[n / 2];
    if (n % 2 == 1)
        return static_cast<double>(upper);
    const long double lower = *std::max_element(first, first + n / 2);
    return static_cast<double>((lower + upper) / 2);
}

// Their NMAD around the median given (reordered and overwritten).
double nmad_of_range(double *first, double *last, double median)
{
    for (double *v = first; v != last; v++)
        *v = static_cast<double>(std::fabs(static_cast<long double>(*v) - median));
    return static_cast<double>(1.4826L * median_of_range(first, last));
}

} // namespace

double median_of(std::vector<double> *values) { return median_of_range(values->data(), values->data() + values->size()); }

double nmad_of(std::vector<double> *values, double median)
{
    return nmad_of_range(values->data(), values->data() + values->size(), median);
}

namespace {

// The bin of each value (bins of edges lo[k] .. hi[k]), by hi (ascending):
// the bins whose upper edge it reaches, the last one taking the rest,
// counted with no branch (a NaN reaches none: the first bin).
size_t bin_of(const std::vector<double> &hi, double value)
{
    size_t b = 0;
    for (size_t k = 0; k + 1 < hi.size(); k++)
        b += value >= hi[k];
    return b;
}

// Merges the bins with fewer than MIN_BIN_CELLS cells into their smaller
// neighbour, the lowest such bin first: cells[k] the cells of bin k, lo and
// hi its edges.
void merge_small_bins(std::vector<long long> *cells, std::vector<double> *lo, std::vector<double> *hi)
{
    for (;;) {
        size_t k = 0;
        while (k < cells->size() && (*cells)[k] >= MIN_BIN_CELLS)
            k++;
        if (k == cells->size() || cells->size() == 1)
            return;
        size_t with = k + 1;
        if (k + 1 == cells->size() || (k > 0 && (*cells)[k - 1] < (*cells)[k + 1]))
            with = k - 1;
        const size_t a = std::min(k, with), b = std::max(k, with);
        (*cells)[a] += (*cells)[b];
        (*hi)[a] = (*hi)[b];
        cells->erase(cells->begin() + static_cast<long>(b));
        lo->erase(lo->begin() + static_cast<long>(b));
        hi->erase(hi->begin() + static_cast<long>(b));
    }
}

// The bin (by the edges hi, bin_of) of each cell of key and the cells of
// each bin.
template <typename K>
void bins_of(const std::vector<double> &hi, const std::vector<K> &key, std::vector<unsigned char> *bin,
             std::vector<long long> *cells)
{
    bin->resize(key.size());
    cells->assign(hi.size(), 0);
    for (size_t k = 0; k < key.size(); k++) {
        (*bin)[k] = static_cast<unsigned char>(bin_of(hi, key[k]));
        (*cells)[(*bin)[k]]++;
    }
}

// The values value(k) of the kept cells k, grouped by bin into *grouped
// (bin b from (*begin)[b] to (*begin)[b + 1], the cells in their order).
template <typename Value>
void group_by_bin(const std::vector<unsigned char> &bin, const std::vector<unsigned char> &kept, size_t bins,
                  Value value, std::vector<double> *grouped, std::vector<size_t> *begin)
{
    begin->assign(bins + 1, 0);
    for (size_t k = 0; k < bin.size(); k++)
        if (kept[k])
            (*begin)[bin[k] + 1]++;
    for (size_t b = 0; b < bins; b++)
        (*begin)[b + 1] += (*begin)[b];
    grouped->resize((*begin)[bins]);
    std::vector<size_t> next(begin->begin(), begin->end() - 1);
    for (size_t k = 0; k < bin.size(); k++)
        if (kept[k])
            (*grouped)[next[bin[k]]++] = value(k);
}

// Linear interpolation of y at x between the points (x_of(bins[k]),
// y_of(bins[k])), their x ascending, held constant beyond the first and
// the last. The point above x: the first whose x exceeds it, after the
// points at or below it, counted with no branch (the tables hold a few
// dozen points at most; a search's branches on noisy slopes cost more
// than the count). A NaN x exceeds none and takes the last value. Between
// two points of one finite, non-zero y that y, as the formula gives it
// (y0 + t × 0), without the division.
template <typename Bin, typename X, typename Y>
double interpolate(const std::vector<Bin> &bins, X x_of, Y y_of, double x)
{
    if (bins.empty())
        return NAN;
    if (x <= x_of(bins.front()))
        return y_of(bins.front());
    size_t at = 1;
    for (size_t k = 1; k < bins.size(); k++)
        at += x_of(bins[k]) <= x;
    if (at == bins.size() || std::isnan(x))
        return y_of(bins.back());
    const auto above = bins.begin() + static_cast<long>(at);
    const double x0 = x_of(*(above - 1)), x1 = x_of(*above), y0 = y_of(*(above - 1)), y1 = y_of(*above);
    if (y0 == y1 && std::isfinite(y0) && y0 != 0 && x1 > x0)
        return y0;
    const long double t = (x - static_cast<long double>(x0)) / (x1 - static_cast<long double>(x0));
    return static_cast<double>(y0 + t * (static_cast<long double>(y1) - y0));
}

} // namespace

// Of each bin of the kept cells: the NMAD of spread(k) about its median and
// the median of where(k) (the bin's position on its axis); *begin as
// group_by_bin leaves it. grouped: scratch.
template <typename Spread, typename Where>
static void bin_nmads(const std::vector<unsigned char> &bin, const std::vector<unsigned char> &kept, size_t bins,
                      Spread spread, Where where, std::vector<double> *grouped, std::vector<size_t> *begin,
                      std::vector<double> *nmad, std::vector<double> *median_where)
{
    nmad->assign(bins, 0);
    median_where->assign(bins, 0);
    group_by_bin(bin, kept, bins, spread, grouped, begin);
    for (size_t k = 0; k < bins; k++) {
        double *first = grouped->data() + (*begin)[k], *last = grouped->data() + (*begin)[k + 1];
        (*nmad)[k] = nmad_of_range(first, last, median_of_range(first, last));
    }
    group_by_bin(bin, kept, bins, where, grouped, begin);
    for (size_t k = 0; k < bins; k++)
        (*median_where)[k] = median_of_range(grouped->data() + (*begin)[k], grouped->data() + (*begin)[k + 1]);
}

// The slope bins of edges lo, hi from the kept cells: cells, NMAD of dh
// around the bin's median, median slope. grouped: scratch.
static void fill_slope_bins(const std::vector<double> &lo, const std::vector<double> &hi, const std::vector<double> &dh,
                            const std::vector<float> &slope, const std::vector<unsigned char> &kept,
                            std::vector<double> *grouped, StableErrorModel *model)
{
    std::vector<unsigned char> bin;
    std::vector<long long> cells;
    bins_of(hi, slope, &bin, &cells);
    std::vector<size_t> begin;
    std::vector<double> nmad, median_slope;
    bin_nmads(
        bin, kept, lo.size(), [&](size_t k) { return dh[k]; }, [&](size_t k) { return static_cast<double>(slope[k]); },
        grouped, &begin, &nmad, &median_slope);
    model->slope_bins.clear();
    for (size_t k = 0; k < lo.size(); k++) {
        SlopeBin b;
        b.slope_min_deg = lo[k];
        b.slope_max_deg = hi[k];
        b.cells = static_cast<long long>(begin[k + 1] - begin[k]);
        b.nmad_m = nmad[k];
        b.median_slope_deg = median_slope[k];
        if (b.cells > 0)
            model->slope_bins.push_back(b);
    }
}

// The curvature bins of edges lo, hi from the kept cells: the NMAD of
// dh / σ_dh(slope) in each, the factor of σ_dh there. None when a factor is
// 0 (no spread: it would give its cells no error). grouped: scratch.
static void fill_curvature_bins(const std::vector<double> &lo, const std::vector<double> &hi,
                                const std::vector<double> &dh, const std::vector<float> &slope,
                                const std::vector<float> &curvature, const std::vector<unsigned char> &kept,
                                std::vector<double> *grouped, StableErrorModel *model)
{
    model->curvature_bins.clear();
    std::vector<unsigned char> bin;
    std::vector<long long> cells;
    bins_of(hi, curvature, &bin, &cells);
    std::vector<size_t> begin;
    std::vector<double> factor, median_curvature;
    bin_nmads(
        bin, kept, lo.size(), [&](size_t k) { return dh[k] / learned_sigma(*model, slope[k]); },
        [&](size_t k) { return static_cast<double>(curvature[k]); }, grouped, &begin, &factor, &median_curvature);
    std::vector<CurvatureBin> bins;
    for (size_t k = 0; k < lo.size(); k++) {
        CurvatureBin b;
        b.curvature_min = lo[k];
        b.curvature_max = hi[k];
        b.cells = static_cast<long long>(begin[k + 1] - begin[k]);
        b.factor = factor[k];
        b.median_curvature = median_curvature[k];
        if (b.cells == 0)
            continue;
        if (!(b.factor > 0) || !std::isfinite(b.factor))
            return;
        bins.push_back(b);
    }
    model->curvature_bins = bins;
}

namespace {

// The cells of the sample of stable ground (one cell in step × step, at
// offset step / 2 of each): dh, BEFORE's slope and curvature, and the
// cell's place in the sample's own grid of rows × cols, for the variogram.
struct StableSample {
    int rows = 0, cols = 0;
    std::vector<double> dh;
    std::vector<float> slope, curvature;
    std::vector<size_t> place;
};

// The sample, its lines walked three at a time: the slope and the
// curvature of BEFORE need the lines above and below; AFTER and the stable
// flags only the line itself.
bool sample_stable_ground(int nb_lig, int nb_col, int step, const CellSize &size, const StableLineReader &read_line,
                          StableSample *s, std::string *error)
{
    const int offset = step / 2;
    struct Line {
        std::vector<double> before, after;
        std::vector<unsigned char> stable;
    };
    Line ring[3];
    for (Line &l : ring) {
        l.before.resize(static_cast<size_t>(nb_col));
        l.after.resize(static_cast<size_t>(nb_col));
        l.stable.resize(static_cast<size_t>(nb_col));
    }
    s->rows = nb_lig > offset ? (nb_lig - offset + step - 1) / step : 0;
    s->cols = nb_col > offset ? (nb_col - offset + step - 1) / step : 0;
    // At most one value a cell of the sample: no growth by doubling.
    const size_t most = static_cast<size_t>(s->rows) * static_cast<size_t>(s->cols);
    s->dh.reserve(most);
    s->slope.reserve(most);
    s->curvature.reserve(most);
    s->place.reserve(most);
    auto read = [&](int k, Line *l) { return read_line(k, l->before.data(), l->after.data(), l->stable.data(), error); };
    auto visit = [&](int l, const Line *above, const Line &line, const Line *below) {
        if (l % step != offset)
            return;
        const double *up = above != nullptr ? above->before.data() : nullptr;
        const double *down = below != nullptr ? below->before.data() : nullptr;
        for (int c = offset; c < nb_col; c += step) {
            const double b = line.before[static_cast<size_t>(c)], a = line.after[static_cast<size_t>(c)];
            if (!line.stable[static_cast<size_t>(c)] || std::isnan(b) || std::isnan(a))
                continue;
            s->dh.push_back(static_cast<double>(static_cast<long double>(a) - b));
            s->slope.push_back(
                static_cast<float>(slope_angle_degrees(slope_tangent(up, line.before.data(), down, nb_col, c, size))));
            s->curvature.push_back(static_cast<float>(max_curvature(up, line.before.data(), down, nb_col, c, size)));
            s->place.push_back(static_cast<size_t>(l / step) * static_cast<size_t>(s->cols) +
                               static_cast<size_t>(c / step));
        }
    };
    return walk_line_windows(nb_lig, ring, read, visit);
}

} // namespace

namespace {

// The edges of the curvature bins: CURVATURE_BINS quantiles of the sampled
// curvatures (equal edges merged), the small bins merged, the last one
// closed at the largest curvature. The quantiles are order statistics:
// each found among the values above the one before (no sort of the whole).
void curvature_bin_edges(const std::vector<float> &curvature, std::vector<double> *lo, std::vector<double> *hi)
{
    std::vector<float> ordered(curvature);
    size_t from = 0;
    for (int q = 0; q < CURVATURE_BINS; q++) {
        const size_t k = ordered.size() * static_cast<size_t>(q) / CURVATURE_BINS;
        std::nth_element(ordered.begin() + static_cast<long>(from), ordered.begin() + static_cast<long>(k),
                         ordered.end());
        from = k;
        const double edge = ordered[k];
        if (lo->empty() || edge > lo->back())
            lo->push_back(edge);
    }
    for (size_t k = 1; k < lo->size(); k++)
        hi->push_back((*lo)[k]);
    hi->push_back(std::numeric_limits<double>::infinity());
    std::vector<unsigned char> bin;
    std::vector<long long> cells_of_bin;
    bins_of(*hi, curvature, &bin, &cells_of_bin);
    merge_small_bins(&cells_of_bin, lo, hi);
    hi->back() = *std::max_element(ordered.begin() + static_cast<long>(from), ordered.end());
}

} // namespace

bool estimate_stable_error(int nb_lig, int nb_col, double cell_w, double cell_h, long long max_cells,
                           const StableLineReader &read_line, StableErrorModel *model, std::string *error,
                           long long pairs)
{
    *model = StableErrorModel();
    const int step = sample_step(static_cast<long long>(nb_lig) * nb_col, max_cells);
    model->sample_step = step;
    StableSample sample;
    if (!sample_stable_ground(nb_lig, nb_col, step, cell_size(cell_w, cell_h), read_line, &sample, error))
        return false;
    const std::vector<double> &dh = sample.dh;
    const std::vector<float> &slope = sample.slope, &curvature = sample.curvature;
    const int rows = sample.rows, cols = sample.cols;
    model->sampled_cells = static_cast<long long>(dh.size());
    if (model->sampled_cells < MIN_STABLE_CELLS) {
        *error = "only " + std::to_string(model->sampled_cells) + " stable cells with data in both surveys (at least " +
                 std::to_string(MIN_STABLE_CELLS) + " are needed to learn the errors)";
        return false;
    }
    std::vector<double> work = dh;
    model->median_m = median_of(&work);
    work = dh;
    model->nmad_m = nmad_of(&work, model->median_m);

    // The bins' edges, the small bins merged (over every sampled cell):
    // slope, then curvature by CURVATURE_BINS quantiles (equal edges
    // merged).
    std::vector<unsigned char> kept(dh.size(), 1), bin;
    std::vector<long long> cells_of_bin;
    std::vector<double> lo(SLOPE_EDGES, SLOPE_EDGES + SLOPE_BINS), hi(SLOPE_EDGES + 1, SLOPE_EDGES + SLOPE_BINS + 1);
    bins_of(hi, slope, &bin, &cells_of_bin);
    merge_small_bins(&cells_of_bin, &lo, &hi);
    fill_slope_bins(lo, hi, dh, slope, kept, &work, model);
    std::vector<double> c_lo, c_hi;
    curvature_bin_edges(curvature, &c_lo, &c_hi);
    fill_curvature_bins(c_lo, c_hi, dh, slope, curvature, kept, &work, model);
    // The outliers: the standardised dh / σ_dh is homoscedastic, so one
    // limit, STABLE_OUTLIER_NMAD NMADs of its median, serves every cell
    // (on dh itself it would cut the tails of the steep and curved cells).
    // The bins are then worked out again without them.
    std::vector<double> z(dh.size());
    for (size_t k = 0; k < dh.size(); k++)
        z[k] = dh[k] / learned_sigma(*model, slope[k], curvature[k]);
    work = z;
    const double z_median = median_of(&work);
    work = z;
    const long double limit = STABLE_OUTLIER_NMAD * static_cast<long double>(nmad_of(&work, z_median));
    for (size_t k = 0; k < dh.size(); k++) {
        kept[k] = std::isfinite(z[k]) && std::fabs(static_cast<long double>(z[k]) - z_median) <= limit;
        model->outliers += !kept[k];
    }
    model->stable_cells = model->sampled_cells - model->outliers;
    fill_slope_bins(lo, hi, dh, slope, kept, &work, model);
    fill_curvature_bins(c_lo, c_hi, dh, slope, curvature, kept, &work, model);

    if (pairs > 0) {
        // z = dh / σ_dh at the cell's slope and curvature, outliers left out.
        std::vector<float> grid(static_cast<size_t>(rows) * static_cast<size_t>(cols), NAN);
        for (size_t k = 0; k < dh.size(); k++) {
            const double sigma = learned_sigma(*model, slope[k], curvature[k]);
            if (kept[k] && sigma > 0)
                grid[sample.place[k]] = static_cast<float>(dh[k] / sigma);
        }
        fit_variogram(grid, rows, cols, cell_h * step, cell_w * step, pairs, &model->variogram);
    }
    return true;
}

namespace {

// The spherical semivariogram of unit sill: 3q/2 − q³/2 for q = h/R < 1.
long double spherical(long double h, long double range)
{
    const long double q = h / range;
    return q < 1 ? 1.5L * q - 0.5L * q * q * q : 1;
}

// A uniform number in [0, 1) from 53 bits of the generator (the same on
// every platform, unlike the library's distributions).
long double uniform(std::mt19937_64 *random)
{
    return static_cast<long double>((*random)() >> 11) / 9007199254740992.0L;
}

// The nugget and sills (≥ 0) of the ranges r1, r2 that fit the variogram
// best, weighted by its pairs: non-negative least squares over the three
// unknowns by trying each set of free unknowns (the optimum lies on one of
// them) and keeping the best whose values are all ≥ 0. Returns the
// weighted sum of squares.
long double fit_sills(const Variogram &v, long double r1, long double r2, long double x[3])
{
    const size_t n = v.lags_m.size();
    long double best = -1;
    x[0] = x[1] = x[2] = 0;
    for (int set = 0; set < 8; set++) {
        int idx[3], m = 0;
        for (int k = 0; k < 3; k++)
            if (set & (1 << k))
                idx[m++] = k;
        long double a[3][4] = {};
        for (size_t b = 0; b < n; b++) {
            const long double f[3] = {1, spherical(v.lags_m[b], r1), spherical(v.lags_m[b], r2)};
            const long double w = v.pairs[b];
            for (int i = 0; i < m; i++) {
                for (int j = 0; j < m; j++)
                    a[i][j] += w * f[idx[i]] * f[idx[j]];
                a[i][3] += w * f[idx[i]] * v.gamma[b];
            }
        }
        // Gaussian elimination with partial pivoting on the m × m system.
        bool singular = false;
        for (int c = 0; c < m && !singular; c++) {
            int p = c;
            for (int r = c + 1; r < m; r++)
                if (std::fabs(a[r][c]) > std::fabs(a[p][c]))
                    p = r;
            if (!(std::fabs(a[p][c]) > 1e-18L)) {
                singular = true;
                break;
            }
            for (int k = 0; k < 4; k++)
                std::swap(a[c][k], a[p][k]);
            for (int r = 0; r < m; r++)
                if (r != c) {
                    const long double t = a[r][c] / a[c][c];
                    for (int k = c; k < 4; k++)
                        a[r][k] -= t * a[c][k];
                }
        }
        if (singular)
            continue;
        long double y[3] = {0, 0, 0};
        bool feasible = true;
        for (int i = 0; i < m; i++) {
            y[idx[i]] = a[i][3] / a[i][i];
            feasible = feasible && y[idx[i]] >= 0;
        }
        if (!feasible)
            continue;
        long double ss = 0;
        for (size_t b = 0; b < n; b++) {
            const long double model = y[0] + y[1] * spherical(v.lags_m[b], r1) + y[2] * spherical(v.lags_m[b], r2);
            const long double d = v.gamma[b] - model;
            ss += v.pairs[b] * d * d;
        }
        if (best < 0 || ss < best) {
            best = ss;
            x[0] = y[0];
            x[1] = y[1];
            x[2] = y[2];
        }
    }
    return best;
}

} // namespace

namespace {

// The empirical variogram of z into v's lags, semivariances and pairs, lags
// binned logarithmically from h0 to h1.
void empirical_variogram(const std::vector<float> &z, int rows, int cols, double dy, double dx, long long pairs,
                         long double h0, long double h1, Variogram *v)
{
    // The pairs: a first cell anywhere, a lag log-uniform from one cell to
    // half the diagonal in a uniform direction; pairs without both values
    // are drawn again, up to 20 times as many draws as pairs.
    std::mt19937_64 random(20220101);
    std::vector<long double> sum_gamma(VARIOGRAM_LAG_BINS, 0), sum_lag(VARIOGRAM_LAG_BINS, 0);
    std::vector<long long> count(VARIOGRAM_LAG_BINS, 0);
    const long double pi = 3.141592653589793238462643383279502884L, ratio = std::log(h1 / h0);
    long long found = 0;
    for (long long draw = 0; draw < 20 * pairs && found < pairs; draw++) {
        const int i1 = static_cast<int>(uniform(&random) * rows), j1 = static_cast<int>(uniform(&random) * cols);
        const long double h = h0 * std::exp(uniform(&random) * ratio), angle = 2 * pi * uniform(&random);
        int di = static_cast<int>(std::lround(h * std::sin(angle) / dy));
        int dj = static_cast<int>(std::lround(h * std::cos(angle) / dx));
        if (di == 0 && dj == 0)
            dj = 1;
        const int i2 = i1 + di, j2 = j1 + dj;
        if (i2 < 0 || i2 >= rows || j2 < 0 || j2 >= cols)
            continue;
        const float a = z[static_cast<size_t>(i1) * cols + j1], b = z[static_cast<size_t>(i2) * cols + j2];
        if (std::isnan(a) || std::isnan(b))
            continue;
        const long double d = std::sqrt(static_cast<long double>(di) * dy * di * dy + static_cast<long double>(dj) * dx * dj * dx);
        int bin = static_cast<int>(std::floor(std::log(d / h0) / ratio * VARIOGRAM_LAG_BINS));
        bin = bin < 0 ? 0 : bin >= VARIOGRAM_LAG_BINS ? VARIOGRAM_LAG_BINS - 1 : bin;
        const long double diff = static_cast<long double>(a) - b;
        sum_gamma[static_cast<size_t>(bin)] += diff * diff / 2;
        sum_lag[static_cast<size_t>(bin)] += d;
        count[static_cast<size_t>(bin)]++;
        found++;
    }
    for (int b = 0; b < VARIOGRAM_LAG_BINS; b++)
        if (count[static_cast<size_t>(b)] > 0) {
            v->lags_m.push_back(static_cast<double>(sum_lag[static_cast<size_t>(b)] / count[static_cast<size_t>(b)]));
            v->gamma.push_back(static_cast<double>(sum_gamma[static_cast<size_t>(b)] / count[static_cast<size_t>(b)]));
            v->pairs.push_back(count[static_cast<size_t>(b)]);
        }
}

// The nugget, sills and ranges of v's model fitted to its lags (fitted
// when a pair of ranges gives sills).
void fit_two_ranges(Variogram *v)
{
    // Both ranges on a logarithmic grid from half the shortest lag to twice
    // the longest, 40 values; then ten times finer around the best pair.
    const int grid = 40;
    const long double r_lo = v->lags_m.front() / 2, r_hi = v->lags_m.back() * 2;
    const long double step = std::log(r_hi / r_lo) / (grid - 1);
    long double best = -1, best_r1 = 0, best_r2 = 0, x[3], best_x[3] = {0, 0, 0};
    auto consider = [&](long double r1, long double r2) {
        const long double ss = fit_sills(*v, r1, r2, x);
        if (ss >= 0 && (best < 0 || ss < best)) {
            best = ss;
            best_r1 = r1;
            best_r2 = r2;
            std::copy(x, x + 3, best_x);
        }
    };
    for (int a = 0; a < grid; a++)
        for (int b = a + 1; b < grid; b++)
            consider(r_lo * std::exp(step * a), r_lo * std::exp(step * b));
    const long double r1 = best_r1, r2 = best_r2;
    for (int a = -10; a <= 10; a++)
        for (int b = -10; b <= 10; b++) {
            const long double s1 = r1 * std::exp(step * a / 10), s2 = r2 * std::exp(step * b / 10);
            if (s1 < s2)
                consider(s1, s2);
        }
    if (best < 0)
        return;
    v->fitted = true;
    v->model.nugget = static_cast<double>(best_x[0]);
    v->model.parts = 2;
    v->model.sill[0] = static_cast<double>(best_x[1]);
    v->model.range[0] = static_cast<double>(best_r1);
    v->model.sill[1] = static_cast<double>(best_x[2]);
    v->model.range[1] = static_cast<double>(best_r2);
}

} // namespace

void fit_variogram(const std::vector<float> &z, int rows, int cols, double dy, double dx, long long pairs,
                   Variogram *v)
{
    *v = Variogram();
    v->spacing_m = std::min(dx, dy);
    const long double diagonal = std::sqrt(static_cast<long double>(rows) * dy * rows * dy +
                                           static_cast<long double>(cols) * dx * cols * dx);
    const long double h0 = v->spacing_m, h1 = diagonal / 2;
    if (rows <= 0 || cols <= 0 || !(h1 > h0))
        return;
    empirical_variogram(z, rows, cols, dy, dx, pairs, h0, h1, v);
    if (v->lags_m.size() >= 3)
        fit_two_ranges(v);
}

bool cell_size_metres(const GridFacts &grid, double *cell_w, double *cell_h, std::string *error)
{
    if (grid.has_geotransform && grid.geographic) {
        *error = "the errors are learned by slope, in metres: put the surveys on a projected grid first (gdalwarp "
                 "-t_srs EPSG:...)";
        return false;
    }
    if (grid.geotransform[2] != 0 || grid.geotransform[4] != 0 || grid.geotransform[1] == 0 ||
        grid.geotransform[5] == 0) {
        *error = "the errors are learned by slope on a north-up grid: this one is rotated or has no cell size";
        return false;
    }
    const double unit = grid.has_geotransform ? grid.linear_metres : 1.0;
    *cell_w = static_cast<double>(std::fabs(static_cast<long double>(grid.geotransform[1])) * unit);
    *cell_h = static_cast<double>(std::fabs(static_cast<long double>(grid.geotransform[5])) * unit);
    return true;
}

namespace {

// BEFORE, AFTER (or its alignment) and the stable ground read a block of
// lines at a time, in order, and handed to the sample line by line: a
// read of one line costs GDAL a call and its decoding threads a hand-over
// each, more than the line's values. Blocks lie in BEFORE's rows of tiles
// and hold at most about 8 MiB.
struct StableBlocks {
    int nb_lig = 0, nb_col = 0, lines = 1;
    int first = 0, count = 0; // the lines held
    std::vector<double> before, after;
    std::vector<unsigned char> stable, valid;
};

// The rasters a sample reads.
struct StableRasters {
    DemInput *before, *after;
    const Alignment *aligned;
    StableGround *ground;
};

StableBlocks stable_blocks(const DemInput &before)
{
    StableBlocks k;
    k.nb_lig = before.grid.nb_lig;
    k.nb_col = before.grid.nb_col;
    int tile_w = 0, tile_h = 0;
    if (before.band != nullptr)
        GDALGetBlockSize(before.band, &tile_w, &tile_h);
    const long long most = 8LL * 1024 * 1024 / (18LL * std::max(1, k.nb_col));
    k.lines = tile_aligned_lines(static_cast<int>(std::max(1LL, std::min(256LL, most))), tile_h);
    const size_t cells = static_cast<size_t>(k.lines) * static_cast<size_t>(k.nb_col);
    k.before.resize(cells);
    k.after.resize(cells);
    k.stable.resize(cells);
    k.valid.resize(cells);
    return k;
}

bool read_stable_block(StableBlocks *k, int first, const StableRasters &r, std::string *why)
{
    const size_t n = static_cast<size_t>(k->nb_col);
    k->first = first;
    k->count = std::min(k->lines, k->nb_lig - first);
    if (!read_dem_lines(r.before, first, k->count, k->before.data(), k->valid.data(), why))
        return false;
    if (r.aligned != nullptr)
        read_aligned_lines(*r.aligned, first, k->count, k->after.data(), k->valid.data());
    else if (!read_dem_lines(r.after, first, k->count, k->after.data(), k->valid.data(), why))
        return false;
    for (int l = 0; l < k->count; l++)
        if (!read_stable_line(r.ground, first + l, &k->stable[static_cast<size_t>(l) * n], why))
            return false;
    return true;
}

// The blocks read one ahead: while the sample works on a block, the next
// one is read in a thread beside it (GDAL's datasets are used by one
// thread at a time: the reading thread alone between a start and its
// wait).
struct StableReadAhead {
    StableBlocks blocks[2];
    int current = 0;
    Beside reader;
    bool next_ok = true, next_started = false;
    std::string next_error;

    // The block holding `line`, the lines coming in order: the one read
    // ahead, or read now; the block after it then read ahead.
    bool reach(int line, const StableRasters &r, std::string *why)
    {
        StableBlocks *held = &blocks[current];
        if (line < held->first + held->count)
            return true;
        if (next_started) {
            reader.join();
            next_started = false;
            current = 1 - current;
            held = &blocks[current];
            if (!next_ok) {
                *why = next_error;
                return false;
            }
        }
        if (!(line >= held->first && line < held->first + held->count) && !read_stable_block(held, line, r, why))
            return false;
        const int next = held->first + held->count;
        if (next < held->nb_lig) {
            StableBlocks *ahead = &blocks[1 - current];
            next_started = true;
            reader.start([this, ahead, next, r] { next_ok = read_stable_block(ahead, next, r, &next_error); });
        }
        return true;
    }
};

} // namespace

bool learn_stable_error(const DemInputOptions &before_options, const DemInputOptions &after_options,
                        const Alignment *aligned, const std::string &stable, const std::string &unstable,
                        const MaskScratch &mask_scratch, long long max_cells, long long pairs,
                        StableErrorModel *model, std::string *warning, std::string *error)
{
    DemInput before, after;
    StableGround ground;
    bool before_open = false, after_open = false, ok = open_dem_input(before_options, &before, error);
    before_open = ok;
    double cell_w = 0, cell_h = 0;
    ok = ok && cell_size_metres(before.grid, &cell_w, &cell_h, error);
    if (ok && aligned == nullptr) {
        ok = open_dem_input(after_options, &after, error);
        after_open = ok;
    }
    ok = ok && open_stable_ground(stable, unstable, mask_scratch, before, before.grid.crs_wkt, &ground, error);
    warning->clear();
    if (stable.empty() && unstable.empty())
        *warning = "no --stable or --unstable: every cell is taken as stable ground to learn the errors, so any "
                   "real change between the surveys inflates them";
    // GDAL's block cache held to a row of blocks of each raster read (its
    // default, a share of the machine's memory, would keep whole inputs).
    const GIntBig cache = GDALGetCacheMax64();
    if (ok) {
        long long bytes = 8LL * 1024 * 1024;
        for (GDALRasterBandH band : {before.band, after.band, ground.stable.band, ground.unstable.band})
            if (band != nullptr) {
                int bx = 0, by = 0;
                GDALGetBlockSize(band, &bx, &by);
                bytes += static_cast<long long>(by) * before.grid.nb_col *
                         (GDALGetDataTypeSizeBytes(GDALGetRasterDataType(band)) + 1);
            }
        GDALSetCacheMax64(std::min<GIntBig>(cache, bytes));
    }
    if (ok) {
        StableReadAhead ahead;
        ahead.blocks[0] = ahead.blocks[1] = stable_blocks(before);
        const StableRasters rasters = {&before, &after, aligned, &ground};
        const StableLineReader read_line = [&](int line, double *b, double *a, unsigned char *s, std::string *why) {
            if (!ahead.reach(line, rasters, why))
                return false;
            const StableBlocks &blocks = ahead.blocks[ahead.current];
            const size_t n = static_cast<size_t>(blocks.nb_col), at = static_cast<size_t>(line - blocks.first) * n;
            std::copy(&blocks.before[at], &blocks.before[at] + n, b);
            std::copy(&blocks.after[at], &blocks.after[at] + n, a);
            std::copy(&blocks.stable[at], &blocks.stable[at] + n, s);
            return true;
        };
        ok = estimate_stable_error(before.grid.nb_lig, before.grid.nb_col, cell_w, cell_h, max_cells, read_line, model,
                                   error, pairs);
    }
    GDALSetCacheMax64(cache);
    close_stable_ground(&ground);
    if (before_open)
        close_dem_input(&before);
    if (after_open)
        close_dem_input(&after);
    return ok;
}

namespace {

// σ_dh at a slope times the factor at a curvature.
double scaled_sigma(double sigma, double factor) { return static_cast<double>(static_cast<long double>(sigma) * factor); }

} // namespace

double learned_sigma(const StableErrorModel &model, double slope_deg, double curvature)
{
    const double sigma = interpolate(
        model.slope_bins, [](const SlopeBin &b) { return b.median_slope_deg; },
        [](const SlopeBin &b) { return b.nmad_m; }, slope_deg);
    if (model.curvature_bins.empty())
        return sigma;
    const double factor = interpolate(
        model.curvature_bins, [](const CurvatureBin &b) { return b.median_curvature; },
        [](const CurvatureBin &b) { return b.factor; }, curvature);
    return scaled_sigma(sigma, factor);
}

namespace {

typedef LearnedSigmaTable::Point Point;

double interpolate_points(const std::vector<Point> &points, double x)
{
    return interpolate(
        points, [](const Point &p) { return p.x; }, [](const Point &p) { return p.y; }, x);
}

// The ranges of x over which interpolate gives one value: the runs of
// neighbouring points of one finite y (between two of them it adds
// t × 0), from −∞ at the first point and to +∞ at the last. None unless
// the points' x ascend strictly, as the binary search takes them.
std::vector<FlatRange> flat_ranges(const std::vector<Point> &points)
{
    std::vector<FlatRange> ranges;
    for (size_t k = 1; k < points.size(); k++)
        if (!(points[k].x > points[k - 1].x))
            return ranges;
    const long double infinity = std::numeric_limits<long double>::infinity();
    for (size_t a = 0; a < points.size();) {
        size_t b = a;
        while (b + 1 < points.size() && std::isfinite(points[a].y) && points[b + 1].y == points[a].y)
            b++;
        const bool first = a == 0, last = b + 1 == points.size();
        if (first || last || b > a)
            ranges.push_back({first ? -infinity : points[a].x, last ? infinity : points[b].x, points[a].y});
        a = b + 1;
    }
    return ranges;
}

// A range of slopes (degrees) as a range of their tangents, each end
// moved inwards by a part in 10^12 of its angle: a tangent within it has a
// slope within the range whatever the roundings of its angle (a few parts
// in 10^16; the slopes lie from 0 to 90 degrees).
FlatRange tangent_range(const FlatRange &degrees)
{
    const long double infinity = std::numeric_limits<long double>::infinity(), narrow = 1e-12L;
    const long double from = degrees.from <= 0 ? -infinity : std::tan(degrees.from * (1 + narrow) * PI / 180);
    const long double to = degrees.to >= 90 ? infinity : std::tan(degrees.to * (1 - narrow) * PI / 180);
    return {from, to, degrees.value};
}

// The value of the range holding x; false where none does.
bool flat_value(const std::vector<FlatRange> &ranges, long double x, double *value)
{
    for (const FlatRange &r : ranges)
        if (r.from <= x && x <= r.to) {
            *value = r.value;
            return true;
        }
    return false;
}

// Whether one range holds the whole axis: the table is one value.
bool whole_axis(const std::vector<FlatRange> &ranges)
{
    return ranges.size() == 1 && std::isinf(ranges[0].from) && std::isinf(ranges[0].to);
}

} // namespace

LearnedSigmaTable learned_sigma_table(const StableErrorModel &model)
{
    LearnedSigmaTable t;
    for (const SlopeBin &b : model.slope_bins)
        t.slope.push_back({b.median_slope_deg, b.nmad_m});
    for (const CurvatureBin &b : model.curvature_bins)
        t.curvature.push_back({b.median_curvature, b.factor});
    for (const FlatRange &r : flat_ranges(t.slope))
        t.slope_tangents.push_back(tangent_range(r));
    t.curvature_ranges = flat_ranges(t.curvature);
    t.by_curvature = !model.curvature_bins.empty();
    return t;
}

double learned_sigma_cell(const LearnedSigmaTable &table, const double *above, const double *line,
                          const double *below, int nb_col, int c, const CellSize &size)
{
    // An axis the table does not vary along is not worked out.
    const long double tangent =
        whole_axis(table.slope_tangents) ? 0 : slope_tangent(above, line, below, nb_col, c, size);
    double sigma;
    if (!flat_value(table.slope_tangents, tangent, &sigma))
        sigma = interpolate_points(table.slope, slope_angle_degrees(tangent));
    if (!table.by_curvature)
        return sigma;
    const double curvature =
        whole_axis(table.curvature_ranges) ? 0 : max_curvature(above, line, below, nb_col, c, size);
    double factor;
    if (!flat_value(table.curvature_ranges, curvature, &factor))
        factor = interpolate_points(table.curvature, curvature);
    return scaled_sigma(sigma, factor);
}
