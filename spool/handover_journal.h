// The hand-over journal: what the spooler knows of the jobs of one spool folder, on stable storage
// in the user's state folder, so that a job is printed once whatever stops the program, whenever.
// Every step of a hand-over (about to print the file; the printer made the job; the document went
// whole; printed; the file gone) is written and flushed to the disk before the next step starts.
// Each entry carries a checksum: a damaged journal is found out, moved aside and reported, and
// what can still be read of it is used.
#pragma once

#include "platform/win32.h"
#include "spool/job_files.h"

#include <map>
#include <string>
#include <vector>

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

// The journal of one spool folder, as this process holds it. Only the functions below change it:
// what it holds in memory is what is on the disk.
struct Journal {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    std::string folder_id;
    std::string folder;
    std::map<unsigned long, JobRecord> records;
    unsigned long next_record_id = 1;
    unsigned long next_sequence = 1;
    unsigned long stale_lines = 0;
    int damaged = 0;
    // A flush of the journal failed: the disk may have dropped what it was to write, and the
    // system says so once only, so a later flush that succeeds proves nothing. The journal is
    // written anew to a new file, and flushed, before it is trusted again.
    int suspect = 0;
    // Whether this folder's claim file may say that jobs are handed over: set here before it says
    // so, cleared after it stops, so that the claim file saying so while the journal does not
    // shows a journal that lost its entries.
    int handed_mark = 0;
};

// Whether zvspool's state folder, where the journals are kept, is refused (another user's, or
// open to others): the program must not run then. A folder that cannot be made now is no
// refusal: jobs wait for it.
int journal_folder_refused(void);

// Opens the journal of the spool folder `folder_id` (`folder` is its path, for people and to find
// the journal again under a new id) and reads what it holds. 0 when it can be used; else 1, with
// the reason in `why`. Once opened, later calls do nothing.
int open_journal(Journal* journal, const char* folder_id, const char* folder, std::string* why);
int journal_is_open(const Journal* journal);
// Reads the journal of the spool folder `folder_id` without opening it for writing, for a look
// at what it says: nothing is written, set aside or compacted. A journal that is not there reads
// as empty. 0 when read; else 1, with the reason in `why`. journal_was_damaged() tells whether
// entries failed their checksums.
int read_journal(Journal* journal, const char* folder_id, std::string* why);
// Takes what the journal says as that of a damaged one (`why` says why, for the log): every
// entry is asked of the printer, a job whose printing had begun is held.
void distrust_journal(Journal* journal, const char* why);
// Whether the journal says the claim file may say that jobs are handed over. It says so before
// the claim file does, and stops after it: a claim file that says so while the journal does not
// shows a journal that lost its entries. 0 when stored.
int journal_handed_mark(const Journal* journal);
int store_handed_mark(Journal* journal, int handed);
// Whether the journal was found damaged when opened; the caller holds the jobs it cannot account
// for, then clears the mark.
int journal_was_damaged(const Journal* journal);
void clear_journal_damage(Journal* journal);

// The entries, in the order they were made.
// The entries, in the order they were made; each stays valid until it is stored again or
// forgotten.
std::vector<const JobRecord*> journal_records(const Journal* journal);
const JobRecord* find_journal_record(const Journal* journal, unsigned long id);
// Writes `record` durably (a new entry when its id is 0, which it then receives). 0 when it is on
// stable storage; 1 when not (the last error says why), and the journal in memory is as before.
int store_job_record(Journal* journal, JobRecord* record);
// Removes the entry durably; 0, or 1 as above.
int forget_job_record(Journal* journal, unsigned long id);

// The journal file, for the log.
const char* journal_path(const Journal* journal);
// Closes the journal and forgets what it held.
void close_journal(Journal* journal);
