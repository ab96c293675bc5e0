// Checks, after host_start, that long double expressions are evaluated with
// the 64-bit significand the results are defined by, on whatever host and
// runtime this is built for.
//
//   precision_probe [--start-double]
//
// --start-double first selects a 53-bit significand, as some runtimes do at
// start-up, so that host_start has to set the precision itself.
//
// The known cases (a height in decimetres converted to metres, differences
// scaled and truncated) are checked against their values; exit status 1 when
// one is wrong. Then tables of conversions, 3D differences and scaled
// truncations are evaluated, once as the run does and once with a 53-bit
// significand; standard output gets, per table, a hash of the run's results
// and the number of them that the 53-bit evaluation gets wrong. The output
// must be the same on every host (the Windows tests compare it with the
// Linux one), and each count must be above zero, or the table would not tell
// the two precisions apart.
#include "host.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Significand bits the x87 unit rounds to (0 on other processors).
int significand_bits()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    static const int bits[4] = {24, 0, 53, 64};
    return bits[(control >> 8) & 3];
#else
    return 0;
#endif
}

void select_double_significand()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0x0300) | 0x0200);
    __asm__ volatile("fldcw %0" : : "m"(control));
#endif
}

// The expressions as the tool writes them: each evaluated in long double,
// rounded to double when stored, or truncated to int from the long double
// value itself. Not inlined, so that the control word in force when they are
// called is the one they run under.
__attribute__((noinline)) double to_metres(int value, double factor)
{
    return static_cast<double>(static_cast<long double>(value) * factor);
}

__attribute__((noinline)) int scaled(double metres, int factor)
{
    return static_cast<int>(static_cast<long double>(metres) * factor);
}

// The 3D difference of a centre cell from its 3 x 3 windows in both DEMs
// (centre at index 4): half-way heights, nine differences summed in the
// order A to H then I, times the double nearest 1/9.
__attribute__((noinline)) double dif_3d(const double *w1, const double *w2)
{
    static const int order[8] = {0, 1, 2, 5, 8, 7, 6, 3}; // A .. H, clockwise from upper left
    double d[9];
    for (int k = 0; k < 8; k++) {
        double h1 = static_cast<double>((static_cast<long double>(w1[4]) + w1[order[k]]) * 0.5);
        double h2 = static_cast<double>((static_cast<long double>(w2[4]) + w2[order[k]]) * 0.5);
        d[k] = static_cast<double>(static_cast<long double>(h1) - h2);
    }
    d[8] = static_cast<double>(static_cast<long double>(w1[4]) - w2[4]);
    long double sum = d[0];
    for (int k = 1; k < 9; k++)
        sum += d[k];
    return static_cast<double>(sum * 0.1111111111111111);
}

uint64_t bits_of(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// FNV-1a over 64-bit words.
uint64_t hash(const std::vector<uint64_t> &words)
{
    uint64_t h = 14695981039346656037ULL;
    for (uint64_t w : words)
        for (int k = 0; k < 8; k++) {
            h ^= (w >> (8 * k)) & 0xFF;
            h *= 1099511628211ULL;
        }
    return h;
}

// Deterministic heights in millimetres, up to ±100 m.
uint32_t lcg_state = 12345;
int next_height()
{
    lcg_state = lcg_state * 1664525u + 1013904223u;
    return static_cast<int>(lcg_state >> 8) % 200001 - 100000;
}

const double INPUT_FACTOR[3] = {0.1, 0.01, 0.001};
const int RESULT_FACTOR[5] = {10, 100, 1000, 10000, 100000};

std::vector<uint64_t> conversions()
{
    std::vector<uint64_t> r;
    for (double factor : INPUT_FACTOR)
        for (int v = 0; v < 20000; v++)
            r.push_back(bits_of(to_metres(v, factor)));
    return r;
}

std::vector<uint64_t> differences_3d()
{
    std::vector<uint64_t> r;
    lcg_state = 12345;
    for (int n = 0; n < 20000; n++) {
        double w1[9], w2[9];
        for (int k = 0; k < 9; k++) {
            w1[k] = to_metres(next_height(), 0.001);
            w2[k] = to_metres(next_height(), 0.01);
        }
        r.push_back(bits_of(dif_3d(w1, w2)));
    }
    return r;
}

std::vector<uint64_t> truncations()
{
    std::vector<uint64_t> r;
    for (double factor : INPUT_FACTOR)
        for (int v = -2000; v < 2000; v++) {
            double dif = static_cast<double>(static_cast<long double>(to_metres(v, factor)) - to_metres(v % 7, 0.1));
            for (int f : RESULT_FACTOR)
                r.push_back(static_cast<uint64_t>(static_cast<uint32_t>(scaled(dif, f))));
        }
    return r;
}

int count_differing(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b)
{
    int n = 0;
    for (size_t k = 0; k < a.size(); k++)
        n += a[k] != b[k];
    return n;
}

// Evaluates a table as the run does, then with a 53-bit significand; prints
// the hash and the count; false when the count is zero.
bool table(const char *name, std::vector<uint64_t> (*evaluate)())
{
    std::vector<uint64_t> run = evaluate();
    select_double_significand();
    std::vector<uint64_t> rounded = evaluate();
    set_extended_precision();
    int differing = count_differing(run, rounded);
    std::printf("%s: %zu results, hash %016llx, %d differ with a 53-bit significand\n", name, run.size(),
                static_cast<unsigned long long>(hash(run)), differing);
    return differing > 0;
}

bool check(bool ok, const char *what)
{
    if (!ok)
        std::printf("WRONG: %s\n", what);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--start-double") == 0)
        select_double_significand();
    // Diagnostic only, on standard error: the output compared between hosts
    // must not depend on the runtime's start-up.
    std::fprintf(stderr, "x87 significand at start: %d bits\n", significand_bits());
    host_start();

    bool ok = check(significand_bits() == 64 || significand_bits() == 0, "host_start selected the 64-bit significand");
    // 6139 dm is the double just above 613.9: the product rounded to the
    // 64-bit significand lands on a tie that goes up when rounded to double.
    volatile int dm = 6139;
    ok &= check(to_metres(dm, 0.1) == std::nextafter(613.9, 1000.0), "6139 dm in metres is the double just above 613.9");
    // 43 dm minus 0 m is the double just below 4.3: times 10, truncated, 42.
    volatile int dm43 = 43;
    double dif = static_cast<double>(static_cast<long double>(to_metres(dm43, 0.1)) - 0.0);
    ok &= check(dif < 4.3L && scaled(dif, 10) == 42, "4.3 m (from 43 dm) in decimetres truncates to 42");
    // 5 dm minus 2 dm is the double just below 0.3: times 10, truncated, 2.
    volatile int dm5 = 5, dm2 = 2;
    dif = static_cast<double>(static_cast<long double>(to_metres(dm5, 0.1)) - to_metres(dm2, 0.1));
    ok &= check(scaled(dif, 10) == 2, "0.3 m (from 5 dm - 2 dm) in decimetres truncates to 2");

    ok &= check(table("conversions", conversions), "the conversions tell the precisions apart");
    ok &= check(table("3D differences", differences_3d), "the 3D differences tell the precisions apart");
    ok &= check(table("scaled truncations", truncations), "the truncations tell the precisions apart");
    return ok ? 0 : 1;
}
