// A one-band floating-point GeoTIFF written line block by line block at the
// path the run's output set staged for it (output_set.h), which puts it in
// place with the run's other outputs once all are complete.
#ifndef RASTER_OUTPUT_H
#define RASTER_OUTPUT_H

#include "beside.h"
#include "dem_input.h"
#include "geotiff_output.h"

#include <gdal.h>

#include <string>
#include <vector>

// The lines are gathered into a row of tiles of the output's own, and
// each row goes to the file tile by tile once complete (GDALWriteBlock):
// the tiles never pass through GDAL's block cache, so that no other
// dataset's read can make GDAL write them, and the file's tiles come in
// one order whatever the threads (each output is written by one thread).
struct RasterOutput {
    std::string path;     // the target, as messages name it
    std::string write_at; // where it is written (its staged file)
    GDALDatasetH dataset = nullptr;
    GDALRasterBandH band = nullptr;
    GDALDataType type = GDT_Float32;
    int nb_lig = 0, nb_col = 0;
    int tile_lines = 0, tile_columns = 0;
    double nodata = 0;   // the lowest value of the type
    int next_line = 0;   // the lines before it are written or gathered
    std::vector<unsigned char> row; // the row of tiles being gathered, tile after tile
    // With more than one thread, a complete row goes to the file in a
    // thread of its own (`writer`) while the next one is gathered: one
    // row being written at a time, in order, so the file is the same. A
    // failure is said at the next complete row or when the output is
    // finished.
    bool background = false;
    std::vector<unsigned char> written_row;
    Beside writer;
    bool writer_ok = true;
    std::string writer_error;
};

// The output's nodata value: the lowest finite value of the type
// (−3.4028234663852886e38 for float32, −1.7976931348623157e308 for
// float64). A valid cell never holds it: write_output_lines refuses a
// difference that does not lie strictly inside the type's finite range.
double output_nodata(GDALDataType type);

// Creates the GeoTIFF of target path at write_at by the one writer
// (geotiff_output.h): the grid's size, georeferencing and CRS, its
// defaults, then creation_options (NAME=VALUE) replace or add.
bool open_output(const std::string &path, const std::string &write_at, const GridFacts &grid, GDALDataType type,
                 const std::vector<std::string> &creation_options, int threads, RasterOutput *out,
                 std::string *error);

// Writes count lines from line first (the lines come in order, from line
// 0): values[count × nb_col] in metres, NaN where there is no difference,
// replaced in the buffer by the nodata value. False when a value does not
// fit strictly inside the type's finite range (*error says where), the
// lines are not the next ones, or the write fails.
bool write_output_lines(RasterOutput *out, int first, int count, double *values, std::string *error);

// Closes the dataset, completing the file.
bool finish_output(RasterOutput *out, std::string *error);
// Closes the n datasets, each in a thread of its own when in_parallel
// (each flushes and compresses its last tiles while the others do): false
// when one fails, *error saying why for the first in their order.
bool finish_outputs(RasterOutput *const *outs, int n, bool in_parallel, std::string *error);
// Closes the dataset when still open (the output set removes the file).
void abandon_output(RasterOutput *out);

#endif
