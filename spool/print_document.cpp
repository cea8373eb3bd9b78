#include "spool/print_document.h"

#include "spool/folder_printer.h"

DocumentEnd print_document(HDC dc, const char* output, const DocumentSteps& steps, int* job_id) {
    DOCINFOA doc = zv_document_info();
    doc.lpszOutput = output;
    *job_id = StartDocA(dc, &doc);
    if (*job_id <= 0) {
        *job_id = 0;
        return DOCUMENT_NOT_STARTED;
    }
    if ((steps.started && steps.started(dc, *job_id) != 0) || steps.pages(dc) != 0) {
        DWORD error = GetLastError();
        AbortDoc(dc);
        SetLastError(error);
        return DOCUMENT_ABANDONED;
    }
    return EndDoc(dc) > 0 ? DOCUMENT_WHOLE : DOCUMENT_END_FAILED;
}

DocumentEnd send_document(HANDLE printer, const char* datatype, const DataSteps& steps,
                          int* job_id) {
    DOC_INFO_1A doc = {(LPSTR)ZV_DOCUMENT_NAME, NULL, (LPSTR)datatype};
    *job_id = (int)StartDocPrinterA(printer, 1, (LPBYTE)&doc);
    if (*job_id <= 0) {
        *job_id = 0;
        return DOCUMENT_NOT_STARTED;
    }
    if ((steps.started && steps.started(*job_id) != 0) || !StartPagePrinter(printer) ||
        steps.data(printer) != 0 || !EndPagePrinter(printer)) {
        DWORD error = GetLastError();
        AbortPrinter(printer);
        SetLastError(error);
        return DOCUMENT_ABANDONED;
    }
    return EndDocPrinter(printer) ? DOCUMENT_WHOLE : DOCUMENT_END_FAILED;
}
