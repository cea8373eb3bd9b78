// The print spooler's lookup, printer handles and printer device contexts, over the installed
// printer system.
#include "platform/portable/gdi32/dc.h"
#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/printer_system.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>

namespace zvp {

namespace {

std::shared_ptr<PrinterSystem>& current_system() {
    return winspool().system;
}

Lookup default_printer(PrinterEntry& entry) {
    if (!current_system())
        return Lookup::none;
    return current_system()->default_printer(entry);
}

// Lays out a record of `Record` followed by the strings its pointers point to, in the caller's
// buffer, the way the spooler returns its records.
class RecordWriter {
  public:
    RecordWriter(LPBYTE buffer, DWORD size, DWORD record_size)
        : buffer_(buffer), size_(size), used_(record_size) {}
    // Reserves room for `text`; returns where it will be, or null when only measuring.
    LPSTR add(const std::string& text) {
        DWORD at = used_;
        used_ += static_cast<DWORD>(text.size() + 1);
        if (!fits())
            return nullptr;
        std::memcpy(buffer_ + at, text.c_str(), text.size() + 1);
        return reinterpret_cast<LPSTR>(buffer_ + at);
    }
    bool fits() const { return buffer_ && used_ <= size_; }
    DWORD needed() const { return used_; }

  private:
    LPBYTE buffer_;
    DWORD size_;
    DWORD used_;
};

} // namespace

Winspool& winspool() {
    static Winspool state;
    return state;
}

void set_printer_system(std::shared_ptr<PrinterSystem> system) {
    current_system() = std::move(system);
}

} // namespace zvp

using namespace zvp;

// Every printer, at level 1: the records first, then their strings.
static BOOL enum_all_printers(LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
    std::vector<PrinterEntry> all;
    if (current_system() && current_system()->list_printers(all) == Lookup::failed)
        return FALSE;
    RecordWriter out(buffer, size, static_cast<DWORD>(all.size() * sizeof(PRINTER_INFO_1A)));
    std::vector<PRINTER_INFO_1A> records;
    for (const PrinterEntry& e : all) {
        LPSTR description = out.add(e.comment.empty() ? e.name : e.comment);
        LPSTR printer_name = out.add(e.name);
        LPSTR comment = out.add(e.comment);
        records.push_back(PRINTER_INFO_1A{0, description, printer_name, comment});
    }
    *needed = out.needed();
    if (!out.fits()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!records.empty())
        std::memcpy(buffer, records.data(), records.size() * sizeof(PRINTER_INFO_1A));
    *returned = static_cast<DWORD>(records.size());
    return TRUE;
}

BOOL WINAPI EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned) {
    if (!needed || !returned || (level != 5 && level != 1) || name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *needed = *returned = 0;
    if (level == 1)
        return enum_all_printers(buffer, size, needed, returned);
    if (!(flags & (PRINTER_ENUM_DEFAULT | PRINTER_ENUM_LOCAL)))
        return TRUE;
    PrinterEntry entry;
    switch (default_printer(entry)) {
    case Lookup::failed: return FALSE;
    case Lookup::none: return TRUE;
    case Lookup::found: break;
    }
    RecordWriter out(buffer, size, sizeof(PRINTER_INFO_5A));
    LPSTR printer_name = out.add(entry.name);
    LPSTR port = out.add(entry.port);
    *needed = out.needed();
    if (!out.fits()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *reinterpret_cast<PRINTER_INFO_5A*>(buffer) = PRINTER_INFO_5A{
        printer_name, port, PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_LOCAL, 15000, 45000};
    *returned = 1;
    return TRUE;
}

BOOL WINAPI GetDefaultPrinterA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PrinterEntry entry;
    switch (default_printer(entry)) {
    case Lookup::failed: return FALSE;
    case Lookup::none: SetLastError(ERROR_FILE_NOT_FOUND); return FALSE;
    case Lookup::found: break;
    }
    DWORD wanted = static_cast<DWORD>(entry.name.size() + 1);
    if (!buffer || *size < wanted) {
        *size = wanted;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, entry.name.c_str(), wanted);
    *size = wanted;
    return TRUE;
}

BOOL WINAPI OpenPrinterA(LPSTR name, HANDLE* printer, LPPRINTER_DEFAULTSA) {
    if (!name || !printer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = nullptr;
    PrinterEntry entry;
    Lookup found = current_system() ? current_system()->find_printer(name, entry) : Lookup::none;
    if (found == Lookup::failed)
        return FALSE;
    if (found == Lookup::none) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *printer = winspool().printers.add(std::make_shared<OpenPrinter>(OpenPrinter{entry, nullptr}));
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
    if (!winspool().printers.remove(printer)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

static OpenPrinter* open_document(HANDLE printer) {
    OpenPrinter* open = winspool().printers.get(printer);
    if (!open || !open->document) {
        SetLastError(open ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return open;
}

// A failure the sink explains, as the thread's last error.
static BOOL document_failed(const PdfSink& document) {
    set_last_error_words(document.error(), ERROR_WRITE_FAULT);
    return FALSE;
}

DWORD WINAPI StartDocPrinterA(HANDLE printer, DWORD level, LPBYTE doc_info) {
    OpenPrinter* open = winspool().printers.get(printer);
    if (!open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const DOC_INFO_1A* doc = reinterpret_cast<const DOC_INFO_1A*>(doc_info);
    if (level != 1 || !doc || open->document || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::unique_ptr<PdfSink> sink =
        current_system()->open_data(open->entry.name, doc->pDatatype ? doc->pDatatype : "RAW");
    if (!sink)
        return 0;
    open->document = std::move(sink);
    if (!open->document->open(doc->pDocName ? doc->pDocName : "")) {
        document_failed(*open->document);
        open->document.reset();
        return 0;
    }
    return static_cast<DWORD>(open->document->job_id());
}

BOOL WINAPI StartPagePrinter(HANDLE printer) {
    return open_document(printer) ? TRUE : FALSE;
}

BOOL WINAPI EndPagePrinter(HANDLE printer) {
    return open_document(printer) ? TRUE : FALSE;
}

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written) {
    OpenPrinter* open = open_document(printer);
    if (written)
        *written = 0;
    if (!open)
        return FALSE;
    if (!open->document->write(static_cast<const unsigned char*>(data), size))
        return document_failed(*open->document);
    if (written)
        *written = size;
    return TRUE;
}

BOOL WINAPI EndDocPrinter(HANDLE printer) {
    OpenPrinter* open = open_document(printer);
    if (!open)
        return FALSE;
    std::shared_ptr<PdfSink> document = std::move(open->document);
    return document->finish() ? TRUE : document_failed(*document);
}

BOOL WINAPI AbortPrinter(HANDLE printer) {
    OpenPrinter* open = open_document(printer);
    if (!open)
        return FALSE;
    open->document->abort();
    open->document.reset();
    return TRUE;
}

BOOL WINAPI GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    OpenPrinter* open = winspool().printers.get(printer);
    if (!open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (level != 2 || !needed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const PrinterEntry& e = open->entry;
    RecordWriter out(buffer, size, sizeof(PRINTER_INFO_2A));
    PRINTER_INFO_2A info{};
    info.pPrinterName = out.add(e.name);
    info.pPortName = out.add(e.port);
    info.pDriverName = out.add(e.driver);
    info.pComment = out.add(e.comment);
    info.pServerName = e.server.empty() ? nullptr : out.add(e.server);
    info.pDatatype = out.add("RAW");
    *needed = out.needed();
    if (!out.fits()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    std::memcpy(buffer, &info, sizeof info);
    return TRUE;
}

BOOL WINAPI GetJobA(HANDLE printer, DWORD job_id, DWORD level, LPBYTE buffer, DWORD size,
                    LPDWORD needed) {
    OpenPrinter* open = winspool().printers.get(printer);
    if (!open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (level != 1 || !needed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const PrinterEntry& e = open->entry;
    JobEntry job;
    switch (current_system() ? current_system()->job(e.name, static_cast<int>(job_id), job)
                             : Lookup::none) {
    case Lookup::failed: return FALSE;
    case Lookup::none: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    case Lookup::found: break;
    }
    RecordWriter out(buffer, size, sizeof(JOB_INFO_1A));
    JOB_INFO_1A info{};
    info.JobId = job_id;
    info.pPrinterName = out.add(e.name);
    info.pDocument = out.add(job.document);
    info.pDatatype = out.add("RAW");
    info.pStatus = out.add(job.status_text);
    *needed = out.needed();
    if (!out.fits()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info.Status = job.status;
    std::time_t submitted = static_cast<std::time_t>(job.submitted);
    std::tm utc{};
#ifdef _WIN32
    bool converted = gmtime_s(&utc, &submitted) == 0;
#else
    bool converted = gmtime_r(&submitted, &utc) != nullptr;
#endif
    if (job.submitted > 0 && converted)
        info.Submitted = SYSTEMTIME{
            WORD(utc.tm_year + 1900), WORD(utc.tm_mon + 1), WORD(utc.tm_wday), WORD(utc.tm_mday),
            WORD(utc.tm_hour),        WORD(utc.tm_min),     WORD(utc.tm_sec),  0};
    std::memcpy(buffer, &info, sizeof info);
    return TRUE;
}

BOOL spooler_job_reference(LPCSTR printer, DWORD job_id, LPSTR reference, DWORD size) {
    std::string text;
    if (!printer || !reference || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    switch (current_system()->reference(printer, static_cast<int>(job_id), text)) {
    case Lookup::failed: return FALSE;
    case Lookup::none: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    case Lookup::found: break;
    }
    if (text.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(reference, text.c_str(), text.size() + 1);
    return TRUE;
}

namespace {

void copy_text(const std::string& text, char* out, size_t size) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

BOOL spooler_job_fate(LPCSTR printer, LPCSTR reference, int stage, SPOOLER_JOB_FATE* fate) {
    if (!printer || !reference || !fate || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    JobFate found;
    found.reference = reference;
    if (current_system()->fate(printer, reference, stage, found) == Lookup::failed)
        return FALSE;
    fate->fate = found.fate;
    copy_text(found.words, fate->words, sizeof fate->words);
    copy_text(found.reference.size() < sizeof fate->reference ? found.reference : reference,
              fate->reference, sizeof fate->reference);
    return TRUE;
}

BOOL spooler_cancel_job(LPCSTR printer, LPCSTR reference) {
    if (!printer || !reference || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return current_system()->cancel(printer, reference) ? TRUE : FALSE;
}

const char* spooler_limits(void) {
    return "";
}

BOOL spooler_hold_job(LPCSTR printer, LPCSTR reference) {
    if (!printer || !reference || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return current_system()->hold(printer, reference) ? TRUE : FALSE;
}

BOOL spooler_release_job(LPCSTR printer, LPCSTR reference) {
    if (!printer || !reference || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return current_system()->release(printer, reference) ? TRUE : FALSE;
}

BOOL spooler_printer_state(LPCSTR printer, LPCSTR reference, SPOOLER_PRINTER_STATE* state) {
    if (!printer || !state || !current_system()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PrinterState found;
    switch (current_system()->printer_state(printer, reference ? reference : "", found)) {
    case Lookup::failed: return FALSE;
    case Lookup::none: SetLastError(ERROR_INVALID_PRINTER_NAME); return FALSE;
    case Lookup::found: break;
    }
    state->stopped = found.stopped ? TRUE : FALSE;
    state->accepting = found.accepting ? TRUE : FALSE;
    copy_text(found.words, state->words, sizeof state->words);
    copy_text(found.reasons, state->reasons, sizeof state->reasons);
    return TRUE;
}
