// dem_gdal as a GIS user runs it: usage and errors, imports (units and
// rounding, nodata, cells, fit, the sidecar), exports (round trips, results
// with signed values and their border, refusals), progress.
#include "dem_files.h"
#include "gdal_test_files.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

// A small float32 survey in metres: line by line.
Grid survey(int lines, int columns, std::vector<double> values)
{
    Grid g;
    g.lines = lines;
    g.columns = columns;
    g.values = values;
    return g;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

TEST_F(BridgeTest, HelpAndCommandLineErrors)
{
    Outcome r = dem_gdal("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Usage: dem_gdal import [options] SOURCE PAIR"));
    EXPECT_EQ(dem_gdal("").status, 2);
    r = dem_gdal("import survey.tif s1");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--type m2|m4")) << r.err;
    r = dem_gdal("import --type m3 --unit mm survey.tif s1");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--type: 'm3' is not a value type")) << r.err;
    r = dem_gdal("export --frobnicate d_2D_m4.raw d.tif");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "not expected: --frobnicate")) << r.err;
}

TEST_F(BridgeTest, GdalErrorsArePassedOnAndTheRunFails)
{
    Outcome r = dem_gdal("import -t m4 -u mm missing.tif s1");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "GDAL error: missing.tif: No such file or directory")) << r.err;
    EXPECT_TRUE(contains(r.err, "cannot open missing.tif")) << r.err;
    FILE *f = std::fopen(at("junk.tif").c_str(), "w");
    std::fputs("not a raster\n", f);
    std::fclose(f);
    r = dem_gdal("import -t m4 -u mm junk.tif s1");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not recognized as a supported file format")) << r.err;
}

TEST_F(BridgeTest, ImportRoundsMetresToTheUnitAndKeepsTheGeoreferencing)
{
    // float32 heights: 612.3404 is stored as 612.340393…, 612.3405 as 612.340515…
    write_geotiff(at("survey.tif"), survey(2, 3, {612.3404, 612.3405, -1.2346, 0.0004, 1076, 612.34}));
    Outcome r = dem_gdal("import --type m4 --unit mm survey.tif s1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_pair_raster(at("s1_m4.raw"), DEM_M4, 2, 3),
              (std::vector<long long>{612340, 612341, -1235, 0, 1076000, 612340}));
    // Minimum and maximum scanned from 10000000 and 0; cells of 2.5 m give 3.
    EXPECT_EQ(read_file(at("s1_m4.txt")), "2\n3\n4\n-1235\n1076000\n3\n");
    EXPECT_TRUE(contains(r.out, "the cell size 2.5 m is not a whole number: the descriptor records 3")) << r.out;

    Grid original = read_geotiff(at("survey.tif"));
    Grid sidecar = read_geotiff(at("s1_m4.vrt")); // the pair itself, seen by GDAL
    EXPECT_EQ(sidecar.type, GDT_Int32);
    EXPECT_EQ(sidecar.values, (std::vector<double>{612340, 612341, -1235, 0, 1076000, 612340}));
    EXPECT_EQ(sidecar.scale, 0.001);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(sidecar.gt[k], original.gt[k]);
    EXPECT_TRUE(same_srs(sidecar.wkt, original.wkt));

    // Moved with its folder, the sidecar still finds its raster.
    std::filesystem::create_directory(at("moved"));
    for (const char *name : {"s1_m4.raw", "s1_m4.txt", "s1_m4.vrt"})
        std::filesystem::rename(at(name), at(std::string("moved/") + name));
    EXPECT_EQ(read_geotiff(at("moved/s1_m4.vrt")).values[1], 612341);
}

TEST_F(BridgeTest, ImportRefusesValuesThatDoNotFitAndKeepsAnEarlierPair)
{
    write_geotiff(at("survey.tif"), survey(2, 2, {236, 655.36, 1076, 300}));
    write_pair(at("s"), PAIR_INPUT, DEM_M2, 1, 1, {42});
    const std::string before = read_file(at("s_m2.raw")) + read_file(at("s_m2.txt"));
    Outcome r = dem_gdal("import --type m2 --unit cm survey.tif s");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "2 cells do not fit _m2 in cm (0 to 65535); the first, line 0 column 1, holds "
                                "655.3599854 m: choose a coarser unit or --type m4"))
        << r.err;
    EXPECT_EQ(read_file(at("s_m2.raw")) + read_file(at("s_m2.txt")), before);
    EXPECT_FALSE(exists(at("s_m2.vrt")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 6); // survey, pair, .stdin/out/err

    r = dem_gdal("import --type m2 --unit dm survey.tif s_m2.raw"); // the suffix is taken off
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_pair_raster(at("s_m2.raw"), DEM_M2, 2, 2), (std::vector<long long>{2360, 6554, 10760, 3000}));
    EXPECT_EQ(dem_gdal("import --type m4 --unit dm survey.tif s_m2.raw").status, 1); // the other type's name
}

TEST_F(BridgeTest, ImportRefusesNodataCellsWithTheirCountOrFillsThem)
{
    Grid g = survey(3, 3, {100, -9999, 100.5, 101, NAN, 102, -9999, 103, 104});
    g.has_nodata = true;
    g.nodata = -9999;
    write_geotiff(at("survey.tif"), g);
    Outcome r = dem_gdal("import -t m4 -u cm survey.tif s");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "survey.tif has 3 nodata cells (of 9): fill them with --fill HEIGHT")) << r.err;
    EXPECT_FALSE(exists(at("s_m4.raw")));

    r = dem_gdal("import -t m4 -u cm --fill 99.25 survey.tif s");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "3 nodata cells filled with 99.25 m")) << r.out;
    EXPECT_EQ(read_pair_raster(at("s_m4.raw"), DEM_M4, 3, 3),
              (std::vector<long long>{10000, 9925, 10050, 10100, 9925, 10200, 9925, 10300, 10400}));
    EXPECT_EQ(dem_gdal("import -t m2 -u cm --fill -1 survey.tif s").status, 1);
}

TEST_F(BridgeTest, ImportNeedsSquareCellsInMetres)
{
    Grid g = survey(2, 2, {100, 100, 100, 100});
    g.gt[5] = -3;
    write_geotiff(at("oblong.tif"), g);
    Outcome r = dem_gdal("import -t m4 -u mm oblong.tif s");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cells are not square (2.5 x 3)")) << r.err;

    g = survey(2, 2, {100, 100, 100, 100});
    g.epsg = 4326;
    g.gt[0] = 14;
    g.gt[3] = 46;
    g.gt[1] = 0.001;
    g.gt[5] = -0.001;
    write_geotiff(at("degrees.tif"), g);
    EXPECT_TRUE(contains(dem_gdal("import -t m4 -u mm degrees.tif s").err, "geographic coordinates"));

    g = survey(2, 2, {100, 100, 100, 100});
    g.unit = "ft";
    write_geotiff(at("feet.tif"), g);
    r = dem_gdal("import -t m4 -u mm feet.tif s");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "is in 'ft': give --z-scale FACTOR")) << r.err;
    ASSERT_EQ(dem_gdal("import -t m4 -u mm --z-scale 0.3048 feet.tif s").status, 0);
    EXPECT_EQ(read_pair_raster(at("s_m4.raw"), DEM_M4, 2, 2)[0], 30480);

    g = survey(2, 2, {100, 100, 100, 100});
    g.has_gt = false;
    g.epsg = 0;
    write_geotiff(at("plain.tif"), g);
    EXPECT_TRUE(contains(dem_gdal("import -t m4 -u mm plain.tif p").err, "no geotransform"));
    ASSERT_EQ(dem_gdal("import -t m4 -u mm --pixel-size 5 plain.tif p").status, 0);
    EXPECT_EQ(read_file(at("p_m4.txt")), "2\n2\n4\n100000\n100000\n5\n");
}

TEST_F(BridgeTest, ExportRoundTripKeepsValuesAndGeoreferencing)
{
    // Heights of whole millimetres, as a float32 survey holds them.
    Grid g = survey(5, 6, {});
    for (int k = 0; k < 30; k++)
        g.values.push_back((612340 + 250 * (k / 6) - 123 * (k % 6)) / 1000.0);
    write_geotiff(at("survey.tif"), g);
    ASSERT_EQ(dem_gdal("import -t m4 -u mm survey.tif s").status, 0);
    Outcome r = dem_gdal("export s_m4.raw back.tif");
    ASSERT_EQ(r.status, 0) << r.err;

    Grid original = read_geotiff(at("survey.tif"));
    Grid back = read_geotiff(at("back.tif"));
    EXPECT_EQ(back.type, GDT_Float32);
    EXPECT_EQ(back.values, original.values);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(back.gt[k], original.gt[k]);
    EXPECT_TRUE(same_srs(back.wkt, original.wkt));
    EXPECT_TRUE(back.has_nodata);
    EXPECT_EQ(back.nodata, -9999);
    EXPECT_EQ(back.compression, "DEFLATE");
    EXPECT_EQ(back.block_x, 256);
    EXPECT_EQ(back.overviews, 0);

    ASSERT_EQ(dem_gdal("export --stored --overviews --georef survey.tif s_m4.txt stored.tif").status, 0);
    Grid stored = read_geotiff(at("stored.tif"));
    EXPECT_EQ(stored.type, GDT_Int32);
    EXPECT_EQ(stored.values[7], 612340 + 250 - 123);
    EXPECT_EQ(stored.scale, 0.001); // the unit read from the sidecar
    EXPECT_EQ(stored.nodata, -2147483648.0);
    EXPECT_EQ(stored.overviews, 1);
    EXPECT_TRUE(same_srs(stored.wkt, original.wkt));
}

TEST_F(BridgeTest, ExportOfResultsReadsM2AsSignedAndMarksTheBorder)
{
    write_pair(at("d"), PAIR_2D, DEM_M2, 3, 4, {0, 0, 0, 0, 0, 65531, 7, 0, 0, 0, 0, 0});
    EXPECT_TRUE(contains(dem_gdal("export d_2D_m2.txt d.tif").err, "--unit"));
    Outcome r = dem_gdal("export --unit mm --signed d_2D_m2.txt d.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "no georeferencing")) << r.out;
    const float n = -9999;
    Grid d = read_geotiff(at("d.tif"));
    EXPECT_EQ(d.values, (std::vector<double>{n, n, n, n, n, -0.005f, 0.007f, n, n, n, n, n}));

    ASSERT_EQ(dem_gdal("export --unit mm d_2D_m2.txt unsigned.tif").status, 0);
    EXPECT_EQ(read_geotiff(at("unsigned.tif")).values[5], 65.531f);

    ASSERT_EQ(dem_gdal("export --stored --signed --keep-border d_2D_m2.raw stored.tif").status, 0);
    Grid s = read_geotiff(at("stored.tif"));
    EXPECT_EQ(s.type, GDT_Int16);
    EXPECT_EQ(s.nodata, -32768);
    EXPECT_EQ(s.values, (std::vector<double>{0, 0, 0, 0, 0, -5, 7, 0, 0, 0, 0, 0}));
}

TEST_F(BridgeTest, ExportRefusesBadPairsAndNodataClashes)
{
    write_pair(at("a"), PAIR_INPUT, DEM_M2, 2, 2, {1, 65535, 3, 4});
    Outcome r = dem_gdal("export --stored a_m2.raw a.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "1 cells hold the nodata value 65535, the first at line 0 column 1")) << r.err;
    EXPECT_FALSE(exists(at("a.tif")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 5); // pair, .stdin/out/err
    EXPECT_TRUE(contains(dem_gdal("export --stored a_m2.raw ./a_m2.txt").err, "a file of the pair itself"));
    EXPECT_EQ(read_file(at("a_m2.txt")).substr(0, 6), "2\n2\n2\n");
    EXPECT_EQ(dem_gdal("export --stored --nodata 0 a_m2.raw a.tif").status, 0);

    write_pair(at("b"), PAIR_INPUT, DEM_M4, 2, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(contains(dem_gdal("export --signed -u m b_m4.raw x.tif").err, "--signed is for _m2 pairs"));
    EXPECT_TRUE(contains(dem_gdal("export -u m --georef a.tif b_m4.raw x.tif").err, "not the same frame"));
    EXPECT_TRUE(contains(dem_gdal("export -u m b_m4.raw nowhere/x.tif").err, "nowhere/x.tif: cannot be written: its folder nowhere/ does not exist"));
    r = dem_gdal("export -u m --co BLOCKXSIZE=7 b_m4.raw x.tif"); // tiles are multiples of 16
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "GDAL error: _TIFFVSetField")) << r.err;
    std::filesystem::resize_file(at("b_m4.raw"), 20);
    EXPECT_TRUE(contains(dem_gdal("export -u m b_m4.raw x.tif").err, "holds fewer values than the 2 x 3 frame"));
    EXPECT_FALSE(exists(at("x.tif")));
}

TEST_F(BridgeTest, ProgressBarOnLargeRastersUnlessQuiet)
{
    write_pair(at("big"), PAIR_INPUT, DEM_M2, 1024, 1024, std::vector<long long>(1024 * 1024, 7));
    Outcome r = dem_gdal("export --stored big_m2.raw big.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "0...10...20...30...40...50...60...70...80...90...100 - done.")) << r.out;
    EXPECT_FALSE(contains(dem_gdal("export -q --stored big_m2.raw big.tif").out, "done"));
    write_pair(at("small"), PAIR_INPUT, DEM_M2, 2, 2, {1, 2, 3, 4});
    EXPECT_FALSE(contains(dem_gdal("export --stored small_m2.raw small.tif").out, "done"));
}
