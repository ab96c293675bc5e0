#include "stable_error.h"

#include <algorithm>
#include <cmath>

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

int slope_bin(double slope)
{
    int k = 0;
    while (k + 1 < SLOPE_BINS && slope >= SLOPE_EDGES[k + 1])
        k++;
    return k;
}

} // namespace

const char *const LEARNED_ERROR_ASSUMPTION =
    "Errors learned from stable ground (Hugonnet et al. 2022, IEEE JSTARS 15): each cell's sigma_d is the NMAD "
    "of AFTER - BEFORE on the stable cells of its slope (interpolated between slope bins, outliers beyond 4 NMAD "
    "of their bin's median left out); it assumes the stable cells did not change and that the other cells of the same slope err alike. "
    "The cells' errors are taken as independent of each other: their spatial correlation is not learned.";

double slope_degrees(const double *above, const double *line, const double *below, int nb_col, int c, double cell_w,
                     double cell_h)
{
    const double none = NAN;
    const long double g_col =
        axis_gradient(c > 0 ? line[c - 1] : none, line[c], c + 1 < nb_col ? line[c + 1] : none) / cell_w;
    const long double g_line =
        axis_gradient(above != nullptr ? above[c] : none, line[c], below != nullptr ? below[c] : none) / cell_h;
    return static_cast<double>(std::atan(std::sqrt(g_col * g_col + g_line * g_line)) * 180 / PI);
}

double median_of(std::vector<double> *values)
{
    const size_t n = values->size();
    if (n == 0)
        return 0;
    std::nth_element(values->begin(), values->begin() + n / 2, values->end());
    const long double upper = (*values)[n / 2];
    if (n % 2 == 1)
        return static_cast<double>(upper);
    const long double lower = *std::max_element(values->begin(), values->begin() + n / 2);
    return static_cast<double>((lower + upper) / 2);
}

double nmad_of(std::vector<double> *values, double median)
{
    for (double &v : *values)
        v = static_cast<double>(std::fabs(static_cast<long double>(v) - median));
    return static_cast<double>(1.4826L * median_of(values));
}

bool estimate_stable_error(int nb_lig, int nb_col, double cell_w, double cell_h, long long max_cells,
                           const StableLineReader &read_line, StableErrorModel *model, std::string *error)
{
    *model = StableErrorModel();
    const long long cells = static_cast<long long>(nb_lig) * nb_col;
    int step = 1;
    if (max_cells > 0 && cells > max_cells)
        step = static_cast<int>(std::ceil(std::sqrt(static_cast<long double>(cells) / max_cells)));
    model->sample_step = step;
    const int offset = step / 2;

    // Three lines of BEFORE around the line sampled, for the slope; AFTER
    // and the stable flags of the line itself.
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
    Line *prev = &ring[0], *cur = &ring[1], *next = &ring[2];
    std::vector<double> dh;
    std::vector<float> slope;
    for (int k = 0; k <= nb_lig; k++) {
        if (k < nb_lig && !read_line(k, next->before.data(), next->after.data(), next->stable.data(), error))
            return false;
        const int l = k - 1; // cur holds line l
        if (l >= 0 && l % step == offset)
            for (int c = offset; c < nb_col; c += step) {
                const double b = cur->before[static_cast<size_t>(c)], a = cur->after[static_cast<size_t>(c)];
                if (!cur->stable[static_cast<size_t>(c)] || std::isnan(b) || std::isnan(a))
                    continue;
                dh.push_back(static_cast<double>(static_cast<long double>(a) - b));
                slope.push_back(static_cast<float>(slope_degrees(l > 0 ? prev->before.data() : nullptr,
                                                                 cur->before.data(),
                                                                 k < nb_lig ? next->before.data() : nullptr, nb_col,
                                                                 c, cell_w, cell_h)));
            }
        Line *spare = prev;
        prev = cur;
        cur = next;
        next = spare;
    }
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

    // The cells of each bin.
    std::vector<std::vector<double>> bin_dh(SLOPE_BINS), bin_slope(SLOPE_BINS);
    for (size_t k = 0; k < dh.size(); k++) {
        const int b = slope_bin(slope[k]);
        bin_dh[static_cast<size_t>(b)].push_back(dh[k]);
        bin_slope[static_cast<size_t>(b)].push_back(slope[k]);
    }
    // Bins with too few cells merged with their smaller neighbour, the
    // lowest such bin first.
    std::vector<double> lo(SLOPE_EDGES, SLOPE_EDGES + SLOPE_BINS), hi(SLOPE_EDGES + 1, SLOPE_EDGES + SLOPE_BINS + 1);
    for (;;) {
        size_t k = 0;
        while (k < bin_dh.size() && static_cast<long long>(bin_dh[k].size()) >= MIN_BIN_CELLS)
            k++;
        if (k == bin_dh.size() || bin_dh.size() == 1)
            break;
        size_t with = k + 1;
        if (k + 1 == bin_dh.size() || (k > 0 && bin_dh[k - 1].size() < bin_dh[k + 1].size()))
            with = k - 1;
        const size_t a = std::min(k, with), b = std::max(k, with);
        bin_dh[a].insert(bin_dh[a].end(), bin_dh[b].begin(), bin_dh[b].end());
        bin_slope[a].insert(bin_slope[a].end(), bin_slope[b].begin(), bin_slope[b].end());
        hi[a] = hi[b];
        bin_dh.erase(bin_dh.begin() + static_cast<long>(b));
        bin_slope.erase(bin_slope.begin() + static_cast<long>(b));
        lo.erase(lo.begin() + static_cast<long>(b));
        hi.erase(hi.begin() + static_cast<long>(b));
    }
    // Each bin's outliers, beyond STABLE_OUTLIER_NMAD NMADs of its own
    // median, left out: with errors that grow with the slope, one limit for
    // the whole would cut the tails of the steep bins and shrink their NMAD.
    for (size_t k = 0; k < bin_dh.size(); k++) {
        std::vector<double> work = bin_dh[k];
        const double centre = median_of(&work);
        work = bin_dh[k];
        const long double limit = STABLE_OUTLIER_NMAD * static_cast<long double>(nmad_of(&work, centre));
        std::vector<double> kept, kept_slope;
        for (size_t c = 0; c < bin_dh[k].size(); c++)
            if (std::fabs(static_cast<long double>(bin_dh[k][c]) - centre) <= limit) {
                kept.push_back(bin_dh[k][c]);
                kept_slope.push_back(bin_slope[k][c]);
            }
        model->outliers += static_cast<long long>(bin_dh[k].size() - kept.size());
        SlopeBin bin;
        bin.slope_min_deg = lo[k];
        bin.slope_max_deg = hi[k];
        bin.cells = static_cast<long long>(kept.size());
        const double m = median_of(&kept);
        bin.nmad_m = nmad_of(&kept, m);
        bin.median_slope_deg = median_of(&kept_slope);
        model->slope_bins.push_back(bin);
    }
    model->stable_cells = model->sampled_cells - model->outliers;
    return true;
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

bool learn_stable_error(const DemInputOptions &before_options, const DemInputOptions &after_options,
                        const Alignment *aligned, const std::string &stable, const std::string &unstable,
                        long long max_cells, StableErrorModel *model, std::string *warning, std::string *error)
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
    ok = ok && open_stable_ground(stable, unstable, before, before.grid.crs_wkt, &ground, error);
    warning->clear();
    if (stable.empty() && unstable.empty())
        *warning = "no --stable or --unstable: every cell is taken as stable ground to learn the errors, so any "
                   "real change between the surveys inflates them";
    if (ok) {
        std::vector<unsigned char> valid(static_cast<size_t>(before.grid.nb_col));
        const StableLineReader read_line = [&](int line, double *b, double *a, unsigned char *s, std::string *why) {
            if (!read_dem_lines(&before, line, 1, b, valid.data(), why))
                return false;
            if (aligned != nullptr)
                read_aligned_lines(*aligned, line, 1, a, valid.data());
            else if (!read_dem_lines(&after, line, 1, a, valid.data(), why))
                return false;
            return read_stable_line(&ground, line, s, why);
        };
        ok = estimate_stable_error(before.grid.nb_lig, before.grid.nb_col, cell_w, cell_h, max_cells, read_line, model,
                                   error);
    }
    close_stable_ground(&ground);
    if (before_open)
        close_dem_input(&before);
    if (after_open)
        close_dem_input(&after);
    return ok;
}

double learned_sigma(const StableErrorModel &model, double slope_deg)
{
    const std::vector<SlopeBin> &b = model.slope_bins;
    if (b.empty())
        return NAN;
    if (slope_deg <= b.front().median_slope_deg)
        return b.front().nmad_m;
    for (size_t k = 1; k < b.size(); k++)
        if (slope_deg < b[k].median_slope_deg) {
            const long double x0 = b[k - 1].median_slope_deg, x1 = b[k].median_slope_deg;
            const long double t = (slope_deg - x0) / (x1 - x0);
            return static_cast<double>(b[k - 1].nmad_m + t * (static_cast<long double>(b[k].nmad_m) - b[k - 1].nmad_m));
        }
    return b.back().nmad_m;
}
