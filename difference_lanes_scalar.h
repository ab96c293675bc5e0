// The lane primitives of the scalar kernels (difference_kernels.inc lists
// them and their contract): one double to a lane. Included inside an
// anonymous namespace, after <cstdint>, by files built with -mfma.
#ifndef DIFFERENCE_LANES_SCALAR_H
#define DIFFERENCE_LANES_SCALAR_H

typedef double Lane;
typedef bool Mask;
const int WIDTH = 1;

inline Lane splat(double x) { return x; }
inline Lane load(const double *p) { return *p; }
inline void store(double *p, Lane v) { *p = v; }
inline Lane load_int(const int *p) { return static_cast<double>(*p); }
// v is an integer within the int range, as the kernels guarantee.
inline void store_int(int *p, Lane v) { *p = static_cast<int>(v); }
inline Lane fmadd(Lane a, Lane b, Lane c) { return __builtin_fma(a, b, c); }
inline Lane fmsub(Lane a, Lane b, Lane c) { return __builtin_fma(a, b, -c); }
inline Lane absval(Lane a) { return __builtin_fabs(a); }
inline Lane pow2_floor(Lane a)
{
    uint64_t bits;
    __builtin_memcpy(&bits, &a, sizeof bits);
    bits &= 0x7FF0000000000000ULL;
    __builtin_memcpy(&a, &bits, sizeof bits);
    return a;
}
inline Lane trunc_toward_zero(Lane a) { return __builtin_trunc(a); }
inline Lane copysign_one(Lane a) { return __builtin_copysign(1.0, a); }
// As minpd and maxpd: b unless a is strictly smaller (larger), so b when
// either is NaN.
inline Lane lane_min(Lane a, Lane b) { return a < b ? a : b; }
inline Lane lane_max(Lane a, Lane b) { return a > b ? a : b; }
inline Mask lt(Lane a, Lane b) { return a < b; }
inline Mask le(Lane a, Lane b) { return a <= b; }
inline Mask gt(Lane a, Lane b) { return a > b; }
inline Mask ge(Lane a, Lane b) { return a >= b; }
inline Mask eq(Lane a, Lane b) { return a == b; }
inline Mask ne(Lane a, Lane b) { return (a < b) | (a > b); }
inline Mask is_nan(Lane a) { return a != a; }
inline Mask sign_differs(Lane a, Lane b) { return (__builtin_signbit(a) != 0) != (__builtin_signbit(b) != 0); }
inline Mask both(Mask a, Mask b) { return a & b; }
inline Mask either(Mask a, Mask b) { return a | b; }
inline Mask but_not(Mask a, Mask b) { return a & !b; }
inline Lane select(Mask m, Lane a, Lane b) { return m ? a : b; }
inline int lane_bits(Mask m) { return m ? 1 : 0; }

#endif
