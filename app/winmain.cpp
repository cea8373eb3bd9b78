// The entry point: makes sure no other spooler watches this folder, registers the window class,
// creates the minimised window, starts the poll timer and runs the message loop until the window
// is destroyed.
#include "app/main_window.h"
#include "spool/default_printer.h"
#include "spool/event_log.h"
#include "spool/poller.h"

#include <cstring>
#include <string>

static const char CLASS_NAME[] = "Doduzi";
static const char WINDOW_TITLE[] = "Wydruk kartoteki ZV";

// "--once": poll ZV once, without a window, and end with 0 when no job had to be kept, else 1.
static int poll_once(const std::string& folder) {
    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer();
    log_event(EVENT_INFO, "zvspool %s polls %s%cZV once; printer %s", ZV_VERSION, folder.c_str(),
              PATH_SEPARATOR, printer);
    check_spool_directory();
    return poll_spool_directory(NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)show;
    std::string folder = current_folder();
    HANDLE claim = NULL;
    if (claim_spool_folder(&claim) != 0)
        return 1;
    if (command_line != NULL && std::strcmp(command_line, "--once") == 0) {
        int result = poll_once(folder);
        if (claim != NULL)
            CloseHandle(claim);
        return result;
    }

    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_wnd_proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = CLASS_NAME;
    wc.hIconSm = LoadIconA(NULL, IDI_APPLICATION);
    RegisterClassExA(&wc);

    HWND window =
        CreateWindowExA(0, CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (SetTimer(window, SPOOL_TIMER_ID, SPOOL_INTERVAL_MS, NULL) == 0) {
        log_event(EVENT_ERROR, "no timer for the polls; zvspool ends");
        MessageBoxA(window, "Too many clocks or timers!", CLASS_NAME, MB_ICONEXCLAMATION);
        if (claim != NULL)
            CloseHandle(claim);
        return 0;
    }
    ShowWindow(window, SW_SHOWMINNOACTIVE);
    UpdateWindow(window);

    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer();
    log_event(EVENT_INFO,
              "zvspool %s started in %s, watching %s%cZV every %d seconds; printer %s; %s",
              ZV_VERSION, folder.c_str(), folder.c_str(), PATH_SEPARATOR, SPOOL_INTERVAL_MS / 1000,
              printer, IsWindowVisible(window) ? "with a window" : "without a window (no display)");
    check_spool_directory();

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    log_event(EVENT_INFO, "zvspool ends");
    if (claim != NULL)
        CloseHandle(claim);
    return (int)msg.wParam;
}
