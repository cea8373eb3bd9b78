// zvspool --status as any user runs it, without root or a print system of its own: who watches
// the folder, and every job in ZV with its state as the journal and the printer tell it; it reads
// and never writes, and its exit says whether a job is kept.
#include "tests/job_helpers.h"

#include "spool/spool_status.h"
#include "spool/standing.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/portable/kernel32/sleep_hook.h"
#endif

namespace fs = std::filesystem;

namespace {

class Status : public zvtest::InTempWorkingDir {
  protected:
    // The report, and its exit status in `result`.
    std::string report(int json, int* result) {
        testing::internal::CaptureStdout();
        *result = report_spool_status(json);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Status, AFolderNoSpoolerEverWatched) {
    add_job("zv0001.zv", "waits\r\n");
    int result = -1;
    std::string text = report(0, &result);
    EXPECT_EQ(result, 1) << "a job nobody prints cannot print";
    EXPECT_EQ(zvtest::lines_with(text, {"Spooler:", "none has watched"}), 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"zv0001.zv", "[no-spooler]", "no zvspool watches"}), 1)
        << text;
    EXPECT_TRUE(printer->documents.empty()) << "a look prints nothing";
    EXPECT_TRUE(fs::exists("ZV/zv0001.zv"));
}

// One job handed to a stopped printer, one the printer could not tell of (kept for a person):
// the report names both with their printer and job, the journal is left as it was, and the exit
// says a job is kept.
TEST_F(Status, HandedAndKeptJobsAsTheJournalAndThePrinterTellThem) {
    printer->job_states[1] =
        zvp::MemoryPrinter::JobState{true, 0, "job 1 pending", 0, JOB_FATE_WAITING};
    printer->job_states[2] =
        zvp::MemoryPrinter::JobState{true, 0, "job 2 gone", 0, JOB_FATE_UNKNOWN};
    printer->state_words = "stopped (paused): Brak papieru";
    printer->state_reasons = "paused,media-empty-error";
    printer->stopped = true;
    add_job("zv0001.zv", "first\r\n");
    add_job("zv0002.zv", "second\r\n");
    poll_folder();
    poll_folder(); // the second job's fate is asked: it cannot be told, so it is kept
    std::string journal = zvtest::read_file(journal_path(spool_journal()));

    int result = -1;
    std::string text = report(0, &result);
    EXPECT_EQ(result, 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"2 jobs in ZV"}), 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"zv0001.zv", "handed to \"ZV Memory Printer\" as job 1"}),
              1)
        << text;
    EXPECT_EQ(zvtest::lines_with(text, {"the printer:", "Brak papieru"}), 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"zv0002.zv", "kept for a person", "job 2 gone"}), 1)
        << text;

    std::string json = report(1, &result);
    EXPECT_EQ(result, 1);
    // A job in a stopped queue waits on the printer, and says so as a keyword, with its reasons.
    EXPECT_EQ(
        zvtest::lines_with(json, {"\"name\": \"zv0001.zv\"", "\"state\": \"printer-stopped\"",
                                  "\"job_id\": 1", "\"fine\": false",
                                  "\"printer_reasons\": [\"paused\", \"media-empty-error\"]"}),
        1)
        << json;
    EXPECT_EQ(zvtest::lines_with(
                  json, {"\"name\": \"zv0002.zv\"", "\"state\": \"held\"", "\"kept\": true"}),
              1)
        << json;
    EXPECT_EQ(zvtest::read_file(journal_path(spool_journal())), journal) << "it only reads";
}

// Every job that cannot print says why, as the log does, and the exit says it: no printer, a
// queue that takes no jobs, a file still written to; a folder without ZV is an error.
TEST_F(Status, JobsThatCannotPrintSayWhyAndTheExitSaysSo) {
    add_job("zv0001.zv", "first\r\n");
    poll_folder(); // printed: the last job printed is told
    int result = -1;
    std::string text = report(0, &result);
    EXPECT_EQ(result, 0) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"Printed:", "zv0001.zv"}), 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"Printer:", "ZV Memory Printer", "[ready]"}), 1) << text;

    // The queue takes no jobs: the poll keeps the job, and the look says the same.
    printer->accepting = false;
    printer->state_words = "idle, not accepting jobs";
    printer->fail(zvp::PrinterCall::start_doc, 2, 0);
    add_job("zv0002.zv", "second\r\n");
    zvtest::LogCapture log;
    poll_folder();
    std::string json = report(1, &result);
    EXPECT_EQ(result, 1) << json;
    EXPECT_EQ(zvtest::lines_with(json, {"\"zv0002.zv\"", "\"state\": \"printer-refuses\"",
                                        "not accepting jobs", "\"fine\": false"}),
              1)
        << json;
    EXPECT_EQ(log.count({"zv0002.zv", "not accepting jobs"}), 1) << log.text();
    EXPECT_EQ(zvtest::lines_with(json, {"\"last_printed\"", "\"zv0001.zv\"", "\"at\": \"20"}), 1)
        << json;

    // No printer at all.
    zvp::use_memory_printer(nullptr);
    text = report(0, &result);
    EXPECT_EQ(result, 1) << text;
    EXPECT_EQ(
        zvtest::lines_with(text, {"zv0002.zv", "[no-printer]", "there is no default printer"}), 1)
        << text;

    fs::remove_all("ZV");
    text = report(0, &result);
    EXPECT_EQ(result, 2) << "no folder ZV is an error, not 0 jobs";
    EXPECT_TRUE(text.empty()) << text;
}

#ifndef _WIN32
// A file its producer still writes to waits to be left alone: the spooler saw it change while it
// waited, and the look says so from the spooler's own record (nobody outside saw it change).
TEST_F(Status, AFileStillWrittenWaitsToBeQuiet) {
    spooler->settings.quiet_ms = 200;
    add_job("zv0001.zv", "first line\r\n");
    int writes = 0;
    zvp::sleep_hook() = [&](DWORD) {
        if (writes++ == 0)
            std::ofstream("ZV/zv0001.zv", std::ios::binary | std::ios::app) << "more\r\n";
    };
    poll_folder();
    zvp::sleep_hook() = nullptr;
    ASSERT_TRUE(printer->documents.empty());
    ASSERT_EQ(spooler->standing.jobs.size(), 1u);
    EXPECT_EQ(spooler->standing.jobs[0].state, JOB_STATE_QUIET);
    int result = -1;
    std::string text = report(0, &result);
    EXPECT_EQ(result, 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"zv0001.zv", "[waiting-quiet]", "still being written"}), 1)
        << text;
    poll_folder();
    text = report(0, &result);
    EXPECT_EQ(result, 0) << "printed once left alone\n" << text;
}

// ISO 8601 with the zone, whatever the zone is.
TEST_F(Status, TimesForMachinesCarryTheirZone) {
    const char* before = std::getenv("TZ");
    std::string saved = before ? before : "";
    setenv("TZ", "Europe/Warsaw", 1);
    tzset();
    add_job("zv0001.zv", "x\r\n");
    int result = -1;
    std::string json = report(1, &result);
    EXPECT_EQ(zvtest::lines_with(json, {"\"since\": \"20", "+01:00\""}) +
                  zvtest::lines_with(json, {"\"since\": \"20", "+02:00\""}),
              1)
        << json;
    if (before)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

#endif

} // namespace
