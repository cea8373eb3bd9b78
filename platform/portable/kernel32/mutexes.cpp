// Named mutexes: a lock on a file in the user's runtime folder, which dies with the process.
#include "platform/portable/kernel32/objects.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A named mutex held by this process: the open lock file, locked when this handle owns it.
struct Mutex : zvp::KernelObject {
    int fd = -1;
    ~Mutex() override {
        if (fd >= 0)
            close(fd); // releases the lock
    }
};
// The folder of the lock files: the user's runtime folder, or a private one under /tmp.
bool lock_directory(std::string& path) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        path = std::string(runtime) + "/zvspool";
    else
        path = "/tmp/zvspool-" + std::to_string(getuid());
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    // Someone else's folder (or a link planted in /tmp) must not decide who may run.
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & 077) == 0;
}

std::string lock_file_name(const char* name) {
    // FNV-1a: names are free text of any length, file names are not.
    uint64_t hash = 1469598103934665603ULL;
    for (const char* p = name; *p; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    char text[32];
    std::snprintf(text, sizeof text, "%016llx.lock", static_cast<unsigned long long>(hash));
    return text;
}
} // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    auto mutex = std::make_unique<Mutex>();
    if (name && *name) {
        std::string directory;
        if (!lock_directory(directory)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        std::string path = directory + "/" + lock_file_name(name);
        mutex->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (mutex->fd < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        // A lock belongs to one open file: a second creation, in this process or another, finds
        // it taken, and it goes when the process goes, however it ends.
        if (flock(mutex->fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            HANDLE handle = zvp::add_kernel_object(std::move(mutex));
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
    }
    HANDLE handle = zvp::add_kernel_object(std::move(mutex));
    SetLastError(ERROR_SUCCESS);
    return handle;
}
