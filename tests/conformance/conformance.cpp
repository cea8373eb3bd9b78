#include "tests/conformance/conformance.h"

#include "render/font_factory.h"
#include "spool/folder_printer.h"

namespace conformance {

bool running_under_wine() {
#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
#else
    return false;
#endif
}

void OnDefaultPrinter::SetUp() {
    FolderPrinter printer;
    dc = open_default_printer_dc(&printer);
    ASSERT_NE(dc, nullptr) << "no default printer (error " << GetLastError() << ")";
    DOCINFOA doc = zv_document_info();
    ASSERT_GT(StartDocA(dc, &doc), 0);
}

void OnDefaultPrinter::TearDown() {
    if (dc != NULL) {
        AbortDoc(dc);
        DeleteDC(dc);
    }
}

HFONT printer_font(HDC dc, int pitch, int style_bits, BYTE charset) {
    const char* face = (style_bits & 8) ? "Courier New Bold" : "Courier New";
    int style = (style_bits & 4) ? FONT_STYLE_UNDERLINE : 0;
    return charset == RUSSIAN_CHARSET
               ? create_cyrillic_printer_font(dc, face, 120, pitch_width[pitch], style, 0)
               : create_printer_font(dc, face, 120, pitch_width[pitch], style, 0);
}

} // namespace conformance
