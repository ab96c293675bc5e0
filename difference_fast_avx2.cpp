// The row kernels four cells at a time with AVX2 and FMA. This file alone is
// compiled with -mavx2 -mfma and runs only on hosts that have both (checked
// at run time by difference_fast.cpp). It uses nothing but intrinsics and
// its own internal functions, so that no AVX2 code can stand in for a
// shared inline function of another file.
#include "difference.h"
#include "difference_kernels.h"

#include <immintrin.h>

namespace {

#include "difference_lanes_avx2.h"

#include "difference_kernels.inc"

} // namespace

const RowKernels AVX2_KERNELS = KERNELS;
