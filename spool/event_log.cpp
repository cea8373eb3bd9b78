#include "spool/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

static const char* level_word(int level) {
    switch (level) {
    case EVENT_ERROR: return "error: ";
    case EVENT_WARNING: return "warning: ";
    default: return "";
    }
}

// Appends the line to the file `path`, first moving a log that would grow past the limit aside
// (to PATH.1).
static void append_to_file(const char* path, const std::string& text) {
    std::string old = std::string(path) + ".1";
    FILE* log = std::fopen(path, "ab");
    if (log == NULL)
        return;
    long size = std::fseek(log, 0, SEEK_END) == 0 ? std::ftell(log) : -1;
    if (size > 0 && size + (long)text.size() > LOG_FILE_LIMIT) {
        std::fclose(log);
        std::remove(old.c_str());
        std::rename(path, old.c_str());
        log = std::fopen(path, "ab");
        if (log == NULL)
            return;
    }
    std::fwrite(text.data(), 1, text.size(), log);
    std::fclose(log);
}

// The file the log goes to: zvspool.log on Windows, which has no standard error to see; on Linux
// the file ZVSPOOL_LOG names (as the desktop's autostart sets it), else none.
static const char* log_file(void) {
#ifdef _WIN32
    return LOG_FILE_NAME;
#else
    const char* named = std::getenv(LOG_FILE_VARIABLE);
    return named != NULL && *named ? named : NULL;
#endif
}

#ifdef _WIN32
static const char LINE_END[] = "\r\n";
#else
static const char LINE_END[] = "\n";
#endif

// Whether standard error is the journal's stream: JOURNAL_STREAM names it by device and inode
// ("8:12345"), and a program started from there that sends its errors elsewhere inherits it.
static int stderr_is_journal(void) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == NULL)
        return 0;
#ifdef _WIN32
    return 0;
#else
    unsigned long long device = 0, inode = 0;
    struct stat st;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(2, &st) == 0 &&
           (unsigned long long)st.st_dev == device && (unsigned long long)st.st_ino == inode;
#endif
}

// One write per line, so lines of two processes never mix. The journal reads a leading "<N>" as
// the line's priority.
static void write_line(int level, const std::string& line) {
    if (const char* file = log_file()) {
        append_to_file(file, line);
        return;
    }
    std::string out = line;
    if (stderr_is_journal())
        out = "<" + std::to_string(level) + ">" + line;
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

std::string log_place(void) {
    if (const char* file = log_file()) {
        std::string path = file;
        int absolute = path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':');
        if (absolute)
            return path;
        char folder[MAX_PATH] = "";
        GetCurrentDirectoryA(sizeof folder, folder);
#ifdef _WIN32
        return std::string(folder) + "\\" + path;
#else
        return std::string(folder) + "/" + path;
#endif
    }
    if (stderr_is_journal())
        return "the systemd journal (journalctl --user -t zvspool)";
    return "standard error";
}

void log_event(int level, const char* format, ...) {
    // However long the event's words, the line says them whole.
    char first[1024];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int length = std::vsnprintf(first, sizeof first, format, args);
    va_end(args);
    std::string text = length < 0 ? std::string(format) : std::string(first);
    if (length >= (int)sizeof first) {
        text.assign((size_t)length + 1, '\0');
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize((size_t)length);
    }
    va_end(again);

    char stamp[32] = "";
    std::time_t now = std::time(NULL);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
    write_line(level, std::string(stamp) + " " + level_word(level) + text + LINE_END);
}

void describe_error(DWORD error, char* text, size_t size) {
    if (size == 0)
        return;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  error, 0, text, (DWORD)size, NULL);
    if (length == 0) {
        std::snprintf(text, size, "error %lu", (unsigned long)error);
        return;
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        text[--length] = '\0';
}

void describe_failure(const char* what, char* text, size_t size) {
    char why[512];
    describe_error(GetLastError(), why, sizeof why);
    std::snprintf(text, size, "%s: %s", what, why);
}

void describe_duration(unsigned long long seconds, char* text, size_t size) {
    if (seconds < 120)
        std::snprintf(text, size, "%llu seconds", seconds);
    else if (seconds < 2 * 3600)
        std::snprintf(text, size, "%llu minutes", seconds / 60);
    else if (seconds < 2 * 86400)
        std::snprintf(text, size, "%llu hours", seconds / 3600);
    else
        std::snprintf(text, size, "%llu days", seconds / 86400);
}

void printable_name(const char* name, char* text, size_t size) {
    if (size == 0)
        return;
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = (unsigned char)name[i];
        text[i] = (c < 0x20 || c == 0x7F) ? '?' : (char)c;
    }
    text[i] = '\0';
}
