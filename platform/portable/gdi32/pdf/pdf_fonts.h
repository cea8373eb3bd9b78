// The fonts of one PDF document. Every face used is embedded once, at the end of the document, as
// a TrueType subset of the glyphs the document drew (HarfBuzz's subsetter). Each face and code page
// pair is a Type0 font whose character codes are the code page's bytes as two-byte codes
// (Identity-H, CID = byte); its ToUnicode map comes from the code page, so readers get the
// Polish and Russian letters back.
#pragma once

#include "platform/portable/gdi32/pdf/pdf_output.h"

#include <array>
#include <bitset>
#include <memory>
#include <string>
#include <vector>

namespace zvp {

class FreeTypeFont;
struct EmbeddableFace;

struct DocumentFont {
    int resource = 0; // the font is /F<resource> in the pages' resources
    int object = 0;   // its Type0 dictionary
    const EmbeddableFace* face = nullptr;
    int code_page = 0;
    std::array<unsigned, 256> glyphs{};            // glyph of every byte in the whole face
    std::array<int, 256> widths{};                 // advance of every byte, thousandths of an em
    const std::array<char32_t, 256>* unicode = {}; // character of every byte
    std::bitset<256> used;
};

class PdfFonts {
  public:
    PdfFonts();
    ~PdfFonts();

    // The document's font for `font`, made on first use; nullptr, and `why`, for a face that
    // cannot be embedded (its file unreadable, or not a TrueType outline font).
    DocumentFont* find(PdfOutput& out, const FreeTypeFont& font, std::string& why);
    // Writes every font the document used, and the resource dictionary `resources` naming them.
    void write(PdfOutput& out, int resources);
    void clear();

  private:
    std::vector<std::unique_ptr<DocumentFont>> fonts_;
    DocumentFont* last_ = nullptr;
};

} // namespace zvp
