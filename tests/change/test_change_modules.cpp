// The arithmetic modules of dem_change on values checkable on paper: cell
// areas on the ellipsoid, and the budget engine's rows and areas.
#include "budget_engine.h"
#include "change_picture.h"
#include "geo_area.h"

#include <cpl_minixml.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {
const long double PI = 3.141592653589793238462643383279502884L;
}

TEST(GeoArea, OnASphereTheQuadrangleIsRSquaredTimesTheLongitudeSpanTimesTheSineDifference)
{
    const double r = 6371000;
    // 1° x 1° cells at the equator, at 45° and next to the pole.
    for (double lat : {0.0, 45.0, 89.0}) {
        const long double expected = static_cast<long double>(r) * r * (PI / 180) *
                                     (std::sin((lat + 1) * PI / 180) - std::sin(lat * PI / 180));
        EXPECT_NEAR(quadrangle_area(r, 0, lat, lat + 1, 1), static_cast<double>(expected), 1e-6) << lat;
        // Either order of the latitudes, either side of the equator.
        EXPECT_EQ(quadrangle_area(r, 0, lat + 1, lat, 1), quadrangle_area(r, 0, -lat, -lat - 1, 1)) << lat;
    }
}

TEST(GeoArea, TheWholeWgs84EllipsoidHasItsKnownArea)
{
    // 510 065 621.724 km² (the WGS84 ellipsoid's surface, e.g. GeographicLib's
    // Geodesic.EllipsoidArea()); the northern half of it is exactly half.
    const double a = 6378137, inv_f = 298.257223563;
    EXPECT_NEAR(quadrangle_area(a, inv_f, -90, 90, 360), 5.10065621724e14, 1e3);
    EXPECT_NEAR(quadrangle_area(a, inv_f, 0, 90, 360), 5.10065621724e14 / 2, 1e3);
    // A cell of one arc second at 50° N: about 30.9 m x 19.9 m.
    const double cell = quadrangle_area(a, inv_f, 50, 50 + 1.0 / 3600, 1.0 / 3600);
    EXPECT_GT(cell, 610);
    EXPECT_LT(cell, 620);
}

TEST(GridAreas, ProjectedGridsTakeTheDeterminantAndGridsInDegreesAreaPerLine)
{
    GridFacts g;
    g.nb_lig = 3;
    g.nb_col = 4;
    g.has_geotransform = true;
    const double gt[6] = {1000, 2.5, 0, 5000, 0, -2.5};
    std::copy(gt, gt + 6, g.geotransform);
    g.crs_wkt = "PROJCS[...]";
    GridAreas areas;
    std::string warning, error;
    ASSERT_TRUE(grid_areas(g, &areas, &warning, &error)) << error;
    EXPECT_FALSE(areas.per_line);
    EXPECT_EQ(line_cell_area(areas, 2), 6.25);
    EXPECT_TRUE(warning.empty());
    // In feet: 2.5 ft cells are 2.5 x 0.3048 m wide.
    g.linear_metres = 0.3048;
    ASSERT_TRUE(grid_areas(g, &areas, &warning, &error));
    EXPECT_NEAR(areas.cell_area, 6.25 * 0.3048 * 0.3048, 1e-15);

    // Degrees on a sphere: line 1 lies between 2° and 1° N.
    g.geographic = true;
    g.semi_major = 6371000;
    g.inv_flattening = 0;
    const double geo[6] = {10, 1, 0, 3, 0, -1};
    std::copy(geo, geo + 6, g.geotransform);
    ASSERT_TRUE(grid_areas(g, &areas, &warning, &error)) << error;
    EXPECT_TRUE(areas.per_line);
    EXPECT_EQ(line_cell_area(areas, 1), quadrangle_area(6371000, 0, 2, 1, 1));
    // Beyond the pole, or without georeferencing and --pixel: refused.
    g.geotransform[3] = 91;
    EXPECT_FALSE(grid_areas(g, &areas, &warning, &error));
    g.has_geotransform = false;
    EXPECT_FALSE(grid_areas(g, &areas, &warning, &error));
    EXPECT_NE(error.find("--pixel"), std::string::npos);
    g.cell_size_known = true;
    g.geotransform[1] = 0.5;
    g.geotransform[5] = -0.5;
    ASSERT_TRUE(grid_areas(g, &areas, &warning, &error));
    EXPECT_EQ(areas.cell_area, 0.25);
}

TEST(BudgetEngine, RowsBySignWithTheLevelOfDetectionAndAreasPerLine)
{
    BudgetRows b = budget_with_cell_area(4, 0.5);
    const double difs[] = {-1, -0.25, 0, 0.25, 2, 2};
    for (double d : difs)
        budget_count(&b, d, d * 4);
    EXPECT_EQ(b.negative.cells, 2);
    EXPECT_EQ(budget_volume(b.negative), -5);
    EXPECT_EQ(b.positive.cells, 3);
    EXPECT_EQ(budget_volume(b.positive), 17);
    EXPECT_EQ(b.zero.cells, 1);
    EXPECT_EQ(budget_area(b, b.positive), 12);
    // |d| < 0.5 is below detection: -0.25, 0 and 0.25.
    EXPECT_EQ(b.lod_below.cells, 3);
    EXPECT_EQ(b.lod_negative.cells, 1);
    EXPECT_EQ(b.lod_positive.cells, 2);
    EXPECT_EQ(b.all.cells, 6);
    EXPECT_EQ(budget_volume(b.all), 12);

    // Lines of different cell areas: 2 cells of 10 m², then 1 of 3 m².
    BudgetRows g = budget_with_line_areas(0);
    budget_count(&g, 1, 10);
    budget_count(&g, -1, -10);
    budget_end_line(&g, 10);
    budget_count(&g, 1, 3);
    budget_end_line(&g, 3);
    EXPECT_EQ(budget_area(g, g.positive), 13);
    EXPECT_EQ(budget_area(g, g.negative), 10);
    EXPECT_EQ(budget_area(g, g.all), 23);
    EXPECT_EQ(budget_volume(g.all), 3);
}

TEST(BudgetEngine, VolumesAreExactSumsRoundedOnce)
{
    // 1 + 2^-54 + 2^-54 + … : a running sum in double (the interactive
    // tool's) rounds each partial sum back to 1; the budget keeps the exact
    // sum, 1 + 2^-51.
    BudgetRows b = budget_with_cell_area(1, 0);
    budget_count(&b, 1, 1);
    for (int k = 0; k < 8; k++)
        budget_count(&b, 1, std::ldexp(1.0, -54));
    EXPECT_EQ(budget_volume(b.all), 1.0 + std::ldexp(1.0, -51));
}

TEST(MapLimit, TheNinetyEighthPercentileOfTheChangedCellsRoundedUpToTwoDigits)
{
    // 1000 unchanged cells and 100 changed ones of |d| = 0.01 .. 1.00 m,
    // half of them lowering: 98 % of the changed cells lie within 0.98 m.
    ChangeHistogram h = make_histogram(0);
    for (int k = 0; k < 1000; k++)
        histogram_count(&h, 0, 1, 0, false);
    for (int k = 1; k <= 100; k++)
        histogram_count(&h, (k % 2 ? -1 : 1) * k / 100.0, 1, 0, false);
    EXPECT_NEAR(robust_limit(h, 1.0), 0.98, 1e-12);
    EXPECT_NEAR(beyond_share(h, 0.98, 1.0), 0.02, 1e-12);
    EXPECT_EQ(beyond_share(h, 1.0, 1.0), 0);
    // 98 % of 0.0123 .. 1.23 m and one outlier at 50 m: the 99th of the 101
    // cells, 1.2177 m, rounded up to 1.3 m; the outlier and the cells above
    // 1.3 m lie beyond. Without the outlier the largest |d| caps the limit.
    ChangeHistogram wide = make_histogram(0);
    for (int k = 1; k <= 100; k++)
        histogram_count(&wide, k * 0.0123, 1, 0, false);
    ChangeHistogram capped = wide;
    histogram_count(&wide, 50, 1, 0, false);
    EXPECT_NEAR(robust_limit(wide, 50), 1.3, 1e-12);
    EXPECT_NEAR(beyond_share(wide, 1.3, 50), 1.0 / 101, 1e-12);
    EXPECT_EQ(robust_limit(capped, 1.23), 1.23);
    // Nothing changed: any limit; no cells counted: the largest |d|.
    EXPECT_EQ(robust_limit(make_histogram(0), 0), 1);
    EXPECT_EQ(robust_limit(make_histogram(0), 2.5), 2.5);
}

TEST(QgisStyle, TheMapsRampBetweenTheLimitsWithNodataTransparent)
{
    const std::string qml = qgis_style(2.5);
    CPLXMLNode *root = CPLParseXMLString(qml.c_str());
    ASSERT_NE(root, nullptr) << "not well-formed XML";
    const CPLXMLNode *renderer = CPLGetXMLNode(root, "=qgis.pipe.rasterrenderer");
    ASSERT_NE(renderer, nullptr);
    EXPECT_STREQ(CPLGetXMLValue(renderer, "type", ""), "singlebandpseudocolor");
    EXPECT_STREQ(CPLGetXMLValue(renderer, "nodataColor", "x"), ""); // transparent
    EXPECT_STREQ(CPLGetXMLValue(renderer, "classificationMin", ""), "-2.5");
    EXPECT_STREQ(CPLGetXMLValue(renderer, "classificationMax", ""), "2.5");
    const CPLXMLNode *shader = CPLGetXMLNode(renderer, "rastershader.colorrampshader");
    ASSERT_NE(shader, nullptr);
    EXPECT_STREQ(CPLGetXMLValue(shader, "colorRampType", ""), "INTERPOLATED");
    EXPECT_STREQ(CPLGetXMLValue(shader, "clip", ""), "0"); // beyond the limits: the end colours
    // Lowering deep red at -2.5 m through white at 0 to deep blue at +2.5 m.
    const char *values[5] = {"-2.5", "-1.25", "0", "1.25", "2.5"};
    const char *colours[5] = {"#b2182b", "#ef8a62", "#f7f7f7", "#67a9cf", "#2166ac"};
    int k = 0;
    for (const CPLXMLNode *n = shader->psChild; n != nullptr; n = n->psNext)
        if (n->eType == CXT_Element && std::string(n->pszValue) == "item") {
            ASSERT_LT(k, 5);
            EXPECT_STREQ(CPLGetXMLValue(n, "value", ""), values[k]);
            EXPECT_STREQ(CPLGetXMLValue(n, "color", ""), colours[k]);
            k++;
        }
    EXPECT_EQ(k, 5);
    EXPECT_NE(qml.find("value=\"0.25;239,138,98,255:0.5;247,247,247,255:0.75;103,169,207,255\""), std::string::npos);
    EXPECT_NE(qml.find("name=\"color1\" value=\"178,24,43,255\""), std::string::npos);
    CPLDestroyXMLNode(root);
}

TEST(MapFiles, WorldFilesBesideThePicture)
{
    EXPECT_EQ(world_file_path("out/slide_2D.png"), "out/slide_2D.pgw");
    EXPECT_EQ(world_file_path("x.PNG"), "x.pgw");
    EXPECT_EQ(world_file_path("a.b/picture"), "a.b/picture.pgw"); // a dot in a folder is no extension
}
