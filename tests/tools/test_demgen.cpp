// The DEM pair generator, run as a user runs it.
//
// Plan:
//   DemgenOffset     the second DEM is the first moved by the offset, in its
//                    own unit, and the printed volume is offset x interior
//                    area;
//   DemgenLandslide  the change stays 2 cells inside the frame, the scar lies
//                    above its deposit, the two nearly balance, and the
//                    printed volumes are those of the written rasters;
//   DemgenRandom     smooth relief within the asked range, reproducible from
//                    its seed;
//   DemgenFrom       a source DEM is copied exactly, and the committed demo
//                    data is what its documented command makes;
//   DemgenErrors     bad command lines and impossible DEMs: a message, a
//                    non-zero status and no file left behind.
#include "tool_test_support.h"

#include "dem_files.h"

#include <cmath>
#include <cstdlib>

namespace {

class DemgenTest : public ScratchTest {
protected:
    Outcome demgen(std::vector<std::string> args)
    {
        args.push_back("--out-dir");
        args.push_back(dir);
        return run_program(DEMGEN, args, dir);
    }
};

// Volume in m3 of a difference in the given unit per metre over cells of
// pixel metres.
double volume(long long difference, double per_metre, double pixel) { return difference / per_metre * pixel * pixel; }

} // namespace

TEST_F(DemgenTest, OffsetMovesEveryCellAndGivesOffsetTimesInteriorArea)
{
    Outcome r = demgen({"--scenario", "offset", "--lines", "12", "--columns", "15", "--first", "a", "--first-type", "0",
                    "--first-unit", "2", "--low", "10", "--high", "20", "--second", "b", "--second-type", "1",
                    "--second-unit", "3", "--offset", "-0.25", "--pixel-size", "2.5", "--seed", "4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Grid a = read_grid(path("a_m2.raw"), DEM_M2, 12, 15);
    Grid b = read_grid(path("b_m4.raw"), DEM_M4, 12, 15);
    for (int i = 0; i < 12; i++)
        for (int j = 0; j < 15; j++) {
            EXPECT_GE(a[i][j], 1000); // cm
            EXPECT_LE(a[i][j], 2000);
            EXPECT_EQ(b[i][j], a[i][j] * 10 - 250) << i << "," << j; // mm
        }
    // First minus second is +0.25 m on 10 x 13 interior cells of 6.25 m2.
    EXPECT_DOUBLE_EQ(number_after(r.out, "net"), 0.25 * 130 * 6.25);
    EXPECT_DOUBLE_EQ(number_after(r.out, "positive"), 0.25 * 130 * 6.25);
    EXPECT_DOUBLE_EQ(number_after(r.out, "negative"), 0);

    // The descriptors hold the frame, the bytes per value, the true range and
    // the pixel size rounded to a whole number.
    std::vector<int> da = descriptor_fields(path("a_m2.txt"));
    std::vector<int> db = descriptor_fields(path("b_m4.txt"));
    long long lo = a[0][0], hi = a[0][0];
    for (const auto &line : a)
        for (long long v : line) {
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    EXPECT_EQ(da, (std::vector<int>{12, 15, 2, static_cast<int>(lo), static_cast<int>(hi), 3}));
    EXPECT_EQ(db, (std::vector<int>{12, 15, 4, static_cast<int>(lo * 10 - 250), static_cast<int>(hi * 10 - 250), 3}));
}

TEST_F(DemgenTest, LandslideStaysInsideBalancesAndPrintsTheVolumesOfItsRasters)
{
    for (const char *seed : {"1", "7"}) {
        Outcome r = demgen({"--scenario", "landslide", "--lines", "40", "--columns", "50", "--first", "before",
                        "--second", "after", "--second-type", "1", "--second-unit", "1", "--pixel-size", "10",
                        "--seed", seed});
        ASSERT_EQ(r.status, 0) << r.err;
        Grid before = read_grid(path("before_m2.raw"), DEM_M2, 40, 50);
        Grid after = read_grid(path("after_m4.raw"), DEM_M4, 40, 50);
        long long positive = 0, negative = 0; // dm, before minus after
        double scar_height = 0, deposit_height = 0;
        int scar_cells = 0, deposit_cells = 0;
        for (int i = 0; i < 40; i++)
            for (int j = 0; j < 50; j++) {
                long long d = before[i][j] * 10 - after[i][j];
                if (d == 0)
                    continue;
                EXPECT_TRUE(i >= 2 && i <= 37 && j >= 2 && j <= 47) << "changed cell " << i << "," << j;
                if (d > 0) {
                    positive += d;
                    scar_height += before[i][j];
                    scar_cells++;
                } else {
                    negative += d;
                    deposit_height += before[i][j];
                    deposit_cells++;
                }
            }
        ASSERT_GT(scar_cells, 0);
        ASSERT_GT(deposit_cells, 0);
        // The material moved down the slope.
        EXPECT_GT(scar_height / scar_cells, deposit_height / deposit_cells) << "seed " << seed;
        // Scar and deposit hold the same volume but for rounding to whole dm.
        EXPECT_LT(std::abs(positive + negative), positive / 50) << "seed " << seed;
        EXPECT_NEAR(number_after(r.out, "positive"), volume(positive, 10, 10), 1e-6);
        EXPECT_NEAR(number_after(r.out, "negative"), volume(negative, 10, 10), 1e-6);
        EXPECT_NEAR(number_after(r.out, "net"), volume(positive + negative, 10, 10), 1e-6);
    }
}

TEST_F(DemgenTest, LandslideDepthAndLengthAreTheAskedOnes)
{
    Outcome r = demgen({"--scenario", "landslide", "--lines", "60", "--columns", "60", "--first-unit", "2",
                    "--second-unit", "2", "--depth", "12.5", "--length", "20", "--seed", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    Grid first = read_grid(path("first_m2.raw"), DEM_M2, 60, 60);
    Grid second = read_grid(path("second_m2.raw"), DEM_M2, 60, 60);
    long long deepest = 0;
    int scar_cells = 0;
    for (int i = 0; i < 60; i++)
        for (int j = 0; j < 60; j++) {
            long long d = first[i][j] - second[i][j];
            deepest = d > deepest ? d : deepest;
            scar_cells += d > 0;
        }
    // A bowl 12.5 m deep at its centre cell, over an ellipse of 20 x 12
    // cells: pi x 10 x 6 = about 188 cells.
    EXPECT_EQ(deepest, 1250);
    EXPECT_GT(scar_cells, 170);
    EXPECT_LT(scar_cells, 200);
}

TEST_F(DemgenTest, RandomReliefIsSmoothWithinItsRangeAndReproducible)
{
    auto make = [&](const char *seed, bool white) {
        std::vector<std::string> args = {"--scenario", "random", "--lines", "64", "--columns", "80", "--first-type", "1",
                                         "--second-type", "1", "--low", "100", "--high", "200", "--seed", seed};
        if (white)
            args.push_back("--white");
        Outcome r = demgen(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return file_bytes(path("first_m4.raw")) + file_bytes(path("second_m4.raw"));
    };
    // Mean step between neighbours along the lines, as a share of the range.
    auto roughness = [&](const Grid &g) {
        double sum = 0;
        int n = 0;
        for (const auto &line : g)
            for (size_t j = 1; j < line.size(); j++, n++)
                sum += std::abs(line[j] - line[j - 1]);
        return sum / n / 100;
    };
    const std::string one = make("11", false);
    Grid first = read_grid(path("first_m4.raw"), DEM_M4, 64, 80);
    Grid second = read_grid(path("second_m4.raw"), DEM_M4, 64, 80);
    long long lo = 1000, hi = -1;
    for (const Grid *g : {&first, &second})
        for (const auto &line : *g)
            for (long long v : line) {
                lo = v < lo ? v : lo;
                hi = v > hi ? v : hi;
            }
    EXPECT_GE(lo, 100);
    EXPECT_LE(hi, 200);
    EXPECT_GT(hi - lo, 40); // the relief uses a good part of the range
    EXPECT_LT(roughness(first), 0.05);
    EXPECT_NE(first, second);

    EXPECT_EQ(make("11", false), one);
    EXPECT_NE(make("12", false), one);

    make("11", true);
    EXPECT_GT(roughness(read_grid(path("first_m4.raw"), DEM_M4, 64, 80)), 0.2);
}

TEST_F(DemgenTest, FromCopiesTheSourceAndRemakesTheDemoData)
{
    // The documented command behind examples/images/demo.
    Outcome r = demgen({"--from", std::string(DEMO_DIR) + "/before", "--from-type", "0", "--from-unit", "0", "--scenario",
                    "landslide", "--first", "before", "--second", "after", "--second-type", "1", "--second-unit", "1",
                    "--depth", "40", "--length", "30", "--seed", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name : {"before_m2.raw", "before_m2.txt", "after_m4.raw", "after_m4.txt"})
        EXPECT_TRUE(file_bytes(path(name)) == file_bytes(std::string(DEMO_DIR) + "/" + name)) << name;
    // The volumes recorded beside the data are the ones it holds.
    const std::string recorded = file_bytes(std::string(DEMO_DIR) + "/landslide.txt");
    const size_t from = recorded.find("landslide:");
    ASSERT_NE(from, std::string::npos) << recorded;
    EXPECT_NE(r.out.find(recorded.substr(from)), std::string::npos) << r.out;

    // A source in decimetres written in centimetres and in metres: both show
    // it rounded to whole metres (halves away from zero), the coarser unit,
    // so that ground the scenario leaves alone is equal in both.
    write_pair(path("src"), DEM_M4, Grid{{12344, 12345, 12346, -7}, {0, 5, 15, 25}}, 7);
    r = demgen({"--from", path("src"), "--from-type", "1", "--from-unit", "1", "--scenario", "offset", "--offset", "0",
                "--first", "cm", "--first-type", "1", "--first-unit", "2", "--second", "m", "--second-type", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_grid(path("cm_m4.raw"), DEM_M4, 2, 4), (Grid{{123400, 123500, 123500, -100}, {0, 100, 200, 300}}));
    EXPECT_EQ(read_grid(path("m_m4.raw"), DEM_M4, 2, 4), (Grid{{1234, 1235, 1235, -1}, {0, 1, 2, 3}}));
    EXPECT_EQ(descriptor_fields(path("m_m4.txt"))[5], 7); // the source's pixel size
}

TEST_F(DemgenTest, HelpAndBadCommandLines)
{
    Outcome help = demgen({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.find("Usage: demgen"), 0u);

    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const std::vector<std::string> frame = {"--lines", "20", "--columns", "20"};
    const Case cases[] = {
        {{"--lines", "20", "--columns", "20"}, "--scenario is required"},
        {{"--scenario", "random"}, "--lines and --columns are needed"},
        {{"--scenario", "slump", "--lines", "20", "--columns", "20"}, "--scenario: 'slump' is not one of random, offset, landslide"},
        {{"--scenario", "random", "--lines", "0", "--columns", "20"}, "--lines: '0' is not a whole number from 1 to"},
        {{"--scenario", "random", "--lines", "2x", "--columns", "20"}, "--lines: '2x'"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--first-type", "2"}, "--first-type: '2' is not a value type"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--second-unit", "4"}, "--second-unit: '4' is not a unit"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--pixel-size", "0"}, "--pixel-size: '0' is not"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--pixel-size", "nan"}, "--pixel-size: 'nan' is not"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--low", "5", "--high", "5"}, "low < high"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--second", "first"}, "the same files"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--first", "a/b"}, "plain file name"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--seed"}, "--seed needs a value"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "--bogus", "1"}, "not expected: 1 --bogus"},
        {{"--scenario", "random", "--lines", "20", "--columns", "20", "stray"}, "not expected: stray"},
    };
    for (const Case &c : cases) {
        Outcome r = run_program(DEMGEN, c.args, dir);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err.rfind("demgen: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Try 'demgen --help'."), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(DemgenTest, ImpossibleDemsLeaveNoFileAndKeepTheOldOnes)
{
    // Heights up to 100 m in millimetres do not fit _m2.
    write_text(path("first_m2.raw"), "old raster");
    Outcome r = demgen({"--scenario", "random", "--lines", "20", "--columns", "20", "--first-unit", "3", "--low", "0",
                    "--high", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("outside the range 0 to 65535 of _m2"), std::string::npos) << r.err;
    EXPECT_EQ(file_bytes(path("first_m2.raw")), "old raster");
    EXPECT_EQ(files(), std::vector<std::string>{"first_m2.raw"});

    // A landslide needs room.
    r = demgen({"--scenario", "landslide", "--lines", "8", "--columns", "30"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("too small for a landslide"), std::string::npos) << r.err;

    // A missing folder, a missing source, a source that does not fill its frame.
    r = run_program(DEMGEN, {"--scenario", "random", "--lines", "20", "--columns", "20", "--out-dir", path("none")}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(path("none") + "/first_m2.raw: cannot be written: its folder " + path("none") + "/ does not exist"), std::string::npos) << r.err;
    r = demgen({"--scenario", "offset", "--from", path("nothing")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open the descriptor " + path("nothing_m2.txt")), std::string::npos) << r.err;
    write_text(path("short_m2.raw"), std::string(10, '\0'));
    write_text(path("short_m2.txt"), "2\n3\n2\n0\n0\n1\n");
    r = demgen({"--scenario", "offset", "--from", path("short")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds 10 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"first_m2.raw", "short_m2.raw", "short_m2.txt"}));
}

// ---------------------------------------------------------------------------
// The generator's volumes against the tool's, over whole scripted runs.
// ---------------------------------------------------------------------------

namespace {

struct ToolVolumes {
    double v2D = 0, v3D = 0;
};

// Runs the tool in the scratch folder on images/site/first and second, the
// results named r in _m4 millimetres, with the pixel size and treatment.
ToolVolumes run_tool(const std::string &dir, const std::string &types_and_units, const std::string &pixel, int treatment)
{
    Outcome r = run_program(SKARNOVELT, {}, dir, types_and_units + "\n" + pixel + "\n" + std::to_string(treatment) + "\nk\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ToolVolumes v;
    size_t at = r.out.find("2D Volume ");
    EXPECT_NE(at, std::string::npos) << r.out;
    if (at != std::string::npos) {
        EXPECT_EQ(std::sscanf(r.out.c_str() + at, "2D Volume %lf 3D Volume %lf", &v.v2D, &v.v3D), 2) << r.out;
    }
    return v;
}

} // namespace

TEST_F(DemgenTest, TheToolFindsTheGeneratedVolumes)
{
    ASSERT_EQ(std::system(("mkdir -p '" + path("images/site") + "'").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        const char *answers; // folder to results unit, as the tool asks them
    };
    const Case cases[] = {
        {{"--scenario", "landslide", "--lines", "50", "--columns", "60", "--second-type", "1", "--second-unit", "2",
          "--seed", "5"},
         "site\nfirst\n0\nsecond\n1\nr\n1\n0\n2\n3"},
        {{"--scenario", "landslide", "--lines", "45", "--columns", "40", "--first-type", "1", "--first-unit", "3",
          "--second-unit", "1", "--depth", "3.7", "--seed", "9"},
         "site\nfirst\n1\nsecond\n0\nr\n1\n3\n1\n3"},
        {{"--scenario", "offset", "--lines", "30", "--columns", "20", "--second-unit", "1", "--offset", "-1.3"},
         "site\nfirst\n0\nsecond\n0\nr\n1\n0\n1\n3"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--pixel-size", "2.5", "--out-dir", path("images/site")});
        Outcome g = run_program(DEMGEN, args, dir);
        ASSERT_EQ(g.status, 0) << g.err;
        const double positive = number_after(g.out, "positive"), negative = number_after(g.out, "negative"),
                     net = number_after(g.out, "net");
        ASSERT_NE(positive, 0);
        // Both sums are rounded sums of many cells; a millionth is far below
        // the volume of a single unit of height on a single cell.
        const double tolerance = 1e-6 * positive;

        // Positive values: the tool reports its final sums, which are the
        // net change; the 3D weights sum to 1 and every changed cell's
        // neighbours are interior, so the 3D volume is the same.
        ToolVolumes v = run_tool(dir, c.answers, "2.5", 2);
        EXPECT_NEAR(v.v2D, net, tolerance) << g.out;
        EXPECT_NEAR(v.v3D, net, tolerance) << g.out;

        // The kept positive values, in whole millimetres, hold the positive
        // volume less at most one truncated millimetre per cell.
        Grid kept = read_grid(path("images/site/r_2D_m4.raw"), DEM_M4, std::stoi(c.args[3]), std::stoi(c.args[5]));
        long long sum = 0, cells = 0;
        for (const auto &line : kept)
            for (long long mm : line) {
                sum += mm;
                cells += mm != 0;
            }
        EXPECT_LE(sum * 0.001 * 6.25, positive + tolerance);
        EXPECT_GE(sum * 0.001 * 6.25, positive - cells * 0.001 * 6.25 - tolerance);

        // Negative values: the kept values hold the negative volume.
        run_tool(dir, c.answers, "2.5", 1);
        kept = read_grid(path("images/site/r_2D_m4.raw"), DEM_M4, std::stoi(c.args[3]), std::stoi(c.args[5]));
        sum = cells = 0;
        for (const auto &line : kept)
            for (long long mm : line) {
                sum += mm;
                cells += mm != 0;
            }
        EXPECT_GE(sum * 0.001 * 6.25, negative - tolerance);
        EXPECT_LE(sum * 0.001 * 6.25, negative + cells * 0.001 * 6.25 + tolerance);
    }
}
