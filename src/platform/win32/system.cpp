// Windows process services: reasons and their words, the heap, threads.
#ifdef _WIN32

#include <process.h>

#include <cstdint>
#include <new>

#include "platform/internal.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace platform {

namespace {

// Enough for the work of one entry: the compressors keep their state on the heap.
constexpr std::size_t kThreadStack = std::size_t{512} << 10;

unsigned __stdcall RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

}  // namespace

const Reason kErrorNoMemory = ERROR_NOT_ENOUGH_MEMORY;

Reason LastReason() {
    const DWORD code = GetLastError();
    return code == 0 ? kErrorFailed : code;
}

bool IsNotFound(Reason code) {
    return code == ERROR_FILE_NOT_FOUND;
}

std::string ErrorText(Reason code) {
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
}

void PrepareHeap() {}  // the process heap needs no setting up

void PrepareWrites() {}  // no signal ends a Windows program for a file-size limit

void PreparePipes() {}  // a write into a closed pipe fails there without ending the program

bool Thread::Start(std::function<void()> work) {
    if (started_) return false;
    work_ = std::move(work);
    const std::uintptr_t handle = _beginthreadex(nullptr, kThreadStack, RunWork, &work_,
                                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) return false;
    handle_ = reinterpret_cast<void*>(handle);
    started_ = true;
    return true;
}

void Thread::Join() {
    if (!started_) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
    started_ = false;
}

}  // namespace platform

#endif  // _WIN32
