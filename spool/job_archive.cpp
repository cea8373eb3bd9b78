#include "spool/job_archive.h"

#include "render/print_job.h"
#include "spool/durable_folder.h"
#include "spool/event_log.h"
#include "spool/folder_printer.h"
#include "spool/job_files.h"
#include "spool/print_document.h"
#include "spool/spool_options.h"

#include <cstring>
#include <ctime>

enum {
    SECONDS_PER_DAY = 86400,
    // The archive's folder is searched for old copies at most this often, not for every job.
    PRUNE_INTERVAL_SECONDS = 3600,
};

std::string archive_name(const std::string& folder_name, const std::string& job_name, time_t when,
                         int number) {
    char stamp[32] = "";
    if (const std::tm* local = std::localtime(&when))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", local);
    std::string base = job_name;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        base.resize(dot);
    std::string folder = folder_name.empty() ? "" : folder_name + "_";
    std::string again = number > 1 ? "-" + std::to_string(number) : "";
    return std::string(stamp) + "_" + folder + base + again + ".pdf";
}

static std::string archive_path(const std::string& file) {
    return spool_options.archive + PATH_SEPARATOR + file;
}

// The name of the folder that holds ZV, as a part of a file name.
static std::string spool_folder_name(void) {
    std::string folder = current_folder();
    size_t cut = folder.find_last_of("/\\");
    std::string name = cut == std::string::npos ? folder : folder.substr(cut + 1);
    for (char& c : name)
        if (c == ':' || (unsigned char)c < 0x20)
            c = '-';
    return name;
}

enum { ARCHIVE_NAME_TRIES = 1000 };

// Gives the written copy `temp` its name in the archive, never over another file (two folders
// may print a job of the same name in the same second): the first of NAME, NAME-2, ... that is
// free, put in place with the folder made durable. The name, or "" when none could be given.
static std::string place_copy(const std::string& temp, const std::string& job_name, time_t when) {
    std::string folder = spool_folder_name();
    for (int n = 1; n <= ARCHIVE_NAME_TRIES; ++n) {
        std::string path = archive_path(archive_name(folder, job_name, when, n));
        if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH))
            return path;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    return "";
}

// Why the copy was not made, in the system's words.
static void not_archived(const std::string& name, const char* what) {
    char why[768];
    describe_failure(what, why, sizeof why);
    log_event(EVENT_WARNING, "%s was printed, but no copy is in the archive %s: %s", name.c_str(),
              spool_options.archive.c_str(), why);
}

// The archive folder, made if missing, and its name in the folder above made durable (once per
// run): a copy in a folder a power cut takes away is no copy. 0 when it is there for good.
static int archive_folder_ready(ArchiveState* archive) {
    if (!CreateDirectoryA(spool_options.archive.c_str(), NULL) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return 1;
    if (archive->flushed == spool_options.archive)
        return 0;
    if (flush_folder(folder_of(spool_options.archive).c_str()) != 0)
        return 1;
    archive->flushed = spool_options.archive;
    return 0;
}

int make_archive_folder(std::string* why) {
    if (spool_options.archive.empty() || CreateDirectoryA(spool_options.archive.c_str(), NULL) ||
        GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    char reason[768];
    describe_failure(("cannot make the archive folder " + spool_options.archive).c_str(), reason,
                     sizeof reason);
    *why = reason;
    return 1;
}

std::string archive_printed_job(ArchiveState* archive, FolderPrinter* printer, FILE* job,
                                const std::string& name, int32_t left_margin) {
    if (spool_options.archive.empty())
        return "";
    if (archive_folder_ready(archive) != 0) {
        not_archived(name, "cannot make the folder");
        return "";
    }
    time_t now = std::time(NULL);
    // Written under a name of this process's own, then named.
    std::string temp = archive_path("~zvspool-" + std::to_string(GetCurrentProcessId()) + "-" +
                                    std::to_string(++archive->written) + ".part");
    HDC dc = open_default_printer_dc(printer);
    if (dc == NULL) {
        not_archived(name, "cannot open the printer");
        return "";
    }
    // Printed to a file, the document is the printer's own output: the same pages, as PDF.
    std::rewind(job);
    DocumentSteps steps;
    steps.pages = [&](HDC on) {
        JobPrintState state;
        state.left_margin = left_margin;
        print_job_stream(on, job, NULL, &state);
        return state.end == JOB_WHOLE ? 0 : 1;
    };
    int job_id = 0;
    std::string made;
    switch (print_document(dc, temp.c_str(), steps, &job_id)) {
    case DOCUMENT_WHOLE:
        made = place_copy(temp, name, now);
        if (made.empty()) {
            not_archived(name, "cannot name the copy");
            DeleteFileA(temp.c_str());
        }
        break;
    case DOCUMENT_NOT_STARTED: not_archived(name, "cannot start the copy"); break;
    case DOCUMENT_ABANDONED: not_archived(name, "cannot write the copy"); break;
    case DOCUMENT_END_FAILED: not_archived(name, "cannot finish the copy"); break;
    }
    DeleteDC(dc);
    if (now - archive->pruned >= PRUNE_INTERVAL_SECONDS) {
        archive->pruned = now;
        prune_archive();
    }
    return made;
}

void withdraw_archive_copy(const std::string& path) {
    if (!path.empty())
        DeleteFileA(path.c_str());
}

// The time an archive's name says, or -1 for a name that is not one of its copies.
static time_t archived_at(const char* file) {
    std::tm t;
    std::memset(&t, 0, sizeof t);
    int used = 0;
    if (std::sscanf(file, "%4d-%2d-%2dT%2d-%2d-%2d_%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &used) != 6 ||
        used != 20)
        return -1;
    size_t length = std::strlen(file);
    if (length < 25 || std::strcmp(file + length - 4, ".pdf") != 0)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// Whether the copy `file` is this folder's to remove: named for it, or named before copies were
// named for their folders (nothing between the time and the job). An archive shared by folders
// keeps each folder's copies for that folder's days.
static bool copy_of_this_folder(const char* file) {
    const char* rest = file + 20; // after "YYYY-MM-DDTHH-MM-SS_"
    std::string own = spool_folder_name() + "_";
    return std::strncmp(rest, own.c_str(), own.size()) == 0 || std::strchr(rest, '_') == NULL;
}

void prune_archive(void) {
    if (spool_options.archive.empty() || spool_options.archive_days <= 0)
        return;
    time_t oldest = std::time(NULL) - (time_t)spool_options.archive_days * SECONDS_PER_DAY;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(archive_path("*.pdf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        time_t at = archived_at(found.cFileName);
        if (at >= 0 && at < oldest && copy_of_this_folder(found.cFileName) &&
            !DeleteFileA(archive_path(found.cFileName).c_str())) {
            char why[512];
            describe_error(GetLastError(), why, sizeof why);
            log_event(EVENT_WARNING, "cannot remove the old copy %s from the archive: %s",
                      found.cFileName, why);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
