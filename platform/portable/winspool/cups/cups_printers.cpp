// CUPS destinations as printers, and the built-in PDF printer where there is no print system.
// A document becomes one CUPS job (cups_sink), printed on the queue's paper (cups_destinations);
// what became of it the scheduler's facts tell (cups_job_fates).
#include "platform/portable/winspool/cups/cups_printers.h"

#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/cups/cups_destinations.h"
#include "platform/portable/winspool/cups/cups_sink.h"
#include "platform/portable/winspool/pdf_files.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvp {

// A name no CUPS queue can have (CUPS refuses spaces in them), so that choosing it can never
// mean a queue instead.
const char builtin_pdf_printer[] = "zvspool PDF";

namespace {

// The built-in printer's older name, which cups-pdf gives its own queue: where a CUPS queue has
// it, the queue wins.
const char older_pdf_name[] = "PDF";

bool is_socket(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool is_program(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// A scheduler is installed when both its configuration folder and its program are there.
bool scheduler_installed() {
    struct stat st;
    bool folder = stat("/etc/cups", &st) == 0 && S_ISDIR(st.st_mode);
    return folder && (is_program("/usr/sbin/cupsd") || is_program("/usr/local/sbin/cupsd"));
}

// Why the built-in PDF printer is the default, or "" when it is not.
std::string builtin_reason() {
    if (const char* variable = naming_variable()) {
        const char* value = std::getenv(variable);
        if (strcasecmp(value, builtin_pdf_printer) != 0 && strcasecmp(value, older_pdf_name) != 0)
            return {};
        return std::string("named by ") + variable;
    }
    return no_print_system() ? "no print system is installed or configured" : "";
}

// Whether `name` is the built-in PDF printer's: its own name always; its older one where the
// built-in printer is the default (named by PRINTER or LPDEST, or no print system), as it always
// was. Elsewhere PDF is a CUPS queue's name (cups-pdf's), and telling which would mean asking a
// scheduler that may not answer.
bool names_builtin(const char* name) {
    if (strcasecmp(name, builtin_pdf_printer) == 0)
        return true;
    return strcasecmp(name, older_pdf_name) == 0 && !builtin_reason().empty();
}

} // namespace

bool queue_page_setup(const std::string& queue, PageSetup& page, std::string& why) {
    DestPtr dest = find_dest(queue.c_str());
    if (!dest) {
        why = missing_dest(queue.c_str()) == Lookup::failed
                  ? std::string("the print system cannot be asked: ") + cupsLastErrorString()
                  : "the print system has no queue " + queue;
        return false;
    }
    QueuePaper paper = paper_of(dest.get());
    if (paper.media.empty()) {
        why = "the queue " + queue + " does not say its paper";
        return false;
    }
    page = paper.page;
    return true;
}

namespace {

class SystemPrinters : public PrinterSystem {
  public:
    Lookup default_printer(PrinterEntry& entry) override {
        std::string builtin = builtin_reason();
        if (!builtin.empty()) {
            entry = builtin_entry(builtin);
            return Lookup::found;
        }
        DestPtr dest = find_dest(nullptr);
        if (!dest)
            return missing_dest(nullptr);
        entry = describe_dest(dest.get());
        entry.comment = default_reason();
        default_name_ = entry.name;
        return Lookup::found;
    }

    Lookup find_printer(const std::string& name, PrinterEntry& entry) override {
        if (names_builtin(name.c_str())) {
            std::string builtin = builtin_reason();
            entry = builtin_entry(builtin.empty() ? "named" : builtin);
            return Lookup::found;
        }
        DestPtr dest = find_dest(name.c_str());
        if (!dest)
            return missing_dest(name.c_str());
        entry = describe_dest(dest.get());
        if (entry.name == default_name_)
            entry.comment = default_reason();
        return Lookup::found;
    }

    Lookup list_printers(std::vector<PrinterEntry>& all) override {
        if (no_print_system())
            return Lookup::none;
        cups_dest_t* dests = nullptr;
        int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
        if (count == 0 && !scheduler_answers())
            return Lookup::failed;
        for (int i = 0; i < count; ++i)
            if (!dests[i].instance)
                all.push_back(describe_dest(&dests[i]));
        cupsFreeDests(count, dests);
        return Lookup::found;
    }

    std::shared_ptr<Device> open(const std::string& name) override {
        if (names_builtin(name.c_str()))
            return pdf_printer_device(a4_page(kPrinterDpi),
                                      routable_sink(pdf_directory_sink(builtin_pdf_directory())));
        DestPtr dest = find_dest(name.c_str());
        if (!dest) {
            if (missing_dest(name.c_str()) == Lookup::none)
                SetLastError(ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
        QueuePaper paper = paper_of(dest.get());
        return pdf_printer_device(paper.page,
                                  routable_sink(cups_document_sink(std::move(dest), paper.media)));
    }

    // Documents of data go to CUPS queues, whose filters render them; the built-in PDF printer
    // takes only what it draws itself.
    std::unique_ptr<PdfSink> open_data(const std::string& name,
                                       const std::string& datatype) override {
        std::string format, options;
        if (names_builtin(name.c_str()) || !datatype_parts(datatype, format, options)) {
            SetLastError(ERROR_INVALID_DATATYPE);
            return nullptr;
        }
        DestPtr dest = find_dest(name.c_str());
        if (!dest) {
            if (missing_dest(name.c_str()) == Lookup::none)
                SetLastError(ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
        // A queue whose scheduler cannot render the type would take a job and then refuse its
        // document: asked first, it is refused before any job is made. A scheduler that cannot
        // be asked is tried.
        HttpPtr http;
        Patience patience;
        InfoPtr info = dest_info(dest.get(), http, &patience);
        if (info && !cupsCheckDestSupported(http.get(), dest.get(), info.get(), "document-format",
                                            format.c_str())) {
            SetLastError(ERROR_INVALID_DATATYPE);
            return nullptr;
        }
        QueuePaper paper = info ? paper_of(http.get(), dest.get(), info.get()) : QueuePaper();
        return cups_data_sink(std::move(dest), paper.media, format, options);
    }

    Lookup job(const std::string& printer, int id, JobEntry& job) override {
        return is_builtin(printer) ? pdf_job(id, job) : cups_job(id, job);
    }

    Lookup reference(const std::string& printer, int id, std::string& reference) override {
        reference = is_builtin(printer) ? pdf_job_reference(id) : remembered_reference(id);
        return reference.empty() ? Lookup::none : Lookup::found;
    }

    Lookup fate(const std::string& printer, const std::string& reference, int stage,
                JobFate& fate) override {
        if (is_pdf_reference(reference)) {
            fate = pdf_job_fate(reference, stage);
            return Lookup::found;
        }
        (void)printer;
        return cups_job_fate(reference, stage, fate);
    }

    bool cancel(const std::string& printer, const std::string& reference) override {
        (void)printer;
        // A PDF document being written goes with the program that writes it; a held one is
        // dropped.
        if (is_pdf_reference(reference)) {
            pdf_cancel_job(reference);
            return true;
        }
        return cancel_cups_job(reference);
    }

    bool hold(const std::string& printer, const std::string& reference) override {
        (void)printer;
        return is_pdf_reference(reference) ? pdf_hold_job(reference) : hold_cups_job(reference);
    }

    bool release(const std::string& printer, const std::string& reference) override {
        (void)printer;
        return is_pdf_reference(reference) ? pdf_release_job(reference)
                                           : release_cups_job(reference);
    }

    Lookup printer_state(const std::string& printer, const std::string& reference,
                         PrinterState& state) override {
        if (is_builtin(printer) || is_pdf_reference(reference)) {
            state.words = "ready (the built-in PDF printer)";
            return Lookup::found;
        }
        CupsReference ref;
        if (!parse_reference(reference, ref)) {
            DestPtr dest = find_dest(printer.c_str());
            if (!dest)
                return missing_dest(printer.c_str());
            ref.server = scheduler_server();
            ref.printer_uri = printer_uri_of(dest.get());
        }
        return cups_printer_state(ref, state);
    }

  private:
    static bool is_builtin(const std::string& printer) { return names_builtin(printer.c_str()); }

    std::string default_name_; // the default destination last found

    static PrinterEntry builtin_entry(const std::string& reason) {
        return PrinterEntry{builtin_pdf_printer, builtin_pdf_directory(), "built-in PDF printer",
                            reason, ""};
    }
};

} // namespace

bool no_print_system() {
    const char* server = std::getenv("CUPS_SERVER");
    if (server && *server)
        return false;
    if (!config_value("/etc/cups/client.conf", "ServerName").empty() ||
        !config_value(home_directory() + "/.cups/client.conf", "ServerName").empty())
        return false;
    if (is_socket("/run/cups/cups.sock") || is_socket("/var/run/cups/cups.sock"))
        return false;
    return !scheduler_installed();
}

std::string builtin_pdf_directory() {
    return home_directory() + "/PDF";
}

void use_system_printers() {
    set_printer_system(std::make_shared<SystemPrinters>());
}

void end_system_printers() {
    retire_markers(true);
}

} // namespace zvp
