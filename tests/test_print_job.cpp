// The job stream interpreter on the in-memory printer at 300 dots per inch: a line is 50 units,
// and a character is 30, 25, 17 or 15 units wide at 10, 12, 17 or 20 characters per inch.
#include "job_helpers.h"

#include "platform/portable/testing/hooks.h"
#include "render/print_job.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <iconv.h>
#endif

using zvp::PrinterCall;
using zvp::RecordedDocument;
using Runs = std::vector<std::string>;

namespace {

std::string esc(int command, const std::string& parameters = "") {
    return std::string("\x1b") + char(command) + parameters;
}

class PrintJob : public ::testing::Test {
  protected:
    int print(const std::string& job) { return zvtest::print_jobs(printer, {job}, &state).at(0); }
    const RecordedDocument& doc(size_t i = 0) { return printer.documents.at(i); }
    Runs page(size_t p, size_t d = 0) { return zvtest::describe(doc(d).pages.at(p)); }
    const zvp::RecordedRun& run(size_t r, size_t p = 0, size_t d = 0) {
        return doc(d).pages.at(p).runs.at(r);
    }

    zvp::MemoryPrinter printer{zvtest::printer_300dpi()};
    JobPrintState state; // carried from job to job, as the spooler does
};

// A margin set after the page was prepared waits for the next line; a bold word continues the line.
TEST_F(PrintJob, MarginBoldWordAndTwoLines) {
    EXPECT_EQ(print(esc(32, "05") + "Name" + esc(7) + "X" + esc(8) + "\r\nTotal\r\n\f"), 0);
    ASSERT_EQ(doc().pages.size(), 1u);
    EXPECT_TRUE(doc().pages[0].ended);
    EXPECT_EQ(doc().name, "ZV: Printing");
    EXPECT_EQ(doc().state, RecordedDocument::State::ended);
    EXPECT_EQ(page(0), (Runs{"0,0:Name", "120,0:X", "150,50:Total"}));
    EXPECT_STREQ(run(0).font.lfFaceName, "Courier New");
    EXPECT_STREQ(run(1).font.lfFaceName, "Courier New Bold");
    EXPECT_STREQ(run(2).font.lfFaceName, "Courier New");
    EXPECT_EQ(run(0).font.lfHeight, -50);
    EXPECT_EQ(run(0).font.lfWidth, 30);
    EXPECT_EQ(run(0).font.lfCharSet, EASTEUROPE_CHARSET);
    EXPECT_EQ(state.left_margin, 150);
}

TEST_F(PrintJob, PagesEndOnlyAtFormFeeds) {
    zvtest::print_jobs(printer, {"", "A\f", "A\f\fB", "A\f\n", "A\r\n\f\r"});
    // An empty job is one blank page; a trailing form feed adds none.
    ASSERT_EQ(doc(0).pages.size(), 1u);
    EXPECT_TRUE(doc(0).pages[0].runs.empty());
    EXPECT_EQ(doc(1).pages.size(), 1u);
    // Two form feeds in a row leave a blank page between them.
    ASSERT_EQ(doc(2).pages.size(), 3u);
    EXPECT_EQ(page(0, 2), Runs{"0,0:A"});
    EXPECT_TRUE(doc(2).pages[1].runs.empty());
    EXPECT_EQ(page(2, 2), Runs{"0,0:B"});
    // Any byte after the last form feed starts one more page.
    ASSERT_EQ(doc(3).pages.size(), 2u);
    EXPECT_TRUE(doc(3).pages[1].runs.empty());
    EXPECT_EQ(doc(4).pages.size(), 2u);
    for (const auto& d : printer.documents)
        for (const auto& p : d.pages)
            EXPECT_TRUE(p.ended);
}

TEST_F(PrintJob, TextWithoutControlBytesIsDrawnOnceAtTheMargin) {
    state.left_margin = 90;
    EXPECT_EQ(print("abc"), 0);
    EXPECT_EQ(page(0), Runs{"90,0:abc"});
}

TEST_F(PrintJob, LineEndings) {
    zvtest::print_jobs(printer, {"one\r\ntwo\r\n", "one\ntwo\n", "one\rtwo\rsix\r"});
    EXPECT_EQ(page(0, 0), (Runs{"0,0:one", "0,50:two"}));
    EXPECT_EQ(page(0, 1), page(0, 0));
    // Carriage returns alone print every line over the first.
    EXPECT_EQ(page(0, 2), (Runs{"0,0:one", "0,0:two", "0,0:six"}));
}

TEST_F(PrintJob, TextPastTheBottomStaysOnThePage) {
    EXPECT_EQ(print(std::string(100, '\n') + "x"), 0);
    ASSERT_EQ(doc().pages.size(), 1u);
    EXPECT_EQ(page(0), Runs{"0,5000:x"});
}

TEST_F(PrintJob, MarginIsCountedInColumnsOfThePitchInEffect) {
    const std::pair<int, int> pitches[] = {{3, 150}, {4, 125}, {1, 88}, {2, 75}};
    for (auto [command, expected] : pitches) {
        state.left_margin = 0;
        print(esc(command) + esc(32, "05") + "\rX");
        EXPECT_EQ(printer.documents.back().pages[0].runs[0].x, expected) << "command " << command;
    }
    print(esc(32, "-3") + "\rX");
    EXPECT_EQ(printer.documents.back().pages[0].runs[0].x, -90);
    // A later change of pitch leaves the margin as it was set.
    print(esc(32, "05") + esc(1) + "\rX");
    EXPECT_EQ(printer.documents.back().pages[0].runs[0].x, 150);
}

TEST_F(PrintJob, NewMarginTakesEffectAtTheNextLine) {
    EXPECT_EQ(print("ab" + esc(32, "10") + "cd\r\nef"), 0);
    EXPECT_EQ(page(0), (Runs{"0,0:ab", "60,0:cd", "300,50:ef"}));
}

TEST_F(PrintJob, MarginCarriesIntoTheNextJobButCyrillicModeDoesNot) {
    zvtest::print_jobs(
        printer, {esc(32, "05") + esc(39, "01") + "\r\x80", "\r\x80", esc(32, "10") + "X\r\nY"});
    EXPECT_EQ(page(0, 0), Runs{"150,0:\xC0"});
    EXPECT_EQ(run(0, 0, 0).font.lfCharSet, RUSSIAN_CHARSET);
    EXPECT_EQ(page(0, 1), Runs{"150,0:\x80"});
    EXPECT_EQ(run(0, 0, 1).font.lfCharSet, EASTEUROPE_CHARSET);
    // The first line of a job that sets a margin uses the one in force when its page began.
    EXPECT_EQ(page(0, 2), (Runs{"150,0:X", "300,50:Y"}));
}

TEST_F(PrintJob, ResetCommand) {
    // The margin is five columns of 17 cpi; after the reset the text goes on at 10 cpi.
    print(esc(1) + esc(7) + esc(14) + esc(32, "05") + esc(39, "01") + "\ra" + esc(25) +
          "\x80\r\nc");
    EXPECT_EQ(page(0), (Runs{"88,0:a", "105,0:\x80", "0,50:c"}));
    EXPECT_STREQ(run(0).font.lfFaceName, "Courier New Bold");
    EXPECT_EQ(run(0).font.lfUnderline, 1);
    EXPECT_EQ(run(0).font.lfCharSet, RUSSIAN_CHARSET);
    EXPECT_STREQ(run(1).font.lfFaceName, "Courier New");
    EXPECT_EQ(run(1).font.lfUnderline, 0);
    EXPECT_EQ(run(1).font.lfWidth, 30);
    EXPECT_EQ(run(1).font.lfCharSet, EASTEUROPE_CHARSET);
}

TEST_F(PrintJob, CyrillicModeTranslatesAndSwitchesFontSet) {
    print(esc(39, "17") + "\x80\xF1\xB3\x41" + esc(39, "00") + "\x80\xF1");
    EXPECT_EQ(page(0), (Runs{"0,0:\xC0\xB8\xB3\x41", "120,0:\x80\xF1"}));
    EXPECT_EQ(run(0).font.lfCharSet, RUSSIAN_CHARSET);
    EXPECT_EQ(run(1).font.lfCharSet, EASTEUROPE_CHARSET);
}

TEST_F(PrintJob, StyleChangesContinueTheLine) {
    print("ab" + esc(7) + "cd" + esc(14) + "ef" + esc(8) + esc(15) + esc(4) + "gh" + esc(2) + "ij");
    EXPECT_EQ(page(0), (Runs{"0,0:ab", "60,0:cd", "120,0:ef", "180,0:gh", "230,0:ij"}));
    EXPECT_EQ(run(4).end_x, 260);
}

TEST_F(PrintJob, EveryStyleCombinationPicksItsFontSetEntry) {
    const int pitch_commands[] = {3, 4, 1, 2};
    const int widths[] = {30, 25, 17, 15};
    for (int bold = 0; bold < 2; ++bold)
        for (int underline = 0; underline < 2; ++underline)
            for (int pitch = 0; pitch < 4; ++pitch) {
                print(esc(pitch_commands[pitch]) + (bold ? esc(7) : "") +
                      (underline ? esc(14) : "") + "x");
                const LOGFONTA& f = printer.documents.back().pages[0].runs[0].font;
                EXPECT_STREQ(f.lfFaceName, bold ? "Courier New Bold" : "Courier New");
                EXPECT_EQ(f.lfUnderline, underline);
                EXPECT_EQ(f.lfWidth, widths[pitch]);
                EXPECT_EQ(f.lfWeight, 500);
                EXPECT_EQ(f.lfHeight, -50);
            }
}

TEST_F(PrintJob, EscapeSequenceEdges) {
    // ESC LF turns bold off and feeds no line; ESC ESC does nothing.
    print("a" + esc(7) + "b\x1b\nc\x1b\x1b" + "d");
    EXPECT_EQ(page(0, 0), (Runs{"0,0:a", "30,0:b", "60,0:c", "90,0:d"}));
    EXPECT_STREQ(run(2, 0, 0).font.lfFaceName, "Courier New");
    // The line feed after a one-digit margin is its second parameter byte.
    print(esc(32) + "5\nX");
    EXPECT_EQ(page(0, 1), Runs{"0,0:X"});
    EXPECT_EQ(state.left_margin, 150);
    // Parameters stop at a zero byte but both bytes are consumed.
    print(esc(32) + std::string("7\0", 2) + "\rY");
    EXPECT_EQ(page(0, 2), Runs{"210,0:Y"});
    // An ESC at the very end does nothing; a parameter cut off by the end counts as far as it goes.
    EXPECT_EQ(print("z\x1b"), 0);
    EXPECT_EQ(page(0, 3), Runs{"210,0:z"});
    print(esc(39) + "1");
    EXPECT_EQ(state.cyrillic_mode, 1);
}

TEST_F(PrintJob, LongRunsAreDrawnWholeAndTheJobGoesOn) {
    EXPECT_EQ(print(std::string(1000, 'a') + "\r\nnext"), 0);
    Runs expected{"0,0:" + std::string(400, 'a'), "12000,0:" + std::string(400, 'a'),
                  "24000,0:" + std::string(200, 'a'), "0,50:next"};
    EXPECT_EQ(page(0), expected);
}

TEST_F(PrintJob, ZeroBytesAreSkipped) {
    EXPECT_EQ(print(std::string("ab\0cd\r\nef", 9)), 0);
    EXPECT_EQ(page(0), (Runs{"0,0:ab", "60,0:cd", "0,50:ef"}));
}

// A job is one stream: a sequence that straddles the boundary between two reads keeps its meaning.
TEST_F(PrintJob, EscapeSequencesSplitBetweenReads) {
    std::string lines;
    while (lines.size() < READ_PIECE_SIZE - 41)
        lines += std::string(38, 'x') + "\r\n";
    std::string bold_job = lines + std::string(READ_PIECE_SIZE - 1 - lines.size(), 'y');
    ASSERT_EQ(bold_job.size(), size_t(READ_PIECE_SIZE - 1));
    bold_job += esc(7) + "B";
    std::string margin_job = lines + std::string(READ_PIECE_SIZE - 2 - lines.size(), 'y');
    margin_job += esc(32, "05") + "\rZ";
    zvtest::print_jobs(printer, {bold_job, margin_job});

    const auto& bold_runs = doc(0).pages[0].runs;
    EXPECT_EQ(bold_runs.back().bytes, "B");
    EXPECT_STREQ(bold_runs.back().font.lfFaceName, "Courier New Bold");
    const auto& margin_runs = doc(1).pages[0].runs;
    EXPECT_EQ(margin_runs.back().bytes, "Z");
    EXPECT_EQ(margin_runs.back().x, 150);
    for (const auto* runs : {&bold_runs, &margin_runs})
        for (const auto& r : *runs)
            EXPECT_EQ(r.bytes.find_first_not_of("xyBZ"), std::string::npos) << r.bytes;
}

TEST_F(PrintJob, FirstPageRefused) {
    size_t objects = zvp::gdi_object_count_for_testing();
    printer.fail(PrinterCall::start_page, 1);
    EXPECT_EQ(print("abc"), 1);
    EXPECT_TRUE(doc().pages.empty());
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), objects);
}

// Text waits for a page, but the page breaks that came while none was open are lost, so the job
// does not count as printed.
TEST_F(PrintJob, TextWaitsForALaterPage) {
    printer.fail(PrinterCall::start_page, 2);
    EXPECT_EQ(print("A\fB\rC"), 1);
    ASSERT_EQ(doc().pages.size(), 2u);
    EXPECT_EQ(page(1), (Runs{"0,0:B", "0,0:C"}));
}

TEST_F(PrintJob, TextWithNoPageToGoOnMakesTheJobIncomplete) {
    printer.fail(PrinterCall::start_page, 2, 0);
    EXPECT_EQ(print("A\fB"), 1);
    EXPECT_EQ(doc().pages.size(), 1u);
    // A page that cannot be ended is lost too (the first job ended one page).
    printer.fail(PrinterCall::start_page, 1000, 0);
    printer.fail(PrinterCall::end_page, 2);
    EXPECT_EQ(print("A"), 1);
}

TEST_F(PrintJob, FullRunWithNoPageIsDroppedAndReported) {
    printer.fail(PrinterCall::start_page, 2, 0);
    EXPECT_EQ(print("A\f" + std::string(450, 'b')), 1);
    EXPECT_EQ(doc().pages.size(), 1u);
}

TEST_F(PrintJob, DeviceContextComesBackAsItWas) {
    HDC dc = printer.create_dc();
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = "ZV: Printing";
    ASSERT_GT(StartDocA(dc, &info), 0);
    LOGFONTA lf{};
    lf.lfHeight = -20;
    HFONT mine = CreateFontIndirectA(&lf);
    SelectObject(dc, mine);
    SetBkMode(dc, OPAQUE);
    SetTextAlign(dc, TA_BASELINE);
    size_t objects = zvp::gdi_object_count_for_testing();

    EXPECT_EQ(zvtest::print_bytes(dc, "text" + esc(7) + "\r\nmore\f"), 0);

    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), mine);
    EXPECT_EQ(GetBkMode(dc), OPAQUE);
    EXPECT_EQ(GetTextAlign(dc), UINT(TA_BASELINE));
    EXPECT_EQ(zvp::gdi_object_count_for_testing(), objects);
    EXPECT_EQ(SaveDC(dc), 1);
    EndDoc(dc);
    DeleteDC(dc);
    DeleteObject(mine);
}

#ifndef _WIN32
TEST_F(PrintJob, UnreadableStreamIsReported) {
    HDC dc = printer.create_dc();
    DOCINFOA info{};
    info.cbSize = sizeof info;
    ASSERT_GT(StartDocA(dc, &info), 0);
    FILE* directory = std::fopen("/", "rb");
    ASSERT_NE(directory, nullptr);
    JobPrintState job;
    print_job_stream(dc, directory, NULL, &job);
    EXPECT_EQ(job.end, JOB_INCOMPLETE);
    std::fclose(directory);
    DeleteDC(dc);
}

// The table must agree with the two code pages: every Russian letter of 866 becomes the same
// letter of 1251; everything else, the Ukrainian letters too, is left alone.
TEST(CyrillicTranslationTable, AgreesWithTheCodePages) {
    iconv_t from866 = iconv_open("UTF-32LE", "CP866");
    iconv_t from1251 = iconv_open("UTF-32LE", "CP1251");
    ASSERT_NE(from866, (iconv_t)-1);
    auto decode = [](iconv_t cd, unsigned char byte) {
        char in = char(byte);
        char32_t out = 0;
        char* ip = &in;
        char* op = reinterpret_cast<char*>(&out);
        size_t il = 1, ol = sizeof out;
        iconv(cd, &ip, &il, &op, &ol);
        return out;
    };
    int letters = 0;
    for (int b = 0x80; b < 0x100; ++b) {
        char32_t letter = decode(from866, b);
        unsigned char mapped = cyrillic_translation_table[b - 0x80];
        if ((letter >= 0x410 && letter <= 0x44F) || letter == 0x401 || letter == 0x451) {
            ++letters;
            EXPECT_EQ(decode(from1251, mapped), letter) << std::hex << b;
        } else {
            EXPECT_EQ(mapped, b) << std::hex << b;
        }
    }
    EXPECT_EQ(letters, 66);
    iconv_close(from866);
    iconv_close(from1251);
}

#endif

} // namespace
