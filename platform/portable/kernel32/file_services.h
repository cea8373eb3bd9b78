// What the file services share: Windows paths as POSIX ones, times and errors as Windows has them.
#pragma once

#include "platform/portable/include/windows.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace zvp {

DWORD error_from_errno(int e);
// Backslashes separate folders in Windows paths.
std::string native_path(const char* path);
// 100-nanosecond intervals since 1601-01-01.
FILETIME filetime(const struct timespec& t);
// The folder part of a POSIX path ("." for none), and the name part.
std::string directory_of(const std::string& native);
std::string name_of(const std::string& native);

// Makes the folder `path` (a POSIX path) and those above it that are missing, each with `mode`
// (less the umask), and each made one durable in the folder above it: 0, or the errno of the
// first that cannot be made (or made durable), ENOTDIR when `path` is there but no folder.
// `failed` (may be null) receives the folder that could not be made.
int make_folders(const std::string& path, unsigned mode, std::string* failed = nullptr);

// A file of no name, open for writing and reading, under TMPDIR (else /tmp), which goes with the
// process however it ends; null with errno set when none can be had.
FILE* anonymous_file();

// Flushes the folder `path` (a POSIX path) to the disk, so that the names made, removed or moved
// in it are there after a power cut: 0, or the errno.
int sync_folder(const std::string& path);

// Whether some process writes to the open file `fd` (at POSIX path `native`).
bool open_for_writing(int fd, const struct stat& st, const std::string& native);
// Watches `directory` for writers from now on.
void watch_for_writers(const std::string& directory);

} // namespace zvp
