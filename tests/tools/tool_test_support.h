// Helpers of the companion programs' tests: running a program with its
// output captured, a scratch folder per test, and DEM pairs read or written
// through the project's format code.
#ifndef TOOL_TEST_SUPPORT_H
#define TOOL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Outcome {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out, err;
};

// Runs program with args in the folder dir, standard input from the text
// input.
Outcome run_program(const std::string &program, const std::vector<std::string> &args, const std::string &dir,
                const std::string &input = "");

// A fresh folder for each test, removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::vector<std::string> files() const; // names in the folder, sorted
    std::string dir;
};

std::string file_bytes(const std::string &path);
void write_text(const std::string &path, const std::string &text);

// A DEM as lines of values (any size up to int).
typedef std::vector<std::vector<long long>> Grid;

// Reads a raster of the given frame and type; fails the test when it does
// not hold exactly that frame.
Grid read_grid(const std::string &raster, int itype, int nb_lig, int nb_col);
// Writes a raster and a descriptor (lines, columns, bytes, min, max, pixel).
void write_pair(const std::string &base, int itype, const Grid &g, int pix_size);
// The six fields of a descriptor.
std::vector<int> descriptor_fields(const std::string &path);

// The number after the label on a line of the form "  label   value..." of
// the output; fails the test when no line has it.
double number_after(const std::string &out, const std::string &label);

#endif
