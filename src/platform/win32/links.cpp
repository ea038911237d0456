// Links on Windows: a symbolic link's text read through its reparse point, links made, and a
// folder's read-only attribute and time.
#ifdef _WIN32

#include <cstring>
#include <new>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

#ifndef FSCTL_GET_REPARSE_POINT  // <winioctl.h>, which <windows.h> leaves out when lean
#define FSCTL_GET_REPARSE_POINT 0x000900A8
#endif
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
    const DWORD there = GetFileAttributesLong(path.c_str());
    if (there == INVALID_FILE_ATTRIBUTES) return 0;
    const bool link = (there & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((there & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) return kErrorTargetIsFolder;
    if ((there & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesLong(path.c_str(), there & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool gone = (there & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryLong(path.c_str())
                                                              : DeleteFileLong(path.c_str());
    return gone ? 0 : LastReason();
}

// Makes a name by make(); with replace, a file or link already there is cleared first, else it
// stays and fails it. False with the reason.
template <typename Make>
bool MakeName(const std::string& path, bool replace, Make make, Reason* why) {
    for (int attempt = 0; !make(); ++attempt) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || !replace ||
            attempt == 8) {
            return Fail(why, error);
        }
        if (const Reason cleared = ClearName(path)) return Fail(why, cleared);
    }
    return true;
}

// Sets the modification time of what path names itself, a link not followed.
bool SetOwnTime(const std::string& path, std::int64_t mtimeNs, Reason* why) {
    HANDLE handle = CreateFileLong(
        path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return Fail(why, LastReason());
    const FILETIME time = FileTimeOf(mtimeNs);
    const bool timed = SetFileTime(handle, nullptr, nullptr, &time) != 0;
    const Reason failure = timed ? 0 : LastReason();
    CloseHandle(handle);
    return timed || Fail(why, failure);
}

// A symbolic link's reparse data: its tag, then (at 8) where its substitute and print names lie
// in the path buffer, its flags and (at 20) that buffer, of UTF-16 text.
constexpr std::size_t kNamesAt = 8, kFlagsAt = 16, kPathsAt = 20;
constexpr ULONG kRelative = 1;  // SYMLINK_FLAG_RELATIVE

std::uint16_t Field16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// The text of a link's reparse data of length bytes, as the link was made; false for anything
// but a symbolic link.
bool LinkText(const unsigned char* data, DWORD length, std::string* text) {
    ULONG tag = 0, flags = 0;
    if (length < kPathsAt) return false;
    std::memcpy(&tag, data, sizeof tag);
    std::memcpy(&flags, data + kFlagsAt, sizeof flags);
    if (tag != IO_REPARSE_TAG_SYMLINK) return false;
    std::uint16_t offset = Field16(data + kNamesAt + 4), size = Field16(data + kNamesAt + 6);
    if (size == 0) {  // no print name: the substitute one, "\??\C:\x" for an absolute target
        offset = Field16(data + kNamesAt);
        size = Field16(data + kNamesAt + 2);
    }
    if (size % 2 != 0 || kPathsAt + std::size_t{offset} + size > length) return false;
    std::wstring wide(size / 2, L'\0');
    std::memcpy(wide.data(), data + kPathsAt + offset, size);
    if (wide.compare(0, 4, L"\\??\\") == 0) wide.erase(0, 4);
    if ((flags & kRelative) != 0) {
        for (wchar_t& c : wide) c = c == L'\\' ? L'/' : c;
    }
    return Utf8Of(wide.c_str(), text);
}

}  // namespace

bool Folder::HoldsLink(const char* name) const {
    try {
        const DWORD there = GetFileAttributesLong((path_ + name).c_str());
        return IsOpen() && there != INVALID_FILE_ATTRIBUTES &&
               (there & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool Folder::SetFacts(std::uint32_t mode, std::int64_t mtimeNs, Reason* why) const {
    if (!IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    if (!SetOwnTime(path_, mtimeNs, why)) return false;
    const DWORD was = GetFileAttributesLong(path_.c_str());
    if (was == INVALID_FILE_ATTRIBUTES) return Fail(why, LastReason());
    const DWORD now =
        (mode & 0200) != 0 ? was & ~FILE_ATTRIBUTE_READONLY : was | FILE_ATTRIBUTE_READONLY;
    return now == was || SetFileAttributesLong(path_.c_str(), now) || Fail(why, LastReason());
}

bool Folder::MakeSymlink(const char* name, const std::string& text, std::int64_t mtimeNs,
                         bool replace, Reason* why) const {
    if (!IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    try {
        const std::string path = path_ + name;
        std::wstring widePath, wideText;
        if (!WidePath(path.c_str(), &widePath, why)) return false;
        if (!WideOf(text.c_str(), &wideText) || wideText.empty()) {
            return Fail(why, ERROR_INVALID_NAME);
        }
        for (wchar_t& c : wideText) c = c == L'/' ? L'\\' : c;
        // A link to a folder is made as one: the target is a folder, or is not there and ends in
        // a separator.
        const bool absolute = wideText[0] == L'\\' || (wideText.size() > 1 && wideText[1] == L':');
        const DWORD target = GetFileAttributesLong((absolute ? text : path_ + text).c_str());
        const bool folder = target != INVALID_FILE_ATTRIBUTES
                                ? (target & FILE_ATTRIBUTE_DIRECTORY) != 0
                                : wideText.back() == L'\\';
        const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                            (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
        if (!MakeName(
                path, replace,
                [&] { return CreateSymbolicLinkW(widePath.c_str(), wideText.c_str(), flags) != 0; },
                why)) {
            return false;
        }
        // A system that says it made the link without making one has not made it.
        const DWORD made = GetFileAttributesW(widePath.c_str());
        if (made == INVALID_FILE_ATTRIBUTES || (made & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            return Fail(why, ERROR_NOT_SUPPORTED);
        }
        return SetOwnTime(path, mtimeNs, why);
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
}

bool Folder::MakeHardLink(const char* name, const Folder& in, const char* from, bool replace,
                          Reason* why) const {
    if (!IsOpen() || !in.IsOpen()) return Fail(why, ERROR_INVALID_HANDLE);
    return WithMemory(why, [&] {
        const std::string path = path_ + name;
        const std::string target = in.path_ + from;
        return MakeName(
            path, replace, [&] { return CreateHardLinkLong(path.c_str(), target.c_str()) != 0; },
            why);
    });
}

bool ReadLink(const char* path, std::string* target, Reason* why) {
    std::string data;
    if (!WithMemory(why, [&] { data.resize(MAXIMUM_REPARSE_DATA_BUFFER_SIZE); })) return false;
    HANDLE handle = CreateFileLong(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return Fail(why, LastReason());
    DWORD length = 0;
    const bool read = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                      static_cast<DWORD>(data.size()), &length, nullptr) != 0;
    const Reason failure = read ? 0 : LastReason();
    CloseHandle(handle);
    if (!read) return Fail(why, failure);
    return WithMemory(why, [&] {
        return LinkText(reinterpret_cast<const unsigned char*>(data.data()), length, target) ||
               Fail(why, ERROR_NOT_A_REPARSE_POINT);
    });
}

}  // namespace platform

#endif  // _WIN32
