#include "host.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <string.h>
#include <windows.h>
extern "C" int _getch(void);
#else
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
// signal handlers can walk it without allocating.
namespace {
const int MAX_TEMP_FILES = 8;
char *temp_files[MAX_TEMP_FILES];

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

extern "C" void on_interrupt(int sig)
{
#ifndef _WIN32
    if (terminal_changed)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
#endif
    close_streams_before_removal();
    for (char *path : temp_files)
        if (path != nullptr)
            std::remove(path); // unlink on POSIX, safe in a handler
    std::signal(sig, SIG_DFL);
    std::raise(sig);
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
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
#ifndef _WIN32
    std::signal(SIGHUP, on_interrupt);
#endif
}

void register_temp_file(const std::string &path)
{
    for (char *&slot : temp_files)
        if (slot == nullptr) {
            slot = strdup(path.c_str());
            return;
        }
    std::abort(); // more temporary files than any run creates: a programming error
}

void forget_temp_file(const std::string &path)
{
    for (char *&slot : temp_files)
        if (slot != nullptr && path == slot) {
            char *old = slot;
            slot = nullptr;
            std::free(old);
        }
}

void remove_temp_files()
{
    for (char *&slot : temp_files)
        if (slot != nullptr) {
            std::remove(slot);
            char *old = slot;
            slot = nullptr;
            std::free(old);
        }
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
#ifdef _WIN32
    const long pid = _getpid();
#else
    const long pid = getpid();
#endif
    *temp_path = target + "." + std::to_string(pid) + ".tmp";
    FILE *f = std::fopen(temp_path->c_str(), mode);
    if (f != nullptr)
        register_temp_file(*temp_path);
    return f;
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
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

unsigned long long available_memory()
{
#ifdef _WIN32
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status))
        return status.ullAvailPhys;
    return 0;
#else
    // MemAvailable counts what can be given without swapping, page cache
    // included; fall back on the free pages where the kernel does not say.
    if (FILE *f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(f);
        if (found)
            return kib * 1024ULL;
    }
    long pages = sysconf(_SC_AVPHYS_PAGES);
    long size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && size > 0)
        return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(size);
    return 0;
#endif
}
