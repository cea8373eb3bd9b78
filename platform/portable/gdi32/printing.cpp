// Printer device contexts: made for a printer the printer system opens, their documents and
// pages, and the application's abort procedure. The device context keeps the order of the calls
// (no page outside a document, no second page while one is open); the device does the work. A
// refusal leaves the printer's words for it as the last error.
#include "platform/portable/gdi32/dc.h"
#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/printer_system.h"

namespace zvp {

namespace {
// How often the abort procedure is asked: a job that fails its pages would ask at every byte.
constexpr std::chrono::milliseconds kAbortAskInterval{100};
} // namespace

bool DeviceContext::keep_going(HDC handle) {
    if (!abort_proc || !doc_open)
        return true;
    auto t = std::chrono::steady_clock::now();
    if (t - abort_asked < kAbortAskInterval)
        return true;
    abort_asked = t;
    if (abort_proc(handle, 0))
        return true;
    // As GDI does when the application's abort procedure says stop.
    doc_open = page_open = false;
    device->abort_doc();
    return false;
}

} // namespace zvp

using namespace zvp;

int zvp::refused(DeviceContext* d, int result) {
    set_last_error_words(d->device->error(), ERROR_INVALID_PARAMETER);
    return result;
}

// A call out of order, or on no device context at all.
static int misused(DeviceContext* d) {
    SetLastError(d ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return SP_ERROR;
}

int WINAPI SetAbortProc(HDC dc, ABORTPROC proc) {
    DeviceContext* d = find_dc(dc);
    if (!d)
        return misused(d);
    d->abort_proc = proc;
    // The device asks too while it waits on the printer; it looks the context up each time.
    d->device->keep_going = [dc]() {
        DeviceContext* c = find_dc(dc);
        return !c || c->keep_going(dc);
    };
    return 1;
}

// The printer's driver is the printer system's: it opens the device the name stands for.
HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* init) {
    (void)driver;
    (void)output;
    (void)init;
    const std::shared_ptr<PrinterSystem>& system = winspool().system;
    if (!device || !system) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    std::shared_ptr<Device> printer = system->open(device);
    if (!printer)
        return nullptr;
    return create_dc(std::move(printer));
}

static int abandoned() {
    SetLastError(ERROR_CANCELLED);
    return SP_APPABORT;
}

int WINAPI StartDocA(HDC dc, const DOCINFOA* doc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !doc || d->doc_open || !d->device->caps().printer)
        return misused(d);
    // Printed to a file, the document is the printer's output (here PDF) in that file.
    if (!d->device->print_to_file(doc->lpszOutput ? doc->lpszOutput : "")) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return SP_ERROR;
    }
    int job = d->device->start_doc(doc->lpszDocName ? doc->lpszDocName : "");
    if (job <= 0)
        return refused(d, job == 0 ? SP_ERROR : job);
    d->doc_open = true;
    return job;
}

int WINAPI StartPage(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (d && d->doc_open && !d->keep_going(dc))
        return abandoned();
    if (!d || !d->doc_open || d->page_open)
        return misused(d);
    int result = d->device->start_page();
    d->page_open = result > 0;
    return result > 0 ? result : refused(d, result);
}

int WINAPI EndPage(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (d && d->doc_open && !d->keep_going(dc))
        return abandoned();
    if (!d || !d->page_open)
        return misused(d);
    d->page_open = false;
    int result = d->device->end_page();
    return result > 0 ? result : refused(d, result);
}

int WINAPI EndDoc(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !d->doc_open)
        return misused(d);
    int page = d->page_open ? EndPage(dc) : 1;
    d->doc_open = false;
    if (page <= 0) {
        DWORD why = GetLastError();
        d->device->abort_doc();
        SetLastError(why);
        return page;
    }
    int result = d->device->end_doc();
    return result > 0 ? result : refused(d, result);
}

int WINAPI AbortDoc(HDC dc) {
    DeviceContext* d = find_dc(dc);
    if (!d || !d->doc_open)
        return misused(d);
    d->doc_open = d->page_open = false;
    return d->device->abort_doc();
}
