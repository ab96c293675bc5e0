#include "raster_output.h"

#include <cpl_error.h>
#include <cpl_string.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <cstdio>
#include <string>

double output_nodata(GDALDataType type) { return type == GDT_Float32 ? -static_cast<double>(FLT_MAX) : -DBL_MAX; }

static std::string gdal_message(const char *what)
{
    const char *msg = CPLGetLastErrorMsg();
    return std::string(what) + (msg != nullptr && *msg != '\0' ? std::string(": ") + msg : std::string());
}

bool open_output(const std::string &path, const std::string &write_at, const GridFacts &grid, GDALDataType type,
                 const std::vector<std::string> &creation_options, int threads, RasterOutput *out,
                 std::string *error)
{
    out->path = path;
    out->write_at = write_at;
    out->type = type;
    out->nb_col = grid.nb_col;
    out->nodata = output_nodata(type);
    GeoTiffLayout layout = geotiff_layout(grid.nb_lig, grid.nb_col, type, grid.has_geotransform ? grid.geotransform : nullptr,
                                    grid.crs_wkt);
    layout.has_nodata = true;
    layout.nodata = out->nodata;
    layout.unit = "metre";
    layout.threads = threads;
    layout.options = creation_options;
    out->dataset = create_geotiff(path, write_at, layout, error);
    if (out->dataset == nullptr)
        return false;
    out->band = GDALGetRasterBand(out->dataset, 1);
    out->nb_lig = grid.nb_lig;
    GDALGetBlockSize(out->band, &out->tile_columns, &out->tile_lines);
    out->next_line = 0;
    out->background = threads > 1;
    return true;
}

namespace {

// A row of tiles filled with the nodata value: the cells beyond the grid
// in the last tiles of a line or a column keep it.
void clear_row(RasterOutput *out)
{
    const int value_bytes = GDALGetDataTypeSizeBytes(out->type);
    const int tiles = (out->nb_col + out->tile_columns - 1) / out->tile_columns;
    const size_t values = static_cast<size_t>(tiles) * out->tile_columns * out->tile_lines;
    out->row.resize(values * static_cast<size_t>(value_bytes));
    if (out->type == GDT_Float32)
        std::fill_n(reinterpret_cast<float *>(out->row.data()), values, static_cast<float>(out->nodata));
    else
        std::fill_n(reinterpret_cast<double *>(out->row.data()), values, out->nodata);
}

// Line `line` of the grid (values in metres, NaN for none) into its place
// in each tile of the row, in the output's type, each NaN replaced by the
// nodata value in values too; the first column whose value does not lie
// strictly inside the type's finite range, or −1. One pass: each value
// converted, checked and placed.
template <typename T> int gather_line(RasterOutput *out, int line, double *values)
{
    const double limit = std::numeric_limits<T>::max(), nodata = out->nodata;
    const size_t tile_values = static_cast<size_t>(out->tile_columns) * out->tile_lines;
    T *in_tile = reinterpret_cast<T *>(out->row.data()) + static_cast<size_t>(line % out->tile_lines) * out->tile_columns;
    int bad = -1;
    for (int first = 0; first < out->nb_col; first += out->tile_columns, in_tile += tile_values) {
        const int last = std::min(first + out->tile_columns, out->nb_col);
        for (int j = first; j < last; j++) {
            const double v = values[j];
            const bool none = v != v;
            const T stored = static_cast<T>(none ? nodata : v);
            values[j] = none ? nodata : v;
            const bool fits = none || std::fabs(static_cast<double>(stored)) < limit;
            bad = fits || bad >= 0 ? bad : j;
            in_tile[j - first] = stored;
        }
    }
    return bad;
}

// The row of tiles `row` holding line `line`, complete, into the file.
bool write_row(RasterOutput *out, const std::vector<unsigned char> &row, int line, std::string *error)
{
    const int tiles = (out->nb_col + out->tile_columns - 1) / out->tile_columns;
    const size_t tile_bytes = static_cast<size_t>(out->tile_columns) * out->tile_lines *
                              static_cast<size_t>(GDALGetDataTypeSizeBytes(out->type));
    CPLErrorReset();
    for (int t = 0; t < tiles; t++)
        if (GDALWriteBlock(out->band, t, line / out->tile_lines,
                           const_cast<unsigned char *>(&row[static_cast<size_t>(t) * tile_bytes])) != CE_None) {
            *error = out->path + ": " + gdal_message("cannot write");
            return false;
        }
    return true;
}

// The row being written in the background, done; false when it failed.
bool wait_for_writer(RasterOutput *out, std::string *error)
{
    out->writer.join();
    if (out->writer_ok)
        return true;
    *error = out->writer_error;
    return false;
}

// The row of tiles holding line `line`, complete: written now, or handed
// to the background writer once the row before it is in the file.
bool row_complete(RasterOutput *out, int line, std::string *error)
{
    if (!out->background)
        return write_row(out, out->row, line, error);
    if (!wait_for_writer(out, error))
        return false;
    std::swap(out->row, out->written_row);
    out->writer.start([out, line] { out->writer_ok = write_row(out, out->written_row, line, &out->writer_error); });
    return true;
}

} // namespace

bool write_output_lines(RasterOutput *out, int first, int count, double *lines, std::string *error)
{
    if (first != out->next_line || first + count > out->nb_lig) {
        *error = out->path + ": lines " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                 " written after line " + std::to_string(out->next_line - 1) + " of " + std::to_string(out->nb_lig);
        return false;
    }
    for (int k = 0; k < count; k++) {
        const int line = first + k;
        if (line % out->tile_lines == 0)
            clear_row(out);
        double *values = lines + static_cast<size_t>(k) * out->nb_col;
        const int bad = out->type == GDT_Float32 ? gather_line<float>(out, line, values)
                                                 : gather_line<double>(out, line, values);
        if (bad >= 0) {
            char where[160];
            std::snprintf(where, sizeof where, "the difference %g m at line %lld, column %lld", values[bad],
                          static_cast<long long>(line), static_cast<long long>(bad));
            *error = out->path + ": " + where + " does not fit the output type" +
                     (out->type == GDT_Float32 ? " (try --type float64)" : "");
            return false;
        }
        out->next_line = line + 1;
        if ((out->next_line % out->tile_lines == 0 || out->next_line == out->nb_lig) && !row_complete(out, line, error))
            return false;
    }
    return true;
}

bool finish_output(RasterOutput *out, std::string *error)
{
    if (!wait_for_writer(out, error)) {
        abandon_output(out);
        return false;
    }
    GDALDatasetH dataset = out->dataset;
    out->dataset = nullptr;
    return close_geotiff(dataset, out->path, error);
}

bool finish_outputs(RasterOutput *const *outs, int n, bool in_parallel, std::string *error)
{
    std::vector<std::string> errors(static_cast<size_t>(n));
    std::vector<char> done(static_cast<size_t>(n), 0);
    auto finish = [&](int k) { done[static_cast<size_t>(k)] = finish_output(outs[k], &errors[static_cast<size_t>(k)]); };
    // In parallel: the first here, the others in threads of their own.
    const int here = in_parallel ? std::min(n, 1) : n;
    std::vector<Beside> others(static_cast<size_t>(n - here));
    for (int k = here; k < n; k++)
        others[static_cast<size_t>(k - here)].start([&finish, k] { finish(k); });
    for (int k = 0; k < here; k++)
        finish(k);
    for (Beside &b : others)
        b.join();
    for (int k = 0; k < n; k++)
        if (!done[static_cast<size_t>(k)]) {
            *error = errors[static_cast<size_t>(k)];
            return false;
        }
    return true;
}

void abandon_output(RasterOutput *out)
{
    out->writer.join();
    if (out->dataset != nullptr)
        GDALClose(out->dataset);
    out->dataset = nullptr;
}
