// Microbenchmarks of the change budget's exact sums, a line of cells at a
// time as dem_change counts them, against the floor of a plain sum of the
// same volumes in double (rounded at every addition, so not what a budget
// may report) measured in the same run. Build in Release and run:
//
//   cmake --build build-release --target bench_budget
//   build-release/bench/bench_budget
//
// Lines of 10000 cells of differences of centimetre noise with a few
// changes of metres, a quarter of them 0; cell areas of 1 m² (volumes the
// differences themselves) and of 0.7 m² (volumes rounded products). With
// errors: both the 2D and the 3D rows of a line (ns_per_cell for both).
// The propagation of the 2D errors to the 3D rows: lines of 4000 cells
// whose 3D cells count in rows as dem_change's pass names them.
// Counter: ns_per_cell (CPU time per cell).
#include "budget_engine.h"
#include "error_propagation.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

const int LINE = 10000;

struct Line {
    std::vector<double> dif, vol;
};

// Differences as a float32 survey pair gives them: after − before of
// heights near 500 m, so their last bits are those of the heights.
Line make_line(double area)
{
    Line l;
    std::uint64_t state = 88172645463325252ULL;
    for (int k = 0; k < LINE; k++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const float before = 500.0f + static_cast<float>(state % 1000) * 0.01f;
        float after = before;
        if (state % 4 != 0)
            after += static_cast<float>(static_cast<int>(state >> 40) % 61 - 30) * 0.001f;
        if (state % 997 == 0)
            after += 3.5f;
        const double dif = static_cast<double>(after) - static_cast<double>(before);
        l.dif.push_back(dif);
        l.vol.push_back(static_cast<double>(static_cast<long double>(dif) * area));
    }
    return l;
}

void report(benchmark::State &state)
{
    state.counters["ns_per_cell"] = benchmark::Counter(static_cast<double>(LINE),
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

// Args: the cell area in tenths of m², the level of detection in mm (with
// one, the thresholded rows are counted apart).
void BM_BudgetLine(benchmark::State &state)
{
    const double area = static_cast<double>(state.range(0)) / 10;
    const Line l = make_line(area);
    BudgetRows b = budget_with_cell_area(area, static_cast<double>(state.range(1)) / 1000);
    for (auto _ : state) {
        budget_count_cells(&b, l.dif.data(), l.vol.data(), LINE);
        benchmark::DoNotOptimize(b);
    }
    report(state);
}

// The cells with their errors (σ from 2 to 20 cm) and their detection
// tests, as the learned error model counts them: the 2D rows (three error
// sums each) and the 3D rows (the σ² of the cells alone).
void BM_BudgetLineWithErrors(benchmark::State &state)
{
    const double area = static_cast<double>(state.range(0)) / 10;
    const Line l = make_line(area);
    std::vector<TestedCell> cells;
    for (int k = 0; k < LINE; k++) {
        const double sigma = 0.02 + 0.18 * static_cast<double>((k * 7919) % 1000) / 1000;
        cells.push_back({l.dif[k], l.vol[k], sigma, std::fabs(l.dif[k]) >= 1.96 * sigma});
    }
    BudgetRows b2 = budget_with_cell_area(area, 0), b3 = budget_with_cell_area(area, 0);
    for (auto _ : state) {
        budget_count_cells_tested(&b2, cells.data(), LINE, area);
        budget_count_cells_3D(&b3, cells.data(), LINE);
        benchmark::DoNotOptimize(b2);
        benchmark::DoNotOptimize(b3);
    }
    report(state);
}

// The floor: the volumes summed by sign in double.
void BM_PlainSumFloor(benchmark::State &state)
{
    const Line l = make_line(static_cast<double>(state.range(0)) / 10);
    for (auto _ : state) {
        double negative = 0, positive = 0;
        for (int k = 0; k < LINE; k++) {
            negative += l.vol[k] < 0 ? l.vol[k] : 0;
            positive += l.vol[k] > 0 ? l.vol[k] : 0;
        }
        benchmark::DoNotOptimize(negative);
        benchmark::DoNotOptimize(positive);
    }
    report(state);
}

// The lines of a propagation: σ of the 2D differences (2 to 20 cm, NaN
// for 1 % of the cells) and the rows of the 3D cells as the pass names them
// (budget_cell_rows): the sign of a 3D difference of centimetre noise, its
// test at 1.96 σ / √3 (detected by sign, or not), the net row; the cells of
// the first and last columns and of a few windows have none.
struct PropagationLines {
    int columns = 0, lines = 0;
    std::vector<double> sigma;
    std::vector<int> slots;
};

PropagationLines propagation_lines(int lines, int columns)
{
    PropagationLines g;
    g.columns = columns;
    g.lines = lines;
    const size_t n = static_cast<size_t>(columns);
    g.sigma.resize(static_cast<size_t>(lines) * n);
    g.slots.assign(g.sigma.size() * PROPAGATION_SLOTS, -1);
    std::mt19937_64 random(20261209);
    std::normal_distribution<double> normal(0, 1);
    std::uniform_real_distribution<double> uniform(0, 1);
    for (size_t k = 0; k < g.sigma.size(); k++) {
        const size_t j = k % n;
        const double sigma = 0.02 + 0.18 * uniform(random);
        g.sigma[k] = uniform(random) < 0.01 ? NAN : sigma;
        if (j == 0 || j + 1 == n || std::isnan(g.sigma[k]) || uniform(random) < 0.01)
            continue; // no 3D difference
        // A slope of a few centimetres across the line, and noise.
        const double dif = 0.03 * std::sin(static_cast<double>(j) / 300.0) + sigma / std::sqrt(3.0) * normal(random);
        const bool detected = std::fabs(dif) >= 1.96 * sigma / std::sqrt(3.0);
        budget_cell_rows(dif, detected, 0, &g.slots[k * PROPAGATION_SLOTS]);
    }
    return g;
}

// Args: the lines and the columns; a whole propagation of them an
// iteration.
void BM_Propagation3D(benchmark::State &state)
{
    const PropagationLines g = propagation_lines(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const size_t n = static_cast<size_t>(g.columns);
    for (auto _ : state) {
        Propagation3D p = propagation_start(g.columns);
        for (size_t i = 0; i < static_cast<size_t>(g.lines); i++)
            propagation_add_line(&p, &g.sigma[i * n], 0.7, &g.slots[i * n * PROPAGATION_SLOTS]);
        propagation_finish(&p);
        benchmark::DoNotOptimize(p.sums);
    }
    state.counters["ns_per_cell"] = benchmark::Counter(static_cast<double>(g.sigma.size()),
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_BudgetLine)->ArgNames({"tenths_m2", "lod_mm"})->Args({10, 0})->Args({7, 0})->Args({10, 20})->Args({7, 20});
BENCHMARK(BM_BudgetLineWithErrors)->ArgName("tenths_m2")->Arg(10)->Arg(7);
BENCHMARK(BM_PlainSumFloor)->ArgName("tenths_m2")->Arg(10)->Arg(7);
BENCHMARK(BM_Propagation3D)->ArgNames({"lines", "columns"})->Args({64, 4000});

BENCHMARK_MAIN();
