// The program's one window: it owns the poll timer, carries the test-page command in its system
// menu, shows the font sample, and gives the process its message loop.
#pragma once

#include "platform/win32.h"

#define SPOOL_TIMER_ID 1
#define SPOOL_INTERVAL_MS 10000

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
