// The font factory's LOGFONTA records and its care for the device context.
#include "job_helpers.h"

#ifndef _WIN32
#include "platform/portable/winspool/pdf_files.h"
#endif
#include "platform/portable/testing/hooks.h"
#include "render/font_factory.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

LOGFONTA record(HFONT font) {
    LOGFONTA lf{};
    EXPECT_EQ(GetObjectA(font, sizeof lf, &lf), int(sizeof lf));
    return lf;
}

class FontFactory : public ::testing::Test {
  protected:
    ~FontFactory() override { DeleteDC(dc); }
    // An A4 page at about 600 dpi: 4960 x 7016 pixels on 210 x 297 millimetres.
    zvp::MemoryPrinter printer;
    HDC dc = printer.create_dc();
};

// 12 points are 100 pixels at 600 dpi, and each pitch's width condenses the natural 60.
TEST_F(FontFactory, TwelvePointsAtEveryPitchOnA600DpiPage) {
    const int widths[] = {120, 100, 68, 60};
    const int expected[] = {60, 50, 34, 30};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("width parameter " + std::to_string(widths[i]));
        HFONT font = create_printer_font(dc, "Courier New", 120, widths[i], 0, 0);
        LOGFONTA lf = record(font);
        EXPECT_EQ(lf.lfHeight, -100);
        EXPECT_EQ(lf.lfWidth, expected[i]) << "width " << widths[i];
        EXPECT_EQ(lf.lfWeight, 500);
        EXPECT_EQ(lf.lfCharSet, EASTEUROPE_CHARSET);
        EXPECT_EQ(lf.lfPitchAndFamily, FIXED_PITCH);
        EXPECT_EQ(lf.lfEscapement, 0);
        EXPECT_EQ(lf.lfQuality, 0);
        EXPECT_STREQ(lf.lfFaceName, "Courier New");
        DeleteObject(font);
    }
}

TEST_F(FontFactory, StyleBits) {
    struct Case {
        int style, weight, italic, underline, strikeout;
    } cases[] = {{0, 500, 0, 0, 0}, {1, 700, 0, 0, 0}, {2, 500, 1, 0, 0},
                 {4, 500, 0, 1, 0}, {8, 500, 0, 0, 1}, {16, 500, 0, 0, 0}};
    for (const Case& c : cases) {
        HFONT font = create_printer_font(dc, "Courier New", 120, 120, c.style, 0);
        LOGFONTA lf = record(font);
        EXPECT_EQ(lf.lfWeight, c.weight) << c.style;
        EXPECT_EQ(lf.lfItalic, c.italic) << c.style;
        EXPECT_EQ(lf.lfUnderline, c.underline) << c.style;
        EXPECT_EQ(lf.lfStrikeOut, c.strikeout) << c.style;
        DeleteObject(font);
    }
}

TEST_F(FontFactory, NaturalWidthMakesOneFont) {
    size_t before = zvp::gdi_object_count_for_testing();
    HFONT font = create_printer_font(dc, "Courier New", 120, 0, 0, 0);
    EXPECT_EQ(record(font).lfWidth, 0);
    EXPECT_EQ(record(font).lfHeight, -100);
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), before + 1);
    DeleteObject(font);
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), before);
}

TEST_F(FontFactory, PhysicalOrLogicalResolution) {
    // 600 dots per inch logically, but the printable area is twice as wide and high in
    // millimetres as 600 dpi would make it: physically 300 dpi.
    zvp::MemoryPrinterSetup setup;
    setup.horzsize = 420;
    setup.vertsize = 594;
    zvp::MemoryPrinter coarse(setup);
    HDC cdc = coarse.create_dc();
    HFONT physical = create_printer_font(cdc, "Courier New", 120, 120, 0, 0);
    HFONT logical = create_printer_font(cdc, "Courier New", 120, 120, 0, 1);
    EXPECT_EQ(record(physical).lfHeight, -50);
    EXPECT_EQ(record(logical).lfHeight, -100);
    DeleteObject(physical);
    DeleteObject(logical);
    DeleteDC(cdc);
}

TEST_F(FontFactory, MappingThatTurnsThePointNegative) {
    SetMapMode(dc, MM_ANISOTROPIC);
    SetWindowExtEx(dc, 1, 1, nullptr);
    SetViewportExtEx(dc, -1, -1, nullptr);
    HFONT font = create_printer_font(dc, "Courier New", 120, 100, 0, 0);
    LOGFONTA lf = record(font);
    EXPECT_EQ(lf.lfHeight, -100);
    EXPECT_EQ(lf.lfWidth, 50);
    DeleteObject(font);
}

TEST_F(FontFactory, LeavesTheDeviceContextAsItWas) {
    SetGraphicsMode(dc, GM_ADVANCED);
    XFORM twice{2, 0, 0, 2, 5, 7};
    SetWorldTransform(dc, &twice);
    SetViewportOrgEx(dc, 10, 20, nullptr);
    SetWindowOrgEx(dc, 3, 4, nullptr);
    LOGFONTA mine{};
    mine.lfHeight = -30;
    HFONT selected = CreateFontIndirectA(&mine);
    SelectObject(dc, selected);

    HFONT font = create_printer_font(dc, "Courier New", 120, 68, 4, 0);
    // The transforms were set aside while measuring.
    EXPECT_EQ(record(font).lfHeight, -100);
    EXPECT_EQ(record(font).lfWidth, 34);

    EXPECT_EQ(GetGraphicsMode(dc), GM_ADVANCED);
    XFORM now{};
    GetWorldTransform(dc, &now);
    EXPECT_EQ(now.eM11, 2);
    EXPECT_EQ(now.eDy, 7);
    POINT viewport, window;
    SetViewportOrgEx(dc, 0, 0, &viewport);
    SetWindowOrgEx(dc, 0, 0, &window);
    EXPECT_EQ(viewport.x, 10);
    EXPECT_EQ(viewport.y, 20);
    EXPECT_EQ(window.x, 3);
    EXPECT_EQ(window.y, 4);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), selected);
    EXPECT_EQ(SaveDC(dc), 1);
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    DeleteObject(selected);
    DeleteObject(font);
}

TEST_F(FontFactory, VariantsDifferInCharacterSet) {
    HFONT polish = create_printer_font(dc, "Courier New Bold", 120, 100, 4, 0);
    HFONT cyrillic = create_cyrillic_printer_font(dc, "Courier New Bold", 120, 100, 4, 0);
    LOGFONTA a = record(polish), b = record(cyrillic);
    EXPECT_EQ(a.lfCharSet, EASTEUROPE_CHARSET);
    EXPECT_EQ(b.lfCharSet, RUSSIAN_CHARSET);
    b.lfCharSet = a.lfCharSet;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    DeleteObject(polish);
    DeleteObject(cyrillic);
}

TEST_F(FontFactory, FontSetEntries) {
    size_t before = zvp::gdi_object_count_for_testing();
    FontSet set = build_font_set(dc, POLISH_FONT_SET);
    const int widths[] = {60, 50, 34, 30};
    for (int i = 0; i < 16; ++i) {
        LOGFONTA lf = record(set.fonts[i]);
        EXPECT_STREQ(lf.lfFaceName, (i & 8) ? "Courier New Bold" : "Courier New") << i;
        EXPECT_EQ(lf.lfUnderline, (i & 4) ? 1 : 0) << i;
        EXPECT_EQ(lf.lfWidth, widths[i & 3]) << i;
        EXPECT_EQ(lf.lfWeight, 500) << i;
        EXPECT_EQ(lf.lfCharSet, EASTEUROPE_CHARSET) << i;
    }
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), before + 16);
    SelectObject(dc, set.fonts[13]);
    delete_font_set(dc, &set);
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), before);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), GetStockObject(SYSTEM_FONT));

    FontSet cyrillic = build_font_set(dc, CYRILLIC_FONT_SET);
    EXPECT_EQ(record(cyrillic.fonts[13]).lfCharSet, RUSSIAN_CHARSET);
    delete_font_set(dc, &cyrillic);
}

#ifndef _WIN32
// With real fonts on a 600 dpi PDF printer, the four pitches advance by whole device units:
// 10 cpi is exactly 60 units a character.
TEST(PrinterFonts, RealFontsKeepTheGrid) {
    zvtest::TempDir dir;
    HDC pdf = zvp::create_pdf_printer_dc(zvp::a4_page(600), zvp::pdf_file_sink(dir.file("x.pdf")));
    const int widths[] = {120, 100, 68, 60};
    const int advances[] = {60, 50, 34, 30};
    for (int i = 0; i < 4; ++i) {
        for (const char* face : {"Courier New", "Courier New Bold"}) {
            HFONT font = create_printer_font(pdf, face, 120, widths[i], 0, 0);
            HGDIOBJ old = SelectObject(pdf, font);
            SIZE extent{};
            GetTextExtentPoint32A(pdf, "\xB9\xE6\xEA\xB3 Wiij", 9, &extent);
            EXPECT_EQ(extent.cx, 9 * advances[i]) << face << " " << widths[i];
            TEXTMETRICA tm{};
            GetTextMetricsA(pdf, &tm);
            EXPECT_EQ(tm.tmAveCharWidth, advances[i]);
            SelectObject(pdf, old);
            DeleteObject(font);
        }
    }
    DeleteDC(pdf);
}

#endif

} // namespace
