// The distribution of a difference: bins of a width given or chosen, the
// parts of each bin, sums equal to the whole, the CSV.
#include "change_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
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

// Sums of a table's bins, unchanged cells and the underflow and overflow
// bins included.
BinTally totals(const HistogramTable &t)
{
    BinTally s = t.unchanged;
    std::vector<ShownBin> all = t.bins;
    all.push_back(t.underflow);
    all.push_back(t.overflow);
    for (const ShownBin &b : all)
        for (const BinTally *p : {&b.detected, &b.below}) {
            s.cells += p->cells;
            s.area += p->area;
            s.volume += p->volume;
        }
    return s;
}

TEST(ChangeHistogram, ChosenWidthIsRoundAndKeepsTheSums)
{
    // 8001 values from -3 to 5 m by 1 mm, whatever the order they come in:
    // IQR 4 m, the Freedman–Diaconis width 2 × 4 / ∛8001 = 0.4 m, rounded
    // to 0.5 m; the bins cover the 0.5 % to 99.5 % quantiles, -2.96 to
    // 4.96 m: 16 bins from -3 to 5 m, the value 5 m above them.
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
        EXPECT_NEAR(t.width, 0.5, 1e-15);
        EXPECT_FALSE(t.width_given);
        ASSERT_EQ(t.bins.size(), 16u);
        EXPECT_NEAR(t.bins.front().low, -3.0, 1e-12);
        EXPECT_NEAR(t.bins.back().high, 5.0, 1e-12);
        // 500 values of 1 mm in each bin (the edges fall on the values).
        EXPECT_EQ(t.bins[0].detected.cells + t.bins[0].below.cells, 500);
        EXPECT_EQ(t.bins[8].detected.cells + t.bins[8].below.cells, 500);
        EXPECT_FALSE(t.has_underflow);
        ASSERT_TRUE(t.has_overflow);
        EXPECT_EQ(t.overflow.detected.cells, 1);
        EXPECT_EQ(t.overflow.low, 5.0);
        EXPECT_EQ(t.overflow.high, 5.0);
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

TEST(ChangeHistogram, ASpikeLeavesTheCentralBinsAlone)
{
    // 3600 cells of 0.3 m noise and one of 400 m: the range alone would
    // give 5 m bins and two bars; the width comes from the central cells.
    std::mt19937_64 random(3600);
    std::normal_distribution<double> noise(0, 0.3);
    ChangeHistogram h = make_histogram(0);
    for (int k = 0; k < 3600; k++)
        count(&h, noise(random), false);
    count(&h, 400, true);
    HistogramTable t;
    std::string error;
    ASSERT_TRUE(histogram_table(h, &t, &error)) << error;
    // The fine bins are 0.1 m wide once 400 m must fit in them; the
    // Freedman–Diaconis width, about 0.05 m, is one of them.
    EXPECT_NEAR(t.width, 0.1, 1e-15);
    // The bins cover about ±2.6 σ = ±0.77 m.
    EXPECT_GE(t.bins.size(), 12u);
    EXPECT_LE(t.bins.size(), 20u);
    EXPECT_LT(t.bins.front().low, -0.6);
    EXPECT_GT(t.bins.back().high, 0.6);
    long long largest = 0;
    for (const ShownBin &b : t.bins)
        largest = std::max(largest, b.detected.cells + b.below.cells);
    EXPECT_LT(largest, 3600 / 5);
    // The spike and the cells beyond 99.5 % in the overflow bin, those
    // below 0.5 % in the underflow bin: about 18 each.
    ASSERT_TRUE(t.has_overflow);
    ASSERT_TRUE(t.has_underflow);
    EXPECT_EQ(t.overflow.detected.cells, 1);
    EXPECT_EQ(t.overflow.high, 400.0);
    EXPECT_NEAR(static_cast<double>(t.overflow.below.cells), 18, 10);
    EXPECT_NEAR(static_cast<double>(t.underflow.below.cells), 18, 10);
    EXPECT_TRUE(t.underflow.lowering);
    EXPECT_FALSE(t.overflow.lowering);
    EXPECT_EQ(totals(t).cells, 3601);
    // The CSV: the underflow row first, its from_m the lowest value; the
    // overflow row last, its to_m 400.
    const std::string csv = histogram_csv({"2D"}, {t});
    char first_row[80];
    std::snprintf(first_row, sizeof first_row, "\n2D,%.12g,%.12g,lowering,0,0,0,", t.underflow.low, t.bins.front().low);
    EXPECT_NE(csv.find(first_row), std::string::npos) << csv;
    EXPECT_EQ(t.underflow.low, h.min);
    EXPECT_NE(csv.find(",400,raising,1,4,1600,"), std::string::npos) << csv;
}

TEST(ChangeHistogram, OutliersOfTheOtherSignAndZeroWithinRounding)
{
    // 1000 cells raised by 1 to 2 m and one lowered by 50 m: the bins reach
    // down to 0, so that the underflow bin holds the lowering alone.
    ChangeHistogram h = make_histogram(0);
    for (int k = 0; k < 1000; k++)
        count(&h, 1 + k / 1000.0, true);
    count(&h, -50, true);
    HistogramTable t;
    std::string error;
    ASSERT_TRUE(histogram_table(h, &t, &error)) << error;
    ASSERT_TRUE(t.has_underflow);
    EXPECT_EQ(t.underflow.detected.cells, 1);
    EXPECT_TRUE(t.underflow.lowering);
    EXPECT_EQ(t.underflow.high, 0.0);
    EXPECT_EQ(t.bins.front().low, 0.0);
    // A difference within rounding of 0 on the negative side is lowering,
    // with a width given or chosen.
    for (double width : {0.5, 0.0}) {
        ChangeHistogram z = make_histogram(width);
        count(&z, -1e-300, true);
        count(&z, 1e-300, true);
        ASSERT_TRUE(histogram_table(z, &t, &error)) << error;
        ASSERT_EQ(t.bins.size(), 2u) << width;
        EXPECT_TRUE(t.bins[0].lowering);
        EXPECT_EQ(t.bins[0].detected.cells, 1);
        EXPECT_EQ(t.bins[0].high, 0.0);
        EXPECT_FALSE(t.bins[1].lowering);
        EXPECT_EQ(t.bins[1].detected.cells, 1);
    }
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
