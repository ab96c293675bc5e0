// The distribution of a difference as a bar chart (PNG, through cairo):
// bars of area (or of volume) per bin, lowering and raising in the project's
// two diverging colours, change below detection in their paler tones
// stacked on the detected part, the thresholds as dashed lines, axes
// labelled with their units.
#ifndef HISTOGRAM_PICTURE_H
#define HISTOGRAM_PICTURE_H

#include "change_histogram.h"

#include <string>
#include <vector>

struct HistogramPictureOptions {
    bool of_volume = false;          // bars of |volume| (m³) instead of area (m²)
    std::string title;               // at the top
    std::vector<double> thresholds;  // m, drawn as dashed lines
    std::string threshold_label;     // their legend ("level of detection ±0.1 m")
    int width = 1000, height = 560;  // pixels
};

// Draws the table as PNG bytes into *png. False, with *error, when cairo
// fails.
bool histogram_png(const HistogramTable &table, const HistogramPictureOptions &options, std::string *png,
                   std::string *error);

#endif
