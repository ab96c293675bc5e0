// The distribution of a difference as a bar chart (PNG, through cairo):
// bars of area (or of volume) per bin, lowering red and raising blue (the
// project's change colours), change below detection in their paler tones
// stacked on the detected part, the thresholds as dashed lines, axes
// labelled with their units. Unchanged cells (d = 0) are not drawn; their
// area is written in a corner.
#ifndef HISTOGRAM_PICTURE_H
#define HISTOGRAM_PICTURE_H

#include "change_histogram.h"

#include <string>
#include <vector>

struct HistogramPictureOptions {
    bool of_volume = false;          // bars of |volume| (m³) instead of area (m²)
    int log_scale = -1;              // 1 logarithmic, 0 linear, -1 logarithmic when one bar holds more than half
    std::string title;               // at the top
    std::vector<double> thresholds;  // m, drawn as dashed lines
    std::string threshold_label;     // their legend ("level of detection ±0.1 m")
    int width = 1000, height = 560;  // pixels
};

// Draws the table as PNG bytes into *png. False, with *error, when cairo
// fails.
bool histogram_png(const HistogramTable &table, const HistogramPictureOptions &options, std::string *png,
                   std::string *error);

// Frees the fonts' caches of cairo and fontconfig, at the end of a run
// that drew (they would otherwise be reported as leaks).
void release_picture_fonts();

#endif
