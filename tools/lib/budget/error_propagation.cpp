#include "error_propagation.h"

#include "line_window.h"

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

// The rows met in the three lines, numbered 0 .. 63 for this line: up to
// 64 rows, a cell's rows are a set of bits.
struct LocalRows {
    std::vector<int> *local_of; // by row, −1 for a row not met (left so after)
    int slot[64];
    int count = 0;
    ~LocalRows()
    {
        for (int k = 0; k < count; k++)
            (*local_of)[static_cast<size_t>(slot[k])] = -1;
    }
    // The rows of a cell as bits; false when more than 64 rows are met.
    bool bits_of(const int *slots, uint64_t *bits)
    {
        *bits = 0;
        for (int m = 0; m < PROPAGATION_SLOTS; m++) {
            if (slots[m] < 0)
                continue;
            const size_t s = static_cast<size_t>(slots[m]);
            if (s >= local_of->size())
                local_of->resize(s + 1, -1);
            int &local = (*local_of)[s];
            if (local < 0) {
                if (count == 64)
                    return false;
                local = count;
                slot[count++] = slots[m];
            }
            *bits |= 1ULL << local;
        }
        return true;
    }
};

// The rows that count in the same cells of the three lines (a sign and
// its thresholded row when nothing is tested apart, say) get the same
// terms from every cell of the line: the sets of such rows, found by
// splitting the set of all rows by each cell's rows.
int rows_alike(const uint64_t *cells, size_t n, int rows, uint64_t alike[64])
{
    int count = 1;
    alike[0] = rows == 64 ? ~0ULL : (1ULL << rows) - 1;
    // A cell's rows split the sets once: the rows of the cells already
    // met, by a hash of them (an empty set splits nothing).
    uint64_t met[64] = {};
    for (size_t k = 0; k < n && count < rows; k++) {
        const uint64_t in = cells[k];
        uint64_t &seen = met[(in * 0x9E3779B97F4A7C15ULL) >> 58];
        if (in == seen)
            continue;
        seen = in;
        for (int a = 0, before = count; a < before; a++)
            if ((alike[a] & in) != 0 && (alike[a] & ~in) != 0) {
                alike[count++] = alike[a] & ~in;
                alike[a] &= in;
            }
    }
    return count;
}

// The sets of rows alike in each column of the three lines, set by set
// (by their index in alike; the columns from one before the first to one
// after the last, those two empty): which of the column's lines meet the
// set (bits 0, 3 and 6: above, at, below), the mask of a window being
// those of its three columns side by side.
void column_rows(Propagation3D *p, const uint64_t alike[64], int sets)
{
    const size_t n = static_cast<size_t>(p->nb_col);
    // Each set stands for itself by its lowest row.
    int set_of_row[64];
    uint64_t firsts = 0;
    for (int a = 0; a < sets; a++) {
        set_of_row[__builtin_ctzll(alike[a])] = a;
        firsts |= alike[a] & (~alike[a] + 1);
    }
    p->column_bits.assign(static_cast<size_t>(sets) * (n + 2), 0);
    for (size_t l = 0; l < 3; l++)
        for (size_t c = 0; c < n; c++)
            for (uint64_t rows = p->cell_rows[l * n + c] & firsts; rows != 0; rows &= rows - 1) {
                const size_t a = static_cast<size_t>(set_of_row[__builtin_ctzll(rows)]);
                p->column_bits[a * (n + 2) + c + 1] |= 1u << (3 * l);
            }
}

// The first `count` terms of a set of rows alike into each row's sums:
// summed apart and merged where the set has more than one row.
void add_set_terms(Propagation3D *p, uint64_t rows, const LocalRows &local, const LineTerms &t, size_t count)
{
    if (count == 0)
        return;
    if ((rows & (rows - 1)) == 0) {
        add_line_terms(row_sums(p, local.slot[__builtin_ctzll(rows)]), t, count);
        return;
    }
    ErrorTally line_sums;
    add_line_terms(&line_sums, t, count);
    for (; rows != 0; rows &= rows - 1) {
        ErrorTally *sums = row_sums(p, local.slot[__builtin_ctzll(rows)]);
        exact_merge(&sums->sum_a2_sigma2, line_sums.sum_a2_sigma2);
        exact_merge(&sums->sum_a_sigma, line_sums.sum_a_sigma);
    }
}

// The 2D cells of line `line` as complete_line_by_cells adds them, the
// same terms into the same rows, with the rows of the three lines as sets
// of bits: the rows alike get their terms once (summed apart, then merged
// into each), and a cell's rows and the mask of each are those of the
// three columns of its window. False, having added nothing, when the
// three lines meet more than 64 rows.
bool complete_line_by_sets(Propagation3D *p, int line, const LineWindow &w)
{
    const int nb_col = p->nb_col;
    const size_t n = static_cast<size_t>(nb_col);
    LocalRows local;
    local.local_of = &p->local_of_slot;
    std::vector<uint64_t> &cells = p->cell_rows;
    cells.assign(3 * n, 0);
    for (int l = 0; l < 3; l++)
        for (size_t c = 0; w.slots[l] != nullptr && c < n; c++)
            if (!local.bits_of(&w.slots[l][c * PROPAGATION_SLOTS], &cells[static_cast<size_t>(l) * n + c]))
                return false;
    if (local.count == 0)
        return true; // no 3D cell in the three lines: no terms
    uint64_t alike[64];
    const int sets = rows_alike(cells.data(), cells.size(), local.count, alike);
    column_rows(p, alike, sets);
    long double weight_of[512];
    for (unsigned bits = 0; bits < 512; bits++)
        weight_of[bits] = mask_weight(w, bits);
    const double *sigma = p->sigma[line % 3].data();
    if (p->set_terms.size() < static_cast<size_t>(sets))
        p->set_terms.resize(static_cast<size_t>(sets));
    for (int a = 0; a < sets; a++) {
        // Set a's terms of the line: one a cell at most.
        LineTerms &t = p->set_terms[static_cast<size_t>(a)];
        t.squares.resize(n);
        t.linear.resize(n);
        size_t count = 0;
        // Columns j − 1, j and j + 1 at j, j + 1 and j + 2.
        const unsigned *in = &p->column_bits[static_cast<size_t>(a) * (n + 2)];
        for (size_t j = 0; j < n; j++) {
            const unsigned bits = in[j] | in[j + 1] << 1 | in[j + 2] << 2;
            if (bits == 0 || std::isnan(sigma[j]))
                continue; // no 3D cell of the set around, or no 2D difference
            const long double ws = weight_of[bits] * static_cast<long double>(sigma[j]);
            t.squares[count] = ws * ws;
            t.linear[count] = ws;
            count++;
        }
        add_set_terms(p, alike[a], local, t, count);
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
    }
    return p;
}

void propagation_add_line(Propagation3D *p, const double *sigma, double area, const int *slots)
{
    const int at = p->lines % 3;
    p->sigma[at].assign(sigma, sigma + p->nb_col);
    p->slots[at].assign(slots, slots + static_cast<size_t>(p->nb_col) * PROPAGATION_SLOTS);
    p->area[at] = area;
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
