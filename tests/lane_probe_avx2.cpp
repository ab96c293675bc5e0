// The AVX2 lane primitives on the probe's pairs, four at a time.
#include "lane_probe.h"

#include <immintrin.h>

namespace {
#include "difference_lanes_avx2.h"
} // namespace

void probe_avx2_lanes(const double *a, const double *b, LaneProbe *out)
{
    out->sign_differs = 0;
    for (int k = 0; k < LANE_PROBE_SIZE; k += WIDTH) {
        const Lane x = load(a + k), y = load(b + k);
        store(out->min + k, lane_min(x, y));
        store(out->max + k, lane_max(x, y));
        const Mask m = sign_differs(x, y);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out->differs + k), _mm256_castpd_si256(m));
        out->sign_differs |= lane_bits(m) << k;
        store(out->selected + k, select(m, x, y));
    }
}
