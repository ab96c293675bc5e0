// The errors of 3D volumes propagated from the 2D cells: against Monte
// Carlo realisations of the 2D errors put through the tool's own 3D
// difference, and against an offset every cell makes at once.
#include "change_error.h"
#include "difference.h"
#include "error_propagation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

const int LINES = 20, COLUMNS = 20;
const double AREA = 6.25; // m²

// σ of the 2D difference of cell (i, j): varies from cell to cell.
double sigma_of(int i, int j) { return 0.2 + 0.05 * ((i * 7 + j * 3) % 11); }

// Row 0: every interior cell but a few (as if their windows had no data);
// row 1: the interior cells of the left half.
bool in_row(int row, int i, int j)
{
    if (i == 0 || j == 0 || i == LINES - 1 || j == COLUMNS - 1)
        return false;
    if (row == 0)
        return !((i == 5 && j > 3 && j < 9) || (i == 12 && j == 14));
    return j < COLUMNS / 2;
}

// The propagated sums of both rows, fed line by line.
Propagation3D propagate()
{
    Propagation3D p = propagation_start(COLUMNS);
    std::vector<double> sigma(COLUMNS);
    std::vector<int> slots(static_cast<size_t>(COLUMNS) * PROPAGATION_SLOTS);
    for (int i = 0; i < LINES; i++) {
        std::fill(slots.begin(), slots.end(), -1);
        for (int j = 0; j < COLUMNS; j++) {
            sigma[static_cast<size_t>(j)] = sigma_of(i, j);
            for (int row = 0; row < 2; row++)
                if (in_row(row, i, j))
                    slots[static_cast<size_t>(j) * PROPAGATION_SLOTS + row] = row;
        }
        propagation_add_line(&p, sigma.data(), AREA, slots.data());
    }
    propagation_finish(&p);
    return p;
}

// The 3D volume of a row of the 2D differences d (as first − second over a
// surface at 0), by the tool's own 3D difference.
double row_volume(int row, std::vector<std::vector<double>> &d, std::vector<std::vector<double>> &zero)
{
    std::vector<double *> t1(LINES), t2(LINES);
    for (int i = 0; i < LINES; i++) {
        t1[static_cast<size_t>(i)] = d[static_cast<size_t>(i)].data();
        t2[static_cast<size_t>(i)] = zero[static_cast<size_t>(i)].data();
    }
    long double v = 0;
    for (int i = 1; i < LINES - 1; i++)
        for (int j = 1; j < COLUMNS - 1; j++)
            if (in_row(row, i, j)) {
                double d2, d3;
                cell_differences(t1.data(), t2.data(), i, j, &d2, &d3);
                v += d3 * AREA;
            }
    return static_cast<double>(v);
}

std::vector<std::vector<double>> grid(double value)
{
    return std::vector<std::vector<double>>(LINES, std::vector<double>(COLUMNS, value));
}

TEST(ErrorPropagation, TheSpreadOfIndependentRealisationsIsTheIndependentError)
{
    const Propagation3D p = propagate();
    std::mt19937_64 random(20260412);
    std::normal_distribution<double> normal(0, 1);
    std::vector<std::vector<double>> d = grid(0), zero = grid(0);
    const int realisations = 4000;
    long double sum2[2] = {0, 0};
    for (int r = 0; r < realisations; r++) {
        for (int i = 0; i < LINES; i++)
            for (int j = 0; j < COLUMNS; j++)
                d[static_cast<size_t>(i)][static_cast<size_t>(j)] = sigma_of(i, j) * normal(random);
        for (int row = 0; row < 2; row++) {
            const double v = row_volume(row, d, zero);
            sum2[row] += static_cast<long double>(v) * v;
        }
    }
    for (int row = 0; row < 2; row++) {
        const double spread = static_cast<double>(std::sqrt(sum2[row] / realisations));
        const VolumeErrors e = volume_errors(propagated_sums(p, row), 1.0, 0);
        // 4000 realisations: the spread is known to about 1.1 %.
        EXPECT_NEAR(spread / e.independent, 1.0, 0.04) << "row " << row;
        // The cells taken one by one as independent 3D errors (each
        // σ_3D of its own window) fall short by about √3: the fault this
        // propagation removes.
        long double naive = 0;
        for (int i = 1; i < LINES - 1; i++)
            for (int j = 1; j < COLUMNS - 1; j++)
                if (in_row(row, i, j)) {
                    double window[9];
                    for (int k = 0; k < 9; k++)
                        window[k] = sigma_of(i - 1 + k / 3, j - 1 + k % 3);
                    const long double s = sigma_3D(window) * AREA;
                    naive += s * s;
                }
        EXPECT_LT(std::sqrt(naive) * 1.5, spread) << "row " << row;
    }
}

TEST(ErrorPropagation, AnOffsetOfEveryCellAtOnceIsTheFullyCorrelatedError)
{
    const Propagation3D p = propagate();
    // Every 2D cell off by its σ in the same direction: the row's 3D volume
    // is Σ_k W_k σ_k.
    std::vector<std::vector<double>> d = grid(0), zero = grid(0);
    for (int i = 0; i < LINES; i++)
        for (int j = 0; j < COLUMNS; j++)
            d[static_cast<size_t>(i)][static_cast<size_t>(j)] = sigma_of(i, j);
    for (int row = 0; row < 2; row++) {
        const VolumeErrors e = volume_errors(propagated_sums(p, row), 1.0, 0);
        EXPECT_NEAR(e.correlated, row_volume(row, d, zero), 1e-10) << "row " << row;
    }
    // A uniform σ: the weights of a window sum to 1, so Σ W_k σ is the
    // row's area times σ, not σ / √3.
    Propagation3D u = propagation_start(4);
    const double sigma[4] = {0.5, 0.5, 0.5, 0.5};
    int slots[4 * PROPAGATION_SLOTS];
    for (int i = 0; i < 4; i++) {
        std::fill(slots, slots + 4 * PROPAGATION_SLOTS, -1);
        if (i == 1 || i == 2)
            slots[1 * PROPAGATION_SLOTS] = slots[2 * PROPAGATION_SLOTS] = 3;
        propagation_add_line(&u, sigma, 2.0, slots);
    }
    propagation_finish(&u);
    // Four 3D cells of 2 m²: correlated 4 × 2 × 0.5 = 4 m³.
    EXPECT_NEAR(exact_value(propagated_sums(u, 3).sum_a_sigma), 4.0, 1e-15);
    EXPECT_EQ(exact_value(propagated_sums(u, 0).sum_a_sigma), 0.0);
    EXPECT_EQ(exact_value(propagated_sums(u, 7).sum_a_sigma), 0.0);
}

TEST(ErrorPropagation, TheCellsOwnErrorWithCorrelatedNeighbours)
{
    const double uniform[9] = {0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3};
    // No model: σ / √3 (the cells of a window independent).
    EXPECT_NEAR(sigma_3D(uniform, window_correlation(CorrelationModel(), 2, 2)), 0.3 / std::sqrt(3.0), 1e-15);
    // A range far beyond the window: the nine errors are nearly one, and
    // the weights summing to 1 keep σ.
    EXPECT_NEAR(sigma_3D(uniform, window_correlation(spherical_model(1e7), 2, 2)), 0.3, 1e-6);
    // A range shorter than a cell: independent again.
    EXPECT_NEAR(sigma_3D(uniform, window_correlation(spherical_model(1.5), 2, 2)), 0.3 / std::sqrt(3.0), 1e-15);
    // A range of 4 m over cells of 2 m: by hand, ρ(2) = 1 − 3/4 + 1/16 =
    // 0.3125, ρ(2√2) = 1 − 1.06066 + 0.17678 = 0.11612, ρ(4 and beyond) = 0.
    const WindowCorrelation c = window_correlation(spherical_model(4), 2, 2);
    EXPECT_NEAR(c.rho[4][5], 0.3125, 1e-15);
    EXPECT_NEAR(c.rho[4][8], 1 - 1.5 * std::sqrt(2.0) / 2 + 0.5 * std::pow(std::sqrt(2.0) / 2, 3), 1e-15);
    EXPECT_EQ(c.rho[3][5], 0.0);
    EXPECT_GT(sigma_3D(uniform, c), 0.3 / std::sqrt(3.0));
    EXPECT_LT(sigma_3D(uniform, c), 0.3);
}

// The rows of a random grid fed to a propagation completing its lines by
// sets of rows and to one completing them cell by cell: the same exact
// sums in every row. Cells without a 2D difference, cells without a 3D
// one, mixed signs, a thresholded row that follows its sign or not, and
// classes: with `classes` of them the lines meet more than 64 rows and go
// cell by cell.
void expect_sets_as_cells(int lines, int columns, int classes, bool tested_apart, unsigned seed)
{
    std::mt19937 random(seed);
    Propagation3D by_sets = propagation_start(columns), by_cells = propagation_start(columns);
    by_cells.by_sets = false;
    std::vector<double> sigma(static_cast<size_t>(columns));
    std::vector<int> slots(sigma.size() * PROPAGATION_SLOTS);
    int last_slot = 0;
    for (int i = 0; i < lines; i++) {
        std::fill(slots.begin(), slots.end(), -1);
        for (int j = 0; j < columns; j++) {
            sigma[static_cast<size_t>(j)] = random() % 10 == 0 ? NAN : 0.1 + 0.01 * (random() % 50);
            if (random() % 7 == 0)
                continue; // no 3D difference
            const int sign = static_cast<int>(random() % 3), test = tested_apart ? 3 + random() % 3 : 3 + sign;
            const int cls = static_cast<int>(((i / 4) * 5 + j / 6 + random() % 2) % classes);
            const int rows[6] = {sign, test, 6, 7 * (cls + 1) + sign, 7 * (cls + 1) + test, 7 * (cls + 1) + 6};
            std::copy(rows, rows + 6, &slots[static_cast<size_t>(j) * PROPAGATION_SLOTS]);
            last_slot = std::max(last_slot, rows[5]);
        }
        const double area = 2.0 + 0.001 * i; // areas by line, as in degrees
        propagation_add_line(&by_sets, sigma.data(), area, slots.data());
        propagation_add_line(&by_cells, sigma.data(), area, slots.data());
    }
    propagation_finish(&by_sets);
    propagation_finish(&by_cells);
    for (int slot = 0; slot <= last_slot + 1; slot++) {
        const ErrorTally a = propagated_sums(by_sets, slot), b = propagated_sums(by_cells, slot);
        EXPECT_TRUE(exact_equal(a.sum_a2_sigma2, b.sum_a2_sigma2)) << "row " << slot << ", seed " << seed;
        EXPECT_TRUE(exact_equal(a.sum_a_sigma, b.sum_a_sigma)) << "row " << slot << ", seed " << seed;
    }
}

TEST(ErrorPropagation, LinesCompletedBySetsOfRowsGiveTheSumsOfCellByCell)
{
    for (unsigned seed = 1; seed <= 3; seed++) {
        expect_sets_as_cells(23, 37, 3, false, seed);
        expect_sets_as_cells(23, 37, 3, true, seed);
        expect_sets_as_cells(9, 61, 12, true, seed); // more than 64 rows in a line
    }
    // The frame's edges: one or two columns, one line.
    expect_sets_as_cells(7, 1, 2, true, 4);
    expect_sets_as_cells(7, 2, 2, false, 5);
    expect_sets_as_cells(1, 9, 2, true, 6);
}

// Lines of σ, areas and rows fed to a propagation completing its lines by
// sets of rows and to one completing them cell by cell: the same exact sums
// in every row up to last_slot.
void expect_same_sums(const std::vector<std::vector<double>> &sigma, const std::vector<double> &area,
                      const std::vector<std::vector<int>> &slots, int last_slot, const std::string &what)
{
    const int columns = static_cast<int>(sigma[0].size());
    Propagation3D by_sets = propagation_start(columns), by_cells = propagation_start(columns);
    by_cells.by_sets = false;
    for (size_t i = 0; i < sigma.size(); i++) {
        propagation_add_line(&by_sets, sigma[i].data(), area[i], slots[i].data());
        propagation_add_line(&by_cells, sigma[i].data(), area[i], slots[i].data());
    }
    propagation_finish(&by_sets);
    propagation_finish(&by_cells);
    for (int slot = 0; slot <= last_slot; slot++) {
        const ErrorTally a = propagated_sums(by_sets, slot), b = propagated_sums(by_cells, slot);
        EXPECT_TRUE(exact_equal(a.sum_a2_sigma2, b.sum_a2_sigma2)) << what << ", row " << slot;
        EXPECT_TRUE(exact_equal(a.sum_a_sigma, b.sum_a_sigma)) << what << ", row " << slot;
        // Unused by the propagation, so empty in both: a term added out
        // of its sum's range would show here.
        EXPECT_TRUE(exact_equal(a.sum_sigma2, b.sum_sigma2)) << what << ", row " << slot;
    }
}

// Rows that come and go from line to line (each line's rows drawn from
// a pool that moves on, so the numbering of rows kept from line to line
// reuses the bits of rows gone), cells in six rows, and a few lines whose
// cells meet hundreds of rows (cell by cell) between lines that meet few.
TEST(ErrorPropagation, RowsComingAndGoingFromLineToLineGiveTheSumsOfCellByCell)
{
    const int lines = 40, columns = 33;
    std::mt19937 random(9);
    std::vector<std::vector<double>> sigma(lines, std::vector<double>(columns));
    std::vector<std::vector<int>> slots(lines, std::vector<int>(columns * PROPAGATION_SLOTS, -1));
    std::vector<double> area(lines, 1.5);
    int last_slot = 0;
    for (int i = 0; i < lines; i++) {
        const bool crowded = i >= 15 && i < 18;
        for (int j = 0; j < columns; j++) {
            sigma[i][j] = random() % 9 == 0 ? NAN : 0.05 + 0.001 * (random() % 200);
            const int cell_rows = static_cast<int>(random() % (PROPAGATION_SLOTS + 1));
            for (int m = 0; m < cell_rows; m++) {
                // Distinct rows of the cell: a pool of 12 moving by 3 a line, or
                // of 300.
                const int slot = crowded ? 500 + 50 * m + static_cast<int>(random() % 50)
                                         : 3 * i + m * 2 + static_cast<int>(random() % 2);
                slots[i][static_cast<size_t>(j) * PROPAGATION_SLOTS + m] = slot;
                last_slot = std::max(last_slot, slot);
            }
        }
    }
    expect_same_sums(sigma, area, slots, last_slot, "moving rows");
}

// σ and areas whose terms the integers do not take, or not straight into
// one bucket an exponent: σ of very different sizes in one line (their
// squares more than 2^64 apart), subnormal, infinite, zero and negative σ,
// a line of zero area and lines so small that the squares fall below the
// smallest double. Each line goes the general way, with the same sums.
TEST(ErrorPropagation, SigmaTheIntegersDoNotTakeGivesTheSumsOfCellByCell)
{
    const int lines = 12, columns = 17;
    std::mt19937 random(31);
    const double odd[] = {1e-3, 1e8, 4e-310, INFINITY, 0.0, -0.25, 3e150};
    std::vector<std::vector<double>> sigma(lines, std::vector<double>(columns));
    std::vector<std::vector<int>> slots(lines, std::vector<int>(columns * PROPAGATION_SLOTS, -1));
    std::vector<double> area(lines, 2.0);
    area[4] = 0.0;
    area[6] = area[8] = area[9] = area[10] = 1e-300;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < columns; j++) {
            // Lines 8 to 10: σ alike, but squares below the smallest double.
            const bool alike = i >= 8 && i <= 10;
            sigma[i][j] = random() % 3 == 0 && !alike ? odd[(i + j) % 7] : 0.1 + 0.01 * (random() % 30);
            if (i == 2)
                sigma[i][j] = 0.1 * j; // a line that fits: one more check of the integers' way
            slots[i][static_cast<size_t>(j) * PROPAGATION_SLOTS] = static_cast<int>(random() % 3);
            slots[i][static_cast<size_t>(j) * PROPAGATION_SLOTS + 1] = 3;
        }
    expect_same_sums(sigma, area, slots, 3, "odd sigma");
}

} // namespace
