// The program's one window: it owns the poll timer, carries the test-page command in its system
// menu, shows the font sample, and gives the process its message loop.
#pragma once

#include "platform/win32.h"

#define SPOOL_TIMER_ID 1
#define SPOOL_INTERVAL_MS 10000

// The time between polls: SPOOL_INTERVAL_MS unless the folder's poll-seconds says otherwise.
UINT spool_interval_ms(void);

// The window procedure. The window polls for the spooler (a Spooler*) given as the creation
// parameter of CreateWindowExA; a window made without one polls nothing.
LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
