// The entry point: makes sure no other spooler watches this folder (or stands by for it), checks
// where the journal of its jobs is to be kept, registers the window class,
// creates the minimised window, starts the poll timer and runs the message loop until the window
// is destroyed.
#include "app/main_window.h"
#include "spool/default_printer.h"
#include "spool/event_log.h"
#include "spool/folder_claim.h"
#include "spool/poller.h"
#include "spool/spool_options.h"
#include "spool/spool_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char CLASS_NAME[] = "Doduzi";
static const char WINDOW_TITLE[] = "Wydruk kartoteki ZV";

static int has_option(LPSTR command_line, const char* option) {
    if (command_line == NULL)
        return 0;
    size_t length = std::strlen(option);
    for (const char* at = std::strstr(command_line, option); at != NULL;
         at = std::strstr(at + 1, option))
        if ((at == command_line || at[-1] == ' ') && (at[length] == '\0' || at[length] == ' '))
            return 1;
    return 0;
}

// "--once": poll ZV once, without a window, and end with 0 when no job had to be kept, else 1.
static int poll_once(const std::string& folder) {
    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer();
    note_claim_printer(said_default_printer());
    std::string options = describe_spool_options();
    log_event(EVENT_INFO, "zvspool %s polls %s%cZV once; printer: %s%s%s", ZV_VERSION,
              folder.c_str(), PATH_SEPARATOR, printer, options.empty() ? "" : "; ",
              options.c_str());
    if (*spooler_limits())
        log_event(EVENT_WARNING, "%s", spooler_limits());
    check_spool_directory();
    return poll_spool_directory(NULL);
}

// The process id a claim file's holder line names ("USER on HOST, pid N, since T"), or 0.
static DWORD holder_pid(const std::string& holder) {
    size_t at = holder.find(", pid ");
    return at == std::string::npos ? 0 : (DWORD)std::strtoul(holder.c_str() + at + 6, NULL, 10);
}

// A second start in a desktop session (a menu entry clicked while zvspool runs) is told to the
// person who started it: the running window is brought forward if it is theirs, else a message
// names who holds the folder. Without a desktop the log says it.
static void tell_second_start(const std::string& holder, const std::string& folder) {
    if (GetSystemMetrics(SM_CMONITORS) == 0)
        return;
    DWORD pid = holder_pid(holder);
    for (HWND w = FindWindowExA(NULL, NULL, CLASS_NAME, WINDOW_TITLE); w != NULL;
         w = FindWindowExA(NULL, w, CLASS_NAME, WINDOW_TITLE)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (pid == 0 || owner != pid)
            continue;
        ShowWindow(w, SW_RESTORE);
        SetForegroundWindow(w);
        FLASHWINFO flash = {sizeof flash, w, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
        return;
    }
    std::string text = holder + " already watches " + folder + PATH_SEPARATOR +
                       "ZV, so this one ends. One zvspool prints a folder's jobs.";
    MessageBoxA(NULL, text.c_str(), "zvspool", MB_ICONINFORMATION);
}

// Claims the folder for this spooler. Returns 0 when it may go on (it holds the folder, or
// stands by for it), 1 when it must end; the log says why.
static int claim_folder(const std::string& folder, int standby) {
    std::string holder;
    switch (claim_spool_folder(&holder)) {
    case CLAIM_TAKEN: return 0;
    case CLAIM_HELD:
        if (standby) {
            log_event(EVENT_INFO,
                      "%s watches %s%cZV; this one stands by, and takes over when it ends",
                      holder.c_str(), folder.c_str(), PATH_SEPARATOR);
            return 0;
        }
        log_event(EVENT_ERROR, "%s already watches %s%cZV; this one ends", holder.c_str(),
                  folder.c_str(), PATH_SEPARATOR);
        tell_second_start(holder, folder);
        return 1;
    default:
        log_event(EVENT_ERROR, "cannot claim %s%cZV for this zvspool: %s; it ends", folder.c_str(),
                  PATH_SEPARATOR, holder.c_str());
        return 1;
    }
}

// The folder's options, from zvspool.conf and the command line: 0, or 2 when one is wrong.
static int load_options(LPSTR command_line) {
    std::string why;
    if (load_spool_options(command_line, &why) != 0) {
        log_event(EVENT_ERROR, "%s; zvspool does not start", why.c_str());
        return 2;
    }
    if (spool_options.alarm_seconds != 0)
        spool_alarm_seconds = spool_options.alarm_seconds;
    spool_quiet_ms = (unsigned long)(spool_options.quiet_seconds * 1000 + 0.5);
    spool_in_flight = (unsigned long)spool_options.in_flight;
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)show;
    if (load_options(command_line) != 0)
        return 2;
    if (has_option(command_line, "--status")) {
        // Started from a console, the report goes to it (a Windows program has none of its own).
        if (AttachConsole(ATTACH_PARENT_PROCESS))
            std::freopen("CONOUT$", "w", stdout);
        return report_spool_status(has_option(command_line, "--json"));
    }
    std::string folder = current_folder();
    int once = has_option(command_line, "--once");
    if (claim_folder(folder, has_option(command_line, "--standby")) != 0 ||
        check_spool_state() != 0) {
        end_spooling();
        return 1;
    }
    if (once) {
        int result = poll_once(folder);
        end_spooling();
        return result;
    }

    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_wnd_proc;
    wc.hInstance = instance;
    // The program's own icon (resource 1) in the title bar, Alt+Tab and the taskbar; the
    // generic one where the program carries none.
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    if (wc.hIcon == NULL)
        wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = CLASS_NAME;
    wc.hIconSm = wc.hIcon;
    RegisterClassExA(&wc);

    HWND window =
        CreateWindowExA(0, CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (SetTimer(window, SPOOL_TIMER_ID, SPOOL_INTERVAL_MS, NULL) == 0) {
        log_event(EVENT_ERROR, "no timer for the polls; zvspool ends");
        MessageBoxA(window, "Too many clocks or timers!", CLASS_NAME, MB_ICONEXCLAMATION);
        end_spooling();
        return 0;
    }
    ShowWindow(window, SW_SHOWMINNOACTIVE);
    UpdateWindow(window);

    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer();
    note_claim_printer(said_default_printer());
    std::string options = describe_spool_options();
    log_event(EVENT_INFO,
              "zvspool %s started in %s, watching %s%cZV every %d seconds; printer: %s; %s%s%s",
              ZV_VERSION, folder.c_str(), folder.c_str(), PATH_SEPARATOR, SPOOL_INTERVAL_MS / 1000,
              printer, options.empty() ? "" : options.c_str(), options.empty() ? "" : "; ",
              IsWindowVisible(window) ? "with a window" : "without a window (no display)");
    if (*spooler_limits())
        log_event(EVENT_WARNING, "%s", spooler_limits());
    check_spool_directory();

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    log_event(EVENT_INFO, "zvspool ends");
    end_spooling();
    return (int)msg.wParam;
}
