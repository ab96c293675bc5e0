// The checks of the fast path, one case each at its boundary: a value where
// plain double arithmetic gives another result than the reference, so that
// the check must send the cell (or the step) to the reference. Each case
// lies once in a whole AVX2 lane and once in the scalar tail of a line, and
// runs on every path the host can run; weakening or removing the check makes
// its case fail (tests/mutate_fast_path.sh applies such changes).
//
// Plan:
//   GuardConversion  the single-rounding check of the conversion, at 0.82 to
//                    0.99 of its margin
//   GuardEdges       sums of two heights (a band of lines within 2^12) and the
//                    2D difference, checked
//   GuardCells       the nine-term mean: its margin on exactly summed lines
//                    (next to a midpoint, and on the edge of the band where
//                    the product's rounded step ends), its error bound on
//                    lines within 2^9
//   GuardResults     volumes, running sums, the truncation next to an
//                    integer, products beyond 2^51, the ranges of both result
//                    types
//   GuardDomain      differences and cell areas whose volumes are subnormal
//   Lanes            the lane primitives of both instruction sets agree
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference_fast.h"
#include "difference_kernels.h"
#include "fast_path_paths.h"
#include "lane_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Lines of COLUMNS cells: nine interior cells, eight in two whole AVX2 lanes
// (columns 1 to 8) and one in the scalar tail (column 9). A case centred on
// LANE_COLUMN lies in a whole lane, on TAIL_COLUMN in the tail.
const int COLUMNS = 11;
const int LANE_COLUMN = 2;
const int TAIL_COLUMN = 9;

// Two DEMs in metres, as the difference pass takes them.
struct MetreFrame {
    int lig, col;
    double **d1, **d2;
    MetreFrame(int lines, int columns, double v1, double v2) : lig(lines), col(columns)
    {
        d1 = dmatrice(col, lig);
        d2 = dmatrice(col, lig);
        for (int i = 0; i < lig; i++)
            for (int j = 0; j < col; j++) {
                d1[i][j] = v1;
                d2[i][j] = v2;
            }
    }
    ~MetreFrame()
    {
        frdmatrice(d1, lig);
        frdmatrice(d2, lig);
    }
    MetreFrame(const MetreFrame &) = delete;
    MetreFrame &operator=(const MetreFrame &) = delete;
};

// What the pass must match: the question it is asked.
struct PassQuestion {
    double sizepix;
    int treat, interv3, itype;
};
const PassQuestion PLAIN = {1.0, TREAT_ABSOLUTE, 3, DEM_M4};

// The difference pass on `path` against the reference: both result
// matrices, both volumes and both misfit counts, bit for bit. Empty when all
// agree, else the first difference.
std::string against_reference(const MetreFrame &f, KernelPath path, const PassQuestion &q)
{
    int **f2 = imatrice(f.col, f.lig), **f3 = imatrice(f.col, f.lig);
    int **r2 = imatrice(f.col, f.lig), **r3 = imatrice(f.col, f.lig);
    const DifferenceSums fast =
        difference_pass_fast(f.d1, f.d2, f.lig, f.col, q.sizepix, q.treat, q.interv3, q.itype, f2, f3, path);
    const DifferenceSums ref = difference_pass(f.d1, f.d2, f.lig, f.col, q.sizepix, q.treat, q.interv3, q.itype, r2, r3);
    std::string mismatch;
    for (int i = 0; i < f.lig && mismatch.empty(); i++)
        for (int j = 0; j < f.col && mismatch.empty(); j++)
            if (f2[i][j] != r2[i][j] || f3[i][j] != r3[i][j])
                mismatch = "results at " + std::to_string(i) + "," + std::to_string(j) + ": " +
                           std::to_string(f2[i][j]) + "/" + std::to_string(f3[i][j]) + " against " +
                           std::to_string(r2[i][j]) + "/" + std::to_string(r3[i][j]);
    if (mismatch.empty() && bits(fast.vol_total_2D) != bits(ref.vol_total_2D))
        mismatch = "2D volume";
    if (mismatch.empty() && bits(fast.vol_total_3D) != bits(ref.vol_total_3D))
        mismatch = "3D volume";
    if (mismatch.empty() && (fast.misfit_2D != ref.misfit_2D || fast.misfit_3D != ref.misfit_3D))
        mismatch = "misfits " + std::to_string(fast.misfit_2D) + "/" + std::to_string(fast.misfit_3D) + " against " +
                   std::to_string(ref.misfit_2D) + "/" + std::to_string(ref.misfit_3D);
    frimatrice(f2, f.lig);
    frimatrice(f3, f.lig);
    frimatrice(r2, f.lig);
    frimatrice(r3, f.lig);
    return mismatch;
}

// The same on every path, for a frame built by `make` around a column.
template <typename Make>
void expect_reference_everywhere(Make make, const PassQuestion &q)
{
    for (KernelPath path : runnable_paths())
        for (int column : {LANE_COLUMN, TAIL_COLUMN}) {
            MetreFrame f(3, COLUMNS, 0.0, 0.0);
            make(f, column);
            EXPECT_EQ(against_reference(f, path, q), "") << kernel_path_name(path) << ", column " << column;
        }
}

// A 3 × 3 pattern of both DEMs, rows of the first then of the second, placed
// around (1, column); the other columns copy its middle column, so that the
// lines keep the pattern's magnitudes.
void place_pattern(MetreFrame &f, int column, const double first[3][3], const double second[3][3])
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < f.col; j++) {
            const int k = j >= column - 1 && j <= column + 1 ? j - column + 1 : 1;
            f.d1[i][j] = first[i][k];
            f.d2[i][j] = second[i][k];
        }
}

// Every interior cell of a 3-line frame with the 2D difference d and the 3D
// difference 0: the middle line of the first DEM holds d, the others -2d,
// the second DEM 0 (the nine terms sum to 0 exactly).
void one_difference(MetreFrame &f, double d)
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < f.col; j++) {
            f.d1[i][j] = i == 1 ? d : -2 * d;
            f.d2[i][j] = 0;
        }
}

// The nine terms A … I of the centre cell of a 3 × 3 pattern and its 3D
// difference, as cell_differences forms them.
const int NEIGHBOUR_LINE[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
const int NEIGHBOUR_COLUMN[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

void pattern_terms(const double first[3][3], const double second[3][3], double term[9])
{
    for (int k = 0; k < 8; k++) {
        const double n1 = first[1 + NEIGHBOUR_LINE[k]][1 + NEIGHBOUR_COLUMN[k]];
        const double n2 = second[1 + NEIGHBOUR_LINE[k]][1 + NEIGHBOUR_COLUMN[k]];
        const double h1 = static_cast<double>((first[1][1] + static_cast<long double>(n1)) * 0.5L);
        const double h2 = static_cast<double>((second[1][1] + static_cast<long double>(n2)) * 0.5L);
        term[k] = static_cast<double>(static_cast<long double>(h1) - h2);
    }
    term[8] = static_cast<double>(static_cast<long double>(first[1][1]) - second[1][1]);
}

double pattern_dif3(const double first[3][3], const double second[3][3])
{
    MetreFrame f(3, 3, 0.0, 0.0);
    place_pattern(f, 1, first, second);
    double dif2, dif3;
    cell_differences(f.d1, f.d2, 1, 1, &dif2, &dif3);
    return dif3;
}

// The nine-term kernel of each instruction set on a row of 8 cells holding
// the pattern's terms at cells 1 (first lane) and 6 (second lane), zeros
// elsewhere: each of the two cells must come out as the reference's 3D
// difference or be sent back. `exact` and `magic` as the kernel takes them.
void expect_cells_kernel_safe(const double first[3][3], const double second[3][3], bool exact)
{
    double term[9];
    pattern_terms(first, second, term);
    double max_abs = 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            max_abs = std::max({max_abs, std::fabs(first[i][j]), std::fabs(second[i][j])});
    int e;
    std::frexp(max_abs, &e);
    const double magic = std::ldexp(1.5, e + 4);
    const double ref = pattern_dif3(first, second);
    std::vector<std::vector<double>> rows(9, std::vector<double>(8, 0.0));
    const double *row[9];
    for (int k = 0; k < 9; k++) {
        rows[k][1] = rows[k][6] = term[k];
        row[k] = rows[k].data();
    }
    // Each table runs only where the host has its instruction set.
    std::vector<const RowKernels *> tables;
    if (kernel_path_available(KERNEL_SCALAR))
        tables.push_back(&SCALAR_KERNELS);
    if (kernel_path_available(KERNEL_AVX2))
        tables.push_back(&AVX2_KERNELS);
    for (const RowKernels *k : tables) {
        double dif3[8];
        int redo[8];
        const int c = k->cells(row, dif3, 8, exact, magic, redo);
        for (int q : {1, 6}) {
            const bool sent_back = std::find(redo, redo + c, q) != redo + c;
            EXPECT_TRUE(sent_back || bits(dif3[q]) == bits(ref)) << "width " << k->width << ", cell " << q;
        }
    }
}

const double P52 = 0x1p-52;

} // namespace

// Conversion ------------------------------------------------------------------

TEST(GuardConversion, ProductsNextToAMidpointTakeTheReferencesRounding)
{
    // v × factor lies within half a 64-bit ulp of a midpoint between two
    // doubles (at 0.95, 0.99 and 0.82 of that margin), so that E rounds it
    // onto the midpoint and the tie goes the other way.
    const struct {
        int v, unit;
    } cases[] = {{50292668, 1}, {-806385493, 2}, {92415438, 3}};
    for (const auto &c : cases) {
        const double plain = c.v * unit_to_metres(c.unit);
        const double ref = static_cast<double>(static_cast<long double>(c.v) * unit_to_metres(c.unit));
        ASSERT_NE(bits(plain), bits(ref)) << c.v; // the case needs the check
        for (KernelPath path : runnable_paths()) {
            // A line of 7: the value in a whole lane (column 1) and in the tail (5).
            int **in = imatrice(7, 1);
            double **out = dmatrice(7, 1);
            for (int j = 0; j < 7; j++)
                in[0][j] = 1000;
            in[0][1] = in[0][5] = c.v;
            convert_to_metres_fast(in, out, 1, 7, c.unit, path);
            EXPECT_EQ(bits(out[0][1]), bits(ref)) << kernel_path_name(path) << " " << c.v;
            EXPECT_EQ(bits(out[0][5]), bits(ref)) << kernel_path_name(path) << " " << c.v;
            frimatrice(in, 1);
            frdmatrice(out, 1);
        }
    }
}

// Edges and 2D differences ------------------------------------------------------

TEST(GuardEdges, SumsOfTwoHeightsWithinAFactor4096AreChecked)
{
    // 1024 + (0.25 + 2^-43 + 2^-54) needs 65 bits: E rounds it onto a
    // midpoint whose tie goes down, D goes up. The heights lie within a
    // factor 4096, not 512: the edges of the band are checked. The second
    // DEM equals the first but for a 0 there, so that the edge's error is
    // the whole 3D difference of the three cells below it.
    const double small = 0.25 + 0x1p-43 + 0x1p-54;
    ASSERT_NE(bits(1024 + small), bits(static_cast<double>(1024 + static_cast<long double>(small))));
    expect_reference_everywhere(
        [&](MetreFrame &f, int column) {
            for (int i = 0; i < 3; i++)
                for (int j = 0; j < f.col; j++)
                    f.d1[i][j] = f.d2[i][j] = 1024;
            f.d1[0][column] = small;
            f.d2[0][column] = 0;
        },
        PLAIN);
}

TEST(GuardEdges, TheTwoDimensionalDifferenceIsChecked)
{
    // 1 - (-2^-53 (1 + 2^-27)): D rounds up to 1 + 2^-52, E then D to 1.
    // Every other height is 2^-53 in both DEMs, so that every edge of the
    // cell passes its check (1 + 2^-53 lies on a midpoint, -tiny + 2^-53 is
    // exact) and every other 2D difference is 0: the 2D volume is the cell's.
    const double tiny = -0x1p-53 * (1 + 0x1p-27);
    ASSERT_NE(bits(1 - tiny), bits(static_cast<double>(1 - static_cast<long double>(tiny))));
    expect_reference_everywhere(
        [&](MetreFrame &f, int column) {
            for (int i = 0; i < 3; i++)
                for (int j = 0; j < f.col; j++)
                    f.d1[i][j] = f.d2[i][j] = 0x1p-53;
            f.d1[1][column] = 1;
            f.d2[1][column] = tiny;
        },
        PLAIN);
}

// The nine-term mean -------------------------------------------------------------

// Heights within a factor 32: the nine-term sum of the centre cell is exact,
// and its product with 0.1111… lies at 0.78 of the margin from a midpoint.
const double EXACT_FIRST[3][3] = {{0x1.a9937076d99d3p+4, 0x1.a8761e6ce4e14p+4, 0x1.a515c2d6d9fe7p+3},
                                  {0x1.3f89a7d796899p+4, 0x1.d6111e54ceb34p+2, 0x1.1d450bc1ba9f2p+4},
                                  {0x1.666c3a44db749p+3, 0x1.9574887108178p+4, 0x1.872b8c79b73e2p+2}};
const double EXACT_SECOND[3][3] = {{0x1.840a6ac5a2b7p+3, 0x1.13b632d7654aep+2, 0x1.c0ab973d0cacdp+1},
                                   {0x1.c8d969b1ad01cp+1, 0x1.802e3a71d4598p+4, 0x1.0ca9bd7b26237p+2},
                                   {0x1.4caf811edaf14p+4, 0x1.735455d471321p+4, 0x1.4504476c5343cp+4}};
// Heights within a factor 512 but not 32: small terms of 2^-52 steps and
// partial sums beyond 4096, which the reference rounds twice to 64 bits.
// The exact sum's mean lies 1.8 margins from a midpoint that the
// reference's lies beyond: only the bound B sends the cell back.
const double BOUND_FIRST[3][3] = {{0x1.eb343c0c5b8eep+0, 0x1.7e7a51089c5a4p+9, 0x1.69a8db25438c1p+9},
                                  {0x1.5e0ba195da069p+9, 0x1.8389498e84288p+0, 0x1.76acc3279604ap+9},
                                  {0x1.68fe40d0e1f7ep+9, 0x1.7655ff64c9ea1p+9, 0x1.6f94a7f11f168p+9}};
const double BOUND_SECOND[3][3] = {{0x1.cc252997b74b6p+0, -0x1.7777f1d5ba22cp+9, -0x1.7e6ddb8fdf251p+9},
                                   {-0x1.7a609f4e1af5dp+9, 0x1.9e777fc6e5be9p+0, -0x1.732781482ef7bp+9},
                                   {-0x1.79427342f92e2p+9, -0x1.654354d7dce32p+9, -0x1.62ebf7499831fp+9}};

TEST(GuardCells, TheMeanOfExactSumsIsCheckedNextToAMidpoint)
{
    expect_cells_kernel_safe(EXACT_FIRST, EXACT_SECOND, true);
}

TEST(GuardCells, TheErrorBoundCoversPartialSumsBeyond64Bits)
{
    expect_cells_kernel_safe(BOUND_FIRST, BOUND_SECOND, false);
}

TEST(GuardCells, LinesWithin512ButNot32AreSummedWithTheBound)
{
    // The same cell alone in its frame, through the pass: its 3D volume
    // (cell area 1) is its 3D difference, so that summing it as exact shows.
    for (KernelPath path : runnable_paths()) {
        MetreFrame f(3, 3, 0.0, 0.0);
        place_pattern(f, 1, BOUND_FIRST, BOUND_SECOND);
        EXPECT_EQ(against_reference(f, path, PLAIN), "") << kernel_path_name(path);
    }
}

// Heights within a factor 32 (the second DEM 0): the exact nine-term sum X of
// the centre cell has 59 bits, so that the kernel's product X × 0.1111… ends
// with a rounded step (below), and the exact product lies 3 × 2^-56 of half
// an ulp inside the band of half a 64-bit ulp around a midpoint.
const double EDGE_FIRST[3][3] = {{0x1.013d38ec11393p+4, 0x1.569fbc24b59a4p+4, 0x1.bb8b5939f64ccp+4},
                                 {0x1.28ca12a63d181p+4, 0x1.419f5a4af4a6bp+0, 0x1.2aa6687a7d815p+4},
                                 {0x1.7c2a1c8f7a32ep+4, 0x1.7bf3118fd82b5p+4, 0x1.55c670065d002p+4}};
const double ZERO_PATTERN[3][3] = {};

TEST(GuardCells, TheRoundedStepOfTheProductStopsOnTheEdgeOfTheBand)
{
    // The kernel forms X × NINTH from X = xh + xl as xh × NINTH = yh + e1
    // (exact) and w = D(e1 + xl × NINTH), its one rounded step, and decides
    // on yh + w. Here e1 + xl × NINTH lies inside the band, where E rounds the
    // reference's mean onto the midpoint and the tie goes away from the
    // kernel's double, and w lies on the band's edge: the edges are doubles,
    // so the rounding cannot carry w out of the band, and the check (dist not
    // above the margin) sends the cell back.
    double term[9];
    pattern_terms(EDGE_FIRST, ZERO_PATTERN, term);
    long double x = 0;
    for (double t : term)
        x += t; // exact, as the reference sums heights within a factor 32
    const double ninth = 0.1111111111111111;
    const double xh = static_cast<double>(x);
    const double xl = static_cast<double>(x - xh);
    const double yh = xh * ninth;
    const double e1 = std::fma(xh, ninth, -yh);
    const long double step = e1 + static_cast<long double>(xl) * ninth; // exact: 57 bits
    const double w = static_cast<double>(step);
    const double h = std::ldexp(1.0, std::ilogb(yh) - 53); // half an ulp of yh
    const double mid = h * (2 * std::floor(w / (2 * h)) + 1); // the midpoint next to yh + w, from yh
    ASSERT_NE(step, w);
    ASSERT_EQ(std::fabs(w - mid), h * EXTENDED_HALF_ULP);
    ASSERT_LT(std::fabs(step - mid), h * EXTENDED_HALF_ULP);
    ASSERT_NE(bits(yh + w), bits(pattern_dif3(EDGE_FIRST, ZERO_PATTERN)));
    expect_cells_kernel_safe(EDGE_FIRST, ZERO_PATTERN, true);
    // The same cell alone in its frame, through the pass (in the scalar tail
    // of the AVX2 path): its 3D volume is its 3D difference.
    for (KernelPath path : runnable_paths()) {
        MetreFrame f(3, 3, 0.0, 0.0);
        place_pattern(f, 1, EDGE_FIRST, ZERO_PATTERN);
        EXPECT_EQ(against_reference(f, path, PLAIN), "") << kernel_path_name(path);
    }
}

// Volumes, sums and scaled results -------------------------------------------------

TEST(GuardResults, VolumesNextToAMidpointAreChecked)
{
    // (1.25 + 2^-51) × (1 + 2^-51), the area of a cell of 1 + 2^-52 m: D
    // rounds up, E onto the midpoint, whose tie goes down; every cell has
    // this 2D difference and a 3D difference of 0.
    const double d = 1.25 + 2 * P52;
    const PassQuestion q = {1 + P52, TREAT_ABSOLUTE, 3, DEM_M4};
    const double area = cell_area(q.sizepix);
    ASSERT_NE(bits(d * area), bits(static_cast<double>(static_cast<long double>(d) * area)));
    expect_reference_everywhere([&](MetreFrame &f, int) { one_difference(f, d); }, q);
}

TEST(GuardResults, RunningSumsAreChecked)
{
    // 1 + 2^-53 (1 + 2^-27): the running sum after a cell of 1 m³ and one of
    // 2^-53 (1 + 2^-27) m³ (in a lane: the two steps in one; in the tail:
    // the second step alone).
    const double tiny = 0x1p-53 * (1 + 0x1p-27);
    expect_reference_everywhere(
        [&](MetreFrame &f, int column) {
            f.d1[1][column - 1] = 1;
            f.d1[1][column] = tiny;
        },
        PLAIN);
}

TEST(GuardResults, TruncationNextToAnIntegerIsDecidedInExtendedPrecision)
{
    // 0.09937 m in hundredths of a millimetre: the exact product lies 2^-51
    // below 9937, within 2^-64 of it relative to its power of two, so E keeps
    // 9937 where the double's truncation rule gives 9936.
    const PassQuestion q = {1.0, TREAT_ABSOLUTE, 5, DEM_M4};
    expect_reference_everywhere([&](MetreFrame &f, int column) { f.d1[1][column] = 0.09937; }, q);
}

TEST(GuardResults, ProductsBeyond2To51AreTheReferences)
{
    // 3 × 10^11 m in hundredths of a millimetre: about 2^54.7, where the
    // double product has lost the units that E keeps.
    const PassQuestion q = {1.0, TREAT_ABSOLUTE, 5, DEM_M4};
    expect_reference_everywhere([&](MetreFrame &f, int column) { f.d1[1][column] = 3e11 + 0.12345; }, q);
}

TEST(GuardResults, MisfitsAreCountedAtBothEndsOfBothTypes)
{
    // Results in metres at each limit and one beyond it: 65535 and 65536,
    // -32768 and -32769 for _m2; 2^31 - 1 and 2^31, -2^31 and -2^31 - 1 for
    // _m4 (negative differences kept by treatment 1).
    const struct {
        double fits, beyond;
        int treat, itype;
    } limits[] = {{65535, 65536, TREAT_ABSOLUTE, DEM_M2},
                  {-32768, -32769, TREAT_NEGATIVE, DEM_M2},
                  {2147483647, 2147483648.0, TREAT_ABSOLUTE, DEM_M4},
                  {-2147483648.0, -2147483649.0, TREAT_NEGATIVE, DEM_M4}};
    for (const auto &l : limits) {
        const PassQuestion q = {1.0, l.treat, 0, l.itype};
        expect_reference_everywhere(
            [&](MetreFrame &f, int column) {
                f.d1[1][column - 1] = l.fits;
                f.d1[1][column] = l.beyond;
            },
            q);
    }
}

// Domains ----------------------------------------------------------------------------

TEST(GuardDomain, SubnormalVolumesOfTheReferencesDifferencesAreChecked)
{
    // 2D differences of 2^-774 × (1.5 - 3 × 2^-52), below the kernels'
    // domain: the reference computes the differences; their volume with a
    // cell area of 2^-300 (1 + 2^-51) is 1.5 × 2^-1074 less a trifle, whose
    // rounding error underflows to 0. Only the domain check of the result
    // kernel sends the cells back.
    const double d = 0x1p-774 * (1.5 - 3 * P52);
    const PassQuestion q = {0x1p-150 * (1 + P52), TREAT_ABSOLUTE, 3, DEM_M4};
    ASSERT_NE(bits(d * cell_area(q.sizepix)),
              bits(static_cast<double>(static_cast<long double>(d) * cell_area(q.sizepix))));
    expect_reference_everywhere([&](MetreFrame &f, int) { one_difference(f, d); }, q);
}

TEST(GuardDomain, CellAreasBelowTheDomainAreTheReferences)
{
    // The same volume from heights within the domain, 2^-300 × (1.5 - 3 ×
    // 2^-52), and a cell area of 2^-774 (1 + 2^-51).
    const double d = 0x1p-300 * (1.5 - 3 * P52);
    const PassQuestion q = {0x1p-387 * (1 + P52), TREAT_ABSOLUTE, 3, DEM_M4};
    ASSERT_NE(bits(d * cell_area(q.sizepix)),
              bits(static_cast<double>(static_cast<long double>(d) * cell_area(q.sizepix))));
    expect_reference_everywhere([&](MetreFrame &f, int) { one_difference(f, d); }, q);
}

// Lane primitives --------------------------------------------------------------------

TEST(Lanes, BothInstructionSetsKeepTheSameContract)
{
    // Pairs with NaN first or second, signed zeros, infinities and ordinary
    // values of both signs.
    const double nan = std::nan("");
    const double a[LANE_PROBE_SIZE] = {nan, 1.0, -0.0, 2.0, -3.0, 0x1p-1074, -HUGE_VAL, 5.0};
    const double b[LANE_PROBE_SIZE] = {1.0, nan, 0.0, -2.0, -4.0, -0x1p-1074, 7.0, 5.0};
    LaneProbe scalar = {}, avx2 = {};
    if (!kernel_path_available(KERNEL_SCALAR))
        GTEST_SKIP() << "no FMA on this host: no fast path";
    probe_scalar_lanes(a, b, &scalar);
    // lane_min and lane_max take b unless a is strictly smaller (larger).
    for (int k = 0; k < LANE_PROBE_SIZE; k++) {
        EXPECT_EQ(bits(scalar.min[k]), bits(a[k] < b[k] ? a[k] : b[k])) << k;
        EXPECT_EQ(bits(scalar.max[k]), bits(a[k] > b[k] ? a[k] : b[k])) << k;
    }
    // sign_differs: -0 against 0, 2 against -2, the two subnormals, -inf
    // against 7.
    EXPECT_EQ(scalar.sign_differs, 0x04 | 0x08 | 0x20 | 0x40);
    for (int k = 0; k < LANE_PROBE_SIZE; k++)
        EXPECT_EQ(bits(scalar.selected[k]), bits((scalar.sign_differs >> k) & 1 ? a[k] : b[k])) << k;
    if (!kernel_path_available(KERNEL_AVX2))
        GTEST_SKIP() << "no AVX2 on this host";
    probe_avx2_lanes(a, b, &avx2);
    for (int k = 0; k < LANE_PROBE_SIZE; k++) {
        EXPECT_EQ(bits(avx2.min[k]), bits(scalar.min[k])) << k;
        EXPECT_EQ(bits(avx2.max[k]), bits(scalar.max[k])) << k;
        EXPECT_EQ(bits(avx2.selected[k]), bits(scalar.selected[k])) << k;
        // A mask is all of its lane or nothing, whatever made it.
        EXPECT_EQ(avx2.differs[k], (scalar.sign_differs >> k) & 1 ? ~0ULL : 0ULL) << k;
    }
    EXPECT_EQ(avx2.sign_differs, scalar.sign_differs);
}
