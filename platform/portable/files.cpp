// File services over POSIX. Job files come from another program, so nothing here follows a
// symbolic link or waits on a FIFO or device: only regular files are listed, opened or read.
#include "kernel_objects.h"
#include "win32_api.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <strings.h>
#include <sys/inotify.h>
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

// Files modified and not yet closed since their folder was first listed, as inotify reports them:
// the one sign of a writer that also works for files of other users. Events before the watch
// began are unknown; a lost event queue forgets everything it knew.
class WriterWatch {
  public:
    ~WriterWatch() {
        if (fd_ >= 0)
            close(fd_);
    }

    void watch(const std::string& directory) {
        std::string key = canonical(directory);
        if (key.empty() || folders_.count(key) || folders_.size() >= 64)
            return;
        if (fd_ < 0)
            fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return;
        int wd = inotify_add_watch(fd_, key.c_str(),
                                   IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM |
                                       IN_MOVED_TO | IN_ONLYDIR);
        if (wd >= 0) {
            folders_[key] = wd;
            names_[wd] = key;
        }
    }

    bool writing(const std::string& directory, const std::string& name) {
        drain();
        auto it = folders_.find(canonical(directory));
        return it != folders_.end() && open_.count({it->second, name}) > 0;
    }

  private:
    static std::string canonical(const std::string& directory) {
        char* real = realpath(directory.empty() ? "." : directory.c_str(), nullptr);
        std::string out = real ? real : "";
        std::free(real);
        return out;
    }

    void drain() {
        alignas(inotify_event) char buffer[8192];
        ssize_t n;
        while (fd_ >= 0 && (n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if (e->mask & IN_Q_OVERFLOW) {
                    open_.clear();
                    continue;
                }
                if (e->mask & IN_IGNORED) { // the folder went
                    for (auto it = open_.begin(); it != open_.end();)
                        it = it->first == e->wd ? open_.erase(it) : std::next(it);
                    folders_.erase(names_[e->wd]);
                    names_.erase(e->wd);
                    continue;
                }
                if (e->len == 0)
                    continue;
                std::pair<int, std::string> key{e->wd, e->name};
                if (e->mask & IN_MODIFY)
                    open_.insert(key);
                else
                    open_.erase(key); // closed after writing, deleted, or moved
            }
        }
    }

    int fd_ = -1;
    std::map<std::string, int> folders_;
    std::map<int, std::string> names_;
    std::set<std::pair<int, std::string>> open_;
};

WriterWatch& writer_watch() {
    static WriterWatch w;
    return w;
}

std::string directory_of(const std::string& native) {
    size_t slash = native.find_last_of('/');
    return slash == std::string::npos ? "." : native.substr(0, slash + 1);
}

std::string name_of(const std::string& native) {
    size_t slash = native.find_last_of('/');
    return slash == std::string::npos ? native : native.substr(slash + 1);
}

// A file being written is one that some process holds open for writing. The kernel refuses a
// read lease then, which is the surest sign; where no lease can be had (another owner's file, a
// file system without leases), a write seen and no close after it, or a change in the last two
// seconds, counts as still being written.
bool open_for_writing(int fd, const struct stat& st, const std::string& native) {
    // A lease is broken by a writer opening the file; its signal must not end this process.
    fcntl(fd, F_SETSIG, SIGURG);
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN || errno == EBUSY)
        return true;
    if (writer_watch().writing(directory_of(native), name_of(native)))
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

    writer_watch().watch(directory);
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
             open_for_writing(fd, st, native_path(path)))
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
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The move itself is durable once the folder is.
        int dir = open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(FILETIME* now) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    *now = filetime(t);
}
