// bench_change: whole runs of dem_change on float32 GeoTIFF pairs against
// the GDAL floor measured in the same run, and gdal_calc.py's plain
// difference on the same files when it can run.
//
//   bench_change --dem-change PATH [--dem-coreg PATH] --work DIR [--out DIR] [--sizes 4000x4000,10000x10000]
//                [--runs N] [--threads N] [--keep-data] [--no-compression-study]
//   bench_change --floor BEFORE AFTER OUT THREADS   (the floor, run as a child)
//
// For each size (lines x columns) it writes two surveys of a synthetic
// terrain (a landslide between them, centimetre noise) as tiled float32
// GeoTIFFs with DEFLATE and the floating-point predictor, then measures with
// wait4, N times each and in turn:
//   - dem_change BEFORE AFTER OUT --threads T;
//   - the floor: both inputs read by the same blocks of lines as
//     dem_change reads them, and two float32 GeoTIFFs of their plain
//     difference written with the same creation options and compression
//     threads through the same writer, in a child process of its own;
//   - gdal_calc.py -A BEFORE -B AFTER --calc="B.astype(float64)-A" (float32
//     output with dem_change's default creation options), when it runs;
//   - dem_coreg BEFORE AFTER (the fit and the aligned AFTER), when given.
// Prints a Markdown table of the medians (wall, wall per cell, user, system
// seconds, peak resident MiB, ratio to the floor), dem_change's wall time
// over gdal_calc.py's, and a study of the compressions dem_change can write
// (on the first size: run time, read-back time, size), and writes it to
// OUT/change.md. Fails
// (status 1, MEMORY LIMIT EXCEEDED) when dem_change's peak resident memory
// exceeds 128 MiB.
#include "bench_support.h"
#include "change_pass.h"
#include "output_set.h"
#include "raster_output.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Peak resident memory dem_change may use, whatever the size of the grid.
const double MEMORY_LIMIT_MIB = 128;

// A deterministic centimetre of noise per cell.
double noise(long long i, long long j, unsigned salt)
{
    unsigned long long h = static_cast<unsigned long long>(i) * 0x9E3779B97F4A7C15ULL ^
                           static_cast<unsigned long long>(j) * 0xC2B2AE3D27D4EB4FULL ^ salt;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    return static_cast<double>(h % 201) / 10000.0 - 0.01;
}

// Heights of a survey: hills of a few hundred metres; the later one has a
// scar 20 m deep and a deposit 12 m thick downslope.
double height(long long i, long long j, long long lines, long long columns, bool later)
{
    double h = 400 + 120 * std::sin(j / 350.0) * std::cos(i / 270.0) + 0.01 * (i + j);
    if (later) {
        const double ci = lines * 0.4, cj = columns * 0.5, r = 0.08 * static_cast<double>(std::min(lines, columns));
        const double ds = std::hypot(i - ci, j - cj) / r;
        const double dd = std::hypot(i - ci - 1.5 * r, j - cj) / r;
        if (ds < 1)
            h -= 20 * (1 - ds * ds);
        if (dd < 1)
            h += 12 * (1 - dd * dd);
    }
    return std::round((h + noise(i, j, later ? 2 : 1)) * 100) / 100;
}

bool write_survey(const std::string &path, int lines, int columns, bool later)
{
    char **options = nullptr;
    options = CSLSetNameValue(options, "TILED", "YES");
    options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
    options = CSLSetNameValue(options, "PREDICTOR", "3");
    options = CSLSetNameValue(options, "BIGTIFF", "IF_SAFER");
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), columns, lines, 1, GDT_Float32, options);
    CSLDestroy(options);
    if (ds == nullptr)
        return false;
    double gt[6] = {500000, 1, 0, 4600000 + static_cast<double>(lines), 0, -1};
    GDALSetGeoTransform(ds, gt);
    GDALSetProjection(ds, "EPSG:32633");
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALSetRasterNoDataValue(band, -9999);
    std::vector<float> block(static_cast<size_t>(columns) * 256);
    bool ok = true;
    for (int first = 0; first < lines && ok; first += 256) {
        const int count = std::min(256, lines - first);
        for (int k = 0; k < count; k++)
            for (int j = 0; j < columns; j++)
                block[static_cast<size_t>(k) * columns + j] =
                    static_cast<float>(height(first + k, j, lines, columns, later));
        ok = GDALRasterIO(band, GF_Write, 0, first, columns, count, block.data(), columns, count, GDT_Float32, 0, 0) ==
             CE_None;
    }
    GDALClose(ds);
    return ok;
}

// The floor, in a process of its own: what dem_change cannot avoid doing.
int run_floor(const std::string &before, const std::string &after, const std::string &out, int threads)
{
    GDALAllRegister();
    CPLSetConfigOption("GDAL_NUM_THREADS", std::to_string(threads).c_str());
    GDALDatasetH in[2] = {GDALOpen(before.c_str(), GA_ReadOnly), GDALOpen(after.c_str(), GA_ReadOnly)};
    if (in[0] == nullptr || in[1] == nullptr)
        return 1;
    GridFacts grid;
    grid.nb_col = GDALGetRasterXSize(in[0]);
    grid.nb_lig = GDALGetRasterYSize(in[0]);
    grid.has_geotransform = GDALGetGeoTransform(in[0], grid.geotransform) == CE_None;
    grid.crs_wkt = GDALGetProjectionRef(in[0]);
    RasterOutput o2, o3;
    OutputSet set;
    std::string error, staged_2D, staged_3D;
    if (!begin_outputs(out, {before, after}, &set, &error) || !stage_output(&set, out + "_2D.tif", &staged_2D, &error) ||
        !stage_output(&set, out + "_3D.tif", &staged_3D, &error) ||
        !open_output(out + "_2D.tif", staged_2D, grid, GDT_Float32, {}, threads, &o2, &error) ||
        !open_output(out + "_3D.tif", staged_3D, grid, GDT_Float32, {}, threads, &o3, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const long long n = grid.nb_col;
    long long cache = 2LL * o2.tile_lines * n * 4;
    for (GDALDatasetH ds : in) {
        int bx, by;
        GDALGetBlockSize(GDALGetRasterBand(ds, 1), &bx, &by);
        cache += static_cast<long long>(by) * n * 5;
    }
    GDALSetCacheMax64(cache + 8LL * 1024 * 1024);
    int tile_x = 0, tile_lines = 0;
    GDALGetBlockSize(GDALGetRasterBand(in[0], 1), &tile_x, &tile_lines);
    const int block = aligned_block_lines(grid.nb_col, tile_lines);
    std::vector<double> a(static_cast<size_t>(block) * n), b(a.size()), d2(a.size()), d3(a.size());
    for (int first = 0; first < grid.nb_lig; first += block) {
        const int count = std::min(block, grid.nb_lig - first);
        if (GDALRasterIO(GDALGetRasterBand(in[0], 1), GF_Read, 0, first, grid.nb_col, count, a.data(), grid.nb_col,
                         count, GDT_Float64, 0, 0) != CE_None ||
            GDALRasterIO(GDALGetRasterBand(in[1], 1), GF_Read, 0, first, grid.nb_col, count, b.data(), grid.nb_col,
                         count, GDT_Float64, 0, 0) != CE_None)
            return 1;
        for (size_t k = 0; k < static_cast<size_t>(count) * n; k++)
            d2[k] = d3[k] = b[k] - a[k];
        if (!write_output_lines(&o2, first, count, d2.data(), &error) ||
            !write_output_lines(&o3, first, count, d3.data(), &error))
            return 1;
    }
    GDALClose(in[0]);
    GDALClose(in[1]);
    return finish_output(&o2, &error) && finish_output(&o3, &error) && commit_outputs(&set, &error) ? 0 : 1;
}

struct Figures {
    std::vector<double> wall, user, sys, rss_mib;
    bool failed = false;
};

void add(Figures *f, const ChildRun &r)
{
    if (r.status != 0) {
        f->failed = true;
        std::fprintf(stderr, "bench_change: a run failed (status %d):\n%s\n", r.status, r.output.c_str());
        return;
    }
    f->wall.push_back(r.wall);
    f->user.push_back(r.user);
    f->sys.push_back(r.sys);
    f->rss_mib.push_back(static_cast<double>(r.peak_rss) / (1024.0 * 1024.0));
}

std::string row(const std::string &size, long long cells, const std::string &what, const Figures &f, double floor_wall)
{
    char text[400];
    if (f.wall.empty()) {
        std::snprintf(text, sizeof text, "| %s | %s | 0 | failed | | | | | |\n", size.c_str(), what.c_str());
        return text;
    }
    const double wall = median(f.wall);
    std::snprintf(text, sizeof text, "| %s | %s | %zu | %.3f | %.1f | %.3f | %.3f | %.1f | %.2f |\n", size.c_str(),
                  what.c_str(), f.wall.size(), wall, wall * 1e9 / static_cast<double>(cells), median(f.user),
                  median(f.sys), median(f.rss_mib), floor_wall > 0 ? wall / floor_wall : NAN);
    return text;
}

// The compressions dem_change can write, on its own outputs of the first
// size: the whole run's wall time, the time to decode both outputs again
// (gdalinfo -checksum) and their size.
std::string compression_study(const std::string &dem_change, const std::string &work, const std::string &size, int runs,
                              const std::string &threads)
{
    struct Setting {
        const char *label;
        std::vector<std::string> args;
    };
    const std::vector<Setting> settings = {
        {"deflate 1 (default)", {}},
        {"deflate 1, floating-point predictor", {"--co", "PREDICTOR=3"}},
        {"deflate 3", {"--level", "3"}},
        {"deflate 6, floating-point predictor (earlier default)", {"--level", "6", "--co", "PREDICTOR=3"}},
        {"deflate 9", {"--level", "9"}},
        {"deflate 9, floating-point predictor", {"--level", "9", "--co", "PREDICTOR=3"}},
        {"zstd 1", {"--compress", "zstd"}},
        {"zstd 1, floating-point predictor", {"--compress", "zstd", "--co", "PREDICTOR=3"}},
        {"zstd 3", {"--compress", "zstd", "--level", "3"}},
        {"zstd 9", {"--compress", "zstd", "--level", "9"}},
        {"zstd 9, floating-point predictor", {"--compress", "zstd", "--level", "9", "--co", "PREDICTOR=3"}},
        {"lerc (no error)", {"--compress", "lerc"}},
        {"none", {"--compress", "none"}},
    };
    std::string text = "Compressions of dem_change's outputs at " + size +
                       " (medians; read: gdalinfo -checksum of both outputs):\n\n"
                       "| Compression | Run wall s | Read wall s | Size of both MB |\n|---|--:|--:|--:|\n";
    for (const Setting &s : settings) {
        std::vector<std::string> args = {"--threads", threads};
        args.insert(args.end(), s.args.begin(), s.args.end());
        args.insert(args.end(), {"before.tif", "after.tif", "study"});
        std::vector<double> run_wall, read_wall;
        double bytes = 0;
        for (int r = 0; r < runs; r++) {
            const ChildRun run = run_child(dem_change, args, work, "");
            const ChildRun read =
                run_child("/bin/sh", {"-c", "gdalinfo -checksum study_2D.tif >/dev/null && gdalinfo -checksum study_3D.tif >/dev/null"},
                          work, "");
            if (run.status != 0 || read.status != 0)
                return text + "| " + s.label + " | failed | | |\n";
            run_wall.push_back(run.wall);
            read_wall.push_back(read.wall);
            bytes = static_cast<double>(std::filesystem::file_size(work + "/study_2D.tif") +
                                        std::filesystem::file_size(work + "/study_3D.tif"));
        }
        char line[300];
        std::snprintf(line, sizeof line, "| %s | %.3f | %.3f | %.1f |\n", s.label, median(run_wall), median(read_wall),
                      bytes / 1e6);
        text += line;
    }
    for (const char *name : {"study_2D.tif", "study_3D.tif"})
        std::filesystem::remove(work + "/" + name);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "--floor")
        return run_floor(args[1], args[2], args[3], std::atoi(args[4].c_str()));
    std::string dem_change, dem_coreg, work = "bench-change-data", out = ".", sizes = "4000x4000,10000x10000";
    int runs = 3, threads = 2;
    bool keep = false, study_compression = true;
    for (size_t k = 0; k < args.size(); k++) {
        const bool has_value = k + 1 < args.size();
        if (args[k] == "--dem-change" && has_value)
            dem_change = args[++k];
        else if (args[k] == "--dem-coreg" && has_value)
            dem_coreg = args[++k];
        else if (args[k] == "--work" && has_value)
            work = args[++k];
        else if (args[k] == "--out" && has_value)
            out = args[++k];
        else if (args[k] == "--sizes" && has_value)
            sizes = args[++k];
        else if (args[k] == "--runs" && has_value)
            runs = std::atoi(args[++k].c_str());
        else if (args[k] == "--threads" && has_value)
            threads = std::atoi(args[++k].c_str());
        else if (args[k] == "--no-compression-study")
            study_compression = false;
        else if (args[k] == "--keep-data")
            keep = true;
        else {
            std::fprintf(stderr, "usage: bench_change --dem-change PATH [--dem-coreg PATH] [--work DIR] [--out DIR] [--sizes LxC,...] "
                                 "[--runs N] [--threads N] [--keep-data] [--no-compression-study]\n");
            return 2;
        }
    }
    if (dem_change.empty() || runs < 1 || threads < 1) {
        std::fprintf(stderr, "bench_change: give --dem-change, runs and threads of 1 or more\n");
        return 2;
    }
    GDALAllRegister();
    // A child's peak resident memory counts the driver's own pages, which it
    // shares until it starts the measured program: the driver keeps GDAL's
    // cache small while it writes the surveys.
    GDALSetCacheMax64(32LL * 1024 * 1024);
    std::filesystem::create_directories(work);
    std::filesystem::create_directories(out);
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const bool calc = std::system("gdal_calc.py --help > /dev/null 2>&1") == 0;
    const std::string threads_text = std::to_string(threads);
    std::string table = "| Lines x columns | Program | Runs | Wall s | Wall ns/cell | User s | Sys s | Peak RSS MiB | "
                        "Wall / floor |\n|---|---|--:|--:|--:|--:|--:|--:|--:|\n";
    // gdal_calc.py writes with dem_change's own default creation options.
    std::vector<std::string> defaults;
    std::string unused, calc_options = " --co TILED=YES --co BIGTIFF=IF_SAFER --co NUM_THREADS=" + std::to_string(threads);
    compression_options("deflate", 0, &defaults, &unused);
    for (const std::string &option : defaults)
        calc_options += " --co " + option;
    std::string calc_ratios, study; // dem_change's wall over gdal_calc.py's; the compression study
    bool failed = false;
    std::string learned_ratios; // wall of --error-from-stable over the plain run's, by size
    size_t at = 0;
    while (at < sizes.size()) {
        size_t comma = sizes.find(',', at);
        const std::string size = sizes.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? sizes.size() : comma + 1;
        const size_t x = size.find('x');
        const int lines = std::atoi(size.substr(0, x).c_str()), columns = std::atoi(size.substr(x + 1).c_str());
        if (x == std::string::npos || lines < 3 || columns < 3) {
            std::fprintf(stderr, "bench_change: a size is LINESxCOLUMNS: %s\n", size.c_str());
            return 2;
        }
        std::fprintf(stderr, "bench_change: writing the %s surveys...\n", size.c_str());
        const std::string before = work + "/before.tif", after = work + "/after.tif";
        if (!write_survey(before, lines, columns, false) || !write_survey(after, lines, columns, true)) {
            std::fprintf(stderr, "bench_change: cannot write the surveys in %s\n", work.c_str());
            return 1;
        }
        Figures change, learned, floor, gdal_calc, coreg;
        for (int r = 0; r < runs; r++) {
            std::fprintf(stderr, "bench_change: %s, run %d of %d\n", size.c_str(), r + 1, runs);
            add(&floor, run_child(self, {"--floor", "before.tif", "after.tif", "floor", threads_text}, work, ""));
            add(&change, run_child(dem_change, {"--threads", threads_text, "before.tif", "after.tif", "change"}, work, ""));
            add(&learned, run_child(dem_change,
                                    {"--threads", threads_text, "--error-from-stable", "before.tif", "after.tif", "learned"},
                                    work, ""));
            if (!dem_coreg.empty())
                add(&coreg, run_child(dem_coreg, {"--quiet", "before.tif", "after.tif", "aligned.tif"}, work, ""));
            if (calc)
                add(&gdal_calc, run_child("/bin/sh",
                                          {"-c", "gdal_calc.py --quiet --overwrite -A before.tif -B after.tif "
                                                 "--calc='B.astype(numpy.float64)-A' --type Float32 --outfile calc.tif" +
                                                     calc_options},
                                          work, ""));
        }
        failed = failed || change.failed || learned.failed || floor.failed || coreg.failed;
        // The pass must hold a few blocks of lines, whatever the number of lines.
        for (double mib : change.rss_mib)
            if (mib > MEMORY_LIMIT_MIB) {
                std::fprintf(stderr, "bench_change: MEMORY LIMIT EXCEEDED: dem_change peaked at %.1f MiB at %s\n", mib,
                             size.c_str());
                failed = true;
            }
        const double floor_wall = floor.wall.empty() ? 0 : median(floor.wall);
        const long long cells = static_cast<long long>(lines) * columns;
        table += row(size, cells, "GDAL floor (read both, write two float32 GeoTIFFs)", floor, floor_wall);
        table += row(size, cells, "dem_change (2D and 3D, budget)", change, floor_wall);
        table += row(size, cells, "dem_change --error-from-stable (errors learned from the surveys)", learned, floor_wall);
        if (!change.wall.empty() && !learned.wall.empty())
            learned_ratios += "- " + size + ": " + std::to_string(median(learned.wall) / median(change.wall)) + "\n";
        if (calc)
            table += row(size, cells, "gdal_calc.py (plain 2D difference only)", gdal_calc, floor_wall);
        if (!dem_coreg.empty())
            table += row(size, cells, "dem_coreg (fit and aligned AFTER)", coreg, floor_wall);
        if (calc && !change.wall.empty() && !gdal_calc.wall.empty())
            calc_ratios += "- " + size + ": " + std::to_string(median(change.wall) / median(gdal_calc.wall)) + "\n";
        if (study_compression && study.empty())
            study = compression_study(dem_change, work, size, runs, threads_text);
        if (!keep)
            for (const char *name : {"before.tif", "after.tif", "floor_2D.tif", "floor_3D.tif", "change_2D.tif",
                                     "change_3D.tif", "learned_2D.tif", "learned_3D.tif", "calc.tif", "aligned.tif"})
                std::filesystem::remove(work + "/" + name);
    }
    if (!calc)
        table += "\ngdal_calc.py could not run here: no figures for it.\n";
    if (!calc_ratios.empty())
        table += "\nWall time of dem_change (2D, 3D and budget) over gdal_calc.py's (2D only), medians:\n" + calc_ratios;
    if (!study.empty())
        table += "\n" + study;
    if (!learned_ratios.empty())
        table += "\nWall time of dem_change --error-from-stable over the plain run's (medians):\n" + learned_ratios;
    table += "\nCompression threads: " + threads_text + " for every program (gdal_calc.py: NUM_THREADS=" + threads_text +
             ").\n";
    std::fputs(table.c_str(), stdout);
    std::ofstream(out + "/change.md") << table;
    return failed ? 1 : 0;
}
