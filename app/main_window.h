// The program's one window: it owns the poll timer, carries the test-page command in its system
// menu, shows the font sample, and gives the process its message loop.
#pragma once

#include "platform/win32.h"

#define SPOOL_TIMER_ID 1
#define SPOOL_INTERVAL_MS 10000

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Two spoolers on one folder would print every job twice. Claims the folder the program runs in
// with a mutex named after it, which goes with the process however that ends. Returns 1 when
// another zvspool holds the folder (the log says so); else 0, with `claim` the handle to close at
// the end (NULL when no claim could be made, which the log warns of).
int claim_spool_folder(HANDLE* claim);
