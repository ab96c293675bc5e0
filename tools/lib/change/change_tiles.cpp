#include "change_tiles.h"

#include "change_error.h"
#include "change_report.h"
#include "cli_support.h"
#include "grid_match.h"
#include "raster_output.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

bool open_change_pair(const TiledChange &run, DemInput *before, DemInput *after, GridAreas *areas,
                      std::string *warning, std::string *error)
{
    if (!open_dem_input(run.before, before, error) || !open_dem_input(run.after, after, error) ||
        !height_units_agree(*before, "BEFORE", "--z-scale-before", *after, "AFTER", "--z-scale-after", error))
        return false;
    std::string what;
    if (!same_grid(before->grid, after->grid, &what)) {
        *error = "BEFORE and AFTER lie on different grids: " + what + ".\nPut AFTER onto BEFORE's grid: " +
                 gdalwarp_command(before->grid, run.after.path);
        return false;
    }
    if (!grid_areas(before->grid, areas, warning, error)) {
        *error = run.before.path + ": " + *error;
        return false;
    }
    return true;
}

namespace {

// Both inputs of a task, closed on every way out.
struct Pair {
    DemInput before, after;
    ~Pair()
    {
        close_dem_input(&before);
        close_dem_input(&after);
    }
};

// The GeoTIFF of one difference of a tile.
bool write_tile(const TiledChange &run, const GridFacts &grid, const std::string &path, double *values,
                std::string *error)
{
    RasterOutput out;
    if (!open_output(path, path, grid, run.type, run.creation_options, run.threads, &out, error) ||
        !write_output_lines(&out, 0, grid.nb_lig, values, error) || !finish_output(&out, error)) {
        abandon_output(&out);
        return false;
    }
    return true;
}

} // namespace

bool change_tile(const TiledChange &run, const Tile &tile, const std::string &out_2D, const std::string &out_3D,
                 ChangeResult *result, std::string *error)
{
    Pair pair;
    GridAreas areas;
    std::string warning;
    if (!open_change_pair(run, &pair.before, &pair.after, &areas, &warning, error))
        return false;
    const GridFacts &frame = pair.before.grid;
    if (tile.line < 0 || tile.column < 0 || tile.lines < 1 || tile.columns < 1 ||
        tile.line + tile.lines > frame.nb_lig || tile.column + tile.columns > frame.nb_col) {
        *error = "the tile of lines " + std::to_string(tile.line) + " to " + std::to_string(tile.line + tile.lines - 1) +
                 ", columns " + std::to_string(tile.column) + " to " + std::to_string(tile.column + tile.columns - 1) +
                 " lies outside the grid of " + std::to_string(frame.nb_lig) + " x " + std::to_string(frame.nb_col);
        return false;
    }
    // The window: the tile and one cell on each side where the frame goes on.
    ChangeBlock b;
    b.frame_lines = frame.nb_lig;
    b.frame_columns = frame.nb_col;
    b.frame_line = tile.line > 0 ? tile.line - 1 : 0;
    b.frame_column = tile.column > 0 ? tile.column - 1 : 0;
    const int end_line = tile.line + tile.lines < frame.nb_lig ? tile.line + tile.lines + 1 : frame.nb_lig;
    const int end_column = tile.column + tile.columns < frame.nb_col ? tile.column + tile.columns + 1 : frame.nb_col;
    b.lines = end_line - b.frame_line;
    b.columns = end_column - b.frame_column;
    b.first_line = tile.line - b.frame_line;
    b.first_column = tile.column - b.frame_column;
    b.block_lines = tile.lines;
    b.block_columns = tile.columns;
    const size_t window = static_cast<size_t>(b.lines) * b.columns;
    std::vector<double> heights_b(window), heights_a(window);
    std::vector<unsigned char> valid_b(window), valid_a(window);
    if (!read_dem_window(&pair.before, b.frame_line, b.lines, b.frame_column, b.columns, heights_b.data(),
                         valid_b.data(), error) ||
        !read_dem_window(&pair.after, b.frame_line, b.lines, b.frame_column, b.columns, heights_a.data(),
                         valid_a.data(), error))
        return false;
    b.take_before = &heights_b; // the pass takes them: no copy
    b.take_after = &heights_a;
    b.valid_before = valid_b.data();
    b.valid_after = valid_a.data();
    const size_t cells = static_cast<size_t>(tile.lines) * tile.columns;
    std::vector<double> d2(cells), d3(cells);
    if (!change_block(b, areas, run.lod, d2.data(), d3.data(), result, error))
        return false;
    // The tile's georeferencing: the frame's, its origin moved to the
    // tile's first cell (one rounding of each coordinate).
    GridFacts grid = frame;
    grid.nb_lig = tile.lines;
    grid.nb_col = tile.columns;
    const double *g = frame.geotransform;
    grid.geotransform[0] = static_cast<double>(g[0] + static_cast<long double>(tile.column) * g[1] +
                                               static_cast<long double>(tile.line) * g[2]);
    grid.geotransform[3] = static_cast<double>(g[3] + static_cast<long double>(tile.column) * g[4] +
                                               static_cast<long double>(tile.line) * g[5]);
    return write_tile(run, grid, out_2D, d2.data(), error) && write_tile(run, grid, out_3D, d3.data(), error);
}

bool change_result_merge(ChangeResult *into, const ChangeResult &from, std::string *error)
{
    // A total with no cell yet takes the kind of the first part merged in.
    BudgetRows *rows[3] = {&into->budget_2D, &into->budget_3D, &into->all_2D};
    const BudgetRows *parts[3] = {&from.budget_2D, &from.budget_3D, &from.all_2D};
    for (int k = 0; k < 3; k++) {
        if (into->counts.cells == 0) {
            rows[k]->lod = parts[k]->lod;
            rows[k]->per_line_areas = parts[k]->per_line_areas;
            rows[k]->cell_area = parts[k]->cell_area;
        } else if (from.counts.cells > 0 &&
                   (rows[k]->lod != parts[k]->lod || rows[k]->per_line_areas != parts[k]->per_line_areas ||
                    rows[k]->cell_area != parts[k]->cell_area)) {
            *error = "the parts are not of one run: their levels of detection or cell areas differ";
            return false;
        }
    }
    budget_merge(&into->budget_2D, from.budget_2D);
    budget_merge(&into->budget_3D, from.budget_3D);
    budget_merge(&into->all_2D, from.all_2D);
    ChangeCounts &c = into->counts;
    const ChangeCounts &f = from.counts;
    c.cells += f.cells;
    c.nodata_before += f.nodata_before;
    c.nodata_after += f.nodata_after;
    c.no_2D += f.no_2D;
    c.no_3D += f.no_3D;
    c.no_3D_cell += f.no_3D_cell;
    c.no_3D_border += f.no_3D_border;
    c.no_3D_window += f.no_3D_window;
    c.no_sigma += f.no_sigma;
    into->max_abs_2D = std::max(into->max_abs_2D, from.max_abs_2D);
    into->max_abs_3D = std::max(into->max_abs_3D, from.max_abs_3D);
    return true;
}

namespace {

// What the words of a part start with, and their number.
const long long PART_MARK = 0x534b50415254; // "SKPART"
const size_t SUM_WORDS = EXACT_SUM_WORDS + 3;
const size_t TALLY_WORDS = 2 + 2 * SUM_WORDS + 1 + 3 * SUM_WORDS;
const size_t ROWS_WORDS = 3 + 7 * TALLY_WORDS;
const size_t PART_WORDS = 2 + 9 + 2 + 3 * ROWS_WORDS;

long long real_bits(double x)
{
    long long bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

double bits_real(long long bits)
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

void put_sum(std::vector<long long> *w, const ExactSum &s)
{
    long long words[EXACT_SUM_WORDS];
    exact_words(s, words);
    w->insert(w->end(), words, words + EXACT_SUM_WORDS);
    w->insert(w->end(), {s.positive_infinities, s.negative_infinities, s.nans});
}

ExactSum take_sum(const long long *&at)
{
    const ExactSum s = exact_from_words(at, at[EXACT_SUM_WORDS], at[EXACT_SUM_WORDS + 1], at[EXACT_SUM_WORDS + 2]);
    at += SUM_WORDS;
    return s;
}

BudgetTally *rows_tally(BudgetRows *b, int k)
{
    BudgetTally *tallies[7] = {&b->negative, &b->positive, &b->zero, &b->lod_negative, &b->lod_positive, &b->lod_below,
                               &b->all};
    return tallies[k];
}

void put_rows(std::vector<long long> *w, const BudgetRows &b)
{
    w->insert(w->end(), {real_bits(b.lod), b.per_line_areas ? 1LL : 0LL, real_bits(b.cell_area)});
    for (int k = 0; k < 7; k++) {
        const BudgetTally &t = *rows_tally(const_cast<BudgetRows *>(&b), k);
        w->insert(w->end(), {t.cells, t.line_cells});
        put_sum(w, t.area);
        put_sum(w, t.volume);
        w->push_back(t.errors.cells);
        put_sum(w, t.errors.sum_sigma2);
        put_sum(w, t.errors.sum_a2_sigma2);
        put_sum(w, t.errors.sum_a_sigma);
    }
}

void take_rows(const long long *&at, BudgetRows *b)
{
    b->lod = bits_real(at[0]);
    b->per_line_areas = at[1] != 0;
    b->cell_area = bits_real(at[2]);
    at += 3;
    for (int k = 0; k < 7; k++) {
        BudgetTally &t = *rows_tally(b, k);
        t.cells = at[0];
        t.line_cells = at[1];
        at += 2;
        t.area = take_sum(at);
        t.volume = take_sum(at);
        t.errors.cells = *at++;
        t.errors.sum_sigma2 = take_sum(at);
        t.errors.sum_a2_sigma2 = take_sum(at);
        t.errors.sum_a_sigma = take_sum(at);
    }
}

} // namespace

std::vector<long long> change_result_words(const ChangeResult &r)
{
    std::vector<long long> w = {PART_MARK, static_cast<long long>(PART_WORDS)};
    const ChangeCounts &c = r.counts;
    w.insert(w.end(), {c.cells, c.nodata_before, c.nodata_after, c.no_2D, c.no_3D, c.no_3D_cell, c.no_3D_border,
                       c.no_3D_window, c.no_sigma});
    w.insert(w.end(), {real_bits(r.max_abs_2D), real_bits(r.max_abs_3D)});
    for (const BudgetRows *b : {&r.budget_2D, &r.budget_3D, &r.all_2D})
        put_rows(&w, *b);
    return w;
}

bool change_result_from_words(const std::vector<long long> &words, ChangeResult *r, std::string *error)
{
    if (words.size() != PART_WORDS || words[0] != PART_MARK || words[1] != static_cast<long long>(PART_WORDS)) {
        *error = "these words are not the budget of a part of a grid (" + std::to_string(words.size()) + " words)";
        return false;
    }
    *r = ChangeResult();
    const long long *at = words.data() + 2;
    ChangeCounts &c = r->counts;
    for (long long *field : {&c.cells, &c.nodata_before, &c.nodata_after, &c.no_2D, &c.no_3D, &c.no_3D_cell,
                             &c.no_3D_border, &c.no_3D_window, &c.no_sigma})
        *field = *at++;
    r->max_abs_2D = bits_real(*at++);
    r->max_abs_3D = bits_real(*at++);
    for (BudgetRows *b : {&r->budget_2D, &r->budget_3D, &r->all_2D})
        take_rows(at, b);
    return true;
}

bool change_tiles_json(const TiledChange &run, const ChangeResult &r, const std::string &out_2D,
                       const std::string &out_3D, std::string *text, std::string *error)
{
    Pair pair;
    GridAreas areas;
    std::string warning;
    if (!open_change_pair(run, &pair.before, &pair.after, &areas, &warning, error))
        return false;
    // The facts as dem_change gathers them for its report.
    ChangeRun facts;
    facts.before = &pair.before;
    facts.after = &pair.after;
    facts.before_path = run.before.path;
    facts.after_path = run.after.path;
    facts.out_2D = out_2D;
    facts.out_3D = out_3D;
    facts.type_name = run.type == GDT_Float64 ? "float64" : "float32";
    facts.nodata = output_nodata(run.type);
    facts.areas = areas;
    facts.thresholds = run.lod > 0;
    facts.detection = make_detection(run.lod, 0);
    *text = json_text(change_json(facts, r));
    return true;
}
