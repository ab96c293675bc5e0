#include "dem_input.h"

#include "dem_files.h"
#include "difference.h"
#include "gdal_bridge.h"
#include "tool_support.h"
#include "units.h"

#include <cpl_string.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() > end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The CRS facts the budget needs: geographic or projected, the ellipsoid,
// the metres of a projected unit.
void read_crs(OGRSpatialReferenceH srs, GridFacts *grid)
{
    if (srs == nullptr)
        return;
    char *wkt = nullptr;
    if (OSRExportToWkt(srs, &wkt) == OGRERR_NONE && wkt != nullptr)
        grid->crs_wkt = wkt;
    CPLFree(wkt);
    grid->geographic = OSRIsGeographic(srs) != 0;
    OGRErr err = OGRERR_NONE;
    grid->semi_major = OSRGetSemiMajor(srs, &err);
    grid->inv_flattening = OSRGetInvFlattening(srs, &err);
    if (!grid->geographic)
        grid->linear_metres = OSRGetLinearUnits(srs, nullptr);
}

void read_crs_wkt(const std::string &wkt, GridFacts *grid)
{
    if (wkt.empty())
        return;
    OGRSpatialReferenceH srs = OSRNewSpatialReference(wkt.c_str());
    read_crs(srs, grid);
    if (srs != nullptr)
        OSRDestroySpatialReference(srs);
}

// The unit of the vertical part of a compound coordinate system, as the
// band's unit text and its metres; false without one.
bool vertical_unit(GDALDatasetH ds, std::string *name, long double *metres)
{
    OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
    if (srs == nullptr || !OSRIsCompound(srs))
        return false;
    char *unit = nullptr;
    const double factor = OSRGetTargetLinearUnits(srs, "VERT_CS", &unit);
    if (!(factor > 0))
        return false;
    *name = std::string(unit != nullptr ? unit : "metre") + " (the vertical coordinate system's)";
    *metres = factor;
    return true;
}

bool fail(std::string *error, const std::string &path, const std::string &what)
{
    *error = path + ": " + what;
    return false;
}

// A path that names a pair is taken as one when its raster is there (or the
// program reads pairs alone): a GDAL raster that merely ends like a pair
// ("x_m4" without its .raw) is taken as a raster.
bool opens_as_pair(const DemInputOptions &o, std::string *base, int *pair, int *itype)
{
    if (!name_dem_pair(o.path, base, pair, itype))
        return false;
    return o.pair_only || ends_with(o.path, ".vrt") || std::filesystem::exists(*base + raster_suffix(*pair, *itype));
}

bool open_pair(const DemInputOptions &o, const std::string &base, int itype, DemInput *in, std::string *error)
{
    const std::string raw = base + raster_suffix(PAIR_INPUT, itype);
    const std::string descr = base + descr_suffix(PAIR_INPUT, itype);
    PairFrame frame;
    if (!read_pair_frame(raw, descr, itype, &frame, error))
        return false;
    in->kind = std::string("DEM pair ") + (itype == DEM_M2 ? "_m2" : "_m4");
    in->itype = itype;
    in->pix_size = frame.pix_size;
    in->descriptor = descr;
    in->grid.nb_lig = frame.nb_lig;
    in->grid.nb_col = frame.nb_col;

    // The sidecar of an imported pair knows the exact georeferencing and the
    // unit of the stored values; read as every program reads it (square
    // cells of a length, as the pair format holds them).
    int sidecar_unit = -1;
    const std::string sidecar = sidecar_path(base, itype);
    std::error_code ec;
    if (!o.skip_sidecar && std::filesystem::exists(sidecar, ec)) {
        SidecarFacts facts;
        std::string why;
        if (!read_sidecar(sidecar, &facts, &why))
            return fail(error, sidecar, why);
        if (facts.nb_col != frame.nb_col || facts.nb_lig != frame.nb_lig)
            return fail(error, sidecar, "its frame of " + std::to_string(facts.nb_lig) + " lines and " +
                                            std::to_string(facts.nb_col) + " columns is not the frame of " + descr +
                                            " (" + std::to_string(frame.nb_lig) + " lines and " +
                                            std::to_string(frame.nb_col) + " columns)");
        in->sidecar = sidecar;
        in->sidecar_cell_metres = facts.cell_metres;
        in->grid.has_geotransform = facts.has_geotransform;
        if (facts.has_geotransform)
            std::copy(facts.geotransform, facts.geotransform + 6, in->grid.geotransform);
        read_crs_wkt(facts.crs_wkt, &in->grid);
        sidecar_unit = facts.unit;
    }
    in->unit = o.unit >= 0 ? o.unit : sidecar_unit;
    if (in->unit < 0 && !o.unit_may_be_unknown)
        return fail(error, o.path, "the unit of its heights is unknown (no sidecar records it): give it with the unit option");
    if (in->unit >= UNITS_IN)
        return fail(error, o.path, "a DEM's heights are stored in m, dm, cm or mm");
    if (in->unit >= 0)
        in->heights.unit_as_read = height_unit(in->unit).name;

    if (!in->grid.has_geotransform) {
        const double size = o.pixel_size > 0 ? o.pixel_size : frame.pix_size;
        if (size > 0) {
            in->grid.geotransform[1] = size;
            in->grid.geotransform[5] = -size;
        }
        in->grid.cell_size_known = size > 0;
    } else {
        in->grid.cell_size_known = true;
    }

    in->raw = std::fopen(raw.c_str(), "rb");
    if (in->raw == nullptr)
        return fail(error, raw, "cannot be opened");
    return true;
}

bool open_raster(const DemInputOptions &o, DemInput *in, std::string *error)
{
    in->dataset = GDALOpenEx(o.path.c_str(), GDAL_OF_RASTER | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr);
    if (in->dataset == nullptr)
        return fail(error, o.path, "GDAL cannot open it as a raster");
    const int bands = GDALGetRasterCount(in->dataset);
    if (o.band < 1 || o.band > bands)
        return fail(error, o.path, "has " + std::to_string(bands) + " band(s); band " + std::to_string(o.band) +
                                       " does not exist");
    in->band = GDALGetRasterBand(in->dataset, o.band);
    // Heights are real numbers that a double holds exactly: complex bands
    // have none, and 64-bit integers beyond 2^53 would be rounded.
    const GDALDataType type = GDALGetRasterDataType(in->band);
    if (GDALDataTypeIsComplex(type))
        return fail(error, o.path, std::string("band ") + std::to_string(o.band) + " holds complex numbers (" +
                                       GDALGetDataTypeName(type) + "), not heights");
    if (GDALGetDataTypeSizeBits(type) > 32 && !GDALDataTypeIsFloating(type))
        return fail(error, o.path, std::string("band ") + std::to_string(o.band) + " holds 64-bit integers (" +
                                       GDALGetDataTypeName(type) +
                                       "), which a double does not hold exactly: convert it to Int32 or Float64 first");
    in->kind = std::string(GDALGetDriverShortName(GDALGetDatasetDriver(in->dataset))) + " raster, band " +
               std::to_string(o.band);
    in->grid.nb_col = GDALGetRasterXSize(in->dataset);
    in->grid.nb_lig = GDALGetRasterYSize(in->dataset);
    in->grid.has_geotransform = GDALGetGeoTransform(in->dataset, in->grid.geotransform) == CE_None;
    read_crs(GDALGetSpatialRef(in->dataset), &in->grid);
    if (!in->grid.has_geotransform && o.pixel_size > 0) {
        in->grid.geotransform[1] = o.pixel_size;
        in->grid.geotransform[5] = -o.pixel_size;
    }
    in->grid.cell_size_known = in->grid.has_geotransform || o.pixel_size > 0;

    HeightFacts &h = in->heights;
    h.unit_as_read = GDALGetRasterUnitType(in->band);
    if (o.z_scale_given) {
        if (!(o.z_scale > 0) || !std::isfinite(o.z_scale))
            return fail(error, o.path, "the vertical scale must be a positive number of metres");
        h.z_scale = o.z_scale;
        h.z_scale_given = true;
    } else if (h.unit_as_read.empty() && vertical_unit(in->dataset, &h.unit_as_read, &h.z_scale)) {
        // A compound system's vertical part gives the heights' unit.
    } else if (h.unit_as_read.empty()) {
        h.unit_assumed = true;
        h.z_scale = 1;
    } else {
        h.z_scale = band_unit_metres(h.unit_as_read.c_str());
        if (h.z_scale == 0)
            return fail(error, o.path, "its heights are in '" + h.unit_as_read +
                                           "', not a length unit known here (m, ft, US survey ft): give the metres in "
                                           "one of its units with the vertical scale option");
    }
    int has_scale = 0, has_offset = 0;
    h.scale = GDALGetRasterScale(in->band, &has_scale);
    h.offset = GDALGetRasterOffset(in->band, &has_offset);
    if (!has_scale)
        h.scale = 1;
    if (!has_offset)
        h.offset = 0;
    h.has_scale = h.scale != 1 || h.offset != 0;
    int has_nodata = 0;
    h.nodata = GDALGetRasterNoDataValue(in->band, &has_nodata);
    h.has_nodata = has_nodata != 0;
    // A mask that is not just the nodata value (an alpha band, a per-dataset
    // mask, an internal mask) is read beside the values.
    const int flags = GDALGetMaskFlags(in->band);
    if (!(flags & GMF_ALL_VALID) && !(flags & GMF_NODATA)) {
        in->mask = GDALGetMaskBand(in->band);
        h.has_mask = in->mask != nullptr;
    }
    return true;
}

bool read_pair_lines(DemInput *in, int first, int count, double *metres, unsigned char *valid, std::string *error)
{
    if (first != in->next_line)
        return fail(error, in->path, "a pair is read line after line");
    if (in->unit < 0)
        return fail(error, in->path, "the unit of its heights is unknown: give it with the unit option");
    const int nb_col = in->grid.nb_col;
    std::vector<int> values(static_cast<size_t>(count) * nb_col);
    std::vector<int *> value_rows(count);
    std::vector<double *> metre_rows(count);
    for (int k = 0; k < count; k++) {
        value_rows[k] = values.data() + static_cast<size_t>(k) * nb_col;
        metre_rows[k] = metres + static_cast<size_t>(k) * nb_col;
    }
    // Lines before the last leave the rest of the raster unread.
    bool no_memory = false;
    const RasterRead outcome = read_widened(in->raw, in->itype, false, value_rows.data(), count, nb_col, &no_memory);
    const bool last = first + count == in->grid.nb_lig;
    if (!(outcome == RASTER_COMPLETE || (outcome == RASTER_LONG && !last)))
        return fail(error, in->path, no_memory ? "not enough memory to read its lines"
                                               : "cannot read lines " + std::to_string(first) + " to " +
                                                     std::to_string(first + count - 1) + " of its raster");
    // The tool's own conversion, so that the heights are bit for bit its own.
    convert_to_metres(value_rows.data(), metre_rows.data(), count, nb_col, in->unit);
    std::fill(valid, valid + static_cast<size_t>(count) * nb_col, 1);
    in->next_line += count;
    return true;
}

// The pass over a block's values read (floats: the float32 values, else
// the doubles in metres), with no branch on them: nodata (by the mask, NaN
// or the nodata value) flagged in valid and set to NaN, the heights
// scaled, into metres; the first value that is no finite height once
// scaled (its index, cells for none; the value in *bad_value) for the
// message. (The facts in locals: the flags written could otherwise alias
// them.)
size_t flag_heights(const unsigned char *floats, size_t cells, bool masked, const HeightFacts &h, GDALDataType type,
                    double *metres, unsigned char *valid, double *bad_value)
{
    const bool scaled = h.has_scale || h.z_scale != 1, has_nodata = h.has_nodata;
    const long double scale = h.scale, offset = h.offset, z_scale = h.z_scale;
    const double nodata = h.nodata;
    size_t bad = cells;
    double value = 0;
    for (size_t k = 0; k < cells; k++) {
        double v;
        if (floats != nullptr) {
            float f;
            std::memcpy(&f, floats + k * sizeof(float), sizeof f);
            v = f;
        } else {
            v = metres[k];
        }
        const bool missing = (masked && !valid[k]) | (v != v) | (has_nodata && same_in_type(v, nodata, type));
        valid[k] = !missing;
        const double height = scaled ? scaled_height(v, scale, offset, z_scale) : v;
        metres[k] = missing ? NAN : height;
        const bool first_bad = bad == cells && !missing && !std::isfinite(height);
        bad = first_bad ? k : bad;
        value = first_bad ? v : value;
    }
    *bad_value = value;
    return bad;
}

// The same for float32 heights as they are (the usual survey, no scale):
// the first height that is no finite value looked for only when there is
// one (an infinity), so that each cell's work depends on no other's.
size_t flag_float_heights(const unsigned char *floats, size_t cells, bool masked, const HeightFacts &h,
                          double *metres, unsigned char *valid, double *bad_value)
{
    const bool has_nodata = h.has_nodata;
    const float nodata = static_cast<float>(h.nodata);
    bool infinite = false;
    for (size_t k = 0; k < cells; k++) {
        float f;
        std::memcpy(&f, floats + k * sizeof(float), sizeof f);
        const bool missing = (masked && !valid[k]) | (f != f) | (has_nodata && f == nodata);
        valid[k] = !missing;
        metres[k] = missing ? NAN : static_cast<double>(f);
        infinite |= !missing & (std::fabs(f) > FLT_MAX);
    }
    for (size_t k = 0; infinite && k < cells; k++)
        if (valid[k] && !std::isfinite(metres[k])) {
            *bad_value = metres[k];
            return k;
        }
    return cells;
}

// Lines first .. first + count − 1, columns column .. column + nb_col − 1.
bool read_raster_lines(DemInput *in, int first, int count, double *metres, unsigned char *valid, std::string *error,
                       int column = 0, int nb_col = -1)
{
    if (nb_col < 0)
        nb_col = in->grid.nb_col;
    const size_t cells = static_cast<size_t>(count) * nb_col;
    const GDALDataType type = GDALGetRasterDataType(in->band);
    // Every GDAL data type up to 32 bits, and float64, converts to double
    // exactly, so the values below are the band's own. A float32 band is
    // read as it is into the upper half of the buffer and widened below in
    // the pass over the values (each double written ends where the float
    // it comes from ends, so no float is overwritten before it is read).
    const bool as_floats = type == GDT_Float32;
    unsigned char *const bytes = reinterpret_cast<unsigned char *>(metres);
    const size_t floats_at = cells * sizeof(float);
    if (GDALRasterIO(in->band, GF_Read, column, first, nb_col, count, as_floats ? bytes + floats_at : bytes, nb_col,
                     count, as_floats ? GDT_Float32 : GDT_Float64, 0, 0) != CE_None)
        return fail(error, in->path, "cannot read lines " + std::to_string(first) + " to " +
                                         std::to_string(first + count - 1));
    if (in->mask != nullptr) {
        if (GDALRasterIO(in->mask, GF_Read, column, first, nb_col, count, valid, nb_col, count, GDT_Byte, 0, 0) !=
            CE_None)
            return fail(error, in->path, "cannot read the mask of lines " + std::to_string(first) + " to " +
                                             std::to_string(first + count - 1));
    } else {
        std::fill(valid, valid + cells, 1);
    }
    const HeightFacts &h = in->heights;
    const bool scaled = h.has_scale || h.z_scale != 1;
    double bad_value = 0;
    const size_t bad = as_floats && !scaled
                           ? flag_float_heights(bytes + floats_at, cells, in->mask != nullptr, h, metres, valid,
                                                &bad_value)
                           : flag_heights(as_floats ? bytes + floats_at : nullptr, cells, in->mask != nullptr, h,
                                          type, metres, valid, &bad_value);
    if (bad < cells) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "the value %g at line %lld, column %lld is no height once scaled (scale %g, "
                      "offset %g, %Lg m a unit): check the scale, the offset and the vertical scale",
                      bad_value, static_cast<long long>(first + bad / nb_col),
                      static_cast<long long>(column + bad % nb_col), h.scale, h.offset, h.z_scale);
        return fail(error, in->path, text);
    }
    return true;
}

} // namespace

int tile_aligned_lines(int most, int tile_lines)
{
    if (tile_lines < 1)
        return most;
    if (tile_lines <= most)
        return most / tile_lines * tile_lines;
    // The largest divisor of the tile height within the budget, unless it
    // would make the blocks much smaller than the budget allows.
    for (int d = most; d >= 1; d--)
        if (tile_lines % d == 0)
            return 4 * d >= most ? d : most;
    return most;
}

bool name_dem_pair(const std::string &path, std::string *base, int *pair, int *itype)
{
    for (int t = DEM_M2; t <= DEM_M4; t++)
        if (ends_with(path, t == DEM_M2 ? "_m2.vrt" : "_m4.vrt")) {
            *base = path.substr(0, path.size() - 7);
            *pair = PAIR_INPUT;
            *itype = t;
            return true;
        }
    return split_pair_name(path, base, pair, itype);
}

bool same_crs(const std::string &a, const std::string &b)
{
    if (a.empty() || b.empty())
        return a.empty() && b.empty();
    OGRSpatialReferenceH sa = OSRNewSpatialReference(a.c_str());
    OGRSpatialReferenceH sb = OSRNewSpatialReference(b.c_str());
    // The grids lie on their horizontal systems: a compound system's
    // vertical part says what the heights are, not where the cells are.
    for (OGRSpatialReferenceH srs : {sa, sb})
        if (srs != nullptr && OSRIsCompound(srs))
            OSRStripVertical(srs);
    const bool same = sa != nullptr && sb != nullptr && OSRIsSame(sa, sb);
    OSRDestroySpatialReference(sa);
    OSRDestroySpatialReference(sb);
    return same;
}

void metres_per_degree(const GridFacts &grid, double phi_deg, double *x_metres, double *y_metres)
{
    const long double pi = 3.141592653589793238462643383279502884L, rad = pi / 180;
    const long double f = grid.inv_flattening > 0 ? 1 / static_cast<long double>(grid.inv_flattening) : 0;
    const long double e2 = f * (2 - f), phi = phi_deg * rad, s = std::sin(phi);
    const long double w = std::sqrt(1 - e2 * s * s), a = grid.semi_major;
    *x_metres = static_cast<double>(a / w * std::cos(phi) * rad);
    *y_metres = static_cast<double>(a * (1 - e2) / (w * w * w) * rad);
}

std::string crs_epsg(const std::string &wkt)
{
    std::string code;
    OGRSpatialReferenceH srs = wkt.empty() ? nullptr : OSRNewSpatialReference(wkt.c_str());
    if (srs != nullptr) {
        OSRAutoIdentifyEPSG(srs);
        const char *authority = OSRGetAuthorityName(srs, nullptr);
        const char *number = OSRGetAuthorityCode(srs, nullptr);
        if (authority != nullptr && number != nullptr && EQUAL(authority, "EPSG"))
            code = std::string("EPSG:") + number;
        OSRDestroySpatialReference(srs);
    }
    return code;
}

std::string crs_label(const std::string &wkt)
{
    if (wkt.empty())
        return "no coordinate system";
    std::string name = "an unnamed coordinate system";
    OGRSpatialReferenceH srs = OSRNewSpatialReference(wkt.c_str());
    if (srs != nullptr) {
        const char *n = OSRGetName(srs);
        if (n != nullptr && *n != '\0')
            name = n;
        OSRDestroySpatialReference(srs);
    }
    const std::string code = crs_epsg(wkt);
    return name + " (" + (code.empty() ? "no EPSG code" : code) + ")";
}

bool height_units_agree(const DemInput &first, const std::string &first_role, const std::string &first_option,
                        const DemInput &second, const std::string &second_role, const std::string &second_option,
                        std::string *error)
{
    const DemInput *inputs[2] = {&first, &second};
    const std::string roles[2] = {first_role, second_role}, options[2] = {first_option, second_option};
    for (int k = 0; k < 2; k++) {
        const HeightFacts &h = inputs[k]->heights, &other = inputs[1 - k]->heights;
        char metres[64];
        if (h.unit_assumed && !other.unit_assumed && !other.z_scale_given && other.z_scale != 1) {
            std::snprintf(metres, sizeof metres, "%.10Lg", other.z_scale);
            *error = roles[k] + " " + inputs[k]->path + " declares no height unit (metres would be assumed) while " +
                     roles[1 - k] + " " + inputs[1 - k]->path + " has heights in '" + other.unit_as_read + "' (" +
                     metres + " m): give " + roles[k] + "'s unit with " + options[k] + " (" + metres +
                     " if it is the same, 1 for metres)";
            return false;
        }
        const double horizontal = inputs[k]->grid.linear_metres;
        if (h.unit_assumed && !inputs[k]->grid.geographic && !inputs[k]->grid.crs_wkt.empty() && horizontal != 1) {
            std::snprintf(metres, sizeof metres, "%.10g", horizontal);
            *error = roles[k] + " " + inputs[k]->path + " lies on a grid in units of " + metres +
                     " m (feet) and declares no height unit: its heights are seldom metres; give their unit with " +
                     options[k] + " (" + metres + " for the grid's unit, 1 for metres)";
            return false;
        }
    }
    return true;
}

bool open_dem_input(const DemInputOptions &options, DemInput *input, std::string *error)
{
    *input = DemInput();
    input->path = options.path;
    if (!check_input_file(options.path, error))
        return false;
    std::string base;
    int pair = PAIR_INPUT, itype = -1;
    bool ok;
    if (!opens_as_pair(options, &base, &pair, &itype))
        ok = options.pair_only ? fail(error, options.path, "names no DEM pair (NAME_m2.raw, NAME_m4.txt, NAME_m4.vrt, ...)")
                               : open_raster(options, input, error);
    else if (pair != PAIR_INPUT)
        ok = fail(error, options.path, "is a result pair (a difference the tool wrote), not a DEM");
    else
        ok = open_pair(options, base, itype, input, error);
    if (!ok)
        close_dem_input(input);
    return ok;
}

bool read_dem_lines(DemInput *input, int first, int count, double *metres, unsigned char *valid, std::string *error)
{
    if (first < 0 || count < 0 || first + count > input->grid.nb_lig)
        return fail(error, input->path, "lines " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                                            " lie outside its frame");
    if (count == 0)
        return true;
    return input->raw != nullptr ? read_pair_lines(input, first, count, metres, valid, error)
                                 : read_raster_lines(input, first, count, metres, valid, error);
}

bool read_dem_window(DemInput *input, int first, int count, int column, int columns, double *metres,
                     unsigned char *valid, std::string *error)
{
    if (first < 0 || count < 1 || first + count > input->grid.nb_lig || column < 0 || columns < 1 ||
        column + columns > input->grid.nb_col)
        return fail(error, input->path, "the window of lines " + std::to_string(first) + " to " +
                                            std::to_string(first + count - 1) + ", columns " + std::to_string(column) +
                                            " to " + std::to_string(column + columns - 1) + " lies outside its frame");
    if (input->raw != nullptr)
        return fail(error, input->path, "a DEM pair is read by whole lines from its first: read windows of a GDAL "
                                        "raster (its .vrt sidecar, or dem_gdal export)");
    return read_raster_lines(input, first, count, metres, valid, error, column, columns);
}

void close_dem_input(DemInput *input)
{
    if (input->dataset != nullptr)
        GDALClose(input->dataset);
    if (input->raw != nullptr)
        std::fclose(input->raw);
    input->dataset = nullptr;
    input->band = input->mask = nullptr;
    input->raw = nullptr;
}
