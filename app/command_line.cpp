#include "app/command_line.h"

#include <cstring>

const char ZVSPOOL_USAGE[] =
    "usage: zvspool [--once | --standby] [--no-window] [--printer QUEUE] [--archive DIR\n"
    "               [--archive-days N]] [--offset X,Y] [--fit-columns N] [--alarm-after MINUTES]\n"
    "               [--quiet-seconds S] [--in-flight N] [--poll-seconds S] [--render WHERE]\n"
    "               [FOLDER]\n"
    "       zvspool --status [--json] [FOLDER]\n"
    "Prints the job files zv*.zv that arrive in the folder ZV of FOLDER (by default the current\n"
    "folder) on the default printer, polling every 10 seconds, and deletes each once printed.\n"
    "One zvspool watches a folder, whoever and wherever it runs; another one refuses (exit 1).\n"
    "\n"
    "  --once         poll once and exit: 0 when no job had to be kept, 1 when one was\n"
    "  --standby      when another zvspool watches the folder, wait and take over when it ends\n"
    "  --no-window    no window, icon or message box, for a start at boot with nobody logged\n"
    "                 in: the log says what happens\n"
    "  --printer QUEUE\n"
    "                 print on this queue (as lp -d) rather than the default printer\n"
#if !defined(_WIN32) || defined(ZV_PORTABLE_WIN32)
    "                 (\"zvspool PDF\": the built-in PDF printer, into ~/PDF)\n"
#endif
    "  --archive DIR  keep a PDF of every job printed in DIR, named by time, folder and job file\n"
    "  --archive-days N\n"
    "                 remove the archive's copies older than N days\n"
    "  --offset X,Y   move everything printed X mm right and Y mm down (negative: left, up), so\n"
    "                 pre-printed forms line up on this printer; with decimal commas X;Y\n"
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
    "  --poll-seconds S\n"
    "                 poll every S seconds (0.1 to 3600) rather than every 10\n"
    "  --render WHERE here (zvspool renders each job) or server: each job file goes as it is,\n"
    "                 for the CUPS print server of the printer to render with zvtopdf\n"
    "  --status       show who watches the folder, its printer and every job in ZV with its\n"
    "                 state, and exit: 0 when every job is on its way to paper, 1 when one\n"
    "                 cannot print, 2 when there is no ZV; it never prints or deletes\n"
    "  --json         with --status: the same as JSON\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "The same settings, as \"key = value\" lines (printer = office), may stand in the file\n"
    "zvspool.conf beside ZV; the command line wins. "
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
    "The log goes to zvspool.log beside ZV.\n";
#else
    "SIGHUP reads it again; SIGTERM and SIGINT\n"
    "end zvspool; SIGUSR1 prints the test sheet. See zvspool(1).\n"
    "The log goes to $ZVSPOOL_LOG, else to standard error (the journal under systemd).\n";
#endif

std::vector<std::string> command_words(const char* text) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (const char* c = text; c != NULL && *c != '\0'; ++c) {
        if (*c == '\\') {
            size_t backslashes = std::strspn(c, "\\");
            if (c[backslashes] == '"') {
                word.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1)
                    word += '"';
                else
                    quoted = !quoted;
                c += backslashes;
            } else {
                word.append(backslashes, '\\');
                c += backslashes - 1;
            }
            any = true;
        } else if (*c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((*c == ' ' || *c == '\t') && !quoted) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += *c;
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    return words;
}

static int is_setting(const std::string& key) {
    for (const char* s : SPOOL_SETTINGS)
        if (key == s)
            return 1;
    return 0;
}

int parse_command_line(const char* text, CommandLine* line, std::string* why) {
    CommandLine out;
    std::vector<std::string> words = command_words(text);
    int once = 0, standby = 0, status = 0, folders = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "-h" || word == "--help" || word == "-V" || word == "--version") {
            line->mode = word == "-h" || word == "--help" ? RUN_HELP : RUN_VERSION;
            return 0;
        }
        if (word == "--once" || word == "--standby" || word == "--status" || word == "--json" ||
            word == "--no-window") {
            int* flag = word == "--once"      ? &once
                        : word == "--standby" ? &standby
                        : word == "--status"  ? &status
                        : word == "--json"    ? &out.json
                                              : &out.no_window;
            *flag = 1;
            continue;
        }
        if (word.compare(0, 2, "--") == 0 && is_setting(word.substr(2))) {
            if (i + 1 >= words.size()) {
                *why = word + " needs a value";
                return 2;
            }
            out.settings.push_back(SpoolSetting{word.substr(2), words[++i]});
            continue;
        }
        // "--" ends the options: the folder may start with a dash.
        if (word == "--" && i + 2 == words.size() && folders == 0) {
            out.folder = words[++i];
            ++folders;
            break;
        }
        if (word[0] == '-' || folders > 0) {
            *why = (word[0] == '-' ? "unknown option " : "more than one folder: ") + word;
            return 2;
        }
        out.folder = word;
        ++folders;
    }
    if (once + standby + status > 1) {
        *why = "--once, --standby and --status do not go together";
        return 2;
    }
    if (out.no_window && (once || status)) {
        *why = "--no-window goes with a spooler that keeps running, not with --once or --status";
        return 2;
    }
    if (out.json && !status) {
        *why = "--json goes with --status";
        return 2;
    }
    out.mode = once ? RUN_ONCE : standby ? RUN_STANDBY : status ? RUN_STATUS : RUN_WINDOW;
    *line = out;
    return 0;
}
