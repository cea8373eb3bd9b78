// A folder's set-up: zvspool.conf beside ZV and the command line over it, and what a set-up does
// to the page (a form moved, a report made to fit).
#include "tests/job_helpers.h"

#include "app/command_line.h"
#include "render/print_job.h"
#include "spool/folder_printer.h"
#include "spool/spool_options.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class SpoolOptionsTest : public zvtest::InTempWorkingDir {
  protected:
    void TearDown() override {
        spool_options = SpoolOptions();
        zvtest::InTempWorkingDir::TearDown();
    }
    int load(const char* command_line = "") {
        why.clear();
        CommandLine line;
        if (parse_command_line(command_line, &line, &why) != 0)
            return 2;
        return load_spool_options(line.settings, &why);
    }
    std::string why;
};

TEST_F(SpoolOptionsTest, TheFileThenTheCommandLineWhichWins) {
    EXPECT_EQ(load(), 0) << "no file is no set-up";
    EXPECT_TRUE(spool_options.printer.empty());

    dir.write("zvspool.conf", "# the front desk\r\n\n  printer =  recepcja  \noffset = 2.5, -1\n"
                              "archive = C:\\archiwum z\xB3ote\nfit-columns=80\nalarm-after = 0.5\n"
                              "quiet-seconds = 6\n");
    ASSERT_EQ(load(), 0) << why;
    EXPECT_EQ(spool_options.printer, "recepcja");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, 2.5);
    EXPECT_DOUBLE_EQ(spool_options.offset_y_mm, -1);
    EXPECT_EQ(spool_options.archive, "C:\\archiwum z\xB3ote");
    EXPECT_EQ(spool_options.fit_columns, 80);
    EXPECT_EQ(spool_options.alarm_seconds, 30u);
    EXPECT_DOUBLE_EQ(spool_options.quiet_seconds, 6);
    EXPECT_EQ(spool_options.in_flight, 5) << "by default";

    ASSERT_EQ(
        load("--once --printer \"Biuro 2\" --offset -1,0 --fit-columns 0 --quiet-seconds 0.5"), 0)
        << why;
    EXPECT_DOUBLE_EQ(spool_options.quiet_seconds, 0.5);
    EXPECT_EQ(spool_options.printer, "Biuro 2");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, -1);
    EXPECT_EQ(spool_options.fit_columns, 0);
    EXPECT_EQ(spool_options.archive, "C:\\archiwum z\xB3ote") << "what the line leaves stays";
}

TEST_F(SpoolOptionsTest, BadLinesAndValuesAreNamed) {
    const std::string too_long = std::string(5000, '#') + "\n";
    const std::pair<std::string, const char*> files[] = {
        {"printer = a\noffset = 2.5\n", "zvspool.conf line 2: offset takes X,Y"},
        {"offset = 2.5,x\n", "line 1: offset takes X,Y"},
        {"offset = 150,0\n", "line 1: offset takes X,Y"},
        {"\n\nwhatever\n", "zvspool.conf line 3: \"whatever\" is not key = value"},
        {"colour = red\n", "line 1: unknown option colour"},
        {"fit-columns = 5\n", "line 1: fit-columns takes"},
        {"fit-columns = 80x\n", "line 1: fit-columns takes"},
        {"archive-days = -3\n", "line 1: archive-days takes"},
        {"printer =\n", "line 1: printer takes"},
        {"alarm-after = 0\n", "line 1: alarm-after takes"},
        {"quiet-seconds = -1\n", "line 1: quiet-seconds takes"},
        {"in-flight = 0\n", "line 1: in-flight takes"},
        {"in-flight = 501\n", "line 1: in-flight takes"},
        {"quiet-seconds = 4000\n", "line 1: quiet-seconds takes"},
        {"quiet-seconds = soon\n", "line 1: quiet-seconds takes"},
        {too_long, "line 1: too long"},
    };
    for (const auto& [file, said] : files) {
        dir.write("zvspool.conf", file);
        EXPECT_EQ(load(), 2) << file;
        EXPECT_NE(why.find(said), std::string::npos) << file << " -> " << why;
    }
    std::remove("zvspool.conf");
    EXPECT_EQ(load("--printer"), 2);
    EXPECT_EQ(why, "--printer needs a value");
    EXPECT_EQ(load("--offset 1,1 --bogus 3"), 2);
    EXPECT_EQ(why, "unknown option --bogus");
    EXPECT_DOUBLE_EQ(spool_options.offset_x_mm, 0) << "a refused set-up changes nothing";
}

// The page of a printer with a set-up: a form moved in whole dots, a report made small enough for
// its columns; text is counted off the page where it really falls.
TEST_F(SpoolOptionsTest, APageMovedAndMadeToFit) {
    // 2480 dots at 300 dpi: 82 columns at 10 cpi.
    printer = std::make_shared<zvp::MemoryPrinter>(zvtest::printer_300dpi());
    zvp::use_memory_printer(printer);
    spool_options.offset_x_mm = 2.5;
    spool_options.offset_y_mm = -1;
    FolderPrinter folder_printer;
    HDC dc = open_default_printer_dc(&folder_printer);
    ASSERT_NE(dc, nullptr);
    DOCINFOA doc = zv_document_info();
    ASSERT_GT(StartDocA(dc, &doc), 0);
    JobPrintState job;
    zvtest::print_bytes(dc, "\r\nA", &job);
    EndDoc(dc);
    DeleteDC(dc);
    // 2.5 mm and 1 mm at 300 dpi: 30 and 12 dots (29.5 and 11.8 rounded).
    EXPECT_EQ(printer->documents.back().pages.at(0).runs.at(0).x, 30);
    EXPECT_EQ(printer->documents.back().pages.at(0).runs.at(0).y, 50 - 12);

    spool_options.offset_x_mm = spool_options.offset_y_mm = 0;
    const std::string ninety = std::string(90, 'W') + "\r\n";
    for (int fit : {0, 90}) {
        spool_options.fit_columns = fit;
        dc = open_default_printer_dc(&folder_printer);
        ASSERT_GT(StartDocA(dc, &doc), 0);
        zvtest::print_bytes(dc, ninety, &job);
        EndDoc(dc);
        DeleteDC(dc);
        const zvp::RecordedRun& run = printer->documents.back().pages.at(0).runs.at(0);
        if (fit == 0) {
            EXPECT_EQ(job.off_page.chars_right, 8) << "columns 83 to 90 are past the edge";
            EXPECT_EQ(run.end_x, 2700);
        } else {
            EXPECT_EQ(job.off_page.pages, 0) << "fitted, nothing is cut";
            // 27 dots a column, the most whole dots by which 90 columns fit 2480.
            EXPECT_EQ(run.end_x, 90 * 27);
        }
    }
}

} // namespace
