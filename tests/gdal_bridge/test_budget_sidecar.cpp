// dem_budget on pairs that dem_gdal imported: the sidecar beside each pair
// gives the exact cell size (2.5 m, which the descriptors round to 3) and
// the unit of the heights, and may name the pair itself; a sidecar that does
// not describe its pair is refused.
#include "dem_files.h"
#include "gdal_test_files.h"

#include <filesystem>

namespace {

const int LINES = 6, COLUMNS = 7;

// Heights in metres; the later survey 0.4 m lower on two interior cells.
Grid survey(bool later)
{
    Grid g; // 2.5 m cells
    g.lines = LINES;
    g.columns = COLUMNS;
    for (int i = 0; i < LINES; i++)
        for (int j = 0; j < COLUMNS; j++)
            g.values.push_back(200 + 0.25 * i + 0.5 * j - (later && i == 2 && (j == 3 || j == 4) ? 0.4 : 0));
    return g;
}

class BudgetSidecar : public BridgeTest {
  protected:
    Outcome dem_budget(const std::string &args) const { return run_in(dir, std::string(DEM_BUDGET) + " " + args); }
};

} // namespace

TEST_F(BudgetSidecar, TheSidecarGivesTheExactCellSizeAndTheUnit)
{
    write_geotiff(at("early.tif"), survey(false));
    write_geotiff(at("late.tif"), survey(true));
    ASSERT_EQ(dem_gdal("import -t m4 -u mm early.tif s1").status, 0);
    ASSERT_EQ(dem_gdal("import -t 1 -u 3 late.tif s2").status, 0); // the same by the dialogue's codes
    const std::string descriptor = read_file(at("s1_m4.txt"));
    ASSERT_EQ(descriptor.substr(descriptor.rfind('\n', descriptor.size() - 2) + 1), "3\n"); // a whole number

    // Neither --pixel nor --unit: 2.5 m and millimetres from the sidecars.
    Outcome r = dem_budget("s1_m4.raw s2_m4.vrt --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Two cells 0.4 m lower in the second survey: cut, 2 x 6.25 m2 (not the
    // 2 x 9 m2 of the descriptors' 3 m), about 5 m3 (heights of about 200 m
    // in millimetres, converted to metres, differ by 0.4 m to a few ulps).
    EXPECT_NE(r.out.find("2D,cut,2,12.5,5.0"), std::string::npos) << r.out;
    Outcome given = dem_budget("s1_m4.raw s2_m4.raw --unit mm --pixel 2.5 --csv");
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(r.out, given.out);
    // The pairs' stems name them as well.
    EXPECT_EQ(dem_budget("s1_m4 s2_m4 --csv").out, r.out);
    r = dem_budget("s1_m4.vrt s2_m4.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cell: 2.5 m x 2.5 m = 6.25 m2 (pixel size from the sidecar s1_m4.vrt)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("first DEM : s1_m4.raw (heights in mm)"), std::string::npos) << r.out;
    // A unit on the command line wins over the sidecar's.
    r = dem_budget("s1_m4.raw s2_m4.raw --unit m --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2D,cut,2,12.5,5000,"), std::string::npos) << r.out; // 400 "m" x 12.5 m2
}

TEST_F(BudgetSidecar, ASidecarOfAnotherFrameIsRefused)
{
    write_geotiff(at("early.tif"), survey(false));
    ASSERT_EQ(dem_gdal("import -t m4 -u mm early.tif s1").status, 0);
    write_pair(at("other"), PAIR_INPUT, DEM_M4, 2, 2, {1, 2, 3, 4});
    std::filesystem::copy_file(at("s1_m4.vrt"), at("other_m4.vrt"));
    Outcome r = dem_budget("other_m4.raw other_m4.raw --unit mm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("dem_budget: other_m4.vrt: its frame of 6 lines and 7 columns is not the frame of other_m4.txt"),
              std::string::npos)
        << r.err;
    // A sidecar that is no raster at all.
    std::filesystem::remove(at("other_m4.vrt"));
    FILE *f = std::fopen(at("other_m4.vrt").c_str(), "w");
    std::fputs("not a sidecar\n", f);
    std::fclose(f);
    r = dem_budget("other_m4.raw other_m4.raw --unit mm");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dem_budget: other_m4.vrt: cannot open the sidecar"), std::string::npos) << r.err;
    // With the pixel size and the units given, the sidecar is not needed.
    r = dem_budget("other_m4.raw other_m4.raw --unit mm --pixel 1");
    EXPECT_EQ(r.status, 0) << r.err;
}
