// A job file leaves ZV only once the printer says it printed the job, and is printed once: handed
// over jobs are followed poll by poll, printed again when the print system lost or failed them (a
// few times at most), never when a person cancelled them, and kept for a person when the print
// system cannot tell; every step is in the journal first, so a stop at any instant, followed by a
// new start, prints nothing twice and loses nothing; a damaged journal is found out and its jobs
// are kept rather than printed twice.
#include "job_helpers.h"

#include "render/print_job.h"
#include "spool/handover.h"
#include "spool/handover_journal.h"
#include "spool/poller.h"
#include "spool/spool_options.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sys/stat.h>

#ifndef _WIN32
#include "platform/portable/kernel32/sleep_hook.h"
#endif

namespace fs = std::filesystem;
using zvp::PrinterCall;
using zvp::RecordedDocument;

namespace {

// What is done with a job handed over, from what the print system says of it: the whole table.
// An entry out of a damaged journal ("untrusted") is never printed again, nor dropped, on the
// print system's word alone.
TEST(FollowedJob, WhatThePrintSystemSaysDecidesWhatIsDone) {
    const int T = 1, U = 0, L = RESUBMISSION_LIMIT;
    const struct {
        FollowFacts facts;
        FollowAction action;
    } table[] = {
        {{0, JOB_FATE_PRINTED, T, 0}, FOLLOW_ASK_AGAIN}, // not asked: its word is none
        {{1, JOB_FATE_WAITING, T, 0}, FOLLOW_WAIT},
        {{1, JOB_FATE_WAITING, U, 0}, FOLLOW_WAIT},
        {{1, JOB_FATE_PRINTED, T, 0}, FOLLOW_FINISH},
        {{1, JOB_FATE_PRINTED, U, L}, FOLLOW_FINISH},
        {{1, JOB_FATE_CANCELLED, T, 0}, FOLLOW_DROP},
        {{1, JOB_FATE_CANCELLED, U, 0}, FOLLOW_HOLD},
        {{1, JOB_FATE_FAILED, T, 0}, FOLLOW_PRINT_AGAIN},
        {{1, JOB_FATE_FAILED, T, L - 1}, FOLLOW_PRINT_AGAIN},
        {{1, JOB_FATE_FAILED, T, L}, FOLLOW_GIVE_UP},
        {{1, JOB_FATE_FAILED, U, 0}, FOLLOW_HOLD},
        {{1, JOB_FATE_LOST, T, 0}, FOLLOW_PRINT_AGAIN},
        {{1, JOB_FATE_LOST, T, L}, FOLLOW_GIVE_UP},
        {{1, JOB_FATE_LOST, U, 0}, FOLLOW_HOLD},
        {{1, JOB_FATE_INCOMPLETE, T, 0}, FOLLOW_CANCEL_PART},
        {{1, JOB_FATE_INCOMPLETE, U, 0}, FOLLOW_CANCEL_PART}, // nothing of it was ever whole
        {{1, JOB_FATE_UNKNOWN, T, 0}, FOLLOW_HOLD},
        {{1, JOB_FATE_UNKNOWN, U, 0}, FOLLOW_HOLD},
        {{1, 99, T, 0}, FOLLOW_HOLD}, // a fate this program does not know
    };
    for (const auto& row : table)
        EXPECT_EQ(decide_followed_job(&row.facts), row.action)
            << "asked " << row.facts.asked << ", fate " << row.facts.fate << ", trusted "
            << row.facts.trusted << ", resubmissions " << row.facts.resubmissions;
}

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
    void fate_is(int id, int fate, const std::string& text) {
        printer->job_states[id] = zvp::MemoryPrinter::JobState{true, 0, text, 0, fate};
    }
    // Documents printed whole whose first line is `text`: ended, and neither still held, lost
    // while held, nor cancelled (a job cancelled was never printed: the printer cancels only what
    // is not done).
    bool lost_while_held(int id) {
        auto state = printer->job_states.find(id);
        return state != printer->job_states.end() && state->second.lost;
    }
    size_t printed_copies_of(const std::string& text) {
        size_t n = 0;
        for (size_t i = 0; i < printer->documents.size(); ++i) {
            const RecordedDocument& d = printer->documents[i];
            int id = int(i + 1);
            n += d.state == RecordedDocument::State::ended && !d.pages.empty() &&
                 !d.pages[0].runs.empty() && d.pages[0].runs[0].bytes == text &&
                 !printer->held.count(id) && !lost_while_held(id) &&
                 std::find(printer->cancelled.begin(), printer->cancelled.end(), id) ==
                     printer->cancelled.end();
        }
        return n;
    }
    // The program started anew, as after it was stopped: only what is on the disk remains.
    // Runs a poll that is stopped (killed) when the printer is asked `call` for the `nth` time:
    // from that moment the printer answers nothing and what the poll writes is undone, so the
    // files, the journal and the printer stay as they were then (a document open then stays cut
    // off), and the program starts anew. False when the poll never got there.
    bool poll_stopped_at(PrinterCall call, int nth) {
        std::optional<std::string> journal;
        int seen = 0;
        printer->on_call = [&](PrinterCall c) {
            if (c != call || ++seen != nth || journal)
                return;
            journal = zvtest::read_file(journal_path(spool_journal()));
            printer->unplugged = true;
        };
        poll_folder();
        printer->on_call = nullptr;
        printer->unplugged = false;
        if (!journal)
            return false;
        std::string path = journal_path(spool_journal());
        restart();
        for (RecordedDocument& d : printer->documents)
            if (d.state == RecordedDocument::State::open)
                d.state = RecordedDocument::State::aborted;
        std::ofstream(path, std::ios::binary) << *journal;
        return true;
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
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    // Handed over held, and released once its file stayed as it was.
    EXPECT_EQ(printer->released, std::vector<int>{1});
    EXPECT_EQ(log.count("handed zv1.zv (13 bytes, 1 page) to \"ZV Memory Printer\": CUPS job 1 "
                        "pending"),
              1)
        << log.text();
    job_is(1, JOB_STATUS_PRINTING, "CUPS job 1 printing");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    job_is(1, JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE, "CUPS job 1 completed");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 1u) << "printed once";
    EXPECT_EQ(log.count("printed zv1.zv (13 bytes, 1 page) on \"ZV Memory Printer\": CUPS job 1 "
                        "completed"),
              1)
        << log.text();
}

// The print system's facts decide: gone and known to be printed, the file goes; gone and no one
// can tell, the file stays for a person, is not printed again, and a file put back anew is a new
// job.
TEST_F(HandOver, AJobThePrinterNoLongerKnowsIsPrintedOrKeptAsThePrinterCanTell) {
    add_job("zv1.zv", "gone, printed\r\n");
    add_job("zv2.zv", "gone, cannot tell\r\n");
    job_is(1, 0, "pending");
    job_is(2, 0, "pending");
    poll_folder();
    fate_is(1, JOB_FATE_PRINTED, "CUPS job 1 is no longer known to the print system: printed");
    fate_is(2, JOB_FATE_UNKNOWN,
            "CUPS job 2 is no longer known: whether it printed cannot be told");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv2.zv"});
    EXPECT_EQ(printer->documents.size(), 2u) << "neither printed again";
    EXPECT_EQ(log.count({"zv2.zv", "CUPS job 2 is no longer known", "for a person"}), 1)
        << log.text();
    restart();
    EXPECT_EQ(poll_folder(), 1) << "kept across a restart too";
    EXPECT_EQ(printer->documents.size(), 2u);

    add_job("zv2.zv", "gone, cannot tell\r\n"); // a person puts it back: a new job
    age("zv2.zv", 30);                          // (in another second than the first time)
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("gone, cannot tell"), 2u);
    EXPECT_TRUE(spool().empty());
}

TEST_F(HandOver, AJobCancelledInTheQueueIsNotPrintedAgain) {
    add_job("zv1.zv", "cancelled\r\n");
    job_is(1, 0, "pending");
    poll_folder();
    job_is(1, JOB_STATUS_DELETED, "CUPS job 1 cancelled by a person");
    poll_folder();
    poll_folder();
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(log.count({"zv1.zv", "CUPS job 1 cancelled by a person", "not printed again"}), 1)
        << log.text();
}

// Lost or failed by the print system (a cancel by the system too): printed again, a few times at
// most, then left for a person.
TEST_F(HandOver, AJobTheSystemLostIsPrintedAgainButNotInALoop) {
    add_job("zv1.zv", "lost\r\n");
    add_job("zv2.zv", "fine\r\n");
    for (int id = 1; id <= 10; ++id)
        job_is(id, 0, "pending");
    poll_folder(); // zv1 is job 1, zv2 job 2
    job_is(2, JOB_STATUS_COMPLETE, "completed");
    job_is(1, JOB_STATUS_ERROR | JOB_STATUS_RESTART, "CUPS job 1 lost");
    poll_folder(); // zv1 printed again as job 3
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(printed_copies_of("lost"), 2u);
    EXPECT_EQ(log.count("zv1.zv: CUPS job 1 lost; it is printed again"), 1) << log.text();
    fate_is(3, JOB_FATE_FAILED, "CUPS job 3 cancelled by the print system (canceled-at-device)");
    poll_folder();
    for (int id = 4; id <= 5; ++id) {
        job_is(id, JOB_STATUS_ERROR, "CUPS job " + std::to_string(id) + " aborted");
        poll_folder();
    }
    EXPECT_EQ(printed_copies_of("lost"), 4u) << "the first time and three more";
    EXPECT_EQ(log.count({"zv1.zv", "printed 4 times without success", "for a person"}), 1)
        << log.text();
    for (int poll = 0; poll < 3; ++poll)
        EXPECT_EQ(poll_folder(), 1);
    restart();
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printed_copies_of("lost"), 4u);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});

    // A new file under the name is a new job.
    add_job("zv1.zv", "a new job\r\n");
    job_is(6, JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("a new job"), 1u);
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
        printer->on_call = nullptr;
    };
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(zvtest::read_file("ZV/zv1.zv"), "other job\r\n");
    EXPECT_EQ(log.count({"zv1.zv", "replaced while it printed", "new job"}), 1) << log.text();
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("first job"), 1u);
    EXPECT_EQ(printed_copies_of("other job"), 1u);
    EXPECT_TRUE(spool().empty());
}

// A file is taken once it has stayed the same over the quiet time, on the clock that only goes
// forward: a producer that opens, appends and closes its file meanwhile keeps it waiting, and it
// is printed whole, once.
TEST_F(HandOver, AFileStillChangingWaits) {
    spooler->settings.quiet_ms = 200;
    add_job("zv1.zv", "first line\r\n");
    int writes = 0;
    zvp::sleep_hook() = [&](DWORD) {
        if (writes++ == 0)
            std::ofstream("ZV/zv1.zv", std::ios::binary | std::ios::app) << "second line\r\n";
    };
    EXPECT_EQ(poll_folder(), 0);
    zvp::sleep_hook() = nullptr;
    EXPECT_TRUE(printer->documents.empty()) << "changed while it was watched";
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(zvtest::describe(printer->documents[0].pages[0]),
              (std::vector<std::string>{"0,0:first line", "0,100:second line"}));
    EXPECT_TRUE(spool().empty());
}

// A file written to after it was handed over held only a part of the job: that job is cancelled,
// so the part never prints, and the whole file is printed.
TEST_F(HandOver, AFileWrittenToAfterItWasHandedOverCancelsThatJob) {
    add_job("zv1.zv", "first line\r\n");
    job_is(1, 0, "pending");
    poll_folder();
    std::ofstream("ZV/zv1.zv", std::ios::binary | std::ios::app) << "second line\r\n";
    job_is(2, JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printer->cancelled, std::vector<int>{1});
    ASSERT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(zvtest::describe(printer->documents[1].pages[0]).size(), 2u);
    EXPECT_TRUE(spool().empty());
}
#endif

#ifndef _WIN32
// A held job the print system lost (it restarted before it stored the job) before its release
// was asked cannot have printed: it is printed again, not kept for a person.
TEST_F(HandOver, AHeldJobLostBeforeItsReleaseIsPrintedAgain) {
    spooler->settings.quiet_ms = 200;
    add_job("zv1.zv", "the job\r\n");
    zvp::sleep_hook() = [&](DWORD) {
        if (printer->held.erase(1))
            printer->job_states[1].lost = true;
    };
    EXPECT_EQ(poll_folder(), 0);
    zvp::sleep_hook() = nullptr;
    EXPECT_TRUE(printer->released.empty());
    EXPECT_EQ(poll_folder(), 0); // seen lost while held: printed again
    EXPECT_EQ(log.count("zv1.zv: lost in a restart; it is printed again"), 1) << log.text();
    EXPECT_EQ(printer->released, std::vector<int>{2});
    EXPECT_EQ(printed_copies_of("the job"), 1u);
    EXPECT_TRUE(spool().empty()) << log.text();
    EXPECT_EQ(log.count("for a person"), 0) << log.text();
}

// A job is held from before its document goes until its file has stayed as it was for the quiet
// time after: a producer that pauses longer than the quiet time before the file is taken, and
// writes on while the job is held, has that job cancelled before any of it prints; the whole
// file is printed once it is left alone.
TEST_F(HandOver, AFileWrittenToWhileItsJobIsHeldNeverReachesThePaper) {
    spooler->settings.quiet_ms = 200;
    add_job("zv1.zv", "first line\r\n");
    int appended = 0;
    zvp::sleep_hook() = [&](DWORD) {
        bool sent = !printer->documents.empty() &&
                    printer->documents[0].state == RecordedDocument::State::ended;
        if (sent && appended++ == 0)
            std::ofstream("ZV/zv1.zv", std::ios::binary | std::ios::app) << "second line\r\n";
    };
    EXPECT_EQ(poll_folder(), 0);
    zvp::sleep_hook() = nullptr;
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_TRUE(printer->released.empty()) << "its file changed while it was held";
    EXPECT_EQ(poll_folder(), 0); // the change is seen: the held job cancelled
    EXPECT_EQ(printer->cancelled, std::vector<int>{1});
    EXPECT_EQ(poll_folder(), 0); // and the whole file printed, once quiet
    EXPECT_EQ(printer->released, std::vector<int>{2});
    EXPECT_EQ(printed_copies_of("first line"), 1u);
    ASSERT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(zvtest::describe(printer->documents[1].pages[0]).size(), 2u) << "the whole file";
    EXPECT_TRUE(spool().empty());
}

// A deletion counts once it is on the disk: while ZV cannot be flushed, the printed job's entry
// stays (a power cut that brought its file back would find it printed), the log says why once,
// and it goes once ZV can be flushed.
TEST_F(HandOver, AJobIsForgottenOnlyOnceItsDeletionIsOnTheDisk) {
    add_job("zv1.zv", "printed\r\n");
    zvp::flush_hook() = [](const std::string& path) { return path == "ZV" ? EIO : 0; };
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    ASSERT_EQ(journal_records(spool_journal()).size(), 1u);
    EXPECT_EQ(journal_records(spool_journal())[0]->state, JOB_PRINTED);
    EXPECT_EQ(log.count("the folder ZV cannot be flushed to the disk"), 1) << log.text();
    EXPECT_NE(std::string(spooler->alarms.line.c_str()).find("cannot be flushed"),
              std::string::npos)
        << "a disk that cannot keep what it is given raises the alarm";
    zvp::flush_hook() = nullptr;
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(journal_records(spool_journal()).empty());
    EXPECT_EQ(log.count("the folder ZV can be flushed to the disk again"), 1) << log.text();
    EXPECT_EQ(printed_copies_of("printed"), 1u);
}

// A failed flush of the journal is a failed step: the job waits, the log says why, and the
// journal is written anew to a new file before the next step is trusted to it (the system
// reports a lost write once, and a later flush that succeeds proves nothing).
TEST_F(HandOver, AJournalWhoseFlushFailedIsWrittenAnewBeforeItIsTrusted) {
    EXPECT_EQ(poll_folder(), 0); // the journal is made
    std::string journal = journal_path(spool_journal());
    struct stat before;
    ASSERT_EQ(stat(journal.c_str(), &before), 0);
    add_job("zv1.zv", "after a failed flush\r\n");
    int failures = 0;
    zvp::flush_hook() = [&](const std::string& path) {
        return path == journal && failures++ == 0 ? EIO : 0;
    };
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_TRUE(printer->documents.empty()) << "a step that is not on the disk does not happen";
    EXPECT_EQ(log.count("cannot keep the journal"), 1) << log.text();
    EXPECT_EQ(poll_folder(), 0);
    zvp::flush_hook() = nullptr;
    EXPECT_EQ(printed_copies_of("after a failed flush"), 1u);
    struct stat after;
    ASSERT_EQ(stat(journal.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written anew, to a new file";
    restart();
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("after a failed flush"), 1u) << "and what it says is whole";
}
#endif

// Asked to end while a job prints (a close waiting in the queue), the spooler abandons that job,
// keeps it, and starts no other.
TEST_F(HandOver, ARequestToEndAbandonsTheJobInPrint) {
    add_job("zv1.zv", std::string(2000, 'x') + "\r\n\f" + std::string(2000, 'y') + "\r\n");
    add_job("zv2.zv", "next\r\n");
    printer->on_call = [&](PrinterCall call) {
        if (call == PrinterCall::start_doc && printer->documents.empty())
            PostMessageA(nullptr, WM_CLOSE, 0, 0);
    };
    EXPECT_EQ(poll_folder(), 1);
    printer->on_call = nullptr;
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(printer->documents[0].state, RecordedDocument::State::aborted);
    EXPECT_EQ(spool(), (std::vector<std::string>{"zv1.zv", "zv2.zv"}));
    EXPECT_EQ(log.count("kept zv1.zv: abandoned: the program is ending"), 1) << log.text();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        ;
    EXPECT_EQ(poll_folder(), 0) << "the next poll goes on as before";
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printed_copies_of(std::string(400, 'x')), 1u);
}

// Input that draws nothing (zero bytes) still lets a request to end through while it is read.
TEST_F(HandOver, ARequestToEndIsHeardWhileReadingInputThatDrawsNothing) {
    add_job("zv1.zv", std::string(4 << 20, '\0') + "the end\r\n");
    printer->on_call = [&](PrinterCall call) {
        if (call == PrinterCall::start_page)
            PostMessageA(nullptr, WM_CLOSE, 0, 0);
    };
    long long before = (long long)GetTickCount64();
    EXPECT_EQ(poll_folder(), 1);
    printer->on_call = nullptr;
    EXPECT_LT((long long)GetTickCount64() - before, 2000);
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(printer->documents[0].state, RecordedDocument::State::aborted);
    EXPECT_EQ(log.count("kept zv1.zv: abandoned: the program is ending"), 1) << log.text();
}

// The printer takes no job now: the poll offers it no other, says so once with the count, and
// the next poll tries again.
TEST_F(HandOver, ARefusalOfTheWholeQueueStopsThePoll) {
    for (int n = 1; n <= 5; ++n)
        add_job("zv" + std::to_string(n) + ".zv", "job " + std::to_string(n) + "\r\n");
    printer->refusal = "too many active jobs";
    printer->fail(PrinterCall::start_doc, 1, 3);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printer->calls.size(), 3u) << "one job offered a poll";
    EXPECT_EQ(log.count({"kept", "zv1.zv", "4 more jobs", "cannot start the document"}), 1)
        << log.text();
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(log.count("jobs are taken again"), 1) << log.text();
}

#ifndef _WIN32
// A printer that refuses again and again is left alone longer each time (twice, four times the
// backoff, up to a minute), and offered the next job at once when it takes one.
TEST_F(HandOver, APrinterThatRefusesInARowIsLeftAloneLongerEachTime) {
    spooler->settings.refusal_backoff_ms = 10000;
    add_job("zv1.zv", "job\r\n");
    printer->refusal = "too many active jobs";
    printer->fail(PrinterCall::start_doc, 1, 3);
    auto offered = [&] {
        return std::count(printer->calls.begin(), printer->calls.end(), PrinterCall::start_doc);
    };
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1); // the next poll tries again, and waits after it
    EXPECT_EQ(offered(), 2);
    zvp::tick_offset_ms() += 10000;
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(offered(), 2) << "left alone for 20 s";
    zvp::tick_offset_ms() += 10000;
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(offered(), 3) << "then offered again, and left alone for 40 s";
    zvp::tick_offset_ms() += 30000;
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(offered(), 3);
    zvp::tick_offset_ms() += 10000;
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(log.count({"kept", "zv1.zv", "too many active jobs"}), 1)
        << "said once, however long it lasts\n"
        << log.text();

    // A queue that takes no jobs is a person's to mend: it is offered the next job at every poll.
    add_job("zv2.zv", "job\r\n");
    printer->accepting = false;
    printer->fail(PrinterCall::start_doc, 5, 3); // the fifth offer and the two after it
    for (int poll = 1; poll <= 3; ++poll)
        EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(offered(), 7) << "three refusals, each at its poll";
    EXPECT_EQ(poll_folder(), 0);
}

// At most so many jobs are with the printer and not printed yet: the next waits in ZV, said once,
// and is handed over as one of them prints.
TEST_F(HandOver, JobsInFlightAreFewTheRestWaitInZv) {
    spooler->settings.in_flight = 2;
    for (int n = 1; n <= 4; ++n) {
        add_job("zv" + std::to_string(n) + ".zv", "job " + std::to_string(n) + "\r\n");
        job_is(n, 0, "CUPS job " + std::to_string(n) + " pending");
    }
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(log.count({"kept", "zv3.zv", "1 more job", "2 jobs are with the printer"}), 1)
        << log.text();
    EXPECT_EQ(log.count("warning:"), 0) << "waiting its turn is no fault\n" << log.text();
    job_is(1, JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE, "CUPS job 1 completed");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printer->documents.size(), 3u) << "one printed, one more handed over";
    for (int n = 2; n <= 4; ++n)
        job_is(n, JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(printer->documents.size(), 4u) << "each once";
}
#endif

// The point in a hand-over at which the program is stopped.
struct StopPoint {
    const char* name;
    PrinterCall call; // stopped as the printer is asked this
    int nth;          // for the nth time
};

void PrintTo(const StopPoint& stop, std::ostream* out) {
    *out << stop.name;
}

class StoppedAtAnyInstant : public HandOver, public ::testing::WithParamInterface<StopPoint> {};

// The program stopped at any point of a hand-over (killed: nothing but the disk and the printer
// remain) and started again prints every job exactly once, and loses none.
TEST_P(StoppedAtAnyInstant, PrintsEveryJobOnce) {
    const StopPoint& stop = GetParam();
    for (int n = 1; n <= 3; ++n)
        add_job("zv" + std::to_string(n) + ".zv",
                "job " + std::to_string(n) + "\r\n\fits second page\r\n");
    ASSERT_TRUE(poll_stopped_at(stop.call, stop.nth));
    for (int poll = 0; poll < 4 && !spool().empty(); ++poll)
        poll_folder();
    EXPECT_TRUE(spool().empty()) << log.text();
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(printed_copies_of("job " + std::to_string(n)), 1u) << "job " << n << "\n"
                                                                     << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StoppedAtAnyInstant,
    ::testing::Values(StopPoint{"BeforeTheFirstDocument", PrinterCall::start_doc, 1},
                      StopPoint{"BeforeItsLastingName", PrinterCall::job_reference, 1},
                      StopPoint{"OnItsFirstPage", PrinterCall::start_page, 1},
                      StopPoint{"BetweenPages", PrinterCall::start_page, 2},
                      StopPoint{"BeforeTheDocumentEnds", PrinterCall::end_doc, 1},
                      StopPoint{"AfterTheDocumentWentWhole", PrinterCall::job_fate, 1},
                      StopPoint{"OnTheSecondJob", PrinterCall::start_page, 3},
                      StopPoint{"AfterTheSecondJobWentWhole", PrinterCall::job_fate, 2},
                      StopPoint{"OnTheLastJob", PrinterCall::end_doc, 3}),
    [](const testing::TestParamInfo<StopPoint>& info) { return std::string(info.param.name); });

// A job that stops the program each time it prints (it makes the program break down) is left for
// a person after a few tries; the jobs behind it print.
TEST_F(HandOver, AJobThatStopsTheProgramEachTimeIsLeftForAPerson) {
    add_job("zv1.zv", "poison\r\n");
    add_job("zv2.zv", "fine\r\n");
    for (int crash = 0; crash < 3; ++crash)
        ASSERT_TRUE(poll_stopped_at(PrinterCall::start_page, 1));
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(printed_copies_of("fine"), 1u);
    EXPECT_EQ(printed_copies_of("poison"), 0u);
    EXPECT_EQ(log.count({"zv1.zv", "began 3 times", "never came to an end"}), 1) << log.text();
}

// A damaged journal is found out, said, and moved aside; a job it named whose printer still has
// it is followed, one it cannot account for is kept for a person; nothing is printed twice.
TEST_F(HandOver, ADamagedJournalKeepsItsJobsRatherThanPrintThemTwice) {
    add_job("zv1.zv", "handed\r\n");
    add_job("zv2.zv", "also handed\r\n");
    job_is(1, 0, "pending");
    job_is(2, 0, "pending");
    poll_folder();
    std::string path = journal_path(spool_journal());
    std::string text = zvtest::read_file(path);
    restart();
    // A byte changed in the middle: the last entry of zv2 no longer checks.
    size_t at = text.rfind("zv2.zv");
    ASSERT_NE(at, std::string::npos);
    text[at + 2] = '3';
    std::ofstream(path, std::ios::binary) << text;
    job_is(1, JOB_STATUS_COMPLETE, "completed");
    job_is(2, JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("is damaged; it is moved aside to"), 1) << log.text();
    EXPECT_EQ(printer->documents.size(), 2u) << "nothing printed twice";
    bool aside = false;
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
        aside |= e.path().filename().string().find(".damaged-") != std::string::npos;
    EXPECT_TRUE(aside);
    EXPECT_EQ(spool(), std::vector<std::string>{"zv2.zv"}) << log.text();

    // Garbage for a journal: every job waiting then is kept for a person.
    add_job("zv3.zv", "waiting\r\n");
    restart();
    std::ofstream(path, std::ios::binary) << std::string(300, '\x7f') << "\n\x01\x02 garbage\n";
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(log.count({"2 jobs", "held for a person", "the journal was damaged"}), 1)
        << log.text();
    // A person puts a job back anew: it is printed.
    add_job("zv3.zv", "waiting\r\n");
    age("zv3.zv", 30);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printed_copies_of("waiting"), 1u);
}

// Another user's spooler (or one on another machine), whose journal is not this one's, left jobs
// handed over: the jobs found are kept for a person, not printed a second time. Once this
// spooler's own jobs are done, the claim file says it left none.
TEST_F(HandOver, JobsAnotherSpoolerLeftHandedOverAreKeptNotPrintedTwice) {
    add_job("zv1.zv", "handed by another\r\n");
    // An id of this test's folder alone (on Windows the journals of all tests share a folder).
    char id[20];
    std::snprintf(id, sizeof id, "%016llx",
                  (unsigned long long)std::hash<std::string>()(dir.path()) | 1ULL << 60);
    dir.write("zvspool.lock", std::string("zvspool folder ") + id +
                                  "\nholder someone on elsewhere, pid 1, since 2026-12-01 "
                                  "08:00:00\nhanded yes\n");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_EQ(log.count({"1 job", "held for a person",
                         "the spooler before this one left jobs handed over"}),
              1)
        << log.text();
    EXPECT_NE(zvtest::read_file("zvspool.lock").find("handed yes\n"), std::string::npos)
        << zvtest::read_file("zvspool.lock");
    // Restarted while the claim file still says so: its own journal says it too, so a new job is
    // a job to print, not one of a journal that lost its entries.
    restart();
    add_job("zv2.zv", "a new job\r\n");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(printed_copies_of("a new job"), 1u);
    EXPECT_EQ(log.count("damaged"), 0) << log.text();
    add_job("zv1.zv", "handed by another\r\n"); // a person puts it back
    age("zv1.zv", 30);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("handed by another"), 1u);
    EXPECT_TRUE(spool().empty());
    std::string claim = zvtest::read_file("zvspool.lock");
    EXPECT_EQ(claim.rfind(std::string("zvspool folder ") + id + "\n", 0), 0u) << claim;
    EXPECT_NE(claim.find("handed no\n"), std::string::npos) << claim;
}

// A journal cut short, or emptied, may have lost entries: what it still holds is asked of the
// printer, and a job it cannot account for is kept for a person, not printed a second time.
TEST_F(HandOver, AJournalCutShortOrEmptiedKeepsWhatItCannotAccountFor) {
    add_job("zv1.zv", "one\r\n");
    job_is(1, 0, "pending");
    poll_folder();
    std::string path = journal_path(spool_journal());
    std::string text = zvtest::read_file(path);
    restart();
    std::ofstream(path, std::ios::binary) << text << "r 99 7 3 zv2.zv 1 2";
    add_job("zv2.zv", "two\r\n"); // handed over in an entry the cut took
    job_is(1, JOB_STATUS_COMPLETE, "completed");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("is damaged; it is moved aside to"), 1) << log.text();
    EXPECT_EQ(log.count("(its last entry is cut short, and entries after it may be lost)"), 1)
        << log.text();
    EXPECT_EQ(spool(), std::vector<std::string>{"zv2.zv"}) << "zv1 done, zv2 kept";
    EXPECT_EQ(printer->documents.size(), 1u);

    // Emptied, while the claim file says jobs were handed over.
    add_job("zv3.zv", "three\r\n");
    job_is(2, 0, "pending");
    fs::remove("ZV/zv2.zv");
    poll_folder();
    ASSERT_EQ(printer->documents.size(), 2u);
    restart();
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count("the claim file says jobs were handed over, and it holds none"), 1)
        << log.text();
    EXPECT_EQ(printer->documents.size(), 2u) << "zv3 not printed twice";
    EXPECT_EQ(spool(), std::vector<std::string>{"zv3.zv"});
}

// Without a journal that can be written, nothing is printed (so nothing twice); the jobs wait,
// the log says why once, and they are printed once it can be.
TEST_F(HandOver, NoJobIsPrintedWhileTheJournalCannotBeWritten) {
    add_job("zv1.zv", "waits for the journal\r\n");
    std::string journal;
    { // learn where the journal goes, then put a folder in its way
        poll_folder();
        journal = journal_path(spool_journal());
        restart();
        printer->documents.clear();
        add_job("zv1.zv", "waits for the journal\r\n");
        fs::remove(journal);
        fs::create_directories(journal);
    }
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_EQ(log.count("cannot read the journal"), 1) << log.text();
    fs::remove(journal);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printed_copies_of("waits for the journal"), 1u);
    EXPECT_EQ(log.count("the journal can be written again"), 1) << log.text();
}

} // namespace

// render = server: the job file goes as it is, one document of data the server renders, under
// the same journal and the same hold until its file stayed unchanged; printed once.
class UnrenderedHandOver : public HandOver {
  protected:
    void SetUp() override {
        HandOver::SetUp();
        spool_options = SpoolOptions();
        spool_options.render_on_server = true;
    }
    void TearDown() override {
        spool_options = SpoolOptions();
        HandOver::TearDown();
    }
    size_t whole_data_documents(const std::string& bytes) {
        size_t n = 0;
        for (const RecordedDocument& d : printer->documents)
            n += d.state == RecordedDocument::State::ended && d.data == bytes;
        return n;
    }
};

TEST_F(UnrenderedHandOver, TheJobFileGoesAsItIsWithTheFoldersSetUpAndPrintsOnce) {
    spool_options.offset_x_mm = 2.5;
    spool_options.offset_y_mm = -1;
    spool_options.fit_columns = 80;
    static const char raw[] = "\x1b\x07KARTOTEKA\x1b\x08\r\n\x1b 5\0margin\r\n\x0cpage 2\r\n";
    const std::string job(raw, sizeof raw - 1);
    add_job("zv1.zv", job);
    job_is(1, 0, "CUPS job 1 pending");
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 1u);
    const RecordedDocument& d = printer->documents[0];
    EXPECT_EQ(d.name, "ZV: Printing");
    EXPECT_EQ(d.datatype, "application/vnd.zv; zv-offset=2.500,-1.000; zv-fit-columns=80");
    EXPECT_EQ(d.data, job) << "every byte, the zero of the margin's code too";
    EXPECT_TRUE(d.pages.empty()) << "nothing drawn here";
    EXPECT_EQ(printer->released, std::vector<int>{1}) << "held, and released once quiet";
    EXPECT_EQ(log.count("handed zv1.zv (36 bytes, for the print server to render) to \"ZV Memory "
                        "Printer\": CUPS job 1 pending"),
              1)
        << log.text();
    job_is(1, JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE, "CUPS job 1 completed");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(whole_data_documents(job), 1u);
}

// A kill while the file's bytes are on their way: the next start finds a document that never went
// whole, cancels that job and hands the file over again, whole, once.
TEST_F(UnrenderedHandOver, StoppedWhileSendingTheFileItIsSentAgainOnce) {
    add_job("zv1.zv", "sent twice?\r\n");
    ASSERT_TRUE(poll_stopped_at(PrinterCall::write_data, 1));
    EXPECT_EQ(whole_data_documents("sent twice?\r\n"), 0u);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(whole_data_documents("sent twice?\r\n"), 1u);
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(spool().empty());
    EXPECT_EQ(whole_data_documents("sent twice?\r\n"), 1u) << log.text();
}

// The server renders each job on its own: a margin a job sets carries neither to the jobs it
// hands over after it nor, when the folder goes back to rendering here, to those printed here.
TEST_F(UnrenderedHandOver, AMarginSetInAJobTheServerRendersCarriesNowhere) {
    add_job("zv1.zv", std::string("\x1b 9\0nine columns in\r\n", 21));
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_TRUE(spool().empty());
    spool_options.render_on_server = false;
    add_job("zv2.zv", "from the edge\r\n");
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 2u);
    ASSERT_FALSE(printer->documents[1].pages.empty());
    ASSERT_FALSE(printer->documents[1].pages[0].runs.empty());
    EXPECT_EQ(printer->documents[1].pages[0].runs[0].x, 0);
}

// A printer that takes no job files (the built-in PDF printer) keeps the job, saying why, and hands
// nothing over; one that refuses the document keeps it too.
TEST_F(UnrenderedHandOver, APrinterThatTakesNoJobFilesKeepsTheJob) {
    printer->takes_data = false;
    add_job("zv1.zv", "kept\r\n");
    poll_folder();
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_GE(log.count({"zv1.zv", "\"ZV Memory Printer\" takes no job files as they are"}), 1)
        << log.text();
    printer->takes_data = true;
    printer->fail(PrinterCall::start_doc, 1, 0);
    poll_folder();
    EXPECT_EQ(spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(whole_data_documents("kept\r\n"), 0u);
    EXPECT_GE(log.count({"zv1.zv", "cannot start the document"}), 1) << log.text();
}
