// Microbenchmarks of the two per-cell stages of a run, on frames several
// times larger than the caches, so that every pass streams its matrices from
// memory as a whole run does: the conversion of a DEM to metres, and the
// difference pass (2D and 3D differences, volumes, treatment, scaling). Each
// reports items per second, an item being a cell; the benchmark driver turns
// them into nanoseconds per cell.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"

#include <benchmark/benchmark.h>

namespace {

// Sides of the square frames. The conversion touches 12 bytes per cell
// (192 MiB), the difference pass 24 (96 MiB), against a last-level cache of
// tens of MiB.
const int CONVERT_SIDE = 4096;
const int DIFFERENCE_SIDE = 2048;

// Heights as a DEM pair of the benchmark holds them: the first in decimetres,
// a slope with ridges between 100 and 600 m; the second in millimetres, the
// same ground moved by up to 2 m either way, so that every treatment keeps
// and drops values.
int first_height(int i, int j) { return 1000 + (3 * i + 2 * j) % 4000 + (i * j) % 997; }
int second_height(int i, int j) { return first_height(i, j) * 100 + (7 * i + 13 * j) % 4001 - 2000; }

int **dem(int side, int (*height)(int, int))
{
    int **itab = imatrice(side, side);
    if (itab != nullptr)
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++)
                itab[i][j] = height(i, j);
    return itab;
}

void BM_ConvertToMetres(benchmark::State &state)
{
    const int unit = static_cast<int>(state.range(0));
    const int side = CONVERT_SIDE;
    int **itab = dem(side, first_height);
    double **dtab = dmatrice(side, side);
    if (itab == nullptr || dtab == nullptr) {
        state.SkipWithError("not enough memory for the frame");
    } else {
        for (auto _ : state) {
            convert_to_metres(itab, dtab, side, side, unit);
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * side * side);
    }
    frimatrice(itab, side);
    frdmatrice(dtab, side);
}
BENCHMARK(BM_ConvertToMetres)->ArgName("unit")->Arg(0)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

// The pass of a run of the benchmark driver: results in millimetres, pixel
// size 1 m, the treatment and result type of the arguments.
void BM_DifferencePass(benchmark::State &state)
{
    const int treatment = static_cast<int>(state.range(0));
    const int results_type = static_cast<int>(state.range(1));
    const int side = DIFFERENCE_SIDE;
    double **dtab1 = dmatrice(side, side);
    double **dtab2 = dmatrice(side, side);
    int **itab_2D = imatrice(side, side);
    int **itab_3D = imatrice(side, side);
    int **itab = dem(side, first_height);
    if (itab != nullptr && dtab1 != nullptr)
        convert_to_metres(itab, dtab1, side, side, 1);
    frimatrice(itab, side);
    itab = dem(side, second_height);
    if (itab != nullptr && dtab2 != nullptr)
        convert_to_metres(itab, dtab2, side, side, 3);

    if (itab == nullptr || dtab1 == nullptr || dtab2 == nullptr || itab_2D == nullptr || itab_3D == nullptr) {
        state.SkipWithError("not enough memory for the frame");
    } else {
        for (auto _ : state) {
            DifferenceSums sums =
                difference_pass(dtab1, dtab2, side, side, 1.0, treatment, 3, results_type, itab_2D, itab_3D);
            benchmark::DoNotOptimize(sums);
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * side * side);
    }
    frimatrice(itab, side);
    frdmatrice(dtab1, side);
    frdmatrice(dtab2, side);
    frimatrice(itab_2D, side);
    frimatrice(itab_3D, side);
}
BENCHMARK(BM_DifferencePass)
    ->ArgNames({"treatment", "results"})
    ->Args({TREAT_ABSOLUTE, DEM_M4})
    ->Args({TREAT_NEGATIVE, DEM_M4})
    ->Args({TREAT_POSITIVE, DEM_M4})
    ->Args({TREAT_ABSOLUTE, DEM_M2})
    ->MinTime(3.0) // a pass takes over a second: a few of them
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    // The arithmetic's precision of a run of the tool.
    set_extended_precision();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
