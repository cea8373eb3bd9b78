// KERNEL32 as the portable layer gives it on Linux: error words and named mutexes. (The Windows
// test build runs the mutex test against the real KERNEL32.)
#include "tests/job_helpers.h"

#ifndef _WIN32
#include "platform/portable/kernel32/errors.h"
#endif

#include <gtest/gtest.h>
#include <string>

namespace {

std::string words(DWORD code) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    return n ? std::string(text, n) : std::string();
}

TEST(Kernel32, NamedMutexesAreOnePerName) {
    const char name[] = "Local\\zvspool test mutex /tmp/folder";
    SetLastError(ERROR_SUCCESS);
    HANDLE first = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE other = CreateMutexA(nullptr, FALSE, "Local\\zvspool test mutex /tmp/other");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(other));
    HANDLE again = CreateMutexA(nullptr, FALSE, name);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(again);
    EXPECT_FALSE(CloseHandle(again));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// Windows's words, ended as Windows ends them. (Wine words some differently: "Access denied.")
TEST(Kernel32, SystemErrorsHaveTheirWords) {
#ifdef _WIN32
    EXPECT_GT(words(ERROR_ACCESS_DENIED).size(), 2u);
    EXPECT_EQ(words(ERROR_ACCESS_DENIED).substr(words(ERROR_ACCESS_DENIED).size() - 2), "\r\n");
#else
    EXPECT_EQ(words(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(words(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
#endif
}

#ifndef _WIN32
// The print system's own words come back through FormatMessageA, one code per text.
TEST(Kernel32, PrinterMessagesGetCodesOfTheirOwn) {
    DWORD jammed = zvp::set_last_error_message("paper jam in tray 2");
    EXPECT_EQ(GetLastError(), jammed);
    EXPECT_EQ(jammed & 0x20000000u, 0x20000000u) << "an application's code, never the system's";
    DWORD refused = zvp::set_last_error_message("not accepting jobs");
    EXPECT_NE(refused, jammed);
    EXPECT_EQ(zvp::set_last_error_message("paper jam in tray 2"), jammed);
    EXPECT_EQ(words(jammed), "paper jam in tray 2\r\n");

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, jammed, 0, small, sizeof small,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(words(0x2FFFFFF0), "");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));

    // Years of changing texts (paths, times) do not grow the table: old texts are forgotten.
    for (int i = 0; i < 200; ++i)
        zvp::set_last_error_message("cannot write /home/user/PDF/" + std::to_string(i));
    EXPECT_EQ(words(jammed), "");
    EXPECT_EQ(words(zvp::set_last_error_message("cannot write /home/user/PDF/199")),
              "cannot write /home/user/PDF/199\r\n");
}
#endif

} // namespace
