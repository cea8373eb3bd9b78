#include "spool/durable_folder.h"

#include <string>

int flush_folder(const char* path) {
    // Windows flushes a folder's entries through a handle opened with backup semantics, and
    // needs write access for it.
    HANDLE folder = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return 1;
    BOOL flushed = FlushFileBuffers(folder);
    DWORD error = GetLastError();
    CloseHandle(folder);
    SetLastError(error);
    return flushed ? 0 : 1;
}

std::string folder_of(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}
