// The pass of dem_change by blocks of lines: the inputs are read by blocks
// and the lines are worked out one or two lines behind the reading, so
// every block size (down to one line, smaller than the lines the pass runs
// behind) must give the same cells, budgets and counts as one block over
// the whole grid, reading ahead in a second thread or not. And the compressions of the outputs, named and checked.
#include "change_pass.h"
#include "change_tiles.h"
#include "gdal_test_files.h"
#include "raster_output.h"

#include <gdal.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

struct PassRun {
    ChangeResult result;
    std::vector<double> d2, d3, e2, e3; // the differences; their errors, with errors
};

// Surveys of 23 lines x 9 columns with nodata in a few places, on lines
// that fall on either side of the block edges tried below.
void write_surveys(const std::string &dir)
{
    Grid b, a;
    b.lines = a.lines = 23;
    b.columns = a.columns = 9;
    b.has_nodata = a.has_nodata = true;
    b.nodata = a.nodata = -9999;
    for (int i = 0; i < 23; i++)
        for (int j = 0; j < 9; j++) {
            b.values.push_back(100 + 0.37 * i + 0.11 * j * j + 0.05 * std::sin(i * j));
            a.values.push_back(b.values.back() + 0.25 * std::cos(0.7 * i + j) - (i > 8 && i < 15 ? 1.5 : 0));
        }
    for (int k : {2 * 9 + 4, 7 * 9 + 0, 12 * 9 + 8, 16 * 9 + 3})
        b.values[k] = -9999;
    for (int k : {5 * 9 + 5, 13 * 9 + 2, 22 * 9 + 6})
        a.values[k] = -9999;
    write_geotiff(dir + "/b.tif", b);
    write_geotiff(dir + "/a.tif", a);
}

// A new folder under the tests' temporary one holding the two surveys.
std::string surveys_folder(const std::string &name)
{
    GDALAllRegister();
    const std::string dir = testing::TempDir() + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    write_surveys(dir);
    return dir;
}

// Cells of one square metre.
GridAreas unit_areas()
{
    GridAreas areas;
    areas.cell_area = 1;
    return areas;
}

PassRun run_pass(const std::string &dir, int block_lines, ChangeExtras x)
{
    PassRun run;
    DemInput before, after;
    DemInputOptions ob, oa;
    ob.path = dir + "/b.tif";
    oa.path = dir + "/a.tif";
    std::string error, warning;
    EXPECT_TRUE(open_dem_input(ob, &before, &error)) << error;
    EXPECT_TRUE(open_dem_input(oa, &after, &error)) << error;
    GridAreas areas;
    EXPECT_TRUE(grid_areas(before.grid, &areas, &warning, &error)) << error;
    RasterOutput o2, o3;
    const std::string p2 = dir + "/d2_" + std::to_string(block_lines) + ".tif",
                      p3 = dir + "/d3_" + std::to_string(block_lines) + ".tif";
    EXPECT_TRUE(open_output(p2, p2, before.grid, GDT_Float64, {}, 1, &o2, &error)) << error;
    EXPECT_TRUE(open_output(p3, p3, before.grid, GDT_Float64, {}, 1, &o3, &error)) << error;
    RasterOutput e2, e3;
    const std::string pe2 = dir + "/e2.tif", pe3 = dir + "/e3.tif";
    if (x.learned != nullptr) {
        EXPECT_TRUE(open_output(pe2, pe2, before.grid, GDT_Float64, {}, 1, &e2, &error)) << error;
        EXPECT_TRUE(open_output(pe3, pe3, before.grid, GDT_Float64, {}, 1, &e3, &error)) << error;
        x.error_2D = &e2;
        x.error_3D = &e3;
    }
    EXPECT_TRUE(change_pass(&before, &after, areas, block_lines, &o2, &o3, x, &run.result, &error)) << error;
    EXPECT_TRUE(finish_output(&o2, &error) && finish_output(&o3, &error)) << error;
    if (x.learned != nullptr) {
        EXPECT_TRUE(finish_output(&e2, &error) && finish_output(&e3, &error)) << error;
        run.e2 = read_geotiff(pe2).values;
        run.e3 = read_geotiff(pe3).values;
    }
    close_dem_input(&before);
    close_dem_input(&after);
    run.d2 = read_geotiff(p2).values;
    run.d3 = read_geotiff(p3).values;
    return run;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expect_same_rows(const BudgetRows &a, const BudgetRows &b)
{
    const BudgetTally *ta[] = {&a.negative, &a.positive, &a.zero, &a.all, &a.lod_negative, &a.lod_positive};
    const BudgetTally *tb[] = {&b.negative, &b.positive, &b.zero, &b.all, &b.lod_negative, &b.lod_positive};
    for (int k = 0; k < 6; k++) {
        EXPECT_EQ(ta[k]->cells, tb[k]->cells) << "row " << k;
        EXPECT_TRUE(exact_equal(ta[k]->volume, tb[k]->volume)) << "row " << k;
    }
}

void expect_same_runs(const PassRun &whole, const PassRun &blocks, int block_lines)
{
    SCOPED_TRACE("blocks of " + std::to_string(block_lines) + " lines");
    EXPECT_TRUE(same_bits(whole.d2, blocks.d2));
    EXPECT_TRUE(same_bits(whole.d3, blocks.d3));
    EXPECT_TRUE(same_bits(whole.e2, blocks.e2));
    EXPECT_TRUE(same_bits(whole.e3, blocks.e3));
    EXPECT_EQ(whole.result.budget_3D.lod_below.cells, blocks.result.budget_3D.lod_below.cells);
    expect_same_rows(whole.result.budget_2D, blocks.result.budget_2D);
    expect_same_rows(whole.result.budget_3D, blocks.result.budget_3D);
    expect_same_rows(whole.result.all_2D, blocks.result.all_2D);
    const ChangeCounts &w = whole.result.counts, &b = blocks.result.counts;
    EXPECT_EQ(w.nodata_before, b.nodata_before);
    EXPECT_EQ(w.nodata_after, b.nodata_after);
    EXPECT_EQ(w.no_2D, b.no_2D);
    EXPECT_EQ(w.no_3D_border, b.no_3D_border);
    EXPECT_EQ(w.no_3D_window, b.no_3D_window);
    for (const BudgetRows *r : {&whole.result.budget_2D, &whole.result.budget_3D}) {
        const BudgetRows &o = r == &whole.result.budget_2D ? blocks.result.budget_2D : blocks.result.budget_3D;
        EXPECT_TRUE(exact_equal(r->all.errors.sum_a2_sigma2, o.all.errors.sum_a2_sigma2));
        EXPECT_TRUE(exact_equal(r->all.errors.sum_a_sigma, o.all.errors.sum_a_sigma));
    }
}

TEST(PassBlocks, EveryBlockSizeGivesTheCellsBudgetsAndCountsOfOneBlock)
{
    const std::string dir = surveys_folder("pass_blocks");
    ChangeExtras plain;
    // Errors learned from slope: the pass runs two lines behind the reading.
    StableErrorModel model;
    SlopeBin low, steep;
    low.slope_min_deg = 0, low.slope_max_deg = 20, low.nmad_m = 0.05, low.median_slope_deg = 5, low.cells = 100;
    steep.slope_min_deg = 20, steep.slope_max_deg = 90, steep.nmad_m = 0.4, steep.median_slope_deg = 40, steep.cells = 100;
    model.slope_bins = {low, steep};
    ChangeExtras learned;
    learned.learned = &model;
    learned.cell_w = learned.cell_h = 2.5;
    learned.histograms = true;
    learned.detection.lod = 0.3; // and the 3D cells tested against their own σ: the σ of the lines around
    learned.detection.confidence = true;
    learned.detection.p = 0.68;
    learned.detection.z = 1;
    for (ChangeExtras *x : {&plain, &learned}) {
        const PassRun whole = run_pass(dir, 64, *x);
        EXPECT_GT(whole.result.budget_3D.all.cells, 100);
        // Reading ahead in a second thread, or not.
        for (int threads : {1, 2}) {
            x->threads = threads;
            for (int block_lines : {1, 2, 3, 5, 7, 22, 23})
                expect_same_runs(whole, run_pass(dir, block_lines, *x), block_lines);
        }
        x->threads = 1;
    }
    std::filesystem::remove_all(dir);
}

TEST(PassBlocks, BlocksLieInTheInputsRowsOfTiles)
{
    // 4000 columns allow 92 lines: a quarter of a 256-line tile row, or
    // as many whole strips as fit; a prime tile height keeps the budget.
    EXPECT_EQ(change_block_lines(4000), 92);
    EXPECT_EQ(aligned_block_lines(4000, 256), 64);
    EXPECT_EQ(aligned_block_lines(4000, 16), 80);
    EXPECT_EQ(aligned_block_lines(4000, 1), 92);
    EXPECT_EQ(aligned_block_lines(4000, 0), 92);
    EXPECT_EQ(aligned_block_lines(4000, 257), 92);
    EXPECT_EQ(aligned_block_lines(100, 512), 256);
}

// The grid as tiles worked out apart (change_tile: a window and the cells
// around it read, the tile's cells alone counted), in any order, handed
// over as words: the cells, budgets and counts of one pass over the whole.
TEST(PassBlocks, TilesWorkedOutApartMergeIntoTheWholePass)
{
    const std::string dir = surveys_folder("pass_tiles");
    ChangeExtras plain;
    plain.detection = make_detection(0.3, 0);
    const PassRun whole = run_pass(dir, 256, plain);
    TiledChange run;
    run.before.path = dir + "/b.tif";
    run.after.path = dir + "/a.tif";
    run.lod = 0.3;
    run.type = GDT_Float64;
    const int sizes[4][2] = {{5, 4}, {1, 9}, {23, 2}, {22, 8}};
    for (const auto &size : sizes) {
        SCOPED_TRACE("tiles of " + std::to_string(size[0]) + " x " + std::to_string(size[1]));
        PassRun tiled;
        tiled.d2.assign(23 * 9, 0);
        tiled.d3.assign(23 * 9, 0);
        std::vector<ChangeResult> parts;
        for (int line = 0; line < 23; line += size[0])
            for (int column = 0; column < 9; column += size[1]) {
                Tile tile;
                tile.line = line;
                tile.column = column;
                tile.lines = std::min(size[0], 23 - line);
                tile.columns = std::min(size[1], 9 - column);
                ChangeResult part;
                std::string error;
                ASSERT_TRUE(change_tile(run, tile, dir + "/t2.tif", dir + "/t3.tif", &part, &error)) << error;
                EXPECT_EQ(part.counts.cells, tile.lines * tile.columns);
                const Grid t2 = read_geotiff(dir + "/t2.tif"), t3 = read_geotiff(dir + "/t3.tif");
                EXPECT_EQ(t2.gt[0], 500000 + 2.5 * column);
                EXPECT_EQ(t2.gt[3], 4600000 - 2.5 * line);
                for (int i = 0; i < tile.lines; i++)
                    for (int j = 0; j < tile.columns; j++) {
                        tiled.d2[(line + i) * 9 + column + j] = t2.values[i * tile.columns + j];
                        tiled.d3[(line + i) * 9 + column + j] = t3.values[i * tile.columns + j];
                    }
                ChangeResult back;
                ASSERT_TRUE(change_result_from_words(change_result_words(part), &back, &error)) << error;
                EXPECT_EQ(change_result_words(back), change_result_words(part));
                parts.push_back(back);
            }
        // Merged last tile first.
        std::string error;
        for (size_t k = parts.size(); k-- > 0;)
            ASSERT_TRUE(change_result_merge(&tiled.result, parts[k], &error)) << error;
        expect_same_runs(whole, tiled, 256);
        EXPECT_EQ(tiled.result.counts.cells, whole.result.counts.cells);
        EXPECT_EQ(tiled.result.counts.no_3D, whole.result.counts.no_3D);
        EXPECT_EQ(tiled.result.counts.no_3D_cell, whole.result.counts.no_3D_cell);
        EXPECT_EQ(tiled.result.max_abs_2D, whole.result.max_abs_2D);
        EXPECT_EQ(tiled.result.max_abs_3D, whole.result.max_abs_3D);
    }
    // A window without the cells beside its block, and words of no part.
    ChangeBlock b;
    b.frame_lines = 23, b.frame_columns = 9, b.frame_line = 5, b.lines = 4, b.columns = 9;
    b.block_lines = 3, b.block_columns = 9;
    std::vector<double> h(36, 1.0), d(36);
    std::vector<unsigned char> v(36, 1);
    b.before = b.after = h.data();
    b.valid_before = b.valid_after = v.data();
    ChangeResult r;
    std::string error;
    EXPECT_FALSE(change_block(b, unit_areas(), 0, d.data(), d.data(), &r, &error));
    EXPECT_NE(error.find("cells around the block"), std::string::npos) << error;
    EXPECT_FALSE(change_result_from_words({1, 2, 3}, &r, &error));
}

TEST(OutputCompression, EachCompressionHasItsOptionsAndItsLevels)
{
    std::vector<std::string> options;
    std::string error;
    ASSERT_TRUE(compression_options("deflate", 0, &options, &error));
    EXPECT_EQ(options, (std::vector<std::string>{"COMPRESS=DEFLATE", "ZLEVEL=1", "PREDICTOR=1"}));
    options.clear();
    ASSERT_TRUE(compression_options("zstd", 9, &options, &error));
    EXPECT_EQ(options, (std::vector<std::string>{"COMPRESS=ZSTD", "ZSTD_LEVEL=9", "PREDICTOR=1"}));
    options.clear();
    ASSERT_TRUE(compression_options("lerc", 0, &options, &error));
    EXPECT_EQ(options, (std::vector<std::string>{"COMPRESS=LERC", "MAX_Z_ERROR=0"}));
    EXPECT_FALSE(compression_options("deflate", 13, &options, &error));
    EXPECT_EQ(error, "--level: deflate takes a level from 1 to 12");
    EXPECT_FALSE(compression_options("none", 3, &options, &error));
    EXPECT_EQ(error, "--level: none has no level");
    EXPECT_FALSE(compression_options("lzw", 0, &options, &error));
}

// An output written in uneven blocks of lines, its rows of tiles gathered
// apart from GDAL's cache, reads back value for value in both types, the
// cells without a difference as nodata, on a grid whose last tiles hold
// cells beyond it in both directions; lines out of order are refused. The
// file is the same, byte for byte, with its rows written in a thread of
// their own (two threads) or one after the other (one).
TEST(OutputRows, LinesInUnevenBlocksReadBackAsWritten)
{
    GDALAllRegister();
    const std::string dir = testing::TempDir() + "output_rows";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    GridFacts grid;
    grid.nb_lig = 300; // tiles 256 high: the second row holds 44 lines
    grid.nb_col = 600; // tiles 256 wide: the third holds 88 columns
    grid.has_geotransform = true;
    for (GDALDataType type : {GDT_Float32, GDT_Float64})
        for (int threads : {2, 1}) {
            const std::string path = dir + "/out_" + GDALGetDataTypeName(type) + "_" + std::to_string(threads) + ".tif";
            RasterOutput out;
            std::string error;
            ASSERT_TRUE(open_output(path, path, grid, type, {}, threads, &out, &error)) << error;
            ASSERT_LT(out.tile_lines, grid.nb_lig);
            std::vector<double> written(static_cast<size_t>(grid.nb_lig) * grid.nb_col);
            for (size_t k = 0; k < written.size(); k++)
                written[k] = k % 97 == 0 ? NAN : std::sin(0.001 * static_cast<double>(k)) * 12.5;
            std::vector<double> sent = written; // write_output_lines puts the nodata value in the buffer
            for (int first = 0, count = 1; first < grid.nb_lig; first += count, count = count % 5 + 2) {
                count = std::min(count, grid.nb_lig - first);
                double *lines = &sent[static_cast<size_t>(first) * grid.nb_col];
                ASSERT_TRUE(write_output_lines(&out, first, count, lines, &error)) << error;
            }
            EXPECT_FALSE(write_output_lines(&out, 0, 1, sent.data(), &error));
            ASSERT_TRUE(finish_output(&out, &error)) << error;
            GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
            ASSERT_NE(ds, nullptr);
            std::vector<double> back(written.size());
            ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, grid.nb_col, grid.nb_lig, back.data(),
                                   grid.nb_col, grid.nb_lig, GDT_Float64, 0, 0),
                      CE_None);
            GDALClose(ds);
            for (size_t k = 0; k < written.size(); k++) {
                const double expected = std::isnan(written[k]) ? output_nodata(type)
                                        : type == GDT_Float32 ? static_cast<double>(static_cast<float>(written[k]))
                                                              : written[k];
                ASSERT_EQ(back[k], expected) << GDALGetDataTypeName(type) << " cell " << k;
            }
            if (threads == 1) {
                std::ifstream one(path, std::ios::binary), two(dir + "/out_" + GDALGetDataTypeName(type) + "_2.tif",
                                                               std::ios::binary);
                const std::string bytes_one((std::istreambuf_iterator<char>(one)), std::istreambuf_iterator<char>());
                const std::string bytes_two((std::istreambuf_iterator<char>(two)), std::istreambuf_iterator<char>());
                EXPECT_EQ(bytes_one, bytes_two) << GDALGetDataTypeName(type);
            }
        }
}

// A difference the output's type cannot hold (beyond its finite range, or
// its nodata value itself) is refused where it lies, in either type; NaNs
// before it are the nodata value in the caller's buffer.
TEST(OutputRows, ADifferenceBeyondTheTypeIsRefusedWhereItLies)
{
    GDALAllRegister();
    const std::string dir = testing::TempDir() + "output_range";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    GridFacts grid;
    grid.nb_lig = 4;
    grid.nb_col = 300;
    grid.has_geotransform = true;
    for (GDALDataType type : {GDT_Float32, GDT_Float64})
        for (const double beyond : {type == GDT_Float32 ? 1e39 : HUGE_VAL, output_nodata(type)}) {
            RasterOutput out;
            std::string error;
            const std::string path = dir + "/out.tif";
            ASSERT_TRUE(open_output(path, path, grid, type, {}, 1, &out, &error)) << error;
            std::vector<double> lines(static_cast<size_t>(grid.nb_lig) * grid.nb_col, 1.5);
            lines[static_cast<size_t>(grid.nb_col) + 7] = NAN;
            lines[static_cast<size_t>(2 * grid.nb_col) + 271] = beyond;
            EXPECT_FALSE(write_output_lines(&out, 0, grid.nb_lig, lines.data(), &error));
            EXPECT_NE(error.find("at line 2, column 271 does not fit the output type"), std::string::npos) << error;
            EXPECT_EQ(lines[static_cast<size_t>(grid.nb_col) + 7], output_nodata(type));
            abandon_output(&out);
        }
}

} // namespace
