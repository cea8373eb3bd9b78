// Face matching follows the platform's font mapper as far as zvspool needs it: the family name
// first (through fontconfig's aliases, so "Courier New" is Liberation Mono), then the face's full
// name ("Courier New Bold" is the bold face of that family), and the character set above both: a
// face that cannot show the code page is passed over for one that can.
#include "platform/portable/gdi32/freetype/freetype_fonts.h"

#include "platform/portable/gdi32/codepages.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <map>
#include <set>
#include <tuple>
#include <vector>

namespace zvp {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct PatternDeleter {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FontSetDeleter {
    void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;
using FontSetPtr = std::unique_ptr<FcFontSet, FontSetDeleter>;

std::string get_string(const FcPattern* p, const char* object, int n = 0) {
    FcChar8* value = nullptr;
    if (FcPatternGetString(p, object, n, &value) != FcResultMatch || !value)
        return {};
    return reinterpret_cast<const char*>(value);
}

std::vector<std::string> substituted_families(const std::string& family) {
    PatternPtr p(FcPatternCreate());
    FcPatternAddString(p.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcConfigSubstitute(nullptr, p.get(), FcMatchPattern);
    std::vector<std::string> out;
    for (int i = 0;; ++i) {
        std::string f = get_string(p.get(), FC_FAMILY, i);
        if (f.empty())
            break;
        out.push_back(f);
    }
    return out;
}

// The families that stand for `family` itself: the name and its configured aliases, without the
// generic fallbacks that fontconfig adds to every request.
std::vector<std::string> families_for(const std::string& family) {
    static std::set<std::string> generic = [] {
        std::set<std::string> g;
        for (const auto& f : substituted_families("zvspool-no-such-family"))
            g.insert(lower(f));
        for (const char* f : {"monospace", "sans-serif", "serif", "sans", "mono", "cursive",
                              "fantasy", "system-ui", "emoji", "math"})
            g.insert(f);
        return g;
    }();
    std::vector<std::string> out;
    for (const auto& f : substituted_families(family))
        if (lower(f) == lower(family) || !generic.count(lower(f)))
            out.push_back(f);
    return out;
}

const FcObjectSet* listed_objects() {
    static FcObjectSet* os =
        FcObjectSetBuild(FC_FAMILY, FC_STYLE, FC_FULLNAME, FC_WEIGHT, FC_SLANT, FC_FILE, FC_INDEX,
                         FC_CHARSET, FC_OUTLINE, FC_FONTFORMAT, nullptr);
    return os;
}

FontSetPtr faces_of_family(const std::string& family) {
    PatternPtr p(FcPatternCreate());
    FcPatternAddString(p.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    return FontSetPtr(FcFontList(nullptr, p.get(), const_cast<FcObjectSet*>(listed_objects())));
}

FcFontSet* all_faces() {
    static FcFontSet* all = [] {
        PatternPtr p(FcPatternCreate());
        return FcFontList(nullptr, p.get(), const_cast<FcObjectSet*>(listed_objects()));
    }();
    return all;
}

// Only TrueType outline faces (".ttf", ".ttc" and OpenType with TrueType outlines) are taken:
// the printers embed them as TrueType fonts, and a bitmap or Type 1 face of the same name would
// measure as one and print nothing.
bool outline_face(const FcPattern* face) {
    FcBool outline = FcFalse;
    return FcPatternGetBool(face, FC_OUTLINE, 0, &outline) == FcResultMatch && outline &&
           get_string(face, FC_FONTFORMAT) == "TrueType";
}

bool covers_code_page(const FcPattern* face, int code_page) {
    if (!outline_face(face))
        return false;
    FcCharSet* cs = nullptr;
    if (FcPatternGetCharSet(face, FC_CHARSET, 0, &cs) != FcResultMatch || !cs)
        return false;
    // The letters of every single-byte code page the system uses sit in 0xC0..0xFF.
    const auto& table = code_page_table(code_page);
    for (int b = 0xC0; b < 0x100; ++b)
        if (!FcCharSetHasChar(cs, table[b]))
            return false;
    return true;
}

int opentype_weight(const FcPattern* face) {
    double w = FC_WEIGHT_REGULAR;
    FcPatternGetDouble(face, FC_WEIGHT, 0, &w);
    int i = 0;
    if (FcPatternGetInteger(face, FC_WEIGHT, 0, &i) == FcResultMatch)
        w = i;
    return static_cast<int>(FcWeightToOpenTypeDouble(w));
}

bool is_italic(const FcPattern* face) {
    int slant = FC_SLANT_ROMAN;
    FcPatternGetInteger(face, FC_SLANT, 0, &slant);
    return slant != FC_SLANT_ROMAN;
}

FaceChoice make_choice(const FcPattern* face, const LOGFONTA& lf) {
    FaceChoice c;
    c.file = get_string(face, FC_FILE);
    FcPatternGetInteger(face, FC_INDEX, 0, &c.index);
    c.family = get_string(face, FC_FAMILY);
    c.style = get_string(face, FC_STYLE);
    int requested = lf.lfWeight ? lf.lfWeight : FW_NORMAL;
    // Emboldening is done only when the request asks for more than the face has.
    c.synthetic_bold = requested > 550 && opentype_weight(face) < 600;
    return c;
}

// The face of a family that best fits the weight and slant of the request.
const FcPattern* best_style(const FcFontSet* set, const LOGFONTA& lf, int code_page) {
    const FcPattern* best = nullptr;
    int best_score = 0;
    int requested = lf.lfWeight ? lf.lfWeight : FW_NORMAL;
    for (int i = 0; i < set->nfont; ++i) {
        const FcPattern* f = set->fonts[i];
        if (!covers_code_page(f, code_page))
            continue;
        // Lighter wins a tie, as 500 picks the regular face rather than the bold one.
        int w = opentype_weight(f);
        int score = std::abs(w - requested) * 2 + (w > requested ? 1 : 0) +
                    (is_italic(f) != (lf.lfItalic != 0) ? 10000 : 0);
        if (!best || score < best_score) {
            best = f;
            best_score = score;
        }
    }
    return best;
}

bool by_family(const LOGFONTA& lf, int code_page, FaceChoice& out) {
    for (const auto& family : families_for(lf.lfFaceName)) {
        FontSetPtr set = faces_of_family(family);
        if (!set)
            continue;
        if (const FcPattern* f = best_style(set.get(), lf, code_page)) {
            out = make_choice(f, lf);
            return true;
        }
    }
    return false;
}

bool by_full_name(const LOGFONTA& lf, int code_page, FaceChoice& out) {
    std::string wanted = lower(lf.lfFaceName);
    FcFontSet* all = all_faces();
    for (int i = 0; all && i < all->nfont; ++i) {
        for (int n = 0;; ++n) {
            std::string full = get_string(all->fonts[i], FC_FULLNAME, n);
            if (full.empty())
                break;
            if (lower(full) == wanted && covers_code_page(all->fonts[i], code_page)) {
                out = make_choice(all->fonts[i], lf);
                return true;
            }
        }
    }
    // A full name is "<family> <style>"; the family may be an alias of an installed one.
    for (size_t cut = wanted.rfind(' '); cut != std::string::npos && cut > 0;
         cut = wanted.rfind(' ', cut - 1)) {
        std::string family(lf.lfFaceName, cut);
        std::string style = wanted.substr(cut + 1);
        for (const auto& f : families_for(family)) {
            FontSetPtr set = faces_of_family(f);
            for (int i = 0; set && i < set->nfont; ++i) {
                const FcPattern* face = set->fonts[i];
                if (lower(get_string(face, FC_STYLE)) == style &&
                    covers_code_page(face, code_page)) {
                    out = make_choice(face, lf);
                    return true;
                }
            }
        }
        if (cut == 0)
            break;
    }
    return false;
}

FaceChoice by_fallback(const LOGFONTA& lf, int code_page) {
    PatternPtr p(FcPatternCreate());
    bool fixed = (lf.lfPitchAndFamily & 3) == FIXED_PITCH;
    FcPatternAddString(p.get(), FC_FAMILY,
                       reinterpret_cast<const FcChar8*>(fixed ? "monospace" : "sans-serif"));
    FcConfigSubstitute(nullptr, p.get(), FcMatchPattern);
    FcDefaultSubstitute(p.get());
    FcResult result;
    FontSetPtr sorted(FcFontSort(nullptr, p.get(), FcFalse, nullptr, &result));
    for (int i = 0; sorted && i < sorted->nfont; ++i)
        if (covers_code_page(sorted->fonts[i], code_page))
            return make_choice(sorted->fonts[i], lf);
    for (int i = 0; sorted && i < sorted->nfont; ++i)
        if (outline_face(sorted->fonts[i]))
            return make_choice(sorted->fonts[i], lf);
    return FaceChoice{};
}

// Faces for measuring, one per file and index; the back ends that draw open faces of their own
// (they set their size while drawing).
FT_Face metrics_face(const FaceChoice& c) {
    static std::map<std::pair<std::string, int>, FT_Face> faces;
    auto key = std::make_pair(c.file, c.index);
    auto it = faces.find(key);
    if (it != faces.end())
        return it->second;
    FT_Face face = nullptr;
    if (FT_New_Face(freetype_library(), c.file.c_str(), c.index, &face) != 0)
        face = nullptr;
    return faces[key] = face;
}

struct TableMetrics {
    int units_per_em = 2048;
    long win_ascent = 0, win_descent = 0;
    long ave_width = 0;
    long x_min = 0, x_max = 0;
    long underline_position = 0, underline_thickness = 0;
    long strikeout_position = 0, strikeout_size = 0;
};

TableMetrics table_metrics(FT_Face face) {
    TableMetrics t;
    t.units_per_em = face->units_per_EM ? face->units_per_EM : 2048;
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    auto* head = static_cast<TT_Header*>(FT_Get_Sfnt_Table(face, FT_SFNT_HEAD));
    auto* post = static_cast<TT_Postscript*>(FT_Get_Sfnt_Table(face, FT_SFNT_POST));
    if (os2 && os2->version != 0xFFFF) {
        t.win_ascent = os2->usWinAscent;
        t.win_descent = os2->usWinDescent;
        t.ave_width = os2->xAvgCharWidth;
        t.strikeout_position = os2->yStrikeoutPosition;
        t.strikeout_size = os2->yStrikeoutSize;
    }
    if (t.win_ascent + t.win_descent == 0) {
        t.win_ascent = face->ascender;
        t.win_descent = -face->descender;
    }
    if (t.ave_width == 0)
        t.ave_width = face->max_advance_width;
    if (head) {
        t.x_min = head->xMin;
        t.x_max = head->xMax;
    } else {
        t.x_min = face->bbox.xMin;
        t.x_max = face->bbox.xMax;
    }
    t.underline_position = post ? post->underlinePosition : face->underline_position;
    t.underline_thickness = post ? post->underlineThickness : face->underline_thickness;
    return t;
}

class FreeTypeFontImpl : public FreeTypeFont {
  public:
    FreeTypeFontImpl(const FaceChoice& choice, FT_Face face, const TableMetrics& t, int code_page,
                     int ppem, int width, int weight) {
        face_ = choice;
        ppem_ = ppem;
        unicode_ = &code_page_table(code_page);
        code_page_ = code_page;
        auto S = [&](long v) { return scale_font_units(v, ppem, t.units_per_em); };
        int natural = std::max(1, S(t.ave_width));
        x_scale_ = width > 0 ? double(width) / natural : 1.0;

        FT_Set_Pixel_Sizes(face, 0, ppem);
        for (int b = 0; b < 256; ++b) {
            glyphs_[b] = FT_Get_Char_Index(face, (*unicode_)[b]);
            long advance26 = 0;
            if (FT_Load_Glyph(face, glyphs_[b], FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) == 0)
                advance26 = face->glyph->advance.x;
            // Hinted advances are whole pixels; a condensed font rounds each one up.
            advances_[b] =
                width > 0
                    ? static_cast<int>((advance26 * width + natural * 64 - 1) / (natural * 64))
                    : static_cast<int>((advance26 + 32) / 64);
        }
        FontMetrics& m = metrics_;
        m.ascent = S(t.win_ascent);
        m.descent = S(t.win_descent);
        m.internal_leading = S(t.win_ascent + t.win_descent - t.units_per_em);
        m.ave_char_width = width > 0 ? width : natural;
        m.max_char_width = static_cast<int>(std::lround(S(t.x_max - t.x_min) * x_scale_));
        m.underline_thickness = std::max(1, S(t.underline_thickness));
        m.underline_offset = -S(t.underline_position) - m.underline_thickness / 2;
        m.strikeout_thickness = std::max(1, S(t.strikeout_size));
        m.strikeout_offset = -S(t.strikeout_position) - m.strikeout_thickness / 2;
        m.weight = weight;
    }
};

class FreeTypeFontEngine : public FontEngine {
  public:
    std::shared_ptr<const RealizedFont> realize(const LOGFONTA& lf, int height, int width,
                                                int dpi) override {
        int code_page = code_page_for_charset(lf.lfCharSet);
        // A job switches fonts every few characters (bold, underline): the same request must not
        // go back to fontconfig and the font's tables each time.
        auto request = std::make_tuple(lower(lf.lfFaceName), int(lf.lfWeight), lf.lfItalic != 0,
                                       code_page, lf.lfPitchAndFamily & 3, height, width, dpi);
        auto& known = requests_[request];
        if (!known)
            known = realize_new(lf, code_page, height, width, dpi);
        return known;
    }

  private:
    std::shared_ptr<const RealizedFont> realize_new(const LOGFONTA& lf, int code_page, int height,
                                                    int width, int dpi) {
        const FaceChoice& choice = resolve(lf, code_page);
        FT_Face face = choice.file.empty() ? nullptr : metrics_face(choice);
        if (!face)
            return fixed_font_engine().realize(lf, height, width, dpi);
        TableMetrics t = table_metrics(face);
        int ppem = em_pixels_for_height(height, t.units_per_em,
                                        static_cast<int>(t.win_ascent + t.win_descent), dpi);
        // GDI reports the weight of the face it chose, and a bold one when it emboldens.
        auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        int weight =
            os2 && os2->version != 0xFFFF && os2->usWeightClass ? os2->usWeightClass : FW_NORMAL;
        if (choice.synthetic_bold)
            weight = FW_BOLD;
        auto key = std::make_tuple(choice.file, choice.index, choice.synthetic_bold, code_page,
                                   ppem, width, weight);
        auto& slot = realized_[key];
        if (!slot)
            slot =
                std::make_shared<FreeTypeFontImpl>(choice, face, t, code_page, ppem, width, weight);
        return slot;
    }

    const FaceChoice& resolve(const LOGFONTA& lf, int code_page) {
        auto key = std::make_tuple(lower(lf.lfFaceName), int(lf.lfWeight), lf.lfItalic != 0,
                                   code_page, lf.lfPitchAndFamily & 3);
        auto it = choices_.find(key);
        if (it == choices_.end())
            it = choices_.emplace(key, choose_face(lf)).first;
        return it->second;
    }

    std::map<std::tuple<std::string, int, bool, int, int>, FaceChoice> choices_;
    std::map<std::tuple<std::string, int, bool, int, int, int, int, int>,
             std::shared_ptr<const RealizedFont>>
        requests_;
    std::map<std::tuple<std::string, int, bool, int, int, int, int>,
             std::shared_ptr<const RealizedFont>>
        realized_;
};

} // namespace

FaceChoice choose_face(const LOGFONTA& lf) {
    FcInit();
    int code_page = code_page_for_charset(lf.lfCharSet);
    FaceChoice c;
    if (lf.lfFaceName[0] && (by_family(lf, code_page, c) || by_full_name(lf, code_page, c)))
        return c;
    return by_fallback(lf, code_page);
}

double synthetic_bold_strength(int ppem) {
    // FT_GlyphSlot_Embolden: a 24th of the em, on the outline as a whole.
    return ppem / 24.0;
}

FontEngine& freetype_font_engine() {
    static FreeTypeFontEngine engine;
    return engine;
}

FT_Library freetype_library() {
    static FT_Library lib = [] {
        FT_Library l = nullptr;
        FT_Init_FreeType(&l);
        return l;
    }();
    return lib;
}

} // namespace zvp
