#include "platform/portable/gdi32/pdf/pdf_fonts.h"

#include "platform/portable/gdi32/freetype/freetype_fonts.h"

#include <algorithm>
#include <cmath>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H
#include <hb-subset.h>
#include <hb.h>
#include <map>
#include <set>

namespace zvp {

// A font file as the PDF device embeds it: HarfBuzz's face for subsetting, FreeType's for the
// figures of the font descriptor. Kept for the life of the program, as the font engine keeps its
// faces.
struct EmbeddableFace {
    std::string file;
    int index = 0;
    FT_Face ft = nullptr;
    hb_face_t* hb = nullptr;
    int units_per_em = 1000;
    std::string postscript_name;
    std::string problem; // why it cannot be embedded, "" when it can

    EmbeddableFace() = default;
    EmbeddableFace(const EmbeddableFace&) = delete;
    EmbeddableFace& operator=(const EmbeddableFace&) = delete;
    ~EmbeddableFace() {
        if (hb)
            hb_face_destroy(hb);
        if (ft)
            FT_Done_Face(ft);
    }
};

namespace {

// Letters, digits and a few marks pass as they are into a PDF name; anything else is #XX.
std::string pdf_name(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '+') {
            out += static_cast<char>(c);
        } else {
            out += '#';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out.empty() ? "Font" : out;
}

const EmbeddableFace* embeddable_face(const FaceChoice& choice) {
    static std::map<std::pair<std::string, int>, std::unique_ptr<EmbeddableFace>> faces;
    auto key = std::make_pair(choice.file, choice.index);
    auto it = faces.find(key);
    if (it != faces.end())
        return it->second.get();
    auto face = std::make_unique<EmbeddableFace>();
    face->file = choice.file;
    face->index = choice.index;
    // The font goes in as a TrueType font program: it must have TrueType outlines.
    FT_ULong glyf = 0;
    hb_blob_t* blob = hb_blob_create_from_file_or_fail(choice.file.c_str());
    if (!blob)
        face->problem = "its file cannot be read";
    else if (!freetype_library() ||
             FT_New_Face(freetype_library(), choice.file.c_str(), choice.index, &face->ft) != 0)
        face->problem = "FreeType cannot open it";
    else if (!FT_IS_SFNT(face->ft) ||
             FT_Load_Sfnt_Table(face->ft, TTAG_glyf, 0, nullptr, &glyf) != 0 || glyf == 0)
        face->problem = "it is not a TrueType outline font";
    if (face->problem.empty()) {
        face->hb = hb_face_create(blob, static_cast<unsigned>(choice.index));
        face->units_per_em = face->ft->units_per_EM ? face->ft->units_per_EM : 1000;
        const char* name = FT_Get_Postscript_Name(face->ft);
        face->postscript_name = pdf_name(name ? name : choice.family);
    }
    if (blob)
        hb_blob_destroy(blob);
    return (faces[key] = std::move(face)).get();
}

int thousandths(const EmbeddableFace& face, long units) {
    return static_cast<int>(std::lround(units * 1000.0 / face.units_per_em));
}

// Six capital letters that name a subset, from what it holds.
std::string subset_tag(const EmbeddableFace& face, const std::set<unsigned>& glyphs) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](uint64_t v) {
        h ^= v;
        h *= 1099511628211ull;
    };
    for (char c : face.postscript_name)
        mix(static_cast<unsigned char>(c));
    for (unsigned g : glyphs)
        mix(g);
    std::string tag;
    for (int i = 0; i < 6; ++i, h /= 26)
        tag += static_cast<char>('A' + h % 26);
    return tag;
}

// The subset holding `glyphs`, and where each glyph went; the whole font (glyphs in place) when
// HarfBuzz cannot subset it.
struct Subset {
    std::string data;
    std::map<unsigned, unsigned> new_glyph;
};

Subset make_subset(const EmbeddableFace& face, const std::set<unsigned>& glyphs,
                   const std::set<char32_t>& characters) {
    Subset s;
    hb_subset_input_t* input = hb_subset_input_create_or_fail();
    hb_subset_plan_t* plan = nullptr;
    hb_face_t* subset = nullptr;
    if (input) {
        for (unsigned g : glyphs)
            hb_set_add(hb_subset_input_glyph_set(input), g);
        // The characters keep a cmap in the subset: PDF readers do not need it, but some font
        // rasterisers will not load a TrueType font without one.
        for (char32_t c : characters)
            hb_set_add(hb_subset_input_unicode_set(input), c);
        // Printing at 600 dpi needs no hinting, and PDF has no use for the layout tables.
        hb_subset_input_set_flags(input, HB_SUBSET_FLAGS_NO_HINTING);
        hb_set_t* drop = hb_subset_input_set(input, HB_SUBSET_SETS_DROP_TABLE_TAG);
        for (const char* tag : {"GSUB", "GPOS", "GDEF", "BASE", "JSTF", "MATH", "kern", "DSIG",
                                "gasp", "hdmx", "LTSH", "VDMX", "PCLT", "vhea", "vmtx"})
            hb_set_add(drop, hb_tag_from_string(tag, 4));
        plan = hb_subset_plan_create_or_fail(face.hb, input);
    }
    if (plan)
        subset = hb_subset_plan_execute_or_fail(plan);
    if (subset) {
        hb_blob_t* blob = hb_face_reference_blob(subset);
        unsigned length = 0;
        const char* data = hb_blob_get_data(blob, &length);
        s.data.assign(data ? data : "", data ? length : 0);
        hb_blob_destroy(blob);
        const hb_map_t* map = hb_subset_plan_old_to_new_glyph_mapping(plan);
        for (unsigned g : glyphs) {
            hb_codepoint_t n = hb_map_get(map, g);
            s.new_glyph[g] = n == HB_MAP_VALUE_INVALID ? 0 : n;
        }
        hb_face_destroy(subset);
    }
    if (plan)
        hb_subset_plan_destroy(plan);
    if (input)
        hb_subset_input_destroy(input);
    if (s.data.empty()) {
        hb_blob_t* blob = hb_face_reference_blob(face.hb);
        unsigned length = 0;
        const char* data = hb_blob_get_data(blob, &length);
        s.data.assign(data ? data : "", data ? length : 0);
        hb_blob_destroy(blob);
        s.new_glyph.clear();
        for (unsigned g : glyphs)
            s.new_glyph[g] = g;
    }
    return s;
}

void write_descriptor(PdfOutput& out, int number, const EmbeddableFace& face,
                      const std::string& name, int file) {
    FT_Face ft = face.ft;
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
    auto* post = static_cast<TT_Postscript*>(FT_Get_Sfnt_Table(ft, FT_SFNT_POST));
    bool has_os2 = os2 && os2->version != 0xFFFF;
    long cap_height =
        has_os2 && os2->version >= 2 && os2->sCapHeight ? os2->sCapHeight : ft->ascender;
    int weight = has_os2 ? os2->usWeightClass : 400;
    double italic_angle = post ? post->italicAngle / 65536.0 : 0;
    // Symbolic: the glyphs are reached through the CID map, not through a standard encoding.
    int flags = 4 | (FT_IS_FIXED_WIDTH(ft) ? 1 : 0) | (italic_angle != 0 ? 64 : 0);

    std::string& o = out.begin_object(number);
    o += "<< /Type /FontDescriptor /FontName /";
    o += name;
    o += " /Flags ";
    append_int(o, flags);
    o += " /FontBBox [";
    for (long v : {ft->bbox.xMin, ft->bbox.yMin, ft->bbox.xMax}) {
        append_int(o, thousandths(face, v));
        o += ' ';
    }
    append_int(o, thousandths(face, ft->bbox.yMax));
    o += ']';
    o += " /ItalicAngle ";
    append_real(o, italic_angle, 2);
    o += " /Ascent ";
    append_int(o, thousandths(face, ft->ascender));
    o += " /Descent ";
    append_int(o, thousandths(face, ft->descender));
    o += " /CapHeight ";
    append_int(o, thousandths(face, cap_height));
    // The stem width is not in a TrueType font; this is the usual estimate from the weight.
    o += " /StemV ";
    append_int(o, 10 + 220 * (weight - 50) / 900);
    o += " /FontFile2 ";
    append_ref(o, file);
    o += " >>";
    out.end_object();
}

void write_to_unicode(PdfOutput& out, int number, const DocumentFont& font) {
    std::string cmap = "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
                       "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                       "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
                       "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    std::vector<int> bytes;
    for (int b = 0; b < 256; ++b)
        if (font.used[b] && (*font.unicode)[b] > 0 && (*font.unicode)[b] < 0xFFFE)
            bytes.push_back(b);
    char entry[32];
    for (size_t i = 0; i < bytes.size(); i += 100) {
        size_t n = std::min<size_t>(100, bytes.size() - i);
        append_int(cmap, static_cast<long>(n));
        cmap += " beginbfchar\n";
        for (size_t k = i; k < i + n; ++k) {
            std::snprintf(entry, sizeof entry, "<%04X> <%04X>\n", bytes[k],
                          static_cast<unsigned>((*font.unicode)[bytes[k]]));
            cmap += entry;
        }
        cmap += "endbfchar\n";
    }
    cmap += "endcmap\nCMapName currentdict /CMapResource defineresource pop\nend\nend\n";
    out.stream_object(number, "", cmap);
}

// The most common width among the bytes used: the default width, so /W lists only the others.
int default_width(const DocumentFont& font) {
    std::map<int, int> count;
    for (int b = 0; b < 256; ++b)
        if (font.used[b])
            ++count[font.widths[b]];
    int best = font.widths[' '], most = 0;
    for (auto [width, n] : count)
        if (n > most)
            best = width, most = n;
    return best;
}

void write_cid_font(PdfOutput& out, const DocumentFont& font, const std::string& name,
                    int descriptor, const Subset& subset) {
    int cid_font = out.new_object(), cid_map = out.new_object(), to_unicode = out.new_object();

    // CID (the byte) to glyph in the subset, two bytes big-endian per CID.
    std::string map(512, '\0');
    for (int b = 0; b < 256; ++b) {
        if (!font.used[b])
            continue;
        auto it = subset.new_glyph.find(font.glyphs[b]);
        unsigned g = it == subset.new_glyph.end() ? 0 : it->second;
        map[2 * b] = static_cast<char>(g >> 8);
        map[2 * b + 1] = static_cast<char>(g & 0xFF);
    }
    out.stream_object(cid_map, "", map);
    write_to_unicode(out, to_unicode, font);

    int dw = default_width(font);
    std::string& o = out.begin_object(cid_font);
    o += "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /";
    o += name;
    o += " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >>"
         " /FontDescriptor ";
    append_ref(o, descriptor);
    o += " /DW ";
    append_int(o, dw);
    o += " /W [";
    for (int b = 0; b < 256; ++b) {
        if (font.used[b] && font.widths[b] != dw) {
            append_int(o, b);
            o += " [";
            append_int(o, font.widths[b]);
            o += "] ";
        }
    }
    o += "] /CIDToGIDMap ";
    append_ref(o, cid_map);
    o += " >>";
    out.end_object();

    std::string& t = out.begin_object(font.object);
    t += "<< /Type /Font /Subtype /Type0 /BaseFont /";
    t += name;
    t += " /Encoding /Identity-H /DescendantFonts [";
    append_ref(t, cid_font);
    t += "] /ToUnicode ";
    append_ref(t, to_unicode);
    t += " >>";
    out.end_object();
}

} // namespace

PdfFonts::PdfFonts() = default;
PdfFonts::~PdfFonts() = default;

void PdfFonts::clear() {
    fonts_.clear();
    last_ = nullptr;
}

DocumentFont* PdfFonts::find(PdfOutput& out, const FreeTypeFont& font, std::string& why) {
    const FaceChoice& choice = font.face();
    if (last_ && last_->code_page == font.code_page() && last_->face->file == choice.file &&
        last_->face->index == choice.index)
        return last_;
    for (auto& f : fonts_)
        if (f->code_page == font.code_page() && f->face->file == choice.file &&
            f->face->index == choice.index)
            return last_ = f.get();
    const EmbeddableFace* face = embeddable_face(choice);
    if (!face->problem.empty()) {
        why = "cannot embed the font \"" + choice.family + " " + choice.style + "\" (" +
              choice.file + "): " + face->problem;
        return nullptr;
    }
    auto f = std::make_unique<DocumentFont>();
    f->resource = static_cast<int>(fonts_.size() + 1);
    f->object = out.new_object();
    f->face = face;
    f->code_page = font.code_page();
    f->glyphs = font.glyphs();
    f->unicode = &font.unicode();
    for (int b = 0; b < 256; ++b) {
        FT_Fixed advance = 0;
        FT_Get_Advance(face->ft, f->glyphs[b], FT_LOAD_NO_SCALE, &advance);
        f->widths[b] = thousandths(*face, advance);
    }
    fonts_.push_back(std::move(f));
    return last_ = fonts_.back().get();
}

void PdfFonts::write(PdfOutput& out, int resources) {
    std::vector<const EmbeddableFace*> faces;
    for (auto& f : fonts_)
        if (std::find(faces.begin(), faces.end(), f->face) == faces.end())
            faces.push_back(f->face);
    for (const EmbeddableFace* face : faces) {
        std::set<unsigned> glyphs{0};
        std::set<char32_t> characters;
        for (auto& f : fonts_) {
            if (f->face != face)
                continue;
            for (int b = 0; b < 256; ++b) {
                if (f->used[b]) {
                    glyphs.insert(f->glyphs[b]);
                    if ((*f->unicode)[b] >= 0x20)
                        characters.insert((*f->unicode)[b]);
                }
            }
        }
        Subset subset = make_subset(*face, glyphs, characters);
        std::string name = subset_tag(*face, glyphs) + "+" + face->postscript_name;
        int file = out.new_object(), descriptor = out.new_object();
        std::string extra = " /Length1 " + std::to_string(subset.data.size());
        out.stream_object(file, extra, subset.data);
        write_descriptor(out, descriptor, *face, name, file);
        for (auto& f : fonts_)
            if (f->face == face)
                write_cid_font(out, *f, name, descriptor, subset);
    }

    std::string& o = out.begin_object(resources);
    o += "<< /ProcSet [/PDF /Text] /Font <<";
    for (auto& f : fonts_) {
        o += " /F";
        append_int(o, f->resource);
        o += ' ';
        append_ref(o, f->object);
    }
    o += " >> >>";
    out.end_object();
}

} // namespace zvp
