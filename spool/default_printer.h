// The user's default printer and the description every printed document starts with.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// The name the print queue shows for every document the system prints.
#define ZV_DOCUMENT_NAME "ZV: Printing"

// A fresh copy of the document description: named "ZV: Printing", no output file, no data type.
DOCINFOA zv_document_info(void);

// A device context for the default printer, owned by the caller (DeleteDC), or NULL when there is
// no usable default printer (the last error says why: ERROR_FILE_NOT_FOUND when there is none).
HDC open_default_printer_dc(void);

// Why open_default_printer_dc found no printer, for the log.
void explain_missing_printer(char* text, size_t size);

// The name of the printer open_default_printer_dc last opened ("" before the first).
const char* last_printer_name(void);

// Which printer is the default, where its documents go and how it was chosen, as one phrase for
// the log; or why there is none. Returns 0 when there is a default printer, 1 when there is none,
// 2 when the print system cannot be asked.
int describe_default_printer(char* text, size_t size);

// Says in the log which printer is the default when it is not the one said last. The first call
// only takes note: the start-up line says the first printer.
void note_default_printer(void);
// The default printer as note_default_printer last said it ("" before the first).
const char* said_default_printer(void);

// What the printer says of one of its jobs: its status bits, its status in words (or the bits when
// it has no words) and when it was submitted (packed as yyyymmddhhmmss, UTC). 0 when the printer
// knows the job, 1 when not (the last error says why).
int describe_job(const char* printer, DWORD job_id, DWORD* status, char* text, size_t size,
                 long long* submitted);
