// dem_change with the surveys' errors, thresholds, classes, the
// distribution and the report, run as built on small GeoTIFFs whose figures
// a reader can work out on paper.
#include "gdal_test_files.h"

#include <nlohmann/json.hpp>

#include <cfloat>
#include <cmath>
#include <fstream>
#include <sstream>

namespace {

class ChangeErrors : public BridgeTest {
  protected:
    Outcome change(const std::string &args) const { return run_in(dir, std::string(DEM_CHANGE) + " " + args); }
    nlohmann::json json(const std::string &name) const { return nlohmann::json::parse(read_file(at(name))); }

    // 8 x 10 cells of 2.5 m (6.25 m²) at 100 m; AFTER raised by 2 m on
    // lines 2-4, columns 2-4, and lowered by 3 m at (5, 7). Over the 48
    // interior cells the 2D budget has 9 raised cells, 1 lowered, 38
    // unchanged.
    void block_and_pit()
    {
        Grid before, after;
        before.lines = after.lines = 8;
        before.columns = after.columns = 10;
        before.values.assign(80, 100);
        after.values.assign(80, 100);
        for (int i = 2; i <= 4; i++)
            for (int j = 2; j <= 4; j++)
                after.values[static_cast<size_t>(i) * 10 + j] = 102;
        after.values[5 * 10 + 7] = 97;
        write_geotiff(at("before.tif"), before);
        write_geotiff(at("after.tif"), after);
    }
};

const nlohmann::json &row(const nlohmann::json &report, int which, const char *set)
{
    return report["budgets"][which][set];
}

double error_of(const nlohmann::json &row, const char *model)
{
    return row["uncertainty_m3"][model].get<double>();
}

TEST_F(ChangeErrors, UniformErrorsGiveTheThreeVolumeErrorsOnPaper)
{
    block_and_pit();
    // σ_d = √(0.3² + 0.4²) = 0.5 m.
    Outcome r = change("--sigma-before 0.3 --sigma-after 0.4 --correlation-range 5 --json b.json --csv b.csv "
                       "before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json b = json("b.json");
    // Raising, 9 cells of 6.25 m²: independent 6.25 × √(9 × 0.25) = 9.375;
    // correlated 6.25 × 9 × 0.5 = 28.125; spatial, A = 56.25 m², L =
    // 4.2314 m < R = 5 m: 0.5 × √(1 − L/R + (L/R)³/5) × A = 14.7472 m³.
    EXPECT_NEAR(error_of(row(b, 0, "raising"), "independent"), 9.375, 1e-12);
    EXPECT_NEAR(error_of(row(b, 0, "raising"), "correlated"), 28.125, 1e-12);
    EXPECT_NEAR(error_of(row(b, 0, "raising"), "spatial"), 14.747183, 1e-6);
    // The net, 48 cells, A = 300 m², L = 9.7721 m ≥ R: 0.5 × R / (√5 L) ×
    // A = 34.3234 m³; independent 6.25 × √12 = 21.6506; correlated 150.
    EXPECT_NEAR(error_of(row(b, 0, "net"), "spatial"), 34.323421, 1e-6);
    EXPECT_NEAR(error_of(row(b, 0, "net"), "independent"), 21.650635, 1e-6);
    EXPECT_NEAR(error_of(row(b, 0, "net"), "correlated"), 150, 1e-12);
    // The 3D difference's error is σ_d / √3 at every cell: the net's
    // independent error is 6.25 × √(48 × 0.25 / 3).
    EXPECT_NEAR(error_of(row(b, 1, "net"), "independent"), 6.25 * std::sqrt(4.0), 1e-9);
    // The CSV carries them too.
    EXPECT_NE(read_file(at("b.csv")).find("difference,set,cells,area_m2,volume_m3,independent_m3,correlated_m3,spatial_m3\n"
                                          "2D,lowering,1,6.25,-18.75,"),
              std::string::npos);
    EXPECT_NE(r.out.find("Rolstad"), std::string::npos);
}

TEST_F(ChangeErrors, LevelOfDetectionAndConfidenceThresholds)
{
    block_and_pit();
    // |d| < 2.5 m is below detection: the 2 m block is, the 3 m pit is not.
    Outcome r = change("--lod 2.5 --json lod.json before.tif after.tif lod");
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json b = json("lod.json");
    EXPECT_EQ(row(b, 0, "detected_raising")["cells"], 0);
    EXPECT_EQ(row(b, 0, "detected_lowering")["cells"], 1);
    EXPECT_EQ(row(b, 0, "below_detection")["cells"], 47);
    EXPECT_EQ(row(b, 0, "net")["volume_m3"], 93.75); // the raw net stays
    EXPECT_EQ(row(b, 0, "detected_lowering")["volume_m3"], -18.75);

    // At 95 %, σ_d = 0.5 m: |d| ≥ 1.959964 × 0.5 = 0.98 m is detected, so
    // both the block and the pit are; with σ_d = 1.5 m (threshold 2.94 m)
    // only the pit is.
    r = change("--sigma-before 0.3 --sigma-after 0.4 --confidence 0.95 --json c.json before.tif after.tif c");
    ASSERT_EQ(r.status, 0) << r.err;
    b = json("c.json");
    EXPECT_EQ(row(b, 0, "detected_raising")["cells"], 9);
    EXPECT_EQ(row(b, 0, "detected_lowering")["cells"], 1);
    EXPECT_NEAR(b["detection"]["z"].get<double>(), 1.959964, 1e-6);
    r = change("--sigma-before 0.9 --sigma-after 1.2 --confidence 0.95 --json w.json before.tif after.tif w");
    ASSERT_EQ(r.status, 0) << r.err;
    b = json("w.json");
    EXPECT_EQ(row(b, 0, "detected_raising")["cells"], 0);
    EXPECT_EQ(row(b, 0, "detected_lowering")["cells"], 1);
    EXPECT_EQ(row(b, 0, "below_detection")["cells"], 47);
}

TEST_F(ChangeErrors, AnErrorRasterWithNodataLeavesTheCellOutAndIsWritten)
{
    block_and_pit();
    Grid sigma;
    sigma.lines = 8;
    sigma.columns = 10;
    sigma.values.assign(80, 0.4);
    sigma.has_nodata = true;
    sigma.nodata = -1;
    sigma.values[3 * 10 + 3] = -1; // the block's centre has no error
    write_geotiff(at("sigma.tif"), sigma);
    Outcome r = change("--sigma-before 0.3 --sigma-after sigma.tif --error-out --json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json b = json("b.json");
    EXPECT_EQ(b["nodata_cells"]["no_error"], 1);
    EXPECT_EQ(b["nodata_cells"]["2D"], 1);
    // Its 3 x 3 window is the whole block: the budget, over the cells with a
    // 3D difference, keeps none of the raised cells, the 2D net 79 cells.
    EXPECT_EQ(row(b, 0, "raising")["cells"], 0);
    EXPECT_EQ(row(b, 0, "net")["cells"], 48 - 9);
    EXPECT_EQ(b["net_2D_all_cells"]["cells"], 79);
    const Grid e2 = read_geotiff(at("out_2D_sigma.tif")), e3 = read_geotiff(at("out_3D_sigma.tif"));
    EXPECT_NEAR(e2.values[0], 0.5, 1e-7);
    EXPECT_EQ(e2.values[3 * 10 + 3], -FLT_MAX);
    EXPECT_EQ(e3.values[0], -FLT_MAX);                        // the frame's border
    EXPECT_EQ(e3.values[2 * 10 + 2], -FLT_MAX);               // its window holds the cell without error
    EXPECT_NEAR(e3.values[6 * 10 + 6], 0.5 / std::sqrt(3.0), 1e-7);

    // Another grid's error raster is refused, nothing written.
    Grid small = sigma;
    small.lines = 7;
    small.values.resize(70);
    write_geotiff(at("small.tif"), small);
    r = change("--sigma-before 0.3 --sigma-after small.tif before.tif after.tif other");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not on the grid"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(at("other_2D.tif")));
}

// Two polygons over the 8 x 10 grid (x 500000 .. 500025, y 4600000 ..
// 4599980): zone "block" over lines 1-5, columns 1-5, zone "pit" over
// lines 5-6, columns 6-8.
const char *const ZONES = R"({"type": "FeatureCollection",
 "crs": {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::32633"}},
 "features": [
 {"type": "Feature", "properties": {"zone": "block"}, "geometry": {"type": "Polygon",
  "coordinates": [[[500002.5,4599997.5],[500015,4599997.5],[500015,4599985],[500002.5,4599985],[500002.5,4599997.5]]]}},
 {"type": "Feature", "properties": {"zone": "pit"}, "geometry": {"type": "Polygon",
  "coordinates": [[[500015,4599987.5],[500022.5,4599987.5],[500022.5,4599982.5],[500015,4599982.5],[500015,4599987.5]]]}}]})";

// The same polygons in longitude and latitude (GeoJSON's own WGS 84),
// reprojected onto the grid's UTM zone 33N.
const char *const ZONES_WGS84 = R"({"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"zone": "block"}, "geometry": {"type": "Polygon", "coordinates": [[
  [15.0000299773,41.5516420040],[15.0001798638,41.5516420038],[15.0001798635,41.5515294117],
  [15.0000299772,41.5515294118],[15.0000299773,41.5516420040]]]}},
 {"type": "Feature", "properties": {"zone": "pit"}, "geometry": {"type": "Polygon", "coordinates": [[
  [15.0001798636,41.5515519301],[15.0002697953,41.5515519299],[15.0002697952,41.5515068931],
  [15.0001798634,41.5515068932],[15.0001798636,41.5515519301]]]}}]})";

TEST_F(ChangeErrors, BudgetsByClassSumToTheWholeAndTheHistogramToo)
{
    block_and_pit();
    std::ofstream(at("zones.geojson")) << ZONES;
    Outcome r = change("--classes zones.geojson --class-field zone --sigma-before 0.3 --sigma-after 0.4 --lod 0.5 "
                       "--histogram h.csv --bin-width 0.5 --json b.json --csv b.csv before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json b = json("b.json");
    ASSERT_EQ(b["classes"].size(), 3u);
    EXPECT_EQ(b["classes"][0]["class"], "block");
    EXPECT_EQ(b["classes"][1]["class"], "pit");
    EXPECT_TRUE(b["classes"][2]["class"].is_null());
    // The block's 9 raised cells lie in zone "block", the pit in "pit".
    EXPECT_EQ(b["classes"][0]["budgets"][0]["raising"]["cells"], 9);
    EXPECT_EQ(b["classes"][1]["budgets"][0]["lowering"]["cells"], 1);
    for (int d = 0; d < 2; d++)
        for (const char *set : {"lowering", "raising", "unchanged", "net", "detected_lowering", "below_detection"}) {
            long long cells = 0;
            double volume = 0, correlated = 0;
            for (const auto &c : b["classes"]) {
                cells += c["budgets"][d][set]["cells"].get<long long>();
                volume += c["budgets"][d][set]["volume_m3"].get<double>();
                correlated += error_of(c["budgets"][d][set], "correlated");
            }
            EXPECT_EQ(cells, row(b, d, set)["cells"].get<long long>()) << d << set;
            EXPECT_NEAR(volume, row(b, d, set)["volume_m3"].get<double>(), 1e-9) << d << set;
            EXPECT_NEAR(correlated, error_of(row(b, d, set), "correlated"), 1e-9) << d << set;
        }
    // Each row says whether it is the whole, a class or the unclassed cells.
    const std::string budget_csv = read_file(at("b.csv"));
    EXPECT_NE(budget_csv.find(",\"block\",class\n"), std::string::npos) << budget_csv;
    EXPECT_NE(budget_csv.find(",none,unclassed\n"), std::string::npos) << budget_csv;
    EXPECT_NE(budget_csv.find("2D,net,"), std::string::npos);
    EXPECT_NE(budget_csv.find(",,all\n"), std::string::npos) << budget_csv;

    // Polygons in another coordinate system land on the same cells.
    std::ofstream(at("zones_wgs84.geojson")) << ZONES_WGS84;
    r = change("--classes zones_wgs84.geojson --class-field zone --sigma-before 0.3 --sigma-after 0.4 --lod 0.5 "
               "--json w.json before.tif after.tif wgs");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json("w.json")["classes"], b["classes"]);

    // The histogram: 0.5 m bins, its cells, areas and volumes those of the budget.
    std::istringstream csv(read_file(at("h.csv")));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "difference,from_m,to_m,change,detected_cells,detected_area_m2,detected_volume_m3,below_cells,"
                    "below_area_m2,below_volume_m3");
    long long cells[2] = {0, 0};
    double area[2] = {0, 0}, volume[2] = {0, 0};
    while (std::getline(csv, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        std::string field;
        while (std::getline(s, field, ','))
            f.push_back(field);
        ASSERT_EQ(f.size(), 10u) << line;
        const int d = f[0] == "2D" ? 0 : 1;
        cells[d] += std::stoll(f[4]) + std::stoll(f[7]);
        area[d] += std::stod(f[5]) + std::stod(f[8]);
        volume[d] += std::stod(f[6]) + std::stod(f[9]);
        if (f[0] == "2D" && f[1] == "2" && f[2] == "2.5") {
            EXPECT_EQ(f[4], "9") << "the block's 9 cells of 2 m, detected";
        }
    }
    for (int d = 0; d < 2; d++) {
        EXPECT_EQ(cells[d], row(b, d, "net")["cells"].get<long long>());
        EXPECT_NEAR(area[d], row(b, d, "net")["area_m2"].get<double>(), 1e-9);
        EXPECT_NEAR(volume[d], row(b, d, "net")["volume_m3"].get<double>(), 1e-9);
    }
}

TEST_F(ChangeErrors, TheReportIsTheSameBytesForTheSameRun)
{
    block_and_pit();
    const std::string args = "--sigma-before 0.3 --sigma-after 0.4 --lod 0.5 --correlation-range 5 before.tif after.tif out";
    Outcome r = change("--report a.html " + args);
    ASSERT_EQ(r.status, 0) << r.err;
    r = change("--report b.html " + args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string a = read_file(at("a.html")), b = read_file(at("b.html"));
    // The two differ only in the report's own name on the command line.
    std::string b_as_a = b;
    b_as_a.replace(b_as_a.find("--report b.html"), 15, "--report a.html");
    EXPECT_EQ(a, b_as_a);
    EXPECT_EQ(a.find("<script"), std::string::npos);
    EXPECT_NE(a.find("data:image/png;base64,"), std::string::npos);
    EXPECT_NE(a.find("detected lowering"), std::string::npos);
    // The digest of BEFORE, and no picture left beside the outputs.
    EXPECT_NE(a.find("SHA-256"), std::string::npos);
    EXPECT_FALSE(exists(at("out_2D.png")));
    r = change("--report c.html --date 2026-12-08 " + args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(at("c.html")).find("2026-12-08"), std::string::npos);
}

TEST_F(ChangeErrors, OptionsThatNeedOthersAreRefusedWithUsage)
{
    block_and_pit();
    for (const char *args : {"--sigma-before 0.1 before.tif after.tif out", "--confidence 0.95 before.tif after.tif out",
                             "--sigma-before 0.1 --sigma-after 0.1 --confidence 1 before.tif after.tif out",
                             "--error-out before.tif after.tif out", "--class-field zone before.tif after.tif out",
                             "--correlation-range 10 before.tif after.tif out", "--lod -1 before.tif after.tif out",
                             "--bin-width 0 before.tif after.tif out"}) {
        Outcome r = change(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << args;
    }
    Outcome r = change("--sigma-before -0.1 --sigma-after 0.1 before.tif after.tif out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--sigma-before -0.1"), std::string::npos) << r.err;
}

} // namespace
