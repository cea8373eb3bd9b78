// Window classes, windows, their procedures and painting, system menus and message boxes.
#include "platform/portable/user32/window_state.h"

#include "platform/portable/gdi32/dc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace zvp {

namespace {

std::string fold(const char* name) {
    std::string s(name ? name : "");
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

User32& user32() {
    static User32 s;
    return s;
}

int WindowBackend::message_box(Window*, const std::string& text, const std::string& caption, UINT) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return IDOK;
}

void set_window_backend(std::shared_ptr<WindowBackend> backend) {
    user32().backend = backend ? std::move(backend) : std::make_shared<WindowBackend>();
}

Window* find_window(HWND window) {
    return user32().windows.get(window);
}

Window* main_window() {
    for (HWND h : user32().creation_order)
        if (Window* w = find_window(h))
            return w;
    return nullptr;
}

} // namespace zvp

using namespace zvp;

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    User32& s = user32();
    std::string name = fold(wc->lpszClassName);
    if (s.classes.count(name))
        return 0;
    WindowClass c;
    c.proc = wc->lpfnWndProc;
    if (auto brush = std::dynamic_pointer_cast<BrushObject>(find_object(wc->hbrBackground)))
        c.background = brush->color;
    s.classes[name] = c;
    return static_cast<ATOM>(0xC000 + s.classes.size());
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
    User32& s = user32();
    auto cls = s.classes.find(fold(class_name));
    if (cls == s.classes.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto w = std::make_shared<Window>();
    w->title = title ? title : "";
    w->proc = cls->second.proc;
    w->background = cls->second.background;
    Window& window = *w;
    HWND handle = static_cast<HWND>(s.windows.add(std::move(w)));
    window.handle = handle;
    s.creation_order.push_back(handle);
    s.backend->created(window);

    CREATESTRUCTA cs{
        param, instance,   menu,    parent, height, width, y, x, static_cast<LONG>(style),
        title, class_name, ex_style};
    if (SendMessageA(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(handle);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI DestroyWindow(HWND window) {
    User32& s = user32();
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    SendMessageA(window, WM_DESTROY, 0, 0);
    for (auto it = s.timers.begin(); it != s.timers.end();)
        it = it->first.first == window ? s.timers.erase(it) : std::next(it);
    s.backend->destroyed(*w);
    s.windows.remove(window);
    s.creation_order.erase(std::remove(s.creation_order.begin(), s.creation_order.end(), window),
                           s.creation_order.end());
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    return find_window(window) != nullptr;
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    bool was_visible = w->visible;
    user32().backend->show(*w, show);
    w->visible = show != SW_HIDE && user32().backend->shows_windows();
    return was_visible;
}

BOOL WINAPI IsWindowVisible(HWND window) {
    Window* w = find_window(window);
    return w && w->visible;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    Window* w = find_window(window);
    if (!w || index != GWLP_USERDATA) {
        SetLastError(w ? ERROR_INVALID_INDEX : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR before = w->user_data;
    w->user_data = value;
    SetLastError(ERROR_SUCCESS);
    return before;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND window, int index) {
    Window* w = find_window(window);
    if (!w || index != GWLP_USERDATA) {
        SetLastError(w ? ERROR_INVALID_INDEX : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return w->user_data;
}

BOOL WINAPI UpdateWindow(HWND window) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    user32().backend->update(*w);
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND window, const RECT*, BOOL) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    user32().backend->invalidate(*w);
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND window, LPRECT rect) {
    Window* w = find_window(window);
    if (!w || !rect) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    int width = 0, height = 0;
    user32().backend->client_size(*w, width, height);
    *rect = RECT{0, 0, width, height};
    return TRUE;
}

BOOL WINAPI FlashWindowEx(PFLASHWINFO info) {
    Window* w = info ? find_window(info->hwnd) : nullptr;
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    user32().backend->flash(*w, info->dwFlags != FLASHW_STOP);
    return TRUE;
}

HWND WINAPI FindWindowExA(HWND parent, HWND after, LPCSTR class_name, LPCSTR title) {
    (void)parent;
    (void)class_name; // every window of the process is of the application's one class
    const std::vector<HWND>& order = user32().creation_order;
    auto from = after ? std::find(order.begin(), order.end(), after) : order.begin();
    if (after && from != order.end())
        ++from;
    for (auto it = from; it != order.end(); ++it) {
        Window* w = find_window(*it);
        if (w && (!title || w->title == title))
            return *it;
    }
    return nullptr;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD process) {
    if (!find_window(window))
        return 0;
    if (process)
        *process = GetCurrentProcessId();
    return 1;
}

BOOL WINAPI SetForegroundWindow(HWND window) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    user32().backend->show(*w, SW_SHOWNORMAL);
    return TRUE;
}

int WINAPI GetSystemMetrics(int index) {
    return index == SM_CMONITORS && user32().backend->shows_windows() ? 1 : 0;
}

BOOL WINAPI Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Window* w = find_window(data->hWnd)) {
        if (data->uFlags & NIF_MESSAGE)
            w->icon_message = data->uCallbackMessage;
        std::string tip(data->szTip, strnlen(data->szTip, sizeof data->szTip));
        if (message == NIM_DELETE)
            user32().backend->status_icon(*w, false, "", 0);
        else if (data->uFlags & (NIF_ICON | NIF_TIP))
            user32().backend->status_icon(*w, true, tip, w->icon_message);
    }
    if (message == NIM_DELETE || !(data->uFlags & NIF_INFO) || !data->szInfo[0])
        return TRUE;
    std::string title(data->szInfoTitle, strnlen(data->szInfoTitle, sizeof data->szInfoTitle));
    std::string text(data->szInfo, strnlen(data->szInfo, sizeof data->szInfo));
    return user32().backend->notify(title, text) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (message) {
    case WM_CLOSE: DestroyWindow(window); return 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE: PostMessageA(window, WM_CLOSE, 0, 0); break;
        case SC_MINIMIZE: ShowWindow(window, SW_SHOWMINNOACTIVE); break;
        case SC_RESTORE: ShowWindow(window, SW_SHOWNORMAL); break;
        default: break;
        }
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
    }
    default: return 0;
    }
}

HMENU WINAPI GetSystemMenu(HWND window, BOOL) {
    // The window's handle stands for its system menu.
    return find_window(window) ? reinterpret_cast<HMENU>(window) : nullptr;
}

BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
    Window* w = find_window(reinterpret_cast<HWND>(menu));
    if (!w)
        return FALSE;
    w->system_menu.push_back(MenuItem{flags, id, (flags & MF_SEPARATOR) || !text ? "" : text});
    return TRUE;
}

namespace {

// What a window is painted on when there is nothing to show it: 96 dots per inch, draws nothing.
class NullDisplay : public Device {
  public:
    NullDisplay() {
        caps_.horzres = 1024;
        caps_.vertres = 768;
        caps_.horzsize = 271;
        caps_.vertsize = 203;
        caps_.printer = false;
    }
    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return fixed_font_engine(); }
    bool draw_text(const TextRun&) override { return true; }

  private:
    DeviceCaps caps_;
};

} // namespace

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    Window* w = find_window(window);
    if (!w || !paint)
        return nullptr;
    std::shared_ptr<Device> device = user32().backend->paint_device(*w);
    if (!device)
        device = std::make_shared<NullDisplay>();
    *paint = PAINTSTRUCT{};
    paint->hdc = create_dc(std::move(device));
    const DeviceCaps& caps = find_dc(paint->hdc)->device->caps();
    paint->rcPaint = RECT{0, 0, caps.horzres, caps.vertres};
    w->painting = true;
    return paint->hdc;
}

BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT* paint) {
    Window* w = find_window(window);
    if (w)
        w->painting = false;
    if (paint)
        DeleteDC(paint->hdc);
    return TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return user32().backend->message_box(find_window(owner), text ? text : "",
                                         caption ? caption : "Error", type);
}

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR name) {
    return reinterpret_cast<HICON>(const_cast<char*>(name));
}

HCURSOR WINAPI LoadCursorA(HINSTANCE, LPCSTR name) {
    return reinterpret_cast<HCURSOR>(const_cast<char*>(name));
}

HINSTANCE WINAPI GetModuleHandleA(LPCSTR) {
    static int module;
    return reinterpret_cast<HINSTANCE>(&module);
}
