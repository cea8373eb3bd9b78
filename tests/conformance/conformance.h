// The conformance tests: the Win32 behaviour the application relies on, written once and built
// twice, against the portable layer on Linux and against the real GDI32 and WINSPOOL with MinGW
// (run under Wine). A difference between the two is a fault of the portable layer, unless Wine is
// known to differ from Windows there: such a check is marked with broken_under_wine().
#pragma once

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace conformance {

// Whether the test runs on Wine, whose behaviour differs from Windows's in a few known places.
bool running_under_wine();

// A fixture with a device context for the default printer, a document started on it.
class OnDefaultPrinter : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    HDC dc = NULL;
};

// The font the application makes for a pitch (0..3), FontSet style bits (8 bold, 4 underline) and
// character set, with its font factory.
HFONT printer_font(HDC dc, int pitch, int style_bits, BYTE charset);

} // namespace conformance
