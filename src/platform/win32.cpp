// The Windows side of the platform layer: the kernel calls come from <windows.h> as they are,
// and the helpers below are built on them.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/atomic_file.h"
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

// Temporary files are ".zorel-PID-N.tmp", N counting up in the process.
std::atomic<unsigned> gSerial{0};

// True for a name Windows keeps as it is written: not a device (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, CONIN$, CONOUT$, with or without an extension), none of <>:"|?*, separators or
// control characters, and no dot or space at its end (Windows drops them: "name." is "name").
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

// Opens the folder at path and holds it without letting it be moved or deleted meanwhile;
// refuseLinks turns away a link or junction there (a reparse point) instead of following it.
HANDLE OpenFolderHandle(const std::string& path, bool refuseLinks) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle =
        CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (refuseLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// The named temporary files that Ctrl+C, Ctrl+Break and closing the console remove before the
// program ends (the handler runs on a thread of its own).
std::mutex gDoomedLock;
constexpr int kDoomedSlots = 256;
const std::string* gDoomed[kDoomedSlots];

BOOL WINAPI RemoveTempFilesAndEnd(DWORD /*event*/) {
    std::lock_guard<std::mutex> hold(gDoomedLock);
    // Each is open with FILE_SHARE_DELETE: it goes when the ending process closes it.
    for (const std::string* path : gDoomed) {
        if (path != nullptr) DeleteFileA(path->c_str());
    }
    return FALSE;  // on to the default handler, which ends the process
}

int Doom(const std::string* path) {
    static const bool installed = SetConsoleCtrlHandler(RemoveTempFilesAndEnd, TRUE) != 0;
    (void)installed;
    std::lock_guard<std::mutex> hold(gDoomedLock);
    for (int i = 0; i < kDoomedSlots; ++i) {
        if (gDoomed[i] != nullptr) continue;
        gDoomed[i] = path;
        return i;
    }
    return -1;
}

void Spare(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> hold(gDoomedLock);
    gDoomed[slot] = nullptr;
}

}  // namespace

namespace platform {

Folder::~Folder() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool Folder::Open(const char* path) {
    if (IsOpen() || path == nullptr || *path == '\0') return false;
    try {
        const DWORD needed = GetFullPathNameA(path, 0, nullptr, nullptr);
        if (needed == 0) return false;
        std::string full(needed + 1, '\0');
        const DWORD length = GetFullPathNameA(path, needed, full.data(), nullptr);
        if (length == 0 || length >= needed) return false;
        full.resize(length);
        if (full.back() != '\\' && full.back() != '/') full += '\\';
        handle_ = OpenFolderHandle(full, false);
        if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return IsOpen();
}

bool Folder::OpenBelow(const Folder& parent, const char* name) {
    if (IsOpen() || !parent.IsOpen() || name == nullptr || !IsPlainName(name)) return false;
    try {
        std::string full = parent.path_ + name + '\\';
        handle_ = OpenFolderHandle(full, true);
        if (handle_ != INVALID_HANDLE_VALUE) path_ = std::move(full);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return IsOpen();
}

bool Folder::IsOpen() const {
    return handle_ != INVALID_HANDLE_VALUE;
}

bool Folder::Enter() const {
    return IsOpen() && SetCurrentDirectoryA(path_.c_str()) != 0;
}

void UseNamelessTempFiles(bool /*use*/) {}  // Windows has no nameless files: always named

void PrepareWrites() {}  // no signal ends a Windows program for a file-size limit

bool OutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void AtomicFile::Start() {
    if (folder_ == nullptr || !folder_->IsOpen() || !IsPlainName(name_.c_str())) return;
    std::string target;
    try {
        target = folder_->path_ + name_;
        temp_.reserve(folder_->path_.size() + 48);
    } catch (const std::bad_alloc&) {
        return;
    }
    // A folder or a device there is never replaced; a link is, as a name.
    HANDLE there =
        CreateFileA(target.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (there != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info{};
        const bool regular = GetFileType(there) == FILE_TYPE_DISK &&
                             GetFileInformationByHandle(there, &info) &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        CloseHandle(there);
        if (!regular) return;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, ".zorel-%lu-%u.tmp",
                      static_cast<unsigned long>(GetCurrentProcessId()), gSerial.fetch_add(1));
        temp_.assign(folder_->path_).append(name);  // fits the room reserved above
        slot_ = Doom(&temp_);
        if (slot_ < 0) {
            temp_.clear();
            break;
        }
        // CREATE_NEW fails on a name that is taken, a link included, so the file is ours alone.
        HANDLE handle =
            CreateFileA(temp_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            Spare(slot_);
            slot_ = -1;
            temp_.clear();  // not ours
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            break;
        }
        file_ = StreamOver(handle, _O_WRONLY | _O_BINARY, "wb");
        if (file_ == nullptr) break;
        // Writers hand over whole blocks: each goes to the file in one call.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        return;
    }
    Abandon();
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) DeleteFileA(temp_.c_str());
    Spare(slot_);
    slot_ = -1;
    temp_.clear();
}

bool AtomicFile::Commit() {
    if (file_ == nullptr) return false;
    bool sound = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    if (sound && durable_) {
        sound = FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_)))) != 0;
    }
    sound = std::fclose(file_) == 0 && sound;
    file_ = nullptr;
    std::string target;
    try {
        target = folder_->path_ + name_;
    } catch (const std::bad_alloc&) {
        sound = false;
    }
    const DWORD how = MOVEFILE_REPLACE_EXISTING | (durable_ ? MOVEFILE_WRITE_THROUGH : 0);
    if (!sound || MoveFileExA(temp_.c_str(), target.c_str(), how) == 0) {
        Abandon();
        return false;
    }
    Spare(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
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

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count) {
    if (file == nullptr) return false;
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
            if (piece.length > kGathered - held && !flush()) return false;
            std::memcpy(buffer.get() + held, piece.bytes, piece.length);
            held += piece.length;
            continue;
        }
        if (!flush() || std::fwrite(piece.bytes, 1, piece.length, file) != piece.length) {
            return false;
        }
    }
    return flush();
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
