// A printer that keeps everything it is given: documents, pages and every text run with its bytes,
// device position and font record. Tests print on it and read the record; it can be told to refuse
// a document or page call, and it measures text with the fixed font model.
#pragma once

#include "platform/portable/include/windows.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zvp {

struct RecordedRun {
    std::string bytes;
    int x = 0; // top left of the first character cell, device pixels
    int y = 0;
    int end_x = 0;           // right end of the run
    std::vector<int> char_x; // left edge of every character
    LOGFONTA font{};
    bool opaque = false;
};

struct RecordedPage {
    std::vector<RecordedRun> runs;
    bool ended = false;
};

struct RecordedDocument {
    enum class State { open, ended, aborted };
    std::string name;
    std::vector<RecordedPage> pages;
    State state = State::open;
    long long started = 0; // seconds since 1970
    // A document of data (StartDocPrinterA): its type with its parameters, and its bytes.
    std::string datatype;
    std::string data;
};

// The printer's calls, and the spooler's questions about its jobs (spooler_job_reference,
// spooler_job_fate, spooler_cancel_job).
enum class PrinterCall {
    start_doc,
    start_page,
    end_page,
    end_doc,
    abort_doc,
    draw_text,
    write_data,
    job_reference,
    job_fate,
    cancel_job,
    hold_job,
    release_job
};

struct MemoryPrinterSetup {
    // An A4 page at 600 dots per inch, its printable area 4960 x 7016 dots.
    int dpi_x = 600;
    int dpi_y = 600;
    int horzres = 4960;
    int vertres = 7016;
    int horzsize = 210;
    int vertsize = 297;
};

class MemoryPrinter {
  public:
    explicit MemoryPrinter(MemoryPrinterSetup setup = {}) : setup(setup) {}

    // Make the nth call (counting from 1 over the printer's life) of `call` fail, and the
    // `times` - 1 calls after it; times 0 fails every call from the nth on.
    void fail(PrinterCall call, int nth, int times = 1);
    // A device context printing on this printer; released with DeleteDC.
    HDC create_dc();

    MemoryPrinterSetup setup;
    std::vector<RecordedDocument> documents;
    std::vector<PrinterCall> calls;
    // Called at every document and page call, before it is answered.
    std::function<void(PrinterCall)> on_call;
    // What the printer says when it refuses a call.
    std::string refusal = "the test printer refuses the call";
    // Refuses every call while set (a printer gone away, or a program that can no longer ask).
    bool unplugged = false;
    // When not empty, the printer system cannot be asked, for this reason.
    std::string offline;
    // What the printer says of itself (spooler_printer_state), and whether it prints now.
    std::string state_words = "idle";
    std::string state_reasons; // as IPP keywords, comma-separated
    bool stopped = false;
    bool accepting = true;
    // Whether it takes documents of data (StartDocPrinterA), as a CUPS queue does.
    bool takes_data = true;

    // What GetJobA and spooler_job_fate say of a job, by its id (a document's number, from 1):
    // a job set here reports this; any other document reports printed once ended, its document
    // never whole otherwise.
    struct JobState {
        bool known = true; // false: the printer has forgotten the job
        DWORD status = 0;
        std::string text;
        long long submitted = 0; // when the job was made (0: when its document started)
        int fate = -1;           // its fate (JOB_FATE_*); -1: told by `known` and `status`
        // Lost in a restart, as a scheduler loses a job it had not stored: lost (to be printed
        // again) when asked after as a job still held, unknown otherwise; it cannot be released.
        bool lost = false;
    };
    std::map<int, JobState> job_states;
    // The jobs cancelled with spooler_cancel_job, in order.
    std::vector<int> cancelled;
    // The jobs held with spooler_hold_job and not yet released: they wait, whatever their state;
    // and the jobs released, in order.
    std::set<int> held;
    std::vector<int> released;

    // Used by the device: counts the call and says whether it succeeds.
    bool take_call(PrinterCall call);

  private:
    struct Failure {
        int nth = 0;
        int times = 0;
    };
    std::map<PrinterCall, Failure> failures_;
    std::map<PrinterCall, int> counts_;
};

struct TextRun;
// A text run as the in-memory devices write it down.
RecordedRun record_run(const TextRun& run);

// A window's device context at `dpi` dots per inch (a 1920 x 1080 screen of 508 x 286 mm), which
// records every text run drawn on it into `runs`.
HDC create_memory_display_dc(std::vector<RecordedRun>* runs, int dpi = 96);

// Makes `printer` the process's one printer and its default, under `name`; a null printer leaves
// the process with no printer at all.
void use_memory_printer(std::shared_ptr<MemoryPrinter> printer,
                        const std::string& name = "ZV Memory Printer");

} // namespace zvp
