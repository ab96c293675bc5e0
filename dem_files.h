// DEM file pairs: a headerless raw raster and a text descriptor sharing one
// base path.
//
// Raster: nb_lig lines of nb_col little-endian values, line 0 first; value
// type 0 (_m2) is an unsigned 16-bit integer, type 1 (_m4) a signed 32-bit
// two's-complement integer.
//
// Descriptor: decimal integers, one per line, each followed by "\n":
// lines, columns, bytes per value, minimum, maximum, pixel size. A result
// descriptor continues with its treatment label and volume line.
#ifndef DEM_FILES_H
#define DEM_FILES_H

#include <cstdio>
#include <string>

// Value type codes.
const int DEM_M2 = 0;
const int DEM_M4 = 1;

// The three file pairs of a run.
const int PAIR_INPUT = 0; // first or second DEM
const int PAIR_2D = 1;    // 2D result
const int PAIR_3D = 2;    // 3D result

// Number of fields of a descriptor.
const int DESCR_FIELDS = 6;

// Path of a DEM folder: the base directory, the folder name and the
// separator, concatenated with nothing normalised.
std::string folder_path(const std::string &folder);
// "_m2.raw", "_2D_m4.raw", …: suffix of the raster of a pair in a value type.
const char *raster_suffix(int pair, int itype);
// "_m2.txt", "_3D_m2.txt", …: suffix of the descriptor.
const char *descr_suffix(int pair, int itype);
// 2 for _m2, 4 for _m4.
int bytes_per_value(int itype);

// Outcome of a raster read.
enum RasterRead {
    RASTER_COMPLETE, // exactly the frame
    RASTER_SHORT,    // fewer values than the frame; the cells not delivered are untouched
    RASTER_LONG,     // the frame was read and more bytes follow; the stream stands at the first of them
    RASTER_FAILED    // a read error other than the end of the file
};

// Reads a raster, one block of nb_col values per line, into the rows of a
// matrix. Values are converted from little-endian on every host.
RasterRead read_raster(FILE *f, unsigned short **Mat, int nb_lig, int nb_col);
RasterRead read_raster(FILE *f, int **Mat, int nb_lig, int nb_col);

// Writes a raster, one block per line, little-endian. False when a write
// fails.
bool write_raster(FILE *f, unsigned short **Mat, int nb_lig, int nb_col);
bool write_raster(FILE *f, int **Mat, int nb_lig, int nb_col);

// Reads up to six descriptor fields, separated by any white space, into
// field[0..5] (lines, columns, bytes per value, minimum, maximum, pixel
// size), after a UTF-8 byte-order mark if the text begins with one. Reading
// stops at the first field that is not an integer or does not
// fit an int; the fields after it keep their values. Text after the sixth
// field is ignored. Returns the number of fields read.
int read_descriptor(FILE *f, int field[DESCR_FIELDS]);

// Writes three descriptor fields as "%d\n%d\n%d\n": the first half of a
// descriptor (lines, columns, bytes per value) or its second half (minimum,
// maximum, pixel size). False when the write fails.
bool write_descriptor_fields(FILE *f, int a, int b, int c);

// The label of a treatment code in a result descriptor ("" outside 0 to 2).
const char *treatment_label(int type_treat);
// Writes the end of a result descriptor: the treatment label, then the volume
// line "\n\n Volume = %lf m3 ". False when the write fails.
bool write_result_trailer(FILE *f, int type_treat, double volume);

// Scans every cell, line by line, from the given start values: a smaller cell
// replaces the minimum, a larger one the maximum.
template <typename T>
void scan_range(T *const *Mat, int nb_lig, int nb_col, int start_min, int start_max, int *min, int *max)
{
    int lo = start_min;
    int hi = start_max;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            int v = Mat[i][j];
            if (v < lo)
                lo = v;
            if (v > hi)
                hi = v;
        }
    *min = lo;
    *max = hi;
}

#endif
