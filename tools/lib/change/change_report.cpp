#include "change_report.h"

#include "cli_support.h"
#include "tool_support.h"

#include <cmath>
#include <numeric>
#include <cstdio>
#include <cstring>

namespace {

// A row of a budget as every format prints it.
struct Row {
    const char *name;  // JSON and CSV name
    const char *label; // table label
    const BudgetTally *tally;
};

// The rows of the budget of AFTER − BEFORE: lowering is d < 0; with
// thresholds, the detected parts and the rest beside the raw rows.
int rows_of(const BudgetRows &b, bool thresholds, Row rows[7])
{
    rows[0] = {"lowering", "lowering (d < 0)", &b.negative};
    rows[1] = {"raising", "raising (d > 0)", &b.positive};
    rows[2] = {"unchanged", "unchanged (d = 0)", &b.zero};
    rows[3] = {"net", "net", &b.all};
    if (!thresholds)
        return 4;
    rows[4] = {"detected_lowering", "detected lowering", &b.lod_negative};
    rows[5] = {"detected_raising", "detected raising", &b.lod_positive};
    rows[6] = {"below_detection", "below detection", &b.lod_below};
    return 7;
}

VolumeErrors row_errors(const ChangeRun &run, const BudgetRows &b, const BudgetTally &t)
{
    return volume_errors(t.errors, budget_area(b, t), run.correlation);
}

// A class as the reports name it: its value, "none" for the cells without one.
std::string class_name(const ChangeRun &run, int c)
{
    const nlohmann::json &label = run.classes->labels[static_cast<size_t>(c)];
    return label.is_null() ? "none" : label.is_string() ? label.get<std::string>() : label.dump();
}

std::string input_line(const DemInput &in, const std::string &path)
{
    const HeightFacts &h = in.heights;
    std::string unit = h.unit_as_read.empty() ? std::string("none") : "'" + h.unit_as_read + "'";
    return path + " (" + in.kind + ", heights: unit " + unit + (h.unit_assumed ? ", assumed metres" : "") + ", x " +
           exact_number(static_cast<double>(h.z_scale)) + " m)";
}

nlohmann::json tally_json(const BudgetRows &b, const BudgetTally &t)
{
    const double area = budget_area(b, t), volume = budget_volume(t);
    return {{"cells", t.cells},
            {"area_m2", area},
            {"volume_m3", volume},
            {"mean_m", area > 0 ? nlohmann::json(volume / area) : nlohmann::json(nullptr)}};
}

nlohmann::json tally_json(const ChangeRun &run, const BudgetRows &b, const BudgetTally &t)
{
    nlohmann::json j = tally_json(b, t);
    if (run.errors) {
        const VolumeErrors e = row_errors(run, b, t);
        j["uncertainty_m3"] = {{"independent", e.independent}, {"correlated", e.correlated}};
        if (e.has_spatial)
            j["uncertainty_m3"]["spatial"] = e.spatial;
    }
    return j;
}

// The budgets of the 2D and 3D differences.
nlohmann::json budgets_json(const ChangeRun &run, const BudgetRows &b2, const BudgetRows &b3)
{
    nlohmann::json budgets = nlohmann::json::array();
    const BudgetRows *list[2] = {&b2, &b3};
    const char *names[2] = {"2D", "3D"};
    for (int k = 0; k < 2; k++) {
        nlohmann::json b = {{"difference", names[k]}};
        Row rows[7];
        const int n = rows_of(*list[k], run.thresholds, rows);
        for (int m = 0; m < n; m++)
            b[rows[m].name] = tally_json(run, *list[k], *rows[m].tally);
        budgets.push_back(b);
    }
    return budgets;
}

// A line of the table: cells, area, volume, with errors the volume's
// errors, and the mean difference (volume over area). With errors, the
// volume and the mean are shown to the second significant digit of the
// row's largest error and each error to its own two digits (the JSON and
// CSV keep the full figures); without, the volume in full.
void print_row(const ChangeRun &run, const BudgetRows &b, const char *label, const BudgetTally &t)
{
    const double area = budget_area(b, t), volume = budget_volume(t);
    std::printf("  %-22s%14lld %22.6f", label, t.cells, area);
    double largest = 0;
    if (run.errors) {
        const VolumeErrors e = row_errors(run, b, t);
        largest = std::fmax(std::fmax(e.independent, e.correlated), e.has_spatial ? e.spatial : 0);
        std::printf(" %22s", rounded_text(volume, decimals_of_error(largest, 3)).c_str());
        std::printf(" %16s %16s", rounded_text(e.independent, decimals_of_error(e.independent, 3)).c_str(),
                    rounded_text(e.correlated, decimals_of_error(e.correlated, 3)).c_str());
        if (e.has_spatial)
            std::printf(" %17s", rounded_text(e.spatial, decimals_of_error(e.spatial, 3)).c_str());
    } else
        std::printf(" %22.6f", volume);
    if (area > 0)
        std::printf(" %14s", rounded_text(volume / area, decimals_of_error(largest / area, 6)).c_str());
    std::printf("\n");
}

// The table of the budgets of both differences.
void print_budgets(const ChangeRun &run, const BudgetRows &b2, const BudgetRows &b3)
{
    std::printf("%-24s%14s %22s %22s", "", "cells", "area (m2)", "volume (m3)");
    if (run.errors)
        std::printf(" %16s %16s%s", "+/- indep. (m3)", "+/- corr. (m3)", run.correlation.parts > 0 ? "  +/- spatial (m3)" : "");
    std::printf(" %14s\n", "mean d (m)");
    const BudgetRows *budgets[2] = {&b2, &b3};
    const char *names[2] = {"2D difference", "3D difference"};
    for (int k = 0; k < 2; k++) {
        std::printf("%s\n", names[k]);
        Row rows[7];
        const int n = rows_of(*budgets[k], run.thresholds, rows);
        for (int m = 0; m < n; m++)
            print_row(run, *budgets[k], rows[m].label, *rows[m].tally);
    }
}

// One CSV line per row of both budgets, the class columns (when any, given
// with their commas) last.
void csv_budgets(const ChangeRun &run, const BudgetRows &b2, const BudgetRows &b3, const std::string &class_columns,
                 std::string *text)
{
    const BudgetRows *list[2] = {&b2, &b3};
    const char *names[2] = {"2D", "3D"};
    char line[512];
    for (int k = 0; k < 2; k++) {
        Row rows[7];
        const int n = rows_of(*list[k], run.thresholds, rows);
        for (int m = 0; m < n; m++) {
            std::snprintf(line, sizeof line, "%s,%s,%lld,%.17g,%.17g", names[k], rows[m].name, rows[m].tally->cells,
                          budget_area(*list[k], *rows[m].tally), budget_volume(*rows[m].tally));
            *text += line;
            if (run.errors) {
                const VolumeErrors e = row_errors(run, *list[k], *rows[m].tally);
                std::snprintf(line, sizeof line, ",%.17g,%.17g", e.independent, e.correlated);
                *text += line;
                if (e.has_spatial) {
                    std::snprintf(line, sizeof line, ",%.17g", e.spatial);
                    *text += line;
                }
            }
            if (run.classes != nullptr)
                *text += class_columns;
            *text += "\n";
        }
    }
}

nlohmann::json input_json(const DemInput &in, const std::string &path)
{
    const HeightFacts &h = in.heights;
    nlohmann::json j = {{"path", path},
                        {"kind", in.kind},
                        {"unit", h.unit_as_read},
                        {"unit_assumed", h.unit_assumed},
                        {"metres_per_unit", static_cast<double>(h.z_scale)}};
    if (h.has_nodata)
        j["nodata"] = h.nodata;
    return j;
}

// The table's head: the sign, the inputs, the alignment, the grid and the
// outputs.
void print_table_head(const ChangeRun &run)
{
    std::printf("DEM of difference: d = AFTER - BEFORE, in metres\n"
                "  positive: the surface rose (deposition, fill); negative: it was lowered (erosion, cut)\n");
    std::printf("  BEFORE: %s\n", input_line(*run.before, run.before_path).c_str());
    std::printf("  AFTER : %s\n", input_line(*run.after, run.after_path).c_str());
    if (!run.resampled.empty())
        std::printf("  AFTER was resampled onto BEFORE's grid by GDAL's warper (%s)\n", run.resampled.c_str());
    if (run.aligned != nullptr) {
        const CoregResult &a = run.aligned->result;
        std::printf("  AFTER was aligned onto BEFORE first (Nuth and Kaab 2011, %s): shift of AFTER x %+.3f m, "
                    "y %+.3f m (%+.3f, %+.3f cells), bias %+.4f m\n",
                    run.aligned->resampling == RESAMPLE_CUBIC ? "cubic" : "bilinear", a.shift_x_m, a.shift_y_m,
                    a.shift_x_cells, a.shift_y_cells, a.bias_z_m);
        std::printf("          %d fits, %lld cells used; dh on stable ground: median %+.4f m, NMAD %.4f m before, "
                    "median %+.4f m, NMAD %.4f m after\n",
                    a.iterations, a.cells_used, a.before.median_m, a.before.nmad_m, a.after.median_m, a.after.nmad_m);
        for (const std::string &w : run.aligned->warnings)
            std::printf("          note: %s\n", w.c_str());
    }
    std::printf("  grid  : %d lines x %d columns; %s\n", run.before->grid.nb_lig, run.before->grid.nb_col,
                run.areas.how.c_str());
    std::printf("  wrote : %s, %s (%s metres, nodata %s)\n", run.out_2D.c_str(), run.out_3D.c_str(),
                run.type_name.c_str(), exact_number(run.nodata).c_str());
    if (run.pictures)
        std::printf("  pictures: %s_2D.png (colours to +/- %s m), %s_3D.png (+/- %s m), lowering red, raising blue, "
                    "no difference grey; world files .pgw\n",
                    run.out.c_str(), exact_number(run.picture_limits[0]).c_str(), run.out.c_str(),
                    exact_number(run.picture_limits[1]).c_str());
}

// The error model learned from stable ground: its cells, its bins of slope
// and curvature, its variogram and its notes.
void print_learned_model(const StableErrorModel &m)
{
    std::printf("\nError model, learned from stable ground (d = AFTER - BEFORE there)\n");
    std::printf("  stable cells used: %lld of %lld sampled (one cell in %d x %d), %lld whose dh / sigma_dh lies\n"
                "  beyond %g NMAD of its median left out; dh over all: median %.6f m, NMAD %.6f m\n",
                m.stable_cells, m.sampled_cells, m.sample_step, m.sample_step, m.outliers, STABLE_OUTLIER_NMAD,
                m.median_m, m.nmad_m);
    std::printf("  %-22s %12s %14s %18s\n", "slope (deg)", "cells", "NMAD (m)", "median slope (deg)");
    for (const SlopeBin &b : m.slope_bins) {
        char range[40];
        std::snprintf(range, sizeof range, "%g - %g", b.slope_min_deg, b.slope_max_deg);
        std::printf("  %-22s %12lld %14.6f %18.3f\n", range, b.cells, b.nmad_m, b.median_slope_deg);
    }
    if (!m.curvature_bins.empty()) {
        std::printf("  %-22s %12s %14s %18s\n", "max. curvature (1/m)", "cells", "factor", "median (1/m)");
        for (const CurvatureBin &b : m.curvature_bins) {
            char range[48];
            std::snprintf(range, sizeof range, "%.4g - %.4g", b.curvature_min, b.curvature_max);
            std::printf("  %-22s %12lld %14.6f %18.6g\n", range, b.cells, b.factor, b.median_curvature);
        }
    }
    const Variogram &v = m.variogram;
    if (v.fitted) {
        std::printf("  spatial correlation of dh / sigma_dh (variogram of %lld pairs in %zu lags from %g m):\n",
                    std::accumulate(v.pairs.begin(), v.pairs.end(), 0LL), v.lags_m.size(), v.lags_m.front());
        std::printf("    nugget %.6f; spherical parts: sill %.6f range %.3f m, sill %.6f range %.3f m\n",
                    v.model.nugget, v.model.sill[0], v.model.range[0], v.model.sill[1], v.model.range[1]);
    }
    for (const std::string &w : m.warnings)
        std::printf("  note: %s\n", w.c_str());
    std::printf("  %s\n", LEARNED_ERROR_ASSUMPTION);
}

} // namespace

void print_change_table(const ChangeRun &run, const ChangeResult &r)
{
    const ChangeCounts &c = r.counts;
    print_table_head(run);
    std::printf("\nBudget over the %lld cells with a 3D difference (every cell of the 3 x 3 window has data in both)\n",
                r.budget_3D.all.cells);
    print_budgets(run, r.budget_2D, r.budget_3D);
    std::printf("2D net over every cell with a 2D difference\n");
    print_row(run, r.all_2D, "net (all 2D cells)", r.all_2D.all);
    std::printf("\nCells left out of %lld: nodata in BEFORE %lld, nodata in AFTER %lld\n", c.cells, c.nodata_before,
                c.nodata_after);
    std::printf("  without a 2D difference: %lld (nodata in either)\n", c.no_2D);
    std::printf("  without a 3D difference: %lld (nodata at the cell %lld, frame border %lld, window incomplete %lld)\n",
                c.no_3D, c.no_3D_cell, c.no_3D_border, c.no_3D_window);
    if (run.errors && c.no_sigma > 0)
        std::printf("  of which without an error in the error rasters: %lld\n", c.no_sigma);
    if (run.thresholds) {
        std::printf("\nDetected change: ");
        if (run.detection.lod > 0)
            std::printf("|d| >= %g m%s", run.detection.lod, run.detection.confidence ? " and " : "");
        if (run.detection.confidence)
            std::printf("|d| / sigma_d >= %.6f (two-sided normal quantile of %g)", run.detection.z, run.detection.p);
        std::printf("; the raw net is the one to use, a net of the detected parts alone is biased\n");
    }
    if (run.learned != nullptr)
        print_learned_model(*run.learned);
    if (run.errors)
        std::printf("\nErrors of the volumes, one standard deviation:\n  %s\n  %s\n  %s\n  %s\n", INDEPENDENT_ASSUMPTION,
                    CORRELATED_ASSUMPTION, SPATIAL_ASSUMPTION, THREE_D_ASSUMPTION);
    if (run.classes != nullptr)
        for (int c : class_order(*run.classes)) {
            std::printf("\nClass %s\n", class_name(run, c).c_str());
            print_budgets(run, r.class_2D[static_cast<size_t>(c)], r.class_3D[static_cast<size_t>(c)]);
        }
}

nlohmann::json change_json(const ChangeRun &run, const ChangeResult &r)
{
    const ChangeCounts &c = r.counts;
    const nlohmann::json budgets = budgets_json(run, r.budget_2D, r.budget_3D);
    const GridFacts &g = run.before->grid;
    nlohmann::json doc = {
        {"difference", "AFTER - BEFORE, metres: positive where the surface rose, negative where it was lowered"},
        {"inputs", {{"before", input_json(*run.before, run.before_path)}, {"after", input_json(*run.after, run.after_path)}}},
        {"grid", {{"lines", g.nb_lig}, {"columns", g.nb_col}, {"geographic", run.areas.per_line}, {"cell_areas", run.areas.how}}},
        {"outputs", {{"2D", run.out_2D}, {"3D", run.out_3D}, {"type", run.type_name}, {"nodata", run.nodata}}},
        {"budgets", budgets},
        {"net_2D_all_cells", tally_json(r.all_2D, r.all_2D.all)},
        {"nodata_cells", {{"before", c.nodata_before}, {"after", c.nodata_after}, {"2D", c.no_2D}, {"3D", c.no_3D}}},
        {"cells_without_3D",
         {{"nodata_at_cell", c.no_3D_cell}, {"frame_border", c.no_3D_border}, {"window_incomplete", c.no_3D_window}}},
        {"cells", c.cells}};
    doc["resampled"] = run.resampled.empty() ? nlohmann::json(nullptr) : nlohmann::json(run.resampled);
    if (run.aligned != nullptr) {
        nlohmann::json coreg = coreg_json(run.aligned->result, run.aligned->resampling);
        coreg["warnings"] = run.aligned->warnings;
        doc["coregistration"] = coreg;
    }
    if (run.errors) {
        doc["nodata_cells"]["no_error"] = c.no_sigma;
        doc["net_2D_all_cells"] = tally_json(run, r.all_2D, r.all_2D.all);
        doc["error_models"] = {INDEPENDENT_ASSUMPTION, CORRELATED_ASSUMPTION, SPATIAL_ASSUMPTION, THREE_D_ASSUMPTION};
        if (run.learned != nullptr) {
            const StableErrorModel &m = *run.learned;
            doc["error_models"].push_back(LEARNED_ERROR_ASSUMPTION);
            nlohmann::json bins = nlohmann::json::array();
            for (const SlopeBin &b : m.slope_bins)
                bins.push_back({{"slope_min_deg", b.slope_min_deg},
                                {"slope_max_deg", b.slope_max_deg},
                                {"cells", b.cells},
                                {"nmad_m", b.nmad_m},
                                {"median_slope_deg", b.median_slope_deg}});
            const Variogram &v = m.variogram;
            nlohmann::json variogram = {{"lags_m", v.lags_m}, {"gamma", v.gamma}, {"pairs", v.pairs},
                                        {"spacing_m", v.spacing_m}, {"fitted", v.fitted}};
            if (v.fitted) {
                variogram["nugget"] = v.model.nugget;
                variogram["components"] = nlohmann::json::array();
                for (int k = 0; k < v.model.parts; k++)
                    variogram["components"].push_back({{"sill", v.model.sill[k]}, {"range_m", v.model.range[k]}});
            }
            nlohmann::json curvature = nlohmann::json::array();
            for (const CurvatureBin &c : m.curvature_bins)
                curvature.push_back({{"curvature_min_per_m", c.curvature_min},
                                     {"curvature_max_per_m", c.curvature_max},
                                     {"cells", c.cells},
                                     {"factor", c.factor},
                                     {"median_curvature_per_m", c.median_curvature}});
            doc["error_model"] = {{"stable_cells", m.stable_cells},
                                  {"curvature_bins", curvature},
                                  {"variogram", variogram},
                                  {"sampled_cells", m.sampled_cells},
                                  {"sample_step", m.sample_step},
                                  {"outliers", m.outliers},
                                  {"median_m", m.median_m},
                                  {"nmad_m", m.nmad_m},
                                  {"slope_bins", bins},
                                  {"warnings", m.warnings}};
        }
        if (!run.error_2D.empty())
            doc["outputs"]["error_2D"] = run.error_2D, doc["outputs"]["error_3D"] = run.error_3D;
    }
    if (run.thresholds) {
        doc["detection"] = {{"lod_m", run.detection.lod}};
        if (run.detection.confidence)
            doc["detection"]["confidence"] = run.detection.p, doc["detection"]["z"] = run.detection.z;
    }
    if (run.classes != nullptr) {
        nlohmann::json classes = nlohmann::json::array();
        for (int k : class_order(*run.classes))
            classes.push_back({{"class", run.classes->labels[static_cast<size_t>(k)]},
                               {"budgets", budgets_json(run, r.class_2D[static_cast<size_t>(k)],
                                                        r.class_3D[static_cast<size_t>(k)])}});
        doc["classes"] = classes;
    }
    return doc;
}

std::string change_csv(const ChangeRun &run, const ChangeResult &r)
{
    std::string text = "difference,set,cells,area_m2,volume_m3";
    if (run.errors)
        text += run.correlation.parts > 0 ? ",independent_m3,correlated_m3,spatial_m3" : ",independent_m3,correlated_m3";
    // With classes, the class of each row and its scope ("all" for the
    // whole budget, "class", or "unclassed" for the cells outside every
    // class), so that no class name can pass for the total or the unclassed.
    if (run.classes != nullptr)
        text += ",class,scope";
    text += "\n";
    csv_budgets(run, r.budget_2D, r.budget_3D, ",,all", &text);
    char line[256];
    std::snprintf(line, sizeof line, "2D_all_cells,net,%lld,%.17g,%.17g", r.all_2D.all.cells,
                  budget_area(r.all_2D, r.all_2D.all), budget_volume(r.all_2D.all));
    text += line;
    if (run.errors) {
        const VolumeErrors e = row_errors(run, r.all_2D, r.all_2D.all);
        std::snprintf(line, sizeof line, ",%.17g,%.17g", e.independent, e.correlated);
        text += line;
        if (e.has_spatial) {
            std::snprintf(line, sizeof line, ",%.17g", e.spatial);
            text += line;
        }
    }
    text += run.classes != nullptr ? ",,all\n" : "\n";
    if (run.classes != nullptr)
        for (int k : class_order(*run.classes)) {
            // A class named by a text is quoted, its quotes doubled, its
            // bytes made valid UTF-8; one that a spreadsheet would take for
            // a formula (=, +, -, @, a tab or a carriage return first) gets
            // a leading apostrophe, as spreadsheets expect.
            std::string name = valid_utf8(class_name(run, k)), quoted = "\"";
            if (run.classes->labels[static_cast<size_t>(k)].is_string() && !name.empty() &&
                std::strchr("=+-@\t\r", name[0]) != nullptr)
                quoted += "'";
            for (char ch : name)
                quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
            const nlohmann::json &label = run.classes->labels[static_cast<size_t>(k)];
            csv_budgets(run, r.class_2D[static_cast<size_t>(k)], r.class_3D[static_cast<size_t>(k)],
                        "," + (label.is_string() ? quoted + "\"" : name) + (label.is_null() ? ",unclassed" : ",class"),
                        &text);
        }
    return text;
}

std::string change_csv(const ChangeResult &r)
{
    return change_csv(ChangeRun(), r);
}
