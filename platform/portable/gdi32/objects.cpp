// Font and brush objects, and the stock objects.
#include "platform/portable/gdi32/dc.h"

#include <cstring>

namespace zvp {

namespace {

template <class T> std::shared_ptr<T> make_stock(std::shared_ptr<T> object) {
    object->stock = true;
    add_object(object);
    return object;
}

} // namespace

Gdi32& gdi32() {
    static Gdi32 state;
    return state;
}

std::shared_ptr<GdiObject> find_object(HGDIOBJ handle) {
    return gdi32().objects.shared(handle);
}

HGDIOBJ add_object(std::shared_ptr<GdiObject> object) {
    GdiObject& o = *object;
    o.handle = gdi32().objects.add(std::move(object));
    return o.handle;
}

bool remove_object(HGDIOBJ handle) {
    GdiObject* object = gdi32().objects.get(handle);
    return object && !object->stock && gdi32().objects.remove(handle);
}

// The system font stands in for the raster "System" font: 16 pixels high, bold, the ANSI set.
std::shared_ptr<FontObject> stock_system_font() {
    static std::shared_ptr<FontObject> font = [] {
        LOGFONTA lf{};
        lf.lfHeight = 16;
        lf.lfWeight = FW_BOLD;
        lf.lfCharSet = ANSI_CHARSET;
        lf.lfPitchAndFamily = VARIABLE_PITCH;
        std::strcpy(lf.lfFaceName, "System");
        return make_stock(std::make_shared<FontObject>(lf));
    }();
    return font;
}

std::shared_ptr<BrushObject> stock_brush(int index) {
    static std::shared_ptr<BrushObject> white = make_stock(std::make_shared<BrushObject>(0xFFFFFF));
    static std::shared_ptr<BrushObject> black = make_stock(std::make_shared<BrushObject>(0));
    return index == BLACK_BRUSH ? black : white;
}

} // namespace zvp

using namespace zvp;

HFONT WINAPI CreateFontIndirectA(const LOGFONTA* font) {
    if (!font)
        return nullptr;
    LOGFONTA lf = *font;
    lf.lfFaceName[LF_FACESIZE - 1] = '\0';
    return static_cast<HFONT>(add_object(std::make_shared<FontObject>(lf)));
}

HGDIOBJ WINAPI GetStockObject(int index) {
    switch (index) {
    case SYSTEM_FONT: return stock_system_font()->handle;
    case WHITE_BRUSH:
    case BLACK_BRUSH: return stock_brush(index)->handle;
    default: return nullptr;
    }
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    GdiObject* found = gdi32().objects.get(object);
    if (!found)
        return FALSE;
    return found->stock ? TRUE : remove_object(object);
}

int WINAPI GetObjectA(HGDIOBJ object, int size, LPVOID buffer) {
    auto* font = dynamic_cast<FontObject*>(gdi32().objects.get(object));
    if (!font)
        return 0;
    const auto& lf = font->logfont;
    if (!buffer)
        return sizeof lf;
    int n = size < static_cast<int>(sizeof lf) ? size : static_cast<int>(sizeof lf);
    std::memcpy(buffer, &lf, n);
    return n;
}
