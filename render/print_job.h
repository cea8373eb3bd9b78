// The job stream interpreter: a dot-matrix printer's byte stream (text, LF, CR, FF and ESC
// sequences for pitch, bold, underline, margin and Cyrillic text) drawn on a printer's pages.
#pragma once

#include "platform/win32.h"
#include "render/font_factory.h"

#include <cstdint>
#include <cstdio>
#include <string>

enum {
    TEXT_RUN_CAPACITY = 400,
    READ_PIECE_SIZE = 400,
    // How often the reading asks whether to go on: every 256 pieces, about 100 KB.
    ABORT_CHECK_PIECES = 256,
};

// What of a job fell outside the printer's printable area, where the printer cannot print
// it: the layout keeps the dot-matrix grid, so such text is cut, never moved.
enum { OFF_PAGE_LISTED = 10 };
struct OffPagePage {
    int32_t page; // from 1
    int32_t lines_below;
    int64_t chars_right;
    int64_t chars_left;
};
struct OffPageText {
    int32_t pages;                                // pages with text outside
    OffPagePage listed[OFF_PAGE_LISTED];          // the first of them
    int64_t lines_below, chars_right, chars_left; // over the whole job
    int32_t last_page;                            // the page last counted
};
// One phrase for the log: the pages and how much fell outside ("" when nothing did).
std::string describe_off_page(const OffPageText* off);

// Characters per inch of each pitch index.
extern const int pitch_cpi[4];

// Code page 866 letters to their code page 1251 values, indexed by byte - 0x80; every other byte
// maps to itself.
extern const unsigned char cyrillic_translation_table[128];

// How a job's printing ended.
enum JobEnd {
    JOB_WHOLE,      // every page printed
    JOB_INCOMPLETE, // a page could not be started or ended, or the stream could not be read
    JOB_ABANDONED,  // the abort procedure said stop
};

// What a job takes from the jobs before it and leaves to the ones after it, and what became of it.
struct JobPrintState {
    // Carried from job to job: the left margin, in device units (0 when the process starts), goes
    // on into the next job; Cyrillic mode, switched off at the start of every job.
    int32_t left_margin = 0;
    int32_t cyrillic_mode = 0;
    // Of this job.
    int32_t pages = 0;
    OffPageText off_page{};
    JobEnd end = JOB_WHOLE;
};

// The interpreter's state while it prints one job.
struct PrintState {
    JobPrintState* job;
    int pitch; // 0..3: 10, 12, 17, 20 characters per inch
    int bold;
    int underline;
    int32_t line; // on the current page, 0 at the top
    int page_open;
    int page_prepare_pending;
    unsigned char text_run[TEXT_RUN_CAPACITY];
    unsigned text_run_length;

    // Fixed for the job.
    HDC dc;
    int line_pitch;
    float horizontal_resolution;
    FontSet polish_fonts;
    FontSet cyrillic_fonts;

    // An escape sequence may straddle two reads: 1 = the command byte is next, 2 = parameter
    // bytes are (escape_command 32 or 39).
    int escape_stage;
    int escape_command;
    int parameter_count;
    int parameter_ended;
    char parameter[4];

    // The printable area in the text's units (the device's, unless the page is moved or made
    // smaller), and the line of this page last counted below it.
    int printable_left;
    int printable_right;
    int printable_bottom;
    int text_height;
    int32_t last_line_below;
};

// Prints one job stream on `dc`, on which a document has been started and no page is open. Reads
// `stream` to its end (it is neither closed nor rewound) and ends the last page. `keep_going`, the
// document's abort procedure (or NULL), is asked now and then while the stream is read; when it
// says stop, reading ends there and the job is abandoned. `job` brings the margin of the jobs
// before; it comes back with the margin and mode this job left, its pages, what fell outside the
// printable area and how it ended (a job whose text was dropped or a page lost is incomplete).
void print_job_stream(HDC dc, FILE* stream, ABORTPROC keep_going, JobPrintState* job);
