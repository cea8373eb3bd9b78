// The PDF printer: what it writes, read back glyph by glyph with MuPDF and poppler.
#include "tests/job_helpers.h"

#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/winspool/pdf_files.h"
#include "render/print_job.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

using zvtest::run_command;
using zvtest::TempDir;

namespace {

struct Glyph {
    std::string unicode;
    double x, y; // device units of the page
};

std::string unescape_xml(std::string s) {
    for (auto [from, to] : {std::pair<const char*, const char*>{"&lt;", "<"},
                            {"&gt;", ">"},
                            {"&quot;", "\""},
                            {"&apos;", "'"},
                            {"&amp;", "&"}}) {
        for (size_t at; (at = s.find(from)) != std::string::npos;)
            s.replace(at, std::strlen(from), to);
    }
    // Control characters come as "&#xd;"; only these are written this way.
    std::smatch m;
    while (std::regex_search(s, m, std::regex("&#x([0-9a-f]{1,2});")))
        s.replace(m.position(), m.length(), 1, char(std::stoi(m[1], nullptr, 16)));
    return s;
}

// Every glyph MuPDF draws, in order, with its origin; the trace works in the page's own units
// (the content stream scales them to points), so these are the device units GDI gave.
std::vector<Glyph> glyphs_of(const std::string& pdf) {
    std::string trace;
    EXPECT_EQ(run_command("mutool trace '" + pdf + "' 2>&1", &trace), 0);
    std::vector<Glyph> glyphs;
    std::regex glyph(R"re(<g unicode="([^"]*)" glyph="[^"]*" x="(-?[\d.]+)" y="(-?[\d.]+)")re");
    for (std::sregex_iterator it(trace.begin(), trace.end(), glyph), end; it != end; ++it)
        glyphs.push_back(Glyph{unescape_xml((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3])});
    return glyphs;
}

std::string text_of(const std::vector<Glyph>& glyphs, size_t from, size_t count) {
    std::string s;
    for (size_t i = from; i < from + count && i < glyphs.size(); ++i)
        s += glyphs[i].unicode;
    return s;
}

LOGFONTA printer_font(int width, bool bold, int charset) {
    LOGFONTA lf{};
    lf.lfHeight = -100;
    lf.lfWidth = width;
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = BYTE(charset);
    lf.lfPitchAndFamily = FIXED_PITCH;
    std::strcpy(lf.lfFaceName, "Courier New");
    return lf;
}

// One A4 document at 600 dpi into `path`, one page per call of `draw`.
template <typename... Draw> void print_pages(const std::string& path, Draw... draw) {
    HDC dc = zvp::create_pdf_printer_dc(zvp::a4_page(600), zvp::pdf_file_sink(path));
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = "ZV: Printing";
    ASSERT_GT(StartDocA(dc, &info), 0);
    for (auto& page : {std::function<void(HDC)>(draw)...}) {
        ASSERT_GT(StartPage(dc), 0);
        page(dc);
        ASSERT_GT(EndPage(dc), 0);
    }
    ASSERT_GT(EndDoc(dc), 0);
    DeleteDC(dc);
}

TEST(PdfPrinter, EveryPrinterFontOnTheDeviceGrid) {
    TempDir dir;
    std::string pdf = dir.file("fonts.pdf");
    // The application's 32 fonts: four pitches, bold or not, underlined or not, two character
    // sets; each line says which, in Polish or Russian, with the characters PDF strings escape.
    const int widths[] = {60, 50, 34, 30};
    std::vector<std::pair<std::string, std::string>> lines; // code page bytes, UTF-8
    print_pages(pdf, [&](HDC dc) {
        SetBkMode(dc, TRANSPARENT);
        int y = 0;
        for (int width : widths)
            for (int bold = 0; bold < 2; ++bold)
                for (int underline = 0; underline < 2; ++underline)
                    for (int russian = 0; russian < 2; ++russian) {
                        LOGFONTA lf = printer_font(width, bold,
                                                   russian ? RUSSIAN_CHARSET : EASTEUROPE_CHARSET);
                        lf.lfUnderline = BYTE(underline);
                        HFONT font = CreateFontIndirectA(&lf);
                        HGDIOBJ old = SelectObject(dc, font);
                        std::string bytes = russian ? "(\xd1\xfa\xe5\xf8\xfc) \\ \xa8\xb8"
                                                    : "(\xbf\xf3\xb3\xe6) \\ \xa5\xb9";
                        std::string utf8 = russian ? "(Съешь) \\ Ёё" : "(żółć) \\ Ąą";
                        TextOutA(dc, 600, y, bytes.data(), int(bytes.size()));
                        lines.emplace_back(bytes, utf8);
                        SelectObject(dc, old);
                        DeleteObject(font);
                        y += 100;
                    }
    });

    std::vector<Glyph> glyphs = glyphs_of(pdf);
    size_t at = 0;
    int line = 0;
    for (int width : widths)
        for (int style = 0; style < 8; ++style, ++line) {
            const auto& [bytes, utf8] = lines[line];
            SCOPED_TRACE("width " + std::to_string(width) + ", style " + std::to_string(style));
            ASSERT_LE(at + bytes.size(), glyphs.size());
            EXPECT_EQ(text_of(glyphs, at, bytes.size()), utf8);
            for (size_t i = 0; i < bytes.size(); ++i, ++at) {
                // 0.001 pt is 1/120 of a device unit at 600 dpi.
                EXPECT_NEAR(glyphs[at].x, 600 + int(i) * width, 1.0 / 120) << "glyph " << i;
                EXPECT_NEAR(glyphs[at].y, line * 100 + 83, 1.0 / 120) << "glyph " << i;
            }
        }
    EXPECT_EQ(at, glyphs.size());

    std::string fonts;
    run_command("pdffonts '" + pdf + "'", &fonts);
    std::regex font_line(R"re(\n\S+ +CID TrueType +Identity-H +yes yes yes )re");
    auto count = std::distance(std::sregex_iterator(fonts.begin(), fonts.end(), font_line),
                               std::sregex_iterator());
    EXPECT_EQ(count, 4) << fonts; // regular and bold, each in two code pages
}

TEST(PdfPrinter, ControlAndEscapedBytesKeepTheirPlaces) {
    TempDir dir;
    std::string pdf = dir.file("bytes.pdf");
    // Bytes a literal string must escape or a reader would change (CR, LF); once in the fixed
    // pitch, once in a proportional face whose hinted advances differ from the font's own.
    const std::string bytes = "a(\r)\n\\bW\x7fi\xff";
    std::vector<int> proportional_x;
    print_pages(pdf, [&](HDC dc) {
        LOGFONTA lf = printer_font(60, false, EASTEUROPE_CHARSET);
        HFONT fixed = CreateFontIndirectA(&lf);
        lf.lfWidth = 0;
        lf.lfPitchAndFamily = VARIABLE_PITCH;
        std::strcpy(lf.lfFaceName, "Arial");
        HFONT proportional = CreateFontIndirectA(&lf);
        SelectObject(dc, fixed);
        TextOutA(dc, 100, 200, bytes.data(), int(bytes.size()));
        SelectObject(dc, proportional);
        TextOutA(dc, 100, 400, bytes.data(), int(bytes.size()));
        for (int i = 0; i < int(bytes.size()); ++i) {
            SIZE size{};
            GetTextExtentPoint32A(dc, bytes.data(), i, &size);
            proportional_x.push_back(100 + size.cx);
        }
        SelectObject(dc, GetStockObject(SYSTEM_FONT));
        DeleteObject(fixed);
        DeleteObject(proportional);
    });
    std::string check;
    EXPECT_EQ(run_command("qpdf --check '" + pdf + "' 2>&1", &check), 0) << check;

    std::vector<Glyph> glyphs = glyphs_of(pdf);
    ASSERT_EQ(glyphs.size(), 2 * bytes.size());
    EXPECT_EQ(glyphs[0].unicode, "a");
    EXPECT_EQ(glyphs[1].unicode, "(");
    EXPECT_EQ(glyphs[2].unicode, "\r");
    EXPECT_EQ(glyphs[4].unicode, "\n");
    EXPECT_EQ(glyphs[3].unicode, ")");
    EXPECT_EQ(glyphs[5].unicode, "\\");
    EXPECT_EQ(glyphs[6].unicode, "b");
    EXPECT_EQ(glyphs[10].unicode, "˙"); // 0xFF in code page 1250
    EXPECT_NE(proportional_x[8] - proportional_x[7], proportional_x[10] - proportional_x[9]);
    for (size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_NEAR(glyphs[i].x, 100 + 60 * int(i), 1.0 / 120) << i;
        EXPECT_NEAR(glyphs[bytes.size() + i].x, proportional_x[i], 1.0 / 120) << i;
        EXPECT_EQ(glyphs[bytes.size() + i].unicode, glyphs[i].unicode) << i;
    }
}

TEST(PdfPrinter, DocumentInfoAndAnEmptyPage) {
    TempDir dir;
    std::string pdf = dir.file("info.pdf");
    const char* old_epoch = std::getenv("SOURCE_DATE_EPOCH");
    std::string saved = old_epoch ? old_epoch : "";
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    HDC dc = zvp::create_pdf_printer_dc(zvp::a4_page(600), zvp::pdf_file_sink(pdf));
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = "Kartoteka \xb3\xb9k"; // "łąk" in code page 1250
    ASSERT_GT(StartDocA(dc, &info), 0);
    StartPage(dc);
    EndPage(dc);
    StartPage(dc);
    TextOutA(dc, 0, 0, "x", 1);
    EndPage(dc);
    ASSERT_GT(EndDoc(dc), 0);
    DeleteDC(dc);
    if (old_epoch)
        setenv("SOURCE_DATE_EPOCH", saved.c_str(), 1);
    else
        unsetenv("SOURCE_DATE_EPOCH");

    std::string out;
    EXPECT_EQ(run_command("qpdf --check '" + pdf + "' 2>&1", &out), 0) << out;
    run_command("pdfinfo -isodates '" + pdf + "'", &out);
    EXPECT_TRUE(std::regex_search(out, std::regex("Title: +Kartoteka łąk\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Creator: +zvspool\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("CreationDate: +2023-11-14T22:13:20Z?\n")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Pages: +2\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Page size: +595.2\\d* x 841.8\\d* pts"))) << out;
    run_command("pdftotext -f 1 -l 1 '" + pdf + "' -", &out);
    EXPECT_EQ(out, "\f");
    run_command("pdftotext -f 2 -l 2 '" + pdf + "' -", &out);
    EXPECT_TRUE(std::regex_match(out, std::regex("x\n+\f"))) << out;
}

// A sink that takes `room` bytes and then fails as a full disk does; what it took is in `bytes`.
class FullDisk : public zvp::PdfSink {
  public:
    explicit FullDisk(size_t room, std::string* bytes = nullptr) : room_(room), bytes_(bytes) {}
    bool open(const std::string&) override { return true; }
    bool write(const unsigned char* data, size_t size) override {
        if (size > room_)
            return false;
        room_ -= size;
        if (bytes_)
            bytes_->append(reinterpret_cast<const char*>(data), size);
        return true;
    }
    bool finish() override { return true; }
    void abort() override {}
    std::string error() const override { return "No space left on device"; }

  private:
    size_t room_;
    std::string* bytes_;
};

// Prints `job` as one document on a PDF printer whose disk holds `room` bytes: whether EndDoc
// succeeded, and the bytes that reached the disk.
bool print_to_disk(const std::string& job, size_t room, std::string* bytes) {
    HDC dc = zvp::create_pdf_printer_dc(zvp::a4_page(600), std::make_unique<FullDisk>(room, bytes));
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = "ZV: Printing";
    bool ended = StartDocA(dc, &info) > 0 && zvtest::print_bytes(dc, job) == 0 && EndDoc(dc) > 0;
    DeleteDC(dc);
    return ended;
}

// The disk fills up at the very end: with the cross-reference table, or its last byte.
TEST(PdfPrinter, AFullDiskAtTheCrossReferenceFailsTheJob) {
    const std::string job = "Kartoteka\r\nZak\xb3"
                            "ad\f";
    std::string whole;
    ASSERT_TRUE(print_to_disk(job, SIZE_MAX, &whole));
    size_t xref = whole.rfind("\nxref\n");
    ASSERT_NE(xref, std::string::npos);
    for (size_t room : {xref + 1, whole.size() - 1}) {
        std::string cut;
        EXPECT_FALSE(print_to_disk(job, room, &cut))
            << "room for " << room << " of " << whole.size();
        EXPECT_LE(cut.size(), room);
    }
    std::string again;
    EXPECT_TRUE(print_to_disk(job, whole.size(), &again));
}

TEST(PdfPrinter, AWriteFailureFailsTheJob) {
    // A job of 20 pages that makes about 14 KB of PDF, so the disk fills up before it starts,
    // in the middle of the pages, or while the fonts are written at the end.
    std::string job;
    for (int page = 0; page < 20; ++page) {
        for (int line = 0; line < 60; ++line)
            job += "Zak\xb3"
                   "ad nr " +
                   std::to_string(page * 60 + line) + " - kartoteka\r\n";
        job += '\f';
    }
    for (size_t room : {size_t(0), size_t(2000), size_t(12000), size_t(100000)}) {
        SCOPED_TRACE("room for " + std::to_string(room) + " bytes");
        HDC dc = zvp::create_pdf_printer_dc(zvp::a4_page(600), std::make_unique<FullDisk>(room));
        DOCINFOA info{};
        info.cbSize = sizeof info;
        info.lpszDocName = "ZV: Printing";
        int started = StartDocA(dc, &info);
        EXPECT_EQ(started > 0, room > 0);
        if (started > 0) {
            EXPECT_EQ(zvtest::print_bytes(dc, job) != 0, room < 10000);
            EXPECT_EQ(EndDoc(dc) > 0, room > 20000);
        }
        DeleteDC(dc);
    }
}

// The built-in PDF printer's job is done once its file is there; one whose writing never ended is
// printed again; and the reference stays the job's name whatever the answer.
TEST(PdfPrinter, AJobsFateIsItsFile) {
    TempDir dir;
    dir.write("done.pdf", "%PDF-1.4\n");
    const std::string done = "pdf " + dir.file("done.pdf"), gone = "pdf " + dir.file("gone.pdf");
    EXPECT_TRUE(zvp::is_pdf_reference(done));
    EXPECT_FALSE(zvp::is_pdf_reference("ipp://localhost/printers/office 7"));
    zvp::JobFate fate = zvp::pdf_job_fate(done, false);
    EXPECT_EQ(fate.fate, JOB_FATE_PRINTED);
    EXPECT_EQ(fate.reference, done);
    fate = zvp::pdf_job_fate(gone, false);
    EXPECT_EQ(fate.fate, JOB_FATE_INCOMPLETE);
    EXPECT_EQ(fate.words, "never written whole");
    EXPECT_EQ(fate.reference, gone) << "the job is still known by it, to cancel it";
    EXPECT_EQ(zvp::pdf_job_fate(gone, true).fate, JOB_FATE_PRINTED) << "written, then moved away";
}

} // namespace
