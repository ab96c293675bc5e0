// run_bench: the benchmark of whole runs behind `make bench`.
//
// For each frame size it generates a DEM pair with demgen (the first _m2 in
// decimetres, the second _m4 in millimetres), runs the tool on it from a
// scripted dialogue several times and measures each run: wall time, user and
// system time, peak resident memory and the time of each stage. On the same
// files it measures the I/O floor of a run: reading both inputs and writing
// four files of the sizes of the results, put on disk as the tool does. It
// then runs the microbenchmarks of the per-cell stages, prints Markdown
// tables and writes the figures as CSV.
//
// The exit status is 1 when a run fails or when the peak memory of any run
// exceeds 34 bytes per cell plus the allowance; 2 for a bad command line.
#include "bench_support.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"
#include "tool_support.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const PROGRAM = "run_bench";

// Names in each frame's folder images/f<side>/.
const char *const FIRST = "first";
const char *const SECOND = "second";
const char *const RESULTS = "diff";
const char *const FLOOR = "floor";

const char *const TREATMENT_NAME[3] = {"absolute", "negative", "positive"};

struct Options {
    std::string tool, demgen, stages, work, out;
    std::vector<int> sizes = {1000, 4000, 10000};
    int repeat = 3;
    int variants_size = 4000; // frame of the runs of the other result type and treatments; 0 none
    unsigned long long allowance_mib = MEMORY_ALLOWANCE_MIB;
    bool keep_data = false;
};

void print_usage()
{
    std::printf(
        "Usage: run_bench --tool PATH --demgen PATH --work DIR --out DIR [options]\n"
        "\n"
        "Generates DEM pairs of the given sizes, runs the tool on each from a scripted\n"
        "dialogue, measures the runs against the I/O floor of the same files, runs the\n"
        "microbenchmarks, prints Markdown tables and writes CSV files into --out.\n"
        "\n"
        "  --tool PATH            the tool (a Release build)\n"
        "  --demgen PATH          the DEM pair generator\n"
        "  --stages PATH          the microbenchmarks of the stages (none: skipped)\n"
        "  --work DIR             folder for the generated DEMs and the results\n"
        "  --out DIR              folder for the CSV files\n"
        "  --sizes N,N,...        sides of the square frames, from 20 up (default\n"
        "                         1000,4000,10000)\n"
        "  --repeat N             runs of each frame, and of its I/O floor (default 3)\n"
        "  --variants-size N      one of the sizes: one run of _m2 results and of the\n"
        "                         negative and positive treatments there (default 4000,\n"
        "                         0 for none)\n"
        "  --memory-allowance-mib N\n"
        "                         peak memory a run may use beyond 34 bytes per cell\n"
        "                         (default 64)\n"
        "  --keep-data            keep the generated DEMs and the results\n"
        "\n"
        "Exit status: 0 when every run succeeded within the memory limit, 1 otherwise,\n"
        "2 for a bad command line.\n");
}

bool parse_sizes(const std::string &text, std::vector<int> *sizes, std::string *error)
{
    sizes->clear();
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        int side;
        if (!parse_int("--sizes", item, 20, 46340, &side, error))
            return false;
        sizes->push_back(side);
    }
    if (sizes->empty()) {
        *error = "--sizes needs at least one size";
        return false;
    }
    return true;
}

// Returns 1 after --help, 0 when *o is ready, -1 with *error set otherwise.
int parse_options(int argc, char **argv, Options *o, std::string *error)
{
    for (int k = 1; k < argc; k++) {
        const std::string arg = argv[k];
        std::string value;
        if (arg == "--help" || arg == "-h") {
            print_usage();
            return 1;
        }
        if (arg == "--keep-data") {
            o->keep_data = true;
            continue;
        }
        if (!take_value(argc, argv, &k, &value, error))
            return -1;
        bool ok = true;
        if (arg == "--tool")
            o->tool = value;
        else if (arg == "--demgen")
            o->demgen = value;
        else if (arg == "--stages")
            o->stages = value;
        else if (arg == "--work")
            o->work = value;
        else if (arg == "--out")
            o->out = value;
        else if (arg == "--sizes")
            ok = parse_sizes(value, &o->sizes, error);
        else if (arg == "--repeat")
            ok = parse_int(arg, value, 1, 100, &o->repeat, error);
        else if (arg == "--variants-size")
            ok = parse_int(arg, value, 0, 46340, &o->variants_size, error);
        else if (arg == "--memory-allowance-mib") {
            int mib = 0;
            ok = parse_int(arg, value, 0, 1 << 20, &mib, error);
            o->allowance_mib = static_cast<unsigned long long>(mib);
        }
        else {
            *error = "unknown option " + arg;
            return -1;
        }
        if (!ok)
            return -1;
    }
    if (o->tool.empty() || o->demgen.empty() || o->work.empty() || o->out.empty()) {
        *error = "--tool, --demgen, --work and --out are needed";
        return -1;
    }
    if (o->variants_size != 0) {
        bool listed = false;
        for (int side : o->sizes)
            listed = listed || side == o->variants_size;
        if (!listed) {
            *error = "--variants-size " + std::to_string(o->variants_size) + " is not one of the sizes";
            return -1;
        }
    }
    return 0;
}

// One configuration of runs and what was measured.
struct Measure {
    int side;
    int results_type;
    int treatment;
    std::vector<ChildRun> runs;  // output dropped once checked
    std::vector<double> floor_s; // one I/O floor per run
};

long long cells_of(const Measure &m) { return static_cast<long long>(m.side) * m.side; }

std::string frame_name(int side) { return std::to_string(side) + " x " + std::to_string(side); }

std::string describe(const Measure &m)
{
    return frame_name(m.side) + ", " + type_name(m.results_type) + " results, " + TREATMENT_NAME[m.treatment];
}

std::string folder_of(const Options &o, int side)
{
    return o.work + "/images/f" + std::to_string(side);
}

// Removes the files a frame's measures leave in its folder, then the folder
// when nothing else is in it.
void remove_frame_files(const Options &o, int side)
{
    const std::string dir = folder_of(o, side) + "/";
    for (int itype : {DEM_M2, DEM_M4}) {
        for (const char *name : {FIRST, SECOND}) {
            std::remove((dir + name + raster_suffix(PAIR_INPUT, itype)).c_str());
            std::remove((dir + name + descr_suffix(PAIR_INPUT, itype)).c_str());
        }
        for (const char *name : {RESULTS, FLOOR})
            for (int pair : {PAIR_2D, PAIR_3D}) {
                std::remove((dir + name + raster_suffix(pair, itype)).c_str());
                std::remove((dir + name + descr_suffix(pair, itype)).c_str());
            }
    }
    std::error_code ec;
    fs::remove(dir, ec);
}

// The last lines of a child's output, for a failure message.
std::string tail(const std::string &output)
{
    const size_t keep = 1500;
    return output.size() <= keep ? output : "..." + output.substr(output.size() - keep);
}

bool generate_pair(const Options &o, int side, std::string *error)
{
    const std::string n = std::to_string(side);
    const std::vector<std::string> args = {
        "--scenario", "landslide", "--lines", n, "--columns", n, "--out-dir", "images/f" + n, "--pixel-size", "1",
        "--first", FIRST, "--first-type", std::to_string(DEM_M2), "--first-unit", "1",
        "--second", SECOND, "--second-type", std::to_string(DEM_M4), "--second-unit", "3"};
    const ChildRun gen = run_child(o.demgen, args, o.work, "");
    if (gen.status != 0) {
        *error = "demgen failed (status " + std::to_string(gen.status) + "):\n" + tail(gen.output);
        return false;
    }
    // The generator's files go to disk now, not during the first timed run.
    sync();
    return true;
}

// Runs the tool once on the frame's pair and checks that it wrote both
// result rasters in full.
bool run_tool(const Options &o, Measure *m, std::string *error)
{
    const std::string folder = "f" + std::to_string(m->side);
    const RunAnswers answers = {folder, FIRST, SECOND, RESULTS, m->results_type, m->treatment};
    ChildRun run = run_child(o.tool, {}, o.work, dialogue_answers(answers));
    if (run.status != 0 || run.mark_time[STAGE_MARKS - 1] < 0) {
        *error = "the tool failed on " + describe(*m) + " (status " + std::to_string(run.status) + "):\n" +
                 tail(run.output);
        return false;
    }
    const long long expected = cells_of(*m) * bytes_per_value(m->results_type);
    for (int pair : {PAIR_2D, PAIR_3D}) {
        const std::string raster = folder_of(o, m->side) + "/" + RESULTS + raster_suffix(pair, m->results_type);
        std::error_code ec;
        const auto size = fs::file_size(raster, ec);
        if (ec || static_cast<long long>(size) != expected) {
            *error = "the tool did not write " + raster + " in full (" + std::to_string(expected) + " bytes expected)";
            return false;
        }
    }
    run.output.clear();
    m->runs.push_back(run);
    return true;
}

// The I/O floor of a run of the frame: both inputs read, four files of the
// sizes of the tool's results written beside them.
bool measure_floor(const Options &o, Measure *m, std::string *error)
{
    const std::string dir = folder_of(o, m->side) + "/";
    const std::vector<std::string> inputs = {dir + FIRST + raster_suffix(PAIR_INPUT, DEM_M2),
                                             dir + SECOND + raster_suffix(PAIR_INPUT, DEM_M4)};
    std::vector<FloorFile> outputs;
    for (int pair : {PAIR_2D, PAIR_3D})
        for (bool raster : {true, false}) {
            const char *suffix = raster ? raster_suffix(pair, m->results_type) : descr_suffix(pair, m->results_type);
            std::error_code ec;
            const auto size = fs::file_size(dir + RESULTS + suffix, ec);
            if (ec) {
                *error = "cannot tell the size of " + dir + RESULTS + suffix + ": " + ec.message();
                return false;
            }
            outputs.push_back({dir + FLOOR + suffix, static_cast<long long>(size)});
        }
    // The files stay until the frame is done, so that the next floor
    // replaces them as the next run of the tool replaces its results.
    double seconds = 0;
    if (!io_floor(inputs, outputs, &seconds, error))
        return false;
    m->floor_s.push_back(seconds);
    return true;
}

// The medians of a configuration's runs.
struct Summary {
    double wall, user, sys, peak, floor;
    double stage[STAGES];
};

Summary summarise(const Measure &m)
{
    std::vector<double> wall, user, sys, peak, stage[STAGES];
    for (const ChildRun &r : m.runs) {
        wall.push_back(r.wall);
        user.push_back(r.user);
        sys.push_back(r.sys);
        peak.push_back(static_cast<double>(r.peak_rss));
        double s[STAGES];
        stage_seconds(r.mark_time, r.wall, s);
        for (int k = 0; k < STAGES; k++)
            stage[k].push_back(s[k]);
    }
    Summary s = {median(wall), median(user), median(sys), median(peak), median(m.floor_s), {}};
    for (int k = 0; k < STAGES; k++)
        s.stage[k] = median(stage[k]);
    return s;
}

std::string machine_description()
{
    std::string cpu = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.compare(0, 10, "model name") == 0 && line.find(':') != std::string::npos) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    const double gib = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE)) /
                       (1024.0 * 1024.0 * 1024.0);
    struct utsname u;
    const std::string kernel = uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "unknown kernel";
    char text[512];
    std::snprintf(text, sizeof text, "%s, %ld CPUs online, %.1f GiB of memory, %s, compiler %s", cpu.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), gib, kernel.c_str(), __VERSION__);
    return text;
}

const double MIB = 1024.0 * 1024.0;

void print_tables(FILE *f, const Options &o, const std::vector<Measure> &measures, const std::vector<CellRate> &rates)
{
    std::fprintf(f, "\nMachine: %s. Input files warm in the page cache; results and I/O floor files put on disk "
                "(fsync) before they are renamed.\n",
                machine_description().c_str());
    std::fprintf(f, "\n### Whole runs (median of the runs)\n\n");
    std::fprintf(f, "| Frame | Results | Treatment | Runs | Wall s | User s | Sys s | Peak RSS MiB | ns/cell | "
                "Peak B/cell | Limit MiB | I/O floor s | Wall / floor |\n");
    std::fprintf(f, "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const Measure &m : measures) {
        const Summary s = summarise(m);
        const double cells = static_cast<double>(cells_of(m));
        const double limit = static_cast<double>(memory_limit(cells_of(m), o.allowance_mib));
        std::fprintf(f, "| %s | %s | %s | %zu | %.3f | %.3f | %.3f | %.1f | %.1f | %.2f | %.1f | %.3f | %.2f |\n",
                     frame_name(m.side).c_str(), type_name(m.results_type), TREATMENT_NAME[m.treatment],
                     m.runs.size(), s.wall, s.user, s.sys, s.peak / MIB, s.wall * 1e9 / cells, s.peak / cells,
                     limit / MIB, s.floor, s.wall / s.floor);
    }
    std::fprintf(f, "\n### Stages of the runs (median seconds, from the moments the console shows their ends)\n\n"
                    "| Frame | Results | Treatment | Start and loading | Conversion | Differences | "
                    "Writing and fsync |\n");
    std::fprintf(f, "|---|---|---|--:|--:|--:|--:|\n");
    for (const Measure &m : measures) {
        const Summary s = summarise(m);
        std::fprintf(f, "| %s | %s | %s | %.3f | %.3f | %.3f | %.3f |\n", frame_name(m.side).c_str(),
                     type_name(m.results_type), TREATMENT_NAME[m.treatment], s.stage[0], s.stage[1], s.stage[2],
                     s.stage[3]);
    }
    if (!rates.empty()) {
        std::fprintf(f, "\n### Microbenchmarks of the stages\n\n| Benchmark | ns/cell |\n|---|--:|\n");
        for (const CellRate &r : rates)
            std::fprintf(f, "| %s | %.2f |\n", r.name.c_str(), r.ns_per_cell);
    }
}

bool write_csv(const Options &o, const std::vector<Measure> &measures, const std::vector<CellRate> &rates,
               std::string *error)
{
    const std::string runs_path = o.out + "/runs.csv", summary_path = o.out + "/summary.csv",
                      micro_path = o.out + "/microbench.csv";
    FILE *runs = std::fopen(runs_path.c_str(), "w");
    FILE *summary = std::fopen(summary_path.c_str(), "w");
    FILE *micro = std::fopen(micro_path.c_str(), "w");
    bool ok = runs != nullptr && summary != nullptr && micro != nullptr;
    if (ok) {
        std::fprintf(runs, "lines,columns,cells,results,treatment,run,wall_s,user_s,sys_s,peak_rss_bytes,"
                           "load_s,convert_s,differences_s,write_s,floor_s\n");
        std::fprintf(summary, "lines,columns,cells,results,treatment,runs,wall_s,user_s,sys_s,peak_rss_bytes,"
                              "ns_per_cell,bytes_per_cell,memory_limit_bytes,load_s,convert_s,differences_s,"
                              "write_s,floor_s,wall_over_floor\n");
        for (const Measure &m : measures) {
            const long long cells = cells_of(m);
            for (size_t k = 0; k < m.runs.size(); k++) {
                const ChildRun &r = m.runs[k];
                double s[STAGES];
                stage_seconds(r.mark_time, r.wall, s);
                const double floor_s = k < m.floor_s.size() ? m.floor_s[k] : NAN;
                std::fprintf(runs, "%d,%d,%lld,%s,%s,%zu,%.6f,%.6f,%.6f,%lld,%.6f,%.6f,%.6f,%.6f,%.6f\n", m.side,
                             m.side, cells, type_name(m.results_type), TREATMENT_NAME[m.treatment], k + 1, r.wall,
                             r.user, r.sys, r.peak_rss, s[0], s[1], s[2], s[3], floor_s);
            }
            const Summary s = summarise(m);
            const double per_cell = 1.0 / static_cast<double>(cells);
            std::fprintf(summary,
                         "%d,%d,%lld,%s,%s,%zu,%.6f,%.6f,%.6f,%.0f,%.3f,%.3f,%llu,%.6f,%.6f,%.6f,%.6f,%.6f,%.4f\n",
                         m.side, m.side, cells, type_name(m.results_type), TREATMENT_NAME[m.treatment], m.runs.size(),
                         s.wall, s.user, s.sys, s.peak, s.wall * 1e9 * per_cell, s.peak * per_cell,
                         memory_limit(cells, o.allowance_mib), s.stage[0], s.stage[1], s.stage[2], s.stage[3],
                         s.floor, s.wall / s.floor);
        }
        std::fprintf(micro, "name,ns_per_cell\n");
        for (const CellRate &r : rates)
            std::fprintf(micro, "\"%s\",%.4f\n", r.name.c_str(), r.ns_per_cell);
    }
    for (FILE *f : {runs, summary, micro})
        if (f != nullptr) {
            const bool failed = std::ferror(f) != 0;
            if (std::fclose(f) != 0 || failed)
                ok = false;
        }
    if (!ok)
        *error = "cannot write the CSV files in " + o.out;
    return ok;
}

// Runs the microbenchmarks, their CSV output kept beside the driver's.
bool run_microbenchmarks(const Options &o, std::vector<CellRate> *rates, std::string *error)
{
    const std::string raw = fs::absolute(o.out + "/microbench_raw.csv").string();
    std::fprintf(stderr, "%s: microbenchmarks of the stages\n", PROGRAM);
    const ChildRun run =
        run_child(o.stages, {"--benchmark_out=" + raw, "--benchmark_out_format=csv"}, o.out, "");
    if (run.status != 0) {
        *error = "the microbenchmarks failed (status " + std::to_string(run.status) + "):\n" + tail(run.output);
        return false;
    }
    std::ifstream f(raw);
    std::stringstream text;
    text << f.rdbuf();
    *rates = parse_benchmark_csv(text.str());
    if (rates->empty()) {
        *error = "no rate per cell in " + raw;
        return false;
    }
    return true;
}

// The configurations of a frame: the reference runs, and at the variants'
// size one run of each other result type and treatment.
std::vector<Measure> configurations(const Options &o, int side)
{
    std::vector<Measure> list = {{side, DEM_M4, TREAT_ABSOLUTE, {}, {}}};
    if (side == o.variants_size) {
        list.push_back({side, DEM_M2, TREAT_ABSOLUTE, {}, {}});
        list.push_back({side, DEM_M4, TREAT_NEGATIVE, {}, {}});
        list.push_back({side, DEM_M4, TREAT_POSITIVE, {}, {}});
    }
    return list;
}

bool measure_all(const Options &o, std::vector<Measure> *measures, std::string *error)
{
    for (int side : o.sizes) {
        std::fprintf(stderr, "%s: %s: generating the DEM pair\n", PROGRAM, frame_name(side).c_str());
        fs::create_directories(folder_of(o, side));
        if (!generate_pair(o, side, error))
            return false;
        for (Measure &m : configurations(o, side)) {
            const bool reference = m.results_type == DEM_M4 && m.treatment == TREAT_ABSOLUTE;
            const int runs = reference ? o.repeat : 1;
            for (int k = 0; k < runs; k++) {
                if (!run_tool(o, &m, error))
                    return false;
                if (!measure_floor(o, &m, error))
                    return false;
                std::fprintf(stderr, "%s: %s: run %d of %d: %.3f s, I/O floor %.3f s\n", PROGRAM,
                             describe(m).c_str(), k + 1, runs, m.runs.back().wall, m.floor_s.back());
            }
            measures->push_back(m);
        }
        if (!o.keep_data)
            remove_frame_files(o, side);
    }
    return true;
}

// Says loudly which runs went beyond the memory limit. False when any did.
bool check_memory(const Options &o, const std::vector<Measure> &measures)
{
    bool within = true;
    for (const Measure &m : measures) {
        const unsigned long long limit = memory_limit(cells_of(m), o.allowance_mib);
        for (size_t k = 0; k < m.runs.size(); k++)
            if (static_cast<unsigned long long>(m.runs[k].peak_rss) > limit) {
                std::fprintf(stderr,
                             "%s: MEMORY LIMIT EXCEEDED: %s, run %zu: peak resident memory %.1f MiB, limit %.1f MiB "
                             "(%llu bytes per cell + %llu MiB)\n",
                             PROGRAM, describe(m).c_str(), k + 1, static_cast<double>(m.runs[k].peak_rss) / MIB,
                             static_cast<double>(limit) / MIB, MEMORY_BYTES_PER_CELL, o.allowance_mib);
                within = false;
            }
    }
    return within;
}

} // namespace

int main(int argc, char **argv)
{
    // Temporary files of the I/O floor are removed on Ctrl-C, as the tool's.
    host_start();
    Options o;
    std::string error;
    const int parsed = parse_options(argc, argv, &o, &error);
    if (parsed > 0)
        return 0;
    if (parsed < 0) {
        report_error(PROGRAM, error, true);
        return 2;
    }
    std::error_code ec;
    fs::create_directories(o.work, ec);
    if (!ec)
        fs::create_directories(o.out, ec);
    if (ec) {
        report_error(PROGRAM, "cannot create " + o.work + " and " + o.out + ": " + ec.message(), false);
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<Measure> measures;
    std::vector<CellRate> rates;
    bool ok = measure_all(o, &measures, &error);
    if (ok && !o.stages.empty())
        ok = run_microbenchmarks(o, &rates, &error);
    if (!ok) {
        report_error(PROGRAM, error, false);
        std::fprintf(stderr, "%s: the generated files are left in %s\n", PROGRAM, o.work.c_str());
        return 1;
    }
    if (!o.keep_data) {
        // Only when empty: the work folder may hold other files.
        fs::remove(o.work + "/images", ec);
        fs::remove(o.work, ec);
    }

    print_tables(stdout, o, measures, rates);
    const std::string tables = o.out + "/tables.md";
    FILE *md = std::fopen(tables.c_str(), "w");
    bool written = md != nullptr;
    if (written) {
        print_tables(md, o, measures, rates);
        written = !std::ferror(md) && std::fclose(md) == 0;
    }
    if (!written)
        error = "cannot write " + tables;
    if (!written || !write_csv(o, measures, rates, &error)) {
        report_error(PROGRAM, error, false);
        return 1;
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\nTables and CSV files in %s; the benchmark took %.0f s.\n", o.out.c_str(), total);
    std::fflush(stdout);
    if (!check_memory(o, measures)) {
        std::fprintf(stderr, "%s: FAILED: peak memory above %llu bytes per cell + %llu MiB\n", PROGRAM,
                     MEMORY_BYTES_PER_CELL, o.allowance_mib);
        return 1;
    }
    std::printf("Every run stayed within %llu bytes per cell + %llu MiB of peak memory.\n", MEMORY_BYTES_PER_CELL,
                o.allowance_mib);
    return 0;
}
