// What the program says in its log: jobs printed and kept (each reason once), the folder's state,
// the default printer and the test sheet.
#include "job_helpers.h"

#include "app/main_window.h"
#include "diag/test_page.h"
#include "spool/event_log.h"
#include "spool/folder_claim.h"
#include "spool/folder_printer.h"
#include "spool/poller.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#ifndef _WIN32
#include "platform/portable/kernel32/sleep_hook.h"
#endif

namespace fs = std::filesystem;
using zvp::PrinterCall;

namespace {

// What the log says of a failure: what failed, then the printer's words. The Windows test build
// runs the portable printers on the real KERNEL32, whose FormatMessageA does not know the
// printers' words: there the log gives the error's number.
std::string failure(const std::string& what, const std::string& words) {
#ifdef _WIN32
    (void)words;
    return what + ": error ";
#else
    return what + ": " + words;
#endif
}

class Log : public zvtest::InTempWorkingDir {
  protected:
    void job(const std::string& name, const std::string& bytes) { add_job(name, bytes); }
};

TEST_F(Log, EveryLineIsStampedWithTheLocalTime) {
    zvtest::LogCapture log;
    log_event(EVENT_INFO, "one %d", 1);
    log_event(EVENT_WARNING, "two");
    log_event(EVENT_ERROR, "three");
    std::regex lines("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d one 1\\r?\\n"
                     "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d warning: two\\r?\\n"
                     "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d error: three\\r?\\n");
    EXPECT_TRUE(std::regex_match(log.text(), lines)) << log.text();
}

// A job kept for the same reason at every poll is said once; said again when the reason changes
// and when it is finally printed.
TEST_F(Log, AKeptJobIsSaidOncePerReason) {
    zvtest::LogCapture log;
    job("zv0001.zv", "wait for me\r\n");
    printer->refusal = "not accepting jobs";
    printer->fail(PrinterCall::start_doc, 1, 3);
    for (int poll = 0; poll < 2; ++poll)
        EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("warning: kept zv0001.zv: " +
                        failure("cannot start the document", "not accepting jobs")),
              1)
        << log.text();

    printer->refusal = "cannot reach the printer";
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("kept zv0001.zv"), 2);
#ifndef _WIN32
    EXPECT_EQ(
        log.count({"kept", "zv0001.zv", "cannot start the document", "cannot reach the printer"}),
        1);
#endif

    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(log.count("kept zv0001.zv"), 2);
    EXPECT_EQ(log.count("printed zv0001.zv (13 bytes, 1 page) on \"ZV Memory Printer\": printed"),
              1)
        << log.text();
}

TEST_F(Log, EachFailureSaysWhatFailed) {
    struct Case {
        PrinterCall call;
        const char* said;
    };
    for (Case c : {Case{PrinterCall::start_doc, "cannot start the document"},
                   Case{PrinterCall::start_page, "cannot print a page"},
                   Case{PrinterCall::end_page, "cannot print a page"},
                   Case{PrinterCall::end_doc, "cannot end the document"}}) {
        SCOPED_TRACE(c.said);
        auto failing = std::make_shared<zvp::MemoryPrinter>();
        failing->refusal = "out of paper";
        failing->fail(c.call, 1, 0);
        zvp::use_memory_printer(failing);
        zvtest::LogCapture log;
        job("zv0001.zv", "x\r\n");
        EXPECT_EQ(poll_folder(), 1);
        EXPECT_EQ(log.count("kept zv0001.zv: " + failure(c.said, "out of paper")), 1) << log.text();
        fs::remove("ZV/zv0001.zv");
        poll_folder(); // forgets the job that left
    }
}

TEST_F(Log, APrinterSystemOutOfReachIsSaidInItsWords) {
    zvtest::LogCapture log;
    job("zv0001.zv", "x\r\n");
    printer->offline = "cannot reach the print system (/run/cups/cups.sock): Connection refused";
    EXPECT_EQ(poll_folder(), 1);
    const std::string words =
        "cannot reach the print system (/run/cups/cups.sock): Connection refused";
    EXPECT_EQ(log.count("kept zv0001.zv: " + failure("cannot open the default printer", words)), 1)
        << log.text();
    char text[512];
    // Not asked, not changed: a hung print system is not "no default printer".
    EXPECT_EQ(describe_default_printer(text, sizeof text), 2);
#ifndef _WIN32
    EXPECT_EQ(text, "not known (the print system cannot be asked: " + words + ")");
#endif
    EXPECT_EQ(log.count("the default printer is now"), 0) << log.text();
    zvp::use_memory_printer(nullptr);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("kept zv0001.zv: there is no default printer"), 1) << log.text();
}

TEST_F(Log, TheDefaultPrinterIsDescribedAndItsChangesSaid) {
    char text[512];
    EXPECT_EQ(describe_default_printer(text, sizeof text), 0);
    EXPECT_STREQ(text, "\"ZV Memory Printer\" printing to MEMORY: (the only printer)");
    zvtest::LogCapture log;
    note_default_printer(&spooler->printer); // the start-up line has said it already
    job("zv0001.zv", "x\r\n");
    poll_folder();
    zvp::use_memory_printer(printer, "Office");
    job("zv0002.zv", "y\r\n");
    poll_folder();
    poll_folder();
    EXPECT_EQ(log.count("the default printer is now \"Office\" printing to MEMORY: (the only "
                        "printer)"),
              1)
        << log.text();
}

TEST_F(Log, AMissingSpoolFolderIsSaidOnceAndItsReturnToo) {
    zvtest::LogCapture log;
    check_spool_directory(spooler.get());
    poll_folder();
    EXPECT_EQ(log.count("warning: there is no folder ZV here"), 1) << log.text();
    fs::create_directories("ZV");
    poll_folder();
    poll_folder();
    EXPECT_EQ(log.count("there is a folder ZV now; its jobs are printed"), 1) << log.text();
    EXPECT_EQ(log.count("can be read again"), 0) << log.text();
}

// The layout keeps the grid, so text outside the printable area (4960 x 7016 dots here) is cut:
// one warning per job names each page and how much fell outside, on every side.
TEST_F(Log, TextOutsideThePrintableAreaIsSaidOncePerJob) {
    zvtest::LogCapture log;
    // A margin of -5 columns (its carriage return moves there), then back to 0.
    std::string bytes = "\x1b -5\rabcdefgh\r\n\x1b\x19\r" + std::string(92, 'A') + "\r\n";
    for (int line = 2; line < 75; ++line) // lines 70 to 74 reach below the bottom
        bytes += "x\r\n";
    bytes += "\f" + std::string(85, 'B');
    job("zv0001.zv", bytes);
    job("zv0002.zv", "fits\r\n");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(log.count("zv0001.zv: text outside the printable area of \"ZV Memory Printer\", cut "
                        "off: page 1 (5 lines below the bottom, 10 characters past the right "
                        "edge, 5 characters left of the left edge); page 2 (3 characters past "
                        "the right edge)"),
              1)
        << log.text();
    EXPECT_EQ(log.count("outside the printable area"), 1) << log.text();
    ASSERT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(printer->documents[0].pages.size(), 2u); // printed all the same
}

// A spooler's error for a document refused says little; a printer that has stopped says why.
TEST_F(Log, ARefusedDocumentSaysThePrintersOwnState) {
    zvtest::LogCapture log;
    printer->refusal = "Invalid handle";
    printer->fail(PrinterCall::start_doc, 1, 0);
    printer->stopped = true;
    printer->state_words = "paused, paper out";
    job("zv0001.zv", "x\r\n");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("kept zv0001.zv: cannot start the document: "), 1) << log.text();
    EXPECT_EQ(log.count("(the printer: paused, paper out)"), 1) << log.text();
    printer->stopped = false; // a printer that prints says nothing more
    printer->state_words = "idle";
    job("zv0002.zv", "y\r\n");
    restart();
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("(the printer: "), 1) << log.text();
}

TEST_F(Log, AnEmptyJobSaysSo) {
    zvtest::LogCapture log;
    job("zv0001.zv", "");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(log.count("printed zv0001.zv (empty: 1 blank page)"), 1) << log.text();
}

#ifndef _WIN32
// A job handed over and not printed raises an alarm with the print system's words after the
// alarm time, again after three and twelve times it, then every twelve times it; and once more
// when it prints. The window's line says the same while it waits.
TEST_F(Log, AStuckJobRaisesAnAlarmAtGrowingIntervals) {
    zvtest::LogCapture log;
    printer->job_states[1] = zvp::MemoryPrinter::JobState{
        true, 0, "job 1 pending (printer-stopped)", 0, JOB_FATE_WAITING};
    printer->state_words = "stopped (paused): Brak papieru";
    job("zv0001.zv", "x\r\n");
    EXPECT_EQ(poll_folder(), 0);
    const std::string alarm = "zv0001.zv has waited ";
    std::vector<int> alarms;
    for (int minute = 1; minute <= 180; ++minute) {
        zvp::tick_offset_ms() += 60 * 1000;
        poll_folder();
        if (log.count(alarm) > (int)alarms.size())
            alarms.push_back(minute);
    }
    EXPECT_EQ(alarms, (std::vector<int>{5, 15, 60, 120, 180})) << log.text();
    EXPECT_EQ(log.count(alarm + "5 minutes: handed to \"ZV Memory Printer\" as job 1: job 1 "
                                "pending (printer-stopped); the printer: stopped (paused): Brak "
                                "papieru"),
              1)
        << log.text();
    EXPECT_STREQ(spooler->alarms.line.c_str(),
                 "1 job waiting: handed to \"ZV Memory Printer\" as job 1: job 1 "
                 "pending (printer-stopped); the printer: stopped (paused): Brak "
                 "papieru");

    printer->job_states[1] =
        zvp::MemoryPrinter::JobState{true, JOB_STATUS_PRINTED, "printed", 0, JOB_FATE_PRINTED};
    poll_folder();
    EXPECT_EQ(log.count("zv0001.zv is printed after it waited 3 hours"), 1) << log.text();
    EXPECT_STREQ(spooler->alarms.line.c_str(), "");
}

// A job the printer refuses waits as a kept one: the alarm names the refusal once it has lasted.
TEST_F(Log, AJobKeptByAQueueThatRefusesRaisesTheAlarmToo) {
    zvtest::LogCapture log;
    printer->refusal = "the printer is not accepting jobs";
    printer->fail(PrinterCall::start_doc, 1, 0);
    job("zv0001.zv", "x\r\n");
    job("zv0002.zv", "y\r\n");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_STREQ(spooler->alarms.line.c_str(), "");
    zvp::tick_offset_ms() += 5 * 60 * 1000;
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count({"has waited", "5 minutes", "cannot start the document"}), 2) << log.text();
    EXPECT_EQ(std::string(spooler->alarms.line.c_str())
                  .rfind("2 jobs waiting: kept: cannot start the document", 0),
              0u)
        << spooler->alarms.line.c_str();
}
#endif

TEST_F(Log, TheTestSheetSaysWhereItWentOrWhyNot) {
    zvtest::LogCapture log;
    EXPECT_EQ(print_test_page(nullptr), 0);
    EXPECT_EQ(log.count("printed the test sheet on \"ZV Memory Printer\": printed"), 1)
        << log.text();
    printer->refusal = "the paper is jammed";
    printer->fail(PrinterCall::end_page, 2); // the sheet's second page end: the next sheet
    EXPECT_EQ(print_test_page(nullptr), 1);
    EXPECT_EQ(log.count("error: the test sheet was not printed: " +
                        failure("cannot print the page", "the paper is jammed")),
              1)
        << log.text();
}

#ifdef _WIN32
TEST_F(Log, TheLogFileIsKeptUnderOneMegabyte) {
    std::string old_lines(LOG_FILE_LIMIT - 10, 'x');
    dir.write("zvspool.log", old_lines);
    log_event(EVENT_INFO, "first line of the new log");
    EXPECT_EQ(zvtest::read_file("zvspool.log.1"), old_lines);
    std::string now = zvtest::read_file("zvspool.log");
    EXPECT_NE(now.find("first line of the new log\r\n"), std::string::npos) << now;
    EXPECT_LT(now.size(), 100u);
    log_event(EVENT_INFO, "second line");
    EXPECT_EQ(zvtest::read_file("zvspool.log.1"), old_lines);
    EXPECT_NE(zvtest::read_file("zvspool.log").find("second line"), std::string::npos);
}
#endif

} // namespace
