// The co-registration from files: both DEMs opened as the companion
// programs open them (dem_input), the masks of stable and unstable ground
// (rasters on the reference's grid, or polygons rasterised by GDAL), the fit
// sample streamed from the reference, TO_ALIGN held in memory as float32
// over the window that can reach the reference, and the aligned raster
// streamed out by lines through the same resampler as the fit.
#include "coreg.h"
#include "tool_support.h"

#include "host.h"

#include <cpl_string.h>
#include <gdal_alg.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

// A mask of stable or unstable ground on the reference's grid: a raster of
// the same size (and georeferencing, when both have one) whose valid
// non-zero cells are in the mask, or the polygons of a vector file burnt
// onto the grid by GDAL (cells whose centre lies inside).
void close_mask(GroundMask *mask)
{
    if (mask->dataset != nullptr)
        GDALClose(mask->dataset);
    *mask = GroundMask();
}

bool open_mask(const std::string &path, const Frame &frame, bool has_geotransform, const std::string &crs_wkt,
               GroundMask *mask, std::string *error)
{
    if (!check_input_file(path, error))
        return false;
    CPLErrorReset();
    GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr,
                                 nullptr, nullptr);
    if (ds == nullptr) {
        const char *why = CPLGetLastErrorMsg();
        *error = path + ": cannot be opened as a raster or a vector file" + (*why ? std::string(": ") + why : "");
        return false;
    }
    if (GDALGetRasterCount(ds) > 0) {
        double gt[6];
        const bool georeferenced = GDALGetGeoTransform(ds, gt) == CE_None;
        bool same = GDALGetRasterXSize(ds) == frame.nb_col && GDALGetRasterYSize(ds) == frame.nb_lig;
        if (same && georeferenced && has_geotransform) {
            const double cell = std::min(std::fabs(frame.gt[1]), std::fabs(frame.gt[5]));
            for (int k = 0; k < 6; ++k)
                same = same && std::fabs(gt[k] - frame.gt[k]) <= 1e-6 * cell;
        }
        if (!same) {
            GDALClose(ds);
            *error = path + ": a mask raster must lie on REFERENCE's grid (" + std::to_string(frame.nb_lig) +
                     " lines, " + std::to_string(frame.nb_col) +
                     " columns, the same geotransform); gdalwarp -te/-tr puts it there, or give polygons";
            return false;
        }
        mask->dataset = ds;
        mask->band = GDALGetRasterBand(ds, 1);
        int has = 0;
        mask->nodata = GDALGetRasterNoDataValue(mask->band, &has);
        mask->has_nodata = has != 0;
        return true;
    }
    const int layers = GDALDatasetGetLayerCount(ds);
    if (layers == 0) {
        GDALClose(ds);
        *error = path + ": holds neither a raster band nor a vector layer";
        return false;
    }
    if (!has_geotransform) {
        GDALClose(ds);
        *error = path + ": polygons need a georeferenced REFERENCE to be placed on its grid";
        return false;
    }
    // GDAL's rasteriser drops a layer it cannot place: every cell would
    // then count as stable without a word.
    for (int k = 0; k < layers && !crs_wkt.empty(); ++k) {
        OGRLayerH layer = GDALDatasetGetLayer(ds, k);
        if (OGR_L_GetSpatialRef(layer) == nullptr) {
            *error = path + ": its layer " + OGR_L_GetName(layer) +
                     " has no coordinate system, so its polygons cannot be placed on REFERENCE's grid: give it "
                     "one (ogr2ogr -a_srs EPSG:CODE)";
            GDALClose(ds);
            return false;
        }
    }
    // Burnt onto an in-memory byte raster of the reference's grid; the
    // polygons are reprojected from their layer's coordinate system when it
    // differs from the grid's.
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", frame.nb_col, frame.nb_lig, 1, GDT_Byte, nullptr);
    bool ok = mem != nullptr;
    if (ok) {
        double gt[6];
        std::copy(frame.gt, frame.gt + 6, gt);
        ok = GDALSetGeoTransform(mem, gt) == CE_None;
        if (ok && !crs_wkt.empty())
            ok = GDALSetProjection(mem, crs_wkt.c_str()) == CE_None;
    }
    if (ok) {
        std::vector<OGRLayerH> handles;
        std::vector<double> burn;
        for (int k = 0; k < layers; ++k) {
            handles.push_back(GDALDatasetGetLayer(ds, k));
            burn.push_back(1);
        }
        int band = 1;
        ok = GDALRasterizeLayers(mem, 1, &band, layers, handles.data(), nullptr, nullptr, burn.data(), nullptr,
                                 nullptr, nullptr) == CE_None;
    }
    GDALClose(ds);
    if (!ok) {
        if (mem != nullptr)
            GDALClose(mem);
        const char *why = CPLGetLastErrorMsg();
        *error = path + ": its polygons cannot be rasterised onto REFERENCE's grid" +
                 (*why ? std::string(": ") + why : "");
        return false;
    }
    mask->dataset = mem;
    mask->band = GDALGetRasterBand(mem, 1);
    // Polygons that miss the grid (empty, or far away) burn no cell.
    double range[2] = {0, 0};
    mask->covers_nothing = GDALComputeRasterMinMax(mask->band, FALSE, range) == CE_None && range[1] == 0;
    return true;
}

// Sets flags[c] to 1 where the mask holds the cell, 0 elsewhere.
bool read_mask_line(const GroundMask &mask, int line, int nb_col, std::vector<double> *buffer, unsigned char *flags,
                    const std::string &path, std::string *error)
{
    buffer->resize(nb_col);
    if (GDALRasterIO(mask.band, GF_Read, 0, line, nb_col, 1, buffer->data(), nb_col, 1, GDT_Float64, 0, 0) !=
        CE_None) {
        *error = path + ": line " + std::to_string(line) + " cannot be read";
        return false;
    }
    for (int c = 0; c < nb_col; ++c) {
        const double v = (*buffer)[c];
        flags[c] = !std::isnan(v) && v != 0 && !(mask.has_nodata && v == mask.nodata);
    }
    return true;
}

} // namespace

namespace {

// Lines read from an input at a time.
const int CHUNK_LINES = 64;
// The float32 nodata of the output: no height can equal it.
const double OUTPUT_NODATA = -FLT_MAX;

// The grid of an input as a north-up frame in map units. False, with the
// reason, for a rotated grid, one without a cell size, or one in degrees
// without an ellipsoid.
bool frame_of(const DemInput &input, Frame *frame, std::string *error)
{
    const GridFacts &g = input.grid;
    frame->nb_lig = g.nb_lig;
    frame->nb_col = g.nb_col;
    if (!g.has_geotransform) {
        // The cell size given (the pair's descriptor or --pixel) stands in
        // the geotransform, the origin at 0, 0.
        if (!g.cell_size_known) {
            *error = "it has no georeferencing and no cell size: give --pixel";
            return false;
        }
        std::copy(g.geotransform, g.geotransform + 6, frame->gt);
        frame->x_metres = frame->y_metres = 1;
        return true;
    }
    if (g.geographic && !(g.semi_major > 0)) {
        *error = "its coordinates are geographic (degrees) on no known ellipsoid: the shift is measured in metres";
        return false;
    }
    if (g.geotransform[2] != 0 || g.geotransform[4] != 0) {
        *error = "its grid is rotated: put it on a north-up grid first (gdalwarp)";
        return false;
    }
    if (g.geotransform[1] == 0 || g.geotransform[5] == 0) {
        *error = "its geotransform has a cell of size zero";
        return false;
    }
    std::copy(g.geotransform, g.geotransform + 6, frame->gt);
    if (g.geographic) {
        // Degrees: the metres of a degree at the grid's mean latitude (the
        // latitude of its middle), taken constant over the grid.
        frame->degrees = true;
        frame->latitude = static_cast<double>(g.geotransform[3] + static_cast<long double>(g.nb_lig) * g.geotransform[5] / 2);
        metres_per_degree(g, frame->latitude, &frame->x_metres, &frame->y_metres);
    } else {
        frame->x_metres = frame->y_metres = g.linear_metres;
    }
    return true;
}

// The range [first, last) of TO_ALIGN's cells along one axis that can serve
// the reference's extent [lo, hi) (map units) widened by margin.
void covering_range(long double lo, long double hi, long double margin, long double origin, long double cell,
                    int count, int *first, int *last)
{
    const long double a = (lo - margin - origin) / cell, b = (hi + margin - origin) / cell;
    const long double from = std::floor(std::min(a, b)), to = std::ceil(std::max(a, b));
    *first = static_cast<int>(std::max<long double>(0, std::min<long double>(from, count)));
    *last = static_cast<int>(std::max<long double>(0, std::min<long double>(to, count)));
}

// Reads TO_ALIGN's window into memory as float32, NaN for nodata.
bool read_window(DemInput *input, const Frame &whole, int l0, int l1, int c0, int c1, SourceGrid *window,
                 std::string *error)
{
    window->frame = whole;
    window->frame.nb_lig = l1 - l0;
    window->frame.nb_col = c1 - c0;
    window->frame.gt[0] = whole.gt[0] + c0 * static_cast<long double>(whole.gt[1]);
    window->frame.gt[3] = whole.gt[3] + l0 * static_cast<long double>(whole.gt[5]);
    const int nb_col = whole.nb_col, width = c1 - c0;
    try {
        window->z.assign(static_cast<size_t>(l1 - l0) * width, 0.0f);
        std::vector<double> metres(static_cast<size_t>(CHUNK_LINES) * nb_col);
        std::vector<unsigned char> valid(static_cast<size_t>(CHUNK_LINES) * nb_col);
        // A pair is read in order from its first line; a GDAL raster from
        // the window's.
        for (int first = input->raw != nullptr ? 0 : l0; first < l1; first += CHUNK_LINES) {
            const int count = std::min(CHUNK_LINES, l1 - first);
            if (!read_dem_lines(input, first, count, metres.data(), valid.data(), error))
                return false;
            for (int k = 0; k < count; ++k) {
                const int line = first + k;
                if (line < l0)
                    continue;
                float *out = &window->z[static_cast<size_t>(line - l0) * width];
                for (int c = c0; c < c1; ++c) {
                    const size_t at = static_cast<size_t>(k) * nb_col + c;
                    out[c - c0] = valid[at] ? static_cast<float>(metres[at]) : std::numeric_limits<float>::quiet_NaN();
                }
            }
        }
    } catch (const std::bad_alloc &) {
        *error = "not enough memory for " + std::to_string(static_cast<long long>(l1 - l0) * width) +
                 " cells of float32 heights";
        return false;
    }
    return true;
}

// Everything the reading of the inputs holds, released in one place.
struct OpenInputs {
    DemInput reference, to_align;
    bool reference_open = false, to_align_open = false;
    StableGround ground;
    ~OpenInputs()
    {
        if (reference_open)
            close_dem_input(&reference);
        if (to_align_open)
            close_dem_input(&to_align);
        close_stable_ground(&ground);
    }
};

std::string named(const std::string &role, const std::string &path, const std::string &what)
{
    return role + " " + path + ": " + what;
}

} // namespace

bool open_stable_ground(const std::string &stable, const std::string &unstable, const DemInput &reference,
                        const std::string &crs_wkt, StableGround *ground, std::string *error)
{
    close_stable_ground(ground);
    Frame frame;
    if (!frame_of(reference, &frame, error)) {
        *error = reference.path + ": " + *error;
        return false;
    }
    ground->stable_path = stable;
    ground->unstable_path = unstable;
    ground->nb_col = frame.nb_col;
    const std::string *paths[2] = {&stable, &unstable};
    GroundMask *masks[2] = {&ground->stable, &ground->unstable};
    for (int k = 0; k < 2; ++k)
        if (!paths[k]->empty() &&
            !open_mask(*paths[k], frame, reference.grid.has_geotransform, crs_wkt, masks[k], error))
            return false;
    return true;
}

bool read_stable_line(StableGround *ground, int line, unsigned char *stable, std::string *error)
{
    const int nb_col = ground->nb_col;
    if (ground->stable.band != nullptr) {
        if (!read_mask_line(ground->stable, line, nb_col, &ground->buffer, stable, ground->stable_path, error))
            return false;
    } else {
        std::fill(stable, stable + nb_col, 1);
    }
    if (ground->unstable.band != nullptr) {
        ground->outside.resize(static_cast<size_t>(nb_col));
        if (!read_mask_line(ground->unstable, line, nb_col, &ground->buffer, ground->outside.data(),
                            ground->unstable_path, error))
            return false;
        for (int c = 0; c < nb_col; ++c)
            stable[c] = stable[c] && !ground->outside[static_cast<size_t>(c)];
    }
    return true;
}

void close_stable_ground(StableGround *ground)
{
    close_mask(&ground->stable);
    close_mask(&ground->unstable);
}

bool coregister(const CoregOptions &options, Alignment *alignment, std::string *error)
{
    *alignment = Alignment();
    alignment->resampling = options.resampling;
    OpenInputs in;
    std::string why;
    if (!open_dem_input(options.reference, &in.reference, &why)) {
        *error = why;
        return false;
    }
    in.reference_open = true;
    if (!open_dem_input(options.to_align, &in.to_align, &why)) {
        *error = why;
        return false;
    }
    in.to_align_open = true;

    // The grids: both georeferenced in one coordinate system, or neither,
    // then on one frame.
    Frame ref_frame, src_frame;
    if (!frame_of(in.reference, &ref_frame, &why)) {
        *error = named("REFERENCE", options.reference.path, why);
        return false;
    }
    if (!frame_of(in.to_align, &src_frame, &why)) {
        *error = named("TO_ALIGN", options.to_align.path, why);
        return false;
    }
    const GridFacts &rg = in.reference.grid, &sg = in.to_align.grid;
    if (rg.has_geotransform != sg.has_geotransform) {
        *error = std::string(rg.has_geotransform ? "TO_ALIGN " : "REFERENCE ") +
                 (rg.has_geotransform ? options.to_align.path : options.reference.path) +
                 ": has no georeferencing while the other DEM has: the two cannot be placed on one map";
        return false;
    }
    if (!rg.has_geotransform && (rg.nb_lig != sg.nb_lig || rg.nb_col != sg.nb_col)) {
        *error = "without georeferencing, REFERENCE and TO_ALIGN must have the same frame (" +
                 std::to_string(rg.nb_lig) + " x " + std::to_string(rg.nb_col) + " against " +
                 std::to_string(sg.nb_lig) + " x " + std::to_string(sg.nb_col) + ")";
        return false;
    }
    if (!rg.crs_wkt.empty() && !sg.crs_wkt.empty() && !same_crs(rg.crs_wkt, sg.crs_wkt)) {
        const std::string code = crs_epsg(rg.crs_wkt);
        *error = "REFERENCE and TO_ALIGN are in different coordinate systems: REFERENCE's is " + crs_label(rg.crs_wkt) +
                 ", TO_ALIGN's " + crs_label(sg.crs_wkt) + ": put TO_ALIGN into REFERENCE's first (gdalwarp -t_srs " +
                 (code.empty() ? "with REFERENCE's WKT" : code) + ")";
        return false;
    }
    if (rg.crs_wkt.empty() != sg.crs_wkt.empty())
        alignment->warnings.push_back(std::string(rg.crs_wkt.empty() ? "REFERENCE" : "TO_ALIGN") +
                                      " has no coordinate system: taken to be the other's");
    for (const DemInput *input : {&in.reference, &in.to_align})
        if (input->heights.unit_assumed)
            alignment->warnings.push_back(input->path + " declares no height unit: its heights are taken as metres");
    alignment->reference = ref_frame;
    alignment->crs_wkt = rg.crs_wkt.empty() ? sg.crs_wkt : rg.crs_wkt;

    // TO_ALIGN over the reference's extent and a margin for the largest shift.
    const long double ref_x0 = ref_frame.gt[0], ref_x1 = ref_frame.gt[0] + ref_frame.nb_col * static_cast<long double>(ref_frame.gt[1]);
    const long double ref_y0 = ref_frame.gt[3], ref_y1 = ref_frame.gt[3] + ref_frame.nb_lig * static_cast<long double>(ref_frame.gt[5]);
    const long double margin =
        (MAX_SHIFT_CELLS + 3) * std::max(std::fabs(ref_frame.gt[1]), std::fabs(ref_frame.gt[5])) +
        3 * std::max(std::fabs(src_frame.gt[1]), std::fabs(src_frame.gt[5]));
    int c0, c1, l0, l1;
    covering_range(std::min(ref_x0, ref_x1), std::max(ref_x0, ref_x1), margin, src_frame.gt[0], src_frame.gt[1],
                   src_frame.nb_col, &c0, &c1);
    covering_range(std::min(ref_y0, ref_y1), std::max(ref_y0, ref_y1), margin, src_frame.gt[3], src_frame.gt[5],
                   src_frame.nb_lig, &l0, &l1);
    if (c0 >= c1 || l0 >= l1) {
        *error = "TO_ALIGN " + options.to_align.path + ": does not overlap REFERENCE";
        return false;
    }
    if (!read_window(&in.to_align, src_frame, l0, l1, c0, c1, &alignment->source, &why)) {
        *error = named("TO_ALIGN", options.to_align.path, why);
        return false;
    }
    close_dem_input(&in.to_align);
    in.to_align_open = false;

    // The masks.
    if (!open_stable_ground(options.stable, options.unstable, in.reference, alignment->crs_wkt, &in.ground, error))
        return false;
    if (options.stable.empty() && options.unstable.empty())
        alignment->warnings.push_back("no --stable or --unstable: every cell is taken as stable ground, so any "
                                      "real change between the surveys biases the shift and the bias");
    if (in.ground.unstable.covers_nothing)
        alignment->warnings.push_back(options.unstable + ": its polygons cover no cell of REFERENCE's grid (empty, "
                                      "or far from it): every cell is taken as stable ground");
    if (in.ground.stable.covers_nothing)
        alignment->warnings.push_back(options.stable + ": its polygons cover no cell of REFERENCE's grid (empty, "
                                      "or far from it): no cell is stable ground");

    // The fit sample, streamed from the reference by chunks of lines.
    const int nb_col = ref_frame.nb_col;
    std::vector<double> metres(static_cast<size_t>(CHUNK_LINES) * nb_col);
    std::vector<unsigned char> valid(static_cast<size_t>(CHUNK_LINES) * nb_col);
    int chunk_first = 0, chunk_count = 0;
    ReferenceLineReader read_line = [&](int line, double *z, unsigned char *ok, unsigned char *stable,
                                        std::string *err) {
        if (line >= chunk_first + chunk_count) {
            chunk_first = line;
            chunk_count = std::min(CHUNK_LINES, ref_frame.nb_lig - line);
            if (!read_dem_lines(&in.reference, chunk_first, chunk_count, metres.data(), valid.data(), err)) {
                *err = named("REFERENCE", options.reference.path, *err);
                return false;
            }
        }
        const size_t at = static_cast<size_t>(line - chunk_first) * nb_col;
        std::copy(&metres[at], &metres[at] + nb_col, z);
        std::copy(&valid[at], &valid[at] + nb_col, ok);
        return read_stable_line(&in.ground, line, stable, err);
    };
    FitSample sample;
    try {
        if (!build_fit_sample(ref_frame, options.max_fit_cells, read_line, &sample, error))
            return false;
    } catch (const std::bad_alloc &) {
        *error = "not enough memory for the fit sample";
        return false;
    }

    fit_alignment(sample, ref_frame, alignment->source, options.resampling, options.max_iterations, options.force,
                  &alignment->result);
    const CoregResult &r = alignment->result;
    if (!r.determined && !options.force) {
        *error = "the shift cannot be determined from the stable ground: " + r.why_undetermined;
        return false;
    }
    if (!r.determined)
        alignment->warnings.push_back("the shift is not determined (" + r.why_undetermined +
                                      "): --force applies no shift, the bias alone");
    else if (!r.converged)
        alignment->warnings.push_back("the fit did not converge in " + std::to_string(options.max_iterations) +
                                      " iterations (last step above 0.01 cell)");
    return true;
}

void read_aligned_lines(const Alignment &alignment, int first, int count, double *metres, unsigned char *valid)
{
    const CoregResult &r = alignment.result;
    resample_lines(alignment.source, alignment.reference, alignment.resampling, first, count, r.shift_lines,
                   r.shift_columns, metres);
    const size_t cells = static_cast<size_t>(count) * alignment.reference.nb_col;
    for (size_t k = 0; k < cells; ++k) {
        valid[k] = !std::isnan(metres[k]);
        if (valid[k])
            metres[k] = static_cast<double>(static_cast<long double>(metres[k]) - r.bias_z_m);
    }
}

bool write_aligned(const Alignment &alignment, const std::string &path, const std::string &write_at,
                   const std::vector<std::string> &creation_options, bool progress, std::string *error)
{
    const Frame &frame = alignment.reference;
    char **co = nullptr;
    co = CSLSetNameValue(co, "TILED", "YES");
    co = CSLSetNameValue(co, "COMPRESS", "DEFLATE");
    co = CSLSetNameValue(co, "PREDICTOR", "3");
    // The fastest level of DEFLATE on every CPU: at 10^8 cells, 146 MB in
    // a third of the time the default level takes for 138 MB.
    co = CSLSetNameValue(co, "ZLEVEL", "1");
    co = CSLSetNameValue(co, "NUM_THREADS", "ALL_CPUS");
    co = CSLSetNameValue(co, "BIGTIFF", "IF_SAFER");
    for (const std::string &option : creation_options) {
        const size_t eq = option.find('=');
        co = CSLSetNameValue(co, option.substr(0, eq).c_str(), eq == std::string::npos ? "" : option.substr(eq + 1).c_str());
    }
    CPLErrorReset();
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), write_at.c_str(), frame.nb_col, frame.nb_lig, 1,
                                 GDT_Float32, co);
    CSLDestroy(co);
    bool ok = ds != nullptr;
    GDALRasterBandH band = ok ? GDALGetRasterBand(ds, 1) : nullptr;
    // Without georeferencing, REFERENCE's cell size alone (origin 0, 0), so
    // that OUT keeps it.
    if (ok) {
        double gt[6];
        std::copy(frame.gt, frame.gt + 6, gt);
        ok = GDALSetGeoTransform(ds, gt) == CE_None;
    }
    if (ok && !alignment.crs_wkt.empty())
        ok = GDALSetProjection(ds, alignment.crs_wkt.c_str()) == CE_None;
    ok = ok && GDALSetRasterNoDataValue(band, OUTPUT_NODATA) == CE_None;
    ok = ok && GDALSetRasterUnitType(band, "m") == CE_None;

    // Strips of the output's block height, resampled and written in turn.
    int block_x = 0, block_y = 0;
    if (ok)
        GDALGetBlockSize(band, &block_x, &block_y);
    const int strip = std::max(1, std::min(block_y, 1024));
    try {
        std::vector<double> metres;
        std::vector<unsigned char> valid;
        std::vector<float> values;
        if (ok) {
            metres.resize(static_cast<size_t>(strip) * frame.nb_col);
            valid.resize(metres.size());
            values.resize(metres.size());
        }
        for (int first = 0; ok && first < frame.nb_lig; first += strip) {
            const int count = std::min(strip, frame.nb_lig - first);
            read_aligned_lines(alignment, first, count, metres.data(), valid.data());
            for (size_t k = 0; k < static_cast<size_t>(count) * frame.nb_col; ++k)
                values[k] = valid[k] ? static_cast<float>(metres[k]) : static_cast<float>(OUTPUT_NODATA);
            ok = GDALRasterIO(band, GF_Write, 0, first, frame.nb_col, count, values.data(), frame.nb_col, count,
                              GDT_Float32, 0, 0) == CE_None;
            if (ok && progress)
                GDALTermProgress(static_cast<double>(first + count) / frame.nb_lig, nullptr, nullptr);
        }
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    if (ds != nullptr)
        GDALClose(ds); // writes what is left
    ok = ok && CPLGetLastErrorType() != CE_Failure;
    if (!ok) {
        const char *why = CPLGetLastErrorMsg();
        *error = path + ": cannot be written" + (*why ? std::string(": ") + why : "");
        return false;
    }
    return true;
}
