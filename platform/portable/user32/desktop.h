// The programs' side of the portable layer on a Linux desktop.
#pragma once

namespace zvp {

// Chooses how windows are shown: a GTK window when a display can be opened, none otherwise (the
// message loop, timers and messages work the same). Either way SIGTERM and SIGINT close the main
// window, SIGHUP tells it the settings changed (WM_SETTINGCHANGE), and SIGUSR1 chooses the command
// the application added to its system menu. Without a main window (a program that only works
// through a job or two) a request to end posts WM_QUIT, which abandons a job in print. Returns true
// with a display.
bool use_desktop(int* argc, char*** argv);

} // namespace zvp
