// Text: metrics of the selected font, and TextOutA with the alignment and current-position rules.
#include "platform/portable/gdi32/dc.h"

#include <cmath>
#include <vector>

using namespace zvp;

GlyphSpan zvp::visible_glyphs(const TextRun& run, int width, int height) {
    const FontMetrics& m = run.realized->metrics();
    int top = run.y, bottom = run.y + m.ascent + m.descent;
    if (run.count == 0 || bottom < 0 || top > height)
        return {};
    GlyphSpan span{0, run.count};
    while (span.first < run.count && run.char_x[span.first + 1] <= 0)
        ++span.first;
    while (span.last > span.first && run.char_x[span.last - 1] >= width)
        --span.last;
    return span;
}

BOOL WINAPI GetTextMetricsA(HDC dc, LPTEXTMETRICA tm) {
    DeviceContext* d = find_dc(dc);
    if (!d || !tm)
        return FALSE;
    auto font = d->realized_font();
    const FontMetrics& m = font->metrics();
    const LOGFONTA& lf = d->state.font->logfont;
    const DeviceCaps& caps = d->device->caps();
    // Metrics are reported in logical units; the transforms this system uses keep them equal.
    double sy = d->scale_y(), sx = d->scale_x();
    auto ly = [&](int v) { return static_cast<LONG>(std::lround(v / sy)); };
    auto lx = [&](int v) { return static_cast<LONG>(std::lround(v / sx)); };
    *tm = TEXTMETRICA{};
    tm->tmAscent = ly(m.ascent);
    tm->tmDescent = ly(m.descent);
    tm->tmHeight = ly(m.ascent + m.descent);
    tm->tmInternalLeading = ly(m.internal_leading);
    tm->tmAveCharWidth = lx(m.ave_char_width);
    tm->tmMaxCharWidth = lx(m.max_char_width);
    tm->tmWeight = m.weight;
    tm->tmDigitizedAspectX = caps.logpixelsx;
    tm->tmDigitizedAspectY = caps.logpixelsy;
    tm->tmFirstChar = 0x1E;
    tm->tmLastChar = 0xFF;
    tm->tmDefaultChar = 0x1F;
    tm->tmBreakChar = 0x20;
    // GDI reports these flags as 0xFF, whatever nonzero value the font record held.
    tm->tmItalic = lf.lfItalic ? 0xFF : 0;
    tm->tmUnderlined = lf.lfUnderline ? 0xFF : 0;
    tm->tmStruckOut = lf.lfStrikeOut ? 0xFF : 0;
    // TMPF_FIXED_PITCH set means "not fixed pitch"; our faces are monospaced outlines.
    tm->tmPitchAndFamily = (m.truetype ? TMPF_VECTOR | TMPF_TRUETYPE : 0) |
                           (caps.printer ? TMPF_DEVICE : 0) | (lf.lfPitchAndFamily & 0xF0);
    tm->tmCharSet = lf.lfCharSet;
    return TRUE;
}

BOOL WINAPI GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, LPSIZE size) {
    DeviceContext* d = find_dc(dc);
    if (!d || !size || count < 0 || (!text && count > 0))
        return FALSE;
    auto font = d->realized_font();
    long width = 0;
    for (int i = 0; i < count; ++i)
        width += font->advance(static_cast<unsigned char>(text[i]));
    const FontMetrics& m = font->metrics();
    size->cx = static_cast<LONG>(std::lround(width / d->scale_x()));
    size->cy = static_cast<LONG>(std::lround((m.ascent + m.descent) / d->scale_y()));
    return TRUE;
}

// The advance of each byte from `first` to `last`, in logical units.
BOOL WINAPI GetCharWidth32A(HDC dc, UINT first, UINT last, LPINT widths) {
    DeviceContext* d = find_dc(dc);
    if (!d || !widths || first > last || last > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto font = d->realized_font();
    for (UINT c = first; c <= last; ++c)
        widths[c - first] = static_cast<int>(
            std::lround(font->advance(static_cast<unsigned char>(c)) / d->scale_x()));
    return TRUE;
}

namespace {

// The top left of a run `width` wide whose reference point, by the alignment, is at (dx, dy).
POINT aligned_top_left(UINT align, double dx, double dy, int width, const FontMetrics& m) {
    POINT p{static_cast<LONG>(std::lround(dx)), static_cast<LONG>(std::lround(dy))};
    UINT horizontal = align & TA_CENTER;
    if (horizontal == TA_RIGHT)
        p.x -= width;
    else if (horizontal == TA_CENTER)
        p.x -= width / 2;
    UINT vertical = align & TA_BASELINE;
    if (vertical == TA_BASELINE)
        p.y -= m.ascent;
    else if (vertical == TA_BOTTOM)
        p.y -= m.ascent + m.descent;
    return p;
}

} // namespace

BOOL WINAPI TextOutA(HDC dc, int x, int y, LPCSTR text, int count) {
    DeviceContext* d = find_dc(dc);
    if (!d || count < 0 || (!text && count > 0))
        return FALSE;
    // A printer draws only on an open page, and asks now and then whether to go on.
    if (d->device->caps().printer && (!d->keep_going(dc) || !d->page_open))
        return FALSE;
    DcState& s = d->state;
    bool update_cp = (s.text_align & TA_UPDATECP) != 0;
    POINT origin = update_cp ? s.current : POINT{x, y};
    double dx, dy;
    d->to_device(origin.x, origin.y, dx, dy);

    auto font = d->realized_font();
    const FontMetrics& m = font->metrics();
    // Every character's left edge, then the run's right end.
    std::vector<int> offsets(count + 1);
    int width = 0;
    for (int i = 0; i < count; ++i) {
        offsets[i] = width;
        width += font->advance(static_cast<unsigned char>(text[i]));
    }
    offsets[count] = width;
    POINT top_left = aligned_top_left(s.text_align, dx, dy, width, m);
    for (int& o : offsets)
        o += top_left.x;

    TextRun run;
    run.bytes = text;
    run.count = count;
    run.x = top_left.x;
    run.y = top_left.y;
    run.baseline = top_left.y + m.ascent;
    run.char_x = offsets.data();
    run.font = &s.font->logfont;
    run.realized = font.get();
    run.em_pixels = font->ppem();
    run.opaque = s.bk_mode == OPAQUE;
    run.text_color = s.text_color;
    run.bk_color = s.bk_color;
    if (!d->device->draw_text(run))
        return zvp::refused(d, FALSE);

    if (update_cp) {
        // The current position moves along the run: right after left-aligned text, to the start
        // of right-aligned text.
        int end = (s.text_align & TA_CENTER) == TA_RIGHT ? top_left.x : top_left.x + width;
        double lx, ly;
        if (d->to_logical(end, dy, lx, ly))
            s.current = POINT{static_cast<LONG>(std::lround(lx)), s.current.y};
    }
    return TRUE;
}
