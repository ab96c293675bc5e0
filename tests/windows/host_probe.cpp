// Uses the host layer and the file formats the way the tool does, in the
// folder "smoke" under the base directory: a descriptor in a text stream, a
// raster in a binary one, a file replaced through a temporary file, the
// memory query, the key read, and a temporary file left to end_run. Run
// under Wine by host_smoke.sh, which checks what it prints and the files it
// leaves from the Linux side. Exit status 1 when a step fails here.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "host.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

bool step(bool ok, const char *what)
{
    std::printf("%s: %s\n", what, ok ? "ok" : "FAILED");
    return ok;
}

bool write_text(const std::string &path, const char *text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = std::fputs(text, f) >= 0 && flush_to_disk(f);
    return std::fclose(f) == 0 && ok;
}

bool descriptor(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = write_descriptor_fields(f, 2, 3, 2) && write_descriptor_fields(f, 0, 65535, 5) &&
              write_result_trailer(f, 2, 1.5);
    if (std::fclose(f) != 0 || !ok)
        return false;
    f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    int n = read_descriptor(f, field);
    std::fclose(f);
    return n == DESCR_FIELDS && field[0] == 2 && field[1] == 3 && field[2] == 2 && field[3] == 0 &&
           field[4] == 65535 && field[5] == 5;
}

// Values whose bytes a text stream would alter: 0D 0A (CR LF), 0A alone,
// 1A (the end of text for Windows' text streams), and FF FF.
bool raster(const std::string &path)
{
    const unsigned short values[2][3] = {{0x0A0D, 0x000A, 0x001A}, {0xFFFF, 0x0D00, 0x1234}};
    unsigned short **out = usmatrice(3, 2);
    unsigned short **back = usmatrice(3, 2);
    if (out == nullptr || back == nullptr)
        return false;
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            out[i][j] = values[i][j];
    bool ok = false;
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        ok = write_raster(f, out, 2, 3);
        ok = std::fclose(f) == 0 && ok;
    }
    if (FILE *f = ok ? std::fopen(path.c_str(), "rb") : nullptr) {
        ok = read_raster(f, back, 2, 3) == RASTER_COMPLETE;
        std::fclose(f);
        for (int i = 0; i < 2; i++)
            for (int j = 0; j < 3; j++)
                ok = ok && back[i][j] == values[i][j];
    }
    frusmatrice(out, 2);
    frusmatrice(back, 2);
    return ok;
}

bool replacement(const std::string &target, const std::string &temp)
{
    if (!write_text(target, "old\n"))
        return false;
    register_temp_file(temp);
    bool ok = write_text(temp, "new\n") && replace_file(temp, target);
    forget_temp_file(temp);
    return ok;
}

// A file that exists is never created again; a temporary file of a killed
// run is removed when the folder gets a new one, which nobody else may
// remove while the run holds it, and which its own rename replaces a file.
bool exclusive(const std::string &dir)
{
    if (!write_text(dir + "taken.txt", "taken\n") || !write_text(dir + "skarnovelt-Stale123.tmp", "stale\n"))
        return false;
    bool ok = create_new_file(dir + "taken.txt", "w") == nullptr && errno == EEXIST;
    std::string temp;
    FILE *f = create_temp_file(dir + "fresh.txt", "w", &temp);
    if (f == nullptr)
        return false;
    ok = ok && std::fopen((dir + "skarnovelt-Stale123.tmp").c_str(), "r") == nullptr;
    ok = ok && temp.size() == dir.size() + 23 && temp.compare(0, dir.size() + 11, dir + "skarnovelt-") == 0;
    ok = ok && std::remove(temp.c_str()) != 0; // held by this run
    ok = std::fputs("fresh\n", f) >= 0 && flush_to_disk(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    ok = ok && replace_file(temp, dir + "fresh.txt");
    forget_temp_file(temp);
    return ok;
}

} // namespace

int main()
{
    host_start();
    const std::string dir = folder_path("smoke");
    std::printf("folder: %s\n", dir.c_str());

    bool ok = step(descriptor(dir + "probe_m2.txt"), "descriptor");
    ok &= step(raster(dir + "probe_m2.raw"), "raster");
    ok &= step(replacement(dir + "replaced.txt", dir + "replaced.tmp"), "replace");
    ok &= step(available_memory() > 0, "memory");
    ok &= step(exclusive(dir), "exclusive creation");

    // The key read with piped input: one character taken, the rest left.
    getch();
    std::string rest;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        rest.push_back(static_cast<char>(c));
    std::printf("after the key: %s\n", rest.c_str());

    // Removed by end_run although still open, as the results are when a run
    // ends early: the run's temporary files never outlive it.
    std::string temp;
    FILE *left = create_temp_file(dir + "left", "wb", &temp);
    ok &= step(left != nullptr && std::fputs("partial", left) >= 0, "temporary file");
    end_run(ok ? 0 : 1);
}
