// Device contexts: the table of them, their state and saved states, the device's capabilities,
// the drawing attributes and the selected objects.
#include "platform/portable/gdi32/dc.h"

#include <cmath>

namespace zvp {

DeviceContext::DeviceContext(std::shared_ptr<Device> d) : device(std::move(d)) {
    state.font = stock_system_font();
    state.brush = stock_brush(WHITE_BRUSH);
}

std::shared_ptr<const RealizedFont> DeviceContext::realized_font() const {
    const LOGFONTA& lf = state.font->logfont;
    int height = static_cast<int>(std::lround(lf.lfHeight * scale_y()));
    int width = static_cast<int>(std::lround(std::abs(lf.lfWidth) * scale_x()));
    FontEngine& engine = device->font_engine();
    int dpi = device->caps().logpixelsy;
    FontObject::Realized& r = state.font->realized;
    if (r.engine != &engine || r.height != height || r.width != width || r.dpi != dpi || !r.font)
        r = FontObject::Realized{&engine, height, width, dpi,
                                 engine.realize(lf, height, width, dpi)};
    return r.font;
}

HDC create_dc(std::shared_ptr<Device> device) {
    return static_cast<HDC>(
        gdi32().contexts.add(std::make_shared<DeviceContext>(std::move(device))));
}

DeviceContext* find_dc(HDC dc) {
    return gdi32().contexts.get(dc);
}

} // namespace zvp

using namespace zvp;

BOOL WINAPI DeleteDC(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    // A document still open when its device context goes is abandoned, never left half-printed.
    if (d->doc_open)
        d->device->abort_doc();
    gdi32().contexts.remove(dc);
    return TRUE;
}

int WINAPI SaveDC(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return 0;
    d->saved.push_back(d->state);
    return static_cast<int>(d->saved.size());
}

BOOL WINAPI RestoreDC(HDC dc, int saved) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    int depth = static_cast<int>(d->saved.size());
    int level = saved < 0 ? depth + 1 + saved : saved;
    if (saved == 0 || level < 1 || level > depth)
        return FALSE;
    d->state = d->saved[level - 1];
    d->saved.resize(level - 1);
    return TRUE;
}

int WINAPI GetDeviceCaps(HDC dc, int index) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return 0;
    const DeviceCaps& c = d->device->caps();
    switch (index) {
    case HORZSIZE: return c.horzsize;
    case VERTSIZE: return c.vertsize;
    case HORZRES: return c.horzres;
    case VERTRES: return c.vertres;
    case LOGPIXELSX: return c.logpixelsx;
    case LOGPIXELSY: return c.logpixelsy;
    case PHYSICALWIDTH: return c.printer ? c.physical_width : 0;
    case PHYSICALHEIGHT: return c.printer ? c.physical_height : 0;
    case PHYSICALOFFSETX: return c.printer ? c.physical_offset_x : 0;
    case PHYSICALOFFSETY: return c.printer ? c.physical_offset_y : 0;
    case TECHNOLOGY: return c.printer ? DT_RASPRINTER : DT_RASDISPLAY;
    default: return 0;
    }
}

int WINAPI SetBkMode(HDC dc, int mode) {
    DeviceContext* d = find_dc(dc);
    if (!d || (mode != TRANSPARENT && mode != OPAQUE))
        return 0;
    int old = d->state.bk_mode;
    d->state.bk_mode = mode;
    return old;
}

int WINAPI GetBkMode(HDC dc) {
    DeviceContext* d = find_dc(dc);
    return d ? d->state.bk_mode : 0;
}

UINT WINAPI SetTextAlign(HDC dc, UINT align) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return GDI_ERROR;
    UINT old = d->state.text_align;
    d->state.text_align = align;
    return old;
}

UINT WINAPI GetTextAlign(HDC dc) {
    DeviceContext* d = find_dc(dc);
    return d ? d->state.text_align : GDI_ERROR;
}

COLORREF WINAPI SetTextColor(HDC dc, COLORREF color) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return 0xFFFFFFFF;
    COLORREF old = d->state.text_color;
    d->state.text_color = color;
    return old;
}

COLORREF WINAPI SetBkColor(HDC dc, COLORREF color) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return 0xFFFFFFFF;
    COLORREF old = d->state.bk_color;
    d->state.bk_color = color;
    return old;
}

BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT old) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    if (old)
        *old = d->state.current;
    d->state.current = POINT{x, y};
    return TRUE;
}

BOOL WINAPI GetCurrentPositionEx(HDC dc, LPPOINT point) {
    DeviceContext* d = find_dc(dc);
    if (!d || !point)
        return FALSE;
    *point = d->state.current;
    return TRUE;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
    DeviceContext* d = find_dc(dc);
    auto found = find_object(object);
    if (!d || !found)
        return nullptr;
    if (found->kind == ObjectKind::font) {
        HGDIOBJ old = d->state.font->handle;
        d->state.font = std::static_pointer_cast<FontObject>(found);
        return old;
    }
    HGDIOBJ old = d->state.brush->handle;
    d->state.brush = std::static_pointer_cast<BrushObject>(found);
    return old;
}

HGDIOBJ WINAPI GetCurrentObject(HDC dc, UINT type) {
    DeviceContext* d = find_dc(dc);
    if (!d || type != OBJ_FONT)
        return nullptr;
    return d->state.font->handle;
}
