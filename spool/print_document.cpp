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
