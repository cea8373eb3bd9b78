// Where the printers of EnumPrintersA, OpenPrinterA and CreateDCA come from: CUPS and the built-in
// PDF printer in the programs, the in-memory printer in tests.
#pragma once

#include "platform/portable/gdi32/device.h"
#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/handles.h"
#include "platform/spooler_jobs.h"

#include <memory>
#include <string>
#include <vector>

namespace zvp {

struct PrinterEntry {
    std::string name;
    std::string port;    // where the documents go: a device URI, a folder, ...
    std::string driver;  // what kind of printer this is
    std::string comment; // for the default printer: how it was chosen
    std::string server;  // the print server that holds the queue; "" for this computer's
};

// `failed`: the printer system could not be asked; the thread's last error says why.
enum class Lookup { found, none, failed };

// A job as GetJobA reports it.
struct JobEntry {
    DWORD status = 0;        // JOB_STATUS_* bits; 0 is waiting in the queue
    std::string status_text; // in the printer system's words
    std::string document;
    long long submitted = 0; // seconds since 1970, by the printer system's clock
};

// What became of a job, as spooler_job_fate tells it.
struct JobFate {
    int fate = JOB_FATE_WAITING;
    std::string words;
    std::string reference; // brought up to date
};

// A printer's state, as spooler_printer_state tells it.
struct PrinterState {
    bool stopped = false;
    bool accepting = true;
    std::string words;
    std::string reasons; // its state's reasons as IPP keywords, comma-separated ("" for none)
};

class PrinterSystem {
  public:
    virtual ~PrinterSystem() = default;
    virtual Lookup default_printer(PrinterEntry& entry) = 0;
    virtual Lookup find_printer(const std::string& name, PrinterEntry& entry) = 0;
    // Every printer there is, as `lpstat -e` lists them.
    virtual Lookup list_printers(std::vector<PrinterEntry>& all) {
        PrinterEntry only;
        Lookup found = default_printer(only);
        if (found == Lookup::found)
            all.push_back(only);
        return found;
    }
    // A device for the named printer, or null with the last error set.
    virtual std::shared_ptr<Device> open(const std::string& name) = 0;
    // Where a document of data of `datatype` (StartDocPrinterA's) for the named printer goes, or
    // null with the last error set (ERROR_INVALID_DATATYPE where the printer cannot take it).
    virtual std::unique_ptr<PdfSink> open_data(const std::string& name,
                                               const std::string& datatype) {
        (void)name;
        (void)datatype;
        SetLastError(ERROR_INVALID_DATATYPE);
        return nullptr;
    }
    // A job of the named printer, by the id StartDocA gave it.
    virtual Lookup job(const std::string& printer, int id, JobEntry& job) = 0;

    // Handing a job over exactly once (platform/spooler_jobs.h): the job's lasting name, its
    // fate, and cancelling it.
    virtual Lookup reference(const std::string& printer, int id, std::string& reference) = 0;
    virtual Lookup fate(const std::string& printer, const std::string& reference, int stage,
                        JobFate& fate) = 0;
    virtual bool cancel(const std::string& printer, const std::string& reference) = 0;
    // Holding a job back from printing until it is released (spooler_hold_job).
    virtual bool hold(const std::string& printer, const std::string& reference) = 0;
    virtual bool release(const std::string& printer, const std::string& reference) = 0;
    // The printer's state; `reference` ("" when none) names a job handed to it.
    virtual Lookup printer_state(const std::string& printer, const std::string& reference,
                                 PrinterState& state) {
        (void)printer;
        (void)reference;
        state.words = "ready";
        return Lookup::found;
    }
};

// Installs the printers the process sees; until one is installed there is no printer at all.
void set_printer_system(std::shared_ptr<PrinterSystem> system);

// A printer opened with OpenPrinterA.
struct OpenPrinter {
    PrinterEntry entry;
    std::shared_ptr<PdfSink> document; // the document StartDocPrinterA started, while it is open
};

// The print spooler's state: the printers the process sees, and the printers it has open.
struct Winspool {
    std::shared_ptr<PrinterSystem> system;
    HandleTable<OpenPrinter> printers{HandleKind::printer};
};
Winspool& winspool();

} // namespace zvp
