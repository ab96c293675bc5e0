#include "change_histogram.h"

#include <cmath>
#include <cstdio>

namespace {

// Quotients beyond this are not binned (they would not fit a bin index).
const long double MAX_QUOTIENT = 1e15L;

long long floor_div(long long a, long long b)
{
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        q--;
    return q;
}

long double bin_scale(const ChangeHistogram &h)
{
    return h.given_width ? static_cast<long double>(h.width) : std::pow(10.0L, static_cast<long double>(h.exponent));
}

// The bin of d: floor(d / w), a quotient within rounding of a whole number
// taken as that number (the value lies on the edge: the bin above), except
// that a negative d is never taken to bin 0 and up: within rounding of 0, it
// is still lowering.
long long bin_index(long double d, long double w)
{
    const long double q = d / w;
    const long double r = std::nearbyint(q);
    long long idx = static_cast<long long>(std::floor(q));
    if (std::fabs(q - r) <= 1e-12L * (std::fabs(r) > 1 ? std::fabs(r) : 1))
        idx = static_cast<long long>(r);
    return d < 0 && idx >= 0 ? -1 : idx;
}

void add_tally(BinTally *into, const BinTally &from)
{
    into->cells += from.cells;
    into->area = static_cast<double>(static_cast<long double>(into->area) + from.area);
    into->volume = static_cast<double>(static_cast<long double>(into->volume) + from.volume);
}

void add_bin(HistogramBin *into, const HistogramBin &from)
{
    add_tally(&into->part[0], from.part[0]);
    add_tally(&into->part[1], from.part[1]);
}

// Fine bins ten times wider: each new bin the sum of the ten it covers.
void merge_tenfold(ChangeHistogram *h)
{
    h->exponent++;
    h->width = static_cast<double>(bin_scale(*h));
    if (h->bins.empty())
        return;
    const long long new_first = floor_div(h->first, 10);
    const long long new_last = floor_div(h->first + static_cast<long long>(h->bins.size()) - 1, 10);
    std::vector<HistogramBin> merged(static_cast<size_t>(new_last - new_first + 1));
    for (size_t k = 0; k < h->bins.size(); k++)
        add_bin(&merged[static_cast<size_t>(floor_div(h->first + static_cast<long long>(k), 10) - new_first)],
                h->bins[k]);
    h->bins.swap(merged);
    h->first = new_first;
    h->lo = floor_div(h->lo, 10);
    h->hi = floor_div(h->hi, 10);
}

// Makes room for bin idx, with some slack so that a range growing one bin
// at a time does not move the bins each time.
void cover(ChangeHistogram *h, long long idx)
{
    if (h->bins.empty()) {
        h->first = idx;
        h->bins.resize(1);
        return;
    }
    const long long size = static_cast<long long>(h->bins.size());
    if (idx < h->first) {
        long long grow = h->first - idx;
        if (grow < size / 2)
            grow = size / 2;
        h->bins.insert(h->bins.begin(), static_cast<size_t>(grow), HistogramBin());
        h->first -= grow;
    } else if (idx >= h->first + size) {
        long long grow = idx - (h->first + size) + 1;
        if (grow < size / 2)
            grow = size / 2;
        h->bins.resize(static_cast<size_t>(size + grow));
    }
}

void count_in(BinTally *t, double area, double volume)
{
    t->cells++;
    t->area = static_cast<double>(static_cast<long double>(t->area) + area);
    t->volume = static_cast<double>(static_cast<long double>(t->volume) + volume);
}

long long fine_cells(const ChangeHistogram &h, long long i)
{
    const HistogramBin &b = h.bins[static_cast<size_t>(i - h.first)];
    return b.part[0].cells + b.part[1].cells;
}

// The fine bin in which the cumulative count of the non-zero cells reaches
// the share p of their number n, and the value there, interpolated
// linearly within the bin.
long long quantile_bin(const ChangeHistogram &h, long long n, long double p, long double *value)
{
    const long double target = p * n;
    long long cum = 0;
    for (long long i = h.lo; i <= h.hi; i++) {
        const long long c = fine_cells(h, i);
        if (c > 0 && cum + c >= target) {
            const long double within = (target - cum) / c;
            *value = (i + (within < 0 ? 0 : within)) * bin_scale(h);
            return i;
        }
        cum += c;
    }
    *value = (h.hi + 1) * bin_scale(h);
    return h.hi;
}

// Fine bins per bin shown: the Freedman–Diaconis width 2 IQR / ∛n rounded
// to the nearest 1, 2 or 5 × 10^k fine bins (on a logarithmic scale), at
// least one fine bin, and as many more as keep at most 100 bins over the
// fine bins lo .. hi.
long long chosen_multiple(const ChangeHistogram &h, long long n, long long lo, long long hi)
{
    long double q1, q3;
    quantile_bin(h, n, 0.25L, &q1);
    quantile_bin(h, n, 0.75L, &q3);
    const long double fd = 2 * (q3 - q1) / std::cbrt(static_cast<long double>(n)) / bin_scale(h);
    long long m = 1, decade = 1;
    const long long multiples[3] = {1, 2, 5};
    for (int k = 1;; k++) {
        if (k % 3 == 0)
            decade *= 10;
        const long long next = decade * multiples[k % 3];
        const bool too_many = floor_div(hi, m) - floor_div(lo, m) + 1 > 100;
        // The next multiple is nearer to the width sought (geometric mean).
        const bool nearer = fd > 0 && fd * fd > static_cast<long double>(m) * next;
        if (!too_many && !nearer)
            return m;
        m = next;
    }
}

std::string number(const char *format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

void append_row(std::string *csv, const std::string &name, const std::string &from, const std::string &to,
                const char *change, const BinTally &detected, const BinTally &below)
{
    *csv += name + "," + from + "," + to + "," + change;
    for (const BinTally *t : {&detected, &below})
        *csv += "," + std::to_string(t->cells) + "," + number("%.17g", t->area) + "," + number("%.17g", t->volume);
    *csv += "\n";
}

} // namespace

ChangeHistogram make_histogram(double width)
{
    ChangeHistogram h;
    h.given_width = width > 0;
    h.width = h.given_width ? width : static_cast<double>(bin_scale(h));
    return h;
}

void histogram_count(ChangeHistogram *h, double d, double area, double volume, bool detected)
{
    if (d == 0) {
        count_in(&h->unchanged.part[detected ? 0 : 1], area, volume);
        return;
    }
    const bool first_value = h->lo > h->hi;
    if (first_value || d < h->min)
        h->min = d;
    if (first_value || d > h->max)
        h->max = d;
    if (h->too_many)
        return;
    const long double v = d;
    if (h->given_width && std::fabs(v) / bin_scale(*h) >= MAX_QUOTIENT) {
        h->too_many = true;
        return;
    }
    while (std::fabs(v) / bin_scale(*h) >= MAX_QUOTIENT)
        merge_tenfold(h);
    long long idx = bin_index(v, bin_scale(*h));
    if (!first_value) {
        const long long limit = h->given_width ? MAX_GIVEN_BINS : FINE_BINS;
        while ((idx > h->hi ? idx : h->hi) - (idx < h->lo ? idx : h->lo) + 1 > limit) {
            if (h->given_width) {
                h->too_many = true;
                return;
            }
            merge_tenfold(h);
            idx = bin_index(v, bin_scale(*h));
        }
    }
    cover(h, idx);
    if (first_value || idx < h->lo)
        h->lo = idx;
    if (first_value || idx > h->hi)
        h->hi = idx;
    count_in(&h->bins[static_cast<size_t>(idx - h->first)].part[detected ? 0 : 1], area, volume);
}

bool histogram_table(const ChangeHistogram &h, HistogramTable *table, std::string *error)
{
    *table = HistogramTable();
    table->width_given = h.given_width;
    table->unchanged = h.unchanged.part[0];
    add_tally(&table->unchanged, h.unchanged.part[1]);
    if (h.too_many) {
        *error = "a bin width of " + number("%g", h.width) + " m gives more than " +
                 std::to_string(MAX_GIVEN_BINS) + " bins over the differences from " + number("%g", h.min) +
                 " to " + number("%g", h.max) + " m: give a wider bin";
        return false;
    }
    if (h.hi < h.lo) {
        table->width = h.width;
        return true;
    }
    // The fine bins the bins shown cover: all with a width given; otherwise
    // those of the 0.5 % to the 99.5 % quantile, widened to 0 when the cells
    // beyond them would hold both signs.
    long long fine_lo = h.lo, fine_hi = h.hi, m = 1;
    if (!h.given_width) {
        long long n = 0;
        for (long long i = h.lo; i <= h.hi; i++)
            n += fine_cells(h, i);
        long double unused;
        fine_lo = quantile_bin(h, n, 0.005L, &unused);
        fine_hi = quantile_bin(h, n, 0.995L, &unused);
        if (fine_lo > 0 && h.lo < 0)
            fine_lo = 0;
        if (fine_hi < -1 && h.hi >= 0)
            fine_hi = -1;
        m = chosen_multiple(h, n, fine_lo, fine_hi);
    }
    const long double width = bin_scale(h) * m;
    table->width = static_cast<double>(width);
    const long long lo = floor_div(fine_lo, m), hi = floor_div(fine_hi, m);
    table->bins.resize(static_cast<size_t>(hi - lo + 1));
    for (long long k = lo; k <= hi; k++) {
        ShownBin &b = table->bins[static_cast<size_t>(k - lo)];
        b.low = static_cast<double>(k * width);
        b.high = static_cast<double>((k + 1) * width);
        b.lowering = k < 0;
    }
    table->underflow.low = h.min;
    table->underflow.high = table->bins.front().low;
    table->underflow.lowering = table->underflow.high <= 0;
    table->overflow.low = table->bins.back().high;
    table->overflow.high = h.max;
    table->overflow.lowering = table->overflow.high < 0;
    for (long long i = h.lo; i <= h.hi; i++) {
        const HistogramBin &fine = h.bins[static_cast<size_t>(i - h.first)];
        const long long k = floor_div(i, m);
        ShownBin &b = k < lo ? table->underflow : k > hi ? table->overflow : table->bins[static_cast<size_t>(k - lo)];
        add_tally(&b.detected, fine.part[0]);
        add_tally(&b.below, fine.part[1]);
        table->has_underflow = table->has_underflow || (k < lo && fine_cells(h, i) > 0);
        table->has_overflow = table->has_overflow || (k > hi && fine_cells(h, i) > 0);
    }
    return true;
}

std::string histogram_csv(const std::vector<std::string> &names, const std::vector<HistogramTable> &tables)
{
    std::string csv = "difference,from_m,to_m,change,detected_cells,detected_area_m2,detected_volume_m3,"
                      "below_cells,below_area_m2,below_volume_m3\n";
    for (size_t t = 0; t < tables.size() && t < names.size(); t++) {
        const HistogramTable &table = tables[t];
        std::vector<const ShownBin *> rows;
        if (table.has_underflow)
            rows.push_back(&table.underflow);
        for (const ShownBin &b : table.bins)
            rows.push_back(&b);
        if (table.has_overflow)
            rows.push_back(&table.overflow);
        for (const ShownBin *b : rows)
            append_row(&csv, names[t], number("%.12g", b->low), number("%.12g", b->high),
                       b->lowering ? "lowering" : "raising", b->detected, b->below);
        if (table.unchanged.cells > 0)
            append_row(&csv, names[t], "0", "0", "unchanged", BinTally(), table.unchanged);
    }
    return csv;
}
