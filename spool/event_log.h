// The program's log: one line per event, stamped with the local time. On Windows the lines are
// appended to zvspool.log in the folder the program runs in, which is kept under 1 MB by moving it
// to zvspool.log.1; on Linux to the file ZVSPOOL_LOG names, kept so too, else to standard error
// (with their syslog priority in front when standard error is the journal).
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <string>

enum EventLevel {
    EVENT_ERROR = 3,
    EVENT_WARNING = 4,
    EVENT_INFO = 6,
};

#define LOG_FILE_NAME "zvspool.log"
#define OLD_LOG_FILE_NAME "zvspool.log.1"
#define LOG_FILE_LIMIT (1024L * 1024L)
#define LOG_FILE_VARIABLE "ZVSPOOL_LOG"

void log_event(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Where the log goes, as a person is told: a file's full path, the journal, standard error.
std::string log_place(void);

// The system's words for an error code, without the line end ("Access is denied."), or its
// number when the system has none.
void describe_error(DWORD error, char* text, size_t size);

// `what`, a colon, and the system's words for the last error.
void describe_failure(const char* what, char* text, size_t size);

// A length of time as a person says it: "40 seconds", "12 minutes", "3 hours", "2 days".
void describe_duration(unsigned long long seconds, char* text, size_t size);

// A file name as it can stand in a log line: control characters become '?'.
void printable_name(const char* name, char* text, size_t size);
