#include "error_propagation.h"

#include <cmath>

namespace {

// The weights of the 3D difference (difference.cpp): the centre's 2D
// difference counts 5/9, each neighbour's 1/18.
const long double CENTRE_WEIGHT = 5.0L / 9.0L;
const long double NEIGHBOUR_WEIGHT = 1.0L / 18.0L;

// One row's coefficient W_k of the 2D cell being completed.
struct Coefficient {
    int slot;
    long double w;
};

// The 2D cells of line `line` (held in the ring), with the 3D cells of the
// lines on either side that have been added: each row's W_k, then its
// sums.
void complete_line(Propagation3D *p, int line)
{
    const int nb_col = p->nb_col;
    const double *sigma = p->sigma[line % 3].data();
    Coefficient found[9 * PROPAGATION_SLOTS];
    for (int j = 0; j < nb_col; j++) {
        if (std::isnan(sigma[j]))
            continue; // no 2D difference: no 3D cell uses it
        int n = 0;
        for (int di = -1; di <= 1; di++) {
            const int i = line + di;
            if (i < 0 || i >= p->lines)
                continue;
            const int *row = p->slots[i % 3].data();
            const long double a = p->area[i % 3];
            for (int dj = -1; dj <= 1; dj++) {
                const int c = j + dj;
                if (c < 0 || c >= nb_col)
                    continue;
                const long double w = (di == 0 && dj == 0 ? CENTRE_WEIGHT : NEIGHBOUR_WEIGHT) * a;
                for (int m = 0; m < PROPAGATION_SLOTS; m++) {
                    const int s = row[static_cast<size_t>(c) * PROPAGATION_SLOTS + m];
                    if (s < 0)
                        continue;
                    int k = 0;
                    while (k < n && found[k].slot != s)
                        k++;
                    if (k == n)
                        found[n++] = {s, 0.0L};
                    found[k].w += w;
                }
            }
        }
        const long double s = sigma[j];
        for (int k = 0; k < n; k++) {
            if (static_cast<size_t>(found[k].slot) >= p->sums.size())
                p->sums.resize(static_cast<size_t>(found[k].slot) + 1);
            ErrorTally &t = p->sums[static_cast<size_t>(found[k].slot)];
            const long double ws = found[k].w * s;
            exact_add(&t.sum_a2_sigma2, ws * ws);
            exact_add(&t.sum_a_sigma, ws);
        }
    }
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
