// The walk of a grid's lines three at a time, the same rule for lines held
// in memory with the nine values of a window, and the step of a bounded
// sample.
#include "line_window.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Line {
    int index = -1;
};

// Every line is handed over once, in order, with the lines around it
// (none beyond the frame), whatever the number of lines; a failed read
// stops the walk before the lines it would complete.
TEST(LineWindow, EachLineWithItsNeighboursAndNoneBeyondTheFrame)
{
    for (int nb_lig : {0, 1, 2, 5}) {
        Line ring[3];
        std::vector<int> seen;
        const bool ok = walk_line_windows(
            nb_lig, ring,
            [](int k, Line *l) {
                l->index = k;
                return true;
            },
            [&](int l, const Line *above, const Line &line, const Line *below) {
                EXPECT_EQ(line.index, l);
                EXPECT_EQ(above == nullptr ? -1 : above->index, l > 0 ? l - 1 : -1) << nb_lig;
                EXPECT_EQ(below == nullptr ? -1 : below->index, l + 1 < nb_lig ? l + 1 : -1) << nb_lig;
                seen.push_back(l);
            });
        EXPECT_TRUE(ok);
        EXPECT_EQ(static_cast<int>(seen.size()), nb_lig);
    }
    Line ring[3];
    int visited = 0;
    EXPECT_FALSE(walk_line_windows(
        4, ring, [](int k, Line *) { return k < 2; },
        [&](int, const Line *, const Line &, const Line *) { visited++; }));
    EXPECT_EQ(visited, 1); // line 0 only: line 1 needs line 2, whose read failed
}

// Lines held in memory: the line above and the line below are null beyond
// the frame, a frame of one line having neither; the window at a column
// gives its nine values line by line from the top left.
TEST(LineWindow, LinesHeldInMemoryAndTheNineValuesOfAWindow)
{
    const int nb_lig = 4, nb_col = 3;
    std::vector<double> values(static_cast<size_t>(nb_lig) * nb_col);
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<double>(k);
    const std::vector<double> &grid = values;
    const auto row = [&grid](int l) { return &grid[static_cast<size_t>(l) * nb_col]; };
    // The line index a pointer holds, −1 for none.
    const auto index = [&grid](const double *line) {
        return line == nullptr ? -1 : static_cast<int>((line - grid.data()) / nb_col);
    };
    const int above[nb_lig] = {-1, 0, 1, 2}, below[nb_lig] = {1, 2, 3, -1};
    for (int l = 0; l < nb_lig; ++l) {
        const NeighbourLines<const double> lines = neighbour_lines(l, nb_lig, row);
        EXPECT_EQ(index(lines.above), above[l]) << l;
        EXPECT_EQ(index(lines.line), l);
        EXPECT_EQ(index(lines.below), below[l]) << l;
    }
    const NeighbourLines<const double> alone = neighbour_lines(0, 1, row);
    EXPECT_EQ(alone.above, nullptr);
    EXPECT_EQ(alone.below, nullptr);

    double window[9];
    window_values(neighbour_lines(2, nb_lig, row), 1, window);
    EXPECT_EQ(std::vector<double>(window, window + 9), (std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
    window_values(neighbour_lines(1, nb_lig, [&values](int l) { return &values[static_cast<size_t>(l) * nb_col]; }),
                  1, window);
    EXPECT_EQ(std::vector<double>(window, window + 9), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(LineWindow, TheSampleStepKeepsTheCellsWithinTheBound)
{
    EXPECT_EQ(sample_step(1000, 0), 1);
    EXPECT_EQ(sample_step(1000, 1000), 1);
    EXPECT_EQ(sample_step(1001, 1000), 2);
    EXPECT_EQ(sample_step(100000000, 1000000), 10);
    EXPECT_EQ(sample_step(100000001, 1000000), 11);
}

} // namespace
