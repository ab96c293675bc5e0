#include "budget_engine.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
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
template <int N> struct CellGroupsOf {
    CellGroup group[N][2];
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
using CellGroups = CellGroupsOf<3>;

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

// The range of the exponents of the last bits of a line's non-zero
// volumes (biased; low above high when there is none) and whether one is
// an infinity or a NaN: no branch on the values, so that it is one cheap
// pass over them.
struct VolumeScale {
    int low = 0x800, high = 0;
    bool finite = true;
    // Whether their sums at the scale of the lowest one fit a 128-bit
    // integer: last bits within 2^43 of one another, at most 2^31 terms
    // below 2^96, no overflow.
    bool common() const { return finite && high - low <= 43; }
    // The weight of the lowest last bit, 2^lowest().
    int lowest() const { return std::min(low, 0x7fe) - 1075; }
    // One more volume into the range, with no branch on its value.
    void add(double vol)
    {
        bool negative;
        unsigned long long m;
        int e;
        finite = exact_significand(vol, &negative, &m, &e) && finite;
        const int biased = e + 1075; // the last bit's biased exponent (1 for subnormals and zeros)
        low = std::min(low, m != 0 ? biased : 0x800);
        high = std::max(high, m != 0 ? biased : 0);
    }
};

template <typename VolOf> static VolumeScale volume_scale(int n, VolOf vol_of)
{
    VolumeScale v;
    for (int k = 0; k < n; k++)
        v.add(vol_of(k));
    return v;
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
template <int N, typename VolOf, typename GroupOf>
static void add_volumes(CellGroupsOf<N> *groups, int n, VolOf vol_of, GroupOf group_of)
{
    const VolumeScale scale = volume_scale(n, vol_of);
    if (!scale.common()) {
        for (int k = 0; k < n; k++)
            groups->add(group_of(k), k, vol_of(k));
        return;
    }
    const int lowest = scale.lowest();
    __int128 sum[N] = {};
    long long cells[N] = {};
    for (int k = 0; k < n; k++) {
        bool negative;
        const __int128 magnitude = static_cast<__int128>(scaled_magnitude(vol_of(k), lowest, &negative));
        const int g = group_of(k);
        sum[g] += negative ? -magnitude : magnitude;
        cells[g]++;
    }
    for (int g = 0; g < N; g++) {
        groups->group[g][0].cells += cells[g];
        exact_add_wide(&groups->group[g][0].volume, sum[g], lowest);
    }
}

// What one pass over a line's differences and volumes tells: the cells
// below and above 0 and, with a level of detection, those detected on
// either side; whether a difference is NaN or a volume has not its
// difference's sign (nor is 0); the scale of the volumes.
struct LineFacts {
    long long below = 0, above = 0, detected_below = 0, detected_above = 0;
    bool odd = false; // a NaN difference, or a volume of another sign
    VolumeScale scale;
};

// Two cells at a time, with GCC's vector extensions (SSE2 on x86-64, plain
// code elsewhere): comparisons give lanes of all ones (−1) or 0. The
// exponents (below 2^11) are kept in the low 16 bits of each 64-bit lane,
// whose other 16-bit parts stay 0 through the minimum and maximum taken
// 16 bits at a time.
typedef double Doubles __attribute__((vector_size(16)));
typedef long long Masks __attribute__((vector_size(16)));
typedef unsigned long long Bits __attribute__((vector_size(16)));
typedef short Shorts __attribute__((vector_size(16)));

static Doubles masked(const Doubles &x, const Bits &mask)
{
    return reinterpret_cast<Doubles>(reinterpret_cast<Bits>(x) & mask);
}

// One cell, as the vector loop counts two.
static void add_cell_facts(double d, double v, double lod, LineFacts *f)
{
    const bool lower = d < 0, higher = d > 0, detected = !(std::fabs(d) < lod);
    f->below += lower;
    f->above += higher;
    f->detected_below += lower & detected;
    f->detected_above += higher & detected;
    f->odd = f->odd || d != d || lower != (v < 0) || higher != (v > 0);
    f->scale.add(v);
}

static LineFacts line_facts(const double *dif, const double *vol, int n, double lod)
{
    const Doubles zero = {0, 0}, level = {lod, lod}, smallest_normal = {DBL_MIN, DBL_MIN};
    const Bits magnitude_bits = {~0ULL >> 1, ~0ULL >> 1};
    Masks below = {0, 0}, above = {0, 0}, detected_below = {0, 0}, detected_above = {0, 0}, odd = {0, 0};
    Shorts low = {0x800, 0x800, 0x800, 0x800, 0x800, 0x800, 0x800, 0x800}, high = {}, top = {};
    int k = 0;
    for (; k + 2 <= n; k += 2) {
        Doubles d, v;
        std::memcpy(&d, dif + k, sizeof d);
        std::memcpy(&v, vol + k, sizeof v);
        const Masks lower = d < zero, higher = d > zero;
        const Masks detected = ~(masked(d, magnitude_bits) < level);
        below -= lower;
        above -= higher;
        detected_below -= lower & detected;
        detected_above -= higher & detected;
        odd |= (d != d) | (lower ^ (v < zero)) | (higher ^ (v > zero));
        const Bits bits = reinterpret_cast<Bits>(v);
        const Bits biased = (bits >> 52) & 0x7ff;
        // The tests on the values are comparisons of doubles, whose lanes
        // SSE2 compares at once (it has no 64-bit integer comparison):
        // below the smallest normal number, the biased exponent is 0, and
        // the last bit's is taken as 1.
        const Bits e = biased - reinterpret_cast<Bits>(masked(v, magnitude_bits) < smallest_normal);
        const Bits nonzero = reinterpret_cast<Bits>(v != zero);
        const Shorts e_low = reinterpret_cast<Shorts>((e & nonzero) | (0x800 & ~nonzero));
        const Shorts e_high = reinterpret_cast<Shorts>(e & nonzero);
        low = low < e_low ? low : e_low;
        high = high > e_high ? high : e_high;
        top = top > reinterpret_cast<Shorts>(biased) ? top : reinterpret_cast<Shorts>(biased);
    }
    LineFacts f;
    f.below = below[0] + below[1];
    f.above = above[0] + above[1];
    f.detected_below = detected_below[0] + detected_below[1];
    f.detected_above = detected_above[0] + detected_above[1];
    f.odd = (odd[0] | odd[1]) != 0;
    f.scale.low = std::min(low[0], low[4]);
    f.scale.high = std::max(high[0], high[4]);
    f.scale.finite = std::max(top[0], top[4]) != 0x7ff;
    for (; k < n; k++)
        add_cell_facts(dif[k], vol[k], lod, &f);
    return f;
}

// The volumes of a line at the scale 2^lowest summed by their sign bits,
// and with TESTED those of the cells at or beyond the level too: no
// branch on the signs of noisy differences.
struct ScaledSums {
    unsigned __int128 negative = 0, positive = 0, detected_negative = 0, detected_positive = 0;
};

// At the scale 2^s of a line at one scale (VolumeScale::common), each
// volume v is a whole number of 2^s below 2^96, split exactly in double
// arithmetic: H = v 2^(−s−48) rounded to the nearest whole number (by
// adding and taking away 1.5 × 2^52, exact below 2^51) and L = v 2^−s −
// H 2^48, a whole number within 2^47 (every step exact: scalings by
// powers of two in range, and a difference that a double holds). v 2^−s
// is then H 2^48 + L. Sums of 32 such parts stay below 2^53, so a lane's
// sums in double are exact for 32 cells, then passed to 128-bit
// integers. The scalings need 2^−s and 2^(−s−48) normal doubles, and the
// rounding doubles evaluated as doubles (not in a wider format).
const int SPLIT_BITS = 48, SPLIT_CELLS = 64; // 32 cells a lane of two
static bool splits_exactly(int lowest)
{
    return FLT_EVAL_METHOD == 0 && lowest >= -1023 && lowest <= 1022 - SPLIT_BITS;
}

// The parts of one volume or two, by lanes.
struct SplitParts {
    Doubles high, low;
};

static SplitParts split_volumes(const Doubles &v, const Doubles &to_high, const Doubles &to_scale)
{
    const Doubles round = {0x1.8p52, 0x1.8p52}, split = {0x1p48, 0x1p48};
    SplitParts p;
    p.high = (v * to_high + round) - round;
    p.low = v * to_scale - p.high * split;
    return p;
}

// The exact sum of a chunk's parts, as a whole number of 2^s.
static __int128 chunk_sum(const Doubles &high, const Doubles &low)
{
    const long long h = static_cast<long long>(high[0]) + static_cast<long long>(high[1]);
    const long long l = static_cast<long long>(low[0]) + static_cast<long long>(low[1]);
    return static_cast<__int128>(h) * (static_cast<__int128>(1) << SPLIT_BITS) + l;
}

// The sums, as whole numbers of 2^s, of all the volumes, of the negative
// ones, and with TESTED of those at or beyond the level and of the
// negative ones among them: chunk by chunk, two lanes at a time.
template <bool TESTED> struct SplitChunk {
    Doubles high[4] = {}, low[4] = {};
    void add(const SplitParts &p, const Bits &negative, const Bits &detected)
    {
        high[0] += p.high;
        low[0] += p.low;
        high[1] += masked(p.high, negative);
        low[1] += masked(p.low, negative);
        if (TESTED) {
            const Doubles high_detected = masked(p.high, detected), low_detected = masked(p.low, detected);
            high[2] += high_detected;
            low[2] += low_detected;
            high[3] += masked(high_detected, negative);
            low[3] += masked(low_detected, negative);
        }
    }
    void into(__int128 wide[4]) const
    {
        for (int k = 0; k < (TESTED ? 4 : 2); k++)
            wide[k] += chunk_sum(high[k], low[k]);
    }
};

template <bool TESTED>
static ScaledSums scaled_sums(const double *dif, const double *vol, int n, int lowest, double lod)
{
    const Doubles zero = {0, 0}, level = {lod, lod};
    const Doubles to_high = {std::ldexp(1.0, -lowest - SPLIT_BITS), std::ldexp(1.0, -lowest - SPLIT_BITS)};
    const Doubles to_scale = {std::ldexp(1.0, -lowest), std::ldexp(1.0, -lowest)};
    const Bits magnitude_bits = {~0ULL >> 1, ~0ULL >> 1};
    __int128 wide[4] = {};
    auto detected_of = [&](const Doubles &d) {
        return ~reinterpret_cast<Bits>(masked(d, magnitude_bits) < level);
    };
    int k = 0;
    while (k + 2 <= n) {
        SplitChunk<TESTED> chunk;
        for (const int end = std::min(n - n % 2, k + SPLIT_CELLS); k < end; k += 2) {
            Doubles v, d = zero;
            std::memcpy(&v, vol + k, sizeof v);
            if (TESTED)
                std::memcpy(&d, dif + k, sizeof d);
            chunk.add(split_volumes(v, to_high, to_scale), reinterpret_cast<Bits>(v < zero), detected_of(d));
        }
        chunk.into(wide);
    }
    if (k < n) { // the last cell of an odd line, in a lane of its own
        SplitChunk<TESTED> chunk;
        const Doubles v = {vol[k], 0}, d = {dif[k], 0};
        chunk.add(split_volumes(v, to_high, to_scale), reinterpret_cast<Bits>(v < zero), detected_of(d));
        chunk.into(wide);
    }
    ScaledSums sums;
    sums.negative = static_cast<unsigned __int128>(-wide[1]);
    sums.positive = static_cast<unsigned __int128>(wide[0] - wide[1]);
    sums.detected_negative = static_cast<unsigned __int128>(-wide[3]);
    sums.detected_positive = static_cast<unsigned __int128>(wide[2] - wide[3]);
    return sums;
}

// The sign groups (negative 0, positive 1, zero 2) and, with tested, the
// test groups (lod_negative 0, lod_positive 1, below 2) of a line whose
// volumes lie at one scale and have their differences' signs, with no
// NaN: a volume is its difference times a cell area, so the cells of a
// sign are the volumes of that sign (and 0s, which add nothing). The
// cells below the level are the rest of both signs.
static void add_line_groups(CellGroups *sign, CellGroups *test, const double *dif, const double *vol, int n,
                            double lod, const LineFacts &signs, int lowest)
{
    const ScaledSums s = test != nullptr ? scaled_sums<true>(dif, vol, n, lowest, lod)
                                         : scaled_sums<false>(dif, vol, n, lowest, lod);
    auto into = [lowest](CellGroup *g, long long cells, __int128 sum) {
        g->cells += cells;
        exact_add_wide(&g->volume, sum, lowest);
    };
    into(&sign->group[0][0], signs.below, -static_cast<__int128>(s.negative));
    into(&sign->group[1][0], signs.above, static_cast<__int128>(s.positive));
    sign->group[2][0].cells += n - signs.below - signs.above;
    if (test == nullptr)
        return;
    into(&test->group[0][0], signs.detected_below, -static_cast<__int128>(s.detected_negative));
    into(&test->group[1][0], signs.detected_above, static_cast<__int128>(s.detected_positive));
    into(&test->group[2][0], n - signs.detected_below - signs.detected_above,
         static_cast<__int128>(s.positive - s.detected_positive) -
             static_cast<__int128>(s.negative - s.detected_negative));
}

void budget_count_cells(BudgetRows *b, const double *dif, const double *vol, int n, BudgetRows *also)
{
    CellGroups sign, test;
    const LineFacts facts = line_facts(dif, vol, n, b->lod);
    // Without a level of detection every non-zero difference is detected
    // change: the thresholded rows hold the cells of the sign rows (a NaN,
    // in the zero row, is not below the level: it is tested as one).
    const bool tested = b->lod > 0 || facts.odd;
    if (facts.scale.common() && !facts.odd && splits_exactly(facts.scale.lowest())) {
        add_line_groups(&sign, tested ? &test : nullptr, dif, vol, n, b->lod, facts, facts.scale.lowest());
    } else {
        // The cells one by one into the groups of their differences.
        auto vol_of = [vol](int k) { return vol[k]; };
        add_volumes(&sign, n, vol_of, [dif](int k) { return 2 - 2 * (dif[k] < 0) - (dif[k] > 0); });
        if (tested)
            add_volumes(&test, n, vol_of, [dif, b](int k) {
                const bool detected = (dif[k] != 0) & !(std::fabs(dif[k]) < b->lod);
                return detected ? static_cast<int>(!(dif[k] < 0)) : 2; // lod_negative 0, lod_positive 1, below 2
            });
    }
    take_groups(b, sign, tested ? &test : nullptr);
    if (also != nullptr)
        take_groups(also, sign, tested ? &test : nullptr);
}

// The errors of the n cells that have one into the tallies of their
// groups, cell k into errors[group_of(k)]: the sums error_count (or
// error_count_cell, with cell_errors_only) gives cell by cell, each
// group's terms gathered and added at once.
template <int N, typename GroupOf>
static void add_errors(ErrorTally errors[N], const TestedCell *cells, int n, double area, bool cell_errors_only,
                       GroupOf group_of)
{
    // Group g's terms from first[g] to first[g + 1] − 1, each kind of term
    // (σ², (a σ)², a σ) in a block of its own.
    size_t first[N + 1] = {};
    for (int k = 0; k < n; k++)
        if (!std::isnan(cells[k].sigma))
            first[group_of(k) + 1]++;
    for (int g = 0; g < N; g++)
        first[g + 1] += first[g];
    const size_t total = first[N];
    // The terms' room, kept from line to line by each thread.
    static thread_local std::vector<long double> terms;
    if (terms.size() < 3 * total)
        terms.resize(3 * total);
    size_t next[N];
    std::copy(first, first + N, next);
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
    for (int g = 0; g < N; g++) {
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
    void into(BudgetTally *t, int g) const
    {
        volumes.into(t, g);
        if (errors[g].cells != 0)
            error_merge(&t->errors, errors[g]);
    }
};

// The cells of a line by their pair of groups, 3 × sign group + test
// group: each cell's volume and error terms are added once, into its
// pair's sums, and each sign group and each test group is then the merge
// of three pairs (exact sums: the same as adding the cells to each).
const int GROUP_PAIRS = 9;

struct PairGroups {
    CellGroupsOf<GROUP_PAIRS> volumes;
    ErrorTally errors[GROUP_PAIRS];
    // The pairs into the sign groups (by_sign) or the test groups.
    void merge_into(TestedGroups *groups, bool by_sign) const
    {
        for (int p = 0; p < GROUP_PAIRS; p++) {
            const int g = by_sign ? p / 3 : p % 3;
            for (int half = 0; half < 2; half++) {
                const CellGroup &from = volumes.group[p][half];
                CellGroup &into = groups->volumes.group[g][half];
                if (from.cells != 0) {
                    into.cells += from.cells;
                    exact_merge(&into.volume, from.volume);
                }
            }
            if (errors[p].cells != 0)
                error_merge(&groups->errors[g], errors[p]);
        }
    }
};

// The cells grouped by sign and by test; the test groups are the sign
// groups when every cell is detected change exactly where its difference
// is not 0 (no level, no confidence test that left a change out).
static void count_tested_cells(BudgetRows *b, const TestedCell *cells, int n, double area, bool cell_errors_only,
                               BudgetRows *also)
{
    bool same_groups = true;
    for (int k = 0; k < n; k++) {
        const TestedCell &c = cells[k];
        same_groups = same_groups && c.detected == (c.dif != 0) && c.dif == c.dif;
    }
    // Each cell's pair worked out once, with no branch on noisy signs:
    // sign negative 0, positive 1, zero or NaN 2; test lod_negative 0,
    // lod_positive 1, below 2.
    static thread_local std::vector<unsigned char> pair;
    if (pair.size() < static_cast<size_t>(n))
        pair.resize(static_cast<size_t>(n));
    for (int k = 0; k < n; k++) {
        const TestedCell &c = cells[k];
        const int lower = c.dif < 0, higher = c.dif > 0, detected = c.detected;
        const int sign = 2 - 2 * lower - higher, test = 2 - detected * (1 + lower);
        pair[static_cast<size_t>(k)] = static_cast<unsigned char>(3 * sign + test);
    }
    const unsigned char *pairs_of = pair.data();
    auto pair_of = [pairs_of](int k) { return static_cast<int>(pairs_of[k]); };
    PairGroups pairs;
    add_volumes(&pairs.volumes, n, [cells](int k) { return cells[k].vol; }, pair_of);
    add_errors<GROUP_PAIRS>(pairs.errors, cells, n, area, cell_errors_only, pair_of);
    TestedGroups sign, test;
    pairs.merge_into(&sign, true);
    if (!same_groups)
        pairs.merge_into(&test, false);
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
