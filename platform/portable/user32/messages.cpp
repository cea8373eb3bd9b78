// The message queue, window timers and the message loop's calls.
#include "platform/portable/user32/window_state.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace zvp {

namespace {

using Clock = std::chrono::steady_clock;

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
    User32& s = user32();
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
    User32& s = user32();
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

void dispatch_waiting_messages() {
    User32& s = user32();
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

} // namespace zvp

using namespace zvp;

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    User32& s = user32();
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
    return user32().timers.erase({window, id}) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    if (!msg)
        return -1;
    User32& s = user32();
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
    User32& s = user32();
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
    user32().queue.push_back(make_msg(window, message, wParam, lParam));
    user32().backend->wake();
    return TRUE;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = find_window(window);
    if (!w)
        return 0;
    return w->proc(window, message, wParam, lParam);
}

void WINAPI PostQuitMessage(int exit_code) {
    user32().queue.push_back(make_msg(nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0));
    user32().backend->wake();
}
