// On Linux the conformance tests print on the built-in PDF printer, at 600 dots per inch with the
// real fonts, through the portable layer's spooler as the application finds its printer; run on an
// office's printer (on_office_printer.sh), on its queue, the default one.
#include "platform/portable/winspool/cups/cups_printers.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

class PortablePrinter : public ::testing::Environment {
  public:
    void SetUp() override {
        // Its documents are abandoned; its folder is in a home of the tests' own.
        char home[] = "/tmp/zv-conformance.XXXXXX";
        if (mkdtemp(home)) {
            home_ = home;
            setenv("HOME", home, 1);
        }
        if (!std::getenv("ZV_CONFORMANCE_MARGIN_HMM"))
            setenv("PRINTER", "PDF", 1);
        zvp::use_system_printers();
    }
    void TearDown() override {
        std::error_code ignored;
        if (!home_.empty())
            std::filesystem::remove_all(home_, ignored);
    }

  private:
    std::string home_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new PortablePrinter);

} // namespace
