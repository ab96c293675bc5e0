// The C++ side of the Python package skarnovelt: the programs dem_change
// and dem_coreg run on a command line built from Python's arguments, in
// this process, with the interpreter's lock released during the work. What
// a program prints goes to files read back, so that the package can return
// the table and raise an exception with the program's own message.
//
// Also dem_change's pass by blocks (change_tiles.h): a block of arrays, a
// tile of two rasters read as a window with the cells around it, the
// blocks' budgets merged exactly and handed between processes as words,
// dem_change's JSON for the merged budget, and the output transaction of
// the companions (output_set.h) for the run that assembles the tiles.
#include "dem_change_program.h"
#include "dem_coreg_program.h"
#include "change_tiles.h"
#include "output_set.h"
#include "raster_output.h"
#include "units.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <stdexcept>

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

// dem_change's options of a tiled run from the package's dictionary (the
// names of the long options, "-" written "_").
TiledChange tiled_change(const py::dict &o)
{
    TiledChange run;
    auto has = [&](const char *key) { return o.contains(key) && !o[key].is_none(); };
    run.before.path = o["before"].cast<std::string>();
    run.after.path = o["after"].cast<std::string>();
    if (has("band_before"))
        run.before.band = o["band_before"].cast<int>();
    if (has("band_after"))
        run.after.band = o["band_after"].cast<int>();
    const char *units[2] = {"unit_before", "unit_after"};
    int *codes[2] = {&run.before.unit, &run.after.unit};
    for (int k = 0; k < 2; k++)
        if (has(units[k])) {
            *codes[k] = parse_height_unit(py::str(o[units[k]]).cast<std::string>(), UNITS_IN - 1);
            if (*codes[k] < 0)
                throw std::invalid_argument(std::string(units[k]) + ": one of " + height_unit_names(UNITS_IN - 1) +
                                            " (or 0 to " + std::to_string(UNITS_IN - 1) + ")");
        }
    const char *scales[2] = {"z_scale_before", "z_scale_after"};
    DemInputOptions *inputs[2] = {&run.before, &run.after};
    for (int k = 0; k < 2; k++)
        if (has(scales[k])) {
            inputs[k]->z_scale_given = true;
            inputs[k]->z_scale = o[scales[k]].cast<double>();
        }
    if (has("pixel"))
        run.before.pixel_size = run.after.pixel_size = o["pixel"].cast<double>();
    if (has("lod"))
        run.lod = o["lod"].cast<double>();
    if (has("type")) {
        const std::string type = o["type"].cast<std::string>();
        if (type != "float32" && type != "float64")
            throw std::invalid_argument("type: float32 or float64");
        run.type = type == "float64" ? GDT_Float64 : GDT_Float32;
    }
    std::string error;
    if (!compression_options(has("compress") ? o["compress"].cast<std::string>() : "deflate",
                             has("level") ? o["level"].cast<int>() : 0, &run.creation_options, &error))
        throw std::invalid_argument(error);
    if (has("co"))
        for (const std::string &c : o["co"].cast<std::vector<std::string>>())
            run.creation_options.push_back(c);
    if (has("threads"))
        run.threads = o["threads"].cast<int>();
    return run;
}

// A block's budgets as a dictionary: each difference's rows (cells, m², m³).
py::dict budget_dict(const ChangeResult &r)
{
    py::dict out;
    const std::pair<const char *, const BudgetRows *> budgets[3] = {
        {"2D", &r.budget_2D}, {"3D", &r.budget_3D}, {"2D_all_cells", &r.all_2D}};
    for (const auto &b : budgets) {
        const std::pair<const char *, const BudgetTally *> rows[7] = {
            {"lowering", &b.second->negative},         {"raising", &b.second->positive},
            {"unchanged", &b.second->zero},            {"lowering_detected", &b.second->lod_negative},
            {"raising_detected", &b.second->lod_positive}, {"below_detection", &b.second->lod_below},
            {"net", &b.second->all}};
        py::dict d;
        for (const auto &row : rows)
            d[row.first] = py::dict(py::arg("cells") = row.second->cells,
                                    py::arg("area_m2") = budget_area(*b.second, *row.second),
                                    py::arg("volume_m3") = budget_volume(*row.second));
        out[b.first] = d;
    }
    return out;
}

py::dict counts_dict(const ChangeCounts &c)
{
    return py::dict(py::arg("cells") = c.cells, py::arg("nodata_before") = c.nodata_before,
                    py::arg("nodata_after") = c.nodata_after, py::arg("no_2D") = c.no_2D, py::arg("no_3D") = c.no_3D,
                    py::arg("no_3D_cell") = c.no_3D_cell, py::arg("no_3D_border") = c.no_3D_border,
                    py::arg("no_3D_window") = c.no_3D_window);
}

using Heights = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<unsigned char, py::array::c_style | py::array::forcecast>;

// change_block on arrays: the window's heights and flags, where the block
// lies in it and the window in the frame, the cells' areas from a projected
// geotransform in metres, or a cell size standing in it (has_geotransform
// false), as dem_change takes --pixel.
py::tuple block_on_arrays(const Heights &before, const Heights &after, const Flags &valid_before,
                          const Flags &valid_after, std::vector<int> frame, std::vector<int> block,
                          std::vector<double> geotransform, bool has_geotransform, double lod)
{
    if (before.ndim() != 2 || after.ndim() != 2 || valid_before.ndim() != 2 || valid_after.ndim() != 2)
        throw std::invalid_argument("the heights and their flags are arrays of two dimensions");
    const ssize_t lines = before.shape(0), columns = before.shape(1);
    for (const py::array *a : {static_cast<const py::array *>(&after), static_cast<const py::array *>(&valid_before),
                               static_cast<const py::array *>(&valid_after)})
        if (a->shape(0) != lines || a->shape(1) != columns)
            throw std::invalid_argument("BEFORE, AFTER and their flags must have the same shape");
    if (frame.size() != 4 || block.size() != 4 || geotransform.size() != 6)
        throw std::invalid_argument("frame: (lines, columns, line, column); block: (line, column, lines, columns); "
                                    "geotransform: six numbers");
    ChangeBlock b;
    b.frame_lines = frame[0];
    b.frame_columns = frame[1];
    b.frame_line = frame[2];
    b.frame_column = frame[3];
    b.lines = static_cast<int>(lines);
    b.columns = static_cast<int>(columns);
    b.first_line = block[0];
    b.first_column = block[1];
    b.block_lines = block[2];
    b.block_columns = block[3];
    b.before = before.data();
    b.after = after.data();
    b.valid_before = valid_before.data();
    b.valid_after = valid_after.data();
    GridFacts grid;
    grid.nb_lig = b.frame_lines;
    grid.nb_col = b.frame_columns;
    grid.has_geotransform = has_geotransform;
    grid.cell_size_known = true;
    std::copy(geotransform.begin(), geotransform.end(), grid.geotransform);
    GridAreas areas;
    std::string warning, error;
    if (!grid_areas(grid, &areas, &warning, &error))
        throw std::invalid_argument(error);
    const size_t cells = static_cast<size_t>(b.block_lines > 0 ? b.block_lines : 0) *
                         static_cast<size_t>(b.block_columns > 0 ? b.block_columns : 0);
    std::vector<double> d2(cells), d3(cells);
    ChangeResult result;
    bool ok;
    {
        py::gil_scoped_release released;
        ok = change_block(b, areas, lod, d2.data(), d3.data(), &result, &error);
    }
    if (!ok)
        throw std::invalid_argument(error);
    py::array_t<double> a2({b.block_lines, b.block_columns}), a3({b.block_lines, b.block_columns});
    std::copy(d2.begin(), d2.end(), a2.mutable_data());
    std::copy(d3.begin(), d3.end(), a3.mutable_data());
    return py::make_tuple(a2, a3, result);
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

    py::class_<ChangeResult>(m, "PartialBudget",
                             "The budget and the counts of cells of a part of a grid (a block, a tile), d = AFTER - "
                             "BEFORE: exact sums, which merge with other parts' in any order into the budget of the "
                             "whole, to the same bytes. Pickled as its exact words.")
        .def(py::init<>())
        .def(
            "merge",
            [](ChangeResult &into, const ChangeResult &from) {
                std::string error;
                if (!change_result_merge(&into, from, &error))
                    throw std::invalid_argument(error);
            },
            py::arg("other"),
            "Adds another part's budget and counts into this one (exact: any order). An empty PartialBudget() "
            "takes the cell area and level of detection of the first part; parts of others are refused.")
        .def_property_readonly(
            "counts", [](const ChangeResult &r) { return counts_dict(r.counts); },
            "The part's cells, and those without a difference and why (as dem_change's report counts them).")
        .def(
            "budget", [](const ChangeResult &r) { return budget_dict(r); },
            "The rows of the part's budgets, each rounded once from its exact sum: '2D' and '3D' over the cells with "
            "a 3D difference, '2D_all_cells' over every cell with a 2D difference.")
        .def_property_readonly(
            "largest_change", [](const ChangeResult &r) { return py::make_tuple(r.max_abs_2D, r.max_abs_3D); },
            "The largest |d| of the 2D and of the 3D difference, m.")
        .def(
            "words", [](const ChangeResult &r) { return change_result_words(r); },
            "The part as whole numbers (the exact sums' words, the reals' bits).")
        .def_static(
            "from_words",
            [](const std::vector<long long> &words) {
                ChangeResult r;
                std::string error;
                if (!change_result_from_words(words, &r, &error))
                    throw std::invalid_argument(error);
                return r;
            },
            py::arg("words"), "The part whose words these are.")
        .def(py::pickle([](const ChangeResult &r) { return py::make_tuple(change_result_words(r)); },
                        [](const py::tuple &t) {
                            ChangeResult r;
                            std::string error;
                            if (t.size() != 1 || !change_result_from_words(t[0].cast<std::vector<long long>>(), &r, &error))
                                throw std::invalid_argument("not the state of a PartialBudget: " + error);
                            return r;
                        }));
    m.def("change_block", &block_on_arrays, py::arg("before"), py::arg("after"), py::arg("valid_before"),
          py::arg("valid_after"), py::arg("frame"), py::arg("block"), py::arg("geotransform"),
          py::arg("has_geotransform"), py::arg("lod"),
          "dem_change's pass over a block of arrays (heights in metres, flags 1 where a cell has data) held with "
          "the cells around it: frame (lines, columns, line, column of the window's first cell), block (line, "
          "column, lines, columns within the window). (d2, d3, PartialBudget), NaN where no difference.");
    m.def(
        "open_pair",
        [](const py::dict &options) {
            const TiledChange run = tiled_change(options);
            DemInput before, after;
            GridAreas areas;
            std::string warning, error;
            bool ok;
            {
                py::gil_scoped_release released;
                ok = open_change_pair(run, &before, &after, &areas, &warning, &error);
            }
            const GridFacts g = before.grid;
            const bool pair = before.raw != nullptr || after.raw != nullptr;
            close_dem_input(&before);
            close_dem_input(&after);
            if (!ok)
                throw std::runtime_error(error);
            if (pair)
                throw std::runtime_error("a DEM pair is read by whole lines from its first, not by tiles: name its .vrt "
                                         "sidecar or export it with dem_gdal export");
            return py::dict(py::arg("lines") = g.nb_lig, py::arg("columns") = g.nb_col,
                            py::arg("geotransform") = std::vector<double>(g.geotransform, g.geotransform + 6),
                            py::arg("has_geotransform") = g.has_geotransform, py::arg("crs_wkt") = g.crs_wkt,
                            py::arg("warning") = warning, py::arg("nodata") = output_nodata(run.type),
                            py::arg("creation_options") = run.creation_options);
        },
        py::arg("options"),
        "Opens BEFORE and AFTER of options as dem_change does and checks them: the grid's facts.");
    m.def(
        "change_tile",
        [](const py::dict &options, int line, int column, int lines, int columns, const std::string &out_2D,
           const std::string &out_3D) {
            const TiledChange run = tiled_change(options);
            Tile tile;
            tile.line = line;
            tile.column = column;
            tile.lines = lines;
            tile.columns = columns;
            ChangeResult result;
            std::string error;
            bool ok;
            {
                py::gil_scoped_release released;
                ok = change_tile(run, tile, out_2D, out_3D, &result, &error);
            }
            if (!ok)
                throw std::runtime_error(error);
            return result;
        },
        py::arg("options"), py::arg("line"), py::arg("column"), py::arg("lines"), py::arg("columns"),
        py::arg("out_2D"), py::arg("out_3D"),
        "One tile of dem_change's pass: its window and the cells around it read with GDAL, its differences "
        "written as GeoTIFFs at out_2D and out_3D; its PartialBudget.");
    m.def(
        "tiles_json",
        [](const py::dict &options, const ChangeResult &result, const std::string &out_2D, const std::string &out_3D) {
            const TiledChange run = tiled_change(options);
            std::string text, error;
            bool ok;
            {
                py::gil_scoped_release released;
                ok = change_tiles_json(run, result, out_2D, out_3D, &text, &error);
            }
            if (!ok)
                throw std::runtime_error(error);
            return text;
        },
        py::arg("options"), py::arg("budget"), py::arg("out_2D"), py::arg("out_3D"),
        "dem_change's JSON text for these inputs and the merged budget, the outputs named out_2D and out_3D.");
    py::class_<OutputSet>(m, "OutputTransaction",
                          "The companions' output transaction (output_set.h): the outputs staged in a private folder "
                          "beside their targets, all put in place together by commit, none by abandon.")
        .def(py::init([](const std::string &base, const std::vector<std::string> &inputs) {
                 auto set = std::make_unique<OutputSet>();
                 std::string error;
                 if (!begin_outputs(base, inputs, set.get(), &error))
                     throw std::runtime_error(error);
                 return set;
             }),
             py::arg("base"), py::arg("inputs"), "Starts the set: the lock on base; inputs are no outputs.")
        .def(
            "stage",
            [](OutputSet &set, const std::string &target) {
                std::string staged, error;
                if (!stage_output(&set, target, &staged, &error))
                    throw std::runtime_error(error);
                return staged;
            },
            py::arg("target"), "Declares an output: the path to write it at.")
        .def(
            "write_text",
            [](OutputSet &set, const std::string &target, const std::string &text) {
                std::string error;
                if (!write_staged_text(set, target, text, &error))
                    throw std::runtime_error(error);
            },
            py::arg("target"), py::arg("text"), "Writes the whole text of a declared output.")
        .def(
            "commit",
            [](OutputSet &set) {
                std::string error;
                bool ok;
                {
                    py::gil_scoped_release released;
                    ok = commit_outputs(&set, &error);
                }
                if (!ok)
                    throw std::runtime_error(error);
            },
            "Puts every staged output in place together (none on failure).")
        .def(
            "abandon", [](OutputSet &set) { abandon_outputs(&set); },
            "Removes every staged output; the targets are left as they were.");
}
