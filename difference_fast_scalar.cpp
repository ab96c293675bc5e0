// The row kernels in plain scalar double arithmetic: the fast path of hosts
// without AVX2, and the tail of each line on hosts with it. Compiled for the
// baseline instruction set; std::fma is exact on every host (in hardware
// where the host has FMA).
#include "difference.h"
#include "difference_kernels.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

typedef double Lane;
typedef bool Mask;
const int WIDTH = 1;

inline Lane splat(double x) { return x; }
inline Lane load(const double *p) { return *p; }
inline void store(double *p, Lane v) { *p = v; }
inline Lane load_int(const int *p) { return static_cast<double>(*p); }
// v is an integer within the int range, as the kernels guarantee.
inline void store_int(int *p, Lane v) { *p = static_cast<int>(v); }
inline Lane fmadd(Lane a, Lane b, Lane c) { return std::fma(a, b, c); }
inline Lane fmsub(Lane a, Lane b, Lane c) { return std::fma(a, b, -c); }
inline Lane absval(Lane a) { return std::fabs(a); }
inline Lane pow2_floor(Lane a)
{
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    bits &= 0x7FF0000000000000ULL;
    std::memcpy(&a, &bits, sizeof bits);
    return a;
}
inline Lane trunc_toward_zero(Lane a) { return std::trunc(a); }
inline Lane copysign_one(Lane a) { return std::copysign(1.0, a); }
inline Lane lane_min(Lane a, Lane b) { return b < a ? b : a; }
inline Lane lane_max(Lane a, Lane b) { return b > a ? b : a; }
inline Mask lt(Lane a, Lane b) { return a < b; }
inline Mask le(Lane a, Lane b) { return a <= b; }
inline Mask gt(Lane a, Lane b) { return a > b; }
inline Mask ge(Lane a, Lane b) { return a >= b; }
inline Mask eq(Lane a, Lane b) { return a == b; }
inline Mask ne(Lane a, Lane b) { return a < b || a > b; }
inline Mask is_nan(Lane a) { return a != a; }
inline Mask sign_differs(Lane a, Lane b) { return std::signbit(a) != std::signbit(b); }
inline Mask both(Mask a, Mask b) { return a && b; }
inline Mask either(Mask a, Mask b) { return a || b; }
inline Mask but_not(Mask a, Mask b) { return a && !b; }
inline Lane select(Mask m, Lane a, Lane b) { return m ? a : b; }
inline int lane_bits(Mask m) { return m ? 1 : 0; }

#include "difference_kernels.inc"

} // namespace

const RowKernels SCALAR_KERNELS = KERNELS;
