#include "platform/portable/testing/hooks.h"

#include "platform/portable/gdi32/dc.h"
#include "platform/portable/user32/window_state.h"
#include "platform/portable/winspool/printer_system.h"
#ifndef _WIN32
#include "platform/portable/kernel32/objects.h"
#include "platform/portable/kernel32/sleep_hook.h"
#endif

namespace zvp {

namespace {

std::vector<MessageBoxRecord>& message_boxes() {
    static std::vector<MessageBoxRecord> boxes;
    return boxes;
}

// A desktop without a screen whose message boxes are written down, not shown.
DesktopRecord& desktop() {
    static DesktopRecord record;
    return record;
}

class RecordingBackend : public WindowBackend {
  public:
    void flash(Window&, bool on) override { desktop().flashing = on; }
    void status_icon(Window&, bool shown, const std::string& tip, UINT) override {
        desktop().icon_shown = shown;
        desktop().icon_tip = tip;
    }
    bool notify(const std::string& title, const std::string& text) override {
        desktop().notifications.emplace_back(title, text);
        return true;
    }
    int message_box(Window*, const std::string& text, const std::string& caption,
                    UINT type) override {
        message_boxes().push_back(MessageBoxRecord{caption, text, type});
        return IDOK;
    }
};

} // namespace

void reset_for_testing() {
    Gdi32& gdi = gdi32();
    gdi.contexts.remove_if([](const DeviceContext&) { return true; });
    gdi.objects.remove_if([](const GdiObject& o) { return !o.stock; });
    User32& user = user32();
    user.windows.remove_if([](const Window&) { return true; });
    user.classes.clear();
    user.creation_order.clear();
    user.timers.clear();
    user.queue.clear();
    set_window_backend(std::make_shared<RecordingBackend>());
    message_boxes().clear();
    desktop() = DesktopRecord();
    Winspool& spool = winspool();
    spool.printers.remove_if([](const OpenPrinter&) { return true; });
    spool.system.reset();
#ifndef _WIN32
    // The Windows test build has the real KERNEL32.
    kernel32().searches.remove_if([](const Search&) { return true; });
    tick_offset_ms() = 0;
    flush_hook() = nullptr;
#endif
}

const DesktopRecord& desktop_for_testing() {
    return desktop();
}

const std::vector<MessageBoxRecord>& message_boxes_for_testing() {
    return message_boxes();
}

size_t gdi_object_count_for_testing() {
    size_t n = 0;
    gdi32().objects.for_each([&](const GdiObject& o) { n += o.stock ? 0 : 1; });
    return n;
}

long long timer_remaining_ms_for_testing(HWND window, UINT_PTR id) {
    auto it = user32().timers.find({window, id});
    if (it == user32().timers.end())
        return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(it->second.due -
                                                                 std::chrono::steady_clock::now())
        .count();
}

std::vector<MenuEntry> system_menu_for_testing(HWND window) {
    std::vector<MenuEntry> entries;
    if (Window* w = find_window(window))
        for (const MenuItem& item : w->system_menu)
            entries.push_back(MenuEntry{item.flags, item.id, item.text});
    return entries;
}

} // namespace zvp
