// Whole-or-nothing file replacement on Windows: a new ".zorel-*.tmp" beside the target, moved
// over it once complete with the replaced file's attributes; a device or pipe a named path leads
// to is written straight into.
#ifdef _WIN32

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <new>

#include "platform/internal.h"
#include "platform/win32/file_move.h"

namespace platform {

namespace {

int SystemMove(const char* from, const char* to, unsigned long flags) {
    return MoveFileExLong(from, to, flags);
}

std::atomic<FileMove> gMove{SystemMove};

// Moves from over to. Another process may hold the target open for a moment (a writer waiting
// for the pack's lock looks at it, as do indexers and scanners), and Windows refuses to replace
// an open file: such a refusal is tried again for up to two seconds before it counts.
bool MoveInPlace(const char* from, const char* to, DWORD how) {
    for (int tries = 0;; ++tries) {
        if (gMove.load()(from, to, how)) return true;
        const DWORD failure = GetLastError();
        if ((failure != ERROR_ACCESS_DENIED && failure != ERROR_SHARING_VIOLATION) ||
            tries == 200) {
            return false;
        }
        Sleep(10);
    }
}

// The attributes a replacing file takes on; it is marked for the archive as any changed file.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Ctrl+C, Ctrl+Break and closing the console run this on a thread of its own.
BOOL WINAPI RemoveTempFilesAndEnd(DWORD /*event*/) {
    TempFiles::RemoveAll();
    return FALSE;  // on to the default handler, which ends the process
}

bool NoFileName(const std::string& name) {
    return name.empty() || name == "." || name == "..";
}

// The first to run of the console's handlers (the last installed): writes the ending text.
BOOL WINAPI WriteEndingText(DWORD /*event*/) {
    const int length = EndingText::length.load();
    DWORD written = 0;
    if (length > 0) {
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), EndingText::text, static_cast<DWORD>(length),
                  &written, nullptr);
    }
    return FALSE;  // on to the handlers before it, and the default one, which ends the process
}

}  // namespace

long TempFiles::ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

void TempFiles::InstallCleanup() {
    static const bool installed = SetConsoleCtrlHandler(RemoveTempFilesAndEnd, TRUE) != 0;
    (void)installed;
}

void InstallEndingWriter() {
    static const bool installed = SetConsoleCtrlHandler(WriteEndingText, TRUE) != 0;
    (void)installed;
}

void TempFiles::HoldSignals() {}  // the console's handler runs on a thread of its own

void TempFiles::ReleaseSignals() {}

void TempFiles::Nap() {
    Sleep(1);
}

void TempFiles::RemoveOne(const Folder& folder, const char* name) {
    // Each is open with FILE_SHARE_DELETE: it goes when the ending process closes it.
    try {
        DeleteFileLong((folder.path_ + name).c_str());
    } catch (const std::bad_alloc&) {
    }
}

void TempFiles::AwaitTheEnd() {
    for (;;) Sleep(INFINITE);
}

void UseNamelessTempFiles(bool /*use*/) {}  // Windows has no nameless files: always named

AtomicFile::AtomicFile(const char* target, bool durable) : durable_(durable) {
    if (target == nullptr || *target == '\0') {
        reason_ = ERROR_FILE_NOT_FOUND;
        return;
    }
    try {
        // What the path leads to, its links followed: a device or a pipe is written into, a
        // file is replaced where it really is.
        std::string path = target;
        HANDLE led = CreateFileLong(target, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        DWORD type = FILE_TYPE_UNKNOWN;
        if (led != INVALID_HANDLE_VALUE) {
            type = GetFileType(led);
            BY_HANDLE_FILE_INFORMATION info{};
            if (type == FILE_TYPE_DISK && GetFileInformationByHandle(led, &info) &&
                (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                reason_ = kErrorTargetIsFolder;
            }
            // It comes back as "\\?\C:\folder\file", the form every call here takes.
            std::wstring final(MAX_PATH, L'\0');
            DWORD length = GetFinalPathNameByHandleW(led, final.data(), MAX_PATH, 0);
            if (length >= MAX_PATH) {
                final.assign(length + 1, L'\0');
                length = GetFinalPathNameByHandleW(led, final.data(), length + 1, 0);
            }
            std::string found;
            if (type == FILE_TYPE_DISK && length != 0 && length < final.size()) {
                final.resize(length);
                if (Utf8Of(final.c_str(), &found)) path = std::move(found);
            }
            CloseHandle(led);
        }
        if (reason_ != 0) return;
        // A device's name opens the device, whether or not it could be looked at.
        std::string folder;
        SplitPath(path, &folder, &name_);
        if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE ||
            (led == INVALID_HANDLE_VALUE && NameFault(name_.c_str()) == kErrorReservedName)) {
            HANDLE handle = CreateFileLong(target, GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
            if (handle == INVALID_HANDLE_VALUE) {
                reason_ = LastReason();
                return;
            }
            file_ = StreamOver(handle, _O_WRONLY | _O_BINARY, "wb");
            if (file_ == nullptr) {
                reason_ = kErrorFailed;
                return;
            }
            std::setvbuf(file_, nullptr, _IOFBF, 64 << 10);
            straight_ = true;
            return;
        }
        if (NoFileName(name_)) {
            reason_ = kErrorNoFileName;
            return;
        }
        if (!own_.Open(folder.c_str(), &reason_)) return;
    } catch (const std::bad_alloc&) {
        reason_ = kErrorNoMemory;
        return;
    }
    folder_ = &own_;
    Start();
}

AtomicFile::AtomicFile(StandardOutput) : straight_(true) {
    // The copy is binary; standard output itself stays in text mode.
    const int fd = _dup(_fileno(stdout));
    file_ = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file_ == nullptr) {
        reason_ = ERROR_INVALID_HANDLE;
        if (fd >= 0) _close(fd);
        return;
    }
    _setmode(fd, _O_BINARY);
    std::setvbuf(file_, nullptr, _IOFBF, 64 << 10);
}

void AtomicFile::Start() {
    if (folder_ == nullptr || !folder_->IsOpen()) return Refuse(ERROR_PATH_NOT_FOUND);
    if (NoFileName(name_)) return Refuse(kErrorNoFileName);
    if (const Reason fault = NameFault(name_.c_str())) return Refuse(fault);
    std::string target, path;
    try {
        target = folder_->path_ + name_;
        path.reserve(folder_->path_.size() + 48);  // every temporary path fits without more
        temp_.reserve(48);
    } catch (const std::bad_alloc&) {
        return Refuse(kErrorNoMemory);
    }
    // A folder or a device there is never replaced; a link is, as a name; a file lends the new
    // one its attributes.
    HANDLE there =
        CreateFileLong(target.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (there != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info{};
        const DWORD type = GetFileType(there);
        const bool known = GetFileInformationByHandle(there, &info);
        CloseHandle(there);
        if (type == FILE_TYPE_PIPE) return Refuse(kErrorTargetIsFifo);
        if (type != FILE_TYPE_DISK || !known) return Refuse(kErrorTargetIsDevice);
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return Refuse(kErrorTargetIsFolder);
        }
        there_ = There::kFile;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            mode_ = static_cast<long>(info.dwFileAttributes);
        }
    }
    Reason failure = ERROR_FILE_EXISTS;
    {
        NameChange change;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[48];
            TempFiles::Name(name);
            path.assign(folder_->path_).append(name);
            slot_ = TempFiles::Add(*folder_, name);
            if (slot_ < 0) {
                failure = ERROR_TOO_MANY_OPEN_FILES;
                break;
            }
            // CREATE_NEW fails on a name that is taken, a link included: the file is ours alone.
            HANDLE handle =
                CreateFileLong(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
            if (handle != INVALID_HANDLE_VALUE) {
                temp_ = name;  // fits the room reserved above
                file_ = StreamOver(handle, _O_WRONLY | _O_BINARY, "wb");
                failure = file_ == nullptr ? Reason{kErrorFailed} : 0;
                break;
            }
            const DWORD error = GetLastError();
            TempFiles::Drop(slot_);
            slot_ = -1;
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                failure = error;
                break;
            }
        }
    }
    if (failure != 0) return Refuse(failure);
    // Small records gather in a buffer; a whole block goes past it, in one call.
    std::setvbuf(file_, nullptr, _IOFBF, 64 << 10);
}

void AtomicFile::Describe(std::uint32_t mode, std::int64_t mtimeNs) {
    described_ = true;
    describedMode_ = mode & 07777;
    mtimeNs_ = mtimeNs;
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (temp_.empty() && slot_ < 0) return;
    std::string path;
    try {
        path = folder_->path_ + temp_;
    } catch (const std::bad_alloc&) {
    }
    NameChange change;
    if (!temp_.empty() && !path.empty()) DeleteFileLong(path.c_str());
    TempFiles::Drop(slot_);
    slot_ = -1;
    temp_.clear();
}

bool AtomicFile::Commit(Reason* why) {
    if (file_ == nullptr) return Fail(why, reason_);
    Reason failure = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failure = LastReason();
    // A described time, after the last write.
    if (failure == 0 && described_ && !straight_) {
        const std::uint64_t ticks = TicksOf(mtimeNs_);
        const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        if (!SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_))), nullptr, nullptr,
                         &time)) {
            failure = LastReason();
        }
    }
    if (failure == 0 && durable_ && !straight_ &&
        !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_))))) {
        failure = LastReason();
    }
    if (std::fclose(file_) != 0 && failure == 0) failure = LastReason();
    file_ = nullptr;
    if (failure == 0 && !straight_) failure = PutInPlace(nullptr);
    if (failure != 0) {
        Abandon();
        return Fail(why, failure);
    }
    return true;
}

void SetFileMove(FileMove move) {
    gMove = move != nullptr ? move : SystemMove;
}

Reason AtomicFile::PutInPlace(int* /*nameless*/) {
    std::string temp, target;
    try {
        temp = folder_->path_ + temp_;
        target = folder_->path_ + name_;
    } catch (const std::bad_alloc&) {
        return kErrorNoMemory;
    }
    const DWORD was = mode_ >= 0 ? static_cast<DWORD>(mode_) : 0;
    // A described file is read-only as its owner's write bit says, and takes nothing of the file
    // it replaces.
    const DWORD readOnly = (describedMode_ & 0200) == 0 ? FILE_ATTRIBUTE_READONLY : 0;
    const DWORD kept = described_ ? readOnly : was & kKeptAttributes;
    // Kept, nothing there is replaced: the move itself fails should a file be there.
    const DWORD how =
        (keep_ ? 0 : MOVEFILE_REPLACE_EXISTING) | (durable_ ? MOVEFILE_WRITE_THROUGH : 0);
    NameChange change;
    Reason failure = 0;
    // The new file takes on the replaced one's attributes before it takes its place; a read-only
    // file there is made writable for the move, and made read-only again should the move fail.
    if (kept != 0 && !SetFileAttributesLong(temp.c_str(), kept | FILE_ATTRIBUTE_ARCHIVE)) {
        failure = LastReason();
    }
    const bool unlocked = failure == 0 && !keep_ && (was & FILE_ATTRIBUTE_READONLY) != 0 &&
                          SetFileAttributesLong(target.c_str(), was & ~FILE_ATTRIBUTE_READONLY);
    if (failure == 0 && !MoveInPlace(temp.c_str(), target.c_str(), how)) {
        failure = LastReason();
        if (unlocked) SetFileAttributesLong(target.c_str(), was);
    }
    if (failure != 0) {
        SetFileAttributesLong(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileLong(temp.c_str());
    }
    TempFiles::Drop(slot_);
    slot_ = -1;
    temp_.clear();
    return failure;
}

}  // namespace platform

#endif  // _WIN32
