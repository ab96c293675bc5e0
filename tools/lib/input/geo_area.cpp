#include "geo_area.h"

#include "tool_support.h"

#include <cmath>
#include <cstdio>

// The area of the zone of the ellipsoid between the equator and latitude φ,
// per radian of longitude, is a²·q(φ)/2, with
//
//   q(φ) = (1 − e²) · [ sin φ / (1 − e² sin² φ) − 1/(2e) · ln((1 − e sin φ) / (1 + e sin φ)) ]
//
// (J. P. Snyder, Map Projections — A Working Manual, U.S. Geological Survey
// Professional Paper 1395, 1987, eq. 3-12, the authalic latitude; the
// area relation is that of the Lambert azimuthal and cylindrical equal-area
// projections, ibid. ch. 3 and 10). So the quadrangle between φ1 and φ2
// spanning Δλ radians has the area a²·Δλ·(q(φ2) − q(φ1))/2. On a sphere
// (e = 0) q(φ) = 2 sin φ and the area is a²·Δλ·(sin φ2 − sin φ1).
//
// The logarithm is written −2·atanh(e sin φ), which keeps its precision
// near the equator. Assumption: the surface is the CRS's ellipsoid of
// revolution; heights above it are ignored (a cell 1000 m up is larger by
// about 0.03 %).
static long double authalic_q(long double sin_phi, long double e)
{
    const long double e2 = e * e;
    const long double first = sin_phi / (1 - e2 * sin_phi * sin_phi);
    if (e == 0)
        return 2 * sin_phi;
    return (1 - e2) * (first + std::atanh(e * sin_phi) / e);
}

double quadrangle_area(double a, double inv_f, double lat1, double lat2, double dlon)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double deg = pi / 180;
    const long double f = inv_f == 0 ? 0.0L : 1 / static_cast<long double>(inv_f);
    const long double e = std::sqrt(f * (2 - f));
    const long double q1 = authalic_q(std::sin(lat1 * deg), e);
    const long double q2 = authalic_q(std::sin(lat2 * deg), e);
    const long double area = static_cast<long double>(a) * a * std::fabs(dlon * deg) * std::fabs(q2 - q1) / 2;
    return static_cast<double>(area);
}

bool grid_areas(const GridFacts &grid, GridAreas *areas, std::string *warning, std::string *error)
{
    const double *gt = grid.geotransform;
    if (!grid.has_geotransform) {
        // The cell size given for the input (--pixel, or a pair's
        // descriptor) stands in the geotransform.
        if (!grid.cell_size_known || !(gt[1] > 0)) {
            *error = "the grid has no georeferencing: give its cell size in metres with --pixel";
            return false;
        }
        areas->cell_area = static_cast<double>(static_cast<long double>(gt[1]) * gt[1]);
        areas->how = "cells of " + exact_number(gt[1]) + " m x " + exact_number(gt[1]) + " m = " +
                     exact_number(areas->cell_area) + " m2 (no georeferencing)";
        return true;
    }
    if (grid.geographic) {
        if (gt[2] != 0 || gt[4] != 0) {
            *error = "the grid in degrees is rotated: its cell areas on the ellipsoid are not supported";
            return false;
        }
        const double bottom = gt[3] + static_cast<double>(grid.nb_lig) * gt[5];
        if (!(grid.semi_major > 0) || std::fabs(gt[3]) > 90 + 1e-9 || std::fabs(bottom) > 90 + 1e-9) {
            *error = "the grid in degrees lies beyond the poles or its ellipsoid is unknown";
            return false;
        }
        areas->per_line = true;
        areas->a = grid.semi_major;
        areas->inv_f = grid.inv_flattening;
        areas->top = gt[3];
        areas->dlat = gt[5];
        areas->dlon = gt[1];
        areas->how = "grid in degrees: each line's cell area on the ellipsoid a = " + exact_number(grid.semi_major) +
                     " m, 1/f = " + exact_number(grid.inv_flattening);
        return true;
    }
    // The area of the parallelogram of a cell: |dx/col × dy/line − dx/line × dy/col|.
    long double det = std::fabs(static_cast<long double>(gt[1]) * gt[5] - static_cast<long double>(gt[2]) * gt[4]);
    if (grid.linear_metres != 1)
        det = static_cast<long double>(static_cast<double>(det)) * grid.linear_metres * grid.linear_metres;
    areas->cell_area = static_cast<double>(det);
    if (grid.crs_wkt.empty()) {
        *warning = "the raster has no coordinate system: its geotransform's units are taken as metres";
        areas->how = "cells of " + exact_number(areas->cell_area) + " m2 (no CRS: units taken as metres)";
    } else
        areas->how = "cells of " + exact_number(areas->cell_area) + " m2 (projected CRS)";
    if (!(areas->cell_area > 0) || !std::isfinite(areas->cell_area)) {
        *error = "the geotransform gives cells of no area";
        return false;
    }
    return true;
}

double line_cell_area(const GridAreas &areas, int line)
{
    if (!areas.per_line)
        return areas.cell_area;
    const long double at = static_cast<long double>(line) + areas.first_line;
    const double lat1 = static_cast<double>(areas.top + at * areas.dlat);
    const double lat2 = static_cast<double>(areas.top + (at + 1) * areas.dlat);
    return quadrangle_area(areas.a, areas.inv_f, lat1, lat2, areas.dlon);
}
