// Real fonts: LOGFONTA requests matched against the installed faces with fontconfig, measured with
// FreeType, and handed to Cairo for drawing.
#pragma once

#include "platform/portable/gdi32/font_engine.h"

#include <array>
#include <string>

typedef struct _cairo_font_face cairo_font_face_t;

namespace zvp {

// The face a LOGFONTA request resolves to.
struct FaceChoice {
    std::string file;
    int index = 0;
    std::string family;
    std::string style;
    bool synthetic_bold = false;
    bool synthetic_italic = false;
};

FaceChoice choose_face(const LOGFONTA& font);

class FreeTypeFont : public RealizedFont {
  public:
    const std::array<unsigned, 256>& glyphs() const { return glyphs_; }
    const std::array<char32_t, 256>& unicode() const { return *unicode_; }
    cairo_font_face_t* cairo_face() const { return cairo_face_; }
    // Horizontal scale of the outlines: requested width over natural average width.
    double x_scale() const { return x_scale_; }
    const FaceChoice& face() const { return face_; }

  protected:
    std::array<unsigned, 256> glyphs_{};
    const std::array<char32_t, 256>* unicode_ = nullptr;
    cairo_font_face_t* cairo_face_ = nullptr;
    double x_scale_ = 1;
    FaceChoice face_;
};

FontEngine& freetype_font_engine();

} // namespace zvp
