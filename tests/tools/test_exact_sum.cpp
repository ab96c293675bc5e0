// The exact sums of the budgets: adversarial terms (magnitudes far apart,
// cancellation, subnormal numbers) summed in many orders and in parts
// merged in any order give one correctly rounded double; budgets of blocks
// merged equal the budget of the whole.
#include "budget_engine.h"
#include "exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace {

double sum_of(const std::vector<double> &terms)
{
    ExactSum s;
    for (double x : terms)
        exact_add(&s, x);
    return exact_value(s);
}

// Terms whose exact sum is known: pairs x, −x of every magnitude, cancelling,
// and a few small terms that survive them.
std::vector<double> cancelling_terms(std::mt19937_64 *random)
{
    std::vector<double> terms;
    std::uniform_int_distribution<int> exponent(-1074, 1000);
    std::uniform_real_distribution<double> unit(1, 2);
    for (int k = 0; k < 400; k++) {
        const double x = std::ldexp(unit(*random), exponent(*random));
        terms.push_back(x);
        terms.push_back(-x);
    }
    terms.push_back(1.0);
    terms.push_back(std::ldexp(1.0, -60)); // below half an ulp of 1, above 0: the sum rounds to 1
    terms.push_back(DBL_MAX);
    terms.push_back(-DBL_MAX);
    return terms;
}

TEST(ExactSum, CancellingTermsOfEveryMagnitudeInAnyOrder)
{
    std::mt19937_64 random(7);
    std::vector<double> terms = cancelling_terms(&random);
    for (int order = 0; order < 20; order++) {
        std::shuffle(terms.begin(), terms.end(), random);
        EXPECT_EQ(sum_of(terms), 1.0) << "order " << order;
    }
    // 2^-60 above 1 + 2^-53 (a tie without it) rounds up: the sticky bits count.
    EXPECT_EQ(sum_of({1.0, std::ldexp(1.0, -53), std::ldexp(1.0, -60), 1e300, -1e300}), 1.0 + std::ldexp(1.0, -52));
    // An exact tie rounds to even.
    EXPECT_EQ(sum_of({1.0, std::ldexp(1.0, -53)}), 1.0);
    EXPECT_EQ(sum_of({1.0 + std::ldexp(1.0, -52), std::ldexp(1.0, -53)}), 1.0 + std::ldexp(1.0, -51));
    // What a running sum in double loses: 1 + 8 × 2^-54 is 1 + 2^-51 exactly.
    std::vector<double> small = {1.0};
    small.insert(small.end(), 8, std::ldexp(1.0, -54));
    EXPECT_EQ(sum_of(small), 1.0 + std::ldexp(1.0, -51));
}

TEST(ExactSum, SubnormalNegativeAndOverflowingSums)
{
    const double tiny = std::ldexp(1.0, -1074);
    EXPECT_EQ(sum_of({tiny, tiny, tiny}), 3 * tiny);
    EXPECT_EQ(sum_of({DBL_MIN, -tiny}), DBL_MIN - tiny);
    EXPECT_EQ(sum_of({-3.5, 1.25, -1e-20}), -2.25);
    EXPECT_EQ(sum_of({}), 0.0);
    // Beyond the largest double: infinity, as IEEE rounding gives it; and
    // back below it once a term cancels the excess.
    EXPECT_EQ(sum_of({DBL_MAX, DBL_MAX}), HUGE_VAL);
    EXPECT_EQ(sum_of({DBL_MAX, DBL_MAX, -DBL_MAX}), DBL_MAX);
    EXPECT_EQ(sum_of({-DBL_MAX, -DBL_MAX}), -HUGE_VAL);
    EXPECT_TRUE(std::isnan(sum_of({HUGE_VAL, -HUGE_VAL})));
    EXPECT_TRUE(std::isnan(sum_of({1.0, std::nan("")})));
    EXPECT_EQ(sum_of({HUGE_VAL, 1.0}), HUGE_VAL);
}

TEST(ExactSum, LongDoubleTermsAndProducts)
{
    // A long double term keeps the bits a double would round away.
    ExactSum s;
    const long double third = 1.0L / 3.0L;
    exact_add(&s, third);
    exact_add(&s, -static_cast<double>(third));
    EXPECT_EQ(exact_value(s), static_cast<double>(third - static_cast<double>(third)));
    // count × x exactly, beyond 2^53 cells.
    ExactSum p, q;
    const long long count = (1LL << 60) + 12345;
    const double area = 0.1;
    exact_add_product(&p, count, area);
    exact_add_product(&q, 1LL << 60, area);
    exact_add_product(&q, 12345, area);
    EXPECT_TRUE(exact_equal(p, q));
    ExactSum r;
    for (int k = 0; k < 3; k++)
        exact_add(&r, 0.1);
    ExactSum three;
    exact_add_product(&three, 3, 0.1);
    EXPECT_EQ(exact_value(three), exact_value(r));
}

TEST(ExactSum, PartsMergedInAnyOrderAndCarriedThroughWords)
{
    std::mt19937_64 random(11);
    std::vector<double> terms = cancelling_terms(&random);
    std::uniform_real_distribution<double> volume(-1e3, 1e3);
    for (int k = 0; k < 2000; k++)
        terms.push_back(volume(random) * std::ldexp(1.0, static_cast<int>(random() % 40) - 20));
    ExactSum whole;
    for (double x : terms)
        exact_add(&whole, x);
    const double expected = exact_value(whole);
    for (int trial = 0; trial < 10; trial++) {
        // Cut into parts of random lengths, merged in a shuffled order,
        // some through their words (as another process hands them over).
        std::vector<ExactSum> parts(1);
        for (double x : terms) {
            if (random() % 97 == 0)
                parts.emplace_back();
            exact_add(&parts.back(), x);
        }
        std::shuffle(parts.begin(), parts.end(), random);
        ExactSum merged;
        for (const ExactSum &part : parts) {
            long long words[EXACT_SUM_WORDS];
            exact_words(part, words);
            exact_merge(&merged, trial % 2 == 0 ? part : exact_from_words(words, 0, 0, 0));
        }
        EXPECT_TRUE(exact_equal(merged, whole)) << "trial " << trial;
        EXPECT_EQ(exact_value(merged), expected) << "trial " << trial;
    }
}

TEST(ExactSum, ManyTermsPassTheirCarries)
{
    // Past three times the 2^20 terms after which the carries are passed
    // on: the sum of 3 × 2^20 + 5 equal terms is their count times the term.
    ExactSum s;
    const double x = std::ldexp(static_cast<double>((1ULL << 53) - 1), -1074 + 31);
    const long long n = 3 * (1LL << 20) + 5;
    for (long long k = 0; k < n; k++)
        exact_add(&s, x);
    ExactSum product;
    exact_add_product(&product, n, x);
    EXPECT_TRUE(exact_equal(s, product));
    // The same terms four at a time in parts merged one after the other:
    // the merged words pass their carries as the terms' do.
    ExactSum merged;
    for (long long k = 0; k < n; k += 4) {
        ExactSum part;
        for (long long t = k; t < std::min(n, k + 4); t++)
            exact_add(&part, x);
        exact_merge(&merged, part);
    }
    EXPECT_TRUE(exact_equal(merged, product));
    EXPECT_EQ(exact_value(merged), exact_value(product));
}

// Many extended-precision terms added at once give the sum of adding each:
// terms within 2^32 of one another (summed in a wide integer first), and
// runs that are not (a tiny term, a subnormal one, an infinity).
// Terms whose exponents lie 63 and 64 apart, the widest gathered in
// buckets at once and the first one beyond: the sums of adding each.
TEST(ExactSum, ExtendedTermsAtTheWidestSpreadAsOneByOne)
{
    std::mt19937_64 random(23);
    for (int apart : {63, 64})
        for (int run = 0; run < 20; run++) {
            std::vector<long double> terms;
            for (int k = 0; k < 9; k++) {
                const long double significand = 1 + std::ldexp(static_cast<long double>(random() >> 1), -63);
                terms.push_back((k % 3 == 0 ? -1 : 1) * std::ldexp(significand, k % 2 == 0 ? 0 : -apart));
            }
            ExactSum one, many;
            for (long double t : terms)
                exact_add(&one, t);
            exact_add_many(&many, terms.data(), static_cast<int>(terms.size()));
            EXPECT_TRUE(exact_equal(one, many)) << apart << " " << run;
        }
}

TEST(ExactSum, ManyExtendedTermsAtOnceAsOneByOne)
{
    std::mt19937_64 random(17);
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int run = 0; run < 40; run++) {
        std::vector<long double> terms;
        const int n = static_cast<int>(random() % 300);
        for (int k = 0; k < n; k++) {
            const long double t = static_cast<long double>(unit(random)) * std::ldexp(1.0L, static_cast<int>(random() % 30)) / 3;
            terms.push_back(random() % 7 == 0 ? 0.0L : t);
        }
        if (run % 4 == 1 && n > 0)
            terms[0] = std::ldexp(1.0L, -200);
        if (run % 4 == 2 && n > 0)
            terms[0] = std::ldexp(1.0L, -16440); // below the smallest double
        if (run % 4 == 3 && n > 0)
            terms[0] = -HUGE_VALL;
        ExactSum one, many;
        for (long double t : terms)
            exact_add(&one, t);
        exact_add_many(&many, terms.data(), static_cast<int>(terms.size()));
        EXPECT_TRUE(exact_equal(one, many)) << run;
        EXPECT_EQ(exact_value(one), exact_value(many)) << run;
    }
}

#if LDBL_MANT_DIG == 64
// A product of long doubles worked out in integers (exact_extended_product)
// against the machine's own: random significands, the halves between two
// results rounded to the even one (up and down), and a product that
// rounds up out of its 64 bits.
TEST(ExactSum, ExtendedProductsInIntegersAsTheMachineRoundsThem)
{
    auto expect_as_machine = [](long double x, long double y, int k) {
        volatile long double a = x, b = y; // worked out at run time, with the machine's rounding
        const long double product = a * b;
        const ExactExtended p = exact_extended_product(exact_extended_parts(x), exact_extended_parts(y)),
                            q = exact_extended_parts(product);
        EXPECT_EQ(p.m, q.m) << k;
        EXPECT_EQ(p.exponent, q.exponent) << k;
        EXPECT_EQ(p.negative, q.negative) << k;
    };
    std::mt19937_64 random(23);
    for (int k = 0; k < 20000; k++) {
        const long double x = std::ldexp(static_cast<long double>(random() | 1ULL << 63), -64 - static_cast<int>(random() % 40));
        const long double y = k % 2 == 0 ? static_cast<long double>(std::ldexp(static_cast<double>(random() >> 11 | 1ULL << 52), -60))
                                         : std::ldexp(static_cast<long double>(random() | 1ULL << 63), -70);
        expect_as_machine(random() % 5 == 0 ? -x : x, y, k);
    }
    // (2^63 + 1) × 3/2 and (2^63 + 3) × 3/2 fall halfway between two
    // significands: to the even one, up and down.
    const long double three_halves = 1.5L;
    expect_as_machine(std::ldexp(static_cast<long double>((1ULL << 63) + 1), -63), three_halves, -1);
    expect_as_machine(std::ldexp(static_cast<long double>((1ULL << 63) + 3), -63), three_halves, -2);
    // (2^64 − 1)², and two significands whose product lies within 2^62 of
    // 2^127: its 64 bits round up to 2^64.
    const long double all_ones = std::ldexp(static_cast<long double>(~0ULL), -64);
    expect_as_machine(all_ones, all_ones, -3);
    const unsigned long long m = 0x9027c4d1c386bbc4ULL, n = 0xe34f72048812c911ULL;
    ASSERT_GT(static_cast<unsigned __int128>(m) * n, (static_cast<unsigned __int128>(1) << 127) - (1ULL << 62));
    const ExactExtended up = exact_extended_product(exact_extended_parts(static_cast<long double>(m)),
                                                    exact_extended_parts(static_cast<long double>(n)));
    EXPECT_EQ(up.m, 1ULL << 63);
    EXPECT_EQ(up.exponent, 127 - 63);
    expect_as_machine(static_cast<long double>(m), static_cast<long double>(n), -4);
}
#endif

// The budget of a grid of cells counted line by line, or the same cells
// cut into blocks of lines and blocks of columns, merged in another order.
TEST(BudgetEngine, BlocksMergedGiveTheBudgetOfTheWhole)
{
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> d(-2, 2);
    const int lines = 37, columns = 23;
    std::vector<double> difs(static_cast<size_t>(lines) * columns), areas(lines);
    for (double &v : difs)
        v = random() % 5 == 0 ? 0.0 : d(random) * std::ldexp(1.0, static_cast<int>(random() % 30) - 15);
    for (double &a : areas)
        a = 900 + d(random);
    BudgetRows whole = budget_with_line_areas(0.1);
    for (int i = 0; i < lines; i++) {
        for (int j = 0; j < columns; j++) {
            const double v = difs[static_cast<size_t>(i) * columns + j];
            budget_count(&whole, v, static_cast<double>(static_cast<long double>(v) * areas[i]));
        }
        budget_end_line(&whole, areas[i]);
    }
    std::vector<BudgetRows> blocks;
    for (int i0 = 0; i0 < lines; i0 += 10)
        for (int j0 = 0; j0 < columns; j0 += 7) {
            BudgetRows b = budget_with_line_areas(0.1);
            for (int i = i0; i < std::min(lines, i0 + 10); i++) {
                for (int j = j0; j < std::min(columns, j0 + 7); j++) {
                    const double v = difs[static_cast<size_t>(i) * columns + j];
                    budget_count(&b, v, static_cast<double>(static_cast<long double>(v) * areas[i]));
                }
                budget_end_line(&b, areas[i]);
            }
            blocks.push_back(b);
        }
    std::reverse(blocks.begin(), blocks.end());
    std::swap(blocks[1], blocks[4]);
    BudgetRows merged = budget_with_line_areas(0.1);
    for (const BudgetRows &b : blocks)
        budget_merge(&merged, b);
    for (int k = 0; k < BUDGET_ROW_COUNT; k++) {
        const BudgetTally &a = *budget_row(&whole, k), &b = *budget_row(&merged, k);
        EXPECT_EQ(a.cells, b.cells) << k;
        EXPECT_EQ(budget_area(whole, a), budget_area(merged, b)) << k;
        EXPECT_EQ(budget_volume(a), budget_volume(b)) << k;
        EXPECT_TRUE(exact_equal(a.volume, b.volume)) << k;
    }
    EXPECT_GT(whole.lod_below.cells, 0);
    EXPECT_GT(whole.negative.cells, 0);
}

// A line's cells counted at once (into one budget and a second one), with
// and without a level of detection (and with a NaN, which is tested rather
// than taken for a zero), hold the counts, areas and exact volumes of the
// same cells counted one by one: short lines, a line of 20000 rises of one
// binade (summed in several chunks), lines at the smallest scales summed
// at once, and a line of volumes near the smallest doubles, some of them
// subnormal.
TEST(BudgetEngine, CellsCountedAtOnceAsOneByOne)
{
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> d(-3, 3);
    for (double lod : {0.0, 0.5})
        for (bool with_nan : {false, true}) {
            BudgetRows one = budget_with_line_areas(lod), at_once = budget_with_line_areas(lod);
            BudgetRows also = budget_with_line_areas(lod); // the same cells counted into a second budget
            for (int line = 0; line < 9; line++) {
                const bool near_smallest = line == 5 || line == 7;
                const int n = static_cast<int>(line == 3 ? 20000 + random() % 9
                                               : near_smallest ? 250 + random() % 9
                                                               : random() % 40);
                const double scale = line == 8 ? std::ldexp(1.0, -1040) : 1.0;
                std::vector<double> difs(static_cast<size_t>(n)), vols(static_cast<size_t>(n));
                for (int k = 0; k < n; k++) {
                    double v = random() % 4 == 0 ? 0.0 : d(random) * std::ldexp(1.0, static_cast<int>(random() % 40) - 20);
                    if (line == 3) // rises of one binade: their significands pile up in one sum
                        v = 1.25 + std::ldexp(static_cast<double>(random() % 1000), -20);
                    // Lines whose smallest last bit weighs 2^-1023 and 2^-1024:
                    // the smallest scale summed as whole numbers in doubles,
                    // and the first one beyond it; their terms but the first
                    // 2^42 to 2^44 times larger, the widest range summed at
                    // once, whose sums of parts are the largest.
                    if (near_smallest) {
                        const double significand = 1 + std::ldexp(static_cast<double>(random() >> 12), -52);
                        v = (k % 50 == 0 ? -1 : 1) *
                            std::ldexp(significand, k == 0 ? 0 : 42 + static_cast<int>(random() % 2));
                    }
                    difs[static_cast<size_t>(k)] = with_nan && k == n / 2 ? std::nan("") : v;
                    // Mostly terms within a factor 2^43 of one another (summed
                    // in wide integers), and lines that are not: a tiny
                    // term, or an infinite one.
                    vols[static_cast<size_t>(k)] =
                        near_smallest ? std::ldexp(v, line == 5 ? -971 : -972) : v * 7 * scale;
                    if (k == 0 && line == 4)
                        vols[0] = std::ldexp(1.5, -400);
                    if (k == 0 && line == 6)
                        vols[0] = -HUGE_VAL;
                    // A volume whose sign is not its difference's: the cell
                    // still counts in its difference's row.
                    if (k == 1 && line == 2)
                        vols[1] = v != 0 ? -vols[1] : -1.0;
                    budget_count(&one, difs[static_cast<size_t>(k)], vols[static_cast<size_t>(k)]);
                }
                budget_count_cells(&at_once, difs.data(), vols.data(), n, &also);
                budget_end_line(&one, 7 + line);
                budget_end_line(&at_once, 7 + line);
                budget_end_line(&also, 7 + line);
            }
            for (int k = 0; k < BUDGET_ROW_COUNT; k++) {
                const BudgetTally &a = *budget_row(&one, k), &b = *budget_row(&at_once, k);
                EXPECT_EQ(a.cells, b.cells) << k << " lod " << lod << " nan " << with_nan;
                EXPECT_EQ(budget_area(one, a), budget_area(at_once, b)) << k;
                EXPECT_TRUE(exact_equal(a.volume, b.volume)) << k << " lod " << lod << " nan " << with_nan;
                const BudgetTally &c = *budget_row(&also, k);
                EXPECT_EQ(a.cells, c.cells) << k;
                EXPECT_TRUE(exact_equal(a.volume, c.volume)) << k;
            }
            EXPECT_GT(one.zero.cells, 0);
            if (lod > 0) {
                EXPECT_GT(one.lod_below.cells, one.zero.cells);
            }
        }
}

// Cells with errors and tests counted at once, as 2D and as 3D cells: the
// counts, volumes and error sums of the same cells counted one by one,
// whether the tests follow the signs (every non-zero change detected) or
// not, with cells without an error among them.
TEST(BudgetEngine, TestedCellsCountedAtOnceAsOneByOne)
{
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> d(-3, 3), sd(0.01, 2);
    for (bool tests_follow_signs : {true, false}) {
        BudgetRows one = budget_with_line_areas(0), at_once = budget_with_line_areas(0);
        BudgetRows also = budget_with_line_areas(0);
        BudgetRows one_3D = budget_with_line_areas(0), at_once_3D = budget_with_line_areas(0);
        for (int line = 0; line < 7; line++) {
            const double area = 30 + line;
            std::vector<TestedCell> cells;
            for (int k = 0; k < 50; k++) {
                const double v = random() % 5 == 0 ? 0.0 : d(random);
                const double sigma = random() % 6 == 0 ? std::nan("") : sd(random);
                const bool detected = tests_follow_signs ? v != 0 : v != 0 && random() % 3 != 0;
                cells.push_back({v, v * area, sigma, detected});
                budget_count_tested(&one, v, v * area, detected, sigma, area);
                int slots[3], rows[3];
                budget_count_3D(&one_3D, v, v * area, detected, sigma, 7, slots);
                budget_cell_rows(v, detected, 7, rows);
                EXPECT_TRUE(slots[0] == rows[0] && slots[1] == rows[1] && slots[2] == rows[2]);
            }
            budget_count_cells_tested(&at_once, cells.data(), static_cast<int>(cells.size()), area, &also);
            budget_count_cells_3D(&at_once_3D, cells.data(), static_cast<int>(cells.size()));
            for (BudgetRows *b : {&one, &at_once, &also, &one_3D, &at_once_3D})
                budget_end_line(b, area);
        }
        const std::pair<BudgetRows *, BudgetRows *> pairs[3] = {{&one, &at_once}, {&one, &also}, {&one_3D, &at_once_3D}};
        for (const auto &p : pairs)
            for (int k = 0; k < BUDGET_ROW_COUNT; k++) {
                const BudgetTally &a = *budget_row(p.first, k), &b = *budget_row(p.second, k);
                EXPECT_EQ(a.cells, b.cells) << k;
                EXPECT_EQ(budget_area(*p.first, a), budget_area(*p.second, b)) << k;
                EXPECT_TRUE(exact_equal(a.volume, b.volume)) << k;
                EXPECT_EQ(a.errors.cells, b.errors.cells) << k;
                EXPECT_TRUE(exact_equal(a.errors.sum_sigma2, b.errors.sum_sigma2)) << k;
                EXPECT_TRUE(exact_equal(a.errors.sum_a2_sigma2, b.errors.sum_a2_sigma2)) << k;
                EXPECT_TRUE(exact_equal(a.errors.sum_a_sigma, b.errors.sum_a_sigma)) << k;
            }
        EXPECT_GT(one.lod_below.errors.cells, 0);
        EXPECT_EQ(one.lod_below.cells == one.zero.cells, tests_follow_signs);
    }
}

} // namespace
