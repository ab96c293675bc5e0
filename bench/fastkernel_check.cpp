// The long differential run of the fast arithmetic, run by hand:
//
//   fastkernel_check [CELLS [MAX_SIDE [FIRST_SEED]]]
//
// Draws random cases (differential.h) of each family of values in turn until
// CELLS cells (default 10^8) have been compared on every fast path the host
// offers, and prints for each family how much of the work the reference
// redid. Any difference is printed and ends the run with status 1.
#include "differential.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

static bool parse_count(const char *text, long long *value)
{
    char *end;
    *value = std::strtoll(text, &end, 10);
    return *end == '\0' && *value > 0;
}

static const char *const FAMILY_NAME[FAMILY_COUNT] = {
    "terrain and later survey", "random 2-byte values", "random 4-byte values", "flat areas",
    "next to conversion boundaries", "magnitudes 1 to 2^31", "tiny and huge differences", "raw metres 2^-1074 to 2^500"};

static void show(const KernelCounts &c)
{
    std::printf("    converted %lld cells, %lld (%.4f %%) by the reference\n", c.converted, c.converted_redone,
                c.converted ? 100.0 * c.converted_redone / c.converted : 0.0);
    std::printf("    differences of %lld interior cells, %lld (%.4f %%) by the reference\n", c.cells, c.cells_redone,
                c.cells ? 100.0 * c.cells_redone / c.cells : 0.0);
    std::printf("    volumes or results redone for %lld cells, %lld running-sum steps in extended precision\n",
                c.results_redone, c.sum_steps_redone);
}

int main(int argc, char **argv)
{
    long long cells = 100000000, max_side = 300, first_seed = 1;
    if ((argc > 1 && !parse_count(argv[1], &cells)) || (argc > 2 && !parse_count(argv[2], &max_side)) ||
        (argc > 3 && !parse_count(argv[3], &first_seed)) || argc > 4 || max_side > 100000) {
        std::fprintf(stderr, "usage: fastkernel_check [CELLS [MAX_SIDE [FIRST_SEED]]] (positive integers, "
                             "MAX_SIDE at most 100000)\n");
        return 2;
    }
    std::printf("host path: %s\n", kernel_path_name(host_kernel_path()));
    int status = 0;
    for (KernelPath path : {KERNEL_AVX2, KERNEL_SCALAR}) {
        if (!kernel_path_available(path)) {
            std::printf("%s: not available on this host\n", kernel_path_name(path));
            continue;
        }
        uint64_t seed = static_cast<uint64_t>(first_seed);
        for (int family = 0; family < FAMILY_COUNT && status == 0; family++) {
            const auto start = std::chrono::steady_clock::now();
            KernelCounts counts = {};
            long long done = 0, cases = 0;
            for (; done < cells / FAMILY_COUNT; seed++, cases++) {
                const CaseOutcome out = check_case(seed, static_cast<int>(max_side), path, &counts, family);
                done += out.cells;
                if (!out.mismatch.empty()) {
                    std::printf("%s: MISMATCH in %s\n", kernel_path_name(path), out.mismatch.c_str());
                    status = 1;
                    break;
                }
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%s, %s: %lld cases, %lld cells compared in %.0f s\n", kernel_path_name(path),
                        FAMILY_NAME[family], cases, done, seconds);
            show(counts);
            std::fflush(stdout);
        }
    }
    std::printf(status == 0 ? "no difference\n" : "DIFFERENCES FOUND\n");
    return status;
}
