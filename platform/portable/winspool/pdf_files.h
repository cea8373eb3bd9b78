// PDF documents as files: the built-in PDF printer's folder, and single files (zv-render).
#pragma once

#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/winspool/printer_system.h"

#include <memory>
#include <string>

namespace zvp {

// A PDF file written under a temporary name and renamed into place when the document ends, so a
// document that fails never leaves half a file behind.
std::unique_ptr<PdfSink> pdf_file_sink(std::string path);

// PDF files in `directory` (created when missing), one per document, named after the document
// and the time it started: "ZV: Printing" at 14:03:59 on 2026-12-07 becomes
// ZV_Printing-20261207-140359-1.pdf, the last number the first that names no file when the
// document starts. No file is ever overwritten.
std::unique_ptr<PdfSink> pdf_directory_sink(std::string directory);

// The sink `own`, whose documents may also be printed to a file instead (DOCINFOA's
// lpszOutput): that document is written as pdf_file_sink writes it, and the next one goes to `own`
// again unless it names a file too.
std::unique_ptr<PdfSink> routable_sink(std::unique_ptr<PdfSink> own);

// The file a document of a directory sink goes to, by its job id, and whether it is written
// (`written` may be null); "" for a document not (or no longer) known. The most recent documents
// are remembered.
std::string pdf_file_of_job(int id, bool* written);

// The jobs of the built-in PDF printer, as the spooler asks after them: a job's reference names
// its file ("pdf " and the path).
bool is_pdf_reference(const std::string& reference);
std::string pdf_job_reference(int id);
// A job whose file is written is printed.
Lookup pdf_job(int id, JobEntry& job);
// A document is done once its file is in place; a file that is not there was never written whole,
// unless its writing was seen to end (JOB_STAGE_SENT: a person may have moved it since). A held
// one waits while this process holds it; one held by a process gone was never placed.
JobFate pdf_job_fate(const std::string& reference, int stage);
// Holds the document being written for the job `reference` names: when it ends it is written
// whole but given its name only on its release, so it can still be dropped. A held document that
// this process does not release is never placed (a stopped program's is gone with it).
bool pdf_hold_job(const std::string& reference);
bool pdf_release_job(const std::string& reference);
// Drops a held document; a placed one stays (it is printed).
void pdf_cancel_job(const std::string& reference);

} // namespace zvp
