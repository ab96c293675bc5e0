// Classes of cells from an integer raster on the grid or from polygons
// rasterised onto it.
#include "change_classes.h"

#include <gdal.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class ClassesTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override
    {
        GDALAllRegister();
        dir = std::filesystem::temp_directory_path() /
              ("change_classes_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A grid of 1 m cells, its top-left corner at (0, nb_lig), no CRS.
    static GridFacts grid(int nb_col, int nb_lig)
    {
        GridFacts g;
        g.nb_col = nb_col;
        g.nb_lig = nb_lig;
        g.has_geotransform = true;
        const double gt[6] = {0, 1, 0, static_cast<double>(nb_lig), 0, -1};
        for (int k = 0; k < 6; k++)
            g.geotransform[k] = gt[k];
        return g;
    }

    std::string class_raster(int nb_col, int nb_lig, const std::vector<float> &values)
    {
        const std::string path = (dir / "classes.tif").string();
        GDALDatasetH ds =
            GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), nb_col, nb_lig, 1, GDT_Float32, nullptr);
        GDALSetGeoTransform(ds, grid(nb_col, nb_lig).geotransform);
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        GDALSetRasterNoDataValue(band, -1);
        EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, nb_col, nb_lig, const_cast<float *>(values.data()), nb_col,
                               nb_lig, GDT_Float32, 0, 0),
                  CE_None);
        GDALClose(ds);
        return path;
    }

    // Cells of each class index over the whole grid.
    static void tally_into(ClassSource *s, int nb_col, int nb_lig, std::vector<long> *out)
    {
        std::vector<long> n;
        std::vector<int> line(static_cast<size_t>(nb_col));
        std::string error;
        for (int i = 0; i < nb_lig; i++) {
            EXPECT_TRUE(read_class_lines(s, i, 1, line.data(), &error)) << error;
            for (int c : line) {
                ASSERT_LT(static_cast<size_t>(c), s->labels.size());
                n.resize(s->labels.size());
                n[static_cast<size_t>(c)]++;
            }
        }
        n.resize(s->labels.size());
        *out = n;
    }
    static std::vector<long> tally(ClassSource *s, int nb_col, int nb_lig)
    {
        std::vector<long> n;
        tally_into(s, nb_col, nb_lig, &n);
        return n;
    }
};

TEST_F(ClassesTest, IntegerRasterOnTheGrid)
{
    const std::string path = class_raster(3, 2, {7, 7, 2, -1, 30, 2});
    ClassSource s;
    std::string error;
    ASSERT_TRUE(open_classes(path, "", grid(3, 2), (dir / "out").string(), &s, &error)) << error;
    EXPECT_FALSE(s.layer.from_vector);
    const std::vector<long> n = tally(&s, 3, 2);
    ASSERT_EQ(s.labels.size(), 4u); // no class, 7, 2, 30 in the order met
    EXPECT_EQ(n[0], 1);
    EXPECT_EQ(s.labels[1], 7);
    EXPECT_EQ(n[1], 2);
    EXPECT_EQ(n[2], 2);
    // Listed by value, the cells without a class last.
    EXPECT_EQ(class_order(s), (std::vector<int>{2, 1, 3, 0}));
    close_classes(&s);
}

TEST_F(ClassesTest, RefusedRasters)
{
    std::string error;
    ClassSource s;
    const std::string fraction = class_raster(2, 1, {1, 1.5f});
    ASSERT_TRUE(open_classes(fraction, "", grid(2, 1), (dir / "out").string(), &s, &error)) << error;
    std::vector<int> line(2);
    EXPECT_FALSE(read_class_lines(&s, 0, 1, line.data(), &error));
    EXPECT_NE(error.find("line 0, column 1 is not an integer"), std::string::npos) << error;
    close_classes(&s);
    ClassSource other;
    EXPECT_FALSE(open_classes(fraction, "", grid(3, 1), (dir / "out").string(), &other, &error));
    EXPECT_NE(error.find("not on the grid"), std::string::npos) << error;
    ClassSource none;
    EXPECT_FALSE(open_classes((dir / "missing.gpkg").string(), "", grid(3, 1), (dir / "out").string(), &none, &error));
}

// Two polygons with a zone, one without it, over a 10 × 10 grid of 1 m
// cells: zone A the top-left quarter, zone B the bottom-right one, the
// bottom-left one a feature without a zone.
const char *const POLYGONS = R"({"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"zone": "B"},
  "geometry": {"type": "Polygon", "coordinates": [[[5,0],[10,0],[10,5],[5,5],[5,0]]]}},
 {"type": "Feature", "properties": {"zone": "A"},
  "geometry": {"type": "Polygon", "coordinates": [[[0,5],[5,5],[5,10],[0,10],[0,5]]]}},
 {"type": "Feature", "properties": {"other": 1},
  "geometry": {"type": "Polygon", "coordinates": [[[0,0],[5,0],[5,5],[0,5],[0,0]]]}}]})";

TEST_F(ClassesTest, TwoPolygonsRasterisedOntoTheGrid)
{
    const std::string path = (dir / "zones.geojson").string();
    std::ofstream(path) << POLYGONS;
    ClassSource s;
    std::string error;
    const std::string out = (dir / "out").string();
    ASSERT_TRUE(open_classes(path, "zone", grid(10, 10), out, &s, &error)) << error;
    EXPECT_TRUE(s.layer.from_vector);
    ASSERT_EQ(s.labels.size(), 3u);
    const std::vector<long> n = tally(&s, 10, 10);
    EXPECT_EQ(s.labels[1], "B");
    EXPECT_EQ(n[1], 25);
    EXPECT_EQ(n[2], 25);
    EXPECT_EQ(n[0], 50); // outside every feature, or in the one without a zone
    // The top-left cell is in A.
    std::vector<int> line(10);
    ASSERT_TRUE(read_class_lines(&s, 0, 1, line.data(), &error));
    EXPECT_EQ(s.labels[static_cast<size_t>(line[0])], "A");
    EXPECT_EQ(class_order(s), (std::vector<int>{2, 1, 0}));
    // The rasterised raster lies where it was asked to until closed.
    const std::string temp = s.layer.burnt_path;
    EXPECT_EQ(temp, out);
    EXPECT_TRUE(std::filesystem::exists(temp));
    close_classes(&s);
    EXPECT_FALSE(std::filesystem::exists(temp));

    // A field no layer has is refused.
    ClassSource missing;
    EXPECT_FALSE(open_classes(path, "landuse", grid(10, 10), out, &missing, &error));
    EXPECT_NE(error.find("no layer has a field named landuse"), std::string::npos) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

} // namespace
