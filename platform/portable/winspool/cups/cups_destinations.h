// CUPS destinations as the printers' records say them, and the paper each queue prints on.
#pragma once

#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/winspool/cups/cups_connection.h"

#include <string>
#include <vector>

namespace zvp {

constexpr int kPrinterDpi = 600;

// The record of a destination: its name (with its instance), where it prints, its model and
// description, and the print server it is on when the scheduler is reached by name.
PrinterEntry describe_dest(const cups_dest_t* dest);
// Why the scheduler's answer names this destination as the default.
std::string default_reason();

// The page zvspool lays out on, and the media it asks the printer for, which are the same paper.
struct QueuePaper {
    PageSetup page = a4_page(kPrinterDpi);
    std::string media; // PWG name; "" when the queue could not be asked
};
// The paper of a queue: the media the user chose for the destination (lpoptions -o media=...),
// else the queue's default media, and only then what CUPS makes of it.
QueuePaper paper_of(cups_dest_t* dest);
// The same, from the destination's capabilities already asked for on `http`.
QueuePaper paper_of(http_t* http, cups_dest_t* dest, cups_dinfo_t* info);
// The paper of a CUPS media size (hundredths of a millimetre); false for a size without one.
bool paper_of_size(const cups_size_t& size, QueuePaper& paper);
// The paper a CUPS filter lays a job out on: the page size the job's options (media, PageSize)
// choose in the queue's PPD `ppd`, else the PPD's default, with the PPD's printable area; in the
// units the scheduler tells its clients the same paper in, so that a job laid out here is laid out
// as zvspool lays it out for that queue. Without a PPD (NULL), the size the media option names, or
// A4, printable to the edges. False with `why` when the PPD cannot be read or names no size.
bool filter_paper(const char* ppd, int num_options, cups_option_t* options, QueuePaper& paper,
                  std::string& why);
// The names in a media option: a legacy value lists sizes with trays and types ("A4,Tray1").
std::vector<std::string> media_names(const char* chosen);

} // namespace zvp
