#include "render/print_job.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const int pitch_cpi[4] = {10, 12, 17, 20};

// clang-format off
const unsigned char cyrillic_translation_table[128] = {
    // 0x80..0xAF: А..Я, а..п
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    // 0xB0..0xDF: box drawing, unchanged
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    // 0xE0..0xEF: р..я
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
    // 0xF0 Ё, 0xF1 ё, then unchanged
    0xA8, 0xB8, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};
// clang-format on

// Output was lost; a job abandoned stays abandoned (its pages fail once the document is aborted).
static void incomplete(JobPrintState* job) {
    if (job->end == JOB_WHOLE)
        job->end = JOB_INCOMPLETE;
}

static void select_current_font(PrintState* s) {
    const FontSet* set = s->job->cyrillic_mode ? &s->cyrillic_fonts : &s->polish_fonts;
    SelectObject(s->dc, set->fonts[font_set_index(s->bold, s->underline, s->pitch)]);
}

// Top of the current line; a job that never feeds a form can run far below the page, so the
// product is kept well inside the coordinate range (the device adds the font's height to it).
static int line_top(const PrintState* s) {
    const long long lowest = INT_MAX / 2;
    long long y = (long long)s->line * s->line_pitch;
    return y > lowest ? (int)lowest : (int)y;
}

static void start_page_if_needed(PrintState* s) {
    if (s->page_open)
        return;
    s->page_open = StartPage(s->dc) > 0;
    s->page_prepare_pending = s->page_open;
    // Whatever the stream did while no page was open (form feeds, lines) is lost to the output.
    if (!s->page_open)
        incomplete(s->job);
}

static void prepare_page(PrintState* s) {
    s->line = 0;
    s->page_prepare_pending = 0;
    SetBkMode(s->dc, TRANSPARENT);
    SetTextAlign(s->dc, TA_UPDATECP);
    select_current_font(s);
    MoveToEx(s->dc, s->job->left_margin, 0, NULL);
}

// The entry of the current page among the pages with text outside (NULL past the first few),
// made when it is the first.
static OffPagePage* off_page_entry(JobPrintState* job) {
    OffPageText* off = &job->off_page;
    int32_t page = job->pages + 1;
    if (off->last_page != page) {
        off->last_page = page;
        ++off->pages;
        if (off->pages <= OFF_PAGE_LISTED) {
            std::memset(&off->listed[off->pages - 1], 0, sizeof off->listed[0]);
            off->listed[off->pages - 1].page = page;
        }
    }
    return off->pages <= OFF_PAGE_LISTED ? &off->listed[off->pages - 1] : NULL;
}

// Counts what of a run drawn from `from` to `to` on the current line falls outside the printable
// area: the line when it reaches below the bottom, the characters that reach past either side.
static void count_off_page(PrintState* s, long long from, long long to, unsigned length) {
    long long top = line_top(s);
    int below = top + s->text_height > s->printable_bottom && s->line != s->last_line_below;
    long long right = 0, left = 0;
    if (length > 0 && to != from) {
        double advance = (double)(to - from) / length;
        if (to > s->printable_right)
            right = (long long)((to - s->printable_right) / advance + 0.999999);
        if (from < s->printable_left)
            left = (long long)((s->printable_left - from) / advance + 0.999999);
        right = right > length ? length : right;
        left = left > length ? length : left;
    }
    if (!below && right == 0 && left == 0)
        return;
    OffPageText* off = &s->job->off_page;
    OffPagePage* entry = off_page_entry(s->job);
    if (below) {
        s->last_line_below = s->line;
        ++off->lines_below;
    }
    off->chars_right += right;
    off->chars_left += left;
    if (entry != NULL) {
        entry->lines_below += below;
        entry->chars_right += right;
        entry->chars_left += left;
    }
}

static void flush_text_run(PrintState* s) {
    if (s->text_run_length == 0 || !s->page_open)
        return;
    select_current_font(s);
    POINT from, to;
    GetCurrentPositionEx(s->dc, &from);
    if (!TextOutA(s->dc, 0, line_top(s), (const char*)s->text_run, (int)s->text_run_length))
        incomplete(s->job);
    GetCurrentPositionEx(s->dc, &to);
    count_off_page(s, from.x, to.x, s->text_run_length);
    s->text_run_length = 0;
}

// A full run is drawn and emptied so the job goes on; with no page to draw it on, it is lost.
static void flush_full_text_run(PrintState* s) {
    flush_text_run(s);
    if (s->text_run_length != 0) {
        s->text_run_length = 0;
        incomplete(s->job);
    }
}

static void end_page(PrintState* s) {
    s->last_line_below = -1;
    if (s->page_open) {
        if (EndPage(s->dc) > 0)
            ++s->job->pages;
        else
            incomplete(s->job);
    }
    s->page_open = 0;
}

static void apply_parameter_command(PrintState* s) {
    int n = std::atoi(s->parameter);
    if (s->escape_command == 32)
        s->job->left_margin = (int32_t)(n * (double)s->horizontal_resolution / pitch_cpi[s->pitch]);
    else
        s->job->cyrillic_mode = n;
}

static void apply_command(PrintState* s, unsigned char command) {
    switch (command) {
    case 1: s->pitch = 2; break;
    case 2: s->pitch = 3; break;
    case 3: s->pitch = 0; break;
    case 4: s->pitch = 1; break;
    case 7:
    case 9: s->bold = 1; break;
    case 10:
    case 8: s->bold = 0; break;
    case 14: s->underline = 1; break;
    case 15: s->underline = 0; break;
    case 25:
        s->pitch = s->bold = s->underline = 0;
        s->job->left_margin = 0;
        s->job->cyrillic_mode = 0;
        break;
    case 32:
    case 39:
        s->escape_stage = 2;
        s->escape_command = command;
        s->parameter_count = 0;
        s->parameter_ended = 0;
        std::memset(s->parameter, 0, sizeof s->parameter);
        return;
    default: break;
    }
    s->escape_stage = 0;
}

// Two parameter bytes are always consumed; like a string copy, the value stops at a zero byte.
static void take_parameter_byte(PrintState* s, unsigned char byte) {
    if (byte == 0)
        s->parameter_ended = 1;
    if (!s->parameter_ended)
        s->parameter[s->parameter_count] = (char)byte;
    if (++s->parameter_count == 2) {
        apply_parameter_command(s);
        s->escape_stage = 0;
    }
}

static void control_byte(PrintState* s, unsigned char byte) {
    flush_text_run(s);
    switch (byte) {
    case 10:
        if (s->line < INT32_MAX)
            ++s->line;
        MoveToEx(s->dc, s->job->left_margin, line_top(s), NULL);
        break;
    case 13: MoveToEx(s->dc, s->job->left_margin, line_top(s), NULL); break;
    case 12: end_page(s); break;
    case 27: s->escape_stage = 1; break;
    default: break;
    }
}

static void interpret_byte(PrintState* s, unsigned char byte) {
    if (s->escape_stage == 1) {
        apply_command(s, byte);
        return;
    }
    if (s->escape_stage == 2) {
        take_parameter_byte(s, byte);
        return;
    }
    start_page_if_needed(s);
    if (s->page_prepare_pending)
        prepare_page(s);
    if (byte >= 32) {
        s->text_run[s->text_run_length++] = (s->job->cyrillic_mode && byte >= 0x80)
                                                ? cyrillic_translation_table[byte - 0x80]
                                                : byte;
        if (s->text_run_length == TEXT_RUN_CAPACITY)
            flush_full_text_run(s);
    } else {
        control_byte(s, byte);
    }
}

void print_job_stream(HDC dc, FILE* stream, ABORTPROC keep_going, JobPrintState* job) {
    job->cyrillic_mode = 0;
    job->pages = 0;
    job->off_page = OffPageText{};
    job->end = JOB_WHOLE;
    PrintState s;
    std::memset(&s, 0, sizeof s);
    s.job = job;
    s.dc = dc;
    s.last_line_below = -1;
    s.page_open = StartPage(dc) > 0;
    s.page_prepare_pending = s.page_open;
    if (!s.page_open) {
        incomplete(job);
        return;
    }
    s.polish_fonts = build_font_set(dc, POLISH_FONT_SET);
    s.cyrillic_fonts = build_font_set(dc, CYRILLIC_FONT_SET);
    SaveDC(dc);
    s.horizontal_resolution = (float)GetDeviceCaps(dc, LOGPIXELSX);
    s.line_pitch = line_pitch(dc);
    // The printable area where the text is laid out: a page moved or made smaller for the office's
    // forms has it elsewhere in the text's own units.
    POINT area[2] = {{0, 0}, {GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, VERTRES)}};
    DPtoLP(dc, area, 2);
    s.printable_left = area[0].x;
    s.printable_right = area[1].x;
    s.printable_bottom = area[1].y;
    // Every font of the job is as tall as the first (12 points at the printer's resolution).
    TEXTMETRICA metrics;
    select_current_font(&s);
    s.text_height = GetTextMetricsA(dc, &metrics) ? metrics.tmHeight : s.line_pitch;

    unsigned char piece[READ_PIECE_SIZE];
    size_t count;
    for (unsigned pieces = 1; (count = std::fread(piece, 1, sizeof piece, stream)) > 0; ++pieces) {
        // Input that draws nothing (a file of zero bytes) calls no page function, whose abort
        // checks would end the job: the reading asks too.
        if (keep_going != NULL && pieces % ABORT_CHECK_PIECES == 0 && !keep_going(dc, 0)) {
            job->end = JOB_ABANDONED;
            break;
        }
        for (size_t p = 0; p < count; ++p)
            interpret_byte(&s, piece[p]);
    }
    if (std::ferror(stream))
        incomplete(job);

    // A parameter cut off by the end of the stream counts with the digits it has.
    if (s.escape_stage == 2)
        apply_parameter_command(&s);
    if (s.text_run_length > 0) {
        start_page_if_needed(&s);
        if (s.page_prepare_pending)
            prepare_page(&s);
        flush_full_text_run(&s);
    }
    delete_font_set(dc, &s.polish_fonts);
    delete_font_set(dc, &s.cyrillic_fonts);
    RestoreDC(dc, -1);
    end_page(&s);
}

static void add_amount(std::string* out, long long n, const char* one, const char* many) {
    if (n == 0)
        return;
    char text[96];
    std::snprintf(text, sizeof text, "%s%lld %s", out->empty() ? "" : ", ", n, n == 1 ? one : many);
    *out += text;
}

std::string describe_off_page(const OffPageText* off) {
    std::string out;
    int listed = off->pages < OFF_PAGE_LISTED ? off->pages : OFF_PAGE_LISTED;
    for (int i = 0; i < listed; ++i) {
        const OffPagePage& p = off->listed[i];
        std::string amounts;
        add_amount(&amounts, p.lines_below, "line below the bottom", "lines below the bottom");
        add_amount(&amounts, p.chars_right, "character past the right edge",
                   "characters past the right edge");
        add_amount(&amounts, p.chars_left, "character left of the left edge",
                   "characters left of the left edge");
        char page[64];
        std::snprintf(page, sizeof page, "%spage %d (", i == 0 ? "" : "; ", p.page);
        out += page + amounts + ")";
    }
    if (off->pages > listed) {
        std::string amounts;
        add_amount(&amounts, off->lines_below, "line", "lines");
        add_amount(&amounts, off->chars_right + off->chars_left, "character", "characters");
        char more[160];
        std::snprintf(more, sizeof more, "; and %d more pages (in all %s)", off->pages - listed,
                      amounts.c_str());
        out += more;
    }
    return out;
}
