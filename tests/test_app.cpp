// The main window's procedure, the test sheet and the font sample, with the in-memory printer and
// the headless window system.
#include "job_helpers.h"

#include "app/main_window.h"
#include "diag/font_sample.h"
#include "diag/test_page.h"
#include "platform/portable/testing/hooks.h"
#ifndef _WIN32
#include "platform/portable/gdi32/codepages.h"
#include "platform/portable/kernel32/sleep_hook.h"
#endif
#include "render/font_factory.h"
#include "render/print_job.h"
#include "spool/poller.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using zvp::PrinterCall;
using zvp::RecordedDocument;

namespace {

const char print_failed[] = "Nie mog\xB3"
                            "am wydrukowa\xE6 strony!";

class MainWindow : public zvtest::InTempWorkingDir {
  protected:
    void SetUp() override {
        InTempWorkingDir::SetUp();
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = main_wnd_proc;
        wc.lpszClassName = "Doduzi";
        wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        ASSERT_NE(RegisterClassExA(&wc), 0);
        window = CreateWindowExA(0, "Doduzi", "Wydruk kartoteki ZV", WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 nullptr, nullptr, nullptr, spooler.get());
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window)) {
            DestroyWindow(window);
            MSG msg; // up to the quit message that WM_DESTROY posted
            while (GetMessageA(&msg, nullptr, 0, 0))
                DispatchMessageA(&msg);
        }
        InTempWorkingDir::TearDown();
    }

    HWND window = nullptr;
};

TEST_F(MainWindow, CreationAddsTheTestPageCommand) {
    std::vector<zvp::MenuEntry> menu = zvp::system_menu_for_testing(window);
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_EQ(menu[0].flags, UINT(MF_SEPARATOR));
    EXPECT_EQ(menu[1].flags, UINT(MF_STRING));
    EXPECT_EQ(menu[1].id, UINT_PTR(IDM_PRINT_TEST));
    EXPECT_EQ(menu[1].text, "&Drukuj");
}

// The timer stands still while a poll runs and counts a full interval from the poll's end.
TEST_F(MainWindow, TimerPollsAndStartsAgainAfterThePoll) {
    add_job("zv1.zv", "job\r\n");
    ASSERT_NE(SetTimer(window, SPOOL_TIMER_ID, SPOOL_INTERVAL_MS, nullptr), 0u);
    long long during = 0;
    printer->on_call = [&](PrinterCall call) {
        if (call == PrinterCall::start_doc) {
            during = zvp::timer_remaining_ms_for_testing(window, SPOOL_TIMER_ID);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    };
    EXPECT_EQ(SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0), 0);
    EXPECT_EQ(during, -1) << "no timer during the poll";
    EXPECT_GE(zvp::timer_remaining_ms_for_testing(window, SPOOL_TIMER_ID), SPOOL_INTERVAL_MS - 50);
    ASSERT_EQ(printer->documents.size(), 1u);
    EXPECT_FALSE(fs::exists("ZV/zv1.zv"));
}

#ifndef _WIN32
// A job stuck in a stopped queue: once the log raises the alarm, the window asks for attention and
// the desktop shows a notification with the print system's words; once the job prints, both end.
TEST_F(MainWindow, AStuckJobIsToldToThePersonAtTheDesk) {
    printer->job_states[1] =
        zvp::MemoryPrinter::JobState{true, 0, "job 1 pending", 0, JOB_FATE_WAITING};
    printer->state_words = "stopped (paused): Brak papieru";
    add_job("zv1.zv", "job\r\n");
    SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0);
    EXPECT_FALSE(zvp::desktop_for_testing().flashing);
    EXPECT_TRUE(zvp::desktop_for_testing().notifications.empty());

    zvp::tick_offset_ms() += spooler->settings.alarm_seconds * 1000ULL;
    SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0);
    EXPECT_TRUE(zvp::desktop_for_testing().flashing);
    ASSERT_EQ(zvp::desktop_for_testing().notifications.size(), 1u);
    EXPECT_EQ(zvp::desktop_for_testing().notifications[0].second,
              "1 job waiting: handed to \"ZV Memory Printer\" as job 1: job 1 pending; the "
              "printer: stopped (paused): Brak papieru");
    SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0); // no new alarm: told once
    EXPECT_EQ(zvp::desktop_for_testing().notifications.size(), 1u);

    printer->job_states[1] =
        zvp::MemoryPrinter::JobState{true, JOB_STATUS_PRINTED, "printed", 0, JOB_FATE_PRINTED};
    SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0);
    EXPECT_FALSE(zvp::desktop_for_testing().flashing);
    EXPECT_STREQ(spooler->alarms.line.c_str(), "");
}
#endif

// The icon in the notification area is there while the window is; its tip says what is in the
// way of a job, the window's status says why the test sheet failed.
TEST_F(MainWindow, TheIconAndTheStatusSayWhereThingsStand) {
    EXPECT_TRUE(zvp::desktop_for_testing().icon_shown);
    zvp::use_memory_printer(nullptr);
    add_job("zv1.zv", "job\r\n");
    SendMessageA(window, WM_TIMER, SPOOL_TIMER_ID, 0);
    EXPECT_NE(zvp::desktop_for_testing().icon_tip.find("zv1.zv [no-printer] there is no default "
                                                       "printer"),
              std::string::npos)
        << zvp::desktop_for_testing().icon_tip;
    SendMessageA(window, WM_SYSCOMMAND, IDM_PRINT_TEST, 0);
    ASSERT_EQ(zvp::message_boxes_for_testing().size(), 1u);
    EXPECT_EQ(zvp::message_boxes_for_testing()[0].text, print_failed) << "the box as it was";
    EXPECT_NE(spooler->standing.test_sheet.find("there is no default printer"), std::string::npos)
        << spooler->standing.test_sheet;
    DestroyWindow(window);
    EXPECT_FALSE(zvp::desktop_for_testing().icon_shown);
}

TEST_F(MainWindow, DestroyingStopsTheTimerAndEndsTheLoopWithZero) {
    SetTimer(window, SPOOL_TIMER_ID, SPOOL_INTERVAL_MS, nullptr);
    // Close from the system menu: the default procedure turns it into WM_CLOSE, then WM_DESTROY.
    EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0), 0);
    MSG msg;
    int dispatched = 0;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        DispatchMessageA(&msg);
        ++dispatched;
    }
    EXPECT_EQ(msg.message, UINT(WM_QUIT));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(dispatched, 1);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(zvp::timer_remaining_ms_for_testing(window, SPOOL_TIMER_ID), -1);
    EXPECT_TRUE(printer->documents.empty());
}

TEST_F(MainWindow, OtherSystemCommandsPrintNothing) {
    for (WPARAM command : {WPARAM(0), WPARAM(2), WPARAM(0x11), WPARAM(SC_MINIMIZE)})
        EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, command, 0), 0);
    EXPECT_TRUE(printer->documents.empty());
    EXPECT_TRUE(zvp::message_boxes_for_testing().empty());
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(MainWindow, PrintCommandPrintsTheSixteenLineSheet) {
    EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, IDM_PRINT_TEST, 0), 0);
    EXPECT_TRUE(zvp::message_boxes_for_testing().empty());
    ASSERT_EQ(printer->documents.size(), 1u);
    const RecordedDocument& doc = printer->documents[0];
    EXPECT_EQ(doc.name, "ZV: Printing");
    EXPECT_EQ(doc.state, RecordedDocument::State::ended);
    ASSERT_EQ(doc.pages.size(), 1u);
    const auto& runs = doc.pages[0].runs;
    ASSERT_EQ(runs.size(), 16u);
    const int widths[] = {60, 50, 34, 30};
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(runs[k].x, 0);
        EXPECT_EQ(runs[k].y, k * 100);
        EXPECT_EQ(runs[k].bytes, std::string(sample_line, SAMPLE_LINE_LENGTH));
        int pitch = k / 4, bold = k % 2, underline = (k % 4) / 2;
        EXPECT_STREQ(runs[k].font.lfFaceName, bold ? "Courier New Bold" : "Courier New") << k;
        EXPECT_EQ(runs[k].font.lfUnderline, underline) << k;
        EXPECT_EQ(runs[k].font.lfWidth, widths[pitch]) << k;
        EXPECT_EQ(runs[k].font.lfCharSet, EASTEUROPE_CHARSET) << k;
    }
}

#ifndef _WIN32
// The sample line, read in its code page, is the Polish letters, "--ij" and fourteen times the ten
// digits.
TEST(SampleLine, ReadsAsThePolishLettersAndTheDigits) {
    std::string digits;
    for (int i = 0; i < 14; ++i)
        digits += "1234567890";
    EXPECT_EQ(zvp::to_utf8(std::string(sample_line, SAMPLE_LINE_LENGTH), 1250),
              "ąćęłńóśźżĄĆĘŁŃÓŚŹŻ--ij" + digits);
    EXPECT_EQ(sample_line[SAMPLE_LINE_LENGTH], '\0');
}
#endif

class TestSheetFailure : public MainWindow,
                         public ::testing::WithParamInterface<zvtest::PrinterFailure> {};

// Every failure is reported, no document is ended, and none is left open.
TEST_P(TestSheetFailure, IsReportedInAMessageBox) {
    GetParam().apply(printer);
    EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, IDM_PRINT_TEST, 0), 0);
    ASSERT_EQ(zvp::message_boxes_for_testing().size(), 1u);
    EXPECT_EQ(zvp::message_boxes_for_testing()[0].text, print_failed);
    EXPECT_EQ(zvp::message_boxes_for_testing()[0].caption, "Doduzi");
    EXPECT_EQ(zvp::message_boxes_for_testing()[0].type, UINT(MB_ICONEXCLAMATION));
    bool ended = std::count(printer->calls.begin(), printer->calls.end(), PrinterCall::end_doc);
    if (GetParam().call != PrinterCall::end_doc) {
        EXPECT_FALSE(ended);
    }
    for (const auto& doc : printer->documents)
        EXPECT_EQ(doc.state, RecordedDocument::State::aborted);
    EXPECT_TRUE(IsWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Each, TestSheetFailure, ::testing::ValuesIn(zvtest::printer_failures()),
                         zvtest::failure_name);

TEST(TestSheet, LinePitchFollowsTheResolution) {
    for (auto [dpi, pitch] : {std::pair{300, 50}, std::pair{200, 33}}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        zvp::MemoryPrinterSetup setup;
        setup.dpi_x = setup.dpi_y = dpi;
        zvp::MemoryPrinter printer(setup);
        HDC dc = printer.create_dc();
        DOCINFOA doc{};
        doc.cbSize = sizeof doc;
        StartDocA(dc, &doc);
        StartPage(dc);
        size_t objects = zvp::gdi_object_count_for_testing();
        SetBkMode(dc, OPAQUE);
        draw_test_page(dc);
        EXPECT_EQ(zvp::gdi_object_count_for_testing(), objects);
        EXPECT_EQ(GetBkMode(dc), OPAQUE);
        EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), GetStockObject(SYSTEM_FONT));
        const auto& runs = printer.documents[0].pages[0].runs;
        ASSERT_EQ(runs.size(), 16u);
        EXPECT_EQ(runs[15].y, 15 * pitch);
        DeleteDC(dc);
    }
}

TEST(FontSample, TwelveLinesAtTheScreensLinePitch) {
    for (auto [dpi, pitch] : {std::pair{96, 16}, std::pair{120, 20}}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        std::vector<zvp::RecordedRun> runs;
        HDC dc = zvp::create_memory_display_dc(&runs, dpi);
        // The widths the factory gives this screen at 10, 12, 17 and 20 cpi.
        std::vector<LONG> widths;
        for (int w : {120, 100, 68, 60}) {
            HFONT f = create_printer_font(dc, "Courier New", 120, w, 0, 0);
            LOGFONTA lf{};
            GetObjectA(f, sizeof lf, &lf);
            widths.push_back(lf.lfWidth);
            DeleteObject(f);
        }
        ASSERT_EQ(std::set<LONG>(widths.begin(), widths.end()).size(), 4u);
        size_t objects = zvp::gdi_object_count_for_testing();
        paint_font_sample(dc);
        EXPECT_EQ(zvp::gdi_object_count_for_testing(), objects);
        ASSERT_EQ(runs.size(), 12u);
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(runs[k].x, 0);
            EXPECT_EQ(runs[k].y, k * pitch);
            EXPECT_EQ(runs[k].bytes.size(), size_t(SAMPLE_LINE_LENGTH));
            EXPECT_EQ(runs[k].font.lfCharSet, EASTEUROPE_CHARSET);
            EXPECT_NE(runs[k].font.lfWidth, widths[2]) << "no 17-cpi line";
            EXPECT_EQ(runs[k].font.lfWidth, widths[k < 4 ? 0 : k < 8 ? 1 : 3]);
            EXPECT_EQ(runs[k].font.lfUnderline, (k % 4) / 2);
        }
        EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), GetStockObject(SYSTEM_FONT));
        DeleteDC(dc);
    }
}

} // namespace
