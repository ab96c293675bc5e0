#include "colour_maps.h"

#include <cmath>

namespace {

struct Stop {
    double t;
    unsigned char rgb[3];
};

void colour_between(const Stop *stops, int n, double t, unsigned char rgb[3])
{
    if (std::isnan(t))
        t = 0;
    if (t <= stops[0].t)
        t = stops[0].t;
    if (t >= stops[n - 1].t)
        t = stops[n - 1].t;
    int k = 0;
    while (k < n - 2 && t > stops[k + 1].t)
        k++;
    double w = (t - stops[k].t) / (stops[k + 1].t - stops[k].t);
    for (int c = 0; c < 3; c++)
        rgb[c] = static_cast<unsigned char>(std::lround(stops[k].rgb[c] + w * (stops[k + 1].rgb[c] - stops[k].rgb[c])));
}

} // namespace

const unsigned char LOWERING_RGB[3] = {178, 24, 43};
const unsigned char LOWERING_PALE_RGB[3] = {239, 138, 98};
const unsigned char NO_CHANGE_RGB[3] = {247, 247, 247};
const unsigned char RAISING_PALE_RGB[3] = {103, 169, 207};
const unsigned char RAISING_RGB[3] = {33, 102, 172};
const unsigned char NODATA_RGB[3] = {128, 128, 128};

void change_stop(int k, double *t, unsigned char rgb[3])
{
    const unsigned char *tones[CHANGE_STOPS] = {LOWERING_RGB, LOWERING_PALE_RGB, NO_CHANGE_RGB, RAISING_PALE_RGB,
                                                RAISING_RGB};
    *t = -1.0 + 2.0 * k / (CHANGE_STOPS - 1);
    for (int c = 0; c < 3; c++)
        rgb[c] = tones[k][c];
}

void change_colour(double t, unsigned char rgb[3])
{
    Stop stops[CHANGE_STOPS];
    for (int k = 0; k < CHANGE_STOPS; k++)
        change_stop(k, &stops[k].t, stops[k].rgb);
    colour_between(stops, CHANGE_STOPS, t, rgb);
}

void hypsometric_colour(double t, unsigned char rgb[3])
{
    static const Stop stops[] = {{0.0, {44, 123, 58}},
                                 {0.3, {166, 206, 110}},
                                 {0.55, {240, 228, 150}},
                                 {0.8, {176, 124, 74}},
                                 {1.0, {245, 240, 235}}};
    colour_between(stops, 5, t, rgb);
}

double hill_light(const double z[9], double dx, double dy)
{
    const double dzdx = ((z[2] + 2 * z[5] + z[8]) - (z[0] + 2 * z[3] + z[6])) / (8 * dx);
    const double dzdy = ((z[6] + 2 * z[7] + z[8]) - (z[0] + 2 * z[1] + z[2])) / (8 * dy);
    const double light = (0.5 * dzdx + 0.5 * dzdy + std::sqrt(0.5)) / std::sqrt(dzdx * dzdx + dzdy * dzdy + 1);
    return light > 0 ? light : 0;
}
