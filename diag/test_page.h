// The printer test sheet: the system-menu command "&Drukuj" prints the sample line once in every
// font of the Polish font set, to show that the printer, fonts, pitches and letters come out right.
#pragma once

#include "platform/win32.h"

#include <string>

#define IDM_PRINT_TEST 1

enum { SAMPLE_LINE_LENGTH = 162 };

// 162 bytes of code page 1250: the 18 Polish letters, "--ij", and "1234567890" fourteen times.
// Always drawn whole, without its terminator.
extern const char sample_line[SAMPLE_LINE_LENGTH + 1];

// WM_CREATE: appends a separator and "&Drukuj" to the window's system menu.
void add_test_page_command(HWND window);
// WM_SYSCOMMAND IDM_PRINT_TEST: prints the sheet, and says so in a message box if it failed;
// `why` says why ("" when it printed), for the window to show beside the box.
void run_test_page_command(HWND window, std::string* why);

// Prints the sheet on the default printer as one document. Returns 0 when it was printed, 1 when
// not; a document that failed on the way is abandoned, never left half-open.
int print_test_page(HWND window);
// The same, with why it was not printed in `why`.
int print_test_sheet(std::string* why);
// Draws the sixteen lines on the open page of `dc`, one line pitch apart from the top left.
// Returns 0, or 1 when a line could not be drawn (the last error says why).
int draw_test_page(HDC dc);
