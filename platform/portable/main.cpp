// main() of zvspool on Linux: its command line, then the application's WinMain.
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/user32/desktop.h"
#include "platform/portable/winspool/cups/cups_printers.h"
#include "spool/poller.h"
#include "spool/spool_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: zvspool [--once | --standby] [--printer QUEUE] [--archive DIR [--archive-days N]]\n"
    "               [--offset X,Y] [--fit-columns N] [--alarm-after MINUTES]\n"
    "               [--quiet-seconds S] [--in-flight N] [FOLDER]\n"
    "       zvspool --status [--json] [FOLDER]\n"
    "Prints the job files zv*.zv that arrive in the folder ZV of FOLDER (by default the current\n"
    "folder) on the default printer, polling every 10 seconds, and deletes each once printed.\n"
    "One zvspool watches a folder, whoever and wherever it runs; another one refuses (exit 1).\n"
    "\n"
    "  --once         poll once and exit: 0 when no job had to be kept, 1 when one was\n"
    "  --standby      when another zvspool watches the folder, wait and take over when it ends\n"
    "  --printer QUEUE\n"
    "                 print on this queue (as lp -d) rather than the default printer\n"
    "  --archive DIR  keep a PDF of every job printed in DIR, named by time and job file\n"
    "  --archive-days N\n"
    "                 remove the archive's copies older than N days\n"
    "  --offset X,Y   move everything printed X mm right and Y mm down (negative: left, up), so\n"
    "                 pre-printed forms line up on this printer\n"
    "  --fit-columns N\n"
    "                 make pages smaller, when they must be, so that N columns at 10 cpi and 66\n"
    "                 lines fit the printable area; by default the grid is exact\n"
    "  --alarm-after MINUTES\n"
    "                 a job kept, or handed over and not printed, for this long is stuck: the\n"
    "                 log warns, and again at 3 and 12 times it, then every 12 times it; by\n"
    "                 default 5 (5, 15 and 60 minutes, then hourly)\n"
    "  --quiet-seconds S\n"
    "                 take a job file once it has been left alone for S seconds, and hold its\n"
    "                 job as long again after its document went; by default 2. Set it above\n"
    "                 the longest pause of a producer that writes its files in pieces\n"
    "  --in-flight N  hand over at most N jobs not yet printed at a time, so that a shared\n"
    "                 print server keeps room for what it finished; by default 5\n"
    "  --status       show who watches the folder and every job in ZV with its state, and exit:\n"
    "                 0 when no job is kept or stuck, 1 when one is; it never prints or deletes\n"
    "  --json         with --status: the same as JSON\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "The same settings, as \"key = value\" lines (printer = office), may stand in the file\n"
    "zvspool.conf beside ZV; the command line wins. SIGTERM, SIGINT and SIGHUP end it; SIGUSR1\n"
    "prints the test sheet. The log goes to standard error. See zvspool(1).\n";

int bad_usage(const std::string& why) {
    std::fprintf(stderr, "zvspool: %s\n%s", why.c_str(), usage);
    return 2;
}

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
    std::string settings_line;
    bool once = false, standby = false, status = false, json = false;
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
        bool* flag = std::strcmp(arg, "--once") == 0      ? &once
                     : std::strcmp(arg, "--standby") == 0 ? &standby
                     : std::strcmp(arg, "--status") == 0  ? &status
                     : std::strcmp(arg, "--json") == 0    ? &json
                                                          : nullptr;
        if (flag) {
            *flag = true;
            continue;
        }
        // The folder's settings go to WinMain on its command line, which checks them after the
        // folder's zvspool.conf.
        bool setting = false;
        for (const char* s : SPOOL_SETTINGS)
            setting = setting || (std::strncmp(arg, "--", 2) == 0 && std::strcmp(arg + 2, s) == 0);
        if (setting) {
            if (i + 1 >= argc || std::strchr(argv[i + 1], '"'))
                return bad_usage(std::string(arg) + " needs a value (with no double quote)");
            settings_line += std::string(" ") + arg + " \"" + argv[++i] + "\"";
            continue;
        }
        if (std::strcmp(arg, "--") == 0 && i + 1 == argc - 1 && !folder) {
            folder = argv[++i];
            break;
        }
        if (arg[0] == '-' || folder)
            return bad_usage(
                std::string(arg[0] == '-' ? "unknown option " : "more than one folder: ") + arg);
        folder = arg;
    }
    if (once + standby + status > 1)
        return bad_usage("--once, --standby and --status do not go together");
    if (json && !status)
        return bad_usage("--json goes with --status");
    if (folder && chdir(folder) != 0) {
        std::fprintf(stderr, "zvspool: cannot work in %s: %s\n", folder, std::strerror(errno));
        return status ? 2 : 1;
    }
    check_journal_stream();
    zvp::use_system_printers();
    int gtk_argc = 1;
    char** gtk_argv = argv;
    if (once || status)
        zvp::use_headless();
    else
        zvp::use_desktop(&gtk_argc, &gtk_argv);
    // WinMain reads the options as Windows gives them: one command line.
    std::string command_line = once      ? "--once"
                               : standby ? "--standby"
                               : status  ? (json ? "--status --json" : "--status")
                                         : "";
    command_line += settings_line;
    int exit_status = WinMain(GetModuleHandleA(nullptr), nullptr, &command_line[0], SW_SHOWDEFAULT);
    zvp::end_system_printers();
    return exit_status;
}
