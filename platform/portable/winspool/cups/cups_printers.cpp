// CUPS destinations as printers. A document becomes one CUPS job whose PDF is streamed to the
// scheduler page by page as the pages end, so memory stays bounded whatever the job's length.
#include "platform/portable/winspool/cups/cups_printers.h"

#include "platform/portable/gdi32/dc.h"
#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/cups/cups_job_fates.h"
#include "platform/portable/winspool/pdf_files.h"
#include "platform/portable/winspool/printer_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
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

struct HttpDeleter {
    void operator()(http_t* h) const { httpClose(h); }
};
using HttpPtr = std::unique_ptr<http_t, HttpDeleter>;

struct InfoDeleter {
    void operator()(cups_dinfo_t* i) const { cupsFreeDestInfo(i); }
};
using InfoPtr = std::unique_ptr<cups_dinfo_t, InfoDeleter>;

// The first word of a line that starts with `key` in a CUPS configuration file, or "".
std::string config_value(const std::string& path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, value;
        words >> first >> value;
        if (strcasecmp(first.c_str(), key) == 0)
            return value.empty() ? std::string("-") : value;
    }
    return {};
}

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

std::string home_directory() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/tmp";
}

// The variable that names the destination, as every CUPS program reads them, or null.
const char* naming_variable() {
    for (const char* variable : {"LPDEST", "PRINTER"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return variable;
    }
    return nullptr;
}

// Why the built-in PDF printer is the default, or "" when it is not.
std::string builtin_reason() {
    if (const char* variable = naming_variable()) {
        if (strcasecmp(std::getenv(variable), builtin_pdf_printer) != 0)
            return {};
        return std::string("named by ") + variable;
    }
    return no_print_system() ? "no print system is installed or configured" : "";
}

// Why the scheduler's answer names this destination as the default.
std::string default_reason() {
    if (const char* variable = naming_variable())
        return std::string("named by ") + variable;
    if (!config_value(home_directory() + "/.cups/lpoptions", "Default").empty() ||
        !config_value("/etc/cups/lpoptions", "Default").empty())
        return "the default set with lpoptions";
    return "the print system's default printer";
}

// How long a connection waits on a silent scheduler: a minute, or until the program is asked to
// end (the printer's abort procedure says stop). CUPS asks every second while nothing moves.
struct Patience {
    std::function<bool()> keep_going;
    int waited = 0;
};

int wait_or_give_up(http_t*, void* data) {
    auto* p = static_cast<Patience*>(data);
    if (p->keep_going && !p->keep_going())
        return 0;
    return ++p->waited < kTimeoutSeconds;
}

void be_patient(http_t* http, Patience* patience) {
    httpSetTimeout(http, 1.0, wait_or_give_up, patience);
}

// A connection to the scheduler (the one lp talks to) that gives up on a silent scheduler.
HttpPtr connect_scheduler(Patience* patience) {
    HttpPtr http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              30000, nullptr));
    if (http)
        be_patient(http.get(), patience);
    return http;
}

std::string server_name() {
    std::string server = cupsServer();
    if (!server.empty() && server[0] != '/')
        server += ":" + std::to_string(ippPort());
    return server;
}

// Connects to `address` within `timeout_ms`; 0, or the errno of the failure.
int try_connect(const http_addr_t& address, int timeout_ms) {
    int fd = socket(httpAddrFamily(const_cast<http_addr_t*>(&address)),
                    SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    int error = 0;
    if (connect(fd, &address.addr, httpAddrLength(&address)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t length = sizeof error;
            if (poll(&p, 1, timeout_ms) != 1)
                error = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    close(fd);
    return error;
}

// Whether the scheduler can be reached; when not, the last error says why in the system's words
// ("No such file or directory" for a missing socket, "Connection refused", ...).
bool scheduler_answers() {
    std::string port = std::to_string(ippPort());
    std::unique_ptr<http_addrlist_t, void (*)(http_addrlist_t*)> addresses(
        httpAddrGetList(cupsServer(), AF_UNSPEC, port.c_str()), httpAddrFreeList);
    int error = 0;
    for (http_addrlist_t* a = addresses.get(); a; a = a->next)
        if ((error = try_connect(a->addr, 5000)) == 0)
            return true;
    std::string why = addresses ? std::strerror(error) : "no such host";
    set_last_error_message("cannot reach the print system (" + server_name() + "): " + why);
    return false;
}

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

// Why a destination was not found: the scheduler is out of reach (failed), or there is no such
// destination (none, or failed with the reason when a variable names one that does not exist).
Lookup missing_dest(const char* name) {
    if (!scheduler_answers())
        return Lookup::failed;
    if (!name) {
        if (const char* variable = naming_variable()) {
            set_last_error_message(std::string(variable) + " names " + std::getenv(variable) +
                                   ", which the print system does not know");
            return Lookup::failed;
        }
    }
    return Lookup::none;
}

PrinterEntry describe(const cups_dest_t* dest) {
    PrinterEntry e;
    e.name = dest->name;
    if (dest->instance)
        e.name += std::string("/") + dest->instance;
    const char* port = cupsGetOption("device-uri", dest->num_options, dest->options);
    if (!port)
        port = cupsGetOption("printer-uri-supported", dest->num_options, dest->options);
    e.port = port ? port : "cups:" + e.name;
    const char* model = cupsGetOption("printer-make-and-model", dest->num_options, dest->options);
    e.driver = model ? model : "CUPS";
    const char* info = cupsGetOption("printer-info", dest->num_options, dest->options);
    e.comment = info ? info : "";
    // A scheduler reached over a socket is this computer's; one named by host is a print server,
    // and the queue's URIs are its own (ipp://localhost/... there), not where its documents go.
    const char* server = cupsServer();
    if (server && server[0] != '/') {
        e.server = server;
        if (!cupsGetOption("device-uri", dest->num_options, dest->options))
            e.port.clear();
    }
    return e;
}

CupsServer scheduler_server() {
    return CupsServer{cupsServer(), ippPort()};
}

// The server a URI names.
CupsServer server_of_uri(const char* uri) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (!uri ||
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return scheduler_server();
    return CupsServer{host, port};
}

// The destination's capabilities, asked of the scheduler first (which knows every queue, also
// when it is reached by address) and then over the destination's own connection (printers found
// on the network). `http` receives the connection the answer came over, `server` whom it is to.
InfoPtr dest_info(cups_dest_t* dest, HttpPtr& http, Patience* patience,
                  CupsServer* server = nullptr) {
    http = connect_scheduler(patience);
    if (server)
        *server = scheduler_server();
    if (http)
        if (cups_dinfo_t* info = cupsCopyDestInfo(http.get(), dest))
            return InfoPtr(info);
    http.reset(
        cupsConnectDest(dest, CUPS_DEST_FLAGS_NONE, 30000, nullptr, nullptr, 0, nullptr, nullptr));
    if (http) {
        if (server)
            *server = server_of_uri(
                cupsGetOption("printer-uri-supported", dest->num_options, dest->options));
        be_patient(http.get(), patience);
        if (cups_dinfo_t* info = cupsCopyDestInfo(http.get(), dest))
            return InfoPtr(info);
    }
    return nullptr;
}

// A media size by any of its names: PWG ("na_letter_8.5x11in"), legacy ("letter") or, as
// lpoptions writes them for queues with a PPD, the PPD's ("Letter").
bool media_by_name(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, const char* name,
                   cups_size_t& size) {
    if (cupsGetDestMediaByName(http, dest, info, name, CUPS_MEDIA_FLAGS_DEFAULT, &size))
        return true;
    pwg_media_t* pwg = pwgMediaForPPD(name);
    return pwg && pwg->pwg &&
           cupsGetDestMediaByName(http, dest, info, pwg->pwg, CUPS_MEDIA_FLAGS_DEFAULT, &size);
}

// The paper the queue itself prints on: the media the user chose for the destination
// (lpoptions -o media=...), else the queue's default media, and only then what
// cupsGetDestMediaDefault makes of it (which answers Letter for a queue without a media option).
bool queue_media(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, cups_size_t& size) {
    if (const char* chosen = cupsGetOption("media", dest->num_options, dest->options)) {
        // Legacy values list media with trays and types ("A4,Tray1"); the size is one of them.
        std::istringstream names(chosen);
        std::string name;
        while (std::getline(names, name, ','))
            if (media_by_name(http, dest, info, name.c_str(), size))
                return true;
    }
    if (ipp_attribute_t* media = cupsFindDestDefault(http, dest, info, CUPS_MEDIA)) {
        const char* name = ippGetString(media, 0, nullptr);
        if (name && media_by_name(http, dest, info, name, size))
            return true;
    }
    return cupsGetDestMediaDefault(http, dest, info, CUPS_MEDIA_FLAGS_DEFAULT, &size) != 0;
}

// The page zvspool lays out on, and the media it asks the printer for, which are the same paper.
struct QueuePaper {
    PageSetup page = a4_page(kPrinterDpi);
    std::string media; // PWG name; "" when the queue could not be asked
};

QueuePaper paper_of(cups_dest_t* dest) {
    QueuePaper paper;
    HttpPtr http;
    Patience patience;
    InfoPtr info = dest_info(dest, http, &patience);
    cups_size_t size;
    if (info && queue_media(http.get(), dest, info.get(), size) && size.width > 0 &&
        size.length > 0) {
        // cups_size_t is in hundredths of a millimetre.
        PageSetup& page = paper.page;
        page.width_mm = size.width / 100.0;
        page.height_mm = size.length / 100.0;
        page.margin_left_mm = size.left / 100.0;
        page.margin_right_mm = size.right / 100.0;
        page.margin_top_mm = size.top / 100.0;
        page.margin_bottom_mm = size.bottom / 100.0;
        paper.media = size.media;
    }
    return paper;
}

// The job's options: the destination's own (what the user set with lpoptions, and the queue's
// defaults), as lp sends them, but not what describes the printer, and the media laid out for.
struct JobOptions {
    int count = 0;
    cups_option_t* options = nullptr;
    JobOptions(const cups_dest_t* dest, const std::string& media) {
        for (int i = 0; i < dest->num_options; ++i) {
            const char* name = dest->options[i].name;
            if (std::strncmp(name, "printer-", 8) == 0 || std::strncmp(name, "marker-", 7) == 0 ||
                std::strcmp(name, "device-uri") == 0)
                continue;
            count = cupsAddOption(name, dest->options[i].value, count, &options);
        }
        if (!media.empty())
            count = cupsAddOption("media", media.c_str(), count, &options);
    }
    ~JobOptions() { cupsFreeOptions(count, options); }
    JobOptions(const JobOptions&) = delete;
    JobOptions& operator=(const JobOptions&) = delete;
};

// What the scheduler says of a job this process made, in GetJobA's terms.
Lookup cups_job(int id, JobEntry& job) {
    std::string reference = remembered_reference(id);
    if (reference.empty())
        return Lookup::none;
    JobFate fate;
    if (cups_job_fate(reference, true, fate) == Lookup::failed)
        return Lookup::failed;
    static const DWORD status[] = {0,
                                   JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE,
                                   JOB_STATUS_DELETED,
                                   JOB_STATUS_ERROR,
                                   JOB_STATUS_ERROR | JOB_STATUS_RESTART,
                                   JOB_STATUS_ERROR,
                                   JOB_STATUS_ERROR};
    job.status = status[fate.fate];
    job.status_text = fate.words;
    job.document = "";
    return Lookup::found;
}

// A file of no name for a document on its way, under TMPDIR (else /tmp), which goes with the
// process however it ends; null with errno set when none can be had.
FILE* anonymous_file() {
    const char* folder = std::getenv("TMPDIR");
    std::string dir = folder && *folder == '/' ? folder : "/tmp";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = dir + "/.zvspool-XXXXXX";
        fd = mkstemp(name.data());
        if (fd >= 0)
            unlink(name.c_str());
    }
    FILE* file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (fd >= 0 && !file)
        close(fd);
    return file;
}

// One document as one CUPS job. The job is made when the document starts; the document is
// gathered in a file of no name, and sent in one request of known length when it ends. CUPS
// takes a chunked document cut short (its sender killed) as whole; a request of known length cut
// short it drops, so the job never holds a part of the document, and has its document exactly
// when the document went whole. Where the destination's capabilities can be had, the job is made
// through the destination API; where not (a scheduler named by address, for one), the way lp
// makes it: by queue name over the scheduler's connection.
class CupsSink : public PdfSink {
  public:
    CupsSink(DestPtr dest, std::string media) : dest_(std::move(dest)), media_(std::move(media)) {}
    ~CupsSink() override { abort(); }

    bool open(const std::string& title) override {
        abort();
        error_.clear();
        title_ = title;
        patience_ = Patience{keep_going, 0};
        HttpPtr http;
        InfoPtr info = dest_info(dest_.get(), http, &patience_, &server_);
        if (!info) {
            http = connect_scheduler(&patience_);
            server_ = scheduler_server();
        }
        by_dest_ = info != nullptr;
        if (!http)
            return fail("cannot reach the printer");
        int job = 0;
        JobOptions options(dest_.get(), media_);
        if (info) {
            ipp_status_t status = cupsCreateDestJob(http.get(), dest_.get(), info.get(), &job,
                                                    title.c_str(), options.count, options.options);
            if (status >= IPP_STATUS_REDIRECTION_OTHER_SITE)
                job = 0;
        } else {
            job = cupsCreateJob(http.get(), dest_->name, title.c_str(), options.count,
                                options.options);
        }
        job_ = last_job_ = job;
        if (job <= 0)
            return fail("the printer refuses the job");
        // The job's lasting name, before any of its document goes: a program stopped from here
        // on leaves a job its next start can find and cancel.
        if (!reference_new_job(http.get(), server_, printer_uri(), job, reference_)) {
            error_ = registered_message(GetLastError());
            abort();
            return false;
        }
        remember_reference(job, format_reference(reference_));
        spool_ = anonymous_file();
        if (!spool_) {
            error_ = std::string("cannot gather the document: ") + std::strerror(errno);
            abort();
            return false;
        }
        return true;
    }

    bool write(const unsigned char* data, size_t size) override {
        if (spool_ && std::fwrite(data, 1, size, spool_) == size)
            return true;
        error_ = std::string("cannot gather the document: ") + std::strerror(errno);
        return false;
    }

    bool finish() override {
        if (!spool_ || std::fflush(spool_) != 0) {
            error_ = std::string("cannot gather the document: ") + std::strerror(errno);
            return false;
        }
        long long size = std::ftell(spool_);
        std::rewind(spool_);
        patience_ = Patience{keep_going, 0};
        HttpPtr http(httpConnect2(server_.host.c_str(), server_.port, nullptr, AF_UNSPEC,
                                  cupsEncryption(), 1, 30000, nullptr));
        if (!http) {
            error_ = std::string("cannot reach the printer: ") + cupsLastErrorString();
            return false;
        }
        be_patient(http.get(), &patience_);
        std::string uri = printer_uri();
        std::string resource = resource_of(uri);
        ipp_t* request = ippNewRequest(IPP_OP_SEND_DOCUMENT);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     cupsUser());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr,
                     title_.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     CUPS_FORMAT_PDF);
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        std::unique_ptr<ipp_t, void (*)(ipp_t*)> sent(request, ippDelete);
        // From here the scheduler may have the document whole, whatever this end sees: the job
        // is not cancelled on a failure, the spooler asks after it.
        job_ = 0;
        // The length is the request's with the document's.
        bool going =
            cupsSendRequest(http.get(), request, resource.c_str(),
                            ippLength(request) + static_cast<size_t>(size)) == HTTP_STATUS_CONTINUE;
        char buffer[65536];
        size_t n;
        while (going && (n = std::fread(buffer, 1, sizeof buffer, spool_)) > 0) {
            going = cupsWriteRequestData(http.get(), buffer, n) == HTTP_STATUS_CONTINUE;
            patience_.waited = 0;
        }
        if (!going) {
            error_ = "cannot send the document: " + std::string(cupsLastErrorString());
            return false;
        }
        // The answer itself tells whether the scheduler took the document: the last status
        // CUPS noted may be an earlier request's.
        std::unique_ptr<ipp_t, void (*)(ipp_t*)> response(
            cupsGetResponse(http.get(), resource.c_str()), ippDelete);
        if (!response) {
            int e = httpError(http.get());
            error_ = "the printer did not answer for the document: " +
                     std::string(e ? std::strerror(e) : "no answer");
            return false;
        }
        if (ippGetStatusCode(response.get()) >= IPP_STATUS_REDIRECTION_OTHER_SITE) {
            error_ = "the printer did not take the document: " + std::string(cupsLastErrorString());
            return false;
        }
        note_job_sent(reference_);
        close_spool();
        return true;
    }

    // A document not sent whole is never sent: its job is cancelled, so no part of it prints.
    void abort() override {
        close_spool();
        if (job_ > 0) {
            // A program asked to end does not wait on a silent scheduler to cancel: the spooler
            // cancels the job when it next starts, by its reference.
            Patience patience{keep_going, 0};
            HttpPtr http;
            if (by_dest_ && dest_info(dest_.get(), http, &patience))
                cupsCancelDestJob(http.get(), dest_.get(), job_);
            else if ((http = connect_scheduler(&patience)))
                cupsCancelJob2(http.get(), dest_->name, job_, 0);
        }
        job_ = 0;
    }

    std::string error() const override { return error_; }
    int job_id() const override { return last_job_; }

  private:
    bool fail(const std::string& what) {
        error_ = what + ": " + cupsLastErrorString();
        abort();
        return false;
    }

    // The destination's URI on the server the job goes to.
    std::string printer_uri() const {
        if (const char* uri =
                cupsGetOption("printer-uri-supported", dest_->num_options, dest_->options))
            return uri;
        char uri[HTTP_MAX_URI];
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost",
                         ippPort(), "/printers/%s", dest_->name);
        return uri;
    }

    static std::string resource_of(const std::string& uri) {
        char scheme[32], user[256], host[256], resource[1024];
        int port = 0;
        if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user,
                            sizeof user, host, sizeof host, &port, resource,
                            sizeof resource) < HTTP_URI_STATUS_OK)
            return "/";
        return resource;
    }

    void close_spool() {
        if (spool_)
            std::fclose(spool_);
        spool_ = nullptr;
    }

    DestPtr dest_;
    std::string media_;
    std::string title_;
    Patience patience_;
    CupsServer server_;
    bool by_dest_ = false;
    FILE* spool_ = nullptr;
    int job_ = 0;      // the job while it can still be cancelled
    int last_job_ = 0; // the job of the last document
    CupsReference reference_;
    std::string error_;
};

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
        entry = describe(dest.get());
        entry.comment = default_reason();
        default_name_ = entry.name;
        return Lookup::found;
    }

    Lookup find_printer(const std::string& name, PrinterEntry& entry) override {
        std::string builtin = builtin_reason();
        if (strcasecmp(name.c_str(), builtin_pdf_printer) == 0 && !builtin.empty()) {
            entry = builtin_entry(builtin);
            return Lookup::found;
        }
        DestPtr dest = find_dest(name.c_str());
        if (!dest)
            return missing_dest(name.c_str());
        entry = describe(dest.get());
        if (entry.name == default_name_)
            entry.comment = default_reason();
        return Lookup::found;
    }

    std::shared_ptr<Device> open(const std::string& name) override {
        if (strcasecmp(name.c_str(), builtin_pdf_printer) == 0 && !builtin_reason().empty())
            return pdf_printer_device(a4_page(kPrinterDpi),
                                      pdf_directory_sink(builtin_pdf_directory()));
        DestPtr dest = find_dest(name.c_str());
        if (!dest) {
            if (missing_dest(name.c_str()) == Lookup::none)
                SetLastError(ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
        QueuePaper paper = paper_of(dest.get());
        return pdf_printer_device(paper.page,
                                  std::make_unique<CupsSink>(std::move(dest), paper.media));
    }

    Lookup job(const std::string& printer, int id, JobEntry& job) override {
        if (is_builtin(printer)) {
            bool written = false;
            std::string file = pdf_file_of_job(id, &written);
            if (file.empty() || !written)
                return Lookup::none;
            job.status = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
            job.status_text = "written to " + file;
            return Lookup::found;
        }
        return cups_job(id, job);
    }

    Lookup reference(const std::string& printer, int id, std::string& reference) override {
        if (is_builtin(printer)) {
            std::string file = pdf_file_of_job(id, nullptr);
            reference = file.empty() ? "" : pdf_reference_prefix + file;
        } else {
            reference = remembered_reference(id);
        }
        return reference.empty() ? Lookup::none : Lookup::found;
    }

    Lookup fate(const std::string& printer, const std::string& reference, bool sent,
                JobFate& fate) override {
        if (reference.compare(0, std::strlen(pdf_reference_prefix), pdf_reference_prefix) == 0) {
            // A document of the built-in PDF printer is done once its file is in place; a file
            // that is not there was never written whole, unless its writing was seen to end (a
            // person may have moved it since).
            std::string file = reference.substr(std::strlen(pdf_reference_prefix));
            struct stat st;
            bool there = stat(file.c_str(), &st) == 0;
            fate.fate = there || sent ? JOB_FATE_PRINTED : JOB_FATE_INCOMPLETE;
            fate.words = there || sent ? "written to " + file : "never written whole";
            return Lookup::found;
        }
        (void)printer;
        return cups_job_fate(reference, sent, fate);
    }

    bool cancel(const std::string& printer, const std::string& reference) override {
        (void)printer;
        // A PDF document being written goes with the program that writes it.
        if (reference.compare(0, std::strlen(pdf_reference_prefix), pdf_reference_prefix) == 0)
            return true;
        return cancel_cups_job(reference);
    }

    Lookup printer_state(const std::string& printer, const std::string& reference,
                         PrinterState& state) override {
        if (is_builtin(printer) ||
            reference.compare(0, std::strlen(pdf_reference_prefix), pdf_reference_prefix) == 0) {
            state.words = "ready (the built-in PDF printer)";
            return Lookup::found;
        }
        CupsReference ref;
        if (!parse_reference(reference, ref)) {
            DestPtr dest = find_dest(printer.c_str());
            if (!dest)
                return missing_dest(printer.c_str());
            ref.server = scheduler_server();
            const char* uri =
                cupsGetOption("printer-uri-supported", dest->num_options, dest->options);
            char assembled[HTTP_MAX_URI];
            if (!uri) {
                httpAssembleURIf(HTTP_URI_CODING_ALL, assembled, sizeof assembled, "ipp", nullptr,
                                 "localhost", ippPort(), "/printers/%s", dest->name);
                uri = assembled;
            }
            ref.printer_uri = uri;
        }
        return cups_printer_state(ref, state);
    }

  private:
    static constexpr const char* pdf_reference_prefix = "pdf ";

    static bool is_builtin(const std::string& printer) {
        return strcasecmp(printer.c_str(), builtin_pdf_printer) == 0 && !builtin_reason().empty();
    }

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
