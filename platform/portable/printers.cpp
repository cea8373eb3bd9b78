// The print spooler's lookup and printer device contexts, over the installed printer system.
#include "gdi.h"
#include "printer_system.h"

#include <cstring>

namespace zvp {

namespace {
std::shared_ptr<PrinterSystem>& current_system() {
    static std::shared_ptr<PrinterSystem> system;
    return system;
}
} // namespace

void set_printer_system(std::shared_ptr<PrinterSystem> system) {
    current_system() = std::move(system);
}

} // namespace zvp

using namespace zvp;

namespace {
bool default_printer(PrinterEntry& entry) {
    return current_system() && current_system()->default_printer(entry);
}
} // namespace

BOOL WINAPI EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned) {
    if (!needed || !returned || level != 5 || name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *needed = *returned = 0;
    PrinterEntry entry;
    if (!(flags & (PRINTER_ENUM_DEFAULT | PRINTER_ENUM_LOCAL)) || !default_printer(entry))
        return TRUE;
    // The record, then the strings it points to, all in the caller's buffer.
    DWORD total = sizeof(PRINTER_INFO_5A) + entry.name.size() + 1 + entry.port.size() + 1;
    *needed = total;
    if (!buffer || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_5A*>(buffer);
    char* strings = reinterpret_cast<char*>(buffer + sizeof(PRINTER_INFO_5A));
    std::memcpy(strings, entry.name.c_str(), entry.name.size() + 1);
    char* port = strings + entry.name.size() + 1;
    std::memcpy(port, entry.port.c_str(), entry.port.size() + 1);
    *info = PRINTER_INFO_5A{strings, port, PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_LOCAL,
                            15000, 45000};
    *returned = 1;
    return TRUE;
}

BOOL WINAPI GetDefaultPrinterA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PrinterEntry entry;
    if (!default_printer(entry)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD wanted = static_cast<DWORD>(entry.name.size() + 1);
    if (!buffer || *size < wanted) {
        *size = wanted;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, entry.name.c_str(), wanted);
    *size = wanted;
    return TRUE;
}

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* init) {
    (void)driver;
    (void)output;
    (void)init;
    if (!device || !current_system()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    std::shared_ptr<Device> printer = current_system()->open(device);
    if (!printer) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    return create_dc(std::move(printer));
}
