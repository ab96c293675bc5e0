// The arithmetic, checked on values worked out by hand: conversion to metres,
// the 2D and 3D differences, volumes, treatments, truncation and scaling.
// Several cases exist because extended precision and a single final rounding
// give another last bit, or another truncated integer, than plain doubles.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Two DEMs in metres and the two result matrices of one frame.
struct Frame {
    int lig, col;
    double **d1, **d2;
    int **r2D, **r3D;
    Frame(int lines, int columns, double h1, double h2) : lig(lines), col(columns)
    {
        d1 = dmatrice(col, lig);
        d2 = dmatrice(col, lig);
        r2D = imatrice(col, lig);
        r3D = imatrice(col, lig);
        for (int i = 0; i < lig; i++)
            for (int j = 0; j < col; j++) {
                d1[i][j] = h1;
                d2[i][j] = h2;
                r2D[i][j] = r3D[i][j] = 77; // the pass must overwrite every cell
            }
    }
    ~Frame()
    {
        frdmatrice(d1, lig);
        frdmatrice(d2, lig);
        frimatrice(r2D, lig);
        frimatrice(r3D, lig);
    }
    DifferenceSums pass(double sizepix, int treat, int interv3, int itype = DEM_M4)
    {
        return difference_pass(d1, d2, lig, col, sizepix, treat, interv3, itype, r2D, r3D);
    }
};

uint64_t bits(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double metres(int value, int interv)
{
    int **i = imatrice(1, 1);
    double **d = dmatrice(1, 1);
    i[0][0] = value;
    convert_to_metres(i, d, 1, 1, interv);
    double m = d[0][0];
    frimatrice(i, 1);
    frdmatrice(d, 1);
    return m;
}

} // namespace

// tests/contraction_probe.cpp
double multiply_then_add(double a, double b, double c);

TEST(FloatingPointContract, ProductsAndSumsAreRoundedApartInEveryProgramLinkingTheCore)
{
    // (1 + 2^-30)(1 - 2^-30) = 1 - 2^-60 rounds to 1, so adding -1 gives 0;
    // fused into one FMA it would give -2^-60.
    EXPECT_EQ(multiply_then_add(1 + 0x1p-30, 1 - 0x1p-30, -1), 0.0);
}

TEST(Conversion, ProductsAreRoundedToExtendedThenToDouble)
{
    EXPECT_EQ(unit_to_metres(1), 0.1);
    EXPECT_EQ(unit_to_metres(3), 0.001);
    EXPECT_EQ(unit_from_metres(5), 100000.0);
    // 6139 × 0.1 rounds to the double just above 613.9, where one rounding of
    // the exact product would give the double nearest 613.9.
    EXPECT_EQ(metres(6139, 1), 613.9000000000001);
    EXPECT_NE(metres(6139, 1), 613.9);
    EXPECT_EQ(bits(metres(6139, 1)), 0x40832F3333333334ULL);
    EXPECT_EQ(metres(1234, 2), 1234 * 0.01);
    EXPECT_EQ(metres(12, 0), 12.0);
    EXPECT_EQ(metres(-7, 3), -0.007);
    EXPECT_EQ(metres(65535, 0), 65535.0);
}

TEST(Scaling, TruncationTowardZeroInExtendedPrecision)
{
    bool fits;
    EXPECT_EQ(scale_result(0.375, 1, DEM_M4, &fits), 3);
    EXPECT_EQ(scale_result(-0.375, 1, DEM_M4, &fits), -3);
    EXPECT_EQ(scale_result(2.9, 0, DEM_M4, &fits), 2);
    EXPECT_EQ(scale_result(-0.25, 2, DEM_M4, &fits), -25);
    // 4.3 m is stored as 4.29999…: times 10 in extended precision is just
    // below 43, so the cell stores 42.
    EXPECT_EQ(scale_result(metres(43, 1), 1, DEM_M4, &fits), 42);
    EXPECT_EQ(scale_result(1.0, 5, DEM_M4, &fits), 100000);
}

TEST(Scaling, OutOfRangeValuesKeepTheirLow32BitsAndAreCounted)
{
    bool fits;
    // 50000 m in hundredths of millimetres: 5e9, low 32 bits 705032704.
    EXPECT_EQ(scale_result(50000.0, 5, DEM_M4, &fits), 705032704);
    EXPECT_FALSE(fits);
    EXPECT_EQ(scale_result(-50000.0, 5, DEM_M4, &fits), -705032704);
    EXPECT_FALSE(fits);
    // Far beyond the 64-bit range the low 32 bits of 2^70 are 0.
    EXPECT_EQ(scale_result(1180591620717411303424.0, 0, DEM_M4, &fits), 0);
    EXPECT_EQ(scale_result(2147483647.0, 0, DEM_M4, &fits), 2147483647);
    EXPECT_TRUE(fits);
    EXPECT_EQ(scale_result(-2147483648.0, 0, DEM_M4, &fits), -2147483647 - 1);
    EXPECT_TRUE(fits);
    EXPECT_EQ(scale_result(2147483648.0, 0, DEM_M4, &fits), -2147483647 - 1);
    EXPECT_FALSE(fits);

    EXPECT_EQ(scale_result(-32768, 0, DEM_M2, &fits), -32768);
    EXPECT_TRUE(fits);
    scale_result(-32769, 0, DEM_M2, &fits);
    EXPECT_FALSE(fits);
    scale_result(65535, 0, DEM_M2, &fits);
    EXPECT_TRUE(fits);
    EXPECT_EQ(scale_result(65536, 0, DEM_M2, &fits), 65536); // the writer keeps its low 16 bits
    EXPECT_FALSE(fits);
}

TEST(DifferencePass, UniformOffsetGivesTheOffsetEverywhereAndTheExactVolume)
{
    Frame f(5, 6, 100.5, 100.0);
    DifferenceSums s = f.pass(2.5, TREAT_ABSOLUTE, 3);
    for (int i = 0; i < f.lig; i++)
        for (int j = 0; j < f.col; j++) {
            bool interior = i > 0 && j > 0 && i < f.lig - 1 && j < f.col - 1;
            EXPECT_EQ(f.r2D[i][j], interior ? 500 : 0);
            EXPECT_EQ(f.r3D[i][j], interior ? 500 : 0);
        }
    EXPECT_EQ(s.vol_total_2D, 3 * 4 * 0.5 * 6.25);
    EXPECT_EQ(s.vol_total_3D, 3 * 4 * 0.5 * 6.25);
    EXPECT_EQ(s.misfit_2D + s.misfit_3D, 0);

    // Under the negative treatment nothing is kept but the volume is the same.
    s = f.pass(2.5, TREAT_NEGATIVE, 3);
    EXPECT_EQ(f.r2D[2][2], 0);
    EXPECT_EQ(f.r3D[2][2], 0);
    EXPECT_EQ(s.vol_total_2D, 37.5);
}

TEST(DifferencePass, ARaisedCellSpreadsFiveNinthsAndOneEighteenthToEachNeighbour)
{
    Frame f(7, 7, 10.0, 10.0);
    f.d1[3][3] = 19.0; // raised by 9 m
    DifferenceSums s = f.pass(1.0, TREAT_ABSOLUTE, 1);
    for (int i = 0; i < 7; i++)
        for (int j = 0; j < 7; j++) {
            bool centre = i == 3 && j == 3;
            bool neighbour = !centre && i >= 2 && i <= 4 && j >= 2 && j <= 4;
            EXPECT_EQ(f.r2D[i][j], centre ? 90 : 0) << i << "," << j;
            EXPECT_EQ(f.r3D[i][j], centre ? 50 : neighbour ? 5 : 0) << i << "," << j;
        }
    // The reported volumes are the final sums: 9 m³ for both.
    EXPECT_EQ(s.vol_total_2D, 9.0);
    EXPECT_EQ(s.vol_total_3D, 9.0);

    // Lowered instead: the negative treatment keeps the 3D spread too.
    f.d1[3][3] = 1.0;
    s = f.pass(1.0, TREAT_NEGATIVE, 1);
    EXPECT_EQ(f.r2D[3][3], -90);
    EXPECT_EQ(f.r3D[3][3], -50);
    EXPECT_EQ(f.r3D[2][4], -5);
    EXPECT_EQ(s.vol_total_3D, -9.0);
    s = f.pass(1.0, TREAT_POSITIVE, 1);
    EXPECT_EQ(f.r2D[3][3], 0);
    EXPECT_EQ(f.r3D[2][4], 0);
}

TEST(DifferencePass, TheCellDifferencesSpellOutTheHalfWayHeights)
{
    // A cell whose neighbours all differ: the 3D difference is the mean of the
    // nine half-way differences, 5/9 of the centre plus 1/18 of each neighbour.
    Frame f(3, 3, 0.0, 0.0);
    const double first[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const double second[9] = {0, 0, 0, 0, 2, 0, 0, 0, 0};
    for (int k = 0; k < 9; k++) {
        f.d1[k / 3][k % 3] = first[k];
        f.d2[k / 3][k % 3] = second[k];
    }
    double d2D, d3D;
    cell_differences(f.d1, f.d2, 1, 1, &d2D, &d3D);
    EXPECT_EQ(d2D, 3.0);
    // (5 × 3 + 0.5 × (1+2+3+4+6+7+8+9)) / 9 = 35 / 9, with the factor 1/9
    // as the double 0.1111111111111111.
    EXPECT_NEAR(d3D, 35.0 / 9.0, 1e-15);
    EXPECT_EQ(d3D, static_cast<double>(35.0L * static_cast<long double>(0.1111111111111111)));
}

TEST(DifferencePass, DecimetreValuesTruncateToTheIntegerBelow)
{
    // 5 dm - 2 dm: 0.5 - 0.2 is the double just below 0.3, stored as 2 dm.
    Frame f(4, 4, metres(5, 1), metres(2, 1));
    f.pass(1.0, TREAT_ABSOLUTE, 1);
    EXPECT_EQ(f.r2D[1][1], 2);
    EXPECT_EQ(f.r3D[2][2], 2);
    // 43 dm against 0 m stores 42 dm.
    Frame g(3, 3, metres(43, 1), 0.0);
    g.pass(1.0, TREAT_ABSOLUTE, 1);
    EXPECT_EQ(g.r2D[1][1], 42);
}

TEST(DifferencePass, SmallAndIdenticalFramesGiveZeros)
{
    for (int lines : {0, 1, 2, 3}) {
        Frame f(lines, 2, 5.0, 1.0);
        DifferenceSums s = f.pass(1.0, TREAT_ABSOLUTE, 0);
        for (int i = 0; i < f.lig; i++)
            for (int j = 0; j < f.col; j++)
                EXPECT_EQ(f.r2D[i][j] + f.r3D[i][j], 0);
        EXPECT_EQ(s.vol_total_2D, 0.0);
        EXPECT_EQ(s.vol_total_3D, 0.0);
    }
    Frame same(6, 5, 812.25, 812.25);
    DifferenceSums s = same.pass(3.0, TREAT_ABSOLUTE, 5);
    EXPECT_EQ(same.r2D[2][2] + same.r3D[3][3], 0);
    EXPECT_EQ(s.vol_total_2D, 0.0);
}

TEST(DifferencePass, CellsOutsideTheResultTypeAreCounted)
{
    Frame f(4, 5, 1.0, 0.0); // six interior cells of 1 m
    DifferenceSums s = f.pass(1.0, TREAT_ABSOLUTE, 5, DEM_M2); // 100000 > 65535
    EXPECT_EQ(s.misfit_2D, 6);
    EXPECT_EQ(s.misfit_3D, 6);
    EXPECT_EQ(f.r2D[1][1], 100000);
    s = f.pass(1.0, TREAT_ABSOLUTE, 4, DEM_M2); // 10000 fits
    EXPECT_EQ(s.misfit_2D + s.misfit_3D, 0);
}

namespace {
// Records the cells a visit hands over.
void record_cell(const CellDifference &cell, void *context)
{
    static_cast<std::vector<CellDifference> *>(context)->push_back(cell);
}
} // namespace

TEST(VisitInteriorCells, HandsEachInteriorCellOnceInScanOrderWithTheSumsOfThePass)
{
    Frame f(4, 5, 0.0, 0.0);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 5; j++)
            f.d1[i][j] = metres(i * 7 + j * 3, 1); // decimetres: sums that round
    std::vector<CellDifference> cells;
    double vol_2D = -1, vol_3D = -1;
    visit_interior_cells(f.d1, f.d2, 4, 5, 1.5, record_cell, &cells, &vol_2D, &vol_3D);
    ASSERT_EQ(cells.size(), 6u);
    for (size_t k = 0; k < cells.size(); k++) {
        EXPECT_EQ(cells[k].i, 1 + static_cast<int>(k) / 3);
        EXPECT_EQ(cells[k].j, 1 + static_cast<int>(k) % 3);
        double d2D, d3D;
        cell_differences(f.d1, f.d2, cells[k].i, cells[k].j, &d2D, &d3D);
        EXPECT_EQ(cells[k].dif_2D, d2D);
        EXPECT_EQ(cells[k].dif_3D, d3D);
        EXPECT_EQ(cells[k].vol_2D, static_cast<double>(static_cast<long double>(d2D) * cell_area(1.5)));
    }
    DifferenceSums s = f.pass(1.5, TREAT_POSITIVE, 2);
    EXPECT_EQ(bits(vol_2D), bits(s.vol_total_2D));
    EXPECT_EQ(bits(vol_3D), bits(s.vol_total_3D));
    EXPECT_EQ(cell_area(1.5), 2.25);

    // No interior cell: nothing is visited and the sums are reset to 0.
    cells.clear();
    visit_interior_cells(f.d1, f.d2, 2, 5, 1.0, record_cell, &cells, &vol_2D, &vol_3D);
    EXPECT_TRUE(cells.empty());
    EXPECT_EQ(vol_2D, 0.0);
    EXPECT_EQ(vol_3D, 0.0);
}
