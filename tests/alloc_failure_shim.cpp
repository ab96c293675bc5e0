// Preloaded into the tool by the dialogue tests: allocation number
// FAIL_LARGE_ALLOCATION among those of 64 KiB or more fails, as it would
// when the host runs out of memory at that point (malloc and calloc return
// null; operator new, built on malloc, throws std::bad_alloc).
#include <cerrno>
#include <cstddef>
#include <stdlib.h>

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);

namespace {
bool fails(size_t bytes)
{
    static long at = -1;
    static long large = 0;
    if (at < 0) {
        const char *e = getenv("FAIL_LARGE_ALLOCATION");
        at = e != nullptr ? atol(e) : 0;
    }
    return bytes >= 65536 && ++large == at;
}
} // namespace

extern "C" void *malloc(size_t size) noexcept
{
    if (fails(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) noexcept
{
    if (size != 0 && count <= static_cast<size_t>(-1) / size && fails(count * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}
