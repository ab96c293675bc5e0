// The three volume errors on sets of cells whose errors a reader can work
// out on paper.
#include "volume_error.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// A square of 100 × 100 cells of 1 m², each of error 0.1 m: A = 10 000 m².
ErrorTally uniform_square()
{
    ErrorTally t;
    for (int k = 0; k < 100 * 100; k++)
        error_count(&t, 0.1, 1.0);
    return t;
}

TEST(VolumeError, IndependentAndCorrelatedOfAUniformSquare)
{
    const VolumeErrors e = volume_errors(uniform_square(), 10000, 0);
    // a·√(Σσ²) = 1 × √(10 000 × 0.01) = 10 m³; a·Σσ = 10 000 × 0.1 = 1000 m³.
    EXPECT_NEAR(e.independent, 10.0, 1e-9);
    EXPECT_NEAR(e.correlated, 1000.0, 1e-9);
    EXPECT_FALSE(e.has_spatial);
}

TEST(VolumeError, SpatialOnBothSidesOfTheRange)
{
    // L = √(10 000 / π) = 56.418958 m.
    // R = 200 m > L: q = L/R = 0.28209479, √(1 − q + q³/5) = 0.84993817,
    // SE = 0.084993817 m, volume error 849.938 m³.
    const VolumeErrors longer = volume_errors(uniform_square(), 10000, 200);
    ASSERT_TRUE(longer.has_spatial);
    EXPECT_NEAR(longer.spatial, 849.938166, 1e-5);
    // R = 20 m < L: SE = 0.1 × 20 / (√5 × 56.418958) = 0.015853309 m,
    // volume error 158.533 m³.
    const VolumeErrors shorter = volume_errors(uniform_square(), 10000, 20);
    EXPECT_NEAR(shorter.spatial, 158.533092, 1e-5);
    // Between the independent and the fully correlated bounds.
    EXPECT_GT(shorter.spatial, shorter.independent);
    EXPECT_LT(longer.spatial, longer.correlated);
}

TEST(VolumeError, BothFormsMeetAtTheRange)
{
    const double R = 50;
    const double pi = 3.14159265358979323846;
    const double area = pi * R * R; // L = R
    EXPECT_NEAR(rolstad_mean_error(1.0, area, R), 1 / std::sqrt(5.0), 1e-12);
    EXPECT_NEAR(rolstad_mean_error(1.0, area * (1 - 1e-9), R), rolstad_mean_error(1.0, area * (1 + 1e-9), R), 1e-8);
    // A point-like area keeps the whole error; a huge one averages it away.
    EXPECT_NEAR(rolstad_mean_error(2.0, 1e-12, R), 2.0, 1e-6);
    EXPECT_LT(rolstad_mean_error(2.0, 1e12, R), 1e-3);
    EXPECT_EQ(rolstad_mean_error(2.0, 0, R), 0);
}

TEST(VolumeError, CellsOfDifferentAreasAndErrors)
{
    // Rows of a grid in degrees: a cell of 1 m² and error 3 m, one of 2 m²
    // and 2 m: √(3² + 4²) = 5 m³ independent, 3 + 4 = 7 m³ correlated; the
    // spatial model takes the RMS σ = √((9 + 4) / 2) over the row's 3 m².
    ErrorTally t;
    error_count(&t, 3.0, 1.0);
    error_count(&t, 2.0, 2.0);
    const VolumeErrors e = volume_errors(t, 3.0, 1000);
    EXPECT_DOUBLE_EQ(e.independent, 5.0);
    EXPECT_DOUBLE_EQ(e.correlated, 7.0);
    EXPECT_NEAR(e.spatial, 3.0 * rolstad_mean_error(std::sqrt(6.5), 3.0, 1000), 1e-12);

    // A class's tally merged into the whole gives the sums of both.
    ErrorTally whole;
    error_count(&whole, 1.0, 4.0);
    error_merge(&whole, t);
    EXPECT_EQ(whole.cells, 3);
    EXPECT_DOUBLE_EQ(volume_errors(whole, 7.0, 0).correlated, 11.0);
    EXPECT_DOUBLE_EQ(volume_errors(whole, 7.0, 0).independent, std::sqrt(16.0 + 9.0 + 16.0));

    // No cells: no error, whatever the model.
    const VolumeErrors none = volume_errors(ErrorTally(), 0, 100);
    EXPECT_EQ(none.independent, 0);
    EXPECT_EQ(none.correlated, 0);
    EXPECT_EQ(none.spatial, 0);
}

} // namespace
