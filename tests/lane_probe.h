// The lane primitives of both kernel instruction sets on the same pairs of
// values, for the test that they keep one contract (difference_kernels.inc).
// Each probe is built with its kernels' instruction set; the AVX2 one runs
// only on hosts that have AVX2 and FMA.
#ifndef LANE_PROBE_H
#define LANE_PROBE_H

#include <cstdint>

const int LANE_PROBE_SIZE = 8;

struct LaneProbe {
    double min[LANE_PROBE_SIZE];      // lane_min(a, b)
    double max[LANE_PROBE_SIZE];      // lane_max(a, b)
    uint64_t differs[LANE_PROBE_SIZE]; // the bits of the mask sign_differs(a, b)
    int sign_differs;                  // lane_bits of that mask, pair k at bit k
    double selected[LANE_PROBE_SIZE]; // select(sign_differs(a, b), a, b)
};

void probe_scalar_lanes(const double *a, const double *b, LaneProbe *out);
void probe_avx2_lanes(const double *a, const double *b, LaneProbe *out);

#endif
