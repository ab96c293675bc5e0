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

bool has_uncertainty(const nlohmann::json &budgets, const char *model)
{
    for (const auto &b : budgets)
        for (const auto &row : b.items())
            if (row.value().is_object() && row.value().contains("uncertainty_m3") &&
                row.value()["uncertainty_m3"].contains(model))
                return true;
    return false;
}

// The table of a list of budgets (2D and 3D), raw and thresholded rows.
std::string budget_tables(const nlohmann::json &budgets, const std::string &heading_level)
{
    if (!budgets.is_array() || budgets.empty())
        return "";
    const char *const models[3] = {"independent", "correlated", "spatial"};
    const char *const model_heads[3] = {"&plusmn; independent (m&sup3;)", "&plusmn; fully correlated (m&sup3;)",
                                        "&plusmn; spatially correlated (m&sup3;)"};
    bool shown[3];
    for (int m = 0; m < 3; m++)
        shown[m] = has_uncertainty(budgets, models[m]);
    std::string html;
    for (const auto &b : budgets) {
        html += "<" + heading_level + ">" + html_escape(text_of(b.value("difference", nlohmann::json("")))) +
                " difference</" + heading_level + ">\n";
        html += "<table class=\"budget\"><thead><tr><th>cells counted</th><th>cells</th><th>area (m&sup2;)</th>"
                "<th>volume (m&sup3;)</th>";
        for (int m = 0; m < 3; m++)
            if (shown[m])
                html += std::string("<th>") + model_heads[m] + "</th>";
        html += "</tr></thead><tbody>\n";
        auto rows = [&](const RowName *list, size_t n, const char *group) {
            bool any = false;
            for (size_t k = 0; k < n; k++)
                any = any || b.contains(list[k].key);
            if (!any)
                return;
            html += std::string("<tr class=\"group\"><td colspan=\"") + std::to_string(4 + shown[0] + shown[1] + shown[2]) +
                    "\">" + group + "</td></tr>\n";
            for (size_t k = 0; k < n; k++) {
                if (!b.contains(list[k].key))
                    continue;
                const nlohmann::json &r = b[list[k].key];
                html += std::string("<tr") + (std::string(list[k].key) == "net" ? " class=\"net\"" : "") + ">" +
                        cell(list[k].label) + number_cell(r.value("cells", nlohmann::json()), 0) +
                        number_cell(r.value("area_m2", nlohmann::json()), 2) +
                        number_cell(r.value("volume_m3", nlohmann::json()), 2);
                const nlohmann::json u = r.value("uncertainty_m3", nlohmann::json::object());
                for (int m = 0; m < 3; m++)
                    if (shown[m])
                        html += number_cell(u.value(models[m], nlohmann::json()), 2);
                html += "</tr>\n";
            }
        };
        rows(RAW_ROWS, 4, "every cell");
        rows(DETECTED_ROWS, 3, "with the thresholds");
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

std::string report_html(const nlohmann::json &s, const std::map<std::string, std::string> &pictures)
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

    html += "<h2>Inputs</h2>\n";
    if (s.contains("inputs"))
        html += input_rows(s["inputs"]);
    if (s.contains("grid")) {
        const nlohmann::json &g = s["grid"];
        html += "<p>Grid: " + grouped_number(g.value("columns", 0), 0) + " columns &times; " + grouped_number(g.value("lines", 0), 0) +
                " lines; " + html_escape(text_of(g.value("cell_areas", nlohmann::json("")))) + "</p>\n";
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

    html += "<h2>Parameters</h2>\n";
    if (s.contains("parameters") && s["parameters"].is_object() && !s["parameters"].empty()) {
        html += "<table><thead><tr><th>parameter</th><th>value</th></tr></thead><tbody>\n";
        for (const auto &item : s["parameters"].items())
            html += "<tr>" + cell(html_escape(item.key())) + cell(html_escape(text_of(item.value()))) + "</tr>\n";
        html += "</tbody></table>\n";
    }
    if (s.contains("command_line"))
        html += "<h3>Command line</h3>\n<pre>" + html_escape(text_of(s["command_line"])) + "</pre>\n";

    if (!pictures.empty()) {
        html += "<h2>Pictures</h2>\n<div class=\"pictures\">\n";
        html += picture(pictures, "2D", "2D difference: red lowered, blue raised, grey no data", "diff");
        html += picture(pictures, "3D", "3D difference: red lowered, blue raised, grey no data", "diff");
        html += "</div>\n";
        html += picture(pictures, "histogram", "Distribution of the differences", "histogram");
    }

    html += "<h2>Budgets</h2>\n<p class=\"note\">Over the cells where the 3D difference is defined. The raw net is "
            "always given: a net of the thresholded parts alone is biased. Errors are one standard deviation.</p>\n";
    if (s.contains("budgets"))
        html += budget_tables(s["budgets"], "h3");
    if (s.contains("classes") && s["classes"].is_array())
        for (const auto &c : s["classes"]) {
            const nlohmann::json label = c.value("class", nlohmann::json());
            html += "<h2>Class " + (label.is_null() ? std::string("(cells without a class)") : html_escape(text_of(label))) +
                    "</h2>\n";
            html += budget_tables(c.value("budgets", nlohmann::json::array()), "h3");
        }

    if (s.contains("error_models") && s["error_models"].is_array()) {
        html += "<h2>What each error model assumes</h2>\n<ul class=\"models\">\n";
        for (const auto &line : s["error_models"])
            html += "<li>" + html_escape(text_of(line)) + "</li>\n";
        html += "</ul>\n";
    }
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
