#include "dem_files.h"

#include "host.h"
#include "progress.h"

#include <cctype>
#include <climits>
#include <cstdint>

std::string folder_path(const std::string &folder)
{
    return std::string(base_directory()) + folder + path_separator();
}

const char *raster_suffix(int pair, int itype)
{
    static const char *const suffix[3][2] = {
        {"_m2.raw", "_m4.raw"}, {"_2D_m2.raw", "_2D_m4.raw"}, {"_3D_m2.raw", "_3D_m4.raw"}};
    return suffix[pair][itype];
}

const char *descr_suffix(int pair, int itype)
{
    static const char *const suffix[3][2] = {
        {"_m2.txt", "_m4.txt"}, {"_2D_m2.txt", "_2D_m4.txt"}, {"_3D_m2.txt", "_3D_m4.txt"}};
    return suffix[pair][itype];
}

int bytes_per_value(int itype) { return itype == DEM_M2 ? 2 : 4; }

namespace {

// The files are little-endian; on a big-endian host a line is swapped in
// place after reading and before writing (and back after writing).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
void to_from_little_endian(unsigned short *line, int n)
{
    for (int j = 0; j < n; j++)
        line[j] = static_cast<unsigned short>((line[j] >> 8) | (line[j] << 8));
}
void to_from_little_endian(int *line, int n)
{
    for (int j = 0; j < n; j++) {
        uint32_t v = static_cast<uint32_t>(line[j]);
        v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
        line[j] = static_cast<int>(v);
    }
}
#else
template <typename T> void to_from_little_endian(T *, int) {}
#endif

template <typename T> RasterRead read_lines(FILE *f, T **Mat, int nb_lig, int nb_col)
{
    const size_t n = static_cast<size_t>(nb_col);
    for (int i = 0; i < nb_lig; i++) {
        size_t got = std::fread(Mat[i], sizeof(T), n, f);
        to_from_little_endian(Mat[i], static_cast<int>(got));
        if (got < n)
            return std::ferror(f) ? RASTER_FAILED : RASTER_SHORT;
        progress_step(i + 1);
    }
    // One byte past the frame tells whether more follow; it is put back, so
    // that a reader of consecutive blocks of lines reads on from there.
    int c = std::fgetc(f);
    if (c != EOF) {
        std::ungetc(c, f);
        return RASTER_LONG;
    }
    return std::ferror(f) ? RASTER_FAILED : RASTER_COMPLETE;
}

template <typename T> bool write_lines(FILE *f, T **Mat, int nb_lig, int nb_col)
{
    const size_t n = static_cast<size_t>(nb_col);
    for (int i = 0; i < nb_lig; i++) {
        to_from_little_endian(Mat[i], nb_col);
        size_t put = std::fwrite(Mat[i], sizeof(T), n, f);
        to_from_little_endian(Mat[i], nb_col);
        if (put != n)
            return false;
    }
    return true;
}

} // namespace

RasterRead read_raster(FILE *f, unsigned short **Mat, int nb_lig, int nb_col) { return read_lines(f, Mat, nb_lig, nb_col); }
RasterRead read_raster(FILE *f, int **Mat, int nb_lig, int nb_col) { return read_lines(f, Mat, nb_lig, nb_col); }
bool write_raster(FILE *f, unsigned short **Mat, int nb_lig, int nb_col) { return write_lines(f, Mat, nb_lig, nb_col); }
bool write_raster(FILE *f, int **Mat, int nb_lig, int nb_col) { return write_lines(f, Mat, nb_lig, nb_col); }

namespace {
// One "%d" conversion: optional white space, an optional sign, decimal
// digits. False, with the value untouched, when no digit follows or the
// number does not fit an int.
bool read_decimal_int(FILE *f, int *value)
{
    int c = std::fgetc(f);
    while (c != EOF && std::isspace(c))
        c = std::fgetc(f);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::fgetc(f);
    }
    if (c == EOF || !std::isdigit(c))
        return false;
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (c != EOF && std::isdigit(c)) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            return false;
        c = std::fgetc(f);
    }
    if (c != EOF)
        std::ungetc(c, f);
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}
} // namespace

int read_descriptor(FILE *f, int field[DESCR_FIELDS])
{
    // A UTF-8 byte-order mark, as some editors begin a text with, is skipped.
    int c = std::fgetc(f);
    if (c == 0xEF) {
        if (std::fgetc(f) != 0xBB || std::fgetc(f) != 0xBF)
            return 0;
    } else if (c != EOF) {
        std::ungetc(c, f);
    }
    int n = 0;
    while (n < DESCR_FIELDS && read_decimal_int(f, &field[n]))
        n++;
    return n;
}

bool write_descriptor_fields(FILE *f, int a, int b, int c)
{
    return std::fprintf(f, "%d\n%d\n%d\n", a, b, c) > 0 && !std::ferror(f);
}

const char *treatment_label(int type_treat)
{
    switch (type_treat) {
    case 0:
        return "\n\n absolute values";
    case 1:
        return "\n\n negative values";
    case 2:
        return "\n\n positive values";
    default:
        return "";
    }
}

bool write_result_trailer(FILE *f, int type_treat, double volume)
{
    std::fputs(treatment_label(type_treat), f);
    std::fprintf(f, "\n\n Volume = %lf m3 ", volume);
    return !std::ferror(f);
}
