// A job file leaves ZV only once the printer says it printed the job: handed-over jobs are
// followed poll by poll, printed again when the print system lost or aborted them (a few times at
// most), never when a person cancelled them; the file deleted is the very file printed; a file
// still changing waits; and a request to end the program abandons the job in print and keeps it.
#include "job_helpers.h"

#include "spool/poller.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using zvp::PrinterCall;
using zvp::RecordedDocument;

namespace {

class HandOver : public zvtest::InTempWorkingDir {
  protected:
    std::vector<std::string> spool() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator("ZV"))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void job_is(int id, DWORD status, const std::string& text, bool known = true) {
        printer->job_states[id] = zvp::MemoryPrinter::JobState{known, status, text};
    }
    size_t printed_copies_of(const std::string& text) {
        size_t n = 0;
        for (const auto& d : printer->documents)
            n += d.state == RecordedDocument::State::ended && !d.pages.empty() &&
                 !d.pages[0].runs.empty() && d.pages[0].runs[0].bytes == text;
        return n;
    }
    void TearDown() override {
        MSG msg; // what a test left in the queue goes with it
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ;
        InTempWorkingDir::TearDown();
    }
    zvtest::LogCapture log;
};

TEST_F(HandOver, AJobStaysInZvUntilThePrinterSaysItIsPrinted) {
    add_job("zv1.zv", "handed over\r\n");
    job_is(1, 0, "CUPS job 1 pending");
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(log.count("handed zv1.zv (13 bytes, 1 page) to \"ZV Memory Printer\": CUPS job 1 "
                        "pending"),
              1)
        << log.text();
    job_is(1, JOB_STATUS_PRINTING, "CUPS job 1 printing");
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    job_is(1, JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE, "CUPS job 1 completed");
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 1u) << "printed once";
    EXPECT_EQ(log.count("printed zv1.zv (13 bytes, 1 page) on \"ZV Memory Printer\": CUPS job 1 "
                        "completed"),
              1)
        << log.text();
}

TEST_F(HandOver, AJobTheSchedulerForgotIsTakenAsPrinted) {
    add_job("zv1.zv", "forgotten\r\n");
    job_is(1, 0, "pending");
    poll_spool_directory(nullptr);
    job_is(1, 0, "", false);
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(log.count("the printer no longer knows job 1; taken as printed"), 1) << log.text();
}

TEST_F(HandOver, AJobCancelledInTheQueueIsNotPrintedAgain) {
    add_job("zv1.zv", "cancelled\r\n");
    job_is(1, 0, "pending");
    poll_spool_directory(nullptr);
    job_is(1, JOB_STATUS_DELETED, "CUPS job 1 cancelled");
    poll_spool_directory(nullptr);
    poll_spool_directory(nullptr);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(log.count("zv1.zv: CUPS job 1 cancelled in the print queue; it is not printed again"),
              1)
        << log.text();
}

// Lost or aborted by the print system: printed again, a few times at most, then left for a person.
TEST_F(HandOver, AJobTheSystemLostIsPrintedAgainButNotInALoop) {
    add_job("zv1.zv", "lost\r\n");
    add_job("zv2.zv", "fine\r\n");
    for (int id = 1; id <= 10; ++id)
        job_is(id, 0, "pending");
    poll_spool_directory(nullptr); // zv1 is job 1, zv2 job 2
    job_is(2, JOB_STATUS_COMPLETE, "completed");
    job_is(1, JOB_STATUS_ERROR | JOB_STATUS_RESTART, "CUPS job 1 lost");
    poll_spool_directory(nullptr); // zv1 printed again as job 3
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(printed_copies_of("lost"), 2u);
    EXPECT_EQ(log.count("zv1.zv: CUPS job 1 lost; it is printed again"), 1) << log.text();
    for (int id = 3; id <= 5; ++id) {
        job_is(id, JOB_STATUS_ERROR, "CUPS job " + std::to_string(id) + " aborted");
        poll_spool_directory(nullptr);
    }
    EXPECT_EQ(printed_copies_of("lost"), 4u) << "the first time and three more";
    EXPECT_EQ(log.count("it was printed 4 times without success and stays in ZV for a person"), 1)
        << log.text();
    for (int poll = 0; poll < 3; ++poll)
        EXPECT_EQ(poll_spool_directory(nullptr), 1);
    EXPECT_EQ(printed_copies_of("lost"), 4u);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});

    // A new file under the name is a new job.
    add_job("zv1.zv", "a new job\r\n");
    job_is(6, JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_EQ(printed_copies_of("a new job"), 1u);
    EXPECT_TRUE(spool().empty());
}

// A scheduler that lost jobs in a crash gives their numbers out again: a job under our number made
// after ours was handed over is another job, and ours is printed again.
TEST_F(HandOver, ANumberGivenToAnotherJobMeansOursWasLost) {
    add_job("zv1.zv", "renumbered\r\n");
    job_is(1, 0, "pending");
    poll_spool_directory(nullptr);
    printer->job_states[1] = zvp::MemoryPrinter::JobState{true, JOB_STATUS_PRINTING, "printing",
                                                          printer->documents[0].started + 100};
    job_is(2, JOB_STATUS_COMPLETE, "completed");
    poll_spool_directory(nullptr);
    EXPECT_EQ(log.count("zv1.zv: job 1 is now another job: the printer lost ours; it is printed "
                        "again"),
              1)
        << log.text();
    EXPECT_EQ(printed_copies_of("renumbered"), 2u);
    EXPECT_TRUE(spool().empty());
}

#ifndef _WIN32
// The job file is deleted only if it is still the file printed: a new job renamed over it while it
// printed, of the very same size, stays and is printed as its own job. (On Windows the file being
// printed cannot be renamed over.)
TEST_F(HandOver, AFileReplacedWhilePrintingIsANewJob) {
    add_job("zv1.zv", "first job\r\n");
    printer->on_call = [&](PrinterCall call) {
        if (call != PrinterCall::end_doc)
            return;
        dir.write("ZV/zv1.tmp", "other job\r\n");
        fs::rename("ZV/zv1.tmp", "ZV/zv1.zv");
        age("zv1.zv");
        printer->on_call = nullptr;
    };
    EXPECT_EQ(poll_spool_directory(nullptr), 1);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(zvtest::read_file("ZV/zv1.zv"), "other job\r\n");
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_EQ(printed_copies_of("first job"), 1u);
    EXPECT_EQ(printed_copies_of("other job"), 1u);
    EXPECT_TRUE(spool().empty());
}
#endif

// A producer that opens, appends and closes its file every second is printed whole, once it has
// left the file alone for a while.
TEST_F(HandOver, AFileStillChangingWaits) {
    add_job("zv1.zv", "first line\r\n");
    std::ofstream("ZV/zv1.zv", std::ios::binary | std::ios::app) << "second line\r\n";
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    EXPECT_TRUE(printer->documents.empty());
    age("zv1.zv", 3);
    EXPECT_EQ(poll_spool_directory(nullptr), 0);
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(zvtest::describe(printer->documents[0].pages[0]),
              (std::vector<std::string>{"0,0:first line", "0,100:second line"}));
}

// Asked to end while a job prints (a close waiting in the queue), the spooler abandons that job,
// keeps it, and starts no other.
TEST_F(HandOver, ARequestToEndAbandonsTheJobInPrint) {
    add_job("zv1.zv", std::string(2000, 'x') + "\r\n\f" + std::string(2000, 'y') + "\r\n");
    add_job("zv2.zv", "next\r\n");
    printer->on_call = [&](PrinterCall call) {
        if (call == PrinterCall::start_doc && printer->documents.empty())
            PostMessageA(nullptr, WM_CLOSE, 0, 0);
    };
    EXPECT_EQ(poll_spool_directory(nullptr), 1);
    printer->on_call = nullptr;
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(printer->documents[0].state, RecordedDocument::State::aborted);
    EXPECT_EQ(spool(), (std::vector<std::string>{"zv1.zv", "zv2.zv"}));
    EXPECT_EQ(log.count("kept zv1.zv: abandoned: the program is ending"), 1) << log.text();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        ;
    EXPECT_EQ(poll_spool_directory(nullptr), 0) << "the next poll goes on as before";
    EXPECT_TRUE(spool().empty());
}

} // namespace
