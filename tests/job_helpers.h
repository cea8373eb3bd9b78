// Shared by the test suites: printing job bytes on the in-memory printer and reading the record.
#pragma once

#include "platform/portable/testing/memory_printer.h"
#include "render/print_job.h"
#include "spool/poller.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace zvtest {

// The same page at 300 dots per inch, where a 10-cpi character is 30 units wide and a line 50.
zvp::MemoryPrinterSetup printer_300dpi();

// Writes `bytes` to a temporary file and prints it with print_job_stream on `dc` (a document must
// be open), with the margin `state` carries (none without it). Returns 0 when the job printed
// whole, 1 when not.
int print_bytes(HDC dc, const std::string& bytes, JobPrintState* state = nullptr);

// Prints each job as its own document on `printer`, as the spooler does, the margin carried from
// one to the next in `state` (from none without it); returns the results.
std::vector<int> print_jobs(zvp::MemoryPrinter& printer, const std::vector<std::string>& jobs,
                            JobPrintState* state = nullptr);

// One way printing can go wrong: no default printer at all, or the printer refusing every `call`
// from the first on. Applied to `printer` by apply(), which installs it as the default printer.
struct PrinterFailure {
    const char* name;
    bool no_printer;
    zvp::PrinterCall call;
    void apply(const std::shared_ptr<zvp::MemoryPrinter>& printer) const;
};
// Every failure a printed document can meet, for parameterised tests, and their names.
std::vector<PrinterFailure> printer_failures();
std::string failure_name(const testing::TestParamInfo<PrinterFailure>& info);
void PrintTo(const PrinterFailure& failure, std::ostream* out);

// All runs of a page joined by position: "x,y:text" per run.
std::vector<std::string> describe(const zvp::RecordedPage& page);

// A temporary directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const;

  private:
    std::string path_;
};

// A test that runs in its own temporary working directory, with a fresh in-memory printer as the
// default printer, the carried-over left margin at 0, the program's state kept in the directory
// (on Linux), files taken as soon as they are seen, and the spooler started afresh; the working
// directory, the state folder and the default printer are put back after.
class InTempWorkingDir : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A job file in ZV, written long enough ago to be taken at once.
    void add_job(const std::string& name, const std::string& bytes);
    // Makes the file in ZV look written that long ago.
    void age(const std::string& name, int seconds = 10);
    // One poll of the spooler.
    int poll_folder();
    // Ends the spooler and starts a new one with the same settings, as the program's next start.
    void restart();
    Journal* spool_journal() { return &spooler->journal; }

    TempDir dir;
    // Files taken as soon as they are seen, and a printer that refuses offered the next job at
    // the next poll; the tests of the waits set them back.
    std::unique_ptr<Spooler> spooler;
    std::filesystem::path old_cwd;
    std::shared_ptr<zvp::MemoryPrinter> printer = std::make_shared<zvp::MemoryPrinter>();

  private:
    std::string old_state_;
};

// What the program logs while it lives: standard error on Linux, zvspool.log in the working
// directory on Windows (where the log goes there).
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    // Everything logged since the capture began.
    std::string text();
    // How many lines contain `part`.
    int count(const std::string& part);
    // How many lines carry every one of `facts` (a job's name, a reason, a printer), whatever
    // words go between them.
    int count(std::initializer_list<std::string> facts);

  private:
    std::string captured_;
};

// How many lines of `text` carry every one of `facts`, whatever words go between them.
int lines_with(const std::string& text, std::initializer_list<std::string> facts);

std::string read_file(const std::string& path);
#ifndef _WIN32
// Runs a shell command, returning its exit status and (in `output`) its standard output.
int run_command(const std::string& command, std::string* output = nullptr);
#endif

} // namespace zvtest
