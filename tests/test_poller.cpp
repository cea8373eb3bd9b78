// The spool directory poller in a temporary working directory, printing on the in-memory printer
// (and on the built-in PDF printer).
#include "job_helpers.h"

#ifndef _WIN32
#include "platform/portable/winspool/cups/cups_printers.h"
#endif
#include "render/print_job.h"
#include "spool/folder_printer.h"
#include "spool/poller.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using zvp::MemoryPrinter;
using zvp::PrinterCall;
using zvp::RecordedDocument;

namespace {

class Poller : public zvtest::InTempWorkingDir {
  protected:
    void job(const std::string& name, const std::string& bytes) { add_job(name, bytes); }
    std::vector<std::string> left_in_spool() {
        std::vector<std::string> names;
        if (fs::exists("ZV"))
            for (const auto& e : fs::directory_iterator("ZV"))
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string first_text(const RecordedDocument& d) { return d.pages.at(0).runs.at(0).bytes; }
};

TEST_F(Poller, EveryJobIsItsOwnDocumentAndIsDeleted) {
    job("zv0001.zv", "one\r\n");
    job("zv0002.zv", "two\r\n\fpage two\r\n");
    job("zv0003.zv", "three\r\n");
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 3u);
    const char* texts[] = {"one", "two", "three"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(printer->documents[i].name, "ZV: Printing");
        EXPECT_EQ(printer->documents[i].state, RecordedDocument::State::ended);
        EXPECT_EQ(first_text(printer->documents[i]), texts[i]);
    }
    EXPECT_EQ(printer->documents[1].pages.size(), 2u);
    EXPECT_TRUE(left_in_spool().empty());
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printer->documents.size(), 3u);
}

TEST_F(Poller, OnlyMatchingNamesInTheSpoolDirectory) {
    EXPECT_EQ(poll_folder(), 0); // no ZV at all
    job("A0001.ZV", "a");
    job("zv1.txt", "b");
    job("xzv1.zv", "c");
    job("zv1.zvx", "d");
    fs::create_directories("ZV/sub");
    dir.write("ZV/sub/zv2.zv", "e");
    dir.write("zv3.zv", "f"); // beside ZV, not in it
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_EQ(left_in_spool(),
              (std::vector<std::string>{"A0001.ZV", "sub", "xzv1.zv", "zv1.txt", "zv1.zvx"}));
    EXPECT_TRUE(fs::exists("zv3.zv"));
}

TEST_F(Poller, NamesMatchWithoutRegardToCaseAndComeInNameOrder) {
    job("zv1.Zv", "third");
    job("ZV0002.ZV", "first");
    job("Zv0003.zv", "second");
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 3u);
    EXPECT_EQ(first_text(printer->documents[0]), "first");
    EXPECT_EQ(first_text(printer->documents[1]), "second");
    EXPECT_EQ(first_text(printer->documents[2]), "third");
    EXPECT_TRUE(left_in_spool().empty());
}

class PollerFailure : public Poller,
                      public ::testing::WithParamInterface<zvtest::PrinterFailure> {};

// Whatever goes wrong, the job stays, the poll says so, and the next poll, the printer working
// again, prints it exactly once.
TEST_P(PollerFailure, KeepsTheJobForTheNextPoll) {
    GetParam().apply(printer);
    job("zv0001.zv", "keep me\r\n");
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(left_in_spool(), std::vector<std::string>{"zv0001.zv"});
    for (const auto& d : printer->documents)
        EXPECT_EQ(d.state, RecordedDocument::State::aborted);
    size_t failed = printer->documents.size();

    zvp::use_memory_printer(printer);
    if (!GetParam().no_printer)
        printer->fail(GetParam().call, 1, 1); // the failure is over
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), failed + 1);
    EXPECT_EQ(printer->documents.back().state, RecordedDocument::State::ended);
    EXPECT_EQ(first_text(printer->documents.back()), "keep me");
    EXPECT_TRUE(left_in_spool().empty());
}

INSTANTIATE_TEST_SUITE_P(Each, PollerFailure, ::testing::ValuesIn(zvtest::printer_failures()),
                         zvtest::failure_name);

// A job that could not be printed leaves the margin that later jobs print at as it was.
TEST_F(Poller, AJobKeptBackDoesNotMoveTheMargin) {
    job("zv0.zv", "\x1b 04\rmargin four\r\n");
    EXPECT_EQ(poll_folder(), 0);
    job("zv1.zv", "\x1b 10\rmargin ten\r\n");
    job("zv2.zv", "\rno margin of its own\r\n");
    printer->fail(PrinterCall::end_doc, 2);
    EXPECT_EQ(poll_folder(), 1);
    ASSERT_EQ(printer->documents.size(), 3u);
    EXPECT_EQ(printer->documents[0].pages[0].runs[0].x, 240);
    EXPECT_EQ(printer->documents[2].pages[0].runs[0].x, 240);
    EXPECT_EQ(left_in_spool(), std::vector<std::string>{"zv1.zv"});
    // Printed again, it sets its margin for the jobs after it.
    job("zv3.zv", "\rafter it\r\n");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printer->documents.back().pages[0].runs[0].x, 600);
}

#ifndef _WIN32
// A producer that appends while its job prints keeps the job: nothing of it is deleted unprinted,
// the job holding a part is cancelled, and the whole file is printed once it is left alone. (On
// Windows the open job refuses writers, so this cannot happen there.)
TEST_F(Poller, AJobThatGrewWhilePrintingIsKept) {
    job("zv1.zv", "first part\r\n");
    printer->job_states[1] = MemoryPrinter::JobState{true, 0, "pending"};
    printer->on_call = [&](PrinterCall call) {
        if (call == PrinterCall::end_doc)
            std::ofstream("ZV/zv1.zv", std::ios::binary | std::ios::app) << "second part\r\n";
    };
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(left_in_spool(), std::vector<std::string>{"zv1.zv"});
    EXPECT_EQ(printer->cancelled, std::vector<int>{1});
    printer->on_call = nullptr;
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 2u);
    EXPECT_EQ(zvtest::describe(printer->documents[1].pages[0]),
              (std::vector<std::string>{"0,0:first part", "0,100:second part"}));
    EXPECT_TRUE(left_in_spool().empty());
}
#endif

TEST_F(Poller, AFileStillBeingWrittenWaits) {
    job("zv0001.zv", "half a job");
    auto writer = std::make_unique<std::ofstream>("ZV/zv0001.zv", std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer->is_open());
    // Old enough that only the writer itself can keep the job back.
    fs::last_write_time("ZV/zv0001.zv",
                        fs::file_time_type::clock::now() - std::chrono::seconds(10));
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_EQ(left_in_spool(), std::vector<std::string>{"zv0001.zv"});

    *writer << " and the rest";
    writer.reset();
    // Old enough for file systems where only the modification time tells.
    fs::last_write_time("ZV/zv0001.zv",
                        fs::file_time_type::clock::now() - std::chrono::seconds(10));
    EXPECT_EQ(poll_folder(), 0);
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(first_text(printer->documents[0]), "half a job and the rest");
    EXPECT_TRUE(left_in_spool().empty());
}

#ifndef _WIN32
TEST_F(Poller, OnlyRegularFilesAreJobsAndTheRestIsSaidOnce) {
    job("zv4.zv", "the only job");
    ASSERT_EQ(mkfifo("ZV/zv1.zv", 0644), 0);
    fs::create_directories("ZV/zv2.zv");
    fs::create_symlink("/dev/zero", "ZV/zv3.zv");
    dir.write("secret.txt", "not a job");
    fs::create_symlink(dir.file("secret.txt"), "ZV/zv5.zv");

    zvtest::LogCapture log;
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(poll_folder(), 1);
    EXPECT_EQ(log.count({"kept", "zv1.zv", "a FIFO, socket or device"}), 1) << log.text();
    EXPECT_EQ(log.count("kept zv2.zv: it is a folder, not a file"), 1) << log.text();
    EXPECT_EQ(log.count("kept zv3.zv: it is a link, not a file"), 1) << log.text();
    EXPECT_EQ(log.count("kept zv5.zv: it is a link, not a file"), 1) << log.text();
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_EQ(first_text(printer->documents[0]), "the only job");
    EXPECT_EQ(left_in_spool(), (std::vector<std::string>{"zv1.zv", "zv2.zv", "zv3.zv", "zv5.zv"}));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status("ZV/zv1.zv")));
    EXPECT_TRUE(fs::exists("secret.txt"));
    // The same rule holds when such a file is opened directly.
    for (const char* path : {"ZV\\zv1.zv", "ZV\\zv2.zv", "ZV\\zv3.zv", "ZV\\zv5.zv"})
        EXPECT_EQ(_fsopen(path, "rb", _SH_DENYWR), nullptr) << path;
}

#endif

TEST_F(Poller, PrinterNamesOfAnyLength) {
    zvp::use_memory_printer(printer, "A printer whose name and port are much longer than forty "
                                     "bytes together");
    job("zv1.zv", "x");
    EXPECT_EQ(poll_folder(), 0);
    EXPECT_EQ(printer->documents.size(), 1u);
}

TEST_F(Poller, EnumPrintersTellsTheSizeItNeeds) {
    zvp::use_memory_printer(printer, "Office");
    DWORD needed = 0, returned = 0;
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_DEFAULT, nullptr, 5, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(
        EnumPrintersA(PRINTER_ENUM_DEFAULT, nullptr, 5, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 1u);
    auto* info = reinterpret_cast<PRINTER_INFO_5A*>(buffer.data());
    EXPECT_STREQ(info->pPrinterName, "Office");
    EXPECT_GE(info->pPortName, reinterpret_cast<char*>(buffer.data()));
    EXPECT_LT(info->pPortName, reinterpret_cast<char*>(buffer.data() + needed));

    zvp::use_memory_printer(nullptr);
    EXPECT_TRUE(
        EnumPrintersA(PRINTER_ENUM_DEFAULT, nullptr, 5, buffer.data(), needed, &needed, &returned));
    EXPECT_EQ(returned, 0u);
    FolderPrinter none;
    EXPECT_EQ(open_default_printer_dc(&none), nullptr);
}

#ifndef _WIN32
// One poll on the built-in PDF printer, its files in `home`/PDF.
int poll_on_pdf_printer(Spooler* spooler, const std::string& home) {
    const char* old_home = getenv("HOME");
    std::string saved_home = old_home ? old_home : "";
    setenv("HOME", home.c_str(), 1);
    setenv("PRINTER", "PDF", 1);
    zvp::use_system_printers();
    int result = poll_spool_directory(spooler);
    setenv("HOME", saved_home.c_str(), 1);
    unsetenv("PRINTER");
    return result;
}

TEST_F(Poller, BuiltInPdfPrinterWritesIntoHomePdfWithoutOverwriting) {
    std::string home = dir.file("home");
    job("zv1.zv", "Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1\r\n");
    job("zv2.zv", "second\r\n");
    int result = poll_on_pdf_printer(spooler.get(), home);

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(left_in_spool().empty());
    std::vector<std::string> pdfs;
    for (const auto& e : fs::directory_iterator(home + "/PDF"))
        pdfs.push_back(e.path().string());
    std::sort(pdfs.begin(), pdfs.end());
    ASSERT_EQ(pdfs.size(), 2u);
    std::regex name(".*/ZV_Printing-\\d{8}-\\d{6}-\\d+\\.pdf");
    std::string all;
    for (const auto& pdf : pdfs) {
        EXPECT_TRUE(std::regex_match(pdf, name)) << pdf;
        std::string text;
        EXPECT_EQ(zvtest::run_command("pdftotext " + pdf + " -", &text), 0);
        all += text;
    }
    EXPECT_NE(all.find("Zażółć gęślą jaźń"), std::string::npos) << all;
    EXPECT_NE(all.find("second"), std::string::npos) << all;
}

// Every job of a poll is held until the poll releases them together: more of them than the PDF
// printer remembers documents for still each get their file.
TEST_F(Poller, MoreJobsInOnePollThanThePdfPrinterRemembersAllArePrinted) {
    std::string home = dir.file("home");
    for (int n = 1; n <= 70; ++n)
        job("zv" + std::to_string(1000 + n) + ".zv", "job " + std::to_string(n) + "\r\n");
    int result = poll_on_pdf_printer(spooler.get(), home);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(left_in_spool().empty());
    size_t pdfs = 0;
    for (const auto& e : fs::directory_iterator(home + "/PDF"))
        pdfs += e.path().extension() == ".pdf";
    EXPECT_EQ(pdfs, 70u);
}

#endif

} // namespace
