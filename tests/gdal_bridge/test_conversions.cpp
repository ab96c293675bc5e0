// The bridge's conversions: units named as in the tool's dialogue, heights
// rounded to a unit and fitted to a value type, square cells, pair names.
#include "dem_files.h"
#include "gdal_bridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(Units, NamesAndDialogueCodesUpToTheAllowedUnit)
{
    EXPECT_EQ(parse_height_unit("m", UNITS_IN - 1), 0);
    EXPECT_EQ(parse_height_unit("mm", UNITS_IN - 1), 3);
    EXPECT_EQ(parse_height_unit("2", UNITS_IN - 1), 2);
    EXPECT_EQ(parse_height_unit("0.1mm", UNITS_IN - 1), -1); // results only
    EXPECT_EQ(parse_height_unit("0.1mm", UNITS_OUT - 1), 4);
    EXPECT_EQ(parse_height_unit("5", UNITS_OUT - 1), 5);
    EXPECT_EQ(parse_height_unit("km", UNITS_OUT - 1), -1);
    EXPECT_EQ(parse_height_unit("", UNITS_OUT - 1), -1);
    EXPECT_EQ(height_unit(5).per_metre, 100000);
}

namespace {
long long stored(double metres, int unit, int itype, double *change = nullptr)
{
    long long v = -777;
    double c = -1;
    EXPECT_TRUE(metres_to_stored(metres, unit, itype, &v, &c)) << metres;
    if (change != nullptr)
        *change = c;
    return v;
}
bool fits(double metres, int unit, int itype)
{
    long long v;
    double c;
    return metres_to_stored(metres, unit, itype, &v, &c);
}
} // namespace

TEST(Rounding, ToTheNearestUnitWithHalvesAwayFromZero)
{
    double change;
    EXPECT_EQ(stored(100.2504, 3, DEM_M4, &change), 100250);
    EXPECT_NEAR(change, 0.4, 1e-6);
    EXPECT_EQ(stored(100.2506, 3, DEM_M4), 100251);
    EXPECT_EQ(stored(-1.2346, 3, DEM_M4), -1235);
    EXPECT_EQ(stored(2.5, 0, DEM_M4), 3);
    EXPECT_EQ(stored(-2.5, 0, DEM_M4), -3);
    EXPECT_EQ(stored(612.34f, 2, DEM_M2), 61234); // a float32 height, not exact in binary
    EXPECT_EQ(stored(612.34, 1, DEM_M2), 6123);
}

TEST(Rounding, ValuesOutsideTheTypeOrNotFiniteDoNotFit)
{
    EXPECT_EQ(stored(6553.54, 1, DEM_M2), 65535);
    EXPECT_FALSE(fits(6553.55, 1, DEM_M2));
    EXPECT_EQ(stored(-0.4, 0, DEM_M2), 0);
    EXPECT_FALSE(fits(-0.5, 0, DEM_M2)); // _m2 holds no negative height
    EXPECT_EQ(stored(2147483.647, 3, DEM_M4), 2147483647LL);
    EXPECT_FALSE(fits(2147483.648, 3, DEM_M4));
    EXPECT_EQ(stored(-2147483.648, 3, DEM_M4), -2147483648LL);
    EXPECT_FALSE(fits(-2147483.649, 3, DEM_M4));
    EXPECT_FALSE(fits(std::numeric_limits<double>::quiet_NaN(), 0, DEM_M4));
    EXPECT_FALSE(fits(std::numeric_limits<double>::infinity(), 0, DEM_M4));
    EXPECT_FALSE(fits(1e300, 3, DEM_M4));
}

TEST(CellSize, SquareCellsNorthUpOrRotatedAreAccepted)
{
    double size = 0;
    std::string why;
    const double north_up[6] = {500000, 2.5, 0, 4600000, 0, -2.5};
    EXPECT_TRUE(square_cell_size(north_up, &size, &why));
    EXPECT_EQ(size, 2.5);
    // 30 degrees clockwise, cells of 10.
    const double c = 10 * std::cos(M_PI / 6), s = 10 * std::sin(M_PI / 6);
    const double rotated[6] = {0, c, s, 0, s, -c};
    EXPECT_TRUE(square_cell_size(rotated, &size, &why));
    EXPECT_NEAR(size, 10, 1e-12);
}

TEST(CellSize, OtherCellsAreRefusedWithTheReason)
{
    double size = 0;
    std::string why;
    const double oblong[6] = {0, 2, 0, 0, 0, -3};
    EXPECT_FALSE(square_cell_size(oblong, &size, &why));
    EXPECT_NE(why.find("not square (2 x 3)"), std::string::npos) << why;
    const double sheared[6] = {0, 2, 1, 0, 0, -1.7320508075688772}; // equal lengths, not perpendicular
    EXPECT_FALSE(square_cell_size(sheared, &size, &why));
    EXPECT_NE(why.find("sheared"), std::string::npos) << why;
    const double flat[6] = {0, 0, 0, 0, 0, -1};
    EXPECT_FALSE(square_cell_size(flat, &size, &why));
}

TEST(PairNames, RasterDescriptorOrBaseWithTheType)
{
    std::string base;
    int pair = -1, itype = -1;
    ASSERT_TRUE(split_pair_name("images/site/s1_m4.raw", &base, &pair, &itype));
    EXPECT_EQ(base, "images/site/s1");
    EXPECT_EQ(pair, PAIR_INPUT);
    EXPECT_EQ(itype, DEM_M4);
    ASSERT_TRUE(split_pair_name("d_2D_m2.txt", &base, &pair, &itype));
    EXPECT_EQ(base, "d");
    EXPECT_EQ(pair, PAIR_2D);
    EXPECT_EQ(itype, DEM_M2);
    ASSERT_TRUE(split_pair_name("d_3D_m4", &base, &pair, &itype));
    EXPECT_EQ(pair, PAIR_3D);
    ASSERT_TRUE(split_pair_name("s_m2", &base, &pair, &itype));
    EXPECT_EQ(base, "s");
    EXPECT_EQ(pair, PAIR_INPUT);
    EXPECT_FALSE(split_pair_name("survey.tif", &base, &pair, &itype));
    EXPECT_FALSE(split_pair_name("_m4.raw", &base, &pair, &itype)); // no base
    EXPECT_EQ(sidecar_path("images/site/s1", DEM_M2), "images/site/s1_m2.vrt");
}

// Heights scaled in one expression of extended precision, rounded once: in
// double, 0.1 x 3 would round to 0.30000000000000004 before the offset
// and leave 2^-54 instead of 2^-55.
TEST(Rounding, ScaledHeightsAreEvaluatedInExtendedPrecisionAndRoundedOnce)
{
    EXPECT_EQ(scaled_height(0.1, 3, -0.3, 1), std::ldexp(1.0, -55));
    EXPECT_EQ(scaled_height(1000, 1, 0, 0.3048L), 304.8);
    EXPECT_EQ(scaled_height(-5, 0.5, 2, 1), -0.5);
}
