// dem_change with the surveys' errors, thresholds, classes, the
// distribution and the report, run as built on small GeoTIFFs whose figures
// a reader can work out on paper.
#include "budget_engine.h"
#include "dem_files.h"
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

// The errors of the 3D volume of a set of cells worked out from their
// definition: 2D cell k enters with W_k = Σ_c a w_ck over the set's cells c
// whose 3 × 3 window holds k (5/9 at the centre, 1/18 around).
struct ThreeDSums {
    double independent = 0, correlated = 0;
};
template <class Sigma, class InSet>
ThreeDSums three_d_sums(int lines, int columns, double area, Sigma sigma, InSet in_set)
{
    long double sum2 = 0, sum = 0;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < columns; j++) {
            long double w = 0;
            for (int di = -1; di <= 1; di++)
                for (int dj = -1; dj <= 1; dj++)
                    if (in_set(i + di, j + dj))
                        w += area * (di == 0 && dj == 0 ? 5.0L / 9 : 1.0L / 18);
            const long double ws = w * sigma(i, j);
            sum2 += ws * ws;
            sum += ws;
        }
    ThreeDSums s;
    s.independent = static_cast<double>(std::sqrt(sum2));
    s.correlated = static_cast<double>(sum);
    return s;
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
    // The 3D net's errors come from the 2D cells under its 48 cells (lines
    // 1-6, columns 1-8), each 2D cell k entering with W_k, the sum of a ×
    // its weights in the windows that hold it: independent √(Σ (W_k σ)²);
    // correlated Σ W_k σ = 6.25 × 48 × 0.5, as in 2D, the weights of a
    // window summing to 1; the spatial one that of the same area.
    const ThreeDSums s = three_d_sums(8, 10, 6.25, [](int, int) { return 0.5; },
                                      [](int i, int j) { return i >= 1 && i <= 6 && j >= 1 && j <= 8; });
    EXPECT_NEAR(error_of(row(b, 1, "net"), "independent"), s.independent, 1e-9);
    EXPECT_GT(error_of(row(b, 1, "net"), "independent"), 0.9 * 21.650635); // not 21.65 / √3
    EXPECT_NEAR(error_of(row(b, 1, "net"), "correlated"), 150, 1e-9);
    EXPECT_NEAR(error_of(row(b, 1, "net"), "spatial"), 34.323421, 1e-6);
    // The CSV carries them too.
    EXPECT_NE(read_file(at("b.csv")).find("difference,set,cells,area_m2,volume_m3,independent_m3,correlated_m3,spatial_m3\n"
                                          "2D,lowering,1,6.25,-18.75,"),
              std::string::npos);
    EXPECT_NE(r.out.find("Rolstad"), std::string::npos);
}

TEST_F(ChangeErrors, AnOffsetOfEveryCellByItsErrorIsTheCorrelated3DError)
{
    // AFTER = BEFORE + σ_k at every cell, σ_k varying (eighths of a metre,
    // exact in float32), one cell of BEFORE without data: the 3D volume of
    // the net is then Σ_k W_k σ_k, the fully correlated error of its row.
    Grid before, after, sigma;
    before.lines = after.lines = sigma.lines = 8;
    before.columns = after.columns = sigma.columns = 10;
    before.values.assign(80, 100);
    before.has_nodata = true;
    before.nodata = -9999;
    sigma.values.resize(80);
    for (int k = 0; k < 80; k++)
        sigma.values[static_cast<size_t>(k)] = 0.125 * (1 + (k / 10 * 3 + k % 10 * 5) % 7);
    after.values = before.values;
    for (int k = 0; k < 80; k++)
        after.values[static_cast<size_t>(k)] += sigma.values[static_cast<size_t>(k)];
    before.values[4 * 10 + 5] = -9999;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    write_geotiff(at("sigma.tif"), sigma);
    Outcome r = change("--sigma-before 0 --sigma-after sigma.tif --correlation-range 20 --json b.json before.tif "
                       "after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json b = json("b.json");
    const double net = row(b, 1, "net")["volume_m3"];
    EXPECT_EQ(row(b, 1, "net")["cells"], 48 - 9);
    EXPECT_NEAR(error_of(row(b, 1, "net"), "correlated"), net, 1e-9 * net);
    EXPECT_NEAR(error_of(row(b, 1, "raising"), "correlated"), net, 1e-9 * net);
    // And the independent error is that of the same W_k.
    auto in_set = [](int i, int j) {
        return i >= 1 && i <= 6 && j >= 1 && j <= 8 && !(i >= 3 && i <= 5 && j >= 4 && j <= 6);
    };
    const ThreeDSums s = three_d_sums(
        8, 10, 6.25, [&](int i, int j) { return sigma.values[static_cast<size_t>(i) * 10 + j]; }, in_set);
    EXPECT_NEAR(error_of(row(b, 1, "net"), "independent"), s.independent, 1e-9);
    EXPECT_NEAR(s.correlated, net, 1e-9 * net);
}

TEST_F(ChangeErrors, DemBudgetGivesTheSameErrorsOnTheSameInput)
{
    const int lines = 9, columns = 11;
    std::vector<long long> first(lines * columns), second(lines * columns);
    unsigned seed = 977;
    for (int k = 0; k < lines * columns; k++) {
        seed = seed * 1103515245u + 12345u;
        first[static_cast<size_t>(k)] = 1000 + static_cast<int>(seed >> 16) % 41;
        seed = seed * 1103515245u + 12345u;
        second[static_cast<size_t>(k)] = 100000 + static_cast<int>(seed >> 16) % 4001;
    }
    write_pair(at("a"), PAIR_INPUT, DEM_M2, lines, columns, first);
    write_pair(at("b"), PAIR_INPUT, DEM_M4, lines, columns, second);
    Outcome c = change("--unit-before dm --unit-after mm --pixel 2 --sigma-before 0.3 --sigma-after 0.4 --lod 0.5 "
                       "--correlation-range 10 --json c.json a_m2.raw b_m4.raw out");
    ASSERT_EQ(c.status, 0) << c.err;
    Outcome d = run_in(dir, std::string(DEM_BUDGET) + " a_m2.raw b_m4.raw --unit1 dm --unit2 mm --pixel 2 --sigma1 0.3 "
                                                      "--sigma2 0.4 --lod 0.5 --correlation-range 10 --json");
    ASSERT_EQ(d.status, 0) << d.err;
    const nlohmann::json jc = json("c.json"), jb = nlohmann::json::parse(d.out);
    // dem_budget's d is first − second = −(AFTER − BEFORE): its cut is
    // dem_change's lowering, its fill the raising.
    const char *const pairs[][2] = {{"lowering", "cut"},
                                    {"raising", "fill"},
                                    {"unchanged", "unchanged"},
                                    {"detected_lowering", "lod_cut"},
                                    {"detected_raising", "lod_fill"},
                                    {"below_detection", "lod_unchanged"},
                                    {"net", "net"}};
    for (int which = 0; which < 2; which++)
        for (const auto &p : pairs) {
            const nlohmann::json &rc = row(jc, which, p[0]), &rb = jb["budgets"][which][p[1]];
            SCOPED_TRACE(std::string(which == 0 ? "2D " : "3D ") + p[0]);
            EXPECT_EQ(rc["cells"], rb["cells"]);
            // The nets: dem_budget's is the interactive tool's sum in scan
            // order, dem_change's the exact sum; the other rows are both exact.
            if (std::string(p[0]) == "net") {
                const nlohmann::json &low = row(jc, which, "lowering"), &high = row(jc, which, "raising");
                const double sum_abs = (high["volume_m3"].get<double>() - low["volume_m3"].get<double>()) * (1 + 0x1p-50);
                EXPECT_NEAR(rc["volume_m3"].get<double>(), -rb["volume_m3"].get<double>(),
                            budget_scan_order_bound(rc["cells"].get<long long>(), sum_abs));
            } else
                EXPECT_EQ(rc["volume_m3"].get<double>(), -rb["volume_m3"].get<double>());
            EXPECT_EQ(error_of(rc, "independent"), rb["volume_error_m3"].get<double>());
            EXPECT_EQ(error_of(rc, "correlated"), rb["volume_error_correlated_m3"].get<double>());
            EXPECT_EQ(error_of(rc, "spatial"), rb["volume_error_spatial_m3"].get<double>());
        }
    // The 3D net's fully correlated error is Σ_c a σ_d over its cells.
    EXPECT_NEAR(jb["budgets"][1]["net"]["volume_error_correlated_m3"].get<double>(), 0.5 * 4 * 7 * 9, 1e-9);
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

// The 3D errors of a line as the pass gives them: σ_d = 0.3 m everywhere
// but the last cell of the middle line, which has none. The error rasters
// are float32: the whole window's error is the float nearest 0.3 / √3.
TEST_F(ChangeErrors, ThreeDimensionalErrorsOfALine)
{
    Grid before, after, sigma;
    before.lines = after.lines = sigma.lines = 3;
    before.columns = after.columns = sigma.columns = 4;
    before.values.assign(12, 100);
    after.values.assign(12, 101);
    sigma.type = GDT_Float64;
    sigma.values.assign(12, 0.3);
    sigma.has_nodata = true;
    sigma.nodata = -1;
    sigma.values[1 * 4 + 3] = -1;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    write_geotiff(at("sigma.tif"), sigma);
    Outcome r = change("--sigma-before sigma.tif --sigma-after 0 --error-out before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    Grid e3 = read_geotiff(at("out_3D_sigma.tif"));
    ASSERT_EQ(e3.values.size(), 12u);
    for (double &v : e3.values)
        if (v == -FLT_MAX)
            v = std::nan("");
    const double *line = &e3.values[4], *first = &e3.values[0];
    EXPECT_TRUE(std::isnan(line[0]));                 // frame's border
    EXPECT_EQ(line[1], static_cast<double>(static_cast<float>(0.3 / std::sqrt(3.0)))); // whole window
    EXPECT_TRUE(std::isnan(line[2]));                 // a neighbour without error
    EXPECT_TRUE(std::isnan(line[3]));
    for (int j = 0; j < 4; j++) // first line of the frame
        EXPECT_TRUE(std::isnan(first[j]));
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
