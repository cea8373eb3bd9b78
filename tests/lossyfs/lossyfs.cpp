// lossyfs: a FUSE file system for crash tests. It holds in memory what processes see and, beside
// it, what a disk would still hold after a power cut if it kept only what POSIX promises: a file's
// data and attributes once the file is fsynced, a name once its folder is fsynced. A power cut
// (asked for on the control file, or armed to come right after a given operation) writes what
// survives to the backing file and fails every later operation, as a dead disk would; the next
// mount starts from that image.
#define FUSE_USE_VERSION 31

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

const char usage_text[] =
    R"(usage: lossyfs [-f] [-d] [-o mode=drop|random,seed=N,log=FILE,...] BACKING MOUNTPOINT

Mounts at MOUNTPOINT an in-memory file system that starts from the image BACKING (an empty root
folder when BACKING does not exist) and that writes to BACKING, at a power cut, only what POSIX
promises to keep: a file's data and attributes once it is fsynced, a name once its folder is
fsynced, a rename whole or not at all.

Without -f, lossyfs returns once the mount is ready and goes on in the background; its status is
0 when it mounted. A mount of a BACKING waits until the lossyfs that had it before has exited and
written it, so "umount MOUNTPOINT; lossyfs BACKING MOUNTPOINT" always sees what was saved.

Options:
  -o mode=drop     at a cut, keep only what was made durable (the default)
  -o mode=random   at a cut, keep or drop each pending change at random, tear some appends
  -o seed=N        the seed for mode=random (by default one from the clock, reported)
  -o log=FILE      append what lossyfs reports (what each cut kept) to FILE
  -f               stay in the foreground
  and libfuse's own options (-d, -o fsname=..., ...). lossyfs runs single-threaded and always
  mounts with allow_other and default_permissions.

Control: MOUNTPOINT/.lossyfs, hidden from listings, writable by root. Reading it tells the
state; its first line is "live" or "cut". Write one command a line:
  sync             make everything durable, as sync(1) on a good disk
  cut              the power cut: write what survives to BACKING (the write returns once it is
                   written), then fail every other operation on the mount with EIO
  arm OP GLOB [N]  cut right after the N-th (1st) successful OP on a name (its last component)
                   matching the shell pattern GLOB; the operation completes, then the process
                   that made it and the machine are killed with SIGKILL before it returns.
                   OP: unlink rename create mkdir link fsync fsyncdir write
  machine PID      a process to SIGKILL too at an armed cut (a PID namespace's init, say)
  disarm           forget the armed cut

Unmount with "umount MOUNTPOINT" or "fusermount3 -u MOUNTPOINT". A mount that was not cut then
saves its whole current state, as the clean shutdown of a disk does. umount returns before
lossyfs has exited; BACKING.lock, held until then, is what a new mount waits for.

Limits of libfuse's high-level API: the names of a hard link are distinct inodes to the kernel
(same st_ino, but locks taken through one name do not exclude those through another), and
fstat, fchmod and fchown of a file unlinked while open fail with ESTALE (read, write, ftruncate,
fsync and lseek work). O_TMPFILE fails with EOPNOTSUPP.
)";

constexpr ino_t root_ino = 1;
// Above any number a mount hands out, so that it can never be a file's.
constexpr ino_t control_ino = ino_t{1} << 62;
constexpr const char* control_path = "/.lossyfs";
constexpr const char* control_name = ".lossyfs";
// Far above what a test writes, and below what would take the machine down in one allocation.
constexpr off_t max_file_size = off_t{4} << 30;
constexpr char image_magic[8] = {'L', 'O', 'S', 'S', 'Y', 'F', 'S', '1'};

timespec now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

void report(const std::string& line) {
    std::fprintf(stderr, "lossyfs: %s\n", line.c_str());
    std::fflush(stderr);
}

struct Attrs {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    dev_t rdev = 0;
    timespec atime{};
    timespec mtime{};
    timespec ctime{};
};

struct Inode {
    ino_t ino = 0;
    Attrs attrs;
    Attrs durable_attrs;
    // The change time as the inode's own changes left it (data, mode, owner, times), without the
    // names given or taken since: those keep or lose theirs with the names.
    timespec data_ctime{};
    // A regular file's contents or a symbolic link's target.
    std::string data;
    // The durable contents are mostly a prefix of the current ones (appends since the last
    // fsync): they are then kept as a length, so that fsyncs of a growing file copy nothing.
    bool durable_is_prefix = true;
    size_t durable_size = 0;
    std::string durable_data;
    // Data or attributes changed since they were last made durable.
    bool dirty = false;
    std::map<std::string, ino_t> entries;
    std::map<std::string, ino_t> durable_entries;
    // A folder's parent; for other inodes the folder of the last name, for reports.
    ino_t parent = 0;
    nlink_t nlink = 0;
    // Durable entries naming this inode: it may come back at a cut while any is left.
    unsigned durable_refs = 0;
    unsigned handles = 0;
    // The last name it was given or opened by, for the names an armed cut matches.
    std::string name;

    bool is_dir() const { return S_ISDIR(attrs.mode); }
    bool is_reg() const { return S_ISREG(attrs.mode); }
    std::string_view durable_view() const {
        return durable_is_prefix ? std::string_view(data).substr(0, durable_size)
                                 : std::string_view(durable_data);
    }
};

struct Handle {
    ino_t ino = 0;
    bool control = false;
    // A command written to the control file that no newline has ended yet.
    std::string partial;
};

using NameKey = std::pair<ino_t, std::string>;

enum class Survival { durable, random, everything };

// What an image holds of one inode.
struct ImageNode {
    Inode* inode = nullptr;
    Attrs attrs;
    std::string_view data;
    std::vector<std::pair<std::string, ino_t>> entries;
};

struct Arm {
    bool active = false;
    std::string op;
    std::string glob;
    unsigned nth = 1;
    unsigned seen = 0;
};

const std::set<std::string> armable_ops = {"unlink", "rename", "create",   "mkdir",
                                           "link",   "fsync",  "fsyncdir", "write"};

class LossyFs {
  public:
    std::string backing;
    bool random_mode = false;
    uint64_t seed = 0;

    // Loads BACKING, or starts from an empty root when it does not exist. Returns an error
    // message, empty on success.
    std::string load();
    // Writes the current state to BACKING, as a clean unmount does.
    void save_on_unmount();
    // Called once a request has been answered.
    void after_request() {
        if (cut_)
            frozen_ = true;
    }

    int getattr(const char* path, struct stat* st, fuse_file_info* fi);
    int readlink(const char* path, char* buf, size_t size);
    int mknod(const char* path, mode_t mode, dev_t rdev);
    int mkdir(const char* path, mode_t mode);
    int unlink(const char* path);
    int rmdir(const char* path);
    int symlink(const char* target, const char* path);
    int rename(const char* from, const char* to, unsigned flags);
    int link(const char* from, const char* to);
    int chmod(const char* path, mode_t mode, fuse_file_info* fi);
    int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi);
    int truncate(const char* path, off_t size, fuse_file_info* fi);
    int open(const char* path, fuse_file_info* fi);
    int create(const char* path, mode_t mode, fuse_file_info* fi);
    int read(char* buf, size_t size, off_t off, fuse_file_info* fi);
    int write(const char* buf, size_t size, off_t off, fuse_file_info* fi);
    int statfs(struct statvfs* st);
    int flush(fuse_file_info* fi);
    int release(fuse_file_info* fi);
    int fsync(fuse_file_info* fi);
    int opendir(const char* path, fuse_file_info* fi);
    int readdir(void* buf, fuse_fill_dir_t filler, fuse_file_info* fi);
    int releasedir(fuse_file_info* fi);
    int fsyncdir(fuse_file_info* fi);
    int utimens(const char* path, const timespec tv[2], fuse_file_info* fi);
    int fallocate(int mode, off_t off, off_t len, fuse_file_info* fi);

  private:
    std::unordered_map<ino_t, std::unique_ptr<Inode>> inodes_;
    ino_t next_ino_ = root_ino + 1;
    std::unordered_map<uint64_t, Handle> handles_;
    uint64_t next_handle_ = 1;
    // Names changed since their folder was last fsynced, each in one group of changes that
    // survive a cut together or not at all.
    std::map<NameKey, uint64_t> pending_;
    std::map<uint64_t, std::set<NameKey>> groups_;
    uint64_t next_group_ = 1;
    Arm arm_;
    pid_t machine_ = 0;
    bool cut_ = false;
    bool frozen_ = false;
    std::string last_cut_;
    std::mt19937_64 rng_;

    Inode* find(ino_t ino) {
        auto it = inodes_.find(ino);
        return it == inodes_.end() ? nullptr : it->second.get();
    }
    Inode& root() { return *inodes_.at(root_ino); }
    Inode* make_inode(mode_t mode, uid_t uid, gid_t gid);
    int resolve(const char* path, Inode*& out);
    int resolve_parent(const char* path, Inode*& dir, std::string& name);
    int from_handle(fuse_file_info* fi, Inode*& out);
    int target(const char* path, fuse_file_info* fi, Inode*& out);
    Handle* handle_of(fuse_file_info* fi) {
        auto it = handles_.find(fi->fh);
        return it == handles_.end() ? nullptr : &it->second;
    }
    uint64_t add_handle(Handle h) {
        handles_.emplace(next_handle_, std::move(h));
        return next_handle_++;
    }
    void fill_stat(const Inode& n, struct stat* st) const;
    void fill_control_stat(struct stat* st);
    int new_node(const char* path, mode_t mode, dev_t rdev, const std::string& target, Inode*& out);
    void touch_names(const std::vector<NameKey>& keys);
    void forget_names_in(ino_t dir);
    void make_data_durable(Inode& n);
    void make_dir_durable(Inode& n);
    void set_durable_entries(Inode& dir, const std::map<std::string, ino_t>& entries);
    void make_everything_durable();
    void maybe_free(ino_t ino);
    void keep_durable_before(Inode& n, size_t from);
    void changed(Inode& n, bool data);
    void name_changed(Inode& n);
    void operation_done(const std::string& op, const std::string& name,
                        const std::string& other = "");
    int power_cut(bool armed);
    std::vector<ImageNode> survivors(Survival how, std::string& decisions);
    int write_image(const std::vector<ImageNode>& nodes);
    std::string state_text();
    int control_line(const std::string& line);
    std::string path_of(ino_t dir);
    std::string describe(const NameKey& key) { return path_of(key.first) + "/" + key.second; }
    std::string describe(const Inode& n) {
        return n.ino == root_ino ? "/" : describe(NameKey{n.parent, n.name});
    }
};

LossyFs fs;

// ---- inodes and paths -------------------------------------------------------------------------

Inode* LossyFs::make_inode(mode_t mode, uid_t uid, gid_t gid) {
    auto n = std::make_unique<Inode>();
    n->ino = next_ino_++;
    n->attrs.mode = mode;
    n->attrs.uid = uid;
    n->attrs.gid = gid;
    n->attrs.atime = n->attrs.mtime = n->attrs.ctime = n->data_ctime = now();
    n->durable_attrs = n->attrs;
    Inode* raw = n.get();
    inodes_.emplace(raw->ino, std::move(n));
    return raw;
}

std::vector<std::string> split_path(const char* path) {
    std::vector<std::string> parts;
    std::string_view p(path);
    while (!p.empty()) {
        size_t slash = p.find('/');
        std::string_view part = p.substr(0, slash);
        if (!part.empty())
            parts.emplace_back(part);
        if (slash == std::string_view::npos)
            break;
        p.remove_prefix(slash + 1);
    }
    return parts;
}

int LossyFs::resolve(const char* path, Inode*& out) {
    if (path == nullptr)
        return -ENOENT;
    Inode* n = &root();
    for (const std::string& part : split_path(path)) {
        if (!n->is_dir())
            return -ENOTDIR;
        auto it = n->entries.find(part);
        if (it == n->entries.end())
            return -ENOENT;
        n = find(it->second);
        if (n == nullptr)
            return -EIO;
    }
    out = n;
    return 0;
}

int LossyFs::resolve_parent(const char* path, Inode*& dir, std::string& name) {
    std::vector<std::string> parts = split_path(path);
    if (parts.empty())
        return -EBUSY;
    name = parts.back();
    if (name.size() > NAME_MAX)
        return -ENAMETOOLONG;
    Inode* n = &root();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = n->entries.find(parts[i]);
        if (it == n->entries.end())
            return -ENOENT;
        n = find(it->second);
        if (n == nullptr)
            return -EIO;
        if (!n->is_dir())
            return -ENOTDIR;
    }
    dir = n;
    return 0;
}

int LossyFs::from_handle(fuse_file_info* fi, Inode*& out) {
    Handle* h = handle_of(fi);
    if (h == nullptr || h->control)
        return -EBADF;
    out = find(h->ino);
    return out == nullptr ? -EIO : 0;
}

// With nullpath_ok the operations on an open file get its handle and no path, also when the file
// has no name left.
int LossyFs::target(const char* path, fuse_file_info* fi, Inode*& out) {
    if (fi != nullptr && handle_of(fi) != nullptr)
        return from_handle(fi, out);
    return resolve(path, out);
}

bool is_control(const char* path) {
    return path != nullptr && std::strcmp(path, control_path) == 0;
}

bool is_control(const Inode& dir, const std::string& name) {
    return dir.ino == root_ino && name == control_name;
}

void LossyFs::fill_stat(const Inode& n, struct stat* st) const {
    *st = {};
    st->st_ino = n.ino;
    st->st_mode = n.attrs.mode;
    st->st_nlink = n.nlink;
    st->st_uid = n.attrs.uid;
    st->st_gid = n.attrs.gid;
    st->st_rdev = n.attrs.rdev;
    st->st_size = n.is_dir() ? off_t(4096) : off_t(n.data.size());
    st->st_blksize = 4096;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_atim = n.attrs.atime;
    st->st_mtim = n.attrs.mtime;
    st->st_ctim = n.attrs.ctime;
}

void LossyFs::fill_control_stat(struct stat* st) {
    *st = {};
    st->st_ino = control_ino;
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = off_t(state_text().size());
    st->st_blksize = 4096;
    st->st_atim = st->st_mtim = st->st_ctim = root().attrs.ctime;
}

// ---- durability -------------------------------------------------------------------------------

// The folder's current path, or as much of it as is left, for reports.
std::string LossyFs::path_of(ino_t dir) {
    std::string path;
    for (int depth = 0; dir != root_ino && depth < 64; ++depth) {
        Inode* n = find(dir);
        if (n == nullptr)
            return "?" + path;
        path = "/" + n->name + path;
        dir = n->parent;
    }
    return path;
}

// Puts the given names into one group of pending changes, together with every pending group that
// already holds one of them: a change that depends on another cannot outlive it.
void LossyFs::touch_names(const std::vector<NameKey>& keys) {
    std::set<uint64_t> found;
    for (const NameKey& key : keys) {
        auto it = pending_.find(key);
        if (it != pending_.end())
            found.insert(it->second);
    }
    uint64_t into = 0;
    if (found.empty()) {
        into = next_group_++;
    } else {
        into = *found.begin();
        for (uint64_t id : found) {
            if (groups_[id].size() > groups_[into].size())
                into = id;
        }
        for (uint64_t id : found) {
            if (id == into)
                continue;
            for (const NameKey& key : groups_[id]) {
                pending_[key] = into;
                groups_[into].insert(key);
            }
            groups_.erase(id);
        }
    }
    for (const NameKey& key : keys) {
        pending_[key] = into;
        groups_[into].insert(key);
    }
}

// The pending names in DIR, now durable or gone with it, leave their groups; the rest of each
// group stays pending, as a group of its own.
void LossyFs::forget_names_in(ino_t dir) {
    auto it = pending_.lower_bound(NameKey{dir, std::string()});
    while (it != pending_.end() && it->first.first == dir) {
        auto group = groups_.find(it->second);
        if (group != groups_.end()) {
            group->second.erase(it->first);
            if (group->second.empty())
                groups_.erase(group);
        }
        it = pending_.erase(it);
    }
}

void LossyFs::make_data_durable(Inode& n) {
    n.durable_attrs = n.attrs;
    n.durable_is_prefix = true;
    n.durable_size = n.data.size();
    std::string().swap(n.durable_data);
    n.dirty = false;
}

void LossyFs::set_durable_entries(Inode& dir, const std::map<std::string, ino_t>& entries) {
    std::map<std::string, ino_t> old;
    old.swap(dir.durable_entries);
    dir.durable_entries = entries;
    for (const auto& entry : dir.durable_entries) {
        if (Inode* child = find(entry.second))
            child->durable_refs++;
    }
    for (const auto& entry : old) {
        if (Inode* child = find(entry.second)) {
            child->durable_refs--;
            maybe_free(entry.second);
        }
    }
}

void LossyFs::make_dir_durable(Inode& n) {
    n.durable_attrs = n.attrs;
    n.dirty = false;
    // A name given is one metadata change with the change time it gave its inode: a journaled file
    // system commits both at once.
    for (const auto& [name, ino] : n.entries) {
        auto before = n.durable_entries.find(name);
        Inode* child = find(ino);
        if (child != nullptr && (before == n.durable_entries.end() || before->second != ino))
            child->durable_attrs.ctime = child->attrs.ctime;
    }
    set_durable_entries(n, n.entries);
    forget_names_in(n.ino);
}

void LossyFs::make_everything_durable() {
    std::vector<ino_t> all;
    for (auto& entry : inodes_)
        all.push_back(entry.first);
    for (ino_t ino : all) {
        Inode* n = find(ino);
        if (n == nullptr)
            continue;
        if (n->is_dir())
            make_dir_durable(*n);
        else
            make_data_durable(*n);
    }
    pending_.clear();
    groups_.clear();
    for (ino_t ino : all)
        maybe_free(ino);
}

// An inode goes once nothing can bring it back: no name now, no open handle, and no durable name
// a cut could restore.
void LossyFs::maybe_free(ino_t ino) {
    std::vector<ino_t> work{ino};
    while (!work.empty()) {
        ino_t i = work.back();
        work.pop_back();
        auto it = inodes_.find(i);
        if (it == inodes_.end() || i == root_ino)
            continue;
        Inode& n = *it->second;
        if (n.nlink > 0 || n.handles > 0 || n.durable_refs > 0)
            continue;
        for (const auto& entry : n.durable_entries) {
            if (Inode* child = find(entry.second)) {
                child->durable_refs--;
                work.push_back(entry.second);
            }
        }
        forget_names_in(i);
        inodes_.erase(it);
    }
}

// Before bytes from FROM on change, the durable contents stop being a prefix of the current ones
// if they reach that far.
void LossyFs::keep_durable_before(Inode& n, size_t from) {
    if (n.durable_is_prefix && from < n.durable_size) {
        n.durable_data = n.data.substr(0, n.durable_size);
        n.durable_is_prefix = false;
    }
}

void LossyFs::changed(Inode& n, bool data) {
    timespec t = now();
    n.attrs.ctime = n.data_ctime = t;
    if (data)
        n.attrs.mtime = t;
    n.dirty = true;
}

// A name given to the inode or taken from it: its change time moves as part of the name's change,
// which a journaled file system commits with the folder, and a cut keeps or loses with it.
void LossyFs::name_changed(Inode& n) {
    n.attrs.ctime = now();
}

// ---- the power cut ----------------------------------------------------------------------------

void LossyFs::operation_done(const std::string& op, const std::string& name,
                             const std::string& other) {
    if (!arm_.active || cut_ || arm_.op != op)
        return;
    auto matches = [&](const std::string& n) {
        return !n.empty() && fnmatch(arm_.glob.c_str(), n.c_str(), 0) == 0;
    };
    if (!matches(name) && !matches(other))
        return;
    if (++arm_.seen < arm_.nth)
        return;
    arm_.active = false;
    report("armed cut at " + op + " " + name + (other.empty() ? "" : " -> " + other));
    power_cut(true);
}

// The instant of the cut is now, with the operation that brought it complete. The processes go
// first and before their reply: the caller never returns to user space, so nothing it or the
// machine would do next can happen. Only then is the image written; no other request is read
// before the reply, so the state cannot change meanwhile.
int LossyFs::power_cut(bool armed) {
    cut_ = true;
    if (armed) {
        pid_t caller = fuse_get_context()->pid;
        for (pid_t pid : {caller, machine_}) {
            if (pid > 0 && pid != getpid()) {
                if (::kill(pid, SIGKILL) == 0)
                    report("killed " + std::to_string(pid));
                else
                    report("could not kill " + std::to_string(pid) + ": " + std::strerror(errno));
            }
        }
    }
    std::string decisions;
    std::vector<ImageNode> nodes =
        survivors(random_mode ? Survival::random : Survival::durable, decisions);
    int res = write_image(nodes);
    last_cut_ = decisions +
                (res == 0 ? "image written: " + std::to_string(nodes.size()) + " inodes"
                          : std::string("image not written: ") + std::strerror(-res)) +
                "\n";
    std::istringstream lines(last_cut_);
    for (std::string line; std::getline(lines, line);)
        report(line);
    return res;
}

timespec later(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? (a.tv_sec > b.tv_sec ? a : b) : (a.tv_nsec > b.tv_nsec ? a : b);
}

// Follows the folders from the root as a cut (or a clean unmount) leaves them: only what is
// reachable is in the image. A folder reachable twice (a half-kept move of folders) keeps its
// first name, as a file system check would leave it.
std::vector<ImageNode> LossyFs::survivors(Survival how, std::string& decisions) {
    std::map<ino_t, std::vector<std::string>> kept_names;
    if (how == Survival::random) {
        for (const auto& [id, keys] : groups_) {
            bool keep = (rng_() & 1) != 0;
            std::string names;
            for (const NameKey& key : keys) {
                names += " " + describe(key);
                if (keep)
                    kept_names[key.first].push_back(key.second);
            }
            decisions += std::string(keep ? "kept" : "dropped") + " names" + names + "\n";
        }
    }
    std::vector<ImageNode> out;
    std::unordered_map<ino_t, size_t> index;
    auto add = [&](Inode* n) {
        index.emplace(n->ino, out.size());
        out.push_back(ImageNode{n, {}, {}, {}});
        return out.size() - 1;
    };
    // Inodes given a name by a change kept: that change's change time goes with it.
    std::set<ino_t> renamed;
    std::deque<size_t> folders{add(&root())};
    while (!folders.empty()) {
        size_t at = folders.front();
        folders.pop_front();
        Inode* dir = out[at].inode;
        std::map<std::string, ino_t> entries =
            how == Survival::everything ? dir->entries : dir->durable_entries;
        auto kept = kept_names.find(dir->ino);
        if (kept != kept_names.end()) {
            for (const std::string& name : kept->second) {
                auto now_there = dir->entries.find(name);
                if (now_there == dir->entries.end()) {
                    entries.erase(name);
                } else {
                    entries[name] = now_there->second;
                    renamed.insert(now_there->second);
                }
            }
        }
        for (const auto& [name, ino] : entries) {
            Inode* child = find(ino);
            if (child == nullptr)
                continue;
            bool seen = index.count(ino) != 0;
            if (child->is_dir()) {
                if (seen) {
                    decisions +=
                        "dropped a second name of a folder: " + describe({dir->ino, name}) + "\n";
                    continue;
                }
                folders.push_back(add(child));
            } else if (!seen) {
                add(child);
            }
            out[at].entries.emplace_back(name, ino);
        }
    }
    for (ImageNode& node : out) {
        Inode& n = *node.inode;
        enum { durable, current, torn } fate = how == Survival::everything ? current : durable;
        size_t torn_size = 0;
        if (how == Survival::random && n.dirty) {
            size_t appended = n.durable_is_prefix && n.is_reg() && n.data.size() > n.durable_size
                                  ? n.data.size() - n.durable_size
                                  : 0;
            uint64_t pick = rng_() % (appended >= 2 ? 3 : 2);
            fate = pick == 0 ? durable : pick == 1 ? current : torn;
            std::string what = describe(n) + " (inode " + std::to_string(n.ino) + ")";
            if (n.is_reg())
                what += " durable " + std::to_string(n.durable_view().size()) + " bytes, now " +
                        std::to_string(n.data.size());
            if (fate == torn) {
                torn_size = n.durable_size + 1 + rng_() % (appended - 1);
                decisions += "tore " + what + " to " + std::to_string(torn_size) + " bytes\n";
            } else {
                decisions += std::string(fate == current ? "kept" : "dropped") + " changes of " +
                             what + "\n";
            }
        }
        switch (fate) {
        case durable:
            node.attrs = n.durable_attrs;
            if (renamed.count(n.ino))
                node.attrs.ctime = n.attrs.ctime;
            node.data = n.durable_view();
            break;
        case current:
            node.attrs = n.attrs;
            node.attrs.ctime =
                renamed.count(n.ino) ? n.attrs.ctime : later(n.data_ctime, n.durable_attrs.ctime);
            node.data = n.data;
            break;
        case torn:
            node.attrs = n.attrs;
            node.attrs.ctime =
                renamed.count(n.ino) ? n.attrs.ctime : later(n.data_ctime, n.durable_attrs.ctime);
            node.data = std::string_view(n.data).substr(0, torn_size);
            break;
        }
    }
    return out;
}

class ImageWriter {
  public:
    explicit ImageWriter(int fd) : fd_(fd) {}
    void u32(uint32_t v) { bytes(&v, sizeof v); }
    void u64(uint64_t v) { bytes(&v, sizeof v); }
    void time(const timespec& t) {
        u64(uint64_t(t.tv_sec));
        u64(uint64_t(t.tv_nsec));
    }
    void blob(std::string_view s) {
        u64(s.size());
        bytes(s.data(), s.size());
    }
    void bytes(const void* p, size_t n) {
        buf_.append(static_cast<const char*>(p), n);
        if (buf_.size() >= (1 << 20))
            flush();
    }
    bool flush() {
        std::string_view rest(buf_);
        while (!rest.empty() && error_ == 0) {
            ssize_t n = ::write(fd_, rest.data(), rest.size());
            if (n < 0 && errno != EINTR)
                error_ = errno;
            else if (n > 0)
                rest.remove_prefix(size_t(n));
        }
        buf_.clear();
        return error_ == 0;
    }
    int error() const { return error_; }

  private:
    int fd_;
    std::string buf_;
    int error_ = 0;
};

// Written beside BACKING and renamed over it once on the disk, so that a crash of the test
// machine itself leaves the old image or the new one.
int LossyFs::write_image(const std::vector<ImageNode>& nodes) {
    std::string temp = backing + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -errno;
    ImageWriter w(fd);
    w.bytes(image_magic, sizeof image_magic);
    w.u64(next_ino_);
    w.u64(nodes.size());
    for (const ImageNode& node : nodes) {
        w.u64(node.inode->ino);
        w.u32(node.attrs.mode);
        w.u32(node.attrs.uid);
        w.u32(node.attrs.gid);
        w.u64(node.attrs.rdev);
        w.time(node.attrs.atime);
        w.time(node.attrs.mtime);
        w.time(node.attrs.ctime);
        w.blob(node.data);
        w.u64(node.entries.size());
        for (const auto& [name, ino] : node.entries) {
            w.blob(name);
            w.u64(ino);
        }
    }
    int err = w.flush() && ::fsync(fd) == 0 ? 0 : (w.error() != 0 ? w.error() : errno);
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), backing.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return -err;
    }
    std::string dir = backing.substr(0, backing.rfind('/') + 1);
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

class ImageReader {
  public:
    explicit ImageReader(std::string_view s) : s_(s) {}
    bool ok() const { return ok_; }
    bool at_end() const { return s_.empty(); }
    uint64_t u64() { return number<uint64_t>(); }
    uint32_t u32() { return number<uint32_t>(); }
    timespec time() {
        timespec t{};
        t.tv_sec = time_t(u64());
        t.tv_nsec = long(u64());
        return t;
    }
    std::string blob() {
        uint64_t n = u64();
        if (n > s_.size()) {
            ok_ = false;
            return {};
        }
        std::string out(s_.substr(0, n));
        s_.remove_prefix(n);
        return out;
    }
    bool magic() {
        if (s_.substr(0, sizeof image_magic) != std::string_view(image_magic, sizeof image_magic))
            return false;
        s_.remove_prefix(sizeof image_magic);
        return true;
    }

  private:
    template <class T> T number() {
        T v{};
        if (s_.size() < sizeof v) {
            ok_ = false;
            return v;
        }
        std::memcpy(&v, s_.data(), sizeof v);
        s_.remove_prefix(sizeof v);
        return v;
    }
    std::string_view s_;
    bool ok_ = true;
};

std::string LossyFs::load() {
    rng_.seed(seed);
    int fd = ::open(backing.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        return backing + ": " + std::strerror(errno);
    if (fd < 0) {
        next_ino_ = root_ino;
        Inode* r = make_inode(S_IFDIR | 0755, 0, 0);
        r->nlink = 2;
        r->parent = root_ino;
        r->name = "/";
        return {};
    }
    std::string image;
    char chunk[1 << 16];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            return backing + ": " + std::strerror(err);
        }
        image.append(chunk, size_t(n));
    }
    ::close(fd);
    std::string bad = backing + ": not a lossyfs image";
    ImageReader r(image);
    if (!r.magic())
        return bad;
    next_ino_ = r.u64();
    uint64_t count = r.u64();
    for (uint64_t i = 0; i < count && r.ok(); ++i) {
        auto n = std::make_unique<Inode>();
        n->ino = r.u64();
        n->attrs.mode = r.u32();
        n->attrs.uid = r.u32();
        n->attrs.gid = r.u32();
        n->attrs.rdev = r.u64();
        n->attrs.atime = r.time();
        n->attrs.mtime = r.time();
        n->attrs.ctime = n->data_ctime = r.time();
        n->data = r.blob();
        uint64_t entries = r.u64();
        for (uint64_t e = 0; e < entries && r.ok(); ++e) {
            std::string name = r.blob();
            n->entries[name] = r.u64();
        }
        n->durable_attrs = n->attrs;
        n->durable_size = n->data.size();
        n->durable_entries = n->entries;
        if (n->ino == 0 || n->ino >= control_ino || n->ino >= next_ino_ ||
            (i == 0) != (n->ino == root_ino) || (i == 0 && !n->is_dir()) ||
            !inodes_.emplace(n->ino, std::move(n)).second)
            return bad;
    }
    if (!r.ok() || !r.at_end() || inodes_.empty())
        return bad;
    // Link counts, parents and durable references follow from the tree, checked to be one.
    Inode& top = root();
    top.parent = root_ino;
    top.name = "/";
    std::set<ino_t> folders_seen{root_ino};
    for (auto& entry : inodes_)
        entry.second->nlink = entry.second->is_dir() ? 2 : 0;
    for (auto& entry : inodes_) {
        Inode& dir = *entry.second;
        if (!dir.is_dir() && !dir.entries.empty())
            return bad;
        for (const auto& [name, ino] : dir.entries) {
            Inode* child = find(ino);
            if (child == nullptr || name.empty() || name.find('/') != std::string::npos ||
                is_control(dir, name))
                return bad;
            child->durable_refs++;
            if (child->name.empty()) {
                child->name = name;
                child->parent = dir.ino;
            }
            if (child->is_dir()) {
                if (!folders_seen.insert(ino).second)
                    return bad;
                child->parent = dir.ino;
                dir.nlink++;
            } else {
                child->nlink++;
            }
        }
    }
    std::set<ino_t> reached{root_ino};
    std::deque<ino_t> folders{root_ino};
    while (!folders.empty()) {
        Inode& dir = *find(folders.front());
        folders.pop_front();
        for (const auto& entry : dir.entries) {
            if (reached.insert(entry.second).second && find(entry.second)->is_dir())
                folders.push_back(entry.second);
        }
    }
    return reached.size() == inodes_.size() ? std::string() : bad;
}

void LossyFs::save_on_unmount() {
    if (cut_)
        return;
    std::string unused;
    std::vector<ImageNode> nodes = survivors(Survival::everything, unused);
    int res = write_image(nodes);
    if (res != 0)
        report("could not save " + backing + ": " + std::strerror(-res));
}

// ---- the control file -------------------------------------------------------------------------

std::string LossyFs::state_text() {
    size_t dirty = 0;
    for (const auto& entry : inodes_)
        dirty += entry.second->dirty ? 1 : 0;
    std::ostringstream s;
    s << (cut_ ? "cut" : "live") << "\n";
    s << "mode " << (random_mode ? "random seed " + std::to_string(seed) : std::string("drop"))
      << "\n";
    s << "pid " << getpid() << "\n";
    s << "inodes " << inodes_.size() << " changed " << dirty << " pending-names " << pending_.size()
      << " pending-groups " << groups_.size() << "\n";
    if (arm_.active)
        s << "armed " << arm_.op << " " << arm_.glob << " " << arm_.nth << " seen " << arm_.seen
          << "\n";
    if (machine_ > 0)
        s << "machine " << machine_ << "\n";
    s << last_cut_;
    return s.str();
}

int LossyFs::control_line(const std::string& raw) {
    std::istringstream in(raw);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return 0;
    const std::string& cmd = words[0];
    if (cmd == "cut" && words.size() == 1) {
        if (cut_)
            return 0;
        report("cut");
        return power_cut(false);
    }
    if (cut_)
        return -EIO;
    if (cmd == "sync" && words.size() == 1) {
        make_everything_durable();
        return 0;
    }
    if (cmd == "disarm" && words.size() == 1) {
        arm_ = Arm{};
        return 0;
    }
    auto number = [](const std::string& s, unsigned long& out) {
        char* end = nullptr;
        errno = 0;
        out = std::strtoul(s.c_str(), &end, 10);
        return !s.empty() && s[0] != '-' && *end == '\0' && errno == 0;
    };
    unsigned long n = 1;
    if (cmd == "arm" && (words.size() == 3 || words.size() == 4) && armable_ops.count(words[1]) &&
        (words.size() == 3 || (number(words[3], n) && n >= 1 && n <= UINT_MAX))) {
        arm_ = Arm{true, words[1], words[2], unsigned(n), 0};
        return 0;
    }
    if (cmd == "machine" && words.size() == 2 && number(words[1], n) && n >= 1 && n <= INT_MAX) {
        machine_ = pid_t(n);
        return 0;
    }
    report("unknown command: " + raw);
    return -EINVAL;
}

// ---- operations -------------------------------------------------------------------------------

int LossyFs::getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    Handle* h = fi == nullptr ? nullptr : handle_of(fi);
    if ((h != nullptr && h->control) || (h == nullptr && is_control(path))) {
        fill_control_stat(st);
        return 0;
    }
    Inode* n = nullptr;
    // The root stays visible on a dead mount: without it the kernel could not reach the control
    // file, nor tell that the mount point is one.
    if (frozen_ && !(h == nullptr && path != nullptr && std::strcmp(path, "/") == 0))
        return -EIO;
    int res = target(path, fi, n);
    if (res == 0)
        fill_stat(*n, st);
    return res;
}

int LossyFs::readlink(const char* path, char* buf, size_t size) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = resolve(path, n); res != 0)
        return res;
    if (!S_ISLNK(n->attrs.mode))
        return -EINVAL;
    if (size == 0)
        return -EINVAL;
    size_t len = std::min(size - 1, n->data.size());
    std::memcpy(buf, n->data.data(), len);
    buf[len] = '\0';
    return 0;
}

int LossyFs::new_node(const char* path, mode_t mode, dev_t rdev, const std::string& target,
                      Inode*& out) {
    Inode* dir = nullptr;
    std::string name;
    if (int res = resolve_parent(path, dir, name); res != 0)
        return res;
    if (dir->entries.count(name) != 0 || is_control(*dir, name))
        return -EEXIST;
    fuse_context* ctx = fuse_get_context();
    gid_t gid = ctx->gid;
    // A set-group-ID folder hands its group down, and the bit too to the folders made in it.
    if ((dir->attrs.mode & S_ISGID) != 0) {
        gid = dir->attrs.gid;
        if (S_ISDIR(mode))
            mode |= S_ISGID;
    }
    Inode* n = make_inode(mode, ctx->uid, gid);
    n->attrs.rdev = n->durable_attrs.rdev = rdev;
    n->data = target;
    n->durable_size = target.size();
    n->name = name;
    n->parent = dir->ino;
    if (S_ISDIR(mode)) {
        n->nlink = 2;
        dir->nlink++;
    } else {
        n->nlink = 1;
    }
    dir->entries[name] = n->ino;
    changed(*dir, true);
    touch_names({{dir->ino, name}});
    out = n;
    return 0;
}

int LossyFs::mknod(const char* path, mode_t mode, dev_t rdev) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    int res = new_node(path, mode, rdev, "", n);
    if (res == 0)
        operation_done("create", n->name);
    return res;
}

int LossyFs::mkdir(const char* path, mode_t mode) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    int res = new_node(path, S_IFDIR | (mode & 07777), 0, "", n);
    if (res == 0)
        operation_done("mkdir", n->name);
    return res;
}

int LossyFs::symlink(const char* target, const char* path) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    int res = new_node(path, S_IFLNK | 0777, 0, target, n);
    if (res == 0)
        operation_done("create", n->name);
    return res;
}

int LossyFs::unlink(const char* path) {
    if (frozen_)
        return -EIO;
    Inode* dir = nullptr;
    std::string name;
    if (int res = resolve_parent(path, dir, name); res != 0)
        return res;
    if (is_control(*dir, name))
        return -EPERM;
    auto it = dir->entries.find(name);
    if (it == dir->entries.end())
        return -ENOENT;
    Inode* n = find(it->second);
    if (n == nullptr)
        return -EIO;
    if (n->is_dir())
        return -EISDIR;
    dir->entries.erase(it);
    n->nlink--;
    name_changed(*n);
    changed(*dir, true);
    touch_names({{dir->ino, name}});
    maybe_free(n->ino);
    operation_done("unlink", name);
    return 0;
}

int LossyFs::rmdir(const char* path) {
    if (frozen_)
        return -EIO;
    Inode* dir = nullptr;
    std::string name;
    if (int res = resolve_parent(path, dir, name); res != 0)
        return res;
    auto it = dir->entries.find(name);
    if (it == dir->entries.end())
        return -ENOENT;
    Inode* n = find(it->second);
    if (n == nullptr)
        return -EIO;
    if (!n->is_dir())
        return -ENOTDIR;
    if (!n->entries.empty())
        return -ENOTEMPTY;
    dir->entries.erase(it);
    dir->nlink--;
    n->nlink = 0;
    name_changed(*n);
    changed(*dir, true);
    touch_names({{dir->ino, name}});
    maybe_free(n->ino);
    return 0;
}

int LossyFs::rename(const char* from, const char* to, unsigned flags) {
    if (frozen_)
        return -EIO;
    if ((flags & ~unsigned(RENAME_NOREPLACE)) != 0)
        return -EINVAL;
    Inode* old_dir = nullptr;
    Inode* new_dir = nullptr;
    std::string old_name;
    std::string new_name;
    if (int res = resolve_parent(from, old_dir, old_name); res != 0)
        return res;
    if (int res = resolve_parent(to, new_dir, new_name); res != 0)
        return res;
    if (is_control(*old_dir, old_name) || is_control(*new_dir, new_name))
        return -EPERM;
    auto src = old_dir->entries.find(old_name);
    if (src == old_dir->entries.end())
        return -ENOENT;
    Inode* n = find(src->second);
    if (n == nullptr)
        return -EIO;
    Inode* replaced = nullptr;
    if (auto dst = new_dir->entries.find(new_name); dst != new_dir->entries.end()) {
        if ((flags & RENAME_NOREPLACE) != 0)
            return -EEXIST;
        replaced = find(dst->second);
        if (replaced == nullptr)
            return -EIO;
        // Two names of one file: POSIX has rename do nothing.
        if (replaced == n)
            return 0;
        if (n->is_dir() && !replaced->is_dir())
            return -ENOTDIR;
        if (!n->is_dir() && replaced->is_dir())
            return -EISDIR;
        if (replaced->is_dir() && !replaced->entries.empty())
            return -ENOTEMPTY;
    }
    if (n->is_dir()) {
        for (Inode* up = new_dir;; up = find(up->parent)) {
            if (up == nullptr)
                return -EIO;
            if (up == n)
                return -EINVAL;
            if (up->ino == root_ino)
                break;
        }
    }
    old_dir->entries.erase(src);
    if (replaced != nullptr) {
        if (replaced->is_dir()) {
            replaced->nlink = 0;
            new_dir->nlink--;
        } else {
            replaced->nlink--;
        }
        name_changed(*replaced);
    }
    new_dir->entries[new_name] = n->ino;
    if (n->is_dir() && old_dir != new_dir) {
        old_dir->nlink--;
        new_dir->nlink++;
    }
    n->parent = new_dir->ino;
    n->name = new_name;
    name_changed(*n);
    changed(*old_dir, true);
    changed(*new_dir, true);
    touch_names({{old_dir->ino, old_name}, {new_dir->ino, new_name}});
    if (replaced != nullptr)
        maybe_free(replaced->ino);
    operation_done("rename", old_name, new_name);
    return 0;
}

int LossyFs::link(const char* from, const char* to) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = resolve(from, n); res != 0)
        return res;
    if (n->is_dir())
        return -EPERM;
    Inode* dir = nullptr;
    std::string name;
    if (int res = resolve_parent(to, dir, name); res != 0)
        return res;
    if (dir->entries.count(name) != 0 || is_control(*dir, name))
        return -EEXIST;
    dir->entries[name] = n->ino;
    n->nlink++;
    std::string old_name = n->name;
    n->name = name;
    n->parent = dir->ino;
    name_changed(*n);
    changed(*dir, true);
    touch_names({{dir->ino, name}});
    operation_done("link", old_name, name);
    return 0;
}

int LossyFs::chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = target(path, fi, n); res != 0)
        return is_control(path) ? -EPERM : res;
    n->attrs.mode = (n->attrs.mode & S_IFMT) | (mode & 07777);
    changed(*n, false);
    return 0;
}

int LossyFs::chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = target(path, fi, n); res != 0)
        return is_control(path) ? -EPERM : res;
    if (uid != uid_t(-1))
        n->attrs.uid = uid;
    if (gid != gid_t(-1))
        n->attrs.gid = gid;
    changed(*n, false);
    return 0;
}

int LossyFs::truncate(const char* path, off_t size, fuse_file_info* fi) {
    Handle* h = fi == nullptr ? nullptr : handle_of(fi);
    if ((h != nullptr && h->control) || (h == nullptr && is_control(path)))
        return 0;
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = target(path, fi, n); res != 0)
        return res;
    if (n->is_dir())
        return -EISDIR;
    if (!n->is_reg())
        return -EINVAL;
    if (size < 0)
        return -EINVAL;
    if (size > max_file_size)
        return -EFBIG;
    try {
        keep_durable_before(*n, size_t(size));
        n->data.resize(size_t(size));
    } catch (const std::bad_alloc&) {
        return -ENOSPC;
    }
    changed(*n, true);
    return 0;
}

int LossyFs::open(const char* path, fuse_file_info* fi) {
    fi->direct_io = 1;
    fi->keep_cache = 0;
    if (is_control(path)) {
        fi->fh = add_handle(Handle{0, true, {}});
        return 0;
    }
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = resolve(path, n); res != 0)
        return res;
    if (n->is_dir())
        return -EISDIR;
    Inode* dir = nullptr;
    std::string name;
    if (resolve_parent(path, dir, name) == 0) {
        n->name = name;
        n->parent = dir->ino;
    }
    if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY && n->is_reg()) {
        keep_durable_before(*n, 0);
        n->data.clear();
        changed(*n, true);
    }
    n->handles++;
    fi->fh = add_handle(Handle{n->ino, false, {}});
    return 0;
}

int LossyFs::create(const char* path, mode_t mode, fuse_file_info* fi) {
    if (is_control(path))
        return (fi->flags & O_EXCL) != 0 ? -EEXIST : open(path, fi);
    if (frozen_)
        return -EIO;
    Inode* existing = nullptr;
    if (resolve(path, existing) == 0) {
        if ((fi->flags & O_EXCL) != 0)
            return -EEXIST;
        return open(path, fi);
    }
    Inode* n = nullptr;
    if (int res = new_node(path, S_IFREG | (mode & 07777), 0, "", n); res != 0)
        return res;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    n->handles++;
    fi->fh = add_handle(Handle{n->ino, false, {}});
    operation_done("create", n->name);
    return 0;
}

int LossyFs::read(char* buf, size_t size, off_t off, fuse_file_info* fi) {
    Handle* h = handle_of(fi);
    if (h != nullptr && h->control) {
        std::string text = state_text();
        if (off < 0 || size_t(off) >= text.size())
            return 0;
        size_t len = std::min(size, text.size() - size_t(off));
        std::memcpy(buf, text.data() + off, len);
        return int(len);
    }
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    if (off < 0)
        return -EINVAL;
    if (size_t(off) >= n->data.size())
        return 0;
    size_t len = std::min({size, n->data.size() - size_t(off), size_t(INT_MAX)});
    std::memcpy(buf, n->data.data() + off, len);
    return int(len);
}

int LossyFs::write(const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    Handle* h = handle_of(fi);
    if (h != nullptr && h->control) {
        if (fuse_get_context()->uid != 0)
            return -EACCES;
        h->partial.append(buf, size);
        for (size_t nl; (nl = h->partial.find('\n')) != std::string::npos;) {
            std::string line = h->partial.substr(0, nl);
            h->partial.erase(0, nl + 1);
            if (int res = control_line(line); res != 0)
                return res;
        }
        return int(size);
    }
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    if (!n->is_reg())
        return -EINVAL;
    if (off < 0 || size > size_t(INT_MAX))
        return -EINVAL;
    if (off > max_file_size || off_t(size) > max_file_size - off)
        return -EFBIG;
    size_t end = size_t(off) + size;
    try {
        keep_durable_before(*n, size_t(off));
        if (end > n->data.size())
            n->data.resize(end);
    } catch (const std::bad_alloc&) {
        return -ENOSPC;
    }
    std::memcpy(n->data.data() + off, buf, size);
    changed(*n, true);
    operation_done("write", n->name);
    return int(size);
}

int LossyFs::statfs(struct statvfs* st) {
    if (frozen_)
        return -EIO;
    uint64_t used = 0;
    for (const auto& entry : inodes_)
        used += (entry.second->data.size() + entry.second->durable_data.size() + 4095) / 4096;
    *st = {};
    st->f_bsize = st->f_frsize = 4096;
    st->f_blocks = uint64_t(1) << 28;
    st->f_bfree = st->f_bavail = st->f_blocks - std::min<uint64_t>(used, st->f_blocks);
    st->f_files = uint64_t(1) << 24;
    st->f_ffree = st->f_favail = st->f_files - std::min<uint64_t>(inodes_.size(), st->f_files);
    st->f_namemax = NAME_MAX;
    return 0;
}

int LossyFs::flush(fuse_file_info* fi) {
    Handle* h = handle_of(fi);
    if (h != nullptr && h->control) {
        // A command that no newline ended is done at close.
        std::string line;
        line.swap(h->partial);
        return fuse_get_context()->uid == 0 || line.empty() ? control_line(line) : -EACCES;
    }
    return frozen_ ? -EIO : 0;
}

int LossyFs::release(fuse_file_info* fi) {
    Handle* h = handle_of(fi);
    if (h == nullptr)
        return 0;
    ino_t ino = h->ino;
    bool control = h->control;
    handles_.erase(fi->fh);
    if (!control) {
        if (Inode* n = find(ino)) {
            n->handles--;
            maybe_free(ino);
        }
    }
    return 0;
}

int LossyFs::fsync(fuse_file_info* fi) {
    Handle* h = handle_of(fi);
    if (h != nullptr && h->control)
        return 0;
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    make_data_durable(*n);
    operation_done("fsync", n->name);
    return 0;
}

int LossyFs::opendir(const char* path, fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = resolve(path, n); res != 0)
        return res;
    if (!n->is_dir())
        return -ENOTDIR;
    n->handles++;
    fi->fh = add_handle(Handle{n->ino, false, {}});
    return 0;
}

int LossyFs::readdir(void* buf, fuse_fill_dir_t filler, fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    struct stat st {};
    st.st_mode = S_IFDIR;
    st.st_ino = n->ino;
    filler(buf, ".", &st, 0, fuse_fill_dir_flags(0));
    st.st_ino = n->parent;
    filler(buf, "..", &st, 0, fuse_fill_dir_flags(0));
    for (const auto& [name, ino] : n->entries) {
        Inode* child = find(ino);
        if (child == nullptr)
            continue;
        st.st_ino = ino;
        st.st_mode = child->attrs.mode & S_IFMT;
        if (filler(buf, name.c_str(), &st, 0, fuse_fill_dir_flags(0)) != 0)
            return -ENOMEM;
    }
    return 0;
}

int LossyFs::releasedir(fuse_file_info* fi) {
    return release(fi);
}

int LossyFs::fsyncdir(fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    make_dir_durable(*n);
    operation_done("fsyncdir", n->name);
    return 0;
}

int LossyFs::utimens(const char* path, const timespec tv[2], fuse_file_info* fi) {
    Handle* h = fi == nullptr ? nullptr : handle_of(fi);
    if ((h != nullptr && h->control) || (h == nullptr && is_control(path)))
        return 0;
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = target(path, fi, n); res != 0)
        return res;
    timespec t = now();
    auto pick = [&](const timespec& given, timespec& field) {
        if (given.tv_nsec == UTIME_NOW)
            field = t;
        else if (given.tv_nsec != UTIME_OMIT)
            field = given;
    };
    pick(tv[0], n->attrs.atime);
    pick(tv[1], n->attrs.mtime);
    n->attrs.ctime = t;
    n->dirty = true;
    return 0;
}

int LossyFs::fallocate(int mode, off_t off, off_t len, fuse_file_info* fi) {
    if (frozen_)
        return -EIO;
    Inode* n = nullptr;
    if (int res = from_handle(fi, n); res != 0)
        return res;
    if (!n->is_reg())
        return -ENODEV;
    if ((mode & ~FALLOC_FL_KEEP_SIZE) != 0)
        return -EOPNOTSUPP;
    if (off < 0 || len <= 0)
        return -EINVAL;
    if (off > max_file_size || len > max_file_size - off)
        return -EFBIG;
    if ((mode & FALLOC_FL_KEEP_SIZE) == 0 && size_t(off + len) > n->data.size()) {
        try {
            n->data.resize(size_t(off + len));
        } catch (const std::bad_alloc&) {
            return -ENOSPC;
        }
        changed(*n, true);
    }
    return 0;
}

// ---- libfuse glue -----------------------------------------------------------------------------

void* fs_init(fuse_conn_info* conn, fuse_config* cfg) {
    cfg->use_ino = 1;
    cfg->readdir_ino = 1;
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    // Every request reaches the file system: the kernel caches no data, attributes or names, so
    // what processes see is the model's current state, and a dead mount fails each access.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->attr_timeout = 0;
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    return nullptr;
}

fuse_operations make_operations() {
    fuse_operations ops{};
    ops.init = fs_init;
    ops.getattr = [](const char* p, struct stat* st, fuse_file_info* fi) {
        return fs.getattr(p, st, fi);
    };
    ops.readlink = [](const char* p, char* b, size_t s) { return fs.readlink(p, b, s); };
    ops.mknod = [](const char* p, mode_t m, dev_t d) { return fs.mknod(p, m, d); };
    ops.mkdir = [](const char* p, mode_t m) { return fs.mkdir(p, m); };
    ops.unlink = [](const char* p) { return fs.unlink(p); };
    ops.rmdir = [](const char* p) { return fs.rmdir(p); };
    ops.symlink = [](const char* t, const char* p) { return fs.symlink(t, p); };
    ops.rename = [](const char* f, const char* t, unsigned fl) { return fs.rename(f, t, fl); };
    ops.link = [](const char* f, const char* t) { return fs.link(f, t); };
    ops.chmod = [](const char* p, mode_t m, fuse_file_info* fi) { return fs.chmod(p, m, fi); };
    ops.chown = [](const char* p, uid_t u, gid_t g, fuse_file_info* fi) {
        return fs.chown(p, u, g, fi);
    };
    ops.truncate = [](const char* p, off_t s, fuse_file_info* fi) { return fs.truncate(p, s, fi); };
    ops.open = [](const char* p, fuse_file_info* fi) { return fs.open(p, fi); };
    ops.create = [](const char* p, mode_t m, fuse_file_info* fi) { return fs.create(p, m, fi); };
    ops.read = [](const char*, char* b, size_t s, off_t o, fuse_file_info* fi) {
        return fs.read(b, s, o, fi);
    };
    ops.write = [](const char*, const char* b, size_t s, off_t o, fuse_file_info* fi) {
        return fs.write(b, s, o, fi);
    };
    ops.statfs = [](const char*, struct statvfs* st) { return fs.statfs(st); };
    ops.flush = [](const char*, fuse_file_info* fi) { return fs.flush(fi); };
    ops.release = [](const char*, fuse_file_info* fi) { return fs.release(fi); };
    ops.fsync = [](const char*, int, fuse_file_info* fi) { return fs.fsync(fi); };
    ops.opendir = [](const char* p, fuse_file_info* fi) { return fs.opendir(p, fi); };
    ops.readdir = [](const char*, void* b, fuse_fill_dir_t f, off_t, fuse_file_info* fi,
                     fuse_readdir_flags) { return fs.readdir(b, f, fi); };
    ops.releasedir = [](const char*, fuse_file_info* fi) { return fs.releasedir(fi); };
    ops.fsyncdir = [](const char*, int, fuse_file_info* fi) { return fs.fsyncdir(fi); };
    ops.utimens = [](const char* p, const timespec tv[2], fuse_file_info* fi) {
        return fs.utimens(p, tv, fi);
    };
    ops.fallocate = [](const char*, int m, off_t o, off_t l, fuse_file_info* fi) {
        return fs.fallocate(m, o, l, fi);
    };
    // No lock or flock operations: the kernel then keeps POSIX, OFD and flock locks itself.
    return ops;
}

struct Options {
    char* mode = nullptr;
    char* seed = nullptr;
    char* log = nullptr;
    int help = 0;
    std::string backing;
};

int option_key(void* data, const char* arg, int key, fuse_args*) {
    auto* opts = static_cast<Options*>(data);
    if (key == FUSE_OPT_KEY_NONOPT && opts->backing.empty()) {
        opts->backing = arg;
        return 0;
    }
    return 1;
}

// BACKING made absolute: a daemon works from the root folder.
std::string absolute(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr || base.empty() || base == "." || base == "..") {
        std::free(real);
        return {};
    }
    std::string out = std::string(real) + (std::strcmp(real, "/") == 0 ? "" : "/") + base;
    std::free(real);
    return out;
}

// The loop of fuse_session_loop, with room after each request: a cut freezes the mount only once
// the request that made it has its reply (libfuse itself asks for the attributes of what a create
// made, after the create).
int serve(fuse* f) {
    fuse_session* se = fuse_get_session(f);
    fuse_buf buf{};
    int res = 0;
    while (!fuse_session_exited(se)) {
        res = fuse_session_receive_buf(se, &buf);
        if (res == -EINTR)
            continue;
        if (res <= 0)
            break;
        fuse_session_process_buf(se, &buf);
        fs.after_request();
    }
    std::free(buf.mem);
    fuse_session_reset(se);
    return res < 0 ? -res : 0;
}

} // namespace

int main(int argc, char* argv[]) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    Options opts;
    const fuse_opt known[] = {
        {"mode=%s", offsetof(Options, mode), 0}, {"seed=%s", offsetof(Options, seed), 0},
        {"log=%s", offsetof(Options, log), 0},   {"-h", offsetof(Options, help), 1},
        {"--help", offsetof(Options, help), 1},  FUSE_OPT_END};
    if (fuse_opt_parse(&args, &opts, known, option_key) != 0)
        return 2;
    if (opts.help != 0) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    std::string mode = opts.mode == nullptr ? "drop" : opts.mode;
    if (mode != "drop" && mode != "random") {
        std::fprintf(stderr, "lossyfs: mode must be drop or random\n%s", usage_text);
        return 2;
    }
    fs.random_mode = mode == "random";
    if (opts.seed != nullptr) {
        char* end = nullptr;
        fs.seed = std::strtoull(opts.seed, &end, 10);
        if (*opts.seed == '\0' || *end != '\0') {
            std::fprintf(stderr, "lossyfs: seed must be a number\n");
            return 2;
        }
    } else {
        fs.seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    }
    fuse_opt_add_arg(&args, "-oallow_other,default_permissions,fsname=lossyfs,subtype=lossyfs");
    fuse_cmdline_opts cmd{};
    if (fuse_parse_cmdline(&args, &cmd) != 0)
        return 2;
    if (cmd.show_version != 0) {
        std::printf("lossyfs, libfuse %s\n", fuse_pkgversion());
        return 0;
    }
    if (cmd.show_help != 0 || cmd.mountpoint == nullptr || opts.backing.empty()) {
        std::fputs(usage_text, cmd.show_help != 0 ? stdout : stderr);
        return cmd.show_help != 0 ? 0 : 2;
    }
    fs.backing = absolute(opts.backing);
    if (fs.backing.empty()) {
        std::fprintf(stderr, "lossyfs: %s: no such folder\n", opts.backing.c_str());
        return 1;
    }
    int log_fd = -1;
    if (opts.log != nullptr) {
        log_fd = ::open(opts.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) {
            std::fprintf(stderr, "lossyfs: %s: %s\n", opts.log, std::strerror(errno));
            return 1;
        }
    }
    // Held until exit: a new mount of BACKING reads it only once the old one has written it.
    std::string lock_path = fs.backing + ".lock";
    int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd < 0 || ::flock(lock_fd, LOCK_EX) != 0) {
        std::fprintf(stderr, "lossyfs: %s: %s\n", lock_path.c_str(), std::strerror(errno));
        return 1;
    }
    if (std::string err = fs.load(); !err.empty()) {
        std::fprintf(stderr, "lossyfs: %s\n", err.c_str());
        return 1;
    }
    fuse_operations ops = make_operations();
    fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (f == nullptr)
        return 1;
    if (fuse_mount(f, cmd.mountpoint) != 0) {
        fuse_destroy(f);
        return 1;
    }
    if (fuse_daemonize(cmd.foreground) != 0) {
        fuse_unmount(f);
        fuse_destroy(f);
        return 1;
    }
    if (log_fd >= 0) {
        ::dup2(log_fd, STDERR_FILENO);
        ::close(log_fd);
    }
    if (fs.random_mode)
        report("random seed " + std::to_string(fs.seed));
    fuse_session* se = fuse_get_session(f);
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_unmount(f);
        fuse_destroy(f);
        return 1;
    }
    int res = serve(f);
    fs.save_on_unmount();
    fuse_remove_signal_handlers(se);
    fuse_unmount(f);
    fuse_destroy(f);
    free(cmd.mountpoint);
    fuse_opt_free_args(&args);
    return res == 0 ? 0 : 1;
}
