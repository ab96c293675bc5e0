// The histogram's picture: its size, the project's two colours where the
// bars stand, the same bytes for the same table.
#include "histogram_picture.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// cairo's and fontconfig's caches freed once every test of the program has
// drawn, as the programs free them, so that the leak checker sees none.
class PictureFonts : public ::testing::Environment {
public:
    void TearDown() override { release_picture_fonts(); }
};
::testing::Environment *const picture_fonts = ::testing::AddGlobalTestEnvironment(new PictureFonts);

struct PngReader {
    const std::string *png;
    size_t at;
};

cairo_status_t read_bytes(void *closure, unsigned char *data, unsigned int length)
{
    PngReader *r = static_cast<PngReader *>(closure);
    if (r->at + length > r->png->size())
        return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, r->png->data() + r->at, length);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
}

// Pixels of the picture of exactly the colour r, g, b (and their mean
// column, when asked).
long count_colour(const std::string &png, int r, int g, int b, int *width, int *height, double *mean_x = nullptr)
{
    PngReader reader = {&png, 0};
    cairo_surface_t *s = cairo_image_surface_create_from_png_stream(read_bytes, &reader);
    EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
    *width = cairo_image_surface_get_width(s);
    *height = cairo_image_surface_get_height(s);
    const unsigned char *data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    long n = 0;
    double sum_x = 0;
    for (int y = 0; y < *height; y++)
        for (int x = 0; x < *width; x++) {
            const uint32_t p = *reinterpret_cast<const uint32_t *>(data + y * stride + x * 4);
            const bool same = static_cast<int>((p >> 16) & 255) == r && static_cast<int>((p >> 8) & 255) == g &&
                              static_cast<int>(p & 255) == b;
            n += same;
            sum_x += same ? x : 0;
        }
    cairo_surface_destroy(s);
    if (mean_x != nullptr)
        *mean_x = n > 0 ? sum_x / n : -1;
    return n;
}

HistogramTable sample_table()
{
    ChangeHistogram h = make_histogram(0.1);
    for (int k = -20; k <= 30; k++)
        for (int n = 0; n < 50 - (k < 0 ? -k : k); n++) {
            const double d = k / 10.0 + 0.05;
            histogram_count(&h, d, 4.0, 4.0 * d, d < -0.3 || d > 0.3);
        }
    HistogramTable t;
    std::string error;
    EXPECT_TRUE(histogram_table(h, &t, &error));
    return t;
}

TEST(HistogramPicture, BarsInTheTwoColoursAndTheSameBytesEachTime)
{
    HistogramPictureOptions o;
    o.title = "2D difference";
    o.thresholds = {-0.3, 0.3};
    o.threshold_label = "level of detection \u00b10.3 m";
    std::string png, again, error;
    ASSERT_TRUE(histogram_png(sample_table(), o, &png, &error)) << error;
    ASSERT_TRUE(histogram_png(sample_table(), o, &again, &error)) << error;
    EXPECT_EQ(png, again);
    int width = 0, height = 0;
    // Detected lowering (deep red, left of 0), raising (deep blue, right of
    // it) and the paler tones of change below detection each cover a good
    // part of the picture.
    double red_x = 0, blue_x = 0, pale_red_x = 0, pale_blue_x = 0;
    EXPECT_GT(count_colour(png, 178, 24, 43, &width, &height, &red_x), 2000);
    EXPECT_GT(count_colour(png, 33, 102, 172, &width, &height, &blue_x), 2000);
    EXPECT_GT(count_colour(png, 239, 138, 98, &width, &height, &pale_red_x), 2000);
    EXPECT_GT(count_colour(png, 103, 169, 207, &width, &height, &pale_blue_x), 2000);
    EXPECT_LT(red_x, blue_x);
    EXPECT_LT(pale_red_x, pale_blue_x);
    EXPECT_EQ(width, 1000);
    EXPECT_EQ(height, 560);

    // Volumes instead of areas: another picture.
    o.of_volume = true;
    ASSERT_TRUE(histogram_png(sample_table(), o, &again, &error)) << error;
    EXPECT_NE(png, again);
}

TEST(HistogramPicture, NoChangeStillDraws)
{
    std::string png, error;
    ASSERT_TRUE(histogram_png(HistogramTable(), HistogramPictureOptions(), &png, &error)) << error;
    int width = 0, height = 0;
    // Only the legend's swatches (14 × 12 pixels) hold the colours of change.
    EXPECT_LE(count_colour(png, 33, 102, 172, &width, &height), 14 * 12);
    EXPECT_LE(count_colour(png, 178, 24, 43, &width, &height), 14 * 12);
    EXPECT_EQ(width, 1000);
}

} // namespace
