// The running spooler of one folder: everything it knows and remembers between polls, in one
// record. It is made when the program starts, made ready by start_spooler (at every poll until it
// holds the folder: a spooler standing by takes over then) and done with by end_spooler; a new
// record starts afresh. The one thing kept outside it is the request to stop, which the end of a
// session and the printer's abort procedure give at any moment.
//
// A job's road, and the room that owns each stretch of it:
//   job_files    a file in ZV, which file it is, whether it has been left alone long enough;
//   handover     every step from "about to print this file" to "printed, the file deleted", each
//                in the journal (handover_journal) before the next begins, and what the print
//                system's word about a job handed to it means;
//   print_document  one document, from its start to its end or abandonment;
//   alarms, notices  what the log and the window say of jobs that wait, and of lasting faults;
//   poller       the poll itself, which walks the files through the rooms above.
#pragma once

#include "spool/alarms.h"
#include "spool/folder_claim.h"
#include "spool/folder_printer.h"
#include "spool/handover_journal.h"
#include "spool/job_archive.h"
#include "spool/job_files.h"
#include "spool/notices.h"
#include "spool/spool_options.h"
#include "spool/standing.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The timings the spooler goes by, from the folder's options (tests set less).
struct SpoolerSettings {
    // How long (milliseconds on a clock that only goes forward) a job file must stay the same
    // before it is taken, and its job held after its document went: a producer that closes and
    // reopens its file between writes is not printed in pieces.
    unsigned long quiet_ms = 2000;
    // How long (seconds) a job may be kept, or handed over and not printed, before it is said to
    // be stuck.
    unsigned long alarm_seconds = 300;
    // How many jobs may be with the printer and not yet printed at once: a print server shared by
    // many spoolers keeps room for the history of the jobs it finished (which tells what printed).
    unsigned long in_flight = 5;
    // A printer that refuses jobs of load in a row is offered none for twice this, then twice as
    // long again, up to a minute (milliseconds).
    unsigned long refusal_backoff_ms = 10000;
};

// The settings the folder's options ask for.
SpoolerSettings spooler_settings(const SpoolOptions& options);

// A printer that refused a job while it takes jobs (a print server at its limit of active jobs)
// is offered none until `until`, longer each time it refuses again.
struct RefusalBackoff {
    unsigned long long until = 0; // on the forward-only clock
    unsigned long long wait_ms = 0;
    int in_a_row = 0;
    std::string because;
};

struct Spooler {
    SpoolerSettings settings;
    bool no_window = false; // started with nothing on screen (--no-window)
    FolderClaim claim;
    Journal journal;
    FolderPrinter printer;
    ArchiveState archive;
    QuietWatch quiet;
    Alarms alarms;
    // Why each job now waiting in ZV was last kept, so that a job kept for the same reason at
    // every poll is said once; the entry goes when the job is printed or leaves ZV.
    std::map<std::string, std::string> kept_reasons;
    // What was last said of ZV itself, of the journal, of a printer that takes no jobs, and of
    // flushing ZV to the disk.
    Notice folder_notice;
    Notice journal_notice;
    Notice refusal_notice;
    Notice flush_notice;
    // Whether a step into the journal failed in this poll: its return is said only after a poll
    // whose every step went in (on a nearly full disk a small entry may go in after a larger one
    // failed).
    int journal_failed = 0;
    // Entries whose files are gone from ZV (deleted here, or by other hands): forgotten only once
    // ZV is flushed, so that a power cut cannot bring back a printed job's file and lose its
    // entry.
    std::vector<unsigned long> gone_entries;
    // Since when (on the forward-only clock) each held job's file has been seen as it was when
    // its document was sent, by the job's entry: the job is released once that is the quiet time.
    std::map<unsigned long, unsigned long long> held_since;
    // The archive's copies of the jobs still held, by entry: taken back when the job is cancelled
    // because its file changed.
    std::map<unsigned long, std::string> held_copies;
    RefusalBackoff backoff;
    // The left margin the jobs printed so far left for the next.
    int32_t carried_margin = 0;
    // Where things stood at the end of the last poll, and when (forward-only clock) the folder's
    // printer was last asked how it is.
    Standing standing;
    unsigned long long printer_asked = 0;
    // The settings the command line gave, which win over zvspool.conf when it is read again.
    std::vector<SpoolSetting> overrides;
};

// Makes the spooler ready to poll: the folder claimed (a spooler standing by tries again, and
// says so when it takes over) and the journal opened. 1 when it may poll.
int start_spooler(Spooler* spooler);

// Whether the folder's options can work here, checked when they are read: the printer they
// name is there (an unknown one is refused with the printers there are; a print system that
// cannot be asked now is no reason to refuse), the archive folder is there or is made. 0, else 1
// with `why`.
int check_spool_settings(std::string* why);

// Reads zvspool.conf again (SIGHUP on Linux, a change of settings on Windows), the command line
// still winning: the log says what is in force now, or why the new settings were refused (those
// in force then stay).
void reload_spool_settings(Spooler* spooler);

// Lets the folder and the journal go. The record is done with: a new one starts afresh.
void end_spooler(Spooler* spooler);

// Asks the spooler to stop: the job in print is abandoned (kept for the next start) and no other
// job is started. For the end of the session, which does not wait for the poll to end.
void stop_spooling(void);
// Whether the spooler is asked to stop; a poll starts by forgetting an earlier request, as the
// request applies to the poll it came in.
int spooling_stopped(void);
void clear_stop_request(void);

// The abort procedure: the printer, and the interpreter as it reads, ask now and then while a job
// prints whether to go on. A request to close the program (a close waiting in the queue) stops
// the spooler.
BOOL CALLBACK keep_printing(HDC dc, int code);

// Says once that the journal cannot be kept (`problem`), and when it can again ("").
void note_journal(Spooler* spooler, const std::string& problem);
// The journal's failure `what`, with the system's words and the journal's path.
std::string journal_failure(const Spooler* spooler, const char* what);
