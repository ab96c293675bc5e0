// Errors learned from stable ground: the slope of a cell, the NMAD by slope
// bin against a known heteroscedastic error, the interpolation, and
// dem_change run with --error-from-stable on surveys whose error is known.
#include "gdal_test_files.h"
#include "stable_error.h"

#include <gdal.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

const double PI = 3.14159265358979323846;

TEST(StableError, SlopeOfPlanesOnPaper)
{
    // A plane rising 1 m per 2 m cell eastwards and 1 m per 2 m cell
    // southwards: tan = √(0.5² + 0.5²), 35.26°; the same one-sided at the
    // frame's edge.
    const double above[3] = {0, 1, 2}, line[3] = {1, 2, 3}, below[3] = {2, 3, 4};
    const double expected = std::atan(std::sqrt(0.5)) * 180 / PI;
    EXPECT_NEAR(slope_degrees(above, line, below, 3, 1, 2, 2), expected, 1e-12);
    EXPECT_NEAR(slope_degrees(nullptr, line, below, 3, 0, 2, 2), expected, 1e-12);
    // A missing neighbour (NaN) leaves the other side; none: no gradient.
    const double gap[3] = {1, 2, NAN};
    EXPECT_NEAR(slope_degrees(nullptr, gap, nullptr, 3, 1, 2, 2), std::atan(0.5) * 180 / PI, 1e-12);
    const double alone[1] = {5};
    EXPECT_EQ(slope_degrees(nullptr, alone, nullptr, 1, 0, 2, 2), 0.0);
}

TEST(StableError, InterpolationBetweenTheBinsHeldBeyondThem)
{
    StableErrorModel m;
    SlopeBin a, b;
    a.median_slope_deg = 5;
    a.nmad_m = 0.1;
    b.median_slope_deg = 15;
    b.nmad_m = 0.3;
    m.slope_bins = {a, b};
    EXPECT_NEAR(learned_sigma(m, 10), 0.2, 1e-15);
    EXPECT_NEAR(learned_sigma(m, 12.5), 0.25, 1e-15);
    EXPECT_EQ(learned_sigma(m, 0), 0.1);
    EXPECT_EQ(learned_sigma(m, 60), 0.3);
    // Between the right pair of many bins: at each median its own NMAD, half
    // way to the next the mean of both; no slope (NaN) takes the last.
    m.slope_bins.clear();
    for (int k = 0; k < 7; k++) {
        SlopeBin bin;
        bin.median_slope_deg = 4 + 7 * k;
        bin.nmad_m = 0.1 + 0.05 * k * k;
        m.slope_bins.push_back(bin);
    }
    for (int k = 0; k < 7; k++) {
        EXPECT_EQ(learned_sigma(m, 4 + 7 * k), m.slope_bins[static_cast<size_t>(k)].nmad_m) << k;
        if (k < 6) {
            EXPECT_NEAR(learned_sigma(m, 7.5 + 7 * k), 0.1 + 0.025 * (k * k + (k + 1) * (k + 1)), 1e-15) << k;
        }
    }
    EXPECT_EQ(learned_sigma(m, NAN), m.slope_bins.back().nmad_m);
}

// σ_d of cells from the tables (no arc tangent on flat ranges of the
// slope table, multiplications for divisions by powers of two) against
// learned_sigma at slope_degrees and max_curvature, bit for bit: rough
// ground with holes, slopes near the bins' medians and a model of flat and
// sloping ranges, on cells of 1, 0.5 and 3 m.
TEST(StableError, SigmaFromTheTablesIsLearnedSigmaToTheBit)
{
    StableErrorModel m;
    const double medians[] = {2, 8, 14, 20, 30, 45}, nmads[] = {0.1, 0.1, 0.2, 0.2, 0.3, 0.35};
    for (int k = 0; k < 6; k++) {
        SlopeBin b;
        b.median_slope_deg = medians[k];
        b.nmad_m = nmads[k];
        m.slope_bins.push_back(b);
    }
    const double curvatures[] = {0.01, 0.1, 0.2, 0.5}, factors[] = {1, 1, 1.5, 2};
    for (int k = 0; k < 4; k++) {
        CurvatureBin b;
        b.median_curvature = curvatures[k];
        b.factor = factors[k];
        m.curvature_bins.push_back(b);
    }
    const LearnedSigmaTable table = learned_sigma_table(m);
    EXPECT_EQ(table.slope_tangents.size(), 3u); // up to 8°, 14° to 20°, from 45° on
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> height(0, 1);
    const int columns = 40;
    for (const double cell : {1.0, 0.5, 3.0}) {
        const CellSize size = cell_size(cell, cell);
        EXPECT_EQ(size.w.power_of_two, cell != 3.0);
        for (int trial = 0; trial < 300; trial++) {
            // Lines whose steps give slopes around 0 to 60°, some cells without data.
            const double step = cell * std::tan((trial % 60) * PI / 180);
            double lines[3][columns];
            for (int i = 0; i < 3; i++)
                for (int j = 0; j < columns; j++)
                    lines[i][j] = height(random) < 0.05 ? NAN : step * (i + j) + 0.1 * cell * height(random);
            for (int j = 0; j < columns; j++) {
                if (std::isnan(lines[1][j]))
                    continue;
                const double expected = learned_sigma(m, slope_degrees(lines[0], lines[1], lines[2], columns, j, cell, cell),
                                                      max_curvature(lines[0], lines[1], lines[2], columns, j, cell, cell));
                EXPECT_EQ(learned_sigma_cell(table, lines[0], lines[1], lines[2], columns, j, size), expected);
            }
        }
    }
}

TEST(StableError, APowerOfTwoDividesByItsInverse)
{
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> value(-1e3, 1e3);
    for (const double d : {1.0, 0.5, 2.0, 4.0, 0.25, 3.0, 0.3, 10.0}) {
        const Divisor v = divisor(d);
        EXPECT_EQ(v.power_of_two, d != 3.0 && d != 0.3 && d != 10.0) << d;
        for (int k = 0; k < 1000; k++) {
            const long double x = static_cast<long double>(value(random)) / 7;
            EXPECT_EQ(v.divide(x), x / d);
        }
    }
    EXPECT_FALSE(divisor(0).power_of_two);
    EXPECT_FALSE(divisor(NAN).power_of_two);
}

// The true error of dh at a slope (degrees).
double true_sigma(double slope) { return 0.1 + 0.01 * slope; }

// A surface of five bands of columns, each a plane of its own slope
// (0, 10, 20, 30, 45° along the columns), cells of 2 m; dh normal of the
// true σ at the slope; a block of real change (+5 m) and a few spikes.
struct Synthetic {
    int lines = 200, columns = 250;
    double cell = 2;
    std::vector<double> before, after;
    std::vector<unsigned char> stable;
    Synthetic()
    {
        const double slopes[5] = {0, 10, 20, 30, 45};
        std::mt19937_64 random(2022);
        std::normal_distribution<double> normal(0, 1);
        before.resize(static_cast<size_t>(lines) * columns);
        after.resize(before.size());
        stable.assign(before.size(), 1);
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < columns; j++) {
                const size_t k = static_cast<size_t>(i) * columns + j;
                const double s = slopes[j / 50];
                // Within a band the plane's height, continuous across it
                // (cells at the bands' edges have a slope between the two).
                before[k] = 100 + j * cell * std::tan(s * PI / 180);
                after[k] = before[k] + true_sigma(s) * normal(random);
                if (i >= 20 && i < 60 && j >= 20 && j < 30) {
                    after[k] += 5; // real change, marked unstable
                    stable[k] = 0;
                }
            }
        for (int k = 0; k < 5; k++)
            after[static_cast<size_t>(150 + k) * columns + 120] += 300; // spikes on stable ground
    }
    StableLineReader reader() const
    {
        return [this](int line, double *b, double *a, unsigned char *s, std::string *) {
            const size_t at = static_cast<size_t>(line) * columns;
            std::copy(&before[at], &before[at] + columns, b);
            std::copy(&after[at], &after[at] + columns, a);
            std::copy(&stable[at], &stable[at] + columns, s);
            return true;
        };
    }
};

TEST(StableError, SlopeBinsFindTheKnownHeteroscedasticError)
{
    const Synthetic g;
    StableErrorModel m;
    std::string error;
    ASSERT_TRUE(estimate_stable_error(g.lines, g.columns, g.cell, g.cell, 0, g.reader(), &m, &error)) << error;
    EXPECT_EQ(m.sample_step, 1);
    EXPECT_EQ(m.sampled_cells, 200 * 250 - 40 * 10);
    EXPECT_GE(m.outliers, 5); // the spikes at least
    EXPECT_LT(m.outliers, 200);
    // The bins holding the five slopes (the bands' edge cells fall between).
    int found = 0;
    for (const SlopeBin &b : m.slope_bins) {
        EXPECT_GE(b.cells, MIN_BIN_CELLS);
        if (b.cells < 5000)
            continue;
        found++;
        // About 10 000 cells a band: the NMAD known to about 1.2 %.
        EXPECT_NEAR(b.nmad_m / true_sigma(b.median_slope_deg), 1.0, 0.05)
            << b.slope_min_deg << " - " << b.slope_max_deg;
    }
    EXPECT_EQ(found, 5);
    EXPECT_NEAR(learned_sigma(m, 30) / true_sigma(30), 1.0, 0.05);
    // A sample of at most 5000 cells: one cell in 4 x 4, the same bins.
    StableErrorModel sampled;
    ASSERT_TRUE(estimate_stable_error(g.lines, g.columns, g.cell, g.cell, 5000, g.reader(), &sampled, &error));
    EXPECT_EQ(sampled.sample_step, 4); // ⌈√(50 000 / 5000)⌉
    EXPECT_LE(sampled.sampled_cells, 5000);
    EXPECT_NEAR(learned_sigma(sampled, 20) / true_sigma(20), 1.0, 0.15);
}

TEST(StableError, CurvatureOnPaperAndItsBinsFindTheLargerErrorOfCurvedGround)
{
    // z = x² / 2 along the columns on 1 m cells: curvature 1 / m; z = x y:
    // principal curvatures ±1.
    const double line[3] = {0.5, 0, 0.5};
    EXPECT_NEAR(max_curvature(nullptr, line, nullptr, 3, 1, 1, 1), 1, 1e-15);
    const double above[3] = {1, 0, -1}, mid[3] = {0, 0, 0}, below[3] = {-1, 0, 1};
    EXPECT_NEAR(max_curvature(above, mid, below, 3, 1, 1, 1), 1, 1e-15);
    // Flat ground with ridges every 10 columns (curvature 0.5 / m at the
    // ridge cells): their error three times that of the flat cells.
    const int lines = 200, columns = 200;
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal(0, 1);
    std::vector<double> before(static_cast<size_t>(lines) * columns), after(before.size());
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < columns; j++) {
            const size_t k = static_cast<size_t>(i) * columns + j;
            const bool ridge = j % 10 == 5;
            before[k] = ridge ? 101 : 100;
            after[k] = before[k] + (ridge ? 0.3 : 0.1) * normal(random);
        }
    const StableLineReader read = [&](int l, double *b, double *a, unsigned char *s, std::string *) {
        const size_t at = static_cast<size_t>(l) * columns;
        std::copy(&before[at], &before[at] + columns, b);
        std::copy(&after[at], &after[at] + columns, a);
        std::fill(s, s + columns, 1);
        return true;
    };
    StableErrorModel m;
    std::string error;
    ASSERT_TRUE(estimate_stable_error(lines, columns, 1, 1, 0, read, &m, &error)) << error;
    ASSERT_GE(m.curvature_bins.size(), 2u);
    // The ridge cells (curvature |100 − 2 × 101 + 100| = 2 / m) against the
    // flat ones (0); the ridges' neighbours (1 / m) err as the flat cells.
    const double flat = learned_sigma(m, 0, 0), ridge = learned_sigma(m, 0, 2);
    EXPECT_NEAR(flat, 0.1, 0.02);
    EXPECT_NEAR(ridge, 0.3, 0.05);
    EXPECT_NEAR(learned_sigma(m, 26.6, 1), 0.1, 0.02);
    // Few outliers: the cells are trimmed on dh / σ_dh, not on dh (which
    // would cut the ridges' tails).
    EXPECT_LT(m.outliers, 40);
}

TEST(StableError, TooFewStableCellsIsAnError)
{
    Synthetic g;
    std::fill(g.stable.begin(), g.stable.end(), 0);
    for (int k = 0; k < 50; k++)
        g.stable[static_cast<size_t>(k)] = 1;
    StableErrorModel m;
    std::string error;
    EXPECT_FALSE(estimate_stable_error(g.lines, g.columns, g.cell, g.cell, 0, g.reader(), &m, &error));
    EXPECT_NE(error.find("only 50 stable cells"), std::string::npos) << error;
}

// A standardised field on rows × cols cells: a share p of the variance in
// the mean of white noise over a square of w × w cells (correlated over w
// cells), the rest white noise (the nugget).
std::vector<float> correlated_field(int rows, int cols, int w, double p, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0, 1);
    const int big_rows = rows + w, big_cols = cols + w;
    std::vector<double> white(static_cast<size_t>(big_rows) * big_cols);
    for (double &v : white)
        v = normal(random);
    // Sums over squares through the summed-area table.
    std::vector<double> sat(static_cast<size_t>(big_rows + 1) * (big_cols + 1), 0);
    for (int i = 0; i < big_rows; i++)
        for (int j = 0; j < big_cols; j++)
            sat[static_cast<size_t>(i + 1) * (big_cols + 1) + j + 1] =
                white[static_cast<size_t>(i) * big_cols + j] + sat[static_cast<size_t>(i) * (big_cols + 1) + j + 1] +
                sat[static_cast<size_t>(i + 1) * (big_cols + 1) + j] - sat[static_cast<size_t>(i) * (big_cols + 1) + j];
    std::vector<float> z(static_cast<size_t>(rows) * cols);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) {
            auto at = [&](int a, int b) { return sat[static_cast<size_t>(a) * (big_cols + 1) + b]; };
            const double square = (at(i + w, j + w) - at(i, j + w) - at(i + w, j) + at(i, j)) / w;
            z[static_cast<size_t>(i) * cols + j] =
                static_cast<float>(std::sqrt(p) * square + std::sqrt(1 - p) * normal(random));
        }
    return z;
}

// The true variance of the mean of that field over a square of n × n cells:
// the covariance of two cells di, dj apart is p (1 − |di|/w)(1 − |dj|/w)
// within w, plus 1 − p at 0.
double variance_of_mean(int n, int w, double p)
{
    long double sum = 0;
    for (int di = -(w - 1); di <= w - 1; di++)
        for (int dj = -(w - 1); dj <= w - 1; dj++) {
            const long double c = p * (1 - std::abs(di) / static_cast<long double>(w)) *
                                  (1 - std::abs(dj) / static_cast<long double>(w));
            sum += static_cast<long double>(n - std::abs(di)) * (n - std::abs(dj)) * c;
        }
    sum += static_cast<long double>(n) * n * (1 - p);
    return static_cast<double>(sum / (static_cast<long double>(n) * n * n * n));
}

TEST(StableError, TheVariogramOfWhiteNoiseIsANugget)
{
    const std::vector<float> z = correlated_field(150, 150, 1, 0, 7);
    Variogram v;
    fit_variogram(z, 150, 150, 2, 2, 50000, &v);
    ASSERT_TRUE(v.fitted);
    for (size_t k = 0; k < v.gamma.size(); k++)
        EXPECT_NEAR(v.gamma[k], 1, 6 / std::sqrt(static_cast<double>(v.pairs[k]))) << v.lags_m[k];
    // Nothing correlates beyond a cell.
    EXPECT_LT(correlation_at(v.model, 4), 0.1);
    // The same inputs, the same pairs and fit, to the bit.
    Variogram again;
    fit_variogram(z, 150, 150, 2, 2, 50000, &again);
    EXPECT_EQ(again.gamma, v.gamma);
    EXPECT_EQ(again.model.range[1], v.model.range[1]);
}

TEST(StableError, TheVariogramGivesTheErrorOfARegionsMean)
{
    // 70 % of the variance correlated over 15 cells of 2 m; a region of 60 x
    // 60 cells.
    const int w = 15, n = 60;
    const double p = 0.7;
    const std::vector<float> z = correlated_field(300, 300, w, p, 11);
    Variogram v;
    fit_variogram(z, 300, 300, 2, 2, 200000, &v);
    ASSERT_TRUE(v.fitted);
    EXPECT_NEAR(v.model.nugget + v.model.sill[0] + v.model.sill[1], 1, 0.15);
    EXPECT_NEAR(v.model.nugget, 1 - p, 0.1);
    ErrorTally t;
    for (int k = 0; k < n * n; k++)
        error_count(&t, 1.0, 4.0);
    const double area = n * n * 4.0;
    const VolumeErrors e = volume_errors(t, area, v.model);
    const double truth = area * std::sqrt(variance_of_mean(n, w, p));
    // One realisation of the field and the spherical and round shapes the
    // model assumes: within a quarter; the independent error is several
    // times smaller.
    EXPECT_NEAR(e.spatial / truth, 1, 0.25) << e.spatial << " " << truth;
    EXPECT_LT(e.independent * 3, truth);
}

class LearnedErrors : public BridgeTest {
  protected:
    Outcome change(const std::string &args) const { return run_in(dir, std::string(DEM_CHANGE) + " " + args); }
};

TEST_F(LearnedErrors, DemChangeLearnsTheErrorsAndUsesThemForTheVolumes)
{
    const Synthetic g;
    Grid before, after, unstable;
    before.lines = after.lines = unstable.lines = g.lines;
    before.columns = after.columns = unstable.columns = g.columns;
    before.gt[1] = after.gt[1] = unstable.gt[1] = 2;
    before.gt[5] = after.gt[5] = unstable.gt[5] = -2;
    before.type = after.type = GDT_Float64;
    before.values = g.before;
    after.values = g.after;
    unstable.values.resize(g.stable.size());
    for (size_t k = 0; k < g.stable.size(); k++)
        unstable.values[k] = g.stable[k] ? 0 : 1;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    write_geotiff(at("unstable.tif"), unstable);
    Outcome r = change("--error-from-stable --unstable unstable.tif --json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Error model, learned from stable ground"), std::string::npos) << r.out;
    const nlohmann::json b = nlohmann::json::parse(read_file(at("b.json")));
    const nlohmann::json &m = b["error_model"];
    EXPECT_EQ(m["sampled_cells"], 200 * 250 - 400);
    for (const auto &bin : m["slope_bins"]) {
        if (bin["cells"].get<long long>() > 5000) {
            EXPECT_NEAR(bin["nmad_m"].get<double>() / true_sigma(bin["median_slope_deg"].get<double>()), 1, 0.05);
        }
    }
    // The 2D net's independent error against the true variance of the
    // net over the cells with a 3D difference: Σ (a σ_true)², the cells of
    // the bands' edges (a slope between two) left out of the comparison.
    long double truth = 0;
    const double slopes[5] = {0, 10, 20, 30, 45};
    for (int i = 1; i < g.lines - 1; i++)
        for (int j = 1; j < g.columns - 1; j++) {
            const double s = true_sigma(slopes[j / 50]) * 4;
            truth += s * s;
        }
    const double reported = b["budgets"][0]["net"]["uncertainty_m3"]["independent"].get<double>();
    EXPECT_NEAR(reported / std::sqrt(static_cast<double>(truth)), 1.0, 0.05);
    // The errors are independent here: the variogram is a nugget, and the
    // spatial error of the net is near the independent one (not the fully
    // correlated one, 224 times larger).
    const nlohmann::json &v = m["variogram"];
    ASSERT_TRUE(v["fitted"].get<bool>()) << v.dump();
    EXPECT_EQ(v["lags_m"].size(), v["gamma"].size());
    EXPECT_EQ(v["components"].size(), 2u);
    EXPECT_GT(v["nugget"].get<double>(), 0.8);
    const double spatial = b["budgets"][0]["net"]["uncertainty_m3"]["spatial"].get<double>();
    EXPECT_NEAR(spatial / reported, 1, 0.3);
    // The pictures with --picture, and in the report with its figures.
    r = change("--error-from-stable --unstable unstable.tif --picture --report r.html before.tif after.tif pic");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *png : {"pic_error_slope.png", "pic_variogram.png"})
        EXPECT_EQ(read_file(at(png)).substr(0, 8), "\x89PNG\r\n\x1a\n") << png;
    const std::string html = read_file(at("r.html"));
    EXPECT_NE(html.find("Error model, learned from stable ground"), std::string::npos);
    EXPECT_NE(html.find("alt=\"Variogram of the standardised differences and its fit\""), std::string::npos);
    EXPECT_NE(html.find("alt=\"Error of the difference against the slope, stable ground\""), std::string::npos);
    EXPECT_NE(html.find("Hugonnet"), std::string::npos);
    // With neither --stable nor --unstable every cell is stable: a warning.
    r = change("--error-from-stable --json c.json before.tif after.tif other");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("inflates them"), std::string::npos) << r.err;
    // The same inputs give the same bytes.
    r = change("--error-from-stable --unstable unstable.tif --json b2.json before.tif after.tif again");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string again = read_file(at("b2.json")), first = read_file(at("b.json"));
    for (std::string *text : {&again, &first})
        for (const char *name : {"again_", "out_"})
            for (size_t at = text->find(name); at != std::string::npos; at = text->find(name))
                text->replace(at, std::string(name).size(), "OUT_");
    EXPECT_EQ(again, first);
    // The learned σ_d of the lines is shared among the threads: their
    // number changes no byte of the errors, the tests or the budget.
    std::string json[2];
    for (int k = 0; k < 2; k++) {
        const std::string name = k == 0 ? "one" : "three";
        r = change(std::string("--error-from-stable --unstable unstable.tif --error-out --confidence 0.9 --threads ") +
                   (k == 0 ? "1" : "3") + " --json " + name + ".json before.tif after.tif " + name);
        ASSERT_EQ(r.status, 0) << r.err;
        json[k] = read_file(at(name + ".json"));
        for (size_t pos = json[k].find(name + "_"); pos != std::string::npos; pos = json[k].find(name + "_"))
            json[k].replace(pos, name.size() + 1, "OUT_");
    }
    EXPECT_EQ(json[0], json[1]);
    for (const char *raster : {"_2D_sigma.tif", "_3D_sigma.tif", "_2D.tif", "_3D.tif"})
        EXPECT_EQ(read_file(at(std::string("one") + raster)), read_file(at(std::string("three") + raster))) << raster;
}

TEST_F(LearnedErrors, ACorrelatedErrorGivesARegionTheErrorOfItsMean)
{
    // Flat ground of 200 x 200 cells of 2 m; AFTER off by 0.2 m times a
    // field 70 % correlated over 15 cells; a region (class 1) of 50 x 50
    // cells. Its 2D volume's spatial error against the true standard
    // deviation of its volume, A × 0.2 × √(variance of the mean).
    const int n = 200, w = 15, side = 50;
    const double p = 0.7;
    const std::vector<float> z = correlated_field(n, n, w, p, 99);
    Grid before, after, classes;
    before.lines = after.lines = classes.lines = n;
    before.columns = after.columns = classes.columns = n;
    for (Grid *g : {&before, &after, &classes}) {
        g->gt[1] = 2;
        g->gt[5] = -2;
    }
    before.type = after.type = GDT_Float64;
    classes.type = GDT_Int32;
    before.values.assign(static_cast<size_t>(n) * n, 100);
    after.values.resize(before.values.size());
    classes.values.assign(before.values.size(), 0);
    for (size_t k = 0; k < after.values.size(); k++)
        after.values[k] = 100 + 0.2 * z[k];
    for (int i = 60; i < 60 + side; i++)
        for (int j = 80; j < 80 + side; j++)
            classes.values[static_cast<size_t>(i) * n + j] = 1;
    write_geotiff(at("before.tif"), before);
    write_geotiff(at("after.tif"), after);
    write_geotiff(at("classes.tif"), classes);
    Outcome r = change("--error-from-stable --classes classes.tif --json b.json before.tif after.tif out");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json b = nlohmann::json::parse(read_file(at("b.json")));
    const nlohmann::json *region = nullptr;
    for (const auto &c : b["classes"])
        if (c["class"] == 1)
            region = &c;
    ASSERT_NE(region, nullptr) << b["classes"].dump();
    const nlohmann::json &net = (*region)["budgets"][0]["net"];
    ASSERT_EQ(net["cells"], side * side);
    const double area = side * side * 4.0;
    const double truth = area * 0.2 * std::sqrt(variance_of_mean(side, w, p));
    const double spatial = net["uncertainty_m3"]["spatial"].get<double>();
    EXPECT_NEAR(spatial / truth, 1, 0.3) << spatial << " against " << truth;
    // The independent error, several times smaller, would badly understate it.
    EXPECT_LT(net["uncertainty_m3"]["independent"].get<double>() * 2.5, truth);
    // The learned error is the field's spread, 0.2 m.
    EXPECT_NEAR(b["error_model"]["slope_bins"][0]["nmad_m"].get<double>(), 0.2, 0.03);
}

// A tile that cannot be decoded, beyond the first block of lines the
// errors are learned from (it is read ahead, in a thread of its own): the
// run stops there with a message, and writes nothing.
TEST_F(LearnedErrors, ADamagedTileReadAheadStopsTheRun)
{
    Grid g;
    g.lines = 600;
    g.columns = 16;
    std::mt19937_64 random(3);
    std::normal_distribution<double> noise(0, 0.2);
    for (int k = 0; k < g.lines * g.columns; k++)
        g.values.push_back(100 + 0.01 * k + noise(random));
    write_geotiff(at("plain.tif"), g);
    for (const char *name : {"before.tif", "after.tif"}) {
        GDALDatasetH plain = GDALOpen(at("plain.tif").c_str(), GA_ReadOnly);
        ASSERT_NE(plain, nullptr);
        const char *options[] = {"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "COMPRESS=DEFLATE", nullptr};
        GDALDatasetH tiled = GDALCreateCopy(GDALGetDriverByName("GTiff"), at(name).c_str(), plain, FALSE,
                                            const_cast<char **>(options), nullptr, nullptr);
        ASSERT_NE(tiled, nullptr);
        GDALClose(tiled);
        GDALClose(plain);
    }
    // AFTER's tile of lines 480 to 495, its compressed bytes overwritten.
    GDALDatasetH after = GDALOpen(at("after.tif").c_str(), GA_ReadOnly);
    ASSERT_NE(after, nullptr);
    const char *offset = GDALGetMetadataItem(GDALGetRasterBand(after, 1), "BLOCK_OFFSET_0_30", "TIFF");
    ASSERT_NE(offset, nullptr);
    const long at_byte = std::atol(offset);
    GDALClose(after);
    FILE *f = std::fopen(at("after.tif").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, at_byte, SEEK_SET), 0);
    const std::string junk(64, '\xff');
    ASSERT_EQ(std::fwrite(junk.data(), 1, junk.size(), f), junk.size());
    std::fclose(f);

    const Outcome r = change("before.tif after.tif out --error-from-stable");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("dem_change: --error-from-stable: "), std::string::npos) << r.err;
    EXPECT_FALSE(exists(at("out_2D.tif")));
    EXPECT_FALSE(exists(at("out_3D.tif")));
}

TEST_F(LearnedErrors, OptionsItExcludesAreRefused)
{
    for (const char *args : {"--error-from-stable --sigma-before 0.1 --sigma-after 0.1 a.tif b.tif out",
                             "--error-from-stable --correlation-range 100 a.tif b.tif out",
                             "--variogram-pairs 5000 a.tif b.tif out"}) {
        const Outcome r = change(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("--error-from-stable"), std::string::npos) << r.err;
    }
    const Outcome r = change("--stable s.tif a.tif b.tif out");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--coregister or --error-from-stable"), std::string::npos) << r.err;
}

} // namespace
