// One writer at a time on POSIX: flock on a file beside the pack, removed by its holder while
// held; file stamps; which process a temporary file's name speaks of, and whether it ended.
#ifndef _WIN32

#include "platform/lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/internal.h"

namespace platform {

namespace {

// The first line of a small file into text (of room bytes, ending in a NUL): its length, 0 when
// it cannot be read. Allocates nothing: a temporary file's name is made while names change.
std::size_t FirstLine(const char* path, char* text, std::size_t room) {
    text[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, text, room - 1);
    close(fd);
    if (got <= 0) return 0;
    text[got] = '\0';
    const std::size_t length = std::strcspn(text, "\n");
    text[length] = '\0';
    return length;
}

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The process id the lock file at fd holds; 0 when it holds none.
long HolderIn(int fd) {
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? std::strtol(text, nullptr, 10) : 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool PackLock::Take(const char* path, double seconds, Reason* why, long* holder) {
    Release();
    if (holder != nullptr) *holder = 0;
    if (path == nullptr || *path == '\0') return Fail(why, ENOENT);
    struct stat led {};
    if (stat(path, &led) == 0 && (S_ISFIFO(led.st_mode) || S_ISCHR(led.st_mode))) return true;
    std::string lock;
    const bool named = WithMemory(why, [&] {
        // The pack's links are followed, so that every name of one pack takes one lock.
        char* real = realpath(path, nullptr);
        lock = LockPathOf(real != nullptr ? real : path);
        std::free(real);
    });
    if (!named) return false;
    const double deadline = Now() + seconds;
    int fd = -1;
    for (;;) {
        if (fd < 0) fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(why, LastReason());
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Taken; unless its holder removed it meanwhile, and another may be made there.
            struct stat held {
            }, named{};
            if (fstat(fd, &held) == 0 && stat(lock.c_str(), &named) == 0 && SameFile(held, named)) {
                break;
            }
            close(fd);
            fd = -1;
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const Reason failure = LastReason();
            close(fd);
            return Fail(why, failure);
        }
        if (Now() >= deadline) {
            if (holder != nullptr) *holder = HolderIn(fd);
            close(fd);
            return Fail(why, kErrorBusy);
        }
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%ld\n", TempFiles::ProcessId());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
        const Reason failure = LastReason();
        unlink(lock.c_str());
        close(fd);
        return Fail(why, failure);
    }
    fd_ = fd;
    path_ = std::move(lock);
    ClearStaleTempFilesBeside(path_);
    return true;
}

void PackLock::Release() {
    if (fd_ < 0) return;
    // Removed while it is held: a writer that opened it meanwhile finds it gone once it has it.
    struct stat held {
    }, named{};
    if (fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 && SameFile(held, named)) {
        unlink(path_.c_str());
    }
    close(fd_);
    fd_ = -1;
    path_.clear();
}

FileStamp StampOf(const char* path) {
    struct stat info {};
    FileStamp stamp;
    if (path == nullptr || stat(path, &info) != 0) return stamp;
    stamp.known = true;
    stamp.volume = info.st_dev;
    stamp.index = info.st_ino;
    stamp.length = static_cast<std::uint64_t>(info.st_size);
    stamp.changed = static_cast<std::uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                    static_cast<std::uint64_t>(info.st_mtim.tv_nsec);
    return stamp;
}

std::uint32_t TempFiles::SystemTag() {
    // This boot of this system, in this process-id space: where a process id means one process.
    static const std::uint32_t tag = [] {
        char text[160] = {};
        const std::size_t boot = FirstLine("/proc/sys/kernel/random/boot_id", text, 64);
        if (boot == 0) return std::uint32_t{0};
        const ssize_t space = readlink("/proc/self/ns/pid", text + boot, sizeof text - boot - 1);
        return NameHash(text, boot + static_cast<std::size_t>(space > 0 ? space : 0));
    }();
    return tag;
}

std::uint32_t TempFiles::StartOf(long pid) {
    char path[64], line[1024];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    if (FirstLine(path, line, sizeof line) == 0) return 0;
    // The clock ticks after boot at which it started: the 22nd field, the 20th after the name.
    const char* at = std::strrchr(line, ')');
    for (int field = 3; field < 22 && at != nullptr; ++field) at = std::strchr(at + 1, ' ');
    if (at == nullptr) return 0;
    const unsigned long long ticks = std::strtoull(at + 1, nullptr, 10);
    return static_cast<std::uint32_t>(ticks) | 1u;  // never 0, which means unknown
}

bool TempFiles::Ended(long pid, std::uint32_t start) {
    if (pid <= 0 || pid > INT_MAX) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
    const std::uint32_t now = StartOf(pid);
    return now != 0 && now != start;
}

void ClearStaleTempFiles(const char* folder) {
    if (folder == nullptr || TempFiles::SystemTag() == 0) return;
    DIR* listing = opendir(folder);
    if (listing == nullptr) return;
    const int fd = dirfd(listing);
    while (const dirent* item = readdir(listing)) {
        if (TempFiles::Stale(item->d_name)) {
            NameChange change;
            unlinkat(fd, item->d_name, 0);
        }
    }
    closedir(listing);
}

}  // namespace platform

#endif  // !_WIN32
