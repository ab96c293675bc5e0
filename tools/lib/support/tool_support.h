// What the companion programs under tools/ share besides their command line
// (cli_support.h): loading a DEM pair with its checks, and files that
// replace their target only once complete. Height units are in units.h.
#ifndef TOOL_SUPPORT_H
#define TOOL_SUPPORT_H

#include "dem_files.h"

#include <cstdio>
#include <string>

// An input that is not a file to read (input_file_problem) as a message
// naming it: "path: is a FIFO (named pipe), not a file: ...".
bool check_input_file(const std::string &path, std::string *error);

// "_m2" or "_m4".
const char *type_name(int itype);

// Prints "program: message" on standard error; a usage error adds the hint
// "Try 'program --help'.".
void report_error(const char *program, const std::string &message, bool usage);

// Command-line values of the benchmark driver (the companion programs read
// theirs with CLI11). The value of an option is the argument after it:
// take_value moves *k onto it and fails when there is none. parse_int takes
// the whole argument or nothing; on failure *error names the option, the
// text and what is expected.
bool take_value(int argc, char **argv, int *k, std::string *value, std::string *error);
bool parse_int(const std::string &option, const std::string &text, int lo, int hi, int *value, std::string *error);

// Reads a raster into an int matrix of the frame: _m4 straight in, _m2
// through a staging unsigned 16-bit matrix, widened without sign, or as
// signed 16-bit values when m2_signed. When the staging matrix cannot be
// allocated, *no_memory is set and RASTER_FAILED returned.
RasterRead read_widened(FILE *f, int itype, bool m2_signed, int **values, int nb_lig, int nb_col, bool *no_memory);

// A DEM read back from its raster and descriptor: values widened to int
// (_m2 as unsigned 16-bit, or as signed 16-bit when asked), the frame and
// the descriptor's integer pixel size (0 when it has none).
struct LoadedDem {
    int **values;
    int nb_lig, nb_col;
    int pix_size;
};

// The frame of a DEM pair from its descriptor, checked against its raster:
// at least one line and one column, the bytes per value of the type when the
// descriptor records them, and a raster of exactly that frame. pix_size is
// the descriptor's pixel size (0 when it has none). On failure *error says
// which file is wrong and how.
struct PairFrame {
    int nb_lig = 0, nb_col = 0;
    int pix_size = 0;
};
bool read_pair_frame(const std::string &raster_path, const std::string &descr_path, int itype, PairFrame *frame,
                     std::string *error);

// Loads a DEM pair. The descriptor must give a frame of at least one line
// and one column and, when it records the bytes per value, agree with the
// value type; the raster must hold exactly that frame. On failure dem->values
// is null and *error says which file is wrong and how.
bool load_dem(const std::string &raster_path, const std::string &descr_path, int itype, bool m2_signed,
              LoadedDem *dem, std::string *error);
void free_dem(LoadedDem *dem);

// Files written through a temporary beside the target (the host's
// create_temp_file, removed on interruption), which replaces the target only
// once it is complete, so that a failure never leaves a half-written file
// nor destroys the previous one.
FILE *open_temp(const std::string &path, const char *mode, std::string *temp, std::string *error);
// Closes the stream and moves the temporary onto path; on failure the
// temporary is removed.
bool commit_temp(FILE *f, const std::string &temp, const std::string &path, std::string *error);
// Closes the stream (when not null) and removes the temporary.
void abandon_temp(FILE *f, const std::string &temp);

// A real as messages show it: the shortest decimal text that reads back
// as the same double, in plain decimals from 1e-5 to 1e17 (0.3048,
// 298.257223563, 500000), with an exponent beyond (-3.4028234663852886e+38).
std::string exact_number(double v);

// The decimals that show a figure to the second significant digit of its
// error (negative: to tens, hundreds, …; 12 345 gives -3, 0.042 gives 3),
// `fallback` when the error is not above 0.
int decimals_of_error(double error, int fallback);

// A figure rounded to `decimals` (negative: to a power of ten), in plain
// digits ("-46000" for -46 170.3 at -3).
std::string rounded_text(double v, int decimals);

// For a program's main, before its work: memory freed by the allocations
// of one size made again and again (GDAL's compression threads make and
// free a compressor for each tile) is kept for the next, rather than
// mapped afresh from the system each time (with glibc: blocks up to 4 MiB
// from the heap, up to 16 MiB of free heap kept). Those maps' page faults
// cost a 10000 x 10000 dem_change run about a second of system time.
// Nothing elsewhere.
void keep_freed_memory();

#endif
