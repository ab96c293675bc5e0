// What the benchmark driver needs to measure whole runs of the tool: a child
// process fed a scripted dialogue and measured with wait4, the moments its
// console output shows the end of each stage, the I/O floor of a run, and
// the figures derived from them.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <string>
#include <vector>

// Peak resident memory a whole run may use: 34 bytes per cell (the four int
// and two double frame matrices take 32, a 2-byte staging matrix 2 more)
// plus a fixed allowance, by default 64 MiB, for the program, its libraries
// and the row tables.
const unsigned long long MEMORY_BYTES_PER_CELL = 34;
const unsigned long long MEMORY_ALLOWANCE_MIB = 64;
unsigned long long memory_limit(long long cells, unsigned long long allowance_mib);

// The median of the values: the middle one, or the mean of the two middle
// ones for an even count; NaN when there are none.
double median(std::vector<double> values);

// What one run of the tool is asked: the folder under images/, the first DEM
// (an _m2 raster in decimetres), the second (an _m4 raster in millimetres),
// the name and value type of the results (in millimetres) and the treatment.
struct RunAnswers {
    std::string folder, first, second, results;
    int results_type; // DEM_M2 or DEM_M4
    int treatment;    // TREAT_ABSOLUTE, TREAT_NEGATIVE or TREAT_POSITIVE
};
// The whole dialogue, one answer per line, the pixel size 1 m, and the key
// for the pause before the results are written.
std::string dialogue_answers(const RunAnswers &a);

// The ends of the first three stages, as the tool's console shows them: the
// range of the first DEM appears once both rasters are loaded, the question
// of the pixel size once both DEMs are converted to metres, the volumes once
// the differences are computed. The fourth stage, writing the results, ends
// with the process.
const int STAGE_MARKS = 3;
extern const char *const STAGE_MARK[STAGE_MARKS];
// Sets mark_time[k] to t for each mark k the output holds that has no time
// yet (a negative one).
void note_stage_marks(const std::string &output, double t, double mark_time[STAGE_MARKS]);

// Stages of a run, in order.
const int STAGES = 4;
extern const char *const STAGE_NAME[STAGES]; // "load", "convert", "differences", "write"
// Seconds spent in each stage of a run that lasted `wall` seconds and showed
// its marks at mark_time (seconds from its start). False, with NaN stages,
// when a mark is missing or out of order.
bool stage_seconds(const double mark_time[STAGE_MARKS], double wall, double stage[STAGES]);

// A finished child process.
struct ChildRun {
    int status;                    // exit status; -1 when it did not exit normally or could not be started
    double wall, user, sys;        // seconds: elapsed from the start to the end of wait4, user and system CPU
    long long peak_rss;            // peak resident memory, bytes (ru_maxrss)
    double mark_time[STAGE_MARKS]; // seconds from the start to each stage mark in the output, -1 when absent
    std::string output;            // standard output and standard error, interleaved
};
// Runs program (a path, made absolute before the folder changes) with args in
// the folder dir, with input as its standard input. input must fit a pipe's
// atomic write (PIPE_BUF bytes), so that it is handed over before the child
// reads and never blocks the driver.
ChildRun run_child(const std::string &program, const std::vector<std::string> &args, const std::string &dir,
                   const std::string &input);

// A file the I/O floor writes and how many bytes it holds.
struct FloorFile {
    std::string path;
    long long size;
};
// The I/O floor of a run: reads each input to its end with fread in 4 MiB
// blocks, then writes each output the way the tool writes its results: to a
// temporary beside it, in blocks, each put on disk with flush_to_disk, then
// moved onto its name. *seconds is the elapsed time. False, with *error set
// and no temporary left behind, when a file cannot be read or written.
bool io_floor(const std::vector<std::string> &inputs, const std::vector<FloorFile> &outputs, double *seconds,
              std::string *error);

// A microbenchmark and its nanoseconds per cell.
struct CellRate {
    std::string name;
    double ns_per_cell;
};
// The rows of Google Benchmark's CSV output (the lines before its header
// are skipped) that report items per second, an item being a cell; rows
// with an error or no rate are left out.
std::vector<CellRate> parse_benchmark_csv(const std::string &text);

#endif
