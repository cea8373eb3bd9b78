// Font and brush objects, the handle table and the stock objects.
#include "gdi.h"

#include <cstring>
#include <unordered_map>

namespace zvp {

namespace {

std::unordered_map<HGDIOBJ, std::shared_ptr<GdiObject>>& objects() {
    static std::unordered_map<HGDIOBJ, std::shared_ptr<GdiObject>> table;
    return table;
}

template <class T> std::shared_ptr<T> make_stock(std::shared_ptr<T> object) {
    object->stock = true;
    add_object(object);
    return object;
}

} // namespace

std::shared_ptr<GdiObject> find_object(HGDIOBJ handle) {
    auto it = objects().find(handle);
    return it == objects().end() ? nullptr : it->second;
}

HGDIOBJ add_object(std::shared_ptr<GdiObject> object) {
    HGDIOBJ handle = object.get();
    objects().emplace(handle, std::move(object));
    return handle;
}

bool remove_object(HGDIOBJ handle) {
    auto it = objects().find(handle);
    if (it == objects().end() || it->second->stock)
        return false;
    objects().erase(it);
    return true;
}

size_t gdi_object_count() {
    size_t n = 0;
    for (const auto& entry : objects())
        n += entry.second->stock ? 0 : 1;
    return n;
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

static std::shared_ptr<BrushObject> stock_brush(int index) {
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
    case SYSTEM_FONT: return stock_system_font().get();
    case WHITE_BRUSH:
    case BLACK_BRUSH: return stock_brush(index).get();
    default: return nullptr;
    }
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    auto found = find_object(object);
    if (!found)
        return FALSE;
    return found->stock ? TRUE : remove_object(object);
}

int WINAPI GetObjectA(HGDIOBJ object, int size, LPVOID buffer) {
    auto found = find_object(object);
    if (!found || found->kind != ObjectKind::font)
        return 0;
    const auto& lf = static_cast<FontObject&>(*found).logfont;
    if (!buffer)
        return sizeof lf;
    int n = size < static_cast<int>(sizeof lf) ? size : static_cast<int>(sizeof lf);
    std::memcpy(buffer, &lf, n);
    return n;
}
