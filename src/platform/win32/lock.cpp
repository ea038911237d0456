// One writer at a time on Windows: LockFileEx on a file beside the pack that is deleted when its
// last handle closes; file stamps; which process a temporary file's name speaks of, and whether
// it ended.
#ifdef _WIN32

#include "platform/lock.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/internal.h"

namespace platform {

namespace {

// The lock is one byte far past the process id the file holds, which others read.
constexpr DWORD kLockedHigh = 0x40000000u;

bool Lock(HANDLE handle) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockedHigh;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           0;
}

long HolderIn(HANDLE handle) {
    char text[32] = {};
    DWORD got = 0;
    OVERLAPPED at{};
    if (!ReadFile(handle, text, sizeof text - 1, &got, &at) || got == 0) return 0;
    return std::strtol(text, nullptr, 10);
}

// The creation time of an open process, in seconds, never 0; 0 when it cannot be read.
std::uint32_t StartOfProcess(HANDLE process) {
    FILETIME created{}, ended{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return 0;
    const std::uint64_t ticks = std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
    return static_cast<std::uint32_t>(ticks / 10000000u) | 1u;
}

}  // namespace

bool PackLock::Take(const char* path, double seconds, Reason* why, long* holder) {
    Release();
    if (holder != nullptr) *holder = 0;
    if (path == nullptr || *path == '\0') return Fail(why, ERROR_FILE_NOT_FOUND);
    const DWORD attributes = GetFileAttributesLong(path);
    HANDLE probe =
        attributes == INVALID_FILE_ATTRIBUTES
            ? INVALID_HANDLE_VALUE
            : CreateFileLong(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (probe != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(probe);
        CloseHandle(probe);
        if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return true;  // NUL, CON, a pipe
    }
    std::string lock;
    if (!WithMemory(why, [&] { lock = LockPathOf(path); })) return false;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000.0);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (;;) {
        if (handle == INVALID_HANDLE_VALUE) {
            // Deleted when its last handle closes; while that is pending it cannot be opened
            // (access denied), and the next writer tries again.
            handle = CreateFileLong(lock.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE);
        }
        Reason failure = 0;
        if (handle == INVALID_HANDLE_VALUE) {
            failure = LastReason();
            if (failure != ERROR_ACCESS_DENIED) return Fail(why, failure);
        } else if (Lock(handle)) {
            break;
        } else if ((failure = LastReason()) != ERROR_LOCK_VIOLATION) {
            CloseHandle(handle);
            return Fail(why, failure);
        }
        if (GetTickCount64() >= deadline) {
            if (handle == INVALID_HANDLE_VALUE) return Fail(why, failure);
            if (holder != nullptr) *holder = HolderIn(handle);
            CloseHandle(handle);
            return Fail(why, kErrorBusy);
        }
        Sleep(10);
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%ld\r\n", TempFiles::ProcessId());
    DWORD written = 0;
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(handle) ||
        !WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr)) {
        const Reason failure = LastReason();
        CloseHandle(handle);
        return Fail(why, failure);
    }
    handle_ = handle;
    path_ = std::move(lock);
    ClearStaleTempFilesBeside(path_);
    return true;
}

void PackLock::Release() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_);  // the lock goes with it, and the file with the last handle
    handle_ = INVALID_HANDLE_VALUE;
    path_.clear();
}

FileStamp StampOf(const char* path) {
    FileStamp stamp;
    if (path == nullptr) return stamp;
    HANDLE handle = CreateFileLong(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) return stamp;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info)) {
        stamp.known = true;
        stamp.volume = info.dwVolumeSerialNumber;
        stamp.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
        stamp.length = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
        stamp.changed = std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                        info.ftLastWriteTime.dwLowDateTime;
    }
    CloseHandle(handle);
    return stamp;
}

std::uint32_t TempFiles::SystemTag() {
    // The computer's name: process ids and creation times are told apart on one computer.
    static const std::uint32_t tag = [] {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD length = sizeof name;
        return GetComputerNameA(name, &length) ? NameHash(name, length) : std::uint32_t{0};
    }();
    return tag;
}

std::uint32_t TempFiles::StartOf(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return 0;
    const std::uint32_t start = StartOfProcess(process);
    CloseHandle(process);
    return start;
}

bool TempFiles::Ended(long pid, std::uint32_t start) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    DWORD code = 0;
    const std::uint32_t now = StartOfProcess(process);
    const bool ended =
        (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) || (now != 0 && now != start);
    CloseHandle(process);
    return ended;
}

void ClearStaleTempFiles(const char* folder) {
    if (folder == nullptr || TempFiles::SystemTag() == 0) return;
    // Clearing is a courtesy: without memory for the names, nothing is cleared this time.
    try {
        std::string pattern = folder;
        if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
        const std::size_t base = pattern.size();
        pattern.reserve(base + MAX_PATH);  // every name found fits without a new block
        pattern += ".zorel-*.tmp";
        WIN32_FIND_DATAA item{};
        HANDLE search = FindFirstFileA(pattern.c_str(), &item);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                TempFiles::Stale(item.cFileName)) {
                pattern.replace(base, std::string::npos, item.cFileName);
                NameChange change;
                DeleteFileLong(pattern.c_str());
            }
        } while (FindNextFileA(search, &item));
        FindClose(search);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace platform

#endif  // _WIN32
