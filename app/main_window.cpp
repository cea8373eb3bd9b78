#include "app/main_window.h"

#include "diag/font_sample.h"
#include "diag/test_page.h"
#include "spool/poller.h"

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: add_test_page_command(window); return 0;
    case WM_DESTROY:
        KillTimer(window, SPOOL_TIMER_ID);
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        paint_font_sample(dc);
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
        poll_spool_directory(window);
        SetTimer(window, SPOOL_TIMER_ID, SPOOL_INTERVAL_MS, NULL);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
