#include "exact_sum.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

const unsigned long long LOW_32 = 0xffffffffULL;
// Each term adds less than 2^34 to a word: passing the carries on every
// 2^20 terms keeps every word far from the 2^63 of its type (2^29 terms
// would be the limit), at a cost of one pass of 72 words per 2^20 terms.
const long long TERMS_BEFORE_CARRIES = 1LL << 20;

// The low 32 bits of w, 0 to 2^32 − 1, and what lies above them (w =
// low + 2^32 × carry, exactly, for a negative w too).
void split_word(long long w, long long *low, long long *carry)
{
    *low = static_cast<long long>(static_cast<unsigned long long>(w) & LOW_32);
    *carry = (w - *low) / 4294967296LL;
}

void pass_carries(long long word[EXACT_SUM_WORDS])
{
    for (int i = 0; i + 1 < EXACT_SUM_WORDS; i++) {
        long long low, carry;
        split_word(word[i], &low, &carry);
        word[i] = low;
        word[i + 1] += carry;
    }
}

void count_term(ExactSum *s)
{
    if (++s->pending >= TERMS_BEFORE_CARRIES) {
        pass_carries(s->word);
        s->pending = 0;
    }
}

// Adds ±m × 2^(position + EXACT_SUM_LOW), m < 2^64, position ≥ 0.
void add_bits(ExactSum *s, bool negative, unsigned long long m, int position)
{
    const int i = position / 32, shift = position % 32;
    const unsigned long long a = (m & LOW_32) << shift, b = (m >> 32) << shift; // each below 2^63
    const long long w0 = static_cast<long long>(a & LOW_32);
    const long long w1 = static_cast<long long>((a >> 32) + (b & LOW_32));
    const long long w2 = static_cast<long long>(b >> 32);
    if (negative) {
        s->word[i] -= w0;
        s->word[i + 1] -= w1;
        s->word[i + 2] -= w2;
    } else {
        s->word[i] += w0;
        s->word[i + 1] += w1;
        s->word[i + 2] += w2;
    }
    count_term(s);
}

// A double's sign, its significand as a whole number and the position of
// its last bit in the sum; false for an infinity or a NaN.
bool double_bits(double x, bool *negative, unsigned long long *m, int *position)
{
    int exponent;
    if (!exact_significand(x, negative, m, &exponent))
        return false;
    *position = exponent - EXACT_SUM_LOW;
    return true;
}

void count_special(ExactSum *s, double x)
{
    if (std::isnan(x))
        s->nans++;
    else if (x > 0)
        s->positive_infinities++;
    else
        s->negative_infinities++;
}

// Bit k of a magnitude held in 32-bit words.
int bit_at(const unsigned long long u[EXACT_SUM_WORDS], int k)
{
    return static_cast<int>((u[k / 32] >> (k % 32)) & 1);
}

} // namespace

void exact_add(ExactSum *s, double x)
{
    bool negative;
    unsigned long long m;
    int position;
    if (!double_bits(x, &negative, &m, &position)) {
        count_special(s, x);
        return;
    }
    if (m != 0)
        add_bits(s, negative, m, position);
}

void exact_add_wide(ExactSum *s, __int128 sum, int exponent)
{
    const bool negative = sum < 0;
    const unsigned __int128 magnitude = static_cast<unsigned __int128>(negative ? -sum : sum);
    const unsigned long long lo = static_cast<unsigned long long>(magnitude),
                             hi = static_cast<unsigned long long>(magnitude >> 64);
    const int position = exponent - EXACT_SUM_LOW;
    if (lo != 0)
        add_bits(s, negative, lo, position);
    if (hi != 0)
        add_bits(s, negative, hi, position + 64);
}

void exact_buckets_into(const TermBuckets &b, ExactSum *into)
{
    for (int r = 0; r < 64; r++) {
        const __int128 sum = b.sum[0][r] + b.sum[1][r];
        if (sum != 0)
            exact_add_wide(into, sum, b.low + ((r - b.low) & 63));
    }
}

void exact_buckets_clear(TermBuckets *b)
{
    for (int r = 0; r < 64; r++)
        b->sum[0][r] = b->sum[1][r] = 0;
    b->low = 1 << 20;
    b->high = -(1 << 20);
}

void exact_add_many(ExactSum *s, const long double *x, int n)
{
#if LDBL_MANT_DIG == 64
    // The x87 extended format: one pass with no branch on the terms, each
    // significand into the bucket of its exponent (neighbouring terms into
    // the two sets in turn). Where every term is normal with its last bit
    // at or above 2^-1074 (as the one-step path of exact_add takes it) and
    // the exponents lie within 64 of one another (a bucket then holds one
    // exponent), the buckets are the sum; else the terms go one by one.
    TermBuckets buckets;
    bool normal = true;
    for (int k = 0; k < n; k++) {
        const ExactExtended e = exact_extended_parts(x[k]);
        if (e.zero)
            continue;
        normal = normal && e.normal;
        buckets.low = std::min(buckets.low, e.exponent);
        buckets.high = std::max(buckets.high, e.exponent);
        const __int128 m = static_cast<__int128>(e.m);
        buckets.sum[k & 1][e.exponent & 63] += e.negative ? -m : m;
    }
    if (normal && buckets.high - buckets.low < 64 && exact_bucket_range(buckets.low) &&
        exact_bucket_range(buckets.high)) {
        exact_buckets_into(buckets, s);
        return;
    }
#endif
    for (int k = 0; k < n; k++)
        exact_add(s, x[k]);
}

void exact_add(ExactSum *s, long double x)
{
#if LDBL_MANT_DIG == 64
    // The x87 extended format: a 64-bit significand with its leading bit
    // and a 15-bit biased exponent. A normal x whose last bit lies at or
    // above 2^-1074 and whose top lies within the words goes in as it is,
    // in one step (the parts of the loop below add up to the same value).
    {
        const ExactExtended e = exact_extended_parts(x);
        const int position = e.exponent - EXACT_SUM_LOW;
        if (e.zero)
            return;
        if (e.normal && position >= -1074 - EXACT_SUM_LOW && position / 32 + 2 < EXACT_SUM_WORDS) {
            add_bits(s, e.negative, e.m, position);
            return;
        }
    }
#endif
    // x as a sum of doubles: each the rest rounded to double, the rest of
    // a rounding exact in long double (at most three for a 113-bit
    // significand). A rest that rounds to 0 lies below 2^-1074.
    if (std::isnan(x) || std::isinf(x)) {
        count_special(s, static_cast<double>(x));
        return;
    }
    for (int k = 0; k < 4 && x != 0; k++) {
        const double part = static_cast<double>(x);
        if (part == 0 || std::isinf(part)) {
            if (std::isinf(part))
                count_special(s, part); // beyond the range of doubles
            return;
        }
        exact_add(s, part);
        x -= part;
    }
}

void exact_add_product(ExactSum *s, long long count, double x)
{
    bool negative;
    unsigned long long m;
    int position;
    if (!double_bits(x, &negative, &m, &position)) {
        if (count > 0)
            count_special(s, x);
        return;
    }
    if (count <= 0 || m == 0)
        return;
    // count × m from four products of 32-bit halves, each below 2^64.
    const unsigned long long c = static_cast<unsigned long long>(count);
    const unsigned long long c_lo = c & LOW_32, c_hi = c >> 32, m_lo = m & LOW_32, m_hi = m >> 32;
    add_bits(s, negative, c_lo * m_lo, position);
    add_bits(s, negative, c_lo * m_hi, position + 32);
    add_bits(s, negative, c_hi * m_lo, position + 32);
    add_bits(s, negative, c_hi * m_hi, position + 64);
}

void exact_words(const ExactSum &s, long long words[EXACT_SUM_WORDS])
{
    for (int i = 0; i < EXACT_SUM_WORDS; i++)
        words[i] = s.word[i];
    pass_carries(words);
}

ExactSum exact_from_words(const long long words[EXACT_SUM_WORDS], long long positive_infinities,
                          long long negative_infinities, long long nans)
{
    ExactSum s;
    for (int i = 0; i < EXACT_SUM_WORDS; i++)
        s.word[i] = words[i];
    pass_carries(s.word);
    s.positive_infinities = positive_infinities;
    s.negative_infinities = negative_infinities;
    s.nans = nans;
    return s;
}

void exact_merge(ExactSum *into, const ExactSum &from)
{
    // Each word holds less than 2^32 plus 2^34 for every term since the
    // carries were last passed on: the words of both add up with their
    // terms counted together (and one more for the two low parts), and
    // the carries wait as they do for terms.
    for (int i = 0; i < EXACT_SUM_WORDS; i++)
        into->word[i] += from.word[i];
    into->pending += from.pending + 1;
    if (into->pending >= TERMS_BEFORE_CARRIES) {
        pass_carries(into->word);
        into->pending = 0;
    }
    into->positive_infinities += from.positive_infinities;
    into->negative_infinities += from.negative_infinities;
    into->nans += from.nans;
}

bool exact_equal(const ExactSum &a, const ExactSum &b)
{
    long long wa[EXACT_SUM_WORDS], wb[EXACT_SUM_WORDS];
    exact_words(a, wa);
    exact_words(b, wb);
    for (int i = 0; i < EXACT_SUM_WORDS; i++)
        if (wa[i] != wb[i])
            return false;
    return (a.positive_infinities > 0) == (b.positive_infinities > 0) &&
           (a.negative_infinities > 0) == (b.negative_infinities > 0) && (a.nans > 0) == (b.nans > 0);
}

double exact_value(const ExactSum &s)
{
    if (s.nans > 0 || (s.positive_infinities > 0 && s.negative_infinities > 0))
        return std::nan("");
    if (s.positive_infinities > 0)
        return HUGE_VAL;
    if (s.negative_infinities > 0)
        return -HUGE_VAL;
    long long words[EXACT_SUM_WORDS];
    exact_words(s, words);
    // The magnitude, in words of 32 bits (the last word's sign is the sum's).
    const bool negative = words[EXACT_SUM_WORDS - 1] < 0;
    unsigned long long u[EXACT_SUM_WORDS];
    for (int i = 0; i < EXACT_SUM_WORDS; i++)
        u[i] = static_cast<unsigned long long>(words[i]) & LOW_32;
    if (negative) {
        unsigned long long carry = 1;
        for (int i = 0; i < EXACT_SUM_WORDS; i++) {
            const unsigned long long v = (~u[i] & LOW_32) + carry;
            u[i] = v & LOW_32;
            carry = v >> 32;
        }
    }
    int top = EXACT_SUM_WORDS * 32 - 1;
    while (top >= 0 && bit_at(u, top) == 0)
        top--;
    if (top < 0)
        return 0.0;
    // The 53 bits from the top one, or fewer where the result is
    // subnormal (its last bit 2^-1074), then the next bit and whether any
    // below it is set: round to nearest, ties to even.
    const int smallest = -1074 - EXACT_SUM_LOW;
    const int last = top - 52 > smallest ? top - 52 : smallest;
    unsigned long long m = 0;
    for (int k = top; k >= last; k--)
        m = m << 1 | static_cast<unsigned long long>(bit_at(u, k));
    const bool guard = last >= 1 && bit_at(u, last - 1) != 0;
    bool sticky = false;
    for (int k = last - 2; k >= 0 && !sticky; k--)
        sticky = bit_at(u, k) != 0;
    if (guard && (sticky || (m & 1) != 0))
        m++;
    const double magnitude = std::ldexp(static_cast<double>(m), last + EXACT_SUM_LOW);
    return negative ? -magnitude : magnitude;
}
