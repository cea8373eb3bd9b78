// Device contexts: their state, saved states, coordinate spaces and documents.
#include "errors.h"
#include "gdi.h"

#include <cmath>
#include <unordered_map>

namespace zvp {

namespace {

std::unordered_map<HDC, std::unique_ptr<DeviceContext>>& contexts() {
    static std::unordered_map<HDC, std::unique_ptr<DeviceContext>> table;
    return table;
}

bool is_identity(const XFORM& x) {
    return x.eM11 == 1 && x.eM12 == 0 && x.eM21 == 0 && x.eM22 == 1 && x.eDx == 0 && x.eDy == 0;
}

// a then b: the transform that applies `a` first.
XFORM combine(const XFORM& a, const XFORM& b) {
    return XFORM{a.eM11 * b.eM11 + a.eM12 * b.eM21,       a.eM11 * b.eM12 + a.eM12 * b.eM22,
                 a.eM21 * b.eM11 + a.eM22 * b.eM21,       a.eM21 * b.eM12 + a.eM22 * b.eM22,
                 a.eDx * b.eM11 + a.eDy * b.eM21 + b.eDx, a.eDx * b.eM12 + a.eDy * b.eM22 + b.eDy};
}

// Window and viewport extents of the fixed mapping modes, from the device's physical size.
void fixed_extents(const DeviceCaps& caps, int mode, SIZE& window, SIZE& viewport) {
    double per_mm = 0; // logical units per millimetre
    switch (mode) {
    case MM_LOMETRIC: per_mm = 10; break;
    case MM_HIMETRIC: per_mm = 100; break;
    case MM_LOENGLISH: per_mm = 100 / 25.4; break;
    case MM_HIENGLISH: per_mm = 1000 / 25.4; break;
    case MM_TWIPS: per_mm = 1440 / 25.4; break;
    default: return;
    }
    window = {static_cast<LONG>(std::lround(caps.horzsize * per_mm)),
              static_cast<LONG>(std::lround(caps.vertsize * per_mm))};
    viewport = {caps.horzres, -caps.vertres};
}

// Per-axis scale of the page transform (window to viewport). MM_ISOTROPIC keeps both axes at the
// smaller magnitude, each with its own sign.
void page_scale(const DcState& s, double& sx, double& sy) {
    if (s.map_mode == MM_TEXT) {
        sx = sy = 1;
        return;
    }
    sx = s.window_ext.cx ? double(s.viewport_ext.cx) / s.window_ext.cx : 1;
    sy = s.window_ext.cy ? double(s.viewport_ext.cy) / s.window_ext.cy : 1;
    if (s.map_mode == MM_ISOTROPIC) {
        double m = std::min(std::fabs(sx), std::fabs(sy));
        sx = std::copysign(m, sx);
        sy = std::copysign(m, sy);
    }
}

POINT rounded(double x, double y) {
    return POINT{static_cast<LONG>(std::lround(x)), static_cast<LONG>(std::lround(y))};
}

} // namespace

DeviceContext::DeviceContext(std::shared_ptr<Device> d) : device(std::move(d)) {
    state.font = stock_system_font();
    state.brush = std::static_pointer_cast<BrushObject>(find_object(GetStockObject(WHITE_BRUSH)));
}

void DeviceContext::to_device(double lx, double ly, double& dx, double& dy) const {
    const XFORM& w = state.world;
    double wx = lx * w.eM11 + ly * w.eM21 + w.eDx;
    double wy = lx * w.eM12 + ly * w.eM22 + w.eDy;
    double sx, sy;
    page_scale(state, sx, sy);
    dx = (wx - state.window_org.x) * sx + state.viewport_org.x;
    dy = (wy - state.window_org.y) * sy + state.viewport_org.y;
}

bool DeviceContext::to_logical(double dx, double dy, double& lx, double& ly) const {
    double sx, sy;
    page_scale(state, sx, sy);
    if (sx == 0 || sy == 0)
        return false;
    double wx = (dx - state.viewport_org.x) / sx + state.window_org.x;
    double wy = (dy - state.viewport_org.y) / sy + state.window_org.y;
    const XFORM& w = state.world;
    double det = w.eM11 * w.eM22 - w.eM12 * w.eM21;
    if (det == 0)
        return false;
    wx -= w.eDx;
    wy -= w.eDy;
    lx = (wx * w.eM22 - wy * w.eM21) / det;
    ly = (wy * w.eM11 - wx * w.eM12) / det;
    return true;
}

double DeviceContext::scale_x() const {
    double x0, y0, x1, y1;
    to_device(0, 0, x0, y0);
    to_device(1, 0, x1, y1);
    return std::hypot(x1 - x0, y1 - y0);
}

double DeviceContext::scale_y() const {
    double x0, y0, x1, y1;
    to_device(0, 0, x0, y0);
    to_device(0, 1, x1, y1);
    return std::hypot(x1 - x0, y1 - y0);
}

std::shared_ptr<const RealizedFont> DeviceContext::realized_font() const {
    const LOGFONTA& lf = state.font->logfont;
    int height = static_cast<int>(std::lround(lf.lfHeight * scale_y()));
    int width = static_cast<int>(std::lround(std::abs(lf.lfWidth) * scale_x()));
    return device->font_engine().realize(lf, height, width, device->caps().logpixelsy);
}

bool DeviceContext::keep_going(HDC handle) {
    if (!abort_proc || !doc_open)
        return true;
    auto t = std::chrono::steady_clock::now();
    if (t - abort_asked < std::chrono::milliseconds(100))
        return true;
    abort_asked = t;
    if (abort_proc(handle, 0))
        return true;
    // As GDI does when the application's abort procedure says stop.
    doc_open = page_open = false;
    device->abort_doc();
    return false;
}

HDC create_dc(std::shared_ptr<Device> device) {
    auto dc = std::make_unique<DeviceContext>(std::move(device));
    HDC handle = reinterpret_cast<HDC>(dc.get());
    contexts().emplace(handle, std::move(dc));
    return handle;
}

DeviceContext* find_dc(HDC dc) {
    auto it = contexts().find(dc);
    return it == contexts().end() ? nullptr : it->second.get();
}

} // namespace zvp

using namespace zvp;

BOOL WINAPI DeleteDC(HDC dc) {
    auto it = contexts().find(dc);
    if (it == contexts().end())
        return FALSE;
    // A document still open when its device context goes is abandoned, never left half-printed.
    if (it->second->doc_open)
        it->second->device->abort_doc();
    contexts().erase(it);
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

int WINAPI SetGraphicsMode(HDC dc, int mode) {
    DeviceContext* d = find_dc(dc);
    if (!d || (mode != GM_COMPATIBLE && mode != GM_ADVANCED))
        return 0;
    // Leaving the advanced mode is refused while a world transform is in force.
    if (mode == GM_COMPATIBLE && !is_identity(d->state.world))
        return 0;
    int old = d->state.graphics_mode;
    d->state.graphics_mode = mode;
    return old;
}

int WINAPI GetGraphicsMode(HDC dc) {
    DeviceContext* d = find_dc(dc);
    return d ? d->state.graphics_mode : 0;
}

BOOL WINAPI ModifyWorldTransform(HDC dc, const XFORM* xform, DWORD mode) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    if (mode == MWT_IDENTITY) {
        d->state.world = XFORM{1, 0, 0, 1, 0, 0};
        return TRUE;
    }
    if (!xform || d->state.graphics_mode != GM_ADVANCED)
        return FALSE;
    if (mode == MWT_LEFTMULTIPLY)
        d->state.world = combine(*xform, d->state.world);
    else if (mode == MWT_RIGHTMULTIPLY)
        d->state.world = combine(d->state.world, *xform);
    else
        return FALSE;
    return TRUE;
}

BOOL WINAPI SetWorldTransform(HDC dc, const XFORM* xform) {
    DeviceContext* d = find_dc(dc);
    if (!d || !xform || d->state.graphics_mode != GM_ADVANCED)
        return FALSE;
    d->state.world = *xform;
    return TRUE;
}

BOOL WINAPI GetWorldTransform(HDC dc, XFORM* xform) {
    DeviceContext* d = find_dc(dc);
    if (!d || !xform)
        return FALSE;
    *xform = d->state.world;
    return TRUE;
}

int WINAPI SetMapMode(HDC dc, int mode) {
    DeviceContext* d = find_dc(dc);
    if (!d || mode < MM_TEXT || mode > MM_ANISOTROPIC)
        return 0;
    int old = d->state.map_mode;
    d->state.map_mode = mode;
    if (mode == MM_TEXT) {
        d->state.window_ext = d->state.viewport_ext = SIZE{1, 1};
    } else if (mode != MM_ISOTROPIC && mode != MM_ANISOTROPIC) {
        fixed_extents(d->device->caps(), mode, d->state.window_ext, d->state.viewport_ext);
    }
    return old;
}

int WINAPI GetMapMode(HDC dc) {
    DeviceContext* d = find_dc(dc);
    return d ? d->state.map_mode : 0;
}

static BOOL set_point(HDC dc, POINT DcState::*field, int x, int y, LPPOINT old) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    if (old)
        *old = d->state.*field;
    d->state.*field = POINT{x, y};
    return TRUE;
}

BOOL WINAPI SetWindowOrgEx(HDC dc, int x, int y, LPPOINT old) {
    return set_point(dc, &DcState::window_org, x, y, old);
}

BOOL WINAPI SetViewportOrgEx(HDC dc, int x, int y, LPPOINT old) {
    return set_point(dc, &DcState::viewport_org, x, y, old);
}

// Extents can be changed only in the two scalable modes, and never to zero.
static BOOL set_extent(HDC dc, SIZE DcState::*field, int x, int y, LPSIZE old) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return FALSE;
    if (old)
        *old = d->state.*field;
    if (d->state.map_mode != MM_ISOTROPIC && d->state.map_mode != MM_ANISOTROPIC)
        return TRUE;
    if (x == 0 || y == 0)
        return FALSE;
    d->state.*field = SIZE{x, y};
    return TRUE;
}

BOOL WINAPI SetWindowExtEx(HDC dc, int x, int y, LPSIZE old) {
    return set_extent(dc, &DcState::window_ext, x, y, old);
}

BOOL WINAPI SetViewportExtEx(HDC dc, int x, int y, LPSIZE old) {
    return set_extent(dc, &DcState::viewport_ext, x, y, old);
}

BOOL WINAPI DPtoLP(HDC dc, LPPOINT points, int count) {
    DeviceContext* d = find_dc(dc);
    if (!d || (!points && count > 0))
        return FALSE;
    for (int i = 0; i < count; ++i) {
        double lx, ly;
        if (!d->to_logical(points[i].x, points[i].y, lx, ly))
            return FALSE;
        points[i] = rounded(lx, ly);
    }
    return TRUE;
}

BOOL WINAPI LPtoDP(HDC dc, LPPOINT points, int count) {
    DeviceContext* d = find_dc(dc);
    if (!d || (!points && count > 0))
        return FALSE;
    for (int i = 0; i < count; ++i) {
        double dx, dy;
        d->to_device(points[i].x, points[i].y, dx, dy);
        points[i] = rounded(dx, dy);
    }
    return TRUE;
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
    return set_point(dc, &DcState::current, x, y, old);
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
        HGDIOBJ old = d->state.font.get();
        d->state.font = std::static_pointer_cast<FontObject>(found);
        return old;
    }
    HGDIOBJ old = d->state.brush.get();
    d->state.brush = std::static_pointer_cast<BrushObject>(found);
    return old;
}

HGDIOBJ WINAPI GetCurrentObject(HDC dc, UINT type) {
    DeviceContext* d = find_dc(dc);
    if (!d || type != OBJ_FONT)
        return nullptr;
    return d->state.font.get();
}

// Documents: the device context keeps the order of the calls (no page outside a document, no
// second page while one is open); the device does the work. A refusal leaves the printer's words
// for it as the last error.

static int refused(DeviceContext* d, int result) {
    std::string why = d->device->error();
    if (!why.empty())
        set_last_error_message(why);
    else
        SetLastError(ERROR_INVALID_PARAMETER);
    return result;
}

// A call out of order, or on no device context at all.
static int misused(DeviceContext* d) {
    SetLastError(d ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return SP_ERROR;
}

int WINAPI SetAbortProc(HDC dc, ABORTPROC proc) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return misused(d);
    d->abort_proc = proc;
    // The device asks too while it waits on the printer; it looks the context up each time.
    d->device->keep_going = [dc]() {
        DeviceContext* c = find_dc(dc);
        return !c || c->keep_going(dc);
    };
    return 1;
}

static int abandoned() {
    SetLastError(ERROR_CANCELLED);
    return SP_APPABORT;
}

int WINAPI StartDocA(HDC dc, const DOCINFOA* doc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !doc || d->doc_open || !d->device->caps().printer)
        return misused(d);
    int job = d->device->start_doc(doc->lpszDocName ? doc->lpszDocName : "");
    if (job <= 0)
        return refused(d, job == 0 ? SP_ERROR : job);
    d->doc_open = true;
    return job;
}

int WINAPI StartPage(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (d && d->doc_open && !d->keep_going(dc))
        return abandoned();
    if (!d || !d->doc_open || d->page_open)
        return misused(d);
    int result = d->device->start_page();
    d->page_open = result > 0;
    return result > 0 ? result : refused(d, result);
}

int WINAPI EndPage(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (d && d->doc_open && !d->keep_going(dc))
        return abandoned();
    if (!d || !d->page_open)
        return misused(d);
    d->page_open = false;
    int result = d->device->end_page();
    return result > 0 ? result : refused(d, result);
}

int WINAPI EndDoc(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !d->doc_open)
        return misused(d);
    int page = d->page_open ? EndPage(dc) : 1;
    d->doc_open = false;
    if (page <= 0) {
        DWORD why = GetLastError();
        d->device->abort_doc();
        SetLastError(why);
        return page;
    }
    int result = d->device->end_doc();
    return result > 0 ? result : refused(d, result);
}

int WINAPI AbortDoc(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !d->doc_open)
        return misused(d);
    d->doc_open = d->page_open = false;
    return d->device->abort_doc();
}
