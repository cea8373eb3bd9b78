// Handing a job over exactly once, on the Windows spooler. The spooler has stored a job for good
// by the time EndDoc returns, and keeps no history: a job it no longer has was printed (or
// deleted by a person) once its document went whole. A job is known again by its number and the
// time the spooler took it, to the millisecond by the spooler's own clock: a number comes again
// only after the spooler restarts.
#include "platform/win32.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The spooler's record of job `id`, or false with the last error set.
bool read_job(LPCSTR printer, DWORD id, std::vector<BYTE>& record) {
    HANDLE handle = NULL;
    PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ACCESS_USE};
    if (!OpenPrinterA((LPSTR)printer, &handle, &defaults))
        return false;
    DWORD needed = 0;
    GetJobA(handle, id, 1, NULL, 0, &needed);
    bool read = false;
    if (needed >= sizeof(JOB_INFO_1A)) {
        record.resize(needed);
        read = GetJobA(handle, id, 1, record.data(), needed, &needed) != FALSE;
    }
    DWORD error = GetLastError();
    ClosePrinter(handle);
    SetLastError(read ? ERROR_SUCCESS : error);
    return read;
}

void stamp_of(const JOB_INFO_1A* job, char* text, size_t size) {
    const SYSTEMTIME& t = job->Submitted;
    std::snprintf(text, size, "%04u%02u%02u%02u%02u%02u%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
}

bool parse(LPCSTR reference, DWORD* id, char* stamp) {
    unsigned long number = 0;
    return std::sscanf(reference, "windows %lu %17s", &number, stamp) == 2 &&
           (*id = (DWORD)number) != 0;
}

void say(SPOOLER_JOB_FATE* fate, int kind, const char* words) {
    fate->fate = kind;
    std::snprintf(fate->words, sizeof fate->words, "%s", words);
}

} // namespace

BOOL spooler_job_reference(LPCSTR printer, DWORD job_id, LPSTR reference, DWORD size) {
    std::vector<BYTE> record;
    if (!read_job(printer, job_id, record))
        return FALSE;
    char stamp[32];
    stamp_of((const JOB_INFO_1A*)record.data(), stamp, sizeof stamp);
    if ((DWORD)std::snprintf(reference, size, "windows %lu %s", (unsigned long)job_id, stamp) >=
        size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

BOOL spooler_job_fate(LPCSTR printer, LPCSTR reference, int stage, SPOOLER_JOB_FATE* fate) {
    // A held job the spooler no longer has was deleted, or resumed and printed, by a person.
    BOOL sent = stage == JOB_STAGE_SENT;
    DWORD id = 0;
    char stamp[32] = "", now[32] = "";
    std::snprintf(fate->reference, sizeof fate->reference, "%s", reference);
    if (!parse(reference, &id, stamp)) {
        say(fate, JOB_FATE_UNKNOWN, "the spooler's name of the job cannot be read");
        return TRUE;
    }
    std::vector<BYTE> record;
    bool found = read_job(printer, id, record);
    if (!found && GetLastError() != ERROR_INVALID_PARAMETER)
        return FALSE;
    const JOB_INFO_1A* job = found ? (const JOB_INFO_1A*)record.data() : NULL;
    if (job != NULL)
        stamp_of(job, now, sizeof now);
    if (job == NULL || std::strcmp(now, stamp) != 0) {
        if (sent)
            say(fate, JOB_FATE_PRINTED, "printed: the spooler no longer has it");
        else
            say(fate, JOB_FATE_UNKNOWN,
                "the spooler no longer has it, and whether its document went whole cannot be told");
        return TRUE;
    }
    const char* words = job->pStatus && job->pStatus[0] ? job->pStatus : "in the print queue";
    if (job->Status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE))
        say(fate, JOB_FATE_PRINTED, "printed");
    else if (job->Status & JOB_STATUS_PAUSED)
        say(fate, JOB_FATE_WAITING, "held in the print queue");
    else if (job->Status & (JOB_STATUS_DELETED | JOB_STATUS_DELETING))
        say(fate, JOB_FATE_CANCELLED, "deleted from the print queue");
    else if (!sent && (job->Status & JOB_STATUS_SPOOLING))
        say(fate, JOB_FATE_INCOMPLETE, "its document never went whole");
    else
        say(fate, JOB_FATE_WAITING, words);
    return TRUE;
}

namespace {

// SetJobA's `command` on the job `reference` names, if the spooler still has that job.
BOOL control_job(LPCSTR printer, LPCSTR reference, DWORD command) {
    DWORD id = 0;
    char stamp[32] = "", now[32] = "";
    std::vector<BYTE> record;
    if (!parse(reference, &id, stamp) || !read_job(printer, id, record)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    stamp_of((const JOB_INFO_1A*)record.data(), now, sizeof now);
    if (std::strcmp(now, stamp) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE handle = NULL;
    PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ACCESS_USE};
    if (!OpenPrinterA((LPSTR)printer, &handle, &defaults))
        return FALSE;
    BOOL done = SetJobA(handle, id, 0, NULL, command);
    DWORD error = GetLastError();
    ClosePrinter(handle);
    SetLastError(error);
    return done;
}

} // namespace

BOOL spooler_cancel_job(LPCSTR printer, LPCSTR reference) {
    SPOOLER_JOB_FATE fate;
    if (!spooler_job_fate(printer, reference, JOB_STAGE_SENDING, &fate))
        return FALSE;
    if (fate.fate != JOB_FATE_WAITING && fate.fate != JOB_FATE_INCOMPLETE)
        return TRUE;
    return control_job(printer, reference, JOB_CONTROL_DELETE);
}

namespace {

// Wine's spooler hands a job to CUPS as its document ends, paused or not, and forgets it.
bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

} // namespace

const char* spooler_limits(void) {
    return under_wine() ? "under Wine the print spooler hands each job on to the print system "
                          "(CUPS) as its document ends, and neither holds it back nor follows "
                          "it: a job counts as printed once handed over, also to a stopped "
                          "queue, and a file written to just after may print in part"
                        : "";
}

// A paused job is not printed until it is resumed, also once its document is whole.
BOOL spooler_hold_job(LPCSTR printer, LPCSTR reference) {
    if (under_wine()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return control_job(printer, reference, JOB_CONTROL_PAUSE);
}

BOOL spooler_release_job(LPCSTR printer, LPCSTR reference) {
    return control_job(printer, reference, JOB_CONTROL_RESUME);
}

BOOL spooler_printer_state(LPCSTR printer, LPCSTR reference, SPOOLER_PRINTER_STATE* state) {
    (void)reference;
    HANDLE handle = NULL;
    PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ACCESS_USE};
    if (!OpenPrinterA((LPSTR)printer, &handle, &defaults))
        return FALSE;
    DWORD needed = 0;
    GetPrinterA(handle, 2, NULL, 0, &needed);
    std::vector<BYTE> record(needed >= sizeof(PRINTER_INFO_2A) ? needed : 0);
    BOOL read = !record.empty() && GetPrinterA(handle, 2, record.data(), needed, &needed);
    DWORD error = GetLastError();
    ClosePrinter(handle);
    if (!read) {
        SetLastError(error);
        return FALSE;
    }
    // The spooler says its state only in bits: named here as its own documentation names them.
    // The bits as IPP's printer-state-reasons name them too, so that a report reads the same
    // from both platforms.
    static const struct {
        DWORD bit;
        const char* words;
        const char* reason;
    } names[] = {
        {PRINTER_STATUS_PAUSED, "paused", "paused"},
        {PRINTER_STATUS_ERROR, "error", "other-error"},
        {PRINTER_STATUS_PAPER_JAM, "paper jam", "media-jam-error"},
        {PRINTER_STATUS_PAPER_OUT, "paper out", "media-empty-error"},
        {PRINTER_STATUS_PAPER_PROBLEM, "paper problem", "media-needed-error"},
        {PRINTER_STATUS_OFFLINE, "offline", "offline-report"},
        {PRINTER_STATUS_DOOR_OPEN, "door open", "door-open-error"},
        {PRINTER_STATUS_NO_TONER, "no toner", "toner-empty-error"},
        {PRINTER_STATUS_OUT_OF_MEMORY, "out of memory", "other-error"},
        {PRINTER_STATUS_USER_INTERVENTION, "user intervention required", "other-warning"},
        {PRINTER_STATUS_NOT_AVAILABLE, "not available", "offline-report"},
        {PRINTER_STATUS_TONER_LOW, "toner low", "toner-low-warning"},
        {PRINTER_STATUS_PRINTING, "printing", NULL},
    };
    const PRINTER_INFO_2A* info = (const PRINTER_INFO_2A*)record.data();
    std::string words, reasons;
    for (const auto& n : names)
        if (info->Status & n.bit) {
            words += (words.empty() ? "" : ", ") + std::string(n.words);
            if (n.reason != NULL && reasons.find(n.reason) == std::string::npos)
                reasons += (reasons.empty() ? "" : ",") + std::string(n.reason);
        }
    state->stopped = (info->Status & ~(PRINTER_STATUS_PRINTING | PRINTER_STATUS_TONER_LOW |
                                       PRINTER_STATUS_BUSY | PRINTER_STATUS_PROCESSING |
                                       PRINTER_STATUS_WAITING | PRINTER_STATUS_WARMING_UP)) != 0;
    // Windows queues every job, paused or not; the print system under Wine says itself.
    state->accepting = (info->Status & PRINTER_STATUS_PENDING_DELETION) == 0;
    std::snprintf(state->words, sizeof state->words, "%s", words.empty() ? "ready" : words.c_str());
    std::snprintf(state->reasons, sizeof state->reasons, "%s", reasons.c_str());
    return TRUE;
}
