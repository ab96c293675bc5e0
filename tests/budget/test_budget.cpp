// The change budget program, run as built on DEMs written for each test.
//
// Plan:
//   1. Hand-computed frames: a raised block, a pit, a uniform offset; exact
//      counts, areas, volumes and error bounds; the level of detection moves
//      cells to unchanged; a DEM against itself gives zeros.
//   2. The net volume is the tool's: its printed volumes for a scripted run,
//      and the difference pass itself to the last bit.
//   3. Results of the tool as input: signed and unsigned _m2 values, 3D.
//   4. The formats: table and JSON carry the sign convention and the units.
//   5. The pixel size: from the descriptors unless --pixel is given, with a
//      warning when the two DEMs record different sizes.
//   6. Bad command lines and unusable inputs fail with a message.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "dialogue_harness.h"
#include "difference.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

std::string descriptor(int lig, int col, int val)
{
    return std::to_string(lig) + "\n" + std::to_string(col) + "\n" + std::to_string(val) + "\n0\n0\n1\n";
}

// A frame of `lig` × `col` cells holding `fill`, with some cells set.
std::vector<int> frame(int lig, int col, int fill, const std::vector<std::vector<int>> &cells = {})
{
    std::vector<int> v(static_cast<size_t>(lig * col), fill);
    for (const auto &c : cells)
        v[static_cast<size_t>(c[0] * col + c[1])] = c[2];
    return v;
}

// One CSV row of the budget.
struct Row {
    long long cells = -1;
    double area = NAN, volume = NAN, error = NAN;
};

struct BudgetRun {
    int status;
    std::string out, err;
};

class Budget : public Dialogue {
  protected:
    // Runs the program in the test's DEM folder, its output going to `out`
    // (a file of the folder, or a device).
    BudgetRun budget(const std::string &args, const std::string &out = ".budget.out")
    {
        std::remove(path(".budget.out").c_str());
        const std::string command = "cd '" + path("") + "' && '" DEM_BUDGET_BIN "' " + args + " > " + out +
                                    " 2> .budget.err";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(".budget.out"), contents(".budget.err")};
    }
    // The fields after `label` on the line of the table that starts with it.
    static std::vector<std::string> table_fields(const std::string &table, const std::string &label)
    {
        std::vector<std::string> fields;
        const size_t at = table.find("\n  " + label + " ");
        if (at == std::string::npos)
            return fields;
        std::istringstream line(table.substr(at + 3 + label.size(), table.find('\n', at + 1) - at - 3 - label.size()));
        std::string field;
        while (line >> field)
            fields.push_back(field);
        return fields;
    }
    // Runs it with --csv and returns its rows by "difference,set".
    std::map<std::string, Row> rows(const std::string &args)
    {
        BudgetRun r = budget(args + " --csv");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::map<std::string, Row> table;
        std::istringstream lines(r.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "difference,set,cells,area_m2,volume_m3,volume_error_m3");
        while (std::getline(lines, line)) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            std::string field;
            while (std::getline(fields, field, ','))
                f.push_back(field);
            if (f.size() == 5)
                f.push_back("");
            EXPECT_EQ(f.size(), 6u) << line;
            if (f.size() != 6)
                continue;
            Row row;
            row.cells = std::stoll(f[2]);
            row.area = std::strtod(f[3].c_str(), nullptr);
            row.volume = std::strtod(f[4].c_str(), nullptr);
            if (!f[5].empty())
                row.error = std::strtod(f[5].c_str(), nullptr);
            table[f[0] + "," + f[1]] = row;
        }
        return table;
    }
    // Expects a row's cells, area and volume.
    static void expect_row(const std::map<std::string, Row> &t, const std::string &key, long long cells, double area,
                           double volume)
    {
        auto it = t.find(key);
        ASSERT_NE(it, t.end()) << key;
        EXPECT_EQ(it->second.cells, cells) << key;
        EXPECT_EQ(it->second.area, area) << key;
        EXPECT_EQ(it->second.volume, volume) << key;
    }
};

} // namespace

// 1. Hand-computed frames ------------------------------------------------------

TEST_F(Budget, ARaisedBlockIsCutWithItsAreaVolumeAndErrorBound)
{
    // 6 × 6 frame, 16 interior cells; a 2 × 2 block 3 m higher in the first
    // DEM; 2 m cells (4 m²).
    put_m2("a_m2.raw", frame(6, 6, 100, {{2, 2, 103}, {2, 3, 103}, {3, 2, 103}, {3, 3, 103}}));
    put("a_m2.txt", descriptor(6, 6, 2));
    put_m4("b_m4.raw", frame(6, 6, 100));
    put("b_m4.txt", descriptor(6, 6, 4));
    auto t = rows("a_m2.raw b_m4.raw --unit m --pixel 2 --sigma1 0.3 --sigma2 0.4");
    expect_row(t, "2D,cut", 4, 16, 48);
    expect_row(t, "2D,fill", 0, 0, 0);
    expect_row(t, "2D,unchanged", 12, 48, 0);
    expect_row(t, "2D,net", 16, 64, 48);
    // sigma_d = 0.5 m: ± 0.5 × 4 × √4 for the block, × √16 for the net.
    EXPECT_EQ(t["2D,cut"].error, 4.0);
    EXPECT_EQ(t["2D,net"].error, 8.0);
    EXPECT_EQ(t["2D,fill"].error, 0.0);
    // 3D: every interior cell touches the block; its 12 m of height spread
    // with weights summing to 1 keep the volume.
    EXPECT_EQ(t["3D,cut"].cells, 16);
    EXPECT_EQ(t["3D,unchanged"].cells, 0);
    EXPECT_NEAR(t["3D,net"].volume, 48, 1e-12);
    EXPECT_NEAR(t["3D,cut"].volume, 48, 1e-12);
    EXPECT_EQ(t.count("2D,lod_cut"), 0u);

    // A level of detection of 0.2 m: the four corner cells of the ring hold
    // 3/18 m in 3D and move to unchanged; the 2D cut keeps its 4 cells.
    t = rows("a_m2.raw b_m4.raw --unit m --pixel 2 --lod 0.2");
    expect_row(t, "2D,lod_cut", 4, 16, 48);
    expect_row(t, "2D,lod_unchanged", 12, 48, 0);
    EXPECT_EQ(t["3D,lod_cut"].cells, 12);
    EXPECT_EQ(t["3D,lod_unchanged"].cells, 4);
    EXPECT_NEAR(t["3D,lod_unchanged"].volume, 4 * 4 * 3.0 / 18, 1e-12);
    // The net stays the raw net.
    EXPECT_EQ(t["3D,net"].volume, rows("a_m2.raw b_m4.raw --unit m --pixel 2")["3D,net"].volume);
}

TEST_F(Budget, WithACorrelationRangeTheThreeErrorModels)
{
    // The raised block again: sigma_d = 0.5 m, cells of 4 m².
    put_m2("a_m2.raw", frame(6, 6, 100, {{2, 2, 103}, {2, 3, 103}, {3, 2, 103}, {3, 3, 103}}));
    put("a_m2.txt", descriptor(6, 6, 2));
    put_m4("b_m4.raw", frame(6, 6, 100));
    put("b_m4.txt", descriptor(6, 6, 4));
    // R = 2 m. The cut, 4 cells, A = 16 m²: independent 0.5 × 4 × √4 = 4,
    // correlated 0.5 × 4 × 4 = 8, L = √(16/π) = 2.2568 m ≥ R: spatial
    // 16 × 0.5 × 2 / (√5 × 2.2568) = 3.170662. The net, 16 cells, A = 64
    // m², L = 4.5135 m: 8, 32 and 6.341324.
    BudgetRun r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --sigma1 0.3 --sigma2 0.4 --correlation-range 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(table_fields(r.out, "cut (d > 0)"),
              (std::vector<std::string>{"4", "16.000000", "48.000000", "4.000000", "8.000000", "3.170662"}))
        << r.out;
    EXPECT_EQ(table_fields(r.out, "net, raw (all cells)"),
              (std::vector<std::string>{"16", "64.000000", "48.000000", "8.000000", "32.000000", "6.341324"}));
    EXPECT_NE(r.out.find("Rolstad, Haug and Denby 2009"), std::string::npos);
    // R = 10 m > L for the cut: 16 × 0.5 × √(1 − L/R + (L/R)³/5) = 7.050097.
    r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --sigma1 0.3 --sigma2 0.4 --correlation-range 10 --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("volume_error_m3,volume_error_correlated_m3,volume_error_spatial_m3\n"), std::string::npos);
    EXPECT_NE(r.out.find("2D,cut,4,16,48,4,8,7.0500967675360"), std::string::npos) << r.out;
    r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --sigma1 0.3 --sigma2 0.4 --correlation-range 10 --json");
    EXPECT_NE(r.out.find("\"volume_error_correlated_m3\": 8"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"volume_error_spatial_m3\": 7.0500967675360"), std::string::npos) << r.out;
    // The range needs the errors.
    r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --correlation-range 10");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--correlation-range needs"), std::string::npos) << r.err;
}

TEST_F(Budget, APitIsFillInTheUnitsOfEachDem)
{
    // First DEM in decimetres with a 2 m pit, second in metres; 0.5 m cells.
    put_m4("a_m4.raw", frame(5, 5, 1000, {{2, 2, 980}}));
    put("a_m4.txt", descriptor(5, 5, 4));
    put_m2("b_m2.raw", frame(5, 5, 100));
    put("b_m2.txt", descriptor(5, 5, 2));
    auto t = rows("a_m4.raw b_m2.txt --unit1 dm --unit2 m --pixel 0.5 --lod 1");
    expect_row(t, "2D,fill", 1, 0.25, -0.5);
    expect_row(t, "2D,cut", 0, 0, 0);
    expect_row(t, "2D,unchanged", 8, 2, 0);
    expect_row(t, "2D,net", 9, 2.25, -0.5);
    expect_row(t, "2D,lod_fill", 1, 0.25, -0.5);
    // 3D: -10/9 m at the pit, -1/9 m at each of its eight neighbours, which
    // the 1 m level of detection leaves unchanged.
    EXPECT_EQ(t["3D,fill"].cells, 9);
    EXPECT_EQ(t["3D,lod_fill"].cells, 1);
    EXPECT_EQ(t["3D,lod_unchanged"].cells, 8);
    EXPECT_NEAR(t["3D,lod_fill"].volume, -10.0 / 9 * 0.25, 1e-15);
    EXPECT_NEAR(t["3D,net"].volume, -0.5, 1e-15);
}

TEST_F(Budget, AUniformOffsetAndADemAgainstItself)
{
    // 100.5 m against 100 m, in centimetres: 12 interior cells of 6.25 m².
    put_m4("a_m4.raw", frame(5, 6, 10050));
    put("a_m4.txt", descriptor(5, 6, 4));
    put_m4("b_m4.raw", frame(5, 6, 10000));
    put("b_m4.txt", descriptor(5, 6, 4));
    // |d| equal to the level of detection is a change.
    auto at = rows("a_m4.raw b_m4.raw --unit cm --pixel 2.5 --lod 0.5");
    // Above it, every cell moves to unchanged; the net does not change.
    auto above = rows("a_m4.raw b_m4.raw --unit cm --pixel 2.5 --lod 0.6");
    // Swapped, the offset is fill.
    auto swapped = rows("b_m4.raw a_m4.raw --unit cm --pixel 2.5");
    // Against itself: nothing but unchanged cells.
    auto itself = rows("a_m4.raw a_m4.raw --unit cm --pixel 2.5 --lod 0.1");
    for (const std::string d : {"2D,", "3D,"}) {
        expect_row(at, d + "cut", 12, 75, 37.5);
        expect_row(at, d + "lod_cut", 12, 75, 37.5);
        expect_row(at, d + "net", 12, 75, 37.5);
        expect_row(above, d + "lod_cut", 0, 0, 0);
        expect_row(above, d + "lod_unchanged", 12, 75, 37.5);
        expect_row(above, d + "net", 12, 75, 37.5);
        expect_row(swapped, d + "fill", 12, 75, -37.5);
        expect_row(swapped, d + "cut", 0, 0, 0);
        expect_row(itself, d + "cut", 0, 0, 0);
        expect_row(itself, d + "fill", 0, 0, 0);
        expect_row(itself, d + "unchanged", 12, 75, 0);
        expect_row(itself, d + "lod_unchanged", 12, 75, 0);
        expect_row(itself, d + "net", 12, 75, 0);
    }
}

// 2. The net is the tool's volume -------------------------------------------------

TEST_F(Budget, TheNetIsTheVolumeOfTheToolToTheLastBit)
{
    // Irregular heights in decimetres and millimetres, an awkward pixel size:
    // sums whose last bits depend on the order and rounding of every step.
    const int lig = 7, col = 9;
    std::vector<int> first(lig * col), second(lig * col);
    unsigned seed = 12345;
    for (int k = 0; k < lig * col; k++) {
        seed = seed * 1103515245u + 12345u;
        first[k] = 1000 + static_cast<int>(seed >> 16) % 37;
        seed = seed * 1103515245u + 12345u;
        second[k] = 100000 + static_cast<int>(seed >> 16) % 3001;
    }
    put_m2("a_m2.raw", first);
    put("a_m2.txt", descriptor(lig, col, 2));
    put_m4("b_m4.raw", second);
    put("b_m4.txt", descriptor(lig, col, 4));

    RunResult tool = run(folder() + " a 0 b 1 r 1 1 3 2 0.37 0 \n");
    ASSERT_EQ(tool.status, 0) << tool.output;
    auto t = rows("a_m2.raw b_m4.raw --unit1 dm --unit2 mm --pixel 0.37");
    char shown[200];
    std::snprintf(shown, sizeof shown, "2D Volume %lf 3D Volume %lf ", t["2D,net"].volume, t["3D,net"].volume);
    EXPECT_NE(tool.output.find(shown), std::string::npos) << shown << "\n" << tool.output;

    // The difference pass on the same heights, compared bit for bit (the CSV
    // carries 17 significant digits, which read back exactly).
    int **i1 = imatrice(col, lig), **i2 = imatrice(col, lig), **r2D = imatrice(col, lig), **r3D = imatrice(col, lig);
    double **d1 = dmatrice(col, lig), **d2 = dmatrice(col, lig);
    for (int k = 0; k < lig * col; k++) {
        i1[k / col][k % col] = first[k];
        i2[k / col][k % col] = second[k];
    }
    convert_to_metres(i1, d1, lig, col, 1);
    convert_to_metres(i2, d2, lig, col, 3);
    DifferenceSums s = difference_pass(d1, d2, lig, col, 0.37, TREAT_ABSOLUTE, 2, DEM_M4, r2D, r3D);
    EXPECT_EQ(t["2D,net"].volume, s.vol_total_2D);
    EXPECT_EQ(t["3D,net"].volume, s.vol_total_3D);
    // The parts add up to the net up to the rounding of their own sums.
    EXPECT_NEAR(t["2D,cut"].volume + t["2D,fill"].volume, s.vol_total_2D, 1e-9);
    EXPECT_EQ(t["2D,cut"].cells + t["2D,fill"].cells + t["2D,unchanged"].cells, (lig - 2) * (col - 2));
    frimatrice(i1, lig);
    frimatrice(i2, lig);
    frimatrice(r2D, lig);
    frimatrice(r3D, lig);
    frdmatrice(d1, lig);
    frdmatrice(d2, lig);
}

// 3. Results as input ------------------------------------------------------------

TEST_F(Budget, AResultOfTheToolGivesTheBudgetOfItsStoredValues)
{
    // The second DEM 5 m higher at one cell; negative values kept, stored in
    // _m2 metres: -5 wraps to 65531 in 2D, -25/9 truncates to -2 (65534) in 3D.
    put_m2("a_m2.raw", frame(4, 4, 100));
    put("a_m2.txt", descriptor(4, 4, 2));
    put_m2("b_m2.raw", frame(4, 4, 100, {{1, 1, 105}}));
    put("b_m2.txt", descriptor(4, 4, 2));
    ASSERT_EQ(run(folder() + " a 0 b 0 n 0 0 0 0 1 1 \n").status, 0);
    auto t = rows("--result n_2D_m2.raw --unit m --pixel 1 --signed");
    expect_row(t, "2D,fill", 1, 1, -5);
    expect_row(t, "2D,unchanged", 3, 3, 0);
    expect_row(t, "2D,net", 4, 4, -5);
    EXPECT_EQ(t.count("3D,net"), 0u);
    // Read without sign, the wrapped value is a rise of 65531 m.
    t = rows("--result n_2D_m2.txt --unit m --pixel 1");
    expect_row(t, "2D,cut", 1, 1, 65531);
    t = rows("--result n_3D_m2.raw --unit 0 --pixel 2 --signed");
    expect_row(t, "3D,fill", 1, 4, -8);
    EXPECT_EQ(t.count("2D,net"), 0u);

    // The halves of the 2-byte range: 32767 stays, 32768 is -32768.
    put_m2("h_3D_m2.raw", frame(3, 4, 0, {{1, 1, 32767}, {1, 2, 32768}}));
    put("h_3D_m2.txt", descriptor(3, 4, 2));
    t = rows("--result h_3D_m2.raw --unit mm --pixel 1 --signed");
    expect_row(t, "3D,cut", 1, 1, 32.767);
    expect_row(t, "3D,fill", 1, 1, -32.768);

    // In centimetres, _m4: the stored -500 is -5 m again.
    ASSERT_EQ(run(folder() + " a 0 b 0 c 1 0 0 2 1 1 \n").status, 0);
    t = rows("--result c_2D_m4.raw --unit cm --pixel 1");
    expect_row(t, "2D,fill", 1, 1, -5);
    t = rows("--result c_2D_m4.raw --unit 0.01mm --pixel 1");
    expect_row(t, "2D,fill", 1, 1, -0.005);
}

// 4. Formats ------------------------------------------------------------------------

TEST_F(Budget, TheTableAndJsonStateTheSignUnitsAndErrorModel)
{
    put_m2("a_m2.raw", frame(4, 4, 100, {{1, 1, 109}}));
    put("a_m2.txt", descriptor(4, 4, 2));
    put_m4("b_m4.raw", frame(4, 4, 100, {{2, 2, 103}}));
    put("b_m4.txt", descriptor(4, 4, 4));
    BudgetRun r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --lod 0.5 --sigma1 0.03 --sigma2 0.04");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *text : {"d = first DEM - second DEM", "positive = the first DEM is higher",
                             "cut : d > 0, the surface is lower in the second DEM", "fill: d < 0",
                             "uniform, uncorrelated errors assumed", "sigma_d = sqrt(0.03^2 + 0.04^2) = 0.05 m",
                             "area (m2)", "volume (m3)", "+/- (m3)", "Cell: 2 m x 2 m = 4 m2"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    // The 2D net, 36 - 12 m³, printed as the tool prints its volume, with
    // its error bound 0.05 × 4 × √4; the cut, 0.05 × 4 × √1.
    EXPECT_EQ(table_fields(r.out, "net, raw (all cells)"),
              (std::vector<std::string>{"4", "16.000000", "24.000000", "0.400000"}))
        << r.out;
    EXPECT_EQ(table_fields(r.out, "cut (d > 0)"), (std::vector<std::string>{"1", "4.000000", "36.000000", "0.200000"}));
    EXPECT_EQ(table_fields(r.out, "fill above lod (d <= -lod)"),
              (std::vector<std::string>{"1", "4.000000", "-12.000000", "0.200000"}));

    r = budget("a_m2.raw b_m4.raw --unit m --pixel 2 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    using json = nlohmann::json;
    const json doc = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    EXPECT_EQ(doc["sign"].get<std::string>().rfind(
                  "positive = the first DEM is higher; cut: difference > 0, fill: difference < 0", 0),
              0u)
        << r.out;
    EXPECT_EQ(doc["inputs"]["first"], (json{{"raster", "a_m2.raw"}, {"unit", "m"}})) << r.out;
    EXPECT_EQ(doc["cell_area_m2"], 4) << r.out;
    EXPECT_EQ(doc["pixel_size_from"], "--pixel") << r.out;
    EXPECT_TRUE(doc["lod_m"].is_null()) << r.out;
    EXPECT_EQ(doc["budgets"][0]["net"], (json{{"cells", 4}, {"area_m2", 16}, {"volume_m3", 24}, {"volume_error_m3", nullptr}}))
        << r.out;
    EXPECT_EQ(doc["budgets"][1]["difference"], "3D") << r.out;
    // Full precision: the 3D net of the CSV (%.17g) reads back to the same double.
    EXPECT_EQ(doc["budgets"][1]["net"]["volume_m3"].get<double>(),
              rows("a_m2.raw b_m4.raw --unit m --pixel 2")["3D,net"].volume);
}

// 5. The pixel size --------------------------------------------------------------------

TEST_F(Budget, ThePixelSizeComesFromTheDescriptorsUnlessGiven)
{
    // A 2 m cell recorded by both descriptors: the same budget as --pixel 2.
    put_m2("a_m2.raw", frame(4, 5, 100, {{1, 1, 103}, {2, 3, 98}}));
    put("a_m2.txt", "4\n5\n2\n98\n103\n2\n");
    put_m4("b_m4.raw", frame(4, 5, 100));
    put("b_m4.txt", "4\n5\n4\n100\n100\n2\n");
    auto recorded = rows("a_m2.raw b_m4.raw --unit m");
    auto given = rows("a_m2.raw b_m4.raw --unit m --pixel 2");
    expect_row(recorded, "2D,cut", 1, 4, 12);
    expect_row(recorded, "2D,fill", 1, 4, -8);
    for (const char *key : {"2D,cut", "2D,fill", "2D,net", "3D,net"})
        expect_row(recorded, key, given[key].cells, given[key].area, given[key].volume);
    // --pixel overrides the descriptors.
    expect_row(rows("a_m2.raw b_m4.raw --unit m --pixel 0.5"), "2D,cut", 1, 0.25, 0.75);
    BudgetRun r = budget("a_m2.raw b_m4.raw --unit m");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cell: 2 m x 2 m = 4 m2 (pixel size from the descriptor a_m2.txt)"), std::string::npos)
        << r.out;
    // A result carries the first DEM's pixel size in its descriptor.
    put_m4("c_2D_m4.raw", frame(3, 3, 0, {{1, 1, 250}}));
    put("c_2D_m4.txt", "3\n3\n4\n0\n250\n3\n");
    expect_row(rows("--result c_2D_m4.raw --unit cm"), "2D,cut", 1, 9, 22.5);
}

TEST_F(Budget, DifferentPixelSizesInTheDescriptorsAreWarnedOf)
{
    put_m2("a_m2.raw", frame(3, 3, 100, {{1, 1, 101}}));
    put("a_m2.txt", "3\n3\n2\n100\n101\n2\n");
    put_m2("b_m2.raw", frame(3, 3, 100));
    put("b_m2.txt", "3\n3\n2\n100\n100\n3\n");
    BudgetRun r = budget("a_m2.raw b_m2.raw --unit m --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("dem_budget: warning: the DEMs record different pixel sizes: 2 m (the descriptor a_m2.txt), "
                          "3 m (the descriptor b_m2.txt); the budget takes the first DEM's",
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.out.find("2D,cut,1,4,4,"), std::string::npos) << r.out; // 1 m over 2 m x 2 m
    // With --pixel the warning stays, and says which size is taken.
    r = budget("a_m2.raw b_m2.raw --unit m --pixel 5 --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("the budget takes --pixel 5 m"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("2D,cut,1,25,25,"), std::string::npos) << r.out;
    // The same sizes, no warning.
    put("b_m2.txt", "3\n3\n2\n100\n100\n2\n");
    EXPECT_EQ(budget("a_m2.raw b_m2.raw --unit m").err, "");
}

// 6. Failures -------------------------------------------------------------------------

TEST_F(Budget, BadCommandLinesAreRefusedWithUsage)
{
    put_m2("a_m2.raw", frame(3, 3, 1));
    put("a_m2.txt", descriptor(3, 3, 2));
    put_m2("nopix_m2.raw", frame(3, 3, 1));
    put("nopix_m2.txt", "3\n3\n2\n");
    const char *const bad[][2] = {
        {"", "two DEMs are needed"},
        {"a_m2.raw a_m2.raw --unit1 m --pixel 1", "height unit of the second DEM is needed"},
        {"a_m2.raw nopix_m2.raw --unit m", "the descriptor nopix_m2.txt records no pixel size: give --pixel"},
        {"a_m2.raw a_m2.raw --unit 0.1mm --pixel 1", "'0.1mm' is not a height unit of a DEM"},
        {"a_m2.raw a_m2.raw --unit m --pixel 0", "--pixel: '0' is not a length in metres above 0"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1e300", "beyond the range of a double"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1 --lod -1", "--lod: '-1' is not a length in metres of 0 or more"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1 --sigma2 1", "needs both --sigma1 and --sigma2"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1 --json --csv", "exclude each other"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1 --lod", "--lod needs a value"},
        {"a_m2.raw a_m2.raw --unit m --pixel 1 --width 3", "not expected: --width"},
        {"a.raw a_m2.raw --unit m --pixel 1", "cannot tell the value type of 'a.raw'"},
        {"a_2D_m2.raw a_m2.raw --unit m --pixel 1", "'a_2D_m2.raw' is a result of skarnovelt_v2, not a DEM"},
        {"--result a_m2.raw --unit m --pixel 1", "cannot tell the kind of result of 'a_m2.raw'"},
        {"--result a_2D_m4.raw --unit m --pixel 1 --signed", "--signed applies to _m2 results"},
        {"--result a_2D_m2.raw a_m2.raw --unit m --pixel 1", "takes the place of the two DEMs"},
    };
    for (const auto &b : bad) {
        BudgetRun r = budget(b[0]);
        EXPECT_EQ(r.status, 2) << b[0];
        EXPECT_EQ(r.out, "") << b[0];
        EXPECT_EQ(r.err.rfind("dem_budget: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(b[1]), std::string::npos) << b[0] << "\n" << r.err;
        EXPECT_NE(r.err.find("Try 'dem_budget --help'"), std::string::npos) << r.err;
    }
    BudgetRun help = budget("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: dem_budget", 0), 0u);
    EXPECT_NE(help.out.find("cut   d > 0"), std::string::npos);
}

TEST_F(Budget, UnusableInputsFailWithAMessageAndNoReport)
{
    put_m2("a_m2.raw", frame(3, 4, 1));
    put("a_m2.txt", descriptor(3, 4, 2));
    put_m2("short_m2.raw", frame(3, 3, 1));
    put("short_m2.txt", descriptor(3, 4, 2));
    put("long_m2.raw", m2_bytes(frame(3, 4, 1)) + "x");
    put("long_m2.txt", descriptor(3, 4, 2));
    put_m2("wide_m2.raw", frame(3, 5, 1));
    put("wide_m2.txt", descriptor(3, 5, 2));
    put_m2("bad_m2.raw", frame(3, 4, 1));
    put("bad_m2.txt", "3\n");
    put("huge_m2.txt", descriptor(100000, 100000, 2));
    put_m2("huge_m2.raw", frame(2, 2, 1));
    const char *const failing[][2] = {
        {"a_m2.raw none_m2.raw", "cannot open the descriptor none_m2.txt"},
        {"a_m2.raw short_m2.raw", "the raster short_m2.raw holds 18 bytes, but the frame of short_m2.txt (3 lines "
                                  "x 4 columns of 2 bytes) needs 24"},
        {"a_m2.raw long_m2.raw", "long_m2.raw holds 25 bytes"},
        {"a_m2.raw wide_m2.raw", "the frames differ: a_m2.txt has 3 lines and 4 columns, wide_m2.txt has 3 lines and 5"},
        {"a_m2.raw bad_m2.raw", "the descriptor bad_m2.txt gives no frame"},
        {"huge_m2.raw huge_m2.raw", "huge_m2.raw holds 8 bytes, but the frame of huge_m2.txt (100000 lines"},
        {"a_m2.raw a_m4.raw", "cannot open the descriptor a_m4.txt"},
    };
    for (const auto &f : failing) {
        BudgetRun r = budget(std::string(f[0]) + " --unit m --pixel 1");
        EXPECT_EQ(r.status, 1) << f[0];
        EXPECT_EQ(r.out, "") << f[0];
        EXPECT_NE(r.err.find(f[1]), std::string::npos) << f[0] << "\n" << r.err;
    }
    // A descriptor without its raster.
    put("lone_m4.txt", descriptor(3, 4, 4));
    BudgetRun r = budget("a_m2.raw lone_m4.txt --unit m --pixel 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open the raster lone_m4.raw"), std::string::npos) << r.err;
    // A report that cannot be written is a failure too.
    r = budget("a_m2.raw a_m2.raw --unit m --pixel 1 --json", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write the report"), std::string::npos) << r.err;
}
