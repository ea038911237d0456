// What an unpack restores beside a file's bytes on Windows: links, and a folder's read-only
// attribute and time.
#ifdef _WIN32

#include <new>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

// Nanoseconds since 1970 as 100 ns ticks since 1601.
FILETIME FileTimeOf(std::int64_t ns) {
    const std::uint64_t ticks = TicksOf(ns);
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Clears the way for a new name: a file or link there is removed; 0, or why not.
Reason ClearName(const std::string& path) {
    const DWORD there = GetFileAttributesA(path.c_str());
    if (there == INVALID_FILE_ATTRIBUTES) return 0;
    const bool link = (there & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((there & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) return kErrorTargetIsFolder;
    if ((there & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesA(path.c_str(), there & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool gone = (there & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path.c_str())
                                                              : DeleteFileA(path.c_str());
    return gone ? 0 : LastReason();
}

// Makes a name by make(), clearing a file or link already there first; false with the reason.
template <typename Make>
bool MakeReplacing(const std::string& path, Make make, Reason* why) {
    for (int attempt = 0; !make(); ++attempt) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || attempt == 8) {
            return Fail(why, error);
        }
        if (const Reason cleared = ClearName(path)) return Fail(why, cleared);
    }
    return true;
}

}  // namespace

bool Folder::HoldsLink(const char* name) const {
    try {
        const DWORD there = GetFileAttributesA((path_ + name).c_str());
        return IsOpen() && there != INVALID_FILE_ATTRIBUTES &&
               (there & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool Folder::SetFacts(std::uint32_t mode, std::int64_t mtimeNs, Reason* why) const {
    if (!IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    HANDLE handle = CreateFileA(path_.c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(why, LastReason());
    const FILETIME time = FileTimeOf(mtimeNs);
    const bool timed = SetFileTime(handle, nullptr, nullptr, &time) != 0;
    const Reason failure = timed ? 0 : LastReason();
    CloseHandle(handle);
    if (!timed) return Fail(why, failure);
    const DWORD was = GetFileAttributesA(path_.c_str());
    if (was == INVALID_FILE_ATTRIBUTES) return Fail(why, LastReason());
    const DWORD now =
        (mode & 0200) != 0 ? was & ~FILE_ATTRIBUTE_READONLY : was | FILE_ATTRIBUTE_READONLY;
    return now == was || SetFileAttributesA(path_.c_str(), now) || Fail(why, LastReason());
}

bool Folder::MakeSymlink(const char* name, const std::string& text, std::int64_t /*mtimeNs*/,
                         Reason* why) const {
    if (!IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    try {
        const std::string path = path_ + name;
        return MakeReplacing(
            path,
            [&] {
                return CreateSymbolicLinkA(path.c_str(), text.c_str(),
                                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
            },
            why);
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
}

bool Folder::MakeHardLink(const char* name, const Folder& in, const char* from, Reason* why) const {
    if (!IsOpen() || !in.IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    try {
        const std::string path = path_ + name;
        const std::string target = in.path_ + from;
        return MakeReplacing(
            path, [&] { return CreateHardLinkA(path.c_str(), target.c_str(), nullptr) != 0; }, why);
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
}

}  // namespace platform

#endif  // _WIN32
