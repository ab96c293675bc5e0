#include "progress.h"

#include <chrono>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define stderr_is_terminal() _isatty(_fileno(stderr))
#else
#include <unistd.h>
#define stderr_is_terminal() isatty(STDERR_FILENO)
#endif

namespace {
const char *current_stage = nullptr; // null: no stage shown
long long stage_total = 0;
std::chrono::steady_clock::time_point last_draw;
const std::chrono::milliseconds REDRAW_EVERY(250);

void draw(long long done)
{
    const int percent = stage_total > 0 ? static_cast<int>(done * 100 / stage_total) : 100;
    std::fprintf(stderr, "\r%-44s %3d%% ", current_stage, percent);
    std::fflush(stderr);
    last_draw = std::chrono::steady_clock::now();
}
} // namespace

void progress_begin(const char *stage, long long total)
{
    if (!stderr_is_terminal())
        return;
    current_stage = stage;
    stage_total = total;
    draw(0);
}

void progress_step(long long done)
{
    if (current_stage == nullptr || std::chrono::steady_clock::now() - last_draw < REDRAW_EVERY)
        return;
    draw(done);
}

void progress_end()
{
    if (current_stage == nullptr)
        return;
    // Blank the line and return to its start, so the next console text is
    // written where the progress stood.
    std::fprintf(stderr, "\r%*s\r", 50, "");
    std::fflush(stderr);
    current_stage = nullptr;
}
