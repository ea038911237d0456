// Whole-or-nothing file replacement on POSIX: a nameless file (Linux O_TMPFILE) or a new
// ".zorel-*.tmp" beside the target, renamed over it once complete.
#ifndef _WIN32

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include "platform/internal.h"

namespace platform {

namespace {

std::atomic<bool> gNameless{true};

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gFormer[3];

extern "C" void RemoveTempFilesAndEnd(int signal) {
    TempFiles::RemoveAll();
    for (int i = 0; i < 3; ++i) {
        if (kCleanedSignals[i] == signal) sigaction(signal, &gFormer[i], nullptr);
    }
    raise(signal);  // delivered once this returns, to the former action: the end, by default
}

struct sigaction gBeforeWriter[3];

extern "C" void WriteEndingTextAndEnd(int signal) {
    const int length = EndingText::length.load();
    if (length > 0) {
        const ssize_t written = write(STDERR_FILENO, EndingText::text, static_cast<size_t>(length));
        (void)written;  // nothing is left to do about it
    }
    for (int i = 0; i < 3; ++i) {
        if (kCleanedSignals[i] == signal) sigaction(signal, &gBeforeWriter[i], nullptr);
    }
    raise(signal);  // delivered once this returns, to what was set up before
}

}  // namespace

void InstallEndingWriter() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = WriteEndingTextAndEnd;
        sigemptyset(&action.sa_mask);
        for (int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
        for (int i = 0; i < 3; ++i) {
            if (sigaction(kCleanedSignals[i], nullptr, &gBeforeWriter[i]) == 0 &&
                gBeforeWriter[i].sa_handler != SIG_IGN) {
                sigaction(kCleanedSignals[i], &action, nullptr);
            }
        }
        return true;
    }();
    (void)installed;
}

long TempFiles::ProcessId() {
    return static_cast<long>(getpid());
}

void TempFiles::InstallCleanup() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = RemoveTempFilesAndEnd;
        sigemptyset(&action.sa_mask);
        for (int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
        for (int i = 0; i < 3; ++i) {
            // A signal the program was started to ignore stays ignored.
            if (sigaction(kCleanedSignals[i], nullptr, &gFormer[i]) == 0 &&
                gFormer[i].sa_handler != SIG_IGN) {
                sigaction(kCleanedSignals[i], &action, nullptr);
            }
        }
        return true;
    }();
    (void)installed;
}

void TempFiles::RemoveOne(const Folder& folder, const char* name) {
    unlinkat(folder.fd_, name, 0);
}

void TempFiles::AwaitTheEnd() {
    for (;;) pause();
}

void UseNamelessTempFiles(bool use) {
    gNameless = use;
}

void AtomicFile::Start() {
    const int dir = folder_ != nullptr ? folder_->fd_ : -1;
    if (dir < 0 || name_.empty() || name_ == "." || name_ == ".." ||
        name_.find('/') != std::string::npos) {
        return Refuse(name_.empty() ? ENOENT : EINVAL);
    }
    // What is there now: a regular file lends the new one its mode (and owner, for root); a
    // link is replaced as a name; anything else is left alone.
    struct stat there {};
    const bool exists = fstatat(dir, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return Refuse(LastReason());
    const bool regular = exists && S_ISREG(there.st_mode);
    if (exists && !regular && !S_ISLNK(there.st_mode)) return Refuse(kErrorNotRegularFile);

    try {
        temp_.reserve(sizeof(char[48]));  // every temporary name fits without a new allocation
    } catch (const std::bad_alloc&) {
        return Refuse(ENOMEM);
    }
    int fd = -1;
#ifdef O_TMPFILE
    if (gNameless) fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#endif
    // Where the system has no nameless files: a new name of our own, never an existing one
    // (O_EXCL also refuses a link planted at the name).
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char name[48];
        TempFiles::Name(name);
        slot_ = TempFiles::Add(*folder_, name);
        if (slot_ < 0) return Refuse(EMFILE);
        fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            TempFiles::Drop(slot_);
            slot_ = -1;
            if (error != EEXIST) return Refuse(static_cast<Reason>(error));
            continue;
        }
        temp_ = name;
    }
    if (fd < 0) return Refuse(EEXIST);
    if (regular) {
        mode_ = there.st_mode & 07777;
        owner_ = there.st_uid;
        group_ = there.st_gid;
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        const Reason why = LastReason();
        close(fd);
        return Refuse(why);
    }
    // Writers hand over whole blocks: each goes to the file in one call, not through a buffer.
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) unlinkat(folder_->fd_, temp_.c_str(), 0);
    temp_.clear();
    TempFiles::Drop(slot_);
    slot_ = -1;
}

bool AtomicFile::Commit(Reason* why) {
    if (file_ == nullptr) return Fail(why, reason_);
    const int dir = folder_->fd_;
    const int fd = fileno(file_);
    Reason failure = 0;
    auto check = [&failure](bool done) {
        if (!done && failure == 0) failure = LastReason();
        return failure == 0;
    };
    check(std::fflush(file_) == 0 && std::ferror(file_) == 0);
    // The replaced file's owner (for root), then its mode: after the writes, which may clear a
    // set-user-ID bit, and after the owner, whose change does.
    struct stat made {};
    if (failure == 0 && mode_ >= 0 && geteuid() == 0 && fstat(fd, &made) == 0 &&
        (made.st_uid != owner_ || made.st_gid != group_)) {
        check(fchown(fd, owner_, group_) == 0);
    }
    if (failure == 0 && mode_ >= 0) check(fchmod(fd, static_cast<mode_t>(mode_)) == 0);
    if (failure == 0 && durable_) check(fsync(fd) == 0);
    // A nameless file gets a name of its own first: a link can be made to a new name only.
    for (int attempt = 0; failure == 0 && temp_.empty() && attempt < 100; ++attempt) {
        char name[48];
        TempFiles::Name(name);
        slot_ = TempFiles::Add(*folder_, name);
        if (slot_ < 0) {
            failure = EMFILE;
            break;
        }
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        int linked = linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
        if (linked != 0 && errno == ENOENT) linked = linkat(fd, "", dir, name, AT_EMPTY_PATH);
#endif
        if (linked == 0) {
            temp_ = name;  // fits the room reserved at the start
        } else {
            const int error = errno;
            TempFiles::Drop(slot_);
            slot_ = -1;
            if (error != EEXIST) failure = static_cast<Reason>(error);
        }
    }
    if (failure == 0 && temp_.empty()) failure = EEXIST;
    check(std::fclose(file_) == 0);
    file_ = nullptr;
    if (failure == 0) check(renameat(dir, temp_.c_str(), dir, name_.c_str()) == 0);
    if (failure != 0) {
        Abandon();
        return Fail(why, failure);
    }
    temp_.clear();
    TempFiles::Drop(slot_);
    slot_ = -1;
    // The new name is on the disk once its folder is.
    if (!durable_ || !folder_->readable_ || fsync(dir) == 0 || errno == EINVAL) return true;
    return Fail(why, LastReason());
}

}  // namespace platform

#endif  // !_WIN32
