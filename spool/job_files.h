// The files in ZV: where they are, which file each one is, which are jobs, when one has been left
// alone long enough to be taken, and deleting the very file that was printed.
#pragma once

#include "platform/win32.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// The folder of the jobs, and the jobs in it, as the platform's paths (the portable layer takes
// backslashes too).
extern const char SPOOL_DIRECTORY[];
extern const char SPOOL_PATTERN[];

// The separator of the platform's paths, and the folder the program runs in, absolute.
extern const char PATH_SEPARATOR;
std::string current_folder(void);

// The path of the job file `name` in ZV.
std::string job_path(const std::string& name);
// A job file's name as it can stand in a log line.
std::string shown_name(const std::string& name);

// Which file: its volume and index, size and times of last write and last change. A file renamed
// over another, rewritten or grown is another file.
struct FileIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    DWORD size_high;
    DWORD size_low;
    FILETIME written;
    FILETIME changed;
};

// The identity of an open file, or of the file at `path`; 0 when it could be told.
int file_identity(HANDLE file, FileIdentity* identity);
int path_identity(const char* path, FileIdentity* identity);
int same_file(const FileIdentity* a, const FileIdentity* b);
// The same file object in ZV (its index), whatever became of its contents.
int same_file_object(const FileIdentity* a, const FileIdentity* b);
int identity_known(const FileIdentity* identity);

// What an entry of ZV is when it is no job file: "a folder", "a link", or what is read as no file
// is ("a FIFO, socket or device"). NULL for a file.
const char* not_a_file(const WIN32_FIND_DATAA* found);

// The job files in ZV, in name order; `error` says why there are none (ERROR_SUCCESS when there
// are).
std::vector<WIN32_FIND_DATAA> list_job_files(DWORD* error);

enum DeleteResult {
    FILE_DELETED,     // gone (or gone already)
    FILE_NOT_DELETED, // it stays; the last error says why
    FILE_REPLACED,    // another file has taken its place, and stays
};
// Deletes the job file at `path` if it is still the very file printed.
DeleteResult delete_job_file(const char* path, const FileIdentity* printed);

enum FileState {
    FILE_GONE,    // no longer in ZV
    FILE_SAME,    // in ZV as it was
    FILE_CHANGED, // in ZV, written to or touched since
};
// Whether the file `name` that had `identity` is still among `files` of ZV: the same file object
// under its name, and as it was. An unknown identity is whatever file has the name.
FileState file_in_folder(const std::string& name, const FileIdentity* identity,
                         const std::vector<WIN32_FIND_DATAA>& files);

// A file time as seconds since 1970.
long long filetime_seconds(FILETIME t);

// Each file as last seen, and since when (on the forward-only clock) it has looked so: a file is
// taken only once it has been left alone for the quiet time.
struct QuietWatch {
    struct Sighting {
        DWORD size_high;
        DWORD size_low;
        FILETIME written;
        FILETIME changed;
        unsigned long long since;
    };
    std::map<std::string, Sighting> seen;
};
// Whether the file has stayed as it is for `quiet_ms` at `now`: its size and its times of
// writing and of change seen the same since then. A file seen anew starts the wait.
int quiet_long_enough(QuietWatch* watch, const WIN32_FIND_DATAA* found, unsigned long quiet_ms,
                      unsigned long long now);
// Whether the file was seen as it is now for `quiet_ms` by `now` (the watch unchanged): a file
// still written to when the poll ended is not.
int seen_unchanged(const QuietWatch* watch, const WIN32_FIND_DATAA* found, unsigned long quiet_ms,
                   unsigned long long now);
// When every file watched will have been left alone for `quiet_ms` (0 for none).
unsigned long long quiet_at(const QuietWatch* watch, unsigned long quiet_ms);
// Forgets the files no longer in ZV.
void forget_absent_files(QuietWatch* watch, const std::set<std::string>& present);
