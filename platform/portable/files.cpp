// File services over POSIX. Job files come from another program, so nothing here follows a
// symbolic link or waits on a FIFO or device: only regular files are listed, opened or read.
#include "win32_api.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

DWORD error_from_errno(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: return ERROR_ACCESS_DENIED;
    case EAGAIN:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    default: return ERROR_ACCESS_DENIED;
    }
}

std::string native_path(const char* path) {
    std::string p(path);
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

FILETIME filetime(const struct timespec& t) {
    // 100-nanosecond intervals since 1601-01-01.
    unsigned long long v =
        (static_cast<unsigned long long>(t.tv_sec) + 11644473600ULL) * 10000000ULL +
        static_cast<unsigned long long>(t.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

struct Search {
    std::vector<WIN32_FIND_DATAA> matches;
    size_t next = 0;
};

std::unordered_map<HANDLE, std::unique_ptr<Search>>& searches() {
    static std::unordered_map<HANDLE, std::unique_ptr<Search>> table;
    return table;
}

// Windows lists a directory in the order of its names compared without regard to case.
bool name_order(const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
    int c = strcasecmp(a.cFileName, b.cFileName);
    return c != 0 ? c < 0 : std::strcmp(a.cFileName, b.cFileName) < 0;
}

// A file being written is one that some process holds open for writing: the kernel refuses a
// read lease then. Where leases are not allowed (another owner's file, a file system without
// them), a file changed in the last two seconds counts as still being written.
bool open_for_writing(int fd, const struct stat& st) {
    // A lease is broken by a writer opening the file; its signal must not end this process.
    fcntl(fd, F_SETSIG, SIGURG);
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN || errno == EBUSY)
        return true;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec < 2;
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

    int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dir_fd < 0 ? nullptr : fdopendir(dir_fd);
    if (!dir) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));
        if (dir_fd >= 0)
            close(dir_fd);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_unique<Search>();
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        // A backslash cannot be part of a Windows name: it would name another file here.
        if (std::strlen(name) >= MAX_PATH || std::strchr(name, '\\') ||
            fnmatch(wildcard.c_str(), name, FNM_CASEFOLD | FNM_PERIOD) != 0)
            continue;
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        WIN32_FIND_DATAA data{};
        data.dwFileAttributes =
            (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
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
    HANDLE handle = search.get();
    searches().emplace(handle, std::move(search));
    return handle;
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA found) {
    auto it = searches().find(handle);
    if (it == searches().end() || !found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Search& s = *it->second;
    if (s.next >= s.matches.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *found = s.matches[s.next++];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
    if (searches().erase(handle) == 0) {
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
    int fd = open(native_path(path).c_str(), flags, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int refusal = 0;
    if (fstat(fd, &st) != 0)
        refusal = errno;
    else if (!S_ISREG(st.st_mode))
        refusal = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    else if ((share == _SH_DENYWR || share == _SH_DENYRW) && (flags & O_ACCMODE) == O_RDONLY &&
             open_for_writing(fd, st))
        refusal = EACCES;
    if (refusal) {
        close(fd);
        errno = refusal;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}
