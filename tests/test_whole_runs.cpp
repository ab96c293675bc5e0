// Whole runs of the built tool from scripted dialogues, in temporary
// folders: the demo of the README, and (where the tests' reference-only copy
// of the tool is built) every result file of the tool against that copy's,
// byte for byte.
//
// Plan:
//   Demo           examples/demo.answers on the demo pair: the volumes the
//                  README and landslide.txt give, the files it writes
//   ReferenceRuns  every treatment, both result types, every input and
//                  result unit, on frames of 72 to 74 columns (whole AVX2
//                  lanes and tails of 0, 2 and 3 cells) and on the real DEM
//                  of examples/images/demo: the fast tool's console and files
//                  equal the reference tool's
#include "LIB/NRUTIL.h"
#include "surfaces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_file(const std::string &path)
{
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

bool write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The names of the files of a folder, sorted.
std::vector<std::string> list_files(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A temporary working folder holding images/<folder>/, removed at the end.
struct WorkFolder {
    std::string root, dem;
    explicit WorkFolder(const std::string &folder)
    {
        char pattern[] = "/tmp/skarnovelt_runs.XXXXXX";
        const char *made = mkdtemp(pattern);
        root = made != nullptr ? made : "";
        dem = root + "/images/" + folder;
        mkdir((root + "/images").c_str(), 0755);
        mkdir(dem.c_str(), 0755);
    }
    ~WorkFolder()
    {
        if (!root.empty())
            std::system(("rm -rf '" + root + "'").c_str());
    }
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;
};

struct ToolRun {
    int status;
    std::string output;
};

// Runs a tool in the working folder with the answers on its standard input.
ToolRun run_tool(const std::string &tool, const WorkFolder &w, const std::string &answers)
{
    ToolRun r = {-1, ""};
    if (!write_file(w.root + "/answers.txt", answers))
        return r;
    const std::string command =
        "cd '" + w.root + "' && '" + tool + "' < answers.txt > output.txt 2> /dev/null";
    const int status = std::system(command.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = read_file(w.root + "/output.txt");
    return r;
}

// The last line of the console that is not blank.
std::string last_line(const std::string &output)
{
    size_t end = output.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return "";
    const size_t start = output.find_last_of('\n', end);
    std::string line = output.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
    line.erase(0, line.find_first_not_of(" \t"));
    return line;
}

} // namespace

TEST(Demo, TheDemoDialogueGivesTheVolumesOfItsLandslideAndWritesTheReadmesFiles)
{
    WorkFolder w("demo");
    const std::string demo = std::string(DEMO_DIR) + "/images/demo/";
    for (const char *f : {"before_m2.raw", "before_m2.txt", "after_m4.raw", "after_m4.txt"})
        ASSERT_TRUE(write_file(w.dem + "/" + f, read_file(demo + f))) << f;
    const ToolRun r = run_tool(FAST_TOOL, w, read_file(std::string(DEMO_DIR) + "/demo.answers"));
    ASSERT_EQ(r.status, 0) << r.output;

    // The net volume of the landslide as it was made, as landslide.txt gives it.
    const std::string made = read_file(demo + "landslide.txt");
    ASSERT_NE(made.find("  net            46170.000000"), std::string::npos);
    EXPECT_EQ(last_line(r.output), "2D Volume 46170.000000 3D Volume 46170.000000");

    const std::vector<std::string> expected = {"after_m4.raw",      "after_m4.txt",      "before_m2.raw", "before_m2.txt",
                                               "change_2D_m4.raw", "change_2D_m4.txt", "change_3D_m4.raw",
                                               "change_3D_m4.txt"};
    EXPECT_EQ(list_files(w.dem), expected);
    EXPECT_EQ(read_file(w.dem + "/change_2D_m4.txt"),
              "344\n403\n4\n0\n40000\n90\n\n\n absolute values\n\n Volume = 46170.000000 m3 ");
    const std::string three = read_file(w.dem + "/change_3D_m4.txt");
    EXPECT_EQ(three.substr(0, three.find("\n\n")), "344\n403\n4\n0\n39766\n90");
    // Both rasters cover the frame, their border cells 0.
    for (const char *f : {"change_2D_m4.raw", "change_3D_m4.raw"}) {
        const std::string raster = read_file(w.dem + "/" + f);
        ASSERT_EQ(raster.size(), 344u * 403u * 4u) << f;
        const std::string zero_line(403 * 4, '\0');
        EXPECT_EQ(raster.substr(0, 403 * 4), zero_line) << f;
        EXPECT_EQ(raster.substr(343 * 403 * 4), zero_line) << f;
        for (int i = 0; i < 344; i++) {
            EXPECT_EQ(raster.substr(static_cast<size_t>(i) * 403 * 4, 4), std::string(4, '\0')) << f << " line " << i;
            EXPECT_EQ(raster.substr((static_cast<size_t>(i) * 403 + 402) * 4, 4), std::string(4, '\0'))
                << f << " line " << i;
        }
    }
}

#ifdef REFERENCE_TOOL

namespace {

// A DEM as the tool reads it: the raster and its descriptor.
struct DemFile {
    std::string name; // without the suffix
    bool m2;
    int lig, col;
    std::vector<int> values;
};

std::string raster_bytes(const DemFile &d)
{
    std::string b;
    for (int v : d.values) {
        const unsigned u = static_cast<unsigned>(v);
        for (int k = 0; k < (d.m2 ? 2 : 4); k++)
            b.push_back(static_cast<char>((u >> (8 * k)) & 0xFF));
    }
    return b;
}

void put_dem(const WorkFolder &w, const DemFile &d)
{
    const std::string base = w.dem + "/" + d.name + (d.m2 ? "_m2" : "_m4");
    const auto range = std::minmax_element(d.values.begin(), d.values.end());
    const std::string descriptor = std::to_string(d.lig) + "\n" + std::to_string(d.col) + "\n" + (d.m2 ? "2" : "4") +
                                   "\n" + std::to_string(*range.first) + "\n" + std::to_string(*range.second) +
                                   "\n1\n";
    ASSERT_TRUE(write_file(base + ".raw", raster_bytes(d)));
    ASSERT_TRUE(write_file(base + ".txt", descriptor));
}

// One dialogue: the DEMs' types and units, the results' type and unit, the
// pixel size and the treatment.
struct Answers {
    int unit1, unit2, type3, unit3;
    std::string pixel;
    int treat;
};

std::string dialogue(const std::string &folder, const DemFile &a, const DemFile &b, const Answers &q)
{
    return folder + "\n" + a.name + "\n" + (a.m2 ? "0" : "1") + "\n" + b.name + "\n" + (b.m2 ? "0" : "1") +
           "\nchange\n" + std::to_string(q.type3) + "\n" + std::to_string(q.unit1) + "\n" + std::to_string(q.unit2) +
           "\n" + std::to_string(q.unit3) + "\n" + q.pixel + "\n" + std::to_string(q.treat) + "\nk\n";
}

// Runs both tools through the same dialogue on the same DEMs, each in a
// folder of its own; the console and every file must be equal. Empty when
// they are, else what differs.
std::string compare_runs(const DemFile &a, const DemFile &b, const Answers &q)
{
    WorkFolder fast("f"), reference("f");
    for (const WorkFolder *w : {&fast, &reference}) {
        put_dem(*w, a);
        put_dem(*w, b);
    }
    const std::string answers = dialogue("f", a, b, q);
    const ToolRun rf = run_tool(FAST_TOOL, fast, answers);
    const ToolRun rr = run_tool(REFERENCE_TOOL, reference, answers);
    if (rf.status != 0 || rr.status != 0)
        return "exit status " + std::to_string(rf.status) + " and " + std::to_string(rr.status);
    if (rf.output != rr.output)
        return "console:\n" + rf.output + "\nagainst\n" + rr.output;
    const std::vector<std::string> files = list_files(fast.dem);
    if (files != list_files(reference.dem))
        return "the files written";
    if (files.size() != 8)
        return "no results written";
    for (const std::string &f : files)
        if (read_file(fast.dem + "/" + f) != read_file(reference.dem + "/" + f))
            return f;
    return "";
}

// Covers every input unit in both places, every result unit, and every
// treatment with both result types, in 12 dialogues.
std::vector<Answers> covering_answers()
{
    static const char *const pixels[4] = {"1", "2.5", "90", "0.37"};
    std::vector<Answers> all;
    for (int r = 0; r < 12; r++)
        all.push_back({r % 4, (r / 4 + r) % 4, (r / 3) % 2, r % 6, pixels[r % 4], r % 3});
    return all;
}

DemFile make_dem(const std::string &name, bool m2, int lig, int col)
{
    return {name, m2, lig, col, std::vector<int>(static_cast<size_t>(lig) * col)};
}

// Row pointers into a DemFile's values, for the generators.
struct Rows {
    std::vector<int *> rows;
    explicit Rows(DemFile &d)
    {
        for (int i = 0; i < d.lig; i++)
            rows.push_back(d.values.data() + static_cast<size_t>(i) * d.col);
    }
};

} // namespace

TEST(ReferenceRuns, SyntheticFramesOfWholeLanesAndTailsGiveTheReferencesFiles)
{
    // Interior lines of 71, 70 and 72 cells: AVX2 tails of 3, 2 and 0.
    const struct {
        int lig, col;
        bool first_m2, second_m2;
        uint64_t seed;
    } frames[] = {{17, 73, true, false, 1}, {13, 72, false, false, 2}, {9, 74, false, true, 3}};
    for (const auto &fr : frames) {
        DemFile a = make_dem("before", fr.first_m2, fr.lig, fr.col);
        DemFile b = make_dem("after", fr.second_m2, fr.lig, fr.col);
        Rows ra(a), rb(b);
        // A terrain in decimetres (300 to 1200 m) and a later survey of it;
        // the second frame also holds independent values over the 4-byte
        // range in its second DEM, far from the first, whose sums are
        // checked and often recomputed by the reference.
        synthetic_terrain(ra.rows.data(), fr.lig, fr.col, 300, 900, 1, fr.seed);
        later_survey(ra.rows.data(), rb.rows.data(), fr.lig, fr.col, 30, 3, 400, fr.seed + 10);
        if (!fr.second_m2 && !fr.first_m2)
            random_values(rb.rows.data(), fr.lig, fr.col, -2147483647LL, 2147483647LL, fr.seed + 20);
        for (const Answers &q : covering_answers())
            EXPECT_EQ(compare_runs(a, b, q), "")
                << fr.lig << " x " << fr.col << ", units " << q.unit1 << " " << q.unit2 << " -> " << q.unit3
                << ", type " << q.type3 << ", treatment " << q.treat;
    }
}

TEST(ReferenceRuns, TheRealDemGivesTheReferencesFiles)
{
    // The demo pair: the real DEM (whole metres, _m2) and the later survey
    // with its landslide (decimetres, _m4), 344 x 403 cells.
    const std::string demo = std::string(DEMO_DIR) + "/images/demo/";
    DemFile a = make_dem("before", true, 344, 403), b = make_dem("after", false, 344, 403);
    const std::string raw_a = read_file(demo + "before_m2.raw"), raw_b = read_file(demo + "after_m4.raw");
    ASSERT_EQ(raw_a.size(), 344u * 403u * 2u);
    ASSERT_EQ(raw_b.size(), 344u * 403u * 4u);
    for (size_t k = 0; k < a.values.size(); k++) {
        const auto byte = [](const std::string &s, size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(s[i])); };
        a.values[k] = static_cast<int>(byte(raw_a, 2 * k) | byte(raw_a, 2 * k + 1) << 8);
        b.values[k] = static_cast<int>(byte(raw_b, 4 * k) | byte(raw_b, 4 * k + 1) << 8 | byte(raw_b, 4 * k + 2) << 16 |
                                       byte(raw_b, 4 * k + 3) << 24);
    }
    // The demo's dialogue, then every treatment with both result types in
    // hundredths of millimetres (the largest values, misfits in _m2).
    std::vector<Answers> runs = {{0, 1, 1, 3, "90", 0}};
    for (int type = 0; type < 2; type++)
        for (int treat = 0; treat < 3; treat++)
            runs.push_back({0, 1, type, 5, "30", treat});
    for (const Answers &q : runs)
        EXPECT_EQ(compare_runs(a, b, q), "") << "type " << q.type3 << ", treatment " << q.treat;
}

#endif
