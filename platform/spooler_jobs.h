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

// The print system's own name of job `job_id` of `printer` (the number StartDocA gave), which
// names that job, and no other, across restarts of this program and of the print system. FALSE
// when there is none (the last error says why).
BOOL spooler_job_reference(LPCSTR printer, DWORD job_id, LPSTR reference, DWORD size);
// What became of the job `reference` names. `sent` says whether its document went to the printer
// whole. FALSE when the print system cannot be asked now (the last error says why).
BOOL spooler_job_fate(LPCSTR printer, LPCSTR reference, BOOL sent, SPOOLER_JOB_FATE* fate);
// Cancels the job `reference` names, if it is still that job and not yet done. TRUE when it is
// cancelled or was done already.
BOOL spooler_cancel_job(LPCSTR printer, LPCSTR reference);

// What a printer says of itself: whether it prints now, in the print system's own words (its
// state, its reasons, its message: "stopped (paused, media-empty-error): Brak papieru").
typedef struct {
    BOOL stopped; // it prints nothing now: stopped, paused, offline, out of paper, ...
    char words[768];
} SPOOLER_PRINTER_STATE;

// The state of `printer`; `reference`, when not NULL, names a job handed to it, which also says
// where the printer is. FALSE when the print system cannot be asked (the last error says why).
BOOL spooler_printer_state(LPCSTR printer, LPCSTR reference, SPOOLER_PRINTER_STATE* state);
