// The portable GDI's own objects: device contexts with their saved states, fonts and stock objects.
#pragma once

#include "platform/portable/gdi32/device.h"
#include "platform/portable/handles.h"
#include "platform/portable/include/windows.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace zvp {

enum class ObjectKind { font, brush };

struct GdiObject {
    explicit GdiObject(ObjectKind k) : kind(k) {}
    virtual ~GdiObject() = default;
    ObjectKind kind;
    bool stock = false;
    HGDIOBJ handle = nullptr;
};

struct FontObject : GdiObject {
    explicit FontObject(const LOGFONTA& lf) : GdiObject(ObjectKind::font), logfont(lf) {}
    LOGFONTA logfont;
    // The font as last realised, on which device's engine and at what size: a job switches fonts
    // every few characters, and a font object never changes once made.
    struct Realized {
        const FontEngine* engine = nullptr;
        int height = 0, width = 0, dpi = 0;
        std::shared_ptr<const RealizedFont> font;
    };
    mutable Realized realized;
};

struct BrushObject : GdiObject {
    explicit BrushObject(COLORREF c) : GdiObject(ObjectKind::brush), color(c) {}
    COLORREF color;
};

// Live objects by handle. A deleted handle is forgotten at once, but an object still selected in a
// device context (or in one of its saved states) lives on until nothing refers to it, so deleting
// a selected font never leaves a device context pointing at freed memory.
std::shared_ptr<GdiObject> find_object(HGDIOBJ handle);
HGDIOBJ add_object(std::shared_ptr<GdiObject> object);
bool remove_object(HGDIOBJ handle);
std::shared_ptr<FontObject> stock_system_font();
std::shared_ptr<BrushObject> stock_brush(int index);

struct DcState {
    std::shared_ptr<FontObject> font;
    std::shared_ptr<BrushObject> brush;
    int bk_mode = OPAQUE;
    UINT text_align = TA_NOUPDATECP;
    POINT current{0, 0};
    int graphics_mode = GM_COMPATIBLE;
    int map_mode = MM_TEXT;
    POINT window_org{0, 0};
    POINT viewport_org{0, 0};
    SIZE window_ext{1, 1};
    SIZE viewport_ext{1, 1};
    XFORM world{1, 0, 0, 1, 0, 0};
    COLORREF text_color = 0;
    COLORREF bk_color = 0xFFFFFF;
};

struct DeviceContext;
// A call the device refused: its words for it become the last error; returns `result`.
int refused(DeviceContext* d, int result);

struct DeviceContext {
    explicit DeviceContext(std::shared_ptr<Device> d);

    std::shared_ptr<Device> device;
    DcState state;
    std::vector<DcState> saved;
    bool doc_open = false;
    bool page_open = false;
    ABORTPROC abort_proc = nullptr;
    std::chrono::steady_clock::time_point abort_asked{};

    // Asks the abort procedure, at most every tenth of a second: a job that fails its pages
    // asks at every byte. When it says stop, the document is abandoned and false returned.
    bool keep_going(HDC handle);

    // Logical to device coordinates and back, through the world transform and the mapping mode.
    void to_device(double lx, double ly, double& dx, double& dy) const;
    bool to_logical(double dx, double dy, double& lx, double& ly) const;
    // Length of a logical unit along x and y in device pixels (for font sizes).
    double scale_x() const;
    double scale_y() const;
    // The selected font realised on this device.
    std::shared_ptr<const RealizedFont> realized_font() const;
};

// A new device context on `device`; the caller owns the handle and releases it with DeleteDC.
HDC create_dc(std::shared_ptr<Device> device);
DeviceContext* find_dc(HDC dc);

// The portable GDI's state: its device contexts and its objects (the stock objects among them).
struct Gdi32 {
    HandleTable<DeviceContext> contexts{HandleKind::device_context};
    HandleTable<GdiObject> objects{HandleKind::gdi_object};
};
Gdi32& gdi32();

} // namespace zvp
