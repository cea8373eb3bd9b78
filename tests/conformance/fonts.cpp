// The 32 printer fonts the application makes (four pitches, bold or not, underlined or not, the
// Polish and the Cyrillic character sets) measure the same on the real GDI and on the portable
// layer at 600 dots per inch: Courier New at 12 points, each pitch's width exact.
#include "tests/conformance/conformance.h"

#include "render/font_factory.h"

#include <string>

namespace {

struct FontCase {
    int pitch;
    bool bold;
    bool underline;
    BYTE charset;
};

std::string name_of(const FontCase& c) {
    static const char* const cpi[] = {"10", "12", "17", "20"};
    return std::string(c.charset == RUSSIAN_CHARSET ? "Cyrillic" : "Polish") + "_" + cpi[c.pitch] +
           "cpi" + (c.bold ? "_Bold" : "") + (c.underline ? "_Underlined" : "");
}

void PrintTo(const FontCase& c, std::ostream* out) {
    *out << name_of(c);
}

std::vector<FontCase> every_printer_font() {
    std::vector<FontCase> cases;
    for (BYTE charset : {BYTE(EASTEUROPE_CHARSET), BYTE(RUSSIAN_CHARSET)})
        for (int bold = 0; bold < 2; ++bold)
            for (int underline = 0; underline < 2; ++underline)
                for (int pitch = 0; pitch < 4; ++pitch)
                    cases.push_back(FontCase{pitch, bold != 0, underline != 0, charset});
    return cases;
}

class PrinterFont : public conformance::OnDefaultPrinter,
                    public ::testing::WithParamInterface<FontCase> {
  protected:
    // The case's font, made for the printer as the application makes it.
    HFONT make_font() {
        const FontCase& c = GetParam();
        return conformance::printer_font(dc, c.pitch, (c.bold ? 8 : 0) + (c.underline ? 4 : 0),
                                         c.charset);
    }
    // Each pitch's character width at 600 dots per inch.
    static constexpr LONG widths[] = {60, 50, 34, 30};
};

TEST_P(PrinterFont, MeasuresAsCourierNewOnTheGrid) {
    const FontCase& c = GetParam();
    ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 600) << "the printer must be one of 600 dpi";
    HFONT font = make_font();
    ASSERT_NE(font, nullptr);
    LOGFONTA lf{};
    ASSERT_EQ(GetObjectA(font, sizeof lf, &lf), int(sizeof lf));
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm{};
    ASSERT_TRUE(GetTextMetricsA(dc, &tm));
    SelectObject(dc, old);
    DeleteObject(font);

    EXPECT_EQ(lf.lfHeight, -100);
    EXPECT_EQ(lf.lfWidth, widths[c.pitch]);
    EXPECT_EQ(tm.tmHeight, 113);
    EXPECT_EQ(tm.tmAscent, 83);
    EXPECT_EQ(tm.tmDescent, 30);
    EXPECT_EQ(tm.tmAveCharWidth, widths[c.pitch]);
    // The weight of the face chosen: "Courier New Bold" is the bold face itself.
    EXPECT_EQ(tm.tmWeight, c.bold ? FW_BOLD : FW_NORMAL);
    EXPECT_EQ(tm.tmUnderlined, c.underline ? 0xFF : 0);
    EXPECT_EQ(tm.tmCharSet, c.charset);
}

// A long line advances by exactly its characters times the pitch, measured and drawn, and every
// byte of the code page has that one width: a fraction lost per character would move the end of a
// 136-column line by whole device units.
TEST_P(PrinterFont, EveryByteAdvancesByThePitch) {
    const FontCase& c = GetParam();
    ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 600) << "the printer must be one of 600 dpi";
    HFONT font = make_font();
    ASSERT_NE(font, nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    const int width = widths[c.pitch];

    std::string line;
    for (int i = 0; i < 136; ++i)
        line += char(32 + (i * 7) % 224); // letters, digits, and the upper half of the code page
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32A(dc, line.data(), int(line.size()), &extent));
    EXPECT_EQ(extent.cx, 136 * width);
    EXPECT_EQ(extent.cy, 113);

    ASSERT_GT(StartPage(dc), 0);
    SetTextAlign(dc, TA_UPDATECP);
    MoveToEx(dc, 0, 0, NULL);
    EXPECT_TRUE(TextOutA(dc, 0, 0, line.data(), int(line.size())));
    POINT after{};
    GetCurrentPositionEx(dc, &after);
    EXPECT_EQ(after.x, 136 * width);
    EXPECT_GT(EndPage(dc), 0);

    INT advances[224] = {};
    ASSERT_TRUE(GetCharWidth32A(dc, 32, 255, advances));
    for (int b = 32; b <= 255; ++b)
        EXPECT_EQ(advances[b - 32], width) << "byte " << b;
    SelectObject(dc, old);
    DeleteObject(font);
}

INSTANTIATE_TEST_SUITE_P(All32, PrinterFont, ::testing::ValuesIn(every_printer_font()),
                         [](const ::testing::TestParamInfo<FontCase>& info) {
                             return name_of(info.param);
                         });

} // namespace
