// The Windows side of the platform layer: the kernel calls come from <windows.h> as they are,
// and the helpers below are built on them.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace {

// A stdio stream over an open file handle; the stream owns the handle from then on. On
// failure the handle is closed.
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

// The part of path up to and including its last separator or drive colon: "" for a bare
// name, so that the name alone lands in the current folder of the right drive.
std::string FolderPrefixOf(const char* path) {
    const char* end = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/' || *at == ':') end = at + 1;
    }
    return std::string(path, end);
}

}  // namespace

namespace platform {

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

std::FILE* OpenRegularFile(const char* path, std::uint64_t* length) {
    if (path == nullptr || *path == '\0') return nullptr;
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open. A device (NUL, CON, COM1)
    // or a pipe opens without waiting and is turned away by its type before any read.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        !GetFileSizeEx(handle, &size) || size.QuadPart < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = StreamOver(handle, _O_RDONLY | _O_BINARY, "rb");
    if (file == nullptr) return nullptr;
    if (length != nullptr) *length = static_cast<std::uint64_t>(size.QuadPart);
    return file;
}

std::FILE* CreateTempBeside(const char* target, std::string* tempPath) {
    if (target == nullptr || *target == '\0' || tempPath == nullptr) return nullptr;
    static std::atomic<unsigned> serial{0};
    std::string folder;
    std::string candidate;
    try {
        folder = FolderPrefixOf(target);
        candidate.reserve(folder.size() + 64);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".zorel-%lu-%u.tmp",
                      static_cast<unsigned long>(GetCurrentProcessId()), serial.fetch_add(1));
        candidate.assign(folder).append(name);  // fits the room reserved above
        // CREATE_NEW fails on a name that is taken, so the file is this call's alone.
        HANDLE handle = CreateFileA(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            return nullptr;
        }
        std::FILE* file = StreamOver(handle, _O_WRONLY | _O_BINARY, "wb");
        if (file == nullptr) {
            DeleteFileA(candidate.c_str());
            return nullptr;
        }
        *tempPath = std::move(candidate);
        return file;
    }
    return nullptr;
}

bool ReplaceFile(const char* source, const char* target) {
    return source != nullptr && target != nullptr &&
           MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool RemoveFile(const char* path) {
    return path != nullptr && DeleteFileA(path) != 0;
}

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count) {
    if (file == nullptr) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::fwrite(pieces[i].bytes, 1, pieces[i].length, file) != pieces[i].length) {
            return false;
        }
    }
    return true;
}

void PrepareHeap() {}  // the process heap needs no setting up

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
