// zv-render: prints job files the way the spooler does, but into a PDF file or PNG images instead
// of on a printer. All jobs go into one document, in order, so a margin set by one job carries
// into the next as it does in the spooler.
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/winspool/cups/cups_printers.h"
#include "platform/portable/winspool/pdf_files.h"
#include "render/print_job.h"
#include "spool/default_printer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char usage[] =
    "usage: zv-render [--printer QUEUE [--margins]] [--dpi N] [--paper a4|letter]\n"
    "                 [-o OUT.pdf|OUT.png] JOB...\n"
    "Lays the jobs out as zvspool prints them: on the paper's corner (A4, or Letter), or, with\n"
    "--printer, exactly as the CUPS queue QUEUE prints them (its paper, its printable area and\n"
    "its resolution), so that the preview is the printout. --margins keeps the queue's paper but\n"
    "lays out from its corner. Text outside the printable area is said on standard error.\n";

bool ends_with(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

int bad_usage(const char* why) {
    std::fprintf(stderr, "zv-render: %s\n%s", why, usage);
    return 2;
}

int fail(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "zv-render: %s: %s\n", what.c_str(), why.c_str());
    return 1;
}

// The job's name with its extension replaced by .pdf.
std::string default_output(const std::string& job) {
    size_t slash = job.find_last_of('/');
    size_t dot = job.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return job + ".pdf";
    return job.substr(0, dot) + ".pdf";
}

// The printer's words for the last failure, or `fallback` when it has none.
std::string last_error_words(const char* fallback) {
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, GetLastError(), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    return length > 0 ? std::string(text, length) : fallback;
}

// Prints every job, in order, into the document open on `dc`: 0, or the exit status of the first
// failure, which is said.
int print_jobs(HDC dc, const std::vector<std::string>& jobs, const std::string& out) {
    JobPrintState state; // the margin goes on from job to job, as the spooler's does
    for (const auto& job : jobs) {
        FILE* stream = std::fopen(job.c_str(), "rb");
        if (!stream)
            return fail(job, std::strerror(errno));
        errno = 0;
        print_job_stream(dc, stream, NULL, &state);
        int read_error = std::ferror(stream) ? (errno ? errno : EIO) : 0;
        std::fclose(stream);
        if (read_error)
            return fail(job, std::strerror(read_error));
        if (state.end != JOB_WHOLE)
            return fail(out, last_error_words("output incomplete"));
        std::string off = describe_off_page(&state.off_page);
        if (!off.empty())
            std::fprintf(stderr, "zv-render: %s: text outside the printable area, cut off: %s\n",
                         job.c_str(), off.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    zvp::keep_heap_between_pages();
    int dpi = 0;
    bool letter = false, paper_given = false, margins = false;
    std::string out, queue;
    std::vector<std::string> jobs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("zv-render %s\n", ZV_VERSION);
            return 0;
        } else if (arg == "--margins") {
            margins = true;
        } else if (arg == "--dpi" || arg == "--paper" || arg == "-o" || arg == "--printer") {
            if (i + 1 >= argc)
                return bad_usage((arg + " needs a value").c_str());
            std::string value = argv[++i];
            if (arg == "--dpi") {
                char* end = nullptr;
                long v = std::strtol(value.c_str(), &end, 10);
                if (!*value.c_str() || *end || v < 36 || v > 2400)
                    return bad_usage("--dpi takes a whole number from 36 to 2400");
                dpi = static_cast<int>(v);
            } else if (arg == "--paper") {
                if (value != "a4" && value != "letter")
                    return bad_usage("--paper is a4 or letter");
                letter = value == "letter";
                paper_given = true;
            } else if (arg == "--printer") {
                queue = value;
            } else {
                out = value;
            }
        } else if (arg == "--") {
            jobs.insert(jobs.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad_usage(("unknown option " + arg).c_str());
        } else {
            jobs.push_back(arg);
        }
    }
    if (jobs.empty())
        return bad_usage("no job file given");
    if (!queue.empty() && paper_given)
        return bad_usage("--printer brings its own paper: no --paper with it");
    if (margins && queue.empty())
        return bad_usage("--margins goes with --printer");
    if (out.empty())
        out = default_output(jobs.front());
    bool png = ends_with(out, ".png");
    if (!png && !ends_with(out, ".pdf"))
        return bad_usage("the output name must end in .pdf or .png");
    bool dpi_given = dpi != 0;
    if (dpi == 0)
        dpi = png ? 150 : 600;

    // Every job must be readable before the document starts, so a typo costs no half output.
    for (const auto& job : jobs) {
        struct stat st;
        if (stat(job.c_str(), &st) != 0)
            return fail(job, std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            return fail(job, "is a directory");
    }

    zvp::PageSetup page = letter ? zvp::letter_page(dpi) : zvp::a4_page(dpi);
    if (!queue.empty()) {
        std::string why;
        if (!zvp::queue_page_setup(queue, page, why))
            return fail(queue, why);
        if (margins)
            page.margin_left_mm = page.margin_top_mm = page.margin_right_mm =
                page.margin_bottom_mm = 0;
        // The queue's resolution, unless a PNG preview asks for another.
        if (png || dpi_given)
            page.dpi = dpi;
    }
    HDC dc = png ? zvp::create_png_printer_dc(page, out.substr(0, out.size() - 4))
                 : zvp::create_pdf_printer_dc(page, zvp::pdf_file_sink(out));
    DOCINFOA doc = zv_document_info();
    int status = StartDocA(dc, &doc) > 0 ? 0 : fail(out, last_error_words("cannot open it"));
    if (status == 0)
        status = print_jobs(dc, jobs, out);
    if (status == 0 && EndDoc(dc) <= 0)
        status = fail(out, last_error_words("cannot finish it"));
    if (status != 0) {
        // A document that failed is abandoned: a PDF is never left half written (PNG pages that
        // were finished stay).
        AbortDoc(dc);
        DeleteDC(dc);
        return status;
    }
    DeleteDC(dc);
    std::printf("%s\n", png ? (out.substr(0, out.size() - 4) + "-*.png").c_str() : out.c_str());
    return 0;
}
