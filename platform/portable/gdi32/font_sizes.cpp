// The size arithmetic every font engine shares.
#include "platform/portable/gdi32/font_engine.h"

#include <algorithm>
#include <cmath>

namespace zvp {

int scale_font_units(long units, int ppem, int units_per_em) {
    double v = double(units) * ppem / units_per_em;
    return static_cast<int>(std::lround(v));
}

int em_pixels_for_height(int height, int units_per_em, int cell_units, int dpi) {
    if (height < 0)
        return -height;
    if (height == 0)
        return std::max(1, static_cast<int>(std::lround(12.0 * dpi / 72)));
    return std::max(1, static_cast<int>(std::lround(double(height) * units_per_em / cell_units)));
}

} // namespace zvp
