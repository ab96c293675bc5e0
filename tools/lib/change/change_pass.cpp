#include "change_pass.h"

#include "beside.h"

#include "difference.h"
#include "difference_fast.h"
#include "line_window.h"
#include "progress.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <vector>

int change_block_lines(int nb_col)
{
    // Per line: heights (8 bytes) and flags (1) of both inputs, both
    // differences (8 each).
    const double line_bytes = 34.0 * nb_col;
    const double lines = 12.0 * 1024 * 1024 / line_bytes;
    return lines >= 256 ? 256 : lines < 1 ? 1 : static_cast<int>(lines);
}

int aligned_block_lines(int nb_col, int tile_lines)
{
    return tile_aligned_lines(change_block_lines(nb_col), tile_lines);
}

namespace {

const double NO_DIFFERENCE = std::numeric_limits<double>::quiet_NaN();

bool is_power_of_two(double x)
{
    int e;
    return x > 0 && std::isfinite(x) && std::frexp(x, &e) == 0.5;
}

// The volume of a difference over a cell of area a: their product in
// extended precision, rounded once. When a is a power of two the product
// is exact, and the double product is those bits at a fraction of the
// cost (an overflow or a subnormal result rounds once either way).
double cell_volume(double dif, double area, bool power_of_two_area)
{
    return power_of_two_area ? dif * area : static_cast<double>(static_cast<long double>(dif) * area);
}

// The lines of both inputs in memory: input lines base .. base + held − 1,
// room for block + 3 lines (the block, the line on either side, and with
// errors learned from the slope one more, the slope of the line after the
// block needing the line after it).
struct Window {
    int nb_col = 0, nb_lig = 0, base = 0, held = 0;
    int sig_next = 0; // with learned errors: the next line whose σ_d is to be worked out
    std::vector<double> before, after;       // heights, m
    std::vector<unsigned char> both;         // 1 where both have data (and an error, with errors)
    std::vector<double> sig;                 // σ_d of the 2D difference, NaN where unknown (with errors)
    LearnedSigmaTable sigma_table;           // with learned errors: the model's tables
    CellSize cell;                           // and the divisors of the slope and curvature
    double *row_b(int line) { return &before[static_cast<size_t>(line - base) * nb_col]; }
    double *row_a(int line) { return &after[static_cast<size_t>(line - base) * nb_col]; }
    unsigned char *row_both(int line) { return &both[static_cast<size_t>(line - base) * nb_col]; }
    double *row_sig(int line) { return &sig[static_cast<size_t>(line - base) * nb_col]; }
};

// σ_d of one line: the learned σ at BEFORE's slope and curvature, NaN where
// BEFORE has no data.
void learned_sigma_line(Window *w, int line)
{
    const NeighbourLines<double> b = neighbour_lines(line, w->nb_lig, [w](int k) { return w->row_b(k); });
    double *sig = w->row_sig(line);
    for (int j = 0; j < w->nb_col; j++)
        sig[j] = std::isnan(b.line[j])
                     ? NO_DIFFERENCE
                     : learned_sigma_cell(w->sigma_table, b.above, b.line, b.below, w->nb_col, j, w->cell);
}

// σ_d of the lines from w->sig_next on whose next line is held (or that
// end the frame), shared among x.threads threads line by line: each line's
// values are those of one thread alone, whatever their number.
void learned_sigma_lines(Window *w, const ChangeExtras &x)
{
    const int last = w->base + w->held - 1;
    const int from = w->sig_next;
    const int to = last == w->nb_lig - 1 ? last + 1 : last; // lines from .. to − 1
    if (to <= from)
        return;
    const int threads = std::max(1, std::min(x.threads, to - from));
    auto share = [&](int t) {
        for (int line = from + t; line < to; line += threads)
            learned_sigma_line(w, line);
    };
    {
        std::vector<Beside> helpers(static_cast<size_t>(threads - 1));
        for (int t = 1; t < threads; t++)
            helpers[static_cast<size_t>(t - 1)].start([&share, t] { share(t); });
        share(0);
    } // the helpers joined
    w->sig_next = to;
}

// Lines of both inputs read ahead of the window (and their errors), and
// the classes of the lines to work out next: what the reading thread
// fills while the lines before are worked out.
struct Fetched {
    int first = 0, count = 0;                // input lines read
    int class_first = 0, class_count = 0;    // lines whose classes are read
    std::vector<double> before, after, sig_b, sig_a;
    std::vector<unsigned char> ok_b, ok_a;
    std::vector<int> classes;
};

// Reads lines first .. first + count − 1 of both inputs (and of the errors'
// rasters), and the classes of lines class_first .. class_first +
// class_count − 1, into *f. GDAL only: no state of the window.
bool fetch_lines(DemInput *before, DemInput *after, const ChangeExtras &x, int nb_col, Fetched *f, std::string *error)
{
    if (f->count > 0) {
        if (!read_dem_lines(before, f->first, f->count, f->before.data(), f->ok_b.data(), error))
            return false;
        if (x.aligned != nullptr)
            read_aligned_lines(*x.aligned, f->first, f->count, f->after.data(), f->ok_a.data());
        else if (!read_dem_lines(after, f->first, f->count, f->after.data(), f->ok_a.data(), error))
            return false;
        if (x.sigma_before != nullptr &&
            (!read_sigma_lines(x.sigma_before, f->first, f->count, nb_col, f->sig_b.data(), error) ||
             !read_sigma_lines(x.sigma_after, f->first, f->count, nb_col, f->sig_a.data(), error)))
            return false;
    }
    return x.classes == nullptr || f->class_count == 0 ||
           read_class_lines(x.classes, f->class_first, f->class_count, f->classes.data(), error);
}

// The lines worked out in a step: both differences (and their errors),
// until they are written; what went wrong reading or writing them.
struct Worked {
    std::vector<double> d2, d3, e2, e3;
    std::string error, error_2D, error_3D; // the reading's; the 2D and the 3D writings'
};

// One step of the pass: the input lines it reads, the lines it works out.
struct Step {
    int read_first = 0, read_count = 0, first = 0, count = 0;
};

// Flags the cells where both inputs have data, counting each one's nodata.
void flag_both(const unsigned char *ok_b, const unsigned char *ok_a, size_t cells, unsigned char *both,
               ChangeCounts *counts)
{
    // The counts in locals: the flags written could otherwise alias them.
    long long nodata_before = 0, nodata_after = 0;
    for (size_t k = 0; k < cells; k++) {
        nodata_before += !ok_b[k];
        nodata_after += !ok_a[k];
        both[k] = ok_b[k] & ok_a[k];
    }
    counts->nodata_before += nodata_before;
    counts->nodata_after += nodata_after;
}

// The buffers of one of the pass's two halves: lines read (read_cells
// values) and lines worked out (worked_cells).
void size_step_buffers(const ChangeExtras &x, size_t read_cells, size_t worked_cells, bool error_rasters, Fetched *f,
                       Worked *d)
{
    f->before.resize(read_cells);
    f->after.resize(read_cells);
    f->ok_b.resize(read_cells);
    f->ok_a.resize(read_cells);
    if (x.sigma_before != nullptr) {
        f->sig_b.resize(read_cells);
        f->sig_a.resize(read_cells);
    }
    if (x.classes != nullptr)
        f->classes.resize(worked_cells);
    d->d2.resize(worked_cells);
    d->d3.resize(worked_cells);
    if (error_rasters) {
        d->e2.resize(worked_cells);
        d->e3.resize(worked_cells);
    }
}

// The steps of a pass over nb_lig lines: the inputs are read by blocks that
// start on a multiple of block_lines (their rows of tiles, when
// block_lines divides the tile height: each tile is then decoded once), and
// the lines whose neighbours are all in memory are worked out: the pass
// runs `beyond` lines (one, two with learned errors) behind the reading,
// and catches up at the last line.
std::vector<Step> plan_steps(int nb_lig, int block_lines, int beyond)
{
    std::vector<Step> steps;
    for (int read_end = 0, first = 0; first < nb_lig;) {
        Step s;
        s.read_first = read_end;
        read_end = read_end + block_lines < nb_lig ? read_end + block_lines : nb_lig;
        s.read_count = read_end - s.read_first;
        const int last = read_end == nb_lig ? nb_lig : read_end - beyond; // lines first .. last − 1 are complete
        s.first = first;
        s.count = last > first ? last - first : 0;
        first += s.count;
        steps.push_back(s);
    }
    return steps;
}

// The result of a pass before its first line: empty budgets (and the
// budgets of the cells without a class, listed even when there are none),
// empty distributions, no counts but the cells.
void start_result(const ChangeExtras &x, const BudgetRows &empty, long long cells, ChangeResult *result)
{
    result->budget_2D = empty;
    result->budget_3D = empty;
    result->all_2D = empty;
    result->class_2D.clear();
    result->class_3D.clear();
    if (x.classes != nullptr) {
        result->class_2D.assign(1, empty);
        result->class_3D.assign(1, empty);
    }
    result->histogram_2D = make_histogram(x.bin_width);
    result->histogram_3D = make_histogram(x.bin_width);
    result->counts = ChangeCounts();
    result->max_abs_2D = result->max_abs_3D = 0;
    result->counts.cells = cells;
}

// Keeps the lines from new_base on (at most three) at the front and puts
// the lines fetched after them: their nodata counted, where both inputs
// (and both errors) have data, σ_d.
void slide_window(Window *w, const Fetched &f, const ChangeExtras &x, int new_base, ChangeCounts *counts)
{
    const size_t n = static_cast<size_t>(w->nb_col);
    const int first_new = w->base + w->held; // the first line fetched
    const int keep = first_new - new_base;
    if (keep > 0 && new_base != w->base) {
        const size_t from = static_cast<size_t>(new_base - w->base) * n;
        std::memmove(w->before.data(), w->before.data() + from, keep * n * sizeof(double));
        std::memmove(w->after.data(), w->after.data() + from, keep * n * sizeof(double));
        std::memmove(w->both.data(), w->both.data() + from, keep * n);
        if (!w->sig.empty())
            std::memmove(w->sig.data(), w->sig.data() + from, keep * n * sizeof(double));
    }
    w->base = new_base;
    w->held = keep > 0 ? keep : 0;
    const size_t cells = static_cast<size_t>(f.count) * n;
    if (cells == 0)
        return;
    const size_t at = static_cast<size_t>(w->held) * n;
    std::memcpy(&w->before[at], f.before.data(), cells * sizeof(double));
    std::memcpy(&w->after[at], f.after.data(), cells * sizeof(double));
    flag_both(f.ok_b.data(), f.ok_a.data(), cells, &w->both[at], counts);
    // The errors: σ_d where both surveys have one; a cell without one has
    // no difference.
    if (x.sigma_before != nullptr) {
        for (size_t k = 0; k < cells; k++) {
            const double sb = f.sig_b[k], sa = f.sig_a[k];
            const double s = std::isnan(sb) || std::isnan(sa) ? NO_DIFFERENCE : sigma_2D(sb, sa);
            w->sig[at + k] = s;
            if (w->both[at + k] && std::isnan(s)) {
                w->both[at + k] = 0;
                counts->no_sigma++;
            }
        }
    }
    w->held += f.count;
    if (x.learned != nullptr)
        learned_sigma_lines(w, x);
}

// The σ of the 3D difference at column j of line (window complete), its
// cells' errors correlated as given.
double window_sigma(Window *w, int line, int j, const WindowCorrelation &correlation)
{
    double window[9];
    window_values(neighbour_lines(line, w->nb_lig, [w](int k) { return w->row_sig(k); }), j, window);
    return sigma_3D(window, correlation);
}

// The interactive tool's differences of a line's cells, worked out a line
// at a time by its fast path (the same values to the last bit): one for
// each thread working out lines.
struct LineCells {
    LineScratch fast;
    std::vector<double> d2, d3; // of column q + 1 at q
    std::vector<unsigned char> complete; // 1 where the cell's 3 × 3 window has data in both (window_flags)
    // The plain pass's cells of the line, counted in the budgets at its
    // end: those with a 3D difference (both differences and their
    // volumes), and the other cells with a 2D difference.
    std::vector<double> dif_2D, vol_2D, dif_3D, vol_3D, all_dif, all_vol;
    int count_3D = 0, count_all = 0;
    // The same with errors and tests: the 2D and 3D differences of the
    // cells with a 3D difference, and the other cells' 2D differences.
    std::vector<TestedCell> tested_2D, tested_3D, tested_other;
};

// The budget of class c, growing the list as classes appear.
BudgetRows *class_budget(std::vector<BudgetRows> *budgets, const BudgetRows &empty, int c)
{
    if (static_cast<size_t>(c) >= budgets->size())
        budgets->resize(static_cast<size_t>(c) + 1, empty);
    return &(*budgets)[static_cast<size_t>(c)];
}

// The first propagation slot of the 3D rows of class c; the whole budget's
// rows come first.
int class_first_slot(int c) { return BUDGET_ROW_COUNT * (c + 1); }

// The differences of one line into d2 and d3 (NaN where there is none),
// counted in the budgets (and e2, e3, their errors, when given).
// EXTRAS: whether the errors, thresholds beyond the level of detection,
// classes, distributions or error rasters are asked for; the plain pass is
// built without them.
// slots: the rows each 3D cell counts in, for the propagation of the
// errors (PROPAGATION_SLOTS a cell), when the errors are known.
// What the cells of one line share: the window, the line's cell area and
// the correlation of its errors, where the cells are gathered and counted.
struct LineContext {
    Window *w;
    int line;
    double area;
    WindowCorrelation correlation;
    const ChangeExtras &x;
    const BudgetRows &empty;
    const int *classes; // the cells' classes, or null
    int *slots;         // the rows of each cell's 3D difference, or null
    LineCells *cells;
    ChangeResult *r;
};

// The tool's differences of an interior line's cells, from the row tables
// of the three lines (centre at index 1), into cells->d2 and cells->d3; the
// cells whose window lacks data are not read. And the line's gathered
// cells emptied.
template <bool EXTRAS> void start_line(Window *w, int line, bool interior_line, LineCells *cells)
{
    const int nb_col = w->nb_col;
    if (interior_line) {
        double *tab_b[3], *tab_a[3];
        for (int k = 0; k < 3; k++) {
            tab_b[k] = w->row_b(line - 1 + k);
            tab_a[k] = w->row_a(line - 1 + k);
        }
        cells->d2.resize(static_cast<size_t>(nb_col));
        cells->d3.resize(static_cast<size_t>(nb_col));
        line_differences_fast(tab_b, tab_a, 1, nb_col, cells->d2.data(), cells->d3.data(), &cells->fast);
    }
    if (!EXTRAS) {
        for (std::vector<double> *v : {&cells->dif_2D, &cells->vol_2D, &cells->dif_3D, &cells->vol_3D, &cells->all_dif,
                                       &cells->all_vol})
            v->resize(static_cast<size_t>(nb_col));
        cells->count_3D = cells->count_all = 0;
    } else {
        cells->tested_2D.clear();
        cells->tested_3D.clear();
        cells->tested_other.clear();
    }
}

// A cell with both differences, tested (with the errors, classes and
// distributions): gathered for the line's budgets, counted in its class's
// and its distributions, its 3D rows named for the propagation.
void test_window_cell(const LineContext &l, int j, double dif_2D, double vol_2D, double dif_3D, double vol_3D,
                      double sigma_2D_cell, double *e3)
{
    const ChangeExtras &x = l.x;
    const bool errors = !l.w->sig.empty();
    // The cell's own 3D σ only where it is used: the confidence test and
    // the error raster (the volumes' errors are propagated from the 2D
    // cells).
    const double sigma_3D_cell = errors && (x.detection.confidence || e3 != nullptr)
                                     ? window_sigma(l.w, l.line, j, l.correlation)
                                     : NO_DIFFERENCE;
    const bool detected_2D = is_detected(x.detection, dif_2D, sigma_2D_cell);
    const bool detected_3D = is_detected(x.detection, dif_3D, sigma_3D_cell);
    // The 3D rows' volume errors are propagated from the 2D cells: the cell
    // names its rows (the whole budget's, then its class's) and counts its
    // own 2D error in their RMS.
    int unused[3];
    int *cell_slots = l.slots != nullptr ? &l.slots[static_cast<size_t>(j) * PROPAGATION_SLOTS] : unused;
    l.cells->tested_2D.push_back({dif_2D, vol_2D, sigma_2D_cell, detected_2D});
    l.cells->tested_3D.push_back({dif_3D, vol_3D, sigma_2D_cell, detected_3D});
    budget_cell_rows(dif_3D, detected_3D, 0, cell_slots);
    if (l.classes != nullptr) {
        ChangeResult *r = l.r;
        const int c = l.classes[j];
        budget_count_tested(class_budget(&r->class_2D, l.empty, c), dif_2D, vol_2D, detected_2D, sigma_2D_cell,
                            l.area);
        budget_count_3D(class_budget(&r->class_3D, l.empty, c), dif_3D, vol_3D, detected_3D, sigma_2D_cell,
                        class_first_slot(c), l.slots != nullptr ? cell_slots + 3 : unused);
    }
    if (x.histograms) {
        histogram_count(&l.r->histogram_2D, dif_2D, l.area, vol_2D, detected_2D);
        histogram_count(&l.r->histogram_3D, dif_3D, l.area, vol_3D, detected_3D);
    }
    if (e3 != nullptr)
        e3[j] = sigma_3D_cell;
}

// A cell with a 2D difference and none in 3D (its window lacks data, or it
// lies on the frame's border): the tool's centre difference (dtab1 − dtab2
// in extended precision, rounded once) taken the other way round, the same
// value negated, gathered for the line's budgets; the difference.
template <bool EXTRAS>
double centre_cell(const LineContext &l, double after, double before, double sigma_2D_cell, bool interior)
{
    double dif_2D = static_cast<double>(static_cast<long double>(after) - before);
    if (dif_2D == 0)
        dif_2D = 0.0;
    const double vol_2D = static_cast<double>(static_cast<long double>(dif_2D) * l.area);
    ChangeCounts &c = l.r->counts;
    c.no_3D++;
    if (interior)
        c.no_3D_window++;
    else
        c.no_3D_border++;
    LineCells *cells = l.cells;
    if (!EXTRAS) {
        const size_t k = static_cast<size_t>(cells->count_all++);
        cells->all_dif[k] = dif_2D;
        cells->all_vol[k] = vol_2D;
    } else {
        const bool detected_2D = is_detected(l.x.detection, dif_2D, sigma_2D_cell);
        cells->tested_other.push_back({dif_2D, vol_2D, sigma_2D_cell, detected_2D});
    }
    return dif_2D;
}

// The line's gathered cells into the budgets, and the line ended in each.
template <bool EXTRAS> void count_line(LineCells *cells, double area, ChangeResult *r)
{
    if (!EXTRAS) {
        budget_count_cells(&r->budget_2D, cells->dif_2D.data(), cells->vol_2D.data(), cells->count_3D, &r->all_2D);
        budget_count_cells(&r->budget_3D, cells->dif_3D.data(), cells->vol_3D.data(), cells->count_3D);
        budget_count_cells(&r->all_2D, cells->all_dif.data(), cells->all_vol.data(), cells->count_all);
    } else {
        budget_count_cells_tested(&r->budget_2D, cells->tested_2D.data(), static_cast<int>(cells->tested_2D.size()),
                                  area, &r->all_2D);
        budget_count_cells_3D(&r->budget_3D, cells->tested_3D.data(), static_cast<int>(cells->tested_3D.size()));
        budget_count_cells_tested(&r->all_2D, cells->tested_other.data(), static_cast<int>(cells->tested_other.size()),
                                  area);
    }
    budget_end_line(&r->budget_2D, area);
    budget_end_line(&r->budget_3D, area);
    budget_end_line(&r->all_2D, area);
    for (size_t k = 0; k < r->class_2D.size(); k++) {
        budget_end_line(&r->class_2D[k], area);
        budget_end_line(&r->class_3D[k], area);
    }
}

// The interactive tool's difference, first (BEFORE) minus second (AFTER),
// negated: negation is exact, so AFTER − BEFORE here is the tool's value
// with the opposite sign, bit for bit; a zero is stored as +0 (0 − d is
// −d exactly, and +0 for either zero, with no branch on the value).
double after_minus_before(double tool_difference) { return 0.0 - tool_difference; }

// complete[j] = 1 where both surveys have data in the whole 3 × 3 window
// of column j, 0 elsewhere and on the frame's border (above and below
// null on the first and last lines): from the flags (0 or 1) of the line
// and of the lines above and below it, with no branch per cell.
void window_flags(const unsigned char *above, const unsigned char *both, const unsigned char *below, int nb_col,
                  std::vector<unsigned char> *complete)
{
    complete->assign(static_cast<size_t>(nb_col), 0);
    if (above == nullptr || below == nullptr || nb_col < 3)
        return;
    unsigned char *out = complete->data();
    for (int j = 0; j < nb_col; j++)
        out[j] = above[j] & both[j] & below[j]; // the column's three cells
    unsigned char left = out[0], middle = out[1];
    for (int j = 1; j < nb_col - 1; j++) {
        const unsigned char right = out[j + 1];
        out[j] = left & middle & right;
        left = middle;
        middle = right;
    }
    out[0] = out[nb_col - 1] = 0;
}

// A cell without data in one survey or both: no difference, in 2D or 3D.
void count_no_data(ChangeCounts *c)
{
    c->no_2D++;
    c->no_3D++;
    c->no_3D_cell++;
}

// A run of cells whose windows are complete, columns j .. end − 1 of the
// plain pass: both differences, their volumes gathered for the budgets
// from index k, the line's largest |d| kept. The same values as cell by
// cell, in a loop with no branch.
void window_run(const LineCells &cells, int j, int end, double area, bool exact_volumes, double *const gathered[4],
                int k, double *d2, double *d3, double *max_2D, double *max_3D)
{
    const double *tool_2D = &cells.d2[static_cast<size_t>(j - 1)], *tool_3D = &cells.d3[static_cast<size_t>(j - 1)];
    double *dif_2D = gathered[0] + k, *vol_2D = gathered[1] + k, *dif_3D = gathered[2] + k, *vol_3D = gathered[3] + k;
    double m2 = *max_2D, m3 = *max_3D;
    const int n = end - j;
    for (int q = 0; q < n; q++) {
        const double a = after_minus_before(tool_2D[q]), b = after_minus_before(tool_3D[q]);
        dif_2D[q] = a;
        dif_3D[q] = b;
        vol_2D[q] = cell_volume(a, area, exact_volumes);
        vol_3D[q] = cell_volume(b, area, exact_volumes);
        d2[j + q] = a;
        d3[j + q] = b;
        m2 = std::fabs(a) > m2 ? std::fabs(a) : m2;
        m3 = std::fabs(b) > m3 ? std::fabs(b) : m3;
    }
    *max_2D = m2;
    *max_3D = m3;
}

// j_from .. j_to − 1: the columns worked out and counted (a block's; −1:
// to the line's end); the 3 × 3 windows still read the columns beside them.
template <bool EXTRAS>
void line_differences(Window *w, int line, int nb_lig, const GridAreas &areas, const ChangeExtras &x,
                      const BudgetRows &empty, const int *classes, double *d2, double *d3, double *e2, double *e3,
                      int *slots, LineCells *cells, ChangeResult *r, int j_from = 0, int j_to = -1)
{
    const bool errors = EXTRAS && !w->sig.empty();
    const double *sig = errors ? w->row_sig(line) : nullptr;
    const int nb_col = w->nb_col;
    const double area = line_cell_area(areas, line);
    // The correlation of the errors within a window: cells taken as squares
    // of the line's cell area.
    const double side = std::sqrt(area);
    const WindowCorrelation correlation = errors ? window_correlation(x.correlation, side, side) : WindowCorrelation();
    const LineContext context = {w, line, area, correlation, x, empty, classes, slots, cells, r};
    if (slots != nullptr)
        std::fill(slots, slots + static_cast<size_t>(nb_col) * PROPAGATION_SLOTS, -1);
    const unsigned char *both = w->row_both(line);
    const double *hb = w->row_b(line);
    const double *ha = w->row_a(line);
    const bool interior_line = line > 0 && line < nb_lig - 1;
    const unsigned char *above = interior_line ? w->row_both(line - 1) : nullptr;
    const unsigned char *below = interior_line ? w->row_both(line + 1) : nullptr;
    start_line<EXTRAS>(w, line, interior_line, cells);
    window_flags(above, both, below, nb_col, &cells->complete);
    const unsigned char *complete = cells->complete.data();
    ChangeCounts &c = r->counts;
    // Kept here while the line is worked out: the stores of the values
    // could otherwise alias them.
    double max_2D = r->max_abs_2D, max_3D = r->max_abs_3D;
    int count_3D = cells->count_3D;
    double *const gathered[4] = {cells->dif_2D.data(), cells->vol_2D.data(), cells->dif_3D.data(),
                                 cells->vol_3D.data()};
    const bool exact_volumes = is_power_of_two(area);
    const int end = j_to < 0 ? nb_col : j_to;
    for (int j = j_from; j < end; j++) {
        if (!EXTRAS && complete[j]) {
            // The plain pass's run of complete windows from j at once.
            const int run_end = static_cast<int>(std::find(complete + j, complete + end, 0) - complete);
            window_run(*cells, j, run_end, area, exact_volumes, gathered, count_3D, d2, d3, &max_2D, &max_3D);
            count_3D += run_end - j;
            j = run_end - 1;
            continue;
        }
        for (double *v : {d2, d3, EXTRAS ? e2 : nullptr, EXTRAS ? e3 : nullptr})
            if (v != nullptr)
                v[j] = NO_DIFFERENCE;
        if (!both[j]) {
            count_no_data(&c);
            continue;
        }
        const bool interior = interior_line && j > 0 && j < nb_col - 1;
        double dif_2D;
        const double sigma_2D_cell = errors ? sig[j] : NO_DIFFERENCE;
        if (complete[j]) {
            dif_2D = after_minus_before(cells->d2[static_cast<size_t>(j - 1)]);
            const double dif_3D = after_minus_before(cells->d3[static_cast<size_t>(j - 1)]);
            const double vol_2D = cell_volume(dif_2D, area, exact_volumes);
            const double vol_3D = cell_volume(dif_3D, area, exact_volumes);
            if (!EXTRAS) {
                const size_t k = static_cast<size_t>(count_3D++);
                gathered[0][k] = dif_2D;
                gathered[1][k] = vol_2D;
                gathered[2][k] = dif_3D;
                gathered[3][k] = vol_3D;
            } else {
                test_window_cell(context, j, dif_2D, vol_2D, dif_3D, vol_3D, sigma_2D_cell, e3);
            }
            d3[j] = dif_3D;
            max_3D = std::fabs(dif_3D) > max_3D ? std::fabs(dif_3D) : max_3D;
        } else {
            dif_2D = centre_cell<EXTRAS>(context, ha[j], hb[j], sigma_2D_cell, interior);
        }
        if (EXTRAS && e2 != nullptr)
            e2[j] = sigma_2D_cell;
        d2[j] = dif_2D;
        max_2D = std::fabs(dif_2D) > max_2D ? std::fabs(dif_2D) : max_2D;
    }
    r->max_abs_2D = max_2D;
    r->max_abs_3D = max_3D;
    cells->count_3D = count_3D;
    count_line<EXTRAS>(cells, area, r);
}

// The plain pass's lines first .. first + count − 1, the first half in a
// second thread (each half with its own cells' room, kept from step to
// step): each half counts into budgets of its own, merged after in
// order. The budgets' sums are exact, so they merge to the bytes of one
// pass; the counts are whole numbers and the largest |d| a maximum.
void plain_lines_in_two(Window *w, int first, int count, int nb_lig, const GridAreas &areas, const ChangeExtras &x,
                        const BudgetRows &empty, double *d2, double *d3, LineCells cells[2], ChangeResult *result)
{
    const size_t n = static_cast<size_t>(w->nb_col);
    ChangeResult part[2];
    for (ChangeResult &p : part)
        p.budget_2D = p.budget_3D = p.all_2D = empty;
    auto lines = [&](int p, int from, int to) {
        for (int line = from; line < to; line++)
            line_differences<false>(w, first + line, nb_lig, areas, x, empty, nullptr, &d2[line * n], &d3[line * n],
                                    nullptr, nullptr, nullptr, &cells[p], &part[p]);
    };
    const int half = count / 2;
    Beside other;
    other.start([&] { lines(0, 0, half); });
    lines(1, half, count);
    other.join();
    for (const ChangeResult &p : part) {
        budget_merge(&result->budget_2D, p.budget_2D);
        budget_merge(&result->budget_3D, p.budget_3D);
        budget_merge(&result->all_2D, p.all_2D);
        ChangeCounts &c = result->counts;
        c.no_2D += p.counts.no_2D;
        c.no_3D += p.counts.no_3D;
        c.no_3D_cell += p.counts.no_3D_cell;
        c.no_3D_border += p.counts.no_3D_border;
        c.no_3D_window += p.counts.no_3D_window;
        result->max_abs_2D = std::max(result->max_abs_2D, p.max_abs_2D);
        result->max_abs_3D = std::max(result->max_abs_3D, p.max_abs_3D);
    }
}

// The propagation of the errors of a block's lines, on a thread of its own
// (with more than one thread) while the pass goes on with the next block:
// the lines are added in their order whatever the threads, so the sums are
// the same. Two blocks of σ_d and rows, one filled while the other is
// propagated.
struct PropagationBlocks {
    Propagation3D *propagation = nullptr;
    bool threaded = false;
    std::vector<double> sig[2], area[2];
    std::vector<int> slots[2];
    int count[2] = {0, 0};
    int filling = 0;
    Beside worker;
    void wait() { worker.join(); }
    void add(int b)
    {
        const size_t n = static_cast<size_t>(propagation->nb_col);
        for (int k = 0; k < count[b]; k++)
            propagation_add_line(propagation, &sig[b][static_cast<size_t>(k) * n], area[b][static_cast<size_t>(k)],
                                 &slots[b][static_cast<size_t>(k) * n * PROPAGATION_SLOTS]);
    }
    // Room for blocks of `lines` lines of n cells.
    void size(size_t lines, size_t n)
    {
        for (int b = 0; b < 2; b++) {
            sig[b].resize(lines * n);
            area[b].resize(lines);
            slots[b].resize(lines * n * PROPAGATION_SLOTS);
        }
    }
    // The block filled is handed over (the one before it finished first).
    void hand_over()
    {
        wait();
        const int b = filling;
        filling = 1 - filling;
        if (threaded)
            worker.start([this, b] { add(b); });
        else
            add(b);
    }
};

// The files of a pass's steps: step k's input lines read into
// fetched[k % 2], its lines worked out written from done[k % 2].
struct StepFiles {
    DemInput *before, *after;
    RasterOutput *out_2D, *out_3D;
    const ChangeExtras &x;
    const std::vector<Step> &steps;
    Fetched *fetched;
    Worked *done;
    int nb_col;
    bool error_rasters;

    bool fetch(size_t k)
    {
        Fetched &f = fetched[k % 2];
        f.first = steps[k].read_first;
        f.count = steps[k].read_count;
        f.class_first = steps[k].first;
        f.class_count = steps[k].count;
        return fetch_lines(before, after, x, nb_col, &f, &done[k % 2].error);
    }
    // Step k's lines into the 2D rasters, or the 3D ones.
    bool store(size_t k, bool in_3D)
    {
        Worked &d = done[k % 2];
        const int first = steps[k].first, count = steps[k].count;
        std::string *why = in_3D ? &d.error_3D : &d.error_2D;
        return count == 0 ||
               (write_output_lines(in_3D ? out_3D : out_2D, first, count, (in_3D ? d.d3 : d.d2).data(), why) &&
                (!error_rasters ||
                 write_output_lines(in_3D ? x.error_3D : x.error_2D, first, count, (in_3D ? d.e3 : d.e2).data(), why)));
    }
};

// Step k + 1's lines are read, and step k − 1's written, while step k's
// are worked out: the 2D rasters, the 3D ones and the reading each in a
// thread of its own beside the pass, or one after the other after it. Each
// file is read or written by one thread at a time, in the order of its
// lines either way, so the files do not depend on the threads.
struct Exchange {
    Beside reader, writer_2D, writer_3D;
    bool read_ok = true, ok_2D = true, ok_3D = true;
};

void read_next(StepFiles *io, size_t k, Exchange *e) { e->read_ok = k + 1 == io->steps.size() || io->fetch(k + 1); }
void write_last(StepFiles *io, size_t k, bool in_3D, Exchange *e)
{
    (in_3D ? e->ok_3D : e->ok_2D) = k == 0 || io->store(k - 1, in_3D);
}

void start_exchange(StepFiles *io, size_t k, bool beside, Exchange *e)
{
    if (!beside)
        return;
    e->writer_2D.start([io, k, e] { write_last(io, k, false, e); });
    e->writer_3D.start([io, k, e] { write_last(io, k, true, e); });
    e->reader.start([io, k, e] { read_next(io, k, e); });
}

// The exchange of step k completed; false when a write of step k − 1 or
// the read of step k + 1 failed, *error saying why.
bool end_exchange(StepFiles *io, size_t k, bool beside, Exchange *e, std::string *error)
{
    if (beside) {
        e->reader.join();
        e->writer_2D.join();
        e->writer_3D.join();
    } else {
        write_last(io, k, false, e);
        write_last(io, k, true, e);
        read_next(io, k, e);
    }
    if (e->read_ok && e->ok_2D && e->ok_3D)
        return true;
    const Worked &other = io->done[(k + 1) % 2]; // step k − 1's and step k + 1's
    *error = !e->ok_2D ? other.error_2D : !e->ok_3D ? other.error_3D : other.error;
    return false;
}

// The lines of step s worked out one after the other into d (and, with
// errors, their σ_d, areas and rows into the block of the propagation,
// which is then handed over); the classes met have budgets.
void work_out_lines(Window *w, const Step &s, const Fetched &f, int nb_lig, const GridAreas &areas,
                    const ChangeExtras &x, const BudgetRows &empty, bool extras, PropagationBlocks *blocks, Worked *d,
                    LineCells *cells, ChangeResult *result)
{
    const size_t n = static_cast<size_t>(w->nb_col);
    const bool error_rasters = !d->e2.empty();
    const int fill = blocks != nullptr ? blocks->filling : 0;
    for (int line = 0; line < s.count; line++) {
        const size_t at = static_cast<size_t>(line) * n;
        int *slots = blocks != nullptr ? &blocks->slots[fill][at * PROPAGATION_SLOTS] : nullptr;
        (extras ? line_differences<true> : line_differences<false>)(
            w, s.first + line, nb_lig, areas, x, empty, x.classes != nullptr ? &f.classes[at] : nullptr, &d->d2[at],
            &d->d3[at], error_rasters ? &d->e2[at] : nullptr, error_rasters ? &d->e3[at] : nullptr, slots, cells,
            result, 0, w->nb_col);
        if (blocks != nullptr) {
            std::copy(w->row_sig(s.first + line), w->row_sig(s.first + line) + n, &blocks->sig[fill][at]);
            blocks->area[fill][static_cast<size_t>(line)] = line_cell_area(areas, s.first + line);
        }
    }
    if (blocks != nullptr) {
        blocks->count[fill] = s.count;
        blocks->hand_over();
    }
    // The classes met on the last lines have budgets too.
    if (x.classes != nullptr && result->class_2D.size() < x.classes->labels.size()) {
        result->class_2D.resize(x.classes->labels.size(), empty);
        result->class_3D.resize(x.classes->labels.size(), empty);
    }
}

// The window of a pass: a block read, the line before the lines worked
// out and those the reading is ahead by (up to two), with the errors'
// lines when there are errors, and the table of the learned errors.
Window pass_window(int nb_lig, int nb_col, int block_lines, const ChangeExtras &x, bool errors)
{
    Window w;
    w.nb_col = nb_col;
    w.nb_lig = nb_lig;
    const size_t cells = (static_cast<size_t>(block_lines) + 3) * static_cast<size_t>(nb_col);
    w.before.resize(cells);
    w.after.resize(cells);
    w.both.resize(cells);
    if (errors)
        w.sig.resize(cells);
    if (x.learned != nullptr) {
        w.sigma_table = learned_sigma_table(*x.learned);
        w.cell = cell_size(x.cell_w, x.cell_h);
    }
    return w;
}

} // namespace

bool change_pass(DemInput *before, DemInput *after, const GridAreas &areas, int block_lines, RasterOutput *out_2D,
                 RasterOutput *out_3D, ChangeResult *result, std::string *error, const Alignment *aligned)
{
    ChangeExtras x;
    x.aligned = aligned;
    return change_pass(before, after, areas, block_lines, out_2D, out_3D, x, result, error);
}

bool change_pass(DemInput *before, DemInput *after, const GridAreas &areas, int block_lines, RasterOutput *out_2D,
                 RasterOutput *out_3D, const ChangeExtras &x, ChangeResult *result, std::string *error)
{
    const int nb_lig = before->grid.nb_lig, nb_col = before->grid.nb_col;
    const size_t n = static_cast<size_t>(nb_col);
    const bool errors = (x.sigma_before != nullptr && x.sigma_after != nullptr) || x.learned != nullptr;
    Window w = pass_window(nb_lig, nb_col, block_lines, x, errors);
    // The lines worked out at once: a block, and at the last block the
    // lines behind it.
    const size_t worked = static_cast<size_t>(block_lines) + 2;
    const bool error_rasters = errors && x.error_2D != nullptr && x.error_3D != nullptr;
    // Two of each: one filled by the reading (lines read) or emptied by the
    // writers (lines worked out) while the pass works on the other.
    Fetched fetched[2];
    Worked done[2];
    for (int k = 0; k < 2; k++)
        size_step_buffers(x, block_lines * n, worked * n, error_rasters, &fetched[k], &done[k]);
    // The plain pass (a level of detection at most) needs none of the extras.
    const bool extras = errors || x.detection.confidence || x.classes != nullptr || x.histograms;
    // The propagation of the errors into the 3D budgets: one line of rows
    // at a time.
    Propagation3D propagation = propagation_start(errors ? nb_col : 0);
    PropagationBlocks blocks;
    blocks.propagation = &propagation;
    blocks.threaded = x.threads > 1;
    if (errors)
        blocks.size(worked, n);

    const BudgetRows empty = areas.per_line ? budget_with_line_areas(x.detection.lod)
                                        : budget_with_cell_area(areas.cell_area, x.detection.lod);
    start_result(x, empty, static_cast<long long>(nb_lig) * nb_col, result);
    progress_begin("Computing the differences", nb_lig);
    const std::vector<Step> steps = plan_steps(nb_lig, block_lines, x.learned != nullptr ? 2 : 1);
    StepFiles io = {before, after, out_2D, out_3D, x, steps, fetched, done, nb_col, error_rasters};
    const bool read_ahead = x.threads > 1;
    LineCells cells[2]; // the room of the line's cells, for the pass and its second thread
    bool ok = io.fetch(0);
    if (!ok)
        *error = done[0].error;
    for (size_t k = 0; ok && k < steps.size(); k++) {
        Exchange exchange;
        start_exchange(&io, k, read_ahead, &exchange);
        const Step &s = steps[k];
        const Fetched &f = fetched[k % 2];
        Worked &d = done[k % 2];
        slide_window(&w, f, x, s.first > 0 ? s.first - 1 : 0, &result->counts);
        if (!extras && x.threads > 1 && s.count >= 8)
            plain_lines_in_two(&w, s.first, s.count, nb_lig, areas, x, empty, d.d2.data(), d.d3.data(), cells, result);
        else
            work_out_lines(&w, s, f, nb_lig, areas, x, empty, extras, errors ? &blocks : nullptr, &d, &cells[0],
                           result);
        ok = end_exchange(&io, k, read_ahead, &exchange, error);
        progress_step(s.first + s.count);
    }
    if (ok && !(io.store(steps.size() - 1, false) && io.store(steps.size() - 1, true))) {
        const Worked &d = done[(steps.size() - 1) % 2];
        *error = d.error_2D.empty() ? d.error_3D : d.error_2D;
        ok = false;
    }
    progress_end();
    if (!ok)
        return false;
    if (errors) {
        blocks.wait();
        propagation_finish(&propagation);
        budget_take_propagated(&result->budget_3D, propagation, 0);
        for (size_t c = 0; c < result->class_3D.size(); c++)
            budget_take_propagated(&result->class_3D[c], propagation, class_first_slot(static_cast<int>(c)));
    }
    return true;
}

bool change_block(const ChangeBlock &b, const GridAreas &areas, double lod, double *d2, double *d3,
                  ChangeResult *result, std::string *error)
{
    // The window's edges must be the frame's or lie beyond the block, so
    // that its border rule (no 3D difference on the border) is the frame's.
    const bool fits = b.lines > 0 && b.columns > 0 && b.block_lines > 0 && b.block_columns > 0 &&
                      b.first_line >= 0 && b.first_column >= 0 && b.first_line + b.block_lines <= b.lines &&
                      b.first_column + b.block_columns <= b.columns && b.frame_line >= 0 && b.frame_column >= 0 &&
                      b.frame_line + b.lines <= b.frame_lines && b.frame_column + b.columns <= b.frame_columns;
    const bool halo = (b.first_line > 0 || b.frame_line == 0) && (b.first_column > 0 || b.frame_column == 0) &&
                      (b.first_line + b.block_lines < b.lines || b.frame_line + b.lines == b.frame_lines) &&
                      (b.first_column + b.block_columns < b.columns || b.frame_column + b.columns == b.frame_columns);
    if (!fits || !halo) {
        *error = !fits ? "the block does not lie within its window, or the window within the frame"
                       : "the window lacks the cells around the block where the frame has them (one on each side)";
        return false;
    }
    const size_t n = static_cast<size_t>(b.columns), cells = static_cast<size_t>(b.lines) * n;
    Window w;
    w.nb_col = b.columns;
    w.nb_lig = b.lines;
    w.held = b.lines;
    if (b.take_before != nullptr && b.take_after != nullptr && b.take_before->size() == cells &&
        b.take_after->size() == cells) {
        w.before.swap(*b.take_before);
        w.after.swap(*b.take_after);
    } else {
        w.before.assign(b.before, b.before + cells);
        w.after.assign(b.after, b.after + cells);
    }
    w.both.resize(cells);
    const BudgetRows empty = areas.per_line ? budget_with_line_areas(lod) : budget_with_cell_area(areas.cell_area, lod);
    *result = ChangeResult();
    result->budget_2D = result->budget_3D = result->all_2D = empty;
    result->counts.cells = static_cast<long long>(b.block_lines) * b.block_columns;
    // Every cell of the window flagged, the nodata of the block's alone counted.
    ChangeCounts beside;
    const size_t left = static_cast<size_t>(b.first_column), inside = static_cast<size_t>(b.block_columns);
    for (int line = 0; line < b.lines; line++) {
        const size_t at = static_cast<size_t>(line) * n;
        const bool block_line = line >= b.first_line && line < b.first_line + b.block_lines;
        flag_both(b.valid_before + at, b.valid_after + at, left, &w.both[at], &beside);
        flag_both(b.valid_before + at + left, b.valid_after + at + left, inside, &w.both[at + left],
                  block_line ? &result->counts : &beside);
        flag_both(b.valid_before + at + left + inside, b.valid_after + at + left + inside, n - left - inside,
                  &w.both[at + left + inside], &beside);
    }
    // Line by line, the block's columns alone worked out and counted (the
    // areas of a grid in degrees are those of the frame's lines).
    GridAreas frame_areas = areas;
    frame_areas.first_line += b.frame_line;
    ChangeExtras x;
    std::vector<double> row_2D(n), row_3D(n);
    LineCells line_cells;
    for (int k = 0; k < b.block_lines; k++) {
        line_differences<false>(&w, b.first_line + k, b.lines, frame_areas, x, empty, nullptr, row_2D.data(),
                                row_3D.data(), nullptr, nullptr, nullptr, &line_cells, result, b.first_column,
                                b.first_column + b.block_columns);
        std::copy(row_2D.begin() + b.first_column, row_2D.begin() + b.first_column + b.block_columns,
                  d2 + static_cast<size_t>(k) * inside);
        std::copy(row_3D.begin() + b.first_column, row_3D.begin() + b.first_column + b.block_columns,
                  d3 + static_cast<size_t>(k) * inside);
    }
    return true;
}
