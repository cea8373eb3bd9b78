#include "spool/folder_printer.h"

#include "render/font_factory.h"

#include "spool/event_log.h"
#include "spool/spool_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
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

// The default printer's name, asked directly. Some spoolers answer the enumeration with no
// record although a default printer is set.
static int default_printer_name(std::string& name) {
    DWORD size = 0;
    GetDefaultPrinterA(NULL, &size);
    if (size == 0)
        return 1;
    std::vector<char> buffer(size);
    if (!GetDefaultPrinterA(buffer.data(), &size))
        return 1;
    name = buffer.data();
    return 0;
}

// Every printer's record (level 1: its name, and its description as the desktop shows it).
static std::vector<BYTE> all_printers(DWORD* count) {
    std::vector<BYTE> buffer(4096);
    *count = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD needed = 0;
        if (EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 1, buffer.data(),
                          (DWORD)buffer.size(), &needed, count))
            return buffer;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size())
            break;
        buffer.resize(needed);
    }
    *count = 0;
    return std::vector<BYTE>();
}

std::string list_printer_names(void) {
    DWORD count = 0;
    std::vector<BYTE> buffer = all_printers(&count);
    if (buffer.empty())
        return "";
    std::string names;
    const PRINTER_INFO_1A* info = (const PRINTER_INFO_1A*)buffer.data();
    for (DWORD i = 0; i < count; ++i)
        names += (names.empty() ? "" : ", ") + std::string(info[i].pName);
    return names.empty() ? "none" : names;
}

// Printer names are told apart without regard to case, as the print systems do.
static bool same_printer_name(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b))
            return false;
    return *a == *b;
}

// The printer a name the office wrote means: the printer of that name, else the one whose
// description it is (the desktop's printer settings show a queue by its description).
static std::string printer_named(const std::string& wanted) {
    DWORD count = 0;
    std::vector<BYTE> buffer = all_printers(&count);
    const PRINTER_INFO_1A* info = (const PRINTER_INFO_1A*)buffer.data();
    for (DWORD i = 0; i < count; ++i)
        if (same_printer_name(info[i].pName, wanted.c_str()))
            return info[i].pName;
    for (DWORD i = 0; i < count; ++i)
        if (info[i].pComment != NULL && same_printer_name(info[i].pComment, wanted.c_str()))
            return info[i].pName;
    return wanted;
}

// Whether the print system lists a printer of that name.
static bool printer_listed(const std::string& name) {
    DWORD count = 0;
    std::vector<BYTE> buffer = all_printers(&count);
    const PRINTER_INFO_1A* info = (const PRINTER_INFO_1A*)buffer.data();
    for (DWORD i = 0; i < count; ++i)
        if (same_printer_name(info[i].pName, name.c_str()))
            return true;
    return false;
}

// A printer name the print system did not know, as the printer whose description it is: true
// when `name` became that printer's. Asked only once the name has failed, so that a name that
// works costs nothing more.
static bool named_by_description(std::string& name) {
    if (GetLastError() != ERROR_INVALID_PRINTER_NAME || spool_options.printer != name)
        return false;
    std::string found = printer_named(name);
    if (found == name)
        return false;
    name = found;
    return true;
}

// The printer the folder prints on: the one its options name, else the default printer.
static int spool_printer_name(std::string& name) {
    if (!spool_options.printer.empty()) {
        name = spool_options.printer;
        return 0;
    }
    std::vector<BYTE> buffer;
    PRINTER_INFO_5A* info = NULL;
    if (read_default_printer(buffer, &info) != 0)
        return 1;
    if (info != NULL) {
        name = info->pPrinterName;
        return 0;
    }
    return default_printer_name(name);
}

// The scale that fits `columns` columns of 10 characters per inch, and 66 lines (the 11-inch
// form), into the printable area; never above 1: the grid is only ever made smaller. A column
// stays a whole number of device units, as the fonts' advances are.
static double fit_scale(HDC dc, int columns) {
    double width = GetDeviceCaps(dc, HORZRES), height = GetDeviceCaps(dc, VERTRES);
    double column = GetDeviceCaps(dc, LOGPIXELSX) / 10.0;
    double scale =
        std::min(1.0, std::min(width / (columns * column), height / (66.0 * line_pitch(dc))));
    return scale < 1.0 ? std::floor(column * scale) / column : 1.0;
}

double lay_out_office_page(HDC dc, const SpoolOptions& o) {
    double scale = o.fit_columns > 0 ? fit_scale(dc, o.fit_columns) : 1.0;
    if (scale < 1.0) {
        SetGraphicsMode(dc, GM_ADVANCED);
        XFORM shrink = {(FLOAT)scale, 0, 0, (FLOAT)scale, 0, 0};
        SetWorldTransform(dc, &shrink);
    }
    if (o.offset_x_mm != 0 || o.offset_y_mm != 0) {
        int x = (int)std::lround(o.offset_x_mm * GetDeviceCaps(dc, LOGPIXELSX) / 25.4);
        int y = (int)std::lround(o.offset_y_mm * GetDeviceCaps(dc, LOGPIXELSY) / 25.4);
        SetViewportOrgEx(dc, x, y, NULL);
    }
    return scale;
}

// The office's set-up on the folder's printer, the scale said once for as long as it stays.
static void set_up_page(HDC dc, FolderPrinter* printer) {
    const SpoolOptions& o = spool_options;
    double scale = lay_out_office_page(dc, o);
    if (o.fit_columns <= 0)
        return;
    char said[160];
    std::snprintf(said, sizeof said, "%.1f %%", scale * 100);
    if (printer->said_fit != said) {
        log_event(EVENT_INFO, "pages on \"%s\" are printed at %s to fit %d columns",
                  printer->name.c_str(), said, o.fit_columns);
        printer->said_fit = said;
    }
}

// What the fonts made for `dc` cannot keep, as a phrase ("" when they keep everything).
static std::string font_shortfall(HDC dc) {
    static const int PITCHES[4] = {10, 12, 17, 20};
    static const char TEN[] = "0000000000";
    FontSet set = build_font_set(dc, POLISH_FONT_SET);
    SaveDC(dc);
    std::string lost;
    // A fixed-pitch face keeps the character width the font asks for; a substitute may not.
    for (int pitch = 0; pitch < 4; ++pitch) {
        HFONT font = set.fonts[font_set_index(0, 0, pitch)];
        LOGFONTA asked;
        std::memset(&asked, 0, sizeof asked);
        if (GetObjectA(font, sizeof asked, &asked) == 0 || asked.lfWidth == 0)
            continue;
        SelectObject(dc, font);
        SIZE size = {0, 0};
        GetTextExtentPoint32A(dc, TEN, 10, &size);
        double wanted = 10.0 * std::abs(asked.lfWidth);
        if (size.cx > 0 && std::fabs(size.cx - wanted) > wanted * 0.03) {
            char text[96];
            std::snprintf(text, sizeof text, "%s%d cpi comes out at %.1f cpi",
                          lost.empty() ? "" : ", ", PITCHES[pitch],
                          PITCHES[pitch] * wanted / size.cx);
            lost += text;
        }
    }
    SelectObject(dc, set.fonts[font_set_index(1, 0, 0)]);
    TEXTMETRICA bold;
    std::memset(&bold, 0, sizeof bold);
    if (GetTextMetricsA(dc, &bold) && bold.tmWeight < FW_SEMIBOLD)
        lost += std::string(lost.empty() ? "" : ", ") + "bold comes out regular";
    RestoreDC(dc, -1);
    delete_font_set(dc, &set);
    return lost;
}

void note_printer_fonts(HDC dc, FolderPrinter* printer) {
    if (printer->said_fonts == printer->name)
        return;
    printer->said_fonts = printer->name;
    std::string lost = font_shortfall(dc);
    if (!lost.empty())
        log_event(EVENT_WARNING,
                  "the fonts on \"%s\" do not keep the grid: %s (install \"Courier New\" where "
                  "it prints)",
                  printer->name.c_str(), lost.c_str());
}

HDC open_default_printer_dc(FolderPrinter* printer) {
    std::string name;
    if (spool_printer_name(name) != 0)
        return NULL;
    HDC dc = CreateDCA(NULL, name.c_str(), NULL, NULL);
    if (dc == NULL && named_by_description(name))
        dc = CreateDCA(NULL, name.c_str(), NULL, NULL);
    printer->name = name;
    if (dc != NULL)
        set_up_page(dc, printer);
    return dc;
}

HANDLE open_folder_printer(FolderPrinter* printer) {
    std::string name;
    if (spool_printer_name(name) != 0)
        return NULL;
    HANDLE opened = NULL;
    if (!OpenPrinterA((LPSTR)name.c_str(), &opened, NULL) && named_by_description(name) &&
        !OpenPrinterA((LPSTR)name.c_str(), &opened, NULL))
        opened = NULL;
    printer->name = name;
    return opened;
}

#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
#define CHOOSE_A_PRINTER "choose one in Settings, Printers, or with printer = in zvspool.conf"
#else
#define CHOOSE_A_PRINTER "choose one with lpoptions -d PRINTER, or with printer = in zvspool.conf"
#endif

#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
#define BUILTIN_PDF_HINT(name) std::string()
#else
// PDF names the built-in printer only where it is the default; its own name is always its.
#define BUILTIN_PDF_HINT(name)                                                                     \
    (same_printer_name((name).c_str(), "PDF") ? "; the built-in PDF printer is \"zvspool PDF\""    \
                                              : "")
#endif

// What the options' printer, or the default one, is missing for, in words with the way out.
static std::string missing_printer_words(DWORD error) {
    std::string printers = list_printer_names();
    std::string listed = printers.empty() ? "" : "; the printers here: " + printers;
    // A spooler that lost its error on the way (Wine's says "success") still lists its printers.
    if (error == ERROR_SUCCESS && !spool_options.printer.empty() && !printers.empty() &&
        !printer_listed(spool_options.printer))
        error = ERROR_INVALID_PRINTER_NAME;
    if (!spool_options.printer.empty() && error == ERROR_INVALID_PRINTER_NAME)
        return "there is no printer \"" + spool_options.printer + "\"" + listed +
               BUILTIN_PDF_HINT(spool_options.printer);
    if (spool_options.printer.empty() && error == ERROR_FILE_NOT_FOUND)
        return "there is no default printer (" CHOOSE_A_PRINTER ")" + listed;
    char why[768];
    SetLastError(error);
    describe_failure(spool_options.printer.empty()
                         ? "cannot open the default printer"
                         : ("cannot open the printer \"" + spool_options.printer + "\"").c_str(),
                     why, sizeof why);
    return why;
}

void explain_missing_printer(char* text, size_t size) {
    std::snprintf(text, size, "%s", missing_printer_words(GetLastError()).c_str());
}

PrinterCheck check_printer(const std::string& name) {
    PrinterCheck check;
    check.name = name;
    SPOOLER_PRINTER_STATE state;
    std::memset(&state, 0, sizeof state);
    if (!spooler_printer_state(name.c_str(), NULL, &state)) {
        DWORD error = GetLastError();
        check.state = error == ERROR_INVALID_PRINTER_NAME ? PRINTER_UNKNOWN : PRINTER_UNREACHABLE;
        check.words = missing_printer_words(error);
        return check;
    }
    check.state = state.stopped      ? PRINTER_STOPPED
                  : !state.accepting ? PRINTER_REFUSES
                                     : PRINTER_READY;
    check.words = state.words;
    check.reasons = state.reasons;
    return check;
}

bool printer_holds_jobs(const PrinterCheck& printer) {
    return printer.state != PRINTER_READY && printer.state != PRINTER_REFUSES;
}

PrinterCheck check_folder_printer(void) {
    std::string name;
    if (spool_printer_name(name) != 0) {
        DWORD error = GetLastError();
        PrinterCheck check;
        check.state = error == ERROR_FILE_NOT_FOUND ? PRINTER_NONE : PRINTER_UNREACHABLE;
        check.words = missing_printer_words(error);
        return check;
    }
    PrinterCheck check = check_printer(name);
    if (check.state == PRINTER_UNKNOWN) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        if (named_by_description(name))
            check = check_printer(name);
    }
    return check;
}

// The printer's level-2 record, or an empty buffer.
static std::vector<BYTE> printer_record(const std::string& name) {
    std::vector<BYTE> record;
    HANDLE printer = NULL;
    if (!OpenPrinterA((LPSTR)name.c_str(), &printer, NULL))
        return record;
    DWORD needed = 0;
    GetPrinterA(printer, 2, NULL, 0, &needed);
    if (needed >= sizeof(PRINTER_INFO_2A)) {
        record.resize(needed);
        if (!GetPrinterA(printer, 2, record.data(), needed, &needed))
            record.clear();
    }
    ClosePrinter(printer);
    return record;
}

int describe_default_printer(char* text, size_t size) {
    std::string name;
    if (spool_printer_name(name) != 0) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            std::snprintf(text, size, "none (no default printer is set)");
            return 1;
        }
        char why[512];
        describe_error(error, why, sizeof why);
        std::snprintf(text, size, "not known (the print system cannot be asked: %s)", why);
        return 2;
    }
    std::vector<BYTE> record = printer_record(name);
    if (record.empty() && named_by_description(name))
        record = printer_record(name);
    if (record.empty()) {
        std::snprintf(text, size, "\"%s\"", name.c_str());
        return 0;
    }
    // The queue as its user names it: on its print server, or on this computer printing to its
    // device. A print server's own address of the queue means nothing to the user.
    const PRINTER_INFO_2A* info = (const PRINTER_INFO_2A*)record.data();
    std::string where;
    if (info->pServerName && *info->pServerName)
        where = std::string(" on the print server ") + info->pServerName;
    else if (info->pPortName && *info->pPortName)
        where = std::string(" printing to ") + info->pPortName;
    const char* comment = info->pComment ? info->pComment : "";
    std::snprintf(text, size, "\"%s\"%s%s%s%s", name.c_str(), where.c_str(), *comment ? " (" : "",
                  comment, *comment ? ")" : "");
    return 0;
}

void note_default_printer(FolderPrinter* printer) {
    char text[1024];
    // While the print system cannot be asked, the default printer is not known to have changed.
    if (describe_default_printer(text, sizeof text) == 2 || printer->said_default == text)
        return;
    if (!printer->said_default.empty())
        log_event(EVENT_INFO, "the default printer is now %s", text);
    printer->said_default = text;
}

int describe_job(const char* printer, DWORD job_id, DWORD* status, char* text, size_t size,
                 long long* submitted) {
    HANDLE handle = NULL;
    if (!OpenPrinterA((LPSTR)printer, &handle, NULL))
        return 1;
    DWORD needed = 0;
    int result = 1;
    if (!GetJobA(handle, job_id, 1, NULL, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        DWORD error = GetLastError();
        ClosePrinter(handle);
        SetLastError(error);
        return 1;
    }
    if (needed >= sizeof(JOB_INFO_1A)) {
        std::vector<BYTE> record(needed);
        if (GetJobA(handle, job_id, 1, record.data(), needed, &needed)) {
            const JOB_INFO_1A* job = (const JOB_INFO_1A*)record.data();
            *status = job->Status;
            const SYSTEMTIME& t = job->Submitted;
            if (submitted != NULL)
                *submitted =
                    ((((t.wYear * 100LL + t.wMonth) * 100 + t.wDay) * 100 + t.wHour) * 100 +
                     t.wMinute) *
                        100 +
                    t.wSecond;
            if (job->pStatus != NULL && job->pStatus[0] != '\0')
                std::snprintf(text, size, "%s", job->pStatus);
            else
                std::snprintf(text, size, "job %lu, status 0x%lx", (unsigned long)job_id,
                              (unsigned long)job->Status);
            result = 0;
        }
    }
    DWORD error = GetLastError();
    ClosePrinter(handle);
    SetLastError(error);
    return result;
}
