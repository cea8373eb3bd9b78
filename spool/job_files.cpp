#include "spool/job_files.h"

#include "spool/event_log.h"

#include <cstring>

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
#else
const char PATH_SEPARATOR = '/';
#endif

const char SPOOL_DIRECTORY[] = "ZV";
const char SPOOL_PATTERN[] = "ZV\\zv*.zv";

std::string current_folder(void) {
    DWORD size = GetCurrentDirectoryA(0, NULL);
    std::vector<char> buffer(size + 1);
    if (size == 0 || GetCurrentDirectoryA((DWORD)buffer.size(), buffer.data()) == 0)
        return ".";
    return buffer.data();
}

std::string job_path(const std::string& name) {
    return std::string(SPOOL_DIRECTORY) + "\\" + name;
}

std::string shown_name(const std::string& name) {
    char text[MAX_PATH];
    printable_name(name.c_str(), text, sizeof text);
    return text;
}

int file_identity(HANDLE file, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info))
        return 1;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index_high = info.nFileIndexHigh;
    identity->index_low = info.nFileIndexLow;
    identity->size_high = info.nFileSizeHigh;
    identity->size_low = info.nFileSizeLow;
    identity->written = info.ftLastWriteTime;
    // Windows keeps no change time here; the portable layer gives the POSIX ctime in its place.
    identity->changed = info.ftCreationTime;
    return 0;
}

int path_identity(const char* path, FileIdentity* identity) {
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    int result = file_identity(file, identity);
    CloseHandle(file);
    return result;
}

static int same_time(FILETIME a, FILETIME b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The volume is not compared: the files compared are all in ZV, on one volume, whose number a
// remount may change (Linux numbers a file system mounted anew, after a reboot too, as devices
// come: a network share or a FUSE disk gets whatever number is free). A job handed over before a
// power cut is still the same file after it.
int same_file_object(const FileIdentity* a, const FileIdentity* b) {
    return a->index_high == b->index_high && a->index_low == b->index_low;
}

int same_file(const FileIdentity* a, const FileIdentity* b) {
    return same_file_object(a, b) && a->size_high == b->size_high && a->size_low == b->size_low &&
           same_time(a->written, b->written) && same_time(a->changed, b->changed);
}

int identity_known(const FileIdentity* identity) {
    return identity->volume != 0 || identity->index_high != 0 || identity->index_low != 0;
}

const char* not_a_file(const WIN32_FIND_DATAA* found) {
    if (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    if (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link";
    if (found->dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return "a FIFO, socket or device";
    return NULL;
}

std::vector<WIN32_FIND_DATAA> list_job_files(DWORD* error) {
    std::vector<WIN32_FIND_DATAA> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(SPOOL_PATTERN, &found);
    *error = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do
        files.push_back(found);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

DeleteResult delete_job_file(const char* path, const FileIdentity* printed) {
    HANDLE file =
        CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? FILE_DELETED : FILE_NOT_DELETED;
    FileIdentity now;
    DeleteResult result = FILE_REPLACED;
    if (file_identity(file, &now) == 0 && same_file(&now, printed)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        result =
            SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
                ? FILE_DELETED
                : FILE_NOT_DELETED;
    }
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return result;
}

FileState file_in_folder(const std::string& name, const FileIdentity* identity,
                         const std::vector<WIN32_FIND_DATAA>& files) {
    for (const WIN32_FIND_DATAA& f : files) {
        if (name != f.cFileName)
            continue;
        FileIdentity now;
        if (!identity_known(identity))
            return FILE_SAME;
        if (path_identity(job_path(name).c_str(), &now) != 0 || !same_file_object(&now, identity))
            return FILE_GONE;
        return same_file(&now, identity) ? FILE_SAME : FILE_CHANGED;
    }
    return FILE_GONE;
}

// The file's sighting, if it looks now as it did then.
static const QuietWatch::Sighting* same_sighting(const QuietWatch* watch,
                                                 const WIN32_FIND_DATAA* found) {
    auto it = watch->seen.find(found->cFileName);
    if (it == watch->seen.end() || it->second.size_high != found->nFileSizeHigh ||
        it->second.size_low != found->nFileSizeLow ||
        std::memcmp(&it->second.written, &found->ftLastWriteTime, sizeof(FILETIME)) != 0 ||
        std::memcmp(&it->second.changed, &found->ftCreationTime, sizeof(FILETIME)) != 0)
        return NULL;
    return &it->second;
}

int quiet_long_enough(QuietWatch* watch, const WIN32_FIND_DATAA* found, unsigned long quiet_ms,
                      unsigned long long now) {
    const QuietWatch::Sighting* seen = same_sighting(watch, found);
    if (seen == NULL) {
        watch->seen[found->cFileName] =
            QuietWatch::Sighting{found->nFileSizeHigh, found->nFileSizeLow, found->ftLastWriteTime,
                                 found->ftCreationTime, now};
        return quiet_ms == 0;
    }
    return now - seen->since >= quiet_ms;
}

int seen_unchanged(const QuietWatch* watch, const WIN32_FIND_DATAA* found, unsigned long quiet_ms,
                   unsigned long long now) {
    const QuietWatch::Sighting* seen = same_sighting(watch, found);
    return seen != NULL && now - seen->since >= quiet_ms;
}

unsigned long long quiet_at(const QuietWatch* watch, unsigned long quiet_ms) {
    unsigned long long until = 0;
    for (const auto& entry : watch->seen)
        if (entry.second.since + quiet_ms > until)
            until = entry.second.since + quiet_ms;
    return until;
}

void forget_absent_files(QuietWatch* watch, const std::set<std::string>& present) {
    for (auto it = watch->seen.begin(); it != watch->seen.end();)
        it = present.count(it->first) ? std::next(it) : watch->seen.erase(it);
}

long long filetime_seconds(FILETIME t) {
    unsigned long long ticks = ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
    return (long long)(ticks / 10000000ULL) - 11644473600LL;
}
