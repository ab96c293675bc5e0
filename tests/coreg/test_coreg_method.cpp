// The co-registration method on grids in memory.
//   Resampling: a zero shift returns the cells themselves; nodata reaches
//     only the cells whose kernel touches it.
//   Recovery: a smooth analytic surface (a sum of sines with slopes facing
//     every direction) sampled twice with a known sub-cell offset and bias
//     gives them back within 0.02 cell and 0.01 m, with bilinear and cubic
//     resampling, on a subsample, and with TO_ALIGN on another grid.
//   Refusals: a flat plane, an inclined plane (every slope facing one way),
//     a mask that leaves too few cells.
#include "coreg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

const double PI = 3.14159265358979323846;

typedef std::function<double(double x, double y)> Surface;

// Hills of several wavelengths and orientations, heights in metres over
// map metres.
double sines(double x, double y)
{
    return 500 + 40 * std::sin(2 * PI * x / 900 + 0.3) + 35 * std::sin(2 * PI * y / 1100 + 1.1) +
           20 * std::sin(2 * PI * (x + y) / 700) + 12 * std::sin(2 * PI * (x - 2 * y) / 1500 + 2.0);
}

Frame make_frame(int lines, int cols, double x0, double y0, double cell)
{
    Frame f;
    f.nb_lig = lines;
    f.nb_col = cols;
    f.gt[0] = x0;
    f.gt[1] = cell;
    f.gt[3] = y0;
    f.gt[5] = -cell;
    return f;
}

// The surface moved by (dx, dy) metres and raised by bias, at the cell
// centres of the frame: TO_ALIGN(p) = surface(p - shift) + bias.
SourceGrid sample_surface(const Frame &frame, const Surface &surface, double dx, double dy, double bias)
{
    SourceGrid g;
    g.frame = frame;
    g.z.resize(static_cast<size_t>(frame.nb_lig) * frame.nb_col);
    for (int l = 0; l < frame.nb_lig; ++l)
        for (int c = 0; c < frame.nb_col; ++c) {
            const double x = frame.gt[0] + (c + 0.5) * frame.gt[1];
            const double y = frame.gt[3] + (l + 0.5) * frame.gt[5];
            g.z[static_cast<size_t>(l) * frame.nb_col + c] = static_cast<float>(surface(x - dx, y - dy) + bias);
        }
    return g;
}

// A reader of the reference's lines from a grid in memory, with a stable
// flag per cell (all stable when the mask is empty).
ReferenceLineReader reader_of(const SourceGrid &ref, const std::vector<unsigned char> &mask = {})
{
    return [&ref, mask](int line, double *metres, unsigned char *valid, unsigned char *stable, std::string *) {
        const int n = ref.frame.nb_col;
        for (int c = 0; c < n; ++c) {
            const size_t k = static_cast<size_t>(line) * n + c;
            metres[c] = ref.z[k];
            valid[c] = !std::isnan(ref.z[k]);
            stable[c] = mask.empty() ? 1 : mask[k];
        }
        return true;
    };
}

CoregResult align(const SourceGrid &ref, const SourceGrid &moved, Resampling resampling,
                  long long max_cells = DEFAULT_FIT_CELLS, const std::vector<unsigned char> &mask = {})
{
    FitSample sample;
    std::string error;
    EXPECT_TRUE(build_fit_sample(ref.frame, max_cells, reader_of(ref, mask), &sample, &error)) << error;
    CoregResult result;
    fit_alignment(sample, ref.frame, moved, resampling, 10, false, &result);
    return result;
}

TEST(CoregResampling, ZeroShiftGivesTheCellsAndNodataStaysLocal)
{
    const Frame frame = make_frame(20, 30, 1000, 5000, 5);
    SourceGrid g = sample_surface(frame, sines, 0, 0, 0);
    g.z[10 * 30 + 15] = std::numeric_limits<float>::quiet_NaN();
    for (Resampling r : {RESAMPLE_BILINEAR, RESAMPLE_CUBIC}) {
        for (int l = 0; l < 20; ++l)
            for (int c = 0; c < 30; ++c) {
                const float cell = g.z[static_cast<size_t>(l) * 30 + c];
                const double v = resample_at(g, frame, r, l, c);
                if (std::isnan(cell))
                    EXPECT_TRUE(std::isnan(v));
                else
                    EXPECT_EQ(v, cell) << l << " " << c;
            }
        // A quarter cell to the right: the cells whose two columns hold data
        // have a value (cubic falls back to bilinear next to the hole and at
        // the edge); the hole takes its left neighbour only; the last column
        // has nothing on its right.
        EXPECT_TRUE(std::isnan(resample_at(g, frame, r, 10, 14.25)));
        EXPECT_TRUE(std::isnan(resample_at(g, frame, r, 10, 15.25)));
        EXPECT_FALSE(std::isnan(resample_at(g, frame, r, 10, 13.25)));
        EXPECT_FALSE(std::isnan(resample_at(g, frame, r, 10, 16.25)));
        EXPECT_FALSE(std::isnan(resample_at(g, frame, r, 0, 0.25)));
        EXPECT_TRUE(std::isnan(resample_at(g, frame, r, 5, 29.25)));
    }
    // A whole line resampled at once is the same, cell by cell.
    for (Resampling r : {RESAMPLE_BILINEAR, RESAMPLE_CUBIC}) {
        std::vector<double> lines(3 * 30);
        resample_lines(g, frame, r, 9, 3, 0.4, -0.7, lines.data());
        for (int k = 0; k < 3; ++k)
            for (int c = 0; c < 30; ++c) {
                const double one = resample_at(g, frame, r, 9 + k + 0.4, c - 0.7);
                if (std::isnan(one))
                    EXPECT_TRUE(std::isnan(lines[k * 30 + c]));
                else
                    EXPECT_EQ(lines[k * 30 + c], one);
            }
    }
    // Between two cells, bilinear is their mean.
    const double mean = (static_cast<double>(g.z[2 * 30 + 3]) + g.z[2 * 30 + 4]) / 2;
    EXPECT_NEAR(resample_at(g, frame, RESAMPLE_BILINEAR, 2, 3.5), mean, 1e-9);
}

TEST(CoregRecovery, AnalyticSurfaceShiftAndBias)
{
    const double cell = 10, sx = 0.37, sy = -0.23, bias = 1.7; // shift in cells (x east, y north), metres
    const Frame frame = make_frame(300, 280, 600000, 4800000, cell);
    const SourceGrid ref = sample_surface(frame, sines, 0, 0, 0);
    const SourceGrid moved = sample_surface(frame, sines, sx * cell, sy * cell, bias);
    for (Resampling r : {RESAMPLE_BILINEAR, RESAMPLE_CUBIC}) {
        SCOPED_TRACE(r == RESAMPLE_CUBIC ? "cubic" : "bilinear");
        const CoregResult result = align(ref, moved, r);
        ASSERT_TRUE(result.determined) << result.why_undetermined;
        EXPECT_TRUE(result.converged);
        EXPECT_NEAR(result.shift_x_cells, sx, 0.02);
        EXPECT_NEAR(result.shift_y_cells, sy, 0.02);
        EXPECT_NEAR(result.shift_x_m, sx * cell, 0.2);
        EXPECT_NEAR(result.shift_columns, sx, 0.02);
        EXPECT_NEAR(result.shift_lines, -sy, 0.02); // lines run south
        EXPECT_NEAR(result.bias_z_m, bias, 0.01);
        EXPECT_GT(result.iterations, 1);
        EXPECT_GT(result.cells_used, 50000);
        EXPECT_LT(result.after.nmad_m, result.before.nmad_m / 10);
        EXPECT_NEAR(result.after.median_m, 0, 1e-9);
    }
}

TEST(CoregRecovery, SubsampleAndAnotherGrid)
{
    const double cell = 10, sx = -0.61, sy = 0.44, bias = -3.25;
    const Frame frame = make_frame(300, 280, 600000, 4800000, cell);
    const SourceGrid ref = sample_surface(frame, sines, 0, 0, 0);

    // One cell in 3 x 3 of the reference in the fit.
    const SourceGrid moved = sample_surface(frame, sines, sx * cell, sy * cell, bias);
    CoregResult result = align(ref, moved, RESAMPLE_BILINEAR, 10000);
    ASSERT_TRUE(result.determined) << result.why_undetermined;
    EXPECT_EQ(result.sample_step, 3);
    EXPECT_LT(result.cells_used, 10000);
    EXPECT_NEAR(result.shift_x_cells, sx, 0.02);
    EXPECT_NEAR(result.shift_y_cells, sy, 0.02);
    EXPECT_NEAR(result.bias_z_m, bias, 0.01);

    // TO_ALIGN on a grid of 8 m cells whose origin falls between the
    // reference's cells, covering more than the reference on one side and
    // less on the other: the shift is found in the reference's cells.
    const Frame other = make_frame(390, 340, 600000 - 33, 4800000 - 21, 8);
    const SourceGrid elsewhere = sample_surface(other, sines, sx * cell, sy * cell, bias);
    result = align(ref, elsewhere, RESAMPLE_CUBIC);
    ASSERT_TRUE(result.determined) << result.why_undetermined;
    EXPECT_NEAR(result.shift_x_cells, sx, 0.02);
    EXPECT_NEAR(result.shift_y_cells, sy, 0.02);
    EXPECT_NEAR(result.bias_z_m, bias, 0.01);
}

TEST(CoregRefusal, FlatInclinedOrTooFewCells)
{
    const Frame frame = make_frame(100, 100, 0, 1000, 10);
    const Surface flat = [](double, double) { return 250.0; };
    const Surface inclined = [](double x, double y) { return 100 + 0.3 * x + 0.1 * y; };
    for (const Surface &surface : {flat, inclined}) {
        const SourceGrid ref = sample_surface(frame, surface, 0, 0, 0);
        const SourceGrid moved = sample_surface(frame, surface, 3, -2, 0.5);
        const CoregResult result = align(ref, moved, RESAMPLE_BILINEAR);
        EXPECT_FALSE(result.determined);
        EXPECT_FALSE(result.why_undetermined.empty());
    }
    const SourceGrid flat_ref = sample_surface(frame, flat, 0, 0, 0);
    EXPECT_NE(align(flat_ref, flat_ref, RESAMPLE_BILINEAR).why_undetermined.find("slopes between 3 and 70"),
              std::string::npos);

    // Hills, but a mask that leaves a 10 x 10 block of stable ground.
    const Frame big = make_frame(200, 200, 600000, 4800000, 10);
    const SourceGrid ref = sample_surface(big, sines, 0, 0, 0);
    const SourceGrid moved = sample_surface(big, sines, 2, 3, 1);
    std::vector<unsigned char> mask(200 * 200, 0);
    for (int l = 50; l < 60; ++l)
        for (int c = 50; c < 60; ++c)
            mask[l * 200 + c] = 1;
    CoregResult result = align(ref, moved, RESAMPLE_BILINEAR, DEFAULT_FIT_CELLS, mask);
    EXPECT_FALSE(result.determined);
    EXPECT_NE(result.why_undetermined.find("only 100 stable cells"), std::string::npos) << result.why_undetermined;

    // With force, the shift is taken as zero and the bias is still the median.
    FitSample sample;
    std::string error;
    ASSERT_TRUE(build_fit_sample(big, DEFAULT_FIT_CELLS, reader_of(ref, mask), &sample, &error));
    fit_alignment(sample, big, moved, RESAMPLE_BILINEAR, 10, true, &result);
    EXPECT_FALSE(result.determined);
    EXPECT_EQ(result.shift_x_m, 0);
    EXPECT_EQ(result.stable_cells, 100);
}

} // namespace
