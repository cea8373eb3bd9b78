#include "spool/poller.h"

#include "render/print_job.h"
#include "spool/default_printer.h"

#include <cstdio>
#include <cstring>

static const char SPOOL_DIRECTORY[] = "ZV";
static const char SPOOL_PATTERN[] = "ZV\\zv*.zv";

// Prints one opened job as one document. Returns 1 unless the document was started, the job
// printed whole and the document ended, so that nothing unprinted is ever deleted.
static int print_job_document(FILE* job) {
    HDC dc = open_default_printer_dc();
    if (dc == NULL)
        return 1;
    int result = 1;
    // A job that is not printed must not move the margin of the jobs after it, nor its own when
    // it is printed again.
    int32_t margin = left_margin;
    DOCINFOA doc = zv_document_info();
    if (StartDocA(dc, &doc) > 0) {
        if (print_job_stream(dc, job) == 0 && EndDoc(dc) > 0)
            result = 0;
        else
            AbortDoc(dc);
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

// Returns 1 when the job had to be kept. A file that cannot be opened (its producer still has it
// open for writing) is left for the next poll without counting as a failure.
static int process_job_file(const char* name) {
    char job_path[MAX_PATH];
    std::memset(job_path, 0, sizeof job_path);
    int length = std::snprintf(job_path, sizeof job_path, "%s\\%s", SPOOL_DIRECTORY, name);
    if (length < 0 || length >= (int)sizeof job_path)
        return 1;
    FILE* job = _fsopen(job_path, "rb", _SH_DENYWR);
    if (job == NULL)
        return 0;
    int result = print_job_document(job);
    long printed = std::ftell(job);
    std::fclose(job);
    // A producer that went on writing while the job printed would lose the rest to the
    // deletion: such a job stays, to be printed whole at the next poll.
    long size = current_size(job_path);
    if (result == 0 && printed >= 0 && size >= 0 && size != printed)
        result = 1;
    // A printed job whose file cannot be deleted is printed again at the next poll.
    if (result == 0)
        DeleteFileA(job_path);
    return result;
}

int poll_spool_directory(HWND window) {
    (void)window;
    int result = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (process_job_file(found.cFileName) != 0)
            result = 1;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return result;
}
