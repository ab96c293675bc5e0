// The picture program, run as a user runs it, its PNG read back with libpng.
//
// Plan:
//   DempictureDifferences  the map sits at (10, 10) in its frame, positive
//                          values red, negative blue, 0 white, and so does
//                          the colour bar; --limit saturates; a window draws
//                          its cells with its own range; wrapped _m2
//                          negatives read with --signed;
//   DempictureHeights      low ground green, high ground pale, shading
//                          brighter on slopes facing the north-west sun;
//   DempictureErrors       rasters that do not match their descriptor and bad
//                          command lines: a message, a non-zero status and
//                          no picture.
#include "tool_test_support.h"

#include "dem_files.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char *at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Reads a PNG file into RGB; fails the test when it is not a valid PNG.
Image read_png(const std::string &path)
{
    Image img;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << path << ": " << image.message;
        return img;
    }
    image.format = PNG_FORMAT_RGB;
    img.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, img.rgb.data(), 0, nullptr)) {
        ADD_FAILURE() << path << ": " << image.message;
        png_image_free(&image);
        return img;
    }
    img.width = static_cast<int>(image.width);
    img.height = static_cast<int>(image.height);
    return img;
}

bool red(const unsigned char *p) { return p[0] > p[1] + 60 && p[0] > p[2] + 60; }
bool blue(const unsigned char *p) { return p[2] > p[0] + 60; }
bool white(const unsigned char *p) { return p[0] >= 240 && p[1] >= 240 && p[2] >= 240; }
bool black(const unsigned char *p) { return p[0] == 0 && p[1] == 0 && p[2] == 0; }
int brightness(const unsigned char *p) { return p[0] + p[1] + p[2]; }

const int MARGIN = 10; // the map's upper-left cell, as the help says

class DempictureTest : public ScratchTest {
protected:
    Outcome picture(const std::vector<std::string> &args) { return run_program(DEMPICTURE, args, dir); }

    // Centre of cell (i, j) of a map drawn with the given zoom.
    const unsigned char *cell(const Image &img, int i, int j, int zoom)
    {
        return img.at(MARGIN + j * zoom + zoom / 2, MARGIN + i * zoom + zoom / 2);
    }

    // The column of the colour bar's middle on line y: the first coloured
    // run right of the map, past its black left edge.
    int bar_middle(const Image &img, int map_width, int y)
    {
        int x = MARGIN + map_width + 1;
        while (x < img.width && !black(img.at(x, y)))
            x++;
        int left = x;
        x++;
        while (x < img.width && !black(img.at(x, y)))
            x++;
        EXPECT_LT(x, img.width) << "no colour bar on line " << y;
        return (left + x) / 2;
    }
};

// A 6 x 8 result: border 0, positive on the left, negative on the right.
Grid two_signs(long long positive, long long negative)
{
    Grid g(6, std::vector<long long>(8, 0));
    for (int i = 1; i < 5; i++)
        for (int j = 1; j < 7; j++)
            g[i][j] = j < 4 ? positive : negative;
    return g;
}

} // namespace

TEST_F(DempictureTest, DifferencesAreRedAboveZeroBlueBelowWhiteAtZero)
{
    write_pair(path("change_2D"), DEM_M4, two_signs(500, -250), 90); // mm
    Outcome r = picture({"change_2D_m4.raw", "change.png", "--unit", "3", "--zoom", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Image img = read_png(path("change.png"));
    ASSERT_GT(img.width, 0);
    EXPECT_NE(r.out.find(std::to_string(img.width) + " x " + std::to_string(img.height) + " pixels"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("colour bar -0.5 m to +0.5 m"), std::string::npos) << r.out;

    // The 24 x 18 map in its black frame at (10, 10), and the bar to its right.
    ASSERT_GT(img.width, MARGIN + 24 + 20);
    ASSERT_GE(img.height, MARGIN + 18 + 1);
    EXPECT_TRUE(black(img.at(MARGIN - 1, MARGIN + 5)));
    EXPECT_TRUE(black(img.at(MARGIN + 24, MARGIN + 5)));
    EXPECT_TRUE(black(img.at(MARGIN + 5, MARGIN + 18)));
    for (int i = 0; i < 6; i++)
        for (int j = 0; j < 8; j++) {
            const unsigned char *p = cell(img, i, j, 3);
            if (i == 0 || i == 5 || j == 0 || j == 7)
                EXPECT_TRUE(white(p)) << i << "," << j;
            else if (j < 4)
                EXPECT_TRUE(red(p)) << i << "," << j;
            else
                EXPECT_TRUE(blue(p)) << i << "," << j;
        }
    // -0.25 m is half way to the bar's end: a pale blue, not the deepest one.
    EXPECT_GT(cell(img, 2, 5, 3)[0], 80);

    // The bar: red at the top, white in the middle, blue at the bottom.
    int x = bar_middle(img, 24, MARGIN + 3);
    EXPECT_TRUE(red(img.at(x, MARGIN + 3)));
    int bottom = MARGIN;
    while (bottom + 1 < img.height && !black(img.at(x, bottom + 1)))
        bottom++;
    EXPECT_TRUE(blue(img.at(x, bottom)));
    EXPECT_TRUE(white(img.at(x, (MARGIN + bottom) / 2)));

    // With a limit of 0.25 m the negative side reaches the deepest blue.
    r = picture({"change_2D_m4.raw", "limited.png", "--unit", "3", "--limit", "0.25"});
    ASSERT_EQ(r.status, 0) << r.err;
    Image limited = read_png(path("limited.png"));
    EXPECT_LT(cell(limited, 2, 5, 1)[0], 60);
    EXPECT_TRUE(red(cell(limited, 2, 2, 1)));
}

TEST_F(DempictureTest, AWindowDrawsItsCellsWithItsOwnRange)
{
    write_pair(path("change_2D"), DEM_M4, two_signs(500, -250), 90);
    // Lines 1 to 4, columns 4 to 6: the negative side alone.
    Outcome r = picture({"change_2D_m4.raw", "window.png", "--unit", "3", "--zoom", "2", "--window", "1,4,4,3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("colour bar -0.25 m to +0.25 m"), std::string::npos) << r.out;
    Image img = read_png(path("window.png"));
    EXPECT_TRUE(black(img.at(MARGIN + 6, MARGIN + 3))); // right edge of a 6 x 8 pixel map
    EXPECT_TRUE(black(img.at(MARGIN + 3, MARGIN + 8))); // its bottom edge
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 3; j++) {
            const unsigned char *p = cell(img, i, j, 2);
            EXPECT_TRUE(blue(p) && p[0] < 60) << i << "," << j << ": not the deepest blue";
        }

    r = picture({"change_2D_m4.raw", "window.png", "--window", "3,0,4,8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the window of 4 x 8 cells from line 3, column 0 goes beyond the 6 x 8 frame"), std::string::npos)
        << r.err;
    r = picture({"change_2D_m4.raw", "window.png", "--window", "1,2,3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--window: '1,2,3' is not L,C,NL,NC"), std::string::npos) << r.err;
}

TEST_F(DempictureTest, WrappedM2NegativesAreReadBackWithSigned)
{
    // -5 written as _m2 by the tool is stored as 65531.
    write_pair(path("neg_2D"), DEM_M2, two_signs(5, 65531), 1);
    Outcome r = picture({"neg_2D_m2.raw", "signed.png", "--signed"});
    ASSERT_EQ(r.status, 0) << r.err;
    Image img = read_png(path("signed.png"));
    EXPECT_TRUE(red(cell(img, 2, 2, 1)));
    EXPECT_TRUE(blue(cell(img, 2, 5, 1)));

    // Unsigned, 65531 is the largest value and 5 is next to nothing.
    r = picture({"neg_2D_m2.raw", "unsigned.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    img = read_png(path("unsigned.png"));
    EXPECT_TRUE(white(cell(img, 2, 2, 1)));
    EXPECT_TRUE(red(cell(img, 2, 5, 1)));
}

TEST_F(DempictureTest, HeightsRunFromGreenToPaleAndShadingLightsTheNorthWest)
{
    // A ridge along the columns: 45-degree slopes on 10 m cells, the west
    // flank facing the north-west sun, the east flank turned away.
    Grid ridge(20, std::vector<long long>(21));
    for (int i = 0; i < 20; i++)
        for (int j = 0; j < 21; j++)
            ridge[i][j] = 200 - 10 * (j < 10 ? 10 - j : j - 10);
    write_pair(path("ridge"), DEM_M2, ridge, 10);

    Outcome r = picture({"ridge_m2.raw", "plain.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("heights"), std::string::npos) << r.out;
    Image plain = read_png(path("plain.png"));
    const unsigned char *low = cell(plain, 10, 0, 1), *high = cell(plain, 10, 10, 1);
    EXPECT_TRUE(low[1] > low[0] && low[1] > low[2]) << "lowest cell not green";
    EXPECT_TRUE(high[0] > 200 && high[1] > 200 && high[2] > 200) << "highest cell not pale";
    // Same height, same colour on both flanks without shading.
    EXPECT_EQ(brightness(cell(plain, 10, 5, 1)), brightness(cell(plain, 10, 15, 1)));

    r = picture({"ridge_m2.raw", "shaded.png", "--shade"});
    ASSERT_EQ(r.status, 0) << r.err;
    Image shaded = read_png(path("shaded.png"));
    EXPECT_GT(brightness(cell(shaded, 10, 5, 1)), brightness(cell(plain, 10, 5, 1)));
    EXPECT_LT(brightness(cell(shaded, 10, 15, 1)), brightness(cell(plain, 10, 15, 1)) - 100);
}

TEST_F(DempictureTest, MismatchedRastersAndBadArgumentsAreRefused)
{
    write_pair(path("dem"), DEM_M2, Grid(4, std::vector<long long>(6, 100)), 5);
    const std::string good = file_bytes(path("dem_m2.raw"));
    struct Case {
        std::string raster, descr;      // contents; descriptor empty: none
        std::vector<std::string> args;  // after the raster and picture names
        int status;
        const char *message;
    };
    const Case cases[] = {
        {good.substr(0, 46), "4\n6\n2\n", {}, 1, "holds 46 bytes, but the frame of "},
        {good + "xx", "4\n6\n2\n", {}, 1, "holds 50 bytes"},
        {good, "4\n6\n4\n100\n100\n5\n", {}, 1, "records 4 bytes per value, but a _m2 raster has 2"},
        {good, "4\n", {}, 1, "gives no frame"},
        {good, "", {}, 1, "cannot open the descriptor"},
        {good, "4\n6\n2\n", {"--signed", "--type", "1"}, 2, "--signed is for _m2 rasters"},
        {good, "4\n6\n2\n", {"--map", "slope"}, 2, "--map: 'slope' is not one of heights, differences"},
        {good, "4\n6\n2\n", {"--map", "differences", "--shade"}, 2, "--shade applies to a map of heights"},
        {good, "4\n6\n2\n", {"--zoom", "0"}, 2, "--zoom: '0' is not a whole number from 1 to 64"},
        {good, "4\n6\n2\n", {"--limit", "-1"}, 2, "--limit: '-1' is not"},
        {good, "4\n6\n2\n", {"--unit"}, 2, "--unit needs a value"},
        {good, "4\n6\n2\n", {"extra"}, 2, "not expected: extra"},
    };
    for (const Case &c : cases) {
        write_text(path("x_m2.raw"), c.raster);
        std::remove(path("x_m2.txt").c_str());
        if (!c.descr.empty())
            write_text(path("x_m2.txt"), c.descr);
        std::vector<std::string> args = {"x_m2.raw", "x.png"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = picture(args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_EQ(r.err.rfind("dempicture: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        std::vector<std::string> left = {"dem_m2.raw", "dem_m2.txt", "x_m2.raw"};
        if (!c.descr.empty())
            left.push_back("x_m2.txt");
        EXPECT_EQ(files(), left) << c.message; // no picture, no temporary
    }

    Outcome r = picture({"dem.raw", "x.png"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot tell the value type of dem.raw"), std::string::npos) << r.err;
    r = picture({"dem_m2.raw"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("OUT.png is required"), std::string::npos) << r.err;
    r = picture({"dem_m2.raw", "nowhere/x.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nowhere/x.png: cannot be written: its folder nowhere/ does not exist"), std::string::npos) << r.err;
}
