// The job stream interpreter on the in-memory printer, fed any bytes. The first two bytes choose
// which page calls fail (none, StartPage or EndPage, from which call on and how often), so the
// interpreter is explored with a printer that works and with one that fails on the way.
#include "platform/portable/testing/memory_printer.h"
#include "render/print_job.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    zvp::MemoryPrinter printer;
    uint8_t plan = data[0], nth = data[1];
    if (plan & 1)
        printer.fail(zvp::PrinterCall::start_page, 1 + nth % 8, (plan >> 2) & 3);
    if (plan & 2)
        printer.fail(zvp::PrinterCall::end_page, 1 + nth / 8 % 8, (plan >> 4) & 3);
    FILE* job = fmemopen(const_cast<uint8_t*>(data + 2), size - 2, "rb");
    if (job == nullptr)
        return 0;
    HDC dc = printer.create_dc();
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
