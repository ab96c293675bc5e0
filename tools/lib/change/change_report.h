// What dem_change reports: the budget table on standard output, the same
// figures as JSON and CSV files.
#ifndef CHANGE_REPORT_H
#define CHANGE_REPORT_H

#include "change_pass.h"
#include "coreg.h"
#include "dem_input.h"
#include "geo_area.h"
#include "stable_error.h"

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
    double picture_limits[2] = {0, 0};   // m at the ends of their colours, 2D and 3D
    std::string out;                     // base of the outputs
    GridAreas areas;
    const Alignment *aligned = nullptr; // AFTER was aligned onto BEFORE first (--coregister)
    // The errors and thresholds, when given.
    bool errors = false;                 // the surveys' errors are known: volumes get their three errors
    CorrelationModel correlation;        // of the errors, for the spatially correlated error (no part: none)
    bool thresholds = false;             // a level of detection or a confidence level: the thresholded rows
    Detection detection;
    const ClassSource *classes = nullptr; // budgets by class
    std::string error_2D, error_3D;      // the error rasters written, else empty
    const StableErrorModel *learned = nullptr; // the errors learned from stable ground (--error-from-stable)
};

void print_change_table(const ChangeRun &run, const ChangeResult &r);
nlohmann::json change_json(const ChangeRun &run, const ChangeResult &r);
// The CSV text: difference,set,cells,area_m2,volume_m3, full precision;
// with errors also independent_m3,correlated_m3 (and spatial_m3 with a
// correlation range); with classes a last column class (empty for the
// whole, "none" for the cells without a class).
std::string change_csv(const ChangeRun &run, const ChangeResult &r);
// The same without errors, thresholds or classes.
std::string change_csv(const ChangeResult &r);

#endif
