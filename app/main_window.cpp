#include "app/main_window.h"

#include "diag/font_sample.h"
#include "diag/test_page.h"
#include "spool/poller.h"
#include "spool/spool_options.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

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

// `text` broken at its spaces into lines that fit `width` in the font selected in `dc`; a word
// wider than that is broken where it must be.
static std::vector<std::string> wrapped(HDC dc, const std::string& text, int width) {
    std::vector<std::string> lines;
    std::string line;
    auto fits = [&](const std::string& t) {
        SIZE size = {0, 0};
        GetTextExtentPoint32A(dc, t.c_str(), (int)t.size(), &size);
        return width <= 0 || size.cx <= width;
    };
    size_t from = 0;
    while (from < text.size()) {
        size_t space = text.find(' ', from);
        std::string word =
            text.substr(from, space == std::string::npos ? std::string::npos : space - from);
        from = space == std::string::npos ? text.size() : space + 1;
        std::string longer = line.empty() ? word : line + " " + word;
        if (fits(longer)) {
            line = longer;
            continue;
        }
        if (!line.empty())
            lines.push_back(line);
        line = word;
        while (line.size() > 1 && !fits(line)) {
            size_t keep = line.size() - 1;
            while (keep > 1 && !fits(line.substr(0, keep)))
                --keep;
            lines.push_back(line.substr(0, keep));
            line = line.substr(keep);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

static std::string clock_time(long long when) {
    std::time_t t = (std::time_t)when;
    char text[32] = "";
    if (const std::tm* local = std::localtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

enum { SHOWN_WAITING_JOBS = 5 };

// Where things stand, as the window says it below the font sample (its labels in code page
// 1250, the reasons in the log's words): the folder, the printer, the jobs that cannot print and
// why, the job printed last, a test sheet that failed.
static std::vector<std::string> standing_lines(const Spooler* s) {
    std::vector<std::string> lines;
    lines.push_back("Folder: " + current_folder() + PATH_SEPARATOR + "ZV");
    const Standing& st = s->standing;
    if (st.polled == 0)
        return lines;
    std::string printer = st.printer.empty() ? "" : "\"" + st.printer + "\": ";
    lines.push_back("Drukarka: " + printer + st.printer_words);
    int blocked = 0;
    for (const JobStanding& j : st.jobs)
        blocked += !job_state_is_fine(j.state);
    // "Zadania w ZV" (jobs in ZV), "nie drukuj\xB9 si\xEA" (cannot print).
    lines.push_back("Zadania w ZV: " + std::to_string(st.jobs.size()) +
                    (blocked ? ", nie drukuj\xB9 si\xEA: " + std::to_string(blocked) : ""));
    int shown = 0;
    for (const JobStanding& j : st.jobs)
        if (!job_state_is_fine(j.state) && shown++ < SHOWN_WAITING_JOBS)
            lines.push_back(shown_name(j.name) + " [" + j.state + "] " + j.why);
    if (blocked > SHOWN_WAITING_JOBS)
        lines.push_back("... (zvspool --status)");
    if (!st.last_printed.empty())
        lines.push_back("Ostatni wydruk: " + shown_name(st.last_printed) + ", " +
                        clock_time(st.last_printed_at));
    if (!st.test_sheet.empty())
        lines.push_back("Strona testowa nie wydrukowana: " + st.test_sheet);
    return lines;
}

// Below the font sample: the alarm (red), then where things stand, each line wrapped to the
// window's width.
static void paint_standing(HWND window, HDC dc) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    int width = client.right - client.left;
    SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    // The window's own words are Polish: a font of code page 1250, as the sample's are.
    LOGFONTA face;
    std::memset(&face, 0, sizeof face);
    face.lfHeight = -13;
    face.lfCharSet = EASTEUROPE_CHARSET;
    face.lfPitchAndFamily = VARIABLE_PITCH;
    HFONT font = CreateFontIndirectA(&face);
    SelectObject(dc, font != NULL ? (HGDIOBJ)font : GetStockObject(SYSTEM_FONT));
    TEXTMETRICA metrics;
    std::memset(&metrics, 0, sizeof metrics);
    GetTextMetricsA(dc, &metrics);
    int step = metrics.tmHeight > 0 ? metrics.tmHeight : 16;
    int y = font_sample_bottom(dc) + font_sample_bottom(dc) / 12;
    auto say = [&](const std::string& text, COLORREF colour) {
        SetTextColor(dc, colour);
        for (const std::string& line : wrapped(dc, text, width)) {
            TextOutA(dc, 0, y, line.c_str(), (int)line.size());
            y += step;
        }
    };
    if (!shown_alarm.empty())
        say(shown_alarm, RGB(160, 0, 0));
    if (const Spooler* s = spooler_of(window))
        for (const std::string& line : standing_lines(s))
            say(line, RGB(64, 64, 64));
    RestoreDC(dc, -1);
    if (font != NULL)
        DeleteObject(font);
}

// What a click on our icon in the notification area sends the window.
#define WM_ICON_CLICKED (WM_APP + 1)

static NOTIFYICONDATAA our_icon(HWND window) {
    NOTIFYICONDATAA icon;
    std::memset(&icon, 0, sizeof icon);
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 1;
    return icon;
}

// Our icon in the notification area (on Linux the desktop's status area, where it has one), its
// tip saying where things stand, and with `alarm` a balloon (a desktop notification).
static void show_icon(HWND window, const std::string& tip, const std::string& alarm) {
    // A spooler without a window (--no-window) has no icon either: nobody is there to see it.
    const Spooler* s = (const Spooler*)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (s != NULL && s->no_window)
        return;
    NOTIFYICONDATAA icon = our_icon(window);
    icon.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE | (alarm.empty() ? 0 : NIF_INFO);
    icon.uCallbackMessage = WM_ICON_CLICKED;
    icon.hIcon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(1));
    if (icon.hIcon == NULL)
        icon.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    std::snprintf(icon.szTip, sizeof icon.szTip, "%s", tip.c_str());
    std::snprintf(icon.szInfoTitle, sizeof icon.szInfoTitle, "zvspool");
    std::snprintf(icon.szInfo, sizeof icon.szInfo, "%s", alarm.c_str());
    icon.dwInfoFlags = NIIF_WARNING;
    if (Shell_NotifyIconA(icon_added ? NIM_MODIFY : NIM_ADD, &icon))
        icon_added = 1;
}

// Takes our icon out of the notification area, if it is there.
static void remove_icon(HWND window) {
    if (!icon_added)
        return;
    NOTIFYICONDATAA icon = our_icon(window);
    Shell_NotifyIconA(NIM_DELETE, &icon);
    icon_added = 0;
}

// The icon's tip: the jobs in ZV, and the first that cannot print.
static std::string icon_tip(const Spooler* s) {
    const Standing& st = s->standing;
    std::string tip = "zvspool: ZV " + std::to_string(st.jobs.size());
    for (const JobStanding& j : st.jobs)
        if (!job_state_is_fine(j.state))
            return tip + "; " + shown_name(j.name) + " [" + j.state + "] " + j.why;
    if (st.printer_state != PRINTER_READY)
        tip += "; " + st.printer_words;
    return tip;
}

// A new alarm in the log: the window asks for attention, and the desktop shows a notification
// (a balloon of the notification area on Windows). A cleared one stops asking.
static void tell_alarm(HWND window, const Spooler* s) {
    const Alarms* alarms = &s->alarms;
    const std::string& alarm = alarms->line;
    if (shown_alarm != alarm) {
        shown_alarm = alarm;
        InvalidateRect(window, NULL, TRUE);
    }
    FLASHWINFO flash = {sizeof flash, window, FLASHW_STOP, 0, 0};
    if (shown_alarm.empty() || alarms->given <= told_alarms) {
        if (shown_alarm.empty()) {
            told_alarms = alarms->given;
            FlashWindowEx(&flash);
        }
        show_icon(window, icon_tip(s), "");
        return;
    }
    told_alarms = alarms->given;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
    show_icon(window, icon_tip(s), shown_alarm);
}

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          (LONG_PTR)((const CREATESTRUCTA*)lParam)->lpCreateParams);
        add_test_page_command(window);
        show_icon(window, "zvspool", "");
        return 0;
    case WM_ICON_CLICKED:
        if (lParam == WM_LBUTTONUP) {
            ShowWindow(window, SW_RESTORE);
            SetForegroundWindow(window);
        }
        return 0;
    case WM_DESTROY:
        KillTimer(window, SPOOL_TIMER_ID);
        remove_icon(window);
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        paint_font_sample(dc);
        paint_standing(window, dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_SYSCOMMAND:
        if (wParam == IDM_PRINT_TEST) {
            std::string why;
            run_test_page_command(window, &why);
            if (Spooler* spooler = spooler_of(window)) {
                spooler->standing.test_sheet = why;
                InvalidateRect(window, NULL, TRUE);
            }
            return 0;
        }
        break;
    case WM_SETTINGCHANGE:
        // Settings changed (on Linux: SIGHUP): the folder's are read again.
        if (Spooler* spooler = spooler_of(window)) {
            reload_spool_settings(spooler);
            InvalidateRect(window, NULL, TRUE);
        }
        return 0;
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
            tell_alarm(window, spooler);
            InvalidateRect(window, NULL, TRUE);
        }
        SetTimer(window, SPOOL_TIMER_ID, spool_interval_ms(), NULL);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
