// One document as one CUPS job.
#include "platform/portable/winspool/cups/cups_sink.h"

#include "platform/portable/kernel32/errors.h"
#include "platform/portable/kernel32/file_services.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace zvp {

JobOptions::JobOptions(const cups_dest_t* dest, const std::string& media,
                       const std::string& extra) {
    for (int i = 0; i < dest->num_options; ++i) {
        const char* name = dest->options[i].name;
        if (std::strncmp(name, "printer-", 8) == 0 || std::strncmp(name, "marker-", 7) == 0 ||
            std::strcmp(name, "device-uri") == 0)
            continue;
        count = cupsAddOption(name, dest->options[i].value, count, &options);
    }
    if (!media.empty())
        count = cupsAddOption("media", media.c_str(), count, &options);
    count = cupsParseOptions(extra.c_str(), count, &options);
}

JobOptions::~JobOptions() {
    cupsFreeOptions(count, options);
}

namespace {

// The job is made when the document starts; the document is
// gathered in a file of no name, and sent in one request of known length when it ends. CUPS
// takes a chunked document cut short (its sender killed) as whole; a request of known length cut
// short it drops, so the job never holds a part of the document, and has its document exactly
// when the document went whole. Where the destination's capabilities can be had, the job is made
// through the destination API; where not (a scheduler named by address, for one), the way lp
// makes it: by queue name over the scheduler's connection.
class CupsSink : public PdfSink {
  public:
    CupsSink(DestPtr dest, std::string media, std::string format = CUPS_FORMAT_PDF,
             std::string options = "")
        : dest_(std::move(dest)), media_(std::move(media)), format_(std::move(format)),
          options_(std::move(options)) {}
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
        if (!http) {
            error_ = unreachable_words(where_of(server_), cupsLastErrorString());
            abort();
            return false;
        }
        int job = 0;
        JobOptions options(dest_.get(), media_, options_);
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
        HttpPtr http = connect_server(server_, &patience_);
        if (!http) {
            error_ = unreachable_words(where_of(server_), cupsLastErrorString());
            return false;
        }
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
                     format_.c_str());
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        std::unique_ptr<ipp_t, void (*)(ipp_t*)> sent(request, ippDelete);
        // From here the scheduler may have the document whole, whatever this end sees: the job
        // is cancelled only where the scheduler says it refused it; else the spooler asks after it.
        int job = job_;
        job_ = 0;
        // The length is the request's with the document's.
        http_status_t status = cupsSendRequest(http.get(), request, resource.c_str(),
                                               ippLength(request) + static_cast<size_t>(size));
        char buffer[65536];
        size_t n;
        while (status == HTTP_STATUS_CONTINUE &&
               (n = std::fread(buffer, 1, sizeof buffer, spool_)) > 0) {
            status = cupsWriteRequestData(http.get(), buffer, n);
            patience_.waited = 0;
        }
        if (status == HTTP_STATUS_CONTINUE && std::ferror(spool_)) {
            // Cut short, the request is dropped with its connection: the job never got the
            // document.
            error_ = std::string("cannot read the gathered document: ") + std::strerror(errno);
            http.reset();
            return refused(job);
        }
        // A scheduler that refuses the request as it starts (too large for it) answers and
        // closes: the answer is read, whether the writes ended before it came or after.
        if (status == HTTP_STATUS_ERROR && httpWait(http.get(), 0))
            status = httpUpdate(http.get());
        if (status >= HTTP_STATUS_BAD_REQUEST)
            return not_taken(job, httpStatus(status));
        if (status != HTTP_STATUS_CONTINUE) {
            error_ = "cannot send the document: " + std::string(cupsLastErrorString());
            return false;
        }
        // The answer itself tells whether the scheduler took the document: the last status
        // CUPS noted may be an earlier request's.
        std::unique_ptr<ipp_t, void (*)(ipp_t*)> response(
            cupsGetResponse(http.get(), resource.c_str()), ippDelete);
        if (!response && httpGetStatus(http.get()) >= HTTP_STATUS_BAD_REQUEST)
            return not_taken(job, httpStatus(httpGetStatus(http.get())));
        if (!response) {
            int e = httpError(http.get());
            error_ = "the printer did not answer for the document: " +
                     std::string(e ? std::strerror(e) : "no answer");
            return false;
        }
        if (ippGetStatusCode(response.get()) >= IPP_STATUS_REDIRECTION_OTHER_SITE)
            return not_taken(job, cupsLastErrorString());
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
    // The document surely did not go (the scheduler said it did not take it, too large for it,
    // say): the job holds none and never will, and is cancelled now rather than left in the
    // queue until the spooler next asks after it.
    bool refused(int job) {
        job_ = job;
        abort();
        return false;
    }
    bool not_taken(int job, const char* words) {
        error_ = std::string("the printer did not take the document: ") + words;
        return refused(job);
    }

    bool fail(const std::string& what) {
        error_ = what + ": " + cupsLastErrorString();
        abort();
        return false;
    }

    // The destination's URI on the server the job goes to.
    std::string printer_uri() const { return printer_uri_of(dest_.get()); }

    void close_spool() {
        if (spool_)
            std::fclose(spool_);
        spool_ = nullptr;
    }

    DestPtr dest_;
    std::string media_;
    std::string format_;
    std::string options_; // as cupsParseOptions reads them
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

std::unique_ptr<PdfSink> cups_document_sink(DestPtr dest, std::string media) {
    return std::make_unique<CupsSink>(std::move(dest), std::move(media));
}

namespace {

// Lower-case letters, digits and the characters `also`; or, with `any`, every printable character
// but blanks, quotes, backslashes and semicolons.
bool is_token(const std::string& text, const char* also, bool any) {
    if (text.empty())
        return false;
    for (unsigned char c : text) {
        bool printable = c > ' ' && c < 0x7F && c != '"' && c != '\'' && c != '\\' && c != ';';
        bool named = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr(also, c);
        if (any ? !printable : !named)
            return false;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

} // namespace

bool datatype_parts(const std::string& datatype, std::string& format, std::string& options) {
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t next = datatype.find(';', at);
        parts.push_back(trimmed(datatype.substr(at, next == std::string::npos ? next : next - at)));
        if (next == std::string::npos)
            break;
        at = next + 1;
    }
    size_t slash = parts[0].find('/');
    if (slash == std::string::npos || !is_token(parts[0].substr(0, slash), ".+-", false) ||
        !is_token(parts[0].substr(slash + 1), ".+-", false))
        return false;
    format = parts[0];
    options.clear();
    for (size_t i = 1; i < parts.size(); ++i) {
        size_t equals = parts[i].find('=');
        if (equals == std::string::npos || !is_token(parts[i].substr(0, equals), "-", false) ||
            !is_token(parts[i].substr(equals + 1), "", true))
            return false;
        options += (options.empty() ? "" : " ") + parts[i];
    }
    return true;
}

std::unique_ptr<PdfSink> cups_data_sink(DestPtr dest, std::string media, std::string format,
                                        std::string options) {
    return std::make_unique<CupsSink>(std::move(dest), std::move(media), std::move(format),
                                      std::move(options));
}

} // namespace zvp
