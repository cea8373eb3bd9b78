#include "spool/default_printer.h"

#include <cstring>
#include <vector>

DOCINFOA zv_document_info(void) {
    DOCINFOA doc;
    std::memset(&doc, 0, sizeof doc);
    doc.cbSize = sizeof doc;
    doc.lpszDocName = ZV_DOCUMENT_NAME;
    return doc;
}

// The default printer's record. Names are not capped: the spooler is asked how much room the
// record needs, and asked again with that much (the default may change in between).
static int read_default_printer(std::vector<BYTE>& buffer, PRINTER_INFO_5A** info) {
    DWORD needed = 0, returned = 0;
    buffer.resize(sizeof(PRINTER_INFO_5A) + 256);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (EnumPrintersA(PRINTER_ENUM_DEFAULT, NULL, 5, buffer.data(), (DWORD)buffer.size(),
                          &needed, &returned)) {
            *info = returned > 0 ? (PRINTER_INFO_5A*)buffer.data() : NULL;
            return 0;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size())
            return 1;
        buffer.resize(needed);
    }
    return 1;
}

// Some spoolers answer the enumeration with no record although a default printer is set; the
// default printer's name is asked for directly then.
static HDC open_printer_by_default_name(void) {
    DWORD size = 0;
    GetDefaultPrinterA(NULL, &size);
    if (size == 0)
        return NULL;
    std::vector<char> name(size);
    if (!GetDefaultPrinterA(name.data(), &size))
        return NULL;
    return CreateDCA(NULL, name.data(), NULL, NULL);
}

HDC open_default_printer_dc(void) {
    std::vector<BYTE> buffer;
    PRINTER_INFO_5A* info = NULL;
    if (read_default_printer(buffer, &info) != 0)
        return NULL;
    if (info == NULL)
        return open_printer_by_default_name();
    return CreateDCA(NULL, info->pPrinterName, NULL, NULL);
}
