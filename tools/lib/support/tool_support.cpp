#include "tool_support.h"

#include "LIB/NRUTIL.h"
#include "answers.h"
#include "dem_files.h"
#include "difference.h"
#include "host.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

bool check_input_file(const std::string &path, std::string *error)
{
    const std::string problem = input_file_problem(path);
    if (!problem.empty())
        *error = path + ": " + problem;
    return problem.empty();
}

const char *type_name(int itype) { return itype == DEM_M2 ? "_m2" : "_m4"; }

void report_error(const char *program, const std::string &message, bool usage)
{
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    if (usage)
        std::fprintf(stderr, "Try '%s --help'.\n", program);
}

bool take_value(int argc, char **argv, int *k, std::string *value, std::string *error)
{
    if (*k + 1 >= argc) {
        *error = std::string(argv[*k]) + " needs a value";
        return false;
    }
    *k += 1;
    *value = argv[*k];
    return true;
}

bool parse_int(const std::string &option, const std::string &text, int lo, int hi, int *value, std::string *error)
{
    int v;
    if (!word_to_int(text, &v) || v < lo || v > hi) {
        *error = option + "=" + text + " - must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
        return false;
    }
    *value = v;
    return true;
}

RasterRead read_widened(FILE *f, int itype, bool m2_signed, int **values, int nb_lig, int nb_col, bool *no_memory)
{
    if (itype == DEM_M4)
        return read_raster(f, values, nb_lig, nb_col);
    unsigned short **staging = usmatrice(nb_col, nb_lig);
    if (staging == nullptr) {
        *no_memory = true;
        return RASTER_FAILED;
    }
    RasterRead outcome = read_raster(f, staging, nb_lig, nb_col);
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            values[i][j] = m2_signed ? static_cast<int>(static_cast<short>(staging[i][j])) : staging[i][j];
    frusmatrice(staging, nb_lig);
    return outcome;
}

bool read_pair_frame(const std::string &raster_path, const std::string &descr_path, int itype, PairFrame *frame,
                     std::string *error)
{
    if (!check_input_file(descr_path, error) || !check_input_file(raster_path, error))
        return false;
    FILE *fd = std::fopen(descr_path.c_str(), "r");
    if (fd == nullptr) {
        *error = "cannot open the descriptor " + descr_path + ": " + std::strerror(errno);
        return false;
    }
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    int n = read_descriptor(fd, field);
    std::fclose(fd);
    if (n < 2 || field[0] < 1 || field[1] < 1) {
        *error = "the descriptor " + descr_path + " gives no frame (its first two numbers must be the lines and columns, at least 1)";
        return false;
    }
    if (n >= 3 && field[2] != bytes_per_value(itype)) {
        *error = "the descriptor " + descr_path + " records " + std::to_string(field[2]) + " bytes per value, but a " +
                 type_name(itype) + " raster has " + std::to_string(bytes_per_value(itype));
        return false;
    }

    const int nb_lig = field[0];
    const int nb_col = field[1];
    const unsigned long long expected = static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col) *
                                        static_cast<unsigned long long>(bytes_per_value(itype));
    std::error_code ec;
    const unsigned long long actual = std::filesystem::file_size(raster_path, ec);
    if (ec) {
        *error = "cannot open the raster " + raster_path + ": " + ec.message();
        return false;
    }
    if (actual != expected) {
        *error = "the raster " + raster_path + " holds " + std::to_string(actual) + " bytes, but the frame of " + descr_path +
                 " (" + std::to_string(nb_lig) + " lines x " + std::to_string(nb_col) + " columns of " +
                 std::to_string(bytes_per_value(itype)) + " bytes) needs " + std::to_string(expected);
        return false;
    }
    frame->nb_lig = nb_lig;
    frame->nb_col = nb_col;
    frame->pix_size = n >= 6 ? field[5] : 0;
    return true;
}

bool load_dem(const std::string &raster_path, const std::string &descr_path, int itype, bool m2_signed,
              LoadedDem *dem, std::string *error)
{
    dem->values = nullptr;
    dem->nb_lig = dem->nb_col = dem->pix_size = 0;

    PairFrame frame;
    if (!read_pair_frame(raster_path, descr_path, itype, &frame, error))
        return false;
    const int nb_lig = frame.nb_lig;
    const int nb_col = frame.nb_col;

    FILE *f = std::fopen(raster_path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open the raster " + raster_path + ": " + std::strerror(errno);
        return false;
    }
    int **values = imatrice(nb_col, nb_lig);
    bool no_memory = values == nullptr;
    RasterRead outcome = RASTER_FAILED;
    if (values != nullptr)
        outcome = read_widened(f, itype, m2_signed, values, nb_lig, nb_col, &no_memory);
    std::fclose(f);
    if (outcome != RASTER_COMPLETE) {
        frimatrice(values, nb_lig);
        if (no_memory)
            *error = "not enough memory for the frame of " + raster_path + " (" + std::to_string(nb_lig) + " x " +
                     std::to_string(nb_col) + ")";
        else
            *error = "cannot read the raster " + raster_path + " (it changed while being read, or a read failed)";
        return false;
    }
    dem->values = values;
    dem->nb_lig = nb_lig;
    dem->nb_col = nb_col;
    dem->pix_size = frame.pix_size;
    return true;
}

void free_dem(LoadedDem *dem)
{
    frimatrice(dem->values, dem->nb_lig);
    dem->values = nullptr;
}

FILE *open_temp(const std::string &path, const char *mode, std::string *temp, std::string *error)
{
    FILE *f = create_temp_file(path, mode, temp);
    if (f == nullptr)
        *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return f;
}

bool commit_temp(FILE *f, const std::string &temp, const std::string &path, std::string *error)
{
    bool written = !std::ferror(f);
    if (std::fclose(f) != 0)
        written = false;
    if (!written) {
        *error = "cannot write " + path + " (disk full or write error)";
        abandon_temp(nullptr, temp);
        return false;
    }
    if (!replace_file(temp, path)) {
        *error = "cannot replace " + path + ": " + std::strerror(errno);
        abandon_temp(nullptr, temp);
        return false;
    }
    forget_temp_file(temp);
    return true;
}

void abandon_temp(FILE *f, const std::string &temp)
{
    if (f != nullptr)
        std::fclose(f);
    discard_temp_file(temp);
}

std::string exact_number(double v)
{
    // Plain decimals for the magnitudes of coordinates, sizes and heights
    // (500000, not 5e+05); an exponent for the others.
    const double a = std::fabs(v);
    const bool plain = a == 0 || (a >= 1e-5 && a < 1e17);
    char text[400];
    const std::to_chars_result r =
        std::to_chars(text, text + sizeof text, v, plain ? std::chars_format::fixed : std::chars_format::scientific);
    return std::string(text, r.ptr);
}

int decimals_of_error(double error, int fallback)
{
    if (!(error > 0) || !std::isfinite(error))
        return fallback;
    return 1 - static_cast<int>(std::floor(std::log10(error)));
}

std::string rounded_text(double v, int decimals)
{
    char text[400];
    if (decimals >= 0) {
        std::snprintf(text, sizeof text, "%.*f", decimals, v);
    } else {
        const double unit = std::pow(10.0, -decimals);
        std::snprintf(text, sizeof text, "%.0f", std::round(v / unit) * unit);
    }
    const std::string t = text;
    return t.find_first_not_of("-0.") == std::string::npos && t[0] == '-' ? t.substr(1) : t; // no "-0"
}

void keep_freed_memory()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
#endif
}
