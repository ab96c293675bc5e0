// Whole runs of the tool from scripted dialogues: the console text, the exit
// status and every file left behind.
//
// Plan:
//   1. A whole session, console transcript and result files byte for byte.
//   2. Results: both value types, every treatment, mixed input units.
//   3. Descriptors read, created and completed; unusable descriptors.
//   4. Runs that end early: unknown raster, frames that differ, the end of
//      the input, no memory, results that cannot be created or written,
//      Ctrl-C. Earlier results always survive and no temporary file stays.
//   5. Answers asked again: results over an input, pixel size, treatment.
//   6. A hostile host: links planted at temporary names, killed runs, every
//      signal, a signal between the renames, NUL bytes in answers, special
//      files, too little memory, descriptors whose writing fails.
#include "dialogue_harness.h"
#include "run_memory.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string descriptor(int lig, int col, int val, int min, int max, int pix)
{
    return std::to_string(lig) + "\n" + std::to_string(col) + "\n" + std::to_string(val) + "\n" +
           std::to_string(min) + "\n" + std::to_string(max) + "\n" + std::to_string(pix) + "\n";
}

std::string result_descriptor(int lig, int col, int val, int min, int max, int pix, const std::string &label,
                              const std::string &volume)
{
    return descriptor(lig, col, val, min, max, pix) + "\n\n " + label + "\n\n Volume = " + volume + " m3 ";
}

// A frame of `lig` × `col` cells holding `fill`, with some cells set.
std::vector<int> frame(int lig, int col, int fill, const std::vector<std::vector<int>> &cells = {})
{
    std::vector<int> v(static_cast<size_t>(lig * col), fill);
    for (const auto &c : cells)
        v[static_cast<size_t>(c[0] * col + c[1])] = c[2];
    return v;
}

const char *const TYPE_MENU = "\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t";
const char *const UNIT_MENU = "\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                              "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t";

std::string banner()
{
    std::string blank = "\n\t*" + std::string(60, ' ') + "*";
    std::string stars = std::string(62, '*');
    return "\n\n\t" + stars + blank + "\n\t*                     SKARNOVELT                             *" + blank + blank +
           blank + blank + "\n\t*              DEMs of difference in 2D and 3D with volumes  *" +
           "\n\t*                     for erosion, deposition, cut and fill  *" + blank +
           "\n\t*                                               Version 2.0  *" +
           "\n\t*                                             December 2026  *" + blank + blank + blank + "\n\t" + stars;
}

} // namespace

// 1. A whole session ---------------------------------------------------------

TEST_F(Dialogue, AWholeSessionPrintsTheDialogueAndWritesBothResults)
{
    // First DEM in metres (_m2), a cell raised by 9 m; second DEM in metres
    // (_m4), a cell lowered by 3 m. Results in centimetres (_m4), absolute
    // values, 2 m cells.
    put_m2("a_m2.raw", frame(4, 4, 100, {{1, 1, 109}}));
    put("a_m2.txt", descriptor(4, 4, 2, 100, 109, 5));
    put_m4("b_m4.raw", frame(4, 4, 100, {{2, 2, 97}}));
    put("b_m4.txt", descriptor(4, 4, 4, 97, 100, 5));
    RunResult r = run(folder() + "\na\n2\n0\nb\n1\nd\n1\n0\n0\n2\n2\n0\n\n");
    EXPECT_EQ(r.status, 0);

    std::string expected =
        banner() + "\n\n\tName of the File Folder located in the Directory " + shown("").substr(0, shown("").size() - folder().size() - 1) +
        " : " + "\n\tName of the first DEM (whitout extension _m4.raw or _m2.raw) ? " + "\n\tType of DEM" + TYPE_MENU +
        "\n\tType of DEM" + TYPE_MENU + "\n\tTHE FIRST DEM NAMED " + shown("a_m2.raw") + " HAS : " +
        "\n\t            4 LINES\n\t        AND 4 COLUMNS\n" +
        "\n\tName of the second DEM (whitout extension _m4.raw or _m2.raw) ? " + "\n\tType of MNT" + TYPE_MENU +
        "\n\tTHE SECOND DEM NAMED " + shown("b_m4.raw") + " HAS : " + "\n\t            4 LINES\n\t        AND 4 COLUMNS\n" +
        "\n\tName of the two DEMs that will be created (without any extension) ? " + "\n\tType of the two DEM" +
        TYPE_MENU + "\n\tDynamic scale of the first DEM : \n\tMin : 100\tMax : 109 " +
        "\n\n\tHypsometric Interval of the fisrt DEM : " + UNIT_MENU +
        "\n\tDynamic scale of the second DEM: \n\tMin : 97\tMax : 100 " +
        "\n\n\tHypsometric Interval of the second DEM : " + UNIT_MENU +
        "\n\n\tThe hypsometric interval of the first DEM is in meters " +
        "\n\tand the hypsometric interval of the second one is in meters " +
        "\n\tNote: the algorithm uses float values and will transform the data_in" +
        "\n\n\tAs the resulting data use an integer 4 format, you must define the interval " +
        "\n\n\tHypsometric Interval of the resulting DEMs : " + "\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters" +
        "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters" + "\n\t\t4 ====> tenths of millimeters" +
        "\n\t\t5 ====> hundredths of millimeter\n\t\t" + "\n\tPixel size (in meters) ? " + "\n\tType of treatment : " +
        "\n\t\t0 ====> absolute values\n\t\t1 ====> negative values" + "\n\t\t2 ====> positive values\n\t\t" +
        "\n\n\n\t2D Volume 48.000000 3D Volume 34.666667 ";
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(r.errors, ""); // no progress line when standard error is not a terminal

    // 2D: 9 m and 3 m. 3D: (5 × 9 + 0.5 × 3) / 9 = 5.1666 m at the raised
    // cell, (0.5 × 9 + 0.5 × 3) / 9 = 0.6666 m beside both, (5 × 3 + 0.5 × 9)
    // / 9 = 2.1666 m at the lowered cell; truncated centimetres.
    EXPECT_EQ(contents("d_2D_m4.raw"), m4_bytes(frame(4, 4, 0, {{1, 1, 900}, {2, 2, 300}})));
    EXPECT_EQ(contents("d_3D_m4.raw"), m4_bytes(frame(4, 4, 0, {{1, 1, 516}, {1, 2, 66}, {2, 1, 66}, {2, 2, 216}})));
    EXPECT_EQ(contents("d_2D_m4.txt"), result_descriptor(4, 4, 4, 0, 900, 5, "absolute values", "48.000000"));
    EXPECT_EQ(contents("d_3D_m4.txt"), result_descriptor(4, 4, 4, 0, 516, 5, "absolute values", "34.666667"));
    EXPECT_EQ(files(), (std::vector<std::string>{"a_m2.raw", "a_m2.txt", "b_m4.raw", "b_m4.txt", "d_2D_m4.raw",
                                                 "d_2D_m4.txt", "d_3D_m4.raw", "d_3D_m4.txt"}));
}

TEST_F(Dialogue, ProgressIsShownOnATerminalAndErasedWithoutChangingTheDialogue)
{
    if (!native())
        GTEST_SKIP() << "needs a pseudo-terminal for the native tool";
    put_m2("a_m2.raw", frame(5, 5, 10));
    put("a_m2.txt", descriptor(5, 5, 2, 10, 10, 1));
    put_m4("b_m4.raw", frame(5, 5, 7));
    put("b_m4.txt", descriptor(5, 5, 4, 7, 7, 1));
    const std::string answers = folder() + " a 0 b 1 d 1 0 0 0 1 0 \n";
    RunResult plain = run(answers);
    RunResult shown = run_with_terminal_errors(answers);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.output, plain.output);
    for (const char *stage : {"Reading the first DEM", "Reading the second DEM", "Converting the second DEM to metres",
                              "Computing the differences"})
        EXPECT_NE(shown.errors.find(stage), std::string::npos) << stage;
    // Each stage's line is blanked at its end.
    const std::string erase = "\r" + std::string(50, ' ') + "\r";
    ASSERT_GE(shown.errors.size(), erase.size());
    EXPECT_EQ(shown.errors.substr(shown.errors.size() - erase.size()), erase);
}

// 2. Results -------------------------------------------------------------------

TEST_F(Dialogue, NegativeValuesWrapInTwoByteResultsAndStaySignedInFourByteOnes)
{
    // The second DEM is 5 m higher at one cell: a difference of -5 m.
    put_m2("a_m2.raw", frame(4, 4, 100));
    put("a_m2.txt", descriptor(4, 4, 2, 100, 100, 1));
    put_m2("b_m2.raw", frame(4, 4, 100, {{1, 1, 105}}));
    put("b_m2.txt", descriptor(4, 4, 2, 100, 105, 1));

    RunResult r = run(folder() + " a 0 b 0 n 0 0 0 0 1 1 \n");
    EXPECT_EQ(r.status, 0);
    // 3D: -25/9 m at the cell and -5/18 m at each of its three interior
    // neighbours, -3.61 m³ in all.
    EXPECT_NE(r.output.find("2D Volume -5.000000 3D Volume -3.611111 "), std::string::npos) << r.output;
    // 2D: -5 → 65531. 3D: -25/9 → -2 → 65534 at the cell, -5/18 truncates to 0.
    EXPECT_EQ(contents("n_2D_m2.raw"), m2_bytes(frame(4, 4, 0, {{1, 1, 65531}})));
    EXPECT_EQ(contents("n_3D_m2.raw"), m2_bytes(frame(4, 4, 0, {{1, 1, 65534}})));
    EXPECT_EQ(contents("n_2D_m2.txt"), result_descriptor(4, 4, 2, 0, 65531, 1, "negative values", "-5.000000"));
    EXPECT_EQ(contents("n_3D_m2.txt"), result_descriptor(4, 4, 2, 0, 65534, 1, "negative values", "-3.611111"));

    r = run(folder() + " a 0 b 0 n 1 0 0 1 1 1 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(contents("n_2D_m4.raw"), m4_bytes(frame(4, 4, 0, {{1, 1, -50}})));
    EXPECT_EQ(contents("n_3D_m4.raw"), m4_bytes(frame(4, 4, 0, {{1, 1, -27}, {1, 2, -2}, {2, 1, -2}, {2, 2, -2}})));
    EXPECT_EQ(contents("n_2D_m4.txt"), result_descriptor(4, 4, 4, -50, 0, 1, "negative values", "-5.000000"));

    // Positive values only: nothing is kept, the volumes are the same sums.
    r = run(folder() + " a 0 b 0 p 1 0 0 1 1 2 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("2D Volume -5.000000 3D Volume -3.611111 "), std::string::npos);
    EXPECT_EQ(contents("p_2D_m4.raw"), m4_bytes(frame(4, 4, 0)));
    EXPECT_EQ(contents("p_3D_m4.txt"), result_descriptor(4, 4, 4, 0, 0, 1, "positive values", "-3.611111"));
}

TEST_F(Dialogue, MixedUnitsAreConvertedToMetresAndTruncatedInExtendedPrecision)
{
    // 43 dm against 0 m, results in decimetres: the difference is the double
    // just below 4.3 and the 2D result stores 42.
    put_m4("dm_m4.raw", frame(3, 3, 0, {{1, 1, 43}}));
    put("dm_m4.txt", descriptor(3, 3, 4, 0, 43, 1));
    put_m2("m_m2.raw", frame(3, 3, 0));
    put("m_m2.txt", descriptor(3, 3, 2, 0, 0, 1));
    RunResult r = run(folder() + " dm 1 m 0 r 1 1 0 1 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("is in decimeters \n\tand the hypsometric interval of the second one is in meters "),
              std::string::npos);
    EXPECT_EQ(contents("r_2D_m4.raw"), m4_bytes(frame(3, 3, 0, {{1, 1, 42}})));

    // Two flat DEMs of 5 dm and 2 dm, results in decimetres: 2 everywhere inside.
    put_m2("five_m2.raw", frame(4, 5, 5));
    put("five_m2.txt", descriptor(4, 5, 2, 5, 5, 1));
    put_m2("two_m2.raw", frame(4, 5, 2));
    put("two_m2.txt", descriptor(4, 5, 2, 2, 2, 1));
    r = run(folder() + " five 0 two 0 f 1 1 1 1 1 0 \n");
    EXPECT_EQ(r.status, 0);
    std::vector<int> twos = frame(4, 5, 0, {{1, 1, 2}, {1, 2, 2}, {1, 3, 2}, {2, 1, 2}, {2, 2, 2}, {2, 3, 2}});
    EXPECT_EQ(contents("f_2D_m4.raw"), m4_bytes(twos));
    EXPECT_EQ(contents("f_3D_m4.raw"), m4_bytes(twos));

    // Centimetres against millimetres, results in tenths of millimetres:
    // 1234 cm is stored as the double just below 12.34 m, so 1234 cm - 12000
    // mm is just below 0.34 m and truncates to 3399.
    put_m4("cm_m4.raw", frame(3, 3, 1234));
    put("cm_m4.txt", descriptor(3, 3, 4, 1234, 1234, 1));
    put_m4("mm_m4.raw", frame(3, 3, 12000));
    put("mm_m4.txt", descriptor(3, 3, 4, 12000, 12000, 1));
    r = run(folder() + " cm 1 mm 1 c 1 2 3 4 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(contents("c_2D_m4.raw"), m4_bytes(frame(3, 3, 0, {{1, 1, 3399}})));
}

TEST_F(Dialogue, ValuesTheResultTypeCannotHoldAreCountedInAWarning)
{
    // 1 m everywhere in hundredths of millimetres: 100000 does not fit _m2.
    put_m2("a_m2.raw", frame(4, 4, 2));
    put("a_m2.txt", descriptor(4, 4, 2, 2, 2, 1));
    put_m2("b_m2.raw", frame(4, 4, 1));
    put("b_m2.txt", descriptor(4, 4, 2, 1, 1, 1));
    RunResult r = run(folder() + " a 0 b 0 w 0 0 0 5 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("3D Volume 4.000000 \n\tWarning: 4 cells of the 2D result do not fit the chosen type "
                            "\n\tWarning: 4 cells of the 3D result do not fit the chosen type "),
              std::string::npos)
        << r.output;
    // Stored all the same as the low 16 bits: 100000 - 65536 = 34464.
    EXPECT_EQ(contents("w_2D_m2.raw"), m2_bytes(frame(4, 4, 0, {{1, 1, 34464}, {1, 2, 34464}, {2, 1, 34464}, {2, 2, 34464}})));

    r = run(folder() + " a 0 b 0 w 0 0 0 4 1 0 \n");
    EXPECT_EQ(r.output.find("\n\tWarning"), std::string::npos);
}

TEST_F(Dialogue, TheDynamicScaleShowsTheTrueRange)
{
    put_m4("high_m4.raw", frame(3, 3, 250000, {{0, 0, 300000}}));
    put("high_m4.txt", descriptor(3, 3, 4, 250000, 300000, 1));
    put_m4("low_m4.raw", frame(3, 3, -1, {{2, 2, -5}}));
    put("low_m4.txt", descriptor(3, 3, 4, -5, 0, 1));
    RunResult r = run(folder() + " high 1 low 1 r 1 3 3 3 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("first DEM : \n\tMin : 250000\tMax : 300000 "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("second DEM: \n\tMin : -5\tMax : -1 "), std::string::npos) << r.output;
}

// 3. Descriptors ----------------------------------------------------------------

TEST_F(Dialogue, MissingDescriptorsAreCreatedAfterTheirAnswersAndCompletedWithTheRange)
{
    put_m2("a_m2.raw", frame(2, 3, 3, {{0, 1, 812}, {1, 2, 40}}));
    put_m4("b_m4.raw", frame(2, 3, -7));
    // First: a negative line count is asked again; a pixel size of 0 leads to
    // the question in metres. Second: pixel size 4 at once.
    RunResult r = run(folder() + " a 0 -1 2 3 0 9 b 1 2 3 4 d 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\n\tNo File " + shown("a_m2.txt") + " \n\n" + "\n\tNumber of lines   ? " +
                            "\n\tNumber of lines   ? " + "\tNumber of columns ? \tPixel size ? " +
                            "\n\tPixel Size (in meters) ? " + "\n\tTHE FIRST DEM NAMED"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(contents("a_m2.txt"), descriptor(2, 3, 2, 3, 812, 9));
    // All values negative: the recorded maximum stays 0.
    EXPECT_EQ(contents("b_m4.txt"), descriptor(2, 3, 4, -7, 0, 4));

    // A descriptor holding its first half only is read; the pixel size is asked.
    put("b_m4.txt", "2\n3\n4\n");
    r = run(folder() + " a 0 b 1 6 d 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("HAS : \n\t            2 LINES\n\t        AND 3 COLUMNS\n\n\tName of the second"),
              std::string::npos);
    EXPECT_NE(r.output.find("Type of MNT\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t\n\tPixel Size (in meters) ? "),
              std::string::npos);
    EXPECT_EQ(contents("b_m4.txt"), "2\n3\n4\n");
    // The results carry the first DEM's pixel size.
    EXPECT_EQ(contents("d_2D_m4.txt").substr(0, 12), descriptor(2, 3, 4, 0, 0, 9));
}

TEST_F(Dialogue, AnUnusableDescriptorEndsTheRun)
{
    put_m2("a_m2.raw", frame(2, 2, 1));
    put("a_m2.txt", "12\n");
    RunResult r = run(folder() + " a 0 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tInvalid frame size in " + shown("a_m2.txt") + " \n"), std::string::npos);
    put("a_m2.txt", "-3 4 2 0 0 1");
    r = run(folder() + " a 0 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Invalid frame size"), std::string::npos);
    EXPECT_EQ(files(), (std::vector<std::string>{"a_m2.raw", "a_m2.txt"}));
}

TEST_F(Dialogue, RastersThatDoNotMatchTheirFrameAreReadWithAWarning)
{
    put_m2("short_m2.raw", frame(2, 3, 7)); // 6 of 9 values
    put("short_m2.txt", descriptor(3, 3, 2, 0, 7, 1));
    std::string long_raster = m2_bytes(frame(3, 3, 7)) + "xx";
    put("long_m2.raw", long_raster);
    put("long_m2.txt", descriptor(3, 3, 2, 7, 7, 1));
    RunResult r = run(folder() + " short 0 long 0 d 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("\n\tWarning: " + shown("short_m2.raw") +
                            " holds fewer values than its frame; the missing cells are read as 0 \n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\n\tWarning: " + shown("long_m2.raw") +
                            " holds more values than its frame; the values beyond it are not read \n"),
              std::string::npos);
    // The missing last line reads as 0: the centre cell's 3D difference sees
    // three neighbours at 0 - 7 m, 0.5 × -21 / 9 = -1.17 m, stored as 1.
    EXPECT_NE(r.output.find("\n\tMin : 0\tMax : 7 "), std::string::npos);
    EXPECT_EQ(contents("d_2D_m4.raw"), m4_bytes(frame(3, 3, 0)));
    EXPECT_EQ(contents("d_3D_m4.raw"), m4_bytes(frame(3, 3, 0, {{1, 1, 1}})));
}

// 4. Runs that end early ----------------------------------------------------------

namespace {
const std::vector<std::string> OLD_RESULTS = {"d_2D_m4.raw", "d_2D_m4.txt", "d_3D_m4.raw", "d_3D_m4.txt"};
}

class EarlyEnd : public Dialogue {
  protected:
    // Two 3 × 3 DEMs and the results of an earlier run named d, type _m4.
    void SetUp() override
    {
        Dialogue::SetUp();
        put_m2("a_m2.raw", frame(3, 3, 10));
        put("a_m2.txt", descriptor(3, 3, 2, 10, 10, 1));
        put_m2("b_m2.raw", frame(3, 3, 4));
        put("b_m2.txt", descriptor(3, 3, 2, 4, 4, 1));
        for (const std::string &f : OLD_RESULTS)
            put(f, "earlier " + f);
    }
    // The earlier results are intact and nothing else was added.
    void expect_earlier_results_intact()
    {
        for (const std::string &f : OLD_RESULTS)
            EXPECT_EQ(contents(f), "earlier " + f);
        EXPECT_EQ(files(), (std::vector<std::string>{"a_m2.raw", "a_m2.txt", "b_m2.raw", "b_m2.txt", "d_2D_m4.raw",
                                                     "d_2D_m4.txt", "d_3D_m4.raw", "d_3D_m4.txt"}));
    }
};

TEST_F(EarlyEnd, AnUnknownRasterEndsTheRunWithStatusOne)
{
    RunResult r = run(folder() + " nothing 0 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tFile " + shown("nothing_m2.raw") + " unknown\n"), std::string::npos);
    r = run(folder() + " a 0 nothing 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tFile " + shown("nothing_m4.raw") + " unknown\n"), std::string::npos);
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, FramesOfDifferentSizeAreRefused)
{
    put("b_m2.txt", descriptor(3, 4, 2, 4, 4, 1));
    RunResult r = run(folder() + " a 0 b 0 d 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.output.size() > 40 && r.output.substr(r.output.size() - 38) == "\n\n\tThe size of the frame is different ")
        << r.output;
    put("b_m2.txt", descriptor(4, 3, 2, 4, 4, 1));
    r = run(folder() + " a 0 b 0 d 1 \n");
    EXPECT_NE(r.output.find("The size of the frame is different"), std::string::npos);
    put("b_m2.txt", descriptor(3, 3, 2, 4, 4, 1));
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, TheEndOfTheInputLeavesNoFileBehind)
{
    // Cut short in the middle of a missing descriptor's questions: no
    // descriptor is created.
    put_m2("c_m2.raw", frame(3, 3, 1));
    RunResult r = run(folder() + " a 0 c 0 3 ");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\tNumber of columns ? \n\tThe input ended before the dialogue was complete \n"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(exists("c_m2.txt"));
    std::remove(path("c_m2.raw").c_str());

    // Cut short after the results were named: the earlier results stay.
    r = run(folder() + " a 0 b 0 d 1 0 0");
    EXPECT_EQ(r.status, 1);
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, NotEnoughMemoryIsSaidBeforeAnythingIsAllocated)
{
    put("a_m2.txt", descriptor(100000, 100000, 2, 0, 0, 1));
    put("b_m2.txt", descriptor(100000, 100000, 2, 0, 0, 1));
    RunResult r = run(folder() + " a 0 b 0 d 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tNot enough memory for 100000 lines and 100000 columns \n"), std::string::npos)
        << r.output;
    put("a_m2.txt", descriptor(3, 3, 2, 10, 10, 1));
    put("b_m2.txt", descriptor(3, 3, 2, 4, 4, 1));
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, AResultThatCannotBeCreatedIsNamed)
{
    RunResult r = run(folder() + " a 0 b 0 nofolder/x 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tCannot create " + shown("nofolder/x_2D_m4.raw") + " \n"), std::string::npos)
        << r.output;
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, InputFilesThatCannotBeReadOrCreatedAreNamed)
{
    if (!native())
        GTEST_SKIP() << "folders opened as files and symbolic links behave as on the native host only";
    // A raster that opens but cannot be read (a folder).
    ASSERT_EQ(mkdir(path("dir_m4.raw").c_str(), 0755), 0);
    put("dir_m4.txt", descriptor(3, 3, 4, 0, 0, 1));
    RunResult r = run(folder() + " a 0 dir 1 d 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tCannot read " + shown("dir_m4.raw") + " \n"), std::string::npos) << r.output;

    // A missing descriptor whose name leads into a folder that does not exist.
    put_m2("c_m2.raw", frame(3, 3, 1));
    ASSERT_EQ(symlink("no/such/folder/c_m2.txt", path("c_m2.txt").c_str()), 0);
    r = run(folder() + " c 0 3 3 1 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\tPixel size ? \n\tCannot create " + shown("c_m2.txt") + " \n"), std::string::npos)
        << r.output;

    // A descriptor that exists but cannot be opened is not replaced.
    std::remove(path("c_m2.txt").c_str());
    ASSERT_EQ(symlink("c_m2.txt", path("c_m2.txt").c_str()), 0); // a loop
    r = run(folder() + " c 0 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tCannot read " + shown("c_m2.txt") + " \n"), std::string::npos) << r.output;
    std::remove(path("c_m2.txt").c_str());
    std::remove(path("c_m2.raw").c_str());
    rmdir(path("dir_m4.raw").c_str());
    std::remove(path("dir_m4.txt").c_str());
    expect_earlier_results_intact();
}

TEST_F(EarlyEnd, AResultThatCannotBeReplacedKeepsTheEarlierResults)
{
    // The 3D raster's name is taken by a folder: it cannot be replaced, and
    // no result may be, since they are replaced only all together.
    std::remove(path("d_3D_m4.raw").c_str());
    ASSERT_EQ(system(("mkdir -p '" + path("d_3D_m4.raw") + "/inside'").c_str()), 0);
    RunResult r = run(folder() + " a 0 b 0 d 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\n\tCannot write " + shown("d_3D_m4.raw") + " \n"), std::string::npos) << r.output;
    std::vector<std::string> left = files();
    EXPECT_EQ(left.size(), 8u); // no temporary file stays
    ASSERT_EQ(system(("rm -r '" + path("d_3D_m4.raw") + "'").c_str()), 0);
    put("d_3D_m4.raw", "earlier d_3D_m4.raw");
    // The 2D files were renamed before the 3D raster failed or none was:
    // either way the descriptor of the 3D result is the earlier one.
    EXPECT_EQ(contents("d_3D_m4.txt"), "earlier d_3D_m4.txt");
}

TEST_F(EarlyEnd, CtrlCAtTheKeyWaitLeavesTheEarlierResults)
{
    if (!native())
        GTEST_SKIP() << "signals are sent to the native tool only";
    RunResult r = run_interrupted(folder() + " a 0 b 0 d 1 0 0 0 1 0\n", "3D Volume");
    EXPECT_EQ(r.status, -SIGINT);
    expect_earlier_results_intact();
}

// 5. Answers asked again ---------------------------------------------------------

TEST_F(Dialogue, AResultThatWouldReplaceAnInputIsAskedAgain)
{
    put_m2("x_2D_m2.raw", frame(3, 3, 2));
    put("x_2D_m2.txt", descriptor(3, 3, 2, 2, 2, 1));
    put_m2("b_m2.raw", frame(3, 3, 1));
    put("b_m2.txt", descriptor(3, 3, 2, 1, 1, 1));
    RunResult r = run(folder() + " x_2D 0 b 0 x 0 y 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\n\tThe result " + shown("x_2D_m2.raw") + " would replace an input DEM \n" +
                            "\n\tName of the two DEMs that will be created (without any extension) ? "),
              std::string::npos)
        << r.output;
    EXPECT_EQ(contents("x_2D_m2.raw"), m2_bytes(frame(3, 3, 2)));
    EXPECT_TRUE(exists("y_2D_m4.raw"));
    EXPECT_FALSE(exists("x_3D_m2.raw"));
}

TEST_F(Dialogue, PixelSizeAndTreatmentAreAskedUntilTheyAreUsable)
{
    put_m2("a_m2.raw", frame(3, 3, 9, {{1, 1, 18}}));
    put("a_m2.txt", descriptor(3, 3, 2, 9, 18, 1));
    put_m2("b_m2.raw", frame(3, 3, 9));
    put("b_m2.txt", descriptor(3, 3, 2, 9, 9, 1));
    RunResult r = run(folder() + " a 0 b 0 d 1 0 0 0 0 -2 1e200 nan 1e999 two 1 3 -1 x 0 \n");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string pixel = "\n\tPixel size (in meters) ? ";
    EXPECT_NE(r.output.find(pixel + pixel + pixel + pixel + "\n\tnan is not a number " + pixel + "\n\t1e999 is not a number " +
                            pixel + "\n\ttwo is not a number " + pixel + "\n\tType of treatment : "),
              std::string::npos)
        << r.output;
    const std::string treat = "\n\tType of treatment : \n\t\t0 ====> absolute values\n\t\t1 ====> negative values"
                              "\n\t\t2 ====> positive values\n\t\t";
    EXPECT_NE(r.output.find(treat + treat + treat + "\n\tx is not a number " + treat + "\n\n\n\t2D Volume 9.000000 "),
              std::string::npos);
    // Only the raised centre cell is interior: its 3D share is 5/9 of 9 m.
    EXPECT_NE(r.output.find("2D Volume 9.000000 3D Volume 5.000000 "), std::string::npos);
}

// 6. A hostile host ----------------------------------------------------------------

namespace {
const std::string FULL_RUN = " a 0 b 0 d 1 0 0 0 1 0 "; // after the folder; the key follows

// True when the tests run under AddressSanitizer, whose shadow memory makes
// address-space limits and sizes meaningless.
bool address_sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}
} // namespace

class Hostile : public EarlyEnd {
  protected:
    // Temporary files in the DEM folder.
    std::vector<std::string> temporaries() const
    {
        std::vector<std::string> t;
        for (const std::string &f : files())
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".tmp") == 0)
                t.push_back(f);
        return t;
    }
    // The four results of FULL_RUN under the given name: 10 m - 4 m at the
    // only interior cell, in metres.
    void expect_new_results(const std::string &name)
    {
        const std::string raster = m4_bytes(frame(3, 3, 0, {{1, 1, 6}}));
        const std::string descr = result_descriptor(3, 3, 4, 0, 6, 1, "absolute values", "6.000000");
        EXPECT_EQ(contents(name + "_2D_m4.raw"), raster);
        EXPECT_EQ(contents(name + "_3D_m4.raw"), raster);
        EXPECT_EQ(contents(name + "_2D_m4.txt"), descr);
        EXPECT_EQ(contents(name + "_3D_m4.txt"), descr);
    }
};

// Links, signals, process limits and FIFOs are tried on the native tool.
class HostileNative : public Hostile {
  protected:
    void SetUp() override
    {
        Hostile::SetUp();
        if (!native())
            GTEST_SKIP() << "links, signals, limits and FIFOs are tried on the native tool";
    }
};

TEST_F(HostileNative, LinksPlantedAtGuessableTemporaryNamesAreNeverWrittenThrough)
{
    // Symbolic and hard links at the names a result's temporary file could
    // be guessed to take: the result's name and the next process ids.
    put("victim", "victim of a link");
    unsigned long last = 0;
    if (FILE *f = std::fopen("/proc/sys/kernel/ns_last_pid", "r")) {
        if (std::fscanf(f, "%lu", &last) != 1)
            last = 0;
        std::fclose(f);
    }
    ASSERT_NE(last, 0u);
    for (unsigned long pid = last + 1; pid <= last + 150; pid++)
        for (const std::string &result : OLD_RESULTS) {
            const std::string planted = path(result + "." + std::to_string(pid) + ".tmp");
            if (result[2] == '2')
                ASSERT_EQ(symlink(path("victim").c_str(), planted.c_str()), 0);
            else
                ASSERT_EQ(link(path("victim").c_str(), planted.c_str()), 0);
        }
    RunResult r = run(folder() + FULL_RUN + "\n");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(contents("victim"), "victim of a link");
    expect_new_results("d");
    EXPECT_EQ(temporaries().size(), 600u); // the planted links only
}

TEST_F(HostileNative, AResultNameTheFileSystemTakesIsNotRefusedForItsTemporaryName)
{
    // 240 characters and "_2D_m4.raw": 250 of the 255 a name may have.
    const std::string name(240, 'r');
    RunResult r = run(folder() + " a 0 b 0 " + name + " 1 0 0 0 1 0 \n");
    EXPECT_EQ(r.status, 0) << r.output;
    expect_new_results(name);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(HostileNative, TemporaryFilesOfKilledRunsAreRemovedButNeverThoseOfLiveRuns)
{
    HeldRun killed = start_held(folder() + FULL_RUN + "\n", "3D Volume");
    EXPECT_EQ(temporaries().size(), 4u);
    EXPECT_EQ(finish_held(killed, SIGKILL).status, -SIGKILL);
    const std::vector<std::string> stale = temporaries();
    EXPECT_EQ(stale.size(), 4u);

    // A later run in the folder removes them; its own stay while it goes on,
    // also when a third run writes its results beside it.
    HeldRun going = start_held(folder() + " a 0 b 0 e 1 0 0 0 1 0\n", "3D Volume");
    const std::vector<std::string> live = temporaries();
    EXPECT_EQ(live.size(), 4u);
    for (const std::string &t : stale)
        EXPECT_EQ(std::find(live.begin(), live.end(), t), live.end()) << t;
    EXPECT_EQ(run(folder() + " a 0 b 0 f 1 0 0 0 1 0 \n").status, 0);
    EXPECT_EQ(temporaries(), live);
    RunResult r = finish_held(going, 0);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(temporaries().empty());
    expect_new_results("e");
    expect_new_results("f");
    for (const std::string &f : OLD_RESULTS)
        EXPECT_EQ(contents(f), "earlier " + f);
}

TEST_F(HostileNative, EverySignalThatEndsARunRemovesItsTemporaryFiles)
{
    // At the key wait, the temporary files being written.
    for (int sig : {SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGXFSZ}) {
        HeldRun held = start_held(folder() + FULL_RUN + "\n", "3D Volume");
        EXPECT_EQ(finish_held(held, sig).status, -sig) << sig;
        expect_earlier_results_intact();
    }
    // A file-size limit reached while a result is written (36 bytes of raster).
    RunSetting limited;
    limited.file_size_limit = 20;
    EXPECT_EQ(run_native(folder() + FULL_RUN + "\n", limited).status, -SIGXFSZ);
    expect_earlier_results_intact();
    // An output closed by its reader (as `| head` does) before the volumes are shown.
    RunResult r = run_closing_output(folder() + " a 0 b 0 d 1 0 0 0 1 0", "Type of treatment", " \n\n");
    EXPECT_EQ(r.status, -SIGPIPE);
    expect_earlier_results_intact();
}

TEST_F(HostileNative, ASignalDuringTheRenamesTakesEffectOnlyAfterTheLast)
{
    for (int at = 1; at <= 4; at++) {
        RunSetting setting;
        setting.env = {std::string("LD_PRELOAD=") + RENAME_SHIM, "SIGNAL_AT_RENAME=" + std::to_string(at),
                       "ASAN_OPTIONS=verify_asan_link_order=0"};
        RunResult r = run_native(folder() + FULL_RUN + "\n", setting);
        EXPECT_EQ(r.status, -SIGTERM) << at;
        // All four results are the new ones, none is left behind.
        expect_new_results("d");
        EXPECT_TRUE(temporaries().empty()) << at;
        for (const std::string &f : OLD_RESULTS)
            put(f, "earlier " + f);
    }
}

TEST_F(HostileNative, ATemporaryFileSwappedForALinkReplacesNothing)
{
    // Each of the four temporary files in turn swapped for a link to a file
    // of the user once written: the run fails, every earlier result and the
    // linked file are left as they were, and no link takes a result's name.
    put("victim", "victim of a link");
    for (int at = 1; at <= 4; at++) {
        RunSetting setting;
        setting.env = {std::string("LD_PRELOAD=") + RENAME_SHIM, "SWAP_AT_FSYNC=" + std::to_string(at),
                       "SWAP_LINK_TO=" + path("victim"), "ASAN_OPTIONS=verify_asan_link_order=0"};
        RunResult r = run_native(folder() + FULL_RUN + "\n", setting);
        EXPECT_EQ(r.status, 1) << at << r.output;
        EXPECT_NE(r.output.find("\n\tCannot write "), std::string::npos) << r.output;
        EXPECT_EQ(contents("victim"), "victim of a link");
        for (const std::string &f : OLD_RESULTS) {
            EXPECT_EQ(contents(f), "earlier " + f) << at;
            EXPECT_FALSE(std::filesystem::is_symlink(path(f))) << f;
        }
        EXPECT_TRUE(temporaries().empty()) << at;
    }
}

TEST_F(Hostile, AnAnswerHoldingANulByteIsNeitherANameNorANumber)
{
    // Each name is refused and asked again; a treatment "\0" is no 0.
    put("zz", "earlier zz");
    const std::string nul(1, '\0');
    RunResult r = run("x" + nul + " " + folder() + " a" + nul + " a 0 b 0 zz" + nul + " ../../outside/any.conf" + nul +
                      " d 1 0 0 0 1 " + nul + " 0 \n");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string refused = "\n\tA name cannot hold a NUL character \n";
    size_t count = 0;
    for (size_t at = r.output.find(refused); at != std::string::npos; at = r.output.find(refused, at + 1))
        count++;
    EXPECT_EQ(count, 4u) << r.output;
    EXPECT_NE(r.output.find(refused + "\n\n\tName of the File Folder located in the Directory "), std::string::npos);
    EXPECT_NE(r.output.find("\n\t is not a number \n\tType of treatment : "), std::string::npos) << r.output;
    EXPECT_EQ(contents("zz"), "earlier zz");
    expect_new_results("d");
    EXPECT_EQ(files(), (std::vector<std::string>{"a_m2.raw", "a_m2.txt", "b_m2.raw", "b_m2.txt", "d_2D_m4.raw",
                                                 "d_2D_m4.txt", "d_3D_m4.raw", "d_3D_m4.txt", "zz"}));
}

TEST_F(HostileNative, FifosAndFoldersAreRefusedAsInputsWithoutWaiting)
{
    ASSERT_EQ(mkfifo(path("f_m2.raw").c_str(), 0644), 0);
    put("f_m2.txt", descriptor(3, 3, 2, 0, 0, 1));
    ASSERT_EQ(mkfifo(path("g_m2.txt").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(path("h_m2.txt").c_str(), 0755), 0);
    put_m2("g_m2.raw", frame(3, 3, 1));
    put_m2("h_m2.raw", frame(3, 3, 1));
    const char *const refused[][2] = {{"a 0 f 0", "f_m2.raw"}, {"g 0", "g_m2.txt"}, {"h 0", "h_m2.txt"}};
    for (const auto &c : refused) {
        RunResult r = run_native(folder() + " " + c[0] + " 3 3 1 \n", RunSetting());
        EXPECT_EQ(r.status, 1) << c[1];
        EXPECT_NE(r.output.find("\n\tCannot read " + shown(c[1]) + " \n"), std::string::npos) << r.output;
    }
    for (const char *f : {"f_m2.raw", "f_m2.txt", "g_m2.txt", "g_m2.raw", "h_m2.raw"})
        std::remove(path(f).c_str());
    rmdir(path("h_m2.txt").c_str());
    expect_earlier_results_intact();
}

TEST_F(HostileNative, ADescriptorTheRunCreatedIsRemovedWhenItsWritingFails)
{
    // "3\n3\n2\n" does not fit 4 bytes; its second half "1\n1\n1\n" not 8.
    put_m2("c_m2.raw", frame(3, 3, 1));
    for (long long limit : {4, 8}) {
        RunSetting limited;
        limited.file_size_limit = limit;
        RunResult r = run_native(folder() + " c 0 3 3 1 a 0 d 1 0 0 0 1 0 \n", limited);
        EXPECT_NE(r.status, 0) << limit;
        EXPECT_FALSE(exists("c_m2.txt")) << limit << ": " << contents("c_m2.txt");
    }
    std::remove(path("c_m2.raw").c_str());
    expect_earlier_results_intact();
}

TEST_F(HostileNative, AFrameTheProcessCannotHoldIsRefusedBeforeTheNextQuestion)
{
    if (address_sanitized())
        GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
    // The six matrices fit under the limit, the line buffers of the
    // difference pass do not.
    put("big_m2.raw", "");
    put("big_m2.txt", descriptor(3, 2000000, 2, 0, 0, 1));
    RunSetting limited;
    limited.address_limit = static_cast<long long>(run_memory_estimate(3, 2000000));
    RunResult r = run_native(folder() + " big 0 big 0 d 1 0 0 0 1 0 \n\n", limited);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(std::string("\n\tType of DEM") + TYPE_MENU +
                            "\n\tNot enough memory for 3 lines and 2000000 columns \n"),
              std::string::npos)
        << r.output;
    std::remove(path("big_m2.raw").c_str());
    std::remove(path("big_m2.txt").c_str());
    expect_earlier_results_intact();
}

TEST_F(HostileNative, AnyAllocationThatFailsEndsTheRunWithTheMemoryMessage)
{
    if (address_sanitized())
        GTEST_SKIP() << "AddressSanitizer has its own allocator";
    // Each large allocation of a run in turn fails (matrices, staging
    // matrices, line buffers of the difference pass), until a run has none
    // left to fail.
    put("big_m2.raw", "");
    put("big_m2.txt", descriptor(3, 100000, 2, 0, 0, 1));
    int failed = 0;
    for (int at = 1; at < 200; at++) {
        for (const std::string &f : OLD_RESULTS)
            put(f, "earlier " + f);
        RunSetting setting;
        setting.env = {std::string("LD_PRELOAD=") + ALLOC_FAILURE_SHIM, "FAIL_LARGE_ALLOCATION=" + std::to_string(at)};
        RunResult r = run_native(folder() + " big 0 big 0 d 1 2 2 0 1 0 \n\n", setting);
        if (r.status == 0 && failed > 0)
            break;
        if (r.status == 0)
            continue; // a failure the program's start-up absorbs
        failed++;
        EXPECT_EQ(r.status, 1) << at << r.output;
        EXPECT_NE(r.output.find("\n\tNot enough memory for 3 lines and 100000 columns \n"), std::string::npos)
            << at << r.output;
        EXPECT_TRUE(temporaries().empty()) << at;
        for (const std::string &f : OLD_RESULTS)
            EXPECT_TRUE(contents(f) == "earlier " + f) << at << ": " << f << " was replaced";
    }
    EXPECT_GE(failed, 24); // 18 matrix lines, 6 staging lines at least
}

TEST_F(HostileNative, TheMemoryEstimateIsWithinATenthOfThePeakOfARun)
{
    if (address_sanitized())
        GTEST_SKIP() << "AddressSanitizer changes what allocations cost";
    // Rasters without values (read as 0) in frames long and thin both ways
    // round and without columns; a 3 × 3 run gives the program's own size.
    struct Frame {
        int lig, col;
    };
    auto peak_of = [this](Frame f) {
        put("big_m2.raw", "");
        put("big_m2.txt", descriptor(f.lig, f.col, 2, 0, 0, 1));
        HeldRun held = start_held(folder() + " big 0 big 0 p 1 0 0 0 1 0\n", "3D Volume");
        long long kib = 0;
        if (FILE *status = std::fopen(("/proc/" + std::to_string(held.pid) + "/status").c_str(), "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr)
                if (std::sscanf(line, "VmPeak: %lld kB", &kib) == 1)
                    break;
            std::fclose(status);
        }
        EXPECT_EQ(finish_held(held, 0).status, 0) << f.lig << " x " << f.col;
        return static_cast<double>(kib) * 1024.0;
    };
    const double base = peak_of({3, 3});
    for (Frame f : {Frame{3, 1000000}, Frame{1000000, 3}, Frame{400000, 0}}) {
        const double grown = peak_of(f) - base;
        const double estimated =
            static_cast<double>(run_memory_estimate(f.lig, f.col)) - static_cast<double>(run_memory_estimate(3, 3));
        EXPECT_NEAR(estimated, grown, 0.1 * grown) << f.lig << " x " << f.col;
    }
}
