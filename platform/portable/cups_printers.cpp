// CUPS destinations as printers. A document becomes one CUPS job whose PDF is streamed to the
// scheduler page by page as the pages end, so memory stays bounded whatever the job's length.
#include "cups_printers.h"

#include "cairo_printer.h"
#include "gdi.h"
#include "printer_system.h"

#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvp {

const char builtin_pdf_printer[] = "PDF";

namespace {

constexpr int kPrinterDpi = 600;
constexpr double kTimeoutSeconds = 60;

struct DestDeleter {
    void operator()(cups_dest_t* d) const { cupsFreeDests(1, d); }
};
using DestPtr = std::unique_ptr<cups_dest_t, DestDeleter>;

bool has_server_name(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (strcasecmp(key.c_str(), "ServerName") == 0)
            return true;
    }
    return false;
}

bool is_socket(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string home_directory() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/tmp";
}

// The destination named by LPDEST or PRINTER, as every CUPS program reads them.
const char* named_by_environment() {
    const char* name = std::getenv("LPDEST");
    if (!name || !*name)
        name = std::getenv("PRINTER");
    return name && *name ? name : nullptr;
}

bool builtin_is_default() {
    const char* named = named_by_environment();
    if (named)
        return strcasecmp(named, builtin_pdf_printer) == 0;
    return no_print_system();
}

PageSetup page_of(cups_dest_t* dest) {
    PageSetup page = a4_page(kPrinterDpi);
    cups_dinfo_t* info = cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest);
    cups_size_t size;
    if (info && cupsGetDestMediaDefault(CUPS_HTTP_DEFAULT, dest, info, 0, &size) &&
        size.width > 0 && size.length > 0) {
        // cups_size_t is in hundredths of a millimetre.
        page.width_mm = size.width / 100.0;
        page.height_mm = size.length / 100.0;
        page.margin_left_mm = size.left / 100.0;
        page.margin_right_mm = size.right / 100.0;
        page.margin_top_mm = size.top / 100.0;
        page.margin_bottom_mm = size.bottom / 100.0;
    }
    if (info)
        cupsFreeDestInfo(info);
    return page;
}

class CupsSink : public PdfSink {
  public:
    explicit CupsSink(DestPtr dest) : dest_(std::move(dest)) {}
    ~CupsSink() override { abort(); }

    bool open(const std::string& title) override {
        abort();
        error_.clear();
        http_ = cupsConnectDest(dest_.get(), CUPS_DEST_FLAGS_NONE, 30000, nullptr, nullptr, 0,
                                nullptr, nullptr);
        if (!http_)
            return fail("cannot reach the printer");
        // A scheduler that stops answering fails the document instead of stalling the spooler.
        httpSetTimeout(
            http_, kTimeoutSeconds, [](http_t*, void*) { return 0; }, nullptr);
        info_ = cupsCopyDestInfo(http_, dest_.get());
        if (!info_)
            return fail("cannot ask the printer");
        int job = 0;
        ipp_status_t status =
            cupsCreateDestJob(http_, dest_.get(), info_, &job, title.c_str(), 0, nullptr);
        job_ = job;
        if (!succeeded(status) || job <= 0)
            return fail("the printer refuses the job");
        if (cupsStartDestDocument(http_, dest_.get(), info_, job_, title.c_str(), CUPS_FORMAT_PDF,
                                  0, nullptr, 1) != HTTP_STATUS_CONTINUE)
            return fail("the printer refuses the document");
        streaming_ = true;
        return true;
    }

    bool write(const unsigned char* data, size_t size) override {
        if (streaming_ && cupsWriteRequestData(http_, reinterpret_cast<const char*>(data), size) ==
                              HTTP_STATUS_CONTINUE)
            return true;
        error_ = "cannot send the document: " + std::string(cupsLastErrorString());
        return false;
    }

    bool finish() override {
        if (!streaming_)
            return false;
        streaming_ = false;
        if (!succeeded(cupsFinishDestDocument(http_, dest_.get(), info_))) {
            error_ = "the printer did not take the document: " + std::string(cupsLastErrorString());
            return false;
        }
        job_ = 0; // the job is the printer's now
        close();
        return true;
    }

    // The half-sent document is never completed: its request is dropped with the connection,
    // and the job is cancelled over a fresh one, so no part of it is printed.
    void abort() override {
        streaming_ = false;
        close();
        if (job_ > 0)
            cupsCancelDestJob(CUPS_HTTP_DEFAULT, dest_.get(), job_);
        job_ = 0;
    }

    std::string error() const override { return error_; }

  private:
    static bool succeeded(ipp_status_t status) {
        return status < IPP_STATUS_REDIRECTION_OTHER_SITE;
    }

    bool fail(const std::string& what) {
        error_ = what + ": " + cupsLastErrorString();
        abort();
        return false;
    }

    void close() {
        if (info_)
            cupsFreeDestInfo(info_);
        if (http_)
            httpClose(http_);
        info_ = nullptr;
        http_ = nullptr;
    }

    DestPtr dest_;
    http_t* http_ = nullptr;
    cups_dinfo_t* info_ = nullptr;
    int job_ = 0;
    bool streaming_ = false;
    std::string error_;
};

DestPtr find_dest(const char* name) {
    std::string full = name ? name : "";
    std::string instance;
    size_t slash = full.find('/');
    if (slash != std::string::npos) {
        instance = full.substr(slash + 1);
        full.resize(slash);
    }
    return DestPtr(cupsGetNamedDest(CUPS_HTTP_DEFAULT, name ? full.c_str() : nullptr,
                                    instance.empty() ? nullptr : instance.c_str()));
}

class SystemPrinters : public PrinterSystem {
  public:
    bool default_printer(PrinterEntry& entry) override {
        if (builtin_is_default()) {
            entry = PrinterEntry{builtin_pdf_printer, builtin_pdf_directory()};
            return true;
        }
        DestPtr dest = find_dest(nullptr);
        if (!dest)
            return false;
        entry.name = dest->name;
        if (dest->instance)
            entry.name += std::string("/") + dest->instance;
        const char* uri = cupsGetOption("device-uri", dest->num_options, dest->options);
        entry.port = uri ? uri : "cups:" + entry.name;
        return true;
    }

    std::shared_ptr<Device> open(const std::string& name) override {
        if (strcasecmp(name.c_str(), builtin_pdf_printer) == 0 && builtin_is_default())
            return pdf_printer_device(a4_page(kPrinterDpi),
                                      pdf_directory_sink(builtin_pdf_directory()));
        DestPtr dest = find_dest(name.c_str());
        if (!dest)
            return nullptr;
        PageSetup page = page_of(dest.get());
        return pdf_printer_device(page, std::make_unique<CupsSink>(std::move(dest)));
    }
};

} // namespace

bool no_print_system() {
    const char* server = std::getenv("CUPS_SERVER");
    if (server && *server)
        return false;
    if (has_server_name("/etc/cups/client.conf") ||
        has_server_name(home_directory() + "/.cups/client.conf"))
        return false;
    if (is_socket("/run/cups/cups.sock") || is_socket("/var/run/cups/cups.sock"))
        return false;
    http_t* http = httpConnect2("localhost", 631, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED,
                                1, 1000, nullptr);
    if (http) {
        httpClose(http);
        return false;
    }
    return true;
}

std::string builtin_pdf_directory() {
    return home_directory() + "/PDF";
}

void use_system_printers() {
    set_printer_system(std::make_shared<SystemPrinters>());
}

} // namespace zvp
