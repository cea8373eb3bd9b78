// Files by handle: opened or created, read and written, locked, asked who they are, deleted
// through the handle, flushed.
#include "platform/portable/kernel32/file_services.h"
#include "platform/portable/kernel32/objects.h"
#include "platform/portable/kernel32/sleep_hook.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvp;

namespace {

// A new file may be written by whoever may write its folder (unless the folder is one where
// everyone may only make files of their own, as /tmp), as a Windows file inherits its folder's
// access; the rest follows the umask.
mode_t new_file_mode(const std::string& native) {
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    struct stat folder;
    if (stat(directory_of(native).c_str(), &folder) == 0 && !(folder.st_mode & S_ISVTX))
        mode |= folder.st_mode & (S_IWGRP | S_IWOTH);
    return mode;
}

int open_flags(DWORD access, DWORD disposition) {
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    flags |= (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS: return flags | O_CREAT | O_TRUNC;
    case OPEN_ALWAYS: return flags | O_CREAT;
    case OPEN_EXISTING: return flags;
    default: return -1;
    }
}

} // namespace

// The handle of an open file or folder.
static std::unique_ptr<zvp::FileObject> file_object(int fd, const std::string& native,
                                                    DWORD access) {
    auto file = std::make_unique<zvp::FileObject>();
    file->fd = fd;
    file->path = native;
    file->access = access;
    return file;
}

// A folder opened with backup semantics, as Windows opens one: to be flushed, so that the names
// made, removed or moved in it are on the disk. Only an existing folder, read as POSIX opens one.
static HANDLE open_folder(const std::string& native, DWORD access, DWORD disposition) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOTDIR ? ERROR_ACCESS_DENIED : error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return zvp::add_kernel_object(file_object(fd, native, access));
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD attributes, HANDLE) {
    int flags = path ? open_flags(access, disposition) : -1;
    if (flags < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string native = native_path(path);
    struct stat named;
    if ((attributes & FILE_FLAG_BACKUP_SEMANTICS) && stat(native.c_str(), &named) == 0 &&
        S_ISDIR(named.st_mode))
        return open_folder(native, access, disposition);
    // Whether the file was there before: Windows says so for the dispositions that may create it.
    struct stat before;
    bool existed = lstat(native.c_str(), &before) == 0;
    int fd = open(native.c_str(), flags, new_file_mode(native));
    if (fd < 0) {
        SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto file = file_object(fd, native, access);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!(access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE) &&
        open_for_writing(fd, st, native)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // open() takes the umask off the folder's write permissions too: they are given back. A
    // file root makes in a folder of another user is that user's: a program run once with sudo
    // must not leave files its own user can no longer write (a Windows file, too, is its
    // folder's users' by inheritance, whoever made it).
    if (!existed && (flags & O_CREAT)) {
        fchmod(fd, new_file_mode(native));
        struct stat folder;
        if (geteuid() == 0 && stat(directory_of(native).c_str(), &folder) == 0 &&
            folder.st_uid != 0 && !(folder.st_mode & S_ISVTX)) {
            // Where it cannot be given, it stays root's: its users are told who made it.
            int given = fchown(fd, folder.st_uid, folder.st_gid);
            (void)given;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return zvp::add_kernel_object(std::move(file));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
    int fd = zvp::file_descriptor(file);
    if (fd < 0 || (!buffer && size > 0)) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ssize_t n;
    do
        n = ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    if (read)
        *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
    int fd = zvp::file_descriptor(file);
    if (fd < 0 || (!buffer && size > 0)) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows writes all of it or fails; so does this.
    DWORD done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            SetLastError(n < 0 ? error_from_errno(errno) : ERROR_DISK_FULL);
            if (written)
                *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) {
    int fd = zvp::file_descriptor(file);
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    long long offset = distance_high ? (static_cast<long long>(*distance_high) << 32) |
                                           static_cast<DWORD>(distance)
                                     : distance;
    off_t at = fd < 0 || method > FILE_END ? -1 : lseek(fd, offset, whence);
    if (at < 0) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high)
        *distance_high = static_cast<LONG>(at >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

BOOL WINAPI SetEndOfFile(HANDLE file) {
    int fd = zvp::file_descriptor(file);
    off_t at = fd < 0 ? -1 : lseek(fd, 0, SEEK_CUR);
    if (at < 0 || ftruncate(fd, at) != 0) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

// An open file description lock belongs to the open file, not to the process, so two handles in
// one process exclude each other as on Windows, and the lock goes with the last close. Where the
// kernel has no such locks, a process-wide POSIX lock stands in.
BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD size_low, DWORD size_high,
                       LPOVERLAPPED overlapped) {
    int fd = zvp::file_descriptor(file);
    if (fd < 0 || !overlapped || !(flags & LOCKFILE_FAIL_IMMEDIATELY)) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct flock range {};
    range.l_type = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(
        (static_cast<unsigned long long>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    range.l_len = static_cast<off_t>((static_cast<unsigned long long>(size_high) << 32) | size_low);
    int locked = fcntl(fd, F_OFD_SETLK, &range);
    if (locked != 0 && errno == EINVAL)
        locked = fcntl(fd, F_SETLK, &range);
    if (locked != 0) {
        SetLastError(errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION
                                                        : error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
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
    auto* f = dynamic_cast<zvp::FileObject*>(zvp::find_kernel_object(file));
    if (!f || f->fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int e = zvp::flush_hook() ? zvp::flush_hook()(f->path) : 0;
    if (e == 0 && fsync(f->fd) != 0)
        e = errno;
    if (e != 0) {
        SetLastError(error_from_errno(e));
        return FALSE;
    }
    return TRUE;
}
