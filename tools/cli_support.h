// What every companion program's command line has in common, on CLI11:
// --help, --version (the project's version), a usage error answered with the
// parser's message, a hint and exit status 2; height units given by code or
// by name; messages naming the file that cannot be used (exit status 1);
// JSON files written with nlohmann-json through a temporary file.
//
// Exit status of every companion program: 0 done, 1 an input or output
// could not be used (said once on standard error), 2 a bad command line.
#ifndef CLI_SUPPORT_H
#define CLI_SUPPORT_H

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <string>

const int EXIT_DONE = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

// The project's version, "2.0.0".
const char *project_version();

// Sets the program's name, description and --version; --help is CLI11's.
// Option groups given later put the help in order.
void setup_command_line(CLI::App &app, const std::string &program, const std::string &description);

// Parses the command line. Returns -1 when the run goes on, otherwise the
// exit status: 0 after --help or --version (printed on standard output),
// EXIT_USAGE after a usage error (the parser's message and "Try 'program
// --help'." on standard error).
int parse_command_line(CLI::App &app, int argc, char **argv);

// An option taking a height unit by short name or code ("cm" or "2") up to
// max_code (UNITS_IN - 1 for DEMs, UNITS_OUT - 1 for results), stored as
// its code in *unit.
CLI::Option *add_unit_option(CLI::App &app, const std::string &flags, int *unit, int max_code,
                             const std::string &help);

// "program: file: what" on standard error; returns EXIT_FAILED.
int input_error(const std::string &program, const std::string &file, const std::string &what);

// "program: what" on standard error; returns EXIT_FAILED.
int run_error(const std::string &program, const std::string &what);

// Writes the JSON document, indented, with a final newline, through a
// temporary file beside path that replaces path only once complete. False,
// with the reason in *error, when it cannot.
bool write_json_file(const std::string &path, const nlohmann::json &document, std::string *error);

#endif
