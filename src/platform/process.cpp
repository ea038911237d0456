// Process services of the command line on both systems: the last error, the heap, terminals and
// threads.
#include "platform/process.h"

#include <cerrno>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <process.h>
#else
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef _WIN32
DWORD GetLastError() {
    return static_cast<DWORD>(errno);
}

void SetLastError(DWORD code) {
    errno = static_cast<int>(code);
}
#endif

namespace platform {

namespace {

// Enough for the work of one entry: the compressors keep their state on the heap.
constexpr std::size_t kThreadStack = std::size_t{512} << 10;

const char* OwnText(DWORD code) {
    switch (code) {
        case kErrorNameTooLong:
            return "name longer than 31 characters";
        case kErrorNotPackFile:
            return "not a pack file";
        case kErrorDamagedRecord:
            return "record is damaged or cut short";
        case kErrorCorruptData:
            return "compressed data is corrupt";
        case kErrorEmptyFile:
            return "empty file (an entry holds 1 byte or more)";
        case kErrorFileTooLarge:
            return "file of 4 GiB or more";
        case kErrorNotRegularFile:
            return "not a regular file";
        case kErrorClimbsOut:
            return "name climbs out of the folder";
        case kErrorNoSuchEntry:
            return "no such entry";
        default:
            return "failed";
    }
}

}  // namespace

bool IsNotFound(DWORD code) {
#ifdef _WIN32
    return code == ERROR_FILE_NOT_FOUND;
#else
    return code == ENOENT;
#endif
}

std::string ErrorText(DWORD code) {
    if (code == 0 || (code & kOwnError) != 0) return OwnText(code);
#ifdef _WIN32
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string words = length != 0 && text != nullptr ? std::string(text, length) : "";
    if (text != nullptr) LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                              words.back() == '.')) {
        words.pop_back();
    }
    return words.empty() ? "error " + std::to_string(code) : words;
#else
    return std::strerror(static_cast<int>(code));
#endif
}

bool RegularFileLength(const char* path, std::uint64_t* length) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        SetLastError(kErrorNotRegularFile);
        return false;
    }
    *length = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
#else
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    if (!S_ISREG(info.st_mode) || info.st_size < 0) {
        SetLastError(kErrorNotRegularFile);
        return false;
    }
    *length = static_cast<std::uint64_t>(info.st_size);
#endif
    return true;
}

void BoundHeap() {
#ifdef M_ARENA_MAX
    // Each arena of a thread reserves 64 MiB of address space on a 64-bit system.
    mallopt(M_ARENA_MAX, 1);
#endif
}

bool ErrorIsTerminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

namespace {

#ifdef _WIN32
unsigned __stdcall RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}
#else
void* RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return nullptr;
}
#endif

}  // namespace

bool Thread::Start(std::function<void()> work) {
    if (started_) return false;
    work_ = std::move(work);
#ifdef _WIN32
    const std::uintptr_t handle = _beginthreadex(nullptr, kThreadStack, RunWork, &work_,
                                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) return false;
    handle_ = reinterpret_cast<void*>(handle);
#else
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, kThreadStack);
    auto* thread = new (std::nothrow) pthread_t;
    const bool made =
        thread != nullptr && pthread_create(thread, &attributes, RunWork, &work_) == 0;
    pthread_attr_destroy(&attributes);
    if (!made) {
        delete thread;
        return false;
    }
    handle_ = thread;
#endif
    started_ = true;
    return true;
}

void Thread::Join() {
    if (!started_) return;
#ifdef _WIN32
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
#else
    auto* thread = static_cast<pthread_t*>(handle_);
    pthread_join(*thread, nullptr);
    delete thread;
#endif
    handle_ = nullptr;
    started_ = false;
}

}  // namespace platform
