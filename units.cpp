#include "units.h"

#include <cmath>

static const HeightUnit UNIT_TABLE[UNITS_OUT] = {
    {0, "m", "meters", 1, 1.0},
    {1, "dm", "decimeters", 10, 0.1},
    {2, "cm", "centimeters", 100, 0.01},
    {3, "mm", "milimeters", 1000, 0.001},
    {4, "0.1mm", "", 10000, 0.0001},
    {5, "0.01mm", "", 100000, 0.00001},
};

const HeightUnit &height_unit(int code)
{
    return UNIT_TABLE[code];
}

const char *unit_name(int code)
{
    return code >= 0 && code < UNITS_OUT ? UNIT_TABLE[code].name : "?";
}

int parse_height_unit(const std::string &word, int max_code)
{
    for (int code = 0; code <= max_code && code < UNITS_OUT; code++)
        if (word == UNIT_TABLE[code].name || word == std::to_string(code))
            return code;
    return -1;
}

std::string height_unit_names(int max_code)
{
    std::string names;
    for (int code = 0; code <= max_code && code < UNITS_OUT; code++)
        names += (code ? ", " : "") + std::string(UNIT_TABLE[code].name);
    return names;
}

int height_unit_of_scale(double scale)
{
    for (int code = 0; code < UNITS_OUT; code++)
        if (std::fabs(scale * static_cast<double>(UNIT_TABLE[code].per_metre) - 1) < 1e-9)
            return code;
    return -1;
}
