// Where the printers of EnumPrintersA and CreateDCA come from: CUPS and the built-in PDF printer
// in the programs, the in-memory printer in tests.
#pragma once

#include "device.h"

#include <memory>
#include <string>

namespace zvp {

struct PrinterEntry {
    std::string name;
    std::string port;
};

class PrinterSystem {
  public:
    virtual ~PrinterSystem() = default;
    // The default printer, or false when there is none.
    virtual bool default_printer(PrinterEntry& entry) = 0;
    // A device for the named printer, or null when there is no such printer.
    virtual std::shared_ptr<Device> open(const std::string& name) = 0;
};

// Installs the printers the process sees; until one is installed there is no printer at all.
void set_printer_system(std::shared_ptr<PrinterSystem> system);

} // namespace zvp
