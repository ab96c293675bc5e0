#include "bench_support.h"

#include "dem_files.h"
#include "host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

unsigned long long memory_limit(long long cells, unsigned long long allowance_mib)
{
    return MEMORY_BYTES_PER_CELL * static_cast<unsigned long long>(cells) + (allowance_mib << 20);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string dialogue_answers(const RunAnswers &a)
{
    // Folder; first DEM, _m2; second DEM, _m4; results and their type; units
    // of the first (dm), the second (mm) and the results (mm); pixel size;
    // treatment; the key of the pause.
    const std::string answers[] = {a.folder,
                                   a.first,
                                   std::to_string(DEM_M2),
                                   a.second,
                                   std::to_string(DEM_M4),
                                   a.results,
                                   std::to_string(a.results_type),
                                   "1",
                                   "3",
                                   "3",
                                   "1",
                                   std::to_string(a.treatment),
                                   "k"};
    std::string text;
    for (const std::string &answer : answers)
        text += answer + "\n";
    return text;
}

const char *const STAGE_MARK[STAGE_MARKS] = {"Dynamic scale of the first DEM", "Pixel size (in meters)",
                                             "2D Volume"};

void note_stage_marks(const std::string &output, double t, double mark_time[STAGE_MARKS])
{
    for (int k = 0; k < STAGE_MARKS; k++)
        if (mark_time[k] < 0 && output.find(STAGE_MARK[k]) != std::string::npos)
            mark_time[k] = t;
}

const char *const STAGE_NAME[STAGES] = {"load", "convert", "differences", "write"};

bool stage_seconds(const double mark_time[STAGE_MARKS], double wall, double stage[STAGES])
{
    double previous = 0;
    bool ordered = true;
    for (int k = 0; k <= STAGE_MARKS; k++) {
        const double end = k < STAGE_MARKS ? mark_time[k] : wall;
        if (!(end >= previous))
            ordered = false;
        stage[k] = end - previous;
        previous = end;
    }
    if (!ordered)
        for (int k = 0; k < STAGES; k++)
            stage[k] = NAN;
    return ordered;
}

namespace {

double seconds(const struct timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; }

double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void close_pipe(int fd[2])
{
    for (int k = 0; k < 2; k++)
        if (fd[k] >= 0) {
            close(fd[k]);
            fd[k] = -1;
        }
}

} // namespace

ChildRun run_child(const std::string &program, const std::vector<std::string> &args, const std::string &dir,
                   const std::string &input)
{
    ChildRun run;
    run.status = -1;
    run.wall = run.user = run.sys = 0;
    run.peak_rss = 0;
    for (double &t : run.mark_time)
        t = -1;
    if (input.size() > PIPE_BUF) {
        run.output = "the dialogue is longer than a pipe takes at once";
        return run;
    }

    // Everything the child needs is prepared before fork: it only changes
    // folder, rewires its streams and replaces itself.
    const std::string path = std::filesystem::absolute(program).string();
    std::vector<std::string> words;
    words.push_back(path);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        run.output = std::string("cannot create a pipe: ") + std::strerror(errno);
        close_pipe(in);
        close_pipe(out);
        return run;
    }
    // A child that ends before reading its input must not kill the driver.
    std::signal(SIGPIPE, SIG_IGN);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || dup2(in[0], STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(out[1], STDERR_FILENO) < 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        run.output = std::string("cannot start ") + path + ": " + std::strerror(errno);
        close(in[1]);
        close(out[0]);
        return run;
    }
    // The whole dialogue fits the empty pipe, so this write never waits.
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0 && errno != EPIPE)
        run.output = std::string("cannot write the dialogue: ") + std::strerror(errno) + "\n";
    close(in[1]);

    // Output is read as it comes, so that the time each stage mark appears
    // is the time the child printed it (it flushes before each question).
    char block[4096];
    for (;;) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        const ssize_t n = read(out[0], block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.output.append(block, static_cast<size_t>(n));
        note_stage_marks(run.output, since(start), run.mark_time);
    }
    close(out[0]);

    int status = 0;
    struct rusage usage;
    pid_t waited;
    do
        waited = wait4(pid, &status, 0, &usage);
    while (waited < 0 && errno == EINTR);
    run.wall = since(start);
    if (waited != pid)
        return run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.user = seconds(usage.ru_utime);
    run.sys = seconds(usage.ru_stime);
    run.peak_rss = static_cast<long long>(usage.ru_maxrss) * 1024; // KiB on Linux
    return run;
}

bool io_floor(const std::vector<std::string> &inputs, const std::vector<FloorFile> &outputs, double *seconds,
              std::string *error)
{
    std::vector<char> block(4 << 20);
    const auto start = std::chrono::steady_clock::now();

    for (const std::string &name : inputs) {
        FILE *f = std::fopen(name.c_str(), "rb");
        if (f == nullptr) {
            *error = "cannot open " + name + ": " + std::strerror(errno);
            return false;
        }
        while (std::fread(block.data(), 1, block.size(), f) == block.size()) {
        }
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        if (failed) {
            *error = "cannot read " + name;
            return false;
        }
    }

    // As the tool does: every file written, then each put on disk and
    // closed, then each moved onto its name.
    std::vector<FILE *> files(outputs.size(), nullptr);
    std::vector<std::string> temps(outputs.size());
    bool ok = true;
    for (size_t k = 0; k < outputs.size() && ok; k++) {
        files[k] = create_temp_file(outputs[k].path, "wb", &temps[k]);
        if (files[k] == nullptr) {
            *error = "cannot create a temporary file beside " + outputs[k].path + ": " + std::strerror(errno);
            ok = false;
            break;
        }
        for (long long left = outputs[k].size; left > 0 && ok;) {
            const size_t n = static_cast<size_t>(std::min<long long>(left, static_cast<long long>(block.size())));
            if (std::fwrite(block.data(), 1, n, files[k]) != n) {
                *error = "cannot write " + temps[k];
                ok = false;
            }
            left -= static_cast<long long>(n);
        }
    }
    for (size_t k = 0; k < outputs.size(); k++) {
        if (files[k] == nullptr)
            continue;
        const bool on_disk = ok && flush_to_disk(files[k]);
        if ((std::fclose(files[k]) != 0 || !on_disk) && ok) {
            *error = "cannot put " + temps[k] + " on disk";
            ok = false;
        }
    }
    for (size_t k = 0; k < outputs.size(); k++) {
        if (files[k] == nullptr)
            continue;
        if (ok && !replace_file(temps[k], outputs[k].path)) {
            *error = "cannot move " + temps[k] + " onto " + outputs[k].path + ": " + std::strerror(errno);
            ok = false;
        }
        if (!ok)
            std::remove(temps[k].c_str());
        forget_temp_file(temps[k]);
    }
    *seconds = since(start);
    return ok;
}

namespace {

// The fields of one CSV line: commas separate them, double quotes enclose a
// field that may hold commas, and a doubled quote inside stands for one.
std::vector<std::string> csv_fields(const std::string &line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t k = 0; k < line.size(); k++) {
        const char c = line[k];
        if (quoted && c == '"' && k + 1 < line.size() && line[k + 1] == '"') {
            fields.back() += '"';
            k++;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

int column_of(const std::vector<std::string> &header, const char *name)
{
    for (size_t k = 0; k < header.size(); k++)
        if (header[k] == name)
            return static_cast<int>(k);
    return -1;
}

} // namespace

std::vector<CellRate> parse_benchmark_csv(const std::string &text)
{
    std::vector<CellRate> rates;
    int name_col = -1, rate_col = -1, error_col = -1;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::vector<std::string> fields = csv_fields(text.substr(pos, end - pos));
        pos = end + 1;
        if (name_col < 0) {
            // Context lines come first; the header starts with "name".
            if (fields[0] == "name") {
                name_col = 0;
                rate_col = column_of(fields, "items_per_second");
                error_col = column_of(fields, "error_occurred");
            }
            continue;
        }
        if (rate_col < 0 || static_cast<int>(fields.size()) <= rate_col)
            continue;
        if (error_col >= 0 && static_cast<int>(fields.size()) > error_col && fields[error_col] == "true")
            continue;
        char *stop = nullptr;
        const double per_second = std::strtod(fields[rate_col].c_str(), &stop);
        if (fields[rate_col].empty() || *stop != '\0' || !(per_second > 0))
            continue;
        rates.push_back({fields[name_col], 1e9 / per_second});
    }
    return rates;
}
