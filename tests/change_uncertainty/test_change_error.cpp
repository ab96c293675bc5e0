// Errors of the differences, the normal quantile, and what counts as
// detected change; the error of a survey given as a value or a raster.
#include "change_error.h"

#include <gdal.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(ChangeError, TwoAndThreeDimensionalErrors)
{
    EXPECT_DOUBLE_EQ(sigma_2D(0.3, 0.4), 0.5);
    EXPECT_DOUBLE_EQ(sigma_2D(0, 0.07), 0.07);
    // A uniform σ: (5/9)² σ² + 8 (1/18)² σ² = σ² (100 + 8) / 324 = σ² / 3.
    const double uniform[9] = {0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3};
    EXPECT_NEAR(sigma_3D(uniform), 0.3 / std::sqrt(3.0), 1e-15);
    // Only the centre in error: 5/9 of it; only a neighbour: 1/18 of it.
    const double centre[9] = {0, 0, 0, 0, 0.9, 0, 0, 0, 0};
    const double corner[9] = {0.9, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NEAR(sigma_3D(centre), 0.5, 1e-15);
    EXPECT_NEAR(sigma_3D(corner), 0.05, 1e-15);
}

// The 3D errors of a whole line, as dem_change works them out in its pass:
// tests/change/test_change_uncertainty.cpp, ThreeDimensionalErrorsOfALine.

TEST(ChangeError, TwoSidedNormalQuantile)
{
    EXPECT_NEAR(two_sided_quantile(0.95), 1.959964, 1e-6);
    EXPECT_NEAR(two_sided_quantile(0.99), 2.575829, 1e-6);
    EXPECT_NEAR(two_sided_quantile(0.682689492137), 1.0, 1e-9);
}

TEST(ChangeError, DetectionByLevelAndByConfidence)
{
    const Detection lod = make_detection(0.1, 0);
    EXPECT_TRUE(is_detected(lod, 0.1, 0));      // |d| = T reaches it
    EXPECT_TRUE(is_detected(lod, -0.25, 0));
    EXPECT_FALSE(is_detected(lod, 0.0999, 0));
    EXPECT_FALSE(is_detected(lod, -0.05, 0));

    // At 95 %: |d| / σ ≥ 1.959964; σ = 0.05 m gives a threshold of 0.098 m.
    const Detection conf = make_detection(0, 0.95);
    EXPECT_TRUE(conf.confidence);
    EXPECT_TRUE(is_detected(conf, 0.0981, 0.05));
    EXPECT_FALSE(is_detected(conf, -0.0979, 0.05));
    EXPECT_TRUE(is_detected(conf, -0.0981, 0.05));
    // A larger error at another cell needs a larger change.
    EXPECT_FALSE(is_detected(conf, 0.0981, 0.06));
    // No error: every change is detected; no change never is.
    EXPECT_TRUE(is_detected(conf, 1e-9, 0));
    EXPECT_FALSE(is_detected(conf, 0, 0));
    EXPECT_FALSE(is_detected(make_detection(0, 0), 0, 0.1));

    // Both: a cell must pass both.
    const Detection both = make_detection(0.2, 0.95);
    EXPECT_FALSE(is_detected(both, 0.15, 0.01)); // passes z, not T
    EXPECT_FALSE(is_detected(both, 0.25, 0.2));  // passes T, not z
    EXPECT_TRUE(is_detected(both, 0.25, 0.1));
}

// A scratch folder removed at the end of each test.
class SigmaInputTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override
    {
        GDALAllRegister();
        dir = std::filesystem::temp_directory_path() /
              ("sigma_input_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A float32 GeoTIFF of the given values, nodata -9999.
    std::string raster(const std::string &name, int nb_col, int nb_lig, const std::vector<float> &values)
    {
        const std::string path = (dir / name).string();
        GDALDatasetH ds =
            GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), nb_col, nb_lig, 1, GDT_Float32, nullptr);
        double gt[6] = {1000, 2, 0, 5000, 0, -2};
        GDALSetGeoTransform(ds, gt);
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        GDALSetRasterNoDataValue(band, -9999);
        EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, nb_col, nb_lig, const_cast<float *>(values.data()), nb_col,
                               nb_lig, GDT_Float32, 0, 0),
                  CE_None);
        GDALClose(ds);
        return path;
    }

    static GridFacts grid(int nb_col, int nb_lig)
    {
        GridFacts g;
        g.nb_col = nb_col;
        g.nb_lig = nb_lig;
        g.has_geotransform = true;
        const double gt[6] = {1000, 2, 0, 5000, 0, -2};
        for (int k = 0; k < 6; k++)
            g.geotransform[k] = gt[k];
        return g;
    }
};

TEST_F(SigmaInputTest, OneValueForEveryCell)
{
    SigmaInput s;
    std::string error;
    ASSERT_TRUE(open_sigma_input("--sigma-before", "0.05", grid(3, 2), &s, &error)) << error;
    std::vector<double> sigma(6);
    ASSERT_TRUE(read_sigma_lines(&s, 0, 2, 3, sigma.data(), &error));
    for (double v : sigma)
        EXPECT_EQ(v, 0.05);
    for (const char *bad : {"-0.1", "nan", "inf", "1e999"}) {
        SigmaInput b;
        EXPECT_FALSE(open_sigma_input("--sigma-after", bad, grid(3, 2), &b, &error)) << bad;
        EXPECT_NE(error.find("--sigma-after"), std::string::npos) << error;
    }
}

TEST_F(SigmaInputTest, ARasterOnTheGridWithNodata)
{
    const std::string path = raster("sigma.tif", 3, 2, {0.1f, 0.2f, -9999, 0.5f, 0, 0.25f});
    SigmaInput s;
    std::string error;
    ASSERT_TRUE(open_sigma_input("--sigma-before", path, grid(3, 2), &s, &error)) << error;
    std::vector<double> sigma(3);
    ASSERT_TRUE(read_sigma_lines(&s, 0, 1, 3, sigma.data(), &error)) << error;
    EXPECT_DOUBLE_EQ(sigma[0], 0.1f);
    EXPECT_TRUE(std::isnan(sigma[2]));
    ASSERT_TRUE(read_sigma_lines(&s, 1, 1, 3, sigma.data(), &error)) << error;
    EXPECT_EQ(sigma[1], 0);
    EXPECT_EQ(s.nodata_cells, 1);
    close_sigma_input(&s);
}

TEST_F(SigmaInputTest, RefusedRasters)
{
    std::string error;
    SigmaInput s;
    // Another size.
    const std::string small = raster("small.tif", 2, 2, {0.1f, 0.1f, 0.1f, 0.1f});
    EXPECT_FALSE(open_sigma_input("--sigma-after", small, grid(3, 2), &s, &error));
    EXPECT_NE(error.find("not on the grid"), std::string::npos) << error;
    // Another origin.
    GridFacts shifted = grid(2, 2);
    shifted.geotransform[0] += 2;
    EXPECT_FALSE(open_sigma_input("--sigma-after", small, shifted, &s, &error));
    // Not a file.
    EXPECT_FALSE(open_sigma_input("--sigma-after", (dir / "none.tif").string(), grid(2, 2), &s, &error));
    // A negative error inside.
    const std::string negative = raster("negative.tif", 2, 2, {0.1f, 0.1f, -0.5f, 0.1f});
    ASSERT_TRUE(open_sigma_input("--sigma-after", negative, grid(2, 2), &s, &error)) << error;
    std::vector<double> sigma(4);
    EXPECT_FALSE(read_sigma_lines(&s, 0, 2, 2, sigma.data(), &error));
    EXPECT_NE(error.find("line 1, column 0"), std::string::npos) << error;
    close_sigma_input(&s);
}

} // namespace
