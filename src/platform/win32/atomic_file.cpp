// Whole-or-nothing file replacement on Windows: a new ".zorel-*.tmp" beside the target, moved
// over it once complete.
#ifdef _WIN32

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <new>

#include "platform/temp_files.h"
#include "platform/win32/plain_name.h"

namespace platform {

namespace {

// Ctrl+C, Ctrl+Break and closing the console run this on a thread of its own.
BOOL WINAPI RemoveTempFilesAndEnd(DWORD /*event*/) {
    TempFiles::RemoveAll();
    return FALSE;  // on to the default handler, which ends the process
}

}  // namespace

long TempFiles::ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

void TempFiles::InstallCleanup() {
    static const bool installed = SetConsoleCtrlHandler(RemoveTempFilesAndEnd, TRUE) != 0;
    (void)installed;
}

void TempFiles::RemoveOne(const Folder& folder, const char* name) {
    // Each is open with FILE_SHARE_DELETE: it goes when the ending process closes it.
    try {
        DeleteFileA((folder.path_ + name).c_str());
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
    // The folder part ends after the last separator or drive colon.
    std::size_t start = 0;
    for (std::size_t at = 0; target[at] != '\0'; ++at) {
        if (target[at] == '\\' || target[at] == '/' || target[at] == ':') start = at + 1;
    }
    try {
        name_ = target + start;
        // A bare name is in the current folder; "C:" alone stays: the current folder of C.
        const std::string folder = start == 0 ? std::string(1, '.') : std::string(target, start);
        if (!own_.Open(folder.c_str(), &reason_)) return;
    } catch (const std::bad_alloc&) {
        reason_ = kErrorNoMemory;  // no memory for the names: no file either
        return;
    }
    folder_ = &own_;
    Start();
}

AtomicFile::AtomicFile(const Folder& folder, const char* name, bool durable)
    : folder_(&folder), durable_(durable) {
    try {
        if (name != nullptr) name_ = name;
    } catch (const std::bad_alloc&) {
        reason_ = kErrorNoMemory;
        return;
    }
    Start();
}

void AtomicFile::Refuse(Reason why) {
    reason_ = why == 0 ? kErrorFailed : why;
    Abandon();
}

void AtomicFile::Start() {
    if (folder_ == nullptr || !folder_->IsOpen()) return Refuse(ERROR_PATH_NOT_FOUND);
    if (!IsPlainName(name_.c_str())) return Refuse(ERROR_INVALID_NAME);
    std::string target;
    try {
        target = folder_->path_ + name_;
        temp_.reserve(48);
    } catch (const std::bad_alloc&) {
        return Refuse(kErrorNoMemory);
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
        if (!regular) return Refuse(kErrorNotRegularFile);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[48];
        TempFiles::Name(name);
        std::string path;
        try {
            path = folder_->path_ + name;
        } catch (const std::bad_alloc&) {
            return Refuse(kErrorNoMemory);
        }
        slot_ = TempFiles::Add(*folder_, name);
        if (slot_ < 0) return Refuse(ERROR_TOO_MANY_OPEN_FILES);
        temp_ = name;  // fits the room reserved above
        // CREATE_NEW fails on a name that is taken, a link included, so the file is ours alone.
        HANDLE handle =
            CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            TempFiles::Drop(slot_);
            slot_ = -1;
            temp_.clear();  // not ours
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            return Refuse(error);
        }
        file_ = StreamOver(handle, _O_WRONLY | _O_BINARY, "wb");
        if (file_ == nullptr) return Refuse(kErrorFailed);
        // Writers hand over whole blocks: each goes to the file in one call.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        return;
    }
    Refuse(ERROR_FILE_EXISTS);
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) TempFiles::RemoveOne(*folder_, temp_.c_str());
    TempFiles::Drop(slot_);
    slot_ = -1;
    temp_.clear();
}

bool AtomicFile::Commit(Reason* why) {
    if (file_ == nullptr) return Fail(why, reason_);
    Reason failure = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failure = LastError();
    if (failure == 0 && durable_ &&
        !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_))))) {
        failure = LastError();
    }
    if (std::fclose(file_) != 0 && failure == 0) failure = LastError();
    file_ = nullptr;
    const DWORD how = MOVEFILE_REPLACE_EXISTING | (durable_ ? MOVEFILE_WRITE_THROUGH : 0);
    try {
        if (failure == 0 &&
            !MoveFileExA((folder_->path_ + temp_).c_str(), (folder_->path_ + name_).c_str(), how)) {
            failure = LastError();
        }
    } catch (const std::bad_alloc&) {
        failure = kErrorNoMemory;
    }
    if (failure != 0) {
        Abandon();
        return Fail(why, failure);
    }
    TempFiles::Drop(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
}

}  // namespace platform

#endif  // _WIN32
