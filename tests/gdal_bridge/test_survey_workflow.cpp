// The whole workflow of a surveyor: two GeoTIFF surveys of a landslide
// imported, compared by skarnovelt_v2 through its dialogue, the results
// exported and checked with GDAL.
//
// The later survey lies 2 m lower in a scar (lines 1-2, columns 5-7) and
// 1.5 m higher on the deposit (lines 4-6, columns 2-4). First minus second
// is then +2 m on the scar and -1.5 m on the deposit; the tool keeps the
// negative values (treatment 1), in centimetres in an _m2 result, where they
// wrap and must be read back as signed.
#include "dem_files.h"
#include "gdal_test_files.h"

#include <filesystem>

namespace {
const int LINES = 8, COLUMNS = 9;

bool in_scar(int i, int j) { return i >= 1 && i <= 2 && j >= 5 && j <= 7; }
bool in_deposit(int i, int j) { return i >= 4 && i <= 6 && j >= 2 && j <= 4; }

Grid survey(bool later)
{
    Grid g;
    g.lines = LINES;
    g.columns = COLUMNS;
    for (int i = 0; i < LINES; i++)
        for (int j = 0; j < COLUMNS; j++) {
            double h = 300 + 0.37 * i - 0.11 * j; // a slope, heights of whole centimetres
            if (later && in_scar(i, j))
                h -= 2;
            if (later && in_deposit(i, j))
                h += 1.5;
            g.values.push_back(h);
        }
    return g;
}
} // namespace

TEST_F(BridgeTest, TwoSurveysImportedComparedAndExported)
{
    std::filesystem::create_directories(at("images/site"));
    write_geotiff(at("before.tif"), survey(false));
    write_geotiff(at("after.tif"), survey(true));
    ASSERT_EQ(dem_gdal("import --type m4 --unit cm before.tif images/site/s1").status, 0);
    ASSERT_EQ(dem_gdal("import --type m4 --unit cm after.tif images/site/s2").status, 0);

    // Folder, first DEM and type, second DEM and type, results and type (_m2),
    // units in cm, results in cm, pixel size 2.5 m, negative values, a key.
    Outcome tool = run_in(dir, SKARNOVELT, "site\ns1\n1\ns2\n1\nslide\n0\n2\n2\n2\n2.5\n1\n\n");
    ASSERT_EQ(tool.status, 0) << tool.out;
    ASSERT_TRUE(exists(at("images/site/slide_2D_m2.raw"))) << tool.out;

    for (const char *dim : {"2D", "3D"}) {
        const std::string args = std::string("export --unit cm --signed --georef images/site/s1_m4.vrt images/site/slide_") +
                                 dim + "_m2.txt slide_" + dim + ".tif";
        Outcome r = dem_gdal(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    Grid before = read_geotiff(at("before.tif"));
    Grid d2 = read_geotiff(at("slide_2D.tif"));
    Grid d3 = read_geotiff(at("slide_3D.tif"));
    for (const Grid *d : {&d2, &d3}) {
        for (int k = 0; k < 6; k++)
            EXPECT_EQ(d->gt[k], before.gt[k]);
        EXPECT_TRUE(same_srs(d->wkt, before.wkt));
        EXPECT_EQ(d->nodata, -9999);
    }
    // The tool truncates each difference to whole centimetres, so a value
    // may lie one unit short of the exact one.
    for (int i = 0; i < LINES; i++)
        for (int j = 0; j < COLUMNS; j++) {
            double v = d2.values[static_cast<size_t>(i) * COLUMNS + j];
            if (i == 0 || j == 0 || i == LINES - 1 || j == COLUMNS - 1)
                EXPECT_EQ(v, -9999) << i << "," << j;
            else if (in_deposit(i, j))
                EXPECT_NEAR(v, -1.5, 0.0101) << i << "," << j;
            else
                EXPECT_EQ(v, 0) << i << "," << j; // unchanged, or the scar's positive values left out
        }
    auto at3 = [&](int i, int j) { return d3.values[static_cast<size_t>(i) * COLUMNS + j]; };
    EXPECT_NEAR(at3(5, 3), -1.5, 0.0101);       // all nine cells of its window on the deposit
    EXPECT_NEAR(at3(5, 5), 3 * -1.5 / 18, 0.0101); // three deposit neighbours, weight 1/18 each
    EXPECT_EQ(at3(1, 6), 0);                    // scar: positive, left out
    EXPECT_EQ(at3(2, 2), 0);                    // no changed cell in its window
}
