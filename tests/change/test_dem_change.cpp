// dem_change run as built on small GeoTIFFs and DEM pairs written for each
// test, its outputs read back with GDAL.
//
// Plan:
//   1. Hand-computed frames: a raised block and a pit; a hole of nodata
//      inside and at the edges; a grid in degrees whose line areas are the
//      sphere's.
//   2. The tie to the interactive tool on its own pairs, through its
//      dialogue: the same differences and volumes, negated, bit for bit.
//   3. The outputs: float32 and float64, georeferencing, compression,
//      nodata; the same bytes whatever the threads; the pictures.
//   4. Grids that differ are refused with nothing written, or resampled on
//      request; a failure keeps the earlier outputs; units converted.
//   5. The real DEM of the examples, exported as GeoTIFFs.
//   6. Bad command lines.
#include "budget_engine.h"
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference.h"
#include "gdal_test_files.h"

#include <nlohmann/json.hpp>
#include <cpl_conv.h>
#include <ogr_srs_api.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

class Change : public BridgeTest {
  protected:
    Outcome change(const std::string &args) const { return run_in(dir, std::string(DEM_CHANGE) + " " + args); }
    nlohmann::json json(const std::string &name) const { return nlohmann::json::parse(read_file(at(name))); }
    std::vector<std::string> names() const
    {
        std::vector<std::string> v;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string()[0] != '.')
                v.push_back(e.path().filename().string());
        std::sort(v.begin(), v.end());
        return v;
    }
};

Grid frame(int lines, int columns, double height, GDALDataType type = GDT_Float32)
{
    Grid g;
    g.lines = lines;
    g.columns = columns;
    g.values.assign(static_cast<size_t>(lines) * columns, height);
    g.type = type;
    return g;
}

double &at_cell(Grid &g, int i, int j) { return g.values[static_cast<size_t>(i) * g.columns + j]; }
double cell(const Grid &g, int i, int j) { return g.values[static_cast<size_t>(i) * g.columns + j]; }

// The row "set" of the budget of "2D" or "3D" in a JSON report.
const nlohmann::json &row(const nlohmann::json &report, int which, const char *set)
{
    return report["budgets"][which][set];
}

// before.tif and after.tif in dir: 6 x 6 cells of 2.5 m from (500000,
// 4600000) at 10 m, AFTER with a mound of +2 m at (2, 2) and a pit of -2 m
// at (3, 4), BEFORE with no height at (4, 1).
void write_mound_pit_and_hole(const std::string &dir)
{
    Grid before = frame(6, 6, 10), after = frame(6, 6, 10);
    before.has_nodata = true;
    before.nodata = -9999;
    at_cell(before, 4, 1) = -9999;
    at_cell(after, 2, 2) = 12;
    at_cell(after, 3, 4) = 8;
    write_geotiff(dir + "/before.tif", before);
    write_geotiff(dir + "/after.tif", after);
}

void set_crs(const std::string &path, const std::string &wkt)
{
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDALSetProjection(ds, wkt.c_str());
    GDALClose(ds);
}

} // namespace

// 1. Hand-computed frames ---------------------------------------------------

TEST_F(Change, ARaisedBlockAndAPitGiveSignedDifferencesAndTheirBudget)
{
    // 8 x 10 cells of 2.5 m at 100 m; AFTER raised by 2 m on lines 2-4,
    // columns 2-4, and lowered by 3 m in a pit at (5, 7).
    Grid before = frame(8, 10, 100), after = frame(8, 10, 100);
    for (int i = 2; i <= 4; i++)
        for (int j = 2; j <= 4; j++)
            at_cell(after, i, j) = 102;
    at_cell(after, 5, 7) = 97;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    Outcome r = change("--type float64 --json budget.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;

    Grid d2 = read_geotiff(at("out_2D.tif")), d3 = read_geotiff(at("out_3D.tif"));
    EXPECT_EQ(cell(d2, 3, 3), 2);
    EXPECT_EQ(cell(d2, 5, 7), -3);
    EXPECT_EQ(cell(d2, 0, 0), 0); // the border has a 2D difference
    EXPECT_EQ(cell(d3, 0, 0), -DBL_MAX); // but no 3D one
    EXPECT_NEAR(cell(d3, 3, 3), 2, 1e-15);
    // The block's corner: 4 raised cells in its window, centre raised:
    // (2 + 3 x 2 + 5 x 1) / 9; the pit: (-3 + 8 x -1.5) / 9; beside it: -1.5 / 9.
    EXPECT_NEAR(cell(d3, 2, 2), 13.0 / 9, 1e-15);
    EXPECT_NEAR(cell(d3, 5, 7), -15.0 / 9, 1e-15);
    EXPECT_NEAR(cell(d3, 5, 6), -1.5 / 9, 1e-15);
    EXPECT_EQ(cell(d3, 6, 1), 0);

    nlohmann::json b = json("budget.json");
    // 2D over the 6 x 8 interior cells: 9 raised, 1 lowered, 38 unchanged,
    // cells of 6.25 m².
    EXPECT_EQ(row(b, 0, "raising")["cells"], 9);
    EXPECT_EQ(row(b, 0, "raising")["volume_m3"], 112.5);
    EXPECT_EQ(row(b, 0, "lowering")["cells"], 1);
    EXPECT_EQ(row(b, 0, "lowering")["area_m2"], 6.25);
    EXPECT_EQ(row(b, 0, "lowering")["volume_m3"], -18.75);
    EXPECT_EQ(row(b, 0, "unchanged")["cells"], 38);
    EXPECT_EQ(row(b, 0, "net")["volume_m3"], 93.75);
    // 3D: the 25 windows touching the block rise, the 9 touching the pit
    // sink; both lie inside the interior, so the volumes are conserved.
    EXPECT_EQ(b["budgets"][1]["difference"], "3D");
    EXPECT_EQ(row(b, 1, "raising")["cells"], 25);
    EXPECT_EQ(row(b, 1, "lowering")["cells"], 9);
    EXPECT_EQ(row(b, 1, "unchanged")["cells"], 14);
    EXPECT_NEAR(row(b, 1, "raising")["volume_m3"].get<double>(), 112.5, 1e-12);
    EXPECT_NEAR(row(b, 1, "lowering")["volume_m3"].get<double>(), -18.75, 1e-12);
    EXPECT_EQ(b["net_2D_all_cells"]["cells"], 80);
    EXPECT_EQ(b["net_2D_all_cells"]["volume_m3"], 93.75);
    EXPECT_EQ(b["nodata_cells"]["3D"], 80 - 48);
    // The table says the sign.
    EXPECT_NE(r.out.find("AFTER - BEFORE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("lowering (d < 0)"), std::string::npos) << r.out;
}

TEST_F(Change, NodataInsideAndAtTheEdgesIsLeftOutAndCountedByItsReason)
{
    // 7 x 7 cells of 2 m; AFTER 1 m higher everywhere. BEFORE has nodata at
    // (3, 3) and NaN at (5, 0); AFTER has nodata at (0, 4).
    Grid before = frame(7, 7, 50), after = frame(7, 7, 51);
    before.gt[1] = 2;
    before.gt[5] = -2;
    after.gt[1] = 2;
    after.gt[5] = -2;
    before.has_nodata = after.has_nodata = true;
    before.nodata = after.nodata = -9999;
    at_cell(before, 3, 3) = -9999;
    at_cell(before, 5, 0) = NAN;
    at_cell(after, 0, 4) = -9999;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    Outcome r = change("--json b.json --csv b.csv before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;

    nlohmann::json b = json("b.json");
    EXPECT_EQ(b["nodata_cells"]["before"], 2);
    EXPECT_EQ(b["nodata_cells"]["after"], 1);
    EXPECT_EQ(b["nodata_cells"]["2D"], 3);
    // Without 3D: the 3 nodata cells, the 22 other border cells, and the
    // 8 + 3 + 2 interior cells next to a nodata cell.
    EXPECT_EQ(b["cells_without_3D"]["nodata_at_cell"], 3);
    EXPECT_EQ(b["cells_without_3D"]["frame_border"], 22);
    EXPECT_EQ(b["cells_without_3D"]["window_incomplete"], 13);
    EXPECT_EQ(b["nodata_cells"]["3D"], 38);
    // Nothing filled: 11 cells of 4 m² rose by 1 m; the 2D net covers 46.
    EXPECT_EQ(row(b, 0, "raising")["cells"], 11);
    EXPECT_EQ(row(b, 0, "raising")["volume_m3"], 44);
    EXPECT_EQ(row(b, 1, "net")["cells"], 11);
    EXPECT_NEAR(row(b, 1, "net")["volume_m3"].get<double>(), 44, 1e-12);
    EXPECT_EQ(b["net_2D_all_cells"]["cells"], 46);
    EXPECT_EQ(b["net_2D_all_cells"]["volume_m3"], 184);
    EXPECT_NE(read_file(at("b.csv")).find("2D,raising,11,44,44\n"), std::string::npos) << read_file(at("b.csv"));

    Grid d2 = read_geotiff(at("out_2D.tif")), d3 = read_geotiff(at("out_3D.tif"));
    const double nodata = -static_cast<double>(FLT_MAX);
    EXPECT_EQ(d2.nodata, nodata);
    EXPECT_EQ(cell(d2, 3, 3), nodata);
    EXPECT_EQ(cell(d2, 5, 0), nodata);
    EXPECT_EQ(cell(d2, 0, 4), nodata);
    EXPECT_EQ(cell(d2, 0, 3), 1);
    EXPECT_EQ(cell(d3, 2, 2), nodata); // next to the hole
    EXPECT_EQ(cell(d3, 1, 4), nodata); // next to the edge's nodata
    EXPECT_EQ(cell(d3, 5, 5), 1);
}

TEST_F(Change, AGridInDegreesHasEachLinesCellAreaOnTheEllipsoid)
{
    // 4 lines x 3 columns of 1° cells from 4° N down to the equator, on a
    // sphere of radius 6371 km; AFTER 1 m higher. A line between latitudes
    // φ1 and φ2 has cells of R² · (π/180) · (sin φ2 − sin φ1).
    Grid before = frame(4, 3, 10, GDT_Float64), after = frame(4, 3, 11, GDT_Float64);
    const double gt[6] = {20, 1, 0, 4, 0, -1};
    std::copy(gt, gt + 6, before.gt);
    std::copy(gt, gt + 6, after.gt);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    const std::string sphere = "GEOGCS[\"sphere\",DATUM[\"sphere\",SPHEROID[\"sphere\",6371000,0]],"
                               "PRIMEM[\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433]]";
    set_crs(at("before.tif"), sphere);
    set_crs(at("after.tif"), sphere);
    Outcome r = change("--json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json b = json("b.json");

    const double k = 6371000.0 * 6371000.0 * M_PI / 180;
    auto line_area = [&](double top) { return k * (std::sin(top * M_PI / 180) - std::sin((top - 1) * M_PI / 180)); };
    // The 3D cells: column 1 of lines 1 (3° to 2°) and 2 (2° to 1°).
    const double area_3D = line_area(3) + line_area(2);
    EXPECT_EQ(row(b, 1, "raising")["cells"], 2);
    EXPECT_NEAR(row(b, 1, "raising")["area_m2"].get<double>(), area_3D, area_3D * 1e-12);
    EXPECT_NEAR(row(b, 1, "raising")["volume_m3"].get<double>(), area_3D, area_3D * 1e-12);
    // Every cell: three columns of the band from 0° to 4°.
    const double all = 3 * k * std::sin(4 * M_PI / 180);
    EXPECT_NEAR(b["net_2D_all_cells"]["area_m2"].get<double>(), all, all * 1e-12);
    EXPECT_EQ(b["grid"]["geographic"], true);
}

// 2. The tie to the interactive tool ---------------------------------------

TEST_F(Change, OnTheToolsOwnPairsTheDifferencesAndVolumesAreItsOwnNegated)
{
    // Irregular heights in decimetres and millimetres: sums whose last bits
    // depend on every rounding.
    const int lines = 7, columns = 9;
    std::vector<long long> first(lines * columns), second(lines * columns);
    unsigned seed = 4242;
    for (int k = 0; k < lines * columns; k++) {
        seed = seed * 1103515245u + 12345u;
        first[k] = 1000 + static_cast<int>(seed >> 16) % 37;
        seed = seed * 1103515245u + 12345u;
        second[k] = 100000 + static_cast<int>(seed >> 16) % 3001;
    }
    std::filesystem::create_directories(at("images/site"));
    write_pair(at("images/site/a"), PAIR_INPUT, DEM_M2, lines, columns, first);
    write_pair(at("images/site/b"), PAIR_INPUT, DEM_M4, lines, columns, second);
    // The descriptors give a pixel size of 1; the tool is told 2 m, and so is
    // dem_change.
    // Folder, first DEM and type, second and type, result and type, units
    // (dm, mm), result unit, pixel size, treatment, a key.
    Outcome tool = run_in(dir, SKARNOVELT, "site\na\n0\nb\n1\nr\n1\n1\n3\n2\n2\n0\n\n");
    ASSERT_EQ(tool.status, 0) << tool.out;
    Outcome r = change("--unit-before dm --unit-after mm --pixel 2 --type float64 --json b.json "
                       "images/site/a_m2.raw images/site/b_m4.raw out");
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json b = json("b.json");
    const double net_2D = row(b, 0, "net")["volume_m3"], net_3D = row(b, 1, "net")["volume_m3"];
    char shown[200];
    std::snprintf(shown, sizeof shown, "2D Volume %lf 3D Volume %lf ", -net_2D, -net_3D);
    EXPECT_NE(tool.out.find(shown), std::string::npos) << shown << "\n" << tool.out;

    // The tool's pass on the same heights, to the last bit.
    int **i1 = imatrice(columns, lines), **i2 = imatrice(columns, lines);
    int **r2 = imatrice(columns, lines), **r3 = imatrice(columns, lines);
    double **h1 = dmatrice(columns, lines), **h2 = dmatrice(columns, lines);
    for (int k = 0; k < lines * columns; k++) {
        i1[k / columns][k % columns] = static_cast<int>(first[k]);
        i2[k / columns][k % columns] = static_cast<int>(second[k]);
    }
    convert_to_metres(i1, h1, lines, columns, 1);
    convert_to_metres(i2, h2, lines, columns, 3);
    DifferenceSums s = difference_pass(h1, h2, lines, columns, 2, TREAT_ABSOLUTE, 2, DEM_M4, r2, r3);
    // The tool sums its volumes in scan order, each partial sum rounded to
    // double; dem_change's are exact sums rounded once: equal within the
    // bound of the scan order's roundings (Σ|v| from the signed rows).
    for (int which = 0; which < 2; which++) {
        const double net = which == 0 ? net_2D : net_3D, tool_sum = which == 0 ? s.vol_total_2D : s.vol_total_3D;
        const double sum_abs = (row(b, which, "raising")["volume_m3"].get<double>() -
                                row(b, which, "lowering")["volume_m3"].get<double>()) * (1 + 0x1p-50);
        EXPECT_NEAR(net, -tool_sum, budget_scan_order_bound(row(b, which, "net")["cells"].get<long long>(), sum_abs))
            << which;
    }
    Grid d2 = read_geotiff(at("out_2D.tif")), d3 = read_geotiff(at("out_3D.tif"));
    for (int i = 1; i < lines - 1; i++)
        for (int j = 1; j < columns - 1; j++) {
            double t2, t3;
            cell_differences(h1, h2, i, j, &t2, &t3);
            EXPECT_EQ(cell(d2, i, j), -t2) << i << "," << j;
            EXPECT_EQ(cell(d3, i, j), -t3) << i << "," << j;
        }
    frimatrice(i1, lines);
    frimatrice(i2, lines);
    frimatrice(r2, lines);
    frimatrice(r3, lines);
    frdmatrice(h1, lines);
    frdmatrice(h2, lines);
}

// 3. The outputs ----------------------------------------------------------

TEST_F(Change, Float32AndFloat64KeepTheGeoreferencingAndDeclareNodata)
{
    Grid before = frame(5, 6, 100.1, GDT_Float64), after = frame(5, 6, 100.3, GDT_Float64);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    const double exact = static_cast<double>(static_cast<long double>(100.3) - 100.1);
    for (const char *type : {"float32", "float64"}) {
        Outcome r = change(std::string("--type ") + type + " before.tif after.tif " + type);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const char *dim : {"_2D.tif", "_3D.tif"}) {
            Grid d = read_geotiff(at(std::string(type) + dim));
            const bool f32 = std::string(type) == "float32";
            EXPECT_EQ(d.type, f32 ? GDT_Float32 : GDT_Float64);
            for (int k = 0; k < 6; k++)
                EXPECT_EQ(d.gt[k], before.gt[k]);
            EXPECT_TRUE(same_srs(d.wkt, read_geotiff(at("before.tif")).wkt));
            EXPECT_TRUE(d.has_nodata);
            EXPECT_EQ(d.nodata, f32 ? -static_cast<double>(FLT_MAX) : -DBL_MAX);
            EXPECT_EQ(d.compression, "DEFLATE");
            EXPECT_EQ(d.block_x, 256);
            EXPECT_EQ(d.unit, "metre");
            const double v = cell(d, 2, 2);
            if (std::string(dim) == "_2D.tif")
                EXPECT_EQ(v, f32 ? static_cast<double>(static_cast<float>(exact)) : exact);
            else
                EXPECT_NEAR(v, exact, f32 ? 1e-7 : 1e-12);
        }
    }
}

TEST_F(Change, EachCompressionWritesTheSameCellsAndBadLevelsAreRefused)
{
    Grid before = frame(30, 40, 100.1), after = frame(30, 40, 100.3);
    for (int k = 0; k < 30 * 40; k++)
        after.values[k] += 0.01 * (k % 17);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    ASSERT_EQ(change("before.tif after.tif plain").status, 0);
    const Grid plain = read_geotiff(at("plain_3D.tif"));
    struct Case {
        const char *options, *compression;
    } cases[] = {{"--compress zstd --level 5", "ZSTD"},
                 {"--compress lerc", "LERC"},
                 {"--compress none", ""},
                 {"--level 9 --co PREDICTOR=3", "DEFLATE"},
                 {"--compress zstd --co COMPRESS=DEFLATE", "DEFLATE"}}; // --co comes last
    for (const Case &c : cases) {
        Outcome r = change(std::string(c.options) + " before.tif after.tif other");
        ASSERT_EQ(r.status, 0) << c.options << ": " << r.err;
        const Grid other = read_geotiff(at("other_3D.tif"));
        EXPECT_EQ(other.compression, c.compression) << c.options;
        EXPECT_EQ(other.values, plain.values) << c.options;
    }
    for (const char *bad : {"--compress lerc --level 2", "--compress deflate --level 13", "--compress lzw"}) {
        Outcome r = change(std::string(bad) + " before.tif after.tif bad");
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find(std::string(bad).find("lzw") != std::string::npos ? "--compress" : "--level"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(at("bad_2D.tif"))) << bad;
    }
}

TEST_F(Change, WithoutACoordinateSystemTheUnitsAreTakenAsMetresWithAWarning)
{
    Grid before = frame(4, 5, 10), after = frame(4, 5, 11);
    before.epsg = after.epsg = 0;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    Outcome r = change("--json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("taken as metres"), std::string::npos) << r.err;
    EXPECT_EQ(json("b.json")["budgets"][0]["raising"]["area_m2"], 6 * 6.25);
}

TEST_F(Change, AnyNumberOfThreadsWritesTheSameBytes)
{
    // Several tiles of irregular values.
    Grid before = frame(300, 700, 0), after = frame(300, 700, 0);
    unsigned seed = 7;
    for (size_t k = 0; k < before.values.size(); k++) {
        seed = seed * 1103515245u + 12345u;
        before.values[k] = 500 + (seed >> 8) % 10000 / 100.0;
        after.values[k] = before.values[k] + ((seed >> 4) % 7) / 10.0 - 0.3;
    }
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    ASSERT_EQ(change("--threads 1 --json one.json before.tif after.tif one").status, 0);
    ASSERT_EQ(change("--threads 2 --json two.json before.tif after.tif two").status, 0);
    ASSERT_EQ(change("--threads 4 --json four.json before.tif after.tif four").status, 0);
    ASSERT_EQ(change("--json cores.json before.tif after.tif cores").status, 0); // the default: every core
    for (const char *dim : {"_2D.tif", "_3D.tif"}) {
        const std::string one = read_file(at(std::string("one") + dim));
        EXPECT_GT(one.size(), 1000u);
        for (const char *other : {"two", "four", "cores"})
            EXPECT_TRUE(one == read_file(at(std::string(other) + dim))) << other << dim;
    }
    nlohmann::json a = json("one.json");
    for (const char *other : {"two.json", "four.json", "cores.json"})
        EXPECT_EQ(a["budgets"], json(other)["budgets"]) << other;
}

// A map read back through GDAL, which places it by its world file (.pgw)
// and reads its CRS from its .aux.xml.
struct Map {
    int width = 0, height = 0;
    double gt[6] = {0, 1, 0, 0, 0, 1};
    bool placed = false;
    std::string wkt;
    std::vector<unsigned char> rgb;
    std::vector<int> at(int x, int y) const
    {
        const unsigned char *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
    // The pixel over the ground point (gx, gy) of a north-up picture.
    std::vector<int> over(double gx, double gy) const
    {
        return at(static_cast<int>(std::floor((gx - gt[0]) / gt[1])), static_cast<int>(std::floor((gy - gt[3]) / gt[5])));
    }
    long count(const std::vector<int> &c) const
    {
        long n = 0;
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                n += at(x, y) == c;
        return n;
    }
};

Map read_map(const std::string &path)
{
    Map m;
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    EXPECT_NE(ds, nullptr) << path;
    if (ds == nullptr)
        return m;
    m.width = GDALGetRasterXSize(ds);
    m.height = GDALGetRasterYSize(ds);
    m.placed = GDALGetGeoTransform(ds, m.gt) == CE_None;
    m.wkt = GDALGetProjectionRef(ds);
    m.rgb.resize(static_cast<size_t>(m.width) * m.height * 3);
    for (int c = 0; c < 3; c++)
        EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(ds, c + 1), GF_Read, 0, 0, m.width, m.height, m.rgb.data() + c,
                               m.width, m.height, GDT_Byte, 3, m.width * 3),
                  CE_None);
    GDALClose(ds);
    return m;
}

const std::vector<int> DEEP_RED = {178, 24, 43}, DEEP_BLUE = {33, 102, 172}, PALE_BLUE = {103, 169, 207},
                       WHITE = {247, 247, 247}, GREY = {128, 128, 128};

bool near(const std::vector<int> &a, const std::vector<int> &b)
{
    return std::abs(a[0] - b[0]) <= 10 && std::abs(a[1] - b[1]) <= 10 && std::abs(a[2] - b[2]) <= 10;
}

// Whether some column right of x0 holds the colour bar: deep blue at the top,
// deep red at the bottom (to within the smoothing of its edges), white half
// way, over at least 200 pixels.
bool has_colour_bar(const Map &m, int x0)
{
    for (int x = x0; x < m.width; x++) {
        int top = -1, bottom = -1;
        for (int y = 0; y < m.height; y++) {
            if (top < 0 && near(m.at(x, y), DEEP_BLUE))
                top = y;
            if (near(m.at(x, y), DEEP_RED))
                bottom = y;
        }
        if (top >= 0 && bottom - top >= 200) {
            const std::vector<int> mid = m.at(x, (top + bottom) / 2);
            if (mid[0] > 235 && mid[1] > 235 && mid[2] > 235)
                return true;
        }
    }
    return false;
}

TEST_F(Change, MapsShowLoweringInRedRaisingInBlueAndNodataInGreyWhereTheirWorldFilesPlaceThem)
{
    // 6 x 6 cells of 2.5 m from (500000, 4600000): a mound of +2 m at (2, 2),
    // a pit of -2 m at (3, 4), no height in BEFORE at (4, 1).
    write_mound_pit_and_hole(dir);
    Outcome r = change("--picture before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("colours to +/- 2 m"), std::string::npos) << r.out;
    EXPECT_TRUE(exists(at("out_2D.pgw")));
    EXPECT_TRUE(exists(at("out_3D.png.aux.xml")));
    auto centre = [](int i, int j) { return std::make_pair(500000 + 2.5 * (j + 0.5), 4600000 - 2.5 * (i + 0.5)); };
    for (const char *png : {"out_2D.png", "out_3D.png"}) {
        SCOPED_TRACE(png);
        const Map m = read_map(at(png));
        ASSERT_TRUE(m.placed) << "no world file";
        EXPECT_TRUE(same_srs(m.wkt, read_geotiff(at("before.tif")).wkt)) << m.wkt;
        // About 1000 pixels across the 15 m of the grid, whole pixels a cell.
        const double across = 15 / m.gt[1];
        EXPECT_GE(across, 900);
        EXPECT_LE(across, 1100);
        EXPECT_NEAR(m.gt[1], -m.gt[5], 1e-12);
        const auto grey = centre(4, 1), corner = centre(0, 0);
        EXPECT_EQ(m.over(grey.first, grey.second), GREY); // no 2D or 3D difference without BEFORE
        EXPECT_TRUE(has_colour_bar(m, static_cast<int>((500015 - m.gt[0]) / m.gt[1]) + 1));
        if (std::string(png) == "out_2D.png") {
            const auto mound = centre(2, 2), pit = centre(3, 4);
            EXPECT_EQ(m.over(mound.first, mound.second), DEEP_BLUE); // +2 m, the largest |d|
            EXPECT_EQ(m.over(pit.first, pit.second), DEEP_RED);      // -2 m
            EXPECT_EQ(m.over(corner.first, corner.second), WHITE);
            EXPECT_GE(m.count(GREY), 18 * 13 + 167 * 167);       // the swatch and the one cell
        } else
            EXPECT_EQ(m.over(corner.first, corner.second), GREY); // no 3D difference on the border
    }

    // The QGIS styles beside the rasters, at the maps' limits (the 3D one
    // as the table says it).
    EXPECT_NE(read_file(at("out_2D.qml")).find("classificationMin=\"-2\" classificationMax=\"2\""), std::string::npos);
    const size_t from = r.out.find("out_3D.png (+/- ") + 16;
    const std::string limit_3D = r.out.substr(from, r.out.find(" m)", from) - from);
    EXPECT_NE(read_file(at("out_3D.qml")).find("classificationMin=\"-" + limit_3D + "\" classificationMax=\"" +
                                               limit_3D + "\""),
              std::string::npos)
        << limit_3D;

    // A limit given: +2 m is half way to +4 m, the half-way blue.
    r = change("--picture --limit 4 before.tif after.tif limited");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto mound = centre(2, 2);
    EXPECT_EQ(read_map(at("limited_2D.png")).over(mound.first, mound.second), PALE_BLUE);
    EXPECT_NE(read_file(at("limited_2D.qml")).find("classificationMax=\"4\""), std::string::npos);
}

// QGIS renders the raster with the style beside it, which it loads as the
// layer's default style: the pit red, the mound blue, 0 white, nodata
// transparent. Through QGIS's Python bindings (scripts/install-deps --qgis).
const char *const QGIS_RENDER = R"(import sys
from qgis.core import QgsApplication, QgsRasterLayer, QgsMapSettings, QgsMapRendererParallelJob
from qgis.PyQt.QtCore import QSize
from qgis.PyQt.QtGui import QColor
app = QgsApplication([], False)
app.initQgis()
layer = QgsRasterLayer(sys.argv[1], "d")
print("renderer", layer.renderer().type() if layer.isValid() else "none")
s = QgsMapSettings()
s.setLayers([layer])
s.setDestinationCrs(layer.crs())
s.setExtent(layer.extent())
s.setOutputSize(QSize(60, 60))
s.setBackgroundColor(QColor(0, 0, 0, 0))
job = QgsMapRendererParallelJob(s)
job.start()
job.waitForFinished()
job.renderedImage().save(sys.argv[2], "PNG")
del job, s, layer  # before QGIS shuts down, which would otherwise crash on them
app.exitQgis()
)";

TEST_F(Change, QgisDrawsTheRasterWithItsStyle)
{
    // The Python that has QGIS's bindings: the one on the path, or the system's.
    std::string python;
    for (const char *candidate : {"python3", "/usr/bin/python3"})
        if (python.empty() && std::system(("env QT_QPA_PLATFORM=offscreen " + std::string(candidate) +
                                           " -c 'import qgis.core' > /dev/null 2>&1")
                                              .c_str()) == 0)
            python = candidate;
    if (python.empty())
        GTEST_SKIP() << "QGIS and its Python bindings are not installed (scripts/install-deps --qgis): the style is "
                        "not rendered";
    write_mound_pit_and_hole(dir);
    ASSERT_EQ(change("--picture before.tif after.tif out").status, 0);
    {
        FILE *f = std::fopen(at("render.py").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(QGIS_RENDER, f);
        std::fclose(f);
    }
    Outcome r = run_in(dir, "env QT_QPA_PLATFORM=offscreen " + python + " render.py out_2D.tif rendered.png");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("renderer singlebandpseudocolor"), std::string::npos) << "the style was not loaded: " << r.out;
    // 60 x 60 pixels over the 6 x 6 cells: cell (i, j) at pixel (10 j + 5, 10 i + 5).
    GDALDatasetH ds = GDALOpen(at("rendered.png").c_str(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(GDALGetRasterCount(ds), 4);
    auto rgba = [&](int i, int j) {
        std::vector<int> v(4);
        for (int c = 0; c < 4; c++) {
            unsigned char b = 0;
            EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(ds, c + 1), GF_Read, 10 * j + 5, 10 * i + 5, 1, 1, &b, 1, 1, GDT_Byte,
                                   0, 0),
                      CE_None);
            v[static_cast<size_t>(c)] = b;
        }
        return v;
    };
    EXPECT_EQ(rgba(3, 4), std::vector<int>({178, 24, 43, 255}));  // the pit, -2 m
    EXPECT_EQ(rgba(2, 2), std::vector<int>({33, 102, 172, 255})); // the mound, +2 m
    EXPECT_EQ(rgba(0, 0), std::vector<int>({247, 247, 247, 255}));
    EXPECT_EQ(rgba(4, 1)[3], 0); // nodata: transparent
    GDALClose(ds);
}

TEST_F(Change, MapsOfGridsInDegreesKeepTheirTrueAspectAtTheirMeanLatitude)
{
    // 10 x 10 cells of 0.1 degree from 60 N down to 59 N: at 59.5 degrees a
    // degree of longitude spans cos(59.5) N / M of a degree of latitude on
    // WGS 84 (N, M the radii of curvature).
    Grid before = frame(10, 10, 100), after = frame(10, 10, 100);
    for (Grid *g : {&before, &after}) {
        g->epsg = 4326;
        const double gt[6] = {10, 0.1, 0, 60, 0, -0.1};
        std::copy(gt, gt + 6, g->gt);
    }
    at_cell(after, 5, 5) = 99;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    ASSERT_EQ(change("--picture --picture-size 500 before.tif after.tif deg").status, 0);
    const Map m = read_map(at("deg_2D.png"));
    ASSERT_TRUE(m.placed);
    const double phi = 59.5 * M_PI / 180, e2 = 0.0066943799901413165, w = 1 - e2 * std::sin(phi) * std::sin(phi);
    const double ratio = std::cos(phi) * w / (1 - e2); // ground width of a degree of longitude / of latitude
    // Pixels: 500 down the 1 degree of latitude, the width at the true aspect.
    const double down = 1 / -m.gt[5], across = 1 / m.gt[1];
    EXPECT_NEAR(down, 500, 1e-6);
    EXPECT_NEAR(across / down, ratio, 0.03 * ratio);
    EXPECT_EQ(m.over(10.55, 59.45), DEEP_RED); // the lowered cell, where the world file puts it
    EXPECT_EQ(m.over(10.15, 59.95), WHITE);
}

// 4. Grids, failures, units ---------------------------------------------------

TEST_F(Change, GridsThatDifferAreRefusedAndNothingIsWritten)
{
    Grid before = frame(5, 6, 10), shifted = frame(5, 6, 11), other_crs = frame(5, 6, 11), smaller = frame(4, 6, 11);
    shifted.gt[0] += 2.5;
    other_crs.epsg = 32634;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("shifted.tif"), shifted);
    write_geotiff(at("other_crs.tif"), other_crs);
    write_geotiff(at("smaller.tif"), smaller);
    {
        FILE *f = std::fopen(at("out_2D.tif").c_str(), "w");
        std::fputs("earlier", f);
        std::fclose(f);
    }
    const std::vector<std::string> before_names = names();
    struct Case {
        const char *after, *says;
    } cases[] = {{"shifted.tif", "origin x"}, {"other_crs.tif", "coordinate systems differ"}, {"smaller.tif", "sizes differ"}};
    for (const Case &c : cases) {
        Outcome r = change(std::string("--json b.json before.tif ") + c.after + " out");
        EXPECT_EQ(r.status, 1) << c.after;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("gdalwarp -t_srs EPSG:32633 -te 500000 4599987.5 500015 4600000 -ts 6 5"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(names(), before_names) << c.after;
        EXPECT_EQ(read_file(at("out_2D.tif")), "earlier");
    }
}

TEST_F(Change, ARefusalOfCoordinateSystemsNamesBothAndItsCommandRunsAsPrinted)
{
    // BEFORE in NAD83 degrees, whose far corner -80.3 + 4 x 0.1 falls on
    // -79.89999999999999 in binary (40.2 - 3 x 0.1 on 39.900000000000006);
    // BEFORE in a transverse Mercator with no EPSG code, its far corner
    // 198000.4 + 3 x 0.1 on 198000.69999999998. AFTER in WGS 84's systems.
    OGRSpatialReferenceH custom = OSRNewSpatialReference(nullptr);
    ASSERT_EQ(OSRImportFromProj4(custom, "+proj=tmerc +lat_0=0 +lon_0=13.5 +k=0.9996 +x_0=500000 +y_0=0 "
                                         "+datum=WGS84 +units=m +no_defs"),
              OGRERR_NONE);
    char *custom_wkt = nullptr;
    OSRExportToWkt(custom, &custom_wkt);
    const std::string tmerc = custom_wkt;
    CPLFree(custom_wkt);
    OSRDestroySpatialReference(custom);
    struct Case {
        int before_epsg, after_epsg, lines, columns;
        double gt[6];
        const char *names, *te;
    } cases[] = {{4269, 4326, 3, 4, {-80.3, 0.1, 0, 40.2, 0, -0.1},
                  "BEFORE's is NAD83 (EPSG:4269), AFTER's WGS 84 (EPSG:4326)", "-te -80.3 39.9 -79.9 40.2 -ts 4 3"},
                 {0, 32633, 5, 3, {198000.4, 0.1, 0, 4600000, 0, -0.1},
                  "BEFORE's is unknown (no EPSG code), AFTER's WGS 84 / UTM zone 33N (EPSG:32633)",
                  "-te 198000.4 4599999.5 198000.7 4600000 -ts 3 5"}};
    const bool have_gdalwarp = std::system("command -v gdalwarp > /dev/null 2>&1") == 0;
    for (const Case &c : cases) {
        Grid before = frame(c.lines, c.columns, 10), after = frame(c.lines, c.columns, 10);
        std::copy(c.gt, c.gt + 6, before.gt);
        std::copy(c.gt, c.gt + 6, after.gt);
        before.epsg = c.before_epsg == 0 ? 32633 : c.before_epsg;
        after.epsg = c.after_epsg;
        write_geotiff(at("before.tif"), before);
        write_geotiff(at("after.tif"), after);
        if (c.before_epsg == 0)
            set_crs(at("before.tif"), tmerc);
        const std::vector<std::string> before_names = names();
        const Outcome r = change("before.tif after.tif out");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(std::string("the coordinate systems differ: ") + c.names), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.te), std::string::npos) << r.err;
        EXPECT_EQ(names(), before_names); // nothing written, no .wkt either
        const std::string lead = "Put AFTER onto BEFORE's grid: ", tail = "  (or run";
        const size_t from = r.err.find(lead), to = r.err.find(tail);
        ASSERT_NE(from, std::string::npos) << r.err;
        ASSERT_NE(to, std::string::npos) << r.err;
        const std::string command = r.err.substr(from + lead.size(), to - from - lead.size());
        EXPECT_EQ(command.find('<'), std::string::npos) << command;
        EXPECT_EQ(command.find("-t_srs EPSG:") == std::string::npos, c.before_epsg == 0) << command;
        if (!have_gdalwarp)
            continue;
        std::remove(at("after_on_before_grid.tif").c_str());
        const Outcome warped = run_in(dir, command);
        ASSERT_EQ(warped.status, 0) << command << "\n" << warped.err;
        const Outcome accepted = change("before.tif after_on_before_grid.tif out");
        EXPECT_EQ(accepted.status, 0) << command << "\n" << accepted.err;
    }
    if (!have_gdalwarp)
        GTEST_SKIP() << "gdalwarp is not installed: the printed commands were not run";
}

TEST_F(Change, AFailureInThePassKeepsTheEarlierOutputsAndLeavesNoTemporary)
{
    // A difference beyond float32's range cannot be stored in float32.
    Grid before = frame(5, 6, 0, GDT_Float64), after = frame(5, 6, 0, GDT_Float64);
    at_cell(after, 3, 3) = 1e39;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    for (const char *name : {"out_2D.tif", "out_3D.tif"}) {
        FILE *f = std::fopen(at(name).c_str(), "w");
        std::fputs("earlier", f);
        std::fclose(f);
    }
    const std::vector<std::string> before_names = names();
    Outcome r = change("before.tif after.tif out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--type float64"), std::string::npos) << r.err;
    EXPECT_EQ(names(), before_names);
    EXPECT_EQ(read_file(at("out_2D.tif")), "earlier");
    EXPECT_EQ(read_file(at("out_3D.tif")), "earlier");
    // In float64 it fits.
    r = change("--type float64 before.tif after.tif out");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cell(read_geotiff(at("out_2D.tif")), 3, 3), 1e39);
}

TEST_F(Change, AfterIsResampledOntoBeforesGridOnlyWhenAsked)
{
    // A plane, sampled at the cell centres of BEFORE's grid and, 1 m higher,
    // of a grid shifted by half a cell: bilinear interpolation of a plane is
    // exact inside AFTER's grid.
    auto plane = [](double x, double y) { return 100 + 0.01 * (x - 500000) + 0.02 * (4600000 - y); };
    Grid before = frame(8, 8, 0, GDT_Float64), after = frame(9, 9, 0, GDT_Float64);
    after.gt[0] -= 1.25;
    after.gt[3] += 1.25;
    for (Grid *g : {&before, &after})
        for (int i = 0; i < g->lines; i++)
            for (int j = 0; j < g->columns; j++)
                at_cell(*g, i, j) = plane(g->gt[0] + (j + 0.5) * g->gt[1], g->gt[3] + (i + 0.5) * g->gt[5]) +
                                    (g == &after ? 1 : 0);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    EXPECT_EQ(change("before.tif after.tif out").status, 1);
    Outcome r = change("--resample bilinear --type float64 --json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("resampled"), std::string::npos) << r.out;
    EXPECT_EQ(json("b.json")["resampled"], "bilinear");
    Grid d2 = read_geotiff(at("out_2D.tif"));
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++)
            EXPECT_NEAR(cell(d2, i, j), 1, 1e-9) << i << "," << j;

    // Another band than the first is picked before the warp, and gives the
    // same differences (the picked band's source stays open while it is
    // warped).
    Grid other = after;
    for (double &v : other.values)
        v = -500;
    write_geotiff(at("other.tif"), other);
    char gt[200];
    std::snprintf(gt, sizeof gt, "%.17g, %.17g, 0, %.17g, 0, %.17g", after.gt[0], after.gt[1], after.gt[3], after.gt[5]);
    std::string vrt = "<VRTDataset rasterXSize=\"9\" rasterYSize=\"9\">\n  <SRS>EPSG:32633</SRS>\n  <GeoTransform>" +
                      std::string(gt) + "</GeoTransform>\n";
    for (const char *source : {"other.tif", "after.tif"})
        vrt += "  <VRTRasterBand dataType=\"Float64\"><SimpleSource><SourceFilename relativeToVRT=\"1\">" +
               std::string(source) + "</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>\n";
    FILE *f = std::fopen(at("bands.vrt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs((vrt + "</VRTDataset>\n").c_str(), f);
    std::fclose(f);
    r = change("--resample bilinear --type float64 --band-after 2 before.tif bands.vrt second");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(at("second_2D.tif")), read_file(at("out_2D.tif")));
}

TEST_F(Change, HeightsInFeetAreConvertedAndAnUnknownUnitNeedsAScale)
{
    Grid before = frame(4, 4, 100), after = frame(4, 4, 330);
    after.unit = "ft";
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    // BEFORE declares no unit beside AFTER's feet: metres are not assumed
    // silently, the run stops and names the option that settles it.
    Outcome r = change("--type float64 before.tif after.tif feet");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("BEFORE before.tif declares no height unit (metres would be assumed) while AFTER after.tif "
                         "has heights in 'ft' (0.3048 m): give BEFORE's unit with --z-scale-before"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(exists(at("feet_2D.tif")));
    r = change("--type float64 --z-scale-before 1 before.tif after.tif feet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NEAR(cell(read_geotiff(at("feet_2D.tif")), 1, 1), 330 * 0.3048 - 100, 1e-12);
    // The foot's metres as the number they are, not its 17-digit expansion.
    EXPECT_NE(r.out.find("x 0.3048 m)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("0.30480000000000002"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nodata -1.7976931348623157e+308"), std::string::npos) << r.out;

    after.unit = "furlong";
    write_geotiff(at("after.tif"), after);
    r = change("before.tif after.tif odd");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(at("odd_2D.tif")));
    r = change("--z-scale-after 0.5 --type float64 before.tif after.tif odd");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cell(read_geotiff(at("odd_2D.tif")), 1, 1), 65);
}

TEST_F(Change, AGridInFeetWantsItsHeightUnitAndACompoundSystemGivesIt)
{
    // Pennsylvania South in US survey feet: heights of no declared unit on
    // it are seldom metres.
    Grid before = frame(4, 4, 1000), after = frame(4, 4, 1003.28);
    before.epsg = after.epsg = 2272;
    before.gt[1] = after.gt[1] = 10;
    before.gt[5] = after.gt[5] = -10;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    Outcome r = change("before.tif after.tif ft");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("BEFORE before.tif lies on a grid in units of 0.3048006096 m (feet) and declares no height "
                         "unit"),
              std::string::npos)
        << r.err;
    // Its compound form with NAVD88 height in US survey feet: the same
    // horizontal system, and the vertical part says the heights' unit.
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    ASSERT_EQ(OSRSetFromUserInput(srs, "EPSG:2272+6360"), OGRERR_NONE);
    char *wkt = nullptr;
    OSRExportToWkt(srs, &wkt);
    set_crs(at("before.tif"), wkt);
    set_crs(at("after.tif"), wkt);
    CPLFree(wkt);
    OSRDestroySpatialReference(srs);
    r = change("--type float64 before.tif after.tif ft --json ft.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NEAR(cell(read_geotiff(at("ft_2D.tif")), 1, 1), (static_cast<double>(1003.28f) - 1000) * 0.3048006096, 1e-9);
    // A compound system beside its own horizontal part is the same grid.
    Grid plain = frame(4, 4, 1000);
    plain.epsg = 2272;
    plain.gt[1] = 10;
    plain.gt[5] = -10;
    plain.unit = "US survey foot";
    write_geotiff(at("plain.tif"), plain);
    r = change("--type float64 before.tif plain.tif same");
    EXPECT_EQ(r.status, 0) << r.err;
}

// 5. The real DEM -----------------------------------------------------------------

TEST_F(Change, TheRealDemExportedAsGeoTiffsGivesTheBudgetOfItsPairs)
{
    // The example landslide: BEFORE in metres (_m2), AFTER in decimetres
    // (_m4), 90 m cells; exported as GeoTIFFs of the stored integers with
    // their scale, as a GIS user would hold them.
    const std::string demo = DEMO_DIR;
    ASSERT_EQ(dem_gdal("export --stored --unit m " + demo + "/before_m2.txt before.tif").status, 0);
    ASSERT_EQ(dem_gdal("export --stored --unit dm " + demo + "/after_m4.txt after.tif").status, 0);
    Outcome tif = change("--pixel 90 --json tif.json --picture before.tif after.tif tif");
    ASSERT_EQ(tif.status, 0) << tif.err;
    Outcome pair = change("--unit-before m --unit-after dm --pixel 90 --json pair.json " + demo + "/before_m2.raw " +
                          demo + "/after_m4.raw pair");
    ASSERT_EQ(pair.status, 0) << pair.err;
    nlohmann::json a = json("tif.json"), b = json("pair.json");
    EXPECT_EQ(a["budgets"], b["budgets"]);
    // The example's own figures, first minus second over the interior cells:
    // the scar (68 739 840 m³) is lowering here, the deposit raising.
    EXPECT_NEAR(row(a, 0, "lowering")["volume_m3"].get<double>(), -68739840, 1e-6);
    EXPECT_NEAR(row(a, 0, "raising")["volume_m3"].get<double>(), 68693670, 1e-6);
    EXPECT_NEAR(row(a, 0, "net")["volume_m3"].get<double>(), -46170, 1e-6);
    EXPECT_TRUE(exists(at("tif_3D.png")));
}

// 6. Bad command lines -------------------------------------------------------------

// A run whose outputs cannot be written whole (the process may not write
// files beyond 32 KiB: the signal of the limit stops it, as an
// interruption does) fails, says no budget and leaves nothing in place,
// with the outputs written by the pass's own threads or by one thread.
TEST_F(Change, AnOutputThatCannotBeWrittenFailsTheRunAndLeavesNothing)
{
    Grid before = frame(400, 400, 0), after = frame(400, 400, 0);
    for (size_t k = 0; k < before.values.size(); k++) {
        before.values[k] = 100 + std::sin(0.37 * static_cast<double>(k));
        after.values[k] = 100 + std::cos(0.11 * static_cast<double>(k));
    }
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    const std::vector<std::string> before_names = names();
    for (const char *threads : {"1", "2"}) {
        const Outcome r = run_in(dir, std::string("sh -c 'ulimit -f 64; exec ") + DEM_CHANGE + " --threads " + threads +
                                          " before.tif after.tif out'");
        EXPECT_NE(r.status, 0) << threads << ": " << r.err;
        EXPECT_EQ(r.out.find("Budget"), std::string::npos) << r.out;
        EXPECT_EQ(names(), before_names) << threads;
    }
    EXPECT_EQ(change("--threads 2 before.tif after.tif out").status, 0); // without the limit
}

TEST_F(Change, BadCommandLinesAreRefusedWithUsage)
{
    for (const char *args : {"", "a.tif b.tif", "--type int16 a.tif b.tif out", "--co TILED a.tif b.tif out",
                             "--resample nearest a.tif b.tif out", "--threads 0 a.tif b.tif out",
                             "--limit 2 a.tif b.tif out", "--picture --limit 0 a.tif b.tif out",
                             "--picture --picture-size 50 a.tif b.tif out", "--picture-size 500 a.tif b.tif out"}) {
        Outcome r = change(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << args << ": " << r.err;
    }
    EXPECT_NE(change("--limit 2 a.tif b.tif out").err.find("--limit needs --picture or --report"), std::string::npos);
    // What one option needs of, or excludes from, another, before any file is read.
    for (const char *args : {"--error-from-stable --sigma-before 0.1 --sigma-after 0.1 a.tif b.tif out",
                             "--error-from-stable --correlation-range 50 a.tif b.tif out",
                             "--variogram-pairs 5000 a.tif b.tif out", "--class-field zone a.tif b.tif out"}) {
        Outcome r = change(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(r.err.find("excludes") != std::string::npos || r.err.find("requires") != std::string::npos)
            << args << ": " << r.err;
    }
    // An output that would replace an input is refused before anything is written.
    write_geotiff(at("x_2D.tif"), frame(4, 4, 1));
    write_geotiff(at("y.tif"), frame(4, 4, 2));
    const std::string input = read_file(at("x_2D.tif"));
    Outcome same = change("--json y.tif x_2D.tif y.tif z");
    EXPECT_EQ(same.status, 1);
    same = change("x_2D.tif y.tif x");
    EXPECT_EQ(same.status, 1);
    EXPECT_NE(same.err.find("would replace the input"), std::string::npos) << same.err;
    EXPECT_EQ(read_file(at("x_2D.tif")), input);
    EXPECT_FALSE(exists(at("x_3D.tif")));

    Outcome r = change("missing.tif other.tif out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos) << r.err;
}

TEST_F(Change, AnOutNamedLikeATiffLosesItsExtensionBeforeTheSuffixes)
{
    Grid before = frame(5, 6, 10), after = frame(5, 6, 11);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    ASSERT_EQ(change("before.tif after.tif slide.tif").status, 0);
    ASSERT_EQ(change("before.tif after.tif Other.TIFF").status, 0);
    ASSERT_EQ(change("before.tif after.tif plain.v2").status, 0);
    EXPECT_EQ(names(), std::vector<std::string>({"Other_2D.tif", "Other_3D.tif", "after.tif", "before.tif",
                                                 "plain.v2_2D.tif", "plain.v2_3D.tif", "slide_2D.tif",
                                                 "slide_3D.tif"}));
}

TEST_F(Change, SizesInMessagesAreLinesByColumns)
{
    // 5 lines x 6 columns of DEMs, an error raster of 6 lines x 5 columns.
    Grid before = frame(5, 6, 10), after = frame(5, 6, 11), sigma = frame(6, 5, 0.1);
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    write_geotiff(at("sigma.tif"), sigma);
    Outcome r = change("--sigma-before sigma.tif --sigma-after 0 before.tif after.tif out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("6 lines x 5 columns against 5 x 6"), std::string::npos) << r.err;
    r = change("before.tif sigma.tif out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("BEFORE has 5 lines x 6 columns, AFTER 6 lines x 5 columns"), std::string::npos) << r.err;
    r = change("before.tif after.tif out");
    EXPECT_NE(r.out.find("grid  : 5 lines x 6 columns"), std::string::npos) << r.out;
}

TEST_F(Change, TheTableRoundsToTheErrorsAndGivesTheMeanDifference)
{
    // A mound of 3 x 3 cells of 6.25 m² raised by 2.2 m; errors of 0.5 m in
    // each survey: sigma_d = sqrt(0.5); the 2D raising row: 123.75 m³, its
    // errors 6.25 x 3 x sqrt(0.5) = 13.26 m³ and 9 x 6.25 x sqrt(0.5) =
    // 39.77 m³, so the volume is shown to the unit and the mean 2.2 m to
    // the centimetre (39.77 / 56.25 = 0.71 m).
    Grid before = frame(8, 10, 100), after = frame(8, 10, 100);
    for (int i = 2; i <= 4; i++)
        for (int j = 2; j <= 4; j++)
            at_cell(after, i, j) = 102.2;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    Outcome r = change("--type float64 --sigma-before 0.5 --sigma-after 0.5 --json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at_row = r.out.find("raising (d > 0)");
    ASSERT_NE(at_row, std::string::npos) << r.out;
    std::istringstream row(r.out.substr(at_row + 15, r.out.find('\n', at_row) - at_row - 15));
    std::string cells, area, volume, independent, correlated, mean;
    row >> cells >> area >> volume >> independent >> correlated >> mean;
    EXPECT_EQ(cells, "9");
    EXPECT_EQ(volume, "124");
    EXPECT_EQ(independent, "13");
    EXPECT_EQ(correlated, "40");
    EXPECT_EQ(mean, "2.20");
    EXPECT_NE(r.out.find("mean d (m)"), std::string::npos);
    // The JSON keeps the full figure.
    EXPECT_NEAR(json("b.json")["budgets"][0]["raising"]["volume_m3"].get<double>(), 9 * 6.25 * 2.2, 1e-3); // float32 heights
    EXPECT_NEAR(json("b.json")["budgets"][0]["raising"]["mean_m"].get<double>(), 2.2, 1e-5);
    EXPECT_TRUE(json("b.json")["budgets"][0]["lowering"]["mean_m"].is_null()); // no area lowered
}
