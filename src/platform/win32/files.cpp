// The Windows file services: the kernel calls come from <windows.h> as they are, and the
// helpers below are built on them.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

std::FILE* StreamOver(HANDLE handle, int flags, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);  // closes the handle with it
    return file;
}

Reason NameFault(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0) return kErrorNoFileName;
    if (name[length - 1] == '.' || name[length - 1] == ' ') return kErrorAlteredName;
    for (const char* at = name; *at != '\0'; ++at) {
        if (static_cast<unsigned char>(*at) < 0x20 || std::strchr("<>:\"|?*/\\", *at) != nullptr) {
            return ERROR_INVALID_NAME;
        }
    }
    std::size_t stem = std::strcspn(name, ".");  // the device part; blanks before a dot go too
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    char upper[8] = {};
    if (stem >= sizeof upper) return 0;
    for (std::size_t i = 0; i < stem; ++i) upper[i] = AsciiUpper(name[i]);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (std::strcmp(upper, device) == 0) return kErrorReservedName;
    }
    const bool port = std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0;
    if (port && stem == 4 && upper[3] >= '0' && upper[3] <= '9') return kErrorReservedName;
    // COM and LPT with a superscript digit (UTF-8) are devices as well.
    if (port && stem == 5 && upper[3] == '\xc2' &&
        (upper[4] == '\xb9' || upper[4] == '\xb2' || upper[4] == '\xb3')) {
        return kErrorReservedName;
    }
    return 0;
}

namespace {

// Opens the folder at path and holds it without letting it be moved or deleted meanwhile;
// refuseLinks turns away a link or junction there (a reparse point) instead of following it.
HANDLE OpenFolderHandle(const std::string& path, bool refuseLinks, Reason* why) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileLong(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, flags);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(why, LastReason());
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (refuseLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        CloseHandle(handle);
        Fail(why, ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

Reason SearchFailure() {
    const DWORD code = GetLastError();
    return code == ERROR_NO_MORE_FILES ? 0 : code;
}

Folder::~Folder() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool Folder::Open(const char* path, Reason* why) {
    if (IsOpen() || path == nullptr || *path == '\0') return Fail(why, ERROR_PATH_NOT_FOUND);
    return WithMemory(why, [&] {
        // Held in the wide call's own form, which every name below it is added to as it is.
        std::wstring wide;
        std::string full;
        if (!WidePath(path, &wide, why)) return false;
        if (!Utf8Of(wide.c_str(), &full)) return Fail(why, ERROR_INVALID_NAME);
        if (full.back() != '\\') full += '\\';
        handle_ = OpenFolderHandle(full, false, why);
        if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
        return IsOpen();
    });
}

bool Folder::OpenBelow(const Folder& parent, const char* name, Reason* why) {
    if (IsOpen() || !parent.IsOpen() || name == nullptr) return Fail(why, ERROR_INVALID_NAME);
    if (const Reason fault = NameFault(name)) return Fail(why, fault);
    return WithMemory(why,
                      [&] {
                          std::string full = parent.path_ + name + '\\';
                          handle_ = OpenFolderHandle(full, true, why);
                          if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
                      }) &&
           IsOpen();
}

bool Folder::Holds(const char* name, std::int64_t* modified) const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    try {
        if (!IsOpen() || !GetFileAttributesExLong((path_ + name).c_str(), &data)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    // 100 ns ticks since 1601, to seconds since 1970.
    const std::uint64_t ticks = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                data.ftLastWriteTime.dwLowDateTime;
    if (modified != nullptr) *modified = static_cast<std::int64_t>(ticks / 10000000) - 11644473600;
    return true;
}

bool Folder::MakeBelow(const Folder& parent, const char* name, Reason* why) {
    if (name == nullptr || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return Fail(why, ERROR_INVALID_NAME);
    }
    Reason failure = 0;
    if (OpenBelow(parent, name, &failure)) return true;
    if (failure != ERROR_FILE_NOT_FOUND && failure != ERROR_PATH_NOT_FOUND) {
        return Fail(why, failure);
    }
    const bool made = WithMemory(why, [&] {
        // Made by another thread meanwhile is as good as made here.
        return CreateDirectoryA((parent.path_ + name).c_str(), nullptr) ||
               GetLastError() == ERROR_ALREADY_EXISTS || Fail(why, LastReason());
    });
    return made && OpenBelow(parent, name, why);
}

bool Folder::IsOpen() const {
    return handle_ != INVALID_HANDLE_VALUE;
}

bool Folder::Enter() const {
    return IsOpen() && SetCurrentDirectoryA(path_.c_str()) != 0;
}

bool MakeFolder(const char* path, Reason* why) {
    if (path == nullptr) return Fail(why, ERROR_INVALID_NAME);
    return CreateDirectoryA(path, nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS ||
           Fail(why, LastReason());
}

bool EnterFolder(const char* path, Reason* why) {
    return SetCurrentDirectoryA(path) != 0 || Fail(why, LastReason());
}

std::FILE* OpenRegularFile(const char* path, std::uint64_t* length, Reason* why,
                           FileIdentity* identity) {
    if (path == nullptr || *path == '\0') {
        Fail(why, ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. A device (NUL, CON, COM1)
    // or a pipe opens without waiting and is turned away by its type before any read.
    HANDLE handle =
        CreateFileLong(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(why, LastReason());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        !GetFileSizeEx(handle, &size) || size.QuadPart < 0) {
        CloseHandle(handle);
        Fail(why, kErrorNotRegularFile);
        return nullptr;
    }
    std::FILE* file = StreamOver(handle, _O_RDONLY | _O_BINARY, "rb");
    if (file == nullptr) {
        Fail(why, kErrorFailed);
        return nullptr;
    }
    if (length != nullptr) *length = static_cast<std::uint64_t>(size.QuadPart);
    if (identity != nullptr) {
        *identity = {info.dwVolumeSerialNumber,
                     std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, true};
    }
    return file;
}

std::FILE* OpenScratchFile(Reason* why) {
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > sizeof folder || GetTempFileNameA(folder, "zrl", 0, name) == 0) {
        Fail(why, LastReason());
        return nullptr;
    }
    // Made by GetTempFileNameA, opened again to be removed when its last handle closes.
    HANDLE handle =
        CreateFileLong(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(why, LastReason());
        DeleteFileLong(name);
        return nullptr;
    }
    std::FILE* file = StreamOver(handle, _O_RDWR | _O_BINARY, "w+b");
    if (file == nullptr) Fail(why, kErrorFailed);
    return file;
}

bool RegularFileLength(const char* path, std::uint64_t* length, Reason* why) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExLong(path, &info)) return Fail(why, LastReason());
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return Fail(why, kErrorNotRegularFile);
    }
    *length = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return true;
}

ModeAndTime FactsOf(DWORD attributes, FILETIME written) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    // FILETIME counts 100 ns from 1601-01-01.
    const std::uint64_t ticks = std::uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
    return {(readOnly ? 0444u : 0666u) | (folder ? 0111u : 0u),
            (static_cast<std::int64_t>(ticks) - 116444736000000000) * 100, true};
}

bool FileFacts(const char* path, std::uint32_t* mode, std::int64_t* mtimeNs, Reason* why) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExLong(path, &info)) return Fail(why, LastReason());
    const ModeAndTime facts = FactsOf(info.dwFileAttributes, info.ftLastWriteTime);
    *mode = facts.mode;
    *mtimeNs = facts.mtimeNs;
    return true;
}

std::size_t ReadBytes(std::FILE* file, void* bytes, std::size_t length, Reason* why) {
    SetLastError(0);
    const std::size_t got = std::fread(bytes, 1, length, file);
    if (got < length && std::ferror(file) != 0) Fail(why, LastReason());
    return got;
}

bool SkipBytes(std::FILE* file, std::uint64_t length, Reason* why) {
    return _fseeki64(file, static_cast<long long>(length), SEEK_CUR) == 0 ||
           Fail(why, LastReason());
}

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count, Reason* why) {
    if (file == nullptr) return Fail(why, ERROR_INVALID_HANDLE);
    // The stream's buffer gathers small pieces; a large one goes past it.
    for (std::size_t i = 0; i < count; ++i) {
        if (std::fwrite(pieces[i].bytes, 1, pieces[i].length, file) != pieces[i].length) {
            return Fail(why, LastReason());
        }
    }
    return true;
}

bool IsBrokenPipe(Reason code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA;
}

bool IsTerminal(std::FILE* stream) {
    // GetConsoleMode succeeds on a console only: never on a file, a pipe or NUL, which
    // _isatty would take for a terminal.
    if (stream == nullptr) return false;
    const std::intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

void ClearScreen() {
    if (!IsTerminal(stdout)) return;
    std::fflush(stdout);
    std::system("cls");
}

}  // namespace platform

#endif  // _WIN32
