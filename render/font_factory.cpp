#include "render/font_factory.h"

#include <cmath>
#include <cstring>

const int pitch_width[4] = {120, 100, 68, 60};

// Dots per inch across or down the printable area: its pixels over its millimetres. A device
// that reports no size falls back to its logical resolution instead of dividing by zero.
static float physical_resolution(HDC dc, int pixels_index, int size_index, int logical_index) {
    int size = GetDeviceCaps(dc, size_index);
    if (size <= 0)
        return (float)GetDeviceCaps(dc, logical_index);
    return (float)(GetDeviceCaps(dc, pixels_index) * 25.4 / size);
}

static HFONT create_font(HDC dc, const char* face_name, int height, int width, int style,
                         int use_logical_resolution, BYTE charset) {
    SaveDC(dc);
    // Measure in an untransformed device context, so the size depends on the device alone.
    SetGraphicsMode(dc, GM_ADVANCED);
    ModifyWorldTransform(dc, NULL, MWT_IDENTITY);
    SetViewportOrgEx(dc, 0, 0, NULL);
    SetWindowOrgEx(dc, 0, 0, NULL);

    float horizontal, vertical;
    if (use_logical_resolution) {
        horizontal = (float)GetDeviceCaps(dc, LOGPIXELSX);
        vertical = (float)GetDeviceCaps(dc, LOGPIXELSY);
    } else {
        horizontal = physical_resolution(dc, HORZRES, HORZSIZE, LOGPIXELSX);
        vertical = physical_resolution(dc, VERTRES, VERTSIZE, LOGPIXELSY);
    }

    // Ten times the final size in device units, then in logical units.
    POINT size;
    size.x = (LONG)(width * (double)horizontal / 72);
    size.y = (LONG)(height * (double)vertical / 72);
    DPtoLP(dc, &size, 1);

    LOGFONTA lf;
    std::memset(&lf, 0, sizeof lf);
    lf.lfHeight = -(LONG)(std::fabs((double)size.y) / 10 + 0.5);
    lf.lfWidth = 0;
    lf.lfWeight = (style & FONT_STYLE_BOLD) ? FW_BOLD : FW_MEDIUM;
    lf.lfItalic = (style & FONT_STYLE_ITALIC) ? 1 : 0;
    lf.lfUnderline = (style & FONT_STYLE_UNDERLINE) ? 1 : 0;
    lf.lfStrikeOut = (style & FONT_STYLE_STRIKEOUT) ? 1 : 0;
    lf.lfCharSet = charset;
    lf.lfPitchAndFamily = FIXED_PITCH;
    std::strncpy(lf.lfFaceName, face_name, LF_FACESIZE - 1);

    HFONT font = CreateFontIndirectA(&lf);
    if (width != 0 && size.y != 0) {
        // The platform condenses a font by its average character width: measure the natural
        // width at this height and scale it by width / height.
        HGDIOBJ previous = SelectObject(dc, font);
        TEXTMETRICA tm;
        std::memset(&tm, 0, sizeof tm);
        GetTextMetricsA(dc, &tm);
        SelectObject(dc, previous);
        DeleteObject(font);
        lf.lfWidth =
            (LONG)(std::fabs((double)size.x) * tm.tmAveCharWidth / std::fabs((double)size.y) + 0.5);
        font = CreateFontIndirectA(&lf);
    }
    RestoreDC(dc, -1);
    return font;
}

HFONT create_printer_font(HDC dc, const char* face_name, int height, int width, int style,
                          int use_logical_resolution) {
    return create_font(dc, face_name, height, width, style, use_logical_resolution,
                       EASTEUROPE_CHARSET);
}

HFONT create_cyrillic_printer_font(HDC dc, const char* face_name, int height, int width, int style,
                                   int use_logical_resolution) {
    return create_font(dc, face_name, height, width, style, use_logical_resolution,
                       RUSSIAN_CHARSET);
}

int font_set_index(int bold, int underline, int pitch) {
    return bold * 8 + underline * 4 + pitch;
}

int line_pitch(HDC dc) {
    return (int)((float)GetDeviceCaps(dc, LOGPIXELSY) / 6.0);
}

FontSet build_font_set(HDC dc, FontSetVariant variant) {
    FontSet set;
    for (int index = 0; index < 16; ++index) {
        // Bold comes from the face name alone; the style only carries the underline.
        const char* face = (index & 8) ? "Courier New Bold" : "Courier New";
        int style = (index & 4) ? FONT_STYLE_UNDERLINE : 0;
        int width = pitch_width[index & 3];
        set.fonts[index] = variant == CYRILLIC_FONT_SET
                               ? create_cyrillic_printer_font(dc, face, 120, width, style, 0)
                               : create_printer_font(dc, face, 120, width, style, 0);
    }
    return set;
}

void delete_font_set(HDC dc, FontSet* set) {
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    for (int index = 0; index < 16; ++index)
        DeleteObject(set->fonts[index]);
}
