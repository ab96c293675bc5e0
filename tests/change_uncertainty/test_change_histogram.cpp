// The distribution of a difference: bins of a width given or chosen, the
// parts of each bin, sums equal to the whole, the CSV.
#include "change_histogram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// Cells of 4 m², volume d × 4.
void count(ChangeHistogram *h, double d, bool detected)
{
    histogram_count(h, d, 4.0, d * 4.0, detected);
}

TEST(ChangeHistogram, GivenWidthBinsAnchoredAtZero)
{
    ChangeHistogram h = make_histogram(0.5);
    count(&h, -0.7, true);
    count(&h, -0.2, false);
    count(&h, 0.2, false);
    count(&h, 0.3, false);
    count(&h, 1.0, true); // on an edge: the bin above
    count(&h, 0.0, false);
    HistogramTable t;
    std::string error;
    ASSERT_TRUE(histogram_table(h, &t, &error)) << error;
    EXPECT_EQ(t.width, 0.5);
    ASSERT_EQ(t.bins.size(), 5u); // [-1, -0.5) … [1, 1.5)
    EXPECT_EQ(t.bins[0].low, -1.0);
    EXPECT_EQ(t.bins[4].high, 1.5);
    EXPECT_TRUE(t.bins[0].lowering);
    EXPECT_TRUE(t.bins[1].lowering);
    EXPECT_FALSE(t.bins[2].lowering);
    EXPECT_EQ(t.bins[0].detected.cells, 1);
    EXPECT_EQ(t.bins[1].below.cells, 1);
    EXPECT_EQ(t.bins[2].below.cells, 2);
    EXPECT_NEAR(t.bins[2].below.volume, 2.0, 1e-12);
    EXPECT_EQ(t.bins[3].detected.cells + t.bins[3].below.cells, 0);
    EXPECT_EQ(t.bins[4].detected.cells, 1);
    EXPECT_EQ(t.unchanged.cells, 1);
    EXPECT_EQ(t.unchanged.area, 4.0);
}

// Sums of a table's bins, unchanged cells included.
BinTally totals(const HistogramTable &t)
{
    BinTally s = t.unchanged;
    for (const ShownBin &b : t.bins)
        for (const BinTally *p : {&b.detected, &b.below}) {
            s.cells += p->cells;
            s.area += p->area;
            s.volume += p->volume;
        }
    return s;
}

TEST(ChangeHistogram, ChosenWidthIsRoundAndKeepsTheSums)
{
    // 8001 values from -3 to 5 m by 1 mm: 8 m of range, a width of 0.1 m
    // (81 bins), whatever the order the values come in.
    std::vector<double> values;
    for (int k = -3000; k <= 5000; k++)
        values.push_back(k / 1000.0);
    double volume = 0;
    for (double v : values)
        volume += v * 4.0;
    for (bool ascending : {true, false}) {
        ChangeHistogram h = make_histogram(0);
        for (size_t k = 0; k < values.size(); k++)
            count(&h, values[ascending ? k : values.size() - 1 - k], std::fabs(values[k]) > 1);
        HistogramTable t;
        std::string error;
        ASSERT_TRUE(histogram_table(h, &t, &error)) << error;
        EXPECT_NEAR(t.width, 0.1, 1e-15);
        EXPECT_FALSE(t.width_given);
        ASSERT_EQ(t.bins.size(), 81u);
        EXPECT_NEAR(t.bins.front().low, -3.0, 1e-12);
        EXPECT_NEAR(t.bins.back().high, 5.1, 1e-12);
        // 100 values of 1 mm in each bin (the edges fall on the values).
        EXPECT_EQ(t.bins[0].detected.cells + t.bins[0].below.cells, 100);
        EXPECT_EQ(t.bins[40].detected.cells + t.bins[40].below.cells, 100);
        const BinTally s = totals(t);
        EXPECT_EQ(s.cells, 8001);
        EXPECT_NEAR(s.area, 8001 * 4.0, 1e-9);
        EXPECT_NEAR(s.volume, volume, 1e-9);
    }
}

TEST(ChangeHistogram, WideRangesAndTinyOnes)
{
    // Values from 1 µm to 10 km: the fine bins are merged until they hold
    // the range, and at most 100 bins are shown.
    ChangeHistogram wide = make_histogram(0);
    for (double v = 1e-6; v < 1e4; v *= 1.5)
        count(&wide, -v, true);
    HistogramTable t;
    std::string error;
    ASSERT_TRUE(histogram_table(wide, &t, &error)) << error;
    EXPECT_LE(t.bins.size(), 100u);
    EXPECT_GE(t.bins.size(), 40u);
    EXPECT_EQ(t.bins.back().high, 0.0);
    // One value: one bin of the finest width.
    ChangeHistogram one = make_histogram(0);
    count(&one, 0.25, true);
    ASSERT_TRUE(histogram_table(one, &t, &error));
    ASSERT_EQ(t.bins.size(), 1u);
    EXPECT_EQ(t.bins[0].detected.cells, 1);
    // No change at all: no bins, the cells unchanged.
    ChangeHistogram flat = make_histogram(0);
    count(&flat, 0, false);
    ASSERT_TRUE(histogram_table(flat, &t, &error));
    EXPECT_TRUE(t.bins.empty());
    EXPECT_EQ(t.unchanged.cells, 1);
}

TEST(ChangeHistogram, GivenWidthTooFineIsRefused)
{
    ChangeHistogram h = make_histogram(1e-6);
    count(&h, -1, true);
    count(&h, 1, true);
    count(&h, 1e300, true);
    HistogramTable t;
    std::string error;
    EXPECT_FALSE(histogram_table(h, &t, &error));
    EXPECT_NE(error.find("give a wider bin"), std::string::npos) << error;
}

TEST(ChangeHistogram, Csv)
{
    ChangeHistogram h = make_histogram(0.5);
    count(&h, -0.25, true);
    count(&h, 0, false);
    HistogramTable t;
    std::string error;
    ASSERT_TRUE(histogram_table(h, &t, &error));
    EXPECT_EQ(histogram_csv({"2D"}, {t}),
              "difference,from_m,to_m,change,detected_cells,detected_area_m2,detected_volume_m3,below_cells,"
              "below_area_m2,below_volume_m3\n"
              "2D,-0.5,0,lowering,1,4,-1,0,0,0\n"
              "2D,0,0,unchanged,0,0,0,1,4,0\n");
}

} // namespace
