// PDF documents as files. A document is written unnamed (or under a temporary name) beside its
// final one and given its name only when it is complete, so no reader ever sees half a document.
#include "platform/portable/winspool/pdf_files.h"

#include "platform/portable/kernel32/errors.h"
#include "platform/portable/kernel32/file_services.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zvp {

namespace {

std::string safe_name(const std::string& title) {
    std::string out;
    for (char c : title) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.';
        if (plain)
            out += c;
        else if (out.empty() || out.back() != '_')
            out += '_';
    }
    return out.empty() ? "document" : out;
}

// A finished document not yet under its name: an unnamed file (`temp` empty) or a temporary one.
struct UnplacedFile {
    int fd = -1;
    std::string temp;
};

void discard(UnplacedFile& file) {
    if (file.fd >= 0)
        close(file.fd);
    if (!file.temp.empty())
        unlink(file.temp.c_str());
    file = UnplacedFile{};
}

// Gives the finished document `name` unless a file has that name (errno EEXIST then). An
// unnamed file is linked in; a named one is linked, or on file systems without hard links
// (FAT on a stick, some network shares) renamed without replacing, or else created exclusively
// and renamed over.
bool place_new(const UnplacedFile& file, const std::string& name) {
    if (file.temp.empty()) {
        std::string self = "/proc/self/fd/" + std::to_string(file.fd);
        return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (link(file.temp.c_str(), name.c_str()) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (renameat2(AT_FDCWD, file.temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0)
        return false;
    close(fd);
    return std::rename(file.temp.c_str(), name.c_str()) == 0;
}

// Places the document under `name` for good: the name is on the disk when this returns true. A
// name that cannot be made durable is taken back, so that a document printed again for it does
// not come out twice.
bool place_durably(UnplacedFile& file, const std::string& name, std::string& error) {
    if (!place_new(file, name)) {
        error = errno == EEXIST
                    ? "cannot write " + name + ": another program took the name meanwhile"
                    : "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
    if (int e = sync_folder(directory_of(name))) {
        unlink(name.c_str());
        error = "cannot write " + name + " durably: " + std::strerror(e);
        return false;
    }
    return true;
}

// The files of directory sinks, by job id: each document's name is chosen when it starts. A
// document held (spooler_hold_job) is written whole but stays unnamed until it is released.
struct PdfDocument {
    int id = 0;
    std::string path;
    bool written = false;
    bool held = false;
    UnplacedFile unplaced; // a held document, finished
};
struct WrittenFiles {
    std::mutex lock;
    int next_id = 1;
    std::deque<PdfDocument> files;
};

WrittenFiles& written_files() {
    static WrittenFiles w;
    return w;
}

// Temporary files of directory sinks that could not write unnamed ones: ".zvspool-PID-XXXXXX".
const char kTemporaryPrefix[] = ".zvspool-";

// Removes the temporary files that processes now gone left in `directory` (killed while they
// wrote a document); a living process's are its own business.
void remove_stale_temporaries(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return;
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        size_t prefix = sizeof kTemporaryPrefix - 1;
        if (std::strncmp(name, kTemporaryPrefix, prefix) != 0)
            continue;
        long pid = std::atol(name + prefix);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), name, 0);
    }
    closedir(dir);
}

class FileSink : public PdfSink {
  public:
    // With `overwrite`, the document replaces `path`; without, it goes to `path` + "-N.pdf" for
    // the first N that names no file yet.
    FileSink(std::string path, bool overwrite, bool in_directory)
        : path_(std::move(path)), overwrite_(overwrite), in_directory_(in_directory) {}
    ~FileSink() override { abort(); }

    bool open(const std::string& title) override {
        abort();
        error_.clear();
        std::string target = path_;
        if (in_directory_) {
            if (int e = make_folders(path_, 0777)) {
                error_ = "cannot create " + path_ + ": " + std::strerror(e);
                return false;
            }
            remove_stale_temporaries(path_);
            char stamp[32];
            std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
            target = path_ + "/" + safe_name(title) + "-" + stamp;
        }
        base_ = target;
        {
            std::lock_guard<std::mutex> guard(written_files().lock);
            job_id_ = written_files().next_id++;
        }
        // The document's name is known from its start, so that a program stopped between
        // writing it and noting that it did can find it again.
        if (in_directory_) {
            final_ = free_name();
            if (final_.empty()) {
                error_ = "cannot find a free name for " + describe();
                return false;
            }
            remember(final_, false);
        }
        int fd = -1;
        // A document being written has no name at all, so a process killed on the way leaves
        // nothing behind; it is linked into place when complete.
        if (in_directory_ && access("/proc/self/fd", F_OK) == 0)
            fd = ::open(path_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) {
            temp_ = in_directory_
                        ? path_ + "/" + kTemporaryPrefix + std::to_string(getpid()) + "-XXXXXX"
                        : target + ".XXXXXX";
            fd = mkstemp(temp_.data());
        }
        if (fd < 0 || !(file_ = fdopen(fd, "wb"))) {
            error_ = "cannot create " + describe() + ": " + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            temp_.clear();
            return false;
        }
        return true;
    }

    bool write(const unsigned char* data, size_t size) override {
        if (file_ && std::fwrite(data, 1, size, file_) == size)
            return true;
        if (error_.empty())
            error_ = "cannot write " + describe() + ": " + std::strerror(errno);
        return false;
    }

    // The document is written, flushed to the disk, and only then given its name (a held one
    // waits for its release), which is itself flushed to the disk before the document counts.
    bool finish() override {
        if (!file_)
            return false;
        bool ok = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
        if (ok) {
            // A temporary file is private to its owner; a finished document gets the usual mode.
            mode_t mask = umask(0);
            umask(mask);
            fchmod(fileno(file_), 0666 & ~mask);
            if (in_directory_ && keep_held())
                return true;
            ok = place();
            if (ok && in_directory_)
                remember(final_, true);
        }
        if (!ok && error_.empty())
            error_ = "cannot write " + describe() + ": " + std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
        if (!temp_.empty())
            std::remove(temp_.c_str());
        temp_.clear();
        return ok;
    }

    void abort() override {
        if (file_) {
            std::fclose(file_);
            // A document given up is no longer held: it was never written whole.
            WrittenFiles& w = written_files();
            std::lock_guard<std::mutex> guard(w.lock);
            for (PdfDocument& d : w.files)
                if (d.id == job_id_)
                    d.held = false;
        }
        file_ = nullptr;
        if (!temp_.empty())
            std::remove(temp_.c_str());
        temp_.clear();
    }

    std::string error() const override { return error_; }
    int job_id() const override { return job_id_; }

  private:
    std::string describe() const { return in_directory_ ? base_ + "-N.pdf" : path_; }

    // The first name base-N.pdf that no file has yet, nor a document of this process that is
    // still to be placed under it.
    std::string free_name() const {
        WrittenFiles& w = written_files();
        std::lock_guard<std::mutex> guard(w.lock);
        for (int n = 1; n < 100000; ++n) {
            std::string name = base_ + "-" + std::to_string(n) + ".pdf";
            bool reserved = false;
            for (const PdfDocument& d : w.files)
                reserved = reserved || (d.path == name && !d.written && d.held);
            struct stat st;
            if (!reserved && lstat(name.c_str(), &st) != 0 && errno == ENOENT)
                return name;
        }
        return {};
    }

    // Never replaces an existing file, so two documents can never meet in one name: a name taken
    // since the document started fails it (it is printed again, under another name).
    bool place() {
        if (overwrite_) {
            if (std::rename(temp_.c_str(), path_.c_str()) != 0)
                return false;
            temp_.clear();
            if (int e = sync_folder(directory_of(path_))) {
                error_ = "cannot write " + path_ + " durably: " + std::strerror(e);
                return false;
            }
            return true;
        }
        UnplacedFile file{fileno(file_), temp_};
        return place_durably(file, final_, error_);
    }

    // A document held by the spooler is handed to its entry whole and unnamed, to be named when
    // it is released, or dropped when it is cancelled. True when it was held.
    bool keep_held() {
        WrittenFiles& w = written_files();
        std::lock_guard<std::mutex> guard(w.lock);
        for (PdfDocument& d : w.files)
            if (d.id == job_id_ && d.held) {
                d.unplaced = UnplacedFile{dup(fileno(file_)), temp_};
                std::fclose(file_);
                file_ = nullptr;
                temp_.clear();
                return true;
            }
        return false;
    }

    void remember(const std::string& name, bool written) {
        WrittenFiles& w = written_files();
        std::lock_guard<std::mutex> guard(w.lock);
        for (PdfDocument& d : w.files)
            if (d.id == job_id_) {
                d.written = written;
                return;
            }
        PdfDocument document;
        document.id = job_id_;
        document.path = name;
        document.written = written;
        w.files.push_back(std::move(document));
        // The oldest documents are forgotten, but never one held (it waits for its release), nor
        // the one just started.
        for (auto it = w.files.begin(); w.files.size() > 64 && std::next(it) != w.files.end();)
            it = it->held ? std::next(it) : w.files.erase(it);
    }

    std::string path_;
    bool overwrite_;
    bool in_directory_;
    std::string base_;
    std::string final_; // the document's name, in a directory
    std::string temp_;  // the temporary file's name; "" for an unnamed one
    FILE* file_ = nullptr;
    std::string error_;
    int job_id_ = 1;
};

class RoutableSink : public PdfSink {
  public:
    explicit RoutableSink(std::unique_ptr<PdfSink> own) : own_(std::move(own)) {}
    bool print_to_file(const std::string& path) override {
        file_ = path.empty() ? nullptr : pdf_file_sink(path);
        return true;
    }
    bool open(const std::string& title) override {
        target().keep_going = keep_going;
        return target().open(title);
    }
    bool write(const unsigned char* data, size_t size) override {
        return target().write(data, size);
    }
    bool finish() override { return target().finish(); }
    void abort() override { target().abort(); }
    std::string error() const override { return file_ ? file_->error() : own_->error(); }
    int job_id() const override { return file_ ? 1 : own_->job_id(); }

  private:
    PdfSink& target() { return file_ ? *file_ : *own_; }
    std::unique_ptr<PdfSink> own_;
    std::unique_ptr<PdfSink> file_;
};

} // namespace

std::unique_ptr<PdfSink> pdf_file_sink(std::string path) {
    return std::make_unique<FileSink>(std::move(path), true, false);
}

std::unique_ptr<PdfSink> routable_sink(std::unique_ptr<PdfSink> own) {
    return std::make_unique<RoutableSink>(std::move(own));
}

std::unique_ptr<PdfSink> pdf_directory_sink(std::string directory) {
    return std::make_unique<FileSink>(std::move(directory), false, true);
}

std::string pdf_file_of_job(int id, bool* written) {
    WrittenFiles& w = written_files();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const PdfDocument& d : w.files)
        if (d.id == id) {
            if (written)
                *written = d.written;
            return d.path;
        }
    return {};
}

static const char pdf_reference_prefix[] = "pdf ";

bool is_pdf_reference(const std::string& reference) {
    return reference.compare(0, std::strlen(pdf_reference_prefix), pdf_reference_prefix) == 0;
}

std::string pdf_job_reference(int id) {
    std::string file = pdf_file_of_job(id, nullptr);
    return file.empty() ? "" : pdf_reference_prefix + file;
}

Lookup pdf_job(int id, JobEntry& job) {
    bool written = false;
    std::string file = pdf_file_of_job(id, &written);
    if (file.empty() || !written)
        return Lookup::none;
    job.status = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
    job.status_text = "written to " + file;
    return Lookup::found;
}

namespace {

// The document a reference names, among this process's; null when it is none of them.
PdfDocument* document_of(WrittenFiles& w, const std::string& reference) {
    if (!is_pdf_reference(reference))
        return nullptr;
    std::string file = reference.substr(std::strlen(pdf_reference_prefix));
    for (PdfDocument& d : w.files)
        if (d.path == file)
            return &d;
    return nullptr;
}

} // namespace

JobFate pdf_job_fate(const std::string& reference, int stage) {
    std::string file = reference.substr(std::strlen(pdf_reference_prefix));
    JobFate fate;
    fate.reference = reference;
    {
        WrittenFiles& w = written_files();
        std::lock_guard<std::mutex> guard(w.lock);
        if (PdfDocument* d = document_of(w, reference); d && d->held) {
            fate.fate = JOB_FATE_WAITING;
            fate.words =
                d->unplaced.fd >= 0 ? "written, held until it is released" : "held, being written";
            return fate;
        }
    }
    struct stat st;
    bool there = stat(file.c_str(), &st) == 0 && stage != JOB_STAGE_HELD;
    bool sent = stage == JOB_STAGE_SENT;
    fate.fate = there || sent ? JOB_FATE_PRINTED : JOB_FATE_INCOMPLETE;
    fate.words = there || sent ? "written to " + file : "never written whole";
    return fate;
}

bool pdf_hold_job(const std::string& reference) {
    WrittenFiles& w = written_files();
    std::lock_guard<std::mutex> guard(w.lock);
    PdfDocument* d = document_of(w, reference);
    if (!d || d->written) {
        set_last_error_message("the PDF printer has no document to hold for " + reference);
        return false;
    }
    d->held = true;
    return true;
}

bool pdf_release_job(const std::string& reference) {
    WrittenFiles& w = written_files();
    std::lock_guard<std::mutex> guard(w.lock);
    PdfDocument* d = document_of(w, reference);
    if (!d || !d->held || d->unplaced.fd < 0) {
        set_last_error_message("the PDF printer holds no finished document for " + reference);
        return false;
    }
    std::string error;
    bool placed = place_durably(d->unplaced, d->path, error);
    discard(d->unplaced);
    d->held = false;
    if (!placed) {
        set_last_error_message(error);
        return false;
    }
    d->written = true;
    return true;
}

void pdf_cancel_job(const std::string& reference) {
    WrittenFiles& w = written_files();
    std::lock_guard<std::mutex> guard(w.lock);
    if (PdfDocument* d = document_of(w, reference)) {
        discard(d->unplaced);
        d->held = false;
    }
}

} // namespace zvp
