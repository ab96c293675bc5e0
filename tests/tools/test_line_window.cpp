// The walk of a grid's lines three at a time, and the step of a bounded
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

TEST(LineWindow, TheSampleStepKeepsTheCellsWithinTheBound)
{
    EXPECT_EQ(sample_step(1000, 0), 1);
    EXPECT_EQ(sample_step(1000, 1000), 1);
    EXPECT_EQ(sample_step(1001, 1000), 2);
    EXPECT_EQ(sample_step(100000000, 1000000), 10);
    EXPECT_EQ(sample_step(100000001, 1000000), 11);
}

} // namespace
