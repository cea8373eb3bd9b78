// What the spooler remembers of job files across polls and restarts, in a small file outside ZV
// (one per spool folder): a job handed to a printer that has not said yet that it printed it; a
// job printed whose file could not be deleted; a job the printer failed too often. The last two
// are not printed again while the file stays as it is.
#pragma once

#include "platform/win32.h"

#include <set>
#include <string>

// Which file: its volume and index, size and time of last change. A file renamed over another,
// rewritten or grown is another file.
struct FileIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    DWORD size_high;
    DWORD size_low;
    FILETIME written;
};

enum JobRecordState {
    JOB_HANDED_OVER = 1, // the printer has it as job_id; the file stays until it is printed
    JOB_PRINTED = 2,     // printed, but the file could not be deleted
    JOB_HELD = 3,        // the printer failed it too often; left for a person
};

struct JobRecord {
    std::string name;
    FileIdentity identity;
    int state;
    std::string printer;
    DWORD job_id;
    int resubmissions;
    long bytes;
    int pages;
    long long submitted; // when the printer made the job (yyyymmddhhmmss), to know it again
};

// The identity of an open file, or of the file at `path`; 0 when it could be told.
int file_identity(HANDLE file, FileIdentity* identity);
int path_identity(const char* path, FileIdentity* identity);
int same_file(const FileIdentity* a, const FileIdentity* b);

// Reads the records of the spool folder `folder`, once per process and folder.
void load_job_records(const std::string& folder);
JobRecord* find_job_record(const std::string& name);
void set_job_record(const JobRecord& record);
void remove_job_record(const std::string& name);
// Forgets the records of files that are no longer in ZV.
void keep_job_records_of(const std::set<std::string>& names);
// Writes the records durably when they changed; 0 on success, 1 with the last error set.
int save_job_records(void);
