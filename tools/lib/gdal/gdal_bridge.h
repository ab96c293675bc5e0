// GDAL bridge: DEM pairs to and from the rasters GIS users hold.
//
// import: a band of any raster GDAL reads, heights in metres, becomes a DEM
// pair in a value type and height unit the user chooses, values rounded to
// the nearest unit, with a VRT sidecar (<base>_m2.vrt or <base>_m4.vrt)
// that keeps the exact georeferencing and lets a GIS open the pair itself.
//
// export: a DEM pair or a result pair becomes a tiled, compressed GeoTIFF in
// float32 metres or in the stored integers, with the georeferencing of the
// imported original and a nodata value.
//
// Both print a report on standard output and their errors, each once, on
// standard error, and return the exit status of the run.
#ifndef GDAL_BRIDGE_H
#define GDAL_BRIDGE_H

#include "units.h"

#include <gdal.h>

#include <string>
#include <vector>

// Height units (units.h), coded as in the tool's dialogue: 0 m, 1 dm, 2 cm,
// 3 mm, and for results also 4 tenths and 5 hundredths of millimetres.

// Smallest and largest value a pair of the value type can store; an _m2
// raster read as signed holds -32768 to 32767.
long long stored_min(int itype, bool signed16);
long long stored_max(int itype, bool signed16);

// A height in metres as a stored value in the unit: rounded to the nearest
// unit, halves away from zero. False when the height is not finite or its
// rounded value does not fit the value type. *change receives how far the
// rounding moved the value, in units (0 to 0.5).
bool metres_to_stored(double metres, int unit, int itype, long long *value, double *change);

// Whether a value is the nodata value of a band of type: compared once both
// are stored in that type (a float32 band holds the float nearest its
// nodata). The one nodata test of the companion programs.
// Inline: it is asked of every value read.
inline bool same_in_type(double value, double nodata, GDALDataType type)
{
    if (type == GDT_Float32)
        return static_cast<float>(value) == static_cast<float>(nodata);
    return value == nodata;
}

// The height in metres of a value read from a band: value x scale +
// offset, times the metres of its unit, in one expression of extended
// precision rounded once to double (the project's rule for real
// arithmetic). The one place the companion programs scale heights.
double scaled_height(double value, long double scale, long double offset, long double z_scale);

// Metres in one unit of a band's vertical unit text (metre, international
// foot, US survey foot, in the spellings GDAL rasters use); 0 when it is
// none of them, an empty text included.
long double band_unit_metres(const char *unit);

// Side of a cell from a geotransform, in the geotransform's own units. Cells
// must be square: both axes the same length and perpendicular (a rotated
// grid is accepted). False, with the reason in *why, otherwise.
bool square_cell_size(const double gt[6], double *size, std::string *why);

// Splits the path of a pair into its base and what its suffix says: a raster
// or descriptor path ("x_m4.raw", "x_2D_m2.txt") or the base with the type
// ("x_m4", "x_3D_m2"). False when the path ends with none of them.
bool split_pair_name(const std::string &path, std::string *base, int *pair, int *itype);

// Path of the sidecar of an input pair: <base>_m2.vrt or <base>_m4.vrt.
std::string sidecar_path(const std::string &base, int itype);

// What the sidecar of an imported pair records besides the frame: its
// geotransform and coordinate system, the side of a cell in metres, from its geotransform and the linear unit of its
// coordinate system (cell_metres 0 when it has no geotransform), and the
// height unit of the stored values, from the band's scale (-1 when the
// scale is no unit's).
struct SidecarFacts {
    int nb_lig = 0, nb_col = 0;
    double cell_metres = 0;
    int unit = -1;
    bool has_geotransform = false;
    double geotransform[6] = {0, 1, 0, 0, 0, 1};
    std::string crs_wkt; // "" without a coordinate system
};

// Reads a sidecar (GDAL must be registered). False, with the reason in
// *error, when it cannot be opened, its cells are not square or its
// coordinates are geographic.
bool read_sidecar(const std::string &path, SidecarFacts *facts, std::string *error);

struct ImportOptions {
    std::string source;   // any raster GDAL opens
    std::string pair;     // base of the pair to write (a suffix of the type is stripped)
    int itype = -1;       // DEM_M2 or DEM_M4
    int unit = -1;        // 0 .. UNITS_IN - 1
    int band = 1;         // band of the source, from 1
    bool fill = false;    // fill nodata cells instead of refusing them
    double fill_metres = 0;
    double z_scale = 1;   // source value (after the band's scale and offset) x z_scale = metres
    bool z_scale_given = false;
    double pixel_size = 0; // cell size in metres for a source without geotransform
    bool quiet = false;
};

struct ExportOptions {
    std::string pair;      // raster or descriptor path of a DEM or result pair
    std::string output;    // GeoTIFF to write
    int unit = -1;         // unit of the stored values (-1: from the pair's sidecar)
    bool signed16 = false; // read _m2 values as signed 16-bit
    bool stored = false;   // write the stored integers instead of float32 metres
    bool nodata_given = false;
    double nodata = 0;
    bool keep_border = false; // results: keep the border cells instead of nodata
    std::string georef;    // raster whose georeferencing the output takes
    bool overviews = false;
    std::vector<std::string> creation_options; // NAME=VALUE, after the defaults
    bool quiet = false;
};

int import_dem(const ImportOptions &o);
int export_dem(const ExportOptions &o);

// Cells from which a progress bar is shown.
const long long PROGRESS_CELLS = 1 << 20;

// GDAL's own errors and warnings, held while the run goes on instead of
// printed as they come (before the program's one-line message, and the same
// one many times): hold_gdal_messages installs the handler;
// print_gdal_messages prints each distinct one once, as "program: GDAL
// error: ..." or "program: GDAL warning: ...", at most 20, then how many
// more there were.
void hold_gdal_messages();
void print_gdal_messages(const char *program);

#endif
