// Windows kinds of paths: what the attributes tell; a link's text is not read.
#ifdef _WIN32

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

bool KindOf(const char* path, PathKind* kind, std::string* target, Reason* why) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return Fail(why, LastReason());
    target->clear();
    const DWORD attributes = info.dwFileAttributes;
    *kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PathKind::kSymlink
            : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? PathKind::kFolder
                                                             : PathKind::kFile;
    return true;
}

}  // namespace platform

#endif
