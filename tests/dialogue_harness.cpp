#include "dialogue_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string env_or(const char *name, const std::string &fallback)
{
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

std::string read_file(const std::string &p)
{
    std::string s;
    if (FILE *f = std::fopen(p.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

void write_file(const std::string &p, const std::string &bytes)
{
    FILE *f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// CR LF folded to LF, a lone CR kept.
std::string fold_crlf(const std::string &s)
{
    std::string folded;
    for (size_t k = 0; k < s.size(); k++)
        if (!(s[k] == '\r' && k + 1 < s.size() && s[k + 1] == '\n'))
            folded.push_back(s[k]);
    return folded;
}

int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int status_or_signal(int status)
{
    return WIFSIGNALED(status) ? -WTERMSIG(status) : exit_status(status);
}

// In the child: the setting, no core file, half a minute at most (a run that
// blocks ends by SIGALRM), then the tool from the working folder.
void exec_tool(const std::string &work, const std::string &tool, const RunSetting &setting)
{
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    if (setting.file_size_limit >= 0) {
        struct rlimit l = {static_cast<rlim_t>(setting.file_size_limit), static_cast<rlim_t>(setting.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &l);
    }
    if (setting.address_limit >= 0) {
        struct rlimit l = {static_cast<rlim_t>(setting.address_limit), static_cast<rlim_t>(setting.address_limit)};
        setrlimit(RLIMIT_AS, &l);
    }
    for (const std::string &e : setting.env)
        putenv(strdup(e.c_str()));
    signal(SIGPIPE, SIG_DFL);
    alarm(30);
    if (chdir(work.c_str()) != 0)
        _exit(127);
    execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
    _exit(127);
}

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

} // namespace

void Dialogue::SetUp()
{
    char tmpl[] = "/tmp/skarnovelt-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work_ = tmpl;
    const char *tool = std::getenv("SKARNOVELT_TOOL");
    tool_overridden_ = tool != nullptr && *tool != '\0';
    tool_ = env_or("SKARNOVELT_TOOL", SKARNOVELT_BIN);
    images_ = env_or("SKARNOVELT_IMAGES", work_ + "/images");
    base_ = env_or("SKARNOVELT_BASE", "images/");
    // A folder of its own for each test, so that a shared base directory works.
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::string(info->name()) + "_" + std::to_string(getpid());
    mkdir(images_.c_str(), 0755);
    ASSERT_EQ(mkdir((images_ + "/" + folder_).c_str(), 0755), 0) << images_ << "/" << folder_;
}

void Dialogue::TearDown()
{
    if (!HasFailure()) {
        std::string command = "rm -rf '" + work_ + "' '" + images_ + "/" + folder_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    } else {
        std::printf("kept for inspection: %s and %s/%s\n", work_.c_str(), images_.c_str(), folder_.c_str());
    }
}

RunResult Dialogue::run(const std::string &answers)
{
    write_file(work_ + "/answers.txt", answers);
    std::string command = "cd '" + work_ + "' && " + tool_ + " < answers.txt > output.txt 2> errors.txt";
    int status = std::system(command.c_str());
    std::string output = read_file(work_ + "/output.txt");
    std::string errors = read_file(work_ + "/errors.txt");
    if (!native()) // a Windows build's console text has CR LF line ends
        return {exit_status(status), fold_crlf(output), fold_crlf(errors)};
    return {exit_status(status), output, errors};
}

RunResult Dialogue::run_with_terminal_errors(const std::string &answers)
{
    write_file(work_ + "/answers.txt", answers);
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int in = open((work_ + "/answers.txt").c_str(), O_RDONLY);
        int out = open((work_ + "/output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(work_.c_str()) != 0 || in < 0 || out < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        execl(tool_.c_str(), tool_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string shown_on_terminal;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) // ends with an error once the tool has gone
        shown_on_terminal.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return {exit_status(status), read_file(work_ + "/output.txt"), shown_on_terminal};
}

RunResult Dialogue::run_native(const std::string &answers, const RunSetting &setting)
{
    write_file(work_ + "/answers.txt", answers);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open((work_ + "/answers.txt").c_str(), O_RDONLY);
        int err = open((work_ + "/errors.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err, 2);
        close(out[0]);
        exec_tool(work_, tool_, setting);
    }
    close(out[1]);
    std::string output = read_all(out[0]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status_or_signal(status), output, read_file(work_ + "/errors.txt")};
}

RunResult Dialogue::run_closing_output(const std::string &first, const std::string &mark, const std::string &rest)
{
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        exec_tool(work_, tool_, RunSetting());
    }
    close(in[0]);
    close(out[1]);
    void (*before)(int) = signal(SIGPIPE, SIG_IGN); // this process's writes must not end it
    EXPECT_EQ(write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    std::string output;
    char buf[4096];
    ssize_t n;
    while (output.find(mark) == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0)
        output.append(buf, static_cast<size_t>(n));
    EXPECT_NE(output.find(mark), std::string::npos) << output;
    close(out[0]);
    EXPECT_EQ(write(in[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    signal(SIGPIPE, before);
    return {status_or_signal(status), output, ""};
}

HeldRun Dialogue::start_held(const std::string &answers, const std::string &mark)
{
    const std::string output_file = work_ + "/held-" + std::to_string(++held_runs_) + ".txt";
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0)
            _exit(127);
        dup2(out, 1);
        exec_tool(work_, tool_, RunSetting());
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (write(master, answers.data(), answers.size()) != static_cast<ssize_t>(answers.size()))
        ADD_FAILURE() << "could not write the answers";
    std::string output;
    char echo[4096];
    for (int waited = 0; waited < 20000 && output.find(mark) == std::string::npos; waited += 20) {
        usleep(20000);
        while (read(master, echo, sizeof echo) > 0) {
        }
        output = read_file(output_file);
    }
    EXPECT_NE(output.find(mark), std::string::npos) << output;
    usleep(100000); // let the tool enter its key wait
    return {pid, master, output_file};
}

RunResult Dialogue::finish_held(HeldRun held, int sig, char key)
{
    if (sig != 0)
        EXPECT_EQ(kill(held.pid, sig), 0);
    else
        EXPECT_EQ(write(held.master, &key, 1), 1);
    int status = 0;
    waitpid(held.pid, &status, 0);
    close(held.master);
    return {status_or_signal(status), read_file(held.output), ""};
}

RunResult Dialogue::run_interrupted(const std::string &answers, const std::string &mark)
{
    // The tool's input is a terminal, so that its key read really waits:
    // Ctrl-C typed on it at the key wait.
    return finish_held(start_held(answers, mark), 0, '\x03');
}

std::string Dialogue::shown(const std::string &file) const
{
    return base_ + folder_ + base_.substr(base_.size() - 1) + file;
}

std::string Dialogue::path(const std::string &file) const { return images_ + "/" + folder_ + "/" + file; }

void Dialogue::put(const std::string &file, const std::string &bytes) { write_file(path(file), bytes); }
void Dialogue::put_m2(const std::string &file, const std::vector<int> &values) { put(file, m2_bytes(values)); }
void Dialogue::put_m4(const std::string &file, const std::vector<int> &values) { put(file, m4_bytes(values)); }

bool Dialogue::exists(const std::string &file) const
{
    struct stat st;
    return stat(path(file).c_str(), &st) == 0;
}

std::string Dialogue::contents(const std::string &file) const
{
    std::string s = read_file(path(file));
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0)
        return fold_crlf(s);
    return s;
}

std::vector<std::string> Dialogue::files() const
{
    std::vector<std::string> names;
    if (DIR *d = opendir((images_ + "/" + folder_).c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Dialogue::m2_bytes(const std::vector<int> &values)
{
    std::string b;
    for (int v : values) {
        b.push_back(static_cast<char>(v & 0xFF));
        b.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    return b;
}

std::string Dialogue::m4_bytes(const std::vector<int> &values)
{
    std::string b;
    for (int v : values) {
        unsigned u = static_cast<unsigned>(v);
        for (int k = 0; k < 4; k++)
            b.push_back(static_cast<char>((u >> (8 * k)) & 0xFF));
    }
    return b;
}
