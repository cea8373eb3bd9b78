// Who is writing a file: the signs of a writer a reader can see.
#include "platform/portable/kernel32/file_services.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <limits.h>
#include <map>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvp {

namespace {

// Files modified and not yet closed since their folder was first listed, as inotify reports them:
// the one sign of a writer that also works for files of other users. Events before the watch
// began are unknown; a lost event queue forgets everything it knew.
class WriterWatch {
  public:
    ~WriterWatch() {
        if (fd_ >= 0)
            close(fd_);
    }

    void watch(const std::string& directory) {
        std::string key = canonical(directory);
        if (key.empty() || folders_.count(key) || folders_.size() >= 64)
            return;
        if (fd_ < 0)
            fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return;
        int wd = inotify_add_watch(fd_, key.c_str(),
                                   IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM |
                                       IN_MOVED_TO | IN_ONLYDIR);
        if (wd >= 0) {
            folders_[key] = wd;
            names_[wd] = key;
        }
    }

    bool writing(const std::string& directory, const std::string& name) {
        drain();
        auto it = folders_.find(canonical(directory));
        return it != folders_.end() && open_.count({it->second, name}) > 0;
    }

  private:
    static std::string canonical(const std::string& directory) {
        char* real = realpath(directory.empty() ? "." : directory.c_str(), nullptr);
        std::string out = real ? real : "";
        std::free(real);
        return out;
    }

    void drain() {
        alignas(inotify_event) char buffer[8192];
        ssize_t n;
        while (fd_ >= 0 && (n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if (e->mask & IN_Q_OVERFLOW) {
                    open_.clear();
                    continue;
                }
                if (e->mask & IN_IGNORED) { // the folder went
                    for (auto it = open_.begin(); it != open_.end();)
                        it = it->first == e->wd ? open_.erase(it) : std::next(it);
                    folders_.erase(names_[e->wd]);
                    names_.erase(e->wd);
                    continue;
                }
                if (e->len == 0)
                    continue;
                std::pair<int, std::string> key{e->wd, e->name};
                if (e->mask & IN_MODIFY)
                    open_.insert(key);
                else
                    open_.erase(key); // closed after writing, deleted, or moved
            }
        }
    }

    int fd_ = -1;
    std::map<std::string, int> folders_;
    std::map<int, std::string> names_;
    std::set<std::pair<int, std::string>> open_;
};

WriterWatch& writer_watch() {
    static WriterWatch w;
    return w;
}

} // namespace

// A file being written is one that some process holds open for writing. The kernel refuses a
// read lease then, which is the surest sign; where no lease can be had (another owner's file, a
// file system without leases), a write seen and no close after it, or a change in the last two
// seconds, counts as still being written.
bool open_for_writing(int fd, const struct stat& st, const std::string& native) {
    // A lease is broken by a writer opening the file; its signal must not end this process.
    fcntl(fd, F_SETSIG, SIGURG);
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN || errno == EBUSY)
        return true;
    if (writer_watch().writing(directory_of(native), name_of(native)))
        return true;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec < 2;
}

void watch_for_writers(const std::string& directory) {
    writer_watch().watch(directory);
}

} // namespace zvp
