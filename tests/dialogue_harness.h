// Runs the built tool through a scripted dialogue in a temporary working
// folder and gives access to the files it reads and leaves behind.
//
// By default the native tool runs with its base directory images/ in the
// working folder. Another build can be driven through the environment:
//   SKARNOVELT_TOOL    command that starts the tool (e.g. "wine …/skarnovelt_v2.exe")
//   SKARNOVELT_IMAGES  absolute path of the folder the tool sees as its base directory
//   SKARNOVELT_BASE    the base directory as the tool prints it (e.g. c:\images\);
//                      its last character is the separator
#ifndef DIALOGUE_HARNESS_H
#define DIALOGUE_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct RunResult {
    int status;         // exit status, or -1 when the tool did not exit normally (-signal where said)
    std::string output; // everything printed on standard output
    std::string errors; // everything printed on standard error
};

// What a native run is started with beyond its answers.
struct RunSetting {
    std::vector<std::string> env;   // NAME=value added to its environment
    long long file_size_limit = -1; // bytes (RLIMIT_FSIZE), -1 none
    long long address_limit = -1;   // bytes of address space (RLIMIT_AS), -1 none
};

// A native run held at its key wait, its input a terminal.
struct HeldRun {
    int pid;
    int master;         // the terminal's master side
    std::string output; // the file its output goes to
};

class Dialogue : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // True when the tool is the native build (signals and file identity can
    // be tested).
    bool native() const { return tool_overridden_ == false; }

    // Runs the tool with the answers as its standard input.
    RunResult run(const std::string &answers);
    // Runs the tool with the answers as its standard input and a terminal as
    // its standard error (native tool only); `errors` is what the terminal
    // showed.
    RunResult run_with_terminal_errors(const std::string &answers);
    // Starts the tool with the answers, waits until its output holds `mark`,
    // then sends it SIGINT (native tool only).
    RunResult run_interrupted(const std::string &answers, const std::string &mark);

    // Native tool only, with a core-dump limit of 0 and at most half a minute to
    // run; a run killed by a signal has status -signal.
    // Runs the tool with the answers as its input and the setting; its
    // output comes through a pipe.
    RunResult run_native(const std::string &answers, const RunSetting &setting);
    // Gives the tool `first`, reads its output until it holds `mark`, closes
    // the output (as `| head` does), then gives it `rest`.
    RunResult run_closing_output(const std::string &first, const std::string &mark, const std::string &rest);
    // Starts the tool with the answers typed on its terminal and waits until
    // its output holds `mark`.
    HeldRun start_held(const std::string &answers, const std::string &mark);
    // Ends a held run: sends the signal (when not 0), else types the key on
    // its terminal; waits for its end.
    RunResult finish_held(HeldRun held, int sig, char key = 'k');

    // The test's DEM folder name, as answered to the first question.
    const std::string &folder() const { return folder_; }
    // A file of the DEM folder as the tool names it in its messages.
    std::string shown(const std::string &file) const;
    // A file of the DEM folder on disk.
    std::string path(const std::string &file) const;

    void put(const std::string &file, const std::string &bytes);
    void put_m2(const std::string &file, const std::vector<int> &values);
    void put_m4(const std::string &file, const std::vector<int> &values);
    bool exists(const std::string &file) const;
    // The bytes of a file; text files (.txt) with CR LF folded to LF.
    std::string contents(const std::string &file) const;
    // Files of the DEM folder, sorted.
    std::vector<std::string> files() const;

    static std::string m2_bytes(const std::vector<int> &values);
    static std::string m4_bytes(const std::vector<int> &values);

  private:
    std::string work_;   // temporary working folder of the run
    std::string images_; // base directory on disk
    std::string base_;   // base directory as printed
    std::string folder_;
    std::string tool_;
    bool tool_overridden_ = false;
    int held_runs_ = 0;
};

#endif
