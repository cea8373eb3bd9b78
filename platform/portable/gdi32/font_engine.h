// Fonts as a device sees them: a LOGFONTA realised at a pixel size, with the metrics
// GetTextMetricsA reports and the integer advance of every byte of the font's code page.
#pragma once

#include "platform/portable/include/windows.h"

#include <array>
#include <memory>

namespace zvp {

struct FontMetrics {
    int ascent = 0;
    int descent = 0;
    int internal_leading = 0;
    int ave_char_width = 1;
    int max_char_width = 1;
    // Underline and strikeout bars: top edge measured from the baseline (positive = below), and
    // thickness, both in device pixels.
    int underline_offset = 0;
    int underline_thickness = 1;
    int strikeout_offset = 0;
    int strikeout_thickness = 1;
    int weight = FW_NORMAL;
    bool truetype = true;
};

class RealizedFont {
  public:
    virtual ~RealizedFont() = default;
    const FontMetrics& metrics() const { return metrics_; }
    // Advance of one byte in device pixels, after the horizontal scaling that lfWidth asks for.
    int advance(unsigned char byte) const { return advances_[byte]; }
    int ppem() const { return ppem_; }

  protected:
    FontMetrics metrics_;
    std::array<int, 256> advances_{};
    int ppem_ = 0;
};

class FontEngine {
  public:
    virtual ~FontEngine() = default;
    // `height` is lfHeight and `width` lfWidth, both converted to device pixels with their signs
    // kept (negative height = em height, positive = cell height, 0 = 12 points at `dpi`).
    virtual std::shared_ptr<const RealizedFont> realize(const LOGFONTA& font, int height, int width,
                                                        int dpi) = 0;
};

// A font model that does not depend on installed fonts: the proportions of Courier New (every
// glyph 1229/2048 em wide, ascent 1705, descent 615), used by the in-memory printer so that what
// tests record is the same on every machine.
FontEngine& fixed_font_engine();

// Pixels per em for a LOGFONTA height already in device units: negative = em height, positive =
// cell height (ascent + descent of `cell_units` in a `units_per_em` em), zero = 12 points at `dpi`.
int em_pixels_for_height(int height, int units_per_em, int cell_units, int dpi);

// Font units scaled to pixels and rounded to nearest, as the TrueType rasteriser reports metrics.
int scale_font_units(long units, int ppem, int units_per_em);

} // namespace zvp
