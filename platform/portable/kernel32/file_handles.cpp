// Files by handle: opened, asked who they are, deleted through the handle, flushed.
#include "platform/portable/kernel32/file_services.h"
#include "platform/portable/kernel32/objects.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvp;

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != OPEN_EXISTING || (access & GENERIC_WRITE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    std::string native = native_path(path);
    int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_unique<zvp::FileObject>();
    file->fd = fd;
    file->path = native;
    file->access = access;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!(share & FILE_SHARE_WRITE) && open_for_writing(fd, st, native)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return zvp::add_kernel_object(std::move(file));
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    int fd = zvp::file_descriptor(file);
    struct stat st;
    if (fd < 0 || !info || fstat(fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = S_ISDIR(st.st_mode)      ? FILE_ATTRIBUTE_DIRECTORY
                             : (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL
                                                      : FILE_ATTRIBUTE_READONLY;
    info->ftCreationTime = filetime(st.st_ctim);
    info->ftLastAccessTime = filetime(st.st_atim);
    info->ftLastWriteTime = filetime(st.st_mtim);
    auto device = static_cast<unsigned long long>(st.st_dev);
    info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    auto size = static_cast<unsigned long long>(st.st_size);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    auto inode = static_cast<unsigned long long>(st.st_ino);
    info->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info->nFileIndexLow = static_cast<DWORD>(inode);
    return TRUE;
}

// Windows deletes the file object the handle has open, whatever its name by then; here a name is
// all there is to delete by, so the name must still lead to that very file. (Between the check
// and the unlink lie microseconds in which another program could swap the file; the caller has it
// open, so the swap would have to be a rename over it.)
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info,
                                       DWORD size) {
    auto* f = dynamic_cast<zvp::FileObject*>(zvp::find_kernel_object(file));
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (kind != FileDispositionInfo || !info || size < sizeof(FILE_DISPOSITION_INFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(f->access & DELETE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile)
        return TRUE;
    struct stat open_file, named;
    if (fstat(f->fd, &open_file) != 0 || lstat(f->path.c_str(), &named) != 0 ||
        open_file.st_dev != named.st_dev || open_file.st_ino != named.st_ino) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (unlink(f->path.c_str()) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
    int fd = zvp::file_descriptor(file);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (fsync(fd) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}
