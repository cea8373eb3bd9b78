// main() of zvspool on Linux: its command line, then the application's WinMain.
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/user32/desktop.h"
#include "platform/portable/winspool/cups/cups_printers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: zvspool [--once | --standby] [FOLDER]\n"
    "Prints the job files zv*.zv that arrive in the folder ZV of FOLDER (by default the current\n"
    "folder) on the default printer, polling every 10 seconds, and deletes each once printed.\n"
    "One zvspool watches a folder, whoever and wherever it runs; another one refuses (exit 1).\n"
    "\n"
    "  --once         poll once and exit: 0 when no job had to be kept, 1 when one was\n"
    "  --standby      when another zvspool watches the folder, wait and take over when it ends\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "SIGTERM, SIGINT and SIGHUP end it; SIGUSR1 prints the test sheet. The log goes to standard\n"
    "error. See zvspool(1).\n";

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

} // namespace

int main(int argc, char** argv) {
    zvp::keep_heap_between_pages();
    const char* folder = nullptr;
    bool once = false;
    bool standby = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
            std::printf("zvspool %s\n", ZV_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--once") == 0 || std::strcmp(arg, "--standby") == 0) {
            (arg[2] == 'o' ? once : standby) = true;
            if (once && standby) {
                std::fprintf(stderr, "zvspool: --once and --standby do not go together\n%s", usage);
                return 2;
            }
            continue;
        }
        if (std::strcmp(arg, "--") == 0 && i + 1 == argc - 1 && !folder) {
            folder = argv[++i];
            break;
        }
        if (arg[0] == '-' || folder) {
            std::fprintf(stderr, "zvspool: %s %s\n%s",
                         arg[0] == '-' ? "unknown option" : "more than one folder:", arg, usage);
            return 2;
        }
        folder = arg;
    }
    if (folder && chdir(folder) != 0) {
        std::fprintf(stderr, "zvspool: cannot work in %s: %s\n", folder, std::strerror(errno));
        return 1;
    }
    check_journal_stream();
    zvp::use_system_printers();
    int gtk_argc = 1;
    char** gtk_argv = argv;
    if (once)
        zvp::use_headless();
    else
        zvp::use_desktop(&gtk_argc, &gtk_argv);
    char once_option[] = "--once";
    char standby_option[] = "--standby";
    char no_option[] = "";
    int status = WinMain(GetModuleHandleA(nullptr), nullptr,
                         once      ? once_option
                         : standby ? standby_option
                                   : no_option,
                         SW_SHOWDEFAULT);
    zvp::end_system_printers();
    return status;
}
