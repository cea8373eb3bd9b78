#include "spool/folder_claim.h"

#include "spool/durable_folder.h"
#include "spool/event_log.h"
#include "spool/job_files.h"

#include <cstdio>
#include <cstring>
#include <ctime>

// The lock covers one byte far past what the file holds: a Windows lock keeps other processes
// from reading the bytes it covers, and the holder's name must stay readable.
static const DWORD CLAIM_LOCK_OFFSET = 0x7FFFFFFF;
static const char ID_PREFIX[] = "zvspool folder ";
static const char HOLDER_PREFIX[] = "holder ";

static const char HANDED_PREFIX[] = "handed ";
static const char PRINTER_PREFIX[] = "printer ";
// A look at the claim (zvspool --status) holds the lock for an instant: a claim that finds it
// held looks again a few times before it takes the folder as held.
static const int CLAIM_TRIES = 5;
static const DWORD CLAIM_RETRY_MS = 20;

static std::string claim_text(HANDLE file) {
    char buffer[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    if (!ReadFile(file, buffer, sizeof buffer - 1, &got, NULL))
        got = 0;
    return std::string(buffer, got);
}

// The value of the line of `text` that starts with `prefix`, or "".
static std::string line_value(const std::string& text, const char* prefix) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, std::strlen(prefix), prefix) == 0)
            return line.substr(std::strlen(prefix));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return "";
}

static int is_folder_id(const std::string& id) {
    return id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// An id no other folder has: the time, the clock, the process and the folder's name mixed.
static std::string new_folder_id(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long seed = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    seed ^= GetTickCount64() * 0x9E3779B97F4A7C15ULL;
    seed ^= (unsigned long long)GetCurrentProcessId() << 17;
    for (char c : current_folder())
        seed = (seed ^ (unsigned char)c) * 1099511628211ULL;
    seed ^= seed >> 31;
    seed *= 0xBF58476D1CE4E5B9ULL;
    seed ^= seed >> 29;
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", seed);
    return text;
}

// Who holds the folder: "USER on HOST", without the process and the time.
static std::string holder_of(const std::string& line) {
    return line.substr(0, line.find(", pid "));
}

static std::string holder_line(void) {
    char user[256] = "?", host[256] = "?", since[32] = "";
    DWORD size = sizeof user;
    if (!GetUserNameA(user, &size))
        std::strcpy(user, "?");
    size = sizeof host;
    if (!GetComputerNameA(host, &size))
        std::strcpy(host, "?");
    std::time_t now = std::time(NULL);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", local);
    char line[700];
    std::snprintf(line, sizeof line, "%s%s on %s, pid %lu, since %s", HOLDER_PREFIX, user, host,
                  (unsigned long)GetCurrentProcessId(), since);
    return line;
}

// What the claim file says after the folder's id: who holds it, the printer, and whether jobs
// are handed over.
static std::string claim_details(const FolderClaim* c, int any) {
    std::string text = c->holder_text + "\n";
    if (!c->printer_text.empty())
        text += PRINTER_PREFIX + c->printer_text + "\n";
    return text + HANDED_PREFIX + (any ? "yes" : "no") + "\n";
}

#if defined(_WIN32) && !defined(ZV_PORTABLE_WIN32)
#define REMOVE_AS_ADMINISTRATOR "in a command prompt run as administrator: del"
#else
#define REMOVE_AS_ADMINISTRATOR "sudo rm"
#endif

static std::string failure(const char* what) {
    char why[512];
    describe_failure(what, why, sizeof why);
    return why;
}

int claim_spool_folder(FolderClaim* c, std::string* holder) {
    if (c->file != INVALID_HANDLE_VALUE)
        return CLAIM_TAKEN;
    HANDLE file = CreateFileA(CLAIM_FILE_NAME, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *holder = failure("cannot open " CLAIM_FILE_NAME);
        // Made by another user (most often by a zvspool started once with sudo, or as
        // administrator): who made it, and what the folder's user can do.
        SpoolClaim last;
        if (error == ERROR_ACCESS_DENIED && read_spool_claim(&last) == 0) {
            std::string path = current_folder() + PATH_SEPARATOR + CLAIM_FILE_NAME;
            *holder +=
                "; it was made by another user" +
                (last.holder.empty() ? std::string() : " (last held by " + last.holder + ")") +
                ", and this one may not write it: its owner, or an administrator, "
                "removes it (it is made anew), e.g. " REMOVE_AS_ADMINISTRATOR " \"" +
                path + "\"";
        }
        return CLAIM_FAILED;
    }
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = CLAIM_LOCK_OFFSET;
    BOOL locked = FALSE;
    for (int i = 0; i < CLAIM_TRIES && !locked; ++i) {
        if (i > 0)
            Sleep(CLAIM_RETRY_MS);
        locked =
            LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
        if (!locked && GetLastError() != ERROR_LOCK_VIOLATION)
            break;
    }
    if (!locked) {
        int held = GetLastError() == ERROR_LOCK_VIOLATION;
        *holder = failure("cannot lock " CLAIM_FILE_NAME);
        if (held) {
            std::string who = line_value(claim_text(file), HOLDER_PREFIX);
            *holder = who.empty() ? "another zvspool (it has not said who it is yet)"
                                  : "another zvspool: " + who;
        }
        CloseHandle(file);
        c->was_held |= held;
        return held ? CLAIM_HELD : CLAIM_FAILED;
    }
    std::string before = claim_text(file);
    std::string previous = line_value(before, HOLDER_PREFIX);
    c->said_handed = line_value(before, HANDED_PREFIX) == "yes";
    c->inherited =
        line_value(before, HANDED_PREFIX) == "yes" &&
        holder_of(previous) != holder_of(holder_line().substr(std::strlen(HOLDER_PREFIX)));
    std::string id = line_value(before, ID_PREFIX);
    std::string id_line = ID_PREFIX + id + "\n";
    // A known id is left as it stands: only who holds the folder is written after it.
    int known = is_folder_id(id) && before.compare(0, id_line.size(), id_line) == 0;
    if (!known) {
        id = is_folder_id(id) ? id : new_folder_id();
        id_line = ID_PREFIX + id + "\n";
    }
    c->holder_text = holder_line();
    // Until this spooler says otherwise, what the one before left stands.
    c->handed = c->inherited || line_value(before, HANDED_PREFIX) == "yes";
    std::string text = (known ? "" : id_line) + claim_details(c, c->handed);
    LONG start = known ? (LONG)id_line.size() : 0;
    DWORD written = 0;
    int saved = SetFilePointer(file, start, NULL, FILE_BEGIN) == (DWORD)start &&
                WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) &&
                SetEndOfFile(file) && FlushFileBuffers(file);
    // Without its id on the disk, the folder would not find its journal again.
    if (!saved && !known) {
        *holder = failure("cannot write " CLAIM_FILE_NAME);
        CloseHandle(file);
        return CLAIM_FAILED;
    }
    c->folder_id = id;
    c->file = file;
    c->was_held = 0;
    return CLAIM_TAKEN;
}

std::string claim_holder_name(const std::string& holder) {
    return holder_of(holder);
}

std::string this_holder_name(void) {
    return holder_of(holder_line().substr(std::strlen(HOLDER_PREFIX)));
}

int spool_folder_said_handed(const FolderClaim* c) {
    return c->said_handed;
}

int spool_folder_inherits_jobs(const FolderClaim* c) {
    return c->inherited;
}

void clear_inherited_jobs(FolderClaim* c) {
    c->inherited = 0;
}

// Writes the claim file anew, its id first as it stands.
static int rewrite_claim(FolderClaim* c, int any) {
    std::string text = ID_PREFIX + c->folder_id + "\n" + claim_details(c, any);
    DWORD written = 0;
    if (SetFilePointer(c->file, 0, NULL, FILE_BEGIN) != 0 ||
        !WriteFile(c->file, text.data(), (DWORD)text.size(), &written, NULL) ||
        !SetEndOfFile(c->file) || !FlushFileBuffers(c->file))
        return 1;
    c->handed = any;
    return 0;
}

int note_handed_jobs(FolderClaim* c, int any) {
    if (c->file == INVALID_HANDLE_VALUE || c->handed == any)
        return 0;
    if (any && !c->flushed) {
        if (flush_folder(".") != 0)
            return 1;
        c->flushed = 1;
    }
    return rewrite_claim(c, any);
}

void note_claim_printer(FolderClaim* c, const char* printer) {
    if (c->printer_text == printer)
        return;
    c->printer_text = printer;
    if (c->file != INVALID_HANDLE_VALUE)
        rewrite_claim(c, c->handed); // for people only: a failure changes nothing
}

int read_spool_claim(SpoolClaim* claim) {
    HANDLE file = CreateFileA(CLAIM_FILE_NAME, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::string text = claim_text(file);
    claim->folder_id = line_value(text, ID_PREFIX);
    claim->holder = line_value(text, HOLDER_PREFIX);
    claim->printer = line_value(text, PRINTER_PREFIX);
    claim->handed = line_value(text, HANDED_PREFIX) == "yes";
    // A shared lock cannot be had while a spooler holds the claim; had, it goes with the handle.
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = CLAIM_LOCK_OFFSET;
    claim->held = !LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) &&
                  GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(file);
    return 0;
}

int spool_folder_was_held(const FolderClaim* c) {
    return c->was_held;
}

int spool_folder_claimed(const FolderClaim* c) {
    return c->file != INVALID_HANDLE_VALUE;
}

const char* spool_folder_id(const FolderClaim* c) {
    return c->folder_id.c_str();
}

void release_spool_folder(FolderClaim* c) {
    if (c->file != INVALID_HANDLE_VALUE)
        CloseHandle(c->file);
    *c = FolderClaim();
}
