#include "platform/portable/winspool/cups/cups_jobs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zvp {

namespace {

// Jobs older than this are dropped from the file whatever became of them.
constexpr long long kForgetAfterSeconds = 30LL * 24 * 3600;
constexpr size_t kMostJobs = 1000;

std::string server_key() {
    return std::string(cupsServer()) + ":" + std::to_string(ippPort());
}

std::string state_folder() {
    const char* base = std::getenv("XDG_STATE_HOME");
    if (base && *base == '/')
        return std::string(base) + "/zvspool";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/zvspool";
}

void make_folders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0700);
}

// The start time of a process in clock ticks since boot, from /proc; "" when it is gone.
std::string process_start(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')'); // the command may hold spaces and parentheses
    if (close == std::string::npos)
        return {};
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22)
            return field;
    return {};
}

std::string process_instance(long pid) {
    std::string start = process_start(pid);
    return start.empty() ? std::string() : std::to_string(pid) + ":" + start;
}

bool alive(const std::string& instance) {
    long pid = std::atol(instance.c_str());
    return pid > 0 && process_instance(pid) == instance;
}

long scheduler_pid() {
    for (const char* file : {"/run/cups/cupsd.pid", "/var/run/cups/cupsd.pid"}) {
        std::ifstream in(file);
        long pid = 0;
        if (in >> pid && pid > 0)
            return pid;
    }
    // No pid file: the process of that name.
    DIR* proc = opendir("/proc");
    long found = 0;
    while (proc && !found) {
        struct dirent* entry = readdir(proc);
        if (!entry)
            break;
        long pid = std::atol(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "cupsd")
            found = pid;
    }
    if (proc)
        closedir(proc);
    return found;
}

bool local_scheduler() {
    std::string server = cupsServer();
    return server.empty() || server[0] == '/' || server == "localhost" || server == "127.0.0.1" ||
           server == "::1";
}

// The journal, read and rewritten under a lock: several spoolers (one per folder) share it.
class Journal {
  public:
    Journal() {
        std::string folder = state_folder();
        make_folders(folder);
        path_ = folder + "/cups-jobs";
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0 || flock(fd_, LOCK_EX) != 0)
            return;
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0)
            text.append(buffer, n);
        std::istringstream lines(text);
        long long now = std::time(nullptr);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            CupsJob job;
            if (!(words >> job.server >> job.printer >> job.id >> job.owner >> job.scheduler >>
                  job.created))
                continue;
            if (job.owner == "-")
                job.owner.clear();
            if (job.scheduler == "-")
                job.scheduler.clear();
            if (now - job.created < kForgetAfterSeconds)
                jobs.push_back(job);
        }
    }

    ~Journal() {
        if (fd_ < 0)
            return;
        if (changed) {
            while (jobs.size() > kMostJobs)
                jobs.erase(jobs.begin());
            std::string text;
            for (const CupsJob& j : jobs)
                text += j.server + " " + j.printer + " " + std::to_string(j.id) + " " +
                        (j.owner.empty() ? "-" : j.owner) + " " +
                        (j.scheduler.empty() ? "-" : j.scheduler) + " " +
                        std::to_string(j.created) + "\n";
            if (ftruncate(fd_, 0) == 0 && pwrite(fd_, text.data(), text.size(), 0) >= 0)
                fsync(fd_);
        }
        close(fd_); // and the lock with it
    }

    CupsJob* find(int id) {
        std::string server = server_key();
        for (CupsJob& j : jobs)
            if (j.id == id && j.server == server)
                return &j;
        return nullptr;
    }

    std::vector<CupsJob> jobs;
    bool changed = false;

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace

std::string scheduler_instance() {
    if (!local_scheduler())
        return {};
    long pid = scheduler_pid();
    return pid > 0 ? process_instance(pid) : std::string();
}

void note_job_created(const std::string& printer, int id) {
    Journal journal;
    // An id the scheduler gave out again: the old job is gone.
    std::string key = server_key();
    for (auto it = journal.jobs.begin(); it != journal.jobs.end();)
        it = it->id == id && it->server == key ? journal.jobs.erase(it) : std::next(it);
    CupsJob job;
    job.server = server_key();
    job.printer = printer.empty() ? "-" : printer;
    job.id = id;
    job.owner = process_instance(getpid());
    job.scheduler = scheduler_instance();
    job.created = std::time(nullptr);
    journal.jobs.push_back(job);
    journal.changed = true;
}

void note_job_sent(int id) {
    Journal journal;
    if (CupsJob* job = journal.find(id)) {
        job->owner.clear();
        journal.changed = true;
    }
}

void forget_job(int id) {
    Journal journal;
    std::string server = server_key();
    for (auto it = journal.jobs.begin(); it != journal.jobs.end();) {
        if (it->id == id && it->server == server) {
            it = journal.jobs.erase(it);
            journal.changed = true;
        } else {
            ++it;
        }
    }
}

bool find_job(int id, CupsJob& job) {
    Journal journal;
    if (CupsJob* found = journal.find(id)) {
        job = *found;
        return true;
    }
    return false;
}

int give_up(http_t*, void*) {
    return 0;
}

void cancel_abandoned_jobs() {
    Journal journal;
    std::string server = server_key();
    std::unique_ptr<http_t, void (*)(http_t*)> http(httpConnect2(cupsServer(), ippPort(), nullptr,
                                                                 AF_UNSPEC, cupsEncryption(), 1,
                                                                 5000, nullptr),
                                                    httpClose);
    if (!http)
        return;
    httpSetTimeout(http.get(), 10, give_up, nullptr);
    for (auto it = journal.jobs.begin(); it != journal.jobs.end();) {
        if (it->server != server || it->owner.empty() || alive(it->owner)) {
            ++it;
            continue;
        }
        // Cancelled, or no longer there to cancel: either way the job is done with. A scheduler
        // out of reach is asked again at the next start.
        ipp_status_t status = cupsCancelJob2(http.get(), it->printer.c_str(), it->id, 0);
        if (status == IPP_STATUS_OK || status == IPP_STATUS_ERROR_NOT_FOUND ||
            status == IPP_STATUS_ERROR_NOT_POSSIBLE) {
            it = journal.jobs.erase(it);
            journal.changed = true;
        } else {
            ++it;
        }
    }
}

} // namespace zvp
