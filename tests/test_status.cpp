// zvspool --status as any user runs it, without root or a print system of its own: who watches
// the folder, and every job in ZV with its state as the journal and the printer tell it; it reads
// and never writes, and its exit says whether a job is kept.
#include "tests/job_helpers.h"

#include "spool/spool_status.h"

#include <filesystem>
#include <gtest/gtest.h>

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
    EXPECT_EQ(result, 0);
    EXPECT_EQ(zvtest::lines_with(text, {"Spooler:", "none has watched"}), 1) << text;
    EXPECT_EQ(zvtest::lines_with(text, {"zv0001.zv", "no zvspool watches the folder"}), 1) << text;
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
    EXPECT_EQ(zvtest::lines_with(json, {"\"name\": \"zv0001.zv\"", "\"state\": \"handed\"",
                                        "\"job_id\": 1", "\"kept\": false"}),
              1)
        << json;
    EXPECT_EQ(zvtest::lines_with(
                  json, {"\"name\": \"zv0002.zv\"", "\"state\": \"kept\"", "\"kept\": true"}),
              1)
        << json;
    EXPECT_EQ(zvtest::read_file(journal_path(spool_journal())), journal) << "it only reads";
}

} // namespace
