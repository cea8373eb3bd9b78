// Where things stand: what the spooler found at the end of its last poll of the folder, its
// printer and every job in ZV, each job's state as a keyword with the words the log uses. The
// window shows it; the spooler keeps it in a file beside its journal, from which --status tells
// what the running spooler knows (a look from outside cannot see a file still being written, or
// a printer the spooler could not open).
#pragma once

#include <string>
#include <vector>

// A job's state, as --status and the window name it. Waiting its turn, with the printer or
// printed, it is on its way; every other state means it cannot print until something changes.
#define JOB_STATE_WAITING "waiting"         // taken at the next poll
#define JOB_STATE_QUIET "waiting-quiet"     // its file is still being written
#define JOB_STATE_TURN "waiting-turn"       // as many jobs as allowed are with the printer
#define JOB_STATE_BUSY "printer-busy"       // the printer refused it while taking jobs
#define JOB_STATE_PRINTING "printing"       // its document is being sent
#define JOB_STATE_HANDED "handed"           // with the printer, not printed yet
#define JOB_STATE_PRINTED "printed"         // printed; its file goes at the next poll
#define JOB_STATE_HELD "held"               // kept for a person (see why)
#define JOB_STATE_KEPT "kept"               // kept, and tried again at every poll (see why)
#define JOB_STATE_JOURNAL "journal-refused" // the journal cannot be written
#define JOB_STATE_NOT_A_FILE "not-a-file"   // a folder, a link or a device: never printed
#define JOB_STATE_UNREADABLE "unreadable"   // it cannot be read
#define JOB_STATE_NO_SPOOLER "no-spooler"   // no zvspool watches the folder
// ...and the printer's own states (PRINTER_* of folder_printer.h) for a job that waits on it:
// no-printer, unknown-printer, unreachable, printer-stopped, printer-refuses.

// Whether a job in `state` is on its way to paper.
bool job_state_is_fine(const std::string& state);

struct JobStanding {
    std::string name;
    std::string state; // a JOB_STATE_* or PRINTER_* keyword
    std::string why;   // in the log's words ("" when nothing is in the way)
    std::string printer;
    unsigned long job_id = 0;
    long long since = 0; // in this state since (seconds since 1970; 0: not known)
};

struct Standing {
    long long polled = 0; // the end of the last poll (seconds since 1970; 0: none yet)
    std::string printer;  // the folder's printer
    std::string printer_state = "ready";
    std::string printer_words;
    std::string printer_reasons;
    std::vector<JobStanding> jobs;
    std::string last_printed; // the job file printed last, and when
    long long last_printed_at = 0;
    std::string test_sheet; // why the last test sheet did not print ("": it did, or none yet)
};

// The standing as text and back: one "key value" line each, one "job" line per job with its
// fields separated by tabs; tabs, line ends and backslashes in them escaped.
std::string standing_text(const Standing& standing);
Standing standing_from_text(const std::string& text);

// Kept in, and read from, the file `path` (the journal's, with .status for .journal). A store
// replaces the file whole, or leaves it as it was; it is not flushed: it says how things stood,
// and the next poll writes it anew. 0 when done.
int store_standing(const Standing& standing, const std::string& path);
int load_standing(const std::string& path, Standing* standing);
std::string standing_path(const std::string& journal_path);
