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
// taken as that number (the value lies on the edge: the bin above).
long long bin_index(long double d, long double w)
{
    const long double q = d / w;
    const long double r = std::nearbyint(q);
    if (std::fabs(q - r) <= 1e-12L * (std::fabs(r) > 1 ? std::fabs(r) : 1))
        return static_cast<long long>(r);
    return static_cast<long long>(std::floor(q));
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
    // Fine bins per bin shown: 1, 2, 5, 10, 20, 50, … until at most 100 bins
    // are shown (a width given is shown as it is).
    long long m = 1, decade = 1;
    const long long multiples[3] = {1, 2, 5};
    for (int k = 1; !h.given_width && h.hi >= h.lo && floor_div(h.hi, m) - floor_div(h.lo, m) + 1 > 100; k++) {
        if (k % 3 == 0)
            decade *= 10;
        m = decade * multiples[k % 3];
    }
    const long double width = bin_scale(h) * m;
    table->width = static_cast<double>(width);
    if (h.hi < h.lo)
        return true;
    const long long lo = floor_div(h.lo, m), hi = floor_div(h.hi, m);
    table->bins.resize(static_cast<size_t>(hi - lo + 1));
    for (long long k = lo; k <= hi; k++) {
        ShownBin &b = table->bins[static_cast<size_t>(k - lo)];
        b.low = static_cast<double>(k * width);
        b.high = static_cast<double>((k + 1) * width);
        b.lowering = k < 0;
    }
    for (long long i = h.lo; i <= h.hi; i++) {
        const HistogramBin &fine = h.bins[static_cast<size_t>(i - h.first)];
        ShownBin &b = table->bins[static_cast<size_t>(floor_div(i, m) - lo)];
        add_tally(&b.detected, fine.part[0]);
        add_tally(&b.below, fine.part[1]);
    }
    return true;
}

std::string histogram_csv(const std::vector<std::string> &names, const std::vector<HistogramTable> &tables)
{
    std::string csv = "difference,from_m,to_m,change,detected_cells,detected_area_m2,detected_volume_m3,"
                      "below_cells,below_area_m2,below_volume_m3\n";
    for (size_t t = 0; t < tables.size() && t < names.size(); t++) {
        const HistogramTable &table = tables[t];
        for (const ShownBin &b : table.bins)
            append_row(&csv, names[t], number("%.12g", b.low), number("%.12g", b.high),
                       b.lowering ? "lowering" : "raising", b.detected, b.below);
        if (table.unchanged.cells > 0)
            append_row(&csv, names[t], "0", "0", "unchanged", BinTally(), table.unchanged);
    }
    return csv;
}
