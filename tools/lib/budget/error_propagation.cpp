#include "error_propagation.h"

#include "line_window.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace {

// The weights of the 3D difference (difference.cpp): the centre's 2D
// difference counts 5/9, each neighbour's 1/18.
const long double CENTRE_WEIGHT = 5.0L / 9.0L;
const long double NEIGHBOUR_WEIGHT = 1.0L / 18.0L;

// The nine cells of the window of a 2D cell of one line: the rows their
// 3D cells count in (null for a line beyond the frame) and their weights
// a_i w (0 beyond the frame), in the order the window is visited (line by
// line, column by column).
struct LineWindow {
    const int *slots[3];   // of the lines above, at and below, PROPAGATION_SLOTS a cell
    long double weight[9];
};

LineWindow line_window(const Propagation3D &p, int line)
{
    // The lines added so far are the frame: the one below the last added
    // is beyond it.
    const NeighbourLines<const int> held =
        neighbour_lines(line, p.lines, [&p](int i) { return p.slots[i % 3].data(); });
    LineWindow w = {{held.above, held.line, held.below}, {}};
    for (int di = -1; di <= 1; di++)
        for (int dj = -1; dj <= 1; dj++)
            w.weight[(di + 1) * 3 + dj + 1] =
                w.slots[di + 1] != nullptr
                    ? (di == 0 && dj == 0 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT) * p.area[(line + di) % 3]
                    : 0.0L;
    return w;
}

// W_k of a row is the sum, in the order the window is visited, of the
// weights of the neighbours of k whose 3D cell counts in that row. Which
// neighbours do is a mask of nine bits, and the weights of a line depend
// on the three lines' areas alone: each mask's sum is the same long double
// whichever cell needs it.
long double mask_weight(const LineWindow &w, unsigned bits)
{
    long double total = 0.0L;
    for (int at = 0; at < 9; at++)
        if (bits & (1u << at))
            total += w.weight[at];
    return total;
}

// The sums of the masks met in a line, each worked out once.
struct MaskWeights {
    long double sum[512];
    bool known[512] = {};
    long double of(const LineWindow &w, unsigned bits)
    {
        if (!known[bits]) {
            sum[bits] = mask_weight(w, bits);
            known[bits] = true;
        }
        return sum[bits];
    }
};

// The terms (W_k σ_k)² and W_k σ_k of a cell into a row's terms of the line.
void add_terms(LineTerms *t, long double weight, long double sigma)
{
    const long double ws = weight * sigma;
    t->squares.push_back(ws * ws);
    t->linear.push_back(ws);
}

// The sums of a row.
ErrorTally *row_sums(Propagation3D *p, int slot)
{
    const size_t at = static_cast<size_t>(slot);
    if (at >= p->sums.size())
        p->sums.resize(at + 1);
    return &p->sums[at];
}

// The first `count` terms of a row's line into its sums, all at once.
void add_line_terms(ErrorTally *sums, const LineTerms &t, size_t count)
{
    exact_add_many(&sums->sum_a2_sigma2, t.squares.data(), static_cast<int>(count));
    exact_add_many(&sums->sum_a_sigma, t.linear.data(), static_cast<int>(count));
}

// The 2D cells of line `line` with the 3D cells of the lines on either
// side, cell by cell: each gathers the masks of the rows it meets, then
// adds a term to each.
void complete_line_by_cells(Propagation3D *p, int line, const LineWindow &w)
{
    const int nb_col = p->nb_col;
    const double *sigma = p->sigma[line % 3].data();
    MaskWeights weights;
    // The mask of each row met by the cell, and the rows in the order met.
    std::vector<unsigned> &mask = p->masks;
    int met[9 * PROPAGATION_SLOTS];
    for (int j = 0; j < nb_col; j++) {
        if (std::isnan(sigma[j]))
            continue; // no 2D difference: no 3D cell uses it
        int n = 0;
        const int c_first = j > 0 ? j - 1 : 0, c_last = j + 1 < nb_col ? j + 1 : nb_col - 1;
        for (int l = 0; l < 3; l++) {
            if (w.slots[l] == nullptr)
                continue;
            for (int c = c_first; c <= c_last; c++) {
                const unsigned bit = 1u << (3 * l + c - j + 1);
                const int *row = &w.slots[l][static_cast<size_t>(c) * PROPAGATION_SLOTS];
                for (int m = 0; m < PROPAGATION_SLOTS; m++) {
                    if (row[m] < 0)
                        continue;
                    const size_t s = static_cast<size_t>(row[m]);
                    if (s >= mask.size())
                        mask.resize(s + 1, 0);
                    if (mask[s] == 0)
                        met[n++] = row[m];
                    mask[s] |= bit;
                }
            }
        }
        for (int k = 0; k < n; k++) {
            const size_t slot = static_cast<size_t>(met[k]);
            const unsigned bits = mask[slot];
            mask[slot] = 0;
            if (slot >= p->terms.size())
                p->terms.resize(slot + 1);
            LineTerms &t = p->terms[slot];
            if (t.linear.empty())
                p->touched.push_back(met[k]);
            add_terms(&t, weights.of(w, bits), sigma[j]);
        }
    }
    for (const int slot : p->touched) {
        LineTerms &t = p->terms[static_cast<size_t>(slot)];
        add_line_terms(row_sums(p, slot), t, t.linear.size());
        t.squares.clear();
        t.linear.clear();
    }
    p->touched.clear();
}

// The bit of a row (slot), a new one taken from the bits not in `taken`
// where it has none; −1 where every bit is taken.
int slot_bit(Propagation3D *p, int slot, uint64_t taken)
{
    const size_t s = static_cast<size_t>(slot);
    if (s >= p->bit_of_slot.size())
        p->bit_of_slot.resize(s + 1, -1);
    int bit = p->bit_of_slot[s];
    if (bit >= 0 || taken == ~0ULL)
        return bit;
    bit = __builtin_ctzll(~taken);
    if (p->slot_of_bit[bit] >= 0)
        p->bit_of_slot[static_cast<size_t>(p->slot_of_bit[bit])] = -1;
    p->slot_of_bit[bit] = slot;
    p->bit_of_slot[s] = static_cast<signed char>(bit);
    return bit;
}

// The rows of a line's 3D cells as bits (cell_rows, line_rows and kinds of
// ring index `at`), in the numbering kept from line to line: a row met
// before keeps its bit; a new row takes a bit none of the two lines before
// this one meets (the three lines of the completions this line is part of
// share the numbering). False when no bit is left: the line and the two
// before it meet more than 64 rows.
bool number_line_rows(Propagation3D *p, int at, const int *slots)
{
    const uint64_t live = p->line_rows[(at + 1) % 3] | p->line_rows[(at + 2) % 3];
    uint64_t used = 0;
    // The different sets of the line's cells, by a hash of them.
    uint64_t seen[64] = {};
    std::vector<uint64_t> &kinds = p->kinds[at];
    kinds.clear();
    uint64_t *cell_rows = p->cell_rows[at].data();
    for (size_t c = 0; c < static_cast<size_t>(p->nb_col); c++) {
        const int *cell = &slots[c * PROPAGATION_SLOTS];
        // Neighbours often count in the same rows.
        if (c > 0 && std::equal(cell, cell + PROPAGATION_SLOTS, cell - PROPAGATION_SLOTS)) {
            cell_rows[c] = cell_rows[c - 1];
            continue;
        }
        uint64_t bits = 0;
        for (int m = 0; m < PROPAGATION_SLOTS; m++) {
            if (cell[m] < 0)
                continue;
            // Most rows have their bits: looked up at once.
            const size_t s = static_cast<size_t>(cell[m]);
            int bit = s < p->bit_of_slot.size() ? p->bit_of_slot[s] : -1;
            if (bit < 0 && (bit = slot_bit(p, cell[m], live | used | bits)) < 0)
                return false;
            bits |= 1ULL << bit;
        }
        cell_rows[c] = bits;
        used |= bits;
        uint64_t &hashed = seen[(bits * 0x9E3779B97F4A7C15ULL) >> 58];
        if (bits != hashed) {
            hashed = bits;
            kinds.push_back(bits);
        }
    }
    p->line_rows[at] = used;
    return true;
}

// The rows that count in the same cells of the three lines (a sign and
// its thresholded row when nothing is tested apart, say) get the same
// terms from every cell of the line: the sets of such rows, found by
// splitting the set of all rows by the different sets of the lines' cells.
int rows_alike(const std::vector<uint64_t> *kinds[3], uint64_t rows, uint64_t alike[64])
{
    int count = 1;
    alike[0] = rows;
    for (int l = 0; l < 3; l++)
        for (size_t k = 0; kinds[l] != nullptr && k < kinds[l]->size(); k++) {
            const uint64_t in = (*kinds[l])[k];
            for (int a = 0, before = count; a < before; a++)
                if ((alike[a] & in) != 0 && (alike[a] & ~in) != 0) {
                    alike[count++] = alike[a] & ~in;
                    alike[a] &= in;
                }
        }
    return count;
}

// Four bits of a set of rows spread to the lowest bit of four lanes of 16
// bits, one a row.
uint64_t spread_lanes(uint64_t four)
{
    // Bit i of four × 2^(15 k) lands on 2^(i + 15 k), on a lane's lowest
    // bit 2^(16 i) where k = i; the copies never meet, so nothing carries.
    return (four * 0x200040008001ULL) & 0x0001000100010001ULL;
}

// The rows of group g (bits 4g .. 4g + 3 of `rows`) in each column of the
// three lines, a lane of 16 bits a row: which of the column's lines meet it
// (bits 0, 3 and 6: above, at, below), the mask of a window being those of
// its three columns side by side. The columns from one before the first to
// one after the last, those two empty.
void column_codes(const uint64_t *const lines[3], size_t n, uint64_t rows, int g, std::vector<uint64_t> *codes)
{
    codes->resize(n + 2);
    uint64_t *code = codes->data();
    code[0] = code[n + 1] = 0;
    const int shift = 4 * g;
    for (size_t c = 0; c < n; c++)
        code[c + 1] = spread_lanes((lines[0][c] & rows) >> shift & 15) |
                      spread_lanes((lines[1][c] & rows) >> shift & 15) << 3 |
                      spread_lanes((lines[2][c] & rows) >> shift & 15) << 6;
}

// The weight W of a mask of a line's window, and the same taken apart for
// the terms in integers (where it is a normal number).
struct MaskWeight {
    long double value;
#if LDBL_MANT_DIG == 64
    ExactExtended parts;
#endif
};

// The σ of a 2D cell, and the same taken apart for the terms in integers
// (where it is a normal number: integer).
struct CellSigma {
    long double value;
    bool integer;
#if LDBL_MANT_DIG == 64
    ExactExtended parts;
#endif
};

CellSigma cell_sigma(double sigma)
{
    CellSigma s;
    s.value = sigma;
    s.integer = false;
#if LDBL_MANT_DIG == 64
    unsigned long long m;
    int exponent;
    s.integer = exact_significand(sigma, &s.parts.negative, &m, &exponent) && (m >> 52) != 0;
    // The leading bit at the top of 64, as the extended format holds it.
    s.parts.m = m << 11;
    s.parts.exponent = exponent - 11;
    s.parts.zero = false;
    s.parts.normal = true;
#endif
    return s;
}

// The sums of each mask of a line's window (mask_weight's, in the order
// the window is visited: a mask's sum is that of the mask without its
// last neighbour plus that neighbour's weight), taken apart.
void mask_weights(const LineWindow &w, MaskWeight weight_of[512])
{
    weight_of[0].value = 0.0L;
    for (unsigned bits = 1; bits < 512; bits++) {
        const int last = 31 - __builtin_clz(bits);
        weight_of[bits].value = weight_of[bits & ~(1u << last)].value + w.weight[last];
    }
#if LDBL_MANT_DIG == 64
    for (unsigned bits = 0; bits < 512; bits++)
        weight_of[bits].parts = exact_extended_parts(weight_of[bits].value);
#endif
}

#if LDBL_MANT_DIG == 64
// Whether this machine's long double products round as
// exact_extended_product does (x87 with its 64-bit precision, to
// nearest), tried once on products a shorter precision or another
// rounding would give otherwise.
bool integer_products_hold()
{
    static const bool hold = [] {
        unsigned long long state = 0x9E3779B97F4A7C15ULL;
        for (int k = 0; k < 256; k++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            volatile long double w = std::ldexp(static_cast<long double>(state | 1ULL << 63), -64 - k % 8);
            volatile double sigma = 0.01 + static_cast<double>(state >> 11) * 0x1p-53;
            const long double ws = w * sigma, square = ws * ws;
            const ExactExtended p = exact_extended_product(exact_extended_parts(w), cell_sigma(sigma).parts);
            const ExactExtended q = exact_extended_product(p, p), a = exact_extended_parts(ws),
                                b = exact_extended_parts(square);
            if (p.m != a.m || p.exponent != a.exponent || q.m != b.m || q.exponent != b.exponent)
                return false;
        }
        return true;
    }();
    return hold;
}
#endif

// The terms (W σ)² and W σ of a cell in a row, the long double products of
// add_terms: worked out in integers where W, σ and the terms are normal
// numbers within range (exact_extended_product rounds as the products
// do), else as long doubles.
void cell_row_terms(RowTerms *t, const MaskWeight &w, const CellSigma &s, bool integer)
{
#if LDBL_MANT_DIG == 64
    if (integer && s.integer && w.parts.normal) {
        const ExactExtended ws = exact_extended_product(w.parts, s.parts), square = exact_extended_product(ws, ws);
        if (exact_bucket_range(ws.exponent) && exact_bucket_range(square.exponent)) {
            exact_bucket_add(&t->linear, &t->into->sum_a_sigma, ws);
            exact_bucket_add(&t->square, &t->into->sum_a2_sigma2, square);
            return;
        }
    }
#endif
    (void)integer;
    const long double ws = w.value * s.value;
    exact_add(&t->into->sum_a2_sigma2, ws * ws);
    exact_add(&t->into->sum_a_sigma, ws);
}

// The terms of the 2D cells of a line with a σ in the rows of group g,
// from the group's column codes: for each cell, the rows met by its window,
// each with its mask; W_k is the mask's weight.
void group_terms(const uint64_t *code, const double *sigma, size_t n, int g, const MaskWeight weight_of[512],
                 RowTerms *const row_terms[64], bool integer)
{
    for (size_t j = 0; j < n; j++) {
        // Columns j − 1, j and j + 1 at j, j + 1 and j + 2.
        uint64_t lanes = code[j] | code[j + 1] << 1 | code[j + 2] << 2;
        if (lanes == 0 || std::isnan(sigma[j]) || sigma[j] == 0)
            continue; // no 3D cell of the group's rows around, no 2D difference, or terms of 0
        const CellSigma s = cell_sigma(sigma[j]);
        do {
            const int lane = __builtin_ctzll(lanes) >> 4;
            const unsigned bits = static_cast<unsigned>(lanes >> (16 * lane)) & 0x1ff;
            lanes &= ~(0xffffULL << (16 * lane));
            cell_row_terms(row_terms[4 * g + lane], weight_of[bits], s, integer);
        } while (lanes != 0);
    }
}

#if LDBL_MANT_DIG == 64
// The σ of a line's cells taken apart for the terms in integers: by
// column, the 64-bit significand (0 for a cell without terms: no σ, or 0)
// and the exponent of its last bit, and the least and greatest exponents.
// False where a σ is negative or not a normal number (the line's terms go
// the general way, group_terms).
bool sigma_parts(const double *sigma, size_t n, unsigned long long *m, int *exponent, int *low, int *high)
{
    *low = 1 << 20;
    *high = -(1 << 20);
    for (size_t j = 0; j < n; j++) {
        m[j] = 0;
        if (std::isnan(sigma[j]) || sigma[j] == 0)
            continue;
        const CellSigma s = cell_sigma(sigma[j]);
        if (!s.integer || s.parts.negative)
            return false;
        m[j] = s.parts.m;
        exponent[j] = s.parts.exponent;
        *low = std::min(*low, exponent[j]);
        *high = std::max(*high, exponent[j]);
    }
    return true;
}

// Where a line's terms in integers fall, from the exponents of its σ and
// of its masks' weights (a product of 64-bit significands is rounded to
// one scaled by 2^63 to 2^65): the least exponents of the linear terms and
// of the squares. False unless each kind lies within 64 exponents (a
// bucket of TermBuckets then holds one exponent, whatever the term) and
// where exact_add takes the terms whole, and every weight of the window's
// lines is a positive normal number (so is then every mask's sum).
bool terms_fit(const LineWindow &w, const MaskWeight weight_of[512], int sigma_low, int sigma_high, int *linear_low,
               int *square_low)
{
    for (int at = 0; at < 9; at++)
        if (w.slots[at / 3] != nullptr && !(w.weight[at] > 0 && exact_extended_parts(w.weight[at]).normal))
            return false;
    int low = 1 << 20, high = -(1 << 20);
    for (unsigned bits = 1; bits < 512; bits++)
        if (weight_of[bits].parts.normal) {
            low = std::min(low, weight_of[bits].parts.exponent);
            high = std::max(high, weight_of[bits].parts.exponent);
        }
    const long long linear_high = static_cast<long long>(high) + sigma_high + 65;
    *linear_low = low + sigma_low + 63;
    *square_low = 2 * *linear_low + 63;
    const long long square_high = 2 * linear_high + 65;
    return low <= high && square_high - *square_low < 64 && *square_low >= -1074 && *linear_low >= -1074 &&
           square_high <= 900;
}

// The terms of the 2D cells of a line in the rows of group g, as
// group_terms adds them, where the line's terms fit (terms_fit): each
// term's significand straight into the bucket of its exponent.
void group_terms_fitting(const uint64_t *code, const unsigned long long *sigma_m, const int *sigma_e, size_t n, int g,
                         const MaskWeight weight_of[512], RowTerms *const row_terms[64])
{
    for (size_t j = 0; j < n; j++) {
        // Columns j − 1, j and j + 1 at j, j + 1 and j + 2.
        uint64_t lanes = code[j] | code[j + 1] << 1 | code[j + 2] << 2;
        if (lanes == 0 || sigma_m[j] == 0)
            continue; // no 3D cell of the group's rows around, or no terms
        // The terms of the last mask, kept for the next row of the cell
        // (rows often meet the same neighbours: the undetected and the
        // net rows where nothing around is detected, say).
        unsigned last = 0;
        unsigned long long ws = 0, square = 0;
        int exponent = 0, square_exponent = 0;
        do {
            const int lane = __builtin_ctzll(lanes) >> 4;
            const unsigned bits = static_cast<unsigned>(lanes >> (16 * lane)) & 0x1ff;
            lanes &= ~(0xffffULL << (16 * lane));
            if (bits != last) {
                const ExactExtended &weight = weight_of[bits].parts;
                int shift;
                ws = exact_round_product(static_cast<unsigned __int128>(weight.m) * sigma_m[j], &shift);
                exponent = weight.exponent + sigma_e[j] + shift;
                square = exact_round_product(static_cast<unsigned __int128>(ws) * ws, &shift);
                square_exponent = 2 * exponent + shift;
                last = bits;
            }
            RowTerms *t = row_terms[4 * g + lane];
            t->linear.sum[j & 1][exponent & 63] += ws;
            t->square.sum[j & 1][square_exponent & 63] += square;
        } while (lanes != 0);
    }
}
#endif

// A set of rows alike gets the line's sums of the row standing for it.
void add_set_sums(Propagation3D *p, uint64_t rows, const ErrorTally &line_sums)
{
    for (; rows != 0; rows &= rows - 1) {
        ErrorTally *sums = row_sums(p, p->slot_of_bit[__builtin_ctzll(rows)]);
        exact_merge(&sums->sum_a2_sigma2, line_sums.sum_a2_sigma2);
        exact_merge(&sums->sum_a_sigma, line_sums.sum_a_sigma);
    }
}

// The terms of a line's cells in the rows standing for their sets
// (firsts), group by group of four rows: in integers straight into the
// buckets where they fit (true), else the general way (false: some terms
// may have gone to the rows' `into`).
bool line_terms(Propagation3D *p, int line, const LineWindow &w, const uint64_t *const lines[3], uint64_t firsts,
                const MaskWeight weight_of[512], RowTerms *const standing[64])
{
    const size_t n = static_cast<size_t>(p->nb_col);
    const double *sigma = p->sigma[line % 3].data();
#if LDBL_MANT_DIG == 64
    const bool integer = integer_products_hold();
    p->sigma_m.resize(n);
    p->sigma_e.resize(n);
    int sigma_low = 0, sigma_high = 0, linear_low = 0, square_low = 0;
    const bool fit = integer &&
                     sigma_parts(sigma, n, p->sigma_m.data(), p->sigma_e.data(), &sigma_low, &sigma_high) &&
                     terms_fit(w, weight_of, sigma_low, sigma_high, &linear_low, &square_low);
#else
    const bool integer = false, fit = false;
#endif
    for (int g = 0; g < 16; g++) {
        if ((firsts >> (4 * g) & 15) == 0)
            continue;
        column_codes(lines, n, firsts, g, &p->codes[g]);
#if LDBL_MANT_DIG == 64
        if (fit) {
            group_terms_fitting(p->codes[g].data(), p->sigma_m.data(), p->sigma_e.data(), n, g, weight_of, standing);
            continue;
        }
#endif
        group_terms(p->codes[g].data(), sigma, n, g, weight_of, standing, integer);
    }
#if LDBL_MANT_DIG == 64
    // The buckets filled straight: each holds one exponent, from the least.
    for (uint64_t f = firsts; fit && f != 0; f &= f - 1) {
        RowTerms *t = standing[__builtin_ctzll(f)];
        t->linear.low = t->linear.high = linear_low;
        t->square.low = t->square.high = square_low;
    }
#endif
    return fit;
}

// The 2D cells of line `line` as complete_line_by_cells adds them, the
// same terms into the same rows, with the rows of the three lines as sets
// of bits: the rows alike get their terms once, gathered by the row
// standing for their set (its lowest bit), then added to each row of the
// set at once; a cell's rows and the mask of each are those of the three
// columns of its window, four rows at a time. False, having added
// nothing, when a line was not numbered (more than 64 rows).
bool complete_line_by_sets(Propagation3D *p, int line, const LineWindow &w)
{
    const uint64_t *lines[3];
    const std::vector<uint64_t> *kinds[3];
    uint64_t rows = 0;
    for (int l = 0; l < 3; l++) {
        const size_t at = static_cast<size_t>(line + l + 2) % 3; // line − 1 + l
        const bool held = w.slots[l] != nullptr;
        if (held && !p->numbered[at])
            return false;
        lines[l] = held ? p->cell_rows[at].data() : p->no_rows.data();
        kinds[l] = held ? &p->kinds[at] : nullptr;
        rows |= held ? p->line_rows[at] : 0;
    }
    if (rows == 0)
        return true; // no 3D cell in the three lines: no terms
    uint64_t alike[64];
    const int sets = rows_alike(kinds, rows, alike);
    uint64_t firsts = 0;
    for (int a = 0; a < sets; a++)
        firsts |= alike[a] & (~alike[a] + 1);
    // The rows standing for their sets: the terms of a row alone go to
    // its own sums (every row's sums made first, so that none moves), those
    // of a set of rows to the line's sums, started empty.
    for (uint64_t r = rows; r != 0; r &= r - 1)
        row_sums(p, p->slot_of_bit[__builtin_ctzll(r)]);
    std::vector<RowTerms> &row_terms = p->row_terms;
    row_terms.resize(64);
    RowTerms *standing[64];
    for (int a = 0; a < sets; a++) {
        const int first = __builtin_ctzll(alike[a]);
        RowTerms *t = standing[first] = &row_terms[static_cast<size_t>(first)];
        const bool alone = (alike[a] & (alike[a] - 1)) == 0;
        t->into = alone ? &p->sums[static_cast<size_t>(p->slot_of_bit[first])] : &t->sums;
        if (!alone)
            t->sums = ErrorTally();
    }
    MaskWeight weight_of[512];
    mask_weights(w, weight_of);
    const bool fit = line_terms(p, line, w, lines, firsts, weight_of, standing);
    // The buckets into each row of the set (cheaper than merging sums),
    // and the terms gathered apart, where some were, merged.
    for (int a = 0; a < sets; a++) {
        RowTerms *t = standing[__builtin_ctzll(alike[a])];
        for (uint64_t r = alike[a]; r != 0; r &= r - 1) {
            ErrorTally *sums = &p->sums[static_cast<size_t>(p->slot_of_bit[__builtin_ctzll(r)])];
            exact_buckets_into(t->square, &sums->sum_a2_sigma2);
            exact_buckets_into(t->linear, &sums->sum_a_sigma);
        }
        exact_buckets_clear(&t->square);
        exact_buckets_clear(&t->linear);
        if (t->into == &t->sums && !fit)
            add_set_sums(p, alike[a], t->sums);
    }
    return true;
}

// The 2D cells of line `line` (held in the ring), with the 3D cells of the
// lines on either side that have been added: each row's W_k, then its
// sums.
void complete_line(Propagation3D *p, int line)
{
    const LineWindow w = line_window(*p, line);
    if (!p->by_sets || !complete_line_by_sets(p, line, w))
        complete_line_by_cells(p, line, w);
}

} // namespace

Propagation3D propagation_start(int nb_col)
{
    Propagation3D p;
    p.nb_col = nb_col;
    for (int k = 0; k < 3; k++) {
        p.sigma[k].assign(static_cast<size_t>(nb_col), 0.0);
        p.slots[k].assign(static_cast<size_t>(nb_col) * PROPAGATION_SLOTS, -1);
        p.cell_rows[k].assign(static_cast<size_t>(nb_col), 0);
    }
    p.no_rows.assign(static_cast<size_t>(nb_col), 0);
    for (int &slot : p.slot_of_bit)
        slot = -1;
    return p;
}

void propagation_add_line(Propagation3D *p, const double *sigma, double area, const int *slots)
{
    const int at = p->lines % 3;
    p->sigma[at].assign(sigma, sigma + p->nb_col);
    p->slots[at].assign(slots, slots + static_cast<size_t>(p->nb_col) * PROPAGATION_SLOTS);
    p->area[at] = area;
    p->numbered[at] = p->by_sets && number_line_rows(p, at, slots);
    if (!p->numbered[at])
        p->line_rows[at] = 0; // its bits are not used: no completion with it goes by sets
    p->lines++;
    if (p->lines >= 2)
        complete_line(p, p->lines - 2);
}

void propagation_finish(Propagation3D *p)
{
    if (!p->finished && p->lines >= 1)
        complete_line(p, p->lines - 1);
    p->finished = true;
}

ErrorTally propagated_sums(const Propagation3D &p, int slot)
{
    if (slot < 0 || static_cast<size_t>(slot) >= p.sums.size())
        return ErrorTally();
    return p.sums[static_cast<size_t>(slot)];
}
