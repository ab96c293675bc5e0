// The row kernels in scalar double arithmetic: the fast path of hosts with
// FMA but without AVX2, and the tail of each line on hosts with both. Built
// with -mfma (which implies AVX, present on every host with FMA) so that
// fmadd is one instruction; difference_fast.cpp runs it only on hosts with
// FMA. Like the AVX2 file it uses builtins only, so that none of its code
// can stand in for a shared inline function of another file.
#include "difference.h"
#include "difference_kernels.h"

#include <cstdint>

namespace {

#include "difference_lanes_scalar.h"

#include "difference_kernels.inc"

} // namespace

const RowKernels SCALAR_KERNELS = KERNELS;
