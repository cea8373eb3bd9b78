#include "platform/portable/gdi32/cairo/text_run.h"

#include "platform/portable/gdi32/freetype/freetype_fonts.h"

#include <cairo-ft.h>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace zvp {

namespace {

// Cairo's faces, one per face file and style synthesis, kept for the life of the program as the
// font engine keeps its own. Cairo gets faces of its own: it sets their size while drawing.
cairo_font_face_t* cairo_face_for(const FaceChoice& c) {
    FT_Library library = freetype_library();
    static std::map<std::tuple<std::string, int, bool>, cairo_font_face_t*> faces;
    auto key = std::make_tuple(c.file, c.index, c.synthetic_bold);
    auto it = faces.find(key);
    if (it != faces.end())
        return it->second;
    FT_Face face = nullptr;
    if (!library || FT_New_Face(library, c.file.c_str(), c.index, &face) != 0)
        return faces[key] = nullptr;
    cairo_font_face_t* cf = cairo_ft_font_face_create_for_ft_face(face, FT_LOAD_NO_HINTING);
    static const cairo_user_data_key_t key_face{};
    cairo_font_face_set_user_data(cf, &key_face, face,
                                  [](void* f) { FT_Done_Face(static_cast<FT_Face>(f)); });
    if (c.synthetic_bold)
        cairo_ft_font_face_set_synthesize(cf, CAIRO_FT_SYNTHESIZE_BOLD);
    return faces[key] = cf;
}

void set_color(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0,
                         ((c >> 16) & 0xFF) / 255.0);
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

void draw_text_run(cairo_t* cr, const TextRun& run, int width, int height) {
    const auto* font = dynamic_cast<const FreeTypeFont*>(run.realized);
    const FontMetrics& m = run.realized->metrics();
    GlyphSpan span = visible_glyphs(run, width, height);
    if (span.first >= span.last)
        return;
    int first = span.first, last = span.last;
    int top = run.y, bottom = run.y + m.ascent + m.descent;
    int left = run.char_x[first], right = run.char_x[last];
    cairo_font_face_t* face = font ? cairo_face_for(font->face()) : nullptr;

    if (run.opaque) {
        set_color(cr, run.bk_color);
        cairo_rectangle(cr, left, top, right - left, bottom - top);
        cairo_fill(cr);
    }
    set_color(cr, run.text_color);
    if (face) {
        cairo_set_font_face(cr, face);
        cairo_matrix_t matrix;
        cairo_matrix_init_scale(&matrix, font->ppem() * font->x_scale(), font->ppem());
        cairo_set_font_matrix(cr, &matrix);

        std::vector<cairo_glyph_t> glyphs;
        std::vector<cairo_text_cluster_t> clusters;
        std::string utf8;
        glyphs.reserve(last - first);
        clusters.reserve(last - first);
        for (int i = first; i < last; ++i) {
            auto byte = static_cast<unsigned char>(run.bytes[i]);
            glyphs.push_back(
                cairo_glyph_t{font->glyphs()[byte], double(run.char_x[i]), double(run.baseline)});
            size_t before = utf8.size();
            append_utf8(utf8, font->unicode()[byte]);
            clusters.push_back(cairo_text_cluster_t{int(utf8.size() - before), 1});
        }
        cairo_show_text_glyphs(cr, utf8.data(), int(utf8.size()), glyphs.data(), int(glyphs.size()),
                               clusters.data(), int(clusters.size()),
                               cairo_text_cluster_flags_t(0));
    }
    if (run.font->lfUnderline) {
        cairo_rectangle(cr, left, run.baseline + m.underline_offset, right - left,
                        m.underline_thickness);
        cairo_fill(cr);
    }
}

} // namespace zvp
