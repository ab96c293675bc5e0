// The C++ side of the Python package skarnovelt: the programs dem_change
// and dem_coreg run on a command line built from Python's arguments, in
// this process, with the interpreter's lock released during the work. What
// a program prints goes to files read back, so that the package can return
// the table and raise an exception with the program's own message.
#include "dem_change_program.h"
#include "dem_coreg_program.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace py = pybind11;

namespace {

// One program at a time: the standard streams are the process's.
std::mutex program_lock;

// A standard stream (1 or 2) sent into an unnamed temporary file while it
// lives, and read back.
struct Captured {
    int fd, saved;
    FILE *file;
    explicit Captured(int which) : fd(which)
    {
        std::fflush(which == 1 ? stdout : stderr);
        file = std::tmpfile();
        saved = dup(fd);
        if (file != nullptr && saved >= 0)
            dup2(fileno(file), fd);
    }
    std::string finish()
    {
        std::fflush(fd == 1 ? stdout : stderr);
        std::string text;
        if (saved >= 0) {
            dup2(saved, fd);
            close(saved);
            saved = -1;
        }
        if (file != nullptr) {
            std::rewind(file);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                text.append(buffer, n);
            std::fclose(file);
            file = nullptr;
        }
        return text;
    }
    ~Captured() { finish(); }
};

// Runs program (dem_change_program or dem_coreg_program) on args (the
// program's name first): its status, standard output and standard error.
std::tuple<int, std::string, std::string> run(int (*program)(int, char **), const std::vector<std::string> &args)
{
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> one(program_lock);
    std::vector<std::string> copies = args;
    std::vector<char *> argv;
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    Captured out(1), err(2);
    const int status = program(static_cast<int>(copies.size()), argv.data());
    std::string out_text = out.finish(), err_text = err.finish();
    return {status, out_text, err_text};
}

} // namespace

PYBIND11_MODULE(_skarnovelt, m)
{
    m.doc() = "The programs of skarnovelt run in this process (the package skarnovelt wraps them).";
    m.def(
        "run_dem_change", [](const std::vector<std::string> &args) { return run(dem_change_program, args); },
        py::arg("args"),
        "Runs dem_change on a command line (args[0] its name): (status, standard output, standard error).");
    m.def(
        "run_dem_coreg", [](const std::vector<std::string> &args) { return run(dem_coreg_program, args); },
        py::arg("args"),
        "Runs dem_coreg on a command line (args[0] its name): (status, standard output, standard error).");
}
