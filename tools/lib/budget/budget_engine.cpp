#include "budget_engine.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

BudgetRows budget_with_cell_area(double cell_area, double lod)
{
    BudgetRows b;
    b.cell_area = cell_area;
    b.lod = lod;
    return b;
}

BudgetRows budget_with_line_areas(double lod)
{
    BudgetRows b;
    b.per_line_areas = true;
    b.lod = lod;
    return b;
}

static void add(BudgetTally *t, double vol)
{
    t->cells++;
    t->line_cells++;
    exact_add(&t->volume, vol);
}

// Adds the cell to the row of its sign, to the thresholded row its test
// gives and to the net; returns the first two.
static void count_rows(BudgetRows *b, double dif, double vol, bool detected, BudgetTally **sign, BudgetTally **test)
{
    *sign = dif < 0 ? &b->negative : dif > 0 ? &b->positive : &b->zero;
    *test = !detected ? &b->lod_below : dif < 0 ? &b->lod_negative : &b->lod_positive;
    add(*sign, vol);
    add(*test, vol);
    add(&b->all, vol);
}

void budget_count(BudgetRows *b, double dif, double vol)
{
    // A cell is detected change when |d| reaches the level of detection; with
    // no level, every non-zero difference is.
    const bool detected = dif != 0 && !(std::fabs(dif) < b->lod);
    BudgetTally *sign, *test;
    count_rows(b, dif, vol, detected, &sign, &test);
}

// The cells of one sign (or of one detection test) among those counted at
// once: how many, and their volumes.
struct CellGroup {
    long long cells = 0;
    ExactSum volume;
};

static void take_group(BudgetTally *t, const CellGroup &g)
{
    if (g.cells == 0)
        return;
    t->cells += g.cells;
    t->line_cells += g.cells;
    exact_merge(&t->volume, g.volume);
}

// The groups of n cells by sign (negative, positive, zero) and, when
// tested, by their detection test (lod_negative, lod_positive, lod_below).
// Each sum is kept in two halves (cells by the parity of their index), so
// that the additions of one half need not wait for those of the other.
struct CellGroups {
    CellGroup group[3][2];
    void add(int g, int k, double vol)
    {
        CellGroup &c = group[g][k & 1];
        c.cells++;
        exact_add(&c.volume, vol);
    }
    void into(BudgetTally *t, int g) const
    {
        take_group(t, group[g][0]);
        take_group(t, group[g][1]);
    }
};

// The groups of cells into the rows of b: each sign group into its row
// and the net, each test group (the sign groups when not tested apart)
// into its thresholded row.
template <typename Groups>
static void take_groups(BudgetRows *b, const Groups &sign, const Groups *test)
{
    BudgetTally *const sign_rows[3] = {&b->negative, &b->positive, &b->zero};
    BudgetTally *const test_rows[3] = {&b->lod_negative, &b->lod_positive, &b->lod_below};
    for (int g = 0; g < 3; g++) {
        sign.into(sign_rows[g], g);
        sign.into(&b->all, g);
        (test != nullptr ? *test : sign).into(test_rows[g], g);
    }
}

// Whether the last bits of the n volumes vol_of(k) lie within 2^43 of one
// another (the lines of a survey), all finite; *lowest the exponent of the
// smallest one's last bit. Their sums at that scale then fit a 128-bit
// integer (at most 2^31 terms below 2^96: no overflow).
template <typename VolOf> static bool common_scale(int n, VolOf vol_of, int *lowest)
{
    int low = 2000, high = -2000;
    bool finite = true;
    for (int k = 0; k < n; k++) {
        bool negative;
        unsigned long long m;
        int e;
        finite = exact_significand(vol_of(k), &negative, &m, &e) && finite;
        low = m != 0 && e < low ? e : low;
        high = m != 0 && e > high ? e : high;
    }
    *lowest = low;
    return finite && high - low <= 43;
}

// The magnitude of a volume at the scale 2^lowest, and its sign.
static unsigned __int128 scaled_magnitude(double vol, int lowest, bool *negative)
{
    unsigned long long m;
    int e;
    exact_significand(vol, negative, &m, &e);
    const int shift = m != 0 ? e - lowest : 0; // ±0 has no bits to place
    return static_cast<unsigned __int128>(m) << shift;
}

// The n volumes vol_of(k) added into the groups group_of(k) names. At a
// common scale, each group's terms are summed in a 128-bit integer and
// added once into its exact sum: the same sum as adding every term.
template <typename VolOf, typename GroupOf>
static void add_volumes(CellGroups *groups, int n, VolOf vol_of, GroupOf group_of)
{
    int lowest;
    if (!common_scale(n, vol_of, &lowest)) {
        for (int k = 0; k < n; k++)
            groups->add(group_of(k), k, vol_of(k));
        return;
    }
    __int128 sum[3] = {0, 0, 0};
    long long cells[3] = {0, 0, 0};
    for (int k = 0; k < n; k++) {
        bool negative;
        const __int128 magnitude = static_cast<__int128>(scaled_magnitude(vol_of(k), lowest, &negative));
        const int g = group_of(k);
        sum[g] += negative ? -magnitude : magnitude;
        cells[g]++;
    }
    for (int g = 0; g < 3; g++) {
        groups->group[g][0].cells += cells[g];
        exact_add_wide(&groups->group[g][0].volume, sum[g], lowest);
    }
}

// The sign groups of n cells (negative 0, positive 1, zero or NaN 2). A
// volume is its difference times a cell area, so it has the difference's
// sign: the negative and the positive terms are then summed apart by their
// sign bits, with no branch on the signs of noisy differences, and the
// zero group's volumes are all 0. Where a volume's sign is not its
// difference's (a product that underflowed, or a caller's own volumes),
// the cells are grouped by their differences.
static void add_sign_groups(CellGroups *groups, const double *dif, const double *vol, int n)
{
    int lowest;
    auto vol_of = [vol](int k) { return vol[k]; };
    if (common_scale(n, vol_of, &lowest)) {
        unsigned __int128 negatives = 0, positives = 0;
        long long below = 0, above = 0;
        bool agree = true;
        for (int k = 0; k < n; k++) {
            bool negative;
            const unsigned __int128 magnitude = scaled_magnitude(vol[k], lowest, &negative);
            const unsigned __int128 mask = -static_cast<unsigned __int128>(negative);
            negatives += magnitude & mask;
            positives += magnitude & ~mask;
            const bool lower = dif[k] < 0, higher = dif[k] > 0;
            below += lower;
            above += higher;
            agree = agree & (lower == (vol[k] < 0)) & (higher == (vol[k] > 0));
        }
        if (agree) {
            groups->group[0][0].cells += below;
            exact_add_wide(&groups->group[0][0].volume, -static_cast<__int128>(negatives), lowest);
            groups->group[1][0].cells += above;
            exact_add_wide(&groups->group[1][0].volume, static_cast<__int128>(positives), lowest);
            groups->group[2][0].cells += n - below - above;
            return;
        }
    }
    add_volumes(groups, n, vol_of, [dif](int k) { return 2 - 2 * (dif[k] < 0) - (dif[k] > 0); });
}

void budget_count_cells(BudgetRows *b, const double *dif, const double *vol, int n, BudgetRows *also)
{
    CellGroups sign;
    bool nan = false;
    for (int k = 0; k < n; k++)
        nan = nan || dif[k] != dif[k];
    add_sign_groups(&sign, dif, vol, n);
    auto vol_of = [vol](int k) { return vol[k]; };
    // Without a level of detection every non-zero difference is detected
    // change: the thresholded rows hold the cells of the sign rows (a NaN,
    // in the zero row, is not below the level: it is tested as one).
    const bool tested = b->lod > 0 || nan;
    CellGroups test;
    if (tested)
        add_volumes(&test, n, vol_of, [dif, b](int k) {
            const bool detected = (dif[k] != 0) & !(std::fabs(dif[k]) < b->lod);
            return detected ? static_cast<int>(!(dif[k] < 0)) : 2; // lod_negative 0, lod_positive 1, below 2
        });
    take_groups(b, sign, tested ? &test : nullptr);
    if (also != nullptr)
        take_groups(also, sign, tested ? &test : nullptr);
}

// The errors of the n cells that have one into the tallies of their
// groups, cell k into errors[group_of(k)]: the sums error_count (or
// error_count_cell, with cell_errors_only) gives cell by cell, each
// group's terms gathered and added at once.
template <typename GroupOf>
static void add_errors(ErrorTally errors[3], const TestedCell *cells, int n, double area, bool cell_errors_only,
                       GroupOf group_of)
{
    // Group g's terms from first[g] to first[g + 1] − 1, each kind of term
    // (σ², (a σ)², a σ) in a block of its own.
    size_t first[4] = {0, 0, 0, 0};
    for (int k = 0; k < n; k++)
        if (!std::isnan(cells[k].sigma))
            first[group_of(k) + 1]++;
    for (int g = 0; g < 3; g++)
        first[g + 1] += first[g];
    const size_t total = first[3];
    std::vector<long double> terms(cell_errors_only ? total : 3 * total);
    size_t next[3] = {first[0], first[1], first[2]};
    for (int k = 0; k < n; k++) {
        if (std::isnan(cells[k].sigma))
            continue;
        const ErrorTerms e = error_terms(cells[k].sigma, area);
        const size_t at = next[group_of(k)]++;
        terms[at] = e.sigma2;
        if (!cell_errors_only) {
            terms[total + at] = e.a2_sigma2;
            terms[2 * total + at] = e.a_sigma;
        }
    }
    for (int g = 0; g < 3; g++) {
        const int count = static_cast<int>(first[g + 1] - first[g]);
        errors[g].cells += count;
        exact_add_many(&errors[g].sum_sigma2, terms.data() + first[g], count);
        if (!cell_errors_only) {
            exact_add_many(&errors[g].sum_a2_sigma2, terms.data() + total + first[g], count);
            exact_add_many(&errors[g].sum_a_sigma, terms.data() + 2 * total + first[g], count);
        }
    }
}

// With errors: the groups' volumes, and the errors of each group's cells.
struct TestedGroups {
    CellGroups volumes;
    ErrorTally errors[3];
    // The n cells, cell k into group group_of(k).
    template <typename GroupOf>
    void add(const TestedCell *cells, int n, double area, bool cell_errors_only, GroupOf group_of)
    {
        add_volumes(&volumes, n, [cells](int k) { return cells[k].vol; }, group_of);
        add_errors(errors, cells, n, area, cell_errors_only, group_of);
    }
    void into(BudgetTally *t, int g) const
    {
        volumes.into(t, g);
        if (errors[g].cells != 0)
            error_merge(&t->errors, errors[g]);
    }
};

// The cells grouped by sign and by test; the test groups are the sign
// groups when every cell is detected change exactly where its difference
// is not 0 (no level, no confidence test that left a change out).
static void count_tested_cells(BudgetRows *b, const TestedCell *cells, int n, double area, bool cell_errors_only,
                               BudgetRows *also)
{
    TestedGroups sign;
    sign.add(cells, n, area, cell_errors_only, [cells](int k) {
        const double dif = cells[k].dif;
        return dif < 0 ? 0 : dif > 0 ? 1 : 2;
    });
    bool same_groups = true;
    for (int k = 0; k < n; k++) {
        const TestedCell &c = cells[k];
        same_groups = same_groups && c.detected == (c.dif != 0) && c.dif == c.dif;
    }
    TestedGroups test;
    if (!same_groups)
        test.add(cells, n, area, cell_errors_only, [cells](int k) {
            const TestedCell &c = cells[k];
            return !c.detected ? 2 : c.dif < 0 ? 0 : 1;
        });
    take_groups(b, sign, same_groups ? nullptr : &test);
    if (also != nullptr)
        take_groups(also, sign, same_groups ? nullptr : &test);
}

void budget_count_cells_tested(BudgetRows *b, const TestedCell *cells, int n, double area, BudgetRows *also)
{
    count_tested_cells(b, cells, n, area, false, also);
}

void budget_count_cells_3D(BudgetRows *b, const TestedCell *cells, int n)
{
    count_tested_cells(b, cells, n, 0, true, nullptr);
}

void budget_cell_rows(double dif, bool detected, int first_slot, int slots[3])
{
    slots[0] = first_slot + (dif < 0 ? 0 : dif > 0 ? 1 : 2);
    slots[1] = first_slot + (!detected ? 5 : dif < 0 ? 3 : 4);
    slots[2] = first_slot + 6;
}

void budget_count_tested(BudgetRows *b, double dif, double vol, bool detected, double sigma, double area)
{
    BudgetTally *sign, *test;
    count_rows(b, dif, vol, detected, &sign, &test);
    if (!std::isnan(sigma)) {
        error_count(&sign->errors, sigma, area);
        error_count(&test->errors, sigma, area);
        error_count(&b->all.errors, sigma, area);
    }
}

BudgetTally *budget_row(BudgetRows *b, int index)
{
    BudgetTally *const rows[BUDGET_ROW_COUNT] = {&b->negative,     &b->positive,  &b->zero, &b->lod_negative,
                                                 &b->lod_positive, &b->lod_below, &b->all};
    return index >= 0 && index < BUDGET_ROW_COUNT ? rows[index] : nullptr;
}

// The number of a row of b (budget_row).
static int row_number(BudgetRows *b, const BudgetTally *t)
{
    int k = 0;
    while (budget_row(b, k) != t)
        k++;
    return k;
}

void budget_count_3D(BudgetRows *b, double dif, double vol, bool detected, double sigma_d, int first_slot,
                     int slots[3])
{
    BudgetTally *sign, *test;
    count_rows(b, dif, vol, detected, &sign, &test);
    slots[0] = first_slot + row_number(b, sign);
    slots[1] = first_slot + row_number(b, test);
    slots[2] = first_slot + row_number(b, &b->all);
    // The cell's own error, for the RMS error of each row; the volume sums
    // are set by the propagation.
    if (!std::isnan(sigma_d))
        for (BudgetTally *t : {sign, test, &b->all})
            error_count_cell(&t->errors, sigma_d);
}

void budget_take_propagated(BudgetRows *b, const Propagation3D &p, int first_slot)
{
    for (int k = 0; k < BUDGET_ROW_COUNT; k++) {
        const ErrorTally sums = propagated_sums(p, first_slot + k);
        ErrorTally &t = budget_row(b, k)->errors;
        t.sum_a2_sigma2 = sums.sum_a2_sigma2;
        t.sum_a_sigma = sums.sum_a_sigma;
    }
}

static void close_line(BudgetTally *t, double line_area)
{
    if (t->line_cells != 0)
        exact_add_product(&t->area, t->line_cells, line_area);
    t->line_cells = 0;
}

void budget_end_line(BudgetRows *b, double line_area)
{
    for (BudgetTally *t : {&b->negative, &b->positive, &b->zero, &b->lod_negative, &b->lod_positive, &b->lod_below,
                           &b->all})
        close_line(t, line_area);
}

double budget_area(const BudgetRows &b, const BudgetTally &t)
{
    if (b.per_line_areas)
        return exact_value(t.area);
    return static_cast<double>(static_cast<long double>(t.cells) * b.cell_area);
}

double budget_volume(const BudgetTally &t)
{
    return exact_value(t.volume);
}

double budget_scan_order_bound(long long n, double sum_abs)
{
    return static_cast<double>((n + 1) * std::ldexp(1.0L, -52) * sum_abs);
}

static void merge_tally(BudgetTally *into, const BudgetTally &from)
{
    into->cells += from.cells;
    exact_merge(&into->area, from.area);
    exact_merge(&into->volume, from.volume);
    error_merge(&into->errors, from.errors);
}

void budget_merge(BudgetRows *into, const BudgetRows &from)
{
    const BudgetTally *const theirs[BUDGET_ROW_COUNT] = {&from.negative,     &from.positive,  &from.zero,
                                                         &from.lod_negative, &from.lod_positive, &from.lod_below,
                                                         &from.all};
    for (int k = 0; k < BUDGET_ROW_COUNT; k++)
        merge_tally(budget_row(into, k), *theirs[k]);
}
