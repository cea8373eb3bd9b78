// Printing one document: the one place where a document is started (StartDocA), given its pages
// and ended (EndDoc), or abandoned (AbortDoc) when a step fails, for the spooler's jobs, the
// archive's copies, the test sheet, zv-render and zvtopdf; and the same for a document of data the
// printer takes as it is (StartDocPrinterA, WritePrinter, EndDocPrinter, AbortPrinter).
#pragma once

#include "platform/win32.h"

#include <functional>

enum DocumentEnd {
    DOCUMENT_WHOLE,       // EndDoc took it: the printer has it whole
    DOCUMENT_NOT_STARTED, // StartDocA failed: there is no job
    DOCUMENT_ABANDONED,   // a step failed and the document was abandoned: no whole job of it
    DOCUMENT_END_FAILED,  // EndDoc failed: the printer may still have it whole
};

// What a document does between its start and its end; each is 0 to go on.
struct DocumentSteps {
    // Once the document has started as job `job_id`, before its pages (may be empty).
    std::function<int(HDC dc, int job_id)> started;
    // Its pages, all of them.
    std::function<int(HDC dc)> pages;
};

// Prints one document on `dc`, which stays the caller's; `output` is a file to print into, or
// NULL. `job_id` gets the job StartDocA made (0 for none). Where it did not end whole, the last
// error of the call that failed is kept for the caller.
DocumentEnd print_document(HDC dc, const char* output, const DocumentSteps& steps, int* job_id);

// What a document of data does between its start and its end; each is 0 to go on.
struct DataSteps {
    // Once the document has started as job `job_id`, before its data (may be empty).
    std::function<int(int job_id)> started;
    // Its data, all of it, written with WritePrinter.
    std::function<int(HANDLE printer)> data;
};

// Sends one document of `datatype` to `printer` (OpenPrinterA's, which stays the caller's), as
// print_document prints one.
DocumentEnd send_document(HANDLE printer, const char* datatype, const DataSteps& steps,
                          int* job_id);
