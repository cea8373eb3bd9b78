#include "spool/poller.h"

#include "render/print_job.h"
#include "spool/default_printer.h"
#include "spool/event_log.h"
#include "spool/job_records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
#else
const char PATH_SEPARATOR = '/';
#endif

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
    // A job the printer fails this often in a row is left for a person, not printed in a loop.
    RESUBMISSION_LIMIT = 3,
};

// A file is taken only once it has not changed for this long (in FILETIME units, 100 ns): a
// producer that closes and reopens its file between writes is not printed in pieces.
static const long long QUIET_TIME = 2LL * 10000000LL;

enum JobOutcome {
    JOB_DONE,    // printed and gone, or nothing to do
    JOB_KEPT,    // could not be printed now; the log says why
    JOB_WAITING, // not ready (still being written), or printing
};

// Why each job now waiting in ZV was last kept, so that a job kept for the same reason at every
// poll is said once; the entry goes when the job is printed or leaves ZV.
static std::map<std::string, std::string> kept_reasons;
// What was last said of ZV itself: "" while it could be read.
static std::string spool_problem;
// Set when the program is asked to end while a job prints: that job is abandoned and kept, and
// no other job is started.
static int stop_requested = 0;
static FILE* job_in_print = NULL;

static void explain(const char* what, char* reason) {
    describe_failure(what, reason, REASON_SIZE);
}

static std::string shown(const std::string& name) {
    char text[MAX_PATH];
    printable_name(name.c_str(), text, sizeof text);
    return text;
}

// Says once why a job is kept, and again when the reason changes.
static void note_kept(const std::string& name, const char* reason) {
    std::string& said = kept_reasons[name];
    if (said == reason)
        return;
    said = reason;
    log_event(EVENT_WARNING, "kept %s: %s", shown(name).c_str(), reason);
}

static void pages_and_bytes(const JobRecord& r, char* text, size_t size) {
    std::snprintf(text, size, "%ld bytes, %d page%s", r.bytes, r.pages, r.pages == 1 ? "" : "s");
}

// The abort procedure: the printer asks now and then while a job prints whether to go on. A
// request to close the program (a close waiting in the queue) abandons the job, which stays in ZV
// to be printed whole next time; the interpreter reads no further.
static BOOL CALLBACK keep_printing(HDC dc, int code) {
    (void)dc;
    (void)code;
    MSG msg;
    int closing = PeekMessageA(&msg, NULL, WM_CLOSE, WM_CLOSE, PM_NOREMOVE) ||
                  PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE) ||
                  (PeekMessageA(&msg, NULL, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE) &&
                   (msg.wParam & 0xFFF0) == SC_CLOSE);
    if (!closing)
        return TRUE;
    stop_requested = 1;
    if (job_in_print != NULL)
        std::fseek(job_in_print, 0, SEEK_END);
    return FALSE;
}

// Prints one opened job as one document. Returns 1 unless the document was started, the job
// printed whole and the document ended, so that nothing unprinted is ever deleted; `reason`
// then says why. `job_id` receives the printer's number for the document.
static int print_job_document(FILE* job, char* reason, int* job_id) {
    HDC dc = open_default_printer_dc();
    if (dc == NULL) {
        explain_missing_printer(reason, REASON_SIZE);
        return 1;
    }
    int result = 1;
    // A job that is not printed must not move the margin of the jobs after it, nor its own when
    // it is printed again.
    int32_t margin = left_margin;
    DOCINFOA doc = zv_document_info();
    SetAbortProc(dc, keep_printing);
    job_in_print = job;
    *job_id = StartDocA(dc, &doc);
    if (*job_id <= 0) {
        explain("cannot start the document", reason);
    } else if (print_job_stream(dc, job) != 0 || stop_requested) {
        if (stop_requested)
            std::snprintf(reason, REASON_SIZE, "abandoned: the program is ending");
        else if (std::ferror(job))
            std::snprintf(reason, REASON_SIZE, "cannot read the job file: %s",
                          std::strerror(errno));
        else
            explain("cannot print a page", reason);
        AbortDoc(dc);
    } else if (EndDoc(dc) <= 0) {
        explain("cannot end the document", reason);
    } else {
        result = 0;
    }
    job_in_print = NULL;
    DeleteDC(dc);
    if (result != 0)
        left_margin = margin;
    return result;
}

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

// The job is printed: its file goes, if it is still the file printed. A file that cannot be
// deleted is remembered, so it is not printed again while it stays as it is.
static void finish_printed_job(JobRecord* record, const char* path, const char* status) {
    char size[64];
    pages_and_bytes(*record, size, sizeof size);
    std::string name = record->name;
    kept_reasons.erase(name);
    log_event(EVENT_INFO, "printed %s (%s) on \"%s\": %s", shown(name).c_str(), size,
              record->printer.c_str(), status);
    int deleted = delete_job_file(path, &record->identity);
    if (deleted == 1) {
        char why[REASON_SIZE];
        explain("cannot delete it", why);
        log_event(EVENT_WARNING,
                  "%s was printed, but %s; it is not printed again while it stays "
                  "as it is",
                  shown(name).c_str(), why);
        record->state = JOB_PRINTED;
        set_job_record(*record);
        return;
    }
    if (deleted == 2)
        log_event(EVENT_INFO, "%s was replaced while it printed; the new file is a new job",
                  shown(name).c_str());
    remove_job_record(name);
}

static int print_new_job(const std::string& name, const char* path, int resubmissions);

// A job the printer has: done when it says so; printed again when the print system lost or
// aborted it (a few times at most); never again when a person cancelled it.
static JobOutcome follow_job(JobRecord* record, const char* path) {
    DWORD status = 0;
    char text[REASON_SIZE];
    long long submitted = 0;
    if (describe_job(record->printer.c_str(), record->job_id, &status, text, sizeof text,
                     &submitted) != 0) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PRINTER_NAME) {
            // The queue went, and its jobs with it.
            std::snprintf(text, sizeof text, "the printer \"%s\" is gone", record->printer.c_str());
            status = JOB_STATUS_ERROR;
        } else if (error == ERROR_INVALID_PARAMETER) {
            // A scheduler that keeps no history forgets a job as soon as it is done.
            std::snprintf(text, sizeof text,
                          "the printer no longer knows job %lu; taken as printed",
                          (unsigned long)record->job_id);
            finish_printed_job(record, path, text);
            return JOB_DONE;
        } else {
            char reason[REASON_SIZE + 128], why[REASON_SIZE];
            explain("cannot ask the printer about it", why);
            std::snprintf(reason, sizeof reason, "handed to \"%s\" as job %lu; %s",
                          record->printer.c_str(), (unsigned long)record->job_id, why);
            note_kept(record->name, reason);
            return JOB_KEPT;
        }
    }
    // A print system that lost jobs in a crash gives their numbers out again.
    if (record->submitted != 0 && submitted != 0 && submitted != record->submitted) {
        std::snprintf(text, sizeof text, "job %lu is now another job: the printer lost ours",
                      (unsigned long)record->job_id);
        status = JOB_STATUS_ERROR;
    }
    if (status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) {
        finish_printed_job(record, path, text);
        return JOB_DONE;
    }
    if (status & JOB_STATUS_DELETED) {
        log_event(EVENT_WARNING, "%s: %s in the print queue; it is not printed again",
                  shown(record->name).c_str(), text);
        std::string name = record->name;
        if (delete_job_file(path, &record->identity) == 1) {
            record->state = JOB_HELD;
            set_job_record(*record);
        } else {
            remove_job_record(name);
        }
        return JOB_DONE;
    }
    if (status & JOB_STATUS_ERROR) {
        if (record->resubmissions >= RESUBMISSION_LIMIT) {
            log_event(EVENT_ERROR,
                      "%s: %s; it was printed %d times without success and stays in "
                      "ZV for a person to see to",
                      shown(record->name).c_str(), text, record->resubmissions + 1);
            record->state = JOB_HELD;
            set_job_record(*record);
            return JOB_KEPT;
        }
        log_event(EVENT_WARNING, "%s: %s; it is printed again", shown(record->name).c_str(), text);
        std::string name = record->name;
        int resubmissions = record->resubmissions + 1;
        remove_job_record(name);
        return print_new_job(name, path, resubmissions) == 0 ? JOB_WAITING : JOB_KEPT;
    }
    return JOB_WAITING; // waiting in the queue or printing
}

// Prints a job file as a new document. Returns 0 when the printer took it whole, 1 when the job
// is kept, 2 when it is not ready.
static int print_new_job(const std::string& name, const char* path, int resubmissions) {
    FILE* job = _fsopen(path, "rb", _SH_DENYWR);
    if (job == NULL)
        return 2; // its producer still has it open for writing
    JobRecord record;
    record.name = name;
    record.state = JOB_HANDED_OVER;
    record.resubmissions = resubmissions;
    record.job_id = 0;
    record.submitted = 0;
    int known = file_identity((HANDLE)_get_osfhandle(_fileno(job)), &record.identity) == 0;
    char reason[REASON_SIZE] = "";
    int job_id = 0;
    int result = print_job_document(job, reason, &job_id);
    record.bytes = std::ftell(job);
    record.pages = job_page_count;
    std::fclose(job);
    // A file that changed while it printed (written on, or replaced) is printed again whole, as
    // the file it is now.
    FileIdentity now;
    if (result == 0 &&
        (!known || path_identity(path, &now) != 0 || !same_file(&now, &record.identity))) {
        std::snprintf(reason, REASON_SIZE,
                      "it changed while it printed (written to, or replaced); the file as it is "
                      "now is printed next");
        result = 1;
    }
    if (result != 0) {
        note_kept(name, reason);
        return 1;
    }
    record.printer = last_printer_name();
    record.job_id = (DWORD)job_id;
    DWORD status = 0;
    char text[REASON_SIZE];
    if (describe_job(record.printer.c_str(), record.job_id, &status, text, sizeof text,
                     &record.submitted) != 0)
        std::snprintf(text, sizeof text, "job %d", job_id);
    if (ZV_SPOOLER_STORES_JOBS_AT_END_DOC ||
        (status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE))) {
        finish_printed_job(&record, path, text);
        return 0;
    }
    // The job file stays until the printer says the job is printed.
    set_job_record(record);
    kept_reasons.erase(name);
    char size[64];
    pages_and_bytes(record, size, sizeof size);
    log_event(EVENT_INFO, "handed %s (%s) to \"%s\": %s", shown(name).c_str(), size,
              record.printer.c_str(), text);
    return 0;
}

// Whether the file has been left alone long enough to be a whole job.
static int quiet_long_enough(const WIN32_FIND_DATAA* found) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    long long now_ticks = ((long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    long long written = ((long long)found->ftLastWriteTime.dwHighDateTime << 32) |
                        found->ftLastWriteTime.dwLowDateTime;
    long long age = now_ticks - written;
    return age >= QUIET_TIME || age <= -QUIET_TIME;
}

static JobOutcome process_job_file(const WIN32_FIND_DATAA* found) {
    std::string name = found->cFileName;
    char job_path[MAX_PATH];
    std::memset(job_path, 0, sizeof job_path);
    int length = std::snprintf(job_path, sizeof job_path, "%s\\%s", SPOOL_DIRECTORY, name.c_str());
    if (length < 0 || length >= (int)sizeof job_path) {
        note_kept(name, "its name is too long");
        return JOB_KEPT;
    }
    JobRecord* record = find_job_record(name);
    if (record != NULL) {
        FileIdentity now;
        if (path_identity(job_path, &now) != 0)
            return JOB_WAITING;
        if (!same_file(&now, &record->identity)) {
            // Another file under the same name (or this one changed): a new job.
            remove_job_record(name);
            record = NULL;
        }
    }
    if (record != NULL && record->state == JOB_HANDED_OVER)
        return follow_job(record, job_path);
    if (record != NULL)
        return record->state == JOB_HELD ? JOB_KEPT : JOB_DONE;
    if (!quiet_long_enough(found))
        return JOB_WAITING;
    switch (print_new_job(name, job_path, 0)) {
    case 0: return JOB_DONE;
    case 1: return JOB_KEPT;
    default: return JOB_WAITING;
    }
}

// Says when ZV cannot be read (once) and when it can again.
static void note_spool_state(DWORD error) {
    std::string problem;
    if (error == ERROR_PATH_NOT_FOUND) {
        problem = "there is no folder ZV here";
    } else if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
               error != ERROR_NO_MORE_FILES) {
        char why[512];
        describe_error(error, why, sizeof why);
        problem = std::string("the folder ZV cannot be read: ") + why;
    }
    if (problem == spool_problem)
        return;
    if (problem.empty())
        log_event(EVENT_INFO, "the folder ZV can be read again");
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

int poll_spool_directory(HWND window) {
    (void)window;
    int result = 0;
    // A request to end applies to the poll it came in (the program ends after it).
    stop_requested = 0;
    load_job_records(current_folder());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    DWORD error = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    note_spool_state(error);
    std::set<std::string> present;
    if (search != INVALID_HANDLE_VALUE) {
        note_default_printer();
        do {
            present.insert(found.cFileName);
            if (stop_requested)
                continue;
            if (process_job_file(&found) == JOB_KEPT)
                result = 1;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    // What left ZV by other hands is forgotten; while ZV cannot be read, nothing is.
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
        for (auto it = kept_reasons.begin(); it != kept_reasons.end();)
            it = present.count(it->first) ? std::next(it) : kept_reasons.erase(it);
        keep_job_records_of(present);
    }
    save_job_records();
    return result;
}
