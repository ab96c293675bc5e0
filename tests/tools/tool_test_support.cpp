#include "tool_test_support.h"

#include "LIB/NRUTIL.h"
#include "dem_files.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
std::string quoted(const std::string &s) { return "'" + s + "'"; }
} // namespace

Outcome run_program(const std::string &program, const std::vector<std::string> &args, const std::string &dir,
                const std::string &input)
{
    const std::string in = dir + "/.stdin", out = dir + "/.stdout", err = dir + "/.stderr";
    write_text(in, input);
    std::string cmd = "cd " + quoted(dir) + " && " + quoted(program);
    for (const std::string &a : args)
        cmd += " " + quoted(a);
    cmd += " <" + quoted(in) + " >" + quoted(out) + " 2>" + quoted(err);
    int raw = std::system(cmd.c_str());
    Outcome r;
    r.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = file_bytes(out);
    r.err = file_bytes(err);
    fs::remove(in);
    fs::remove(out);
    fs::remove(err);
    return r;
}

void ScratchTest::SetUp()
{
    std::string tmpl = (fs::temp_directory_path() / "skarnovelt-tools-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir = buf.data();
}

void ScratchTest::TearDown()
{
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::vector<std::string> ScratchTest::files() const
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

Grid read_grid(const std::string &raster, int itype, int nb_lig, int nb_col)
{
    Grid g(static_cast<size_t>(nb_lig), std::vector<long long>(static_cast<size_t>(nb_col)));
    FILE *f = std::fopen(raster.c_str(), "rb");
    EXPECT_NE(f, nullptr) << raster;
    if (f == nullptr)
        return g;
    if (itype == DEM_M2) {
        unsigned short **m = usmatrice(nb_col, nb_lig);
        EXPECT_EQ(read_raster(f, m, nb_lig, nb_col), RASTER_COMPLETE) << raster;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                g[i][j] = m[i][j];
        frusmatrice(m, nb_lig);
    } else {
        int **m = imatrice(nb_col, nb_lig);
        EXPECT_EQ(read_raster(f, m, nb_lig, nb_col), RASTER_COMPLETE) << raster;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                g[i][j] = m[i][j];
        frimatrice(m, nb_lig);
    }
    std::fclose(f);
    return g;
}

void write_pair(const std::string &base, int itype, const Grid &g, int pix_size)
{
    const int nb_lig = static_cast<int>(g.size()), nb_col = nb_lig > 0 ? static_cast<int>(g[0].size()) : 0;
    FILE *f = std::fopen((base + raster_suffix(PAIR_INPUT, itype)).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    int **m = imatrice(nb_col, nb_lig);
    unsigned short **m2 = usmatrice(nb_col, nb_lig);
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            m[i][j] = static_cast<int>(g[i][j]);
            m2[i][j] = static_cast<unsigned short>(g[i][j]);
        }
    int lo, hi;
    bool ok;
    if (itype == DEM_M2) {
        ok = write_raster(f, m2, nb_lig, nb_col);
        scan_range(m2, nb_lig, nb_col, 10000000, 0, &lo, &hi);
    } else {
        ok = write_raster(f, m, nb_lig, nb_col);
        scan_range(m, nb_lig, nb_col, 10000000, 0, &lo, &hi);
    }
    frimatrice(m, nb_lig);
    frusmatrice(m2, nb_lig);
    EXPECT_TRUE(ok);
    std::fclose(f);
    FILE *fd = std::fopen((base + descr_suffix(PAIR_INPUT, itype)).c_str(), "w");
    ASSERT_NE(fd, nullptr);
    write_descriptor_fields(fd, nb_lig, nb_col, bytes_per_value(itype));
    write_descriptor_fields(fd, lo, hi, pix_size);
    std::fclose(fd);
}

std::vector<int> descriptor_fields(const std::string &path)
{
    std::vector<int> field(DESCR_FIELDS, 0);
    FILE *f = std::fopen(path.c_str(), "r");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr)
        return field;
    EXPECT_EQ(read_descriptor(f, field.data()), DESCR_FIELDS) << path;
    std::fclose(f);
    return field;
}

double number_after(const std::string &out, const std::string &label)
{
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first;
        double value;
        if (words >> first && first == label && words >> value)
            return value;
    }
    ADD_FAILURE() << "no line '" << label << " <number>' in:\n" << out;
    return 0;
}
