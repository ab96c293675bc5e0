// Height units: the one table of their codes, names and factors, used by the
// interactive tool's messages and by every companion program.
//
// Codes as in the tool's dialogue: 0 metres, 1 decimetres, 2 centimetres,
// 3 millimetres (DEMs and results), 4 tenths and 5 hundredths of a
// millimetre (results only).
#ifndef UNITS_H
#define UNITS_H

#include <string>

// Units a DEM's heights can be stored in, and units of the results.
const int UNITS_IN = 4;
const int UNITS_OUT = 6;

struct HeightUnit {
    int code;             // 0 .. UNITS_OUT - 1
    const char *name;     // short name accepted on command lines: "m", "dm", "cm", "mm", "0.1mm", "0.01mm"
    const char *dialogue; // the word the tool's dialogue uses for an input unit ("meters", …), "" for result-only units
    long long per_metre;  // stored values in one metre: 1, 10, …, 100000
    double to_metres;     // metres in one stored value, the double nearest 1, 0.1, …, 0.00001
};

// The unit of a code; code must lie in 0 .. UNITS_OUT - 1.
const HeightUnit &height_unit(int code);

// The short name of a code, "?" outside 0 .. UNITS_OUT - 1.
const char *unit_name(int code);

// A unit named by its short name or by its code ("cm" or "2"), up to
// max_code; -1 when the word is neither.
int parse_height_unit(const std::string &word, int max_code);

// The unit whose metres per stored value is scale (the scale a pair's
// sidecar records), to 1e-9 relative; -1 when no unit has it.
int height_unit_of_scale(double scale);

// "m, dm, cm, mm" (up to max_code): the names, for help texts and messages.
std::string height_unit_names(int max_code);

#endif
