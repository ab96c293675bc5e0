// The scalar lane primitives on the probe's pairs, one at a time.
#include "lane_probe.h"

#include <cstdint>

namespace {
#include "difference_lanes_scalar.h"
} // namespace

void probe_scalar_lanes(const double *a, const double *b, LaneProbe *out)
{
    out->sign_differs = 0;
    for (int k = 0; k < LANE_PROBE_SIZE; k += WIDTH) {
        const Lane x = load(a + k), y = load(b + k);
        store(out->min + k, lane_min(x, y));
        store(out->max + k, lane_max(x, y));
        const Mask m = sign_differs(x, y);
        out->differs[k] = m ? ~0ULL : 0;
        out->sign_differs |= lane_bits(m) << k;
        store(out->selected + k, select(m, x, y));
    }
}
