// Device context state as the application relies on it, on a printer device context: saved and
// restored states, the graphics mode and world transform, device to logical units, and the current
// position after text drawn with TA_UPDATECP.
#include "tests/conformance/conformance.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

class DeviceContextState : public conformance::OnDefaultPrinter {};

TEST_F(DeviceContextState, SaveAndRestoreKeepsTheAttributesAndThePosition) {
    EXPECT_EQ(SaveDC(dc), 1);
    SetBkMode(dc, TRANSPARENT);
    SetTextAlign(dc, TA_UPDATECP);
    MoveToEx(dc, 40, 50, NULL);
    EXPECT_EQ(SaveDC(dc), 2);
    SetBkMode(dc, OPAQUE);
    SetTextAlign(dc, TA_NOUPDATECP);
    MoveToEx(dc, 1, 2, NULL);
    EXPECT_EQ(SaveDC(dc), 3);

    EXPECT_FALSE(RestoreDC(dc, 0));
    EXPECT_FALSE(RestoreDC(dc, 4));
    EXPECT_TRUE(RestoreDC(dc, 2)); // the state of the second save; the third is dropped
    POINT p{};
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 40);
    EXPECT_EQ(p.y, 50);
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    EXPECT_EQ(GetTextAlign(dc), UINT(TA_UPDATECP));
    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_EQ(GetBkMode(dc), OPAQUE);
    EXPECT_FALSE(RestoreDC(dc, -1)) << "no saved state is left";
}

TEST_F(DeviceContextState, GraphicsModeWorldTransformAndUnits) {
    EXPECT_EQ(SetGraphicsMode(dc, GM_ADVANCED), GM_COMPATIBLE);
    EXPECT_EQ(SetGraphicsMode(dc, GM_ADVANCED), GM_ADVANCED);
    XFORM doubled = {2, 0, 0, 2, 10, 20};
    EXPECT_TRUE(SetWorldTransform(dc, &doubled));
    POINT p = {110, 220};
    EXPECT_TRUE(DPtoLP(dc, &p, 1));
    EXPECT_EQ(p.x, 50);
    EXPECT_EQ(p.y, 100);
    EXPECT_TRUE(ModifyWorldTransform(dc, NULL, MWT_IDENTITY));
    XFORM now;
    EXPECT_TRUE(GetWorldTransform(dc, &now));
    EXPECT_EQ(now.eM11, 1.0f);
    EXPECT_EQ(now.eDx, 0.0f);
    POINT same = {1234, 567};
    EXPECT_TRUE(DPtoLP(dc, &same, 1));
    EXPECT_EQ(same.x, 1234);
    EXPECT_EQ(same.y, 567);
    EXPECT_EQ(SetGraphicsMode(dc, GM_COMPATIBLE), GM_ADVANCED);
}

// TA_UPDATECP: the text starts at the current position, the top of its cell there, and the
// position moves on by the text's width; without it, the point given is the cell's top left and
// the position stays.
TEST_F(DeviceContextState, TextAtTheCurrentPosition) {
    HFONT font = conformance::printer_font(dc, 0, 0, EASTEUROPE_CHARSET);
    HGDIOBJ old = SelectObject(dc, font);
    ASSERT_GT(StartPage(dc), 0);
    TEXTMETRICA tm;
    ASSERT_TRUE(GetTextMetricsA(dc, &tm));
    SetTextAlign(dc, TA_UPDATECP);
    MoveToEx(dc, 100, 200, NULL);
    EXPECT_TRUE(TextOutA(dc, 0, 0, "AB", 2));
    POINT p{};
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 100 + 2 * tm.tmAveCharWidth);
    EXPECT_EQ(p.y, 200);
    EXPECT_TRUE(TextOutA(dc, 0, 0, "C", 1));
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 100 + 3 * tm.tmAveCharWidth);
    SetTextAlign(dc, TA_NOUPDATECP);
    EXPECT_TRUE(TextOutA(dc, 10, 10, "D", 1));
    GetCurrentPositionEx(dc, &p);
    EXPECT_EQ(p.x, 100 + 3 * tm.tmAveCharWidth);
    EXPECT_GT(EndPage(dc), 0);
    SelectObject(dc, old);
    DeleteObject(font);
}

// The printable area of the test scripts' office printer (A4, 600 dpi, 4.23 mm margins on every
// side, as the scheduler reports them): the sheet exact, the printable corner on a whole device
// unit next to the margin's 99.92, and the area inside the sheet, short of the exact printable
// size by less than two units. Drivers round the edges their own way (Wine's PostScript driver
// truncates each edge of the sheet's ImageableArea in points: 99 left, 100 top).
TEST_F(DeviceContextState, ThePrintableAreaInWholeDeviceUnits) {
    const char* margin = std::getenv("ZV_CONFORMANCE_MARGIN_HMM");
    if (margin == nullptr)
        GTEST_SKIP() << "the printer's margins are not known (set by the scripts' office printer)";
    ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 600);
    const double exact = std::atoi(margin) * 600 / 2540.0;
    const int width = GetDeviceCaps(dc, PHYSICALWIDTH), height = GetDeviceCaps(dc, PHYSICALHEIGHT);
    EXPECT_EQ(width, 4960);
    EXPECT_EQ(height, 7015);
    for (int index : {PHYSICALOFFSETX, PHYSICALOFFSETY}) {
        int offset = GetDeviceCaps(dc, index);
        EXPECT_TRUE(offset == int(std::floor(exact)) || offset == int(std::ceil(exact)))
            << "offset " << offset << " for a margin of " << exact << " units";
    }
    const int horzres = GetDeviceCaps(dc, HORZRES), vertres = GetDeviceCaps(dc, VERTRES);
    EXPECT_LE(GetDeviceCaps(dc, PHYSICALOFFSETX) + horzres, width);
    EXPECT_LE(GetDeviceCaps(dc, PHYSICALOFFSETY) + vertres, height);
    EXPECT_LT(std::fabs(horzres - (width - 2 * exact)), 2.0) << horzres;
    EXPECT_LT(std::fabs(vertres - (height - 2 * exact)), 2.0) << vertres;
}

} // namespace
