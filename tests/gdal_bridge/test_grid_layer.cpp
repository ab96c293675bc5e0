// What the companion programs share about rasters on the grid of the DEMs:
// the one grid check, the one GeoTIFF writer and its defaults, and the one
// reader of a raster on the grid or of polygons burnt onto it.
#include "gdal_test_files.h"

#include "geotiff_output.h"
#include "grid_conformance.h"
#include "grid_layer.h"

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

// The grid of Grid g as dem_input gives it (no CRS when epsg is 0).
GridFacts facts_of(const std::string &path)
{
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    EXPECT_NE(ds, nullptr) << path;
    GridFacts g = raster_grid(ds);
    GDALClose(ds);
    return g;
}

Grid grid_of(int lines, int columns, double value)
{
    Grid g;
    g.lines = lines;
    g.columns = columns;
    g.values.assign(static_cast<size_t>(lines) * columns, value);
    return g;
}

class GridLayerTest : public BridgeTest {};

TEST_F(GridLayerTest, OneRuleForSizeGeotransformAndCoordinateSystem)
{
    write_geotiff(at("a.tif"), grid_of(4, 5, 1));
    const GridFacts a = facts_of(at("a.tif"));
    std::string what;
    EXPECT_TRUE(on_same_grid(a, a, "BEFORE", "the raster", &what)) << what;

    GridFacts other = a;
    other.nb_col = 6;
    EXPECT_FALSE(on_same_grid(a, other, "BEFORE", "the raster", &what));
    EXPECT_EQ(what, "the sizes differ: BEFORE has 4 lines x 5 columns, the raster 4 lines x 6 columns");
    EXPECT_FALSE(layer_on_grid(a, other, "BEFORE", &what));
    EXPECT_EQ(what, "not on the grid of BEFORE: 4 lines x 6 columns against 4 x 5");

    // The origin may move the far corner by a millionth of a cell, not more.
    other = a;
    other.geotransform[0] += 0.9e-6 * 2.5;
    EXPECT_TRUE(on_same_grid(a, other, "BEFORE", "the raster", &what)) << what;
    other.geotransform[0] += 0.2e-6 * 2.5;
    EXPECT_FALSE(on_same_grid(a, other, "BEFORE", "the raster", &what));
    EXPECT_NE(what.find("origin x"), std::string::npos) << what;
    // The cell width counts once a column: a millionth of a cell over 5.
    other = a;
    other.geotransform[1] += 0.3e-6 * 2.5;
    EXPECT_FALSE(on_same_grid(a, other, "BEFORE", "the raster", &what));
    EXPECT_NE(what.find("cell width"), std::string::npos) << what;

    // One side without a geotransform is refused, whichever it is.
    Grid plain = grid_of(4, 5, 1);
    plain.has_gt = false;
    plain.epsg = 0;
    write_geotiff(at("plain.tif"), plain);
    GridFacts no_gt = facts_of(at("plain.tif"));
    ASSERT_FALSE(no_gt.has_geotransform);
    no_gt.crs_wkt = a.crs_wkt;
    EXPECT_FALSE(on_same_grid(a, no_gt, "BEFORE", "the raster", &what));
    EXPECT_NE(what.find("only BEFORE is georeferenced"), std::string::npos) << what;
    EXPECT_FALSE(on_same_grid(no_gt, a, "BEFORE", "the raster", &what));
    EXPECT_NE(what.find("only the raster is georeferenced"), std::string::npos) << what;
    GridFacts neither = no_gt;
    neither.geotransform[0] = 12345; // not compared without georeferencing
    EXPECT_TRUE(on_same_grid(no_gt, neither, "BEFORE", "the raster", &what)) << what;

    // Coordinate systems: the same, or none on either side.
    Grid utm34 = grid_of(4, 5, 1);
    utm34.epsg = 32634;
    write_geotiff(at("utm34.tif"), utm34);
    EXPECT_FALSE(on_same_grid(a, facts_of(at("utm34.tif")), "BEFORE", "the raster", &what));
    EXPECT_NE(what.find("the coordinate systems differ"), std::string::npos) << what;
    other = a;
    other.crs_wkt.clear();
    EXPECT_FALSE(on_same_grid(a, other, "BEFORE", "the raster", &what));
    EXPECT_EQ(what, "only BEFORE has a coordinate system");
}

TEST_F(GridLayerTest, EveryLayerOnTheGridGoesThroughTheSameCheck)
{
    write_geotiff(at("dem.tif"), grid_of(4, 5, 1));
    const GridFacts dem = facts_of(at("dem.tif"));
    FeatureBurn burn;
    burn.value = [](OGRFeatureH, double *v, std::string *) {
        *v = 1;
        return true;
    };
    // A raster without georeferencing beside georeferenced DEMs: refused,
    // as the second survey would be.
    Grid plain = grid_of(4, 5, 1);
    plain.has_gt = false;
    plain.epsg = 0;
    write_geotiff(at("plain.tif"), plain);
    GridLayer layer;
    std::string error;
    EXPECT_FALSE(open_grid_layer(at("plain.tif"), dem, "REFERENCE", true, burn, "", &layer, &error));
    EXPECT_NE(error.find("not on the grid of REFERENCE: only REFERENCE is georeferenced"), std::string::npos)
        << error;
    EXPECT_NE(error.find("must lie on REFERENCE's grid"), std::string::npos) << error;
    // Shifted by half a cell.
    Grid shifted = grid_of(4, 5, 1);
    shifted.gt[3] += 1.25;
    write_geotiff(at("shifted.tif"), shifted);
    EXPECT_FALSE(open_grid_layer(at("shifted.tif"), dem, "BEFORE", true, burn, "", &layer, &error));
    EXPECT_NE(error.find("origin y"), std::string::npos) << error;

    // On the grid: nodata in the band's own type is NaN, the rest as stored.
    Grid mask = grid_of(4, 5, 1);
    mask.type = GDT_Float32;
    mask.has_nodata = true;
    mask.nodata = 0.1; // a float32 band holds the float nearest 0.1
    mask.values[3] = 0.1;
    mask.values[4] = 0;
    write_geotiff(at("mask.tif"), mask);
    ASSERT_TRUE(open_grid_layer(at("mask.tif"), dem, "BEFORE", true, burn, "", &layer, &error)) << error;
    EXPECT_FALSE(layer.from_vector);
    EXPECT_FALSE(layer.covers_nothing);
    std::vector<double> line(5);
    ASSERT_TRUE(read_layer_lines(&layer, 0, 1, line.data(), &error)) << error;
    EXPECT_EQ(line[0], 1);
    EXPECT_TRUE(std::isnan(line[3]));
    EXPECT_EQ(line[4], 0);
    close_grid_layer(&layer);
}

// A square polygon in the DEMs' coordinate system, covering columns 1 and 2
// of lines 1 and 2 of a grid whose origin is (500000, 4600000), 2.5 m cells.
const char *const SQUARE = R"({"type": "FeatureCollection",
 "crs": {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::32633"}},
 "features": [{"type": "Feature", "properties": {},
  "geometry": {"type": "Polygon", "coordinates": [[[500002.5,4599995],[500007.5,4599995],
   [500007.5,4599997.5],[500002.5,4599997.5],[500002.5,4599995]]]}}]})";

TEST_F(GridLayerTest, PolygonsAreBurntIntoAWorkingFileNotIntoMemory)
{
    write_geotiff(at("dem.tif"), grid_of(4, 5, 1));
    const GridFacts dem = facts_of(at("dem.tif"));
    std::ofstream(at("square.geojson")) << SQUARE;
    FeatureBurn burn;
    burn.value = [](OGRFeatureH, double *v, std::string *) {
        *v = 7;
        return true;
    };
    GridLayer layer;
    std::string error;
    ASSERT_TRUE(open_grid_layer(at("square.geojson"), dem, "BEFORE", true, burn, "", &layer, &error)) << error;
    EXPECT_TRUE(layer.from_vector);
    // A GeoTIFF on disk, read back by lines: GDAL's memory driver would hold
    // the whole grid.
    EXPECT_STREQ(GDALGetDriverShortName(GDALGetDatasetDriver(layer.dataset)), "GTiff");
    const std::string burnt = layer.burnt_path;
    EXPECT_TRUE(std::filesystem::is_regular_file(burnt)) << burnt;
    // In the shared temporary folder, readable by its owner alone.
    const std::filesystem::perms others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    EXPECT_EQ(std::filesystem::status(burnt).permissions() & others, std::filesystem::perms::none) << burnt;
    std::vector<double> lines(10);
    ASSERT_TRUE(read_layer_lines(&layer, 1, 2, lines.data(), &error)) << error;
    EXPECT_EQ(lines, (std::vector<double>{0, 7, 7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(layer.covers_nothing);
    close_grid_layer(&layer);
    EXPECT_FALSE(std::filesystem::exists(burnt));

    // A layer without a coordinate system cannot be placed on a grid that has one.
    std::ofstream(at("bare.csv")) << "WKT,id\n\"POLYGON((500002.5 4599995,500007.5 4599995,500007.5 4599997.5,"
                                     "500002.5 4599995))\",1\n";
    EXPECT_FALSE(open_grid_layer(at("bare.csv"), dem, "BEFORE", true, burn, "", &layer, &error));
    EXPECT_NE(error.find("has no coordinate system, so its features cannot be placed on the grid"),
              std::string::npos)
        << error;
}

TEST_F(GridLayerTest, OneWriterWithOneSetOfDefaults)
{
    const double gt[6] = {500000, 2.5, 0, 4600000, 0, -2.5};
    GeoTiffLayout layout;
    layout.nb_lig = 40;
    layout.nb_col = 300;
    layout.geotransform = gt;
    layout.has_nodata = true;
    layout.nodata = -9999;
    layout.unit = "m";
    std::string error;
    GDALDatasetH ds = create_geotiff(at("out.tif"), at("out.tif"), layout, &error);
    ASSERT_NE(ds, nullptr) << error;
    ASSERT_TRUE(close_geotiff(ds, at("out.tif"), &error)) << error;
    Grid back = read_geotiff(at("out.tif"));
    EXPECT_EQ(back.compression, "DEFLATE");
    EXPECT_EQ(back.block_x, 256);
    EXPECT_EQ(back.block_y, 48); // no higher than the frame, in steps of 16
    EXPECT_EQ(back.nodata, -9999);
    EXPECT_EQ(back.unit, "m");
    ds = GDALOpen(at("out.tif").c_str(), GA_ReadOnly);
    const char *predictor = GDALGetMetadataItem(ds, "PREDICTOR", "IMAGE_STRUCTURE");
    EXPECT_TRUE(predictor == nullptr || std::string(predictor) == "1") << predictor;
    GDALClose(ds);

    // The user's options over the defaults.
    layout.options = {"COMPRESS=ZSTD", "BLOCKYSIZE=16"};
    ds = create_geotiff(at("zstd.tif"), at("zstd.tif"), layout, &error);
    ASSERT_NE(ds, nullptr) << error;
    ASSERT_TRUE(close_geotiff(ds, at("zstd.tif"), &error)) << error;
    back = read_geotiff(at("zstd.tif"));
    EXPECT_EQ(back.compression, "ZSTD");
    EXPECT_EQ(back.block_y, 16);

    // A wide grid's low tiles are twice as wide (fewer tiles to set up).
    layout.options.clear();
    layout.nb_col = 10000;
    ds = create_geotiff(at("wide.tif"), at("wide.tif"), layout, &error);
    ASSERT_NE(ds, nullptr) << error;
    ASSERT_TRUE(close_geotiff(ds, at("wide.tif"), &error)) << error;
    back = read_geotiff(at("wide.tif"));
    EXPECT_EQ(back.block_x, 512);
    EXPECT_EQ(back.block_y, 48);

    // A file GDAL cannot create says which.
    EXPECT_EQ(create_geotiff(at("none/x.tif"), at("none/x.tif"), layout, &error), nullptr);
    EXPECT_NE(error.find("none/x.tif: cannot create the GeoTIFF"), std::string::npos) << error;
}

} // namespace
