// A DEM read by lines in metres, whatever holds it: a band of any raster
// GDAL opens (GeoTIFF, VRT, ASCII grid, …) or a DEM pair of this system's
// own format (named by its .raw, its .txt, its .vrt sidecar or its base with
// the type, by name_dem_pair).
//
// Heights are converted to metres by the project's rule: for a pair, the
// stored integer times the double constant of its unit in extended
// precision, rounded once to double (convert_to_metres, so that the values
// are the interactive tool's own); for a GDAL band, value × scale + offset,
// times the metres of the band's vertical unit, evaluated in extended
// precision and rounded once to double.
//
// Nodata: the band's nodata value, its mask (or the dataset's), and NaN are
// nodata; a pair has none. Nodata cells are flagged, never filled.
#ifndef DEM_INPUT_H
#define DEM_INPUT_H

#include <gdal.h>

#include <cstdio>
#include <string>

// What a DEM input knows of its grid, passed once instead of ten parameters.
struct GridFacts {
    int nb_lig = 0, nb_col = 0;
    bool has_geotransform = false;
    // GDAL's: x0, dx/col, dx/line, y0, dy/col, dy/line. Without a
    // geotransform, the cell size given (the pair's descriptor or the user)
    // stands in dx/col and -dy/line.
    double geotransform[6] = {0, 1, 0, 0, 0, -1};
    bool cell_size_known = false; // a geotransform or a given cell size
    std::string crs_wkt;       // empty when the input has no CRS
    bool geographic = false;   // the CRS is in degrees (cell areas from the ellipsoid)
    double semi_major = 0;     // ellipsoid of a geographic CRS, metres
    double inv_flattening = 0; // 0 for a sphere
    double linear_metres = 1;  // metres in one horizontal unit of a projected CRS
};

// How the heights of an input were read, for the reports.
struct HeightFacts {
    std::string unit_as_read;  // the band's unit text ("metre", "ft", "") or the pair's unit name
    bool unit_assumed = false; // no unit declared: taken as metres
    bool z_scale_given = false; // the user gave the metres of a unit (a vertical scale option)
    long double z_scale = 1;   // metres in one unit of the values after scale and offset
    bool has_scale = false;    // the band declares a scale or an offset
    double scale = 1, offset = 0;
    bool has_nodata = false;
    double nodata = 0;         // the band's nodata value, when has_nodata
    bool has_mask = false;     // a mask band (or alpha) says which cells hold data
};

// Whether two coordinate systems given as WKT are the same (OSRIsSame) in
// their horizontal parts (a compound system's vertical part is left out);
// two inputs without one are alike, one with and one without are not.
bool same_crs(const std::string &a, const std::string &b);

// The metres of a degree of longitude (*x_metres) and of latitude
// (*y_metres) at latitude phi_deg on the ellipsoid of a grid in degrees:
// N cos(phi) pi/180 and M pi/180 with M = a (1 - e2) / W^3 the meridian
// radius of curvature, N = a / W the prime-vertical one, W = (1 - e2
// sin^2 phi)^(1/2), e2 = f (2 - f) (J. P. Snyder, Map Projections - A
// Working Manual, USGS Professional Paper 1395, 1987, eqs. 4-18 and 4-20).
// A sphere when the inverse flattening is 0.
void metres_per_degree(const GridFacts &grid, double phi_deg, double *x_metres, double *y_metres);

// The EPSG code of a coordinate system given as WKT ("EPSG:26933"), when
// GDAL finds one for it (its own or an identified one); "" otherwise.
std::string crs_epsg(const std::string &wkt);

// A coordinate system named for a message: "NAD83 / UTM zone 33N
// (EPSG:26933)", or its name and "no EPSG code".
std::string crs_label(const std::string &wkt);


// Choices of the user for one input.
struct DemInputOptions {
    std::string path;          // raster GDAL opens, or a pair's .raw/.txt/.vrt
    int band = 1;              // band of a GDAL raster, from 1
    int unit = -1;             // unit code of a pair (-1: from its sidecar); ignored for GDAL rasters
    bool z_scale_given = false;
    double z_scale = 1;        // metres in one unit of the values: overrides the band's unit
    double pixel_size = 0;     // cell size in metres for an input without geotransform (0: none given)
    // For a program that reads pairs alone: the path names a DEM pair (its
    // files are checked as a pair's even when its raster is missing), never a
    // GDAL raster.
    bool pair_only = false;
    // A pair whose unit neither `unit` nor its sidecar gives opens with unit
    // -1, for the caller to ask for it; read_dem_lines refuses to read it.
    bool unit_may_be_unknown = false;
    // A pair's sidecar is left unread: the caller has the unit and the cell
    // size, and needs no georeferencing.
    bool skip_sidecar = false;
};

// An open input. Read it by consecutive lines from line 0 with
// read_dem_lines; the members are for the reading functions.
struct DemInput {
    std::string path;          // as the user named it
    std::string kind;          // "GTiff raster", "DEM pair _m4", …: what it was opened as
    GridFacts grid;
    HeightFacts heights;
    // A GDAL raster:
    GDALDatasetH dataset = nullptr;
    GDALRasterBandH band = nullptr;
    GDALRasterBandH mask = nullptr; // null when every cell is valid by the mask
    // A pair of this system's own format:
    FILE *raw = nullptr;
    int itype = -1;            // DEM_M2 or DEM_M4
    int unit = -1;             // unit code of the stored values
    int pix_size = 0;          // the descriptor's integer pixel size (0 or less: none recorded)
    std::string descriptor;    // the pair's descriptor
    std::string sidecar;       // the pair's sidecar when it was read, "" otherwise
    double sidecar_cell_metres = 0; // the side of a cell by the sidecar's geotransform, metres (0: none)
    int next_line = 0;         // the line read_dem_lines reads next from a pair
};

// Names the DEM or result pair of a path: its raster, its descriptor, its
// base with the type ("x_m4") or the sidecar dem_gdal import writes
// ("x_m4.vrt", a DEM's alone): its base, *pair (PAIR_INPUT for a DEM,
// PAIR_2D or PAIR_3D for a result) and *itype. False when the path ends like
// none of them.
bool name_dem_pair(const std::string &path, std::string *base, int *pair, int *itype);

// Lines per block for inputs read in tiles (or strips) of tile_lines
// lines, at most `most` lines (at least 1): a multiple or a divisor of
// tile_lines, so that each block lies in one row of tiles and no tile is
// decoded twice (`most` when no such block is near its size).
int tile_aligned_lines(int most, int tile_lines);

// Opens the input and reads what it knows of itself. False, with a message
// naming the file and what is wrong in *error, when it cannot be used.
bool open_dem_input(const DemInputOptions &options, DemInput *input, std::string *error);

// Reads count lines from line first (a pair must be read in order, from
// line 0, by consecutive calls): heights in metres into metres[count *
// nb_col], and valid[k] = 1 where the cell holds data, 0 where it is
// nodata (metres[k] is then NaN). False, with the reason in *error, when a
// read fails or the raster is shorter than its frame.
bool read_dem_lines(DemInput *input, int first, int count, double *metres, unsigned char *valid,
                    std::string *error);

// Reads a window of a GDAL raster (any lines, in any order: the tiles of a
// cluster's run): lines first .. first + count − 1, columns column ..
// column + columns − 1, into metres[count × columns] and valid as
// read_dem_lines does. False, with *error, for a window beyond the frame,
// a DEM pair (read by whole lines in order) or a failed read.
bool read_dem_window(DemInput *input, int first, int count, int column, int columns, double *metres,
                     unsigned char *valid, std::string *error);

// Closes what the input holds.
void close_dem_input(DemInput *input);

// False, with a message naming both inputs and the option that settles it,
// when the heights of one are taken as metres for want of a declared unit
// while the other's declared unit is another (metres beside feet), or when
// a grid in feet has heights of no declared unit. roles: "BEFORE",
// "REFERENCE"; options: "--z-scale-before".
bool height_units_agree(const DemInput &first, const std::string &first_role, const std::string &first_option,
                        const DemInput &second, const std::string &second_role, const std::string &second_option,
                        std::string *error);

#endif
