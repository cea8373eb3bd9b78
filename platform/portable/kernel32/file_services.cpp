#include "platform/portable/kernel32/file_services.h"

#include "platform/portable/kernel32/errors.h"
#include "platform/portable/kernel32/sleep_hook.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zvp {

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
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    // Windows has no word of its own for the rest (an input/output error, a stale network
    // handle): the system's words stand.
    default: return set_last_error_message(std::strerror(e));
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

std::string directory_of(const std::string& native) {
    size_t slash = native.find_last_of('/');
    return slash == std::string::npos ? "." : native.substr(0, slash + 1);
}

std::string name_of(const std::string& native) {
    size_t slash = native.find_last_of('/');
    return slash == std::string::npos ? native : native.substr(slash + 1);
}

int sync_folder(const std::string& path) {
    if (int e = flush_hook() ? flush_hook()(path) : 0)
        return e;
    int fd = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int e = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return e;
}

int make_folders(const std::string& path, unsigned mode, std::string* failed) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        int e = mkdir(part.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
        // A folder made is there after a power cut only once the folder above it is flushed.
        if (e == 0)
            e = sync_folder(directory_of(part));
        if (e != 0 && e != EEXIST) {
            if (failed)
                *failed = part;
            return e;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    if (failed)
        *failed = path;
    return ENOTDIR;
}

FILE* anonymous_file() {
    const char* folder = std::getenv("TMPDIR");
    std::string dir = folder && *folder == '/' ? folder : "/tmp";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = dir + "/.zvspool-XXXXXX";
        fd = mkstemp(name.data());
        if (fd >= 0)
            unlink(name.c_str());
    }
    FILE* file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (fd >= 0 && !file)
        close(fd);
    return file;
}

} // namespace zvp
