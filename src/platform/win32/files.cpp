// The Windows file services: the kernel calls come from <windows.h> as they are, and the
// helpers below are built on them.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/win32/plain_name.h"

namespace platform {

namespace {

// Opens the folder at path and holds it without letting it be moved or deleted meanwhile;
// refuseLinks turns away a link or junction there (a reparse point) instead of following it.
HANDLE OpenFolderHandle(const std::string& path, bool refuseLinks, Reason* why) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle =
        CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(why, LastError());
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

bool IsPlainName(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || name[length - 1] == '.' || name[length - 1] == ' ') return false;
    for (const char* at = name; *at != '\0'; ++at) {
        if (static_cast<unsigned char>(*at) < 0x20 || std::strchr("<>:\"|?*/\\", *at) != nullptr) {
            return false;
        }
    }
    std::size_t stem = std::strcspn(name, ".");  // the device part; blanks before a dot go too
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    char upper[8] = {};
    if (stem >= sizeof upper) return true;
    for (std::size_t i = 0; i < stem; ++i) {
        const char c = name[i];
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (std::strcmp(upper, device) == 0) return false;
    }
    const bool port = std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0;
    if (port && stem == 4 && upper[3] >= '0' && upper[3] <= '9') return false;
    // COM and LPT with a superscript digit (UTF-8) are devices as well.
    if (port && stem == 5 && upper[3] == '\xc2' &&
        (upper[4] == '\xb9' || upper[4] == '\xb2' || upper[4] == '\xb3')) {
        return false;
    }
    return true;
}

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

Reason SearchFailure() {
    const DWORD code = GetLastError();
    return code == ERROR_NO_MORE_FILES ? 0 : code;
}

Folder::~Folder() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool Folder::Open(const char* path, Reason* why) {
    if (IsOpen() || path == nullptr || *path == '\0') return Fail(why, ERROR_PATH_NOT_FOUND);
    try {
        const DWORD needed = GetFullPathNameA(path, 0, nullptr, nullptr);
        if (needed == 0) return Fail(why, LastError());
        std::string full(needed + 1, '\0');
        const DWORD length = GetFullPathNameA(path, needed, full.data(), nullptr);
        if (length == 0 || length >= needed) return Fail(why, LastError());
        full.resize(length);
        if (full.back() != '\\' && full.back() != '/') full += '\\';
        handle_ = OpenFolderHandle(full, false, why);
        if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
    return IsOpen();
}

bool Folder::OpenBelow(const Folder& parent, const char* name, Reason* why) {
    if (IsOpen() || !parent.IsOpen() || name == nullptr || !IsPlainName(name)) {
        return Fail(why, ERROR_INVALID_NAME);
    }
    try {
        std::string full = parent.path_ + name + '\\';
        handle_ = OpenFolderHandle(full, true, why);
        if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
    } catch (const std::bad_alloc&) {
        return Fail(why, kErrorNoMemory);
    }
    return IsOpen();
}

bool Folder::IsOpen() const {
    return handle_ != INVALID_HANDLE_VALUE;
}

bool Folder::Enter() const {
    return IsOpen() && SetCurrentDirectoryA(path_.c_str()) != 0;
}

std::string CurrentFolder() {
    std::string folder;
    DWORD needed = GetCurrentDirectoryA(0, nullptr);  // the length with its NUL
    while (needed != 0) {
        try {
            folder.resize(needed);
        } catch (const std::bad_alloc&) {
            return std::string();  // out of memory: the folder cannot be told
        }
        const DWORD length = GetCurrentDirectoryA(needed, folder.data());
        if (length == 0) break;
        if (length < needed) {
            folder.resize(length);
            return folder;
        }
        needed = length;  // the folder changed and grew in between: once more, larger
    }
    return std::string();
}

bool EnterFolder(const char* path, Reason* why) {
    return SetCurrentDirectoryA(path) != 0 || Fail(why, LastError());
}

std::FILE* OpenRegularFile(const char* path, std::uint64_t* length, Reason* why) {
    if (path == nullptr || *path == '\0') {
        Fail(why, ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. A device (NUL, CON, COM1)
    // or a pipe opens without waiting and is turned away by its type before any read.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(why, LastError());
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
    return file;
}

bool RegularFileLength(const char* path, std::uint64_t* length, Reason* why) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return Fail(why, LastError());
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return Fail(why, kErrorNotRegularFile);
    }
    *length = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return true;
}

std::size_t ReadBytes(std::FILE* file, void* bytes, std::size_t length, Reason* why) {
    SetLastError(0);
    const std::size_t got = std::fread(bytes, 1, length, file);
    if (got < length && std::ferror(file) != 0) Fail(why, LastError());
    return got;
}

bool SkipBytes(std::FILE* file, std::uint64_t length, Reason* why) {
    return _fseeki64(file, static_cast<long long>(length), SEEK_CUR) == 0 || Fail(why, LastError());
}

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count, Reason* why) {
    if (file == nullptr) return Fail(why, ERROR_INVALID_HANDLE);
    // Small pieces (record heads, small entries) are gathered and go out together; a large one
    // goes straight from where it lies. Without memory for the buffer, each goes on its own.
    constexpr std::size_t kGathered = 64 << 10;
    const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kGathered]);
    std::size_t held = 0;
    auto flush = [&] {
        const bool written = held == 0 || std::fwrite(buffer.get(), 1, held, file) == held;
        held = 0;
        return written;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const WritePiece& piece = pieces[i];
        if (buffer != nullptr && piece.length <= kGathered / 4) {
            if (piece.length > kGathered - held && !flush()) return Fail(why, LastError());
            std::memcpy(buffer.get() + held, piece.bytes, piece.length);
            held += piece.length;
            continue;
        }
        if (!flush() || std::fwrite(piece.bytes, 1, piece.length, file) != piece.length) {
            return Fail(why, LastError());
        }
    }
    return flush() || Fail(why, LastError());
}

bool Flush(std::FILE* file, Reason* why) {
    return std::fflush(file) == 0 || Fail(why, LastError());
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
