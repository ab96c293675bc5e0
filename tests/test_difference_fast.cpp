// The fast arithmetic against the reference kernel, bit for bit.
//
// Plan:
//   KnownCases      the hand-checked cases of the arithmetic (6139 dm,
//                   43 dm, 5 dm - 2 dm, a raised cell) on every path
//   Differential    many random frames of every family of values, every
//                   unit pair, result unit, result type and treatment, on
//                   every path the host can run; the reference must have
//                   been needed somewhere, or the boundaries were not reached
//   Dispatch        what runs where
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference_fast.h"
#include "differential.h"
#include "fast_path_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A frame of two DEMs given as integers in one unit, converted and compared
// on one path; the conversions must agree with the reference.
struct SmallFrame {
    int lig, col;
    int **in1, **in2, **r2D, **r3D;
    double **d1, **d2;
    SmallFrame(int lines, int columns, int v1, int v2) : lig(lines), col(columns)
    {
        in1 = imatrice(col, lig);
        in2 = imatrice(col, lig);
        r2D = imatrice(col, lig);
        r3D = imatrice(col, lig);
        d1 = dmatrice(col, lig);
        d2 = dmatrice(col, lig);
        for (int i = 0; i < lig; i++)
            for (int j = 0; j < col; j++) {
                in1[i][j] = v1;
                in2[i][j] = v2;
            }
    }
    ~SmallFrame()
    {
        frimatrice(in1, lig);
        frimatrice(in2, lig);
        frimatrice(r2D, lig);
        frimatrice(r3D, lig);
        frdmatrice(d1, lig);
        frdmatrice(d2, lig);
    }
    DifferenceSums run(KernelPath path, int interv1, int interv2, int interv3, int treat)
    {
        convert_to_metres_fast(in1, d1, lig, col, interv1, path);
        convert_to_metres_fast(in2, d2, lig, col, interv2, path);
        return difference_pass_fast(d1, d2, lig, col, 1.0, treat, interv3, DEM_M4, r2D, r3D, path);
    }
};

} // namespace

TEST(KnownCases, ConversionRoundsToExtendedThenToDoubleOnEveryPath)
{
    for (KernelPath path : runnable_paths()) {
        // A line wide enough for whole AVX2 lanes and a scalar tail.
        SmallFrame f(1, 7, 6139, 43);
        f.in1[0][5] = 1234;
        f.in1[0][6] = -7;
        f.run(path, 1, 1, 1, TREAT_ABSOLUTE);
        for (int j = 0; j < 5; j++) {
            EXPECT_EQ(bits(f.d1[0][j]), 0x40832F3333333334ULL) << kernel_path_name(path); // just above 613.9
            EXPECT_EQ(f.d2[0][j], 4.3) << kernel_path_name(path);
        }
        convert_to_metres_fast(f.in1, f.d1, 1, 7, 2, path);
        EXPECT_EQ(f.d1[0][5], 1234 * 0.01);
        convert_to_metres_fast(f.in1, f.d1, 1, 7, 3, path);
        EXPECT_EQ(f.d1[0][6], -0.007);
    }
}

TEST(KnownCases, TruncationInExtendedPrecisionOnEveryPath)
{
    for (KernelPath path : runnable_paths()) {
        // 43 dm against 0 m: 4.2999… m, stored as 42 dm.
        SmallFrame g(3, 9, 43, 0);
        g.run(path, 1, 0, 1, TREAT_ABSOLUTE);
        EXPECT_EQ(g.r2D[1][1], 42) << kernel_path_name(path);
        EXPECT_EQ(g.r2D[1][7], 42) << kernel_path_name(path);
        // 5 dm - 2 dm: the double just below 0.3, stored as 2 dm in both
        // results; the volume is the reference's to the last bit.
        SmallFrame f(6, 11, 5, 2);
        const DifferenceSums s = f.run(path, 1, 1, 1, TREAT_ABSOLUTE);
        for (int i = 1; i < 5; i++)
            for (int j = 1; j < 10; j++) {
                EXPECT_EQ(f.r2D[i][j], 2) << kernel_path_name(path);
                EXPECT_EQ(f.r3D[i][j], 2) << kernel_path_name(path);
            }
        DifferenceSums ref = difference_pass(f.d1, f.d2, 6, 11, 1.0, TREAT_ABSOLUTE, 1, DEM_M4, f.r2D, f.r3D);
        EXPECT_EQ(bits(s.vol_total_2D), bits(ref.vol_total_2D));
        EXPECT_EQ(bits(s.vol_total_3D), bits(ref.vol_total_3D));
    }
}

TEST(KnownCases, ARaisedCellSpreadsToItsNeighboursOnEveryPath)
{
    for (KernelPath path : runnable_paths()) {
        SmallFrame f(7, 13, 10, 10);
        f.in1[3][6] = 19;
        const DifferenceSums s = f.run(path, 0, 0, 1, TREAT_ABSOLUTE);
        for (int i = 0; i < 7; i++)
            for (int j = 0; j < 13; j++) {
                const bool centre = i == 3 && j == 6;
                const bool neighbour = !centre && i >= 2 && i <= 4 && j >= 5 && j <= 7;
                EXPECT_EQ(f.r2D[i][j], centre ? 90 : 0) << kernel_path_name(path) << " " << i << "," << j;
                EXPECT_EQ(f.r3D[i][j], centre ? 50 : neighbour ? 5 : 0) << kernel_path_name(path) << " " << i << "," << j;
            }
        EXPECT_EQ(s.vol_total_2D, 9.0);
        EXPECT_EQ(s.vol_total_3D, 9.0);
    }
}

TEST(Differential, RandomFramesOfEveryFamilyMatchTheReference)
{
    // Small frames, so that the whole test takes seconds under the
    // sanitizers; fastkernel_check runs the same cases by the hundred
    // million.
    const int CASES_PER_FAMILY = 500;
    for (KernelPath path : runnable_paths())
        for (int family = 0; family < FAMILY_COUNT; family++) {
            KernelCounts counts = {};
            long long cells = 0;
            for (int c = 0; c < CASES_PER_FAMILY; c++) {
                const uint64_t seed = 1000003ULL * family + c;
                const CaseOutcome out = check_case(seed, 24, path, &counts, family);
                ASSERT_EQ(out.mismatch, "") << kernel_path_name(path);
                cells += out.cells;
            }
            EXPECT_GT(cells, 10000) << "family " << family;
            // Every family reaches cells the fast path must not decide alone.
            EXPECT_GT(counts.cells_redone + counts.converted_redone + counts.results_redone + counts.sum_steps_redone,
                      0)
                << kernel_path_name(path) << ", family " << family;
            if (family == FAMILY_NEAR_MIDPOINTS) {
                EXPECT_GT(counts.converted_redone, 0);
            }
        }
}

TEST(Differential, WideFramesRunWholeLanesAndTails)
{
    // Lines of every width from 1 to 40 cells, so that every split between
    // whole AVX2 lanes and the scalar tail is met.
    for (KernelPath path : runnable_paths())
        for (int family : {FAMILY_TERRAIN, FAMILY_MAGNITUDES, FAMILY_RAW_METRES})
            for (uint64_t seed = 0; seed < 60; seed++) {
                const CaseOutcome out = check_case(7777 + seed, 40, path, nullptr, family);
                ASSERT_EQ(out.mismatch, "") << kernel_path_name(path);
            }
}

TEST(Differential, LinesWithCellsWithoutDataMatchTheReferenceWhereTheWindowIsComplete)
{
    // The line-at-a-time differences the companions use: every family, with
    // and without NaN holes (which must reach only the windows holding them).
    for (KernelPath path : runnable_paths())
        for (int family = 0; family < FAMILY_COUNT; family++)
            for (bool gaps : {false, true})
                for (uint64_t seed = 0; seed < 80; seed++) {
                    const CaseOutcome out = check_line_case(4242 + 131 * seed, 40, path, family, gaps);
                    ASSERT_EQ(out.mismatch, "") << kernel_path_name(path) << (gaps ? ", with gaps" : "");
                }
}

TEST(Dispatch, ThePathsMatchTheHost)
{
    const KernelPath host = host_kernel_path();
    EXPECT_NE(host, KERNEL_AUTO);
    EXPECT_TRUE(kernel_path_available(host));
    EXPECT_TRUE(kernel_path_available(KERNEL_REFERENCE));
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        EXPECT_EQ(host, KERNEL_AVX2);
    }
    EXPECT_EQ(kernel_path_available(KERNEL_SCALAR), host != KERNEL_REFERENCE);

    // The reference path counts every cell as the reference's.
    SmallFrame f(4, 5, 3, 1);
    KernelCounts counts = {};
    convert_to_metres_fast(f.in1, f.d1, 4, 5, 0, KERNEL_REFERENCE, &counts);
    difference_pass_fast(f.d1, f.d1, 4, 5, 1.0, TREAT_ABSOLUTE, 0, DEM_M4, f.r2D, f.r3D, KERNEL_REFERENCE, &counts);
    EXPECT_EQ(counts.converted, 20);
    EXPECT_EQ(counts.converted_redone, 20);
    EXPECT_EQ(counts.cells, 6);
    EXPECT_EQ(counts.cells_redone, 6);
}
