#include "run_memory.h"

#include "difference_fast.h"

#include <algorithm>
#include <climits>

namespace {
const unsigned long long MMAP_THRESHOLD = 128 * 1024; // blocks from this size are mapped pages
const unsigned long long PAGE = 4096;

unsigned long long round_up(unsigned long long n, unsigned long long to) { return (n + to - 1) / to * to; }

// Sizes beyond 64 bits stay at the largest value, so that no frame can wrap
// around to a size that looks small.
unsigned long long times(unsigned long long a, unsigned long long b)
{
    return a != 0 && b > ULLONG_MAX / a ? ULLONG_MAX : a * b;
}
unsigned long long plus(unsigned long long a, unsigned long long b) { return a > ULLONG_MAX - b ? ULLONG_MAX : a + b; }

// Line buffers of difference_pass_fast, in doubles and ints of nb_col or
// nb_col - 2 (+1) values: six edge lines, along, centre, five lines of
// interior cells and their running sums, and the list of cells to redo.
unsigned long long difference_buffers(int nb_col)
{
    const unsigned long long col = static_cast<unsigned long long>(nb_col);
    const unsigned long long n = col - 2;
    return 8 * block_cost(col * sizeof(double)) + 3 * block_cost(n * sizeof(double)) +
           2 * block_cost((n + 1) * sizeof(double)) + block_cost(col * sizeof(int)); // below 2^40: no overflow
}
} // namespace

unsigned long long block_cost(unsigned long long n)
{
    if (n + 8 < MMAP_THRESHOLD)
        return std::max(32ULL, round_up(n + 8, 16));
    return round_up(n + 16, PAGE);
}

unsigned long long matrix_cost(int nb_lig, int nb_col, unsigned long long elem_size)
{
    const unsigned long long lig = static_cast<unsigned long long>(std::max(nb_lig, 1));
    const unsigned long long col = static_cast<unsigned long long>(std::max(nb_col, 1));
    return plus(block_cost(lig * sizeof(void *)), times(static_cast<unsigned long long>(nb_lig), block_cost(col * elem_size)));
}

unsigned long long run_memory_estimate(int nb_lig, int nb_col)
{
    const unsigned long long frame =
        plus(times(4, matrix_cost(nb_lig, nb_col, sizeof(int))), times(2, matrix_cost(nb_lig, nb_col, sizeof(double))));
    unsigned long long passing = matrix_cost(nb_lig, nb_col, sizeof(unsigned short));
    if (host_kernel_path() != KERNEL_REFERENCE) {
        passing = std::max(passing, block_cost(static_cast<unsigned long long>(std::max(nb_col, 0)) * sizeof(int)));
        if (nb_lig >= 3 && nb_col >= 3)
            passing = std::max(passing, difference_buffers(nb_col));
    }
    const unsigned long long streams = 1024 * 1024; // stdio buffers and the run's small allocations
    return plus(plus(frame, passing), streams);
}
