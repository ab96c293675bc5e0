// Preloaded into the tool by the dialogue tests: just before the tool's
// call of rename number SIGNAL_AT_RENAME, the process sends itself SIGTERM,
// as a user's kill arriving at that very instant would.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <stdio.h>
#include <unistd.h>

// With SIGNAL_IN_THREAD set, the signal is sent to a thread of its own
// instead, as a signal to the process may land on any thread that does not
// block it (a library's worker).
// The thread takes signals, as a worker started before the run held its
// own would.
static void *signal_this_thread(void *)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    pthread_kill(pthread_self(), SIGTERM);
    return nullptr;
}

extern "C" int rename(const char *from, const char *to)
{
    using rename_function = int (*)(const char *, const char *);
    static rename_function next = reinterpret_cast<rename_function>(dlsym(RTLD_NEXT, "rename"));
    static int calls = 0;
    const char *at = getenv("SIGNAL_AT_RENAME");
    if (at != nullptr && ++calls == atoi(at)) {
        if (getenv("SIGNAL_IN_THREAD") != nullptr) {
            pthread_t worker;
            if (pthread_create(&worker, nullptr, signal_this_thread, nullptr) == 0)
                pthread_join(worker, nullptr);
        } else
            kill(getpid(), SIGTERM);
    }
    return next(from, to);
}

// With SWAP_AT_FSYNC=N and SWAP_LINK_TO=PATH: just after the N-th fsync,
// the file it was called on is replaced, under its name, by a symbolic link
// to PATH, as another user swapping a temporary file for a link between
// its writing and its rename would.
extern "C" int fsync(int fd)
{
    using fsync_function = int (*)(int);
    static fsync_function next = reinterpret_cast<fsync_function>(dlsym(RTLD_NEXT, "fsync"));
    static int calls = 0;
    const int result = next(fd);
    const char *at = getenv("SWAP_AT_FSYNC");
    const char *to = getenv("SWAP_LINK_TO");
    if (at != nullptr && to != nullptr && ++calls == atoi(at)) {
        char link[64], name[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, name, sizeof name - 1);
        if (n > 0) {
            name[n] = '\0';
            unlink(name);
            if (symlink(to, name) != 0)
                _exit(99);
        }
    }
    return result;
}
