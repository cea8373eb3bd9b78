// What a CUPS job's fate is, from the scheduler's facts: by the job's own state while the
// scheduler has it, by who cancelled it, and, once it is gone, by whether the scheduler restarted
// since it came whole and whether it keeps a history of the jobs it finished.
#include "platform/portable/winspool/cups/cups_job_fates.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

namespace {

using zvp::CupsJobFacts;
using zvp::Known;

CupsJobFacts ours(int state, int documents = 1, std::vector<std::string> reasons = {},
                  bool processed = true) {
    CupsJobFacts f;
    f.found = f.ours = true;
    f.state = state;
    f.documents = documents;
    f.reasons = std::move(reasons);
    f.processed = processed;
    return f;
}

CupsJobFacts gone(Known restarted, Known history, bool purged = false) {
    CupsJobFacts f;
    f.restarted = restarted;
    f.history = history;
    f.purged = purged;
    return f;
}

int fate(const CupsJobFacts& f, bool sent = true) {
    return zvp::decide_fate(f, sent, 7).fate;
}

TEST(CupsJobFates, AJobTheSchedulerHasTellsByItsState) {
    EXPECT_EQ(fate(ours(IPP_JSTATE_PENDING)), JOB_FATE_WAITING);
    EXPECT_EQ(fate(ours(IPP_JSTATE_HELD)), JOB_FATE_WAITING);
    EXPECT_EQ(fate(ours(IPP_JSTATE_PROCESSING)), JOB_FATE_WAITING);
    EXPECT_EQ(fate(ours(IPP_JSTATE_STOPPED)), JOB_FATE_WAITING);
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED)), JOB_FATE_PRINTED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_ABORTED)), JOB_FATE_FAILED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED, 0)), JOB_FATE_FAILED)
        << "completed without its document";
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED, 1, {"job-completed-with-errors"})), JOB_FATE_FAILED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED, 1, {"job-completed-with-warnings"})),
              JOB_FATE_PRINTED);
    auto words = zvp::decide_fate(ours(IPP_JSTATE_STOPPED), true, 7).words;
    EXPECT_EQ(words, "CUPS job 7 stopped");
    // Stopped for its filters' errors, it stays so until a person sees to it: it failed.
    CupsJobFacts filtered = ours(IPP_JSTATE_STOPPED, 1, {"job-completed-with-errors"});
    filtered.message = "the job is damaged";
    EXPECT_EQ(fate(filtered), JOB_FATE_FAILED);
    EXPECT_EQ(zvp::decide_fate(filtered, true, 7).words,
              "CUPS job 7 stopped by the print system (job-completed-with-errors) (the job is "
              "damaged)");
}

// Only a person's cancel drops the job; the print system's own (a backend that gives up, the
// device) has it printed again.
TEST(CupsJobFates, ACancelByAPersonIsTheOnlyOneThatDropsTheJob) {
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"job-canceled-by-user"})), JOB_FATE_CANCELLED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"job-canceled-by-operator"})), JOB_FATE_CANCELLED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"canceled-at-device"})), JOB_FATE_FAILED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"job-canceled-at-device"})), JOB_FATE_FAILED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"aborted-by-system"})), JOB_FATE_FAILED);
    EXPECT_EQ(zvp::decide_fate(ours(IPP_JSTATE_CANCELED, 1, {"canceled-at-device"}), true, 7).words,
              "CUPS job 7 cancelled by the print system (canceled-at-device)");
    // Where the print system gives every end the same reason (CUPS before 2.4.8): a job cancelled
    // before it began to print was a person's cancel; one cancelled while it printed is printed
    // again rather than lost.
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"processing-to-stop-point"}, false)),
              JOB_FATE_CANCELLED);
    CupsJobFacts backend = ours(IPP_JSTATE_CANCELED, 1, {"processing-to-stop-point"}, true);
    backend.message = "Printer cannot print with supplied options";
    EXPECT_EQ(fate(backend), JOB_FATE_FAILED);
    EXPECT_EQ(zvp::decide_fate(backend, true, 7).words,
              "CUPS job 7 cancelled by the print system (processing-to-stop-point) (Printer "
              "cannot print with supplied options)");
}

// A job whose sender stopped before its document went whole never prints as it is: it is
// cancelled and printed again, whoever cancelled it meanwhile.
TEST(CupsJobFates, AJobWithoutItsWholeDocumentIsIncomplete) {
    EXPECT_EQ(fate(ours(IPP_JSTATE_PENDING, 0), false), JOB_FATE_INCOMPLETE);
    EXPECT_EQ(fate(ours(IPP_JSTATE_HELD, -1), false), JOB_FATE_INCOMPLETE);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 0, {"job-canceled-by-user"}), false),
              JOB_FATE_INCOMPLETE);
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED, 0), false), JOB_FATE_INCOMPLETE);
    // Its document did arrive whole (the sender stopped after, before it noted so).
    EXPECT_EQ(fate(ours(IPP_JSTATE_PENDING, 1), false), JOB_FATE_WAITING);
    EXPECT_EQ(fate(ours(IPP_JSTATE_COMPLETED, 1), false), JOB_FATE_PRINTED);
    EXPECT_EQ(fate(ours(IPP_JSTATE_CANCELED, 1, {"job-canceled-by-user"}), false),
              JOB_FATE_CANCELLED);
}

int fate_at(const CupsJobFacts& f, int stage) {
    return zvp::decide_fate(f, stage, 7).fate;
}

// Gone without a restart: printed where the scheduler keeps no history, else nobody can tell.
// Gone in a restart, which may have taken the record of its printing with it: printed again only
// where it cannot have printed (still held by the spooler, or its queue stopped since before it
// was made); otherwise nobody can tell, and the job is not printed twice.
TEST(CupsJobFates, AJobGoneIsPrintedAgainOnlyWhereTheFactsProveItDidNotPrint) {
    EXPECT_EQ(fate(gone(Known::no, Known::unknown)), JOB_FATE_PRINTED);
    EXPECT_EQ(fate(gone(Known::no, Known::no)), JOB_FATE_PRINTED);
    EXPECT_EQ(fate(gone(Known::no, Known::yes)), JOB_FATE_UNKNOWN)
        << "let go of its history for room, however it ended";
    EXPECT_EQ(fate(gone(Known::no, Known::unknown), false), JOB_FATE_UNKNOWN)
        << "gone before its document was known to be whole";
    EXPECT_EQ(fate_at(gone(Known::no, Known::no), JOB_STAGE_HELD), JOB_FATE_UNKNOWN)
        << "a held job leaves only by a person's hand: released or cancelled";
    for (Known restarted : {Known::yes, Known::unknown})
        for (Known history : {Known::yes, Known::no, Known::unknown}) {
            EXPECT_EQ(fate(gone(restarted, history)), JOB_FATE_UNKNOWN)
                << "a restart that lost the job may have lost its completion too";
            EXPECT_EQ(fate_at(gone(restarted, history), JOB_STAGE_HELD), JOB_FATE_LOST)
                << "held and never released: it did not print";
            CupsJobFacts stopped = gone(restarted, history);
            stopped.stopped_since_made = true;
            EXPECT_EQ(fate(stopped), JOB_FATE_LOST) << "its queue printed nothing since it came";
        }
    // The number given to another job: the scheduler restarted and forgot ours.
    CupsJobFacts renumbered = gone(Known::yes, Known::yes);
    renumbered.found = true;
    EXPECT_EQ(fate(renumbered), JOB_FATE_UNKNOWN);
    EXPECT_EQ(zvp::decide_fate(renumbered, true, 7).words,
              "CUPS job 7 is now another job (the print system restarted and lost it): whether "
              "it printed before cannot be told (a print server that writes its jobs down at "
              "once, DirtyCleanInterval 0, loses none)");
    renumbered.stopped_since_made = true;
    EXPECT_EQ(zvp::decide_fate(renumbered, true, 7).words,
              "CUPS job 7 is now another job (the print system restarted and lost it); its queue "
              "has been stopped since before it was made, so it did not print");
}

// Gone, with the word of the watch that saw it alive for how it ended: printed, aborted (printed
// again), or cancelled by whoever (kept); a restart after the word changes nothing of it.
TEST(CupsJobFates, AJobSeenToEndIsKnownAfterTheHistoryLetItGo) {
    for (Known history : {Known::yes, Known::no, Known::unknown}) {
        CupsJobFacts f = gone(history == Known::no ? Known::yes : Known::no, history);
        f.ended = IPP_JSTATE_COMPLETED;
        EXPECT_EQ(fate(f), JOB_FATE_PRINTED);
        EXPECT_EQ(fate(f, false), JOB_FATE_PRINTED) << "completed, it had its document";
        f.ended = IPP_JSTATE_ABORTED;
        EXPECT_EQ(fate(f), JOB_FATE_FAILED);
        f.ended = IPP_JSTATE_CANCELED;
        EXPECT_EQ(fate(f), JOB_FATE_UNKNOWN) << "the event does not say who cancelled it";
    }
    CupsJobFacts f = gone(Known::no, Known::yes);
    f.ended = IPP_JSTATE_COMPLETED;
    EXPECT_EQ(zvp::decide_fate(f, true, 7).words,
              "CUPS job 7 is no longer known: it completed (the print system said so as it ended)");
    f.restarted = Known::yes;
    EXPECT_EQ(fate(f), JOB_FATE_PRINTED) << "heard before the restart, by the watch that saw it";
}

TEST(CupsJobFates, AReferenceReadsBackAsWritten) {
    zvp::CupsReference r;
    r.server = {"/run/cups/cups.sock", 631};
    r.printer_uri = "ipp://localhost/printers/office desk";
    r.id = 42;
    r.uuid = "urn:uuid:0c8f8a0e-1f2b-3c4d-5e6f-708192a3b4c5";
    r.created = 1796741670;
    r.marker = 17;
    r.marker_expires = 1796828070;
    r.nonce = "4f1c9a0d2b7e8e11";
    zvp::CupsReference back;
    ASSERT_TRUE(zvp::parse_reference(zvp::format_reference(r), back));
    EXPECT_EQ(back.server.host, r.server.host);
    EXPECT_EQ(back.server.port, 631);
    EXPECT_EQ(back.printer_uri, r.printer_uri);
    EXPECT_EQ(back.id, 42);
    EXPECT_EQ(back.uuid, r.uuid);
    EXPECT_EQ(back.created, r.created);
    EXPECT_EQ(back.marker, 17);
    EXPECT_EQ(back.marker_expires, r.marker_expires);
    EXPECT_EQ(back.nonce, r.nonce);
    // One written before the watch's word was kept.
    std::string old = zvp::format_reference(r);
    old.resize(old.rfind(' '));
    ASSERT_TRUE(zvp::parse_reference(old, back));
    EXPECT_EQ(back.marker, 17);
    EXPECT_EQ(back.nonce, "");
    EXPECT_FALSE(zvp::parse_reference("pdf /home/user/PDF/x.pdf", back));
    EXPECT_FALSE(zvp::parse_reference("cups host 631", back));
}

} // namespace

namespace {

// A waiting job says why it waits, in the scheduler's words; a printer says its state, why and
// what its administrator or its device said, and is stopped in all but name by an "-error" reason.
TEST(CupsJobFates, WaitingJobsAndPrintersSayWhyInTheSchedulersWords) {
    CupsJobFacts held = ours(IPP_JSTATE_HELD, 1, {"job-hold-until-specified"});
    held.message = "held by the administrator";
    EXPECT_EQ(zvp::decide_fate(held, true, 7).words,
              "CUPS job 7 held (job-hold-until-specified: held by the administrator)");
    EXPECT_EQ(zvp::decide_fate(ours(IPP_JSTATE_PENDING, 1, {"none"}), true, 7).words,
              "CUPS job 7 pending");

    zvp::PrinterState paused =
        zvp::describe_printer_state(IPP_PSTATE_STOPPED, {"paused"}, "Brak papieru", true);
    EXPECT_TRUE(paused.stopped);
    EXPECT_EQ(paused.words, "stopped (paused): Brak papieru");
    zvp::PrinterState empty = zvp::describe_printer_state(
        IPP_PSTATE_IDLE, {"media-empty-error", "toner-low-warning"}, "", false);
    EXPECT_TRUE(empty.stopped);
    EXPECT_EQ(empty.words, "idle (media-empty-error, toner-low-warning), not accepting jobs");
    zvp::PrinterState low =
        zvp::describe_printer_state(IPP_PSTATE_PROCESSING, {"toner-low-warning"}, "", true);
    EXPECT_FALSE(low.stopped);
    EXPECT_EQ(low.words, "printing (toner-low-warning)");
    EXPECT_EQ(zvp::describe_printer_state(IPP_PSTATE_IDLE, {"none"}, "", true).words, "idle");
}

} // namespace
