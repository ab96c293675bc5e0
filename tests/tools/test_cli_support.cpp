// The shared command-line pieces, parsed in the test's own process: numbers
// read as the tool's dialogue reads them (not as CLI11 would: "010" is ten,
// not octal eight; a decimal is strtod's nearest double), units and value
// types by name or code, and the exit statuses of parse_command_line.
#include "cli_support.h"
#include "dem_files.h"
#include "tool_support.h"
#include "units.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Parses the words as a command line of a program "probe".
int parse(CLI::App &app, std::vector<std::string> words)
{
    words.insert(words.begin(), "probe");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    return parse_command_line(app, static_cast<int>(argv.size()), argv.data());
}

} // namespace

TEST(CliSupport, NumbersAreReadAsTheDialogueReadsThem)
{
    int whole = -1;
    double real = -1;
    CLI::App app;
    setup_command_line(app, "probe", "a probe");
    add_whole_option(app, "--n", &whole, 0, 100, "n");
    add_real_option(app, "--x", &real, 0, 10, true, "a length above 0", "x");
    ASSERT_EQ(parse(app, {"--n", "010", "--x", "0.1"}), -1);
    EXPECT_EQ(whole, 10);
    EXPECT_EQ(real, std::strtod("0.1", nullptr));
    ASSERT_EQ(parse(app, {"--x", "2.675"}), -1);
    EXPECT_EQ(real, std::strtod("2.675", nullptr));
    // Out of range, not a whole word, not finite: usage errors.
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"--n", "101"}, {"--n", "7x"}, {"--n", "0x10"}, {"--x", "0"}, {"--x", "nan"}, {"--x", "1e999"}, {"--x"}})
        EXPECT_EQ(parse(app, bad), EXIT_USAGE) << bad[0];
}

TEST(CliSupport, UnitsAndTypesByNameOrCodeUpToTheAllowedOne)
{
    int unit = -1, itype = -1, choice = -1;
    CLI::App app;
    setup_command_line(app, "probe", "a probe");
    add_unit_option(app, "--unit", &unit, UNITS_IN - 1, "unit");
    add_type_option(app, "--type", &itype, "type");
    add_choice_option(app, "--map", &choice, {"heights", "differences"}, "map");
    for (int code = 0; code < UNITS_IN; code++) {
        unit = -1;
        ASSERT_EQ(parse(app, {"--unit", height_unit(code).name}), -1);
        EXPECT_EQ(unit, code);
        unit = -1;
        ASSERT_EQ(parse(app, {"--unit", std::to_string(code)}), -1);
        EXPECT_EQ(unit, code);
    }
    EXPECT_EQ(parse(app, {"--unit", "0.1mm"}), EXIT_USAGE); // a unit of results only
    EXPECT_EQ(parse(app, {"--unit", "4"}), EXIT_USAGE);
    ASSERT_EQ(parse(app, {"--type", "m4", "--map", "differences"}), -1);
    EXPECT_EQ(itype, DEM_M4);
    EXPECT_EQ(choice, 1);
    ASSERT_EQ(parse(app, {"--type", "0"}), -1);
    EXPECT_EQ(itype, DEM_M2);
    EXPECT_EQ(parse(app, {"--type", "m3"}), EXIT_USAGE);
    EXPECT_EQ(parse(app, {"--map", "slope"}), EXIT_USAGE);
    EXPECT_EQ(parse(app, {"--help"}), EXIT_DONE);
    EXPECT_EQ(parse(app, {"--version"}), EXIT_DONE);
}

TEST(CliSupport, JsonNumbersReadBackExactlyAndNonFiniteAreNull)
{
    const double values[] = {0.1, 1.0 / 3, 5.0000000000000711, -1e-300, 123456789.123456789};
    for (double v : values) {
        const std::string text = nlohmann::json(json_number(v)).dump();
        EXPECT_EQ(nlohmann::json::parse(text).get<double>(), v) << text;
    }
    EXPECT_TRUE(json_number(std::strtod("inf", nullptr)).is_null());
    EXPECT_TRUE(json_number(std::strtod("nan", nullptr)).is_null());
}

TEST(CliSupport, MessagesShowRealsInTheirShortestExactForm)
{
    EXPECT_EQ(exact_number(0.3048), "0.3048");
    EXPECT_EQ(exact_number(298.257223563), "298.257223563");
    EXPECT_EQ(exact_number(6378137), "6378137");
    EXPECT_EQ(exact_number(500000), "500000");
    EXPECT_EQ(exact_number(0.00001), "0.00001");
    EXPECT_EQ(exact_number(-3.4028234663852886e38), "-3.4028234663852886e+38");
    EXPECT_EQ(exact_number(-2.5), "-2.5");
    // Not shortened past the double: 0.1 + 0.2 is not 0.3.
    EXPECT_EQ(exact_number(0.1 + 0.2), "0.30000000000000004");
    for (double v : {0.3048, 1.0 / 3, -3.4028234663852886e38, 5e-324, 1e300})
        EXPECT_EQ(std::strtod(exact_number(v).c_str(), nullptr), v) << exact_number(v);
}

TEST(CliSupport, FiguresAreRoundedToTheSecondDigitOfTheirError)
{
    EXPECT_EQ(decimals_of_error(12345, 2), -3);
    EXPECT_EQ(decimals_of_error(96, 2), 0);
    EXPECT_EQ(decimals_of_error(0.042, 2), 3);
    EXPECT_EQ(decimals_of_error(0, 2), 2);
    EXPECT_EQ(rounded_text(-46170.3, -3), "-46000");
    EXPECT_EQ(rounded_text(-1234.5678, 0), "-1235");
    EXPECT_EQ(rounded_text(0.25720, 3), "0.257");
    EXPECT_EQ(rounded_text(-0.0004, 3), "0.000"); // no sign on a figure shown as 0
}
