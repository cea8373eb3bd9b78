// main() of zvspool on Linux: the desktop and the print system set up, then the application's
// WinMain with the arguments joined into one command line, as Windows gives it.
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/user32/desktop.h"
#include "platform/portable/winspool/cups/cups_printers.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

// systemd tells a service that its standard error is the journal through JOURNAL_STREAM (device
// and inode of that stream). A program started from such a service with another standard error
// inherits the variable, so it counts only when the stream is still the same.
void check_journal_stream() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return;
    unsigned long long device = 0, inode = 0;
    struct stat st;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 || fstat(2, &st) != 0 ||
        st.st_dev != device || st.st_ino != inode)
        unsetenv("JOURNAL_STREAM");
}

// One argument as it stands in a Windows command line: quoted where it must be, a double quote
// escaped and the backslashes before one doubled.
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos)
        return word;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

} // namespace

int main(int argc, char** argv) {
    zvp::keep_heap_between_pages();
    check_journal_stream();
    zvp::use_system_printers();
    // GTK takes its own options (--display) out of the arguments.
    zvp::use_desktop(&argc, &argv);
    // GTK sets the C library's locale from the environment. Numbers stay as a Windows program's C
    // runtime has them, with a decimal dot (in an office of pl_PL "2.5" would not read and 2.5
    // would print as "2,5"): settings, the log and what is sent to a print server.
    std::setlocale(LC_NUMERIC, "C");
    std::string command_line;
    for (int i = 1; i < argc; ++i)
        command_line += (i > 1 ? " " : "") + quoted(argv[i]);
    int exit_status = WinMain(GetModuleHandleA(nullptr), nullptr, &command_line[0], SW_SHOWDEFAULT);
    zvp::end_system_printers();
    return exit_status;
}
