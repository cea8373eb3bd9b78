// Real fonts: LOGFONTA requests matched against the installed faces with fontconfig and measured
// with FreeType. The back ends that draw (Cairo, PDF) take the face from the realised font.
#pragma once

#include "platform/portable/gdi32/font_engine.h"

#include <array>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <string>

namespace zvp {

// The face a LOGFONTA request resolves to.
struct FaceChoice {
    std::string file;
    int index = 0;
    std::string family;
    std::string style;
    bool synthetic_bold = false;
};

// How much a synthetic bold thickens the outlines, in pixels at `ppem`: FreeType's emboldening,
// which is what GDI's looks like.
double synthetic_bold_strength(int ppem);

FaceChoice choose_face(const LOGFONTA& font);

// The program's one FreeType library (nullptr if FreeType cannot start).
FT_Library freetype_library();

class FreeTypeFont : public RealizedFont {
  public:
    // The glyph index in the face, and the character, of every byte of the code page.
    const std::array<unsigned, 256>& glyphs() const { return glyphs_; }
    const std::array<char32_t, 256>& unicode() const { return *unicode_; }
    int code_page() const { return code_page_; }
    // Horizontal scale of the outlines: requested width over natural average width.
    double x_scale() const { return x_scale_; }
    const FaceChoice& face() const { return face_; }

  protected:
    std::array<unsigned, 256> glyphs_{};
    const std::array<char32_t, 256>* unicode_ = nullptr;
    int code_page_ = 0;
    double x_scale_ = 1;
    FaceChoice face_;
};

FontEngine& freetype_font_engine();

} // namespace zvp
