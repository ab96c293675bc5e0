#include "grid_match.h"

#include "grid_conformance.h"
#include "tool_support.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A word for /bin/sh as it is: quoted with ' when it holds anything but
// letters, digits and the few signs the shell leaves alone (a ' inside
// closes the quote, is escaped, and opens it again).
std::string shell_word(const std::string &w)
{
    if (!w.empty() && w.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+=.,:/@%") ==
                          std::string::npos)
        return w;
    std::string q = "'";
    for (char c : w)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The shortest decimal within tolerance of v. The far corner of a grid is
// the origin plus a count of decimal cells, each stored a little off in
// binary: 198000.4 + 3 x 0.1 gives 198000.69999999998, which the shortest
// round-trip form keeps; a billionth of a cell away lies 198000.7, the
// corner the user's data means.
std::string shortest_within(double v, double tolerance)
{
    char text[64];
    for (int digits = 1; digits <= 17; digits++) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        const double back = std::strtod(text, nullptr);
        if (std::fabs(back - v) <= tolerance)
            return exact_number(back);
    }
    return exact_number(v);
}

} // namespace

bool same_grid(const GridFacts &before, const GridFacts &after, std::string *what)
{
    return on_same_grid(before, after, "BEFORE", "AFTER", what);
}

std::string gdalwarp_command(const GridFacts &b, const std::string &after_path)
{
    // The far corner in long double, rounded once; each corner printed as
    // the shortest decimal within a billionth of a cell (a thousandth of
    // the tolerance same_grid allows). BEFORE's system by its EPSG code, or
    // as its WKT in one quoted word (gdalwarp takes both; nothing written).
    const double *gt = b.geotransform;
    const double x0 = gt[0], y0 = gt[3];
    const double x1 = static_cast<double>(static_cast<long double>(gt[0]) + static_cast<long double>(b.nb_col) * gt[1]);
    const double y1 = static_cast<double>(static_cast<long double>(gt[3]) + static_cast<long double>(b.nb_lig) * gt[5]);
    std::string command = "gdalwarp";
    if (!b.crs_wkt.empty()) {
        const std::string code = crs_epsg(b.crs_wkt);
        command += " -t_srs " + (code.empty() ? shell_word(b.crs_wkt) : code);
    }
    const double tx = 1e-9 * std::fabs(gt[1]), ty = 1e-9 * std::fabs(gt[5]);
    return command + " -te " + shortest_within(std::fmin(x0, x1), tx) + " " + shortest_within(std::fmin(y0, y1), ty) +
           " " + shortest_within(std::fmax(x0, x1), tx) + " " + shortest_within(std::fmax(y0, y1), ty) + " -ts " + std::to_string(b.nb_col) +
           " " + std::to_string(b.nb_lig) + " -r bilinear " + shell_word(after_path) +
           " after_on_before_grid.tif  (or run dem_change with --resample bilinear)";
}

namespace {

// The VRT of the band picked for the warped VRT vrt_path: the warped VRT
// reads it, so it lives as long as the warped VRT.
std::string band_vrt_of(const std::string &vrt_path)
{
    return vrt_path.substr(0, vrt_path.size() - 4) + "_band.vrt";
}

// AFTER opened for the warper, with its band alone: the warper takes every
// band, so another band than the first is first picked into a VRT of its
// own (band_vrt), which reads AFTER (*whole) while it is warped. Null,
// with *error, when it cannot be.
GDALDatasetH open_warp_source(const std::string &after_path, int band, const std::string &band_vrt,
                              GDALDatasetH *whole, std::string *error)
{
    *whole = nullptr;
    GDALDatasetH source = GDALOpen(after_path.c_str(), GA_ReadOnly);
    if (source == nullptr) {
        *error = after_path + ": cannot be opened by GDAL";
        return nullptr;
    }
    if (band < 1 || band > GDALGetRasterCount(source)) {
        GDALClose(source);
        *error = after_path + ": has no band " + std::to_string(band);
        return nullptr;
    }
    if (band != 1) {
        char **pick = nullptr;
        pick = CSLAddString(pick, "-of");
        pick = CSLAddString(pick, "VRT");
        pick = CSLAddString(pick, "-b");
        pick = CSLAddString(pick, std::to_string(band).c_str());
        GDALTranslateOptions *pick_options = GDALTranslateOptionsNew(pick, nullptr);
        CSLDestroy(pick);
        GDALDatasetH picked = GDALTranslate(band_vrt.c_str(), source, pick_options, nullptr);
        GDALTranslateOptionsFree(pick_options);
        if (picked == nullptr) {
            GDALClose(source);
            *error = after_path + ": cannot pick band " + std::to_string(band);
            return nullptr;
        }
        *whole = source;
        source = picked;
    }
    return source;
}

// The warper's arguments: BEFORE's extent, size and system, the method.
// The warper interpolates in double precision and works by chunks of at
// most 4 MB (-wm), within the pass's memory. Its values are stored as
// float32 when the source's own values fit float32 exactly (float32 and 8-
// or 16-bit integers): interpolated heights then keep the source's
// precision, in half the memory.
std::vector<std::string> warp_arguments(const GridFacts &before, const std::string &method, GDALDataType source_type)
{
    const double *gt = before.geotransform;
    const double x1 = gt[0] + before.nb_col * gt[1], y1 = gt[3] + before.nb_lig * gt[5];
    const bool narrow = source_type == GDT_Float32 || source_type == GDT_Byte || source_type == GDT_Int16 ||
                        source_type == GDT_UInt16;
    std::vector<std::string> args = {"-of", "VRT", "-r", method, "-ot", narrow ? "Float32" : "Float64",
                                     "-wt", "Float64", "-dstnodata", "nan", "-wm", "4", "-te",
                                     exact_number(std::fmin(gt[0], x1)), exact_number(std::fmin(gt[3], y1)),
                                     exact_number(std::fmax(gt[0], x1)), exact_number(std::fmax(gt[3], y1)), "-ts",
                                     std::to_string(before.nb_col), std::to_string(before.nb_lig)};
    if (!before.crs_wkt.empty()) {
        args.push_back("-t_srs");
        args.push_back(before.crs_wkt);
    }
    return args;
}

// The warper interpolates the stored values: the band's unit, scale and
// offset still apply to them.
void keep_band_units(GDALRasterBandH source_band, GDALDatasetH warped)
{
    GDALRasterBandH out = GDALGetRasterBand(warped, 1);
    GDALSetRasterUnitType(out, GDALGetRasterUnitType(source_band));
    int has = 0;
    const double scale = GDALGetRasterScale(source_band, &has);
    if (has)
        GDALSetRasterScale(out, scale);
    const double offset = GDALGetRasterOffset(source_band, &has);
    if (has)
        GDALSetRasterOffset(out, offset);
}

} // namespace

bool warp_onto_grid(const std::string &after_path, int band, const GridFacts &before, const std::string &method,
                    std::string *vrt_path, std::string *error)
{
    const double *gt = before.geotransform;
    if (!before.has_geotransform || gt[2] != 0 || gt[4] != 0) {
        *error = "--resample needs BEFORE to be georeferenced on a north-up grid";
        return false;
    }
    static int serial = 0;
    *vrt_path = "/vsimem/dem_change_after_" + std::to_string(++serial) + ".vrt";
    GDALDatasetH whole = nullptr;
    GDALDatasetH source = open_warp_source(after_path, band, band_vrt_of(*vrt_path), &whole, error);
    if (source == nullptr)
        return false;
    // Closes what the warp read, once the warped VRT is closed (the picked
    // band's VRT stays for it: remove_warped removes both).
    auto close_source = [&] {
        GDALClose(source);
        if (whole != nullptr)
            GDALClose(whole);
    };
    GDALRasterBandH source_band = GDALGetRasterBand(source, 1);
    char **argv = nullptr;
    for (const std::string &a : warp_arguments(before, method, GDALGetRasterDataType(source_band)))
        argv = CSLAddString(argv, a.c_str());
    GDALWarpAppOptions *options = GDALWarpAppOptionsNew(argv, nullptr);
    CSLDestroy(argv);
    int usage_error = 0;
    CPLErrorReset();
    GDALDatasetH warped = options == nullptr ? nullptr : GDALWarp(vrt_path->c_str(), nullptr, 1, &source, options, &usage_error);
    GDALWarpAppOptionsFree(options);
    if (warped == nullptr) {
        *error = after_path + ": GDAL's warper cannot resample it onto BEFORE's grid: " + CPLGetLastErrorMsg();
        close_source();
        remove_warped(*vrt_path);
        return false;
    }
    keep_band_units(source_band, warped);
    GDALClose(warped);
    close_source();
    return true;
}

void remove_warped(const std::string &vrt_path)
{
    VSIUnlink(vrt_path.c_str());
    VSIUnlink(band_vrt_of(vrt_path).c_str()); // none for the first band: nothing is removed
}
