// main() of the programs built on the application's WinMain.
#include "cups_printers.h"
#include "desktop.h"
#include "win32_api.h"

#include <string>

int main(int argc, char** argv) {
    zvp::use_system_printers();
    zvp::use_desktop(&argc, &argv);
    std::string command_line;
    for (int i = 1; i < argc; ++i)
        command_line += (i > 1 ? " " : "") + std::string(argv[i]);
    return WinMain(GetModuleHandleA(nullptr), nullptr, command_line.data(), SW_SHOWDEFAULT);
}
