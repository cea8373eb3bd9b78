// The machine, the process and its user, and time that only goes forward.
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/sleep_hook.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace zvp {

std::function<void(DWORD)>& sleep_hook() {
    static std::function<void(DWORD)> hook;
    return hook;
}

unsigned long long& tick_offset_ms() {
    static unsigned long long offset = 0;
    return offset;
}

std::function<int(const std::string& path)>& flush_hook() {
    static std::function<int(const std::string&)> hook;
    return hook;
}

} // namespace zvp

namespace {

// Copies `text` as Windows returns names: the length without the zero in `size` on success, the
// room needed (with the zero) and ERROR_INSUFFICIENT_BUFFER when it does not fit.
BOOL give_name(const std::string& text, LPSTR buffer, LPDWORD size, bool size_counts_zero) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), needed);
    *size = size_counts_zero ? needed : needed - 1;
    return TRUE;
}

} // namespace

unsigned long long WINAPI GetTickCount64(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<unsigned long long>(t.tv_sec) * 1000ULL +
           static_cast<unsigned long long>(t.tv_nsec) / 1000000ULL + zvp::tick_offset_ms();
}

void WINAPI Sleep(DWORD milliseconds) {
    if (zvp::sleep_hook())
        zvp::sleep_hook()(milliseconds);
    struct timespec t {
        static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
    };
    while (nanosleep(&t, &t) != 0 && errno == EINTR)
        ;
}

BOOL WINAPI GetComputerNameA(LPSTR buffer, LPDWORD size) {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    std::string text = name;
    // Windows gives the NetBIOS name: the host name up to its first dot.
    text = text.substr(0, text.find('.'));
    return give_name(text, buffer, size, false);
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

BOOL WINAPI GetUserNameA(LPSTR buffer, LPDWORD size) {
    struct passwd* pw = getpwuid(geteuid());
    std::string name = pw && pw->pw_name ? pw->pw_name : std::to_string(geteuid());
    return give_name(name, buffer, size, true);
}

BOOL WINAPI AttachConsole(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
