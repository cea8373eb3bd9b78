#include "spool/poller.h"

#include "render/print_job.h"
#include "spool/default_printer.h"
#include "spool/event_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

static const char SPOOL_DIRECTORY[] = "ZV";
static const char SPOOL_PATTERN[] = "ZV\\zv*.zv";

enum { REASON_SIZE = 768 };

// Why each job now waiting in ZV was last kept, so that a job kept for the same reason at every
// poll is said once; the entry goes when the job is printed or leaves ZV.
static std::map<std::string, std::string> kept_reasons;
// What was last said of ZV itself: "" while it could be read.
static std::string spool_problem;

static void explain(const char* what, char* reason) {
    describe_failure(what, reason, REASON_SIZE);
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
    *job_id = StartDocA(dc, &doc);
    if (*job_id <= 0) {
        explain("cannot start the document", reason);
    } else if (print_job_stream(dc, job) != 0) {
        if (std::ferror(job))
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
    DeleteDC(dc);
    if (result != 0)
        left_margin = margin;
    return result;
}

// Size of the file now, or -1 when it cannot be told.
static long current_size(const char* path) {
    FILE* file = _fsopen(path, "rb", _SH_DENYNO);
    if (file == NULL)
        return -1;
    long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::fclose(file);
    return size;
}

// Says once why a job is kept, and again when the reason changes.
static void note_kept(const char* name, const char* reason) {
    std::string& said = kept_reasons[name];
    if (said == reason)
        return;
    said = reason;
    char shown[MAX_PATH];
    printable_name(name, shown, sizeof shown);
    log_event(EVENT_WARNING, "kept %s: %s", shown, reason);
}

static void note_printed(const char* name, long bytes, int job_id) {
    kept_reasons.erase(name);
    char shown[MAX_PATH], status[512];
    printable_name(name, shown, sizeof shown);
    DWORD bits = 0;
    if (describe_job(last_printer_name(), (DWORD)job_id, &bits, status, sizeof status) != 0)
        std::snprintf(status, sizeof status, "job %d", job_id);
    log_event(EVENT_INFO, "printed %s (%ld bytes, %d page%s) on \"%s\": %s", shown, bytes,
              (int)job_page_count, job_page_count == 1 ? "" : "s", last_printer_name(), status);
}

// Returns 1 when the job had to be kept. A file that cannot be opened (its producer still has it
// open for writing) is left for the next poll without counting as a failure.
static int process_job_file(const char* name) {
    char job_path[MAX_PATH];
    std::memset(job_path, 0, sizeof job_path);
    int length = std::snprintf(job_path, sizeof job_path, "%s\\%s", SPOOL_DIRECTORY, name);
    if (length < 0 || length >= (int)sizeof job_path) {
        note_kept(name, "its name is too long");
        return 1;
    }
    FILE* job = _fsopen(job_path, "rb", _SH_DENYWR);
    if (job == NULL)
        return 0;
    char reason[REASON_SIZE] = "";
    int job_id = 0;
    int result = print_job_document(job, reason, &job_id);
    long printed = std::ftell(job);
    std::fclose(job);
    // A producer that went on writing while the job printed would lose the rest to the
    // deletion: such a job stays, to be printed whole at the next poll.
    long size = current_size(job_path);
    if (result == 0 && printed >= 0 && size >= 0 && size != printed) {
        std::snprintf(reason, REASON_SIZE, "it grew while it printed; it is printed again whole");
        result = 1;
    }
    if (result != 0) {
        note_kept(name, reason);
        return result;
    }
    note_printed(name, printed, job_id);
    // A printed job whose file cannot be deleted is printed again at the next poll.
    DeleteFileA(job_path);
    return 0;
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
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    note_spool_state(search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS);
    std::map<std::string, std::string> still_kept;
    if (search != INVALID_HANDLE_VALUE) {
        note_default_printer();
        do {
            if (process_job_file(found.cFileName) != 0)
                result = 1;
            auto kept = kept_reasons.find(found.cFileName);
            if (kept != kept_reasons.end())
                still_kept.insert(*kept);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    // Jobs that left ZV by other hands are forgotten.
    kept_reasons.swap(still_kept);
    return result;
}
