// POSIX kinds of paths: what lstat tells, and a symbolic link's text.
#ifndef _WIN32

#include <sys/stat.h>

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
    return *kind != PathKind::kSymlink || ReadLink(path, target, why);
}

}  // namespace platform

#endif
