#include "spool/handover.h"

#include "render/print_job.h"
#include "spool/event_log.h"
#include "spool/print_document.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

enum {
    REASON_SIZE = 768,
    // A job whose printing this program began this often without coming to an end (it was
    // stopped, or it broke down on the job) is left for a person: it must not hold up the rest.
    ATTEMPT_LIMIT = 3,
};
static const unsigned long long REFUSAL_BACKOFF_LONGEST_MS = 60000;

// How printing a job's document ended.
enum DocumentResult {
    DOCUMENT_SENT,      // the printer took it whole: the job is handed over
    DOCUMENT_LEFT,      // given up before its end: the printer has no whole document of it
    DOCUMENT_UNSURE,    // its end failed: the printer may have it whole; the next poll asks
    DOCUMENT_REFUSED,   // the printer takes no job now
    DOCUMENT_UNRECORDED // the journal cannot be written
};

static void explain(const char* what, char* reason) {
    describe_failure(what, reason, REASON_SIZE);
}

static void pages_and_bytes(const JobRecord& r, char* text, size_t size) {
    // Every job printed here has a page, an empty one too: none is a job file handed over as it
    // is.
    if (r.pages == 0)
        std::snprintf(text, size, "%lld bytes, for the print server to render", r.bytes);
    else if (r.bytes == 0)
        std::snprintf(text, size, "empty: %d blank page%s", r.pages, r.pages == 1 ? "" : "s");
    else
        std::snprintf(text, size, "%lld bytes, %d page%s", r.bytes, r.pages,
                      r.pages == 1 ? "" : "s");
}

std::string handed_words(const JobRecord& r) {
    return "handed to \"" + r.printer + "\" as job " + std::to_string((unsigned long)r.job_id);
}

void note_kept(Spooler* s, const std::string& name, const std::string& reason) {
    std::string& said = s->kept_reasons[name];
    if (said == reason)
        return;
    said = reason;
    log_event(EVENT_WARNING, "kept %s: %s", shown_name(name).c_str(), reason.c_str());
}

std::vector<const JobRecord*> records_named(const Journal* journal, const std::string& name) {
    std::vector<const JobRecord*> out;
    for (const JobRecord* r : journal_records(journal))
        if (r->name == name)
            out.push_back(r);
    return out;
}

// ---- The one way an entry changes ---------------------------------------------------------------

int set_job_state(Spooler* s, JobRecord* r, int state) {
    const JobRecord* stored = r->id != 0 ? find_journal_record(&s->journal, r->id) : NULL;
    JobRecord next = *r;
    next.state = state;
    if (stored == NULL || stored->state != state)
        next.since = (long long)std::time(NULL);
    if (state == JOB_PRINTING) {
        next.printer.clear();
        next.job_id = 0;
        next.reference.clear();
        next.reason.clear();
        next.flags &= ~(JOB_UNRELEASED | JOB_RELEASING | JOB_ARCHIVED);
    }
    if (store_job_record(&s->journal, &next) != 0) {
        note_journal(s, journal_failure(s, "cannot keep the journal"));
        s->journal_failed = 1;
        return 1;
    }
    *r = next;
    if (state == JOB_HELD)
        s->kept_reasons[next.name] = next.reason;
    else if (state == JOB_SENT || state == JOB_PRINTED)
        s->kept_reasons.erase(next.name);
    if (state != JOB_SENT || !(next.flags & (JOB_UNRELEASED | JOB_RELEASING))) {
        s->held_since.erase(next.id);
        s->held_copies.erase(next.id);
    }
    return 0;
}

int forget_job(Spooler* s, unsigned long id) {
    if (forget_job_record(&s->journal, id) != 0) {
        note_journal(s, journal_failure(s, "cannot keep the journal"));
        s->journal_failed = 1;
        return 1;
    }
    s->held_since.erase(id);
    s->held_copies.erase(id);
    return 0;
}

// The entry is forgotten once its file's going is on the disk (at the end of the poll).
static void forget_when_durable(Spooler* s, unsigned long id) {
    s->gone_entries.push_back(id);
}

// The job held was cancelled before it printed: its copy in the archive goes too.
static void withdraw_copy(Spooler* s, unsigned long id) {
    auto it = s->held_copies.find(id);
    if (it == s->held_copies.end())
        return;
    withdraw_archive_copy(it->second);
    s->held_copies.erase(it);
}

// How far the job's document got, as the print system is to be told when asked after it.
static int stage_of(const JobRecord& r) {
    if (r.flags & JOB_UNRELEASED)
        return JOB_STAGE_HELD;
    if (r.state == JOB_SENT && !(r.flags & JOB_RELEASING))
        return JOB_STAGE_SENT;
    return JOB_STAGE_SENDING;
}

// Whether the job is free to print: its document went whole, and no hold keeps it back.
static int released(const JobRecord& r) {
    return r.state == JOB_SENT && !(r.flags & (JOB_UNRELEASED | JOB_RELEASING));
}

// ---- Printed, held, printed again ---------------------------------------------------------------

// The job is printed: its file goes, if it is still the file printed. A file that cannot be
// deleted is remembered, so it is not printed again while it stays as it is.
static void finish_printed_job(Spooler* s, const JobRecord* stored, const std::string& status) {
    JobRecord r = *stored;
    char size[64];
    pages_and_bytes(r, size, sizeof size);
    log_event(EVENT_INFO, "printed %s (%s) on \"%s\": %s", shown_name(r.name).c_str(), size,
              r.printer.c_str(), status.c_str());
    note_printed_after_alarm(&s->alarms, r.name, GetTickCount64());
    s->standing.last_printed = r.name;
    s->standing.last_printed_at = (long long)std::time(NULL);
    s->kept_reasons.erase(r.name);
    set_job_state(s, &r, JOB_PRINTED); // the file goes either way: a file gone is printed no more
    DeleteResult deleted = delete_job_file(job_path(r.name).c_str(), &r.identity);
    if (deleted == FILE_NOT_DELETED) {
        char why[REASON_SIZE];
        explain("cannot delete it", why);
        log_event(EVENT_WARNING,
                  "%s was printed, but %s; it is not printed again while it stays as it is",
                  shown_name(r.name).c_str(), why);
        return;
    }
    if (deleted == FILE_REPLACED)
        log_event(EVENT_INFO, "%s was replaced while it printed; the new file is a new job",
                  shown_name(r.name).c_str());
    forget_when_durable(s, r.id);
}

// Leaves a job in ZV for a person; it is not printed again while the file stays as it is.
static void hold_job(Spooler* s, const JobRecord* stored, const std::string& why, int level) {
    JobRecord r = *stored;
    r.reason = why;
    set_job_state(s, &r, JOB_HELD);
    s->kept_reasons[r.name] = why;
    log_event(level,
              "%s: %s; it stays in ZV for a person to see to (a file touched or put back "
              "anew is printed as a new job)",
              shown_name(r.name).c_str(), why.c_str());
}

// The print system failed the job, or lost it: it is printed again.
static JobOutcome print_again(Spooler* s, const JobRecord* stored, const std::string& words) {
    JobRecord again = *stored;
    again.attempts = 0;
    again.resubmissions = stored->resubmissions + 1;
    // Stored as a start of printing that has not begun: a stop before it begins costs nothing.
    std::string name = stored->name;
    if (set_job_state(s, &again, JOB_PRINTING) != 0) {
        note_kept(s, name, words + "; it is printed again once the journal can be written");
        return JOB_KEPT;
    }
    log_event(EVENT_WARNING, "%s: %s; it is printed again", shown_name(name).c_str(),
              words.c_str());
    return JOB_WAITING;
}

FollowAction decide_followed_job(const FollowFacts* f) {
    if (!f->asked)
        return FOLLOW_ASK_AGAIN;
    switch (f->fate) {
    case JOB_FATE_WAITING: return FOLLOW_WAIT;
    case JOB_FATE_PRINTED: return FOLLOW_FINISH;
    case JOB_FATE_INCOMPLETE: return FOLLOW_CANCEL_PART;
    case JOB_FATE_CANCELLED: return f->trusted ? FOLLOW_DROP : FOLLOW_HOLD;
    case JOB_FATE_FAILED:
    case JOB_FATE_LOST:
        if (!f->trusted)
            return FOLLOW_HOLD;
        return f->resubmissions >= RESUBMISSION_LIMIT ? FOLLOW_GIVE_UP : FOLLOW_PRINT_AGAIN;
    default: return FOLLOW_HOLD;
    }
}

// What the print system says of a job handed to it, and what follows.
static JobOutcome follow_job(Spooler* s, const JobRecord* r) {
    SPOOLER_JOB_FATE fate;
    FollowFacts facts = {0, JOB_FATE_UNKNOWN, !(r->flags & JOB_FROM_DAMAGE), r->resubmissions};
    facts.asked = spooler_job_fate(r->printer.c_str(), r->reference.c_str(), stage_of(*r), &fate);
    if (facts.asked) {
        facts.fate = fate.fate;
        if (r->reference != fate.reference ||
            (fate.fate != JOB_FATE_INCOMPLETE && r->state != JOB_SENT)) {
            JobRecord updated = *r;
            updated.reference = fate.reference;
            // Its document is there: it went whole.
            int state = fate.fate != JOB_FATE_INCOMPLETE ? JOB_SENT : r->state;
            if (set_job_state(s, &updated, state) == 0)
                r = find_journal_record(&s->journal, updated.id);
        }
    }
    std::string name = r->name;
    FollowAction action = decide_followed_job(&facts);
    // A job that failed may still stand in the queue (stopped by its filters' errors) for a
    // person to restart beside the one printed again, or beside the file held here: it goes.
    if ((action == FOLLOW_PRINT_AGAIN || action == FOLLOW_GIVE_UP) &&
        !spooler_cancel_job(r->printer.c_str(), r->reference.c_str())) {
        char why[REASON_SIZE];
        explain("cannot cancel the job that failed", why);
        note_kept(s, name, std::string(fate.words) + "; " + why);
        return JOB_KEPT;
    }
    switch (action) {
    case FOLLOW_ASK_AGAIN: {
        char why[REASON_SIZE];
        explain("cannot ask the printer about it", why);
        note_kept(s, name, handed_words(*r) + "; " + why);
        return JOB_KEPT;
    }
    case FOLLOW_WAIT: return JOB_WAITING;
    case FOLLOW_FINISH: finish_printed_job(s, r, fate.words); return JOB_DONE;
    case FOLLOW_DROP:
        log_event(EVENT_WARNING, "%s: %s in the print queue; it is not printed again",
                  shown_name(name).c_str(), fate.words);
        if (delete_job_file(job_path(name).c_str(), &r->identity) == FILE_NOT_DELETED) {
            hold_job(s, r, std::string(fate.words) + " in the print queue", EVENT_INFO);
            return JOB_KEPT;
        }
        forget_when_durable(s, r->id);
        return JOB_DONE;
    case FOLLOW_PRINT_AGAIN: return print_again(s, r, fate.words);
    case FOLLOW_GIVE_UP: {
        char why[REASON_SIZE + 128];
        std::snprintf(why, sizeof why, "%s; it was printed %d times without success", fate.words,
                      r->resubmissions + 1);
        hold_job(s, r, why, EVENT_ERROR);
        return JOB_KEPT;
    }
    case FOLLOW_CANCEL_PART: {
        // A job this program left without its whole document (it was stopped while sending):
        // cancelled, so that no part of it prints, and printed again.
        if (!spooler_cancel_job(r->printer.c_str(), r->reference.c_str())) {
            char why[REASON_SIZE];
            explain("cannot cancel the job it left without its whole document", why);
            note_kept(s, name, why);
            return JOB_KEPT;
        }
        log_event(EVENT_INFO, "%s: %s; that job is cancelled, and the file printed again",
                  shown_name(name).c_str(), fate.words);
        JobRecord again = *r; // as a stop before the job was made
        set_job_state(s, &again, JOB_PRINTING);
        return JOB_WAITING;
    }
    case FOLLOW_HOLD: break;
    }
    hold_job(s, r, fate.words, EVENT_WARNING);
    return JOB_KEPT;
}

JobOutcome reconcile_job(Spooler* s, const JobRecord* r) {
    switch (r->state) {
    case JOB_HANDED:
    case JOB_SENT:
        // A spooler that stores its jobs before EndDoc returns has the job for good once it is
        // free to print.
        if (ZV_SPOOLER_STORES_JOBS_AT_END_DOC && released(*r)) {
            finish_printed_job(s, r, "taken by the print spooler");
            return JOB_DONE;
        }
        return follow_job(s, r);
    case JOB_HELD: return JOB_KEPT;
    case JOB_PRINTED:
        if (delete_job_file(job_path(r->name).c_str(), &r->identity) != FILE_NOT_DELETED)
            forget_when_durable(s, r->id);
        return JOB_DONE;
    default: return JOB_DONE; // JOB_PRINTING: printed anew when its file comes up
    }
}

// ---- How many at once ---------------------------------------------------------------------------

// A printer that refused a job while it takes jobs (a print server at its limit of active jobs)
// is offered none for a while, longer each time it refuses again, up to a minute: many spoolers
// sharing a print server do not all knock at every poll. A queue that takes no jobs, or cannot be
// asked, is offered the next job at the next poll, so that a person's fix shows at once. The
// first refusal of load is tried again at the next poll; each one after waits twice as long.
static void note_printer_refusal(Spooler* s, const char* reason, bool of_load) {
    RefusalBackoff& b = s->backoff;
    if (!of_load) {
        b = RefusalBackoff();
        return;
    }
    if (++b.in_a_row > 1)
        b.wait_ms = b.wait_ms == 0 ? s->settings.refusal_backoff_ms * 2ULL
                    : b.wait_ms * 2 > REFUSAL_BACKOFF_LONGEST_MS ? REFUSAL_BACKOFF_LONGEST_MS
                                                                 : b.wait_ms * 2;
    // Less a little, so that the poll due at the end of the wait finds it over.
    b.until = b.wait_ms > 1000 ? GetTickCount64() + b.wait_ms - 1000 : 0;
    b.because = reason;
}

void limit_hand_over(Spooler* s, Poll* poll) {
    poll->waits_turn = 0;
    poll->refusal.clear();
    if (GetTickCount64() < s->backoff.until) {
        poll->refusal = s->backoff.because;
        return;
    }
    unsigned long in_flight = 0;
    for (const JobRecord* r : journal_records(&s->journal))
        in_flight += r->state == JOB_HANDED || r->state == JOB_SENT;
    if (in_flight < s->settings.in_flight)
        return;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%lu jobs are with the printer and not printed yet; the next is handed over as "
                  "one of them prints (in-flight)",
                  in_flight);
    poll->refusal = text;
    poll->waits_turn = 1;
}

// ---- Printing -----------------------------------------------------------------------------------

// Why a document call failed, with the printer's own state when it has stopped: a spooler's error
// for a queue that takes no jobs ("Invalid handle") says little. True when the printer says it
// prints and takes jobs: then the refusal was of load.
static bool explain_document_failure(const Spooler* s, const char* what, char* reason) {
    explain(what, reason);
    SPOOLER_PRINTER_STATE state;
    if (!spooler_printer_state(s->printer.name.c_str(), NULL, &state))
        return false;
    if (state.stopped || !state.accepting) {
        size_t length = std::strlen(reason);
        std::snprintf(reason + length, REASON_SIZE - length, " (the printer: %s)", state.words);
    }
    return !state.stopped && state.accepting;
}

// The steps between the start of a job's document and its pages: the printer's lasting name of
// the job, the job held until its file is seen unchanged after its document went (a spooler that
// holds no job back, its limits said at the start, prints it unheld), and the hand-over in the
// claim file and the journal before the first page. 0 when the pages may follow.
static int start_handed_job(Spooler* s, JobRecord* r, int job_id, char* reason,
                            DocumentResult* result) {
    s->backoff.wait_ms = s->backoff.in_a_row = 0; // taken: the next refusal waits least
    char reference[4096]; // a path or a printer's URI and the job's lasting ids
    const char* printer = s->printer.name.c_str();
    *result = DOCUMENT_REFUSED;
    if (!spooler_job_reference(printer, (DWORD)job_id, reference, sizeof reference)) {
        explain("the printer gives no lasting name for the job", reason);
        return 1;
    }
    int held = spooler_hold_job(printer, reference) != FALSE;
    if (!held && GetLastError() != ERROR_NOT_SUPPORTED) {
        explain("the printer cannot hold the job until its file is seen unchanged", reason);
        return 1;
    }
    *result = DOCUMENT_UNRECORDED;
    // Another spooler taking over must know that this one hands jobs over; the journal knows it
    // first.
    if (store_handed_mark(&s->journal, 1) != 0 || note_handed_jobs(&s->claim, 1) != 0) {
        explain("cannot write " CLAIM_FILE_NAME, reason);
        return 1;
    }
    JobRecord handed = *r;
    handed.printer = printer;
    handed.job_id = (DWORD)job_id;
    handed.reference = reference;
    if (held)
        handed.flags |= JOB_UNRELEASED;
    if (set_job_state(s, &handed, JOB_HANDED) != 0) {
        std::snprintf(reason, REASON_SIZE, "%s", s->journal_notice.said.c_str());
        return 1;
    }
    *r = handed;
    *result = DOCUMENT_LEFT;
    return 0;
}

// What became of a document that came to its end as `end`; `left` is what its steps left.
static DocumentResult document_result(Spooler* s, DocumentEnd end, DocumentResult left,
                                      char* reason) {
    switch (end) {
    case DOCUMENT_WHOLE: return DOCUMENT_SENT;
    case DOCUMENT_NOT_STARTED:
        note_printer_refusal(s, reason,
                             explain_document_failure(s, "cannot start the document", reason));
        return DOCUMENT_REFUSED;
    case DOCUMENT_END_FAILED:
        explain_document_failure(s, "cannot end the document", reason);
        return DOCUMENT_UNSURE;
    case DOCUMENT_ABANDONED: break; // as the step that failed said
    }
    return left;
}

// Prints one opened job as one document, each step in the journal before the next; `reason`
// says why it did not go. `state` brings the margin the jobs before left and comes back with what
// the interpreter made of the job.
static DocumentResult print_job_document(Spooler* s, FILE* job, JobRecord* r, JobPrintState* state,
                                         char* reason) {
    HDC dc = open_default_printer_dc(&s->printer);
    if (dc == NULL) {
        explain_missing_printer(reason, REASON_SIZE);
        return DOCUMENT_REFUSED;
    }
    SetAbortProc(dc, keep_printing);
    note_printer_fonts(dc, &s->printer);
    DocumentResult result = DOCUMENT_LEFT;
    DocumentSteps steps;
    steps.started = [&](HDC, int job_id) {
        return start_handed_job(s, r, job_id, reason, &result);
    };
    steps.pages = [&](HDC on) {
        print_job_stream(on, job, keep_printing, state);
        if (state->end == JOB_WHOLE && !spooling_stopped())
            return 0;
        if (spooling_stopped() || state->end == JOB_ABANDONED)
            std::snprintf(reason, REASON_SIZE, "abandoned: the program is ending");
        else if (std::ferror(job))
            std::snprintf(reason, REASON_SIZE, "cannot read the job file: %s",
                          std::strerror(errno));
        else
            explain("cannot print a page", reason);
        return 1;
    };
    int job_id = 0;
    result = document_result(s, print_document(dc, NULL, steps, &job_id), result, reason);
    DeleteDC(dc);
    return result;
}

// Hands one opened job file over as it is, for the print server to render, each step in the
// journal before the next as for a printed one.
static DocumentResult send_job_file(Spooler* s, FILE* job, JobRecord* r, char* reason) {
    HANDLE printer = open_folder_printer(&s->printer);
    if (printer == NULL) {
        explain_missing_printer(reason, REASON_SIZE);
        return DOCUMENT_REFUSED;
    }
    DocumentResult result = DOCUMENT_LEFT;
    DataSteps steps;
    steps.started = [&](int job_id) { return start_handed_job(s, r, job_id, reason, &result); };
    steps.data = [&](HANDLE on) {
        char piece[16384];
        size_t n;
        while (!spooling_stopped() && (n = std::fread(piece, 1, sizeof piece, job)) > 0) {
            DWORD written = 0;
            if (!WritePrinter(on, piece, (DWORD)n, &written) || written != n) {
                explain("cannot send the job file", reason);
                return 1;
            }
            keep_printing(NULL, 0);
        }
        if (spooling_stopped()) {
            std::snprintf(reason, REASON_SIZE, "abandoned: the program is ending");
            return 1;
        }
        if (std::ferror(job)) {
            std::snprintf(reason, REASON_SIZE, "cannot read the job file: %s",
                          std::strerror(errno));
            return 1;
        }
        return 0;
    };
    int job_id = 0;
    std::string datatype = zv_job_datatype(spool_options);
    DocumentEnd end = send_document(printer, datatype.c_str(), steps, &job_id);
    ClosePrinter(printer);
    if (end == DOCUMENT_NOT_STARTED && GetLastError() == ERROR_INVALID_DATATYPE) {
        std::snprintf(reason, REASON_SIZE,
                      "\"%s\" takes no job files as they are: render = server hands them to a "
                      "CUPS queue, whose print server renders them with zvtopdf",
                      s->printer.name.c_str());
        return DOCUMENT_REFUSED;
    }
    return document_result(s, end, result, reason);
}

// The poll takes no new job after `name`: the printer, or the journal, refuses them all.
static JobOutcome refused(Poll* poll, const std::string& name, const std::string& reason) {
    poll->refusal = reason;
    poll->waits_turn = 0;
    poll->refused_first = name;
    ++poll->refused;
    return JOB_REFUSED;
}

// A job whose printing came to an end without handing it over: without a job, or with one whose
// document is not whole (to be printed again), or one the next poll asks the printer about (its
// document may have arrived whole). It came to an end either way, and does not count against the
// job.
static JobOutcome not_handed_over(Spooler* s, const std::string& name, const JobRecord* stored,
                                  DocumentResult result, const char* reason, Poll* poll) {
    if (stored != NULL) {
        JobRecord back = *stored;
        if (back.attempts > 0)
            --back.attempts;
        set_job_state(s, &back, result == DOCUMENT_UNSURE ? back.state : JOB_PRINTING);
    }
    if (result == DOCUMENT_REFUSED || result == DOCUMENT_UNRECORDED)
        return refused(poll, name, reason);
    note_kept(s, name, reason);
    return JOB_KEPT;
}

JobOutcome unreadable_job(Spooler* s, const std::string& name) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_FILE_NOT_FOUND ||
        error == ERROR_PATH_NOT_FOUND)
        return JOB_WAITING;
    char why[REASON_SIZE];
    describe_error(error, why, sizeof why);
    note_kept(s, name,
              std::string("zvspool cannot read it (") + why +
                  "); it is printed once it can be read");
    return JOB_KEPT;
}

// Makes the archive's copy of the job `r` from its file, if the file is still the one printed.
static void archive_again(Spooler* s, const JobRecord& r) {
    FILE* job = _fsopen(job_path(r.name).c_str(), "rb", _SH_DENYWR);
    if (job == NULL)
        return;
    FileIdentity now;
    if (file_identity((HANDLE)_get_osfhandle(_fileno(job)), &now) == 0 &&
        same_file(&now, &r.identity))
        archive_printed_job(&s->archive, &s->printer, job, r.name, r.margin);
    std::fclose(job);
}

// The job is released to print: said first in the journal (a job whose release may have been
// asked is no proof of anything), then asked of the printer, then said done. Returns the entry
// when released, NULL when not.
static const JobRecord* release_job(Spooler* s, const JobRecord* r) {
    JobRecord held = *r;
    JobRecord releasing = *r;
    releasing.flags = (releasing.flags & ~JOB_UNRELEASED) | JOB_RELEASING | JOB_ARCHIVED;
    // The copy made as its document went may not have reached the disk before a stop: made again.
    if (!(r->flags & JOB_ARCHIVED))
        archive_again(s, *r);
    if (set_job_state(s, &releasing, JOB_SENT) != 0)
        return NULL;
    if (!spooler_release_job(releasing.printer.c_str(), releasing.reference.c_str())) {
        // Gone before this first release was asked (the print system lost it in a restart): it
        // was never released, and the print system's answer for a job still held decides.
        if (GetLastError() == ERROR_NOT_FOUND && (held.flags & JOB_UNRELEASED)) {
            held.flags |= JOB_ARCHIVED;
            set_job_state(s, &held, JOB_SENT);
            return NULL;
        }
        char why[REASON_SIZE];
        if (GetLastError() == ERROR_NOT_FOUND)
            std::snprintf(why, sizeof why,
                          "cannot release its held job: the print system no longer has it");
        else
            explain("cannot release its held job", why);
        note_kept(s, releasing.name, handed_words(releasing) + ", but " + why);
        return NULL;
    }
    JobRecord free = releasing;
    free.flags &= ~JOB_RELEASING;
    set_job_state(s, &free, JOB_SENT);
    return find_journal_record(&s->journal, free.id);
}

// A job just released to print: done when the printer says it printed, else said handed over
// and followed by the next polls.
static void follow_released_job(Spooler* s, const JobRecord* stored) {
    if (ZV_SPOOLER_STORES_JOBS_AT_END_DOC) {
        finish_printed_job(s, stored, "taken by the print spooler");
        return;
    }
    SPOOLER_JOB_FATE fate;
    int asked = spooler_job_fate(stored->printer.c_str(), stored->reference.c_str(),
                                 stage_of(*stored), &fate);
    if (asked && fate.fate == JOB_FATE_PRINTED) {
        finish_printed_job(s, stored, fate.words);
        return;
    }
    JobRecord r = *stored;
    // The printer's name of the job may have grown (a marker left on the scheduler now vouches
    // for it): kept, or the next poll could not tell a restart from a job done.
    if (asked && r.reference != fate.reference) {
        JobRecord updated = r;
        updated.reference = fate.reference;
        set_job_state(s, &updated, updated.state);
    }
    char size[64], state[REASON_SIZE + 64];
    pages_and_bytes(r, size, sizeof size);
    // The print system's words name the job; without them, its number does.
    if (asked) {
        std::snprintf(state, sizeof state, "%s", fate.words);
    } else {
        char why[REASON_SIZE];
        explain("its state cannot be read now", why);
        std::snprintf(state, sizeof state, "job %lu; %s", (unsigned long)r.job_id, why);
    }
    log_event(EVENT_INFO, "handed %s (%s) to \"%s\": %s", shown_name(r.name).c_str(), size,
              r.printer.c_str(), state);
}

void cancel_changed_job(Spooler* s, const JobRecord* r) {
    spooler_cancel_job(r->printer.c_str(), r->reference.c_str());
    if (r->flags & JOB_UNRELEASED)
        withdraw_copy(s, r->id);
}

// A job just handed over whole: held until its file is seen unchanged for the quiet time after
// its document went (release_quiet_jobs); cancelled when its file changed while it printed.
static JobOutcome follow_handed_job(Spooler* s, const std::string& name, const JobRecord* stored) {
    // A file that grew or was written to while it printed was handed over in part: that job is
    // cancelled, and the file printed whole once it is quiet. A file renamed over it is a new job.
    FileIdentity now;
    if (path_identity(job_path(name).c_str(), &now) == 0 &&
        same_file_object(&now, &stored->identity) && !same_file(&now, &stored->identity)) {
        spooler_cancel_job(stored->printer.c_str(), stored->reference.c_str());
        withdraw_copy(s, stored->id);
        note_kept(s, name,
                  "it changed while it printed; its job on \"" + stored->printer +
                      "\" is cancelled, and the file as it is now is printed once it is left "
                      "alone");
        forget_job(s, stored->id);
        return JOB_KEPT;
    }
    // The job stays in ZV until the printer says it printed it.
    if (stored->flags & JOB_UNRELEASED)
        s->held_since[stored->id] = GetTickCount64();
    else
        follow_released_job(s, stored);
    return JOB_DONE;
}

// Whether the job file has no byte left to read; the stream stays where it was.
static bool nothing_to_read(FILE* job) {
    int c = std::fgetc(job);
    if (c == EOF)
        return true;
    std::ungetc(c, job);
    return false;
}

JobOutcome print_new_job(Spooler* s, const WIN32_FIND_DATAA* found, const JobRecord* known,
                         Poll* poll) {
    std::string name = found->cFileName;
    FILE* job = _fsopen(job_path(name).c_str(), "rb", _SH_DENYWR);
    if (job == NULL)
        return unreadable_job(s, name);
    JobRecord r = known != NULL ? *known : JobRecord();
    r.name = name;
    if (file_identity((HANDLE)_get_osfhandle(_fileno(job)), &r.identity) != 0) {
        std::fclose(job);
        return JOB_WAITING;
    }
    if (r.attempts >= ATTEMPT_LIMIT) {
        std::fclose(job);
        char why[REASON_SIZE];
        std::snprintf(why, sizeof why,
                      "its printing began %d times and never came to an end (zvspool was stopped "
                      "on it each time)",
                      r.attempts);
        hold_job(s, known, why, EVENT_ERROR);
        return JOB_KEPT;
    }
    if (r.attempts > 0)
        log_event(EVENT_WARNING, "%s: zvspool stopped while it printed it; it is printed again",
                  shown_name(name).c_str());
    // The first step: about to print this very file.
    ++r.attempts;
    r.margin = s->carried_margin;
    if (set_job_state(s, &r, JOB_PRINTING) != 0) {
        std::fclose(job);
        return refused(poll, name, s->journal_notice.said);
    }
    char reason[REASON_SIZE] = "";
    JobPrintState printed;
    const int32_t margin = r.margin;
    printed.left_margin = margin;
    // A job the print server renders is not read here: it leaves the margin as it was. An empty
    // one is printed here, as the blank page it is: a print server takes no document of no bytes.
    bool on_server = spool_options.render_on_server && !nothing_to_read(job);
    DocumentResult result = on_server ? send_job_file(s, job, &r, reason)
                                      : print_job_document(s, job, &r, &printed, reason);
    r.bytes = std::ftell(job);
    r.pages = printed.pages;
    // A job that is not printed moves the margin neither of the jobs after it nor of its own when
    // it is printed again.
    if (result == DOCUMENT_SENT) {
        s->carried_margin = printed.left_margin;
        // The copy as the job prints: one the server renders starts at the paper's edge.
        std::string copy =
            archive_printed_job(&s->archive, &s->printer, job, name, on_server ? 0 : margin);
        if (!copy.empty())
            s->held_copies[r.id] = copy;
    }
    std::string off_page = describe_off_page(&printed.off_page);
    std::fclose(job);
    if (result != DOCUMENT_SENT)
        return not_handed_over(s, name, find_journal_record(&s->journal, r.id), result, reason,
                               poll);
    // The layout keeps the grid: text outside the printable area is cut, and said.
    if (!off_page.empty())
        log_event(EVENT_WARNING, "%s: text outside the printable area of \"%s\", cut off: %s",
                  shown_name(name).c_str(), r.printer.c_str(), off_page.c_str());
    r.attempts = 0;
    r.flags |= JOB_ARCHIVED;
    set_job_state(s, &r, JOB_SENT); // if not, the next poll finds its document whole: it was sent
    const JobRecord* stored = find_journal_record(&s->journal, r.id);
    if (stored == NULL)
        return JOB_KEPT;
    s->kept_reasons.erase(name);
    return follow_handed_job(s, name, stored);
}

unsigned long long release_quiet_jobs(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files) {
    unsigned long long now = GetTickCount64(), next = 0;
    for (const JobRecord* r : journal_records(&s->journal)) {
        if (spooling_stopped())
            break;
        if (r->state != JOB_SENT || !(r->flags & (JOB_UNRELEASED | JOB_RELEASING)) ||
            file_in_folder(r->name, &r->identity, files) == FILE_CHANGED)
            continue;
        unsigned long long since = s->held_since.emplace(r->id, now).first->second;
        if (now - since < s->settings.quiet_ms) {
            unsigned long long due = since + s->settings.quiet_ms;
            next = next == 0 || due < next ? due : next;
            continue;
        }
        if (const JobRecord* free = release_job(s, r))
            follow_released_job(s, free);
    }
    return next;
}

// ---- What the print system says -----------------------------------------------------------------

// What the printer says of itself: "" when it cannot be asked.
static std::string printer_words(const std::string& printer, const std::string& reference) {
    SPOOLER_PRINTER_STATE state;
    if (printer.empty() ||
        !spooler_printer_state(printer.c_str(), reference.empty() ? NULL : reference.c_str(),
                               &state))
        return "";
    return state.words;
}

int ask_handed_job(const JobRecord& r, std::string* job, std::string* printer) {
    SPOOLER_JOB_FATE fate;
    int asked = spooler_job_fate(r.printer.c_str(), r.reference.c_str(), stage_of(r), &fate);
    if (asked) {
        *job = fate.words;
    } else {
        char why[REASON_SIZE];
        explain("its state cannot be read now", why);
        *job = why;
    }
    *printer = printer_words(r.printer, r.reference);
    return asked && fate.fate == JOB_FATE_PRINTED;
}

std::string why_waiting(Spooler* s, const std::string& name, const std::string& refusal) {
    for (const JobRecord* r : records_named(&s->journal, name)) {
        if (r->state == JOB_HANDED || r->state == JOB_SENT) {
            std::string job, printer;
            ask_handed_job(*r, &job, &printer);
            return handed_words(*r) + ": " + job +
                   (printer.empty() ? "" : "; the printer: " + printer);
        }
        if (r->state == JOB_HELD)
            return "kept for a person: " + r->reason;
    }
    auto kept = s->kept_reasons.find(name);
    if (kept == s->kept_reasons.end() && refusal.empty())
        return "";
    std::string printer = printer_words(s->printer.name, "");
    return "kept: " + (kept != s->kept_reasons.end() ? kept->second : refusal) +
           (printer.empty() ? "" : "; the printer: " + printer);
}

void hold_unaccounted_jobs(Spooler* s, const std::vector<WIN32_FIND_DATAA>& files, const char* why,
                           const char* cause) {
    int held = 0;
    for (const WIN32_FIND_DATAA& f : files) {
        std::vector<const JobRecord*> known = records_named(&s->journal, f.cFileName);
        // A job whose printing had begun, in a journal that may have lost the entries after:
        // held when the journal was set aside, and counted with the others here.
        for (const JobRecord* r : known)
            if (r->state == JOB_HELD && (r->flags & JOB_FROM_DAMAGE) &&
                !s->kept_reasons.count(r->name)) {
                s->kept_reasons[r->name] = r->reason;
                ++held;
            }
        if (!known.empty())
            continue;
        JobRecord r = JobRecord();
        r.name = f.cFileName;
        if (path_identity(job_path(r.name).c_str(), &r.identity) != 0)
            continue;
        r.flags = JOB_FROM_DAMAGE;
        r.reason = why;
        if (set_job_state(s, &r, JOB_HELD) == 0)
            ++held;
    }
    if (held > 0)
        log_event(EVENT_WARNING,
                  "%d job%s waiting in ZV %s held for a person: %s, so whether %s printed cannot "
                  "be told (a file touched or put back anew is printed as a new job)",
                  held, held == 1 ? "" : "s", held == 1 ? "is" : "are", cause,
                  held == 1 ? "it was" : "they were");
}
