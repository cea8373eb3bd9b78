// KERNEL32's objects behind handles, and the handles of C runtime descriptors.
#include "platform/portable/kernel32/objects.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Handles of C runtime descriptors: the descriptor and a tag no table uses.
constexpr uintptr_t kRuntimeTag = 0xF;

} // namespace

namespace zvp {

FileObject::~FileObject() {
    if (fd >= 0)
        close(fd);
}

Kernel32& kernel32() {
    static Kernel32 state;
    return state;
}

HANDLE add_kernel_object(std::unique_ptr<KernelObject> object) {
    return kernel32().objects.add(std::shared_ptr<KernelObject>(std::move(object)));
}

KernelObject* find_kernel_object(HANDLE handle) {
    return kernel32().objects.get(handle);
}

int file_descriptor(HANDLE handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value & 0xF) == kRuntimeTag)
        return static_cast<int>(value >> 4);
    auto* file = dynamic_cast<FileObject*>(find_kernel_object(handle));
    return file ? file->fd : -1;
}

} // namespace zvp
intptr_t _get_osfhandle(int fd) {
    if (fd < 0 || fd >= 0x100000 || fcntl(fd, F_GETFD) < 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<intptr_t>((static_cast<uintptr_t>(fd) << 4) | kRuntimeTag);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (!zvp::kernel32().objects.remove(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
