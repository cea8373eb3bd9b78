// Polls the spool directory of the working directory once, on the system's default printer, and
// exits with the poll's result (0: every job printed, 1: a job was kept).
#include "platform/portable/cups_printers.h"
#include "spool/poller.h"

int main() {
    zvp::use_system_printers();
    return poll_spool_directory(nullptr);
}
