// The hand-over journal: what the spooler knows of the jobs of one spool folder, on stable storage
// in the user's state folder, so that a job is printed once whatever stops the program, whenever.
// Every step of a hand-over (about to print the file; the printer made the job; the document went
// whole; printed; the file gone) is written and flushed to the disk before the next step starts.
// Each entry carries a checksum: a damaged journal is found out, moved aside and reported, and
// what can still be read of it is used.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

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

enum JobState {
    JOB_PRINTING = 1, // its printing began; no job of the printer is known for it yet
    JOB_HANDED = 2,   // the printer made job `job_id` for it; its document may not be whole
    JOB_SENT = 3,     // its document went to the printer whole; waiting for the printer to print it
    JOB_PRINTED = 4,  // printed, but the file could not be deleted
    JOB_HELD = 5,     // left for a person: `reason` says why
};

struct JobRecord {
    unsigned long id; // the entry's own number
    std::string name;
    FileIdentity identity; // all zero: whatever file has the name (an entry that was damaged)
    int state;
    std::string printer;
    DWORD job_id;
    std::string reference; // the print system's own name of the job
    int attempts;          // how often its printing began
    int resubmissions;     // how often the print system failed it and it was printed again
    long long bytes;
    int pages;
    long long since; // when it came to its state, seconds since 1970
    int flags;
    std::string reason;
    int32_t margin = 0; // the left margin (device units) the job's printing began at
};

// An entry read out of a damaged journal: what it says is not taken without the printer's word.
#define JOB_FROM_DAMAGE 1
// Its job was held from before its document went, and not yet released: nothing of it printed.
#define JOB_UNRELEASED 2
// Its job's release was asked for, and not yet seen to be done.
#define JOB_RELEASING 4
// The archive's copy of its job is made (or the archive was off).
#define JOB_ARCHIVED 8

// The identity of an open file, or of the file at `path`; 0 when it could be told.
int file_identity(HANDLE file, FileIdentity* identity);
int path_identity(const char* path, FileIdentity* identity);
int same_file(const FileIdentity* a, const FileIdentity* b);
// The same file object (volume and index), whatever became of its contents.
int same_file_object(const FileIdentity* a, const FileIdentity* b);
int identity_known(const FileIdentity* identity);

// Opens the journal of the spool folder `folder_id` (`folder` is its path, for people and to find
// the journal again under a new id) and reads what it holds. 0 when it can be used; else 1, with
// the reason in `why`. Once opened, later calls do nothing.
int open_journal(const char* folder_id, const char* folder, std::string* why);
int journal_is_open(void);
// Reads the journal of the spool folder `folder_id` without opening it for writing, for a look
// at what it says: nothing is written, set aside or compacted. A journal that is not there reads
// as empty. 0 when read; else 1, with the reason in `why`. journal_was_damaged() tells whether
// entries failed their checksums.
int read_journal(const char* folder_id, std::string* why);
// Takes what the journal says as that of a damaged one (`why` says why, for the log): every
// entry is asked of the printer, a job whose printing had begun is held.
void distrust_journal(const char* why);
// Whether the journal says the claim file may say that jobs are handed over. It says so before
// the claim file does, and stops after it: a claim file that says so while the journal does not
// shows a journal that lost its entries. 0 when stored.
int journal_handed_mark(void);
int store_handed_mark(int handed);
// Whether the journal was found damaged when opened; the caller holds the jobs it cannot account
// for, then clears the mark.
int journal_was_damaged(void);
void clear_journal_damage(void);

// The entries, in the order they were made.
std::vector<JobRecord*> journal_records(void);
JobRecord* find_journal_record(unsigned long id);
// Writes `record` durably (a new entry when its id is 0, which it then receives). 0 when it is on
// stable storage; 1 when not (the last error says why), and the journal in memory is as before.
int store_job_record(JobRecord* record);
// Removes the entry durably; 0, or 1 as above.
int forget_job_record(unsigned long id);

// The journal file, for the log.
const char* journal_path(void);
// Closes the journal (tests open another).
void close_journal(void);
