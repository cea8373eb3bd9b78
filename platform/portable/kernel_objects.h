// KERNEL32's objects behind handles (mutexes, open files). Handles are numbers never given out
// twice, so a stale handle reaches nothing.
#pragma once

#include "win32_api.h"

#include <memory>
#include <string>

namespace zvp {

struct KernelObject {
    virtual ~KernelObject() = default;
};

// An open file: its descriptor, the path it was opened by, and what it was opened for.
struct FileObject : KernelObject {
    int fd = -1;
    std::string path;
    DWORD access = 0;
    ~FileObject() override;
};

HANDLE add_kernel_object(std::unique_ptr<KernelObject> object);
KernelObject* find_kernel_object(HANDLE handle);

// The descriptor behind a file handle: a FileObject's, or a C runtime descriptor's
// (_get_osfhandle); -1 for anything else.
int file_descriptor(HANDLE handle);

} // namespace zvp
