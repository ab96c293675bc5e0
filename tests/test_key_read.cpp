// The key read: under a pseudo-terminal it waits for one key, does not echo
// it and leaves the terminal as it was, also when interrupted; with piped
// input it consumes one character and never blocks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Collects what the probe prints on the terminal until the text holds `until`
// or the time is up.
std::string read_until(int fd, const std::string &until, int milliseconds)
{
    std::string s;
    for (int waited = 0; waited < milliseconds; waited += 10) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            s.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break; // the probe has gone
        if (!until.empty() && s.find(until) != std::string::npos)
            break;
        usleep(10000);
    }
    return s;
}

// Starts the probe on a new pseudo-terminal; the parent keeps its own handle
// on the terminal to look at its settings after the probe has gone.
pid_t start_probe(int *master, int *terminal)
{
    pid_t pid = forkpty(master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl(KEY_PROBE, KEY_PROBE, static_cast<char *>(nullptr));
        _exit(127);
    }
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
    *terminal = open(ptsname(*master), O_RDWR | O_NOCTTY);
    return pid;
}

std::string run_piped(const std::string &input)
{
    std::string command = "printf '" + input + "' | timeout 10 " KEY_PROBE;
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    int c;
    while ((c = std::fgetc(p)) != EOF)
        out.push_back(static_cast<char>(c));
    EXPECT_EQ(pclose(p), 0);
    return out;
}

} // namespace

TEST(KeyRead, OnATerminalItWaitsForOneKeyWithoutEchoAndRestoresTheTerminal)
{
    int master, terminal;
    pid_t pid = start_probe(&master, &terminal);
    ASSERT_GT(pid, 0);
    ASSERT_GE(terminal, 0);
    ASSERT_NE(read_until(master, "waiting", 5000).find("waiting"), std::string::npos);
    // No key yet: the probe must still be waiting.
    EXPECT_EQ(read_until(master, "got key", 300).find("got key"), std::string::npos);
    ASSERT_EQ(write(master, "x", 1), 1);
    std::string after_key = read_until(master, "terminal", 5000);
    EXPECT_NE(after_key.find("got key"), std::string::npos);
    EXPECT_EQ(after_key.find('x'), std::string::npos) << "the key was echoed";
    EXPECT_NE(after_key.find("terminal restored"), std::string::npos);
    // Lines and echo are back: the rest of a line is echoed, then reaches the
    // probe, which prints it after "rest:".
    ASSERT_EQ(write(master, "yz\n", 3), 3);
    std::string rest = read_until(master, "yz\r\nyz", 5000);
    EXPECT_NE((after_key + rest).find("rest:yz\r\nyz"), std::string::npos) << after_key + rest;
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    close(terminal);
    close(master);
}

TEST(KeyRead, CtrlCDuringTheWaitLeavesTheTerminalAsItWas)
{
    int master, terminal;
    pid_t pid = start_probe(&master, &terminal);
    ASSERT_GT(pid, 0);
    ASSERT_NE(read_until(master, "waiting", 5000).find("waiting"), std::string::npos);
    read_until(master, "", 300); // let the probe enter the key wait
    ASSERT_EQ(write(master, "\x03", 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    struct termios t;
    ASSERT_EQ(tcgetattr(terminal, &t), 0);
    EXPECT_TRUE(t.c_lflag & ECHO);
    EXPECT_TRUE(t.c_lflag & ICANON);
    close(terminal);
    close(master);
}

TEST(KeyRead, WithPipedInputItConsumesOneCharacterAndNeverBlocks)
{
    EXPECT_EQ(run_piped("ab\\n"), "waiting\ngot key\nrest:b\n");
    EXPECT_EQ(run_piped(""), "waiting\ngot key\nrest:\n");
}
