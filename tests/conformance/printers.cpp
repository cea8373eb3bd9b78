// The print spooler's enumeration of printers: the records and their strings in the caller's
// buffer, which is first asked for its size; and how the default printer is found.
#include "tests/conformance/conformance.h"

#include <string>
#include <vector>

namespace {

std::string default_printer_name() {
    DWORD size = 0;
    GetDefaultPrinterA(NULL, &size);
    std::vector<char> name(size + 1);
    return GetDefaultPrinterA(name.data(), &size) ? std::string(name.data()) : std::string();
}

TEST(PrinterRecords, TellTheSizeTheyNeedAndFitInIt) {
    DWORD needed = 0, returned = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 5, NULL, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, DWORD(sizeof(PRINTER_INFO_5A)));

    DWORD short_by_one = needed - 1;
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 5, buffer.data(), short_by_one, &needed,
                               &returned));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

    ASSERT_TRUE(
        EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 5, buffer.data(), needed, &needed, &returned));
    ASSERT_GE(returned, DWORD(1));
    const auto* records = reinterpret_cast<const PRINTER_INFO_5A*>(buffer.data());
    const char* begin = reinterpret_cast<const char*>(buffer.data());
    const char* end = begin + buffer.size();
    bool found_default = false;
    for (DWORD i = 0; i < returned; ++i) {
        ASSERT_NE(records[i].pPrinterName, nullptr);
        EXPECT_GE(records[i].pPrinterName, begin);
        EXPECT_LT(records[i].pPrinterName, end);
        found_default = found_default || default_printer_name() == records[i].pPrinterName;
    }
    EXPECT_TRUE(found_default) << "the default printer " << default_printer_name();
}

// PRINTER_ENUM_DEFAULT is documented for Windows 95 only: a spooler may answer it with the default
// printer or with no record at all (Wine does), and the application asks GetDefaultPrinterA then.
TEST(PrinterRecords, TheDefaultPrinterByEnumerationOrByName) {
    DWORD needed = 0, returned = 0;
    std::vector<BYTE> buffer(4096);
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_DEFAULT, NULL, 5, buffer.data(), DWORD(buffer.size()),
                              &needed, &returned));
    if (conformance::running_under_wine()) {
        EXPECT_EQ(returned, DWORD(0));
    }
    if (returned == 1) {
        EXPECT_EQ(reinterpret_cast<const PRINTER_INFO_5A*>(buffer.data())->pPrinterName,
                  default_printer_name());
    }
    EXPECT_FALSE(default_printer_name().empty());
}

} // namespace
