// The allocation library: zero fill, separate rows, zero and negative counts.
#include "LIB/NRUTIL.h"

#include <gtest/gtest.h>

TEST(Nrutil, MatricesAreZeroFilledWithSeparateRows)
{
    double **d = dmatrice(3, 2);
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            EXPECT_EQ(d[i][j], 0.0);
    d[0][2] = 1.5; // writing the end of a row must not touch the next row
    EXPECT_EQ(d[1][0], 0.0);
    EXPECT_NE(d[0], d[1]);
    frdmatrice(d, 2);

    int **m = imatrice(1000, 50);
    ASSERT_NE(m, nullptr);
    long long sum = 0;
    for (int i = 0; i < 50; i++)
        for (int j = 0; j < 1000; j++)
            sum += m[i][j];
    EXPECT_EQ(sum, 0);
    frimatrice(m, 50);
}

TEST(Nrutil, EveryElementTypeAllocatesAndReleases)
{
    float **f = fmatrice(4, 3);
    unsigned char **uc = ucmatrice(4, 3);
    unsigned short **us = usmatrice(4, 3);
    short **s = smatrice(4, 3);
    long double **ld = ldmatrice(4, 3);
    ASSERT_TRUE(f && uc && us && s && ld);
    EXPECT_EQ(f[2][3], 0.0f);
    EXPECT_EQ(uc[2][3], 0);
    EXPECT_EQ(us[2][3], 0);
    EXPECT_EQ(s[2][3], 0);
    EXPECT_EQ(ld[2][3], 0.0L);
    frfmatrice(f, 3);
    frucmatrice(uc, 3);
    frusmatrice(us, 3);
    frsmatrice(s, 3);
    frldmatrice(ld, 3);

    unsigned char *ucv = ucvecteur(5);
    unsigned short *usv = usvecteur(5);
    short *sv = svecteur(5);
    int *iv = ivecteur(5);
    double *dv = dvecteur(5);
    float *fv = fvecteur(5);
    ASSERT_TRUE(ucv && usv && sv && iv && dv && fv);
    EXPECT_EQ(ucv[4] + usv[4] + sv[4] + iv[4], 0);
    EXPECT_EQ(dv[4] + fv[4], 0.0);
    frucvecteur(ucv);
    frusvecteur(usv);
    frsvecteur(sv);
    frivecteur(iv);
    frdvecteur(dv);
    frfvecteur(fv);
}

TEST(Nrutil, ZeroCountsGiveValidEmptyMatrices)
{
    int **no_lines = imatrice(10, 0);
    EXPECT_NE(no_lines, nullptr);
    frimatrice(no_lines, 0);

    int **no_columns = imatrice(0, 4);
    ASSERT_NE(no_columns, nullptr);
    for (int i = 0; i < 4; i++)
        EXPECT_NE(no_columns[i], nullptr);
    frimatrice(no_columns, 4);

    int *empty = ivecteur(0);
    EXPECT_NE(empty, nullptr);
    frivecteur(empty);
}

TEST(Nrutil, NegativeCountsGiveNull)
{
    EXPECT_EQ(imatrice(-1, 3), nullptr);
    EXPECT_EQ(imatrice(3, -1), nullptr);
    EXPECT_EQ(dvecteur(-5), nullptr);
    frimatrice(nullptr, 3); // releasing a failed allocation is harmless
}
