// Beyond Win32: handing a job to a print system exactly once. Included by platform/win32.h after
// the platform's own headers; implemented by the portable layer, and for the native Windows build
// in platform/windows/.
#pragma once

// A job handed over must print once, also when this program or the print system stops at any
// moment. Win32's job records say what a spooler that stores every job before EndDoc returns needs
// to say; a print system that stores its jobs lazily (CUPS) and may lose them in a crash needs
// more: a name for the job that outlives both programs, and its fate told from the print system's
// own facts. The platform gives both, for every printer it has.

enum SpoolerJobFate {
    JOB_FATE_WAITING = 0,    // queued, held or printing
    JOB_FATE_PRINTED = 1,    // printed: completed with its document
    JOB_FATE_CANCELLED = 2,  // cancelled by a person: not to be printed again
    JOB_FATE_FAILED = 3,     // failed, aborted or cancelled by the print system itself
    JOB_FATE_LOST = 4,       // the print system lost it (it restarted before it had stored it)
    JOB_FATE_INCOMPLETE = 5, // its document never arrived whole
    JOB_FATE_UNKNOWN = 6,    // gone from the print system, which cannot tell whether it printed
};

typedef struct {
    int fate;
    char words[768];     // in the print system's own words
    char reference[512]; // the job's reference, brought up to date (store it when it changed)
} SPOOLER_JOB_FATE;

// How far a job's document got, as the spooler knows it when it asks after the job.
enum SpoolerJobStage {
    JOB_STAGE_SENDING = 0, // its document may not have gone whole
    JOB_STAGE_SENT = 1,    // its document went whole, and the job was free to print
    JOB_STAGE_HELD = 2,    // held by the spooler from before its document went, never released:
                           // whatever became of it, it did not print
};

// The print system's own name of job `job_id` of `printer` (the number StartDocA gave), which
// names that job, and no other, across restarts of this program and of the print system. FALSE
// when there is none (the last error says why).
BOOL spooler_job_reference(LPCSTR printer, DWORD job_id, LPSTR reference, DWORD size);
// What became of the job `reference` names, at `stage` (JOB_STAGE_*) as far as the spooler knows.
// FALSE when the print system cannot be asked now (the last error says why).
BOOL spooler_job_fate(LPCSTR printer, LPCSTR reference, int stage, SPOOLER_JOB_FATE* fate);
// Cancels the job `reference` names, if it is still that job and not yet done. TRUE when it is
// cancelled or was done already.
BOOL spooler_cancel_job(LPCSTR printer, LPCSTR reference);
// Holds the job just started (before its pages), so that nothing of it prints until it is
// released: its document may go whole and still be cancelled. FALSE when it cannot be held (the
// last error says why; ERROR_NOT_SUPPORTED where the spooler holds no job back, see
// spooler_limits).
BOOL spooler_hold_job(LPCSTR printer, LPCSTR reference);
// Releases a held job to print. FALSE when it cannot be (the last error says why); the job is
// then still held, or gone: ERROR_NOT_FOUND when it was found gone and no release was asked.
BOOL spooler_release_job(LPCSTR printer, LPCSTR reference);

// Where the platform's spooler keeps the promise short that a job is held until released and
// followed until it printed: "" where it keeps it whole, else the words for the log.
const char* spooler_limits(void);

// What a printer says of itself: whether it prints now, in the print system's own words (its
// state, its reasons, its message: "stopped (paused, media-empty-error): Brak papieru").
typedef struct {
    BOOL stopped;   // it prints nothing now: stopped, paused, offline, out of paper, ...
    BOOL accepting; // it takes new jobs (a queue can refuse them while it prints those it has)
    char words[768];
    char reasons[256]; // the reasons of its state as IPP keywords, comma-separated ("" for none)
} SPOOLER_PRINTER_STATE;

// The state of `printer`; `reference`, when not NULL, names a job handed to it, which also says
// where the printer is. FALSE when the print system cannot be asked (the last error says why).
BOOL spooler_printer_state(LPCSTR printer, LPCSTR reference, SPOOLER_PRINTER_STATE* state);
