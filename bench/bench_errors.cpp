// Microbenchmarks of what the errors learned from stable ground add to each
// cell of dem_change's pass, a line at a time, in extended precision as
// the run evaluates them: σ_d from BEFORE's slope and curvature (two
// square roots, an arc tangent where the table is not flat, two
// interpolations with a division each), and the error terms of a cell (σ²,
// (a σ)² and a σ) summed exactly. Against the floor of one double
// multiplication and addition a cell, measured in the same run. Build in
// Release and run:
//
//   cmake --build build-release --target bench_errors
//   build-release/bench/bench_errors
//
// Lines of 4000 cells of rough ground on 1 m cells (slopes of 0 to about
// 50°), a model of eight slope bins and ten curvature bins with different
// NMADs and factors (no flat range in between). Counter: ns_per_cell (CPU
// time per cell).
#include "exact_sum.h"
#include "stable_error.h"
#include "volume_error.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

const int LINE = 4000;

// Three lines of heights: a slope rising across the line with noise of
// 20 cm, so that the slopes and curvatures cover the model's bins.
struct Ground {
    std::vector<double> line[3];
};

Ground make_ground()
{
    Ground g;
    std::uint64_t state = 88172645463325252ULL;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < LINE; j++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const double noise = static_cast<double>(state % 1000) / 1000 * 0.2;
            g.line[i].push_back(500 + (j % 400) * (j / 400) * 0.012 + 0.3 * i + noise);
        }
    return g;
}

StableErrorModel make_model()
{
    StableErrorModel m;
    for (int k = 0; k < 8; k++) {
        SlopeBin b;
        b.median_slope_deg = 2 + 6 * k;
        b.nmad_m = 0.05 + 0.02 * k;
        m.slope_bins.push_back(b);
    }
    for (int k = 0; k < 10; k++) {
        CurvatureBin b;
        b.median_curvature = 0.02 * (k + 1);
        b.factor = 0.8 + 0.1 * k;
        m.curvature_bins.push_back(b);
    }
    return m;
}

void report(benchmark::State &state)
{
    state.counters["ns_per_cell"] = benchmark::Counter(static_cast<double>(LINE),
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

// σ_d of each cell of the middle line, as the pass works it out.
void BM_LearnedSigmaCell(benchmark::State &state)
{
    const Ground g = make_ground();
    const LearnedSigmaTable table = learned_sigma_table(make_model());
    const CellSize size = cell_size(1, 1);
    std::vector<double> sigma(LINE);
    for (auto _ : state) {
        for (int j = 0; j < LINE; j++)
            sigma[static_cast<size_t>(j)] = learned_sigma_cell(table, g.line[0].data(), g.line[1].data(),
                                                               g.line[2].data(), LINE, j, size);
        benchmark::DoNotOptimize(sigma.data());
    }
    report(state);
}
BENCHMARK(BM_LearnedSigmaCell);

// The error terms of each cell of a line of 1 m² cells into one tally:
// σ², (a σ)² and a σ, each added exactly.
void BM_ErrorTermsExact(benchmark::State &state)
{
    std::vector<double> sigma(LINE);
    for (int j = 0; j < LINE; j++)
        sigma[static_cast<size_t>(j)] = 0.05 + 0.2 * ((j * 7919) % 1000) / 1000.0;
    std::vector<long double> terms[3];
    for (std::vector<long double> &t : terms)
        t.resize(LINE);
    ErrorTally tally;
    for (auto _ : state) {
        for (int j = 0; j < LINE; j++) {
            const ErrorTerms e = error_terms(sigma[static_cast<size_t>(j)], 1.0);
            terms[0][static_cast<size_t>(j)] = e.sigma2;
            terms[1][static_cast<size_t>(j)] = e.a2_sigma2;
            terms[2][static_cast<size_t>(j)] = e.a_sigma;
        }
        exact_add_many(&tally.sum_sigma2, terms[0].data(), LINE);
        exact_add_many(&tally.sum_a2_sigma2, terms[1].data(), LINE);
        exact_add_many(&tally.sum_a_sigma, terms[2].data(), LINE);
        benchmark::DoNotOptimize(tally);
    }
    report(state);
}
BENCHMARK(BM_ErrorTermsExact);

// The floor: one multiplication and one addition in double a cell.
void BM_PlainCellFloor(benchmark::State &state)
{
    const Ground g = make_ground();
    for (auto _ : state) {
        double sum = 0;
        for (int j = 0; j < LINE; j++)
            sum += g.line[1][static_cast<size_t>(j)] * 0.5;
        benchmark::DoNotOptimize(sum);
    }
    report(state);
}
BENCHMARK(BM_PlainCellFloor);

} // namespace

BENCHMARK_MAIN();
