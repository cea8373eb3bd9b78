// The fixed font model: Courier New's proportions without a font file, for devices that draw
// nothing (a window with no display) and for the in-memory printer.
#include "platform/portable/gdi32/font_engine.h"

#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

namespace zvp {

namespace {

// Courier New's proportions, in its own 2048 units per em.
constexpr int kUnitsPerEm = 2048;
constexpr int kAdvance = 1229;
constexpr int kAscent = 1705;
constexpr int kDescent = 615;
constexpr int kUnderlinePosition = -233;
constexpr int kUnderlineThickness = 100;
constexpr int kStrikeoutPosition = 528;
constexpr int kStrikeoutSize = 100;

// Whether the face a full name ("Courier New Bold") or a heavy request would choose is bold.
bool bold(const LOGFONTA& lf) {
    size_t length = std::strlen(lf.lfFaceName);
    return lf.lfWeight > 550 ||
           (length >= 5 && std::strcmp(lf.lfFaceName + length - 5, " Bold") == 0);
}

class FixedFont : public RealizedFont {
  public:
    FixedFont(const LOGFONTA& lf, int ppem, int width) {
        ppem_ = ppem;
        int natural = std::max(1, scale_font_units(kAdvance, ppem, kUnitsPerEm));
        // Advances are scaled by lfWidth / natural average width and rounded up.
        int advance = width > 0 ? (natural * width + natural - 1) / natural : natural;
        advances_.fill(advance);
        FontMetrics& m = metrics_;
        m.ascent = scale_font_units(kAscent, ppem, kUnitsPerEm);
        m.descent = scale_font_units(kDescent, ppem, kUnitsPerEm);
        m.internal_leading = scale_font_units(kAscent + kDescent - kUnitsPerEm, ppem, kUnitsPerEm);
        m.ave_char_width = width > 0 ? width : natural;
        m.max_char_width = advance;
        int thickness = std::max(1, scale_font_units(kUnderlineThickness, ppem, kUnitsPerEm));
        m.underline_thickness = thickness;
        m.underline_offset =
            -scale_font_units(kUnderlinePosition, ppem, kUnitsPerEm) - thickness / 2;
        m.strikeout_thickness = std::max(1, scale_font_units(kStrikeoutSize, ppem, kUnitsPerEm));
        m.strikeout_offset = -scale_font_units(kStrikeoutPosition, ppem, kUnitsPerEm);
        m.weight = bold(lf) ? FW_BOLD : FW_NORMAL;
    }
};

class FixedFontEngine : public FontEngine {
  public:
    std::shared_ptr<const RealizedFont> realize(const LOGFONTA& lf, int height, int width,
                                                int dpi) override {
        int ppem = em_pixels_for_height(height, kUnitsPerEm, kAscent + kDescent, dpi);
        auto key = std::make_tuple(ppem, width, bold(lf));
        auto& slot = cache_[key];
        if (!slot)
            slot = std::make_shared<FixedFont>(lf, ppem, width);
        return slot;
    }

  private:
    std::map<std::tuple<int, int, bool>, std::shared_ptr<const RealizedFont>> cache_;
};

} // namespace

FontEngine& fixed_font_engine() {
    static FixedFontEngine engine;
    return engine;
}

} // namespace zvp
