#include "gdal_bridge.h"

#include "geotiff_output.h"
#include "output_set.h"

#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "host.h"
#include "units.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

// ---------------------------------------------------------------------------
// Units, value ranges, rounding
// ---------------------------------------------------------------------------

namespace {
// Stored values in one metre: 1, 10, …, 100000.
double unit_factor(int unit) { return static_cast<double>(height_unit(unit).per_metre); }
} // namespace

long long stored_min(int itype, bool signed16)
{
    if (itype == DEM_M4)
        return INT32_MIN;
    return signed16 ? INT16_MIN : 0;
}

long long stored_max(int itype, bool signed16)
{
    if (itype == DEM_M4)
        return INT32_MAX;
    return signed16 ? INT16_MAX : UINT16_MAX;
}

bool metres_to_stored(double metres, int unit, int itype, long long *value, double *change)
{
    if (!std::isfinite(metres))
        return false;
    double scaled = metres * unit_factor(unit);
    double rounded = std::round(scaled); // halves away from zero
    // Compared as doubles before any conversion: the bounds are exact in a
    // double, and a value outside them must not reach the integer cast.
    if (!(rounded >= static_cast<double>(stored_min(itype, false)) && rounded <= static_cast<double>(stored_max(itype, false))))
        return false;
    *value = static_cast<long long>(rounded);
    *change = std::fabs(rounded - scaled);
    return true;
}

// ---------------------------------------------------------------------------
// Geotransform and pair names
// ---------------------------------------------------------------------------

bool square_cell_size(const double gt[6], double *size, std::string *why)
{
    // A cell is spanned by the column step (gt[1], gt[4]) and the line step
    // (gt[2], gt[5]) in georeferenced coordinates.
    double width = std::hypot(gt[1], gt[4]);
    double height = std::hypot(gt[2], gt[5]);
    char text[160];
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height)) {
        *why = "the geotransform gives cells without area";
        return false;
    }
    // Relative tolerance: geotransforms written as decimal text lose the
    // last digits of cell sizes such as 1/3 m.
    const double tolerance = 1e-6;
    if (std::fabs(width - height) > tolerance * std::fmax(width, height)) {
        std::snprintf(text, sizeof text, "cells are not square (%.10g x %.10g)", width, height);
        *why = text;
        return false;
    }
    if (std::fabs(gt[1] * gt[2] + gt[4] * gt[5]) > tolerance * width * height) {
        *why = "the grid is sheared (its axes are not perpendicular)";
        return false;
    }
    *size = width;
    return true;
}

namespace {
bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() > end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}
} // namespace

bool split_pair_name(const std::string &path, std::string *base, int *pair, int *itype)
{
    // Results first: "_2D_m4.raw" also ends with the input suffix "_m4.raw".
    const int pairs[3] = {PAIR_2D, PAIR_3D, PAIR_INPUT};
    for (int p : pairs)
        for (int t = DEM_M2; t <= DEM_M4; t++) {
            std::string raster = raster_suffix(p, t);
            std::string stem = raster.substr(0, raster.size() - 4); // without ".raw"
            const std::string endings[3] = {raster, descr_suffix(p, t), stem};
            for (const std::string &end : endings)
                if (ends_with(path, end)) {
                    *base = path.substr(0, path.size() - end.size());
                    *pair = p;
                    *itype = t;
                    return true;
                }
        }
    return false;
}

std::string sidecar_path(const std::string &base, int itype)
{
    return base + (itype == DEM_M2 ? "_m2.vrt" : "_m4.vrt");
}

// ---------------------------------------------------------------------------
// Messages and files
// ---------------------------------------------------------------------------

namespace {

// An error, said once, on standard error.
void complain(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void complain(const char *format, ...)
{
    std::fflush(stdout);
    std::fputs("dem_gdal: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// Puts the file on disk and closes it; false, said, when either fails.
bool close_file(FILE *f, const std::string &path)
{
    bool ok = flush_to_disk(f);
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        complain("cannot write %s: %s", path.c_str(), std::strerror(errno));
    return ok;
}

GDALProgressFunc progress_for(long long cells, bool quiet)
{
    return !quiet && cells >= PROGRESS_CELLS ? GDALTermProgress : GDALDummyProgress;
}

// Unit names GDAL rasters use for metres; none declared is taken as metres.
bool is_metre_unit(const char *name)
{
    return name[0] == '\0' || band_unit_metres(name) == 1;
}

// ---------------------------------------------------------------------------
// Import
// ---------------------------------------------------------------------------

// What the conversion of the source found.
struct ImportCounts {
    long long nodata = 0;  // cells masked out or NaN
    long long misfits = 0; // cells whose height does not fit the value type
    int misfit_line = 0, misfit_col = 0;
    double misfit_metres = 0;
    double max_change = 0; // largest rounding, in units
};

// Cell size of the source in metres, and its geotransform when it has one.
bool source_cell_metres(GDALDatasetH src, const ImportOptions &o, double gt[6], bool *has_gt, double *cell)
{
    const char *name = o.source.c_str();
    *has_gt = GDALGetGeoTransform(src, gt) == CE_None;
    if (!*has_gt) {
        if (o.pixel_size > 0) {
            *cell = o.pixel_size;
            return true;
        }
        complain("%s has no geotransform: give its cell size in metres with --pixel-size", name);
        return false;
    }
    if (o.pixel_size > 0) {
        complain("%s has a geotransform: --pixel-size is only for rasters without one", name);
        return false;
    }
    std::string why;
    double size;
    if (!square_cell_size(gt, &size, &why)) {
        complain("%s: %s; the DEM format needs square cells: resample it first (for example gdalwarp -tr SIZE SIZE)",
                 name, why.c_str());
        return false;
    }
    double to_metres = 1;
    OGRSpatialReferenceH srs = GDALGetSpatialRef(src);
    if (srs != nullptr) {
        if (OSRIsGeographic(srs)) {
            complain("%s is in geographic coordinates (cells of %.10g degrees): reproject it to a system in metres "
                     "first (for example gdalwarp -t_srs EPSG:CODE)",
                     name, size);
            return false;
        }
        to_metres = OSRGetLinearUnits(srs, nullptr);
    } else {
        std::printf("%s has no coordinate system: its cell size is taken as metres\n", name);
    }
    *cell = size * to_metres;
    return true;
}

// Reads the band line by line into the matrix: each height in metres,
// rounded to the unit. Nodata cells are filled or left 0 and counted.
template <typename T>
bool convert_band(GDALRasterBandH band, const ImportOptions &o, T **Mat, int nb_lig, int nb_col, ImportCounts *c)
{
    int has_scale = 0, has_offset = 0;
    double scale = GDALGetRasterScale(band, &has_scale);
    double offset = GDALGetRasterOffset(band, &has_offset);
    if (!has_scale)
        scale = 1;
    if (!has_offset)
        offset = 0;
    // The mask band covers the nodata value, NaN nodata, alpha and per-dataset
    // masks alike; a band without any is read without it.
    GDALRasterBandH mask = (GDALGetMaskFlags(band) & GMF_ALL_VALID) ? nullptr : GDALGetMaskBand(band);
    std::vector<double> line(static_cast<size_t>(nb_col));
    std::vector<unsigned char> valid(static_cast<size_t>(nb_col), 1);
    GDALProgressFunc progress = progress_for(static_cast<long long>(nb_lig) * nb_col, o.quiet);
    for (int i = 0; i < nb_lig; i++) {
        if (GDALRasterIO(band, GF_Read, 0, i, nb_col, 1, line.data(), nb_col, 1, GDT_Float64, 0, 0) != CE_None ||
            (mask != nullptr &&
             GDALRasterIO(mask, GF_Read, 0, i, nb_col, 1, valid.data(), nb_col, 1, GDT_Byte, 0, 0) != CE_None)) {
            complain("cannot read line %d of %s", i, o.source.c_str());
            return false;
        }
        for (int j = 0; j < nb_col; j++) {
            double metres;
            if (valid[j] == 0 || std::isnan(line[j])) {
                c->nodata++;
                if (!o.fill)
                    continue;
                metres = o.fill_metres;
            } else {
                metres = scaled_height(line[j], scale, offset, o.z_scale);
            }
            long long value;
            double change;
            if (!metres_to_stored(metres, o.unit, o.itype, &value, &change)) {
                if (c->misfits++ == 0) {
                    c->misfit_line = i;
                    c->misfit_col = j;
                    c->misfit_metres = metres;
                }
                continue;
            }
            Mat[i][j] = static_cast<T>(value);
            if (change > c->max_change)
                c->max_change = change;
        }
        progress((i + 1.0) / nb_lig, nullptr, nullptr);
    }
    return true;
}

// Writes the raster and its descriptor at their staged files (the set puts
// them in place with the sidecar, so that a failure leaves an earlier pair
// of that name untouched).
template <typename T>
bool write_pair(const OutputSet &set, const std::string &base, int itype, T **Mat, int nb_lig, int nb_col, int pix_size,
                int *min, int *max)
{
    const std::string raw = staged_path(set, base + raster_suffix(PAIR_INPUT, itype));
    const std::string txt = staged_path(set, base + descr_suffix(PAIR_INPUT, itype));
    // The range as the tool records it when it completes a descriptor.
    scan_range(Mat, nb_lig, nb_col, 10000000, 0, min, max);

    bool ok = false;
    if (FILE *f = std::fopen(raw.c_str(), "wb")) {
        ok = write_raster(f, Mat, nb_lig, nb_col);
        if (!ok)
            complain("cannot write %s: %s", raw.c_str(), std::strerror(errno));
        ok = close_file(f, raw) && ok;
    } else
        complain("cannot write %s: %s", raw.c_str(), std::strerror(errno));
    if (ok) {
        ok = false;
        if (FILE *f = std::fopen(txt.c_str(), "w")) {
            ok = write_descriptor_fields(f, nb_lig, nb_col, bytes_per_value(itype)) &&
                 write_descriptor_fields(f, *min, *max, pix_size);
            if (!ok)
                complain("cannot write %s: %s", txt.c_str(), std::strerror(errno));
            ok = close_file(f, txt) && ok;
        } else
            complain("cannot write %s: %s", txt.c_str(), std::strerror(errno));
    }
    return ok;
}

// Writes the VRT sidecar of the pair at its staged file: the raw raster as
// a band of unsigned 16-bit or signed 32-bit little-endian integers, scaled
// to metres, with the source's exact geotransform and coordinate system.
bool write_sidecar(const OutputSet &set, const std::string &base, int itype, int unit, int nb_lig, int nb_col,
                   const double gt[6], bool has_gt, const char *wkt)
{
    const std::string path = sidecar_path(base, itype);
    const std::string tmp = staged_path(set, path);
    const std::string raw = base + raster_suffix(PAIR_INPUT, itype);
    CPLErrorReset();
    GDALDatasetH vrt = GDALCreate(GDALGetDriverByName("VRT"), tmp.c_str(), nb_col, nb_lig, 0, GDT_Unknown, nullptr);
    bool ok = vrt != nullptr;
    if (ok) {
        const int bytes = bytes_per_value(itype);
        char **band_options = nullptr;
        band_options = CSLSetNameValue(band_options, "subClass", "VRTRawRasterBand");
        // Relative to the sidecar, so that the folder can be moved whole.
        band_options = CSLSetNameValue(band_options, "SourceFilename", CPLGetFilename(raw.c_str()));
        band_options = CSLSetNameValue(band_options, "relativeToVRT", "1");
        band_options = CSLSetNameValue(band_options, "ImageOffset", "0");
        band_options = CSLSetNameValue(band_options, "PixelOffset", std::to_string(bytes).c_str());
        band_options = CSLSetNameValue(band_options, "LineOffset",
                                       std::to_string(static_cast<long long>(bytes) * nb_col).c_str());
        band_options = CSLSetNameValue(band_options, "ByteOrder", "LSB");
        ok = GDALAddBand(vrt, itype == DEM_M2 ? GDT_UInt16 : GDT_Int32, band_options) == CE_None;
        CSLDestroy(band_options);
        if (ok) {
            GDALRasterBandH band = GDALGetRasterBand(vrt, 1);
            ok = GDALSetRasterScale(band, 1 / unit_factor(unit)) == CE_None &&
                 GDALSetRasterOffset(band, 0) == CE_None && GDALSetRasterUnitType(band, "m") == CE_None;
        }
        if (ok && has_gt)
            ok = GDALSetGeoTransform(vrt, const_cast<double *>(gt)) == CE_None;
        if (ok && wkt != nullptr && *wkt != '\0')
            ok = GDALSetProjection(vrt, wkt) == CE_None;
        GDALClose(vrt); // writes the file
        ok = ok && CPLGetLastErrorType() != CE_Failure;
    }
    if (!ok)
        complain("cannot write the sidecar %s", path.c_str());
    return ok;
}

// The three files of an import, staged together.
bool stage_import(const std::string &source, const std::string &base, int itype, OutputSet *set)
{
    std::string error, staged;
    const bool ok = begin_outputs(base, {source}, set, &error) &&
                    stage_output(set, base + raster_suffix(PAIR_INPUT, itype), &staged, &error) &&
                    stage_output(set, base + descr_suffix(PAIR_INPUT, itype), &staged, &error) &&
                    stage_output(set, sidecar_path(base, itype), &staged, &error);
    if (!ok)
        complain("%s", error.c_str());
    return ok;
}

// work(Mat) on a matrix of nb_lig x nb_col values of the pair's type
// itype (unsigned 16-bit for _m2, signed 32-bit for _m4), freed after;
// 1, said, when there is not enough memory for it.
template <typename Work> int with_pair_matrix(int itype, int nb_lig, int nb_col, Work work)
{
    const auto run = [&](auto **Mat, auto release) {
        if (Mat == nullptr) {
            complain("not enough memory for %d x %d cells", nb_lig, nb_col);
            return 1;
        }
        const int status = work(Mat);
        release(Mat, nb_lig);
        return status;
    };
    return itype == DEM_M2 ? run(usmatrice(nb_col, nb_lig), frusmatrice) : run(imatrice(nb_col, nb_lig), frimatrice);
}

template <typename T>
int import_into(GDALDatasetH src, GDALRasterBandH band, const ImportOptions &o, T **Mat, int nb_lig, int nb_col,
                const std::string &base, const double gt[6], bool has_gt, double cell)
{
    const char *unit = unit_name(o.unit);
    const char *type = o.itype == DEM_M2 ? "_m2" : "_m4";
    ImportCounts c;
    if (!convert_band(band, o, Mat, nb_lig, nb_col, &c))
        return 1;
    if (c.nodata > 0 && !o.fill) {
        complain("%s has %lld nodata cells (of %lld): fill them with --fill HEIGHT (in metres), or crop them away "
                 "first",
                 o.source.c_str(), c.nodata, static_cast<long long>(nb_lig) * nb_col);
        return 1;
    }
    if (c.misfits > 0) {
        complain("%s: %lld cells do not fit %s in %s (%lld to %lld); the first, line %d column %d, holds %.10g m: "
                 "choose a coarser unit%s",
                 o.source.c_str(), c.misfits, type, unit, stored_min(o.itype, false), stored_max(o.itype, false),
                 c.misfit_line, c.misfit_col, c.misfit_metres, o.itype == DEM_M2 ? " or --type m4" : "");
        return 1;
    }

    int pix_size = static_cast<int>(std::lround(cell));
    int min, max;
    OutputSet set;
    std::string error;
    bool ok = stage_import(o.source, base, o.itype, &set) &&
              write_pair(set, base, o.itype, Mat, nb_lig, nb_col, pix_size, &min, &max) &&
              write_sidecar(set, base, o.itype, o.unit, nb_lig, nb_col, gt, has_gt, GDALGetProjectionRef(src));
    if (ok && !commit_outputs(&set, &error)) {
        complain("%s", error.c_str());
        ok = false;
    }
    abandon_outputs(&set);
    if (!ok)
        return 1;
    std::printf("wrote %s%s and %s%s: %d lines, %d columns, heights in %s from %d to %d, pixel size %d\n",
                base.c_str(), raster_suffix(PAIR_INPUT, o.itype), base.c_str(), descr_suffix(PAIR_INPUT, o.itype),
                nb_lig, nb_col, unit, min, max, pix_size);
    std::printf("rounded to the nearest %s: largest change %.3f %s\n", unit, c.max_change, unit);
    if (c.nodata > 0)
        std::printf("%lld nodata cells filled with %.10g m\n", c.nodata, o.fill_metres);
    std::printf("wrote %s: the georeferencing for the way back\n", sidecar_path(base, o.itype).c_str());
    if (std::fabs(cell - pix_size) > 1e-9 * cell)
        std::printf("the cell size %.10g m is not a whole number: the descriptor records %d, the sidecar keeps the "
                    "exact georeferencing; answer %.10g when the tool asks the pixel size in metres\n",
                    cell, pix_size, cell);
    return 0;
}

// The band of the source to import: one that exists, of real numbers, in
// metres or with --z-scale. Null, after saying why, otherwise.
GDALRasterBandH source_band(GDALDatasetH src, const ImportOptions &o)
{
    const char *name = o.source.c_str();
    if (o.band < 1 || o.band > GDALGetRasterCount(src)) {
        complain("%s has %d band(s): there is no band %d", name, GDALGetRasterCount(src), o.band);
        return nullptr;
    }
    GDALRasterBandH band = GDALGetRasterBand(src, o.band);
    if (GDALDataTypeIsComplex(GDALGetRasterDataType(band))) {
        complain("band %d of %s holds complex numbers, not heights", o.band, name);
        return nullptr;
    }
    const char *band_unit = GDALGetRasterUnitType(band);
    if (!o.z_scale_given && !is_metre_unit(band_unit)) {
        complain("band %d of %s is in '%s': give --z-scale FACTOR, the metres in one of its units (for example "
                 "0.3048 for feet)",
                 o.band, name, band_unit);
        return nullptr;
    }
    return band;
}

// The frame in memory and a row of the source's blocks in GDAL's cache,
// checked before either is allocated; false after saying so.
bool import_fits_memory(GDALRasterBandH band, const ImportOptions &o, int nb_lig, int nb_col)
{
    int block_x = 0, block_y = 0;
    GDALGetBlockSize(band, &block_x, &block_y);
    const unsigned long long cells = static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col);
    const unsigned long long needed =
        cells * (o.itype == DEM_M2 ? 2 : 4) +
        static_cast<unsigned long long>(block_y) * nb_col * GDALGetDataTypeSizeBytes(GDALGetRasterDataType(band)) +
        static_cast<unsigned long long>(nb_col) * 8 + (16ULL << 20);
    const unsigned long long available = available_memory();
    if (available > 0 && needed > available) {
        complain("not enough memory for %s (%d lines x %d columns, read in blocks of %d lines): it needs %llu MiB, "
                 "%llu MiB are available",
                 o.source.c_str(), nb_lig, nb_col, block_y, needed >> 20, available >> 20);
        return false;
    }
    return true;
}

int import_from(GDALDatasetH src, const ImportOptions &o)
{
    const char *name = o.source.c_str();
    GDALRasterBandH band = source_band(src, o);
    if (band == nullptr)
        return 1;
    double gt[6];
    bool has_gt;
    double cell;
    if (!source_cell_metres(src, o, gt, &has_gt, &cell))
        return 1;
    if (cell >= INT_MAX) {
        complain("%s: cells of %.10g m are beyond the descriptor's integer pixel size", name, cell);
        return 1;
    }
    if (o.fill) {
        long long value;
        double change;
        if (!metres_to_stored(o.fill_metres, o.unit, o.itype, &value, &change)) {
            complain("the fill height %.10g m does not fit %s in %s", o.fill_metres, o.itype == DEM_M2 ? "_m2" : "_m4",
                     unit_name(o.unit));
            return 1;
        }
    }

    // The base of the pair: a suffix of the chosen type is taken off, one of
    // the other type or of a result is refused.
    std::string base = o.pair;
    int pair, itype;
    if (split_pair_name(o.pair, &base, &pair, &itype) && (pair != PAIR_INPUT || itype != o.itype)) {
        complain("%s names a %s pair, not an input DEM of type %s", o.pair.c_str(),
                 pair == PAIR_INPUT ? (itype == DEM_M2 ? "_m2" : "_m4") : "result", o.itype == DEM_M2 ? "m2" : "m4");
        return 1;
    }

    const int nb_lig = GDALGetRasterYSize(src);
    const int nb_col = GDALGetRasterXSize(src);
    std::printf("%s, band %d: %d lines, %d columns, cells of %.10g m\n", name, o.band, nb_lig, nb_col, cell);
    if (!import_fits_memory(band, o, nb_lig, nb_col))
        return 1;
    return with_pair_matrix(o.itype, nb_lig, nb_col, [&](auto **Mat) {
        return import_into(src, band, o, Mat, nb_lig, nb_col, base, gt, has_gt, cell);
    });
}

} // namespace

int import_dem(const ImportOptions &o)
{
    const std::string problem = input_file_problem(o.source);
    if (!problem.empty()) {
        complain("%s: %s", o.source.c_str(), problem.c_str());
        return 1;
    }
    GDALDatasetH src = GDALOpenEx(o.source.c_str(), GDAL_OF_RASTER | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr);
    if (src == nullptr) {
        complain("cannot open %s as a raster", o.source.c_str());
        return 1;
    }
    int status = import_from(src, o);
    GDALClose(src);
    return status;
}

// ---------------------------------------------------------------------------
// Export
// ---------------------------------------------------------------------------

double scaled_height(double value, long double scale, long double offset, long double z_scale)
{
    return static_cast<double>((static_cast<long double>(value) * scale + offset) * z_scale);
}

namespace {

// Said and false when path is not a file to read (a FIFO, a device).
bool readable_input(const std::string &path)
{
    const std::string problem = input_file_problem(path);
    if (!problem.empty())
        complain("%s: %s", path.c_str(), problem.c_str());
    return problem.empty();
}

// The frame of a pair from its descriptor, checked against the pair's type.
bool read_frame(const std::string &descr, int itype, int *nb_lig, int *nb_col)
{
    if (!readable_input(descr))
        return false;
    FILE *f = std::fopen(descr.c_str(), "r");
    if (f == nullptr) {
        complain("cannot open the descriptor %s: %s", descr.c_str(), std::strerror(errno));
        return false;
    }
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    int n = read_descriptor(f, field);
    std::fclose(f);
    if (n < 2 || field[0] <= 0 || field[1] <= 0) {
        complain("%s does not start with a number of lines and a number of columns above 0", descr.c_str());
        return false;
    }
    if (n >= 3 && field[2] != bytes_per_value(itype)) {
        complain("%s gives %d bytes per value, its name says %d", descr.c_str(), field[2], bytes_per_value(itype));
        return false;
    }
    *nb_lig = field[0];
    *nb_col = field[1];
    return true;
}

template <typename T> bool load_raster(const std::string &raw, T **Mat, int nb_lig, int nb_col)
{
    if (!readable_input(raw))
        return false;
    FILE *f = std::fopen(raw.c_str(), "rb");
    if (f == nullptr) {
        complain("cannot open %s: %s", raw.c_str(), std::strerror(errno));
        return false;
    }
    RasterRead r = read_raster(f, Mat, nb_lig, nb_col);
    int read_errno = errno;
    std::fclose(f);
    switch (r) {
    case RASTER_COMPLETE:
        return true;
    case RASTER_SHORT:
        complain("%s holds fewer values than the %d x %d frame of its descriptor", raw.c_str(), nb_lig, nb_col);
        return false;
    case RASTER_LONG:
        complain("%s holds more values than the %d x %d frame of its descriptor", raw.c_str(), nb_lig, nb_col);
        return false;
    case RASTER_FAILED:
        break;
    }
    complain("cannot read %s: %s", raw.c_str(), std::strerror(read_errno));
    return false;
}

// Georeferencing of another raster of the same frame.
bool load_georef(const std::string &path, int nb_lig, int nb_col, double gt[6], bool *has_gt, std::string *wkt,
                 double *scale)
{
    if (!readable_input(path))
        return false;
    GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr);
    if (ds == nullptr) {
        complain("cannot open %s for its georeferencing", path.c_str());
        return false;
    }
    bool ok = GDALGetRasterYSize(ds) == nb_lig && GDALGetRasterXSize(ds) == nb_col;
    if (!ok) {
        complain("%s is %d lines x %d columns, the pair %d x %d: not the same frame", path.c_str(),
                 GDALGetRasterYSize(ds), GDALGetRasterXSize(ds), nb_lig, nb_col);
    } else {
        *has_gt = GDALGetGeoTransform(ds, gt) == CE_None;
        *wkt = GDALGetProjectionRef(ds);
        *scale = 0;
        if (GDALGetRasterCount(ds) > 0) {
            int has_scale = 0;
            double s = GDALGetRasterScale(GDALGetRasterBand(ds, 1), &has_scale);
            if (has_scale)
                *scale = s;
        }
    }
    GDALClose(ds);
    return ok;
}

// Everything the writing of the GeoTIFF band needs besides the cells.
struct BandPlan {
    bool result;        // result pair: border cells are nodata unless kept
    bool keep_border;
    bool signed16;      // _m2 values read as signed
    bool stored;        // integers as stored, or metres
    double factor;      // stored values per metre
    double nodata;
    GDALDataType type;  // of the output band
};

template <typename T>
bool write_band(GDALRasterBandH band, T **Mat, int nb_lig, int nb_col, const BandPlan &p, GDALProgressFunc progress,
                void *progress_data)
{
    std::vector<double> line(static_cast<size_t>(nb_col));
    long long clashes = 0;
    int clash_line = 0, clash_col = 0;
    for (int i = 0; i < nb_lig; i++) {
        for (int j = 0; j < nb_col; j++) {
            // The tool never computes the first and last line and column of
            // a result: they hold 0, which is no measured difference.
            if (p.result && !p.keep_border && (i == 0 || j == 0 || i == nb_lig - 1 || j == nb_col - 1)) {
                line[j] = p.nodata;
                continue;
            }
            long long v = p.signed16 ? static_cast<int16_t>(Mat[i][j]) : static_cast<long long>(Mat[i][j]);
            line[j] = p.stored ? static_cast<double>(v) : static_cast<double>(v) / p.factor;
            if (same_in_type(line[j], p.nodata, p.type) && clashes++ == 0) {
                clash_line = i;
                clash_col = j;
            }
        }
        if (GDALRasterIO(band, GF_Write, 0, i, nb_col, 1, line.data(), nb_col, 1, GDT_Float64, 0, 0) != CE_None) {
            complain("cannot write line %d", i);
            return false;
        }
        progress((i + 1.0) / nb_lig, nullptr, progress_data);
    }
    if (clashes > 0) {
        complain("%lld cells hold the nodata value %.10g, the first at line %d column %d: choose another with --nodata",
                 clashes, p.nodata, clash_line, clash_col);
        return false;
    }
    return true;
}

// Levels 2, 4, 8, … until the smallest overview is at most 256 cells on its
// longer side; at least one level.
std::vector<int> overview_levels(int nb_lig, int nb_col)
{
    int longer = nb_lig > nb_col ? nb_lig : nb_col;
    std::vector<int> levels;
    for (int level = 2; level < INT_MAX / 2; level *= 2) {
        levels.push_back(level);
        if ((longer + level - 1) / level <= 256)
            break;
    }
    return levels;
}

template <typename T>
int export_matrix(const ExportOptions &o, T **Mat, int nb_lig, int nb_col, const BandPlan &p, const double gt[6],
                  bool has_gt, const std::string &wkt, int unit)
{
    OutputSet set;
    std::string tmp, error;
    if (!begin_outputs(o.output, {}, &set, &error) || !stage_output(&set, o.output, &tmp, &error)) {
        complain("%s", error.c_str());
        abandon_outputs(&set);
        return 1;
    }
    GeoTiffLayout layout = geotiff_layout(nb_lig, nb_col, p.type, has_gt ? gt : nullptr, wkt);
    layout.has_nodata = true;
    layout.nodata = p.nodata;
    // Stored integers carry the scale to metres, so that a GIS shows heights.
    layout.unit = !p.stored || unit >= 0 ? "m" : "";
    layout.options = o.creation_options;
    GDALDatasetH ds = create_geotiff(o.output, tmp, layout, &error);
    if (ds == nullptr) {
        complain("%s", error.c_str());
        abandon_outputs(&set);
        return 1;
    }
    bool ok = true;
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    if (p.stored && unit >= 0)
        ok = GDALSetRasterScale(band, 1 / p.factor) == CE_None && GDALSetRasterOffset(band, 0) == CE_None;

    const long long cells = static_cast<long long>(nb_lig) * nb_col;
    GDALProgressFunc progress = progress_for(cells, o.quiet);
    const double written = o.overviews ? 0.8 : 1.0;
    void *lines_progress = GDALCreateScaledProgress(0, written, progress, nullptr);
    ok = ok && write_band(band, Mat, nb_lig, nb_col, p, GDALScaledProgress, lines_progress);
    GDALDestroyScaledProgress(lines_progress);
    std::vector<int> levels = overview_levels(nb_lig, nb_col);
    if (ok && o.overviews) {
        void *overview_progress = GDALCreateScaledProgress(written, 1, progress, nullptr);
        ok = GDALBuildOverviews(ds, "AVERAGE", static_cast<int>(levels.size()), levels.data(), 0, nullptr,
                                GDALScaledProgress, overview_progress) == CE_None;
        GDALDestroyScaledProgress(overview_progress);
    }
    if (!ok)
        GDALClose(ds);
    else if (!close_geotiff(ds, o.output, &error)) {
        complain("%s", error.c_str());
        ok = false;
    }
    if (ok && !commit_outputs(&set, &error)) {
        complain("%s", error.c_str());
        ok = false;
    }
    abandon_outputs(&set);
    if (!ok) {
        complain("%s not written", o.output.c_str());
        return 1;
    }

    std::printf("wrote %s: %d lines, %d columns of %s, nodata %.10g%s\n", o.output.c_str(), nb_lig, nb_col,
                p.stored ? GDALGetDataTypeName(p.type) : "Float32 metres", p.nodata,
                p.result && !p.keep_border ? " (the border cells of the result)" : "");
    if (o.overviews) {
        std::printf("overviews:");
        for (int level : levels)
            std::printf(" %d", level);
        std::printf("\n");
    }
    return 0;
}

// The files of the pair to export: --signed for a _m2 pair only, an output
// that is none of them, the frame of its descriptor held exactly by its
// raster and within the memory, before anything is allocated for it.
bool check_pair_files(const ExportOptions &o, const std::string &base, int itype, const std::string &raw,
                      const std::string &descr, int *nb_lig, int *nb_col)
{
    if (o.signed16 && itype != DEM_M2) {
        complain("--signed is for _m2 pairs: %s is _m4", raw.c_str());
        return false;
    }
    for (const std::string &own : {raw, descr, sidecar_path(base, itype)})
        if (same_file(o.output, own)) {
            complain("%s is a file of the pair itself: choose another output", o.output.c_str());
            return false;
        }
    if (!read_frame(descr, itype, nb_lig, nb_col))
        return false;
    const unsigned long long bytes = static_cast<unsigned long long>(*nb_lig) * static_cast<unsigned long long>(*nb_col) *
                                     static_cast<unsigned long long>(bytes_per_value(itype));
    VSIStatBufL raw_stat;
    if (VSIStatL(raw.c_str(), &raw_stat) != 0) {
        complain("cannot open %s: %s", raw.c_str(), std::strerror(errno));
        return false;
    }
    if (static_cast<unsigned long long>(raw_stat.st_size) != bytes) {
        complain("%s holds %s values than the %d x %d frame of its descriptor", raw.c_str(),
                 static_cast<unsigned long long>(raw_stat.st_size) < bytes ? "fewer" : "more", *nb_lig, *nb_col);
        return false;
    }
    const unsigned long long needed = static_cast<unsigned long long>(*nb_lig) * *nb_col * sizeof(int) +
                                      static_cast<unsigned long long>(*nb_col) * sizeof(double) + (16ULL << 20);
    const unsigned long long available = available_memory();
    if (available > 0 && needed > available) {
        complain("not enough memory for the frame of %s (%d lines x %d columns): it needs %llu MiB, %llu MiB are "
                 "available",
                 raw.c_str(), *nb_lig, *nb_col, needed >> 20, available >> 20);
        return false;
    }
    return true;
}

// The georeferencing of an export.
struct ExportGeoref {
    double gt[6] = {0, 1, 0, 0, 0, 1};
    bool has_gt = false;
    std::string wkt;
};

// Georeferencing and unit (*sidecar_unit, -1 when none) from the sidecar of
// an imported pair; the georeferencing of the file given with --georef
// replaces its own.
bool export_georef(const ExportOptions &o, int pair, int itype, const std::string &base, const std::string &raw,
                   int nb_lig, int nb_col, ExportGeoref *g, int *sidecar_unit)
{
    double scale = 0;
    VSIStatBufL stat;
    const std::string sidecar = sidecar_path(base, itype);
    const bool has_sidecar = pair == PAIR_INPUT && VSIStatL(sidecar.c_str(), &stat) == 0;
    if (has_sidecar && !load_georef(sidecar, nb_lig, nb_col, g->gt, &g->has_gt, &g->wkt, &scale))
        return false;
    *sidecar_unit = has_sidecar ? height_unit_of_scale(scale) : -1;
    if (!o.georef.empty() && !load_georef(o.georef, nb_lig, nb_col, g->gt, &g->has_gt, &g->wkt, &scale))
        return false;
    if (!g->has_gt && g->wkt.empty())
        std::printf("no georeferencing for %s: the GeoTIFF will have none (give the imported original or its "
                    "sidecar with --georef)\n",
                    raw.c_str());
    return true;
}

// How the band is written: the type and factor of its values and their
// nodata value. False, after saying why, for a nodata value the type does
// not hold.
bool plan_band(const ExportOptions &o, int pair, int itype, int unit, BandPlan *p)
{
    p->result = pair != PAIR_INPUT;
    p->keep_border = o.keep_border;
    p->signed16 = o.signed16;
    p->stored = o.stored;
    p->factor = unit >= 0 ? unit_factor(unit) : 1;
    if (!o.stored)
        p->type = GDT_Float32;
    else if (itype == DEM_M4)
        p->type = GDT_Int32;
    else
        p->type = o.signed16 ? GDT_Int16 : GDT_UInt16;
    if (o.nodata_given) {
        p->nodata = o.nodata;
        if (o.stored && (o.nodata != std::floor(o.nodata) || o.nodata < stored_min(itype, o.signed16) ||
                         o.nodata > stored_max(itype, o.signed16))) {
            complain("the nodata value %.10g is not a %s integer", o.nodata, GDALGetDataTypeName(p->type));
            return false;
        }
    } else {
        // A value no survey holds: far below sea level, or the bound of the
        // integer type farthest from the usual heights and differences.
        p->nodata = !o.stored ? -9999 : static_cast<double>(itype == DEM_M2 && !o.signed16 ? 65535 : stored_min(itype, o.signed16));
    }
    return true;
}

// Loads the raster into a matrix of its type and writes the GeoTIFF from it.
template <typename T>
int load_and_export(const ExportOptions &o, const std::string &raw, T **Mat, int nb_lig, int nb_col, const BandPlan &p,
                    const ExportGeoref &g, int unit)
{
    return load_raster(raw, Mat, nb_lig, nb_col) ? export_matrix(o, Mat, nb_lig, nb_col, p, g.gt, g.has_gt, g.wkt, unit)
                                                 : 1;
}

int export_pair(const ExportOptions &o, int pair, int itype, const std::string &base)
{
    const std::string raw = base + raster_suffix(pair, itype);
    const std::string descr = base + descr_suffix(pair, itype);
    int nb_lig, nb_col;
    if (!check_pair_files(o, base, itype, raw, descr, &nb_lig, &nb_col))
        return 1;
    ExportGeoref georef;
    int sidecar_unit = -1;
    if (!export_georef(o, pair, itype, base, raw, nb_lig, nb_col, &georef, &sidecar_unit))
        return 1;
    int unit = o.unit >= 0 ? o.unit : sidecar_unit;
    if (unit < 0 && !o.stored) {
        complain("give the unit %s is stored in with --unit (m, dm, cm, mm, 0.1mm, 0.01mm)", raw.c_str());
        return 1;
    }
    BandPlan p;
    if (!plan_band(o, pair, itype, unit, &p))
        return 1;

    const int status = with_pair_matrix(
        itype, nb_lig, nb_col, [&](auto **Mat) { return load_and_export(o, raw, Mat, nb_lig, nb_col, p, georef, unit); });
    if (status == 0 && unit >= 0)
        std::printf("values of %s read in %s%s\n", raw.c_str(), unit_name(unit), o.signed16 ? ", signed" : "");
    return status;
}

} // namespace

int export_dem(const ExportOptions &o)
{
    std::string base;
    int pair, itype;
    if (!split_pair_name(o.pair, &base, &pair, &itype)) {
        complain("%s is not the raster or descriptor of a pair (for example site/a_m4.raw or site/d_2D_m2.txt)",
                 o.pair.c_str());
        return 1;
    }
    return export_pair(o, pair, itype, base);
}

// ---------------------------------------------------------------------------
// Sidecars read by other programs
// ---------------------------------------------------------------------------

bool read_sidecar(const std::string &path, SidecarFacts *facts, std::string *error)
{
    const std::string problem = input_file_problem(path);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    CPLErrorReset();
    GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER, nullptr, nullptr, nullptr);
    if (ds == nullptr) {
        const char *why = CPLGetLastErrorMsg();
        *error = "cannot open the sidecar" + std::string(why != nullptr && *why != '\0' ? ": " + std::string(why) : "");
        return false;
    }
    *facts = SidecarFacts();
    facts->nb_lig = GDALGetRasterYSize(ds);
    facts->nb_col = GDALGetRasterXSize(ds);
    bool ok = true;
    double *gt = facts->geotransform;
    OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
    char *wkt = nullptr;
    if (srs != nullptr && OSRExportToWkt(srs, &wkt) == OGRERR_NONE && wkt != nullptr)
        facts->crs_wkt = wkt;
    CPLFree(wkt);
    if (GDALGetGeoTransform(ds, gt) == CE_None) {
        facts->has_geotransform = true;
        double size = 0;
        ok = square_cell_size(gt, &size, error);
        if (ok && srs != nullptr && OSRIsGeographic(srs)) {
            *error = "the sidecar's coordinates are geographic (cells in degrees), not a length";
            ok = false;
        }
        if (ok)
            facts->cell_metres = size * (srs != nullptr ? OSRGetLinearUnits(srs, nullptr) : 1.0);
    }
    if (ok && GDALGetRasterCount(ds) > 0) {
        int has_scale = 0;
        const double scale = GDALGetRasterScale(GDALGetRasterBand(ds, 1), &has_scale);
        facts->unit = has_scale ? height_unit_of_scale(scale) : -1;
    }
    GDALClose(ds);
    return ok;
}

long double band_unit_metres(const char *unit)
{
    const char *const metres[] = {"m", "metre", "meter", "metres", "meters"};
    for (const char *m : metres)
        if (EQUAL(unit, m))
            return 1;
    const char *const feet[] = {"ft", "foot", "feet", "international foot", "international feet"};
    for (const char *f : feet)
        if (EQUAL(unit, f))
            return 0.3048L; // the international foot, exactly 0.3048 m
    const char *const us_feet[] = {"US survey foot", "US survey feet", "ftUS", "us-ft", "foot_us", "US foot"};
    for (const char *f : us_feet)
        if (EQUAL(unit, f))
            return 1200.0L / 3937.0L; // the US survey foot, 1200/3937 m
    return 0;
}

// ---------------------------------------------------------------------------
// GDAL's messages
// ---------------------------------------------------------------------------

namespace {

std::mutex gdal_messages_lock;            // GDAL's worker threads report too
std::vector<std::string> gdal_messages;   // distinct texts, in order
long long gdal_messages_dropped = 0;
const size_t MAX_GDAL_MESSAGES = 20;

void CPL_STDCALL hold_gdal_message(CPLErr level, CPLErrorNum, const char *message)
{
    if (level != CE_Warning && level != CE_Failure && level != CE_Fatal)
        return;
    const std::string text = std::string(level == CE_Warning ? "GDAL warning: " : "GDAL error: ") + message;
    std::lock_guard<std::mutex> hold(gdal_messages_lock);
    if (std::find(gdal_messages.begin(), gdal_messages.end(), text) != gdal_messages.end())
        return;
    if (gdal_messages.size() < MAX_GDAL_MESSAGES)
        gdal_messages.push_back(text);
    else
        gdal_messages_dropped++;
}

} // namespace

void hold_gdal_messages() { CPLSetErrorHandler(hold_gdal_message); }

void print_gdal_messages(const char *program)
{
    std::lock_guard<std::mutex> hold(gdal_messages_lock);
    for (const std::string &text : gdal_messages)
        std::fprintf(stderr, "%s: %s\n", program, text.c_str());
    if (gdal_messages_dropped > 0)
        std::fprintf(stderr, "%s: (%lld more messages of GDAL)\n", program, gdal_messages_dropped);
    gdal_messages.clear();
    gdal_messages_dropped = 0;
}
