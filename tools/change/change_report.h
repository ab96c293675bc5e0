// What dem_change reports: the budget table on standard output, the same
// figures as JSON and CSV files.
#ifndef CHANGE_REPORT_H
#define CHANGE_REPORT_H

#include "change_pass.h"
#include "coreg.h"
#include "dem_input.h"
#include "geo_area.h"

#include <nlohmann/json.hpp>

#include <string>

// Everything the reports show besides the pass's figures.
struct ChangeRun {
    const DemInput *before = nullptr, *after = nullptr;
    std::string before_path, after_path; // as the user named them
    std::string resampled;               // "bilinear" or "cubic" when AFTER was warped, else empty
    std::string out_2D, out_3D;          // output rasters
    std::string type_name;               // "float32" or "float64"
    double nodata = 0;                   // the outputs' nodata value
    bool pictures = false;               // OUT_2D.png and OUT_3D.png were drawn
    std::string out;                     // base of the outputs
    GridAreas areas;
    const Alignment *aligned = nullptr; // AFTER was aligned onto BEFORE first (--coregister)
};

void print_change_table(const ChangeRun &run, const ChangeResult &r);
nlohmann::json change_json(const ChangeRun &run, const ChangeResult &r);
// The CSV text: difference,set,cells,area_m2,volume_m3, full precision.
std::string change_csv(const ChangeResult &r);

#endif
