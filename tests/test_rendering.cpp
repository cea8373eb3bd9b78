// Real output: PDFs from zv-render read back with poppler, PNG pages looked at pixel by pixel.
#include "job_helpers.h"

#include "platform/portable/winspool/pdf_files.h"

#include <cairo.h>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <unistd.h>

using zvtest::run_command;
using zvtest::TempDir;

namespace {

const std::string zv_render = ZV_RENDER_BIN;

std::string esc(int command, const std::string& parameters = "") {
    return std::string("\x1b") + char(command) + parameters;
}

struct Word {
    double x_min, y_min;
    std::string text;
};

// Words of a PDF page as pdftotext -bbox reports them, in points from the page's top left.
std::vector<Word> words_of(const std::string& pdf) {
    std::string html;
    EXPECT_EQ(run_command("pdftotext -bbox '" + pdf + "' -", &html), 0);
    std::vector<Word> words;
    std::regex word(R"re(<word xMin="(-?[\d.]+)" yMin="(-?[\d.]+)"[^>]*>([^<]*)</word>)re");
    for (std::sregex_iterator it(html.begin(), html.end(), word), end; it != end; ++it)
        words.push_back(Word{std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
    return words;
}

TEST(Rendering, PdfKeepsTheDotMatrixGrid) {
    TempDir dir;
    // Four words per line, five columns apart, at each pitch; then a margin of ten columns.
    std::string job = "AAAA BBBB CCCC DDDD\r\n" + esc(4) + "EEEE FFFF GGGG HHHH\r\n" + esc(1) +
                      "IIII JJJJ KKKK LLLL\r\n" + esc(2) + "MMMM NNNN OOOO PPPP\r\n" + esc(3) +
                      esc(32, "10") + "\r\nQQQQ\r\n" + esc(25) + "\r\n";
    dir.write("grid.zv", job);
    ASSERT_EQ(run_command(zv_render + " -o " + dir.file("grid.pdf") + " " + dir.file("grid.zv")),
              0);
    std::vector<Word> words = words_of(dir.file("grid.pdf"));
    ASSERT_EQ(words.size(), 17u);

    // Device units at 600 dpi: 60, 50, 34, 30 per character; a point is 600/72 units.
    const double advance[] = {60, 50, 34, 30};
    double top = words[0].y_min;
    for (int line = 0; line < 4; ++line) {
        for (int w = 0; w < 4; ++w) {
            const Word& word = words[line * 4 + w];
            EXPECT_EQ(word.text, std::string(4, char('A' + line * 4 + w)));
            EXPECT_NEAR(word.x_min, 5 * w * advance[line] * 72 / 600, 0.02) << word.text;
            EXPECT_NEAR(word.y_min - top, line * 12.0, 0.02) << word.text;
        }
    }
    EXPECT_EQ(words[16].text, "QQQQ");
    EXPECT_NEAR(words[16].x_min, 72.0, 0.02); // ten columns of 10 cpi: one inch
    EXPECT_NEAR(words[16].y_min - top, 5 * 12.0, 0.02);
}

TEST(Rendering, SampleJobHasTwoPagesOfPolishAndRussianText) {
    TempDir dir;
    std::string pdf = dir.file("sample.pdf");
    ASSERT_EQ(run_command(zv_render + " -o " + pdf + " " ZV_SOURCE_DIR "/samples/sample.zv"), 0);
    std::string info, text;
    run_command("pdfinfo " + pdf, &info);
    EXPECT_TRUE(std::regex_search(info, std::regex("Pages: +2\n"))) << info;
    EXPECT_NE(info.find("ZV: Printing"), std::string::npos) << info;
    run_command("pdftotext -layout " + pdf + " -", &text);
    EXPECT_NE(text.find("Zażółć gęślą jaźń. ZAŻÓŁĆ GĘŚLĄ JAŹŃ."), std::string::npos) << text;
    EXPECT_NE(text.find("Съешь же ещё этих мягких французских булок."), std::string::npos);
    EXPECT_NE(text.find("Иванов Иван Иванович"), std::string::npos);
}

// Ink of a PNG page: the box that holds every dark pixel, per band of rows.
struct Ink {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
};

Ink ink_in_rows(const std::string& png, int from, int to) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
    Ink ink;
    EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << png;
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS)
        return ink;
    int stride = cairo_image_surface_get_stride(s);
    int width = cairo_image_surface_get_width(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    for (int y = from; y < to && y < cairo_image_surface_get_height(s); ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char* px = data + y * stride + x * 4;
            if (px[0] < 128 && px[1] < 128 && px[2] < 128) {
                ink.left = std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
                ink.top = std::min(ink.top, y);
                ink.bottom = std::max(ink.bottom, y);
            }
        }
    cairo_surface_destroy(s);
    return ink;
}

TEST(Rendering, PngPagesAtTheirLinesAndColumns) {
    TempDir dir;
    // 150 dpi: lines 25 pixels apart, 10-cpi characters 15 pixels wide.
    dir.write("job.zv", "XXXXXXXXXX\r\n" + esc(14) + "UUUU\r\n\f" + esc(32, "20") + "\rX\f");
    ASSERT_EQ(run_command(zv_render + " -o " + dir.file("page.png") + " " + dir.file("job.zv")), 0);
    Ink first = ink_in_rows(dir.file("page-1.png"), 0, 25);
    EXPECT_GE(first.left, 0);
    EXPECT_LE(first.right, 150);
    EXPECT_GE(first.right, 135);
    // The cell of a 12-point font is taller than a sixth of an inch, so the underline of the
    // second line sits just below its band.
    Ink underlined = ink_in_rows(dir.file("page-1.png"), 25, 60);
    EXPECT_LE(underlined.right, 60);
    EXPECT_GE(underlined.right, 55);
    EXPECT_GE(underlined.bottom, 46);
    Ink below = ink_in_rows(dir.file("page-1.png"), 60, 1754);
    EXPECT_EQ(below.right, -1) << "nothing below the second line";
    Ink second = ink_in_rows(dir.file("page-2.png"), 0, 25);
    EXPECT_GE(second.left, 300); // twenty columns of 15 pixels
    EXPECT_LT(second.right, 315);
    EXPECT_NE(access(dir.file("page-2.png").c_str(), F_OK), -1);
    EXPECT_EQ(access(dir.file("page-3.png").c_str(), F_OK), -1);
}

// The printable area in whole device units, truncated as printer drivers give it.
// Grey levels of a PNG page (0 black, 255 white).
struct Grey {
    int width = 0, height = 0;
    std::vector<unsigned char> level;
    int at(int x, int y) const { return level[size_t(y) * width + x]; }
};

Grey grey_of(const std::string& png) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
    Grey g;
    EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << png;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        g.width = cairo_image_surface_get_width(s);
        g.height = cairo_image_surface_get_height(s);
        int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                const unsigned char* px = data + y * stride + x * 4;
                g.level.push_back((px[0] + px[1] + px[2]) / 3);
            }
    }
    cairo_surface_destroy(s);
    return g;
}

// Pixels dark in `a` where `b` has nothing dark at or next to them: ink one has and the other
// lacks, as opposed to a glyph edge antialiased a little differently.
int ink_missing(const Grey& a, const Grey& b) {
    int missing = 0;
    for (int y = 1; y + 1 < std::min(a.height, b.height); ++y)
        for (int x = 1; x + 1 < std::min(a.width, b.width); ++x) {
            if (a.at(x, y) >= 96)
                continue;
            int lightest = 255;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    lightest = std::min(lightest, b.at(x + dx, y + dy));
            missing += lightest > 160;
        }
    return missing;
}

TEST(Rendering, PdfAndPngPagesShowTheSameInk) {
    TempDir dir;
    const std::string job = ZV_SOURCE_DIR "/samples/sample.zv";
    ASSERT_EQ(run_command(zv_render + " --dpi 100 -o " + dir.file("cairo.png") + " " + job), 0);
    ASSERT_EQ(run_command(zv_render + " --dpi 100 -o " + dir.file("job.pdf") + " " + job), 0);
    ASSERT_EQ(run_command("pdftoppm -r 100 -png " + dir.file("job.pdf") + " " + dir.file("pdf")),
              0);
    for (int page = 1; page <= 2; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        Grey cairo = grey_of(dir.file("cairo-" + std::to_string(page) + ".png"));
        Grey pdf = grey_of(dir.file("pdf-" + std::to_string(page) + ".png"));
        ASSERT_NEAR(cairo.width, pdf.width, 1);
        ASSERT_NEAR(cairo.height, pdf.height, 1);
        int ink = 0;
        for (unsigned char level : cairo.level)
            ink += level < 96;
        EXPECT_GT(ink, 1000);
        EXPECT_EQ(ink_missing(cairo, pdf), 0);
        EXPECT_EQ(ink_missing(pdf, cairo), 0);
    }
}

TEST(Rendering, PageMetricsAreWholeDeviceUnits) {
    struct Case {
        zvp::PageSetup page;
        int width, height, offset_x, horzres, vertres;
    };
    zvp::PageSetup margins = zvp::a4_page(600);
    margins.margin_left_mm = margins.margin_right_mm = 4.23;
    margins.margin_top_mm = margins.margin_bottom_mm = 4.23;
    for (const Case& c : {Case{zvp::a4_page(600), 4960, 7015, 0, 4960, 7015},
                          Case{zvp::letter_page(600), 5100, 6600, 0, 5100, 6600},
                          Case{zvp::a4_page(300), 2480, 3507, 0, 2480, 3507},
                          Case{margins, 4960, 7015, 99, 4760, 7015 - 200}}) {
        SCOPED_TRACE(std::to_string(c.page.width_mm) + " mm at " + std::to_string(c.page.dpi));
        HDC dc = zvp::create_pdf_printer_dc(c.page, zvp::pdf_file_sink("/dev/null"));
        EXPECT_EQ(GetDeviceCaps(dc, PHYSICALWIDTH), c.width);
        EXPECT_EQ(GetDeviceCaps(dc, PHYSICALHEIGHT), c.height);
        EXPECT_EQ(GetDeviceCaps(dc, PHYSICALOFFSETX), c.offset_x);
        EXPECT_EQ(GetDeviceCaps(dc, HORZRES), c.horzres);
        EXPECT_EQ(GetDeviceCaps(dc, VERTRES), c.vertres);
        DeleteDC(dc);
    }
}

TEST(ZvRender, ArgumentsAndErrors) {
    TempDir dir;
    dir.write("a.zv", "first\r\n");
    dir.write("b.zv", esc(32, "05") + "\r\nsecond\r\n");
    std::string out;

    // Default output: the first job's name with .pdf; several jobs make one document.
    EXPECT_EQ(run_command(zv_render + " " + dir.file("a.zv") + " " + dir.file("b.zv"), &out), 0);
    EXPECT_EQ(out, dir.file("a.pdf") + "\n");
    run_command("pdfinfo " + dir.file("a.pdf"), &out);
    EXPECT_TRUE(std::regex_search(out, std::regex("Pages: +2\n"))) << out;

    EXPECT_EQ(run_command(zv_render + " 2>&1", &out), 2);
    EXPECT_NE(out.find("usage: zv-render"), std::string::npos);
    EXPECT_EQ(run_command(zv_render + " --dpi many a.zv 2>&1", &out), 2);
    EXPECT_EQ(run_command(zv_render + " --paper a3 a.zv 2>&1", &out), 2);
    EXPECT_EQ(run_command(zv_render + " -o out.txt a.zv 2>&1", &out), 2);
    EXPECT_EQ(run_command(zv_render + " --bogus a.zv 2>&1", &out), 2);
    EXPECT_EQ(run_command(zv_render + " --version", &out), 0);
    EXPECT_EQ(out, std::string("zv-render ") + ZV_VERSION + "\n");

    std::string missing = dir.file("missing.zv");
    EXPECT_EQ(run_command(zv_render + " " + missing + " 2>&1", &out), 1);
    EXPECT_EQ(out, "zv-render: " + missing + ": No such file or directory\n");
    EXPECT_EQ(run_command(zv_render + " -o x.pdf " + dir.path() + " 2>&1", &out), 1);
    EXPECT_NE(out.find("is a directory"), std::string::npos) << out;

    std::string unwritable = dir.file("no/such/dir/out.pdf");
    EXPECT_EQ(run_command(zv_render + " -o " + unwritable + " " + dir.file("a.zv") + " 2>&1", &out),
              1);
    EXPECT_NE(out.find(unwritable), std::string::npos) << out;
    EXPECT_EQ(run_command("ls " + dir.path() + " | grep -c pdf."), 1) << "no temporary left";

    EXPECT_EQ(run_command(zv_render + " --paper letter --dpi 300 -o " + dir.file("l.pdf") + " " +
                              dir.file("a.zv"),
                          &out),
              0);
    run_command("pdfinfo " + dir.file("l.pdf"), &out);
    EXPECT_NE(out.find("612 x 792 pts"), std::string::npos) << out;
}

// A machine whose only "Courier New" is a bitmap face (as an X11 font package may install one):
// it would measure as a font and print no text, so it is not taken, and the job fails, named.
TEST(ZvRender, ABitmapCourierNewPrintsNothingAndSaysSo) {
    TempDir dir;
    std::string chars;
    for (int code = 32; code < 127; ++code) {
        chars += "STARTCHAR c" + std::to_string(code) + "\nENCODING " + std::to_string(code) +
                 "\nSWIDTH 600 0\nDWIDTH 6 0\nBBX 6 12 0 -2\nBITMAP\n";
        for (int row = 0; row < 12; ++row)
            chars += "FC\n";
        chars += "ENDCHAR\n";
    }
    dir.write("cour.bdf", "STARTFONT 2.1\n"
                          "FONT -test-Courier New-medium-r-normal--12-120-75-75-m-60-iso8859-1\n"
                          "SIZE 12 75 75\nFONTBOUNDINGBOX 6 12 0 -2\nSTARTPROPERTIES 4\n"
                          "FAMILY_NAME \"Courier New\"\nFONT_ASCENT 10\nFONT_DESCENT 2\n"
                          "SPACING \"M\"\nENDPROPERTIES\nCHARS 95\n" +
                              chars + "ENDFONT\n");
    dir.write("fonts.conf", "<?xml version=\"1.0\"?>\n<fontconfig><dir>" + dir.path() +
                                "</dir><cachedir>" + dir.file("cache") +
                                "</cachedir></fontconfig>\n");
    dir.write("job.zv", "Kartoteka\r\n");
    std::string env = "FONTCONFIG_FILE=" + dir.file("fonts.conf") + " ";
    std::string out;
    ASSERT_EQ(run_command(env + "fc-list", &out), 0);
    ASSERT_NE(out.find("Courier New"), std::string::npos) << "fontconfig must list the face";
    EXPECT_EQ(run_command(env + zv_render + " -o " + dir.file("job.pdf") + " " +
                              dir.file("job.zv") + " 2>&1",
                          &out),
              1);
    EXPECT_NE(out.find("no TrueType font for \"Courier New\""), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("job.pdf"))) << "no PDF without its text";
}

} // namespace
