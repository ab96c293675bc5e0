#include "host.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
extern "C" int _getch(void);
#else
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

#ifndef SKARNOVELT_BASE_DIR
#ifdef _WIN32
#define SKARNOVELT_BASE_DIR "c:\\images\\"
#else
#define SKARNOVELT_BASE_DIR "images/"
#endif
#endif

const char *base_directory() { return SKARNOVELT_BASE_DIR; }

const char *path_separator()
{
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

// The temporary files are kept in a fixed table of C strings so that the
// signal handlers can walk it without allocating. Each file the run created
// itself also keeps a lock for as long as it is a temporary file: a second
// descriptor holding an exclusive flock on POSIX, a handle that does not let
// others delete it on Windows. A later run removes only temporary files
// nobody holds that way (remove_stale_temp_files).
namespace {
// A companion program's run may stage a few dozen outputs at once.
const int MAX_TEMP_FILES = 64;
char *temp_files[MAX_TEMP_FILES];
#ifdef _WIN32
HANDLE temp_locks[MAX_TEMP_FILES];
#else
int temp_locks[MAX_TEMP_FILES];
// No lock is descriptor 0: every slot starts at -1 before any use.
struct LocksCleared {
    LocksCleared()
    {
        for (int &fd : temp_locks)
            fd = -1;
    }
} locks_cleared;
#endif
// Folders of temporary files, removed after the files.
const int MAX_TEMP_FOLDERS = 8;
char *temp_folders[MAX_TEMP_FOLDERS];

#ifndef _WIN32
// Terminal settings to put back when a key wait is interrupted.
struct termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;
#endif

// Windows does not remove a file that is still open: the run's streams
// (the standard ones aside) are closed first, the process being at its end.
void close_streams_before_removal()
{
#ifdef _WIN32
    _fcloseall();
#endif
}

void release_lock(int slot)
{
#ifdef _WIN32
    if (temp_locks[slot] != nullptr) {
        CloseHandle(temp_locks[slot]);
        temp_locks[slot] = nullptr;
    }
#else
    if (temp_locks[slot] >= 0) {
        close(temp_locks[slot]);
        temp_locks[slot] = -1;
    }
#endif
}

// Every signal the run ends on by its own cleanup: Ctrl-C, a termination
// request, the loss of the terminal, Ctrl-\, a closed output, a file-size
// limit.
#ifdef _WIN32
const int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGBREAK};
// While the results are renamed, a console signal is kept for afterwards
// (the handler runs in a thread of its own and cannot be blocked).
volatile LONG signals_held = 0;
volatile LONG signal_pending = 0;
#else
const int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};
sigset_t mask_before_hold;
pthread_t main_thread; // the thread that called host_start
#endif

extern "C" void on_interrupt(int sig)
{
#ifdef _WIN32
    if (signals_held) {
        signal_pending = sig;
        std::signal(sig, on_interrupt); // Windows resets the handler on delivery
        return;
    }
#else
    // A signal sent to the process may reach any of its threads (a library's
    // workers, which hold_signals does not block): it is passed on to the
    // thread that started the run, where it waits while the signals are held.
    if (!pthread_equal(pthread_self(), main_thread)) {
        pthread_kill(main_thread, sig);
        return;
    }
    if (terminal_changed)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
#endif
    close_streams_before_removal();
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr) {
            release_lock(k);
            std::remove(temp_files[k]); // unlink on POSIX, safe in a handler
        }
    for (int k = 0; k < MAX_TEMP_FOLDERS; k++)
        if (temp_folders[k] != nullptr)
            std::remove(temp_folders[k]); // rmdir of an emptied folder
    std::signal(sig, SIG_DFL);
#ifndef _WIN32
    // The signal is blocked while its handler runs: let it through at once.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
#endif
    std::raise(sig);
}

// Temporary names: a fixed prefix and suffix around random letters, short
// so that the name of the result, not of its temporary file, is what the
// file system limits.
const char TEMP_PREFIX[] = "skarnovelt-";
const char TEMP_SUFFIX[] = ".tmp";
const size_t TEMP_RANDOM = 8;
const char TEMP_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool is_temp_name(const char *name)
{
    const size_t prefix = sizeof TEMP_PREFIX - 1, suffix = sizeof TEMP_SUFFIX - 1;
    if (std::strlen(name) != prefix + TEMP_RANDOM + suffix || std::strncmp(name, TEMP_PREFIX, prefix) != 0 ||
        std::strcmp(name + prefix + TEMP_RANDOM, TEMP_SUFFIX) != 0)
        return false;
    for (size_t k = prefix; k < prefix + TEMP_RANDOM; k++)
        if (name[k] == '\0' || std::strchr(TEMP_LETTERS, name[k]) == nullptr)
            return false;
    return true;
}

// Random letters from the host's source of randomness, so that the name
// cannot be guessed from the process id or the time.
std::string random_letters()
{
    static unsigned long long fallback = 0x9E3779B97F4A7C15ULL;
    std::string letters;
    unsigned long long bits = 0;
    try {
        std::random_device device;
        bits = (static_cast<unsigned long long>(device()) << 32) ^ device();
    } catch (...) {
        // No source of randomness: the exclusive creation still refuses
        // any existing name, only the name is easier to guess.
        fallback = fallback * 6364136223846793005ULL + 1442695040888963407ULL +
                   static_cast<unsigned long long>(std::time(nullptr));
        bits = fallback;
    }
    for (size_t k = 0; k < TEMP_RANDOM; k++) {
        letters.push_back(TEMP_LETTERS[bits % (sizeof TEMP_LETTERS - 1)]);
        bits /= sizeof TEMP_LETTERS - 1;
    }
    return letters;
}

// The folder part of a path, with its last separator ("" when none).
std::string folder_of(const std::string &path)
{
#ifdef _WIN32
    const size_t last = path.find_last_of("\\/:");
#else
    const size_t last = path.rfind('/');
#endif
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// Removes the temporary files of the tool's naming pattern that no live run
// holds in the folder: those runs ended without their cleanup (killed).
void remove_stale_temp_files(const std::string &folder)
{
    static std::vector<std::string> cleaned; // once per folder and run
    for (const std::string &done : cleaned)
        if (done == folder)
            return;
    cleaned.push_back(folder);
#ifdef _WIN32
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + TEMP_PREFIX + "*" + TEMP_SUFFIX).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            is_temp_name(found.cFileName))
            DeleteFileA((folder + found.cFileName).c_str()); // refused while a run holds it open
    while (FindNextFileA(search, &found));
    FindClose(search);
#else
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        return;
    while (struct dirent *entry = readdir(dir)) {
        if (!is_temp_name(entry->d_name))
            continue;
        const std::string path = folder + entry->d_name;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Only a regular file of this user that no run holds, still under
        // the name it was found by.
        struct stat by_fd, by_name;
        if (fstat(fd, &by_fd) == 0 && S_ISREG(by_fd.st_mode) && by_fd.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &by_name) == 0 &&
            by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino)
            unlink(path.c_str());
        close(fd);
    }
    closedir(dir);
#endif
}

#ifdef _WIN32
// Creates path, failing when anything exists under that name (a link
// included), and opens it as a stream; the lock handle lets nobody else
// delete it. Sets *exists when the name was taken.
FILE *create_exclusive(const std::string &path, const char *mode, HANDLE *lock, bool *exists)
{
    *exists = false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        errno = *exists ? EEXIST : EACCES;
        return nullptr;
    }
    if (lock != nullptr) {
        // Fails when a later run deleted the file in between: a new name is tried.
        *lock = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (*lock == INVALID_HANDLE_VALUE) {
            *lock = nullptr;
            CloseHandle(h);
            *exists = true;
            return nullptr;
        }
    }
    const bool binary = std::strchr(mode, 'b') != nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), binary ? _O_BINARY : _O_TEXT);
    FILE *f = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (f == nullptr) {
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(h);
        if (lock != nullptr) {
            CloseHandle(*lock);
            *lock = nullptr;
        }
        DeleteFileA(path.c_str());
        errno = ENOMEM;
    }
    return f;
}
#else
// Creates path, failing when anything exists under that name (a link
// included), with the permissions of a new file under the umask, and opens
// it as a stream. With lock, the file is locked and a second descriptor
// holding the lock goes to *lock. Sets *exists when the name was taken.
FILE *create_exclusive(const std::string &path, const char *mode, int *lock, bool *exists)
{
    *exists = false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        *exists = errno == EEXIST;
        return nullptr;
    }
    if (lock != nullptr) {
        // A later run may have taken or removed the file before it was
        // locked (it then looked stale): a new name is tried. A file system
        // without locks leaves the file unlocked, and no run removes it.
        struct stat by_fd, by_name;
        const bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (taken || fstat(fd, &by_fd) != 0 || lstat(path.c_str(), &by_name) != 0 ||
            by_fd.st_dev != by_name.st_dev || by_fd.st_ino != by_name.st_ino) {
            close(fd);
            *exists = true;
            return nullptr;
        }
        *lock = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    FILE *f = lock == nullptr || *lock >= 0 ? fdopen(fd, mode) : nullptr;
    if (f == nullptr) {
        const int error = errno;
        unlink(path.c_str());
        close(fd);
        if (lock != nullptr && *lock >= 0)
            close(*lock);
        errno = error;
    }
    return f;
}
#endif

// Registers a file for removal with the lock that keeps it ours.
#ifdef _WIN32
void register_locked(const std::string &path, HANDLE lock)
#else
void register_locked(const std::string &path, int lock)
#endif
{
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] == nullptr) {
            temp_locks[k] = lock;
            temp_files[k] = strdup(path.c_str());
            return;
        }
    std::abort(); // more temporary files than any run creates: a programming error
}
} // namespace

bool set_extended_precision()
{
#if defined(__i386__) || defined(__x86_64__)
    // x87 control word: bits 8-9 select the significand (11: 64 bits), bits
    // 10-11 the rounding (00: to nearest, ties to even).
    const unsigned short mask = 0x0F00;
    const unsigned short wanted = 0x0300;
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    if ((control & mask) == wanted)
        return true;
    control = static_cast<unsigned short>((control & ~mask) | wanted);
    __asm__ volatile("fldcw %0" : : "m"(control));
    return false;
#else
    return true;
#endif
}

void host_start()
{
    set_extended_precision();
#ifndef _WIN32
    main_thread = pthread_self();
#endif
#ifdef _WIN32
    for (int sig : CAUGHT_SIGNALS)
        std::signal(sig, on_interrupt);
#else
    // While one handler cleans up, the other signals wait.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : CAUGHT_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int sig : CAUGHT_SIGNALS)
        sigaction(sig, &action, nullptr);
#endif
}

void hold_signals()
{
#ifdef _WIN32
    signals_held = 1;
#else
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &mask_before_hold);
#endif
}

void release_signals()
{
#ifdef _WIN32
    signals_held = 0;
    if (signal_pending != 0)
        on_interrupt(signal_pending);
#else
    sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr); // a signal that waited is delivered here
#endif
}

void register_temp_file(const std::string &path)
{
#ifdef _WIN32
    register_locked(path, nullptr);
#else
    register_locked(path, -1);
#endif
}

void forget_temp_file(const std::string &path)
{
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && path == temp_files[k]) {
            char *old = temp_files[k];
            temp_files[k] = nullptr;
            std::free(old);
            release_lock(k);
        }
}

void discard_temp_file(const std::string &path)
{
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && path == temp_files[k])
            release_lock(k);
    std::remove(path.c_str());
    forget_temp_file(path);
}

void remove_temp_files()
{
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr) {
            release_lock(k); // Windows removes no file held open
            std::remove(temp_files[k]);
            char *old = temp_files[k];
            temp_files[k] = nullptr;
            std::free(old);
        }
    for (int k = 0; k < MAX_TEMP_FOLDERS; k++)
        if (temp_folders[k] != nullptr) {
            std::remove(temp_folders[k]);
            char *old = temp_folders[k];
            temp_folders[k] = nullptr;
            std::free(old);
        }
}

void register_temp_folder(const std::string &path)
{
    for (int k = 0; k < MAX_TEMP_FOLDERS; k++)
        if (temp_folders[k] == nullptr) {
            temp_folders[k] = strdup(path.c_str());
            return;
        }
    std::abort(); // more private folders than any run creates: a programming error
}

void forget_temp_folder(const std::string &path)
{
    for (int k = 0; k < MAX_TEMP_FOLDERS; k++)
        if (temp_folders[k] != nullptr && path == temp_folders[k]) {
            char *old = temp_folders[k];
            temp_folders[k] = nullptr;
            std::free(old);
        }
}

bool is_own_temp_file(const std::string &path)
{
#ifdef _WIN32
    // The lock handle lets nobody delete or rename the file while it is held.
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && path == temp_files[k])
            return true;
    return false;
#else
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && path == temp_files[k]) {
            if (temp_locks[k] < 0)
                return true; // registered without a lock: nothing to compare with
            struct stat held, named;
            return fstat(temp_locks[k], &held) == 0 && lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
                   held.st_dev == named.st_dev && held.st_ino == named.st_ino;
        }
    return false;
#endif
}

void end_run(int status)
{
    std::fflush(stdout);
    close_streams_before_removal();
    remove_temp_files();
    std::exit(status);
}

void getch()
{
    std::fflush(stdout);
#ifdef _WIN32
    // A console, not any character device: _isatty is also true for NUL,
    // from which _getch would not read but wait for a key on the console.
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        _getch();
        return;
    }
#else
    if (isatty(STDIN_FILENO)) {
        struct termios raw;
        if (tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
            raw = saved_terminal;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            terminal_changed = 1;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            char key;
            while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
            }
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
            terminal_changed = 0;
            return;
        }
    }
#endif
    std::getchar(); // not a terminal: one character, or nothing at the end
}

FILE *create_temp_file(const std::string &target, const char *mode, std::string *temp_path)
{
    const std::string folder = folder_of(target);
    remove_stale_temp_files(folder);
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string path = folder + TEMP_PREFIX + random_letters() + TEMP_SUFFIX;
#ifdef _WIN32
        HANDLE lock = nullptr;
#else
        int lock = -1;
#endif
        bool exists;
        FILE *f = create_exclusive(path, mode, &lock, &exists);
        if (f != nullptr) {
            register_locked(path, lock);
            *temp_path = path;
            return f;
        }
        if (!exists)
            return nullptr;
    }
    errno = EEXIST;
    return nullptr;
}

FILE *create_new_file(const std::string &path, const char *mode)
{
    bool exists;
    return create_exclusive(path, mode, nullptr, &exists);
}

FILE *open_regular_file(const std::string &path, const char *mode, bool *not_regular)
{
    *not_regular = false;
#ifdef _WIN32
    FILE *f = std::fopen(path.c_str(), mode);
    struct _stat64 st;
    if (f != nullptr && (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)) {
        std::fclose(f);
        *not_regular = true;
        errno = EINVAL;
        return nullptr;
    }
    return f;
#else
    // Without blocking: opening a FIFO would otherwise wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *not_regular = true;
        errno = EINVAL;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *f = fdopen(fd, mode);
    if (f == nullptr)
        close(fd);
    return f;
#endif
}

std::string input_file_problem(const std::string &path)
{
#ifdef _WIN32
    (void)path;
    return std::string();
#else
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return std::string();
    if (S_ISFIFO(st.st_mode))
        return "is a FIFO (named pipe), not a file: reading it would wait for a writer; give a regular file";
    if (S_ISSOCK(st.st_mode))
        return "is a socket, not a file: give a regular file";
    return "is a device, not a file: give a regular file";
#endif
}

bool same_file(const std::string &a, const std::string &b)
{
#ifdef _WIN32
    return _stricmp(a.c_str(), b.c_str()) == 0; // Windows names ignore case
#else
    if (a == b)
        return true;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

bool flush_to_disk(FILE *f)
{
    if (std::fflush(f) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

bool replace_file(const std::string &from, const std::string &to)
{
#ifdef _WIN32
    // The lock handle of a temporary file would refuse its own rename.
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && from == temp_files[k])
            release_lock(k);
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    for (int k = 0; k < MAX_TEMP_FILES; k++)
        if (temp_files[k] != nullptr && from == temp_files[k] && !is_own_temp_file(from)) {
            errno = EEXIST;
            return false;
        }
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

namespace {
#ifndef _WIN32
// What is left under an address-space or data limit, the process's present
// size counted (ULLONG_MAX without a limit).
unsigned long long left_under_limits()
{
    unsigned long long left = ~0ULL;
    unsigned long long size = 0, data = 0;
    long page = sysconf(_SC_PAGESIZE);
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        unsigned long long resident, shared, text, lib;
        if (std::fscanf(f, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text, &lib, &data) != 6)
            size = data = 0;
        std::fclose(f);
    }
    const unsigned long long bytes_per_page = page > 0 ? static_cast<unsigned long long>(page) : 4096;
    const struct {
        int resource;
        unsigned long long used;
    } limits[] = {{RLIMIT_AS, size * bytes_per_page}, {RLIMIT_DATA, data * bytes_per_page}};
    for (const auto &l : limits) {
        struct rlimit rl;
        if (getrlimit(l.resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
            const unsigned long long limit = static_cast<unsigned long long>(rl.rlim_cur);
            const unsigned long long room = limit > l.used ? limit - l.used : 1;
            if (room < left)
                left = room;
        }
    }
    return left;
}
#endif
} // namespace

unsigned long long available_memory()
{
#ifdef _WIN32
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status))
        return status.ullAvailPhys < status.ullAvailVirtual ? status.ullAvailPhys : status.ullAvailVirtual;
    return 0;
#else
    // MemAvailable counts what can be given without swapping, page cache
    // included; fall back on the free pages where the kernel does not say.
    unsigned long long physical = 0;
    if (FILE *f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(f);
        if (found)
            physical = kib * 1024ULL;
    }
    if (physical == 0) {
        long pages = sysconf(_SC_AVPHYS_PAGES);
        long size = sysconf(_SC_PAGESIZE);
        if (pages > 0 && size > 0)
            physical = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(size);
    }
    // A limit on the process (ulimit -v, -d) fails allocations before the
    // machine runs out.
    const unsigned long long limited = left_under_limits();
    if (physical == 0)
        return limited == ~0ULL ? 0 : limited;
    return physical < limited ? physical : limited;
#endif
}
