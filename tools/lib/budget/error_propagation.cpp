#include "error_propagation.h"

#include <cmath>

namespace {

// The weights of the 3D difference (difference.cpp): the centre's 2D
// difference counts 5/9, each neighbour's 1/18.
const long double CENTRE_WEIGHT = 5.0L / 9.0L;
const long double NEIGHBOUR_WEIGHT = 1.0L / 18.0L;

// The 2D cells of line `line` (held in the ring), with the 3D cells of the
// lines on either side that have been added: each row's W_k, then its
// sums.
//
// W_k of a row is the sum, in the order the window is visited (line by
// line, column by column), of the weights a_i w of the neighbours of k
// whose 3D cell counts in that row. Which neighbours do is a mask of nine
// bits, and the weights of a line depend on the three lines' areas alone:
// each mask's sum is worked out once per line (in that order, so that
// every W_k is the same long double whichever cell first needs it), and a
// cell only gathers the masks of its rows.
void complete_line(Propagation3D *p, int line)
{
    const int nb_col = p->nb_col;
    const double *sigma = p->sigma[line % 3].data();
    long double weight[9];
    const int *rows[9];
    for (int di = -1; di <= 1; di++)
        for (int dj = -1; dj <= 1; dj++) {
            const int i = line + di, at = (di + 1) * 3 + dj + 1;
            const bool held = i >= 0 && i < p->lines;
            rows[at] = held ? p->slots[i % 3].data() : nullptr;
            weight[at] = held ? (di == 0 && dj == 0 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT) * p->area[i % 3] : 0.0L;
        }
    long double sum_of_mask[512];
    bool known[512] = {};
    // The mask of each row met by the cell, and the rows in the order met.
    std::vector<unsigned> &mask = p->masks;
    int met[9 * PROPAGATION_SLOTS];
    for (int j = 0; j < nb_col; j++) {
        if (std::isnan(sigma[j]))
            continue; // no 2D difference: no 3D cell uses it
        int n = 0;
        const int c_first = j > 0 ? j - 1 : 0, c_last = j + 1 < nb_col ? j + 1 : nb_col - 1;
        for (int at_line = 0; at_line < 9; at_line += 3) {
            if (rows[at_line] == nullptr)
                continue;
            for (int c = c_first; c <= c_last; c++) {
                const unsigned bit = 1u << (at_line + c - j + 1);
                const int *row = &rows[at_line][static_cast<size_t>(c) * PROPAGATION_SLOTS];
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
        const long double sg = sigma[j];
        for (int k = 0; k < n; k++) {
            const size_t slot = static_cast<size_t>(met[k]);
            const unsigned bits = mask[slot];
            mask[slot] = 0;
            if (!known[bits]) {
                long double w = 0.0L;
                for (int at = 0; at < 9; at++)
                    if (bits & (1u << at))
                        w += weight[at];
                sum_of_mask[bits] = w;
                known[bits] = true;
            }
            if (slot >= p->terms.size())
                p->terms.resize(slot + 1);
            LineTerms &t = p->terms[slot];
            if (t.linear.empty())
                p->touched.push_back(met[k]);
            const long double ws = sum_of_mask[bits] * sg;
            t.squares.push_back(ws * ws);
            t.linear.push_back(ws);
        }
    }
    // The line's terms of each row into its sums, all at once.
    for (const int slot : p->touched) {
        const size_t at = static_cast<size_t>(slot);
        if (at >= p->sums.size())
            p->sums.resize(at + 1);
        LineTerms &t = p->terms[at];
        exact_add_many(&p->sums[at].sum_a2_sigma2, t.squares.data(), static_cast<int>(t.squares.size()));
        exact_add_many(&p->sums[at].sum_a_sigma, t.linear.data(), static_cast<int>(t.linear.size()));
        t.squares.clear();
        t.linear.clear();
    }
    p->touched.clear();
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
