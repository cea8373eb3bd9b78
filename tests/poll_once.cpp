// Polls the spool directory of the working directory once, on the system's default printer, and
// exits with the poll's result (0: every job printed, 1: a job was kept).
//   zv_poll_once --abandon   instead starts a document of one page on the default printer and
//                            abandons it, exiting 0 when the printer took the abandonment.
#include "platform/portable/cups_printers.h"
#include "spool/default_printer.h"
#include "spool/poller.h"

#include <cstring>

static int abandon_a_document() {
    HDC dc = open_default_printer_dc();
    if (!dc)
        return 2;
    DOCINFOA doc = zv_document_info();
    int result = 2;
    if (StartDocA(dc, &doc) > 0 && StartPage(dc) > 0) {
        TextOutA(dc, 0, 0, "never printed", 13);
        EndPage(dc);
        result = AbortDoc(dc) > 0 ? 0 : 1;
    }
    DeleteDC(dc);
    return result;
}

int main(int argc, char** argv) {
    zvp::use_system_printers();
    if (argc > 1 && std::strcmp(argv[1], "--abandon") == 0)
        return abandon_a_document();
    return poll_spool_directory(nullptr);
}
