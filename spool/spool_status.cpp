#include "spool/spool_status.h"

#include "spool/event_log.h"
#include "spool/folder_claim.h"
#include "spool/handover.h"
#include "spool/handover_journal.h"
#include "spool/job_files.h"
#include "spool/spooler.h"

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
    long long age = -1; // seconds since it was last written
    const char* state = "waiting";
    std::string detail;
    std::string printer;
    unsigned long job_id = 0;
    std::string job_words;
    std::string printer_words;
    long long since = 0;
    int attempts = 0;
    int kept = 0;
    int stuck = 0;
};

struct FolderStatus {
    std::string folder;
    int claim_read = 0;
    SpoolClaim claim;
    std::string journal;
    std::string journal_problem;
    std::vector<JobStatus> jobs;
};

long long filetime_seconds(FILETIME t) {
    unsigned long long ticks = ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
    return (long long)(ticks / 10000000ULL) - 11644473600LL;
}

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
        job->state = "printed";
    if (job->printer_words.empty())
        job->printer_words = "the print system cannot be asked";
    job->detail = handed_words(r) + " " + duration(now - r.since) + " ago";
    if (std::strcmp(job->state, "printed") == 0)
        job->detail += "; zvspool deletes it at its next poll";
    else
        job->stuck = now - r.since > alarm;
}

// The job file `found`, by what the journal says of it.
JobStatus job_status(const WIN32_FIND_DATAA& found, const Journal* journal, int held, long long now,
                     long long alarm) {
    JobStatus job;
    job.name = found.cFileName;
    job.size = ((long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    job.age = now - filetime_seconds(found.ftLastWriteTime);
    if (const char* kind = not_a_file(&found)) {
        job.state = "not-a-file";
        job.detail = std::string(kind) + ", not a file written into ZV: it is never printed";
        job.kept = 1;
        return job;
    }
    std::string path = job_path(job.name);
    FileIdentity now_id;
    if (path_identity(path.c_str(), &now_id) != 0) {
        job.state = "unreadable";
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
                job.state = "printing";
                job.since = r->since;
                job.detail = held ? "printing"
                                  : "its printing began and zvspool stopped; it is "
                                    "printed again when zvspool starts";
                job.stuck = now - r->since > alarm;
                return job;
            case JOB_HANDED:
            case JOB_SENT:
                job.state = "handed";
                ask_print_system(*r, now, alarm, &job);
                return job;
            case JOB_PRINTED:
                job.state = "printed";
                job.since = r->since;
                job.detail = "printed, but it cannot be deleted";
                job.kept = 1;
                return job;
            case JOB_HELD:
                job.state = "kept";
                job.since = r->since;
                job.printer = r->printer;
                job.detail = "kept for a person since " + local_time(r->since) + ": " + r->reason;
                job.kept = 1;
                return job;
            default: break;
            }
        }
    job.detail = held ? "waiting to be printed" : "waiting: no zvspool watches the folder";
    job.stuck = job.age > alarm;
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
        if (!journal_read)
            status.journal_problem = why;
        else if (journal_was_damaged(&journal))
            status.journal_problem = "entries in it fail their checksums";
    }
    long long now = (long long)std::time(NULL);
    long long alarm = (long long)spooler_settings(spool_options).alarm_seconds;
    DWORD error;
    for (const WIN32_FIND_DATAA& found : list_job_files(&error))
        status.jobs.push_back(
            job_status(found, journal_read ? &journal : NULL, status.claim.held, now, alarm));
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
    if (!s.claim.printer.empty())
        std::printf("Printer: %s\n", s.claim.printer.c_str());
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
        std::printf("  %s  %lld bytes, written %s ago: %s%s%s\n", name, j.size,
                    duration(j.age).c_str(), j.detail.c_str(), tried, j.stuck ? "  [STUCK]" : "");
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

void print_json(const FolderStatus& s, int kept, int stuck) {
    std::printf("{\"folder\": %s,\n \"spooler\": ", json_string(s.folder).c_str());
    if (!s.claim_read)
        std::printf("null");
    else
        std::printf("{\"running\": %s, \"holder\": %s, \"printer\": %s}",
                    s.claim.held ? "true" : "false", json_string(s.claim.holder).c_str(),
                    json_string(s.claim.printer).c_str());
    std::printf(",\n \"journal\": %s, \"journal_problem\": %s,\n \"kept\": %d, \"stuck\": %d,\n",
                json_string(s.journal).c_str(), json_string(s.journal_problem).c_str(), kept,
                stuck);
    std::printf(" \"jobs\": [");
    for (size_t i = 0; i < s.jobs.size(); ++i) {
        const JobStatus& j = s.jobs[i];
        std::printf("%s\n  {\"name\": %s, \"size\": %lld, \"age_seconds\": %lld, \"state\": "
                    "\"%s\", \"detail\": %s, \"kept\": %s, \"stuck\": %s",
                    i ? "," : "", json_string(j.name).c_str(), j.size, j.age, j.state,
                    json_string(j.detail).c_str(), j.kept ? "true" : "false",
                    j.stuck ? "true" : "false");
        if (!j.printer.empty())
            std::printf(", \"printer\": %s", json_string(j.printer).c_str());
        if (j.job_id)
            std::printf(", \"job_id\": %lu", j.job_id);
        if (!j.job_words.empty())
            std::printf(", \"job_state\": %s", json_string(j.job_words).c_str());
        if (!j.printer_words.empty())
            std::printf(", \"printer_state\": %s", json_string(j.printer_words).c_str());
        if (j.since)
            std::printf(", \"since\": %s", json_string(local_time(j.since)).c_str());
        if (j.attempts)
            std::printf(", \"attempts\": %d", j.attempts);
        std::printf("}");
    }
    std::printf("%s]}\n", s.jobs.empty() ? "" : "\n ");
}

} // namespace

int report_spool_status(int json) {
    FolderStatus status = gather_status();
    int kept = 0, stuck = 0;
    for (const JobStatus& j : status.jobs) {
        kept += j.kept;
        stuck += j.stuck;
    }
    if (json)
        print_json(status, kept, stuck);
    else
        print_text(status);
    std::fflush(stdout);
    return kept + stuck > 0 ? 1 : 0;
}
