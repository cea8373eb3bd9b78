// The job stream interpreter: a dot-matrix printer's byte stream (text, LF, CR, FF and ESC
// sequences for pitch, bold, underline, margin and Cyrillic text) drawn on a printer's pages.
#pragma once

#include "platform/win32.h"
#include "render/font_factory.h"

#include <cstdint>
#include <cstdio>

enum {
    TEXT_RUN_CAPACITY = 400,
    READ_PIECE_SIZE = 400,
    // How often the reading asks whether to go on: every 256 pieces, about 100 KB.
    ABORT_CHECK_PIECES = 256,
};

// Both outlive a job: the left margin, in device units, carries on into the next job (0 when the
// process starts); Cyrillic mode is switched off at the start of every job.
extern int32_t left_margin;
extern int32_t cyrillic_mode;
// The pages the last job ended, for the log.
extern int32_t job_page_count;

// Characters per inch of each pitch index.
extern const int pitch_cpi[4];

// Code page 866 letters to their code page 1251 values, indexed by byte - 0x80; every other byte
// maps to itself.
extern const unsigned char cyrillic_translation_table[128];

// The state of one job.
struct PrintState {
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

    int incomplete; // text dropped or a page lost: the job was not printed whole
};

// Prints one job stream on `dc`, on which a document has been started and no page is open. Reads
// `stream` to its end (it is neither closed nor rewound) and ends the last page. `keep_going`, the
// document's abort procedure (or NULL), is asked now and then while the stream is read; when it
// says stop, reading ends there. Returns 0 when the whole job was printed, 1 when output is
// incomplete: a page could not be started or ended, the stream could not be read, or the job was
// stopped.
int print_job_stream(HDC dc, FILE* stream, ABORTPROC keep_going);
