// An exact sum of floating-point numbers, read rounded once to the nearest
// double: the budgets' volumes, areas and error sums, so that parts of a
// budget summed apart (blocks of lines, threads, the tiles of a cluster)
// merge in any order to the same bytes.
//
// The sum is a fixed-point integer over the whole range of doubles (a
// "long accumulator", Kulisch's exact dot product; here in words of 32
// bits held in 64-bit integers, so that the carries wait): bit k of it
// weighs 2^(k + EXACT_SUM_LOW). Every finite double is a whole number of
// 2^-1074, so adding one is exact, and the words hold sums of 2^62 terms
// of any size a double takes. Reading rounds the exact value once, to
// nearest, ties to even. Infinities and NaNs are counted apart: a sum with
// one is that, as IEEE arithmetic gives it.
//
// Long double terms (products evaluated in extended precision) are added
// as the doubles they split into exactly; only the part of a term below
// 2^-1074, the smallest double, is lost.
#ifndef EXACT_SUM_H
#define EXACT_SUM_H

#include <cfloat>
#include <cstdint>
#include <cstring>

const int EXACT_SUM_WORDS = 72;     // 72 × 32 bits: 2^-1088 to 2^1215
const int EXACT_SUM_LOW = -1088;    // the weight of bit 0 is 2^EXACT_SUM_LOW

struct ExactSum {
    long long word[EXACT_SUM_WORDS] = {}; // Σ word[i] 2^(32 i + EXACT_SUM_LOW)
    long long pending = 0;                // terms added since the carries were last passed on
    long long positive_infinities = 0, negative_infinities = 0, nans = 0;
};

// Adds x, exactly.
void exact_add(ExactSum *s, double x);
// Adds x, exactly down to 2^-1074.
void exact_add(ExactSum *s, long double x);
// x = ±m × 2^exponent, m the significand as a whole number and exponent
// that of its last bit (−1074 for subnormal numbers and 0); false for an
// infinity or a NaN.
inline bool exact_significand(double x, bool *negative, unsigned long long *m, int *exponent)
{
    unsigned long long bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    *negative = (bits >> 63) != 0;
    *m = (bits & ((1ULL << 52) - 1)) | (biased != 0 ? 1ULL << 52 : 0);
    *exponent = (biased != 0 ? biased : 1) - 1075; // −1074 for subnormal numbers
    return biased != 0x7ff;
}
#if LDBL_MANT_DIG == 64
// A value of the x87 extended format taken apart: its 64-bit significand
// (the leading bit explicit), its sign, and the exponent of its last bit;
// zero for ±0, normal for a finite number with its leading bit set and a
// biased exponent neither 0 nor all ones.
struct ExactExtended {
    unsigned long long m;
    bool negative, zero, normal;
    int exponent;
};

inline ExactExtended exact_extended_parts(long double x)
{
    unsigned char bytes[sizeof(long double)];
    std::memcpy(bytes, &x, sizeof bytes);
    ExactExtended e;
    std::memcpy(&e.m, bytes, sizeof e.m);
    const int sign_exp = bytes[8] | (bytes[9] << 8);
    const int biased = sign_exp & 0x7fff;
    e.negative = (sign_exp & 0x8000) != 0;
    e.zero = e.m == 0 && biased == 0;
    e.normal = biased != 0 && biased != 0x7fff && (e.m >> 63) != 0;
    e.exponent = biased - 16383 - 63;
    return e;
}

// The product x of two 64-bit significands with their leading bits (2^126
// ≤ x < 2^128) rounded to 64 significant bits, to nearest, ties to even:
// the significand, and in *shift the exponent it is scaled by.
inline unsigned long long exact_round_product(unsigned __int128 x, int *shift)
{
    const unsigned long long hi = static_cast<unsigned long long>(x >> 64), lo = static_cast<unsigned long long>(x);
    // x with its leading bit at 2^127: the significand kept is the high
    // word, the bits below it the low one.
    // (Without branches: the bits are as good as random.)
    const unsigned short_by = static_cast<unsigned>(hi >> 63) ^ 1; // 1 where x < 2^127
    unsigned long long m = hi << short_by | (lo >> 63 & short_by);
    const unsigned long long rest = lo << short_by, half = 1ULL << 63;
    // Up past the half, and at the half to an even m.
    m += static_cast<unsigned long long>(rest > half) | (static_cast<unsigned long long>(rest == half) & m & 1);
    *shift = 64 - static_cast<int>(short_by);
    if (m == 0) { // carried out of the 64 bits: 2^64
        m = half;
        ++*shift;
    }
    return m;
}

// The product of two normal values (their parts: significands with their
// leading bits) as the x87 extended format rounds it with its 64-bit
// precision (to nearest, ties to even), worked out in integers; normal,
// its exponent unbounded (the caller keeps it within the format's range).
inline ExactExtended exact_extended_product(const ExactExtended &x, const ExactExtended &y)
{
    int shift;
    ExactExtended p;
    p.m = exact_round_product(static_cast<unsigned __int128>(x.m) * y.m, &shift);
    p.negative = x.negative != y.negative;
    p.zero = false;
    p.normal = true;
    p.exponent = x.exponent + y.exponent + shift;
    return p;
}
#endif
// Adds sum × 2^exponent exactly (exponent ≥ −1074, |sum| 2^exponent below
// 2^1088): terms gathered apart in a 128-bit integer at one scale.
void exact_add_wide(ExactSum *s, __int128 sum, int exponent);

// Terms ±m × 2^e (m of 64 bits) gathered for an exact sum: each added to
// the 128-bit sum of its exponent modulo 64 while the exponents gathered
// lie within 64 of one another (each sum then holds one exponent), then
// all added to the exact sum at once (exact_add_wide). Two sets of sums,
// which neighbouring cells fill in turn (a term then need not wait for
// the one before it, often of the same exponent).
struct TermBuckets {
    __int128 sum[2][64] = {};
    int low = 1 << 20, high = -(1 << 20);
};
// Whether exponent e of a term's last bit lies where exact_add takes the
// term whole and its buckets' 128-bit sums stay within the exact sum's
// range.
inline bool exact_bucket_range(int e) { return e >= -1074 && e <= 900; }
#if LDBL_MANT_DIG == 64
// A term (normal, its exponent within exact_bucket_range) into its bucket
// of set `set` (0 or 1), or straight into direct where its exponent lies
// 64 or more from another one of the buckets.
// Inline: it is asked of every term.
inline void exact_bucket_add(TermBuckets *b, ExactSum *direct, const ExactExtended &term, int set = 0)
{
    const int low = b->low < term.exponent ? b->low : term.exponent;
    const int high = b->high > term.exponent ? b->high : term.exponent;
    const __int128 m = term.negative ? -static_cast<__int128>(term.m) : static_cast<__int128>(term.m);
    if (high - low >= 64) {
        exact_add_wide(direct, m, term.exponent);
        return;
    }
    b->low = low;
    b->high = high;
    b->sum[set][term.exponent & 63] += m;
}
#endif
// The buckets' terms into a sum (the buckets left as they are).
void exact_buckets_into(const TermBuckets &b, ExactSum *into);
void exact_buckets_clear(TermBuckets *b);

// Adds the n terms x[0 .. n − 1] as n calls of exact_add do (the same sum):
// gathered in buckets and added once where they are normal, within
// exact_bucket_range and within 2^64 of one another.
void exact_add_many(ExactSum *s, const long double *x, int n);
// Adds count × x exactly (count ≥ 0): the area of count cells of x m².
void exact_add_product(ExactSum *s, long long count, double x);
// Adds the sum from into into.
void exact_merge(ExactSum *into, const ExactSum &from);
// The sum rounded to the nearest double (ties to even).
double exact_value(const ExactSum &s);
// Whether two sums hold the same value (their words compared once the
// carries are passed on).
bool exact_equal(const ExactSum &a, const ExactSum &b);

// The sum's words with the carries passed on (each word 0 to 2^32 − 1, the
// last one signed), for handing a sum to another process: a sum rebuilt
// from them (exact_from_words) is the same sum.
void exact_words(const ExactSum &s, long long words[EXACT_SUM_WORDS]);
ExactSum exact_from_words(const long long words[EXACT_SUM_WORDS], long long positive_infinities,
                          long long negative_infinities, long long nans);

#endif
