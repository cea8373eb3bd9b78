#include "spool/handover_journal.h"

#include "spool/event_log.h"
#include "spool/job_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

enum {
    // A journal larger than this is not a journal (the live entries of a few thousand jobs are a
    // few hundred kilobytes): it is read no further, and counts as damaged.
    JOURNAL_READ_LIMIT = 64 * 1024 * 1024,
    // Entries are appended; the file is written anew once the stale ones outnumber the live ones
    // by this much.
    COMPACT_SLACK = 256,
    // An entry's words; entries written before the left margin was kept have one fewer.
    RECORD_FIELDS = 25,
};

static const char JOURNAL_MAGIC[] = "zvspool-journal";
static const int JOURNAL_VERSION = 1;

// ---- The text of entries ------------------------------------------------------------------------

static unsigned long crc32_of(const char* text, size_t length) {
    static unsigned long table[256];
    if (table[1] == 0)
        for (unsigned long n = 0; n < 256; ++n) {
            unsigned long c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    unsigned long crc = 0xFFFFFFFFUL;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ (unsigned char)text[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFUL;
}

// Names, paths and words may hold any byte; in an entry they are words without spaces.
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

static std::string with_checksum(const std::string& text) {
    char sum[16];
    std::snprintf(sum, sizeof sum, " *%08lx\n", crc32_of(text.data(), text.size()));
    return text + sum;
}

static std::string header_line(const Journal* j) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %d ", JOURNAL_MAGIC, JOURNAL_VERSION);
    return with_checksum(text + escaped(j->folder_id) + " " + escaped(j->folder));
}

static std::string record_line(const Journal* j, const JobRecord& r) {
    const FileIdentity& f = r.identity;
    char numbers[512];
    std::snprintf(numbers, sizeof numbers, "r %lu %lu %d", j->next_sequence, r.id, r.state);
    std::string text = numbers;
    text += " " + escaped(r.name);
    std::snprintf(numbers, sizeof numbers, " %lu %lu %lu %lu %lu %lu %lu %lu %lu",
                  (unsigned long)f.volume, (unsigned long)f.index_high, (unsigned long)f.index_low,
                  (unsigned long)f.size_high, (unsigned long)f.size_low,
                  (unsigned long)f.written.dwHighDateTime, (unsigned long)f.written.dwLowDateTime,
                  (unsigned long)f.changed.dwHighDateTime, (unsigned long)f.changed.dwLowDateTime);
    text += numbers;
    text += " " + escaped(r.printer);
    std::snprintf(numbers, sizeof numbers, " %lu", (unsigned long)r.job_id);
    text += numbers;
    text += " " + escaped(r.reference);
    std::snprintf(numbers, sizeof numbers, " %d %d %lld %d %lld %d", r.attempts, r.resubmissions,
                  r.bytes, r.pages, r.since, r.flags);
    text += numbers;
    text += " " + escaped(r.reason);
    std::snprintf(numbers, sizeof numbers, " %ld", (long)r.margin);
    text += numbers;
    return with_checksum(text);
}

static std::string forget_line(const Journal* j, unsigned long id) {
    char text[64];
    std::snprintf(text, sizeof text, "g %lu %lu", j->next_sequence, id);
    return with_checksum(text);
}

static std::string handed_line(const Journal* j, int handed) {
    char text[64];
    std::snprintf(text, sizeof text, "h %lu %d", j->next_sequence, handed);
    return with_checksum(text);
}

static std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

static int number_of(const std::string& word, unsigned long long* value) {
    if (word.empty() || word.size() > 20)
        return 1;
    char* end = NULL;
    *value = std::strtoull(word.c_str(), &end, 10);
    return *end != '\0' || word[0] == '-';
}

// Reads an entry's words back. 0 when they make an entry.
static int parse_record(const std::vector<std::string>& w, JobRecord* r) {
    unsigned long long n[19];
    if ((w.size() != RECORD_FIELDS && w.size() != RECORD_FIELDS - 1) || w[0] != "r")
        return 1;
    const int numeric[] = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 17, 18, 19, 20, 21, 22};
    for (int i = 0; i < 19; ++i)
        if (number_of(w[numeric[i]], &n[i]) != 0)
            return 1;
    r->id = (unsigned long)n[1];
    r->state = (int)n[2];
    r->name = unescaped(w[4]);
    r->identity.volume = (DWORD)n[3];
    r->identity.index_high = (DWORD)n[4];
    r->identity.index_low = (DWORD)n[5];
    r->identity.size_high = (DWORD)n[6];
    r->identity.size_low = (DWORD)n[7];
    r->identity.written.dwHighDateTime = (DWORD)n[8];
    r->identity.written.dwLowDateTime = (DWORD)n[9];
    r->identity.changed.dwHighDateTime = (DWORD)n[10];
    r->identity.changed.dwLowDateTime = (DWORD)n[11];
    r->printer = unescaped(w[14]);
    r->job_id = (DWORD)n[12];
    r->reference = unescaped(w[16]);
    r->attempts = (int)n[13];
    r->resubmissions = (int)n[14];
    r->bytes = (long long)n[15];
    r->pages = (int)n[16];
    r->since = (long long)n[17];
    r->flags = (int)n[18];
    r->reason = unescaped(w[23]);
    r->margin = 0;
    if (w.size() == RECORD_FIELDS) {
        char* end = NULL;
        long margin = std::strtol(w[24].c_str(), &end, 10);
        if (*end != '\0' || w[24].empty() || margin < 0 || margin > 100000000)
            return 1;
        r->margin = (int32_t)margin;
    }
    return r->id == 0 || r->state < JOB_PRINTING || r->state > JOB_HELD;
}

// ---- Reading ------------------------------------------------------------------------------------

static int read_all(HANDLE file, std::string* text) {
    char buffer[65536];
    DWORD got = 0;
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
        text->append(buffer, got);
        if (text->size() > JOURNAL_READ_LIMIT)
            return 1;
    }
    return 0;
}

// What a damaged entry still tells, in its place among the others: its job, to be asked of the
// printer, or held for a person; an entry it cannot be read for marks its file's entries as not
// to be taken without the printer's word.
static void salvage(Journal* j, const std::vector<std::string>& w, long long now) {
    JobRecord r;
    if (parse_record(w, &r) == 0) {
        if (r.state != JOB_HANDED && r.state != JOB_SENT)
            r.state = JOB_HELD;
    } else {
        if (w.size() < 5 || w[0] != "r")
            return;
        r = JobRecord();
        r.name = unescaped(w[4]);
        int known = 0;
        for (auto& entry : j->records)
            if (entry.second.name == r.name) {
                entry.second.flags |= JOB_FROM_DAMAGE;
                known = 1;
            }
        if (known)
            return;
        r.id = j->next_record_id++;
        r.state = JOB_HELD;
        r.job_id = 0;
        r.attempts = r.resubmissions = r.pages = 0;
        r.bytes = 0;
        std::memset(&r.identity, 0, sizeof r.identity);
    }
    if (r.name.empty() || r.name.find_first_of("/\\") != std::string::npos)
        return;
    r.flags |= JOB_FROM_DAMAGE;
    r.reason = "its entry in the journal was damaged, so whether it was printed cannot be told";
    r.since = now;
    if (r.id >= j->next_record_id)
        j->next_record_id = r.id + 1;
    j->records[r.id] = r;
}

// Reads the journal's entries; a line whose checksum fails marks the journal damaged, but for a
// last line cut short, which is an entry whose writing was cut off (and whose step therefore
// never happened).
static void read_entries(Journal* j, const std::string& text, std::string* cut_short) {
    long long now = (long long)std::time(NULL);
    size_t at = 0;
    int line_number = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        int whole = end != std::string::npos;
        std::string line = text.substr(at, whole ? end - at : std::string::npos);
        at = whole ? end + 1 : text.size();
        ++line_number;
        size_t star = line.rfind(" *");
        unsigned long long sum = 0;
        int sound = star != std::string::npos && line.size() - star == 10 &&
                    std::sscanf(line.c_str() + star + 2, "%llx", &sum) == 1 &&
                    crc32_of(line.data(), star) == (unsigned long)sum;
        std::vector<std::string> w =
            words_of(star != std::string::npos ? line.substr(0, star) : line);
        if (!sound) {
            if (!whole) {
                *cut_short = line.substr(0, 80);
            } else {
                j->damaged = 1;
                salvage(j, w, now);
            }
            continue;
        }
        if (line_number == 1) {
            if (w.size() < 2 || w[0] != JOURNAL_MAGIC)
                j->damaged = 1;
            continue;
        }
        unsigned long long sequence = 0, id = 0;
        if (w.size() >= 3 && number_of(w[1], &sequence) == 0 && number_of(w[2], &id) == 0) {
            if (sequence >= j->next_sequence)
                j->next_sequence = (unsigned long)sequence + 1;
            if (id >= j->next_record_id)
                j->next_record_id = (unsigned long)id + 1;
        }
        JobRecord r;
        if (w.size() == 3 && w[0] == "h") {
            j->handed_mark = id != 0;
            ++j->stale_lines;
        } else if (w.size() == 3 && w[0] == "g") {
            j->records.erase((unsigned long)id);
            j->stale_lines += 2;
        } else if (parse_record(w, &r) == 0) {
            j->stale_lines += j->records.count(r.id);
            j->records[r.id] = r;
        } else {
            j->damaged = 1;
            salvage(j, w, now);
        }
    }
}

// ---- Writing ------------------------------------------------------------------------------------

// Appends `line` and flushes it to the disk. A line that cannot be written whole is taken back,
// so the journal never holds half an entry before a whole one.
static int append_line(Journal* j, const std::string& line) {
    if (j->file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 1;
    }
    LONG high = 0;
    DWORD low = SetFilePointer(j->file, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return 1;
    DWORD written = 0, error = ERROR_SUCCESS;
    if (!WriteFile(j->file, line.data(), (DWORD)line.size(), &written, NULL))
        error = GetLastError();
    else if (written != line.size())
        error = ERROR_DISK_FULL; // a write cut short with no error is a disk that filled up
    else if (!FlushFileBuffers(j->file)) {
        error = GetLastError();
        j->suspect = 1;
    }
    if (error == ERROR_SUCCESS) {
        ++j->next_sequence;
        return 0;
    }
    SetFilePointer(j->file, (LONG)low, &high, FILE_BEGIN);
    SetEndOfFile(j->file);
    SetLastError(error);
    return 1;
}

static HANDLE open_for_update(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Writes the journal anew, holding only the live entries: beside it, flushed, then moved over it
// and the move flushed. A journal whose move could not be made durable is suspect: an old one may
// come back after a power cut, without what is appended to the new one.
static int compact_journal(Journal* j) {
    std::string temporary = j->path + ".new";
    HANDLE out = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE)
        return 1;
    std::string text = header_line(j);
    if (j->handed_mark)
        text += handed_line(j, 1);
    for (const auto& entry : j->records)
        text += record_line(j, entry.second);
    DWORD written = 0;
    int ok = WriteFile(out, text.data(), (DWORD)text.size(), &written, NULL) &&
             written == text.size() && FlushFileBuffers(out);
    DWORD error = GetLastError();
    CloseHandle(out);
    // Windows replaces no file that is open.
    if (j->file != INVALID_HANDLE_VALUE)
        CloseHandle(j->file);
    j->file = INVALID_HANDLE_VALUE;
    if (!ok || !MoveFileExA(temporary.c_str(), j->path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (ok) {
            error = GetLastError();
            j->suspect = 1;
        }
        DeleteFileA(temporary.c_str());
        j->file = open_for_update(j->path);
        SetLastError(error);
        return 1;
    }
    j->file = open_for_update(j->path);
    j->stale_lines = 0;
    if (j->file == INVALID_HANDLE_VALUE)
        return 1;
    j->suspect = 0;
    return 0;
}

// Whether the journal may take a step: a suspect one is written anew first.
static int trusted(Journal* j) {
    return j->suspect ? compact_journal(j) : 0;
}

// ---- Damage -------------------------------------------------------------------------------------

// A journal that cannot be trusted whole is moved aside for a person to see, and what it still
// tells is taken as that of a damaged one: every entry is asked of the printer, a job whose
// printing had begun is held (the entry that would have said it was handed over may be lost),
// and the poller holds the jobs it cannot account for.
static void set_aside(Journal* j, const std::string& why) {
    for (auto& entry : j->records) {
        JobRecord& r = entry.second;
        r.flags |= JOB_FROM_DAMAGE;
        if (r.state == JOB_PRINTING) {
            r.state = JOB_HELD;
            r.reason = "the journal may have lost its entries, so whether it was printed cannot "
                       "be told";
        }
    }
    j->damaged = 1;
    if (j->file != INVALID_HANDLE_VALUE)
        CloseHandle(j->file);
    j->file = INVALID_HANDLE_VALUE;
    char stamp[32] = "";
    std::time_t now = std::time(NULL);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", local);
    std::string aside = j->path + ".damaged-" + stamp;
    MoveFileExA(j->path.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING);
    log_event(EVENT_WARNING,
              "the journal %s is damaged; it is moved aside to %s, and what it still tells is "
              "used: its jobs are asked of the printer, and kept where it cannot tell (%s)",
              j->path.c_str(), aside.c_str(), why.c_str());
}

// ---- Opening ------------------------------------------------------------------------------------

static std::string state_folder_error(void) {
    char why[512];
    describe_error(GetLastError(), why, sizeof why);
    return std::string("no folder for zvspool's state: ") + why;
}

// zvspool's state folder, where the journals are kept (made when `create`): the user's, and
// refused when it is another user's or open to others.
static HRESULT state_folder(char* state, int create) {
    return SHGetFolderPathAndSubDirA(NULL, CSIDL_LOCAL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0),
                                     NULL, SHGFP_TYPE_CURRENT, "zvspool", state);
}

int journal_folder_refused(void) {
    char state[MAX_PATH];
    return state_folder(state, 1) == HRESULT_FROM_WIN32(ERROR_INVALID_OWNER);
}

// The folder path a journal's first line names, or "".
static std::string journal_folder_of(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    // The first line, however long the folder's path makes it.
    std::string line;
    char buffer[4096];
    DWORD got = 0;
    while (line.find('\n') == std::string::npos && line.size() < JOURNAL_READ_LIMIT &&
           ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        line.append(buffer, got);
    CloseHandle(file);
    line.resize(std::min(line.find('\n'), line.size()));
    std::vector<std::string> w = words_of(line);
    return w.size() >= 5 && w[0] == JOURNAL_MAGIC ? unescaped(w[3]) : "";
}

// A folder whose claim file was made anew gets a new id; its journal, named by the old id, is
// found by the folder's path and taken over.
static void take_over_journal_of(Journal* j, const std::string& state, const std::string& folder) {
    WIN32_FIND_DATAA found;
    std::string pattern = state + PATH_SEPARATOR + "*.journal";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string path = state + PATH_SEPARATOR + found.cFileName;
        if (path != j->path && journal_folder_of(path) == folder) {
            MoveFileExA(path.c_str(), j->path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
            break;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int open_journal(Journal* j, const char* folder_id, const char* folder, std::string* why) {
    if (j->file != INVALID_HANDLE_VALUE)
        return 0;
    char state[MAX_PATH];
    if (state_folder(state, 1) != S_OK) {
        *why = state_folder_error();
        return 1;
    }
    j->folder_id = folder_id;
    j->folder = folder;
    j->path = std::string(state) + PATH_SEPARATOR + folder_id + ".journal";
    FileIdentity ours;
    if (path_identity(j->path.c_str(), &ours) != 0)
        take_over_journal_of(j, state, folder);
    HANDLE file = open_for_update(j->path);
    std::string text;
    if (file == INVALID_HANDLE_VALUE || read_all(file, &text) != 0) {
        char reason[512];
        describe_failure("cannot read the journal", reason, sizeof reason);
        *why = std::string(reason) + " (" + j->path + ")";
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (file == INVALID_HANDLE_VALUE || text.size() <= JOURNAL_READ_LIMIT)
            return 1;
        j->damaged = 1; // too large to be a journal
        text.clear();
        file = INVALID_HANDLE_VALUE;
    }
    j->records.clear();
    j->next_record_id = j->next_sequence = 1;
    j->stale_lines = 0;
    j->handed_mark = 0;
    std::string cut_short;
    read_entries(j, text, &cut_short);
    j->file = file;
    // An entry is written in one piece: one cut short means the machine stopped while it was
    // written, or the file was cut, which may have taken entries after it.
    if (j->damaged)
        set_aside(j, "entries in it fail their checksums");
    else if (!cut_short.empty())
        set_aside(j, "its last entry is cut short, and entries after it may be lost");
    if (text.empty() || j->damaged || j->stale_lines > COMPACT_SLACK) {
        if (compact_journal(j) != 0) {
            char reason[512];
            describe_failure("cannot write the journal", reason, sizeof reason);
            *why = std::string(reason) + " (" + j->path + ")";
            if (j->file != INVALID_HANDLE_VALUE)
                CloseHandle(j->file);
            j->file = INVALID_HANDLE_VALUE;
            return 1;
        }
    }
    return 0;
}

int read_journal(Journal* j, const char* folder_id, std::string* why) {
    close_journal(j);
    char state[MAX_PATH];
    if (state_folder(state, 0) != S_OK) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
            return 0; // no journal was ever kept here
        *why = state_folder_error();
        return 1;
    }
    j->path = std::string(state) + PATH_SEPARATOR + folder_id + ".journal";
    HANDLE file = CreateFileA(j->path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
            return 0; // no job was ever handed over here
        char reason[512];
        describe_failure("cannot read the journal", reason, sizeof reason);
        *why = std::string(reason) + " (" + j->path + ")";
        return 1;
    }
    std::string text, cut_short;
    int too_large = read_all(file, &text);
    CloseHandle(file);
    if (too_large) {
        *why = "the journal is too large to be one (" + j->path + ")";
        return 1;
    }
    read_entries(j, text, &cut_short);
    if (!cut_short.empty())
        j->damaged = 1;
    return 0;
}

void distrust_journal(Journal* j, const char* why) {
    set_aside(j, why);
    compact_journal(j);
}

int journal_handed_mark(const Journal* j) {
    return j->handed_mark;
}

int store_handed_mark(Journal* j, int handed) {
    if (j->handed_mark == handed)
        return 0;
    if (trusted(j) != 0 || append_line(j, handed_line(j, handed)) != 0)
        return 1;
    j->handed_mark = handed;
    ++j->stale_lines;
    return 0;
}

int journal_is_open(const Journal* j) {
    return j->file != INVALID_HANDLE_VALUE;
}

int journal_was_damaged(const Journal* j) {
    return j->damaged;
}

void clear_journal_damage(Journal* j) {
    j->damaged = 0;
}

std::vector<const JobRecord*> journal_records(const Journal* j) {
    std::vector<const JobRecord*> out;
    for (const auto& entry : j->records)
        out.push_back(&entry.second);
    return out;
}

const JobRecord* find_journal_record(const Journal* j, unsigned long id) {
    auto it = j->records.find(id);
    return it == j->records.end() ? NULL : &it->second;
}

int store_job_record(Journal* j, JobRecord* record) {
    JobRecord copy = *record;
    if (copy.id == 0)
        copy.id = j->next_record_id;
    if (trusted(j) != 0 || append_line(j, record_line(j, copy)) != 0)
        return 1;
    if (record->id == 0) {
        record->id = copy.id;
        ++j->next_record_id;
    } else {
        ++j->stale_lines;
    }
    j->records[copy.id] = copy;
    if (j->stale_lines > j->records.size() + COMPACT_SLACK)
        compact_journal(j); // a journal not compacted is still whole
    return 0;
}

int forget_job_record(Journal* j, unsigned long id) {
    if (j->records.count(id) == 0)
        return 0;
    if (trusted(j) != 0 || append_line(j, forget_line(j, id)) != 0)
        return 1;
    j->records.erase(id);
    j->stale_lines += 2;
    if (j->stale_lines > j->records.size() + COMPACT_SLACK)
        compact_journal(j);
    return 0;
}

const char* journal_path(const Journal* j) {
    return j->path.c_str();
}

void close_journal(Journal* j) {
    if (j->file != INVALID_HANDLE_VALUE)
        CloseHandle(j->file);
    *j = Journal();
}
