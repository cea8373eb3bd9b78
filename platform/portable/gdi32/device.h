// What a device context draws on: a printer (PDF, PNG, CUPS, in-memory) or a window.
#pragma once

#include "platform/portable/gdi32/font_engine.h"
#include "platform/portable/include/windows.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zvp {

struct DeviceCaps {
    int horzres = 0; // printable area, device pixels
    int vertres = 0;
    int horzsize = 0; // printable area, millimetres
    int vertsize = 0;
    int logpixelsx = 96;
    int logpixelsy = 96;
    int physical_width = 0; // the whole sheet, device pixels (printers)
    int physical_height = 0;
    int physical_offset_x = 0; // the printable area's offset on the sheet
    int physical_offset_y = 0;
    bool printer = true;
};

// One TextOutA call as it reaches the device: bytes in the font's code page, the top left of the
// first character cell and every character's left edge, all in device pixels.
struct TextRun {
    const char* bytes = nullptr;
    int count = 0;
    int x = 0;
    int y = 0;
    int baseline = 0;
    const int* char_x = nullptr; // count + 1 entries: left edges, then the run's right end
    const LOGFONTA* font = nullptr;
    const RealizedFont* realized = nullptr;
    int em_pixels = 0;    // vertical size
    int width_pixels = 0; // requested average width, 0 = natural
    bool opaque = false;
    COLORREF text_color = 0;
    COLORREF bk_color = 0xFFFFFF;
};

// The glyphs [first, last) of a run that can show.
struct GlyphSpan {
    int first = 0;
    int last = 0;
};

// Glyphs wholly outside [0, width) x [0, height) are left out: the printable area clips them, and
// leaving them out keeps them out of the text a reader extracts, too.
GlyphSpan visible_glyphs(const TextRun& run, int width, int height);

class Device {
  public:
    virtual ~Device() = default;
    virtual const DeviceCaps& caps() const = 0;
    virtual FontEngine& font_engine() = 0;

    // Documents and pages; results follow StartDocA/StartPage/EndPage/EndDoc (> 0 is success).
    virtual int start_doc(const std::string& name) {
        (void)name;
        return -1;
    }
    virtual int start_page() { return -1; }
    virtual int end_page() { return -1; }
    virtual int end_doc() { return -1; }
    virtual int abort_doc() { return -1; }
    // Why the last document or page call failed, in the printer's own words ("" if unknown).
    virtual std::string error() const { return {}; }
    // Where the next document goes: to the printer (""), or into the file `path`. False when the
    // device cannot print to a file.
    virtual bool print_to_file(const std::string& path) { return path.empty(); }

    // False when the text cannot be drawn (error() says why): the document is then not whole.
    virtual bool draw_text(const TextRun& run) = 0;

    // Asked while the device waits on a slow printer: false gives up the document.
    std::function<bool()> keep_going;
};

} // namespace zvp
