// zv-render: prints job files the way the spooler does, but into a PDF file or PNG images instead
// of on a printer. All jobs go into one document, in order, so a margin set by one job carries
// into the next as it does in the spooler.
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/winspool/cups/cups_printers.h"
#include "platform/portable/winspool/pdf_files.h"
#include "render/print_job.h"
#include "spool/print_document.h"

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

// What the command line asks for.
struct Options {
    int dpi = 0; // 0: the output's own (600 for PDF, 150 for PNG)
    bool letter = false, paper_given = false, margins = false, png = false;
    std::string out, queue;
    std::vector<std::string> jobs;
};

constexpr int kGoOn = -1;

// Reads the arguments into `o`: kGoOn, or the exit status when there is nothing more to do.
int parse_arguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("zv-render %s\n", ZV_VERSION);
            return 0;
        } else if (arg == "--margins") {
            o.margins = true;
        } else if (arg == "--dpi" || arg == "--paper" || arg == "-o" || arg == "--printer") {
            if (i + 1 >= argc)
                return bad_usage((arg + " needs a value").c_str());
            std::string value = argv[++i];
            if (arg == "--dpi") {
                char* end = nullptr;
                long v = std::strtol(value.c_str(), &end, 10);
                if (!*value.c_str() || *end || v < 36 || v > 2400)
                    return bad_usage("--dpi takes a whole number from 36 to 2400");
                o.dpi = static_cast<int>(v);
            } else if (arg == "--paper") {
                if (value != "a4" && value != "letter")
                    return bad_usage("--paper is a4 or letter");
                o.letter = value == "letter";
                o.paper_given = true;
            } else if (arg == "--printer") {
                o.queue = value;
            } else {
                o.out = value;
            }
        } else if (arg == "--") {
            o.jobs.insert(o.jobs.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad_usage(("unknown option " + arg).c_str());
        } else {
            o.jobs.push_back(arg);
        }
    }
    if (o.jobs.empty())
        return bad_usage("no job file given");
    if (!o.queue.empty() && o.paper_given)
        return bad_usage("--printer brings its own paper: no --paper with it");
    if (o.margins && o.queue.empty())
        return bad_usage("--margins goes with --printer");
    if (o.out.empty())
        o.out = default_output(o.jobs.front());
    o.png = ends_with(o.out, ".png");
    if (!o.png && !ends_with(o.out, ".pdf"))
        return bad_usage("the output name must end in .pdf or .png");
    return kGoOn;
}

// The page to lay out on: the paper asked for, or the queue's; false with `why` when the queue
// cannot say.
bool page_of(const Options& o, zvp::PageSetup& page, std::string& why) {
    int dpi = o.dpi != 0 ? o.dpi : o.png ? 150 : 600;
    page = o.letter ? zvp::letter_page(dpi) : zvp::a4_page(dpi);
    if (o.queue.empty())
        return true;
    if (!zvp::queue_page_setup(o.queue, page, why))
        return false;
    if (o.margins)
        page.margin_left_mm = page.margin_top_mm = page.margin_right_mm = page.margin_bottom_mm = 0;
    // The queue's resolution, unless a PNG preview asks for another.
    if (o.png || o.dpi != 0)
        page.dpi = dpi;
    return true;
}

// Prints the jobs as one document into the output: 0, or the exit status of the failure said.
int render(const Options& o, const zvp::PageSetup& page) {
    HDC dc = o.png ? zvp::create_png_printer_dc(page, o.out.substr(0, o.out.size() - 4))
                   : zvp::create_pdf_printer_dc(page, zvp::pdf_file_sink(o.out));
    int status = 0, job_id = 0;
    DocumentSteps steps;
    steps.pages = [&](HDC on) { return status = print_jobs(on, o.jobs, o.out); };
    switch (print_document(dc, nullptr, steps, &job_id)) {
    case DOCUMENT_WHOLE: break;
    case DOCUMENT_NOT_STARTED: status = fail(o.out, last_error_words("cannot open it")); break;
    case DOCUMENT_ABANDONED: break; // said by print_jobs
    case DOCUMENT_END_FAILED:
        status = fail(o.out, last_error_words("cannot finish it"));
        // A document that failed is abandoned: a PDF is never left half written (PNG pages
        // that were finished stay).
        AbortDoc(dc);
        break;
    }
    DeleteDC(dc);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    zvp::keep_heap_between_pages();
    Options o;
    int status = parse_arguments(argc, argv, o);
    if (status != kGoOn)
        return status;
    // Every job must be readable before the document starts, so a typo costs no half output.
    for (const auto& job : o.jobs) {
        struct stat st;
        if (stat(job.c_str(), &st) != 0)
            return fail(job, std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            return fail(job, "is a directory");
    }
    zvp::PageSetup page;
    std::string why;
    if (!page_of(o, page, why))
        return fail(o.queue, why);
    if ((status = render(o, page)) != 0)
        return status;
    std::printf("%s\n",
                o.png ? (o.out.substr(0, o.out.size() - 4) + "-*.png").c_str() : o.out.c_str());
    return 0;
}
