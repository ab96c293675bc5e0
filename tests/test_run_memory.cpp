// The memory estimate of a run: what the allocation library takes for a
// block, and frames too large for any host. (Its agreement with the peak of
// real runs is tried in whole runs.)
#include "run_memory.h"

#include <gtest/gtest.h>

#include <climits>

TEST(RunMemory, BlocksCostTheirHeaderAlignmentOrWholePages)
{
    EXPECT_EQ(block_cost(0), 32u);
    EXPECT_EQ(block_cost(24), 32u);
    EXPECT_EQ(block_cost(25), 48u);
    EXPECT_EQ(block_cost(1000000), 1003520u); // 245 pages
}

TEST(RunMemory, FramesBeyondAnyHostSaturateInsteadOfWrapping)
{
    EXPECT_EQ(run_memory_estimate(INT_MAX, INT_MAX), ULLONG_MAX);
    EXPECT_GT(run_memory_estimate(INT_MAX, 0), 6ULL * 32 * INT_MAX);
    EXPECT_LT(run_memory_estimate(100000, 100000), run_memory_estimate(100000, 200000));
}
