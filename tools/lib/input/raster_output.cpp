#include "raster_output.h"

#include <cpl_error.h>
#include <cpl_string.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <thread>

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
    int block_x = 0;
    GDALGetBlockSize(out->band, &block_x, &out->tile_lines);
    return true;
}

bool write_output_lines(RasterOutput *out, int first, int count, double *lines, std::string *error)
{
    const double limit = out->type == GDT_Float32 ? static_cast<double>(FLT_MAX) : DBL_MAX;
    const size_t n = static_cast<size_t>(count) * out->nb_col;
    for (size_t k = 0; k < n; k++) {
        double v = lines[k];
        if (std::isnan(v)) {
            lines[k] = out->nodata;
            continue;
        }
        const double stored = out->type == GDT_Float32 ? static_cast<double>(static_cast<float>(v)) : v;
        if (!(std::fabs(stored) < limit)) {
            char where[160];
            std::snprintf(where, sizeof where, "the difference %g m at line %lld, column %lld", v,
                          static_cast<long long>(first + k / out->nb_col), static_cast<long long>(k % out->nb_col));
            *error = out->path + ": " + where + " does not fit the output type" +
                     (out->type == GDT_Float32 ? " (try --type float64)" : "");
            return false;
        }
    }
    CPLErrorReset();
    if (GDALRasterIO(out->band, GF_Write, 0, first, out->nb_col, count, lines, out->nb_col, count,
                     GDT_Float64, 0, 0) != CE_None) {
        *error = out->path + ": " + gdal_message("cannot write");
        return false;
    }
    return true;
}

bool finish_output(RasterOutput *out, std::string *error)
{
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
    std::vector<std::thread> others;
    for (int k = here; k < n; k++)
        others.emplace_back(finish, k);
    for (int k = 0; k < here; k++)
        finish(k);
    for (std::thread &t : others)
        t.join();
    for (int k = 0; k < n; k++)
        if (!done[static_cast<size_t>(k)]) {
            *error = errors[static_cast<size_t>(k)];
            return false;
        }
    return true;
}

void abandon_output(RasterOutput *out)
{
    if (out->dataset != nullptr)
        GDALClose(out->dataset);
    out->dataset = nullptr;
}
