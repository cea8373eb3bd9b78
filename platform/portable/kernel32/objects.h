// KERNEL32's objects behind handles (open files). Handles are numbers never given out
// twice, so a stale handle reaches nothing.
#pragma once

#include "platform/portable/handles.h"
#include "platform/portable/include/windows.h"

#include <memory>
#include <string>
#include <vector>

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

// A directory search's matches, in order.
struct Search {
    std::vector<WIN32_FIND_DATAA> matches;
    size_t next = 0;
};

// KERNEL32's state: its objects (open files) and directory searches.
struct Kernel32 {
    HandleTable<KernelObject> objects{HandleKind::kernel_object};
    HandleTable<Search> searches{HandleKind::search};
};
Kernel32& kernel32();

HANDLE add_kernel_object(std::unique_ptr<KernelObject> object);
KernelObject* find_kernel_object(HANDLE handle);

// The descriptor behind a file handle: a FileObject's, or a C runtime descriptor's
// (_get_osfhandle); -1 for anything else.
int file_descriptor(HANDLE handle);

} // namespace zvp
