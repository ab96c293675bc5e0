// Files for the GDAL bridge tests: small GeoTIFFs written and read back with
// GDAL's C API, DEM pairs read with the tool's own format code, and runs of
// the programs in a scratch folder.
#ifndef GDAL_TEST_FILES_H
#define GDAL_TEST_FILES_H

#include <gdal.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

// A one-band raster: values line by line, georeferencing, nodata.
struct Grid {
    int lines = 0, columns = 0;
    std::vector<double> values;
    double gt[6] = {500000, 2.5, 0, 4600000, 0, -2.5};
    bool has_gt = true;
    int epsg = 32633; // 0: no coordinate system
    bool has_nodata = false;
    double nodata = 0;
    GDALDataType type = GDT_Float32;
    std::string unit;  // the band's unit type
    std::string wkt;   // filled when read back
    std::string compression; // filled when read back
    int block_x = 0, block_y = 0, overviews = 0;
    double scale = 1;
};

void write_geotiff(const std::string &path, const Grid &g);
Grid read_geotiff(const std::string &path);
// Whether two coordinate systems given as WKT are the same.
bool same_srs(const std::string &a, const std::string &b);

// A run of a command in a folder: exit status, standard output and error.
struct Outcome {
    int status = -1;
    std::string out, err;
};
Outcome run_in(const std::string &dir, const std::string &command, const std::string &input = "");

std::string read_file(const std::string &path);
bool exists(const std::string &path);
// The values of a raster of the pair format (_m2 read unsigned).
std::vector<long long> read_pair_raster(const std::string &path, int itype, int lines, int columns);
// Writes a pair (raster and descriptor with the six fields) from values.
void write_pair(const std::string &base, int pair, int itype, int lines, int columns, const std::vector<long long> &v);

// A fresh scratch folder per test, removed after it.
class BridgeTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string at(const std::string &name) const { return dir + "/" + name; }
    // dem_gdal with the given arguments, run in the scratch folder.
    Outcome dem_gdal(const std::string &args) const;
};

#endif
