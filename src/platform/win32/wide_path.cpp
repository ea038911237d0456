// Windows paths of any length: the one conversion of a UTF-8 path to the wide "\\?\" form every
// call here takes, and the folder calls the layers above make, on it.
#ifdef _WIN32

#include <cstring>
#include <new>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* start) {
    return text.compare(0, std::wcslen(start), start) == 0;
}

}  // namespace

bool WidePath(const char* path, std::wstring* wide, Reason* why) {
    try {
        std::wstring given;
        if (path == nullptr || !WideOf(path, &given)) return Fail(why, ERROR_INVALID_NAME);
        for (wchar_t& c : given) c = c == L'/' ? L'\\' : c;
        // Already in the system's own form: a long path, or a device ("\\.\pipe\x").
        if (StartsWith(given, L"\\\\?\\") || StartsWith(given, L"\\\\.\\")) {
            *wide = std::move(given);
            return true;
        }
        // Made absolute against the current folder, "." and ".." resolved, which "\\?\" does not.
        std::wstring full(given.size() + MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()),
                                                  full.data(), nullptr);
            if (length == 0) return Fail(why, LastReason());
            if (length < full.size()) {
                full.resize(length);
                break;
            }
            full.assign(length + 1, L'\0');
        }
        if (StartsWith(full, L"\\\\.\\") || StartsWith(full, L"\\\\?\\")) {
            *wide = std::move(full);  // a device's name ("NUL" is "\\.\NUL")
        } else if (StartsWith(full, L"\\\\")) {
            *wide = L"\\\\?\\UNC\\" + full.substr(2);  // a share: \\server\share
        } else {
            *wide = L"\\\\?\\" + full;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
}

bool WideOf(const char* text, std::wstring* wide) {
    const int length = static_cast<int>(std::strlen(text));
    wide->clear();
    if (length == 0) return true;
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (needed <= 0) return false;
    wide->resize(static_cast<std::size_t>(needed));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, wide->data(), needed) ==
           needed;
}

bool Utf8Of(const wchar_t* wide, std::string* text) {
    const int length = static_cast<int>(std::wcslen(wide));
    text->clear();
    if (length == 0) return true;
    const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, nullptr, 0,
                                           nullptr, nullptr);
    if (needed <= 0) return false;
    text->resize(static_cast<std::size_t>(needed));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, text->data(), needed,
                               nullptr, nullptr) == needed;
}

const wchar_t* CurrentFolderForm(const wchar_t* wide) {
    // "\\?\C:\x" as "C:\x" where it fits, the form every system takes for its current folder.
    const std::size_t length = std::wcslen(wide);
    if (length > 6 && length - 4 < MAX_PATH - 2 && std::wcsncmp(wide, L"\\\\?\\", 4) == 0 &&
        wide[5] == L':') {
        return wide + 4;
    }
    return wide;
}

namespace {

// The room of a path converted without allocating: every path of ordinary length, so that
// clean-up after a failed allocation (a temporary file deleted, the current folder set back)
// still reaches its file.
constexpr int kShortPath = 1024;

// WidePath into out (kShortPath characters) with nothing allocated; false when the path does not
// fit or cannot be converted, and WidePath is to say why.
bool WideInPlace(const char* path, wchar_t* out) {
    wchar_t given[kShortPath];
    const int length = path == nullptr ? 0 : static_cast<int>(std::strlen(path));
    if (length == 0 || length >= kShortPath) return false;
    const int count =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, length, given, kShortPath - 1);
    if (count <= 0) return false;
    given[count] = L'\0';
    for (int i = 0; i < count; ++i) given[i] = given[i] == L'/' ? L'\\' : given[i];
    const auto starts = [](const wchar_t* text, const wchar_t* start) {
        return std::wcsncmp(text, start, std::wcslen(start)) == 0;
    };
    if (starts(given, L"\\\\?\\") || starts(given, L"\\\\.\\")) {
        std::wmemcpy(out, given, static_cast<std::size_t>(count) + 1);
        return true;
    }
    // The full path lands six characters in, room for "\\?\UNC\" over a share's leading "\\".
    const DWORD room = kShortPath - 6;
    const DWORD full = GetFullPathNameW(given, room, out + 6, nullptr);
    if (full == 0 || full >= room) return false;
    if (starts(out + 6, L"\\\\.\\") || starts(out + 6, L"\\\\?\\")) {
        std::wmemmove(out, out + 6, full + 1);
    } else if (starts(out + 6, L"\\\\")) {
        std::wmemcpy(out, L"\\\\?\\UNC\\", 8);
    } else {
        std::wmemmove(out + 4, out + 6, full + 1);
        std::wmemcpy(out, L"\\\\?\\", 4);
    }
    return true;
}

// Calls call with the wide form of path, or gives failed with the reason for GetLastError.
template <typename Result, typename Call>
Result OnWide(const char* path, Result failed, Call call) {
    wchar_t shortForm[kShortPath];
    if (WideInPlace(path, shortForm)) return call(shortForm);
    std::wstring wide;
    Reason failure = 0;
    if (!WidePath(path, &wide, &failure)) {
        SetLastError(failure);
        return failed;
    }
    return call(wide.c_str());
}

}  // namespace

HANDLE CreateFileLong(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return OnWide(path, INVALID_HANDLE_VALUE, [&](const wchar_t* wide) {
        return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
    });
}

BOOL DeleteFileLong(const char* path) {
    return OnWide(path, FALSE, [](const wchar_t* wide) { return DeleteFileW(wide); });
}

BOOL RemoveDirectoryLong(const char* path) {
    return OnWide(path, FALSE, [](const wchar_t* wide) { return RemoveDirectoryW(wide); });
}

DWORD GetFileAttributesLong(const char* path) {
    return OnWide(path, INVALID_FILE_ATTRIBUTES,
                  [](const wchar_t* wide) { return GetFileAttributesW(wide); });
}

BOOL GetFileAttributesExLong(const char* path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    return OnWide(path, FALSE, [&](const wchar_t* wide) {
        return GetFileAttributesExW(wide, GetFileExInfoStandard, data);
    });
}

BOOL SetFileAttributesLong(const char* path, DWORD attributes) {
    return OnWide(path, FALSE,
                  [&](const wchar_t* wide) { return SetFileAttributesW(wide, attributes); });
}

BOOL MoveFileExLong(const char* from, const char* to, DWORD flags) {
    return OnWide(from, FALSE, [&](const wchar_t* wideFrom) {
        return OnWide(to, FALSE,
                      [&](const wchar_t* wideTo) { return MoveFileExW(wideFrom, wideTo, flags); });
    });
}

BOOL CreateHardLinkLong(const char* path, const char* existing) {
    return OnWide(path, FALSE, [&](const wchar_t* wide) {
        return OnWide(existing, FALSE, [&](const wchar_t* wideExisting) {
            return CreateHardLinkW(wide, wideExisting, nullptr);
        });
    });
}

}  // namespace platform

namespace {

// A found item as the layers above read it (every name of 255 wide characters fits); false, with
// the reason for GetLastError, for a name that is not UTF-16.
BOOL TakeFound(const WIN32_FIND_DATAW& item, ZorelFindData* found) {
    std::string name;
    try {
        if (!platform::Utf8Of(item.cFileName, &name) || name.size() >= sizeof found->cFileName) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return FALSE;
        }
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(found->cFileName, name.c_str(), name.size() + 1);
    found->dwFileAttributes = item.dwFileAttributes;
    return TRUE;
}

}  // namespace

HANDLE ZorelFindFirstFile(LPCSTR pattern, ZorelFindData* found) {
    return platform::OnWide(pattern, INVALID_HANDLE_VALUE, [&](const wchar_t* wide) {
        WIN32_FIND_DATAW item{};
        HANDLE search = FindFirstFileW(wide, &item);
        if (search == INVALID_HANDLE_VALUE || TakeFound(item, found)) return search;
        const DWORD failure = GetLastError();
        FindClose(search);
        SetLastError(failure);
        return INVALID_HANDLE_VALUE;
    });
}

BOOL ZorelFindNextFile(HANDLE search, ZorelFindData* found) {
    WIN32_FIND_DATAW item{};
    return FindNextFileW(search, &item) && TakeFound(item, found);
}

BOOL ZorelSetCurrentDirectory(LPCSTR path) {
    return platform::OnWide(path, FALSE, [](const wchar_t* wide) {
        return SetCurrentDirectoryW(platform::CurrentFolderForm(wide));
    });
}

BOOL ZorelCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    return platform::OnWide(path, FALSE,
                            [&](const wchar_t* wide) { return CreateDirectoryW(wide, security); });
}

#endif  // _WIN32
