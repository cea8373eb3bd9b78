// The portable GDI: device context state, coordinate spaces, text output, documents, font choice.
#include "tests/job_helpers.h"

#ifndef _WIN32
#include "platform/portable/gdi32/freetype/freetype_fonts.h"
#endif
#include "platform/portable/gdi32/dc.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

LOGFONTA font_record(const char* face, int height, int weight = FW_NORMAL,
                     int charset = EASTEUROPE_CHARSET) {
    LOGFONTA lf{};
    lf.lfHeight = height;
    lf.lfWeight = weight;
    lf.lfCharSet = BYTE(charset);
    lf.lfPitchAndFamily = FIXED_PITCH;
    std::strcpy(lf.lfFaceName, face);
    return lf;
}

class Gdi : public ::testing::Test {
  protected:
    Gdi() {
        DOCINFOA info{};
        info.cbSize = sizeof info;
        info.lpszDocName = "test";
        StartDocA(dc, &info);
        StartPage(dc);
    }
    ~Gdi() override { DeleteDC(dc); }
    zvp::MemoryPrinter printer;
    HDC dc = printer.create_dc();
};

TEST_F(Gdi, SaveAndRestoreState) {
    LOGFONTA lf = font_record("Courier New", -100);
    HFONT font = CreateFontIndirectA(&lf);
    EXPECT_EQ(SaveDC(dc), 1);
    SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextAlign(dc, TA_UPDATECP);
    MoveToEx(dc, 40, 50, nullptr);
    EXPECT_EQ(SaveDC(dc), 2);
    SetBkMode(dc, OPAQUE);
    MoveToEx(dc, 1, 2, nullptr);
    EXPECT_EQ(SaveDC(dc), 3);

    EXPECT_FALSE(RestoreDC(dc, 0));
    EXPECT_FALSE(RestoreDC(dc, 4));
    EXPECT_TRUE(RestoreDC(dc, 2)); // back to the state of the second save, dropping the third
    POINT p;
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 40);
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), font);
    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_EQ(GetBkMode(dc), OPAQUE);
    EXPECT_EQ(GetTextAlign(dc), UINT(TA_NOUPDATECP));
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), GetStockObject(SYSTEM_FONT));
    EXPECT_FALSE(RestoreDC(dc, -1));
    DeleteObject(font);
}

TEST_F(Gdi, DeletingASelectedFontKeepsTheContextWorking) {
    LOGFONTA lf = font_record("Courier New", -100);
    HFONT font = CreateFontIndirectA(&lf);
    SelectObject(dc, font);
    EXPECT_TRUE(DeleteObject(font));
    EXPECT_EQ(GetObjectA(font, sizeof lf, &lf), 0);
    EXPECT_FALSE(DeleteObject(font));
    EXPECT_TRUE(TextOutA(dc, 0, 0, "ok", 2));
    EXPECT_EQ(printer.documents[0].pages[0].runs[0].font.lfHeight, -100);
    // Stock objects are never deleted.
    EXPECT_TRUE(DeleteObject(GetStockObject(SYSTEM_FONT)));
    EXPECT_NE(GetObjectA(GetStockObject(SYSTEM_FONT), 0, nullptr), 0);
}

TEST_F(Gdi, TextAlignmentAndCurrentPosition) {
    LOGFONTA lf = font_record("Courier New", -100);
    lf.lfWidth = 50;
    HFONT font = CreateFontIndirectA(&lf);
    SelectObject(dc, font);
    MoveToEx(dc, 100, 200, nullptr);
    TextOutA(dc, 7, 9, "abc", 3); // not at the current position
    POINT p;
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 100);
    SetTextAlign(dc, TA_UPDATECP);
    TextOutA(dc, 7, 9, "abcd", 4);
    TextOutA(dc, 7, 9, "e", 1);
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 100 + 5 * 50);
    EXPECT_EQ(p.y, 200);
    SetTextAlign(dc, TA_BASELINE);
    TextOutA(dc, 0, 500, "x", 1);
    const auto& runs = printer.documents[0].pages[0].runs;
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(zvtest::describe(printer.documents[0].pages[0]),
              (std::vector<std::string>{"7,9:abc", "100,200:abcd", "300,200:e", "0,417:x"}));
    EXPECT_EQ(runs[1].char_x, (std::vector<int>{100, 150, 200, 250}));
    DeleteObject(font);
}

TEST_F(Gdi, CoordinateSpaces) {
    POINT p{120, -40};
    DPtoLP(dc, &p, 1);
    EXPECT_EQ(p.x, 120);
    EXPECT_EQ(p.y, -40);
    SetViewportOrgEx(dc, 20, 10, nullptr);
    p = {120, -40};
    DPtoLP(dc, &p, 1);
    EXPECT_EQ(p.x, 100);
    EXPECT_EQ(p.y, -50);
    SetViewportOrgEx(dc, 0, 0, nullptr);

    EXPECT_EQ(SetMapMode(dc, MM_ANISOTROPIC), MM_TEXT);
    SetWindowExtEx(dc, 10, 10, nullptr);
    SetViewportExtEx(dc, 20, -40, nullptr);
    p = {100, 100};
    DPtoLP(dc, &p, 1);
    EXPECT_EQ(p.x, 50);
    EXPECT_EQ(p.y, -25);
    SetMapMode(dc, MM_TEXT);

    // World transforms need the advanced mode, which cannot be left while one is in force.
    XFORM scale{2, 0, 0, 3, 0, 0};
    EXPECT_FALSE(SetWorldTransform(dc, &scale));
    EXPECT_EQ(SetGraphicsMode(dc, GM_ADVANCED), GM_COMPATIBLE);
    EXPECT_TRUE(SetWorldTransform(dc, &scale));
    EXPECT_EQ(SetGraphicsMode(dc, GM_COMPATIBLE), 0);
    p = {100, 90};
    DPtoLP(dc, &p, 1);
    EXPECT_EQ(p.x, 50);
    EXPECT_EQ(p.y, 30);
    EXPECT_TRUE(ModifyWorldTransform(dc, nullptr, MWT_IDENTITY));
    EXPECT_EQ(SetGraphicsMode(dc, GM_COMPATIBLE), GM_ADVANCED);
}

TEST_F(Gdi, DocumentCallOrder) {
    zvp::MemoryPrinter other;
    HDC fresh = other.create_dc();
    EXPECT_LE(StartPage(fresh), 0); // no document
    EXPECT_LE(EndPage(fresh), 0);
    EXPECT_LE(EndDoc(fresh), 0);
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = "one";
    EXPECT_GT(StartDocA(fresh, &info), 0);
    EXPECT_LE(StartDocA(fresh, &info), 0); // one at a time
    EXPECT_LE(EndPage(fresh), 0);          // no page
    EXPECT_GT(StartPage(fresh), 0);
    EXPECT_FALSE(TextOutA(fresh, 0, 0, "x", 1) == FALSE);
    EXPECT_GT(EndDoc(fresh), 0); // ends the open page first
    EXPECT_TRUE(other.documents[0].pages[0].ended);
    EXPECT_EQ(other.documents[0].state, zvp::RecordedDocument::State::ended);
    EXPECT_FALSE(TextOutA(fresh, 0, 0, "x", 1)); // nothing to draw on

    // A device context released in the middle of a document abandons it.
    EXPECT_GT(StartDocA(fresh, &info), 0);
    DeleteDC(fresh);
    EXPECT_EQ(other.documents[1].state, zvp::RecordedDocument::State::aborted);
}

TEST(MemoryPrinter, RefusesTheChosenCalls) {
    zvp::MemoryPrinter printer;
    printer.fail(zvp::PrinterCall::start_doc, 2, 2);
    HDC dc = printer.create_dc();
    DOCINFOA info{};
    info.cbSize = sizeof info;
    std::vector<bool> started;
    for (int i = 0; i < 5; ++i) {
        int job = StartDocA(dc, &info);
        started.push_back(job > 0);
        if (job > 0)
            EndDoc(dc);
    }
    EXPECT_EQ(started, (std::vector<bool>{true, false, false, true, true}));
    DeleteDC(dc);
}

#ifndef _WIN32
// Font choice with the installed fonts (Liberation stands in for Courier New).
TEST(FontChoice, CourierNewIsLiberationMono) {
    zvp::FaceChoice regular = zvp::choose_face(font_record("Courier New", -100, 500));
    EXPECT_EQ(regular.family, "Liberation Mono");
    EXPECT_EQ(regular.style, "Regular");
    EXPECT_FALSE(regular.synthetic_bold);

    zvp::FaceChoice bold = zvp::choose_face(font_record("Courier New Bold", -100, 500));
    EXPECT_EQ(bold.family, "Liberation Mono");
    EXPECT_EQ(bold.style, "Bold");
    EXPECT_FALSE(bold.synthetic_bold);

    zvp::FaceChoice heavy = zvp::choose_face(font_record("courier new", -100, 700));
    EXPECT_EQ(heavy.style, "Bold");
    EXPECT_FALSE(heavy.synthetic_bold);

    zvp::FaceChoice cyrillic =
        zvp::choose_face(font_record("Courier New Bold", -100, 500, RUSSIAN_CHARSET));
    EXPECT_EQ(cyrillic.family, "Liberation Mono");
    EXPECT_EQ(cyrillic.style, "Bold");
}

TEST(FontChoice, UnknownFaceFallsBackToAMonospacedFaceThatHasTheLetters) {
    zvp::FaceChoice c = zvp::choose_face(font_record("No Such Face", -100, 400, RUSSIAN_CHARSET));
    ASSERT_FALSE(c.file.empty());
    EXPECT_FALSE(c.synthetic_bold);
}

#endif

} // namespace

namespace {

// A handle kept after its object went reaches nothing, also when a new object takes its place in
// the table; and a handle of one kind is no handle of another.
TEST(Handles, AStaleHandleNeverReachesANewerObject) {
    LOGFONTA lf = font_record("Courier New", -100);
    HFONT old_font = CreateFontIndirectA(&lf);
    ASSERT_TRUE(DeleteObject(old_font));
    HFONT new_font = CreateFontIndirectA(&lf);
    LOGFONTA back{};
    EXPECT_EQ(GetObjectA(old_font, sizeof back, &back), 0);
    EXPECT_FALSE(DeleteObject(old_font));
    EXPECT_EQ(GetObjectA(new_font, sizeof back, &back), int(sizeof back));

    zvp::MemoryPrinter printer;
    HDC old_dc = printer.create_dc();
    ASSERT_TRUE(DeleteDC(old_dc));
    HDC new_dc = printer.create_dc();
    EXPECT_EQ(GetDeviceCaps(old_dc, LOGPIXELSY), 0);
    EXPECT_EQ(SelectObject(old_dc, new_font), nullptr);
    EXPECT_EQ(GetDeviceCaps(new_dc, LOGPIXELSY), 600);
    EXPECT_EQ(SelectObject(new_dc, reinterpret_cast<HGDIOBJ>(new_dc)), nullptr);
    EXPECT_EQ(GetDeviceCaps(reinterpret_cast<HDC>(new_font), LOGPIXELSY), 0);
    SelectObject(new_dc, GetStockObject(SYSTEM_FONT));
    DeleteObject(new_font);
    DeleteDC(new_dc);
}

} // namespace
