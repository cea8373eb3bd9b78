#include "spool/job_records.h"

#include "spool/event_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

static std::string records_folder;
static std::string records_path;
static std::map<std::string, JobRecord> records;
static int records_changed = 0;
static int save_failure_said = 0;

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

int same_file(const FileIdentity* a, const FileIdentity* b) {
    return a->volume == b->volume && a->index_high == b->index_high &&
           a->index_low == b->index_low && a->size_high == b->size_high &&
           a->size_low == b->size_low && a->written.dwLowDateTime == b->written.dwLowDateTime &&
           a->written.dwHighDateTime == b->written.dwHighDateTime;
}

// Names and folders may hold any byte; in the file they are words without spaces.
static std::string escaped(const std::string& text) {
    std::string out;
    char code[4];
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F || c == '%') {
            std::snprintf(code, sizeof code, "%%%02X", c);
            out += code;
        } else {
            out += (char)c;
        }
    }
    return out.empty() ? "%" : out;
}

static std::string unescaped(const std::string& word) {
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out += word[i];
        } else if (i + 2 < word.size()) {
            out += (char)std::strtol(word.substr(i + 1, 2).c_str(), NULL, 16);
            i += 2;
        }
    }
    return out;
}

// The folder for the program's state: $XDG_STATE_HOME/zvspool (or ~/.local/state/zvspool) on
// Linux, %LOCALAPPDATA%\zvspool on Windows.
static std::string state_folder(void) {
#ifdef _WIN32
    const char* base = std::getenv("LOCALAPPDATA");
    if (base != NULL && *base)
        return std::string(base) + "\\zvspool";
    return ".";
#else
    const char* base = std::getenv("XDG_STATE_HOME");
    if (base != NULL && *base == '/')
        return std::string(base) + "/zvspool";
    const char* home = std::getenv("HOME");
    if (home != NULL && *home)
        return std::string(home) + "/.local/state/zvspool";
    return ".";
#endif
}

static void make_folders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/' || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), NULL);
}

// One file per spool folder, named by a hash of the folder's name.
static std::string file_for(const std::string& folder) {
    unsigned long long hash = 1469598103934665603ULL;
    for (unsigned char c : folder)
        hash = (hash ^ c) * 1099511628211ULL;
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.jobs", hash);
#ifdef _WIN32
    return state_folder() + "\\" + name;
#else
    return state_folder() + "/" + name;
#endif
}

void load_job_records(const std::string& folder) {
    if (folder == records_folder)
        return;
    records_folder = folder;
    records_path = file_for(folder);
    records.clear();
    records_changed = 0;
    FILE* in = std::fopen(records_path.c_str(), "rb");
    if (in == NULL)
        return;
    char line[4096];
    while (std::fgets(line, sizeof line, in) != NULL) {
        char name[2048], printer[1024];
        JobRecord r;
        unsigned long v[8]; // the identity's numbers and the job id, as written
        if (std::sscanf(line, "%d %lu %lu %lu %lu %lu %lu %lu %lu %d %ld %d %lld %1023s %2047s",
                        &r.state, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                        &r.resubmissions, &r.bytes, &r.pages, &r.submitted, printer, name) != 15)
            continue; // the header, or a damaged line
        r.identity.volume = (DWORD)v[0];
        r.identity.index_high = (DWORD)v[1];
        r.identity.index_low = (DWORD)v[2];
        r.identity.size_high = (DWORD)v[3];
        r.identity.size_low = (DWORD)v[4];
        r.identity.written.dwHighDateTime = (DWORD)v[5];
        r.identity.written.dwLowDateTime = (DWORD)v[6];
        r.job_id = (DWORD)v[7];
        r.printer = unescaped(printer);
        r.name = unescaped(name);
        records[r.name] = r;
    }
    std::fclose(in);
}

JobRecord* find_job_record(const std::string& name) {
    auto it = records.find(name);
    return it == records.end() ? NULL : &it->second;
}

void set_job_record(const JobRecord& record) {
    records[record.name] = record;
    records_changed = 1;
}

void remove_job_record(const std::string& name) {
    if (records.erase(name) != 0)
        records_changed = 1;
}

void keep_job_records_of(const std::set<std::string>& names) {
    for (auto it = records.begin(); it != records.end();) {
        if (names.count(it->first) == 0) {
            it = records.erase(it);
            records_changed = 1;
        } else {
            ++it;
        }
    }
}

// Written beside, flushed to the disk and moved into place, so that a crash leaves the old
// records or the new ones, never half of them.
static int write_records(void) {
    make_folders(state_folder());
    std::string temporary = records_path + ".new";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == NULL) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 1;
    }
    std::fprintf(out, "zvspool job records 1 %s\n", escaped(records_folder).c_str());
    for (const auto& entry : records) {
        const JobRecord& r = entry.second;
        std::fprintf(out, "%d %lu %lu %lu %lu %lu %lu %lu %lu %d %ld %d %lld %s %s\n", r.state,
                     (unsigned long)r.identity.volume, (unsigned long)r.identity.index_high,
                     (unsigned long)r.identity.index_low, (unsigned long)r.identity.size_high,
                     (unsigned long)r.identity.size_low,
                     (unsigned long)r.identity.written.dwHighDateTime,
                     (unsigned long)r.identity.written.dwLowDateTime, (unsigned long)r.job_id,
                     r.resubmissions, r.bytes, r.pages, r.submitted, escaped(r.printer).c_str(),
                     escaped(r.name).c_str());
    }
    int written = std::fflush(out) == 0 && FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(out)));
    written = std::fclose(out) == 0 && written;
    if (!written) {
        SetLastError(ERROR_DISK_FULL);
        std::remove(temporary.c_str());
        return 1;
    }
    if (!MoveFileExA(temporary.c_str(), records_path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        std::remove(temporary.c_str());
        SetLastError(error);
        return 1;
    }
    return 0;
}

int save_job_records(void) {
    if (!records_changed || records_path.empty())
        return 0;
    if (write_records() != 0) {
        // The records stay in memory: this process still prints nothing twice.
        if (!save_failure_said) {
            char why[768];
            describe_failure("cannot keep the job records", why, sizeof why);
            log_event(EVENT_WARNING, "%s in %s", why, records_path.c_str());
            save_failure_said = 1;
        }
        return 1;
    }
    records_changed = 0;
    save_failure_said = 0;
    return 0;
}
