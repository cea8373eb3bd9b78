// The hand-over: a job's road from its file in ZV to the paper, every step in the journal before
// the next one starts, so that a job is printed once whatever stops this program or the print
// system on the way:
//   JOB_PRINTING  about to print this very file (no job of the printer known for it yet)
//   JOB_HANDED    the printer made a job for it; its document may not be whole
//   JOB_SENT      its document went whole; held until its file has been left alone, then
//                 released, then followed until the print system says what became of it
//   JOB_PRINTED   printed; the entry goes once the file's deletion is on the disk
//   JOB_HELD      left for a person, with the reason
// Every change of an entry goes through set_job_state; what the print system says of a job handed
// to it is turned into what to do by decide_followed_job, which knows nothing else.
#pragma once

#include "spool/spooler.h"

#include <string>
#include <vector>

// What became of one job file in a poll.
enum JobOutcome {
    JOB_DONE,    // printed and gone, handed over, or nothing to do
    JOB_KEPT,    // could not be printed now; the log says why
    JOB_WAITING, // not ready (still being written, or waiting to be quiet)
    JOB_REFUSED, // the printer takes no job now: the poll offers it no other
};

// One poll's state: whether a job had to be kept, and what keeps every new job from printing.
struct Poll {
    int result = 0;
    std::string refusal;       // the printer's, or the journal's, for every new job of this poll
    std::string refused_first; // the job it came with
    int refused = 0;           // jobs kept for it
    int waiting_for_quiet = 0; // files seen first in this poll, to be looked at again
    int waits_turn = 0;        // the refusal is only the in-flight limit
};

// Moves the job `r` (a copy of its entry, changed as the step needs, or a new one) to `state`,
// durably: stamped with the time when its state changes, and without a printer's job when it is
// to be printed (again). The journal takes it first; on success `r` is what the journal holds and
// what the spooler keeps beside it follows; a failure is said once, and the poll takes no new
// job. 0 when stored.
int set_job_state(Spooler* spooler, JobRecord* r, int state);
// The entry goes, durably (0), with what the spooler kept beside it.
int forget_job(Spooler* spooler, unsigned long id);

// What to do with a job handed over, from what the print system says of it.
enum FollowAction {
    FOLLOW_ASK_AGAIN,   // it cannot be asked now: kept, and asked at the next poll
    FOLLOW_WAIT,        // queued, held or printing
    FOLLOW_FINISH,      // printed: its file goes
    FOLLOW_DROP,        // cancelled by a person in the queue: its file goes, unprinted
    FOLLOW_PRINT_AGAIN, // the print system failed it or lost it: printed again
    FOLLOW_GIVE_UP,     // failed once too often: left for a person
    FOLLOW_CANCEL_PART, // its document never arrived whole: that job cancelled, printed again
    FOLLOW_HOLD,        // whether it printed cannot be told: left for a person
};
struct FollowFacts {
    int asked;   // whether the print system could be asked
    int fate;    // JOB_FATE_*, when asked
    int trusted; // the entry is not out of a damaged journal, whose word alone reprints nothing
    int resubmissions; // how often the print system failed it and it was printed again
};
FollowAction decide_followed_job(const FollowFacts* facts);
// A job the print system fails this often in a row is left for a person, not printed in a loop.
enum { RESUBMISSION_LIMIT = 3 };

// "handed to "PRINTER" as job N": how the log and the report name a job handed over.
std::string handed_words(const JobRecord& r);

// Says once why a job is kept, and again when the reason changes.
void note_kept(Spooler* spooler, const std::string& name, const std::string& reason);

// What the journal says of a job at the start of a poll, brought up to date with the printer.
JobOutcome reconcile_job(Spooler* spooler, const JobRecord* r);

// Prints the job file `found` as a new document; `known` is its entry when the journal has one (a
// job to print again).
JobOutcome print_new_job(Spooler* spooler, const WIN32_FIND_DATAA* found, const JobRecord* known,
                         Poll* poll);

// A job file that cannot be opened (the last error says why): its producer still writes it (it
// waits in silence), it went (nothing to do), or zvspool may not read it (said once, and kept).
JobOutcome unreadable_job(Spooler* spooler, const std::string& name);

// The job handed over as `r` whose file changed after it was handed over (it held only a part):
// its job is cancelled, and the file as it is now is printed once it is left alone.
void cancel_changed_job(Spooler* spooler, const JobRecord* r);

// Releases the held jobs whose files have stayed as they were when their documents went, for the
// quiet time since (a file taken away or renamed over meanwhile was not written on: its job is
// whole). Returns when the next of those still held may be released (on the clock that only goes
// forward), 0 when none waits.
unsigned long long release_quiet_jobs(Spooler* spooler, const std::vector<WIN32_FIND_DATAA>& files);

// Why no job is handed over now, in the poll's refusal ("" for none): jobs in flight are few, and
// a printer that refused lately is left alone. Jobs that only wait their turn are no fault.
void limit_hand_over(Spooler* spooler, Poll* poll);

// What the print system says of the job `r` handed to it, and of its printer ("" when that
// cannot be asked), in its own words. 1 when the job is printed.
int ask_handed_job(const JobRecord& r, std::string* job, std::string* printer);

// Why the job `name` waits, in the print system's words where it has them; "" when it does not
// wait (printed, printing, or waiting to be quiet). `refusal` is the poll's.
std::string why_waiting(Spooler* spooler, const std::string& name, const std::string& refusal);

// The entries of the journal for the file called `name`.
std::vector<const JobRecord*> records_named(const Journal* journal, const std::string& name);

// After a damaged journal, or another spooler's (which left jobs handed over), a job file this
// journal does not account for may have been handed over already: it is held for a person rather
// than printed a second time.
void hold_unaccounted_jobs(Spooler* spooler, const std::vector<WIN32_FIND_DATAA>& files,
                           const char* why, const char* cause);
