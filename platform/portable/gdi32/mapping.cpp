// Coordinate spaces: graphics mode, world transform, mapping mode, window and viewport, and the
// conversions between logical and device units.
#include "platform/portable/gdi32/dc.h"

#include <algorithm>
#include <cmath>

namespace zvp {

namespace {

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

} // namespace zvp

using namespace zvp;

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
