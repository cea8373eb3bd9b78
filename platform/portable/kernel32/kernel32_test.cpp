// KERNEL32 as the portable layer gives it on Linux: error words, files and their locks. (The
// Windows test build runs the file tests against the real KERNEL32.)
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

// A byte-range lock excludes every other open file, also in the same process, and goes with the
// handle; the bytes it does not cover stay readable and writable.
TEST(Kernel32, FileLocksExcludeOtherOpensAndGoWithTheHandle) {
    zvtest::TempDir dir;
    std::string path = dir.file("claim");
    auto open_it = [&]() {
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE first = open_it();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "created";
    OVERLAPPED at{};
    at.Offset = 0x7FFFFFFF;
    const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    ASSERT_TRUE(LockFileEx(first, exclusive, 0, 1, 0, &at));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(first, "holder\n", 7, &written, nullptr));

    HANDLE second = open_it();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "opened";
    EXPECT_FALSE(LockFileEx(second, exclusive, 0, 1, 0, &at));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_LOCK_VIOLATION));
    char text[16] = "";
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(second, text, sizeof text, &read, nullptr));
    EXPECT_EQ(std::string(text, read), "holder\n");

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(LockFileEx(second, exclusive, 0, 1, 0, &at)) << "the lock went with its handle";
    EXPECT_EQ(SetFilePointer(second, 3, nullptr, FILE_BEGIN), 3u);
    EXPECT_TRUE(SetEndOfFile(second));
    EXPECT_EQ(zvtest::read_file(path), "hol");
    CloseHandle(second);
    EXPECT_FALSE(CloseHandle(second));
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
