#include "html_report.h"

#include "tool_support.h"

#include <openssl/evp.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Rows of a budget as the report lists them: the raw rows, then those of
// the thresholds.
struct RowName {
    const char *key, *label;
};
const RowName RAW_ROWS[] = {{"lowering", "lowering (d &lt; 0)"},
                            {"raising", "raising (d &gt; 0)"},
                            {"unchanged", "unchanged (d = 0)"},
                            {"net", "net"}};
const RowName DETECTED_ROWS[] = {{"detected_lowering", "detected lowering"},
                                 {"detected_raising", "detected raising"},
                                 {"below_detection", "below detection"}};

const char *const STYLE = R"(
body{font-family:"DejaVu Sans","Liberation Sans",Arial,sans-serif;color:#222;margin:0;background:#fff;font-size:15px;line-height:1.45}
main{max-width:1120px;margin:0 auto;padding:28px 32px 40px}
h1{font-size:26px;margin:0 0 4px}
h2{font-size:19px;margin:30px 0 10px;padding-bottom:4px;border-bottom:2px solid #2166ac}
h3{font-size:16px;margin:18px 0 8px}
.meta{color:#555;margin:0 0 8px}
table{border-collapse:collapse;margin:6px 0 12px;font-size:14px}
th,td{padding:5px 10px;border-bottom:1px solid #ddd;text-align:left;vertical-align:top}
th{background:#f2f4f7;font-weight:600}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
tr.group td{background:#fafafa;font-weight:600;color:#444}
tr.net td{border-top:2px solid #999}
code,pre,.hash{font-family:"DejaVu Sans Mono","Liberation Mono",monospace;font-size:12.5px}
.hash{font-size:11.5px;display:inline-block;max-width:17em;word-break:break-all}
pre{background:#f6f8fa;padding:10px 12px;white-space:pre-wrap;word-break:break-all;border:1px solid #e1e4e8}
.pictures{display:flex;gap:18px;flex-wrap:wrap}
figure{margin:0 0 12px}
figure img{max-width:100%;border:1px solid #ccc}
.diff img{width:540px;max-width:100%}
.histogram img{width:1000px}
figcaption{color:#555;font-size:13px;margin-top:4px}
.note{color:#555;font-size:13.5px}
ul.models li{margin-bottom:6px}
)";

std::string text_of(const nlohmann::json &j)
{
    if (j.is_string())
        return j.get<std::string>();
    if (j.is_null())
        return "";
    return j.dump();
}

std::string number_cell(const nlohmann::json &j, int decimals)
{
    return "<td class=\"n\">" + (j.is_number() ? grouped_number(j.get<double>(), decimals) : std::string()) + "</td>";
}

std::string cell(const std::string &html)
{
    return "<td>" + html + "</td>";
}

const char *const MODELS[3] = {"independent", "correlated", "spatial"};

// A figure rounded to `decimals` (negative: to a power of ten), grouped.
std::string rounded_number(double v, int decimals)
{
    if (decimals >= 0)
        return grouped_number(v, decimals);
    const double unit = std::pow(10.0, -decimals);
    return grouped_number(std::round(v / unit) * unit, 0);
}

std::string rounded_cell(const nlohmann::json &j, int decimals)
{
    return "<td class=\"n\">" + (j.is_number() ? rounded_number(j.get<double>(), decimals) : std::string()) + "</td>";
}

// The largest error of a row (m³) over the models it gives, 0 without any.
double largest_error(const nlohmann::json &row)
{
    double largest = 0;
    const nlohmann::json u = row.value("uncertainty_m3", nlohmann::json::object());
    for (const char *m : MODELS)
        if (u.contains(m) && u[m].is_number())
            largest = std::fmax(largest, u[m].get<double>());
    return largest;
}

// The mean difference of a row (m): its volume over its area; null
// without area.
nlohmann::json mean_of(const nlohmann::json &row)
{
    const double area = row.value("area_m2", 0.0);
    if (!(area > 0) || !row.contains("volume_m3") || !row["volume_m3"].is_number())
        return nullptr;
    return row["volume_m3"].get<double>() / area;
}

bool has_uncertainty(const nlohmann::json &budgets, const char *model)
{
    for (const auto &b : budgets)
        for (const auto &row : b.items())
            if (row.value().is_object() && row.value().contains("uncertainty_m3") &&
                row.value()["uncertainty_m3"].contains(model))
                return true;
    return false;
}

// A row's volume and mean difference, each rounded to the second
// significant digit of the row's largest error, and their errors, each to
// its own second significant digit (the full figures are in the JSON and
// CSV); without errors, volumes with two decimals and means to the
// millimetre.
std::string figure_cells(const nlohmann::json &row, const bool shown[3])
{
    const double largest = largest_error(row), area = row.value("area_m2", 0.0);
    const int volume_decimals = decimals_of_error(largest, 2);
    const int mean_decimals = decimals_of_error(area > 0 ? largest / area : 0, 3);
    const nlohmann::json u = row.value("uncertainty_m3", nlohmann::json::object());
    std::string html = rounded_cell(row.value("volume_m3", nlohmann::json()), volume_decimals);
    for (int m = 0; m < 3; m++)
        if (shown[m]) {
            const nlohmann::json e = u.value(MODELS[m], nlohmann::json());
            html += rounded_cell(e, decimals_of_error(e.is_number() ? e.get<double>() : 0, volume_decimals));
        }
    html += rounded_cell(mean_of(row), mean_decimals);
    for (int m = 0; m < 3; m++)
        if (shown[m]) {
            const nlohmann::json e = u.value(MODELS[m], nlohmann::json());
            const double mean_error = e.is_number() && area > 0 ? e.get<double>() / area : 0;
            html += rounded_cell(e.is_number() && area > 0 ? nlohmann::json(mean_error) : nlohmann::json(),
                                 decimals_of_error(mean_error, mean_decimals));
        }
    return html;
}

// The table of a list of budgets (2D and 3D), raw and thresholded rows.
std::string budget_tables(const nlohmann::json &budgets, const std::string &heading_level)
{
    if (!budgets.is_array() || budgets.empty())
        return "";
    const char *const model_heads[3] = {"&plusmn; independent (m&sup3;)", "&plusmn; fully correlated (m&sup3;)",
                                        "&plusmn; spatially correlated (m&sup3;)"};
    const char *const model_names[3] = {"independent", "fully correlated", "spatially correlated"};
    bool shown[3];
    for (int m = 0; m < 3; m++)
        shown[m] = has_uncertainty(budgets, MODELS[m]);
    std::string html;
    for (const auto &b : budgets) {
        html += "<" + heading_level + ">" + html_escape(text_of(b.value("difference", nlohmann::json("")))) +
                " difference</" + heading_level + ">\n";
        html += "<table class=\"budget\"><thead><tr><th>cells counted</th><th>cells</th><th>area (m&sup2;)</th>"
                "<th>volume (m&sup3;)</th>";
        for (int m = 0; m < 3; m++)
            if (shown[m])
                html += std::string("<th>") + model_heads[m] + "</th>";
        html += "<th>mean d (m)</th>";
        for (int m = 0; m < 3; m++)
            if (shown[m])
                html += std::string("<th>&plusmn; ") + model_names[m] + " (m)</th>";
        html += "</tr></thead><tbody>\n";
        auto rows = [&](const RowName *list, size_t n, const char *group) {
            bool any = false;
            for (size_t k = 0; k < n; k++)
                any = any || b.contains(list[k].key);
            if (!any)
                return;
            html += std::string("<tr class=\"group\"><td colspan=\"") +
                    std::to_string(5 + 2 * (shown[0] + shown[1] + shown[2])) +
                    "\">" + group + "</td></tr>\n";
            for (size_t k = 0; k < n; k++) {
                if (!b.contains(list[k].key))
                    continue;
                const nlohmann::json &r = b[list[k].key];
                html += std::string("<tr") + (std::string(list[k].key) == "net" ? " class=\"net\"" : "") + ">" +
                        cell(list[k].label) + number_cell(r.value("cells", nlohmann::json()), 0) +
                        number_cell(r.value("area_m2", nlohmann::json()), 2) + figure_cells(r, shown) + "</tr>\n";
            }
        };
        rows(RAW_ROWS, 4, "every cell");
        rows(DETECTED_ROWS, 3, "with the thresholds");
        html += "</tbody></table>\n";
    }
    return html;
}

// The alignment of after onto before (--coregister): the fit's figures as
// the JSON's "coregistration" holds them.
std::string alignment_section(const nlohmann::json &c)
{
    auto number = [&](const char *key, int decimals) {
        return c.contains(key) && c[key].is_number() ? grouped_number(c[key].get<double>(), decimals) : std::string();
    };
    auto stat = [&](const char *which, const char *key, int decimals) {
        return c.contains(which) && c[which].contains(key) && c[which][key].is_number()
                   ? grouped_number(c[which][key].get<double>(), decimals)
                   : std::string();
    };
    std::string html = "<h2>Alignment of after onto before</h2>\n<p class=\"note\">After was aligned onto before "
                       "before the differences were taken (--coregister): a horizontal shift fitted on stable ground, "
                       "then the vertical bias, the median of the stable differences. It assumes that the stable "
                       "ground did not change and that the surveys differ by a pure translation.</p>\n";
    html += "<table><tbody>\n";
    auto line = [&](const std::string &name, const std::string &value) {
        html += "<tr>" + cell(name) + cell(value) + "</tr>\n";
    };
    line("method", html_escape(text_of(c.value("method", nlohmann::json("")))));
    line("resampling of after", html_escape(text_of(c.value("resampling", nlohmann::json("")))));
    line("horizontal shift, east and north (m)", number("shift_x_m", 3) + " &nbsp; " + number("shift_y_m", 3));
    line("horizontal shift, columns and lines (cells)", number("shift_x_cells", 3) + " &nbsp; " + number("shift_y_cells", 3));
    line("vertical bias (m)", number("bias_z_m", 3));
    line("NMAD of the stable differences, before &rarr; after alignment (m)",
         stat("before", "nmad_m", 3) + " &rarr; " + stat("after", "nmad_m", 3));
    line("median of the stable differences, before &rarr; after alignment (m)",
         stat("before", "median_m", 3) + " &rarr; " + stat("after", "median_m", 3));
    line("iterations", number("iterations", 0) + (c.value("converged", true) ? " (converged)" : " (not converged)"));
    line("cells used in the fit", number("cells_used", 0) + " of " + number("stable_cells", 0) + " stable cells" +
                                      (c.value("sample_step", 1) > 1 ? ", one in " + number("sample_step", 0) + " sampled"
                                                                     : std::string()));
    if (!c.value("determined", true))
        line("not determined", html_escape(text_of(c.value("why_undetermined", nlohmann::json("")))));
    html += "</tbody></table>\n";
    if (c.contains("warnings") && c["warnings"].is_array() && !c["warnings"].empty()) {
        html += "<ul class=\"models\">\n";
        for (const auto &w : c["warnings"])
            html += "<li>" + html_escape(text_of(w)) + "</li>\n";
        html += "</ul>\n";
    }
    return html;
}

// One line of the summary by area: the area, the net volume and its
// errors, the lowering and raising volumes, the mean difference and its
// errors, the share of the area with detected change.
std::string summary_row(const std::string &name, const nlohmann::json &b, const bool shown[3], bool detection,
                        const std::string &row_open = "<tr>")
{
    const nlohmann::json net = b.value("net", nlohmann::json::object());
    const double largest = largest_error(net), area = net.value("area_m2", 0.0);
    const int decimals = decimals_of_error(largest, 2);
    std::string html = row_open + cell(name) + number_cell(net.value("area_m2", nlohmann::json()), 0) + figure_cells(net, shown);
    // Lowering and raising to the net's rounding.
    for (const char *key : {"lowering", "raising"})
        html += rounded_cell(b.value(key, nlohmann::json::object()).value("volume_m3", nlohmann::json()), decimals);
    if (detection) {
        const double detected = b.value("detected_lowering", nlohmann::json::object()).value("area_m2", 0.0) +
                                b.value("detected_raising", nlohmann::json::object()).value("area_m2", 0.0);
        html += area > 0 ? "<td class=\"n\">" + grouped_number(100 * detected / area, 1) + " %</td>" : cell("");
    }
    return html + "</tr>\n";
}

// The summary by area (--classes): for each difference, one line per class
// and one for the whole.
std::string area_summary(const nlohmann::json &s)
{
    if (!s.contains("classes") || !s["classes"].is_array() || !s.contains("budgets") || !s["budgets"].is_array())
        return "";
    bool shown[3];
    for (int m = 0; m < 3; m++)
        shown[m] = has_uncertainty(s["budgets"], MODELS[m]);
    const char *const heads[3] = {"independent", "fully correlated", "spatially correlated"};
    std::string html = "<h2>Summary by area</h2>\n<p class=\"note\">For each class and for the whole, over the "
                       "cells with a 3D difference: the net volume and the mean difference d = after &minus; before "
                       "with their errors (one standard deviation, to two significant digits; the figures to the "
                       "precision of their largest error; in full in the JSON and CSV), the volumes lowered and "
                       "raised.</p>\n";
    for (size_t k = 0; k < s["budgets"].size(); k++) {
        const nlohmann::json &whole = s["budgets"][k];
        const bool detection = whole.contains("detected_lowering");
        html += "<h3>" + html_escape(text_of(whole.value("difference", nlohmann::json("")))) + " difference</h3>\n";
        html += "<table class=\"summary\"><thead><tr><th>area</th><th>area (m&sup2;)</th><th>net volume (m&sup3;)</th>";
        for (int m = 0; m < 3; m++)
            if (shown[m])
                html += std::string("<th>&plusmn; ") + heads[m] + " (m&sup3;)</th>";
        html += "<th>mean d (m)</th>";
        for (int m = 0; m < 3; m++)
            if (shown[m])
                html += std::string("<th>&plusmn; ") + heads[m] + " (m)</th>";
        html += "<th>lowering (m&sup3;)</th><th>raising (m&sup3;)</th>";
        if (detection)
            html += "<th>detected change (share of the area)</th>";
        html += "</tr></thead><tbody>\n";
        for (const auto &c : s["classes"]) {
            const nlohmann::json label = c.value("class", nlohmann::json());
            const nlohmann::json budgets = c.value("budgets", nlohmann::json::array());
            if (k < budgets.size())
                html += summary_row(label.is_null() ? "(cells without a class)" : html_escape(text_of(label)), budgets[k],
                                    shown, detection);
        }
        html += summary_row("whole", whole, shown, detection, "<tr class=\"net\">");
        html += "</tbody></table>\n";
    }
    return html;
}

std::string input_rows(const nlohmann::json &inputs)
{
    std::string html = "<table><thead><tr><th></th><th>file</th><th>SHA-256</th><th>bytes</th><th>read as</th>"
                       "<th>CRS</th><th>height unit</th><th>nodata cells</th></tr></thead><tbody>\n";
    for (const char *role : {"before", "after", "sigma_before", "sigma_after", "classes"}) {
        if (!inputs.contains(role))
            continue;
        const nlohmann::json &in = inputs[role];
        std::string unit = html_escape(text_of(in.value("unit", nlohmann::json(""))));
        if (in.value("unit_assumed", false))
            unit += unit.empty() ? "none: metres assumed" : " (metres assumed)";
        html += "<tr>" + cell(role) + cell("<code>" + html_escape(text_of(in.value("path", nlohmann::json("")))) + "</code>") +
                cell("<span class=\"hash\">" + html_escape(text_of(in.value("sha256", nlohmann::json("")))) + "</span>") +
                number_cell(in.value("bytes", nlohmann::json()), 0) +
                cell(html_escape(text_of(in.value("kind", nlohmann::json(""))))) +
                cell(html_escape(text_of(in.value("crs", nlohmann::json(""))))) + cell(unit) +
                number_cell(in.value("nodata_cells", nlohmann::json()), 0) + "</tr>\n";
    }
    return html + "</tbody></table>\n";
}

std::string picture(const std::map<std::string, std::string> &pictures, const std::string &name,
                    const std::string &caption, const std::string &css_class)
{
    auto found = pictures.find(name);
    if (found == pictures.end())
        return "";
    return "<figure class=\"" + css_class + "\"><img alt=\"" + html_escape(caption) + "\" src=\"data:image/png;base64," +
           base64(found->second) + "\"><figcaption>" + html_escape(caption) + "</figcaption></figure>\n";
}

// The error model learned from stable ground: its figures, the slope table,
// the variogram's fit and their pictures.
std::string error_model_section(const nlohmann::json &m, const std::map<std::string, std::string> &pictures)
{
    std::string html = "<h2>Error model, learned from stable ground</h2>\n<p class=\"note\">" +
                       html_escape(text_of(m.value("stable_cells", nlohmann::json(0)))) +
                       " stable cells used (d = after &minus; before there is taken as error alone).</p>\n";
    html += "<table><thead><tr><th>slope (&deg;)</th><th>cells</th><th>NMAD (m)</th></tr></thead><tbody>\n";
    for (const auto &b : m.value("slope_bins", nlohmann::json::array()))
        html += "<tr><td>" + html_escape(text_of(b.value("slope_min_deg", nlohmann::json(0)))) + " &ndash; " +
                html_escape(text_of(b.value("slope_max_deg", nlohmann::json(0)))) + "</td><td>" +
                html_escape(text_of(b.value("cells", nlohmann::json(0)))) + "</td><td>" +
                grouped_number(b.value("nmad_m", 0.0), 4) + "</td></tr>\n";
    html += "</tbody></table>\n";
    const nlohmann::json v = m.value("variogram", nlohmann::json::object());
    if (v.value("fitted", false)) {
        html += "<p class=\"note\">Variogram of dh / &sigma;<sub>dh</sub>: nugget " +
                grouped_number(v.value("nugget", 0.0), 4);
        for (const auto &c : v.value("components", nlohmann::json::array()))
            html += "; spherical part of sill " + grouped_number(c.value("sill", 0.0), 4) + ", range " +
                    grouped_number(c.value("range_m", 0.0), 1) + " m";
        html += ".</p>\n";
    }
    html += picture(pictures, "error_slope", "Error of the difference against the slope, stable ground", "histogram");
    html += picture(pictures, "variogram", "Variogram of the standardised differences and its fit", "histogram");
    return html;
}

} // namespace

// A number with its decimals, thousands grouped by thin spaces, a true
// minus sign.
std::string grouped_number(double v, int decimals)
{
    if (!std::isfinite(v))
        return "";
    char text[128];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::fabs(v));
    const std::string digits = text;
    const size_t point = digits.find('.');
    const size_t whole = point == std::string::npos ? digits.size() : point;
    std::string out;
    for (size_t k = 0; k < whole; k++) {
        if (k > 0 && (whole - k) % 3 == 0)
            out += "\u2009";
        out += digits[k];
    }
    out += digits.substr(whole);
    bool zero = true;
    for (char c : digits)
        zero = zero && (c == '0' || c == '.');
    return (v < 0 && !zero ? "\u2212" : "") + out;
}


bool file_sha256(const std::string &path, std::string *hex, long long *bytes, std::string *error)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = path + ": cannot be read for its digest";
        return false;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> block(1 << 20);
    *bytes = 0;
    size_t n;
    while (ok && (n = std::fread(block.data(), 1, block.size(), f)) > 0) {
        ok = EVP_DigestUpdate(ctx, block.data(), n) == 1;
        *bytes += static_cast<long long>(n);
    }
    ok = ok && !std::ferror(f);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1;
    EVP_MD_CTX_free(ctx);
    std::fclose(f);
    if (!ok) {
        *error = path + ": cannot be read for its digest";
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned int k = 0; k < length; k++) {
        *hex += digits[digest[k] >> 4];
        *hex += digits[digest[k] & 15];
    }
    return true;
}

std::string base64(const std::string &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                                  reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string html_escape(const std::string &text)
{
    std::string out;
    for (char c : text)
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    return out;
}

namespace {

// The page's head, its title and the sign of the differences.
std::string report_head(const nlohmann::json &s)
{
    const std::string program = text_of(s.value("program", nlohmann::json("dem_change")));
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
                       html_escape(program) + " report</title>\n<style>" + STYLE + "</style>\n</head>\n<body>\n<main>\n";
    html += "<h1>Change between two surveys: after &minus; before</h1>\n<p class=\"meta\">" + html_escape(program) +
            " " + html_escape(text_of(s.value("version", nlohmann::json("")))) +
            (s.contains("date") ? " &middot; " + html_escape(text_of(s["date"])) : std::string()) + "</p>\n";
    html += "<p class=\"note\">d = after &minus; before, in metres: positive where the surface rose (deposition, "
            "fill), negative where it was lowered (erosion, cut).</p>\n";
    return html;
}

// The inputs, the grid and the cells left out.
std::string inputs_section(const nlohmann::json &s)
{
    std::string html = "<h2>Inputs</h2>\n";
    if (s.contains("inputs"))
        html += input_rows(s["inputs"]);
    if (s.contains("grid")) {
        const nlohmann::json &g = s["grid"];
        html += "<p>Grid: " + grouped_number(g.value("lines", 0), 0) + " lines &times; " + grouped_number(g.value("columns", 0), 0) +
                " columns; " + html_escape(text_of(g.value("cell_areas", nlohmann::json("")))) + "</p>\n";
    }
    if (s.contains("nodata_cells") && s["nodata_cells"].is_object()) {
        html += "<table><thead><tr><th>cells without data or difference</th><th>cells</th></tr></thead><tbody>\n";
        // The counts the program names, in their order, then any other.
        const char *const known[][2] = {{"before", "nodata in before"},
                                        {"after", "nodata in after"},
                                        {"no_error", "no error in an error raster"},
                                        {"2D", "without a 2D difference"},
                                        {"3D", "without a 3D difference"}};
        const nlohmann::json &counts = s["nodata_cells"];
        for (const auto &k : known)
            if (counts.contains(k[0]))
                html += "<tr>" + cell(k[1]) + number_cell(counts[k[0]], 0) + "</tr>\n";
        for (const auto &item : counts.items()) {
            bool listed = false;
            for (const auto &k : known)
                listed = listed || item.key() == k[0];
            if (!listed)
                html += "<tr>" + cell(html_escape(item.key())) + number_cell(item.value(), 0) + "</tr>\n";
        }
        html += "</tbody></table>\n";
    }
    return html;
}

// The parameters and the command line.
std::string parameters_section(const nlohmann::json &s)
{
    std::string html = "<h2>Parameters</h2>\n";
    if (s.contains("parameters") && s["parameters"].is_object() && !s["parameters"].empty()) {
        html += "<table><thead><tr><th>parameter</th><th>value</th></tr></thead><tbody>\n";
        for (const auto &item : s["parameters"].items())
            html += "<tr>" + cell(html_escape(item.key())) + cell(html_escape(text_of(item.value()))) + "</tr>\n";
        html += "</tbody></table>\n";
    }
    if (s.contains("command_line"))
        html += "<h3>Command line</h3>\n<pre>" + html_escape(text_of(s["command_line"])) + "</pre>\n";
    return html;
}

// The maps of the differences and their histogram.
std::string pictures_section(const std::map<std::string, std::string> &pictures)
{
    if (pictures.empty())
        return "";
    std::string html = "<h2>Pictures</h2>\n<div class=\"pictures\">\n";
    html += picture(pictures, "2D", "2D difference: red lowered, blue raised, grey no data", "diff");
    html += picture(pictures, "3D", "3D difference: red lowered, blue raised, grey no data", "diff");
    html += "</div>\n";
    html += picture(pictures, "histogram", "Distribution of the differences", "histogram");
    return html;
}

// The budgets, of all cells and of each class.
std::string budgets_section(const nlohmann::json &s)
{
    std::string html =
        "<h2>Budgets</h2>\n<p class=\"note\">Over the cells where the 3D difference is defined. The raw net is "
        "always given: a net of the thresholded parts alone is biased. Errors are one standard deviation; each row's "
        "figures are rounded to two significant digits of its largest error (in full in the JSON and CSV); "
        "mean d is the volume over the area.</p>\n";
    if (s.contains("budgets"))
        html += budget_tables(s["budgets"], "h3");
    if (s.contains("classes") && s["classes"].is_array())
        for (const auto &c : s["classes"]) {
            const nlohmann::json label = c.value("class", nlohmann::json());
            html += "<h2>Class " + (label.is_null() ? std::string("(cells without a class)") : html_escape(text_of(label))) +
                    "</h2>\n";
            html += budget_tables(c.value("budgets", nlohmann::json::array()), "h3");
        }
    return html;
}

// What each error model assumes.
std::string models_section(const nlohmann::json &s)
{
    if (!s.contains("error_models") || !s["error_models"].is_array())
        return "";
    std::string html = "<h2>What each error model assumes</h2>\n<ul class=\"models\">\n";
    for (const auto &line : s["error_models"])
        html += "<li>" + html_escape(text_of(line)) + "</li>\n";
    html += "</ul>\n";
    return html;
}

} // namespace

std::string report_html(const nlohmann::json &s, const std::map<std::string, std::string> &pictures)
{
    std::string html = report_head(s);
    html += inputs_section(s);
    html += parameters_section(s);
    html += pictures_section(pictures);
    if (s.contains("coregistration") && s["coregistration"].is_object())
        html += alignment_section(s["coregistration"]);
    html += area_summary(s);
    html += budgets_section(s);
    if (s.contains("error_model") && s["error_model"].is_object())
        html += error_model_section(s["error_model"], pictures);
    html += models_section(s);
    html += "</main>\n</body>\n</html>\n";
    return html;
}

bool write_text_file(const std::string &path, const std::string &text, std::string *error)
{
    std::string temp;
    FILE *f = open_temp(path, "wb", &temp, error);
    if (f == nullptr)
        return false;
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        abandon_temp(f, temp);
        *error = path + ": cannot be written";
        return false;
    }
    return commit_temp(f, temp, path, error);
}
