#include "change_pass.h"

#include "difference.h"
#include "progress.h"

#include <cmath>
#include <cstring>
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

namespace {

const double NO_DIFFERENCE = std::numeric_limits<double>::quiet_NaN();

// The lines of both inputs in memory: input lines base .. base + held − 1,
// room for block + 2 lines (the block and the line on either side).
struct Window {
    int nb_col = 0, base = 0, held = 0;
    std::vector<double> before, after;       // heights, m
    std::vector<unsigned char> ok_b, ok_a;   // 1 where the input has data
    std::vector<unsigned char> both;         // 1 where both have data
    std::vector<double *> rows_b, rows_a;    // row tables for cell_differences
    double *row_b(int line) { return &before[static_cast<size_t>(line - base) * nb_col]; }
    double *row_a(int line) { return &after[static_cast<size_t>(line - base) * nb_col]; }
    unsigned char *row_both(int line) { return &both[static_cast<size_t>(line - base) * nb_col]; }
};

// Keeps the lines from new_base on (at most two) at the front and reads the
// lines up to end − 1 after them.
bool slide_window(Window *w, DemInput *before, DemInput *after, const Alignment *aligned, int new_base, int end,
                  ChangeCounts *counts,
                  std::string *error)
{
    const size_t n = static_cast<size_t>(w->nb_col);
    const int first_new = w->base + w->held; // next line to read
    const int keep = first_new - new_base;
    if (keep > 0 && new_base != w->base) {
        const size_t from = static_cast<size_t>(new_base - w->base) * n;
        std::memmove(w->before.data(), w->before.data() + from, keep * n * sizeof(double));
        std::memmove(w->after.data(), w->after.data() + from, keep * n * sizeof(double));
        std::memmove(w->both.data(), w->both.data() + from, keep * n);
    }
    w->base = new_base;
    w->held = keep > 0 ? keep : 0;
    const int count = end - first_new;
    if (count <= 0)
        return true;
    const size_t at = static_cast<size_t>(w->held) * n;
    if (!read_dem_lines(before, first_new, count, &w->before[at], &w->ok_b[0], error))
        return false;
    if (aligned != nullptr)
        read_aligned_lines(*aligned, first_new, count, &w->after[at], &w->ok_a[0]);
    else if (!read_dem_lines(after, first_new, count, &w->after[at], &w->ok_a[0], error))
        return false;
    for (size_t k = 0; k < static_cast<size_t>(count) * n; k++) {
        counts->nodata_before += !w->ok_b[k];
        counts->nodata_after += !w->ok_a[k];
        w->both[at + k] = w->ok_b[k] & w->ok_a[k];
    }
    w->held += count;
    return true;
}

// The differences of one line into d2 and d3 (NaN where there is none),
// counted in the budgets.
void line_differences(Window *w, int line, int nb_lig, const GridAreas &areas, double *d2, double *d3,
                      ChangeResult *r)
{
    const int nb_col = w->nb_col;
    const double area = line_cell_area(areas, line);
    const unsigned char *both = w->row_both(line);
    const double *hb = w->row_b(line);
    const double *ha = w->row_a(line);
    const bool interior_line = line > 0 && line < nb_lig - 1;
    const unsigned char *above = interior_line ? w->row_both(line - 1) : nullptr;
    const unsigned char *below = interior_line ? w->row_both(line + 1) : nullptr;
    // Row tables of the three lines for cell_differences, centre at index 1.
    double *tab_b[3], *tab_a[3];
    if (interior_line)
        for (int k = 0; k < 3; k++) {
            tab_b[k] = w->row_b(line - 1 + k);
            tab_a[k] = w->row_a(line - 1 + k);
        }
    ChangeCounts &c = r->counts;
    for (int j = 0; j < nb_col; j++) {
        d2[j] = NO_DIFFERENCE;
        d3[j] = NO_DIFFERENCE;
        if (!both[j]) {
            c.no_2D++;
            c.no_3D++;
            c.no_3D_cell++;
            continue;
        }
        const bool interior = interior_line && j > 0 && j < nb_col - 1;
        bool window = interior;
        for (int m = j - 1; window && m <= j + 1; m++)
            window = above[m] && both[m] && below[m];
        double dif_2D, vol_2D;
        if (window) {
            // The interactive tool's differences, first (BEFORE) minus second
            // (AFTER), negated: negation is exact, so AFTER − BEFORE here is
            // the tool's value with the opposite sign, bit for bit; a zero is
            // stored as +0.
            double tool_2D, tool_3D;
            cell_differences(tab_b, tab_a, 1, j, &tool_2D, &tool_3D);
            dif_2D = tool_2D == 0 ? 0.0 : -tool_2D;
            const double dif_3D = tool_3D == 0 ? 0.0 : -tool_3D;
            vol_2D = static_cast<double>(static_cast<long double>(dif_2D) * area);
            const double vol_3D = static_cast<double>(static_cast<long double>(dif_3D) * area);
            budget_count(&r->budget_2D, dif_2D, vol_2D);
            budget_count(&r->budget_3D, dif_3D, vol_3D);
            d3[j] = dif_3D;
            if (std::fabs(dif_3D) > r->max_abs_3D)
                r->max_abs_3D = std::fabs(dif_3D);
        } else {
            // The tool's centre difference (dtab1 − dtab2 in extended
            // precision, rounded once), taken the other way round: the same
            // value negated.
            dif_2D = static_cast<double>(static_cast<long double>(ha[j]) - hb[j]);
            if (dif_2D == 0)
                dif_2D = 0.0;
            vol_2D = static_cast<double>(static_cast<long double>(dif_2D) * area);
            c.no_3D++;
            if (interior)
                c.no_3D_window++;
            else
                c.no_3D_border++;
        }
        budget_count(&r->all_2D, dif_2D, vol_2D);
        d2[j] = dif_2D;
        if (std::fabs(dif_2D) > r->max_abs_2D)
            r->max_abs_2D = std::fabs(dif_2D);
    }
    budget_end_line(&r->budget_2D, area);
    budget_end_line(&r->budget_3D, area);
    budget_end_line(&r->all_2D, area);
}

} // namespace

bool change_pass(DemInput *before, DemInput *after, const GridAreas &areas, int block_lines, RasterOutput *out_2D,
                 RasterOutput *out_3D, ChangeResult *result, std::string *error, const Alignment *aligned)
{
    const int nb_lig = before->grid.nb_lig, nb_col = before->grid.nb_col;
    const size_t n = static_cast<size_t>(nb_col);
    Window w;
    w.nb_col = nb_col;
    const size_t rows = static_cast<size_t>(block_lines) + 2;
    w.before.resize(rows * n);
    w.after.resize(rows * n);
    w.both.resize(rows * n);
    w.ok_b.resize(static_cast<size_t>(block_lines + 2) * n);
    w.ok_a.resize(static_cast<size_t>(block_lines + 2) * n);
    std::vector<double> d2(static_cast<size_t>(block_lines) * n), d3(static_cast<size_t>(block_lines) * n);

    const BudgetRows empty = areas.per_line ? budget_with_line_areas(0) : budget_with_cell_area(areas.cell_area, 0);
    result->budget_2D = empty;
    result->budget_3D = empty;
    result->all_2D = empty;
    result->counts = ChangeCounts();
    result->max_abs_2D = result->max_abs_3D = 0;
    result->counts.cells = static_cast<long long>(nb_lig) * nb_col;
    progress_begin("Computing the differences", nb_lig);
    for (int first = 0; first < nb_lig; first += block_lines) {
        const int count = first + block_lines <= nb_lig ? block_lines : nb_lig - first;
        // Lines first − 1 .. first + count (those that exist).
        const int new_base = first > 0 ? first - 1 : 0;
        const int end = first + count < nb_lig ? first + count + 1 : nb_lig;
        if (!slide_window(&w, before, after, aligned, new_base, end, &result->counts, error)) {
            progress_end();
            return false;
        }
        for (int k = 0; k < count; k++)
            line_differences(&w, first + k, nb_lig, areas, &d2[k * n], &d3[k * n], result);
        if (!write_output_lines(out_2D, first, count, d2.data(), error) ||
            !write_output_lines(out_3D, first, count, d3.data(), error)) {
            progress_end();
            return false;
        }
        progress_step(first + count);
    }
    progress_end();
    return true;
}
