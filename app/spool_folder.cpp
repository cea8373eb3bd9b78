#include "app/main_window.h"

#include "spool/event_log.h"
#include "spool/poller.h"

#include <cctype>
#include <string>
#include <vector>

int claim_spool_folder(HANDLE* claim) {
    std::string folder = current_folder();
    // Named after the folder, as the system shows it: one name however the folder was reached.
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
    *claim = CreateMutexA(NULL, FALSE, name.c_str());
    if (*claim != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        log_event(EVENT_ERROR, "another zvspool already watches %s%cZV; this one ends",
                  folder.c_str(), PATH_SEPARATOR);
        CloseHandle(*claim);
        *claim = NULL;
        return 1;
    }
    if (*claim == NULL) {
        char why[768];
        describe_failure("cannot tell whether another zvspool watches this folder", why,
                         sizeof why);
        log_event(EVENT_WARNING, "%s", why);
    }
    return 0;
}
