// dem_coreg on GeoTIFFs made from the demo DEM (344 x 403 cells of 90 m).
//   Recovery: the DEM shifted by GDAL's own warper (cubic) by a known
//     fraction of a cell and raised: the shift within 0.1 cell, the bias
//     within 0.05 m, the NMAD of dh falls; OUT lies on REFERENCE's grid and
//     differs little from it.
//   Unstable ground: the demo's second survey (a landslide) shifted the same
//     way, aligned with the landslide's outline as --unstable polygons.
//   Refusals: a flat plane, a mask leaving too few cells: exit 1, nothing
//     written, an earlier OUT intact; --force writes the bias alone. An
//     output that cannot be written, a mask off the grid.
//   The demo's own pairs (no georeferencing): no shift, OUT their heights.
//   Working files: polygon masks rasterised in the run's private folder,
//     nothing in the system's temporary folder (dem_coreg and dem_change).
#include "tool_test_support.h"

#include <cpl_conv.h>
#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace {

const int LINES = 344, COLS = 403;
const double CELL = 90;
const double X0 = 500000, Y0 = 4800000;
const int EPSG = 32632;

std::string wkt_of(int epsg)
{
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, epsg);
    char *wkt = nullptr;
    OSRExportToWkt(srs, &wkt);
    std::string text = wkt;
    CPLFree(wkt);
    OSRDestroySpatialReference(srs);
    return text;
}

// A float32 GeoTIFF of the values with origin (x0, y0) and 90 m cells.
void write_tif(const std::string &path, int lines, int cols, const std::vector<double> &values, double x0, double y0,
               bool nodata = false)
{
    GDALAllRegister();
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), cols, lines, 1, GDT_Float32, nullptr);
    ASSERT_NE(ds, nullptr);
    double gt[6] = {x0, CELL, 0, y0, 0, -CELL};
    GDALSetGeoTransform(ds, gt);
    GDALSetProjection(ds, wkt_of(EPSG).c_str());
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    if (nodata)
        GDALSetRasterNoDataValue(band, -9999);
    std::vector<float> f(values.begin(), values.end());
    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, cols, lines, f.data(), cols, lines, GDT_Float32, 0, 0), CE_None);
    GDALClose(ds);
}

std::vector<double> read_tif(const std::string &path, double gt[6], double *nodata)
{
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    EXPECT_NE(ds, nullptr);
    if (ds == nullptr)
        return {};
    GDALGetGeoTransform(ds, gt);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    EXPECT_EQ(GDALGetRasterDataType(band), GDT_Float32);
    *nodata = GDALGetRasterNoDataValue(band, nullptr);
    const int cols = GDALGetRasterXSize(ds), lines = GDALGetRasterYSize(ds);
    std::vector<double> v(static_cast<size_t>(lines) * cols);
    EXPECT_EQ(GDALRasterIO(band, GF_Read, 0, 0, cols, lines, v.data(), cols, lines, GDT_Float64, 0, 0), CE_None);
    GDALClose(ds);
    return v;
}

// The demo's surveys in metres: the first (_m2, metres), the second (_m4,
// decimetres), which holds a landslide.
std::vector<double> demo_heights(const std::string &name, int bytes, double metres_per_unit)
{
    std::ifstream in(std::string(DEMO_DIR) + "/" + name, std::ios::binary);
    std::vector<unsigned char> raw(static_cast<size_t>(LINES) * COLS * bytes);
    in.read(reinterpret_cast<char *>(raw.data()), static_cast<std::streamsize>(raw.size()));
    EXPECT_TRUE(in.good());
    std::vector<double> v(static_cast<size_t>(LINES) * COLS);
    for (size_t k = 0; k < v.size(); ++k) {
        const unsigned char *b = &raw[k * bytes];
        const long long stored = bytes == 2 ? static_cast<long long>(b[0] | b[1] << 8)
                                            : static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 |
                                                                   static_cast<uint32_t>(b[3]) << 24);
        v[k] = stored * metres_per_unit;
    }
    return v;
}

// A GeoJSON of one rectangle in the grid's coordinate system (EPSG), from
// x left to right and y top to bottom.
std::string box_geojson(double left, double right, double top, double bottom)
{
    char polygon[512];
    std::snprintf(polygon, sizeof polygon, "[[[%.1f,%.1f],[%.1f,%.1f],[%.1f,%.1f],[%.1f,%.1f],[%.1f,%.1f]]]", left,
                  top, right, top, right, bottom, left, bottom, left, top);
    return "{\"type\":\"FeatureCollection\",\"crs\":{\"type\":\"name\",\"properties\":{\"name\":"
           "\"urn:ogc:def:crs:EPSG::" +
           std::to_string(EPSG) +
           "\"}},\"features\":[{\"type\":\"Feature\",\"properties\":{},"
           "\"geometry\":{\"type\":\"Polygon\",\"coordinates\":" +
           std::string(polygon) + "}}]}";
}

// The scar and the deposit of the demo's landslide (examples/images/demo/
// landslide.txt: lines 269 to 326, columns 172 to 211) inside a box of
// lines 255 to 345 and columns 160 to 225.
std::string landslide_geojson()
{
    return box_geojson(X0 + 160 * CELL, X0 + 225 * CELL, Y0 - 255 * CELL, Y0 - 345 * CELL);
}

class DemCoregTest : public ScratchTest {
protected:
    // The values raised by bias and moved by (dx, dy) metres, warped back
    // onto the demo's grid by GDAL's warper with cubic convolution: a
    // feature at (x, y) in the values lies at (x + dx, y + dy) in the result.
    void shifted(const std::vector<double> &values, double dx, double dy, double bias, const std::string &name)
    {
        std::vector<double> raised(values);
        for (double &v : raised)
            v += bias;
        write_tif(path("moved_source.tif"), LINES, COLS, raised, X0 + dx, Y0 + dy);
        GDALDatasetH src = GDALOpen(path("moved_source.tif").c_str(), GA_ReadOnly);
        ASSERT_NE(src, nullptr);
        const std::string te[4] = {std::to_string(X0), std::to_string(Y0 - LINES * CELL),
                                   std::to_string(X0 + COLS * CELL), std::to_string(Y0)};
        const char *args[] = {"-r", "cubic", "-te", te[0].c_str(), te[1].c_str(), te[2].c_str(), te[3].c_str(),
                              "-tr", "90", "90", "-dstnodata", "-9999", "-ot", "Float32", nullptr};
        GDALWarpAppOptions *options = GDALWarpAppOptionsNew(const_cast<char **>(args), nullptr);
        int usage_error = 0;
        GDALDatasetH out = GDALWarp(path(name).c_str(), nullptr, 1, &src, options, &usage_error);
        GDALWarpAppOptionsFree(options);
        ASSERT_NE(out, nullptr);
        GDALClose(out);
        GDALClose(src);
    }

    Outcome coreg(const std::vector<std::string> &args) { return run_program(DEM_COREG, args, dir); }

    nlohmann::json json(const std::string &name) { return nlohmann::json::parse(file_bytes(path(name))); }
};

TEST_F(DemCoregTest, RealDemShiftedByGdalWarperIsRecovered)
{
    const std::vector<double> before = demo_heights("before_m2.raw", 2, 1);
    write_tif(path("ref.tif"), LINES, COLS, before, X0, Y0);
    const double dx = 0.3 * CELL, dy = -0.2 * CELL, bias = 2.5;
    shifted(before, dx, dy, bias, "moved.tif");

    for (const char *resampling : {"bilinear", "cubic"}) {
        SCOPED_TRACE(resampling);
        const Outcome r = coreg({"ref.tif", "moved.tif", "out", "--json", "r.json", "--resample", resampling});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("every cell is taken as stable"), std::string::npos);
        const nlohmann::json j = json("r.json");
        EXPECT_NEAR(j["shift_x_m"].get<double>(), dx, 0.1 * CELL);
        EXPECT_NEAR(j["shift_y_m"].get<double>(), dy, 0.1 * CELL);
        EXPECT_NEAR(j["shift_x_cells"].get<double>(), 0.3, 0.1);
        EXPECT_NEAR(j["shift_y_cells"].get<double>(), -0.2, 0.1);
        EXPECT_NEAR(j["bias_z_m"].get<double>(), bias, 0.05);
        EXPECT_TRUE(j["converged"].get<bool>());
        EXPECT_GT(j["cells_used"].get<long long>(), 50000);
        const double nmad_before = j["before"]["nmad_m"], nmad_after = j["after"]["nmad_m"];
        EXPECT_LT(nmad_after, nmad_before / 2);
        EXPECT_NEAR(j["before"]["median_m"].get<double>(), bias, 1.0);
        std::cout << "[ figures  ] " << resampling << ": shift " << j["shift_x_m"] << " m, " << j["shift_y_m"]
                  << " m (" << j["shift_x_cells"] << ", " << j["shift_y_cells"] << " cells), bias " << j["bias_z_m"]
                  << " m, " << j["iterations"] << " iterations, " << j["cells_used"] << " cells; NMAD "
                  << nmad_before << " -> " << nmad_after << " m, median " << j["before"]["median_m"] << " -> "
                  << j["after"]["median_m"] << " m\n";

        // OUT: on REFERENCE's grid, close to it inside, nodata on the edge
        // TO_ALIGN does not cover (it lies 0.3 cell east: the last column).
        double gt[6], nodata = 0;
        const std::vector<double> out = read_tif(path("out.tif"), gt, &nodata);
        ASSERT_EQ(out.size(), before.size());
        EXPECT_EQ(gt[0], X0);
        EXPECT_EQ(gt[3], Y0);
        EXPECT_EQ(gt[1], CELL);
        std::vector<double> gaps;
        long double sum = 0;
        for (int l = 3; l < LINES - 3; ++l)
            for (int c = 3; c < COLS - 3; ++c) {
                const size_t k = static_cast<size_t>(l) * COLS + c;
                sum += out[k] - before[k];
                gaps.push_back(std::fabs(out[k] - before[k]));
            }
        std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
        EXPECT_LT(gaps[gaps.size() / 2], nmad_before / 3);
        EXPECT_NEAR(static_cast<double>(sum / gaps.size()), 0, 0.2);
        EXPECT_EQ(out[5], out[5]); // not NaN
        EXPECT_EQ(out[static_cast<size_t>(LINES / 2) * COLS + COLS - 1], nodata);
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"moved.tif", "moved_source.tif", "out.tif", "r.json", "ref.tif"}));
}

TEST_F(DemCoregTest, GridInDegreesIsFittedInMetresAndReportsBoth)
{
    // Smooth hills on a WGS 84 grid of 3" cells (240 x 300) centred at
    // 45 N, where a degree of longitude spans 78 847 m and one of latitude
    // 111 132 m (the tabled lengths of a degree on WGS 84). TO_ALIGN is the
    // same terrain moved 25 m east and 30 m south, raised 1.5 m.
    const int lines = 240, cols = 300;
    const double step = 1.0 / 1200, lon0 = 7, lat0 = 45.1, east = 78847, north = 111132;
    const double sx = 25, sy = -30, bias = 1.5;
    const double two_pi = 2 * M_PI;
    auto terrain = [&](double e, double n) {
        return 400 + 150 * std::sin(two_pi * e / 4000) * std::cos(two_pi * n / 5000) + 80 * std::sin(two_pi * (e + n) / 7000);
    };
    const double gt[6] = {lon0, step, 0, lat0, 0, -step};
    for (int which = 0; which < 2; which++) {
        std::vector<float> v(static_cast<size_t>(lines) * cols);
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < cols; j++) {
                const double e = (j + 0.5) * step * east, n = -(i + 0.5) * step * north;
                v[static_cast<size_t>(i) * cols + j] =
                    static_cast<float>(which == 0 ? terrain(e, n) : terrain(e - sx, n - sy) + bias);
            }
        GDALAllRegister();
        GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path(which == 0 ? "ref.tif" : "moved.tif").c_str(),
                                     cols, lines, 1, GDT_Float32, nullptr);
        ASSERT_NE(ds, nullptr);
        GDALSetGeoTransform(ds, const_cast<double *>(gt));
        GDALSetProjection(ds, wkt_of(4326).c_str());
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, 0, cols, lines, v.data(), cols, lines, GDT_Float32,
                               0, 0),
                  CE_None);
        GDALClose(ds);
    }
    const Outcome r = coreg({"ref.tif", "moved.tif", "out", "--json", "r.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = json("r.json");
    EXPECT_NEAR(j["shift_x_m"].get<double>(), sx, 0.5) << j.dump();
    EXPECT_NEAR(j["shift_y_m"].get<double>(), sy, 0.5) << j.dump();
    EXPECT_NEAR(j["shift_x_deg"].get<double>(), sx / east, 0.5 / east) << j.dump();
    EXPECT_NEAR(j["shift_y_deg"].get<double>(), sy / north, 0.5 / north) << j.dump();
    EXPECT_NEAR(j["shift_x_cells"].get<double>(), sx / (step * east), 0.01) << j.dump();
    EXPECT_NEAR(j["bias_z_m"].get<double>(), bias, 0.05) << j.dump();
    EXPECT_NEAR(j["metres_per_degree_x"].get<double>(), east, 1) << j.dump();
    EXPECT_NEAR(j["metres_per_degree_y"].get<double>(), north, 1) << j.dump();
    EXPECT_DOUBLE_EQ(j["scale_latitude_deg"].get<double>(), 45);
    EXPECT_NE(r.out.find("in degrees"), std::string::npos) << r.out;
    // OUT on REFERENCE's grid in degrees, the terrain back in place.
    double out_gt[6], nodata;
    const std::vector<double> out = read_tif(path("out.tif"), out_gt, &nodata);
    ASSERT_EQ(out.size(), static_cast<size_t>(lines) * cols);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(out_gt[k], gt[k]) << k;
    const int i = lines / 2, c = cols / 2;
    EXPECT_NEAR(out[static_cast<size_t>(i) * cols + c], terrain((c + 0.5) * step * east, -(i + 0.5) * step * north), 0.3);

    // The same grid in NAD83 is refused, both systems named.
    GDALDatasetH ds = GDALOpen(path("moved.tif").c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALSetProjection(ds, wkt_of(4269).c_str());
    GDALClose(ds);
    const Outcome refused = coreg({"ref.tif", "moved.tif", "out2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("REFERENCE's is WGS 84 (EPSG:4326), TO_ALIGN's NAD83 (EPSG:4269): put TO_ALIGN into "
                               "REFERENCE's first (gdalwarp -t_srs EPSG:4326)"),
              std::string::npos)
        << refused.err;
}

TEST_F(DemCoregTest, LandslideLeftOutByItsOutline)
{
    const std::vector<double> before = demo_heights("before_m2.raw", 2, 1);
    const std::vector<double> after = demo_heights("after_m4.raw", 4, 0.1);
    write_tif(path("ref.tif"), LINES, COLS, before, X0, Y0);
    const double dx = -0.4 * CELL, dy = 0.25 * CELL, bias = -1.2;
    shifted(after, dx, dy, bias, "moved.tif");
    // The landslide's box as polygons in the grid's coordinate system.
    write_text(path("landslide.geojson"), landslide_geojson());

    const Outcome r = coreg({"ref.tif", "moved.tif", "out.tif", "--unstable", "landslide.geojson", "--json", "r.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("every cell"), std::string::npos);
    const nlohmann::json j = json("r.json");
    EXPECT_NEAR(j["shift_x_cells"].get<double>(), -0.4, 0.1);
    EXPECT_NEAR(j["shift_y_cells"].get<double>(), 0.25, 0.1);
    EXPECT_NEAR(j["bias_z_m"].get<double>(), bias, 0.05);
    // The 90 x 65 cells whose centres lie in the box are not stable ground;
    // nor are the edge cells TO_ALIGN does not cover.
    EXPECT_LE(j["stable_cells"].get<long long>(), LINES * COLS - 90 * 65);
    EXPECT_GT(j["stable_cells"].get<long long>(), LINES * COLS - 90 * 65 - 3 * (LINES + COLS));
}

TEST_F(DemCoregTest, DemPairsOfTheSameFrameNeedNoShift)
{
    // The demo's pairs (no georeferencing, 90 m cells from the descriptor):
    // the same grid, the landslide the only change. No shift, no bias, and
    // OUT holds the second survey's heights in metres, cell for cell.
    const std::string demo = DEMO_DIR;
    const Outcome r = coreg({demo + "/before_m2.raw", demo + "/after_m4.raw", "out", "--unit-ref", "m",
                             "--unit-align", "dm", "--json", "r.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = json("r.json");
    EXPECT_EQ(j["shift_x_m"].get<double>(), 0);
    EXPECT_EQ(j["shift_y_m"].get<double>(), 0);
    EXPECT_EQ(j["bias_z_m"].get<double>(), 0);
    EXPECT_EQ(j["iterations"].get<int>(), 1);
    double gt[6], nodata = 0;
    const std::vector<double> out = read_tif(path("out.tif"), gt, &nodata);
    EXPECT_EQ(gt[1], CELL);
    EXPECT_EQ(gt[5], -CELL);
    const std::vector<double> after = demo_heights("after_m4.raw", 4, 0.1);
    ASSERT_EQ(out.size(), after.size());
    for (size_t k = 0; k < out.size(); ++k)
        ASSERT_EQ(out[k], static_cast<float>(after[k])) << k;
}

TEST_F(DemCoregTest, PolygonsWithoutACoordinateSystemAndBadOptionsAreRefused)
{
    const int n = 60;
    write_tif(path("ref.tif"), n, n, std::vector<double>(n * n, 300), X0, Y0);
    write_tif(path("up.tif"), n, n, std::vector<double>(n * n, 301), X0, Y0);
    // A layer GDAL's rasteriser could not place would leave every cell stable.
    write_text(path("nocrs.csv"), "WKT,id\n\"POLYGON((0 0,1 0,1 1,0 0))\",1\n");
    Outcome r = coreg({"ref.tif", "up.tif", "out.tif", "--unstable", "nocrs.csv", "--force"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nocrs.csv: its layer nocrs has no coordinate system"), std::string::npos) << r.err;
    // Polygons far from the grid leave every cell stable, and say so.
    write_text(path("far.geojson"),
               "{\"type\":\"FeatureCollection\",\"crs\":{\"type\":\"name\",\"properties\":{\"name\":"
               "\"urn:ogc:def:crs:EPSG::32632\"}},\"features\":[{\"type\":\"Feature\",\"properties\":{},"
               "\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[10,0],[10,10],[0,0]]]}}]}");
    r = coreg({"ref.tif", "up.tif", "out.tif", "--unstable", "far.geojson", "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("far.geojson: its polygons cover no cell of REFERENCE's grid"), std::string::npos) << r.err;
    std::remove(path("out.tif").c_str());
    std::remove(path("far.geojson").c_str());
    EXPECT_EQ(coreg({"ref.tif", "up.tif", "out.tif", "--pixel", "nan"}).status, 2);
    EXPECT_EQ(coreg({"ref.tif", "up.tif", "out.tif", "--co", "NOEQUALS"}).status, 2);
    EXPECT_EQ(files(), (std::vector<std::string>{"nocrs.csv", "ref.tif", "up.tif"}));
}

TEST_F(DemCoregTest, UndeterminedShiftIsRefusedWithoutWriting)
{
    // A flat plane, raised by 1 m.
    const int n = 60;
    write_tif(path("flat.tif"), n, n, std::vector<double>(n * n, 300), X0, Y0);
    write_tif(path("flat_up.tif"), n, n, std::vector<double>(n * n, 301), X0, Y0);
    write_text(path("out.tif"), "an earlier result");
    Outcome r = coreg({"flat.tif", "flat_up.tif", "out.tif", "--json", "r.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the shift cannot be determined"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("slopes between 3 and 70 degrees"), std::string::npos) << r.err;
    EXPECT_EQ(file_bytes(path("out.tif")), "an earlier result");
    EXPECT_EQ(files(), (std::vector<std::string>{"flat.tif", "flat_up.tif", "out.tif"}));

    // Forced: the bias alone is removed.
    r = coreg({"flat.tif", "flat_up.tif", "out.tif", "--force", "--json", "r.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("--force applies no shift"), std::string::npos);
    EXPECT_FALSE(json("r.json")["determined"].get<bool>());
    double gt[6], nodata = 0;
    const std::vector<double> out = read_tif(path("out.tif"), gt, &nodata);
    ASSERT_EQ(out.size(), static_cast<size_t>(n * n));
    EXPECT_EQ(out[0], 300);
    EXPECT_EQ(out[n * n - 1], 300);

    // The real DEM, but a stable mask of 12 x 12 cells.
    const std::vector<double> before = demo_heights("before_m2.raw", 2, 1);
    write_tif(path("ref.tif"), LINES, COLS, before, X0, Y0);
    shifted(before, 0.3 * CELL, 0.1 * CELL, 1, "moved.tif");
    std::vector<double> mask(static_cast<size_t>(LINES) * COLS, 0);
    for (int l = 100; l < 112; ++l)
        for (int c = 200; c < 212; ++c)
            mask[static_cast<size_t>(l) * COLS + c] = 1;
    write_tif(path("mask.tif"), LINES, COLS, mask, X0, Y0);
    r = coreg({"ref.tif", "moved.tif", "out.tif", "--stable", "mask.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
    EXPECT_EQ(out, read_tif(path("out.tif"), gt, &nodata)); // the forced result of before, intact

    // An output folder that does not exist is said before any fit.
    r = coreg({"ref.tif", "moved.tif", "missing/out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing/out.tif: cannot be written"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    // A mask off REFERENCE's grid is refused as such.
    write_tif(path("small_mask.tif"), 10, 10, std::vector<double>(100, 1), X0, Y0);
    r = coreg({"ref.tif", "moved.tif", "out.tif", "--stable", "small_mask.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("must lie on REFERENCE's grid"), std::string::npos) << r.err;
}

} // namespace

#ifdef DEM_CHANGE
// dem_change --coregister aligns AFTER with the same code before
// differencing: its figures are dem_coreg's, and the change a shift and a
// bias alone made all but vanishes from the budget.
TEST_F(DemCoregTest, DemChangeAlignsAfterFirstWithTheSameFigures)
{
    const std::vector<double> before = demo_heights("before_m2.raw", 2, 1);
    write_tif(path("ref.tif"), LINES, COLS, before, X0, Y0);
    shifted(before, 0.3 * CELL, -0.2 * CELL, 2.5, "moved.tif");

    ASSERT_EQ(coreg({"ref.tif", "moved.tif", "out.tif", "--json", "coreg.json"}).status, 0);
    const Outcome plain = run_program(DEM_CHANGE, {"ref.tif", "moved.tif", "plain", "--json", "plain.json"}, dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Outcome aligned =
        run_program(DEM_CHANGE, {"ref.tif", "moved.tif", "aligned", "--coregister", "--json", "aligned.json"}, dir);
    ASSERT_EQ(aligned.status, 0) << aligned.err;
    EXPECT_NE(aligned.out.find("AFTER was aligned onto BEFORE first"), std::string::npos) << aligned.out;

    const nlohmann::json c = json("coreg.json"), a = json("aligned.json")["coregistration"];
    for (const char *key : {"shift_x_m", "shift_y_m", "bias_z_m", "cells_used"})
        EXPECT_EQ(a[key], c[key]) << key;
    EXPECT_NEAR(a["shift_x_cells"].get<double>(), 0.3, 0.1);
    EXPECT_NEAR(a["bias_z_m"].get<double>(), 2.5, 0.05);

    // The raised surface shows as about 2.5 m times the area without the
    // alignment, and as little with it.
    auto net_3D = [](const nlohmann::json &j) { return j["budgets"][1]["net"]["volume_m3"].get<double>(); };
    const double raw = net_3D(json("plain.json")), corrected = net_3D(json("aligned.json"));
    EXPECT_GT(raw, 2.4 * CELL * CELL * (LINES - 4) * (COLS - 4));
    EXPECT_LT(std::fabs(corrected), 0.01 * raw);

    // --stable and --unstable belong to the alignment.
    EXPECT_EQ(run_program(DEM_CHANGE, {"ref.tif", "moved.tif", "x", "--unstable", "ref.tif"}, dir).status, 2);
}

// The polygons of --stable and --unstable are rasterised in the run's own
// private folder beside its outputs, never in the system's temporary
// folder: with TMPDIR an empty folder of the test's, that folder is still
// empty after dem_coreg, dem_change --error-from-stable and dem_change
// --coregister --error-from-stable (the masks opened twice), each run done
// and its private folder gone.
TEST_F(DemCoregTest, PolygonMasksAreRasterisedInTheRunsOwnFolder)
{
    write_tif(path("ref.tif"), LINES, COLS, demo_heights("before_m2.raw", 2, 1), X0, Y0);
    shifted(demo_heights("after_m4.raw", 4, 0.1), 0.3 * CELL, -0.2 * CELL, 1, "moved.tif");
    write_text(path("stable.geojson"),
               box_geojson(X0 + 5 * CELL, X0 + (COLS - 5) * CELL, Y0 - 5 * CELL, Y0 - (LINES - 5) * CELL));
    write_text(path("landslide.geojson"), landslide_geojson());
    const std::string tmp = path("tmp");
    ASSERT_TRUE(std::filesystem::create_directory(tmp));
    const char *had = std::getenv("TMPDIR");
    const std::string earlier = had != nullptr ? had : "";
    ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);

#ifdef __linux__
    // A working file created there and removed by the end of the run would
    // leave the folder empty: every name created in it is caught on the way.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, tmp.c_str(), IN_CREATE | IN_MOVED_TO), 0);
#endif
    const std::vector<std::string> masks = {"--stable", "stable.geojson", "--unstable", "landslide.geojson"};
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {DEM_COREG, {"ref.tif", "moved.tif", "aligned.tif"}},
        {DEM_CHANGE, {"ref.tif", "moved.tif", "learned", "--error-from-stable"}},
        {DEM_CHANGE, {"ref.tif", "moved.tif", "both", "--coregister", "--error-from-stable"}}};
    for (const auto &run : runs) {
        std::vector<std::string> args = run.second;
        args.insert(args.end(), masks.begin(), masks.end());
        const Outcome r = run_program(run.first, args, dir);
        EXPECT_EQ(r.status, 0) << run.first << " " << args[2] << ": " << r.err;
        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(tmp))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>()) << run.first << " " << args[2];
#ifdef __linux__
        std::vector<std::string> created;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const inotify_event *e = reinterpret_cast<const inotify_event *>(events + at);
                created.push_back(e->len > 0 ? e->name : "?");
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        EXPECT_EQ(created, std::vector<std::string>()) << run.first << " " << args[2] << " wrote there";
#endif
    }
#ifdef __linux__
    close(watch);
#endif
    if (had != nullptr)
        setenv("TMPDIR", earlier.c_str(), 1);
    else
        unsetenv("TMPDIR");

    for (const std::string &name : files())
        EXPECT_NE(name.rfind("skarnovelt-run-", 0), 0u) << name;
    for (const char *output : {"aligned.tif", "learned_2D.tif", "both_3D.tif"})
        EXPECT_TRUE(std::filesystem::is_regular_file(path(output))) << output;
}
#endif
