// The user's default printer and the description every printed document starts with.
#pragma once

#include "platform/win32.h"

// The name the print queue shows for every document the system prints.
#define ZV_DOCUMENT_NAME "ZV: Printing"

// A fresh copy of the document description: named "ZV: Printing", no output file, no data type.
DOCINFOA zv_document_info(void);

// A device context for the default printer, owned by the caller (DeleteDC), or NULL when there is
// no usable default printer.
HDC open_default_printer_dc(void);
