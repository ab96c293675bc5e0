// The lane primitives of the AVX2 kernels (difference_kernels.inc lists
// them and their contract): four doubles to a lane. Included inside an
// anonymous namespace, after <immintrin.h>, by files built with -mavx2 -mfma
// only.
#ifndef DIFFERENCE_LANES_AVX2_H
#define DIFFERENCE_LANES_AVX2_H

typedef __m256d Lane;
// A mask lane has all its bits set (true) or none (false).
typedef __m256d Mask;
const int WIDTH = 4;

inline Lane splat(double x) { return _mm256_set1_pd(x); }
inline Lane load(const double *p) { return _mm256_loadu_pd(p); }
inline void store(double *p, Lane v) { _mm256_storeu_pd(p, v); }
inline Lane load_int(const int *p) { return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))); }
inline void store_int(int *p, Lane v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm256_cvttpd_epi32(v)); }
inline Lane fmadd(Lane a, Lane b, Lane c) { return _mm256_fmadd_pd(a, b, c); }
inline Lane fmsub(Lane a, Lane b, Lane c) { return _mm256_fmsub_pd(a, b, c); }
inline Lane absval(Lane a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline Lane pow2_floor(Lane a)
{
    return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FF0000000000000LL)));
}
inline Lane trunc_toward_zero(Lane a) { return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
inline Lane copysign_one(Lane a)
{
    return _mm256_or_pd(_mm256_and_pd(a, _mm256_set1_pd(-0.0)), _mm256_set1_pd(1.0));
}
// minpd and maxpd return the second operand unless the first is strictly
// smaller (larger): b when either is NaN.
inline Lane lane_min(Lane a, Lane b) { return _mm256_min_pd(a, b); }
inline Lane lane_max(Lane a, Lane b) { return _mm256_max_pd(a, b); }
inline Mask lt(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
inline Mask le(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
inline Mask gt(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
inline Mask ge(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
inline Mask eq(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
inline Mask ne(Lane a, Lane b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_OQ); }
inline Mask is_nan(Lane a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
inline Mask sign_differs(Lane a, Lane b)
{
    // The sign bit of a XOR b, spread over the lane: a negative 64-bit integer.
    const __m256i x = _mm256_castpd_si256(_mm256_xor_pd(a, b));
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_setzero_si256(), x));
}
inline Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
inline Mask either(Mask a, Mask b) { return _mm256_or_pd(a, b); }
inline Mask but_not(Mask a, Mask b) { return _mm256_andnot_pd(b, a); }
inline Lane select(Mask m, Lane a, Lane b) { return _mm256_blendv_pd(b, a, m); }
inline int lane_bits(Mask m) { return _mm256_movemask_pd(m); }

#endif
