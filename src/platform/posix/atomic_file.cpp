// Whole-or-nothing file replacement on POSIX: a nameless file (Linux O_TMPFILE), or else a new
// ".zorel-*.tmp" beside the target, linked to the target's name when nothing is there and renamed
// over the file that is; a FIFO or device a named path leads to is written straight into.
#ifndef _WIN32

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/internal.h"

namespace platform {

namespace {

std::atomic<bool> gNameless{true};
// A nameless file is linked through its descriptor where the kernel allows it (AT_EMPTY_PATH),
// else through /proc; once refused, the first way is not tried again.
std::atomic<bool> gEmptyPathLinks{true};

// What stands at a target that is neither a regular file nor a link.
Reason KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return kErrorTargetIsFolder;
    if (S_ISFIFO(mode)) return kErrorTargetIsFifo;
    if (S_ISSOCK(mode)) return kErrorTargetIsSocket;
    return kErrorTargetIsDevice;
}

// Links the nameless file open at fd as name in dir; 0 or errno (EEXIST: the name is taken).
Reason LinkNameless(int fd, int dir, const char* name) {
#ifdef AT_EMPTY_PATH
    if (gEmptyPathLinks.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return LastReason();
        gEmptyPathLinks.store(false, std::memory_order_relaxed);
    }
#endif
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : LastReason();
}

// The path target's links lead to, followed one by one as the system follows them: where the
// file they end at is, or is to be made.
bool FollowLinks(const char* target, std::string* path, Reason* why) {
    *path = target;
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (lstat(path->c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        char to[PATH_MAX];
        const ssize_t length = readlink(path->c_str(), to, sizeof to);
        if (hops == 40) return Fail(why, ELOOP);
        if (length < 0) return Fail(why, LastReason());
        if (length == 0 || static_cast<std::size_t>(length) == sizeof to) {
            return Fail(why, length == 0 ? ENOENT : ENAMETOOLONG);
        }
        // A relative link is read from the folder that holds it.
        const std::size_t folder = to[0] == '/' ? 0 : path->rfind('/') + 1;
        path->replace(folder, std::string::npos, to, static_cast<std::size_t>(length));
    }
}

}  // namespace

void TempFiles::RemoveOne(const Folder& folder, const char* name) {
    unlinkat(folder.fd_, name, 0);
}

void UseNamelessTempFiles(bool use) {
    gNameless = use;
}

AtomicFile::AtomicFile(const char* target, bool durable) : durable_(durable) {
    if (target == nullptr || *target == '\0') {
        reason_ = ENOENT;
        return;
    }
    // What the path leads to, as the system follows it (/dev/stdout and /proc's links too).
    struct stat led {};
    const bool found = stat(target, &led) == 0;
    if (found && (S_ISFIFO(led.st_mode) || S_ISCHR(led.st_mode))) {
        // Straight in, in order; the open waits for a FIFO's reader, as a shell's would.
        const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        struct stat opened {};
        if (fd < 0 || fstat(fd, &opened) != 0 ||
            !(S_ISFIFO(opened.st_mode) || S_ISCHR(opened.st_mode))) {
            reason_ = fd < 0 ? LastReason() : kErrorFailed;  // changed since it was looked at
            if (fd >= 0) close(fd);
            return;
        }
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr) {
            reason_ = LastReason();
            close(fd);
            return;
        }
        std::setvbuf(file_, nullptr, _IONBF, 0);
        straight_ = true;
        return;
    }
    if (found && !S_ISREG(led.st_mode)) {
        reason_ = KindOf(led.st_mode);
        return;
    }
    std::string folder;
    try {
        std::string path;
        if (!FollowLinks(target, &path, &reason_)) return;
        SplitPath(path, &folder, &name_);
    } catch (const std::bad_alloc&) {
        reason_ = kErrorNoMemory;
        return;
    }
    if (name_.empty() || name_ == "." || name_ == "..") {
        reason_ = kErrorNoFileName;
        return;
    }
    if (!own_.Open(folder.c_str(), &reason_)) return;
    folder_ = &own_;
    // The file the links end at, which lends the new one its mode and owner.
    struct stat there {};
    if (fstatat(own_.fd_, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
        reason_ = errno != ENOENT ? LastReason() : 0;
        there_ = There::kNothing;
    } else if (S_ISREG(there.st_mode)) {
        there_ = There::kFile;
        mode_ = there.st_mode & 07777;
        owner_ = there.st_uid;
        group_ = there.st_gid;
    } else if (!S_ISLNK(there.st_mode)) {
        reason_ = KindOf(there.st_mode);
    }
    // Reached through a link the path's own text cannot follow (a /proc link to a removed file).
    if (reason_ == 0 && found &&
        (there_ != There::kFile || there.st_dev != led.st_dev || there.st_ino != led.st_ino)) {
        reason_ = kErrorFailed;
    }
    if (reason_ == 0) Start();
}

AtomicFile::AtomicFile(StandardOutput) : straight_(true) {
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    file_ = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (file_ == nullptr) {
        reason_ = LastReason();
        if (fd >= 0) close(fd);
        return;
    }
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

void AtomicFile::Start() {
    const int dir = folder_ != nullptr ? folder_->fd_ : -1;
    if (name_.empty() || name_ == "." || name_ == "..") return Refuse(kErrorNoFileName);
    if (dir < 0 || name_.find('/') != std::string::npos) return Refuse(EINVAL);
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
    Reason failure = 0;
    if (fd < 0) {
        NameChange change;
        for (int attempt = 0; fd < 0 && failure == 0 && attempt < 100; ++attempt) {
            char name[48];
            TempFiles::Name(name);
            slot_ = TempFiles::Add(*folder_, name);
            if (slot_ < 0) {
                failure = EMFILE;
                break;
            }
            fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0) {
                temp_ = name;  // fits the room reserved above
                break;
            }
            if (errno != EEXIST) failure = LastReason();
            TempFiles::Drop(slot_);
            slot_ = -1;
        }
    }
    if (fd < 0) return Refuse(failure != 0 ? failure : EEXIST);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        const Reason why = LastReason();
        close(fd);
        return Refuse(why);
    }
    // Writers hand over whole blocks: each goes to the file in one call, not through a buffer.
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

void AtomicFile::Describe(std::uint32_t mode, std::int64_t mtimeNs) {
    described_ = true;
    describedMode_ = mode & 07777;
    mtimeNs_ = mtimeNs;
    // Never wider than it is to be while it is written; the commit sets the whole mode where
    // the file's own differs, which for most files it does not (a chmod costs an inode write).
    if (file_ == nullptr || straight_) return;
    // Every file of one folder is made with one mode, so one look serves the folder's files.
    madeMode_ = folder_->newFileMode_.load(std::memory_order_relaxed);
    struct stat made {};
    if (madeMode_ == UINT32_MAX && fstat(fileno(file_), &made) == 0) {
        madeMode_ = made.st_mode & 07777;
        folder_->newFileMode_.store(madeMode_, std::memory_order_relaxed);
    }
    if ((madeMode_ & ~describedMode_ & 0777) != 0 &&
        fchmod(fileno(file_), static_cast<mode_t>(describedMode_ & 0777)) == 0) {
        madeMode_ = describedMode_ & 0777;
    }
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (temp_.empty() && slot_ < 0) return;
    NameChange change;
    if (!temp_.empty()) unlinkat(folder_->fd_, temp_.c_str(), 0);
    temp_.clear();
    TempFiles::Drop(slot_);
    slot_ = -1;
}

bool AtomicFile::Commit(Reason* why) {
    if (file_ == nullptr) return Fail(why, reason_);
    Reason failure = 0;
    auto check = [&failure](bool done) {
        if (!done && failure == 0) failure = LastReason();
        return failure == 0;
    };
    check(std::fflush(file_) == 0 && std::ferror(file_) == 0);
    if (straight_) {
        check(std::fclose(file_) == 0);
        file_ = nullptr;
        return failure == 0 || Fail(why, failure);
    }
    const int fd = fileno(file_);
    // A described mode, whole now that the writes are done, and the time, after the last write.
    if (failure == 0 && described_) {
        const std::uint32_t mode = describedMode_ & KeptModeBits();
        std::int64_t seconds = 0;
        long rest = 0;
        SplitTime(mtimeNs_, &seconds, &rest);
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), rest}};
        if (mode != madeMode_) check(fchmod(fd, static_cast<mode_t>(mode)) == 0);
        check(futimens(fd, times) == 0);
    }
    // The replaced file's owner (for root), then its mode: after the writes, which may clear a
    // set-user-ID bit, and after the owner, whose change does.
    struct stat made {};
    if (failure == 0 && !described_ && mode_ >= 0 && IsRoot() && fstat(fd, &made) == 0 &&
        (made.st_uid != owner_ || made.st_gid != group_)) {
        check(fchown(fd, owner_, group_) == 0);
    }
    if (failure == 0 && !described_ && mode_ >= 0)
        check(fchmod(fd, static_cast<mode_t>(mode_)) == 0);
    if (failure == 0 && durable_) check(fsync(fd) == 0);
    // The stream is closed, and its close checked, before the file takes the target's name: a
    // write-back error (NFS, a quota) is told there. A nameless file keeps a second descriptor
    // to be linked through, closed and checked once it has a name and before that name replaces
    // anything.
    int nameless = -1;
    if (failure == 0 && temp_.empty()) check((nameless = fcntl(fd, F_DUPFD_CLOEXEC, 0)) >= 0);
    check(std::fclose(file_) == 0);
    file_ = nullptr;
    if (failure == 0) failure = PutInPlace(&nameless);
    if (nameless >= 0) close(nameless);
    if (failure != 0) {
        Abandon();
        return Fail(why, failure);
    }
    // The new name is on the disk once its folder is.
    if (!durable_ || !folder_->readable_ || fsync(folder_->fd_) == 0 || errno == EINVAL) {
        return true;
    }
    return Fail(why, LastReason());
}

Reason AtomicFile::PutInPlace(int* nameless) {
    const int dir = folder_->fd_;
    const int fd = *nameless;
    // The nameless file's descriptor given up once the file has a name: its close checked.
    auto release = [nameless]() -> Reason {
        const int open = *nameless;
        *nameless = -1;
        return open < 0 || close(open) == 0 ? 0 : LastReason();
    };
    // A named file takes the target's name as a second link, then gives up its own.
    auto linkNamed = [&]() -> Reason {
        NameChange change;
        if (linkat(dir, temp_.c_str(), dir, name_.c_str(), 0) != 0) return LastReason();
        unlinkat(dir, temp_.c_str(), 0);
        temp_.clear();
        TempFiles::Drop(slot_);
        slot_ = -1;
        return 0;
    };
    // The replaced file's owner (for root), then its mode, as at the commit.
    auto adopt = [&](const struct stat& there) -> bool {
        const mode_t mode = there.st_mode & 07777;
        if (fd >= 0) {
            return (!IsRoot() || fchown(fd, there.st_uid, there.st_gid) == 0) &&
                   fchmod(fd, mode) == 0;
        }
        return (!IsRoot() || fchownat(dir, temp_.c_str(), there.st_uid, there.st_gid,
                                      AT_SYMLINK_NOFOLLOW) == 0) &&
               fchmodat(dir, temp_.c_str(), mode, 0) == 0;
    };
    if (keep_) {  // the name taken only while nothing holds it
        const Reason linked = fd >= 0 ? LinkNameless(fd, dir, name_.c_str()) : linkNamed();
        if (linked == 0) {
            const Reason closed = release();
            if (closed != 0) unlinkat(dir, name_.c_str(), 0);
            return closed;
        }
        if (linked == EEXIST || fd >= 0) return linked;
#ifdef RENAME_NOREPLACE
        // A file system without links: renamed, never over a name.
        NameChange change;
        if (renameat2(dir, temp_.c_str(), dir, name_.c_str(), RENAME_NOREPLACE) != 0) {
            return LastReason();
        }
        temp_.clear();
        TempFiles::Drop(slot_);
        slot_ = -1;
        return 0;
#else
        return linked;
#endif
    }
    bool link = there_ != There::kFile;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Nothing there, as far as is known: the whole file takes the name at once.
        if (link) {
            const Reason linked = fd >= 0 ? LinkNameless(fd, dir, name_.c_str()) : linkNamed();
            if (linked == 0) {
                const Reason closed = release();
                if (closed != 0) unlinkat(dir, name_.c_str(), 0);  // the name made just now
                return closed;
            }
            if (linked != EEXIST && fd >= 0) return linked;
            link = linked == EEXIST;  // else a file system without links: renamed instead
        }
        // Something is there: a regular file lends the new one its mode and owner, a link is
        // replaced as a name, anything else stays.
        struct stat there {};
        const bool present = fstatat(dir, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
        if (!present && errno != ENOENT) return LastReason();
        if (!present && link) continue;  // gone meanwhile
        if (present && !S_ISREG(there.st_mode) && !S_ISLNK(there.st_mode)) {
            return KindOf(there.st_mode);
        }
        if (present && S_ISREG(there.st_mode) && there_ != There::kFile && !described_ &&
            !adopt(there)) {
            return LastReason();
        }
        // A nameless file is given a temporary name first (a link can be made to a new name
        // only), and renamed over the target.
        NameChange change;
        Reason failure = 0;
        for (int tries = 0; temp_.empty() && failure == 0 && tries < 100; ++tries) {
            char name[48];
            TempFiles::Name(name);
            slot_ = TempFiles::Add(*folder_, name);
            if (slot_ < 0) return EMFILE;
            failure = LinkNameless(fd, dir, name);
            if (failure == 0) {
                temp_ = name;  // fits the room reserved at the start
                failure = release();
            } else {
                TempFiles::Drop(slot_);
                slot_ = -1;
                if (failure == EEXIST) failure = 0;
            }
        }
        if (failure == 0 && temp_.empty()) failure = EEXIST;
        if (failure == 0 && renameat(dir, temp_.c_str(), dir, name_.c_str()) != 0) {
            failure = LastReason();
        }
        if (failure != 0 && !temp_.empty()) unlinkat(dir, temp_.c_str(), 0);
        temp_.clear();
        TempFiles::Drop(slot_);
        slot_ = -1;
        return failure;
    }
    return EEXIST;
}

}  // namespace platform

#endif  // !_WIN32
