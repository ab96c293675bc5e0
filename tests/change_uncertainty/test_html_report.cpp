// The report: digests, base64, escaping, a page that holds everything it
// shows, the same bytes for the same summary, and the page as a real
// browser renders it.
#include "html_report.h"
#include "histogram_picture.h"
#include "volume_error.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ReportTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("html_report_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::string read(const std::filesystem::path &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(ReportTest, DigestBase64AndEscaping)
{
    std::ofstream(dir / "abc.txt", std::ios::binary) << "abc";
    std::string hex, error;
    long long bytes = 0;
    ASSERT_TRUE(file_sha256((dir / "abc.txt").string(), &hex, &bytes, &error)) << error;
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"); // FIPS 180-2's "abc"
    EXPECT_EQ(bytes, 3);
    EXPECT_FALSE(file_sha256((dir / "missing").string(), &hex, &bytes, &error));
    EXPECT_NE(error.find("missing"), std::string::npos);

    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64(std::string("\0\xff", 2)), "AP8=");

    EXPECT_EQ(html_escape("<a href=\"x\">R&D's</a>"), "&lt;a href=&quot;x&quot;&gt;R&amp;D&#39;s&lt;/a&gt;");
}

// A picture of a colour ramp standing for a difference.
std::string ramp_png()
{
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 120, 80);
    cairo_t *cr = cairo_create(s);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, 0, 120, 0);
    cairo_pattern_add_color_stop_rgb(p, 0, 33 / 255.0, 102 / 255.0, 172 / 255.0);
    cairo_pattern_add_color_stop_rgb(p, 0.5, 0.97, 0.97, 0.97);
    cairo_pattern_add_color_stop_rgb(p, 1, 178 / 255.0, 24 / 255.0, 43 / 255.0);
    cairo_set_source(cr, p);
    cairo_paint(cr);
    cairo_pattern_destroy(p);
    cairo_destroy(cr);
    std::string png;
    cairo_surface_write_to_png_stream(
        s,
        [](void *c, const unsigned char *d, unsigned int n) {
            static_cast<std::string *>(c)->append(reinterpret_cast<const char *>(d), n);
            return CAIRO_STATUS_SUCCESS;
        },
        &png);
    cairo_surface_destroy(s);
    return png;
}

nlohmann::json row(long long cells, double area, double volume, double independent)
{
    return {{"cells", cells},
            {"area_m2", area},
            {"volume_m3", volume},
            {"uncertainty_m3", {{"independent", independent}, {"correlated", independent * 30}, {"spatial", independent * 7}}}};
}

nlohmann::json sample_budgets(double scale)
{
    nlohmann::json budgets = nlohmann::json::array();
    for (const char *d : {"2D", "3D"})
        budgets.push_back({{"difference", d},
                           {"lowering", row(1200, 4800 * scale, -1234.5678 * scale, 3.2)},
                           {"raising", row(800, 3200 * scale, 987.25 * scale, 2.5)},
                           {"unchanged", row(10, 40, 0, 0)},
                           {"net", row(2010, 8040 * scale, -247.3178 * scale, 4.1)},
                           {"detected_lowering", row(900, 3600, -1100, 2.8)},
                           {"detected_raising", row(500, 2000, 900, 2.0)},
                           {"below_detection", row(610, 2440, -47.3178, 1.6)}});
    return budgets;
}

nlohmann::json sample_summary()
{
    nlohmann::json s = {
        {"program", "dem_change"},
        {"version", "2.0.0"},
        {"command_line", "dem_change --lod 0.1 --report r.html <before>.tif after.tif out"},
        {"inputs",
         {{"before", {{"path", "surveys/<before>.tif"}, {"sha256", std::string(64, 'a')}, {"bytes", 123456789},
                      {"kind", "GTiff raster"}, {"crs", "ETRS89 / UTM zone 33N"}, {"unit", ""}, {"unit_assumed", true},
                      {"nodata_cells", 12}}},
          {"after", {{"path", "after.tif"}, {"sha256", std::string(64, 'b')}, {"bytes", 123456790},
                     {"kind", "GTiff raster"}, {"crs", "ETRS89 / UTM zone 33N"}, {"unit", "metre"},
                     {"nodata_cells", 0}}}}},
        {"grid", {{"columns", 640}, {"lines", 480}, {"cell_areas", "projected: 4 m2 per cell"}}},
        {"parameters", {{"lod_m", 0.1}, {"confidence", nullptr}, {"correlation_range_m", 150}}},
        {"nodata_cells", {{"before", 12}, {"after", 0}, {"2D", 12}, {"3D", 40}}},
        {"budgets", sample_budgets(1)},
        {"classes", {{{"class", "slide"}, {"budgets", sample_budgets(0.75)}},
                     {{"class", nullptr}, {"budgets", sample_budgets(0.25)}}}},
        {"error_models", {INDEPENDENT_ASSUMPTION, CORRELATED_ASSUMPTION, SPATIAL_ASSUMPTION}},
        {"coregistration",
         {{"method", "Nuth and Kaab (2011), least squares on the reference's gradient"}, {"resampling", "bilinear"},
          {"shift_x_m", 1.25}, {"shift_y_m", -0.5}, {"shift_x_cells", 0.3125}, {"shift_y_cells", 0.125},
          {"bias_z_m", 0.0876}, {"iterations", 4}, {"converged", true}, {"determined", true}, {"cells_used", 123456},
          {"stable_cells", 150000}, {"sample_step", 1},
          {"before", {{"median_m", 0.41}, {"nmad_m", 0.532}, {"cells", 123456}}},
          {"after", {{"median_m", 0.0}, {"nmad_m", 0.118}, {"cells", 123456}}},
          {"warnings", {"no --stable or --unstable: every cell is taken as stable ground"}}}}};
    return s;
}

std::map<std::string, std::string> sample_pictures()
{
    ChangeHistogram h = make_histogram(0.1);
    for (int k = -20; k <= 20; k++)
        for (int n = 0; n < 30 - (k < 0 ? -k : k); n++)
            histogram_count(&h, k / 10.0 + 0.05, 4, 0.2 * k, k < -1 || k > 0);
    HistogramTable t;
    std::string error, png;
    EXPECT_TRUE(histogram_table(h, &t, &error));
    HistogramPictureOptions o;
    o.title = "Distribution of the 2D difference";
    o.thresholds = {-0.1, 0.1};
    o.threshold_label = "level of detection \u00b10.1 m";
    EXPECT_TRUE(histogram_png(t, o, &png, &error));
    return {{"2D", ramp_png()}, {"3D", ramp_png()}, {"histogram", png}};
}

TEST_F(ReportTest, SelfContainedAndTheSameBytesEachTime)
{
    const std::string html = report_html(sample_summary(), sample_pictures());
    EXPECT_EQ(html, report_html(sample_summary(), sample_pictures()));
    // Nothing fetched from elsewhere: every source is a data URI; no
    // script, no link, no url() in the styles.
    for (size_t at = html.find("src=\""); at != std::string::npos; at = html.find("src=\"", at + 1))
        EXPECT_EQ(html.compare(at, 27, "src=\"data:image/png;base64,"), 0) << html.substr(at, 40);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_EQ(html.find("url("), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos);
    // Names escaped, figures grouped, uncertainty columns, classes, models.
    EXPECT_NE(html.find("surveys/&lt;before&gt;.tif"), std::string::npos);
    EXPECT_EQ(html.find("<before>"), std::string::npos);
    EXPECT_NE(html.find("\u22121\u2009235</td>"), std::string::npos); // −1 234.5678 m³ to the unit of its error of 96 m³
    EXPECT_NE(html.find("123\u2009456\u2009789"), std::string::npos);
    EXPECT_NE(html.find("fully correlated"), std::string::npos);
    EXPECT_NE(html.find("Class slide"), std::string::npos);
    EXPECT_NE(html.find("cells without a class"), std::string::npos);
    EXPECT_NE(html.find("Rolstad, Haug and Denby 2009"), std::string::npos);
    EXPECT_NE(html.find("metres assumed"), std::string::npos);
    EXPECT_NE(html.find("Grid: 480 lines &times; 640 columns"), std::string::npos); // lines first, as everywhere
    // Without pictures nor a date the page still stands, and no clock is in it.
    const std::string bare = report_html(sample_summary(), {});
    EXPECT_EQ(bare.find("<img"), std::string::npos);
    nlohmann::json dated = sample_summary();
    dated["date"] = "2026-12-08";
    EXPECT_NE(report_html(dated, {}).find("2026-12-08"), std::string::npos);
    EXPECT_EQ(bare.find("2026"), std::string::npos);

    // Written through a temporary file.
    std::string error;
    ASSERT_TRUE(write_text_file((dir / "r.html").string(), html, &error)) << error;
    EXPECT_EQ(read(dir / "r.html"), html);
    EXPECT_FALSE(write_text_file((dir / "no" / "r.html").string(), html, &error));
}

// Pixels of a PNG that are not white, and pixels near the deep blue of
// lowering.
void count_pixels(const std::string &path, long *ink, long *blue, long *total)
{
    cairo_surface_t *s = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char *data = cairo_image_surface_get_data(s);
    *ink = *blue = 0;
    *total = static_cast<long>(w) * h;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint32_t p;
            std::memcpy(&p, data + y * stride + x * 4, 4);
            const int r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
            *ink += r < 240 || g < 240 || b < 240;
            *blue += std::abs(r - 33) < 12 && std::abs(g - 102) < 12 && std::abs(b - 172) < 12;
        }
    cairo_surface_destroy(s);
}

TEST_F(ReportTest, RenderedByHeadlessChromium)
{
    const char *browser = "/usr/bin/chromium";
    if (!std::filesystem::exists(browser))
        GTEST_SKIP() << "headless Chromium is not installed (" << browser << "): the report is not rendered";
    std::string error;
    const std::string page = (dir / "report.html").string();
    ASSERT_TRUE(write_text_file(page, report_html(sample_summary(), sample_pictures()), &error)) << error;
    const std::string flags = std::string(browser) +
                              " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                              " --disable-background-networking --disable-component-update --disable-sync"
                              " --user-data-dir=" + (dir / "profile").string();
    const std::string dom = (dir / "dom.html").string(), shot = (dir / "shot.png").string();
    ASSERT_EQ(std::system(("timeout 120 " + flags + " --dump-dom file://" + page + " > " + dom + " 2>/dev/null").c_str()),
              0);
    const std::string rendered = read(dom);
    // The tables as the browser parsed them: inputs, nodata, parameters,
    // the alignment, the 2D and 3D summaries by area, and the 2D and 3D
    // budgets for the whole and for each of the two classes.
    size_t tables = 0;
    for (size_t at = rendered.find("<table"); at != std::string::npos; at = rendered.find("<table", at + 1))
        tables++;
    EXPECT_EQ(tables, 3u + 1u + 2u + 2u * 3u);
    EXPECT_NE(rendered.find("detected lowering"), std::string::npos);
    EXPECT_NE(rendered.find("Summary by area"), std::string::npos);
    EXPECT_NE(rendered.find("Alignment of after onto before"), std::string::npos);
    EXPECT_NE(rendered.find("mean d (m)"), std::string::npos);
    EXPECT_NE(rendered.find("<img"), std::string::npos);

    ASSERT_EQ(std::system(("timeout 120 " + flags + " --hide-scrollbars --window-size=1200,1600 --screenshot=" + shot +
                           " file://" + page + " > /dev/null 2>&1")
                              .c_str()),
              0);
    long ink = 0, blue = 0, total = 0;
    count_pixels(shot, &ink, &blue, &total);
    EXPECT_EQ(total, 1200L * 1600L);
    // Text, tables and pictures: a good share of the page is not white, and
    // the pictures' deep blue is on it.
    EXPECT_GT(ink, total / 50) << "the screenshot is blank";
    EXPECT_GT(blue, 200) << "the pictures are not drawn";
}

} // namespace

// The figures to the precision of their errors, the mean difference of every
// row, the summary by area and the alignment, in the page's text.
TEST_F(ReportTest, FiguresToTheirErrorsMeansAreasAndTheAlignment)
{
    const std::string html = report_html(sample_summary(), {});
    // Lowering, 2D: −1 234.5678 m³ ± 3.2 / 96 / 22.4 over 4 800 m²: the
    // volume to the unit of 96, each error to two digits; its mean
    // −0.257 m ± 0.00067 / 0.020 / 0.0047.
    EXPECT_NE(html.find("<td class=\"n\">\u22121\u2009235</td><td class=\"n\">3.2</td><td class=\"n\">96</td>"
                        "<td class=\"n\">22</td><td class=\"n\">\u22120.257</td><td class=\"n\">0.00067</td>"
                        "<td class=\"n\">0.020</td><td class=\"n\">0.0047</td>"),
              std::string::npos);
    EXPECT_EQ(html.find("1\u2009234.57"), std::string::npos);
    // The summary: a line per class and one for the whole; the whole's net
    // −247.3178 m³ ± 123 m³ to tens, its mean over 8 040 m² −0.031 m, the
    // detected change (3 600 + 2 000) / 8 040 of the area.
    const size_t summary = html.find("<h2>Summary by area</h2>");
    ASSERT_NE(summary, std::string::npos);
    const size_t budgets = html.find("<h2>Budgets</h2>");
    ASSERT_GT(budgets, summary);
    const std::string part = html.substr(summary, budgets - summary);
    EXPECT_NE(part.find("<td>slide</td>"), std::string::npos);
    EXPECT_NE(part.find("<td>(cells without a class)</td>"), std::string::npos);
    const size_t whole = part.find("<tr class=\"net\"><td>whole</td><td class=\"n\">8\u2009040</td>"
                                   "<td class=\"n\">\u2212250</td>");
    ASSERT_NE(whole, std::string::npos) << part;
    const std::string whole_row = part.substr(whole, part.find("</tr>", whole) - whole);
    EXPECT_NE(whole_row.find("<td class=\"n\">\u22120.031</td>"), std::string::npos) << whole_row;
    EXPECT_NE(whole_row.find("69.7 %"), std::string::npos) << whole_row;
    // The lowering and raising volumes of the whole, to the net's tens.
    EXPECT_NE(whole_row.find("<td class=\"n\">\u22121\u2009230</td><td class=\"n\">990</td>"), std::string::npos)
        << whole_row;
    // No classes: no summary.
    nlohmann::json plain = sample_summary();
    plain.erase("classes");
    EXPECT_EQ(report_html(plain, {}).find("Summary by area"), std::string::npos);

    // The alignment: shift in metres and cells, bias, NMAD before and after,
    // iterations, cells used, the warnings.
    const size_t align = html.find("<h2>Alignment of after onto before</h2>");
    ASSERT_NE(align, std::string::npos);
    const std::string a = html.substr(align, summary - align);
    EXPECT_NE(a.find("1.250 &nbsp; \u22120.500"), std::string::npos) << a;
    EXPECT_NE(a.find("0.312 &nbsp; 0.125"), std::string::npos) << a;
    EXPECT_NE(a.find("<td>0.088</td>"), std::string::npos) << a; // 0.0876 m
    EXPECT_NE(a.find("0.532 &rarr; 0.118"), std::string::npos) << a;
    EXPECT_NE(a.find("4 (converged)"), std::string::npos) << a;
    EXPECT_NE(a.find("123\u2009456 of 150\u2009000 stable cells"), std::string::npos) << a;
    EXPECT_NE(a.find("every cell is taken as stable ground"), std::string::npos) << a;
    plain.erase("coregistration");
    EXPECT_EQ(report_html(plain, {}).find("Alignment"), std::string::npos);
}
