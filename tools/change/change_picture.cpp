#include "change_picture.h"

#include "colour_maps.h"
#include "host.h"

#include <cpl_error.h>
#include <gdal.h>

#include <cmath>
#include <cstdio>
#include <vector>

bool write_change_picture(const std::string &raster, const std::string &png_path, double scale, std::string *error)
{
    GDALDatasetH source = GDALOpen(raster.c_str(), GA_ReadOnly);
    if (source == nullptr) {
        *error = raster + ": cannot be read back for its picture";
        return false;
    }
    GDALRasterBandH band = GDALGetRasterBand(source, 1);
    const int nb_col = GDALGetRasterXSize(source), nb_lig = GDALGetRasterYSize(source);
    const int longest = nb_col > nb_lig ? nb_col : nb_lig;
    const int step = (longest + PICTURE_MAX_SIDE - 1) / PICTURE_MAX_SIDE;
    const int width = (nb_col + step - 1) / step, height = (nb_lig + step - 1) / step;
    const double nodata = GDALGetRasterNoDataValue(band, nullptr);

    // One sampled line at a time: cells step/2, step/2 + step, … of the
    // sampled lines, so that memory stays one line of cells and the picture.
    std::vector<double> line(static_cast<size_t>(nb_col));
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    bool ok = true;
    for (int y = 0; y < height && ok; y++) {
        const int i = y * step + (step - 1) / 2 < nb_lig ? y * step + (step - 1) / 2 : nb_lig - 1;
        ok = GDALRasterIO(band, GF_Read, 0, i, nb_col, 1, line.data(), nb_col, 1, GDT_Float64, 0, 0) == CE_None;
        for (int x = 0; x < width && ok; x++) {
            const int j = x * step + (step - 1) / 2 < nb_col ? x * step + (step - 1) / 2 : nb_col - 1;
            unsigned char *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            const double d = line[static_cast<size_t>(j)];
            if (d == nodata || std::isnan(d)) {
                p[0] = NODATA_RGB[0];
                p[1] = NODATA_RGB[1];
                p[2] = NODATA_RGB[2];
            } else
                change_colour(scale > 0 ? d / scale : 0.0, p);
        }
    }
    GDALClose(source);
    if (!ok) {
        *error = raster + ": cannot be read back for its picture";
        return false;
    }

    // The picture through GDAL's PNG driver, from a dataset over the pixels.
    GDALDatasetH picture = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, 0, GDT_Byte, nullptr);
    for (int c = 0; c < 3; c++) {
        char pointer[64], pixel[64], line_offset[64];
        std::snprintf(pointer, sizeof pointer, "DATAPOINTER=%p", static_cast<void *>(rgb.data() + c));
        std::snprintf(pixel, sizeof pixel, "PIXELOFFSET=3");
        std::snprintf(line_offset, sizeof line_offset, "LINEOFFSET=%lld", static_cast<long long>(width) * 3);
        char *options[] = {pointer, pixel, line_offset, nullptr};
        GDALAddBand(picture, GDT_Byte, options);
    }
    std::string temp;
    FILE *f = create_temp_file(png_path, "wb", &temp);
    if (f == nullptr) {
        GDALClose(picture);
        *error = png_path + ": cannot create a temporary file in its folder";
        return false;
    }
    std::fclose(f);
    CPLErrorReset();
    char *png_options[] = {const_cast<char *>("ZLEVEL=9"), nullptr};
    GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), temp.c_str(), picture, FALSE, png_options, nullptr, nullptr);
    GDALClose(picture);
    ok = png != nullptr;
    if (png != nullptr)
        GDALClose(png);
    ok = ok && CPLGetLastErrorType() != CE_Failure;
    // The PNG driver leaves a sidecar of the georeferencing beside the
    // temporary; the picture needs none.
    std::remove((temp + ".aux.xml").c_str());
    if (!ok || !replace_file(temp, png_path)) {
        std::remove(temp.c_str());
        forget_temp_file(temp);
        *error = png_path + ": cannot write the picture";
        return false;
    }
    forget_temp_file(temp);
    return true;
}
