// What the tests of the fast path share: the kernel paths this host can
// run, each forced in turn, and the bits of a double, compared exactly.
#ifndef FAST_PATH_PATHS_H
#define FAST_PATH_PATHS_H

#include "difference_fast.h"

#include <cstdint>
#include <cstring>
#include <vector>

inline std::vector<KernelPath> runnable_paths()
{
    std::vector<KernelPath> paths;
    for (KernelPath p : {KERNEL_AVX2, KERNEL_SCALAR})
        if (kernel_path_available(p))
            paths.push_back(p);
    return paths;
}

inline uint64_t bits(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

#endif
