// DEM file pairs: paths and suffixes, raster round trips and byte order,
// rasters that do not match their frame, descriptor parsing and writing.
#include "LIB/NRUTIL.h"
#include "dem_files.h"
#include "host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A stream holding the given bytes, positioned at the start.
FILE *stream_of(const std::string &bytes)
{
    FILE *f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

std::string contents(FILE *f)
{
    std::fflush(f);
    std::rewind(f);
    std::string s;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        s.push_back(static_cast<char>(c));
    return s;
}

} // namespace

TEST(DemPaths, FolderNameAndSuffixesAreConcatenated)
{
    std::string folder = folder_path("site");
    EXPECT_EQ(folder, std::string(base_directory()) + "site" + path_separator());
    EXPECT_EQ(folder + "a" + raster_suffix(PAIR_INPUT, DEM_M2), std::string(base_directory()) + "site" + path_separator() + "a_m2.raw");
    EXPECT_STREQ(descr_suffix(PAIR_INPUT, DEM_M2), "_m2.txt");
    EXPECT_STREQ(raster_suffix(PAIR_INPUT, DEM_M4), "_m4.raw");
    EXPECT_STREQ(descr_suffix(PAIR_INPUT, DEM_M4), "_m4.txt");
    EXPECT_STREQ(raster_suffix(PAIR_2D, DEM_M4), "_2D_m4.raw");
    EXPECT_STREQ(descr_suffix(PAIR_2D, DEM_M4), "_2D_m4.txt");
    EXPECT_STREQ(raster_suffix(PAIR_3D, DEM_M4), "_3D_m4.raw");
    EXPECT_STREQ(descr_suffix(PAIR_3D, DEM_M4), "_3D_m4.txt");
    EXPECT_STREQ(raster_suffix(PAIR_2D, DEM_M2), "_2D_m2.raw");
    EXPECT_STREQ(descr_suffix(PAIR_3D, DEM_M2), "_3D_m2.txt");
    EXPECT_EQ(bytes_per_value(DEM_M2), 2);
    EXPECT_EQ(bytes_per_value(DEM_M4), 4);
}

TEST(Rasters, M2ValuesAreUnsignedLittleEndian)
{
    FILE *f = stream_of(std::string("\x01\x00\xFF\xFF\x00\x80\x02\x00\x00\x00\x10\x27", 12));
    unsigned short **m = usmatrice(3, 2);
    EXPECT_EQ(read_raster(f, m, 2, 3), RASTER_COMPLETE);
    EXPECT_EQ(m[0][0], 1);
    EXPECT_EQ(m[0][1], 65535);
    EXPECT_EQ(m[0][2], 32768);
    EXPECT_EQ(m[1][0], 2);
    EXPECT_EQ(m[1][1], 0);
    EXPECT_EQ(m[1][2], 10000);
    frusmatrice(m, 2);
    std::fclose(f);
}

TEST(Rasters, M4ValuesAreSignedLittleEndian)
{
    FILE *f = stream_of(std::string("\xFF\xFF\xFF\xFF\x01\x02\x03\x04", 8));
    int **m = imatrice(2, 1);
    EXPECT_EQ(read_raster(f, m, 1, 2), RASTER_COMPLETE);
    EXPECT_EQ(m[0][0], -1);
    EXPECT_EQ(m[0][1], 0x04030201);
    frimatrice(m, 1);
    std::fclose(f);
}

TEST(Rasters, RoundTripOfBothTypesWritesOneValueAfterAnother)
{
    int **m4 = imatrice(3, 2);
    unsigned short **m2 = usmatrice(3, 2);
    const int values[6] = {-5, 0, 7, 2147483647, -2147483647 - 1, 65535};
    for (int k = 0; k < 6; k++) {
        m4[k / 3][k % 3] = values[k];
        m2[k / 3][k % 3] = static_cast<unsigned short>(values[k]);
    }
    FILE *f = std::tmpfile();
    ASSERT_TRUE(write_raster(f, m4, 2, 3));
    std::string bytes = contents(f);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFB\xFF\xFF\xFF", 4));
    int **back4 = imatrice(3, 2);
    std::rewind(f);
    EXPECT_EQ(read_raster(f, back4, 2, 3), RASTER_COMPLETE);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(back4[k / 3][k % 3], values[k]);
    std::fclose(f);

    f = std::tmpfile();
    ASSERT_TRUE(write_raster(f, m2, 2, 3));
    bytes = contents(f);
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFB\xFF", 2)); // -5 wraps to 65531
    unsigned short **back2 = usmatrice(3, 2);
    std::rewind(f);
    EXPECT_EQ(read_raster(f, back2, 2, 3), RASTER_COMPLETE);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(back2[k / 3][k % 3], static_cast<unsigned short>(values[k]));
    std::fclose(f);
    frimatrice(m4, 2);
    frimatrice(back4, 2);
    frusmatrice(m2, 2);
    frusmatrice(back2, 2);
}

TEST(Rasters, ShortAndLongRastersAreToldApart)
{
    // Five values for a frame of six: the last cell keeps its zero.
    FILE *f = stream_of(std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00", 10));
    unsigned short **m = usmatrice(3, 2);
    EXPECT_EQ(read_raster(f, m, 2, 3), RASTER_SHORT);
    EXPECT_EQ(m[1][1], 5);
    EXPECT_EQ(m[1][2], 0);
    std::fclose(f);

    // One byte more than the frame: read as complete values, reported long.
    f = stream_of(std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06\x00\x07", 13));
    EXPECT_EQ(read_raster(f, m, 2, 3), RASTER_LONG);
    EXPECT_EQ(m[1][2], 6);
    std::fclose(f);
    frusmatrice(m, 2);

    // A stream that cannot be read is a failure, not a short raster.
    f = std::fopen("/dev/null", "w");
    ASSERT_NE(f, nullptr);
    int **mi = imatrice(3, 2);
    EXPECT_EQ(read_raster(f, mi, 2, 3), RASTER_FAILED);
    std::fclose(f);
    frimatrice(mi, 2);
}

TEST(Descriptors, SixFieldsSeparatedByAnyWhiteSpace)
{
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    FILE *f = stream_of("344\r\n403\r\n2\r\n236\r\n1076\r\n90\r\n");
    EXPECT_EQ(read_descriptor(f, field), 6);
    EXPECT_EQ(field[0], 344);
    EXPECT_EQ(field[1], 403);
    EXPECT_EQ(field[5], 90);
    std::fclose(f);

    int other[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    f = stream_of("  12 \t 7\n4 -3\n\n  +9 5");
    EXPECT_EQ(read_descriptor(f, other), 6);
    EXPECT_EQ(other[0], 12);
    EXPECT_EQ(other[3], -3);
    EXPECT_EQ(other[4], 9);
    EXPECT_EQ(other[5], 5);
    std::fclose(f);
}

TEST(Descriptors, AUtf8ByteOrderMarkIsSkipped)
{
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    FILE *f = stream_of("\xEF\xBB\xBF" "4\r\n5\r\n2\r\n0\r\n9\r\n3\r\n");
    EXPECT_EQ(read_descriptor(f, field), 6);
    EXPECT_EQ(field[0], 4);
    EXPECT_EQ(field[5], 3);
    std::fclose(f);
    // Only a whole mark at the very start.
    f = stream_of("\xEF\xBB" "4\n5\n");
    EXPECT_EQ(read_descriptor(f, field), 0);
    std::fclose(f);
}

TEST(Descriptors, ReadingStopsAtTheFirstFieldThatIsNotAnInt)
{
    // The first half only: the pixel size keeps its earlier value.
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    FILE *f = stream_of("512\n400\n2\n");
    EXPECT_EQ(read_descriptor(f, field), 3);
    EXPECT_EQ(field[0], 512);
    EXPECT_EQ(field[1], 400);
    EXPECT_EQ(field[2], 2);
    EXPECT_EQ(field[5], 0);
    std::fclose(f);

    int text[DESCR_FIELDS] = {0, 0, 0, 0, 0, 11};
    f = stream_of("10\n20\nfour\n1\n2\n3\n");
    EXPECT_EQ(read_descriptor(f, text), 2);
    EXPECT_EQ(text[5], 11);
    std::fclose(f);

    // A field beyond the int range stops the reading and is not taken.
    int big[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    f = stream_of("10\n2147483648\n2\n");
    EXPECT_EQ(read_descriptor(f, big), 1);
    EXPECT_EQ(big[1], 0);
    std::fclose(f);
    int extremes[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    f = stream_of("2147483647 -2147483648");
    EXPECT_EQ(read_descriptor(f, extremes), 2);
    EXPECT_EQ(extremes[0], 2147483647);
    EXPECT_EQ(extremes[1], -2147483647 - 1);
    std::fclose(f);

    int empty[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    f = stream_of("");
    EXPECT_EQ(read_descriptor(f, empty), 0);
    std::fclose(f);
}

TEST(Descriptors, ResultDescriptorIsWrittenAndReadsBackAsAnInput)
{
    FILE *f = std::tmpfile();
    ASSERT_TRUE(write_descriptor_fields(f, 5, 6, 4));
    ASSERT_TRUE(write_descriptor_fields(f, -3, 12, 90));
    ASSERT_TRUE(write_result_trailer(f, 2, 1234.5));
    EXPECT_EQ(contents(f), "5\n6\n4\n-3\n12\n90\n\n\n positive values\n\n Volume = 1234.500000 m3 ");
    std::rewind(f);
    int field[DESCR_FIELDS] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(read_descriptor(f, field), 6);
    EXPECT_EQ(field[3], -3);
    EXPECT_EQ(field[5], 90);
    std::fclose(f);

    f = std::tmpfile();
    ASSERT_TRUE(write_result_trailer(f, 0, -2.0));
    EXPECT_EQ(contents(f), "\n\n absolute values\n\n Volume = -2.000000 m3 ");
    std::fclose(f);
    f = std::tmpfile();
    ASSERT_TRUE(write_result_trailer(f, 1, 0.0));
    EXPECT_EQ(contents(f), "\n\n negative values\n\n Volume = 0.000000 m3 ");
    std::fclose(f);
    EXPECT_STREQ(treatment_label(-1), "");
}

TEST(Descriptors, RangeScanStartsFromTheGivenValues)
{
    int **m = imatrice(3, 2);
    const int values[6] = {812, 3, 40, 500, 7, 11};
    for (int k = 0; k < 6; k++)
        m[k / 3][k % 3] = values[k];
    int lo, hi;
    scan_range(m, 2, 3, 10000000, 0, &lo, &hi);
    EXPECT_EQ(lo, 3);
    EXPECT_EQ(hi, 812);
    for (int k = 0; k < 6; k++)
        m[k / 3][k % 3] = -values[k];
    scan_range(m, 2, 3, 10000000, 0, &lo, &hi);
    EXPECT_EQ(lo, -812);
    EXPECT_EQ(hi, 0); // all negative: the start value stays
    scan_range(m, 0, 3, 100000, 0, &lo, &hi);
    EXPECT_EQ(lo, 100000);
    EXPECT_EQ(hi, 0);
    frimatrice(m, 2);
}
