// Preloaded into the tool by the dialogue tests: just before the tool's
// call of rename number SIGNAL_AT_RENAME, the process sends itself SIGTERM,
// as a user's kill arriving at that very instant would.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" int rename(const char *from, const char *to)
{
    using rename_function = int (*)(const char *, const char *);
    static rename_function next = reinterpret_cast<rename_function>(dlsym(RTLD_NEXT, "rename"));
    static int calls = 0;
    const char *at = getenv("SIGNAL_AT_RENAME");
    if (at != nullptr && ++calls == atoi(at))
        kill(getpid(), SIGTERM);
    return next(from, to);
}
