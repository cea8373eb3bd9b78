#include "spool/spooler.h"

#include "spool/event_log.h"

#include <cstdio>
#include <cstring>

// Set when the program is asked to end while a job prints: that job is abandoned and kept, and no
// other job is started.
static int stop_requested = 0;

SpoolerSettings spooler_settings(const SpoolOptions& options) {
    SpoolerSettings settings;
    if (options.alarm_seconds != 0)
        settings.alarm_seconds = options.alarm_seconds;
    settings.quiet_ms = (unsigned long)(options.quiet_seconds * 1000 + 0.5);
    settings.in_flight = (unsigned long)options.in_flight;
    return settings;
}

void note_journal(Spooler* s, const std::string& problem) {
    if (!notice_changed(&s->journal_notice, problem))
        return;
    if (problem.empty())
        log_event(EVENT_INFO, "the journal can be written again; the jobs waiting for it are "
                              "printed");
    else
        log_event(EVENT_WARNING, "%s; no job is printed until it can be, so none is printed twice",
                  problem.c_str());
}

std::string journal_failure(const Spooler* s, const char* what) {
    char why[768];
    describe_failure(what, why, sizeof why);
    return std::string(why) + " (" + journal_path(&s->journal) + ")";
}

int start_spooler(Spooler* s) {
    if (!spool_folder_claimed(&s->claim)) {
        std::string holder;
        int stood_by = spool_folder_was_held(&s->claim);
        if (claim_spool_folder(&s->claim, &holder) != CLAIM_TAKEN)
            return 0;
        if (stood_by)
            log_event(EVENT_INFO, "zvspool takes over %s%cZV", current_folder().c_str(),
                      PATH_SEPARATOR);
    }
    if (journal_is_open(&s->journal))
        return 1;
    std::string why;
    if (open_journal(&s->journal, spool_folder_id(&s->claim), current_folder().c_str(), &why) !=
        0) {
        note_journal(s, why);
        s->journal_failed = 1;
        return 0;
    }
    // The claim file says jobs were handed over, and this journal (the same user's, on this
    // machine) knows none: it lost its entries.
    if (spool_folder_said_handed(&s->claim) && !spool_folder_inherits_jobs(&s->claim) &&
        !journal_handed_mark(&s->journal))
        distrust_journal(&s->journal,
                         "the claim file says jobs were handed over, and it holds none");
    // The claim file goes on saying so, now in this spooler's name, until its jobs are done
    // with: its journal must say so too, or its next start would take the journal as one that
    // lost its entries.
    if (spool_folder_said_handed(&s->claim) && store_handed_mark(&s->journal, 1) != 0) {
        note_journal(s, journal_failure(s, "cannot keep the journal"));
        s->journal_failed = 1;
    }
    return 1;
}

void end_spooler(Spooler* s) {
    release_spool_folder(&s->claim);
    close_journal(&s->journal);
    stop_requested = 0;
}

void stop_spooling(void) {
    stop_requested = 1;
}

int spooling_stopped(void) {
    return stop_requested;
}

void clear_stop_request(void) {
    stop_requested = 0;
}

static int closing_requested(void) {
    MSG msg;
    return PeekMessageA(&msg, NULL, WM_CLOSE, WM_CLOSE, PM_NOREMOVE) ||
           PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE) ||
           (PeekMessageA(&msg, NULL, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE) &&
            (msg.wParam & 0xFFF0) == SC_CLOSE);
}

BOOL CALLBACK keep_printing(HDC dc, int code) {
    (void)dc;
    (void)code;
    if (!stop_requested && closing_requested())
        stop_requested = 1;
    return !stop_requested;
}

int check_spool_settings(std::string* why) {
    if (!spool_options.printer.empty()) {
        PrinterCheck printer = check_folder_printer();
        if (printer.state == PRINTER_UNKNOWN) {
            *why = "printer = " + spool_options.printer + ": " + printer.words;
            return 1;
        }
    }
    return make_archive_folder(why);
}

// The settings in force, as the log says them.
static std::string settings_words(void) {
    const SpoolOptions& o = spool_options;
    char timing[160];
    std::snprintf(timing, sizeof timing, "; a poll every %g s; stuck after %lu s", o.poll_seconds,
                  spooler_settings(o).alarm_seconds);
    std::string rest = describe_spool_options();
    return (o.printer.empty() ? std::string("the default printer")
                              : "printer \"" + o.printer + "\"") +
           timing + (rest.empty() ? "" : "; " + rest);
}

void reload_spool_settings(Spooler* s) {
    SpoolOptions before = spool_options;
    std::string was = settings_words();
    std::string why;
    if (load_spool_options(s->overrides, &why) != 0 || check_spool_settings(&why) != 0) {
        spool_options = before;
        log_event(EVENT_ERROR, "%s; the settings stay as they were", why.c_str());
        return;
    }
    s->settings = spooler_settings(spool_options);
    s->printer_asked = 0; // the window shows the printer chosen now
    std::string now = settings_words();
    if (now == was)
        log_event(EVENT_INFO, SPOOL_CONFIG_FILE_NAME " read again: nothing changed (%s)",
                  now.c_str());
    else
        log_event(EVENT_INFO, SPOOL_CONFIG_FILE_NAME " read again: now %s (before: %s)",
                  now.c_str(), was.c_str());
}
