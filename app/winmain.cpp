// The entry point: reads the command line, makes sure no other spooler watches this folder (or
// stands by for it), checks where the journal of its jobs is to be kept, registers the window
// class, creates the minimised window, starts the poll timer and runs the message loop until the
// window is destroyed.
#include "app/command_line.h"
#include "app/main_window.h"
#include "spool/event_log.h"
#include "spool/poller.h"
#include "spool/spool_options.h"
#include "spool/spool_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char CLASS_NAME[] = "Doduzi";
static const char WINDOW_TITLE[] = "Wydruk kartoteki ZV";

// What the start-up line leaves to say: the print system's limits, and a start with the
// administrator's rights (a zvspool started once with sudo is the usual cause).
static void say_start_warnings(void) {
    if (*spooler_limits())
        log_event(EVENT_WARNING, "%s", spooler_limits());
    if (IsUserAnAdmin())
        log_event(EVENT_WARNING,
                  "zvspool runs as %s: it prints with that account's printers and keeps its "
                  "journal in that account's state folder; run it as the user who prints",
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
                  "administrator"
#else
                  "root"
#endif
        );
}

// "--once": poll ZV once, without a window, and end with 0 when no job had to be kept, else 1.
static int poll_once(Spooler* spooler, const std::string& folder) {
    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer(&spooler->printer);
    note_claim_printer(&spooler->claim, spooler->printer.said_default.c_str());
    std::string options = describe_spool_options();
    log_event(EVENT_INFO, "zvspool %s polls %s%cZV once; printer: %s%s%s", ZV_VERSION,
              folder.c_str(), PATH_SEPARATOR, printer, options.empty() ? "" : "; ",
              options.c_str());
    say_start_warnings();
    check_spool_directory(spooler);
    return poll_spool_directory(spooler);
}

// The process id a claim file's holder line names ("USER on HOST, pid N, since T"), or 0.
static DWORD holder_pid(const std::string& holder) {
    size_t at = holder.find(", pid ");
    return at == std::string::npos ? 0 : (DWORD)std::strtoul(holder.c_str() + at + 6, NULL, 10);
}

// Started with --no-window: nothing on screen, whatever happens.
static int no_window_run = 0;

// A second start in a desktop session (a menu entry clicked while zvspool runs) is told to the
// person who started it: the running window is brought forward if it is theirs, else a message
// names who holds the folder. Without a desktop the log says it.
static void tell_second_start(const std::string& holder, const std::string& folder) {
    if (GetSystemMetrics(SM_CMONITORS) == 0 || no_window_run)
        return;
    DWORD pid = holder_pid(holder);
    for (HWND w = FindWindowExA(NULL, NULL, CLASS_NAME, WINDOW_TITLE); w != NULL;
         w = FindWindowExA(NULL, w, CLASS_NAME, WINDOW_TITLE)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (pid == 0 || owner != pid)
            continue;
        ShowWindow(w, SW_RESTORE);
        SetForegroundWindow(w);
        FLASHWINFO flash = {sizeof flash, w, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
        return;
    }
    std::string text = holder + " already watches " + folder + PATH_SEPARATOR +
                       "ZV, so this one ends. One zvspool prints a folder's jobs.";
    MessageBoxA(NULL, text.c_str(), "zvspool", MB_ICONINFORMATION);
}

// A start that fails is told on screen where there is one: started from the desktop's menu, its
// autostart or the Startup folder, nobody sees standard error. The log's place comes with it.
static void tell_failed_start(int mode, const std::string& reason) {
    if (mode == RUN_ONCE || mode == RUN_STATUS || GetSystemMetrics(SM_CMONITORS) == 0 ||
        no_window_run)
        return;
    std::string text = "zvspool did not start: " + reason + "\n\nIts log: " + log_place();
    MessageBoxA(NULL, text.c_str(), "zvspool", MB_ICONHAND);
}

// Claims the folder for this spooler. Returns 0 when it may go on (it holds the folder, or
// stands by for it), 1 when it must end; the log says why. A --once run is told nothing on
// screen: it runs unattended.
static int claim_folder(Spooler* spooler, const std::string& folder, int mode) {
    std::string holder;
    switch (claim_spool_folder(&spooler->claim, &holder)) {
    case CLAIM_TAKEN: return 0;
    case CLAIM_HELD:
        if (mode == RUN_STANDBY) {
            log_event(EVENT_INFO,
                      "%s watches %s%cZV; this one stands by, and takes over when it ends",
                      holder.c_str(), folder.c_str(), PATH_SEPARATOR);
            return 0;
        }
        log_event(EVENT_ERROR, "%s already watches %s%cZV; this one ends", holder.c_str(),
                  folder.c_str(), PATH_SEPARATOR);
        if (mode != RUN_ONCE)
            tell_second_start(holder, folder);
        return 1;
    default:
        log_event(EVENT_ERROR, "cannot claim %s%cZV for this zvspool: %s; it ends", folder.c_str(),
                  PATH_SEPARATOR, holder.c_str());
        tell_failed_start(mode, "cannot claim " + folder + PATH_SEPARATOR + "ZV: " + holder);
        return 1;
    }
}

// Started from a console, what the program writes goes to it (a Windows program has none of
// its own).
static void use_parent_console(void) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

// The command line's folder made the current one, and its options loaded: 0, else the exit
// status (the reason said).
static int enter_folder(const CommandLine& line) {
    if (!line.folder.empty() && !SetCurrentDirectoryA(line.folder.c_str())) {
        char why[512];
        describe_error(GetLastError(), why, sizeof why);
        std::fprintf(stderr, "zvspool: cannot work in %s: %s\n", line.folder.c_str(), why);
        tell_failed_start(line.mode, "cannot work in " + line.folder + ": " + why);
        return line.mode == RUN_STATUS ? 2 : 1;
    }
    std::string why;
    if (load_spool_options(line.settings, &why) != 0 ||
        (line.mode != RUN_STATUS && check_spool_settings(&why) != 0)) {
        log_event(EVENT_ERROR, "%s; zvspool does not start", why.c_str());
        if (line.mode == RUN_STATUS)
            std::fprintf(stderr, "zvspool: %s\n", why.c_str());
        tell_failed_start(line.mode, why);
        return 2;
    }
    return 0;
}

// The window closed: printing ends, and the log names the jobs it leaves in ZV (printed when
// zvspool starts again).
static void say_jobs_left_waiting(void) {
    DWORD error;
    std::vector<WIN32_FIND_DATAA> files = list_job_files(&error);
    if (files.empty()) {
        log_event(EVENT_INFO, "zvspool ends");
        return;
    }
    std::string names;
    for (size_t i = 0; i < files.size() && i < 20; ++i)
        names += (i ? ", " : "") + shown_name(files[i].cFileName);
    if (files.size() > 20)
        names += " and " + std::to_string(files.size() - 20) + " more";
    log_event(EVENT_WARNING,
              "zvspool ends with %lu job%s left waiting in ZV: %s; they are printed when it "
              "starts again",
              (unsigned long)files.size(), files.size() == 1 ? "" : "s", names.c_str());
}

// The spooler with its window, until the window is closed.
static int run_window(Spooler* spooler, HINSTANCE instance, const std::string& folder) {
    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_wnd_proc;
    wc.hInstance = instance;
    // The program's own icon (resource 1) in the title bar, Alt+Tab and the taskbar; the
    // generic one where the program carries none.
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    if (wc.hIcon == NULL)
        wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = CLASS_NAME;
    wc.hIconSm = wc.hIcon;
    RegisterClassExA(&wc);

    HWND window =
        CreateWindowExA(0, CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, spooler);
    if (SetTimer(window, SPOOL_TIMER_ID, spool_interval_ms(), NULL) == 0) {
        log_event(EVENT_ERROR, "no timer for the polls; zvspool ends");
        if (!no_window_run)
            MessageBoxA(window, "Too many clocks or timers!", CLASS_NAME, MB_ICONEXCLAMATION);
        return 0;
    }
    // Without a window the window stays, hidden: it owns the timer and the loop.
    if (!no_window_run) {
        ShowWindow(window, SW_SHOWMINNOACTIVE);
        UpdateWindow(window);
    }

    char printer[1024];
    describe_default_printer(printer, sizeof printer);
    note_default_printer(&spooler->printer);
    note_claim_printer(&spooler->claim, spooler->printer.said_default.c_str());
    std::string options = describe_spool_options();
    log_event(EVENT_INFO,
              "zvspool %s started in %s, watching %s%cZV every %g seconds; printer: %s; %s%s%s",
              ZV_VERSION, folder.c_str(), folder.c_str(), PATH_SEPARATOR,
              spool_interval_ms() / 1000.0, printer, options.empty() ? "" : options.c_str(),
              options.empty() ? "" : "; ",
              IsWindowVisible(window) ? "with a window"
              : no_window_run         ? "without a window (--no-window)"
                                      : "without a window (no display)");
    say_start_warnings();
    check_spool_directory(spooler);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    say_jobs_left_waiting();
    return (int)msg.wParam;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)show;
    CommandLine line;
    std::string why;
    int parsed = parse_command_line(command_line, &line, &why);
    no_window_run = line.no_window;
    if (parsed != 0) {
        use_parent_console();
        std::fprintf(stderr, "zvspool: %s\n%s", why.c_str(), ZVSPOOL_USAGE);
        tell_failed_start(line.mode, why + "\n\nzvspool --help says how it is started.");
        return 2;
    }
    if (line.mode == RUN_HELP || line.mode == RUN_VERSION || line.mode == RUN_STATUS)
        use_parent_console();
    if (line.mode == RUN_HELP) {
        std::fputs(ZVSPOOL_USAGE, stdout);
        return 0;
    }
    if (line.mode == RUN_VERSION) {
        std::printf("zvspool %s\n", ZV_VERSION);
        return 0;
    }
    if (int status = enter_folder(line))
        return status;
    if (line.mode == RUN_STATUS)
        return report_spool_status(line.json);
    std::string folder = current_folder();
    Spooler spooler;
    spooler.settings = spooler_settings(spool_options);
    spooler.overrides = line.settings;
    spooler.no_window = line.no_window != 0;
    int result = 1;
    if (claim_folder(&spooler, folder, line.mode) != 0) {
        result = 1;
    } else if (journal_folder_refused()) {
        char reason[768];
        describe_failure("zvspool's state folder is refused", reason, sizeof reason);
        log_event(EVENT_ERROR, "%s; zvspool ends", reason);
        tell_failed_start(line.mode, reason);
        result = 1;
    } else if (line.mode == RUN_ONCE) {
        result = poll_once(&spooler, folder);
    } else {
        result = run_window(&spooler, instance, folder);
    }
    end_spooler(&spooler);
    return result;
}
