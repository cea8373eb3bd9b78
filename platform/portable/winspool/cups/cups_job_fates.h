// What became of a CUPS job, from the scheduler's own facts, the same for a local scheduler and
// for one on another machine.
//
// A job is known by its job-uuid (never by comparing the scheduler's clock with ours). A job the
// scheduler still has tells its fate by its state, and a cancelled one by its reasons who
// cancelled it: a person, or the print system. A job it no longer has is either done and gone
// from its history, or lost in a restart (CUPS writes its jobs to the disk lazily, and forgets
// the ones a crash caught unwritten). To tell which, the spooler keeps one subscription of its
// own on each scheduler, the watch: the scheduler keeps and loses it as it keeps and loses jobs,
// and it brings the job-completed events of every queue, so a job seen to end is known to have
// printed even after the scheduler's history let it go. A job seen alive while the watch was
// there outlives it only if no restart came since. A job lost in a restart is printed again only
// where it cannot have printed; where nothing can tell, the job is said to be unknown, never
// printed twice.
#pragma once

#include "platform/portable/include/windows.h"
#include "platform/portable/winspool/printer_system.h"

#include <string>
#include <vector>

typedef struct _http_s http_t;
typedef struct _ipp_s ipp_t;

namespace zvp {

// A scheduler as a connection is made to it: a host name, an address or a socket path, and a
// port.
struct CupsServer {
    std::string host;
    int port = 631;
};

// What names a job for good: where it is (the scheduler, and the printer's URI there), its number
// and its job-uuid (or, on a server that gives none, its time of creation by the server's clock),
// and the watch that saw it alive, with the time the watch's lease runs out (by our clock).
struct CupsReference {
    CupsServer server;
    std::string printer_uri;
    int id = 0;
    std::string uuid;
    long long created = 0;
    int marker = 0;
    long long marker_expires = 0;
    std::string nonce; // the marker's word, which tells it from another's under its number
};

std::string format_reference(const CupsReference& reference);
bool parse_reference(const std::string& text, CupsReference& reference);

// What the scheduler says of the job a reference names, and of itself.
enum class Known { no, yes, unknown };
struct CupsJobFacts {
    bool found = false; // the scheduler has a job under the reference's number
    bool ours = false;  // and it is the job the reference names
    int state = 0;      // ipp_jstate_t, when found
    std::vector<std::string> reasons;
    std::string message;    // the job's state message, else what the printer last said of it
    bool processed = false; // whether it ever began to print
    int documents = -1;     // how many documents it holds; -1 when not said
    Known restarted = Known::unknown; // whether the scheduler restarted since the job came whole
    Known history = Known::unknown;   // whether it keeps the jobs it finished
    bool purged = false;              // whether its history may have let the job go for its age
    // Whether the job's queue has been stopped since before the job was made, by the scheduler's
    // own clock and its stored state: no job of it can have printed since.
    bool stopped_since_made = false;
    // How it ended (job-state), as the scheduler's job-completed event said while this spooler's
    // watch lasted since the job was seen alive; 0 when not heard.
    int ended = 0;
};

// The facts of a Get-Job-Attributes answer about the job under the reference's number.
void read_job_facts(ipp_t* response, const CupsReference& reference, CupsJobFacts& facts);
// The printer's state from a Get-Printer-Attributes answer.
PrinterState printer_state_of(ipp_t* response);

// The fate those facts tell, for a job at `stage` (JOB_STAGE_*: its document may not have gone
// whole, went whole, or the job was held by the spooler from the start and never released). A
// job the scheduler lost is printed again only where the facts prove that it did not print: a
// scheduler that lost its jobs may have lost the record of their printing with them.
JobFate decide_fate(const CupsJobFacts& facts, int stage, int id);

// Makes the reference of a job just created over `http`, from what the scheduler says of it.
bool reference_new_job(http_t* http, const CupsServer& server, const std::string& printer_uri,
                       int id, CupsReference& reference);
// The references of the jobs this process made, by job number.
void remember_reference(int id, const std::string& reference);
std::string remembered_reference(int id);

// Asks the scheduler about the job `reference` names; `fate.reference` may come back with a new
// marker. `failed` when the scheduler cannot be asked (the last error says why).
Lookup cups_job_fate(const std::string& reference, int stage, JobFate& fate);
// What the printer the reference's URI names says of itself, from its server.
Lookup cups_printer_state(const CupsReference& reference, PrinterState& state);
// The state of a printer from its attributes: printer-state, printer-state-reasons and
// printer-state-message, in the scheduler's words.
PrinterState describe_printer_state(int state, const std::vector<std::string>& reasons,
                                    const std::string& message, bool accepting);
// Cancels the job if the scheduler still has it, it is ours and it is not done.
bool cancel_cups_job(const std::string& reference);
// Holds the job (Hold-Job), and releases it to print (Release-Job); the scheduler keeps a job
// held across its document's arrival. Either fails when the job is not ours any more.
bool hold_cups_job(const std::string& reference);
bool release_cups_job(const std::string& reference);
// Takes away the markers this process made that no job needs any more, but for the newest on
// each scheduler unless `all` (the process's end). A marker made by an earlier process stays: this
// one may not have seen every job it vouches for; its lease ends it.
void retire_markers(bool all);

// A job's fate (JOB_FATE_*) as GetJobA's status bits (JOB_STATUS_*).
DWORD job_status_of(int fate);
// What the scheduler says of a job this process made, in GetJobA's terms.
Lookup cups_job(int id, JobEntry& job);

} // namespace zvp
