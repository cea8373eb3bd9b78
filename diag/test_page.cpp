#include "diag/test_page.h"

#include "render/font_factory.h"
#include "spool/event_log.h"
#include "spool/folder_printer.h"
#include "spool/print_document.h"

#include <cstdio>
#include <cstring>

// clang-format off
const char sample_line[SAMPLE_LINE_LENGTH + 1] =
    "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF" "--ij"
    "1234567890" "1234567890" "1234567890" "1234567890" "1234567890" "1234567890" "1234567890"
    "1234567890" "1234567890" "1234567890" "1234567890" "1234567890" "1234567890" "1234567890";
// clang-format on

// "Nie mogłam wydrukować strony!" in code page 1250.
static const char PRINT_FAILED_TEXT[] = "Nie mog\xB3"
                                        "am wydrukowa\xE6 strony!";
static const char APP_CAPTION[] = "Doduzi";
static const char PRINT_MENU_TEXT[] = "&Drukuj";

void add_test_page_command(HWND window) {
    HMENU menu = GetSystemMenu(window, FALSE);
    AppendMenuA(menu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(menu, MF_STRING, IDM_PRINT_TEST, PRINT_MENU_TEXT);
}

void run_test_page_command(HWND window, std::string* why) {
    if (print_test_sheet(why) != 0)
        MessageBoxA(window, PRINT_FAILED_TEXT, APP_CAPTION, MB_ICONEXCLAMATION);
}

int print_test_page(HWND window) {
    (void)window;
    std::string why;
    return print_test_sheet(&why);
}

// The sheet's line is wider than most paper: how much of it each pitch prints, said in the log
// as a job's text cut at the printable edge is.
static void note_cut_lines(HDC dc, const std::string& printer) {
    static const int PITCHES[] = {10, 12, 17, 20};
    int width = GetDeviceCaps(dc, HORZRES), dpi = GetDeviceCaps(dc, LOGPIXELSX);
    if (width <= 0 || dpi <= 0)
        return;
    std::string fit;
    for (int cpi : PITCHES) {
        int columns = (int)((long long)width * cpi / dpi);
        if (columns >= SAMPLE_LINE_LENGTH)
            continue;
        fit += (fit.empty() ? "" : ", ") + std::to_string(columns) + " at " + std::to_string(cpi) +
               " cpi";
    }
    if (!fit.empty())
        log_event(EVENT_INFO,
                  "the test sheet's lines are %d characters wide; the printable width of \"%s\" "
                  "holds %s: the rest of each line is cut off at its edge",
                  SAMPLE_LINE_LENGTH, printer.c_str(), fit.c_str());
}

int print_test_sheet(std::string* why) {
    why->clear();
    char reason[768];
    FolderPrinter printer;
    HDC dc = open_default_printer_dc(&printer);
    if (dc == NULL) {
        explain_missing_printer(reason, sizeof reason);
        log_event(EVENT_ERROR, "the test sheet was not printed: %s", reason);
        *why = reason;
        return 1;
    }
    note_cut_lines(dc, printer.name);
    DocumentSteps steps;
    // A document the printer did not take whole is not reported as printed.
    steps.pages = [&](HDC on) {
        if (StartPage(on) <= 0) {
            describe_failure("cannot start the page", reason, sizeof reason);
            return 1;
        }
        if (draw_test_page(on) != 0) {
            describe_failure("cannot draw the text", reason, sizeof reason);
            return 1;
        }
        if (EndPage(on) <= 0) {
            describe_failure("cannot print the page", reason, sizeof reason);
            return 1;
        }
        return 0;
    };
    int job_id = 0;
    DocumentEnd end = print_document(dc, NULL, steps, &job_id);
    if (end == DOCUMENT_NOT_STARTED)
        describe_failure("cannot start the document", reason, sizeof reason);
    else if (end == DOCUMENT_END_FAILED)
        describe_failure("cannot end the document", reason, sizeof reason);
    DeleteDC(dc);
    if (end != DOCUMENT_WHOLE) {
        log_event(EVENT_ERROR, "the test sheet was not printed: %s", reason);
        *why = reason;
        return 1;
    }
    DWORD status = 0;
    if (describe_job(printer.name.c_str(), (DWORD)job_id, &status, reason, sizeof reason, NULL) !=
        0)
        std::snprintf(reason, sizeof reason, "job %d", job_id);
    log_event(EVENT_INFO, "printed the test sheet on \"%s\": %s", printer.name.c_str(), reason);
    return 0;
}

int draw_test_page(HDC dc) {
    int failed = 0;
    FontSet fonts = build_font_set(dc, POLISH_FONT_SET);
    SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    int line_step = line_pitch(dc);
    // Line k: pitch k / 4, then regular, bold, underlined, bold underlined.
    for (int line = 0; line < 16; ++line) {
        int pitch = line / 4, style = line % 4;
        int bold = style % 2, underline = style / 2;
        SelectObject(dc, fonts.fonts[font_set_index(bold, underline, pitch)]);
        if (!TextOutA(dc, 0, line * line_step, sample_line, SAMPLE_LINE_LENGTH))
            failed = 1;
    }
    delete_font_set(dc, &fonts);
    RestoreDC(dc, -1);
    return failed;
}
