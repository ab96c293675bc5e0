#include "differential.h"

#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "surfaces.h"

#include <cmath>
#include <cstring>
#include <climits>
#include <vector>

namespace {

// The matrices of one case.
struct CaseFrame {
    int lig, col;
    int **in1, **in2;           // DEM values
    double **ref1, **ref2;      // in metres by the reference
    double **fast1, **fast2;    // in metres by the fast path
    int **ref2D, **ref3D;       // results of the reference
    int **fast2D, **fast3D;     // results of the fast path
};

void allocate(CaseFrame *f, int lig, int col)
{
    f->lig = lig;
    f->col = col;
    f->in1 = imatrice(col, lig);
    f->in2 = imatrice(col, lig);
    f->ref1 = dmatrice(col, lig);
    f->ref2 = dmatrice(col, lig);
    f->fast1 = dmatrice(col, lig);
    f->fast2 = dmatrice(col, lig);
    f->ref2D = imatrice(col, lig);
    f->ref3D = imatrice(col, lig);
    f->fast2D = imatrice(col, lig);
    f->fast3D = imatrice(col, lig);
}

void release(CaseFrame *f)
{
    frimatrice(f->in1, f->lig);
    frimatrice(f->in2, f->lig);
    frdmatrice(f->ref1, f->lig);
    frdmatrice(f->ref2, f->lig);
    frdmatrice(f->fast1, f->lig);
    frdmatrice(f->fast2, f->lig);
    frimatrice(f->ref2D, f->lig);
    frimatrice(f->ref3D, f->lig);
    frimatrice(f->fast2D, f->lig);
    frimatrice(f->fast3D, f->lig);
}

// A value whose product with the factor of `interv` lies within 2^-7 of
// half an ulp from the double nearest to it: next to a rounding boundary.
int near_midpoint_value(Random *r, int interv)
{
    static const double factor[4] = {1.0, 0.1, 0.01, 0.001};
    int v = static_cast<int>(random_between(r, INT_MIN, INT_MAX));
    for (int attempt = 0; attempt < 20000 && interv != 0; attempt++) {
        const double p = v * factor[interv];
        const double e = std::fma(static_cast<double>(v), factor[interv], -p);
        int exponent;
        std::frexp(p, &exponent);
        const double half = std::ldexp(1.0, exponent - 54);
        if (std::fabs(e) >= half * (1 - 0x1p-7))
            return v;
        v = static_cast<int>(random_between(r, INT_MIN, INT_MAX) >> random_between(r, 0, 28));
    }
    return v;
}

void fill_family(CaseFrame *f, int family, int interv1, int interv2, Random *r, bool *raw)
{
    *raw = false;
    const uint64_t s1 = next_random(r), s2 = next_random(r);
    switch (family) {
    case FAMILY_TERRAIN: {
        const double base = static_cast<double>(random_between(r, 0, 2000));
        synthetic_terrain(f->in1, f->lig, f->col, base, 10 + random_unit(r) * 1500, interv1, s1);
        // The later survey in the first DEM's unit, then in the second's.
        later_survey(f->in1, f->in2, f->lig, f->col, static_cast<int>(random_between(r, 0, 5)),
                     static_cast<int>(random_between(r, 0, 4)), static_cast<int>(random_between(r, 1, 5000)), s2);
        static const int scale[4] = {1, 10, 100, 1000};
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++) {
                const long long v = static_cast<long long>(f->in2[i][j]) * scale[interv2] / scale[interv1];
                f->in2[i][j] = random_between(r, 0, 50) == 0 ? 0 : static_cast<int>(v); // some cells without data
            }
        break;
    }
    case FAMILY_RANDOM_16:
        random_values(f->in1, f->lig, f->col, 0, 65535, s1);
        random_values(f->in2, f->lig, f->col, 0, 65535, s2);
        break;
    case FAMILY_RANDOM_32:
        random_values(f->in1, f->lig, f->col, INT_MIN, INT_MAX, s1);
        random_values(f->in2, f->lig, f->col, INT_MIN, INT_MAX, s2);
        break;
    case FAMILY_FLATS: {
        // A few rectangles, each flat in both DEMs, apart by steps that make
        // sums and means land exactly on halves, doubles and midpoints. The
        // mean of nine equal differences d is d × (1 - 2^-54): for d = 2^k - 1
        // with k >= 11 it lies within half a 64-bit ulp of a midpoint.
        static const int step[14] = {0, 1, -1, 2, 4, 8, -16, 3, 1024, 5, 2047, 4095, 65535, -1048575};
        const int base = static_cast<int>(random_between(r, -40000, 70000));
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++)
                f->in1[i][j] = f->in2[i][j] = base;
        for (int k = 0; k < 6; k++) {
            const int i0 = static_cast<int>(random_between(r, 0, f->lig)), j0 = static_cast<int>(random_between(r, 0, f->col));
            const int i1 = static_cast<int>(random_between(r, i0, f->lig)), j1 = static_cast<int>(random_between(r, j0, f->col));
            const int a = base + step[random_between(r, 0, 13)] * static_cast<int>(random_between(r, 1, 3));
            const int b = a + step[random_between(r, 0, 13)];
            for (int i = i0; i < i1; i++)
                for (int j = j0; j < j1; j++) {
                    f->in1[i][j] = a;
                    f->in2[i][j] = b;
                }
        }
        break;
    }
    case FAMILY_NEAR_MIDPOINTS:
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++) {
                f->in1[i][j] = near_midpoint_value(r, interv1);
                f->in2[i][j] = random_between(r, 0, 1) ? near_midpoint_value(r, interv2)
                                                        : static_cast<int>(f->in1[i][j] / (1 + random_between(r, 0, 1)));
            }
        break;
    case FAMILY_MAGNITUDES:
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++) {
                const double m1 = std::exp2(random_unit(r) * 31), m2 = std::exp2(random_unit(r) * 31);
                f->in1[i][j] = static_cast<int>(random_between(r, 0, 1) ? m1 : -m1);
                f->in2[i][j] = static_cast<int>(random_between(r, 0, 1) ? m2 : -m2);
            }
        break;
    case FAMILY_TINY_AND_HUGE: {
        const int kind = static_cast<int>(random_between(r, 0, 2));
        random_values(f->in1, f->lig, f->col, INT_MIN, INT_MAX, s1);
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++) {
                const int v = f->in1[i][j];
                if (kind == 0)
                    f->in2[i][j] = v > INT_MAX - 3 || v < INT_MIN + 3 ? v : v + static_cast<int>(random_between(r, -2, 2));
                else if (kind == 1)
                    f->in2[i][j] = v == INT_MIN ? INT_MAX : -v;
                else
                    f->in2[i][j] = random_between(r, 0, 1) ? INT_MIN : INT_MAX;
            }
        break;
    }
    default: // FAMILY_RAW_METRES
        *raw = true;
        for (int i = 0; i < f->lig; i++)
            for (int j = 0; j < f->col; j++)
                for (double **d : {f->ref1, f->ref2}) {
                    const double m = std::exp2(random_unit(r) * 1574 - 1074);
                    d[i][j] = random_between(r, 0, 9) == 0 ? 0.0 : random_between(r, 0, 1) ? m : -m;
                }
        // Neighbourhoods of close heights as well, where the kernels do not
        // hand everything to the reference.
        const long long variant = random_between(r, 0, 2);
        if (variant == 1)
            for (int i = 0; i < f->lig; i++)
                for (int j = 0; j < f->col; j++) {
                    f->ref1[i][j] = std::ldexp(1 + random_unit(r), static_cast<int>(s1 % 64) - 32);
                    f->ref2[i][j] = f->ref1[i][j] * (1 + (random_unit(r) - 0.5) * std::exp2(-static_cast<int>(s2 % 50)));
                }
        // Or a flat difference d with an odd significand of eleven leading
        // ones: the mean of nine d, d × (1 - 2^-54), lies just above the
        // midpoint below d, where rounding first to 64 bits moves it onto
        // the midpoint and then to the even neighbour below d.
        if (variant == 2) {
            const double odd = static_cast<double>((1LL << 53) - 1 - 2 * random_between(r, 0, 1LL << 40));
            const double d = std::ldexp(odd, static_cast<int>(random_between(r, -80, 20)) - 52);
            for (int i = 0; i < f->lig; i++)
                for (int j = 0; j < f->col; j++) {
                    f->ref1[i][j] = d;
                    f->ref2[i][j] = 0.0;
                }
        }
        break;
    }
}

std::string bits_of(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g (0x%016llx)", d, static_cast<unsigned long long>(b));
    return text;
}

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string compare_doubles(const char *what, double **ref, double **fast, int lig, int col)
{
    for (int i = 0; i < lig; i++)
        for (int j = 0; j < col; j++)
            if (!same_bits(ref[i][j], fast[i][j]))
                return std::string(what) + "[" + std::to_string(i) + "][" + std::to_string(j) +
                       "]: reference " + bits_of(ref[i][j]) + ", fast " + bits_of(fast[i][j]);
    return "";
}

std::string compare_ints(const char *what, int **ref, int **fast, int lig, int col)
{
    for (int i = 0; i < lig; i++)
        for (int j = 0; j < col; j++)
            if (ref[i][j] != fast[i][j])
                return std::string(what) + "[" + std::to_string(i) + "][" + std::to_string(j) +
                       "]: reference " + std::to_string(ref[i][j]) + ", fast " + std::to_string(fast[i][j]);
    return "";
}

} // namespace

CaseOutcome check_case(uint64_t seed, int max_side, KernelPath path, KernelCounts *counts, int family)
{
    Random r = {seed};
    if (family < 0)
        family = static_cast<int>(random_between(&r, 0, FAMILY_COUNT - 1));
    // Mostly frames with interior cells, sometimes one without.
    const int low = random_between(&r, 0, 30) == 0 ? 0 : 3;
    CaseFrame f;
    allocate(&f, static_cast<int>(random_between(&r, low, max_side)), static_cast<int>(random_between(&r, low, max_side)));
    const int interv1 = static_cast<int>(random_between(&r, 0, UNITS_IN - 1));
    const int interv2 = static_cast<int>(random_between(&r, 0, UNITS_IN - 1));
    const int interv3 = static_cast<int>(random_between(&r, 0, UNITS_OUT - 1));
    const int itype = static_cast<int>(random_between(&r, DEM_M2, DEM_M4));
    const int treat = static_cast<int>(random_between(&r, -1, 2));
    // Pixel sizes of every kind, and now and then one whose cell area is
    // below the kernels' domain.
    static const double sizes[9] = {1.0, 2.5, 0.5, 90.0, 30.0, 0.1, -2.0, 0.0, 0.0};
    double sizepix = random_between(&r, 0, 39) == 0 ? 1e-160 : sizes[random_between(&r, 0, 8)];
    if (sizepix == 0.0)
        sizepix = random_unit(&r) * 200;

    bool raw;
    fill_family(&f, family, interv1, interv2, &r, &raw);
    CaseOutcome out = {"", static_cast<long long>(f.lig) * f.col};
    const std::string label = "case " + std::to_string(seed) + " (family " + std::to_string(family) + ", " +
                              std::to_string(f.lig) + " x " + std::to_string(f.col) + ", units " +
                              std::to_string(interv1) + "/" + std::to_string(interv2) + " -> " +
                              std::to_string(interv3) + ", type " + std::to_string(itype) + ", treatment " +
                              std::to_string(treat) + ", pixel " + bits_of(sizepix) + "): ";
    if (!raw) {
        convert_to_metres(f.in1, f.ref1, f.lig, f.col, interv1);
        convert_to_metres(f.in2, f.ref2, f.lig, f.col, interv2);
        convert_to_metres_fast(f.in1, f.fast1, f.lig, f.col, interv1, path, counts);
        convert_to_metres_fast(f.in2, f.fast2, f.lig, f.col, interv2, path, counts);
        out.mismatch = compare_doubles("dtab1", f.ref1, f.fast1, f.lig, f.col);
        if (out.mismatch.empty())
            out.mismatch = compare_doubles("dtab2", f.ref2, f.fast2, f.lig, f.col);
    }
    if (out.mismatch.empty()) {
        // Results start as garbage: both passes must set every cell.
        for (int i = 0; i < f.lig; i++)
            for (int j = 0; j < f.col; j++)
                f.ref2D[i][j] = f.ref3D[i][j] = f.fast2D[i][j] = f.fast3D[i][j] = 0x5A5A5A5A;
        const DifferenceSums ref =
            difference_pass(f.ref1, f.ref2, f.lig, f.col, sizepix, treat, interv3, itype, f.ref2D, f.ref3D);
        const DifferenceSums fast = difference_pass_fast(f.ref1, f.ref2, f.lig, f.col, sizepix, treat, interv3, itype,
                                                         f.fast2D, f.fast3D, path, counts);
        out.mismatch = compare_ints("itab_2D", f.ref2D, f.fast2D, f.lig, f.col);
        if (out.mismatch.empty())
            out.mismatch = compare_ints("itab_3D", f.ref3D, f.fast3D, f.lig, f.col);
        if (out.mismatch.empty() && !same_bits(ref.vol_total_2D, fast.vol_total_2D))
            out.mismatch = "vol_total_2D: reference " + bits_of(ref.vol_total_2D) + ", fast " + bits_of(fast.vol_total_2D);
        if (out.mismatch.empty() && !same_bits(ref.vol_total_3D, fast.vol_total_3D))
            out.mismatch = "vol_total_3D: reference " + bits_of(ref.vol_total_3D) + ", fast " + bits_of(fast.vol_total_3D);
        if (out.mismatch.empty() && (ref.misfit_2D != fast.misfit_2D || ref.misfit_3D != fast.misfit_3D))
            out.mismatch = "misfits: reference " + std::to_string(ref.misfit_2D) + "/" + std::to_string(ref.misfit_3D) +
                           ", fast " + std::to_string(fast.misfit_2D) + "/" + std::to_string(fast.misfit_3D);
    }
    if (!out.mismatch.empty())
        out.mismatch = label + out.mismatch;
    release(&f);
    return out;
}

CaseOutcome check_line_case(uint64_t seed, int max_side, KernelPath path, int family, bool gaps)
{
    Random r = {seed};
    CaseFrame f;
    allocate(&f, static_cast<int>(random_between(&r, 3, max_side)), static_cast<int>(random_between(&r, 3, max_side)));
    const int interv1 = static_cast<int>(random_between(&r, 0, UNITS_IN - 1));
    const int interv2 = static_cast<int>(random_between(&r, 0, UNITS_IN - 1));
    bool raw;
    fill_family(&f, family, interv1, interv2, &r, &raw);
    if (!raw) {
        convert_to_metres(f.in1, f.ref1, f.lig, f.col, interv1);
        convert_to_metres(f.in2, f.ref2, f.lig, f.col, interv2);
    }
    if (gaps)
        for (int i = 0; i < f.lig; i++)
            for (int j = 0; j < f.col; j++)
                for (double **d : {f.ref1, f.ref2})
                    if (random_between(&r, 0, 19) == 0)
                        d[i][j] = NAN;
    CaseOutcome out = {"", static_cast<long long>(f.lig) * f.col};
    std::vector<double> d2(static_cast<size_t>(f.col)), d3(static_cast<size_t>(f.col));
    LineScratch scratch;
    for (int i = 1; i + 1 < f.lig && out.mismatch.empty(); i++) {
        line_differences_fast(f.ref1, f.ref2, i, f.col, d2.data(), d3.data(), &scratch, path);
        for (int j = 1; j + 1 < f.col && out.mismatch.empty(); j++) {
            bool complete = true;
            for (int a = i - 1; a <= i + 1; a++)
                for (int b = j - 1; b <= j + 1; b++)
                    complete = complete && !std::isnan(f.ref1[a][b]) && !std::isnan(f.ref2[a][b]);
            if (!complete)
                continue;
            double ref2, ref3;
            cell_differences(f.ref1, f.ref2, i, j, &ref2, &ref3);
            const double got2 = d2[static_cast<size_t>(j - 1)], got3 = d3[static_cast<size_t>(j - 1)];
            if (!same_bits(ref2, got2) || !same_bits(ref3, got3))
                out.mismatch = "case " + std::to_string(seed) + " (family " + std::to_string(family) + ", " +
                               std::to_string(f.lig) + " x " + std::to_string(f.col) + "), cell " + std::to_string(i) +
                               "," + std::to_string(j) + ": reference " + bits_of(ref2) + " / " + bits_of(ref3) +
                               ", line " + bits_of(got2) + " / " + bits_of(got3);
        }
    }
    release(&f);
    return out;
}
