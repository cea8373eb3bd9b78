// Printers that make files: a document as one PDF (to a file or any byte sink, see pdf/), or each
// page as a PNG image (Cairo). Device units are the printer's dots; the origin is the printable
// area's top left.
#pragma once

#include "platform/portable/include/windows.h"

#include <functional>
#include <memory>
#include <string>

namespace zvp {

struct PageSetup {
    double width_mm = 210; // the sheet
    double height_mm = 297;
    double margin_left_mm = 0; // unprintable borders
    double margin_top_mm = 0;
    double margin_right_mm = 0;
    double margin_bottom_mm = 0;
    int dpi = 600;
};

PageSetup a4_page(int dpi);
PageSetup letter_page(int dpi);

struct DeviceCaps;
// What GetDeviceCaps reports for a printer with this paper.
DeviceCaps printer_caps(const PageSetup& page);

// Where a PDF document's bytes go. `write` is called as pages end; `finish` once the document is
// complete (its result is EndDoc's); `abort` when the document is abandoned.
class PdfSink {
  public:
    virtual ~PdfSink() = default;
    virtual bool open(const std::string& title) = 0;
    virtual bool write(const unsigned char* data, size_t size) = 0;
    virtual bool finish() = 0;
    virtual void abort() = 0;
    // Why the last call failed, for messages; "" when the sink has nothing to say.
    virtual std::string error() const { return {}; }
    // The print system's number for the document opened last (StartDocA's result).
    virtual int job_id() const { return 1; }
    // Where the next document goes: to the printer (""), or into the file `path` (DOCINFOA's
    // lpszOutput). False when this sink cannot write to a file.
    virtual bool print_to_file(const std::string& path) { return path.empty(); }

    // Asked while the sink waits on a slow printer: false gives up the document.
    std::function<bool()> keep_going;
};

// A device context printing PDF documents into `sink` (one document per StartDocA).
HDC create_pdf_printer_dc(const PageSetup& page, std::unique_ptr<PdfSink> sink);
// A device context printing each page as PNG: `base` + "-N.png", N counting from 1 per document.
HDC create_png_printer_dc(const PageSetup& page, std::string base);

class Device;
// The device behind create_pdf_printer_dc, for printer systems that make their own contexts.
std::shared_ptr<Device> pdf_printer_device(const PageSetup& page, std::unique_ptr<PdfSink> sink);

} // namespace zvp
