#include "surfaces.h"

#include <algorithm>
#include <cmath>
#include <vector>

uint64_t next_random(Random *r)
{
    uint64_t z = (r->state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

long long random_between(Random *r, long long lo, long long hi)
{
    const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo) + 1;
    const uint64_t v = span == 0 ? next_random(r) : next_random(r) % span;
    return static_cast<long long>(static_cast<uint64_t>(lo) + v);
}

double random_unit(Random *r)
{
    return static_cast<double>(next_random(r) >> 11) * 0x1p-53;
}

static const double UNITS_PER_METRE[4] = {1, 10, 100, 1000};

void synthetic_terrain(int *const *itab, int nb_lig, int nb_col, double base_m, double relief_m, int interv,
                       uint64_t seed)
{
    // A sum of separable waves: each octave is a line profile times a
    // column profile, so that a cell costs a few products.
    const int OCTAVES = 6;
    Random r = {seed};
    std::vector<double> line(static_cast<size_t>(OCTAVES) * nb_lig), column(static_cast<size_t>(OCTAVES) * nb_col);
    double amplitude = 1.0, total = 0.0;
    for (int o = 0; o < OCTAVES; o++) {
        const double wavelength = 3000.0 / (1 << o) * (0.7 + 0.6 * random_unit(&r));
        const double phase_l = 6.283 * random_unit(&r), phase_c = 6.283 * random_unit(&r);
        const double skew = 0.5 * random_unit(&r);
        for (int i = 0; i < nb_lig; i++)
            line[o * nb_lig + i] = amplitude * std::sin(6.283 * i / wavelength + phase_l);
        for (int j = 0; j < nb_col; j++)
            column[o * nb_col + j] = std::cos(6.283 * j / wavelength * (1 + skew) + phase_c);
        total += amplitude;
        amplitude *= 0.55;
    }
    const double scale = UNITS_PER_METRE[interv];
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            double h = 0;
            for (int o = 0; o < OCTAVES; o++)
                h += line[o * nb_lig + i] * column[o * nb_col + j];
            const double rough = (static_cast<double>(next_random(&r) >> 11) * 0x1p-53 - 0.5) * 0.2;
            const double metres = base_m + relief_m * (0.5 + 0.5 * h / total) + rough;
            itab[i][j] = static_cast<int>(std::lround(metres * scale));
        }
}

void later_survey(int *const *before, int *const *after, int nb_lig, int nb_col, int noise, int changes, int depth,
                  uint64_t seed)
{
    Random r = {seed};
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            after[i][j] = static_cast<int>(before[i][j] + random_between(&r, -noise, noise));
    for (int c = 0; c < changes; c++) {
        const double ci = random_unit(&r) * nb_lig, cj = random_unit(&r) * nb_col;
        const double radius = 2 + random_unit(&r) * (nb_lig + nb_col) / 20.0;
        const double amount = (random_unit(&r) * 2 - 1) * depth;
        const int i0 = static_cast<int>(std::max(0.0, ci - radius)), i1 = static_cast<int>(std::min<double>(nb_lig, ci + radius));
        const int j0 = static_cast<int>(std::max(0.0, cj - radius)), j1 = static_cast<int>(std::min<double>(nb_col, cj + radius));
        for (int i = i0; i < i1; i++)
            for (int j = j0; j < j1; j++) {
                const double d2 = ((i - ci) * (i - ci) + (j - cj) * (j - cj)) / (radius * radius);
                if (d2 < 1)
                    after[i][j] += static_cast<int>(std::lround(amount * (1 - d2)));
            }
    }
}

void random_values(int *const *itab, int nb_lig, int nb_col, long long lo, long long hi, uint64_t seed)
{
    Random r = {seed};
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            itab[i][j] = static_cast<int>(random_between(&r, lo, hi));
}
