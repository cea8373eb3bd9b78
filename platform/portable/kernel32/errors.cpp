#include "platform/portable/kernel32/errors.h"

#include <array>
#include <mutex>

namespace zvp {

namespace {

// Codes with bit 29 set are the application's own on Windows, never the system's.
constexpr DWORD kFirstCode = 0x20000001;
constexpr DWORD kLastCode = 0x2FFFFFFF;

struct Entry {
    DWORD code = 0;
    std::string text;
};

// A ring of the most recent texts: a job kept for hours with one reason keeps one code, while the
// table stays small whatever texts (with paths, times, numbers) come along over the years.
struct Registry {
    std::mutex lock;
    std::array<Entry, 64> entries;
    size_t next = 0;
    DWORD next_code = kFirstCode;
};

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace

DWORD set_last_error_message(const std::string& message) {
    Registry& r = registry();
    DWORD code = 0;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (const Entry& e : r.entries)
            if (e.code != 0 && e.text == message)
                code = e.code;
        if (code == 0) {
            code = r.next_code;
            r.next_code = r.next_code == kLastCode ? kFirstCode : r.next_code + 1;
            r.entries[r.next] = Entry{code, message};
            r.next = (r.next + 1) % r.entries.size();
        }
    }
    SetLastError(code);
    return code;
}

std::string registered_message(DWORD code) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const Entry& e : r.entries)
        if (e.code == code && code != 0)
            return e.text;
    return {};
}

void set_last_error_words(const std::string& why, DWORD otherwise) {
    if (why.empty())
        SetLastError(otherwise);
    else
        set_last_error_message(why);
}

} // namespace zvp
