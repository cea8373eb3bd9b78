#include "window_system.h"

#include "gdi.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

namespace zvp {

namespace {

using Clock = std::chrono::steady_clock;

struct WindowClass {
    WNDPROC proc = nullptr;
    COLORREF background = 0xFFFFFF;
};

struct Timer {
    UINT interval = 0;
    Clock::time_point due;
    TIMERPROC proc = nullptr;
};

struct State {
    std::map<std::string, WindowClass> classes; // names compared without regard to case
    std::unordered_map<HWND, std::unique_ptr<Window>> windows;
    std::vector<HWND> creation_order;
    std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
    std::deque<MSG> queue;
    std::shared_ptr<WindowBackend> backend = std::make_shared<WindowBackend>();
    uintptr_t next_handle = 0x10000;
    UINT_PTR next_timer_id = 0x7FFF;
};

State& state() {
    static State s;
    return s;
}

std::string fold(const char* name) {
    std::string s(name ? name : "");
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

DWORD tick_count() {
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}

MSG make_msg(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = tick_count();
    return m;
}

// A WM_TIMER is made only when nothing else waits, once per expiry however late it is taken, and
// the timer then counts its interval afresh.
bool take_due_timer(MSG& msg) {
    State& s = state();
    auto now = Clock::now();
    auto best = s.timers.end();
    for (auto it = s.timers.begin(); it != s.timers.end(); ++it)
        if (it->second.due <= now && (best == s.timers.end() || it->second.due < best->second.due))
            best = it;
    if (best == s.timers.end())
        return false;
    best->second.due = now + std::chrono::milliseconds(best->second.interval);
    msg = make_msg(best->first.first, WM_TIMER, best->first.second,
                   reinterpret_cast<LPARAM>(best->second.proc));
    return true;
}

int wait_limit_ms() {
    State& s = state();
    if (s.timers.empty())
        return -1;
    auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (const auto& [key, t] : s.timers)
        next = std::min(next, t.due);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return ms < 0 ? 0 : static_cast<int>(ms) + 1;
}

std::mutex wait_mutex;
std::condition_variable wait_signal;
bool woken = false;

} // namespace

void WindowBackend::wait(int timeout_ms) {
    std::unique_lock<std::mutex> lock(wait_mutex);
    if (timeout_ms < 0)
        wait_signal.wait(lock, [] { return woken; });
    else
        wait_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return woken; });
    woken = false;
}

void WindowBackend::wake() {
    std::lock_guard<std::mutex> lock(wait_mutex);
    woken = true;
    wait_signal.notify_all();
}

int WindowBackend::message_box(Window*, const std::string& text, const std::string& caption, UINT) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return IDOK;
}

void set_window_backend(std::shared_ptr<WindowBackend> backend) {
    state().backend = backend ? std::move(backend) : std::make_shared<WindowBackend>();
}

Window* find_window(HWND window) {
    auto it = state().windows.find(window);
    return it == state().windows.end() ? nullptr : it->second.get();
}

Window* main_window() {
    for (HWND h : state().creation_order)
        if (Window* w = find_window(h))
            return w;
    return nullptr;
}

void dispatch_waiting_messages() {
    State& s = state();
    std::deque<MSG> later;
    while (!s.queue.empty()) {
        MSG m = s.queue.front();
        s.queue.pop_front();
        if (m.message == WM_QUIT)
            later.push_back(m);
        else
            DispatchMessageA(&m);
    }
    s.queue.insert(s.queue.begin(), later.begin(), later.end());
    MSG m;
    while (take_due_timer(m))
        DispatchMessageA(&m);
}

long long timer_remaining_ms(HWND window, UINT_PTR id) {
    auto it = state().timers.find({window, id});
    if (it == state().timers.end())
        return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(it->second.due - Clock::now())
        .count();
}

std::vector<MessageBoxRecord>& message_box_log() {
    static std::vector<MessageBoxRecord> log;
    return log;
}

} // namespace zvp

using namespace zvp;

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    State& s = state();
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
    State& s = state();
    auto cls = s.classes.find(fold(class_name));
    if (cls == s.classes.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto w = std::make_unique<Window>();
    w->handle = reinterpret_cast<HWND>(s.next_handle += 4);
    w->title = title ? title : "";
    w->proc = cls->second.proc;
    w->background = cls->second.background;
    HWND handle = w->handle;
    Window& window = *w;
    s.windows.emplace(handle, std::move(w));
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
    State& s = state();
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    SendMessageA(window, WM_DESTROY, 0, 0);
    for (auto it = s.timers.begin(); it != s.timers.end();)
        it = it->first.first == window ? s.timers.erase(it) : std::next(it);
    s.backend->destroyed(*w);
    s.windows.erase(window);
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
    state().backend->show(*w, show);
    w->visible = show != SW_HIDE && state().backend->shows_windows();
    return was_visible;
}

BOOL WINAPI IsWindowVisible(HWND window) {
    Window* w = find_window(window);
    return w && w->visible;
}

BOOL WINAPI UpdateWindow(HWND window) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    state().backend->update(*w);
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND window, const RECT*, BOOL) {
    Window* w = find_window(window);
    if (!w)
        return FALSE;
    state().backend->invalidate(*w);
    return TRUE;
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

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    State& s = state();
    if (window && !find_window(window))
        return 0;
    if (!window)
        id = s.next_timer_id++;
    // The platform keeps intervals between 10 ms and about 24 days.
    elapse = std::clamp<UINT>(elapse, 10, 0x7FFFFFFF);
    Timer& t = s.timers[{window, id}];
    t.interval = elapse;
    t.due = Clock::now() + std::chrono::milliseconds(elapse);
    t.proc = proc;
    s.backend->wake();
    return window ? (id ? id : 1) : id;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    return state().timers.erase({window, id}) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    if (!msg)
        return -1;
    State& s = state();
    for (;;) {
        if (!s.queue.empty()) {
            *msg = s.queue.front();
            s.queue.pop_front();
            return msg->message != WM_QUIT;
        }
        if (take_due_timer(*msg))
            return TRUE;
        s.backend->wait(wait_limit_ms());
    }
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    if (!msg)
        return FALSE;
    State& s = state();
    s.backend->wait(0);
    for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
        if (window && it->hwnd != window)
            continue;
        if ((first || last) && (it->message < first || it->message > last))
            continue;
        *msg = *it;
        if (remove & PM_REMOVE)
            s.queue.erase(it);
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, tick_count());
        return 0;
    }
    return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window && !find_window(window))
        return FALSE;
    state().queue.push_back(make_msg(window, message, wParam, lParam));
    state().backend->wake();
    return TRUE;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = find_window(window);
    if (!w)
        return 0;
    return w->proc(window, message, wParam, lParam);
}

void WINAPI PostQuitMessage(int exit_code) {
    state().queue.push_back(make_msg(nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0));
    state().backend->wake();
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
    void draw_text(const TextRun&) override {}

  private:
    DeviceCaps caps_;
};

} // namespace

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    Window* w = find_window(window);
    if (!w || !paint)
        return nullptr;
    std::shared_ptr<Device> device = state().backend->paint_device(*w);
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
    MessageBoxRecord record{caption ? caption : "Error", text ? text : "", type};
    message_box_log().push_back(record);
    return state().backend->message_box(find_window(owner), record.text, record.caption, type);
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
