// The command line every companion program shares, one table for all of
// them: --help and --version answered on standard output with status 0; an
// unknown option, an option without its value and a missing operand refused
// with the program's name, the parser's message and a hint, status 2; an
// input that cannot be used named in the message, status 1. Then the forms
// every program now accepts: units and value types by name or by code.
#include "tool_test_support.h"

#include "dem_files.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

namespace {

struct Program {
    const char *name;
    const char *path;
    std::vector<std::string> no_value;     // an option given without its value, last
    std::vector<std::string> missing;      // a command line lacking an operand
    const char *missing_says;
    std::vector<std::string> unusable;     // names bad_m2.raw, whose raster is shorter than its frame
};

const Program PROGRAMS[] = {
    {"demgen", DEMGEN, {"--scenario", "random", "--lines"}, {"--lines", "5", "--columns", "5"},
     "--scenario is required", {"--scenario", "offset", "--from", "bad"}},
    {"dempicture", DEMPICTURE, {"bad_m2.raw", "x.png", "--unit"}, {"bad_m2.raw"}, "OUT.png is required",
     {"bad_m2.raw", "x.png"}},
#ifdef DEM_BUDGET
    {"dem_budget", DEM_BUDGET, {"bad_m2.raw", "bad_m2.raw", "--pixel"}, {"bad_m2.raw"}, "a second DEM is needed",
     {"bad_m2.raw", "bad_m2.raw", "--unit", "m"}},
#endif
#ifdef DEM_GDAL
    {"dem_gdal", DEM_GDAL, {"export", "bad_m2.raw", "x.tif", "--nodata"}, {"import", "-t", "m2", "-u", "m", "x.tif"},
     "PAIR is required", {"export", "--unit", "m", "bad_m2.raw", "x.tif"}},
#endif
#ifdef DEM_CHANGE
    {"dem_change", DEM_CHANGE, {"bad_m2.raw", "bad_m2.raw", "x", "--json"}, {"bad_m2.raw", "bad_m2.raw"},
     "OUT is required", {"--unit-before", "m", "--unit-after", "m", "bad_m2.raw", "bad_m2.raw", "x"}},
#endif
#ifdef DEM_COREG
    {"dem_coreg", DEM_COREG, {"bad_m2.raw", "bad_m2.raw", "x.tif", "--max-iterations"}, {"bad_m2.raw", "bad_m2.raw"},
     "OUT is required", {"--unit-ref", "m", "--unit-align", "m", "bad_m2.raw", "bad_m2.raw", "x.tif"}},
#endif
};

class CommandLines : public ScratchTest {};

} // namespace

TEST_F(CommandLines, EveryProgramAnswersHelpVersionAndBadCommandLinesAlike)
{
    write_text(path("bad_m2.raw"), "abc");
    write_text(path("bad_m2.txt"), "2\n2\n2\n0\n0\n1\n");
    for (const Program &p : PROGRAMS) {
        SCOPED_TRACE(p.name);
        const std::string name = p.name;
        const std::string hint = "Try '" + name + " --help'.";

        Outcome r = run_program(p.path, {"--help"}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: " + name, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--version"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Exit status"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");

        // Help that cannot be written is a failure, not a success.
        const int full = std::system(("'" + std::string(p.path) + "' --help >/dev/full 2>/dev/null").c_str());
        EXPECT_TRUE(WIFEXITED(full) && WEXITSTATUS(full) == 1) << full;

        r = run_program(p.path, {"--version"}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(name + " " PROJECT_VERSION_TEXT ", companion of skarnovelt_v2", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");

        r = run_program(p.path, {"--no-such-option"}, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(name + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("--no-such-option"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;

        r = run_program(p.path, p.no_value, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(p.no_value.back() + " needs a value"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;

        r = run_program(p.path, p.missing, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind(name + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(p.missing_says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;

        r = run_program(p.path, p.unusable, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(name + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("bad_m2.raw"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Try '"), std::string::npos) << r.err; // not a usage error
        EXPECT_EQ(files(), (std::vector<std::string>{"bad_m2.raw", "bad_m2.txt"})); // nothing written
    }
#ifdef DEM_GDAL
    // Each command of dem_gdal has its own help.
    for (const char *command : {"import", "export"}) {
        Outcome r = run_program(DEM_GDAL, {command, "--help"}, dir);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: dem_gdal ") + command, 0), 0u) << r.out;
    }
#endif
}

TEST_F(CommandLines, DemgenTakesUnitsAndTypesByNameOrCode)
{
    namespace fs = std::filesystem;
    const std::vector<std::string> scenario = {"--scenario", "offset", "--lines", "6", "--columns", "7", "--seed", "5"};
    const std::vector<std::vector<std::string>> spellings = {
        {"--first-type", "m4", "--first-unit", "cm", "--second-type", "m2", "--second-unit", "dm"},
        {"--first-type", "1", "--first-unit", "2", "--second-type", "0", "--second-unit", "1"}};
    for (size_t k = 0; k < spellings.size(); k++) {
        fs::create_directory(path(std::to_string(k)));
        std::vector<std::string> args = scenario;
        args.insert(args.end(), spellings[k].begin(), spellings[k].end());
        args.insert(args.end(), {"--out-dir", std::to_string(k)});
        Outcome r = run_program(DEMGEN, args, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("_m4 in cm"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("_m2 in dm"), std::string::npos) << r.out;
    }
    for (const char *file : {"first_m4.raw", "first_m4.txt", "second_m2.raw", "second_m2.txt"})
        EXPECT_EQ(file_bytes(path(std::string("0/") + file)), file_bytes(path(std::string("1/") + file))) << file;
    EXPECT_EQ(read_grid(path("0/first_m4.raw"), DEM_M4, 6, 7)[0].size(), 7u);
}

TEST_F(CommandLines, DempictureTakesUnitsAndTypesByNameOrCode)
{
    write_pair(path("d_2D"), DEM_M4, Grid{{0, -250, 0}, {100, 0, 750}}, 1);
    Outcome named = run_program(DEMPICTURE, {"d_2D_m4.raw", "named.png", "--unit", "mm", "--type", "m4"}, dir);
    Outcome coded = run_program(DEMPICTURE, {"d_2D_m4.raw", "coded.png", "--unit", "3", "--type", "1"}, dir);
    ASSERT_EQ(named.status, 0) << named.err;
    ASSERT_EQ(coded.status, 0) << coded.err;
    EXPECT_NE(named.out.find("_m4 in mm"), std::string::npos) << named.out;
    EXPECT_NE(named.out.find("colour bar -0.75 m to +0.75 m"), std::string::npos) << named.out;
    EXPECT_EQ(file_bytes(path("named.png")), file_bytes(path("coded.png")));
    // A result unit is accepted by name too; a unit that is none is refused.
    Outcome fine = run_program(DEMPICTURE, {"d_2D_m4.raw", "fine.png", "--unit", "0.01mm"}, dir);
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_NE(fine.out.find("_m4 in 0.01mm"), std::string::npos) << fine.out;
    Outcome bad = run_program(DEMPICTURE, {"d_2D_m4.raw", "bad.png", "--unit", "km"}, dir);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--unit: 'km' is not a unit: give m, dm, cm, mm, 0.1mm, 0.01mm"), std::string::npos)
        << bad.err;
}
