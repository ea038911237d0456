// What an unpack restores beside a file's bytes on POSIX: links, and a folder's mode and time.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

bool IsRoot() {
    static const bool root = geteuid() == 0;
    return root;
}

namespace {

timespec TimeSpec(std::int64_t ns) {
    std::int64_t seconds = 0;
    long rest = 0;
    SplitTime(ns, &seconds, &rest);
    return {static_cast<time_t>(seconds), rest};
}

// Clears the way for a new name in dir: a file or link there is removed; 0, or why not.
Reason ClearName(int dir, const char* name) {
    struct stat there {};
    if (fstatat(dir, name, &there, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : LastReason();
    }
    if (S_ISDIR(there.st_mode)) return kErrorTargetIsFolder;
    return unlinkat(dir, name, 0) == 0 || errno == ENOENT ? 0 : LastReason();
}

// Makes a name in dir by make(); with replace, a file or link already there is cleared first,
// else it stays and fails it with EEXIST.
template <typename Make>
bool MakeName(int dir, const char* name, bool replace, Make make, Reason* why) {
    for (int attempt = 0; !make(); ++attempt) {
        if (errno != EEXIST || !replace || attempt == 8) return Fail(why, LastReason());
        if (const Reason cleared = ClearName(dir, name)) return Fail(why, cleared);
    }
    return true;
}

}  // namespace

bool Folder::HoldsLink(const char* name) const {
    struct stat there {};
    return fd_ >= 0 && fstatat(fd_, name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(there.st_mode);
}

bool Folder::SetFacts(std::uint32_t mode, std::int64_t mtimeNs, Reason* why) const {
    const timespec times[2] = {{0, UTIME_OMIT}, TimeSpec(mtimeNs)};
    return (fd_ >= 0 && fchmod(fd_, static_cast<mode_t>(mode & KeptModeBits())) == 0 &&
            futimens(fd_, times) == 0) ||
           Fail(why, fd_ < 0 ? EBADF : LastReason());
}

bool Folder::MakeSymlink(const char* name, const std::string& text, std::int64_t mtimeNs,
                         bool replace, Reason* why) const {
    if (fd_ < 0) return Fail(why, EBADF);
    if (!MakeName(
            fd_, name, replace, [&] { return symlinkat(text.c_str(), fd_, name) == 0; }, why)) {
        return false;
    }
    const timespec times[2] = {{0, UTIME_OMIT}, TimeSpec(mtimeNs)};
    utimensat(fd_, name, times, AT_SYMLINK_NOFOLLOW);  // a system may keep no time of a link
    return true;
}

bool Folder::MakeHardLink(const char* name, const Folder& in, const char* from, bool replace,
                          Reason* why) const {
    if (fd_ < 0 || in.fd_ < 0) return Fail(why, EBADF);
    return MakeName(
        fd_, name, replace, [&] { return linkat(in.fd_, from, fd_, name, 0) == 0; }, why);
}

}  // namespace platform

#endif  // !_WIN32
