// The report of a run of dem_change: one self-contained HTML page (styles
// inline, pictures as base64 data URIs, no script, no external file or
// font), written from the run's JSON summary so that the same summary and
// pictures always give the same bytes.
//
// The summary is the document --json writes, with these keys read (any
// may be missing; more are ignored):
//   "program", "version", "date", "command_line" (text);
//   "inputs": {"before": {…}, "after": {…}} with "path", "sha256", "bytes",
//     "kind", "crs", "unit", "unit_assumed", "nodata_cells";
//   "grid": {"columns", "lines", "cell_areas"};
//   "parameters": {name: value};
//   "budgets": [{"difference", rows…}] with the rows "lowering", "raising",
//     "unchanged", "net", "detected_lowering", "detected_raising",
//     "below_detection", each {"cells", "area_m2", "volume_m3",
//     "uncertainty_m3": {"independent", "correlated", "spatial"}};
//   "classes": [{"class", "budgets": […]}] (also summed up by area, a line
//     per class and one for the whole);
//   "coregistration": the alignment's fit as dem_coreg's JSON gives it
//     ("method", "shift_x_m", "shift_y_m", "shift_x_cells", "shift_y_cells",
//     "bias_z_m", "before"/"after" {"median_m", "nmad_m"}, "iterations",
//     "converged", "cells_used", "stable_cells", "warnings", …);
//   "nodata_cells": {name: count};
//   "error_models": [sentence, …].
#ifndef HTML_REPORT_H
#define HTML_REPORT_H

#include <nlohmann/json.hpp>

#include <map>
#include <string>

// The SHA-256 of a file's bytes (lower-case hex) and its size, read in
// blocks. False, with *error naming the file, when it cannot be read.
bool file_sha256(const std::string &path, std::string *hex, long long *bytes, std::string *error);

// Standard base64 of bytes (RFC 4648, with padding, no line breaks).
std::string base64(const std::string &bytes);

// Text with &, <, >, " and ' escaped for HTML.
std::string html_escape(const std::string &text);

// The page. pictures: PNG bytes by name: "2D" and "3D" (the differences),
// "histogram"; those missing are left out. Volumes and mean differences are
// shown to the second significant digit of their row's largest error, each
// error to its own two (the summary keeps the full figures).
std::string report_html(const nlohmann::json &summary, const std::map<std::string, std::string> &pictures);

// A number with its decimals, thousands grouped by thin spaces, a true
// minus sign ("" when it is not finite; no sign on a value shown as 0).
std::string grouped_number(double v, int decimals);

// Writes text to path through a temporary file that replaces path once
// complete. False, with *error, when it cannot.
bool write_text_file(const std::string &path, const std::string &text, std::string *error);

#endif
