// The benchmark driver: its figures, its child runs and I/O floor, and whole
// runs of run_bench on tiny frames. Nothing here is timed; the tests check
// that the driver measures the right runs, not how fast they are.
//
// Plan:
//   BenchFigures  medians, the memory limit, stage times from the console
//                 marks, the microbenchmarks' CSV (BenchMicrobenchmarks:
//                 as the built microbenchmarks write it);
//   BenchChild    run_child wires input, output and folder, reports exit
//                 statuses, and the scripted dialogue drives the tool to the
//                 volumes demgen expects; io_floor writes what it is asked
//                 and leaves nothing behind on failure;
//   BenchDriver   run_bench measures every configuration, writes its CSV,
//                 fails loudly above the memory limit and refuses a bad
//                 command line.
#include "bench_support.h"
#include "tool_test_support.h"

#include "dem_files.h"
#include "difference.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <sstream>

namespace {

int count_lines(const std::string &text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

std::vector<std::string> comma_fields(const std::string &line)
{
    std::vector<std::string> fields;
    std::istringstream text(line);
    for (std::string f; std::getline(text, f, ',');)
        fields.push_back(f);
    return fields;
}

class BenchChild : public ScratchTest {};
class BenchMicrobenchmarks : public ScratchTest {};

} // namespace

TEST(BenchFigures, MedianIsTheMiddleValueOrTheMeanOfTheTwoMiddleOnes)
{
    EXPECT_EQ(median({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(median({7.0}), 7.0);
    EXPECT_TRUE(std::isnan(median({})));
}

TEST(BenchFigures, MemoryLimitIs34BytesPerCellPlusTheAllowance)
{
    EXPECT_EQ(memory_limit(0, 0), 0u);
    EXPECT_EQ(memory_limit(1000, 1), 34000u + 1048576u);
    // 10000 x 10000: beyond 32 bits.
    EXPECT_EQ(memory_limit(100000000LL, MEMORY_ALLOWANCE_MIB), 3400000000ULL + 64ULL * 1048576ULL);
}

TEST(BenchFigures, StageMarksKeepTheFirstTimeTheyAppear)
{
    double marks[STAGE_MARKS] = {-1, -1, -1};
    std::string out = "banner and questions";
    note_stage_marks(out, 0.5, marks);
    EXPECT_EQ(marks[0], -1);
    out += std::string("\n\tDynamic scale of the first DEM : \n\tMin : 1\tMax : 2");
    note_stage_marks(out, 1.0, marks);
    out += "\n\tPixel size (in meters) ? ";
    note_stage_marks(out, 2.0, marks);
    out += "\n\t2D Volume 1.0 3D Volume 1.0";
    note_stage_marks(out, 3.5, marks);
    note_stage_marks(out, 9.0, marks); // later output moves no mark
    EXPECT_EQ(marks[0], 1.0);
    EXPECT_EQ(marks[1], 2.0);
    EXPECT_EQ(marks[2], 3.5);

    double stage[STAGES];
    ASSERT_TRUE(stage_seconds(marks, 5.0, stage));
    EXPECT_EQ(stage[0], 1.0);
    EXPECT_EQ(stage[1], 1.0);
    EXPECT_EQ(stage[2], 1.5);
    EXPECT_EQ(stage[3], 1.5);
}

TEST(BenchFigures, StagesAreUnknownWhenAMarkIsMissingOrOutOfOrder)
{
    double stage[STAGES];
    const double missing[STAGE_MARKS] = {1.0, -1, 3.0};
    EXPECT_FALSE(stage_seconds(missing, 5.0, stage));
    for (double s : stage)
        EXPECT_TRUE(std::isnan(s));
    const double disordered[STAGE_MARKS] = {1.0, 3.0, 2.0};
    EXPECT_FALSE(stage_seconds(disordered, 5.0, stage));
    const double after_the_end[STAGE_MARKS] = {1.0, 2.0, 6.0};
    EXPECT_FALSE(stage_seconds(after_the_end, 5.0, stage));
}

TEST(BenchFigures, BenchmarkCsvGivesNanosecondsPerCellOfTheRowsWithARate)
{
    const std::string csv = "2026-12-08T01:00:00+00:00\n"
                            "Running ./bench_stages\n"
                            "Run on (2 X 2596 MHz CPU s)\n"
                            "name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,label,"
                            "error_occurred,error_message\n"
                            "\"BM_A/unit:1\",50,10,10,ms,,2e+09,\"\",,\r\n"
                            "\"BM_B/x:0/y:1\",1,1300,1300,ms,,4e+06,\"a, \"\"quoted\"\" label\",,\n"
                            "\"BM_Failed\",0,0,0,ms,,,\"\",true,\"not enough memory\"\n"
                            "\"BM_NoRate\",3,1,1,ms,,,\"\",,\n";
    const std::vector<CellRate> rates = parse_benchmark_csv(csv);
    ASSERT_EQ(rates.size(), 2u);
    EXPECT_EQ(rates[0].name, "BM_A/unit:1");
    EXPECT_DOUBLE_EQ(rates[0].ns_per_cell, 0.5);
    EXPECT_EQ(rates[1].name, "BM_B/x:0/y:1");
    EXPECT_DOUBLE_EQ(rates[1].ns_per_cell, 250);
    EXPECT_TRUE(parse_benchmark_csv("no header at all\n\"BM_A\",1,1,1,ms,,2e+09\n").empty());
}

#ifdef BENCH_STAGES
// The microbenchmarks' own CSV, as the driver asks for it.
TEST_F(BenchMicrobenchmarks, TheirOutputGivesTheRates)
{
    const std::string out = path("micro.csv");
    Outcome r = run_program(BENCH_STAGES,
                            {"--benchmark_filter=BM_ConvertToMetres/unit:1", "--benchmark_min_time=0.01",
                             "--benchmark_out=" + out, "--benchmark_out_format=csv"},
                            dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<CellRate> rates = parse_benchmark_csv(file_bytes(out));
    ASSERT_EQ(rates.size(), 1u) << file_bytes(out);
    EXPECT_EQ(rates[0].name, "BM_ConvertToMetres/unit:1");
    EXPECT_GT(rates[0].ns_per_cell, 0);
}
#endif

TEST_F(BenchChild, GetsItsInputFolderAndStatus)
{
    ChildRun run = run_child("/bin/sh", {"-c", "read a; echo \"$a\"; pwd; echo oops >&2; exit 3"}, dir, "hello\n");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.output, "hello\n" + std::filesystem::canonical(dir).string() + "\noops\n");
    EXPECT_GE(run.wall, 0);
    EXPECT_GT(run.peak_rss, 0);

    EXPECT_EQ(run_child(path("no-such-program"), {}, dir, "").status, 127);
    EXPECT_EQ(run_child("/bin/true", {}, path("no-such-folder"), "").status, 126);
    EXPECT_EQ(run_child("/bin/sh", {"-c", "kill -9 $$"}, dir, "").status, -1);
}

// The answers of every result type and treatment drive the tool through all
// its stages, in the units the benchmark states (first DEM in decimetres,
// second and results in millimetres), to the volumes demgen computed.
TEST_F(BenchChild, DrivesTheToolWithTheScriptedDialogue)
{
    const int nb_lig = 30, nb_col = 24;
    std::filesystem::create_directories(path("images/p"));
    Outcome gen = run_program(DEMGEN,
                              {"--scenario", "landslide", "--lines", std::to_string(nb_lig), "--columns",
                               std::to_string(nb_col), "--out-dir", "images/p", "--first", "a", "--first-type", "0",
                               "--first-unit", "1", "--second", "b", "--second-type", "1", "--second-unit", "3",
                               "--pixel-size", "1"},
                              dir);
    ASSERT_EQ(gen.status, 0) << gen.err;
    const double positive = number_after(gen.out, "positive"), negative = number_after(gen.out, "negative");
    ASSERT_GT(positive, 1.0);
    ASSERT_LT(negative, -1.0);

    for (int itype : {DEM_M2, DEM_M4})
        for (int treat : {TREAT_ABSOLUTE, TREAT_NEGATIVE, TREAT_POSITIVE}) {
            SCOPED_TRACE("results " + std::to_string(itype) + ", treatment " + std::to_string(treat));
            ChildRun run = run_child(SKARNOVELT_BIN, {}, dir, dialogue_answers({"p", "a", "b", "r", itype, treat}));
            ASSERT_EQ(run.status, 0) << run.output;
            const size_t volume = run.output.find("2D Volume ");
            ASSERT_NE(volume, std::string::npos) << run.output;
            EXPECT_NEAR(std::strtod(run.output.c_str() + volume + 10, nullptr), positive + negative, 1e-6);
            double stage[STAGES];
            EXPECT_TRUE(stage_seconds(run.mark_time, run.wall, stage)) << run.output;

            // The kept 2D differences in millimetres (all within 16 signed
            // bits here), each truncated toward zero.
            const Grid g = read_grid(path("images/p/r" + std::string(raster_suffix(PAIR_2D, itype))), itype, nb_lig,
                                     nb_col);
            long long kept = 0;
            for (const auto &line : g)
                for (long long v : line)
                    kept += itype == DEM_M2 && v > 32767 ? v - 65536 : v;
            const double expected = treat == TREAT_ABSOLUTE   ? positive - negative
                                    : treat == TREAT_NEGATIVE ? negative
                                                              : positive;
            EXPECT_NEAR(static_cast<double>(kept), expected * 1000, nb_lig * nb_col);
        }
}

TEST_F(BenchChild, FloorWritesFilesOfTheGivenSizes)
{
    write_text(path("in1"), std::string(1000, 'a'));
    write_text(path("in2"), "");
    const long long big = 9LL << 20; // more than two blocks
    double seconds = -1;
    std::string error;
    ASSERT_TRUE(io_floor({path("in1"), path("in2")}, {{path("o1"), big}, {path("o2"), 0}, {path("o3"), 77}}, &seconds,
                         &error))
        << error;
    EXPECT_GE(seconds, 0);
    EXPECT_EQ(files(), (std::vector<std::string>{"in1", "in2", "o1", "o2", "o3"}));
    EXPECT_EQ(std::filesystem::file_size(path("o1")), static_cast<uintmax_t>(big));
    EXPECT_EQ(std::filesystem::file_size(path("o2")), 0u);
    EXPECT_EQ(std::filesystem::file_size(path("o3")), 77u);
    // A floor replaces the files of the previous one, as a run its results.
    ASSERT_TRUE(io_floor({path("in1")}, {{path("o1"), 5}}, &seconds, &error)) << error;
    EXPECT_EQ(std::filesystem::file_size(path("o1")), 5u);

    EXPECT_FALSE(io_floor({path("missing")}, {{path("o4"), 10}}, &seconds, &error));
    EXPECT_NE(error.find(path("missing")), std::string::npos) << error;
    EXPECT_FALSE(io_floor({path("in1")}, {{path("o5"), 10}, {path("no-folder/o6"), 10}}, &seconds, &error));
    EXPECT_NE(error.find("no-folder"), std::string::npos) << error;
    EXPECT_EQ(files(), (std::vector<std::string>{"in1", "in2", "o1", "o2", "o3"}));
}

namespace {

class BenchDriver : public ScratchTest {
protected:
    Outcome run_bench(std::vector<std::string> args)
    {
        const std::vector<std::string> common = {"--tool", SKARNOVELT_BIN, "--demgen", DEMGEN,
                                                 "--work", path("work"),   "--out",    path("out")};
        args.insert(args.begin(), common.begin(), common.end());
        return run_program(RUN_BENCH, args, dir);
    }
};

} // namespace

TEST_F(BenchDriver, MeasuresEveryConfigurationAndWritesItsFigures)
{
    Outcome r = run_bench({"--sizes", "20,25", "--repeat", "3", "--variants-size", "25"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // 3 runs at 20 x 20; 3 runs and one of each variant at 25 x 25.
    const std::string runs = file_bytes(path("out/runs.csv"));
    EXPECT_EQ(count_lines(runs), 1 + 3 + 3 + 3) << runs;
    EXPECT_EQ(count_lines(file_bytes(path("out/summary.csv"))), 1 + 1 + 4);
    for (const char *row : {"| 20 x 20 | _m4 | absolute | 3 |", "| 25 x 25 | _m4 | absolute | 3 |",
                            "| 25 x 25 | _m2 | absolute | 1 |", "| 25 x 25 | _m4 | negative | 1 |",
                            "| 25 x 25 | _m4 | positive | 1 |"})
        EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
    EXPECT_EQ(file_bytes(path("out/tables.md")), r.out.substr(0, file_bytes(path("out/tables.md")).size()));
    // Every run has its peak memory, its stages and its I/O floor; the
    // generated files are gone.
    std::istringstream lines(runs);
    std::string line;
    std::getline(lines, line);
    const std::vector<std::string> header = comma_fields(line);
    ASSERT_EQ(header.size(), 15u) << line;
    EXPECT_EQ(header[9], "peak_rss_bytes");
    EXPECT_EQ(header[14], "floor_s");
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.find("nan"), std::string::npos) << line;
        const std::vector<std::string> field = comma_fields(line);
        ASSERT_EQ(field.size(), 15u) << line;
        EXPECT_GT(std::stoll(field[9]), 0) << line;
        EXPECT_GT(std::stod(field[14]), 0) << line;
    }
    EXPECT_FALSE(std::filesystem::exists(path("work")));
}

TEST_F(BenchDriver, FailsLoudlyAboveTheMemoryLimit)
{
    Outcome r = run_bench({"--sizes", "20", "--repeat", "1", "--variants-size", "0", "--memory-allowance-mib", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("MEMORY LIMIT EXCEEDED: 20 x 20, _m4 results, absolute, run 1"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(path("out/summary.csv")));
}

TEST_F(BenchDriver, RefusesABadCommandLineAndReportsAFailedTool)
{
    EXPECT_EQ(run_bench({"--sizes", "20,30", "--variants-size", "40"}).status, 2);
    EXPECT_EQ(run_bench({"--sizes", "10"}).status, 2);
    EXPECT_EQ(run_bench({"--repeat", "0"}).status, 2);

    Outcome r = run_program(RUN_BENCH,
                            {"--tool", "/bin/false", "--demgen", DEMGEN, "--work", path("work"), "--out", path("out"),
                             "--sizes", "20", "--variants-size", "0"},
                            dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the tool failed on 20 x 20"), std::string::npos) << r.err;
}
