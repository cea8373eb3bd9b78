#include "app/main_window.h"

#include "diag/font_sample.h"
#include "diag/test_page.h"
#include "spool/poller.h"
#include "spool/spool_options.h"

#include <cstdio>
#include <cstring>
#include <string>

UINT spool_interval_ms(void) {
    return (UINT)(spool_options.poll_seconds * 1000 + 0.5);
}

// The spooler the window polls for, given when the window is made.
static Spooler* spooler_of(HWND window) {
    return (Spooler*)GetWindowLongPtrA(window, GWLP_USERDATA);
}

// The alarm the window shows below the font sample ("" while no job is stuck), how many alarms
// the desktop was told of, and whether the notification area holds our icon (Windows).
static std::string shown_alarm;
static int told_alarms = 0;
static int icon_added = 0;

static void paint_alarm(HDC dc) {
    if (shown_alarm.empty())
        return;
    SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(160, 0, 0));
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    TextOutA(dc, 0, font_sample_bottom(dc) + font_sample_bottom(dc) / 12, shown_alarm.c_str(),
             (int)shown_alarm.size());
    RestoreDC(dc, -1);
}

// Takes our icon out of the notification area, if it is there.
static void remove_alarm_icon(HWND window) {
    if (!icon_added)
        return;
    NOTIFYICONDATAA icon;
    std::memset(&icon, 0, sizeof icon);
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 1;
    Shell_NotifyIconA(NIM_DELETE, &icon);
    icon_added = 0;
}

// A new alarm in the log: the window asks for attention, and the desktop shows a notification
// (a balloon of the notification area on Windows). A cleared one stops both.
static void tell_alarm(HWND window, const Alarms* alarms) {
    const std::string& alarm = alarms->line;
    if (shown_alarm != alarm) {
        shown_alarm = alarm;
        InvalidateRect(window, NULL, TRUE);
    }
    FLASHWINFO flash = {sizeof flash, window, FLASHW_STOP, 0, 0};
    if (shown_alarm.empty()) {
        told_alarms = alarms->given;
        remove_alarm_icon(window);
        FlashWindowEx(&flash);
        return;
    }
    if (alarms->given <= told_alarms)
        return;
    told_alarms = alarms->given;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
    NOTIFYICONDATAA icon;
    std::memset(&icon, 0, sizeof icon);
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP | NIF_INFO;
    icon.hIcon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(1));
    std::snprintf(icon.szTip, sizeof icon.szTip, "zvspool");
    std::snprintf(icon.szInfoTitle, sizeof icon.szInfoTitle, "zvspool");
    std::snprintf(icon.szInfo, sizeof icon.szInfo, "%s", shown_alarm.c_str());
    icon.dwInfoFlags = NIIF_WARNING;
    if (Shell_NotifyIconA(icon_added ? NIM_MODIFY : NIM_ADD, &icon))
        icon_added = 1;
}

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          (LONG_PTR)((const CREATESTRUCTA*)lParam)->lpCreateParams);
        add_test_page_command(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, SPOOL_TIMER_ID);
        remove_alarm_icon(window);
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        paint_font_sample(dc);
        paint_alarm(dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_SYSCOMMAND:
        if (wParam == IDM_PRINT_TEST) {
            run_test_page_command(window);
            return 0;
        }
        break;
    case WM_ENDSESSION:
        // The session ends without waiting for the poll: the job in print is abandoned (the
        // journal keeps it safe either way).
        if (wParam)
            stop_spooling();
        return 0;
    case WM_TIMER:
        // The timer stands still during the poll, so polls never overlap and the next one comes
        // a full interval after this one ends.
        KillTimer(window, SPOOL_TIMER_ID);
        if (Spooler* spooler = spooler_of(window)) {
            poll_spool_directory(spooler);
            tell_alarm(window, &spooler->alarms);
        }
        SetTimer(window, SPOOL_TIMER_ID, spool_interval_ms(), NULL);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
