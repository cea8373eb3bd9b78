// Printer fonts: "Courier New" at a printer-style size (tenths of a point) and character width,
// made for a given device context; and the FontSet of sixteen such fonts that printing draws with.
#pragma once

#include "platform/win32.h"

enum {
    FONT_STYLE_BOLD = 1,
    FONT_STYLE_ITALIC = 2,
    FONT_STYLE_UNDERLINE = 4,
    FONT_STYLE_STRIKEOUT = 8,
};

// Height 120 (12 points) is what every caller asks for; width is the condensing parameter of a
// pitch (120, 100, 68, 60 for 10, 12, 17, 20 characters per inch), 0 for the natural width. The
// font is sized from the device's physical resolution unless use_logical_resolution is nonzero.
// The device context comes back in the state it was given.
HFONT create_printer_font(HDC dc, const char* face_name, int height, int width, int style,
                          int use_logical_resolution);
HFONT create_cyrillic_printer_font(HDC dc, const char* face_name, int height, int width, int style,
                                   int use_logical_resolution);

// Width parameter of each pitch index (10, 12, 17, 20 characters per inch).
extern const int pitch_width[4];

// Sixteen fonts of one character set, index bold * 8 + underline * 4 + pitch.
struct FontSet {
    HFONT fonts[16];
};

// The FontSet index of a pitch (0..3), bold and underline (each 0 or 1).
int font_set_index(int bold, int underline, int pitch);

// The vertical advance of one text line of the 6-lines-per-inch grid on `dc`: its vertical logical
// resolution, held in single precision, over 6, truncated.
int line_pitch(HDC dc);

enum FontSetVariant {
    POLISH_FONT_SET,   // character set 238, code page 1250
    CYRILLIC_FONT_SET, // character set 204, code page 1251
};

FontSet build_font_set(HDC dc, FontSetVariant variant);
// Selects the stock system font, so none of the set stays selected, and deletes the set.
void delete_font_set(HDC dc, FontSet* set);
