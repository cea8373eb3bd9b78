#include "platform/portable/gdi32/device.h"
#include "platform/portable/gdi32/printer_device.h"

#include <cmath>

namespace zvp {

PageSetup a4_page(int dpi) {
    PageSetup p;
    p.dpi = dpi;
    return p;
}

PageSetup letter_page(int dpi) {
    PageSetup p;
    p.width_mm = 215.9;
    p.height_mm = 279.4;
    p.dpi = dpi;
    return p;
}

namespace {

// Whole device units, truncated as printer drivers give them (A4 at 600 dpi is 4960 x 7015); the
// tolerance keeps exact sizes such as Letter's 5100 from falling a unit short.
int pixels(double mm, int dpi) {
    return static_cast<int>(std::floor(mm * dpi / 25.4 + 1e-6));
}

} // namespace

DeviceCaps printer_caps(const PageSetup& p) {
    DeviceCaps c;
    c.physical_width = pixels(p.width_mm, p.dpi);
    c.physical_height = pixels(p.height_mm, p.dpi);
    c.physical_offset_x = pixels(p.margin_left_mm, p.dpi);
    c.physical_offset_y = pixels(p.margin_top_mm, p.dpi);
    c.horzres = pixels(p.width_mm - p.margin_left_mm - p.margin_right_mm, p.dpi);
    c.vertres = pixels(p.height_mm - p.margin_top_mm - p.margin_bottom_mm, p.dpi);
    c.horzsize = static_cast<int>(c.horzres * 25.4 / p.dpi);
    c.vertsize = static_cast<int>(c.vertres * 25.4 / p.dpi);
    c.logpixelsx = c.logpixelsy = p.dpi;
    c.printer = true;
    return c;
}

} // namespace zvp
