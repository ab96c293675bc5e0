#include "difference_fast.h"

#include "dem_files.h"
#include "difference_kernels.h"
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

KernelPath host_kernel_path()
{
#ifdef SKARNOVELT_REFERENCE_ONLY
    // The tests' copy of the tool, whose results are the reference's.
    return KERNEL_REFERENCE;
#endif
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return KERNEL_AVX2;
    if (__builtin_cpu_supports("fma"))
        return KERNEL_SCALAR;
    return KERNEL_REFERENCE;
}

bool kernel_path_available(KernelPath path)
{
    switch (path) {
    case KERNEL_AVX2:
        return host_kernel_path() == KERNEL_AVX2;
    case KERNEL_SCALAR:
        return host_kernel_path() != KERNEL_REFERENCE;
    default:
        return true;
    }
}

const char *kernel_path_name(KernelPath path)
{
    static const char *const name[4] = {"auto", "avx2", "scalar", "reference"};
    return name[path];
}

// The row kernels a path runs with, or null for the reference.
static const RowKernels *kernels_for(KernelPath path)
{
    if (path == KERNEL_AUTO || !kernel_path_available(path))
        path = host_kernel_path();
    if (path == KERNEL_AVX2)
        return &AVX2_KERNELS;
    if (path == KERNEL_SCALAR)
        return &SCALAR_KERNELS;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Kernels over whole line segments: the chosen table over the largest
// multiple of its width, the scalar table over the rest. Indices to redo
// come back from the start of the segment.
// ---------------------------------------------------------------------------

static int whole_lanes(const RowKernels &k, int n)
{
    return n - n % k.width;
}

static void shift_indices(int *redo, int from, int to, int by)
{
    for (int q = from; q < to; q++)
        redo[q] += by;
}

static int convert_segment(const RowKernels &k, const int *in, double *out, int n, double factor, int *redo)
{
    const int m = whole_lanes(k, n);
    const int c = k.convert(in, out, m, factor, redo);
    const int tail = SCALAR_KERNELS.convert(in + m, out + m, n - m, factor, redo + c);
    shift_indices(redo, c, c + tail, m);
    return c + tail;
}

static void range_segment(const RowKernels &k, const double *v, int n, RowRange *acc)
{
    const int m = whole_lanes(k, n);
    k.range(v, m, acc);
    SCALAR_KERNELS.range(v + m, n - m, acc);
}

static void edge_segment(const RowKernels &k, const double *a1, const double *b1, const double *a2,
                         const double *b2, double *d, int n, bool exact)
{
    const int m = whole_lanes(k, n);
    k.edges(a1, b1, a2, b2, d, m, exact);
    SCALAR_KERNELS.edges(a1 + m, b1 + m, a2 + m, b2 + m, d + m, n - m, exact);
}

static void centre_segment(const RowKernels &k, const double *c1, const double *c2, double *d, int n, bool exact)
{
    const int m = whole_lanes(k, n);
    k.centre(c1, c2, d, m, exact);
    SCALAR_KERNELS.centre(c1 + m, c2 + m, d + m, n - m, exact);
}

static int cell_segment(const RowKernels &k, const double *const term[9], double *dif3, int n, bool exact,
                        double magic, int *redo)
{
    const int m = whole_lanes(k, n);
    const int c = k.cells(term, dif3, m, exact, magic, redo);
    const double *tail_term[9];
    for (int t = 0; t < 9; t++)
        tail_term[t] = term[t] + m;
    const int tail = SCALAR_KERNELS.cells(tail_term, dif3 + m, n - m, exact, magic, redo + c);
    shift_indices(redo, c, c + tail, m);
    return c + tail;
}

static int result_segment(const RowKernels &k, const double *dif2, const double *dif3, int n,
                          const ResultParams *params, bool checked, const ResultLine &out, long long misfits[2],
                          int *redo)
{
    const int m = whole_lanes(k, n);
    const int c = k.results(dif2, dif3, m, params, checked, out, misfits, redo);
    const ResultLine tail_out = {out.vol2 + m, out.vol3 + m, out.run2 + m, out.run3 + m, out.out2 + m, out.out3 + m};
    const int tail = SCALAR_KERNELS.results(dif2 + m, dif3 + m, n - m, params, checked, tail_out, misfits, redo + c);
    shift_indices(redo, c, c + tail, m);
    return c + tail;
}

static int first_unsafe_segment(const RowKernels &k, const double *run2, const double *local2, const double *run3,
                                const double *local3, int n)
{
    const int m = whole_lanes(k, n);
    const int q = k.first_unsafe_step(run2, local2, run3, local3, m);
    return q < m ? q : m + SCALAR_KERNELS.first_unsafe_step(run2 + m, local2 + m, run3 + m, local3 + m, n - m);
}

// ---------------------------------------------------------------------------
// Conversion to metres
// ---------------------------------------------------------------------------

void convert_to_metres_fast(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv,
                            KernelPath path, KernelCounts *counts)
{
    const RowKernels *k = kernels_for(path);
    const long long cells = static_cast<long long>(nb_lig) * nb_col;
    if (counts != nullptr)
        counts->converted += cells;
    // Heights in metres are copied, without a product to round: the
    // reference's loop is as fast as it gets. Its x87 product pipelines well
    // too: only four cells at a time beat it, not one.
    if (k == nullptr || k->width == 1 || cells == 0 || interv == 0) {
        convert_to_metres(itab, dtab, nb_lig, nb_col, interv);
        if (counts != nullptr && (k == nullptr || (k->width == 1 && interv != 0)))
            counts->converted_redone += cells;
        return;
    }
    const double factor = unit_to_metres(interv);
    std::vector<int> redo(nb_col);
    for (int i = 0; i < nb_lig; i++) {
        const int c = convert_segment(*k, itab[i], dtab[i], nb_col, factor, redo.data());
        // The cells sent back take the reference's product, extended then
        // rounded to double.
        for (int q = 0; q < c; q++)
            dtab[i][redo[q]] = static_cast<double>(static_cast<long double>(itab[i][redo[q]]) * factor);
        if (counts != nullptr)
            counts->converted_redone += c;
        progress_step(i + 1);
    }
}

// ---------------------------------------------------------------------------
// Difference pass
// ---------------------------------------------------------------------------

// How the edges between lines, or the cells of a line, can be computed, from
// the magnitudes of the heights involved. Every height is a multiple of the
// ulp of the smallest non-zero one, 2^(emin-52), and below 2^(emax+1).
// - Below a factor 2^9 between the largest and the smallest non-zero
//   magnitude (emax - emin <= 9), the sums of two heights and the
//   differences of two half-way heights are multiples of 2^(emin-53) below
//   2^(emax+2): each fits a 64-bit significand, so rounding it once to
//   double is what the reference stores (EDGES_EXACT).
// - Below a factor 2^5 (emax - emin <= 5), the partial sums of the nine
//   terms of a cell, below 9 × 2^(emax+2), fit a 64-bit significand as well
//   (CELLS_EXACT).
// - Heights outside the kernels' domain leave the edges NaN, so that every
//   cell using them goes to the reference.
enum LineMode { LINE_OUTSIDE, LINE_CHECKED, LINE_EDGES_EXACT, LINE_CELLS_EXACT };

static LineMode line_mode(const RowRange &r)
{
    if (!r.in_domain)
        return LINE_OUTSIDE;
    if (r.max_abs < CELLS_EXACT_RATIO * r.min_nonzero)
        return LINE_CELLS_EXACT;
    if (r.max_abs < EDGES_EXACT_RATIO * r.min_nonzero)
        return LINE_EDGES_EXACT;
    return LINE_CHECKED;
}

static RowRange merged(const RowRange &a, const RowRange &b)
{
    return {std::min(a.min_nonzero, b.min_nonzero), std::max(a.max_abs, b.max_abs), a.in_domain && b.in_domain};
}

// The magnitudes of line i of both DEMs.
static RowRange line_range(const RowKernels &k, double *const *dtab1, double *const *dtab2, int i, int nb_col)
{
    RowRange r = {__builtin_inf(), 0.0, true};
    range_segment(k, dtab1[i], nb_col, &r);
    range_segment(k, dtab2[i], nb_col, &r);
    return r;
}

// The buffers of one pass, and how the edges are indexed.
//
// An edge joins two neighbouring cells; its value is the difference (first
// DEM minus second) of the two half-way heights between them, the term that
// both cells take from it. A buffer holds the edges of one direction, indexed
// by the column k of their upper cell (or left cell, along a line):
//   vertical[k]  between (r, k) and (r+1, k)
//   falling[k]   between (r, k) and (r+1, k+1)
//   rising[k]    between (r, k) and (r+1, k-1)   (rising[0] is not used)
//   along[k]     between (i, k) and (i, k+1)
// and centre[k] holds the 2D difference of cell (i, k). While line i is
// computed, `up` holds the edges between lines i-1 and i and `down` those
// between i and i+1; down becomes up for the next line. The nine terms of
// cell (i, j), in the order of cell_differences, are then
//      A  B  C        up.falling[j-1]  up.vertical[j]    up.rising[j+1]
//      H  I  D        along[j-1]       centre[j]         along[j]
//      G  F  E        down.rising[j]   down.vertical[j]  down.falling[j]
// The kernels count the interior cells of a line from q = j - 1 = 0: a term's
// row starts at the index its column takes for j = 1 (nine_terms).
struct EdgeLines {
    std::vector<double> vertical, falling, rising;
};

struct PassBuffers {
    EdgeLines lines[2];
    EdgeLines *up, *down;
    std::vector<double> along, centre;      // indexed by column
    std::vector<double> dif3, vol2, vol3;   // indexed by q = j - 1
    std::vector<double> run2, run3;         // running sums, run[q + 1] after cell q
    std::vector<int> redo;                  // cells (q) a kernel sent back
    RowRange range[3];                      // magnitudes of line r of both DEMs at r mod 3
};

static void make_buffers(int nb_col, PassBuffers *b)
{
    const int n = nb_col - 2;
    for (EdgeLines &e : b->lines) {
        e.vertical.resize(nb_col);
        e.falling.resize(nb_col);
        e.rising.resize(nb_col);
    }
    b->up = &b->lines[0];
    b->down = &b->lines[1];
    b->along.resize(nb_col);
    b->centre.resize(nb_col);
    b->dif3.resize(n);
    b->vol2.resize(n);
    b->vol3.resize(n);
    b->run2.resize(n + 1);
    b->run3.resize(n + 1);
    b->redo.resize(nb_col);
}

static void fill_nan(std::vector<double> *v)
{
    std::fill(v->begin(), v->end(), __builtin_nan(""));
}

// The edges between lines r and r + 1, into three rows of nb_col values.
static void edges_between(const RowKernels &k, double *const *dtab1, double *const *dtab2, int r, int nb_col,
                          LineMode mode, double *vertical, double *falling, double *rising)
{
    if (mode == LINE_OUTSIDE) {
        std::fill(vertical, vertical + nb_col, __builtin_nan(""));
        std::fill(falling, falling + nb_col, __builtin_nan(""));
        std::fill(rising, rising + nb_col, __builtin_nan(""));
        return;
    }
    const bool exact = mode >= LINE_EDGES_EXACT;
    const double *u1 = dtab1[r], *l1 = dtab1[r + 1];
    const double *u2 = dtab2[r], *l2 = dtab2[r + 1];
    edge_segment(k, u1, l1, u2, l2, vertical, nb_col, exact);
    edge_segment(k, u1, l1 + 1, u2, l2 + 1, falling, nb_col - 1, exact);
    edge_segment(k, u1 + 1, l1, u2 + 1, l2, rising + 1, nb_col - 1, exact);
}

static void compute_edges_between(const RowKernels &k, double *const *dtab1, double *const *dtab2, int r,
                                  int nb_col, LineMode mode, EdgeLines *e)
{
    edges_between(k, dtab1, dtab2, r, nb_col, mode, e->vertical.data(), e->falling.data(), e->rising.data());
}

// What the set-up of a line found about its band, lines i-1 to i+1.
struct BandMode {
    LineMode mode;
    double magic; // 1.5 × 2^(b+4), the heights of the band lying below 2^b
};

// Line set-up: the magnitudes of line i + 1, the edges down to it, the edges
// along line i and its 2D differences, each as exact as the magnitudes of
// the lines involved allow.
static BandMode set_up_line(const RowKernels &k, double *const *dtab1, double *const *dtab2, int i, int nb_col,
                            PassBuffers *b)
{
    RowRange *range = b->range;
    range[(i + 1) % 3] = line_range(k, dtab1, dtab2, i + 1, nb_col);
    const RowRange &here = range[i % 3];
    const RowRange below = merged(here, range[(i + 1) % 3]);
    const RowRange band = merged(range[(i - 1) % 3], below);
    compute_edges_between(k, dtab1, dtab2, i, nb_col, line_mode(below), b->down);
    const LineMode own = line_mode(here);
    if (own == LINE_OUTSIDE) {
        fill_nan(&b->along);
        fill_nan(&b->centre);
    } else {
        const bool exact = own >= LINE_EDGES_EXACT;
        edge_segment(k, dtab1[i], dtab1[i] + 1, dtab2[i], dtab2[i] + 1, b->along.data(), nb_col - 1, exact);
        centre_segment(k, dtab1[i] + 1, dtab2[i] + 1, b->centre.data() + 1, nb_col - 2, exact);
    }
    int e;
    std::frexp(band.max_abs, &e); // the heights lie below 2^e
    return {line_mode(band), std::ldexp(1.5, e + 4)};
}

// The nine-term table: the rows of the terms A … I of the interior cells of
// the line, from the cell j = 1 (see PassBuffers).
static void nine_terms(const PassBuffers &b, const double *term[9])
{
    term[0] = b.up->falling.data();        // A: falling[j-1]
    term[1] = b.up->vertical.data() + 1;   // B: vertical[j]
    term[2] = b.up->rising.data() + 2;     // C: rising[j+1]
    term[3] = b.along.data() + 1;          // D: along[j]
    term[4] = b.down->falling.data() + 1;  // E: falling[j]
    term[5] = b.down->vertical.data() + 1; // F: vertical[j]
    term[6] = b.down->rising.data() + 1;   // G: rising[j]
    term[7] = b.along.data();              // H: along[j-1]
    term[8] = b.centre.data() + 1;         // I: centre[j]
}

static bool within(double v, double lowest, double highest)
{
    const double a = v < 0 ? -v : v;
    return a == 0 || (a >= lowest && a <= highest);
}

static bool difference_in_domain(double d)
{
    return within(d, DIFFERENCE_MIN, DIFFERENCE_MAX);
}

static bool volume_in_domain(double v)
{
    return within(v, VOLUME_MIN, VOLUME_MAX);
}

// The cells handed to the reference: the differences of the c cells of line
// i listed in redo, recomputed by cell_differences. Whether the result
// kernel must check the domain of the differences: differences computed by
// the kernels from heights within the domain lie within the result kernel's
// domain, those of the reference may not.
static bool redo_cells(double *const *dtab1, double *const *dtab2, int i, const int *redo, int c, bool band_outside,
                       double *dif2, double *dif3)
{
    bool checked = band_outside;
    for (int r = 0; r < c; r++) {
        const int q = redo[r];
        cell_differences(dtab1, dtab2, i, q + 1, &dif2[q], &dif3[q]);
        checked = checked || !difference_in_domain(dif2[q]) || !difference_in_domain(dif3[q]);
    }
    return checked;
}

// What the difference pass needs of its caller's answers.
struct PassParams {
    double pix_surf;
    int type_treat, interv3, itype_dem3;
};

// The results handed to the reference: the volumes and scaled results of
// the c cells listed in redo, by the reference's expressions; misfits are
// counted. Whether the volumes of the line can be summed with the checks
// of first_unsafe_step, which need them within the domain.
static bool redo_results(const PassParams &pp, const int *redo, int c, const double *dif2, const double *dif3,
                         const ResultLine &out, long long misfits[2])
{
    bool checkable = true;
    bool fits;
    for (int r = 0; r < c; r++) {
        const int q = redo[r];
        out.vol2[q] = static_cast<double>(static_cast<long double>(dif2[q]) * pp.pix_surf);
        out.vol3[q] = static_cast<double>(static_cast<long double>(dif3[q]) * pp.pix_surf);
        checkable = checkable && volume_in_domain(out.vol2[q]) && volume_in_domain(out.vol3[q]);
        out.out2[q] = scale_result(kept_value(dif2[q], pp.type_treat), pp.interv3, pp.itype_dem3, &fits);
        misfits[0] += !fits;
        out.out3[q] = scale_result(kept_value(dif3[q], pp.type_treat), pp.interv3, pp.itype_dem3, &fits);
        misfits[1] += !fits;
    }
    return checkable;
}

// The running sums: run[q + 1] = D(E(run[q] + local[q])) for both volumes.
// The result kernel summed them in double up to step `plain` (where its
// first cell to redo lies); the rest is summed here. The double sums are
// checked a block at a time, the extended-precision step taken where the
// check fails and the double sums redone from there, so that a line of
// failing steps costs no more than a block per step.
static void add_line_volumes(const RowKernels &k, const double *vol2, const double *vol3, int n, int plain,
                             bool checkable, double *run2, double *run3, DifferenceSums *sums, KernelCounts *counts)
{
    const int BLOCK = 64;
    int from = 0;
    while (from < n) {
        const int to = checkable ? std::min(n, from + BLOCK) : from + 1;
        if (plain < to) {
            double t2 = run2[plain], t3 = run3[plain];
            for (int q = plain; q < to; q++) {
                t2 += vol2[q];
                run2[q + 1] = t2;
                t3 += vol3[q];
                run3[q + 1] = t3;
            }
            plain = to;
        }
        int bad = from;
        if (checkable) {
            bad += first_unsafe_segment(k, run2 + from, vol2 + from, run3 + from, vol3 + from, to - from);
            if (bad == to) {
                from = to;
                continue;
            }
        }
        // The reference's step.
        run2[bad + 1] = static_cast<double>(static_cast<long double>(run2[bad]) + vol2[bad]);
        run3[bad + 1] = static_cast<double>(static_cast<long double>(run3[bad]) + vol3[bad]);
        if (counts != nullptr)
            counts->sum_steps_redone++;
        from = plain = bad + 1;
    }
    sums->vol_total_2D = run2[n];
    sums->vol_total_3D = run3[n];
}

DifferenceSums difference_pass_fast(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col,
                                    double sizepix, int type_treat, int interv3, int itype_dem3,
                                    int *const *itab_2D, int *const *itab_3D, KernelPath path,
                                    KernelCounts *counts)
{
    const RowKernels *k = kernels_for(path);
    const long long interior =
        nb_lig >= 3 && nb_col >= 3 ? static_cast<long long>(nb_lig - 2) * static_cast<long long>(nb_col - 2) : 0;
    const double pix_surf = cell_area(sizepix);
    if (counts != nullptr)
        counts->cells += interior;
    // A cell area outside the kernels' domain could make a volume's error
    // term underflow: such a pass is the reference's.
    if (k == nullptr || interior == 0 || !(pix_surf >= HEIGHT_MIN && pix_surf <= HEIGHT_MAX)) {
        if (counts != nullptr)
            counts->cells_redone += interior;
        return difference_pass(dtab1, dtab2, nb_lig, nb_col, sizepix, type_treat, interv3, itype_dem3, itab_2D,
                               itab_3D);
    }

    DifferenceSums sums = {0.0, 0.0, 0, 0};
    const PassParams pp = {pix_surf, type_treat, interv3, itype_dem3};
    const ResultParams params = {pix_surf, unit_from_metres(interv3), type_treat, itype_dem3 == DEM_M2};
    const int n = nb_col - 2; // interior cells of a line, columns 1 to nb_col - 2
    PassBuffers b;
    make_buffers(nb_col, &b);
    int *const redo = b.redo.data();

    std::fill(itab_2D[0], itab_2D[0] + nb_col, 0);
    std::fill(itab_3D[0], itab_3D[0] + nb_col, 0);
    std::fill(itab_2D[nb_lig - 1], itab_2D[nb_lig - 1] + nb_col, 0);
    std::fill(itab_3D[nb_lig - 1], itab_3D[nb_lig - 1] + nb_col, 0);

    b.range[0] = line_range(*k, dtab1, dtab2, 0, nb_col);
    b.range[1] = line_range(*k, dtab1, dtab2, 1, nb_col);
    compute_edges_between(*k, dtab1, dtab2, 0, nb_col, line_mode(merged(b.range[0], b.range[1])), b.up);

    for (int i = 1; i < nb_lig - 1; i++) {
        progress_step(i);
        const BandMode band = set_up_line(*k, dtab1, dtab2, i, nb_col, &b);
        const double *term[9];
        nine_terms(b, term);
        double *dif2 = b.centre.data() + 1; // the 2D differences, from q = 0
        double *dif3 = b.dif3.data();
        int c = cell_segment(*k, term, dif3, n, band.mode == LINE_CELLS_EXACT, band.magic, redo);
        const bool checked = redo_cells(dtab1, dtab2, i, redo, c, band.mode == LINE_OUTSIDE, dif2, dif3);
        if (counts != nullptr)
            counts->cells_redone += c;

        const ResultLine out = {b.vol2.data(), b.vol3.data(), b.run2.data(), b.run3.data(),
                                itab_2D[i] + 1, itab_3D[i] + 1};
        long long misfits[2] = {0, 0};
        out.run2[0] = sums.vol_total_2D;
        out.run3[0] = sums.vol_total_3D;
        c = result_segment(*k, dif2, dif3, n, &params, checked, out, misfits, redo);
        const int plain = c > 0 ? redo[0] : n; // the indices come in increasing order
        const bool checkable = redo_results(pp, redo, c, dif2, dif3, out, misfits);
        if (counts != nullptr)
            counts->results_redone += c;
        sums.misfit_2D += misfits[0];
        sums.misfit_3D += misfits[1];
        itab_2D[i][0] = itab_2D[i][nb_col - 1] = 0;
        itab_3D[i][0] = itab_3D[i][nb_col - 1] = 0;

        add_line_volumes(*k, out.vol2, out.vol3, n, plain, checkable, out.run2, out.run3, &sums, counts);
        std::swap(b.up, b.down);
    }
    return sums;
}

// ---------------------------------------------------------------------------
// The differences of one line
// ---------------------------------------------------------------------------

// The magnitudes of line i of both DEMs, NaNs (cells without data) left
// out: they reach only the cells whose window holds them.
static RowRange line_range_with_gaps(double *const *dtab1, double *const *dtab2, int i, int nb_col)
{
    RowRange r = {__builtin_inf(), 0.0, true};
    for (const double *row : {dtab1[i], dtab2[i]})
        for (int j = 0; j < nb_col; j++) {
            const double a = std::fabs(row[j]);
            if (a != a || a == 0)
                continue;
            if (a < r.min_nonzero)
                r.min_nonzero = a;
            if (a > r.max_abs)
                r.max_abs = a;
        }
    if (!(r.min_nonzero >= HEIGHT_MIN && r.max_abs <= HEIGHT_MAX))
        r.in_domain = false;
    return r;
}

void line_differences_fast(double *const *dtab1, double *const *dtab2, int i, int nb_col, double *dif2,
                           double *dif3, LineScratch *scratch, KernelPath path)
{
    const int n = nb_col - 2;
    if (n <= 0)
        return;
    const RowKernels *k = kernels_for(path);
    if (k == nullptr) {
        for (int q = 0; q < n; q++)
            cell_differences(dtab1, dtab2, i, q + 1, &dif2[q], &dif3[q]);
        return;
    }
    const size_t row = static_cast<size_t>(nb_col);
    scratch->edges.resize(7 * row);
    scratch->redo.resize(row);
    double *const e = scratch->edges.data();
    double *up_v = e, *up_f = e + row, *up_r = e + 2 * row;
    double *down_v = e + 3 * row, *down_f = e + 4 * row, *down_r = e + 5 * row, *along = e + 6 * row;
    // The kernels' ranges, unless a line holds a NaN (or a height beyond
    // their domain): then its range without the NaNs.
    RowRange range[3];
    for (int t = 0; t < 3; t++) {
        range[t] = line_range(*k, dtab1, dtab2, i - 1 + t, nb_col);
        if (!range[t].in_domain)
            range[t] = line_range_with_gaps(dtab1, dtab2, i - 1 + t, nb_col);
    }
    edges_between(*k, dtab1, dtab2, i - 1, nb_col, line_mode(merged(range[0], range[1])), up_v, up_f, up_r);
    edges_between(*k, dtab1, dtab2, i, nb_col, line_mode(merged(range[1], range[2])), down_v, down_f, down_r);
    const LineMode own = line_mode(range[1]);
    if (own == LINE_OUTSIDE) {
        std::fill(along, along + nb_col, __builtin_nan(""));
        std::fill(dif2, dif2 + n, __builtin_nan(""));
    } else {
        const bool exact = own >= LINE_EDGES_EXACT;
        edge_segment(*k, dtab1[i], dtab1[i] + 1, dtab2[i], dtab2[i] + 1, along, nb_col - 1, exact);
        centre_segment(*k, dtab1[i] + 1, dtab2[i] + 1, dif2, n, exact);
    }
    const RowRange band = merged(range[0], merged(range[1], range[2]));
    int top;
    std::frexp(band.max_abs, &top); // the heights lie below 2^top
    // The nine terms of the cell at column q + 1, as nine_terms lays them out.
    const double *term[9] = {up_f, up_v + 1, up_r + 2, along + 1, down_f + 1, down_v + 1, down_r + 1, along, dif2};
    const LineMode mode = line_mode(band);
    int *const redo = scratch->redo.data();
    const int c = cell_segment(*k, term, dif3, n, mode == LINE_CELLS_EXACT, std::ldexp(1.5, top + 4), redo);
    redo_cells(dtab1, dtab2, i, redo, c, mode == LINE_OUTSIDE, dif2, dif3);
}
