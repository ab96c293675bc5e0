// bench_change: whole runs of dem_change on float32 GeoTIFF pairs against
// the GDAL floor measured in the same run, and gdal_calc.py's plain
// difference on the same files when it can run.
//
//   bench_change --dem-change PATH --work DIR [--out DIR] [--sizes 4000x4000,10000x10000]
//                [--runs N] [--threads N] [--keep-data]
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
//     output with the same creation options), when it runs.
// Prints a Markdown table of the medians (wall, user, system seconds, peak
// resident MiB, ratio to the floor) and writes it to OUT/change.md. Fails
// (status 1, MEMORY LIMIT EXCEEDED) when dem_change's peak resident memory
// exceeds 128 MiB.
#include "bench_support.h"
#include "change_pass.h"
#include "output_set.h"
#include "raster_output.h"

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
    const int block = change_block_lines(grid.nb_col);
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

std::string row(const std::string &size, const std::string &what, const Figures &f, double floor_wall)
{
    char text[400];
    if (f.wall.empty()) {
        std::snprintf(text, sizeof text, "| %s | %s | 0 | failed | | | | |\n", size.c_str(), what.c_str());
        return text;
    }
    const double wall = median(f.wall);
    std::snprintf(text, sizeof text, "| %s | %s | %zu | %.3f | %.3f | %.3f | %.1f | %.2f |\n", size.c_str(),
                  what.c_str(), f.wall.size(), wall, median(f.user), median(f.sys), median(f.rss_mib),
                  floor_wall > 0 ? wall / floor_wall : NAN);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "--floor")
        return run_floor(args[1], args[2], args[3], std::atoi(args[4].c_str()));
    std::string dem_change, work = "bench-change-data", out = ".", sizes = "4000x4000,10000x10000";
    int runs = 3, threads = 2;
    bool keep = false;
    for (size_t k = 0; k < args.size(); k++) {
        const bool has_value = k + 1 < args.size();
        if (args[k] == "--dem-change" && has_value)
            dem_change = args[++k];
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
        else if (args[k] == "--keep-data")
            keep = true;
        else {
            std::fprintf(stderr, "usage: bench_change --dem-change PATH [--work DIR] [--out DIR] [--sizes LxC,...] "
                                 "[--runs N] [--threads N] [--keep-data]\n");
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
    std::string table = "| Lines x columns | Program | Runs | Wall s | User s | Sys s | Peak RSS MiB | Wall / floor |\n"
                        "|---|---|--:|--:|--:|--:|--:|--:|\n";
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
        Figures change, learned, floor, gdal_calc;
        for (int r = 0; r < runs; r++) {
            std::fprintf(stderr, "bench_change: %s, run %d of %d\n", size.c_str(), r + 1, runs);
            add(&floor, run_child(self, {"--floor", "before.tif", "after.tif", "floor", threads_text}, work, ""));
            add(&change, run_child(dem_change, {"--threads", threads_text, "before.tif", "after.tif", "change"}, work, ""));
            add(&learned, run_child(dem_change,
                                    {"--threads", threads_text, "--error-from-stable", "before.tif", "after.tif", "learned"},
                                    work, ""));
            if (calc)
                add(&gdal_calc, run_child("/bin/sh",
                                          {"-c", "gdal_calc.py --quiet --overwrite -A before.tif -B after.tif "
                                                 "--calc='B.astype(numpy.float64)-A' --type Float32 --outfile calc.tif "
                                                 "--co TILED=YES --co COMPRESS=DEFLATE --co PREDICTOR=3 "
                                                 "--co BIGTIFF=IF_SAFER --co NUM_THREADS=" + threads_text},
                                          work, ""));
        }
        failed = failed || change.failed || learned.failed || floor.failed;
        // The pass must hold a few blocks of lines, whatever the number of lines.
        for (double mib : change.rss_mib)
            if (mib > MEMORY_LIMIT_MIB) {
                std::fprintf(stderr, "bench_change: MEMORY LIMIT EXCEEDED: dem_change peaked at %.1f MiB at %s\n", mib,
                             size.c_str());
                failed = true;
            }
        const double floor_wall = floor.wall.empty() ? 0 : median(floor.wall);
        table += row(size, "GDAL floor (read both, write two float32 GeoTIFFs)", floor, floor_wall);
        table += row(size, "dem_change (2D and 3D, budget)", change, floor_wall);
        table += row(size, "dem_change --error-from-stable (errors learned from the surveys)", learned, floor_wall);
        if (!change.wall.empty() && !learned.wall.empty())
            learned_ratios += "- " + size + ": " + std::to_string(median(learned.wall) / median(change.wall)) + "\n";
        if (calc)
            table += row(size, "gdal_calc.py (plain 2D difference only)", gdal_calc, floor_wall);
        if (!keep)
            for (const char *name : {"before.tif", "after.tif", "floor_2D.tif", "floor_3D.tif", "change_2D.tif",
                                     "change_3D.tif", "learned_2D.tif", "learned_3D.tif", "calc.tif"})
                std::filesystem::remove(work + "/" + name);
    }
    if (!calc)
        table += "\ngdal_calc.py could not run here: no figures for it.\n";
    if (!learned_ratios.empty())
        table += "\nWall time of dem_change --error-from-stable over the plain run's (medians):\n" + learned_ratios;
    table += "\nCompression threads: " + threads_text + " for every program (gdal_calc.py: NUM_THREADS=" + threads_text +
             ").\n";
    std::fputs(table.c_str(), stdout);
    std::ofstream(out + "/change.md") << table;
    return failed ? 1 : 0;
}
