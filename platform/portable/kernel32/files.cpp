// Directory search, deletion, the C runtime's shared open, folders, moves and the time, over POSIX.
// Job files come from another program, so nothing here follows a symbolic link or waits on a FIFO
// or device: only regular files are opened or read. A search lists the rest as Windows lists what
// is not a file: a folder as a directory, a symbolic link as a reparse point, and a FIFO, socket or
// device as a device, so that its caller can say why it takes none of them.
#include "platform/portable/kernel32/file_services.h"
#include "platform/portable/kernel32/objects.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvp;

namespace {

// Windows lists a directory in the order of its names compared without regard to case.
bool name_order(const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
    int c = strcasecmp(a.cFileName, b.cFileName);
    return c != 0 ? c < 0 : std::strcmp(a.cFileName, b.cFileName) < 0;
}

} // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found) {
    if (!pattern || !found) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string p = native_path(pattern);
    size_t slash = p.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : p.substr(0, slash + 1);
    std::string wildcard = slash == std::string::npos ? p : p.substr(slash + 1);

    watch_for_writers(directory);
    int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dir_fd < 0 ? nullptr : fdopendir(dir_fd);
    if (!dir) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));
        if (dir_fd >= 0)
            close(dir_fd);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<zvp::Search>();
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        // A backslash cannot be part of a Windows name: it would name another file here.
        if (std::strlen(name) >= MAX_PATH || std::strchr(name, '\\') ||
            fnmatch(wildcard.c_str(), name, FNM_CASEFOLD | FNM_PERIOD) != 0)
            continue;
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || std::strcmp(name, ".") == 0 ||
            std::strcmp(name, "..") == 0)
            continue;
        WIN32_FIND_DATAA data{};
        data.dwFileAttributes = S_ISREG(st.st_mode)   ? FILE_ATTRIBUTE_NORMAL
                                : S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                : S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT
                                                      : FILE_ATTRIBUTE_DEVICE;
        if (!(st.st_mode & S_IWUSR))
            data.dwFileAttributes =
                (data.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        data.ftCreationTime = filetime(st.st_ctim);
        data.ftLastAccessTime = filetime(st.st_atim);
        data.ftLastWriteTime = filetime(st.st_mtim);
        data.nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) >> 32);
        data.nFileSizeLow = static_cast<DWORD>(st.st_size);
        std::strcpy(data.cFileName, name);
        search->matches.push_back(data);
    }
    closedir(dir);
    if (search->matches.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(search->matches.begin(), search->matches.end(), name_order);
    *found = search->matches[0];
    search->next = 1;
    return zvp::kernel32().searches.add(std::move(search));
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA found) {
    zvp::Search* search = zvp::kernel32().searches.get(handle);
    if (!search || !found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    zvp::Search& s = *search;
    if (s.next >= s.matches.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *found = s.matches[s.next++];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
    if (!zvp::kernel32().searches.remove(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (unlink(native_path(path).c_str()) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

FILE* _fsopen(const char* path, const char* mode, int share) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    bool plus = std::strchr(mode, '+') != nullptr;
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    switch (mode[0]) {
    case 'r': flags |= plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
    }
    // As the C runtime on Windows, errno says little (EACCES for a file in use too); the last
    // error tells a file in use from one that may not be read.
    int fd = open(native_path(path).c_str(), flags, 0666);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    struct stat st;
    int refusal = 0;
    DWORD error = ERROR_ACCESS_DENIED;
    if (fstat(fd, &st) != 0) {
        refusal = errno;
        error = error_from_errno(errno);
    } else if (!S_ISREG(st.st_mode)) {
        refusal = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    } else if ((share == _SH_DENYWR || share == _SH_DENYRW) && (flags & O_ACCMODE) == O_RDONLY &&
               open_for_writing(fd, st, native_path(path))) {
        refusal = EACCES;
        error = ERROR_SHARING_VIOLATION;
    }
    if (refusal) {
        close(fd);
        SetLastError(error);
        errno = refusal;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (mkdir(native_path(path).c_str(), 0777) != 0) {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string source = native_path(from), target = native_path(to);
    int moved = (flags & MOVEFILE_REPLACE_EXISTING) ? rename(source.c_str(), target.c_str())
                                                    : renameat2(AT_FDCWD, source.c_str(), AT_FDCWD,
                                                                target.c_str(), RENAME_NOREPLACE);
    if (moved != 0) {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(errno));
        return FALSE;
    }
    // Windows returns only once the move is on the disk; here it is once both folders are. A
    // move that is made but cannot be made durable fails: the caller must not count on it.
    if (flags & MOVEFILE_WRITE_THROUGH) {
        int e = sync_folder(directory_of(target));
        if (e == 0 && directory_of(source) != directory_of(target))
            e = sync_folder(directory_of(source));
        if (e != 0) {
            SetLastError(error_from_errno(e));
            return FALSE;
        }
    }
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(FILETIME* now) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    *now = filetime(t);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (chdir(native_path(path).c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
    if (!cwd) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return 0;
    }
    DWORD length = static_cast<DWORD>(std::strlen(cwd.get()));
    if (!buffer || size <= length)
        return length + 1;
    std::memcpy(buffer, cwd.get(), length + 1);
    return length;
}
