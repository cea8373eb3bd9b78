// One document as one CUPS job. The job is made when the document starts; the document is
// gathered in a file of no name, and sent in one request of known length when it ends.
#pragma once

#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/winspool/cups/cups_connection.h"

#include <memory>
#include <string>

namespace zvp {

// The job's options: the destination's own (what the user set with lpoptions, and the queue's
// defaults), as lp sends them, but not what describes the printer, and the media laid out for.
struct JobOptions {
    int count = 0;
    cups_option_t* options = nullptr;
    JobOptions(const cups_dest_t* dest, const std::string& media, const std::string& extra = "");
    ~JobOptions();
    JobOptions(const JobOptions&) = delete;
    JobOptions& operator=(const JobOptions&) = delete;
};

// The sink of a document printed on `dest`, on `media` (a PWG name; "" for the queue's own).
std::unique_ptr<PdfSink> cups_document_sink(DestPtr dest, std::string media);

// A data type of StartDocPrinterA's, a MIME type with parameters ("application/vnd.zv;
// zv-offset=2.5,-1"), as the document format and the job's options ("zv-offset=2.5,-1"). False
// for anything else: a type is type/subtype, a parameter name=value, its name of lower-case
// letters, digits and dashes, its value without blanks, quotes, backslashes or semicolons.
bool datatype_parts(const std::string& datatype, std::string& format, std::string& options);

// The sink of a document of the MIME type `format`, which the scheduler renders with its own
// filters, its job made with `options` (as cupsParseOptions reads them).
std::unique_ptr<PdfSink> cups_data_sink(DestPtr dest, std::string media, std::string format,
                                        std::string options);

} // namespace zvp
