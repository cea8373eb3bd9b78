// What only tests use: views into the portable layer's state, and a fresh start between tests.
#pragma once

#include "platform/portable/include/windows.h"

#include <string>
#include <vector>

namespace zvp {

struct MessageBoxRecord {
    std::string caption;
    std::string text;
    UINT type = 0;
};

struct MenuEntry {
    UINT flags = 0;
    UINT_PTR id = 0;
    std::string text;
};

// Clears every table of the portable layer (device contexts, objects but the stock ones, windows,
// classes, timers, waiting messages, open printers, the printer system) and, from then on, records
// message boxes instead of showing them.
void reset_for_testing();

// What the desktop was asked since the last reset: whether a window asks for attention now, and
// the notifications shown (title, text), in order.
struct DesktopRecord {
    bool flashing = false;
    bool icon_shown = false; // the status icon, and its tip
    std::string icon_tip;
    std::vector<std::pair<std::string, std::string>> notifications;
};
const DesktopRecord& desktop_for_testing();

// The message boxes shown since the last reset, in order.
const std::vector<MessageBoxRecord>& message_boxes_for_testing();
// GDI objects with a live handle, stock objects left out.
size_t gdi_object_count_for_testing();
// Milliseconds until the window's timer fires, or -1 when it does not exist.
long long timer_remaining_ms_for_testing(HWND window, UINT_PTR id);
// The items the application added to a window's system menu.
std::vector<MenuEntry> system_menu_for_testing(HWND window);

} // namespace zvp
