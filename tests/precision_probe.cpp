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
// one is wrong. Then tables of conversions, 2D and 3D differences and
// scaled truncations, computed by the tool's own functions, are evaluated
// once as the run does and once with a 53-bit significand; standard output
// gets, per table, a hash of the run's results and the number of them that
// the 53-bit evaluation gets wrong. The output
// must be the same on every host (the Windows tests compare it with the
// Linux one), and each count must be above zero, or the table would not tell
// the two precisions apart.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Significand bits the x87 unit rounds to (difference.h admits no other
// processor).
int significand_bits()
{
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    static const int bits[4] = {24, 0, 53, 64};
    return bits[(control >> 8) & 3];
}

void select_double_significand()
{
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0x0300) | 0x0200);
    __asm__ volatile("fldcw %0" : : "m"(control));
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

// Deterministic heights up to ±100000 in the DEM's unit.
uint32_t lcg_state;
int next_height()
{
    lcg_state = lcg_state * 1664525u + 1013904223u;
    return static_cast<int>(lcg_state >> 8) % 200001 - 100000;
}

// Two DEMs in metres, the first in millimetres, the second in centimetres.
const int LIG = 100, COL = 200;
struct Dems {
    double **dtab1, **dtab2;
};

Dems make_dems()
{
    int **itab = imatrice(COL, LIG);
    Dems d = {dmatrice(COL, LIG), dmatrice(COL, LIG)};
    lcg_state = 12345;
    for (double **dtab : {d.dtab1, d.dtab2}) {
        for (int i = 0; i < LIG; i++)
            for (int j = 0; j < COL; j++)
                itab[i][j] = next_height();
        convert_to_metres(itab, dtab, LIG, COL, dtab == d.dtab1 ? 3 : 2);
    }
    frimatrice(itab, LIG);
    return d;
}

void free_dems(Dems d)
{
    frdmatrice(d.dtab1, LIG);
    frdmatrice(d.dtab2, LIG);
}

// Every value of 0 .. 19999 in decimetres, centimetres and millimetres.
std::vector<uint64_t> conversions()
{
    const int n = 20000;
    int **itab = imatrice(n, 1);
    double **dtab = dmatrice(n, 1);
    for (int j = 0; j < n; j++)
        itab[0][j] = j;
    std::vector<uint64_t> r;
    for (int interv = 1; interv <= 3; interv++) {
        convert_to_metres(itab, dtab, 1, n, interv);
        for (int j = 0; j < n; j++)
            r.push_back(bits_of(dtab[0][j]));
    }
    frimatrice(itab, 1);
    frdmatrice(dtab, 1);
    return r;
}

// The 2D and 3D differences of every interior cell.
std::vector<uint64_t> differences()
{
    Dems d = make_dems();
    std::vector<uint64_t> r;
    for (int i = 1; i < LIG - 1; i++)
        for (int j = 1; j < COL - 1; j++) {
            double dif_2D, dif_3D;
            cell_differences(d.dtab1, d.dtab2, i, j, &dif_2D, &dif_3D);
            r.push_back(bits_of(dif_2D));
            r.push_back(bits_of(dif_3D));
        }
    free_dems(d);
    return r;
}

// The 3D differences scaled to every unit of the results below the metre.
std::vector<uint64_t> truncations()
{
    Dems d = make_dems();
    std::vector<uint64_t> r;
    for (int i = 1; i < LIG - 1; i++)
        for (int j = 1; j < COL - 1; j++) {
            double dif_2D, dif_3D;
            cell_differences(d.dtab1, d.dtab2, i, j, &dif_2D, &dif_3D);
            for (int interv3 = 1; interv3 < UNITS_OUT; interv3++) {
                bool fits;
                r.push_back(static_cast<uint32_t>(scale_result(dif_3D, interv3, DEM_M4, &fits)));
            }
        }
    free_dems(d);
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
    std::printf("%s: %d results, hash %016llx, %d differ with a 53-bit significand\n", name,
                static_cast<int>(run.size()), static_cast<unsigned long long>(hash(run)), differing);
    return differing > 0;
}

// A height in decimetres in metres.
double decimetres(int dm)
{
    int **itab = imatrice(1, 1);
    double **dtab = dmatrice(1, 1);
    itab[0][0] = dm;
    convert_to_metres(itab, dtab, 1, 1, 1);
    double m = dtab[0][0];
    frimatrice(itab, 1);
    frdmatrice(dtab, 1);
    return m;
}

// The 2D difference, scaled to decimetres, at the centre of two flat 3 x 3
// DEMs, the first at dm1 decimetres, the second at dm2.
int flat_difference_in_decimetres(int dm1, int dm2)
{
    double **dtab1 = dmatrice(3, 3);
    double **dtab2 = dmatrice(3, 3);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            dtab1[i][j] = decimetres(dm1);
            dtab2[i][j] = decimetres(dm2);
        }
    double dif_2D, dif_3D;
    cell_differences(dtab1, dtab2, 1, 1, &dif_2D, &dif_3D);
    bool fits;
    int stored = scale_result(dif_2D, 1, DEM_M4, &fits);
    frdmatrice(dtab1, 3);
    frdmatrice(dtab2, 3);
    return stored;
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

    bool ok = check(significand_bits() == 64, "host_start selected the 64-bit significand");
    // 6139 dm is the double just above 613.9: the product rounded to the
    // 64-bit significand lands on a tie that goes up when rounded to double.
    ok &= check(decimetres(6139) == std::nextafter(613.9, 1000.0), "6139 dm in metres is the double just above 613.9");
    // 43 dm minus 0 dm is the double just below 4.3: 42 dm once truncated.
    ok &= check(flat_difference_in_decimetres(43, 0) == 42, "43 dm - 0 dm, truncated in decimetres, is 42");
    // 5 dm minus 2 dm is the double just below 0.3: 2 dm once truncated.
    ok &= check(flat_difference_in_decimetres(5, 2) == 2, "5 dm - 2 dm, truncated in decimetres, is 2");

    ok &= check(table("conversions", conversions), "the conversions tell the precisions apart");
    ok &= check(table("2D and 3D differences", differences), "the differences tell the precisions apart");
    ok &= check(table("scaled truncations", truncations), "the truncations tell the precisions apart");
    return ok ? 0 : 1;
}
