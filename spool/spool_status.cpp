#include "spool/spool_status.h"

#include "spool/event_log.h"
#include "spool/folder_claim.h"
#include "spool/handover.h"
#include "spool/handover_journal.h"
#include "spool/job_files.h"
#include "spool/spooler.h"
#include "spool/standing.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// One job file in ZV, as the report shows it.
struct JobStatus {
    std::string name;
    long long size = -1;
    long long age = -1;                    // seconds since it was last written
    std::string state = JOB_STATE_WAITING; // a keyword (standing.h)
    std::string detail;
    std::string printer;
    unsigned long job_id = 0;
    std::string job_words;
    std::string printer_words;
    std::string printer_reasons;
    long long since = 0;
    int attempts = 0;
    int kept = 0;
    int stuck = 0;
};

struct FolderStatus {
    std::string folder;
    int folder_missing = 0;
    int claim_read = 0;
    PrinterCheck printer; // the folder's printer, as this look finds it
    Standing standing;    // as the running spooler last found things ("polled" 0: not known)
    SpoolClaim claim;
    std::string journal;
    std::string journal_problem;
    std::vector<JobStatus> jobs;
};

std::string last_error_words(void) {
    char why[512];
    describe_error(GetLastError(), why, sizeof why);
    return why;
}

std::string local_time(long long when) {
    std::time_t t = (std::time_t)when;
    char text[32] = "";
    if (const std::tm* local = std::localtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

// The time as ISO 8601 with its zone (2026-12-09T10:15:03+01:00), for machines.
std::string iso_time(long long when) {
    std::time_t t = (std::time_t)when;
    const std::tm* local = std::localtime(&t);
    if (local == NULL)
        return "";
    std::tm copy = *local;
    char text[40] = "", zone[8] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &copy);
    std::strftime(zone, sizeof zone, "%z", &copy); // +0100
    std::string z = zone;
    if (z.size() == 5)
        z = z.substr(0, 3) + ":" + z.substr(3);
    return std::string(text) + (z == "+00:00" ? "Z" : z);
}

std::string duration(long long seconds) {
    char text[48];
    describe_duration(seconds < 0 ? 0 : (unsigned long long)seconds, text, sizeof text);
    return text;
}

// What the print system says of a job handed to it, and of its printer.
void ask_print_system(const JobRecord& r, long long now, long long alarm, JobStatus* job) {
    job->printer = r.printer;
    job->job_id = r.job_id;
    job->since = r.since;
    if (ask_handed_job(r, &job->job_words, &job->printer_words))
        job->state = JOB_STATE_PRINTED;
    if (job->printer_words.empty())
        job->printer_words = "the print system cannot be asked";
    job->detail = handed_words(r) + " " + duration(now - r.since) + " ago";
    if (job->state == JOB_STATE_PRINTED) {
        job->detail += "; zvspool deletes it at its next poll";
        return;
    }
    job->stuck = now - r.since > alarm;
    // A queue that prints nothing now holds the job there.
    PrinterCheck printer = check_printer(r.printer);
    job->printer_reasons = printer.reasons;
    if (printer_holds_jobs(printer))
        job->state = printer.state;
}

// What the running spooler found in the way of the job at its last poll. True when something.
bool standing_job_status(const FolderStatus& s, JobStatus* job) {
    for (const JobStanding& j : s.standing.jobs)
        if (j.name == job->name && j.state != JOB_STATE_WAITING && !j.state.empty()) {
            job->state = j.state;
            job->detail = j.why;
            job->kept = j.state != JOB_STATE_QUIET && j.state != JOB_STATE_TURN;
            return true;
        }
    return false;
}

// A job that no journal entry accounts for: waiting, unless the running spooler, or the
// printer, says what is in its way.
void waiting_job_status(const FolderStatus& s, long long alarm, JobStatus* job) {
    job->stuck = job->age > alarm;
    if (!s.claim.held) {
        job->state = JOB_STATE_NO_SPOOLER;
        job->detail = "waiting: no zvspool watches the folder";
        return;
    }
    job->detail = "waiting to be printed";
    // The printer as it is now comes before what the spooler found at its last poll.
    if (s.printer.state != PRINTER_READY) {
        job->state = s.printer.state;
        job->detail = "kept: " + s.printer.words;
        job->printer_reasons = s.printer.reasons;
        job->kept = 1;
        return;
    }
    standing_job_status(s, job);
}

// The job file `found`, by what the journal says of it.
JobStatus job_status(const WIN32_FIND_DATAA& found, const Journal* journal, const FolderStatus& s,
                     long long now, long long alarm) {
    int held = s.claim.held;
    JobStatus job;
    job.name = found.cFileName;
    job.size = ((long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    job.since = filetime_seconds(found.ftLastWriteTime);
    job.age = now - job.since;
    if (const char* kind = not_a_file(&found)) {
        job.state = JOB_STATE_NOT_A_FILE;
        job.detail = std::string(kind) + ", not a file written into ZV: it is never printed";
        job.kept = 1;
        return job;
    }
    std::string path = job_path(job.name);
    FileIdentity now_id;
    if (path_identity(path.c_str(), &now_id) != 0) {
        job.state = JOB_STATE_UNREADABLE;
        job.detail = "cannot be read: " + last_error_words();
        job.kept = 1;
        return job;
    }
    if (journal != NULL)
        for (const JobRecord* r : journal_records(journal)) {
            if (r->name != job.name || !same_file(&now_id, &r->identity))
                continue;
            job.attempts = r->attempts;
            switch (r->state) {
            case JOB_PRINTING:
                job.state = held ? JOB_STATE_PRINTING : JOB_STATE_NO_SPOOLER;
                job.since = r->since;
                job.detail = held ? "printing"
                                  : "its printing began and zvspool stopped; it is "
                                    "printed again when zvspool starts";
                job.stuck = now - r->since > alarm;
                // Its printing came to an end without a job: the spooler knows why.
                if (held && s.printer.state != PRINTER_READY)
                    waiting_job_status(s, alarm, &job);
                else if (held)
                    standing_job_status(s, &job);
                return job;
            case JOB_HANDED:
            case JOB_SENT:
                job.state = JOB_STATE_HANDED;
                ask_print_system(*r, now, alarm, &job);
                return job;
            case JOB_PRINTED:
                job.state = JOB_STATE_KEPT;
                job.since = r->since;
                job.detail = "printed, but it cannot be deleted";
                job.kept = 1;
                return job;
            case JOB_HELD:
                job.state = JOB_STATE_HELD;
                job.since = r->since;
                job.printer = r->printer;
                job.detail = "kept for a person since " + local_time(r->since) + ": " + r->reason;
                job.kept = 1;
                return job;
            default: break;
            }
        }
    waiting_job_status(s, alarm, &job);
    return job;
}

FolderStatus gather_status(void) {
    FolderStatus status;
    status.folder = current_folder() + PATH_SEPARATOR + "ZV";
    status.claim_read = read_spool_claim(&status.claim) == 0;
    // The journal is its spooler's user's, on its machine: another's is not where this one looks.
    int ours = !status.claim.holder.empty() &&
               claim_holder_name(status.claim.holder) == this_holder_name();
    int journal_read = 0;
    Journal journal;
    if (!status.claim_read || status.claim.folder_id.empty()) {
        status.journal_problem = "no zvspool has handed a job over from this folder";
    } else if (!ours) {
        status.journal_problem = "the journal is " + claim_holder_name(status.claim.holder) +
                                 "'s; jobs are shown as they stand in ZV";
    } else {
        std::string why;
        journal_read = read_journal(&journal, status.claim.folder_id.c_str(), &why) == 0;
        status.journal = journal_path(&journal);
        // What the spooler running now last found, which no look from outside can see.
        if (status.claim.held)
            load_standing(standing_path(status.journal), &status.standing);
        if (!journal_read)
            status.journal_problem = why;
        else if (journal_was_damaged(&journal))
            status.journal_problem = "entries in it fail their checksums";
    }
    long long now = (long long)std::time(NULL);
    long long alarm = (long long)spooler_settings(spool_options).alarm_seconds;
    DWORD error;
    std::vector<WIN32_FIND_DATAA> files = list_job_files(&error);
    status.folder_missing = error == ERROR_PATH_NOT_FOUND;
    if (!files.empty() || status.standing.polled == 0)
        status.printer = check_folder_printer();
    else {
        // Nothing waits: the printer as the running spooler last found it.
        status.printer.name = status.standing.printer;
        status.printer.state = status.standing.printer_state;
        status.printer.words = status.standing.printer_words;
        status.printer.reasons = status.standing.printer_reasons;
    }
    for (const WIN32_FIND_DATAA& found : files)
        status.jobs.push_back(
            job_status(found, journal_read ? &journal : NULL, status, now, alarm));
    close_journal(&journal);
    return status;
}

// ---- Text ---------------------------------------------------------------------------------------

void print_text(const FolderStatus& s) {
    std::printf("Folder:  %s\n", s.folder.c_str());
    if (!s.claim_read)
        std::printf("Spooler: none has watched this folder\n");
    else if (s.claim.held)
        std::printf("Spooler: %s\n", s.claim.holder.c_str());
    else
        std::printf("Spooler: none runs (the last: %s)\n", s.claim.holder.c_str());
    if (!s.printer.name.empty())
        std::printf("Printer: \"%s\" [%s] %s\n", s.printer.name.c_str(), s.printer.state.c_str(),
                    s.printer.words.c_str());
    else if (!s.printer.words.empty())
        std::printf("Printer: [%s] %s\n", s.printer.state.c_str(), s.printer.words.c_str());
    if (!s.claim.printer.empty())
        std::printf("         (the spooler's: %s)\n", s.claim.printer.c_str());
    if (!s.standing.last_printed.empty())
        std::printf("Printed: %s at %s\n", s.standing.last_printed.c_str(),
                    local_time(s.standing.last_printed_at).c_str());
    if (!s.standing.test_sheet.empty())
        std::printf("Test sheet: not printed: %s\n", s.standing.test_sheet.c_str());
    if (!s.journal.empty())
        std::printf("Journal: %s\n", s.journal.c_str());
    if (!s.journal_problem.empty())
        std::printf("         (%s)\n", s.journal_problem.c_str());
    std::printf("%zu job%s in ZV\n", s.jobs.size(), s.jobs.size() == 1 ? "" : "s");
    for (const JobStatus& j : s.jobs) {
        char name[MAX_PATH];
        printable_name(j.name.c_str(), name, sizeof name);
        char tried[48] = "";
        if (j.attempts > 0)
            std::snprintf(tried, sizeof tried, " (its printing began %d time%s)", j.attempts,
                          j.attempts == 1 ? "" : "s");
        std::printf("  %s  %lld bytes, written %s ago: [%s] %s%s%s\n", name, j.size,
                    duration(j.age).c_str(), j.state.c_str(), j.detail.c_str(), tried,
                    j.stuck ? "  [STUCK]" : "");
        if (!j.job_words.empty())
            std::printf("      the job: %s\n", j.job_words.c_str());
        if (!j.printer_words.empty())
            std::printf("      the printer: %s\n", j.printer_words.c_str());
    }
}

// ---- JSON ---------------------------------------------------------------------------------------

// A JSON string. Names and words are bytes: valid UTF-8 passes, any other byte is taken as
// Latin-1, so that the output is always valid JSON.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = (unsigned char)text[i];
        size_t length = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        int valid = length > 1 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = ((unsigned char)text[i + k] >> 6) == 2;
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += (char)c;
        } else if (valid) {
            out.append(text, i, length);
            i += length - 1;
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
    }
    return out + "\"";
}

// A comma-separated list of keywords as a JSON array.
std::string json_keywords(const std::string& list) {
    std::string out = "[";
    size_t from = 0;
    while (from < list.size()) {
        size_t comma = list.find(',', from);
        if (comma == std::string::npos)
            comma = list.size();
        if (comma > from)
            out += (out.size() > 1 ? ", " : "") + json_string(list.substr(from, comma - from));
        from = comma + 1;
    }
    return out + "]";
}

std::string json_time(long long when) {
    return when > 0 ? json_string(iso_time(when)) : "null";
}

void print_json(const FolderStatus& s, int kept, int stuck) {
    std::printf("{\"folder\": %s,\n \"spooler\": ", json_string(s.folder).c_str());
    if (!s.claim_read)
        std::printf("null");
    else
        std::printf("{\"running\": %s, \"holder\": %s, \"printer\": %s, \"polled\": %s}",
                    s.claim.held ? "true" : "false", json_string(s.claim.holder).c_str(),
                    json_string(s.claim.printer).c_str(), json_time(s.standing.polled).c_str());
    std::printf(
        ",\n \"printer\": {\"name\": %s, \"state\": \"%s\", \"reasons\": %s, \"words\": %s}",
        json_string(s.printer.name).c_str(), s.printer.state.c_str(),
        json_keywords(s.printer.reasons).c_str(), json_string(s.printer.words).c_str());
    std::printf(",\n \"last_printed\": ");
    if (s.standing.last_printed.empty())
        std::printf("null");
    else
        std::printf("{\"name\": %s, \"at\": %s}", json_string(s.standing.last_printed).c_str(),
                    json_time(s.standing.last_printed_at).c_str());
    std::printf(",\n \"journal\": %s, \"journal_problem\": %s,\n \"kept\": %d, \"stuck\": %d,\n",
                json_string(s.journal).c_str(), json_string(s.journal_problem).c_str(), kept,
                stuck);
    std::printf(" \"jobs\": [");
    for (size_t i = 0; i < s.jobs.size(); ++i) {
        const JobStatus& j = s.jobs[i];
        std::printf("%s\n  {\"name\": %s, \"size\": %lld, \"age_seconds\": %lld, \"state\": "
                    "%s, \"fine\": %s, \"detail\": %s, \"kept\": %s, \"stuck\": %s",
                    i ? "," : "", json_string(j.name).c_str(), j.size, j.age,
                    json_string(j.state).c_str(), job_state_is_fine(j.state) ? "true" : "false",
                    json_string(j.detail).c_str(), j.kept ? "true" : "false",
                    j.stuck ? "true" : "false");
        std::printf(", \"printer\": %s, \"job_id\": %s", json_string(j.printer).c_str(),
                    j.job_id ? std::to_string(j.job_id).c_str() : "null");
        std::printf(", \"job_state\": %s, \"printer_state\": %s, \"printer_reasons\": %s",
                    json_string(j.job_words).c_str(), json_string(j.printer_words).c_str(),
                    json_keywords(j.printer_reasons).c_str());
        std::printf(", \"since\": %s, \"attempts\": %d}", json_time(j.since).c_str(), j.attempts);
    }
    std::printf("%s]}\n", s.jobs.empty() ? "" : "\n ");
}

} // namespace

int report_spool_status(int json) {
    FolderStatus status = gather_status();
    if (status.folder_missing) {
        std::fprintf(stderr,
                     "zvspool: there is no folder %s: zvspool prints the jobs of ZV "
                     "in the folder it runs in (or the one named)\n",
                     status.folder.c_str());
        return 2;
    }
    int kept = 0, stuck = 0, blocked = 0;
    for (const JobStatus& j : status.jobs) {
        kept += j.kept;
        stuck += j.stuck;
        blocked += !job_state_is_fine(j.state);
    }
    if (json)
        print_json(status, kept, stuck);
    else
        print_text(status);
    std::fflush(stdout);
    return kept + stuck + blocked > 0 ? 1 : 0;
}
