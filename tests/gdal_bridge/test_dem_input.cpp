// Input DEMs read by lines in metres: DEM pairs converted as the tool
// converts them, GDAL bands with their scale, offset and vertical unit, and
// every kind of nodata flagged, never filled.
#include "gdal_test_files.h"

#include "dem_files.h"
#include "dem_input.h"
#include "gdal_bridge.h"

#include <ogr_srs_api.h>

#include <cmath>
#include <cstring>

namespace {

class DemInputTest : public BridgeTest {
  protected:
    // Opens path and reads all its lines; fails the test when it cannot.
    void read_all(const DemInputOptions &o, DemInput *in, std::vector<double> *metres, std::vector<unsigned char> *valid)
    {
        std::string error;
        ASSERT_TRUE(open_dem_input(o, in, &error)) << error;
        const size_t cells = static_cast<size_t>(in->grid.nb_lig) * in->grid.nb_col;
        metres->assign(cells, 0);
        valid->assign(cells, 0);
        // Two calls, as a streaming reader makes them.
        const int half = in->grid.nb_lig / 2;
        ASSERT_TRUE(read_dem_lines(in, 0, half, metres->data(), valid->data(), &error)) << error;
        ASSERT_TRUE(read_dem_lines(in, half, in->grid.nb_lig - half, metres->data() + static_cast<size_t>(half) * in->grid.nb_col,
                                   valid->data() + static_cast<size_t>(half) * in->grid.nb_col, &error))
            << error;
    }

    // A flat survey of 3 x 4 cells of 2.5 m imported as the pair "pair" (_m4, in cm).
    void import_flat_survey()
    {
        Grid g;
        g.lines = 3;
        g.columns = 4;
        g.values.assign(12, 100);
        write_geotiff(at("survey.tif"), g);
        ASSERT_EQ(dem_gdal("import -t m4 -u cm -q survey.tif pair").status, 0);
    }
};

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

TEST_F(DemInputTest, APairIsConvertedAsTheToolConvertsItAndNeedsItsUnit)
{
    write_pair(at("a"), PAIR_INPUT, DEM_M4, 2, 3, {6139, 43, -5, 0, 1, 2});
    DemInputOptions o;
    o.path = at("a_m4.raw");
    DemInput in;
    std::string error;
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("unit"), std::string::npos) << error;

    o.unit = 1; // decimetres
    std::vector<double> m;
    std::vector<unsigned char> valid;
    read_all(o, &in, &m, &valid);
    EXPECT_EQ(in.grid.nb_lig, 2);
    EXPECT_EQ(in.grid.nb_col, 3);
    EXPECT_EQ(bits(m[0]), 0x40832F3333333334ull); // 613.9000000000001, the tool's value
    EXPECT_EQ(m[1], 4.3);
    EXPECT_EQ(m[2], -0.5);
    EXPECT_EQ(std::count(valid.begin(), valid.end(), 1), 6);
    close_dem_input(&in);

    o.path = at("a_2D_m4.raw");
    write_pair(at("a"), PAIR_2D, DEM_M4, 2, 3, {0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("result pair"), std::string::npos) << error;
}

TEST_F(DemInputTest, AnImportedPairTakesItsUnitAndGeoreferencingFromItsSidecar)
{
    Grid g;
    g.lines = 3;
    g.columns = 4;
    g.values = {1.2, 2.3, 3.4, 4.5, 5.6, 6.7, 7.8, 8.9, 9.1, 10.2, 11.3, 12.4};
    write_geotiff(at("survey.tif"), g);
    ASSERT_EQ(dem_gdal("import -t m4 -u cm -q survey.tif pair").status, 0);

    DemInputOptions o;
    o.path = at("pair_m4.vrt");
    DemInput in;
    std::vector<double> m;
    std::vector<unsigned char> valid;
    read_all(o, &in, &m, &valid);
    EXPECT_EQ(in.unit, 2);
    EXPECT_TRUE(in.grid.has_geotransform);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(in.grid.geotransform[k], g.gt[k]) << k;
    EXPECT_TRUE(same_srs(in.grid.crs_wkt, read_geotiff(at("survey.tif")).wkt));
    EXPECT_FALSE(in.grid.geographic);
    EXPECT_EQ(m[11], static_cast<double>(1240 * static_cast<long double>(0.01)));
    close_dem_input(&in);
}

// The sidecar is read by one rule wherever a pair is opened: dem_budget and
// the GDAL-based programs refuse the same sidecars (cells in degrees, or
// not square), which no import writes.
TEST_F(DemInputTest, ASidecarInDegreesOrOfOblongCellsIsRefusedAsDemBudgetRefusesIt)
{
    ASSERT_NO_FATAL_FAILURE(import_flat_survey());
    const std::string sidecar = read_file(at("pair_m4.vrt"));
    DemInputOptions o;
    o.path = at("pair_m4.raw");
    for (const char *bad : {"degrees", "oblong"}) {
        GDALDatasetH ds = GDALOpen(at("pair_m4.vrt").c_str(), GA_Update);
        ASSERT_NE(ds, nullptr);
        if (std::string(bad) == "degrees") {
            OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
            OSRImportFromEPSG(wgs84, 4326);
            GDALSetSpatialRef(ds, wgs84);
            OSRDestroySpatialReference(wgs84);
        } else {
            double gt[6] = {500000, 2.5, 0, 4600000, 0, -5};
            GDALSetGeoTransform(ds, gt);
        }
        GDALClose(ds);
        DemInput in;
        std::string error;
        EXPECT_FALSE(open_dem_input(o, &in, &error)) << bad;
        EXPECT_NE(error.find(std::string(bad) == "degrees" ? "geographic" : "not square"), std::string::npos)
            << error;
        SidecarFacts facts;
        std::string why;
        EXPECT_FALSE(read_sidecar(at("pair_m4.vrt"), &facts, &why)) << bad;
        std::FILE *f = std::fopen(at("pair_m4.vrt").c_str(), "w");
        std::fputs(sidecar.c_str(), f);
        std::fclose(f);
    }
    DemInput in;
    std::string error;
    ASSERT_TRUE(open_dem_input(o, &in, &error)) << error;
    close_dem_input(&in);
}

// A program that reads pairs alone (dem_budget) names the pair's files even
// when its raster is missing, may leave the unit to its own command line and
// leaves a sidecar it does not need unread.
TEST_F(DemInputTest, APairOnlyReaderNamesThePairsFilesAndMayLeaveTheUnitAndSidecarToItsCaller)
{
    std::string base;
    int pair = -1, itype = -1;
    ASSERT_TRUE(name_dem_pair("x_2D_m4.txt", &base, &pair, &itype));
    EXPECT_EQ(base + "|" + std::to_string(pair) + "|" + std::to_string(itype), "x|" + std::to_string(PAIR_2D) + "|" +
                                                                                 std::to_string(DEM_M4));
    ASSERT_TRUE(name_dem_pair("x_m2.vrt", &base, &pair, &itype));
    EXPECT_EQ(base + "|" + std::to_string(pair) + "|" + std::to_string(itype), "x|" + std::to_string(PAIR_INPUT) +
                                                                                 "|" + std::to_string(DEM_M2));
    EXPECT_FALSE(name_dem_pair("x.tif", &base, &pair, &itype));

    DemInputOptions o;
    o.path = at("none_m4.raw");
    DemInput in;
    std::string error;
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("GDAL cannot open it"), std::string::npos) << error;
    o.pair_only = true;
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("cannot open the descriptor " + at("none_m4.txt")), std::string::npos) << error;
    o.path = at("x.tif");
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("names no DEM pair"), std::string::npos) << error;

    ASSERT_NO_FATAL_FAILURE(import_flat_survey()); // cells of 2.5 m
    o.path = at("pair_m4"); // the stem names the pair
    ASSERT_TRUE(open_dem_input(o, &in, &error)) << error;
    EXPECT_EQ(in.descriptor, at("pair_m4.txt"));
    EXPECT_EQ(in.sidecar, at("pair_m4.vrt"));
    EXPECT_EQ(in.sidecar_cell_metres, 2.5);
    EXPECT_EQ(in.pix_size, 3); // the descriptor's whole number
    close_dem_input(&in);

    // Neither a sidecar nor the option gives the unit: the caller asks for it.
    write_pair(at("bare"), PAIR_INPUT, DEM_M4, 3, 4, std::vector<long long>(12, 7));
    o.path = at("bare_m4.raw");
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    o.unit_may_be_unknown = true;
    ASSERT_TRUE(open_dem_input(o, &in, &error)) << error;
    EXPECT_EQ(in.unit, -1);
    EXPECT_EQ(in.sidecar, "");
    EXPECT_EQ(in.sidecar_cell_metres, 0);
    std::vector<double> m(4);
    std::vector<unsigned char> valid(4);
    EXPECT_FALSE(read_dem_lines(&in, 0, 1, m.data(), valid.data(), &error));
    EXPECT_NE(error.find("unit of its heights is unknown"), std::string::npos) << error;
    close_dem_input(&in);

    // A sidecar that is no raster is refused, unless the caller leaves it unread.
    std::FILE *f = std::fopen(at("bare_m4.vrt").c_str(), "w");
    std::fputs("not a sidecar\n", f);
    std::fclose(f);
    o.unit = 0;
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("cannot open the sidecar"), std::string::npos) << error;
    o.skip_sidecar = true;
    ASSERT_TRUE(open_dem_input(o, &in, &error)) << error;
    EXPECT_FALSE(in.grid.has_geotransform);
    EXPECT_EQ(in.sidecar, "");
    close_dem_input(&in);
}

TEST_F(DemInputTest, ABandInFeetWithScaleAndOffsetIsConvertedOnceAndItsNodataFlagged)
{
    Grid g;
    g.lines = 2;
    g.columns = 3;
    g.type = GDT_Int32;
    g.values = {100, -9999, 7, 0, 3, 5};
    g.has_nodata = true;
    g.nodata = -9999;
    g.unit = "ft";
    write_geotiff(at("feet.tif"), g);
    GDALDatasetH ds = GDALOpen(at("feet.tif").c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALSetRasterScale(GDALGetRasterBand(ds, 1), 0.1);
    GDALSetRasterOffset(GDALGetRasterBand(ds, 1), 2);
    GDALClose(ds);

    DemInputOptions o;
    o.path = at("feet.tif");
    DemInput in;
    std::vector<double> m;
    std::vector<unsigned char> valid;
    read_all(o, &in, &m, &valid);
    EXPECT_TRUE(in.heights.has_scale);
    EXPECT_FALSE(in.heights.unit_assumed);
    EXPECT_EQ(m[0], static_cast<double>((100 * static_cast<long double>(0.1) + 2) * 0.3048L));
    EXPECT_EQ(valid[1], 0);
    EXPECT_TRUE(std::isnan(m[1]));
    EXPECT_EQ(std::count(valid.begin(), valid.end(), 1), 5);
    close_dem_input(&in);
}

TEST_F(DemInputTest, NaNAndMaskedCellsAreNodataAndAnEmptyUnitIsAssumedMetres)
{
    Grid g;
    g.lines = 2;
    g.columns = 2;
    g.values = {1.5, NAN, 2.5, 3.5};
    write_geotiff(at("masked.tif"), g);
    GDALDatasetH ds = GDALOpen(at("masked.tif").c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    ASSERT_EQ(GDALCreateMaskBand(band, GMF_PER_DATASET), CE_None);
    unsigned char mask[4] = {255, 255, 0, 255};
    ASSERT_EQ(GDALRasterIO(GDALGetMaskBand(band), GF_Write, 0, 0, 2, 2, mask, 2, 2, GDT_Byte, 0, 0), CE_None);
    GDALClose(ds);

    DemInputOptions o;
    o.path = at("masked.tif");
    DemInput in;
    std::vector<double> m;
    std::vector<unsigned char> valid;
    read_all(o, &in, &m, &valid);
    EXPECT_TRUE(in.heights.unit_assumed);
    EXPECT_TRUE(in.heights.has_mask);
    EXPECT_EQ(std::vector<unsigned char>(valid.begin(), valid.end()), (std::vector<unsigned char>{1, 0, 0, 1}));
    EXPECT_EQ(m[3], 3.5);
    close_dem_input(&in);
}

TEST_F(DemInputTest, AnUnknownVerticalUnitIsRefusedUnlessItsScaleIsGiven)
{
    Grid g;
    g.lines = 1;
    g.columns = 2;
    g.values = {10, 20};
    g.unit = "furlong";
    write_geotiff(at("odd.tif"), g);
    DemInputOptions o;
    o.path = at("odd.tif");
    DemInput in;
    std::string error;
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("furlong"), std::string::npos) << error;

    o.z_scale_given = true;
    o.z_scale = 201.168;
    std::vector<double> m;
    std::vector<unsigned char> valid;
    read_all(o, &in, &m, &valid);
    EXPECT_EQ(m[1], static_cast<double>(20 * static_cast<long double>(201.168)));
    close_dem_input(&in);

    o.path = at("missing.tif");
    EXPECT_FALSE(open_dem_input(o, &in, &error));
    EXPECT_NE(error.find("missing.tif"), std::string::npos) << error;
}

} // namespace
