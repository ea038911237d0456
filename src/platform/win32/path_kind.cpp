// Windows kinds of paths: what the attributes tell, and a symbolic link's text.
#ifdef _WIN32

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

bool KindOf(const char* path, PathKind* kind, std::string* target, Reason* why) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExLong(path, &info)) return Fail(why, LastReason());
    target->clear();
    const DWORD attributes = info.dwFileAttributes;
    *kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PathKind::kSymlink
            : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? PathKind::kFolder
                                                             : PathKind::kFile;
    // Another kind of reparse point (a junction, a mount point) has no text of its own.
    if (*kind == PathKind::kSymlink && !ReadLink(path, target)) target->clear();
    return true;
}

}  // namespace platform

#endif
