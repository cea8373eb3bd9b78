#include "spool/poller.h"

#include "render/print_job.h"
#include "spool/default_printer.h"
#include "spool/durable_folder.h"
#include "spool/event_log.h"
#include "spool/folder_claim.h"
#include "spool/handover_journal.h"
#include "spool/job_archive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
#else
const char PATH_SEPARATOR = '/';
#endif

unsigned long spool_quiet_ms = 2000;
unsigned long spool_alarm_seconds = 300;

std::string current_folder(void) {
    DWORD size = GetCurrentDirectoryA(0, NULL);
    std::vector<char> buffer(size + 1);
    if (size == 0 || GetCurrentDirectoryA((DWORD)buffer.size(), buffer.data()) == 0)
        return ".";
    return buffer.data();
}

static const char SPOOL_DIRECTORY[] = "ZV";
static const char SPOOL_PATTERN[] = "ZV\\zv*.zv";

enum {
    REASON_SIZE = 768,
    // A job the print system fails this often in a row is left for a person, not printed in a
    // loop.
    RESUBMISSION_LIMIT = 3,
    // A job whose printing this program began this often without coming to an end (it was
    // stopped, or it broke down on the job) is left for a person: it must not hold up the rest.
    ATTEMPT_LIMIT = 3,
    // How often the wait for a file to be quiet looks whether the program is asked to end.
    QUIET_CHECK_MS = 100,
};

// What became of one job file in this poll.
enum JobOutcome {
    JOB_DONE,    // printed and gone, handed over, or nothing to do
    JOB_KEPT,    // could not be printed now; the log says why
    JOB_WAITING, // not ready (still being written, or waiting to be quiet)
    JOB_REFUSED, // the printer takes no job now: the poll offers it no other
};

// One poll's state: whether a job had to be kept, and what keeps every new job from printing.
struct Poll {
    int result;
    std::string refusal;       // the printer's, or the journal's, for every new job of this poll
    std::string refused_first; // the job it came with
    int refused;               // jobs kept for it
    int waiting_for_quiet;     // files seen first in this poll, to be looked at again
    int waits_turn;            // the refusal is only the in-flight limit
};

// Why each job now waiting in ZV was last kept, so that a job kept for the same reason at every
// poll is said once; the entry goes when the job is printed or leaves ZV.
static std::map<std::string, std::string> kept_reasons;
// What was last said of ZV itself, of the journal, and of a printer that takes no jobs: "" while
// all is well.
static std::string spool_problem;
static std::string journal_problem;
static std::string said_refusal;
// Set when the program is asked to end while a job prints: that job is abandoned and kept, and
// no other job is started.
static int stop_requested = 0;

// Entries whose files are gone from ZV (deleted here, or by other hands): forgotten only once ZV
// is flushed, so that a power cut cannot bring back a printed job's file and lose its entry.
static std::vector<unsigned long> gone_entries;
// What was last said of flushing ZV: "" while it can be.
static std::string flush_problem;

// Since when (on the forward-only clock) each held job's file has been seen as it was when its
// document was sent, by the job's entry: the job is released once that is the quiet time.
static std::map<unsigned long, unsigned long long> held_since;
// The archive's copies of the jobs still held, by entry: taken back when the job is cancelled
// because its file changed.
static std::map<unsigned long, std::string> held_copies;

// The job held was cancelled before it printed: its copy in the archive goes too.
static void withdraw_copy(unsigned long id) {
    auto it = held_copies.find(id);
    if (it == held_copies.end())
        return;
    withdraw_archive_copy(it->second);
    held_copies.erase(it);
}

// Jobs kept, or handed over and not yet printed: since when (on the forward-only clock), and how
// often the alarm has been given for them.
struct Stuck {
    unsigned long long since;
    int alarms;
};
static std::map<std::string, Stuck> stuck_jobs;
// The alarm as one line for the window ("" while no job is stuck).
static std::string alarm_text;
static int alarms_given = 0;

// Each file as last seen, and since when (on the forward-only clock) it has looked so.
struct Observation {
    DWORD size_high;
    DWORD size_low;
    FILETIME written;
    FILETIME changed;
    unsigned long long since;
};
static std::map<std::string, Observation> observations;

static void explain(const char* what, char* reason) {
    describe_failure(what, reason, REASON_SIZE);
}

static std::string shown(const std::string& name) {
    char text[MAX_PATH];
    printable_name(name.c_str(), text, sizeof text);
    return text;
}

static std::string job_path(const std::string& name) {
    return std::string(SPOOL_DIRECTORY) + "\\" + name;
}

// Says once why a job is kept, and again when the reason changes.
static void note_kept(const std::string& name, const std::string& reason) {
    std::string& said = kept_reasons[name];
    if (said == reason)
        return;
    said = reason;
    log_event(EVENT_WARNING, "kept %s: %s", shown(name).c_str(), reason.c_str());
}

static void pages_and_bytes(const JobRecord& r, char* text, size_t size) {
    if (r.bytes == 0)
        std::snprintf(text, size, "empty: %d blank page%s", r.pages, r.pages == 1 ? "" : "s");
    else
        std::snprintf(text, size, "%lld bytes, %d page%s", r.bytes, r.pages,
                      r.pages == 1 ? "" : "s");
}

// Says once that the journal cannot be kept, and when it can again.
static void note_journal(const std::string& problem) {
    if (problem == journal_problem)
        return;
    if (problem.empty())
        log_event(EVENT_INFO, "the journal can be written again; the jobs waiting for it are "
                              "printed");
    else
        log_event(EVENT_WARNING,
                  "%s; no job is printed until it can be, so none is printed "
                  "twice",
                  problem.c_str());
    journal_problem = problem;
}

static std::string journal_failure(const char* what) {
    char why[REASON_SIZE];
    explain(what, why);
    return std::string(why) + " (" + journal_path() + ")";
}

// Whether a step into the journal failed in this poll: its return is said only after a poll
// whose every step went in (on a nearly full disk a small entry may go in after a larger one
// failed).
static int journal_failed = 0;

// Each step into the journal; a failure is said once.
static int record(JobRecord* r) {
    if (store_job_record(r) != 0) {
        note_journal(journal_failure("cannot keep the journal"));
        journal_failed = 1;
        return 1;
    }
    return 0;
}

static int forget(unsigned long id) {
    if (forget_job_record(id) != 0) {
        note_journal(journal_failure("cannot keep the journal"));
        journal_failed = 1;
        return 1;
    }
    return 0;
}

// ---- Stopping -----------------------------------------------------------------------------------

static int closing_requested(void) {
    MSG msg;
    return PeekMessageA(&msg, NULL, WM_CLOSE, WM_CLOSE, PM_NOREMOVE) ||
           PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE) ||
           (PeekMessageA(&msg, NULL, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE) &&
            (msg.wParam & 0xFFF0) == SC_CLOSE);
}

// The abort procedure: the printer, and the interpreter as it reads, ask now and then while a job
// prints whether to go on. A request to close the program (a close waiting in the queue)
// abandons the job, which stays in ZV to be printed whole next time.
static BOOL CALLBACK keep_printing(HDC dc, int code) {
    (void)dc;
    (void)code;
    if (!stop_requested && closing_requested())
        stop_requested = 1;
    return !stop_requested;
}

void stop_spooling(void) {
    stop_requested = 1;
}

// ---- Files --------------------------------------------------------------------------------------

// Deletes the job file at `path` if it is still the very file printed. Returns 0 when deleted, 1
// when it cannot be (the last error says why), 2 when another file has taken its place.
static int delete_job_file(const char* path, const FileIdentity* printed) {
    HANDLE file =
        CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 1;
    FileIdentity now;
    int result = 2;
    if (file_identity(file, &now) == 0 && same_file(&now, printed)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        result =
            SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
                ? 0
                : 1;
    }
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return result;
}

// Whether the file has stayed as it is for the quiet time, on the clock that only goes forward:
// its size and its times of writing and of change, seen the same since then.
static int quiet_long_enough(const WIN32_FIND_DATAA* found) {
    unsigned long long now = GetTickCount64();
    auto it = observations.find(found->cFileName);
    if (it == observations.end() || it->second.size_high != found->nFileSizeHigh ||
        it->second.size_low != found->nFileSizeLow ||
        std::memcmp(&it->second.written, &found->ftLastWriteTime, sizeof(FILETIME)) != 0 ||
        std::memcmp(&it->second.changed, &found->ftCreationTime, sizeof(FILETIME)) != 0) {
        observations[found->cFileName] =
            Observation{found->nFileSizeHigh, found->nFileSizeLow, found->ftLastWriteTime,
                        found->ftCreationTime, now};
        return spool_quiet_ms == 0;
    }
    return now - it->second.since >= spool_quiet_ms;
}

const char* not_a_file(const WIN32_FIND_DATAA* found) {
    if (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    if (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link";
    if (found->dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return "a FIFO, socket or device";
    return NULL;
}

// A job file that cannot be opened: its producer still writes it (it waits in silence), it went
// (nothing to do), or zvspool may not read it (said once, and kept).
static JobOutcome unreadable(const std::string& name) {
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_FILE_NOT_FOUND ||
        error == ERROR_PATH_NOT_FOUND)
        return JOB_WAITING;
    char why[REASON_SIZE];
    describe_error(error, why, sizeof why);
    note_kept(name, std::string("zvspool cannot read it (") + why +
                        "); it is printed once it can be read");
    return JOB_KEPT;
}

// The entries of the journal for the file called `name`.
static std::vector<JobRecord*> records_named(const std::string& name) {
    std::vector<JobRecord*> out;
    for (JobRecord* r : journal_records())
        if (r->name == name)
            out.push_back(r);
    return out;
}

// ---- Journal steps ------------------------------------------------------------------------------

// A job to be printed (again): no job of a printer is known for it. Its counts go on.
static void clear_print_job(JobRecord* r) {
    r->printer.clear();
    r->job_id = 0;
    r->reference.clear();
    r->reason.clear();
    r->flags &= ~(JOB_UNRELEASED | JOB_RELEASING | JOB_ARCHIVED);
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

// The entry is forgotten once its file's going is on the disk (at the end of the poll).
static void forget_when_durable(unsigned long id) {
    gone_entries.push_back(id);
}

// Flushes ZV, then forgets the entries of the files gone from it. Where ZV cannot be flushed the
// entries stay (a printed job's file that came back would be deleted again), and the log says
// why, once.
static void settle_deletions(void) {
    if (gone_entries.empty())
        return;
    std::string problem;
    if (flush_folder(SPOOL_DIRECTORY) != 0) {
        char why[REASON_SIZE];
        explain("the folder ZV cannot be flushed to the disk", why);
        problem = why;
    } else {
        for (unsigned long id : gone_entries)
            forget(id);
    }
    gone_entries.clear();
    if (problem == flush_problem)
        return;
    if (problem.empty())
        log_event(EVENT_INFO, "the folder ZV can be flushed to the disk again");
    else
        log_event(EVENT_WARNING,
                  "%s; the printed jobs deleted from it stay in the journal until it can be, so "
                  "that none is printed again",
                  problem.c_str());
    // A disk that cannot keep what it is given is an alarm of its own: the desktop is told.
    if (!problem.empty())
        ++alarms_given;
    flush_problem = problem;
}

// ---- Alarms -------------------------------------------------------------------------------------

// When a stuck job is said again: after the alarm time, three times it, twelve times it, then
// every twelve times it (by default 5, 15 and 60 minutes, then hourly).
static unsigned long long alarm_due_ms(int alarms) {
    static const int steps[] = {1, 3, 12};
    unsigned long long unit = (unsigned long long)spool_alarm_seconds * 1000ULL;
    return unit * (alarms < 3 ? steps[alarms] : 12ULL * (alarms - 1));
}

static std::string waited(unsigned long long ms) {
    char text[48];
    describe_duration(ms / 1000, text, sizeof text);
    return text;
}

static void note_printed_after_alarm(const std::string& name) {
    auto it = stuck_jobs.find(name);
    if (it == stuck_jobs.end())
        return;
    if (it->second.alarms > 0)
        log_event(EVENT_INFO, "%s is printed after it waited %s", shown(name).c_str(),
                  waited(GetTickCount64() - it->second.since).c_str());
    stuck_jobs.erase(it);
}

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

// Why the job `name` waits, in the print system's words where it has them; "" when it does not
// wait (printed, printing, or waiting to be quiet).
static std::string why_stuck(const std::string& name, const std::string& refusal) {
    for (JobRecord* r : records_named(name)) {
        if (r->state == JOB_HANDED || r->state == JOB_SENT) {
            std::string job, printer;
            ask_handed_job(*r, &job, &printer);
            char text[REASON_SIZE * 3];
            std::snprintf(text, sizeof text, "handed to \"%s\" as job %lu: %s%s%s",
                          r->printer.c_str(), (unsigned long)r->job_id, job.c_str(),
                          printer.empty() ? "" : "; the printer: ", printer.c_str());
            return text;
        }
        if (r->state == JOB_HELD)
            return "kept for a person: " + r->reason;
    }
    auto kept = kept_reasons.find(name);
    if (kept == kept_reasons.end() && refusal.empty())
        return "";
    std::string printer = printer_words(last_printer_name(), "");
    return "kept: " + (kept != kept_reasons.end() ? kept->second : refusal) +
           (printer.empty() ? "" : "; the printer: " + printer);
}

// Warns of every job kept, or handed over and not printed, for longer than the alarm time, again
// at growing intervals, and puts the alarm in one line for the window.
static void sound_alarms(const std::vector<WIN32_FIND_DATAA>& files, const std::string& refusal) {
    unsigned long long now = GetTickCount64();
    std::set<std::string> waiting;
    for (const WIN32_FIND_DATAA& f : files) {
        int handed = 0;
        for (JobRecord* r : records_named(f.cFileName))
            handed |= r->state == JOB_HANDED || r->state == JOB_SENT || r->state == JOB_HELD;
        // A job of a poll the printer refused waits as a kept one does.
        if (handed || kept_reasons.count(f.cFileName) || !refusal.empty())
            waiting.insert(f.cFileName);
    }
    for (auto it = stuck_jobs.begin(); it != stuck_jobs.end();)
        it = waiting.count(it->first) ? std::next(it) : stuck_jobs.erase(it);
    int stuck = 0;
    std::string first_reason;
    for (const std::string& name : waiting) {
        Stuck& s = stuck_jobs.emplace(name, Stuck{now, 0}).first->second;
        if (now - s.since < alarm_due_ms(0))
            continue;
        ++stuck;
        int due = now - s.since >= alarm_due_ms(s.alarms);
        if (!due && !first_reason.empty())
            continue;
        std::string why = why_stuck(name, refusal);
        if (first_reason.empty())
            first_reason = why;
        if (!due || why.empty())
            continue;
        ++s.alarms;
        ++alarms_given;
        log_event(EVENT_WARNING, "%s has waited %s: %s", shown(name).c_str(),
                  waited(now - s.since).c_str(), why.c_str());
    }
    char line[REASON_SIZE * 3 + 64] = "";
    if (stuck > 0)
        std::snprintf(line, sizeof line, "%d job%s waiting: %s", stuck, stuck == 1 ? "" : "s",
                      first_reason.c_str());
    else if (!flush_problem.empty())
        std::snprintf(line, sizeof line, "%s", flush_problem.c_str());
    alarm_text = line;
}

const char* spool_alarm(void) {
    return alarm_text.c_str();
}

int spool_alarm_count(void) {
    return alarms_given;
}

// The job is printed: its file goes, if it is still the file printed. A file that cannot be
// deleted is remembered, so it is not printed again while it stays as it is.
static void finish_printed_job(JobRecord* r, const std::string& status) {
    char size[64];
    pages_and_bytes(*r, size, sizeof size);
    std::string name = r->name;
    kept_reasons.erase(name);
    log_event(EVENT_INFO, "printed %s (%s) on \"%s\": %s", shown(name).c_str(), size,
              r->printer.c_str(), status.c_str());
    note_printed_after_alarm(name);
    if (r->state != JOB_PRINTED) {
        r->state = JOB_PRINTED;
        r->since = (long long)std::time(NULL);
        record(r); // the file goes either way: a file gone is printed no more
    }
    int deleted = delete_job_file(job_path(name).c_str(), &r->identity);
    if (deleted == 1) {
        char why[REASON_SIZE];
        explain("cannot delete it", why);
        log_event(EVENT_WARNING,
                  "%s was printed, but %s; it is not printed again while it stays as it is",
                  shown(name).c_str(), why);
        return;
    }
    if (deleted == 2)
        log_event(EVENT_INFO, "%s was replaced while it printed; the new file is a new job",
                  shown(name).c_str());
    forget_when_durable(r->id);
}

// Leaves a job in ZV for a person; it is not printed again while the file stays as it is.
static void hold_job(JobRecord* r, const std::string& why, int level) {
    r->state = JOB_HELD;
    r->reason = why;
    r->since = (long long)std::time(NULL);
    record(r);
    kept_reasons[r->name] = why;
    log_event(level,
              "%s: %s; it stays in ZV for a person to see to (a file touched or put back "
              "anew is printed as a new job)",
              shown(r->name).c_str(), why.c_str());
}

// The print system failed the job, or lost it: it is printed again, a few times at most. Returns
// what became of it.
static JobOutcome print_again(JobRecord* r, const std::string& words) {
    if (r->resubmissions >= RESUBMISSION_LIMIT) {
        char why[REASON_SIZE + 128];
        std::snprintf(why, sizeof why, "%s; it was printed %d times without success", words.c_str(),
                      r->resubmissions + 1);
        hold_job(r, why, EVENT_ERROR);
        return JOB_KEPT;
    }
    JobRecord again = *r;
    clear_print_job(&again);
    again.state = JOB_PRINTING;
    again.attempts = 0;
    again.resubmissions = r->resubmissions + 1;
    // Stored as a start of printing that has not begun: a stop before it begins costs nothing.
    if (record(&again) != 0) {
        note_kept(r->name, words + "; it is printed again once the journal can be written");
        return JOB_KEPT;
    }
    log_event(EVENT_WARNING, "%s: %s; it is printed again", shown(r->name).c_str(), words.c_str());
    *r = again;
    return JOB_WAITING;
}

// What the print system says of a job handed to it, and what follows.
static JobOutcome follow_job(JobRecord* r) {
    SPOOLER_JOB_FATE fate;
    if (!spooler_job_fate(r->printer.c_str(), r->reference.c_str(), stage_of(*r), &fate)) {
        char why[REASON_SIZE], reason[REASON_SIZE + 128];
        explain("cannot ask the printer about it", why);
        std::snprintf(reason, sizeof reason, "handed to \"%s\" as job %lu; %s", r->printer.c_str(),
                      (unsigned long)r->job_id, why);
        note_kept(r->name, reason);
        return JOB_KEPT;
    }
    if (r->reference != fate.reference ||
        (fate.fate != JOB_FATE_INCOMPLETE && r->state != JOB_SENT)) {
        JobRecord updated = *r;
        updated.reference = fate.reference;
        if (fate.fate != JOB_FATE_INCOMPLETE)
            updated.state = JOB_SENT; // its document is there: it went whole
        if (record(&updated) == 0)
            *r = updated;
    }
    int trusted = !(r->flags & JOB_FROM_DAMAGE);
    switch (fate.fate) {
    case JOB_FATE_WAITING: return JOB_WAITING;
    case JOB_FATE_PRINTED: finish_printed_job(r, fate.words); return JOB_DONE;
    case JOB_FATE_CANCELLED:
        if (!trusted)
            break;
        log_event(EVENT_WARNING, "%s: %s in the print queue; it is not printed again",
                  shown(r->name).c_str(), fate.words);
        if (delete_job_file(job_path(r->name).c_str(), &r->identity) == 1) {
            hold_job(r, std::string(fate.words) + " in the print queue", EVENT_INFO);
            return JOB_KEPT;
        }
        forget_when_durable(r->id);
        return JOB_DONE;
    case JOB_FATE_FAILED:
    case JOB_FATE_LOST:
        if (!trusted)
            break;
        return print_again(r, fate.words);
    case JOB_FATE_INCOMPLETE:
        // A job this program left without its whole document (it was stopped while sending):
        // cancelled, so that no part of it prints, and printed again.
        if (!spooler_cancel_job(r->printer.c_str(), r->reference.c_str())) {
            char why[REASON_SIZE];
            explain("cannot cancel the job it left without its whole document", why);
            note_kept(r->name, why);
            return JOB_KEPT;
        }
        log_event(EVENT_INFO, "%s: %s; that job is cancelled, and the file printed again",
                  shown(r->name).c_str(), fate.words);
        r->state = JOB_PRINTING; // as a stop before the job was made
        clear_print_job(r);
        record(r);
        return JOB_WAITING;
    default: break;
    }
    hold_job(r, fate.words, EVENT_WARNING);
    return JOB_KEPT;
}

// What the journal says of a job at the start of a poll, brought up to date with the printer.
static JobOutcome reconcile(JobRecord* r) {
    switch (r->state) {
    case JOB_HANDED:
    case JOB_SENT:
        // A spooler that stores its jobs before EndDoc returns has the job for good once it is
        // free to print.
        if (ZV_SPOOLER_STORES_JOBS_AT_END_DOC && released(*r)) {
            finish_printed_job(r, "taken by the print spooler");
            return JOB_DONE;
        }
        return follow_job(r);
    case JOB_HELD: return JOB_KEPT;
    case JOB_PRINTED: {
        int deleted = delete_job_file(job_path(r->name).c_str(), &r->identity);
        if (deleted != 1)
            forget_when_durable(r->id);
        return JOB_DONE;
    }
    default: return JOB_DONE; // JOB_PRINTING: printed anew when its file comes up
    }
}

// ---- How many at once ---------------------------------------------------------------------------

unsigned long spool_in_flight = 5;

// A printer that refused a job while it takes jobs (a print server at its limit of active jobs)
// is offered none for a while, longer each time it refuses again, up to a minute: many spoolers
// sharing a print server do not all knock at every poll. A queue that takes no jobs, or cannot be
// asked, is offered the next job at the next poll, so that a person's fix shows at once.
static unsigned long long refused_until = 0;
static unsigned long long refusal_backoff_ms = 0;
static std::string refused_because;
unsigned long spool_refusal_backoff_ms = 10000;
static const unsigned long long REFUSAL_BACKOFF_LONGEST_MS = 60000;

static int refusals_in_a_row = 0;

// The first refusal of load is tried again at the next poll; each one after waits twice as long.
static void note_printer_refusal(const char* reason, bool of_load) {
    if (!of_load) {
        refused_until = refusal_backoff_ms = refusals_in_a_row = 0;
        return;
    }
    if (++refusals_in_a_row > 1)
        refusal_backoff_ms = refusal_backoff_ms == 0 ? spool_refusal_backoff_ms * 2ULL
                             : refusal_backoff_ms * 2 > REFUSAL_BACKOFF_LONGEST_MS
                                 ? REFUSAL_BACKOFF_LONGEST_MS
                                 : refusal_backoff_ms * 2;
    // Less a little, so that the poll due at the end of the wait finds it over.
    refused_until = refusal_backoff_ms > 1000 ? GetTickCount64() + refusal_backoff_ms - 1000 : 0;
    refused_because = reason;
}

// Why no job is handed over now, in the poll's refusal ("" for none): jobs in flight (handed to the
// printer and not yet printed) are few, so that a shared print server keeps room for the history
// of the jobs it finished, and a printer that refused lately is left alone. Jobs that only wait
// their turn are no fault.
static void limit_hand_over(Poll* poll) {
    poll->waits_turn = 0;
    poll->refusal.clear();
    if (GetTickCount64() < refused_until) {
        poll->refusal = refused_because;
        return;
    }
    unsigned long in_flight = 0;
    for (JobRecord* r : journal_records())
        in_flight += r->state == JOB_HANDED || r->state == JOB_SENT;
    if (in_flight < spool_in_flight)
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

// How printing a document ended.
enum DocumentResult {
    DOCUMENT_SENT,      // the printer took it whole: the job is handed over
    DOCUMENT_ABANDONED, // given up before its end: the printer has no whole document of it
    DOCUMENT_UNSURE,    // its end failed: the printer may have it whole; the next poll asks
    DOCUMENT_REFUSED,   // the printer takes no job now
    DOCUMENT_UNRECORDED // the journal cannot be written
};

// Why a document call failed, with the printer's own state when it has stopped: a spooler's error
// for a queue that takes no jobs ("Invalid handle") says little. True when the printer says it
// prints and takes jobs: then the refusal was of load.
static bool explain_document_failure(const char* what, char* reason) {
    explain(what, reason);
    SPOOLER_PRINTER_STATE state;
    if (!spooler_printer_state(last_printer_name(), NULL, &state))
        return false;
    if (state.stopped) {
        size_t length = std::strlen(reason);
        std::snprintf(reason + length, REASON_SIZE - length, " (the printer: %s)", state.words);
    }
    return !state.stopped && state.accepting;
}

// Prints the job on its started document, whose job the journal knows, and ends the document.
static DocumentResult print_and_end_document(HDC dc, FILE* job, JobPrintState* state,
                                             char* reason) {
    print_job_stream(dc, job, keep_printing, state);
    if (state->end == JOB_WHOLE && !stop_requested) {
        if (EndDoc(dc) > 0)
            return DOCUMENT_SENT;
        explain_document_failure("cannot end the document", reason);
        return DOCUMENT_UNSURE;
    }
    if (stop_requested || state->end == JOB_ABANDONED)
        std::snprintf(reason, REASON_SIZE, "abandoned: the program is ending");
    else if (std::ferror(job))
        std::snprintf(reason, REASON_SIZE, "cannot read the job file: %s", std::strerror(errno));
    else
        explain("cannot print a page", reason);
    AbortDoc(dc);
    return DOCUMENT_ABANDONED;
}

// Holds the job just started until its file is seen unchanged after its document went, so that
// a file its producer writes on never reaches the paper in part. A spooler that holds no job back
// (its limits are said at the start) prints it unheld. 0 when the job may go on; `held` says
// whether it is held.
static int hold_new_job(const char* reference, int* held) {
    *held = spooler_hold_job(last_printer_name(), reference) != FALSE;
    return *held || GetLastError() == ERROR_NOT_SUPPORTED ? 0 : 1;
}

// The left margin the jobs printed so far left for the next.
static int32_t carried_margin = 0;

// Prints one opened job as one document, each step in the journal before the next; `reason`
// says why it did not go. `state` brings the margin the jobs before left and comes back with what
// the interpreter made of the job.
static DocumentResult print_job_document(FILE* job, JobRecord* r, JobPrintState* state,
                                         char* reason) {
    HDC dc = open_default_printer_dc();
    if (dc == NULL) {
        explain_missing_printer(reason, REASON_SIZE);
        return DOCUMENT_REFUSED;
    }
    DOCINFOA doc = zv_document_info();
    SetAbortProc(dc, keep_printing);
    DocumentResult result = DOCUMENT_ABANDONED;
    int job_id = StartDocA(dc, &doc);
    if (job_id > 0)
        refusal_backoff_ms = refusals_in_a_row = 0; // taken: the next refusal waits least
    int held = 0;
    char reference[4096]; // a path or a printer's URI and the job's lasting ids
    if (job_id <= 0) {
        note_printer_refusal(reason, explain_document_failure("cannot start the document", reason));
        result = DOCUMENT_REFUSED;
    } else if (!spooler_job_reference(last_printer_name(), (DWORD)job_id, reference,
                                      sizeof reference)) {
        explain("the printer gives no lasting name for the job", reason);
        AbortDoc(dc);
        result = DOCUMENT_REFUSED;
    } else if (hold_new_job(reference, &held) != 0) {
        explain("the printer cannot hold the job until its file is seen unchanged", reason);
        AbortDoc(dc);
        result = DOCUMENT_REFUSED;
    } else {
        // Another spooler taking over must know that this one hands jobs over; the journal
        // knows it first.
        if (store_handed_mark(1) != 0 || note_handed_jobs(1) != 0) {
            explain("cannot write " CLAIM_FILE_NAME, reason);
            AbortDoc(dc);
            DeleteDC(dc);
            return DOCUMENT_UNRECORDED;
        }
        r->state = JOB_HANDED;
        r->printer = last_printer_name();
        r->job_id = (DWORD)job_id;
        r->reference = reference;
        if (held)
            r->flags |= JOB_UNRELEASED;
        r->since = (long long)std::time(NULL);
        if (record(r) != 0) {
            std::snprintf(reason, REASON_SIZE, "%s", journal_problem.c_str());
            AbortDoc(dc);
            result = DOCUMENT_UNRECORDED;
        } else {
            result = print_and_end_document(dc, job, state, reason);
        }
    }
    DeleteDC(dc);
    return result;
}

// A job whose printing came to an end without handing it over: without a job, or with one whose
// document is not whole (to be printed again), or one the next poll asks the printer about (its
// document may have arrived whole). It came to an end either way, and does not count against the
// job.
static JobOutcome not_handed_over(const std::string& name, JobRecord* stored, DocumentResult result,
                                  const char* reason, Poll* poll) {
    if (stored != NULL) {
        JobRecord back = *stored;
        if (back.attempts > 0)
            --back.attempts;
        if (result != DOCUMENT_UNSURE) {
            back.state = JOB_PRINTING;
            clear_print_job(&back);
        }
        record(&back);
    }
    if (result == DOCUMENT_REFUSED || result == DOCUMENT_UNRECORDED) {
        poll->refusal = reason;
        poll->waits_turn = 0;
        poll->refused_first = name;
        ++poll->refused;
        return JOB_REFUSED;
    }
    note_kept(name, reason);
    return JOB_KEPT;
}

// Makes the archive's copy of the job `r` from its file, if the file is still the one printed.
static void archive_again(const JobRecord& r) {
    FILE* job = _fsopen(job_path(r.name).c_str(), "rb", _SH_DENYWR);
    if (job == NULL)
        return;
    FileIdentity now;
    if (file_identity((HANDLE)_get_osfhandle(_fileno(job)), &now) == 0 &&
        same_file(&now, &r.identity))
        archive_printed_job(job, r.name, r.margin);
    std::fclose(job);
}

// The job is released to print: said first in the journal (a job whose release may have been
// asked is no proof of anything), then asked of the printer, then said done. Returns 0 when
// released.
static int release_job(JobRecord* r) {
    JobRecord held = *r;
    JobRecord releasing = *r;
    releasing.flags = (releasing.flags & ~JOB_UNRELEASED) | JOB_RELEASING | JOB_ARCHIVED;
    // The copy made as its document went may not have reached the disk before a stop: made again.
    if (!(r->flags & JOB_ARCHIVED))
        archive_again(*r);
    if (record(&releasing) != 0)
        return 1;
    *r = releasing;
    if (!spooler_release_job(r->printer.c_str(), r->reference.c_str())) {
        // Gone before this first release was asked (the print system lost it in a restart): it
        // was never released, and the print system's answer for a job still held decides.
        if (GetLastError() == ERROR_NOT_FOUND && (held.flags & JOB_UNRELEASED)) {
            held.flags |= releasing.flags & JOB_ARCHIVED;
            if (record(&held) == 0)
                *r = held;
            return 1;
        }
        char why[REASON_SIZE];
        if (GetLastError() == ERROR_NOT_FOUND)
            std::snprintf(why, sizeof why,
                          "cannot release its held job: the print system no longer has it");
        else
            explain("cannot release its held job", why);
        note_kept(r->name, std::string("handed to \"") + r->printer + "\" as job " +
                               std::to_string(r->job_id) + ", but " + why);
        return 1;
    }
    JobRecord free = *r;
    free.flags &= ~JOB_RELEASING;
    if (record(&free) == 0)
        *r = free;
    held_since.erase(r->id);
    held_copies.erase(r->id);
    return 0;
}

// A job just released to print: done when the printer says it printed, else said handed over
// and followed by the next polls.
static void follow_released_job(JobRecord* stored) {
    if (ZV_SPOOLER_STORES_JOBS_AT_END_DOC) {
        finish_printed_job(stored, "taken by the print spooler");
        return;
    }
    SPOOLER_JOB_FATE fate;
    int asked = spooler_job_fate(stored->printer.c_str(), stored->reference.c_str(),
                                 stage_of(*stored), &fate);
    if (asked && fate.fate == JOB_FATE_PRINTED) {
        finish_printed_job(stored, fate.words);
        return;
    }
    // The printer's name of the job may have grown (a marker left on the scheduler now vouches
    // for it): kept, or the next poll could not tell a restart from a job done.
    if (asked && stored->reference != fate.reference) {
        JobRecord updated = *stored;
        updated.reference = fate.reference;
        record(&updated);
    }
    char size[64], state[REASON_SIZE + 64];
    pages_and_bytes(*stored, size, sizeof size);
    // The print system's words name the job; without them, its number does.
    if (asked) {
        std::snprintf(state, sizeof state, "%s", fate.words);
    } else {
        char why[REASON_SIZE];
        explain("its state cannot be read now", why);
        std::snprintf(state, sizeof state, "job %lu; %s", (unsigned long)stored->job_id, why);
    }
    log_event(EVENT_INFO, "handed %s (%s) to \"%s\": %s", shown(stored->name).c_str(), size,
              stored->printer.c_str(), state);
}

// A job just handed over whole: held until its file is seen unchanged for the quiet time after
// its document went (release_quiet_jobs); cancelled when its file changed while it printed.
static JobOutcome follow_handed_job(const std::string& name, const std::string& path,
                                    JobRecord* stored) {
    // A file that grew or was written to while it printed was handed over in part: that job is
    // cancelled, and the file printed whole once it is quiet. A file renamed over it is a new job.
    FileIdentity now;
    if (path_identity(path.c_str(), &now) == 0 && same_file_object(&now, &stored->identity) &&
        !same_file(&now, &stored->identity)) {
        spooler_cancel_job(stored->printer.c_str(), stored->reference.c_str());
        withdraw_copy(stored->id);
        note_kept(name, "it changed while it printed; its job on \"" + stored->printer +
                            "\" is cancelled, and the file as it is now is printed once it is "
                            "left alone");
        forget(stored->id);
        return JOB_KEPT;
    }
    // The job stays in ZV until the printer says it printed it.
    if (stored->flags & JOB_UNRELEASED)
        held_since[stored->id] = GetTickCount64();
    else
        follow_released_job(stored);
    return JOB_DONE;
}

// Prints the job file `found` as a new document; `r` is its entry when the journal has one (a
// job to print again). Returns what became of it.
static JobOutcome print_new_job(const WIN32_FIND_DATAA* found, JobRecord* known, Poll* poll) {
    std::string name = found->cFileName;
    std::string path = job_path(name);
    FILE* job = _fsopen(path.c_str(), "rb", _SH_DENYWR);
    if (job == NULL)
        return unreadable(name);
    JobRecord r;
    if (known != NULL) {
        r = *known;
    } else {
        r = JobRecord();
        r.id = 0;
        r.name = name;
        r.job_id = 0;
        r.attempts = r.resubmissions = r.pages = r.flags = 0;
        r.bytes = 0;
    }
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
        hold_job(known, why, EVENT_ERROR);
        return JOB_KEPT;
    }
    if (r.attempts > 0)
        log_event(EVENT_WARNING, "%s: zvspool stopped while it printed it; it is printed again",
                  shown(name).c_str());
    // The first step: about to print this very file.
    r.state = JOB_PRINTING;
    ++r.attempts;
    r.since = (long long)std::time(NULL);
    clear_print_job(&r);
    r.margin = carried_margin;
    if (record(&r) != 0) {
        std::fclose(job);
        poll->refusal = journal_problem;
        poll->waits_turn = 0;
        poll->refused_first = name;
        ++poll->refused;
        return JOB_REFUSED;
    }
    char reason[REASON_SIZE] = "";
    JobPrintState printed;
    const int32_t margin = r.margin;
    printed.left_margin = margin;
    DocumentResult result = print_job_document(job, &r, &printed, reason);
    r.bytes = std::ftell(job);
    r.pages = printed.pages;
    // A job that is not printed moves the margin neither of the jobs after it nor of its own when
    // it is printed again.
    if (result == DOCUMENT_SENT) {
        carried_margin = printed.left_margin;
        std::string copy = archive_printed_job(job, name, margin);
        if (!copy.empty())
            held_copies[r.id] = copy;
    }
    std::string off_page = describe_off_page(&printed.off_page);
    std::fclose(job);
    JobRecord* stored = find_journal_record(r.id);
    if (result != DOCUMENT_SENT)
        return not_handed_over(name, stored, result, reason, poll);
    // The layout keeps the grid: text outside the printable area is cut, and said.
    if (!off_page.empty())
        log_event(EVENT_WARNING, "%s: text outside the printable area of \"%s\", cut off: %s",
                  shown(name).c_str(), r.printer.c_str(), off_page.c_str());
    r.state = JOB_SENT;
    r.attempts = 0;
    r.flags |= JOB_ARCHIVED;
    r.since = (long long)std::time(NULL);
    record(&r); // if not, the next poll finds its document whole: it was sent
    stored = find_journal_record(r.id);
    if (stored == NULL)
        return JOB_KEPT;
    kept_reasons.erase(name);
    return follow_handed_job(name, path, stored);
}

// ---- One file -----------------------------------------------------------------------------------

static unsigned long long release_quiet_jobs(const std::vector<WIN32_FIND_DATAA>& files);
static std::vector<WIN32_FIND_DATAA> list_job_files(DWORD* error);
static void wait_until(unsigned long long until);

// Releases every held job whose file stays as it was, waiting the quiet time for them. Returns
// how many were held before.
static int release_held_jobs(void) {
    int held = 0;
    for (JobRecord* r : journal_records())
        held += r->state == JOB_SENT && (r->flags & JOB_UNRELEASED) != 0;
    if (held == 0)
        return 0;
    DWORD error;
    std::vector<WIN32_FIND_DATAA> files = list_job_files(&error);
    for (unsigned long long at = release_quiet_jobs(files); at != 0 && !stop_requested;
         at = release_quiet_jobs(files)) {
        wait_until(at);
        files = list_job_files(&error);
    }
    return held;
}

// A job file and what the journal says of it.
static JobOutcome process_job_file(const WIN32_FIND_DATAA* found, Poll* poll) {
    std::string name = found->cFileName;
    std::string path = job_path(name);
    if (path.size() >= MAX_PATH) {
        note_kept(name, "its name is too long");
        return JOB_KEPT;
    }
    if (const char* kind = not_a_file(found)) {
        note_kept(name, std::string("it is ") + kind +
                            ", not a file written into ZV: it is not "
                            "printed");
        return JOB_KEPT;
    }
    FileIdentity now;
    if (path_identity(path.c_str(), &now) != 0)
        return unreadable(name);
    JobRecord* again = NULL;
    for (JobRecord* r : records_named(name)) {
        if (!identity_known(&r->identity)) {
            // An entry out of a damaged journal: it is about whatever file has its name.
            r->identity = now;
            record(r);
        }
        if (same_file(&now, &r->identity)) {
            if (r->state == JOB_PRINTING)
                again = r; // to be printed (again): printing it began, or must begin anew
            else
                return r->state == JOB_HELD ? JOB_KEPT : JOB_DONE;
        } else if (same_file_object(&now, &r->identity)) {
            // The file changed after its entry was made: touched, or written on after it was
            // handed over, which cancels the job handed over (it held only a part).
            if (r->state == JOB_HANDED || r->state == JOB_SENT) {
                spooler_cancel_job(r->printer.c_str(), r->reference.c_str());
                if (r->flags & JOB_UNRELEASED)
                    withdraw_copy(r->id);
                log_event(EVENT_WARNING,
                          "%s changed after it was handed to \"%s\" as job %lu; that job is "
                          "cancelled, and the file as it is now is printed once it is left alone",
                          shown(name).c_str(), r->printer.c_str(), (unsigned long)r->job_id);
            }
            forget(r->id);
        }
        // An entry of another file under this name (the file printed was renamed over) stays
        // until its job is done; the file here is a new job.
    }
    if (poll->refusal.empty())
        limit_hand_over(poll);
    // Jobs held in this poll count until they are released: released now, those the printer
    // prints at once (the built-in PDF printer) make room for more.
    if (!poll->refusal.empty() && poll->refused == 0 && release_held_jobs() > 0)
        limit_hand_over(poll);
    if (!poll->refusal.empty()) {
        if (poll->refused_first.empty())
            poll->refused_first = name;
        ++poll->refused;
        return JOB_REFUSED;
    }
    if (stop_requested)
        return JOB_WAITING;
    if (again == NULL && !quiet_long_enough(found)) {
        ++poll->waiting_for_quiet;
        return JOB_WAITING;
    }
    return print_new_job(found, again, poll);
}

// ---- The poll -----------------------------------------------------------------------------------

static const char MISSING_SPOOL_DIRECTORY[] = "there is no folder ZV here";

// Says when ZV cannot be read (once) and when it can again.
static void note_spool_state(DWORD error) {
    std::string problem;
    if (error == ERROR_PATH_NOT_FOUND) {
        problem = MISSING_SPOOL_DIRECTORY;
    } else if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
               error != ERROR_NO_MORE_FILES) {
        char why[512];
        describe_error(error, why, sizeof why);
        problem = std::string("the folder ZV cannot be read: ") + why;
    }
    if (problem == spool_problem)
        return;
    if (problem.empty())
        log_event(EVENT_INFO, spool_problem == MISSING_SPOOL_DIRECTORY
                                  ? "there is a folder ZV now; its jobs are printed"
                                  : "the folder ZV can be read again");
    else
        log_event(EVENT_WARNING, "%s; its jobs are printed once it can be read", problem.c_str());
    spool_problem = problem;
}

void check_spool_directory(void) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    note_spool_state(search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

// The job files in ZV, in name order; `error` says why there are none.
static std::vector<WIN32_FIND_DATAA> list_job_files(DWORD* error) {
    std::vector<WIN32_FIND_DATAA> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    *error = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do
        files.push_back(found);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

// After a damaged journal, or another spooler's (which left jobs handed over), a job file this
// journal does not account for may have been handed over already: it is held for a person rather
// than printed a second time.
static void hold_unaccounted_jobs(const std::vector<WIN32_FIND_DATAA>& files, const char* why,
                                  const char* cause) {
    int held = 0;
    for (const WIN32_FIND_DATAA& f : files) {
        std::vector<JobRecord*> known = records_named(f.cFileName);
        // A job whose printing had begun, in a journal that may have lost the entries after:
        // held when the journal was set aside, and counted with the others here.
        for (JobRecord* r : known)
            if (r->state == JOB_HELD && (r->flags & JOB_FROM_DAMAGE) &&
                !kept_reasons.count(r->name)) {
                kept_reasons[r->name] = r->reason;
                ++held;
            }
        if (!known.empty())
            continue;
        JobRecord r = JobRecord();
        r.name = f.cFileName;
        if (path_identity(job_path(r.name).c_str(), &r.identity) != 0)
            continue;
        r.state = JOB_HELD;
        r.flags = JOB_FROM_DAMAGE;
        r.since = (long long)std::time(NULL);
        r.reason = why;
        if (record(&r) == 0) {
            kept_reasons[r.name] = r.reason;
            ++held;
        }
    }
    if (held > 0)
        log_event(EVENT_WARNING,
                  "%d job%s waiting in ZV %s held for a person: %s, so whether %s printed cannot "
                  "be told (a file touched or put back anew is printed as a new job)",
                  held, held == 1 ? "" : "s", held == 1 ? "is" : "are", cause,
                  held == 1 ? "it was" : "they were");
}

enum RecordFile {
    RECORD_FILE_GONE,    // no longer in ZV
    RECORD_FILE_SAME,    // in ZV as it was
    RECORD_FILE_CHANGED, // in ZV, written to or touched since
};

// Whether a record's file is still in ZV: the same file object under its name, and as it was.
static RecordFile record_file(const JobRecord* r, const std::vector<WIN32_FIND_DATAA>& files) {
    for (const WIN32_FIND_DATAA& f : files) {
        if (r->name != f.cFileName)
            continue;
        FileIdentity now;
        if (!identity_known(&r->identity))
            return RECORD_FILE_SAME;
        if (path_identity(job_path(r->name).c_str(), &now) != 0 ||
            !same_file_object(&now, &r->identity))
            return RECORD_FILE_GONE;
        return same_file(&now, &r->identity) ? RECORD_FILE_SAME : RECORD_FILE_CHANGED;
    }
    return RECORD_FILE_GONE;
}

// Waits until `until` on the clock that only goes forward, unless the program is asked to end
// meanwhile.
static void wait_until(unsigned long long until) {
    while (GetTickCount64() < until && !stop_requested) {
        unsigned long long left = until - GetTickCount64();
        unsigned long long step = QUIET_CHECK_MS;
        Sleep((DWORD)(left < step ? left : step));
        keep_printing(NULL, 0);
    }
}

// When the files first seen in this poll will have been left alone for the quiet time.
static unsigned long long quiet_at(void) {
    unsigned long long until = 0;
    for (const auto& entry : observations)
        if (entry.second.since + spool_quiet_ms > until)
            until = entry.second.since + spool_quiet_ms;
    return until;
}

// Releases the held jobs whose files have stayed as they were when their documents went, for the
// quiet time since (a file taken away or renamed over meanwhile was not written on: its job is
// whole). Returns when the next of those still held may be released (on the clock that only goes
// forward), 0 when none waits.
static unsigned long long release_quiet_jobs(const std::vector<WIN32_FIND_DATAA>& files) {
    unsigned long long now = GetTickCount64(), next = 0;
    for (JobRecord* r : journal_records()) {
        if (stop_requested)
            break;
        if (r->state != JOB_SENT || !(r->flags & (JOB_UNRELEASED | JOB_RELEASING)) ||
            record_file(r, files) == RECORD_FILE_CHANGED)
            continue;
        unsigned long long since = held_since.emplace(r->id, now).first->second;
        if (now - since < spool_quiet_ms) {
            unsigned long long due = since + spool_quiet_ms;
            next = next == 0 || due < next ? due : next;
            continue;
        }
        if (release_job(r) == 0)
            follow_released_job(r);
    }
    return next;
}

static void tally(JobOutcome outcome, Poll* poll) {
    if (outcome == JOB_KEPT || outcome == JOB_REFUSED)
        poll->result = 1;
}

// Says once that the printer (or the journal) takes no job now, with how many wait for it.
static void note_refusal(const Poll* poll) {
    if (poll->refusal.empty()) {
        if (!said_refusal.empty())
            log_event(EVENT_INFO, "jobs are taken again");
        said_refusal.clear();
        return;
    }
    if (poll->refusal == said_refusal)
        return;
    said_refusal = poll->refusal;
    if (poll->refusal == journal_problem)
        return; // said already, for all the jobs
    // One line for all the jobs it keeps, however many wait.
    int level = poll->waits_turn ? EVENT_INFO : EVENT_WARNING;
    if (poll->refused <= 1)
        log_event(level, "kept %s: %s", shown(poll->refused_first).c_str(), poll->refusal.c_str());
    else
        log_event(level, "kept %s and %d more job%s: %s; tried again at the next poll",
                  shown(poll->refused_first).c_str(), poll->refused - 1,
                  poll->refused == 2 ? "" : "s", poll->refusal.c_str());
}

int spool_folder_ready(void) {
    if (!spool_folder_claimed()) {
        std::string holder;
        int stood_by = spool_folder_was_held();
        if (claim_spool_folder(&holder) != CLAIM_TAKEN)
            return 0;
        if (stood_by)
            log_event(EVENT_INFO, "zvspool takes over %s%cZV", current_folder().c_str(),
                      PATH_SEPARATOR);
    }
    if (!journal_is_open()) {
        std::string why;
        if (open_journal(spool_folder_id(), current_folder().c_str(), &why) != 0) {
            note_journal(why);
            journal_failed = 1;
            return 0;
        }
        // The claim file says jobs were handed over, and this journal (the same user's, on this
        // machine) knows none: it lost its entries.
        if (spool_folder_said_handed() && !spool_folder_inherits_jobs() && !journal_handed_mark())
            distrust_journal("the claim file says jobs were handed over, and it holds none");
        // The claim file goes on saying so, now in this spooler's name, until its jobs are done
        // with: its journal must say so too, or its next start would take the journal as one that
        // lost its entries.
        if (spool_folder_said_handed() && store_handed_mark(1) != 0) {
            note_journal(journal_failure("cannot keep the journal"));
            journal_failed = 1;
        }
    }
    return 1;
}

void end_spooling(void) {
    release_spool_folder();
    close_journal();
    kept_reasons.clear();
    observations.clear();
    stuck_jobs.clear();
    alarm_text.clear();
    spool_problem.clear();
    journal_problem.clear();
    said_refusal.clear();
    stop_requested = 0;
    journal_failed = 0;
    carried_margin = 0;
    gone_entries.clear();
    flush_problem.clear();
    refused_until = refusal_backoff_ms = 0;
    refusals_in_a_row = 0;
    held_since.clear();
    held_copies.clear();
}

int check_spool_state(void) {
    char state[MAX_PATH];
    HRESULT result = SHGetFolderPathAndSubDirA(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL,
                                               SHGFP_TYPE_CURRENT, "zvspool", state);
    if (result != HRESULT_FROM_WIN32(ERROR_INVALID_OWNER))
        return 0;
    char why[REASON_SIZE];
    explain("zvspool's state folder is refused", why);
    log_event(EVENT_ERROR, "%s; zvspool ends", why);
    return 1;
}

int poll_spool_directory(HWND window) {
    (void)window;
    // A request to end applies to the poll it came in (the program ends after it).
    stop_requested = 0;
    Poll poll = {0, "", "", 0, 0, 0};
    journal_failed = 0;
    DWORD error;
    std::vector<WIN32_FIND_DATAA> files = list_job_files(&error);
    note_spool_state(error);
    if (!spool_folder_ready())
        return files.empty() ? 0 : 1;
    if (journal_was_damaged() && error == ERROR_SUCCESS) {
        hold_unaccounted_jobs(files,
                              "it waited in ZV when the journal was found damaged, so whether it "
                              "was printed cannot be told",
                              "the journal was damaged");
        clear_journal_damage();
    }
    if (spool_folder_inherits_jobs() && error == ERROR_SUCCESS) {
        hold_unaccounted_jobs(files,
                              "the spooler before this one (another user's, or another "
                              "machine's) left jobs handed over, so whether it was printed cannot "
                              "be told",
                              "the spooler before this one left jobs handed over");
        clear_inherited_jobs();
    }
    if (!files.empty()) {
        note_default_printer();
        note_claim_printer(said_default_printer());
    }
    // The jobs handed over first: what the printer says of them decides what is printed now.
    for (JobRecord* r : journal_records())
        if (!stop_requested && find_journal_record(r->id) != NULL &&
            record_file(r, files) == RECORD_FILE_SAME)
            tally(reconcile(r), &poll);
    for (const WIN32_FIND_DATAA& f : files)
        tally(process_job_file(&f, &poll), &poll);
    // Files seen first in this poll are looked at again once they have been left alone.
    if (poll.waiting_for_quiet > 0 && poll.refusal.empty() && !stop_requested) {
        wait_until(quiet_at());
        poll.waiting_for_quiet = 0;
        files = list_job_files(&error);
        for (const WIN32_FIND_DATAA& f : files)
            tally(process_job_file(&f, &poll), &poll);
    }
    // The jobs handed over are held until their files have been left alone after their documents
    // went: a producer that writes on has its job cancelled before any of it prints.
    for (unsigned long long at = release_quiet_jobs(files); at != 0 && !stop_requested;
         at = release_quiet_jobs(files)) {
        wait_until(at);
        files = list_job_files(&error);
    }
    // What left ZV by other hands is forgotten; while ZV cannot be read, nothing is.
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
        std::set<std::string> present;
        for (const WIN32_FIND_DATAA& f : files)
            present.insert(f.cFileName);
        // A job still held is released first, whatever became of its file since.
        for (JobRecord* r : journal_records())
            if (record_file(r, files) == RECORD_FILE_GONE &&
                !(r->state == JOB_SENT && (r->flags & (JOB_UNRELEASED | JOB_RELEASING))))
                forget_when_durable(r->id);
        for (auto it = held_since.begin(); it != held_since.end();)
            it = find_journal_record(it->first) ? std::next(it) : held_since.erase(it);
        for (auto it = held_copies.begin(); it != held_copies.end();)
            it = find_journal_record(it->first) ? std::next(it) : held_copies.erase(it);
        for (auto it = kept_reasons.begin(); it != kept_reasons.end();)
            it = present.count(it->first) ? std::next(it) : kept_reasons.erase(it);
        for (auto it = observations.begin(); it != observations.end();)
            it = present.count(it->first) ? std::next(it) : observations.erase(it);
    }
    settle_deletions();
    note_refusal(&poll);
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        sound_alarms(files, poll.refusal);
    if (!journal_failed)
        note_journal("");
    int handed = 0;
    for (JobRecord* r : journal_records())
        handed |= r->state != JOB_PRINTING;
    // The claim file stops saying so first, then the journal.
    if (!handed && note_handed_jobs(0) == 0)
        store_handed_mark(0);
    // Asked to end, the poll left jobs unprinted.
    if (stop_requested && !list_job_files(&error).empty())
        poll.result = 1;
    return poll.result;
}
