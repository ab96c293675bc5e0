// The co-registration from files: both DEMs opened as the companion
// programs open them (dem_input), the masks of stable and unstable ground
// (rasters on the reference's grid, or polygons rasterised by GDAL), the fit
// sample streamed from the reference, TO_ALIGN held in memory as float32
// over the window that can reach the reference, and the aligned raster
// streamed out by lines through the same resampler as the fit.
#include "coreg.h"
#include "geotiff_output.h"
#include "output_set.h"
#include "tool_support.h"

#include <ogr_api.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Sets flags[c] to 1 where the mask holds the cell (a valid value other
// than 0), 0 elsewhere.
bool read_mask_line(GridLayer *mask, int line, std::vector<double> *buffer, unsigned char *flags, std::string *error)
{
    buffer->resize(static_cast<size_t>(mask->nb_col));
    if (!read_layer_lines(mask, line, 1, buffer->data(), error))
        return false;
    for (int c = 0; c < mask->nb_col; ++c) {
        const double v = (*buffer)[static_cast<size_t>(c)];
        flags[c] = !std::isnan(v) && v != 0;
    }
    return true;
}

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

bool stage_mask_scratch(OutputSet *set, const std::string &near, const std::string &use, const std::string &stable,
                        const std::string &unstable, MaskScratch *scratch, std::string *error)
{
    *scratch = MaskScratch();
    return (stable.empty() || stage_scratch(set, near, use + "_stable.tif", &scratch->stable, error)) &&
           (unstable.empty() || stage_scratch(set, near, use + "_unstable.tif", &scratch->unstable, error));
}

bool open_stable_ground(const std::string &stable, const std::string &unstable, const MaskScratch &scratch,
                        const DemInput &reference, const std::string &crs_wkt, StableGround *ground,
                        std::string *error)
{
    close_stable_ground(ground);
    GridFacts grid = reference.grid;
    grid.crs_wkt = crs_wkt;
    ground->stable_path = stable;
    ground->unstable_path = unstable;
    ground->nb_col = grid.nb_col;
    FeatureBurn burn;
    burn.value = [](OGRFeatureH, double *value, std::string *) {
        *value = 1;
        return true;
    };
    const std::string *paths[2] = {&stable, &unstable};
    const std::string *burnt_at[2] = {&scratch.stable, &scratch.unstable};
    GridLayer *masks[2] = {&ground->stable, &ground->unstable};
    for (int k = 0; k < 2; ++k)
        if (!paths[k]->empty() &&
            !open_grid_layer(*paths[k], grid, "REFERENCE", true, burn, *burnt_at[k], masks[k], error))
            return false;
    return true;
}

bool read_stable_line(StableGround *ground, int line, unsigned char *stable, std::string *error)
{
    const int nb_col = ground->nb_col;
    if (ground->stable.band != nullptr) {
        if (!read_mask_line(&ground->stable, line, &ground->buffer, stable, error))
            return false;
    } else {
        std::fill(stable, stable + nb_col, 1);
    }
    if (ground->unstable.band != nullptr) {
        ground->outside.resize(static_cast<size_t>(nb_col));
        if (!read_mask_line(&ground->unstable, line, &ground->buffer, ground->outside.data(), error))
            return false;
        for (int c = 0; c < nb_col; ++c)
            stable[c] = stable[c] && !ground->outside[static_cast<size_t>(c)];
    }
    return true;
}

void close_stable_ground(StableGround *ground)
{
    close_grid_layer(&ground->stable);
    close_grid_layer(&ground->unstable);
}

namespace {

// Opens REFERENCE and TO_ALIGN.
bool open_inputs(const CoregOptions &options, OpenInputs *in, std::string *error)
{
    if (!open_dem_input(options.reference, &in->reference, error))
        return false;
    in->reference_open = true;
    if (!open_dem_input(options.to_align, &in->to_align, error))
        return false;
    in->to_align_open = true;
    return true;
}

// The grids: both georeferenced in one coordinate system, or neither, then
// on one frame. Sets the alignment's reference frame and coordinate system,
// and warns of what is taken for granted.
bool check_grids(const CoregOptions &options, const OpenInputs &in, Alignment *alignment, Frame *src_frame,
                 std::string *error)
{
    Frame ref_frame;
    std::string why;
    if (!frame_of(in.reference, &ref_frame, &why)) {
        *error = named("REFERENCE", options.reference.path, why);
        return false;
    }
    if (!frame_of(in.to_align, src_frame, &why)) {
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
    return true;
}

// TO_ALIGN over the reference's extent and a margin for the largest shift,
// into the alignment's source; TO_ALIGN is closed then.
bool read_source(const CoregOptions &options, const Frame &src_frame, OpenInputs *in, Alignment *alignment,
                 std::string *error)
{
    const Frame &ref_frame = alignment->reference;
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
    std::string why;
    if (!read_window(&in->to_align, src_frame, l0, l1, c0, c1, &alignment->source, &why)) {
        *error = named("TO_ALIGN", options.to_align.path, why);
        return false;
    }
    close_dem_input(&in->to_align);
    in->to_align_open = false;
    return true;
}

// The masks of stable ground on the reference's grid, with a warning when
// none is given or one covers nothing.
bool open_masks(const CoregOptions &options, OpenInputs *in, Alignment *alignment, std::string *error)
{
    if (!open_stable_ground(options.stable, options.unstable, options.mask_scratch, in->reference, alignment->crs_wkt,
                            &in->ground, error))
        return false;
    if (options.stable.empty() && options.unstable.empty())
        alignment->warnings.push_back("no --stable or --unstable: every cell is taken as stable ground, so any "
                                      "real change between the surveys biases the shift and the bias");
    if (in->ground.unstable.covers_nothing)
        alignment->warnings.push_back(options.unstable + ": its polygons cover no cell of REFERENCE's grid (empty, "
                                      "or far from it): every cell is taken as stable ground");
    if (in->ground.stable.covers_nothing)
        alignment->warnings.push_back(options.stable + ": its polygons cover no cell of REFERENCE's grid (empty, "
                                      "or far from it): no cell is stable ground");
    return true;
}

// The fit sample, streamed from the reference by chunks of lines.
bool sample_reference(const CoregOptions &options, const Frame &ref_frame, OpenInputs *in, FitSample *sample,
                      std::string *error)
{
    const int nb_col = ref_frame.nb_col;
    std::vector<double> metres(static_cast<size_t>(CHUNK_LINES) * nb_col);
    std::vector<unsigned char> valid(static_cast<size_t>(CHUNK_LINES) * nb_col);
    int chunk_first = 0, chunk_count = 0;
    ReferenceLineReader read_line = [&](int line, double *z, unsigned char *ok, unsigned char *stable,
                                        std::string *err) {
        if (line >= chunk_first + chunk_count) {
            chunk_first = line;
            chunk_count = std::min(CHUNK_LINES, ref_frame.nb_lig - line);
            if (!read_dem_lines(&in->reference, chunk_first, chunk_count, metres.data(), valid.data(), err)) {
                *err = named("REFERENCE", options.reference.path, *err);
                return false;
            }
        }
        const size_t at = static_cast<size_t>(line - chunk_first) * nb_col;
        std::copy(&metres[at], &metres[at] + nb_col, z);
        std::copy(&valid[at], &valid[at] + nb_col, ok);
        return read_stable_line(&in->ground, line, stable, err);
    };
    try {
        return build_fit_sample(ref_frame, options.max_fit_cells, read_line, sample, error);
    } catch (const std::bad_alloc &) {
        *error = "not enough memory for the fit sample";
        return false;
    }
}

// What the fit's outcome allows: an undetermined shift fails unless
// --force; a fit that did not converge is warned of.
bool judge_fit(const CoregOptions &options, Alignment *alignment, std::string *error)
{
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

} // namespace

bool coregister(const CoregOptions &options, Alignment *alignment, std::string *error)
{
    *alignment = Alignment();
    alignment->resampling = options.resampling;
    OpenInputs in;
    Frame src_frame;
    FitSample sample;
    if (!open_inputs(options, &in, error) || !check_grids(options, in, alignment, &src_frame, error) ||
        !read_source(options, src_frame, &in, alignment, error) || !open_masks(options, &in, alignment, error) ||
        !sample_reference(options, alignment->reference, &in, &sample, error))
        return false;
    fit_alignment(sample, alignment->reference, alignment->source, options.resampling, options.max_iterations,
                  options.force, &alignment->result);
    return judge_fit(options, alignment, error);
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
    // Without georeferencing, REFERENCE's cell size alone (origin 0, 0), so
    // that OUT keeps it.
    GeoTiffLayout layout = geotiff_layout(frame.nb_lig, frame.nb_col, GDT_Float32, frame.gt, alignment.crs_wkt);
    layout.has_nodata = true;
    layout.nodata = OUTPUT_NODATA;
    layout.unit = "m";
    layout.options = creation_options;
    GDALDatasetH ds = create_geotiff(path, write_at, layout, error);
    if (ds == nullptr)
        return false;
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    bool ok = true;

    // Strips of the output's block height, resampled and written in turn.
    int block_x = 0, block_y = 0;
    GDALGetBlockSize(band, &block_x, &block_y);
    const int strip = std::max(1, std::min(block_y, 1024));
    try {
        std::vector<double> metres(static_cast<size_t>(strip) * frame.nb_col);
        std::vector<unsigned char> valid(metres.size());
        std::vector<float> values(metres.size());
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
    if (!ok) {
        const char *why = CPLGetLastErrorMsg();
        *error = path + ": cannot be written" + (*why ? std::string(": ") + why : "");
        GDALClose(ds);
        return false;
    }
    return close_geotiff(ds, path, error);
}
