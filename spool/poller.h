// The spool directory poller: every job file in ZV is printed as its own document and deleted.
#pragma once

#include "platform/win32.h"

#include <string>

// Prints and deletes every job file ZV\zv*.zv in name order. A job file is deleted only once its
// whole document was printed; a job that could not be printed stays for the next poll, and the
// log says why (once for as long as the reason stays the same). Returns 0 when every job found was
// printed (or none was found), 1 when a job had to be kept. The window is not used.
int poll_spool_directory(HWND window);

// Says in the log when ZV is missing or cannot be read, and when it can again.
void check_spool_directory(void);

// The folder the program runs in, absolute, and the separator of the platform's paths.
std::string current_folder(void);
extern const char PATH_SEPARATOR;
