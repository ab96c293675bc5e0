// What every companion program's command line has in common, on CLI11:
// --help (the usage line first, then what the program does, the options in
// their groups, and the notes), --version (the project's version), a usage
// error answered with the parser's message, a hint and exit status 2;
// height units given by code or by name; whole and real numbers read as the
// interactive tool reads them; messages naming the file that cannot be used
// (exit status 1); JSON text written with nlohmann-json (json_text), which
// the programs put in place through their output set (output_set.h).
//
// Exit status of every companion program: 0 done, 1 an input or output
// could not be used (said once on standard error), 2 a bad command line.
#ifndef CLI_SUPPORT_H
#define CLI_SUPPORT_H

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

const int EXIT_DONE = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

// The project's version, "2.0.0".
const char *project_version();

// Sets the program's name, description and --version; --help is CLI11's.
// Option groups given later put the help in order; the footer (app.footer)
// ends it.
void setup_command_line(CLI::App &app, const std::string &program, const std::string &description);

// Replaces the usage line CLI11 derives ("Usage: program [OPTIONS] ...") by
// the given lines, for a program whose operands depend on its options. A
// subcommand gets its own.
void set_usage(CLI::App &app, const std::string &usage);

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

// An option taking the value type of a DEM pair: m2 (unsigned 16-bit) or
// m4 (signed 32-bit), or their codes 0 and 1 as in the tool's dialogue;
// stored as DEM_M2 or DEM_M4 in *itype.
CLI::Option *add_type_option(CLI::App &app, const std::string &flags, int *itype, const std::string &help);

// An option taking a whole number from lo to hi, the whole word as the
// tool's dialogue reads it (decimal, no trailing characters): "--zoom: '0'
// is not a whole number from 1 to 64" otherwise.
CLI::Option *add_whole_option(CLI::App &app, const std::string &flags, int *value, int lo, int hi,
                              const std::string &help);

// An option taking a finite real from lo to hi (lo itself excluded when
// above_lo), converted as the tool's dialogue converts it (strtod's nearest
// double): "--pixel: '0' is not <what>" otherwise, what being for example
// "a length in metres above 0".
CLI::Option *add_real_option(CLI::App &app, const std::string &flags, double *value, double lo, double hi,
                             bool above_lo, const std::string &what, const std::string &help);

// An option taking one of the words, stored as its index in *choice:
// "--map: 'slope' is not one of heights, differences" otherwise.
CLI::Option *add_choice_option(CLI::App &app, const std::string &flags, int *choice,
                               const std::vector<std::string> &words, const std::string &help);

// A repeatable option taking GeoTIFF creation options, each NAME=VALUE
// ("--co: a creation option is NAME=VALUE" otherwise).
CLI::Option *add_creation_option(CLI::App &app, const std::string &flags, std::vector<std::string> *options,
                                 const std::string &help);

// "program: what" and "Try 'program --help'." on standard error, for a
// command line that parses but cannot be run; returns EXIT_USAGE.
int usage_error(const std::string &program, const std::string &what);

// "program: file: what" on standard error; returns EXIT_FAILED.
int input_error(const std::string &program, const std::string &file, const std::string &what);

// "program: what" on standard error; returns EXIT_FAILED.
int run_error(const std::string &program, const std::string &what);

// "program: warning: what" on standard error.
void warning(const std::string &program, const std::string &what);

// Runs the program's work and catches what escapes it, so that no input
// ends a run in an abort: memory that cannot be had ("not enough memory")
// and any other exception ("internal error: ...") are said once and give
// EXIT_FAILED, after the work's own objects have released what they held
// (an output set removes what it staged).
int run_guarded(const std::string &program, const std::function<int()> &work);

// Ends a run: flushes standard output (a report that cannot be written is a
// failure, said once) and removes the temporaries a failed run left.
// Returns the exit status.
int finish_run(const std::string &program, int status);

// Text that is valid UTF-8: every byte that does not belong to a valid
// sequence replaced by U+FFFD. *changed (when given) tells whether any was.
std::string valid_utf8(const std::string &text, bool *changed = nullptr);

// The JSON document as the programs write it: indented, a final newline,
// any text that is not valid UTF-8 (a file name in another encoding) with
// its invalid bytes replaced by U+FFFD instead of failing.
std::string json_text(const nlohmann::json &document);

// A double for a JSON document: the number (written so that it reads back
// to the same double), or null when it is not finite (JSON has no NaN).
nlohmann::json json_number(double value);

#endif
