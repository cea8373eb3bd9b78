#include "diag/font_sample.h"

#include "diag/test_page.h"
#include "render/font_factory.h"

enum { SAMPLE_LINES = 12 };

void paint_font_sample(HDC dc) {
    static const int pitches[3] = {0, 1, 3};
    HFONT fonts[SAMPLE_LINES];
    for (int line = 0; line < SAMPLE_LINES; ++line) {
        int pitch = pitches[line / 4], style = line % 4;
        const char* face = (style % 2) ? "Courier New Bold" : "Courier New";
        int flags = (style / 2) ? FONT_STYLE_UNDERLINE : 0;
        fonts[line] = create_printer_font(dc, face, 120, pitch_width[pitch], flags, 0);
    }
    SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    int line_step = line_pitch(dc);
    for (int line = 0; line < SAMPLE_LINES; ++line) {
        SelectObject(dc, fonts[line]);
        TextOutA(dc, 0, line * line_step, sample_line, SAMPLE_LINE_LENGTH);
        SelectObject(dc, GetStockObject(SYSTEM_FONT));
        DeleteObject(fonts[line]);
    }
    RestoreDC(dc, -1);
}

int font_sample_bottom(HDC dc) {
    return SAMPLE_LINES * line_pitch(dc);
}
