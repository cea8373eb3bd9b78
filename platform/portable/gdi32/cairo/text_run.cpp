#include "platform/portable/gdi32/cairo/text_run.h"

#include "platform/portable/gdi32/cairo/freetype_fonts.h"

#include <string>
#include <vector>

namespace zvp {

namespace {

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
    int top = run.y, bottom = run.y + m.ascent + m.descent;
    if (run.count == 0 || bottom < 0 || top > height)
        return;
    int first = 0, last = run.count; // the glyphs [first, last) that can show
    while (first < run.count && run.char_x[first + 1] <= 0)
        ++first;
    while (last > first && run.char_x[last - 1] >= width)
        --last;
    if (first >= last)
        return;
    int left = run.char_x[first], right = run.char_x[last];

    if (run.opaque) {
        set_color(cr, run.bk_color);
        cairo_rectangle(cr, left, top, right - left, bottom - top);
        cairo_fill(cr);
    }
    set_color(cr, run.text_color);
    if (font && font->cairo_face()) {
        cairo_set_font_face(cr, font->cairo_face());
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
    if (run.font->lfStrikeOut) {
        cairo_rectangle(cr, left, run.baseline + m.strikeout_offset, right - left,
                        m.strikeout_thickness);
        cairo_fill(cr);
    }
}

} // namespace zvp
