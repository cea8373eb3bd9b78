// zvtopdf: the CUPS filter for zv jobs (application/vnd.zv). A print server renders the job file
// itself, with zvspool's renderer and PDF device, on the paper the job is printed on: the page size
// its options choose in the queue's PPD and that size's printable area, at the resolution zvspool
// lays out at. So `lp -d queue job.zv` and zvspool printing the job on the same queue put every
// word on the same device unit. The job's own options move the page (zv-offset=X,Y in millimetres)
// and fit it to a number of columns (zv-fit-columns=N), as zvspool's settings of those names do.
//
// The filter contract: zvtopdf job-id user title copies options [file]; the PDF on standard
// output, one document whatever the copies (the filters after it make them), "PAGE: n 1" for every
// page where no filter after it counts them, and "ERROR: reason" with a non-zero exit for a job
// that cannot be printed as it is.
#include "platform/portable/kernel32/file_services.h"
#include "platform/portable/kernel32/heap.h"
#include "platform/portable/winspool/cups/cups_destinations.h"
#include "render/print_job.h"
#include "spool/folder_printer.h"
#include "spool/print_document.h"
#include "spool/spool_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char usage[] = "Usage: zvtopdf job-id user title copies options [file]\n";

int refuse(const std::string& why) {
    std::fprintf(stderr, "ERROR: %s\n", why.c_str());
    return 1;
}

// What a look through the job's bytes found. A job file is text and printer codes; a zero byte
// prints nothing, and a few stand as padding or as the parameter of a code. A run of them as long
// as a disk's sector is what a file cut by a power cut, or filled by a disk that lost it, reads
// as: printed, it would come out as blank pages, or as a job cut short.
enum { DAMAGED_ZERO_RUN = 512 };
struct JobCheck {
    long long bytes = 0;
    long long zero_run_at = -1; // offset of the first run of DAMAGED_ZERO_RUN zeros
    int read_error = 0;
};

// Reads the whole job before anything is printed, so that a job refused prints nothing: the
// scheduler runs the filters after this one whatever it says. A job that cannot be read again
// from its start (a pipe) is kept in a file of no name meanwhile; `job` comes back at its start.
JobCheck check_job(FILE*& job) {
    JobCheck check;
    FILE* copy = nullptr;
    if (std::fseek(job, 0, SEEK_SET) != 0) {
        copy = zvp::anonymous_file();
        if (!copy) {
            check.read_error = errno;
            return check;
        }
    }
    unsigned char piece[65536];
    long long zeros = 0; // zero bytes in a row
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, job)) > 0) {
        for (size_t i = 0; i < n; ++i, ++check.bytes) {
            zeros = piece[i] == 0 ? zeros + 1 : 0;
            if (zeros == DAMAGED_ZERO_RUN && check.zero_run_at < 0)
                check.zero_run_at = check.bytes + 1 - DAMAGED_ZERO_RUN;
        }
        if (copy && std::fwrite(piece, 1, n, copy) != n) {
            check.read_error = errno;
            break;
        }
    }
    if (std::ferror(job) && check.read_error == 0)
        check.read_error = errno ? errno : EIO;
    if (copy) {
        if (job != stdin)
            std::fclose(job);
        job = copy;
    }
    if (check.read_error == 0 && std::fseek(job, 0, SEEK_SET) != 0)
        check.read_error = errno;
    return check;
}

// The PDF, as its pages end, on standard output.
class StandardOutput : public zvp::PdfSink {
  public:
    bool open(const std::string&) override { return true; }
    bool write(const unsigned char* data, size_t size) override {
        if (std::fwrite(data, 1, size, stdout) == size)
            return true;
        error_ = std::string("cannot write the PDF: ") + std::strerror(errno);
        return false;
    }
    bool finish() override {
        if (std::fflush(stdout) == 0)
            return true;
        error_ = std::string("cannot write the PDF: ") + std::strerror(errno);
        return false;
    }
    void abort() override { std::fflush(stdout); }
    std::string error() const override { return error_; }

  private:
    std::string error_;
};

// The page set-up the job's options ask for; false with `why` for a value zvspool would refuse.
bool office_set_up(int count, cups_option_t* options, SpoolOptions& office, std::string& why) {
    static const char* const TAKEN[][2] = {{"zv-offset", "offset"},
                                           {"zv-fit-columns", "fit-columns"}};
    for (const auto& taken : TAKEN) {
        const char* value = cupsGetOption(taken[0], count, options);
        if (value && set_spool_option(&office, taken[1], value, &why) != 0) {
            why = std::string(taken[0]) + ": " + why;
            return false;
        }
    }
    return true;
}

// Prints the job from `job` into the PDF on standard output: 0, or the exit status of a failure
// said.
int render(FILE* job, const zvp::PageSetup& page, const SpoolOptions& office) {
    auto out = std::make_unique<StandardOutput>();
    StandardOutput* sink = out.get();
    HDC dc = zvp::create_pdf_printer_dc(page, std::move(out));
    JobPrintState state; // a job of its own: no margin comes from a job before it
    DocumentSteps steps;
    int read_error = 0;
    steps.pages = [&](HDC on) {
        lay_out_office_page(on, office);
        errno = 0;
        print_job_stream(on, job, nullptr, &state);
        if (std::ferror(job))
            read_error = errno ? errno : EIO;
        return state.end == JOB_WHOLE && read_error == 0 ? 0 : 1;
    };
    int job_id = 0;
    DocumentEnd end = print_document(dc, nullptr, steps, &job_id);
    std::string why = sink->error(); // the sink goes with the device context
    DeleteDC(dc);
    if (read_error != 0)
        return refuse(std::string("cannot read the job: ") + std::strerror(read_error));
    if (end != DOCUMENT_WHOLE)
        return refuse(why.empty() ? "cannot print a page" : why);
    // The scheduler adds up every filter's PAGE: lines, and in its chains the PDF always goes on
    // through a filter that counts the pages it passes on (pdftopdf): counted here too, each page
    // would count twice. Run by itself, nothing after it counts them.
    if (std::getenv("FINAL_CONTENT_TYPE") == nullptr)
        for (int n = 1; n <= state.pages; ++n)
            std::fprintf(stderr, "PAGE: %d 1\n", n);
    else
        std::fprintf(stderr, "DEBUG: zvtopdf: %d pages, counted by the filters after it\n",
                     state.pages);
    std::string off = describe_off_page(&state.off_page);
    if (!off.empty())
        std::fprintf(stderr, "WARNING: text outside the printable area, cut off: %s\n",
                     off.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("zvtopdf %s\n", ZV_VERSION);
        return 0;
    }
    if (argc < 6 || argc > 7) {
        std::fputs(usage, stderr);
        return 1;
    }
    zvp::keep_heap_between_pages();
    cups_option_t* options = nullptr;
    int count = cupsParseOptions(argv[5], 0, &options);
    SpoolOptions office;
    std::string why;
    zvp::QueuePaper paper;
    int status = 0;
    if (!office_set_up(count, options, office, why) ||
        !zvp::filter_paper(std::getenv("PPD"), count, options, paper, why))
        status = refuse(why);
    cupsFreeOptions(count, options);
    if (status != 0)
        return status;
    FILE* job = argc == 7 ? std::fopen(argv[6], "rb") : stdin;
    if (!job)
        return refuse(std::string("cannot open the job ") + argv[6] + ": " + std::strerror(errno));
    JobCheck check = check_job(job);
    if (check.read_error != 0)
        status = refuse(std::string("cannot read the job: ") + std::strerror(check.read_error));
    else if (check.bytes == 0)
        status = refuse("the job is empty: a zv job holds at least one line");
    else if (check.zero_run_at >= 0)
        status = refuse("the job is damaged: zero bytes from offset " +
                        std::to_string(check.zero_run_at) +
                        " on, where a zv job holds text and printer codes (a file cut short by a "
                        "power cut reads as zeros)");
    if (status != 0) {
        if (job != stdin)
            std::fclose(job);
        return status;
    }
    std::fprintf(stderr, "DEBUG: zvtopdf %s: %s, %.2f x %.2f mm, printable from %.2f, %.2f mm\n",
                 ZV_VERSION, paper.media.c_str(), paper.page.width_mm, paper.page.height_mm,
                 paper.page.margin_left_mm, paper.page.margin_top_mm);
    status = render(job, paper.page, office);
    if (job != stdin)
        std::fclose(job);
    return status;
}
