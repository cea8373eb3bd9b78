// The CUPS layer without a scheduler: the scheduler's answers built in memory as libcups reads
// them off the wire, and what the layer makes of them: whose job it is and what became of it, the
// printer's state, the paper and its margins on the device, the options a job goes with.
#include "platform/portable/gdi32/printer_device.h"
#include "platform/portable/winspool/cups/cups_connection.h"
#include "platform/portable/winspool/cups/cups_destinations.h"
#include "platform/portable/winspool/cups/cups_job_fates.h"
#include "platform/portable/winspool/cups/cups_sink.h"

#include <cerrno>
#include <cstring>
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

using IppPtr = zvp::IppPtr;

struct JobAnswer {
    const char* uuid = "urn:uuid:7c9e6679-7425-40de-944b-e07fc1f90ae7";
    int created = 1765180000;
    ipp_jstate_t state = IPP_JSTATE_COMPLETED;
    std::vector<const char*> reasons = {"job-completed-successfully"};
    const char* message = nullptr;
    const char* printer_message = nullptr;
    int processing = 1765180005;
    int documents = 1;
};

// A Get-Job-Attributes answer as a scheduler sends it.
IppPtr job_answer(const JobAnswer& a) {
    ipp_t* r = ippNewResponse(ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES));
    ippAddString(r, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr, a.uuid);
    ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "time-at-creation", a.created);
    ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", a.state);
    ippAddStrings(r, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-state-reasons", int(a.reasons.size()),
                  nullptr, a.reasons.data());
    if (a.message)
        ippAddString(r, IPP_TAG_JOB, IPP_TAG_TEXT, "job-state-message", nullptr, a.message);
    if (a.printer_message)
        ippAddString(r, IPP_TAG_JOB, IPP_TAG_TEXT, "job-printer-state-message", nullptr,
                     a.printer_message);
    if (a.processing)
        ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "time-at-processing", a.processing);
    if (a.documents >= 0)
        ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "number-of-documents", a.documents);
    return IppPtr(r);
}

zvp::CupsReference reference_by_uuid() {
    zvp::CupsReference ref;
    ref.id = 12;
    ref.uuid = JobAnswer().uuid;
    return ref;
}

zvp::JobFate fate_of(const JobAnswer& a, const zvp::CupsReference& ref, bool sent = true) {
    zvp::CupsJobFacts facts;
    zvp::read_job_facts(job_answer(a).get(), ref, facts);
    return zvp::decide_fate(facts, sent, ref.id);
}

TEST(CupsLayer, AJobIsKnownByItsUuidNotItsNumber) {
    zvp::CupsJobFacts facts;
    zvp::read_job_facts(job_answer(JobAnswer()).get(), reference_by_uuid(), facts);
    EXPECT_TRUE(facts.found);
    EXPECT_TRUE(facts.ours);
    EXPECT_EQ(facts.state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(facts.documents, 1);
    EXPECT_TRUE(facts.processed);
    EXPECT_EQ(facts.reasons, std::vector<std::string>{"job-completed-successfully"});

    // A scheduler that lost its jobs in a crash gives the number to another job.
    JobAnswer other;
    other.uuid = "urn:uuid:00000000-0000-4000-8000-000000000000";
    zvp::read_job_facts(job_answer(other).get(), reference_by_uuid(), facts);
    EXPECT_FALSE(facts.ours);
    EXPECT_NE(fate_of(other, reference_by_uuid()).fate, JOB_FATE_PRINTED);

    // A server that gives no uuids: by the time of creation, in the server's own clock.
    zvp::CupsReference by_time;
    by_time.id = 12;
    by_time.created = JobAnswer().created;
    zvp::read_job_facts(job_answer(JobAnswer()).get(), by_time, facts);
    EXPECT_TRUE(facts.ours);
    by_time.created += 1;
    zvp::read_job_facts(job_answer(JobAnswer()).get(), by_time, facts);
    EXPECT_FALSE(facts.ours);
}

TEST(CupsLayer, DoneCancelledOrFailedFromTheAnswer) {
    const zvp::CupsReference ref = reference_by_uuid();
    EXPECT_EQ(fate_of(JobAnswer(), ref).fate, JOB_FATE_PRINTED);

    JobAnswer by_user;
    by_user.state = IPP_JSTATE_CANCELED;
    by_user.reasons = {"job-canceled-by-user"};
    EXPECT_EQ(fate_of(by_user, ref).fate, JOB_FATE_CANCELLED);

    JobAnswer by_backend;
    by_backend.state = IPP_JSTATE_ABORTED;
    by_backend.reasons = {"aborted-by-system"};
    by_backend.printer_message = "cannot print with supplied options";
    zvp::JobFate failed = fate_of(by_backend, ref);
    EXPECT_EQ(failed.fate, JOB_FATE_FAILED);
    EXPECT_NE(failed.words.find("cannot print with supplied options"), std::string::npos)
        << failed.words;

    // Its sender stopped before the document went whole: never printed as it is.
    JobAnswer empty;
    empty.state = IPP_JSTATE_HELD;
    empty.reasons = {"job-incoming"};
    empty.documents = 0;
    empty.processing = 0;
    EXPECT_EQ(fate_of(empty, ref, false).fate, JOB_FATE_INCOMPLETE);

    JobAnswer waiting;
    waiting.state = IPP_JSTATE_PENDING;
    waiting.reasons = {"printer-stopped"};
    waiting.message = "Brak papieru";
    waiting.processing = 0;
    zvp::JobFate pending = fate_of(waiting, ref);
    EXPECT_EQ(pending.fate, JOB_FATE_WAITING);
    EXPECT_EQ(pending.words, "CUPS job 12 pending (printer-stopped: Brak papieru)");

    // GetJobA's status bits of each fate.
    EXPECT_EQ(zvp::job_status_of(JOB_FATE_WAITING), 0u);
    EXPECT_EQ(zvp::job_status_of(JOB_FATE_PRINTED),
              DWORD(JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE));
    EXPECT_EQ(zvp::job_status_of(JOB_FATE_CANCELLED), DWORD(JOB_STATUS_DELETED));
    EXPECT_NE(zvp::job_status_of(JOB_FATE_LOST) & JOB_STATUS_RESTART, 0u);
    EXPECT_EQ(zvp::job_status_of(99), DWORD(JOB_STATUS_ERROR));
}

TEST(CupsLayer, APrinterSaysItsStateFromTheAnswer) {
    ipp_t* r = ippNewResponse(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES));
    IppPtr answer(r);
    ippAddInteger(r, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_STOPPED);
    const char* reasons[] = {"paused", "media-empty-error"};
    ippAddStrings(r, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-state-reasons", 2, nullptr,
                  reasons);
    ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-state-message", nullptr,
                 "Brak papieru");
    ippAddBoolean(r, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 0);
    zvp::PrinterState state = zvp::printer_state_of(r);
    EXPECT_TRUE(state.stopped);
    EXPECT_EQ(state.words, "stopped (paused, media-empty-error), not accepting jobs: Brak papieru");
    EXPECT_FALSE(state.accepting) << "a refusal then is the queue's, not of load";

    // An answer that leaves the state out is an idle printer taking jobs.
    IppPtr bare(ippNewResponse(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES)));
    zvp::PrinterState idle = zvp::printer_state_of(bare.get());
    EXPECT_FALSE(idle.stopped);
    EXPECT_TRUE(idle.accepting);
    EXPECT_EQ(idle.words, "idle");
}

// libcups's word for a server none of whose addresses answered says little ("Host is down", for
// the local socket too); the reason says what it means, the system's words after it.
TEST(CupsLayer, AnUnreachableServerIsSaidInWordsToActOn) {
    EXPECT_EQ(zvp::unreachable_words("/run/cups/cups.sock", std::strerror(EHOSTDOWN)),
              "cannot reach the print system (/run/cups/cups.sock): the scheduler is not running "
              "there, or is restarting (Host is down)");
    EXPECT_EQ(zvp::unreachable_words("10.0.0.1:631", std::strerror(EHOSTUNREACH)),
              "cannot reach the print system (10.0.0.1:631): the server cannot be reached over "
              "the network (No route to host)");
    EXPECT_EQ(zvp::unreachable_words("printserver:631", "no such host"),
              "cannot reach the print system (printserver:631): no such host");
}

// The paper a queue reports becomes the device: the sheet and printable area in whole units of
// 600 dpi, the printable corner where the margins end.
TEST(CupsLayer, TheQueuesPaperAndMarginsOnTheDevice) {
    cups_size_t a4{};
    snprintf(a4.media, sizeof a4.media, "iso_a4_210x297mm");
    a4.width = 21000;
    a4.length = 29700;
    a4.left = a4.right = a4.top = a4.bottom = 423;
    zvp::QueuePaper paper;
    ASSERT_TRUE(zvp::paper_of_size(a4, paper));
    EXPECT_EQ(paper.media, "iso_a4_210x297mm");
    zvp::DeviceCaps caps = zvp::printer_caps(paper.page);
    EXPECT_EQ(caps.physical_width, 4960);
    EXPECT_EQ(caps.physical_height, 7015);
    EXPECT_EQ(caps.physical_offset_x, 99);
    EXPECT_EQ(caps.physical_offset_y, 99);
    EXPECT_EQ(caps.horzres, 4760);
    EXPECT_EQ(caps.vertres, 6815);

    cups_size_t letter_borderless{};
    snprintf(letter_borderless.media, sizeof letter_borderless.media, "na_letter_8.5x11in");
    letter_borderless.width = 21590;
    letter_borderless.length = 27940;
    ASSERT_TRUE(zvp::paper_of_size(letter_borderless, paper));
    caps = zvp::printer_caps(paper.page);
    EXPECT_EQ(caps.physical_width, 5100);
    EXPECT_EQ(caps.horzres, 5100);
    EXPECT_EQ(caps.physical_offset_x, 0);

    zvp::QueuePaper untouched;
    EXPECT_FALSE(zvp::paper_of_size(cups_size_t{}, untouched)) << "a size of no size";
    EXPECT_TRUE(untouched.media.empty());

    EXPECT_EQ(zvp::media_names("A4,Tray1,,Plain"),
              (std::vector<std::string>{"A4", "Tray1", "Plain"}));
    EXPECT_TRUE(zvp::media_names(nullptr).empty());
}

// A job goes with what the user set for the destination, not with what describes the printer,
// and on the paper it was laid out for.
TEST(CupsLayer, AJobsOptionsAreTheDestinationsOwnAndItsPaper) {
    cups_dest_t dest{};
    dest.name = const_cast<char*>("office");
    dest.num_options = cupsAddOption("sides", "two-sided-long-edge", 0, &dest.options);
    dest.num_options = cupsAddOption("printer-info", "Biuro", dest.num_options, &dest.options);
    dest.num_options = cupsAddOption("marker-levels", "40", dest.num_options, &dest.options);
    dest.num_options =
        cupsAddOption("device-uri", "ipp://printer/ipp", dest.num_options, &dest.options);
    dest.num_options = cupsAddOption("media", "Letter", dest.num_options, &dest.options);
    {
        zvp::JobOptions options(&dest, "iso_a4_210x297mm");
        std::map<std::string, std::string> sent;
        for (int i = 0; i < options.count; ++i)
            sent[options.options[i].name] = options.options[i].value;
        EXPECT_EQ(sent, (std::map<std::string, std::string>{{"media", "iso_a4_210x297mm"},
                                                            {"sides", "two-sided-long-edge"}}));
    }
    zvp::JobOptions unasked(&dest, "");
    EXPECT_STREQ(cupsGetOption("media", unasked.count, unasked.options), "Letter");
    cupsFreeOptions(dest.num_options, dest.options);
}

} // namespace

// A document of data goes with its type as the document format and its parameters as the job's
// options; anything that would read as more than that (blanks, quotes, a name without a value)
// is no data type.
TEST(CupsLayer, ADataTypeIsAFormatAndOptionsOnly) {
    std::string format, options;
    ASSERT_TRUE(zvp::datatype_parts("application/vnd.zv; zv-offset=2.500,-1.000; zv-fit-columns=80",
                                    format, options));
    EXPECT_EQ(format, "application/vnd.zv");
    EXPECT_EQ(options, "zv-offset=2.500,-1.000 zv-fit-columns=80");
    ASSERT_TRUE(zvp::datatype_parts("application/vnd.zv", format, options));
    EXPECT_EQ(format, "application/vnd.zv");
    EXPECT_EQ(options, "");
    for (const char* bad :
         {"RAW", "", "application/", "/pdf", "Application/PDF", "application/vnd.zv; media",
          "application/vnd.zv; a=b c=d", "application/vnd.zv; job-name=\"x y\"",
          "application/vnd.zv; x=a\\b", "application/vnd.zv; Media=a4", "application/vnd.zv;",
          "text/plain; =1"})
        EXPECT_FALSE(zvp::datatype_parts(bad, format, options)) << bad;
}
