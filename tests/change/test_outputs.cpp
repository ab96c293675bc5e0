// The companions' one output transaction: outputs staged in a private
// folder and put in place together, the checks made before anything is
// written, the lock on a run's outputs, and dem_change's runs that fail
// late, are interrupted or are named in bytes that are not UTF-8.
//
// Plan:
//   1. The set in process: all or nothing, a staged file swapped for a
//      link, a failed rename put back, targets refused, the lock, the
//      private folders of killed runs.
//   2. Text made valid UTF-8.
//   3. dem_change: a late failure and a signal in the renames leave no mixed
//      set; a second run on the same OUT stops; names that are not UTF-8.
//   4. Inputs checked before they are read: FIFOs as every kind of input,
//      complex and 64-bit integer bands, errors and scales that overflow;
//      what escapes a program's work ends it with a message.
#include "LIB/NRUTIL.h"
#include "cli_support.h"
#include "dem_files.h"
#include "gdal_test_files.h"
#include "host.h"
#include "output_set.h"

#include <nlohmann/json.hpp>

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

class Outputs : public BridgeTest {
  protected:
    void put(const std::string &name, const std::string &text) const { std::ofstream(at(name)) << text; }
    // Every private folder or lock left in the scratch folder.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> v;
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name.find("skarnovelt-run-") == 0 || name.find(".skarnovelt-lock") != std::string::npos)
                v.push_back(name);
        }
        return v;
    }
};

// 1. The set in process ------------------------------------------------------

TEST_F(Outputs, EveryOutputAppearsOnlyWhenAllAreCommitted)
{
    put("a.txt", "earlier a");
    OutputSet set;
    std::string error, staged;
    ASSERT_TRUE(begin_outputs(at("r"), {}, &set, &error)) << error;
    ASSERT_TRUE(stage_output(&set, at("a.txt"), &staged, &error)) << error;
    ASSERT_TRUE(stage_output(&set, at("b.txt"), &staged, &error)) << error;
    ASSERT_TRUE(write_staged_text(set, at("a.txt"), "new a", &error)) << error;
    ASSERT_TRUE(write_staged_text(set, at("b.txt"), "new b", &error)) << error;
    // Staged in a folder nobody else may enter; nothing in place yet.
    struct stat st;
    ASSERT_EQ(stat(std::filesystem::path(staged).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(read_file(at("a.txt")), "earlier a");
    EXPECT_FALSE(exists(at("b.txt")));
    ASSERT_TRUE(commit_outputs(&set, &error)) << error;
    EXPECT_EQ(read_file(at("a.txt")), "new a");
    EXPECT_EQ(read_file(at("b.txt")), "new b");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Outputs, AStagedFileSwappedForALinkReplacesNothing)
{
    put("a.txt", "earlier a");
    put("victim", "the user's file");
    OutputSet set;
    std::string error, staged_a, staged_b;
    ASSERT_TRUE(begin_outputs(at("r"), {}, &set, &error));
    ASSERT_TRUE(stage_output(&set, at("a.txt"), &staged_a, &error));
    ASSERT_TRUE(stage_output(&set, at("b.txt"), &staged_b, &error));
    ASSERT_TRUE(write_staged_text(set, at("a.txt"), "new a", &error));
    ASSERT_EQ(unlink(staged_b.c_str()), 0);
    ASSERT_EQ(symlink(at("victim").c_str(), staged_b.c_str()), 0);
    EXPECT_FALSE(commit_outputs(&set, &error));
    EXPECT_NE(error.find("is no longer the file this run wrote: nothing was replaced"), std::string::npos) << error;
    EXPECT_EQ(read_file(at("a.txt")), "earlier a");
    EXPECT_FALSE(exists(at("b.txt")));
    EXPECT_EQ(read_file(at("victim")), "the user's file");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Outputs, ARenameThatFailsPutsTheEarlierFilesBack)
{
    put("a.txt", "earlier a");
    OutputSet set;
    std::string error, staged;
    ASSERT_TRUE(begin_outputs(at("r"), {}, &set, &error));
    for (const char *name : {"a.txt", "new.txt", "c.txt"}) {
        ASSERT_TRUE(stage_output(&set, at(name), &staged, &error)) << error;
        ASSERT_TRUE(write_staged_text(set, at(name), std::string("new ") + name, &error));
    }
    // The third target turns into a folder meanwhile: its rename fails.
    std::filesystem::create_directory(at("c.txt"));
    EXPECT_FALSE(commit_outputs(&set, &error));
    EXPECT_NE(error.find("cannot replace " + at("c.txt")), std::string::npos) << error;
    EXPECT_NE(error.find("put back"), std::string::npos) << error;
    EXPECT_EQ(read_file(at("a.txt")), "earlier a");
    EXPECT_FALSE(exists(at("new.txt")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Outputs, TargetsThatCannotBeOutputsAreRefusedFirst)
{
    put("input.tif", "an input");
    std::filesystem::create_directory(at("folder"));
    OutputSet set;
    std::string error, staged;
    ASSERT_TRUE(begin_outputs(at("r"), {at("input.tif")}, &set, &error));
    EXPECT_FALSE(stage_output(&set, at("missing/x.json"), &staged, &error));
    EXPECT_NE(error.find("missing/x.json: cannot be written: its folder " + at("missing/") + " does not exist"),
              std::string::npos)
        << error;
    EXPECT_FALSE(stage_output(&set, at("folder"), &staged, &error));
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
    EXPECT_FALSE(stage_output(&set, dir + "/./input.tif", &staged, &error));
    EXPECT_NE(error.find("would replace the input"), std::string::npos) << error;
    ASSERT_TRUE(stage_output(&set, at("x.json"), &staged, &error));
    EXPECT_FALSE(stage_output(&set, at("x.json"), &staged, &error));
    EXPECT_NE(error.find("named for two outputs"), std::string::npos) << error;
    abandon_outputs(&set);
    EXPECT_TRUE(leftovers().empty());
    EXPECT_EQ(read_file(at("input.tif")), "an input");
}

TEST_F(Outputs, ASecondRunOnTheSameOutputsStops)
{
    OutputSet first, second;
    std::string error;
    ASSERT_TRUE(begin_outputs(at("r"), {}, &first, &error)) << error;
    EXPECT_FALSE(begin_outputs(at("r"), {}, &second, &error));
    EXPECT_NE(error.find("another run is writing the outputs " + at("r")), std::string::npos) << error;
    // Another base is free, and so is this one once the first run ends.
    OutputSet other;
    EXPECT_TRUE(begin_outputs(at("s"), {}, &other, &error)) << error;
    abandon_outputs(&other);
    abandon_outputs(&first);
    EXPECT_TRUE(begin_outputs(at("r"), {}, &second, &error)) << error;
    abandon_outputs(&second);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Outputs, PrivateFoldersOfKilledRunsAreRemovedThoseOfLiveRunsKept)
{
    // A killed run's folder (its lock free) and a live one's (held here).
    for (const char *name : {"skarnovelt-run-dead01", "skarnovelt-run-live01"}) {
        std::filesystem::create_directory(at(name));
        put(std::string(name) + "/lock", "");
        put(std::string(name) + "/r_2D.tif", "half written");
    }
    const int held = open(at("skarnovelt-run-live01/lock").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    OutputSet set;
    std::string error, staged;
    ASSERT_TRUE(begin_outputs(at("r"), {}, &set, &error));
    ASSERT_TRUE(stage_output(&set, at("r.json"), &staged, &error)) << error;
    EXPECT_FALSE(exists(at("skarnovelt-run-dead01")));
    EXPECT_TRUE(exists(at("skarnovelt-run-live01/r_2D.tif")));
    abandon_outputs(&set);
    close(held);
}

// 2. Text made valid UTF-8 ----------------------------------------------------

TEST(ValidUtf8, InvalidBytesAreReplacedValidTextKept)
{
    bool changed = true;
    EXPECT_EQ(valid_utf8("plain \xc3\xa9t\xc3\xa9 \xe2\x88\x92 \xf0\x9f\x8c\x8b", &changed),
              "plain \xc3\xa9t\xc3\xa9 \xe2\x88\x92 \xf0\x9f\x8c\x8b");
    EXPECT_FALSE(changed);
    EXPECT_EQ(valid_utf8("a\xff" "b", &changed), "a\xef\xbf\xbd" "b");
    EXPECT_TRUE(changed);
    // An overlong form, a surrogate, a sequence cut short, beyond U+10FFFF.
    EXPECT_EQ(valid_utf8("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(valid_utf8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(valid_utf8("x\xe2\x88"), "x\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(valid_utf8("\xf4\x90\x80\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    // JSON of such a name is written, not refused.
    const nlohmann::json doc = {{"name", "survey\xff.tif"}};
    EXPECT_EQ(nlohmann::json::parse(json_text(doc))["name"], "survey\xef\xbf\xbd.tif");
}

// 3. dem_change ---------------------------------------------------------------

class ChangeOutputs : public Outputs {
  protected:
    void SetUp() override
    {
        Outputs::SetUp();
        Grid before, after;
        before.lines = after.lines = 6;
        before.columns = after.columns = 7;
        before.values.assign(42, 100.0);
        after.values.assign(42, 100.0);
        after.values[3 * 7 + 3] = 97.5; // a pit
        write_geotiff(at("before.tif"), before);
        write_geotiff(at("after.tif"), after);
        after.values[2 * 7 + 4] = 103; // and a mound
        write_geotiff(at("later.tif"), after);
    }
    Outcome change(const std::string &args, const std::string &env = "", const std::string &after = "after.tif") const
    {
        return run_in(dir, "env " + env + " " + std::string(DEM_CHANGE) + " before.tif " + after + " " + args);
    }
    const std::vector<std::string> all = {"r_2D.tif", "r_3D.tif", "r_2D.png", "r_3D.png", "r.json",
                                          "r.csv",    "h.csv",    "report.html"};
    const std::string every = "r --picture --csv r.csv --histogram h.csv --report report.html";
    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> bytes;
        for (const std::string &name : all)
            bytes[name] = exists(at(name)) ? read_file(at(name)) : std::string("(missing)");
        return bytes;
    }
};

TEST_F(ChangeOutputs, ARunThatFailsLateLeavesEveryEarlierOutput)
{
    Outcome first = change(every + " --json r.json");
    ASSERT_EQ(first.status, 0) << first.err;
    const auto earlier = snapshot();
    for (const auto &file : earlier)
        ASSERT_NE(file.second, "(missing)") << file.first;
    // Bins too narrow to count, found only after the pass.
    Outcome late = change(every + " --json r.json --bin-width 1e-300", "", "later.tif");
    EXPECT_EQ(late.status, 1) << late.err;
    EXPECT_TRUE(snapshot() == earlier);
    // An output in a folder that does not exist: said before the pass.
    Outcome missing = change(every + " --json nowhere/r.json", "", "later.tif");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nowhere/r.json: cannot be written: its folder nowhere/ does not exist"),
              std::string::npos)
        << missing.err;
    EXPECT_TRUE(snapshot() == earlier);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(ChangeOutputs, ASignalDuringTheRenamesTakesEffectAfterTheLast)
{
    // SIGTERM just before the first rename, to the process or to another
    // thread of it (where GDAL's workers would take it): every output is
    // the new run's.
    for (const char *where : {"", " SIGNAL_IN_THREAD=1"}) {
        ASSERT_EQ(change(every + " --json r.json").status, 0);
        const auto earlier = snapshot();
        Outcome r = change(every + " --json r.json",
                           std::string("LD_PRELOAD=") + RENAME_SHIM + " SIGNAL_AT_RENAME=1" + where +
                               " ASAN_OPTIONS=verify_asan_link_order=0",
                           "later.tif");
        EXPECT_EQ(r.status, 128 + SIGTERM) << where << r.err;
        const auto now = snapshot();
        for (const std::string &name : all)
            EXPECT_FALSE(now.at(name) == earlier.at(name)) << where << name;
        EXPECT_TRUE(leftovers().empty()) << where;
    }
}

TEST_F(ChangeOutputs, ASecondRunWritingTheSameOutStops)
{
    const int held = open(at(".r.skarnovelt-lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    Outcome r = change("r --json r.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("another run is writing the outputs r now"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(at("r_2D.tif")));
    EXPECT_FALSE(exists(at("r.json")));
    close(held);
    EXPECT_EQ(change("r --json r.json").status, 0);
}

TEST_F(ChangeOutputs, NamesThatAreNotUtf8GoIntoValidJsonAndCsv)
{
    std::filesystem::copy_file(at("before.tif"), at("b\xff.tif"));
    Outcome r = run_in(dir, std::string(DEM_CHANGE) + " 'b\xff.tif' after.tif 'r\xfe' --json r.json --csv r.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(read_file(at("r.json")));
    EXPECT_NE(doc.dump().find("b\xef\xbf\xbd.tif"), std::string::npos);
    EXPECT_EQ(valid_utf8(read_file(at("r.csv"))), read_file(at("r.csv")));
    EXPECT_TRUE(exists(at("r\xfe_2D.tif")));
}

TEST_F(ChangeOutputs, AClassNamedLikeAFormulaIsNoFormulaInTheCsv)
{
    std::ofstream(at("zones.geojson"))
        << "{\"type\":\"FeatureCollection\",\"crs\":{\"type\":\"name\",\"properties\":{\"name\":"
           "\"urn:ogc:def:crs:EPSG::32633\"}},\"features\":[{\"type\":\"Feature\",\"properties\":{\"zone\":"
           "\"=HYPERLINK(\\\"http://x\\\")\"},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[500000,4600000],"
           "[500010,4600000],[500010,4599985],[500000,4599985],[500000,4600000]]]}}]}";
    Outcome r = change("r --classes zones.geojson --class-field zone --csv r.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string csv = read_file(at("r.csv"));
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"http://x\"\")\",class\n"), std::string::npos) << csv;
    EXPECT_EQ(csv.find(",\"=HYPERLINK"), std::string::npos) << csv;
}

// 4. Inputs checked before they are read ----------------------------------------

TEST_F(ChangeOutputs, AFifoAsAnyInputIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo(at("pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(at("pipe_m4.txt").c_str(), 0600), 0);
    std::ofstream(at("pipe_m4.raw")) << "";
    const std::string refused = "is a FIFO (named pipe), not a file";
    // Each would block for ever on opening (run_in ends a run after 60 s).
    const std::vector<std::string> runs = {
        std::string(DEM_CHANGE) + " pipe after.tif r",
        std::string(DEM_CHANGE) + " before.tif after.tif r --classes pipe",
        std::string(DEM_CHANGE) + " before.tif after.tif r --sigma-before pipe --sigma-after 0.1",
        std::string(DEM_CHANGE) + " before.tif after.tif r --coregister --unstable pipe",
        std::string(DEM_CHANGE) + " pipe_m4.raw after.tif r --unit-before m",
        std::string(DEM_GDAL) + " export -u m pipe_m4.raw x.tif",
        std::string(DEM_GDAL) + " import --type m4 --unit mm pipe x",
        std::string(DEM_GDAL) + " export -u m --georef pipe b_m4.raw x.tif",
    };
    write_pair(at("b"), PAIR_INPUT, DEM_M4, 3, 3, std::vector<long long>(9, 5));
    for (const std::string &command : runs) {
        Outcome r = run_in(dir, "timeout 20 " + command);
        EXPECT_EQ(r.status, 1) << command << "\n" << r.err;
        EXPECT_NE(r.err.find(refused), std::string::npos) << command << "\n" << r.err;
    }
    EXPECT_FALSE(exists(at("r_2D.tif")));
    EXPECT_FALSE(exists(at("x.tif")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(ChangeOutputs, BandsErrorsAndScalesThatAreNoHeightsAreRefused)
{
    Grid complex;
    complex.lines = 6;
    complex.columns = 7;
    complex.values.assign(42, 100.0);
    complex.type = GDT_CFloat32;
    write_geotiff(at("complex.tif"), complex);
    Outcome r = change("r", "", "complex.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("band 1 holds complex numbers (CFloat32), not heights"), std::string::npos) << r.err;
    r = change("r --sigma-before 1e308 --sigma-after 0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--sigma-before 1e308: an error that large overflows"), std::string::npos) << r.err;
    r = change("r --z-scale-after 1e308");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is no height once scaled"), std::string::npos) << r.err;
    // An infinite float32 height, unscaled: said where it lies.
    Grid infinite;
    infinite.lines = 6;
    infinite.columns = 7;
    infinite.values.assign(42, 100.0);
    infinite.values[4 * 7 + 2] = HUGE_VAL;
    infinite.type = GDT_Float32;
    write_geotiff(at("infinite.tif"), infinite);
    r = change("r", "", "infinite.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the value inf at line 4, column 2 is no height once scaled"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(at("r_2D.tif")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(ChangeOutputs, BlocksTooLargeForTheMemoryAreRefusedBeforeTheyAreRead)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit is tried without the address sanitizer's own reservations";
#endif
    // 16384 lines x 20000 columns in compressed tiles 16384 lines high (a
    // row of tiles of each survey is 1.3 GB), written sparse (a small file),
    // under a limit of 2.4 GB of address space for the run (the two rows of
    // tiles alone need 2.6 GB).
    for (const char *name : {"tall_a.tif", "tall_b.tif"}) {
        const char *options[] = {"SPARSE_OK=TRUE", "TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=16384",
                                 "COMPRESS=DEFLATE", nullptr};
        GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), at(name).c_str(), 20000, 16384, 1, GDT_Float32,
                                     const_cast<char **>(options));
        ASSERT_NE(ds, nullptr);
        GDALClose(ds);
    }
    Outcome r = run_in(dir, "sh -c 'ulimit -v 2400000 && exec " + std::string(DEM_CHANGE) + " tall_a.tif tall_b.tif r --pixel 1'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("the grid of 16384 lines x 20000 columns, read in blocks of 16384 lines, needs about"),
              std::string::npos)
        << r.err;
    // dem_gdal import of one of them: the frame and a row of its tiles.
    r = run_in(dir, "sh -c 'ulimit -v 1500000 && exec " + std::string(DEM_GDAL) +
                        " import --type m4 --unit mm --pixel-size 1 tall_a.tif tall'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("not enough memory for tall_a.tif (16384 lines x 20000 columns, read in blocks of 16384 "
                         "lines)"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(exists(at("tall_m4.raw")));
    EXPECT_FALSE(exists(at("r_2D.tif")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(ChangeOutputs, GdalsOwnMessagesFollowTheProgramsOnceEach)
{
    // A TIFF cut short: GDAL says why after the program's one-line message.
    const std::string bytes = read_file(at("after.tif"));
    std::ofstream(at("cut.tif"), std::ios::binary) << bytes.substr(0, 40);
    Outcome r = change("r", "", "cut.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("dem_change: cut.tif: GDAL cannot open it as a raster\n"), 0u) << r.err;
    const size_t gdal = r.err.find("dem_change: GDAL error: ");
    EXPECT_NE(gdal, std::string::npos) << r.err;
    const std::string first = r.err.substr(gdal, r.err.find('\n', gdal) - gdal);
    EXPECT_EQ(r.err.find(first, gdal + first.size()), std::string::npos) << r.err;
}

TEST(RunGuarded, WhatEscapesTheWorkEndsItWithAMessage)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_guarded("prog", [] () -> int { throw std::bad_alloc(); }), EXIT_FAILED);
    EXPECT_EQ(run_guarded("prog", [] () -> int { throw std::runtime_error("broken"); }), EXIT_FAILED);
    EXPECT_EQ(run_guarded("prog", [] { return EXIT_DONE; }), EXIT_DONE);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("prog: not enough memory for this run: nothing was written\n"), std::string::npos) << err;
    EXPECT_NE(err.find("prog: internal error: broken: nothing was written\n"), std::string::npos) << err;
}

} // namespace
