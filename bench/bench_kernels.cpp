// Microbenchmarks of the arithmetic: the reference kernel (path 3 in the
// names) against the fast path (0: the host's, AVX2 here; 2: scalar), for the conversion to metres and for the difference pass, on frames
// of 4000 × 4000 and 10000 × 10000 cells, plus a whole run of the
// arithmetic with its raster I/O against the I/O alone. Build in Release:
//
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bench_kernels
//   build-release/bench/bench_kernels
//
// Counters: ns_per_cell (CPU time per cell), redone_pct (share of the cells
// the reference recomputed). Surfaces:
//   terrain  a smooth terrain in centimetres against a later survey of it
//            (noise of ±3 cm everywhere, a few scars and deposits of metres)
//   random   two unrelated surfaces of independent decimetre values over the
//            2-byte range
//   real     the real DEM of examples/images/demo (whole metres) against a later
//            survey made from it (noise of ±1 m, a few changes of up to 30 m)
// The I/O benchmarks write their rasters to $TMPDIR (default /tmp).
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference_fast.h"
#include "surfaces.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

enum Surface { SURFACE_TERRAIN, SURFACE_RANDOM, SURFACE_REAL };

// The frame the benchmarks run on; rebuilt when another one is asked for.
struct Frame {
    Surface surface = SURFACE_TERRAIN;
    int lig = 0, col = 0, interv = 0;
    int **in1 = nullptr, **in2 = nullptr;
    double **d1 = nullptr, **d2 = nullptr;
    int **r2D = nullptr, **r3D = nullptr;
};
Frame frame;

void release_frame()
{
    frimatrice(frame.in1, frame.lig);
    frimatrice(frame.in2, frame.lig);
    frdmatrice(frame.d1, frame.lig);
    frdmatrice(frame.d2, frame.lig);
    frimatrice(frame.r2D, frame.lig);
    frimatrice(frame.r3D, frame.lig);
    frame.in1 = nullptr;
}

bool load_real(int **itab, int lig, int col)
{
    FILE *f = std::fopen(REAL_DEM, "rb");
    if (f == nullptr)
        return false;
    unsigned short **jtab = usmatrice(col, lig);
    const bool ok = read_raster(f, jtab, lig, col) == RASTER_COMPLETE;
    std::fclose(f);
    for (int i = 0; i < lig; i++)
        for (int j = 0; j < col; j++)
            itab[i][j] = jtab[i][j];
    frusmatrice(jtab, lig);
    return ok;
}

// Makes the frame of a surface and side current, converted to metres.
bool use_frame(Surface surface, int side, benchmark::State &state)
{
    if (frame.in1 != nullptr && frame.surface == surface && frame.lig == side)
        return true;
    if (frame.in1 != nullptr)
        release_frame();
    const int lig = surface == SURFACE_REAL ? 344 : side, col = surface == SURFACE_REAL ? 403 : side;
    frame.surface = surface;
    frame.lig = lig;
    frame.col = col;
    frame.in1 = imatrice(col, lig);
    frame.in2 = imatrice(col, lig);
    frame.d1 = dmatrice(col, lig);
    frame.d2 = dmatrice(col, lig);
    frame.r2D = imatrice(col, lig);
    frame.r3D = imatrice(col, lig);
    if (!frame.in1 || !frame.in2 || !frame.d1 || !frame.d2 || !frame.r2D || !frame.r3D) {
        state.SkipWithError("not enough memory for the frame");
        return false;
    }
    switch (surface) {
    case SURFACE_TERRAIN:
        frame.interv = 2;
        synthetic_terrain(frame.in1, lig, col, 300, 900, frame.interv, 11);
        later_survey(frame.in1, frame.in2, lig, col, 3, 40, 500, 12);
        break;
    case SURFACE_RANDOM:
        frame.interv = 1;
        random_values(frame.in1, lig, col, 0, 65535, 21);
        random_values(frame.in2, lig, col, 0, 65535, 22);
        break;
    case SURFACE_REAL:
        frame.interv = 0;
        if (!load_real(frame.in1, lig, col)) {
            state.SkipWithError("cannot read " REAL_DEM);
            release_frame();
            return false;
        }
        later_survey(frame.in1, frame.in2, lig, col, 1, 6, 30, 32);
        break;
    }
    convert_to_metres(frame.in1, frame.d1, lig, col, frame.interv);
    convert_to_metres(frame.in2, frame.d2, lig, col, frame.interv);
    return true;
}

void report(benchmark::State &state, long long cells, long long redone)
{
    state.counters["ns_per_cell"] =
        benchmark::Counter(static_cast<double>(cells), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["redone_pct"] = benchmark::Counter(100.0 * static_cast<double>(redone) / static_cast<double>(cells),
                                                      benchmark::Counter::kAvgIterations);
}

// Args: surface, side, path.
void BM_Convert(benchmark::State &state)
{
    const KernelPath path = static_cast<KernelPath>(state.range(2));
    if (!use_frame(static_cast<Surface>(state.range(0)), static_cast<int>(state.range(1)), state))
        return;
    KernelCounts counts = {};
    for (auto _ : state)
        convert_to_metres_fast(frame.in2, frame.d2, frame.lig, frame.col, frame.interv, path, &counts);
    state.SetLabel(kernel_path_name(path));
    report(state, static_cast<long long>(frame.lig) * frame.col, counts.converted_redone);
}

void BM_Difference(benchmark::State &state)
{
    const KernelPath path = static_cast<KernelPath>(state.range(2));
    if (!use_frame(static_cast<Surface>(state.range(0)), static_cast<int>(state.range(1)), state))
        return;
    KernelCounts counts = {};
    for (auto _ : state) {
        DifferenceSums s = difference_pass_fast(frame.d1, frame.d2, frame.lig, frame.col, 2.5, TREAT_ABSOLUTE, 2,
                                                DEM_M4, frame.r2D, frame.r3D, path, &counts);
        benchmark::DoNotOptimize(s);
    }
    state.SetLabel(kernel_path_name(path));
    report(state, static_cast<long long>(frame.lig - 2) * (frame.col - 2), counts.cells_redone);
}

// A run of the tool without its dialogue: both rasters read, the ranges
// shown, both DEMs converted, the difference pass, both results written with
// their ranges. Arg 1 of the range: 0 for the I/O alone (reads, range scans
// and writes), 1 for the whole run with the fast path, 2 with the reference.
void BM_Run(benchmark::State &state)
{
    if (!use_frame(SURFACE_TERRAIN, static_cast<int>(state.range(0)), state))
        return;
    const int kind = static_cast<int>(state.range(1));
    const char *tmp = std::getenv("TMPDIR");
    const std::string dir = tmp != nullptr ? tmp : "/tmp";
    const std::string in_path[2] = {dir + "/bench_kernels_1_m4.raw", dir + "/bench_kernels_2_m4.raw"};
    const std::string out_path[2] = {dir + "/bench_kernels_2D_m4.raw", dir + "/bench_kernels_3D_m4.raw"};
    int **in[2] = {frame.in1, frame.in2};
    for (int k = 0; k < 2; k++) {
        FILE *f = std::fopen(in_path[k].c_str(), "wb");
        if (f == nullptr || !write_raster(f, in[k], frame.lig, frame.col) || std::fclose(f) != 0) {
            state.SkipWithError("cannot write the input rasters");
            return;
        }
    }
    int **out[2] = {frame.r2D, frame.r3D};
    double **metres[2] = {frame.d1, frame.d2};
    bool failed = false;
    for (auto _ : state) {
        int lo, hi;
        for (int k = 0; k < 2; k++) {
            FILE *f = std::fopen(in_path[k].c_str(), "rb");
            failed |= f == nullptr || read_raster(f, in[k], frame.lig, frame.col) != RASTER_COMPLETE;
            if (f != nullptr)
                std::fclose(f);
            scan_range(in[k], frame.lig, frame.col, 200000, 0, &lo, &hi);
            if (kind != 0)
                convert_to_metres_fast(in[k], metres[k], frame.lig, frame.col, frame.interv,
                                       kind == 1 ? KERNEL_AUTO : KERNEL_REFERENCE);
        }
        if (kind != 0)
            difference_pass_fast(frame.d1, frame.d2, frame.lig, frame.col, 2.5, TREAT_ABSOLUTE, 2, DEM_M4,
                                 frame.r2D, frame.r3D, kind == 1 ? KERNEL_AUTO : KERNEL_REFERENCE);
        for (int k = 0; k < 2; k++) {
            FILE *f = std::fopen(out_path[k].c_str(), "wb");
            failed |= f == nullptr || !write_raster(f, out[k], frame.lig, frame.col);
            scan_range(out[k], frame.lig, frame.col, 100000, 0, &lo, &hi);
            if (f != nullptr)
                failed |= std::fclose(f) != 0;
        }
    }
    for (const std::string &p : in_path)
        std::remove(p.c_str());
    for (const std::string &p : out_path)
        std::remove(p.c_str());
    if (failed)
        state.SkipWithError("raster I/O failed");
    static const char *const label[3] = {"I/O floor", "whole run, fast", "whole run, reference"};
    state.SetLabel(label[kind]);
    report(state, static_cast<long long>(frame.lig) * frame.col, 0);
}

void kernel_args(benchmark::internal::Benchmark *b)
{
    for (int surface : {SURFACE_TERRAIN, SURFACE_RANDOM})
        for (int side : {4000, 10000})
            for (int path : {KERNEL_REFERENCE, KERNEL_AUTO, KERNEL_SCALAR})
                b->Args({surface, side, path});
    for (int path : {KERNEL_REFERENCE, KERNEL_AUTO, KERNEL_SCALAR})
        b->Args({SURFACE_REAL, 0, path});
}

} // namespace

BENCHMARK(BM_Convert)->Apply(kernel_args)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Difference)->Apply(kernel_args)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Run)->Args({10000, 0})->Args({10000, 1})->Args({10000, 0})->Unit(benchmark::kMillisecond)->MinTime(4.0);

BENCHMARK_MAIN();
