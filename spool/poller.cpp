#include "spool/poller.h"

#include "spool/durable_folder.h"
#include "spool/event_log.h"
#include "spool/handover.h"

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

enum {
    // How often a wait (for a file to be quiet) looks whether the program is asked to end.
    QUIET_CHECK_MS = 100,
};

static const char MISSING_SPOOL_DIRECTORY[] = "there is no folder ZV here";

// Says when ZV cannot be read (once) and when it can again.
static void note_spool_state(Spooler* s, DWORD error) {
    std::string problem;
    if (error == ERROR_PATH_NOT_FOUND) {
        problem = MISSING_SPOOL_DIRECTORY;
    } else if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
               error != ERROR_NO_MORE_FILES) {
        char why[512];
        describe_error(error, why, sizeof why);
        problem = std::string("the folder ZV cannot be read: ") + why;
    }
    std::string before = s->folder_notice.said;
    if (!notice_changed(&s->folder_notice, problem))
        return;
    if (problem.empty())
        log_event(EVENT_INFO, before == MISSING_SPOOL_DIRECTORY
                                  ? "there is a folder ZV now; its jobs are printed"
                                  : "the folder ZV can be read again");
    else
        log_event(EVENT_WARNING, "%s; its jobs are printed once it can be read", problem.c_str());
}

void check_spool_directory(Spooler* s) {
    DWORD error;
    list_job_files(&error);
    note_spool_state(s, error);
}

// Waits until `until` on the clock that only goes forward, unless the program is asked to end
// meanwhile.
static void wait_until(unsigned long long until) {
    while (GetTickCount64() < until && !spooling_stopped()) {
        unsigned long long left = until - GetTickCount64();
        unsigned long long step = QUIET_CHECK_MS;
        Sleep((DWORD)(left < step ? left : step));
        keep_printing(NULL, 0);
    }
}

// Releases the held jobs as their files stay quiet, waiting for them; returns the files as they
// are at the end.
static std::vector<WIN32_FIND_DATAA>
release_when_quiet(Spooler* s, std::vector<WIN32_FIND_DATAA> files, DWORD* error) {
    for (unsigned long long at = release_quiet_jobs(s, files); at != 0 && !spooling_stopped();
         at = release_quiet_jobs(s, files)) {
        wait_until(at);
        files = list_job_files(error);
    }
    return files;
}

// Releases every held job whose file stays as it was, waiting the quiet time for them. Returns
// how many were held before.
static int release_held_jobs(Spooler* s) {
    int held = 0;
    for (const JobRecord* r : journal_records(&s->journal))
        held += r->state == JOB_SENT && (r->flags & JOB_UNRELEASED) != 0;
    if (held > 0) {
        DWORD error;
        release_when_quiet(s, list_job_files(&error), &error);
    }
    return held;
}

// A job file and what the journal says of it.
static JobOutcome process_job_file(Spooler* s, const WIN32_FIND_DATAA* found, Poll* poll) {
    std::string name = found->cFileName;
    std::string path = job_path(name);
    if (path.size() >= MAX_PATH) {
        note_kept(s, name, "its name is too long");
        return JOB_KEPT;
    }
    if (const char* kind = not_a_file(found)) {
        note_kept(s, name,
                  std::string("it is ") + kind + ", not a file written into ZV: it is not printed");
        return JOB_KEPT;
    }
    FileIdentity now;
    if (path_identity(path.c_str(), &now) != 0)
        return unreadable_job(s, name);
    unsigned long again = 0;
    for (const JobRecord* r : records_named(&s->journal, name)) {
        if (!identity_known(&r->identity)) {
            // An entry out of a damaged journal: it is about whatever file has its name.
            JobRecord known = *r;
            known.identity = now;
            if (set_job_state(s, &known, known.state) == 0)
                r = find_journal_record(&s->journal, known.id);
        }
        if (same_file(&now, &r->identity)) {
            if (r->state != JOB_PRINTING)
                return r->state == JOB_HELD ? JOB_KEPT : JOB_DONE;
            again = r->id; // to be printed (again): printing it began, or must begin anew
        } else if (same_file_object(&now, &r->identity)) {
            // The file changed after its entry was made: touched, or written on after it was
            // handed over, which cancels the job handed over (it held only a part).
            if (r->state == JOB_HANDED || r->state == JOB_SENT) {
                cancel_changed_job(s, r);
                log_event(EVENT_WARNING,
                          "%s changed after it was %s; that job is cancelled, and the file as it "
                          "is now is printed once it is left alone",
                          shown_name(name).c_str(), handed_words(*r).c_str());
            }
            forget_job(s, r->id);
        }
        // An entry of another file under this name (the file printed was renamed over) stays
        // until its job is done; the file here is a new job.
    }
    if (poll->refusal.empty())
        limit_hand_over(s, poll);
    // Jobs held in this poll count until they are released: released now, those the printer
    // prints at once (the built-in PDF printer) make room for more.
    if (!poll->refusal.empty() && poll->refused == 0 && release_held_jobs(s) > 0)
        limit_hand_over(s, poll);
    if (!poll->refusal.empty()) {
        if (poll->refused_first.empty())
            poll->refused_first = name;
        ++poll->refused;
        return JOB_REFUSED;
    }
    if (spooling_stopped())
        return JOB_WAITING;
    const JobRecord* known = again != 0 ? find_journal_record(&s->journal, again) : NULL;
    if (known == NULL &&
        !quiet_long_enough(&s->quiet, found, s->settings.quiet_ms, GetTickCount64())) {
        ++poll->waiting_for_quiet;
        return JOB_WAITING;
    }
    return print_new_job(s, found, known, poll);
}

// Flushes ZV, then forgets the entries of the files gone from it. Where ZV cannot be flushed the
// entries stay (a printed job's file that came back would be deleted again), and the log says
// why, once.
static void settle_deletions(Spooler* s) {
    if (s->gone_entries.empty())
        return;
    std::string problem;
    if (flush_folder(SPOOL_DIRECTORY) != 0) {
        char why[768];
        describe_failure("the folder ZV cannot be flushed to the disk", why, sizeof why);
        problem = why;
    } else {
        for (unsigned long id : s->gone_entries)
            forget_job(s, id);
    }
    s->gone_entries.clear();
    if (!notice_changed(&s->flush_notice, problem))
        return;
    if (problem.empty()) {
        log_event(EVENT_INFO, "the folder ZV can be flushed to the disk again");
        return;
    }
    log_event(EVENT_WARNING,
              "%s; the printed jobs deleted from it stay in the journal until it can be, so that "
              "none is printed again",
              problem.c_str());
    // A disk that cannot keep what it is given is an alarm of its own: the desktop is told.
    ++s->alarms.given;
}

// Forgets what left ZV by other hands; a job still held is released first, whatever became of
// its file since.
static void forget_absent(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files) {
    std::set<std::string> present;
    for (const WIN32_FIND_DATAA& f : files)
        present.insert(f.cFileName);
    for (const JobRecord* r : journal_records(&s->journal))
        if (file_in_folder(r->name, &r->identity, files) == FILE_GONE &&
            !(r->state == JOB_SENT && (r->flags & (JOB_UNRELEASED | JOB_RELEASING))))
            s->gone_entries.push_back(r->id);
    for (auto it = s->kept_reasons.begin(); it != s->kept_reasons.end();)
        it = present.count(it->first) ? std::next(it) : s->kept_reasons.erase(it);
    forget_absent_files(&s->quiet, present);
}

// Warns of the jobs that wait too long: kept, handed over and not printed, or refused with the
// poll.
static void sound_folder_alarms(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files,
                                const std::string& refusal) {
    std::set<std::string> waiting;
    for (const WIN32_FIND_DATAA& f : files) {
        int handed = 0;
        for (const JobRecord* r : records_named(&s->journal, f.cFileName))
            handed |= r->state == JOB_HANDED || r->state == JOB_SENT || r->state == JOB_HELD;
        // A job of a poll the printer refused waits as a kept one does.
        if (handed || s->kept_reasons.count(f.cFileName) || !refusal.empty())
            waiting.insert(f.cFileName);
    }
    sound_alarms(
        &s->alarms, waiting, s->settings.alarm_seconds, GetTickCount64(),
        [&](const std::string& name) { return why_waiting(s, name, refusal); },
        s->flush_notice.said);
}

static void tally(JobOutcome outcome, Poll* poll) {
    if (outcome == JOB_KEPT || outcome == JOB_REFUSED)
        poll->result = 1;
}

// Says once that the printer (or the journal) takes no job now, with how many wait for it.
static void note_refusal(Spooler* s, const Poll* poll) {
    std::string before = s->refusal_notice.said;
    if (!notice_changed(&s->refusal_notice, poll->refusal))
        return;
    if (poll->refusal.empty()) {
        log_event(EVENT_INFO, "jobs are taken again");
        return;
    }
    if (poll->refusal == s->journal_notice.said)
        return; // said already, for all the jobs
    // One line for all the jobs it keeps, however many wait.
    int level = poll->waits_turn ? EVENT_INFO : EVENT_WARNING;
    if (poll->refused <= 1)
        log_event(level, "kept %s: %s", shown_name(poll->refused_first).c_str(),
                  poll->refusal.c_str());
    else
        log_event(level, "kept %s and %d more job%s: %s; tried again at the next poll",
                  shown_name(poll->refused_first).c_str(), poll->refused - 1,
                  poll->refused == 2 ? "" : "s", poll->refusal.c_str());
}

// The claim file and the journal say jobs are handed over for as long as one is: the claim file
// stops saying so first, then the journal.
static void note_handed_over(Spooler* s) {
    int handed = 0;
    for (const JobRecord* r : journal_records(&s->journal))
        handed |= r->state != JOB_PRINTING;
    if (!handed && note_handed_jobs(&s->claim, 0) == 0)
        store_handed_mark(&s->journal, 0);
}

// A journal found damaged, or another spooler's jobs left handed over: the files it cannot
// account for are held for a person.
static void hold_what_cannot_be_told(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files) {
    if (journal_was_damaged(&s->journal)) {
        hold_unaccounted_jobs(s, files,
                              "it waited in ZV when the journal was found damaged, so whether it "
                              "was printed cannot be told",
                              "the journal was damaged");
        clear_journal_damage(&s->journal);
    }
    if (spool_folder_inherits_jobs(&s->claim)) {
        hold_unaccounted_jobs(s, files,
                              "the spooler before this one (another user's, or another "
                              "machine's) left jobs handed over, so whether it was printed cannot "
                              "be told",
                              "the spooler before this one left jobs handed over");
        clear_inherited_jobs(&s->claim);
    }
}

enum {
    // The folder's printer is asked how it is at most this often while no job waits: the window
    // shows it, and many spoolers share a print server.
    PRINTER_LOOK_INTERVAL_MS = 60000,
};

// What a job handed to the printer `r` names waits on, when that printer prints nothing now.
static void stand_with_printer(const JobRecord& r, std::map<std::string, PrinterCheck>* printers,
                               JobStanding* j) {
    j->state = JOB_STATE_HANDED;
    j->printer = r.printer;
    j->job_id = r.job_id;
    j->since = r.since;
    j->why = handed_words(r);
    auto known = printers->find(r.printer);
    if (known == printers->end())
        known = printers->emplace(r.printer, check_printer(r.printer)).first;
    const PrinterCheck& printer = known->second;
    if (printer_holds_jobs(printer)) {
        j->state = printer.state;
        j->why += "; the printer: " + printer.words;
    }
}

// Where each job in ZV stands at the end of the poll, and the folder's printer.
static void take_stock(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files, const Poll& poll) {
    Standing& st = s->standing;
    st.polled = (long long)std::time(NULL);
    unsigned long long now = GetTickCount64();
    if (!files.empty() || s->printer_asked == 0 ||
        now - s->printer_asked >= PRINTER_LOOK_INTERVAL_MS) {
        PrinterCheck printer = check_folder_printer();
        s->printer_asked = now;
        st.printer = printer.name;
        st.printer_state = printer.state;
        st.printer_words = printer.words;
        st.printer_reasons = printer.reasons;
    }
    std::map<std::string, PrinterCheck> printers;
    st.jobs.clear();
    for (const WIN32_FIND_DATAA& f : files) {
        JobStanding j;
        j.name = f.cFileName;
        j.since = filetime_seconds(f.ftLastWriteTime);
        j.state = JOB_STATE_WAITING;
        const JobRecord* known = NULL;
        for (const JobRecord* r : records_named(&s->journal, j.name))
            if (r->state != JOB_PRINTING)
                known = r;
        auto kept = s->kept_reasons.find(j.name);
        if (known != NULL && known->state == JOB_HELD) {
            j.state = JOB_STATE_HELD;
            j.since = known->since;
            j.why = "kept for a person: " + known->reason;
        } else if (known != NULL && known->state == JOB_PRINTED) {
            j.state = JOB_STATE_PRINTED;
            j.since = known->since;
        } else if (known != NULL) {
            stand_with_printer(*known, &printers, &j);
        } else if (not_a_file(&f) != NULL) {
            j.state = JOB_STATE_NOT_A_FILE;
            j.why = kept != s->kept_reasons.end() ? kept->second : "";
        } else if (kept != s->kept_reasons.end()) {
            j.state = JOB_STATE_KEPT;
            j.why = kept->second;
        } else if (!poll.refusal.empty()) {
            j.why = poll.refusal;
            j.state = poll.waits_turn                          ? JOB_STATE_TURN
                      : poll.refusal == s->journal_notice.said ? JOB_STATE_JOURNAL
                      : st.printer_state != PRINTER_READY      ? st.printer_state
                                                               : JOB_STATE_BUSY;
        } else if (s->quiet.seen.count(j.name) &&
                   !seen_unchanged(&s->quiet, &f, s->settings.quiet_ms, now)) {
            j.state = JOB_STATE_QUIET;
            j.why = "its file is still being written; it is printed once it is left alone";
        }
        st.jobs.push_back(j);
    }
    if (journal_path(&s->journal)[0] != '\0')
        store_standing(st, standing_path(journal_path(&s->journal)));
}

int poll_spool_directory(Spooler* s) {
    // A request to end applies to the poll it came in (the program ends after it).
    clear_stop_request();
    Poll poll;
    s->journal_failed = 0;
    DWORD error;
    std::vector<WIN32_FIND_DATAA> files = list_job_files(&error);
    note_spool_state(s, error);
    if (!start_spooler(s))
        return files.empty() ? 0 : 1;
    int readable = error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
    if (error == ERROR_SUCCESS)
        hold_what_cannot_be_told(s, files);
    if (!files.empty()) {
        note_default_printer(&s->printer);
        note_claim_printer(&s->claim, s->printer.said_default.c_str());
    }
    // The jobs handed over first: what the printer says of them decides what is printed now.
    std::vector<unsigned long> ids;
    for (const JobRecord* r : journal_records(&s->journal))
        ids.push_back(r->id);
    for (unsigned long id : ids) {
        const JobRecord* r = find_journal_record(&s->journal, id);
        if (!spooling_stopped() && r != NULL &&
            file_in_folder(r->name, &r->identity, files) == FILE_SAME)
            tally(reconcile_job(s, r), &poll);
    }
    for (const WIN32_FIND_DATAA& f : files)
        tally(process_job_file(s, &f, &poll), &poll);
    // Files seen first in this poll are looked at again once they have been left alone.
    if (poll.waiting_for_quiet > 0 && poll.refusal.empty() && !spooling_stopped()) {
        wait_until(quiet_at(&s->quiet, s->settings.quiet_ms));
        poll.waiting_for_quiet = 0;
        files = list_job_files(&error);
        for (const WIN32_FIND_DATAA& f : files)
            tally(process_job_file(s, &f, &poll), &poll);
    }
    // The jobs handed over are held until their files have been left alone after their documents
    // went: a producer that writes on has its job cancelled before any of it prints.
    files = release_when_quiet(s, files, &error);
    readable = error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
    // While ZV cannot be read, nothing is forgotten.
    if (readable)
        forget_absent(s, files);
    settle_deletions(s);
    note_refusal(s, &poll);
    if (readable)
        sound_folder_alarms(s, files, poll.refusal);
    if (!s->journal_failed)
        note_journal(s, "");
    note_handed_over(s);
    if (readable)
        take_stock(s, files, poll);
    // Asked to end, the poll left jobs unprinted.
    if (spooling_stopped() && !list_job_files(&error).empty())
        poll.result = 1;
    return poll.result;
}
