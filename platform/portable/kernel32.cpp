// KERNEL32 beside the files: the last error and its words, the current folder, named mutexes.
#include "errors.h"
#include "kernel_objects.h"
#include "win32_api.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_DISK_FULL: return "There is not enough space on the disk.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_INVALID_PRINTER_NAME: return "The printer name is invalid.";
    case ERROR_CANCELLED: return "The operation was canceled by the user.";
    default: return nullptr;
    }
}

// A named mutex held by this process: the open lock file, locked when this handle owns it.
struct Mutex : zvp::KernelObject {
    int fd = -1;
    ~Mutex() override {
        if (fd >= 0)
            close(fd); // releases the lock
    }
};

std::map<HANDLE, std::unique_ptr<zvp::KernelObject>>& objects() {
    static std::map<HANDLE, std::unique_ptr<zvp::KernelObject>> table;
    return table;
}

// Handles of C runtime descriptors: a range of their own, far above the counted handles.
constexpr uintptr_t kRuntimeHandles = 0x40000000;

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

namespace zvp {

FileObject::~FileObject() {
    if (fd >= 0)
        close(fd);
}

HANDLE add_kernel_object(std::unique_ptr<KernelObject> object) {
    static uintptr_t next = 0x1000;
    next += 4;
    HANDLE handle = reinterpret_cast<HANDLE>(next);
    objects().emplace(handle, std::move(object));
    return handle;
}

KernelObject* find_kernel_object(HANDLE handle) {
    auto it = objects().find(handle);
    return it == objects().end() ? nullptr : it->second.get();
}

int file_descriptor(HANDLE handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value >= kRuntimeHandles && value < kRuntimeHandles + 4u * 0x100000)
        return static_cast<int>((value - kRuntimeHandles) / 4);
    auto* file = dynamic_cast<FileObject*>(find_kernel_object(handle));
    return file ? file->fd : -1;
}

} // namespace zvp

intptr_t _get_osfhandle(int fd) {
    if (fd < 0 || fd >= 0x100000 || fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<intptr_t>(kRuntimeHandles + 4u * fd);
}

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

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (objects().erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
