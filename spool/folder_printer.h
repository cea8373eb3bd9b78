// The printer a folder prints on (its zvspool.conf's, else the user's default printer), opened
// with the office's set-up of its page, and the description every printed document starts with.
#pragma once

#include "platform/win32.h"
#include "spool/spool_options.h"

#include <cstddef>
#include <string>

// The name the print queue shows for every document the system prints.
#define ZV_DOCUMENT_NAME "ZV: Printing"

// A fresh copy of the document description: named "ZV: Printing", no output file, no data type.
DOCINFOA zv_document_info(void);

// The folder's printer as its spooler last opened it, and what the log last said of it.
struct FolderPrinter {
    std::string name;         // of the printer last opened ("" before the first)
    std::string said_default; // the default printer as the log last said it
    std::string said_fit;     // the scale the log last said pages are fitted at
    std::string said_fonts;   // the printer whose fonts were last looked at
};

// Says once per printer, as a warning, what its fonts cannot keep: a pitch that comes out wider
// or narrower than the grid, bold that comes out regular (a printer or system without "Courier
// New" substitutes a face that may keep neither).
void note_printer_fonts(HDC dc, FolderPrinter* printer);

// The office's set-up of a page on `dc`: moved by the offset, and made smaller where it must to
// fit the columns asked for (never larger). Returns the scale (1 for the exact grid).
double lay_out_office_page(HDC dc, const SpoolOptions& o);

// A device context for the folder's printer, its page moved by the offset and scaled to the
// columns the options ask for, owned by the caller (DeleteDC); NULL when there is no usable
// printer (the last error says why: ERROR_FILE_NOT_FOUND when no default printer is set). The
// printer's name goes in `printer`.
HDC open_default_printer_dc(FolderPrinter* printer);

// The folder's printer opened for documents of data (OpenPrinterA), as open_default_printer_dc
// opens it for drawing; ClosePrinter is the caller's.
HANDLE open_folder_printer(FolderPrinter* printer);

// Why open_default_printer_dc found no printer, for the log: with the printers there are, and
// how to choose one, when the printer is unknown or none is the default.
void explain_missing_printer(char* text, size_t size);

// The printers there are, as the print system lists them (CUPS: as `lpstat -e` does), as one
// phrase: "biuro, magazyn" ("none" when there is none, "" when they cannot be listed).
std::string list_printer_names(void);

// What stands between the folder's printer and a new job now.
struct PrinterCheck {
    std::string name;            // the printer the folder prints on ("" when there is none)
    std::string state = "ready"; // PRINTER_* below
    std::string words;           // what the log says of it
    std::string reasons;         // its state's reasons, as IPP keywords ("media-empty-error")
};
#define PRINTER_READY "ready"
#define PRINTER_NONE "no-printer"         // no printer is named and none is the default
#define PRINTER_UNKNOWN "unknown-printer" // the printer named is not there
#define PRINTER_UNREACHABLE "unreachable" // the print system cannot be asked
#define PRINTER_STOPPED "printer-stopped" // it takes jobs, and prints none now
#define PRINTER_REFUSES "printer-refuses" // it takes no jobs
PrinterCheck check_folder_printer(void);
// Whether the printer holds the jobs handed to it: stopped, gone or out of reach (a queue that
// takes no new jobs still prints those it has).
bool printer_holds_jobs(const PrinterCheck& printer);
// The same of the printer `name` (a job handed to it waits on it).
PrinterCheck check_printer(const std::string& name);

// Which printer is the default, where its documents go and how it was chosen, as one phrase for
// the log; or why there is none. Returns 0 when there is a default printer, 1 when there is none,
// 2 when the print system cannot be asked.
int describe_default_printer(char* text, size_t size);

// Says in the log which printer is the default when it is not the one said last. The first call
// only takes note: the start-up line says the first printer.
void note_default_printer(FolderPrinter* printer);

// What the printer says of one of its jobs: its status bits, its status in words (or the bits when
// it has no words) and when it was submitted (packed as yyyymmddhhmmss, UTC). 0 when the printer
// knows the job, 1 when not (the last error says why).
int describe_job(const char* printer, DWORD job_id, DWORD* status, char* text, size_t size,
                 long long* submitted);
