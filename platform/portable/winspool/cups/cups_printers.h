// The printers of a Linux desktop: the CUPS destinations, and a built-in PDF printer for machines
// without a print system.
#pragma once

#include <string>

namespace zvp {

// Name of the built-in PDF printer; PRINTER=PDF or LPDEST=PDF makes it the default.
extern const char builtin_pdf_printer[];

// Makes the CUPS destinations (and the built-in PDF printer) the process's printers.
void use_system_printers();
// Takes away what the process left on the schedulers and no job needs (called at its end).
void end_system_printers();

// True when no print system is installed or configured at all: no CUPS_SERVER, no ServerName in
// either client.conf, no scheduler socket, and no scheduler installed (its configuration folder
// or its program missing). Only then is the built-in PDF printer the default: a print system
// that is there but does not answer keeps the jobs waiting for it.
bool no_print_system();

// The page a CUPS queue prints on, as zvspool lays it out for that queue: its paper, printable
// margins and resolution. False with `why` when the queue is unknown or cannot be asked.
struct PageSetup;
bool queue_page_setup(const std::string& queue, PageSetup& page, std::string& why);

// Folder of the built-in PDF printer: $HOME/PDF.
std::string builtin_pdf_directory();

} // namespace zvp
