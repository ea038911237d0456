// POSIX kinds of paths: what lstat tells, and a symbolic link's text.
#ifndef _WIN32

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

bool KindOf(const char* path, PathKind* kind, std::string* target, Reason* why) {
    struct stat info {};
    if (lstat(path, &info) != 0) return Fail(why, LastReason());
    target->clear();
    *kind = S_ISREG(info.st_mode)   ? PathKind::kFile
            : S_ISDIR(info.st_mode) ? PathKind::kFolder
            : S_ISLNK(info.st_mode) ? PathKind::kSymlink
                                    : PathKind::kOther;
    if (*kind != PathKind::kSymlink) return true;
    std::vector<char> text(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t length = readlink(path, text.data(), text.size());
    if (length < 0) return Fail(why, LastReason());
    target->assign(text.data(), static_cast<std::size_t>(length));
    return true;
}

}  // namespace platform

#endif
