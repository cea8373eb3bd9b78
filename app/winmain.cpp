// The entry point: registers the window class, creates the minimised window, starts the poll timer
// and runs the message loop until the window is destroyed.
#include "app/main_window.h"

#include <cstring>

static const char CLASS_NAME[] = "Doduzi";
static const char WINDOW_TITLE[] = "Wydruk kartoteki ZV";

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)command_line;
    (void)show;
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
        MessageBoxA(window, "Too many clocks or timers!", CLASS_NAME, MB_ICONEXCLAMATION);
        return 0;
    }
    ShowWindow(window, SW_SHOWMINNOACTIVE);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
