// The portable USER32's state and its back end: window classes, windows, the message queue and
// window timers are kept here; a back end shows the windows (GTK), or none (headless), and runs
// the platform's events while the message loop waits.
#pragma once

#include "platform/portable/gdi32/device.h"
#include "platform/portable/handles.h"
#include "platform/portable/include/windows.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zvp {

struct MenuItem {
    UINT flags = 0;
    UINT_PTR id = 0;
    std::string text; // code page 1250, '&' before the access key
};

struct Window {
    HWND handle = nullptr;
    std::string title; // code page 1250
    WNDPROC proc = nullptr;
    COLORREF background = 0xFFFFFF;
    std::vector<MenuItem> system_menu;
    bool painting = false;
    bool visible = false;
    LONG_PTR user_data = 0; // GWLP_USERDATA
    UINT icon_message = 0;  // what a click on its status icon sends
    void* native = nullptr; // the backend's own
};

class WindowBackend {
  public:
    virtual ~WindowBackend() = default;
    // Whether windows can be seen at all (false without a display).
    virtual bool shows_windows() const { return false; }
    virtual void created(Window&) {}
    virtual void destroyed(Window&) {}
    virtual void show(Window&, int) {}
    virtual void update(Window&) {}
    virtual void invalidate(Window&) {}
    // Asks for the user's attention to the window, or stops asking.
    virtual void flash(Window&, bool) {}
    // The window's icon in the desktop's status area, with its tip (code page 1250); none when
    // `shown` is false. Clicking it sends the window `message` (lParam WM_LBUTTONUP).
    virtual void status_icon(Window&, bool shown, const std::string& tip, UINT message) {
        (void)shown, (void)tip, (void)message;
    }
    // A desktop notification, in code page 1250: false when there is no one to show it.
    virtual bool notify(const std::string&, const std::string&) { return false; }
    // Runs the platform's events until `timeout_ms` has passed (-1: no limit) or wake() is called.
    virtual void wait(int timeout_ms);
    virtual void wake();
    virtual int message_box(Window* owner, const std::string& text, const std::string& caption,
                            UINT type);
    // The size of the window's client area (0 by 0 where it is not shown).
    virtual void client_size(Window&, int& width, int& height) { width = height = 0; }
    // What BeginPaint draws on; null when the window cannot be painted now.
    virtual std::shared_ptr<Device> paint_device(Window&) { return nullptr; }
};

struct WindowClass {
    WNDPROC proc = nullptr;
    COLORREF background = 0xFFFFFF;
};

struct Timer {
    UINT interval = 0;
    std::chrono::steady_clock::time_point due;
    TIMERPROC proc = nullptr;
};

// All of USER32's state, one per process.
struct User32 {
    std::map<std::string, WindowClass> classes; // names folded to lower case
    HandleTable<Window> windows{HandleKind::window};
    std::vector<HWND> creation_order;
    std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
    std::deque<MSG> queue;
    std::shared_ptr<WindowBackend> backend = std::make_shared<WindowBackend>();
    UINT_PTR next_timer_id = 0x7FFF;
};
User32& user32();

void set_window_backend(std::shared_ptr<WindowBackend> backend);
Window* find_window(HWND window);
// The first window created and not yet destroyed, or null: the one signals close.
Window* main_window();
// Dispatches what is waiting (posted messages, due timers; not WM_QUIT), for modal loops that
// run the platform's events while the message loop cannot.
void dispatch_waiting_messages();

} // namespace zvp
