// The entry point: makes sure no other spooler watches this folder, registers the window class,
// creates the minimised window, starts the poll timer and runs the message loop until the window
// is destroyed.
#include "app/main_window.h"
#include "spool/default_printer.h"
#include "spool/event_log.h"
#include "spool/poller.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

static const char CLASS_NAME[] = "Doduzi";
static const char WINDOW_TITLE[] = "Wydruk kartoteki ZV";

#ifdef _WIN32
static const char PATH_SEPARATOR = '\\';
#else
static const char PATH_SEPARATOR = '/';
#endif

static std::string current_folder(void) {
    DWORD size = GetCurrentDirectoryA(0, NULL);
    std::vector<char> buffer(size + 1);
    if (size == 0 || GetCurrentDirectoryA((DWORD)buffer.size(), buffer.data()) == 0)
        return ".";
    return buffer.data();
}

// Two spoolers on one folder would print every job twice. A mutex named after the folder tells
// whether one runs already; it goes with its process, however that ends.
static HANDLE claim_folder(const std::string& folder) {
    std::string name = "Local\\zvspool ";
    for (char c : folder) {
        if (c == '\\')
            c = '/';
#ifdef _WIN32
        c = (char)std::tolower((unsigned char)c); // one folder, however its name is written
#endif
        name += c;
    }
    SetLastError(ERROR_SUCCESS);
    return CreateMutexA(NULL, FALSE, name.c_str());
}

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
    HANDLE claim = claim_folder(folder);
    if (claim != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        log_event(EVENT_ERROR, "another zvspool already watches %s%cZV; this one ends",
                  folder.c_str(), PATH_SEPARATOR);
        CloseHandle(claim);
        return 1;
    }
    if (claim == NULL) {
        char why[768];
        describe_failure("cannot tell whether another zvspool watches this folder", why,
                         sizeof why);
        log_event(EVENT_WARNING, "%s", why);
    }
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
