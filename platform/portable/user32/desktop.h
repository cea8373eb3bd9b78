// The programs' side of the portable layer on a Linux desktop.
#pragma once

namespace zvp {

// Chooses how windows are shown: a GTK window when a display can be opened, none otherwise (the
// message loop, timers and messages work the same). Either way SIGTERM, SIGINT and SIGHUP close
// the main window and SIGUSR1 chooses the command the application added to its system menu.
// Returns true with a display.
bool use_desktop(int* argc, char*** argv);
// No window even with a display, for a program that only works through a job or two: the same
// signals, and without a main window a request to end posts WM_QUIT, which abandons a job in print.
void use_headless();

} // namespace zvp
