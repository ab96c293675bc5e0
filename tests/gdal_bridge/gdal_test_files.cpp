#include "gdal_test_files.h"

#include "LIB/NRUTIL.h"
#include "dem_files.h"

#include <cpl_string.h>
#include <ogr_srs_api.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

void write_geotiff(const std::string &path, const Grid &g)
{
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), g.columns, g.lines, 1, g.type, nullptr);
    ASSERT_NE(ds, nullptr);
    if (g.has_gt)
        GDALSetGeoTransform(ds, const_cast<double *>(g.gt));
    if (g.epsg != 0) {
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        OSRImportFromEPSG(srs, g.epsg);
        GDALSetSpatialRef(ds, srs);
        OSRDestroySpatialReference(srs);
    }
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    if (g.has_nodata)
        GDALSetRasterNoDataValue(band, g.nodata);
    if (!g.unit.empty())
        GDALSetRasterUnitType(band, g.unit.c_str());
    std::vector<double> v = g.values;
    EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, g.columns, g.lines, v.data(), g.columns, g.lines, GDT_Float64, 0, 0),
              CE_None);
    GDALClose(ds);
}

Grid read_geotiff(const std::string &path)
{
    Grid g;
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    EXPECT_NE(ds, nullptr) << path;
    if (ds == nullptr)
        return g;
    g.columns = GDALGetRasterXSize(ds);
    g.lines = GDALGetRasterYSize(ds);
    g.has_gt = GDALGetGeoTransform(ds, g.gt) == CE_None;
    g.wkt = GDALGetProjectionRef(ds);
    const char *compression = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
    g.compression = compression ? compression : "";
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    g.type = GDALGetRasterDataType(band);
    int has = 0;
    g.nodata = GDALGetRasterNoDataValue(band, &has);
    g.has_nodata = has != 0;
    g.scale = GDALGetRasterScale(band, nullptr);
    g.unit = GDALGetRasterUnitType(band);
    GDALGetBlockSize(band, &g.block_x, &g.block_y);
    g.overviews = GDALGetOverviewCount(band);
    g.values.resize(static_cast<size_t>(g.lines) * g.columns);
    EXPECT_EQ(GDALRasterIO(band, GF_Read, 0, 0, g.columns, g.lines, g.values.data(), g.columns, g.lines, GDT_Float64,
                           0, 0),
              CE_None);
    GDALClose(ds);
    return g;
}

bool same_srs(const std::string &a, const std::string &b)
{
    OGRSpatialReferenceH sa = OSRNewSpatialReference(a.c_str());
    OGRSpatialReferenceH sb = OSRNewSpatialReference(b.c_str());
    bool same = sa != nullptr && sb != nullptr && OSRIsSame(sa, sb);
    OSRDestroySpatialReference(sa);
    OSRDestroySpatialReference(sb);
    return same;
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return s;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        s.push_back(static_cast<char>(c));
    std::fclose(f);
    return s;
}

bool exists(const std::string &path) { return std::filesystem::exists(path); }

Outcome run_in(const std::string &dir, const std::string &command, const std::string &input)
{
    Outcome r;
    FILE *in = std::fopen((dir + "/.stdin").c_str(), "w");
    std::fputs(input.c_str(), in);
    std::fclose(in);
    std::string line = "cd '" + dir + "' && timeout 60 " + command + " <.stdin >.stdout 2>.stderr";
    int status = std::system(line.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(dir + "/.stdout");
    r.err = read_file(dir + "/.stderr");
    return r;
}

std::vector<long long> read_pair_raster(const std::string &path, int itype, int lines, int columns)
{
    std::vector<long long> v;
    FILE *f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr)
        return v;
    if (itype == DEM_M2) {
        unsigned short **m = usmatrice(columns, lines);
        EXPECT_EQ(read_raster(f, m, lines, columns), RASTER_COMPLETE) << path;
        for (int i = 0; i < lines; i++)
            v.insert(v.end(), m[i], m[i] + columns);
        frusmatrice(m, lines);
    } else {
        int **m = imatrice(columns, lines);
        EXPECT_EQ(read_raster(f, m, lines, columns), RASTER_COMPLETE) << path;
        for (int i = 0; i < lines; i++)
            v.insert(v.end(), m[i], m[i] + columns);
        frimatrice(m, lines);
    }
    std::fclose(f);
    return v;
}

void write_pair(const std::string &base, int pair, int itype, int lines, int columns, const std::vector<long long> &v)
{
    FILE *f = std::fopen((base + raster_suffix(pair, itype)).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (itype == DEM_M2) {
        unsigned short **m = usmatrice(columns, lines);
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < columns; j++)
                m[i][j] = static_cast<unsigned short>(v[static_cast<size_t>(i) * columns + j]);
        write_raster(f, m, lines, columns);
        frusmatrice(m, lines);
    } else {
        int **m = imatrice(columns, lines);
        for (int i = 0; i < lines; i++)
            for (int j = 0; j < columns; j++)
                m[i][j] = static_cast<int>(v[static_cast<size_t>(i) * columns + j]);
        write_raster(f, m, lines, columns);
        frimatrice(m, lines);
    }
    std::fclose(f);
    f = std::fopen((base + descr_suffix(pair, itype)).c_str(), "w");
    write_descriptor_fields(f, lines, columns, bytes_per_value(itype));
    write_descriptor_fields(f, 0, 0, 1);
    std::fclose(f);
}

void BridgeTest::SetUp()
{
    GDALAllRegister();
    char pattern[] = "/tmp/dem_gdal_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
}

void BridgeTest::TearDown() { std::filesystem::remove_all(dir); }

Outcome BridgeTest::dem_gdal(const std::string &args) const { return run_in(dir, std::string(DEM_GDAL) + " " + args); }
