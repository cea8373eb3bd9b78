// The last error, and the words for it.
#include "platform/portable/include/windows.h"
#include "platform/portable/kernel32/errors.h"

#include <cstring>
#include <string>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// The words Windows has for the codes this layer sets.
const char* system_message(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERROR_NO_MORE_FILES: return "There are no more files.";
    case ERROR_WRITE_PROTECT: return "The media is write protected.";
    case ERROR_LOCK_VIOLATION:
        return "The process cannot access the file because another process has locked a portion "
               "of the file.";
    case ERROR_FILE_EXISTS: return "The file exists.";
    case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long.";
    case ERROR_INVALID_OWNER:
        return "This security ID may not be assigned as the owner of this object.";
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_DISK_FULL: return "There is not enough space on the disk.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_INVALID_PRINTER_NAME: return "The printer name is invalid.";
    case ERROR_INVALID_DATATYPE: return "The specified datatype is invalid.";
    case ERROR_WRITE_FAULT: return "The system cannot write to the specified device.";
    case ERROR_CANCELLED: return "The operation was canceled by the user.";
    case ERROR_NOT_FOUND: return "Element not found.";
    default: return nullptr;
    }
}
} // namespace

DWORD WINAPI GetLastError(void) {
    return last_error;
}

void WINAPI SetLastError(DWORD error) {
    last_error = error;
}

DWORD WINAPI FormatMessageA(DWORD flags, const void*, DWORD message_id, DWORD, LPSTR buffer,
                            DWORD size, va_list*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text = zvp::registered_message(message_id);
    if (text.empty()) {
        const char* known = system_message(message_id);
        if (!known) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        text = known;
    }
    text += "\r\n";
    if (text.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
