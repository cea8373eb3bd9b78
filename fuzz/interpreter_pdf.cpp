// The job stream interpreter on the real PDF printer (real fonts, real PDF writing), with the
// document's bytes thrown away as they come.
#include "platform/portable/gdi32/printer_device.h"
#include "render/print_job.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

class DiscardingSink : public zvp::PdfSink {
  public:
    bool open(const std::string&) override { return true; }
    bool write(const unsigned char*, size_t) override { return true; }
    bool finish() override { return true; }
    void abort() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* job = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (job == nullptr)
        return 0;
    HDC dc = zvp::create_pdf_printer_dc(zvp::a4_page(600), std::make_unique<DiscardingSink>());
    DOCINFOA doc{};
    doc.cbSize = sizeof doc;
    doc.lpszDocName = "ZV: Printing";
    if (StartDocA(dc, &doc) > 0) {
        JobPrintState state;
        print_job_stream(dc, job, NULL, &state);
        EndDoc(dc);
    }
    DeleteDC(dc);
    std::fclose(job);
    return 0;
}
